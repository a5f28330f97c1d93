// libFuzzer target: the integrated-encryption message codec on arbitrary bytes.
// Any input either parses or throws FormatError; a parsed message only points inside the
// input, re-encodes to exactly the bytes it was read from, and parses again to itself.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "invariants.hpp"
#include "norvo/core/ies_format.hpp"

namespace ies = norvo::core::ies;
using norvo::fuzz::equal;
using norvo::fuzz::fail;
using norvo::fuzz::inside;

const char* const norvo::fuzz::TARGET = "ies_format";

namespace {

bool same(const ies::Message& a, const ies::Message& b) {
    return a.version == b.version && a.oid == b.oid &&
           a.recipient_derivation_key_index == b.recipient_derivation_key_index &&
           a.sender_signing_key_index == b.sender_signing_key_index &&
           a.cipher_algorithm_index == b.cipher_algorithm_index &&
           equal(a.derivation_public_key, b.derivation_public_key) && equal(a.iv, b.iv) &&
           equal(a.encrypted_key_blob, b.encrypted_key_blob) && equal(a.signature, b.signature) &&
           equal(a.sender_public_key, b.sender_public_key) && equal(a.sender_user_id, b.sender_user_id);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ies::bytes_view in(data, size);
    ies::Message msg;
    try {
        msg = ies::parse(in);
    } catch (const norvo::core::FormatError&) {
        return 0;
    }
    if (size < ies::FIXED_SIZE) fail("parsed fewer bytes than the fixed fields");
    for (ies::bytes_view v : {msg.derivation_public_key, msg.iv, msg.encrypted_key_blob, msg.signature,
                              msg.sender_public_key, msg.sender_user_id})
        if (!inside(v, in)) fail("view outside the input");

    std::size_t n = ies::encoded_size(msg);
    if (n > size) fail("encoded size larger than the input");
    std::vector<std::uint8_t> again = ies::build(msg);
    if (again.size() != n || std::memcmp(again.data(), data, n) != 0) fail("re-encoding differs from the input");

    ies::Message back = ies::parse(again);
    if (!same(msg, back)) fail("re-parse differs");
    return 0;
}
