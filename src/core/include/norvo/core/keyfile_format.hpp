// The key-file byte format: a header of three integers followed by two sealed sections,
// the key ring (sealed under the hashed password) and the rescue (sealed under the
// passphrase). Every integer is unsigned 64-bit little-endian and every variable byte string
// follows its own length field; there is no magic number, alignment gap or checksum.
//
//   key file:  version | key_ring_length | rescue_length | key_ring section | rescue section
//   section:   salt_length | salt | iv_length | iv | encrypted_length | encrypted
//
// Stored key files depend on this layout byte for byte. Each section is delimited by its own
// length fields; the header's two section lengths are written but never relied on when
// reading, and bytes after the rescue section are ignored.
//
// Parsing reads untrusted bytes: a length field is only compared with the bytes that remain,
// never used to reserve memory, so truncated data or a length near 2^64 fails with
// FormatError and never reads past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "norvo/core/crypto.hpp"

namespace norvo::core::keyfile {

using norvo::core::bytes_view;

// The format version written into every new key file.
inline constexpr std::uint64_t VERSION = 1;

inline constexpr std::size_t INTEGER_SIZE = 8;
// version, key_ring_length, rescue_length.
inline constexpr std::size_t HEADER_SIZE = 3 * INTEGER_SIZE;
// salt_length, iv_length, encrypted_length.
inline constexpr std::size_t SECTION_OVERHEAD = 3 * INTEGER_SIZE;
// What this system writes into every section.
inline constexpr std::size_t SALT_SIZE = 8;
inline constexpr std::size_t IV_SIZE = 16;

// Field offsets in a key file.
inline constexpr std::size_t VERSION_OFFSET = 0;
inline constexpr std::size_t KEY_RING_LENGTH_OFFSET = 8;
inline constexpr std::size_t RESCUE_LENGTH_OFFSET = 16;
inline constexpr std::size_t KEY_RING_OFFSET = HEADER_SIZE;

// Field offsets in a section with the 8-byte salt and 16-byte IV that this system writes.
inline constexpr std::size_t SALT_LENGTH_OFFSET = 0;
inline constexpr std::size_t SALT_OFFSET = 8;
inline constexpr std::size_t IV_LENGTH_OFFSET = SALT_OFFSET + SALT_SIZE;         // 16
inline constexpr std::size_t IV_OFFSET = IV_LENGTH_OFFSET + INTEGER_SIZE;        // 24
inline constexpr std::size_t ENCRYPTED_LENGTH_OFFSET = IV_OFFSET + IV_SIZE;      // 40
inline constexpr std::size_t ENCRYPTED_OFFSET = ENCRYPTED_LENGTH_OFFSET + INTEGER_SIZE;  // 48

// One sealed section. Parsed views alias the parsed bytes; for building they point at the
// caller's data. Each length field is the size of its view.
struct Section {
    bytes_view salt;
    bytes_view iv;
    bytes_view encrypted;
};

// A whole key file. The two section lengths are kept as read (or as given for building),
// whatever the sections' real sizes.
struct KeyFile {
    std::uint64_t version = VERSION;
    std::uint64_t key_ring_length = 0;
    std::uint64_t rescue_length = 0;
    Section key_ring;
    Section rescue;
};

// Reads one section from the start of `data`; `consumed` (if given) receives its size.
// Throws FormatError, naming the field, when the bytes end before a field is complete.
Section parse_section(bytes_view data, std::size_t* consumed = nullptr);

// Reads one key file from the start of `data`. The views of the result alias `data`.
KeyFile parse(bytes_view data);

// Encoded sizes; throw FormatError if they would not fit in size_t.
std::size_t section_size(const Section& section);
std::size_t encoded_size(const KeyFile& file);

// Write into `out`, which must be exactly the encoded size (else FormatError).
void build_section_into(const Section& section, std::span<std::uint8_t> out);
void build_into(const KeyFile& file, std::span<std::uint8_t> out);

std::vector<std::uint8_t> build_section(const Section& section);
std::vector<std::uint8_t> build(const KeyFile& file);

}  // namespace norvo::core::keyfile
