// The integrated-encryption message: one payload wrapped for one recipient and signed by
// its sender. Seventeen fields with nothing between them; every integer is unsigned 64-bit
// little-endian and every variable byte string follows its own length field. There is no
// magic number or checksum, and bytes after the last field are ignored.
//
// Parsing reads untrusted bytes: a length field is only ever compared with the bytes that
// remain, never used to reserve memory, so a truncated message or a length near 2^64 fails
// cleanly with FormatError and never reads past the end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "norvo/core/crypto.hpp"

namespace norvo::core::ies {

using norvo::core::bytes_view;

inline constexpr std::uint64_t VERSION = 1;
inline constexpr std::size_t OID_SIZE = 16;
// Ten 8-byte integers (four fields, six lengths) and the 16-byte object id.
inline constexpr std::size_t FIXED_SIZE = 10 * 8 + OID_SIZE;
inline constexpr std::size_t FIELD_COUNT = 17;

// Field names in wire order; these are the names of the parsed record's items.
inline constexpr std::array<const char*, FIELD_COUNT> FIELD_NAMES = {
    "version",
    "oid",
    "recipient_derivation_key_index",
    "sender_signing_key_index",
    "cipher_algorithm_index",
    "derivation_public_key_length",
    "derivation_public_key",
    "iv_length",
    "iv",
    "encrypted_key_blob_length",
    "encrypted_key_blob",
    "signature_length",
    "signature",
    "sender_public_key_length",
    "sender_public_key",
    "sender_user_id_length",
    "sender_user_id",
};

// One message. In a parsed message the views point into the parsed bytes; for building
// they point at the caller's data. Each variable field's length field is its view's size.
struct Message {
    std::uint64_t version = VERSION;
    std::array<std::uint8_t, OID_SIZE> oid{};
    std::uint64_t recipient_derivation_key_index = 0;
    std::uint64_t sender_signing_key_index = 0;
    std::uint64_t cipher_algorithm_index = 0;
    bytes_view derivation_public_key;
    bytes_view iv;
    bytes_view encrypted_key_blob;
    bytes_view signature;
    bytes_view sender_public_key;
    bytes_view sender_user_id;
};

// Reads one message from the start of `data`. Throws FormatError, naming the field, when
// the bytes end before a field is complete. The views of the result alias `data`.
Message parse(bytes_view data);

// Total encoded size of `msg`; throws FormatError if it would not fit in size_t.
std::size_t encoded_size(const Message& msg);

// Writes `msg` into `out`, which must be exactly encoded_size(msg) bytes.
void build_into(const Message& msg, std::span<std::uint8_t> out);
std::vector<std::uint8_t> build(const Message& msg);

}  // namespace norvo::core::ies
