#include "norvo/core/ies_format.hpp"

#include <cstring>
#include <limits>

namespace norvo::core::ies {

namespace {

class Reader {
public:
    explicit Reader(bytes_view data) : data_(data) {}

    std::uint64_t u64(const char* field) {
        bytes_view b = take(8, field);
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(b[i]) << (8 * i);
        return v;
    }

    // The announced length is checked against what remains before anything is taken, so
    // a huge value fails here instead of driving a read or an allocation.
    bytes_view take(std::uint64_t n, const char* field) {
        std::size_t remaining = data_.size() - pos_;
        if (n > remaining)
            throw FormatError("truncated message: field '" + std::string(field) + "' needs " + std::to_string(n) +
                              " bytes, " + std::to_string(remaining) + " remain");
        bytes_view b = data_.subspan(pos_, static_cast<std::size_t>(n));
        pos_ += static_cast<std::size_t>(n);
        return b;
    }

    bytes_view var(const char* field) {
        std::uint64_t n = u64((std::string(field) + "_length").c_str());
        return take(n, field);
    }

private:
    bytes_view data_;
    std::size_t pos_ = 0;
};

class Writer {
public:
    explicit Writer(std::span<std::uint8_t> out) : out_(out) {}

    void u64(std::uint64_t v) {
        for (std::size_t i = 0; i < 8; ++i) out_[pos_ + i] = static_cast<std::uint8_t>(v >> (8 * i));
        pos_ += 8;
    }
    void raw(bytes_view b) {
        if (!b.empty()) std::memcpy(out_.data() + pos_, b.data(), b.size());
        pos_ += b.size();
    }
    void var(bytes_view b) {
        u64(static_cast<std::uint64_t>(b.size()));
        raw(b);
    }
    std::size_t pos() const { return pos_; }

private:
    std::span<std::uint8_t> out_;
    std::size_t pos_ = 0;
};

}  // namespace

Message parse(bytes_view data) {
    Reader r(data);
    Message m;
    m.version = r.u64("version");
    bytes_view oid = r.take(OID_SIZE, "oid");
    std::memcpy(m.oid.data(), oid.data(), OID_SIZE);
    m.recipient_derivation_key_index = r.u64("recipient_derivation_key_index");
    m.sender_signing_key_index = r.u64("sender_signing_key_index");
    m.cipher_algorithm_index = r.u64("cipher_algorithm_index");
    m.derivation_public_key = r.var("derivation_public_key");
    m.iv = r.var("iv");
    m.encrypted_key_blob = r.var("encrypted_key_blob");
    m.signature = r.var("signature");
    m.sender_public_key = r.var("sender_public_key");
    m.sender_user_id = r.var("sender_user_id");
    return m;
}

std::size_t encoded_size(const Message& m) {
    std::size_t total = FIXED_SIZE;
    for (bytes_view b : {m.derivation_public_key, m.iv, m.encrypted_key_blob, m.signature, m.sender_public_key,
                         m.sender_user_id}) {
        if (b.size() > std::numeric_limits<std::size_t>::max() - total) throw FormatError("message too large");
        total += b.size();
    }
    return total;
}

void build_into(const Message& m, std::span<std::uint8_t> out) {
    if (out.size() != encoded_size(m)) throw FormatError("output buffer does not match the message size");
    Writer w(out);
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
