#include "norvo/core/ies_format.hpp"

#include "norvo/core/byte_io.hpp"

#include <cstring>
#include <limits>

namespace norvo::core::ies {

namespace {

auto reader(bytes_view data) { return format_reader(data, "truncated message"); }

}  // namespace

Message parse(bytes_view data) {
    auto r = reader(data);
    Message m;
    m.version = r.u64("version");
    bytes_view oid = r.take(OID_SIZE, "oid");
    std::memcpy(m.oid.data(), oid.data(), OID_SIZE);
    m.recipient_derivation_key_index = r.u64("recipient_derivation_key_index");
    m.sender_signing_key_index = r.u64("sender_signing_key_index");
    m.cipher_algorithm_index = r.u64("cipher_algorithm_index");
    m.derivation_public_key = r.var("derivation_public_key_length", "derivation_public_key");
    m.iv = r.var("iv_length", "iv");
    m.encrypted_key_blob = r.var("encrypted_key_blob_length", "encrypted_key_blob");
    m.signature = r.var("signature_length", "signature");
    m.sender_public_key = r.var("sender_public_key_length", "sender_public_key");
    m.sender_user_id = r.var("sender_user_id_length", "sender_user_id");
    return m;
}

std::size_t encoded_size(const Message& m) {
    std::size_t total = FIXED_SIZE;
    for (bytes_view b : {m.derivation_public_key, m.iv, m.encrypted_key_blob, m.signature, m.sender_public_key,
                         m.sender_user_id}) {
        total = checked_add(total, b.size(), [] { throw FormatError("message too large"); });
    }
    return total;
}

void build_into(const Message& m, std::span<std::uint8_t> out) {
    if (out.size() != encoded_size(m)) throw FormatError("output buffer does not match the message size");
    ByteWriter w(out.data());
    w.u64(m.version);
    w.raw(m.oid);
    w.u64(m.recipient_derivation_key_index);
    w.u64(m.sender_signing_key_index);
    w.u64(m.cipher_algorithm_index);
    w.var(m.derivation_public_key);
    w.var(m.iv);
    w.var(m.encrypted_key_blob);
    w.var(m.signature);
    w.var(m.sender_public_key);
    w.var(m.sender_user_id);
}

std::vector<std::uint8_t> build(const Message& m) {
    std::vector<std::uint8_t> out(encoded_size(m));
    build_into(m, out);
    return out;
}

}  // namespace norvo::core::ies
