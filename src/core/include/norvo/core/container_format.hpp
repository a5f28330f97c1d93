// The container byte formats: the container bytes (a fixed preamble and two sections), one
// encrypted section, and the container-key record. Every integer is an unsigned 64-bit
// little-endian value, every byte string follows its own length field, and bytes after the
// last field are ignored. Parsing never reads past the input and never allocates: it returns
// views into the input, so callers decide what (if anything) to copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

#include "norvo/core/crypto.hpp"

namespace norvo::core::container {

inline constexpr std::uint64_t VERSION = 1;
inline constexpr std::uint64_t KEY_BLOB_VERSION = 1;
inline constexpr std::size_t OID_SIZE = 16;
inline constexpr std::size_t PREAMBLE_SIZE = 8 + OID_SIZE + 4 * 8;   // 56
inline constexpr std::size_t SECTION_FIELDS_SIZE = 3 * 8;            // three length fields
inline constexpr std::size_t IV_SIZE = AES_BLOCK_SIZE;               // 16
inline constexpr std::size_t NONCE_SIZE = IV_SIZE / 2;               // 8 random bytes, then 8 zero bytes
inline constexpr std::size_t DIGEST_SIZE = SHA384_DIGEST_SIZE;       // 48
inline constexpr std::size_t SECTION_OVERHEAD = SECTION_FIELDS_SIZE + IV_SIZE + DIGEST_SIZE;  // 88
inline constexpr std::size_t KEY_RECORD_FIELDS_SIZE = 5 * 8;         // 40

// One encrypted portion: iv_length, iv, encrypted_length, encrypted, digest_length, digest.
struct Section {
    std::uint64_t iv_length = 0;
    bytes_view iv;
    std::uint64_t encrypted_length = 0;
    bytes_view encrypted;
    std::uint64_t digest_length = 0;
    bytes_view digest;
    std::size_t size = 0;  // bytes the record takes in its input
};

// The container bytes: the preamble's six fields, then the header and content sections.
struct ContainerRecord {
    std::uint64_t version = 0;
    bytes_view oid;
    std::uint64_t cipher_index = 0;
    std::uint64_t mac_index = 0;
    std::uint64_t header_length = 0;
    std::uint64_t content_length = 0;
    Section header;
    Section content;
    std::size_t size = 0;
    // Offsets of the two sections in the input, so callers can hand out whole section bytes.
    std::size_t header_offset = 0;
    std::size_t content_offset = 0;
};

// The container-key record: version, cipher_index, cipher_key_length, cipher_key,
// mac_index, mac_key_length, mac_key.
struct KeyRecord {
    std::uint64_t version = 0;
    std::uint64_t cipher_index = 0;
    std::uint64_t cipher_key_length = 0;
    bytes_view cipher_key;
    std::uint64_t mac_index = 0;
    std::uint64_t mac_key_length = 0;
    bytes_view mac_key;
    std::size_t size = 0;
};

// Parsers: throw FormatError when a field runs past the end of `in`. The message names what
// the field wanted and what was left, in the words the format library's own parse error uses.
Section parse_section(bytes_view in);
ContainerRecord parse_container(bytes_view in);
KeyRecord parse_key_record(bytes_view in);

// A record with an empty key field would be read as "no key" and replaced by fresh random
// bytes, which silently yields keys that open nothing: InvalidArgument names the empty field.
void require_both_keys(const KeyRecord& k);

// Sizes of records with byte strings of the given lengths; throw InvalidArgument if the sum
// does not fit in size_t.
std::size_t section_size(std::size_t iv, std::size_t encrypted, std::size_t digest);
std::size_t container_size(std::size_t header_section, std::size_t content_section);
std::size_t key_record_size(std::size_t cipher_key, std::size_t mac_key);

// Writers: each writes at `out` and returns the position after what it wrote.
std::uint8_t* put_u64(std::uint8_t* out, std::uint64_t v);
std::uint8_t* put_field(std::uint8_t* out, bytes_view b);  // length field, then the bytes
// `oid` must be OID_SIZE bytes (InvalidArgument otherwise).
std::uint8_t* write_preamble(std::uint8_t* out, std::uint64_t version, bytes_view oid, std::uint64_t cipher_index,
                             std::uint64_t mac_index, std::uint64_t header_length, std::uint64_t content_length);
std::uint8_t* write_key_record(std::uint8_t* out, std::uint64_t version, std::uint64_t cipher_index,
                               bytes_view cipher_key, std::uint64_t mac_index, bytes_view mac_key);

// Seals one portion into `out`, which must hold section_size(IV_SIZE, plaintext.size(),
// DIGEST_SIZE) bytes: the counter block `iv`, the AES-CTR ciphertext of `plaintext` under
// `cipher_key`, and HMAC-SHA384 under `mac_key` over the ciphertext alone. The ciphertext is
// written in place, so the plaintext is read once and never copied. Sizes are checked
// (InvalidArgument) before anything is written.
void seal_section(bytes_view cipher_key, bytes_view mac_key, bytes_view iv, bytes_view plaintext, std::uint8_t* out);

void seal_section(AesCtr& cipher, const HmacSha384Key& mac_key, bytes_view iv, bytes_view plaintext,
                  std::uint8_t* out);

// Recomputes the section's MAC under `mac_key` and compares it in constant time.
bool verify_section(bytes_view mac_key, const Section& s);
bool verify_section(const HmacSha384Key& mac_key, const Section& s);

// Decrypts the section's ciphertext into `out` (s.encrypted.size() bytes). It does not
// authenticate: call verify_section first.
void open_section(bytes_view cipher_key, const Section& s, std::uint8_t* out);
void open_section(AesCtr& cipher, const Section& s, std::uint8_t* out);

// ---- Whole containers

struct KeysView {
    bytes_view cipher_key;
    bytes_view mac_key;
};

// A portion as it goes into a container: plaintext to seal now, or the bytes of a section
// sealed before (under the same keys), copied as its record reads.
struct PortionInput {
    bytes_view bytes;
    bool sealed = false;
};

// Where the two sections sit in the container bytes.
struct Layout {
    std::size_t size = 0;
    std::size_t header_offset = 0, header_size = 0;
    std::size_t content_offset = 0, content_size = 0;
};

// Checks the key sizes and parses the sections sealed before (FormatError, InvalidArgument),
// and works out the container's size: everything that can fail before any byte is written.
Layout plan_container(const KeysView& keys, const PortionInput& header, const PortionInput& content);

// Writes the container planned by plan_container into `out` (layout.size bytes): the preamble
// (VERSION, `oid`, indexes 0 and 0, and each section's length: the sealed bytes' own length
// for a section sealed before), then the header and the content sections. Each plaintext
// portion is sealed under its own fresh counter block (8 random bytes, 8 zero bytes). The
// random halves are drawn here, or taken from `nonces` (2 * NONCE_SIZE bytes, header first)
// when a caller drew them together with other random bytes.
void seal_container(const KeysView& keys, bytes_view oid, const PortionInput& header, const PortionInput& content,
                    const Layout& layout, std::uint8_t* out, const std::uint8_t* nonces = nullptr);

// Which section failed its MAC check.
enum class OpenFailure { none, header, content };

// Opens the sealed sections of one container (a null section is a portion that is plain
// already). Both MACs are checked, and both counter blocks and the cipher key sized, before
// either section is decrypted, so on any failure nothing has been written to either output.
// Each output takes its section's encrypted.size() bytes.
OpenFailure open_container(const KeysView& keys, const Section* header, std::uint8_t* header_out,
                           const Section* content, std::uint8_t* content_out);

}  // namespace norvo::core::container
