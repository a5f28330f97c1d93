#include "norvo/core/keyfile_format.hpp"

#include <cstring>
#include <limits>
#include <string>

namespace norvo::core::keyfile {

namespace {

class Reader {
public:
    explicit Reader(bytes_view data) : data_(data) {}

    std::uint64_t u64(const char* field) {
        bytes_view b = take(INTEGER_SIZE, field);
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < INTEGER_SIZE; ++i) v |= static_cast<std::uint64_t>(b[i]) << (8 * i);
        return v;
    }

    // The announced length is compared with what remains before anything is taken.
    bytes_view take(std::uint64_t n, const char* field) {
        std::size_t remaining = data_.size() - pos_;
        if (n > remaining)
            throw FormatError("truncated key file: field '" + std::string(field) + "' needs " + std::to_string(n) +
                              " bytes, " + std::to_string(remaining) + " remain");
        bytes_view b = data_.subspan(pos_, static_cast<std::size_t>(n));
        pos_ += static_cast<std::size_t>(n);
        return b;
    }

    std::size_t position() const { return pos_; }
    bytes_view rest() const { return data_.subspan(pos_); }

private:
    bytes_view data_;
    std::size_t pos_ = 0;
};

class Writer {
public:
    explicit Writer(std::span<std::uint8_t> out) : out_(out) {}

    void u64(std::uint64_t v) {
        for (std::size_t i = 0; i < INTEGER_SIZE; ++i) out_[pos_ + i] = static_cast<std::uint8_t>(v >> (8 * i));
        pos_ += INTEGER_SIZE;
    }

    void raw(bytes_view b) {
        if (!b.empty()) std::memcpy(out_.data() + pos_, b.data(), b.size());
        pos_ += b.size();
    }

    std::size_t position() const { return pos_; }

private:
    std::span<std::uint8_t> out_;
    std::size_t pos_ = 0;
};

std::size_t add(std::size_t a, std::size_t b) {
    if (a > std::numeric_limits<std::size_t>::max() - b) throw FormatError("key file too large");
    return a + b;
}

void write_section(Writer& w, const Section& s) {
    w.u64(s.salt.size());
    w.raw(s.salt);
    w.u64(s.iv.size());
    w.raw(s.iv);
    w.u64(s.encrypted.size());
    w.raw(s.encrypted);
}

}  // namespace

Section parse_section(bytes_view data, std::size_t* consumed) {
    Reader r(data);
    Section s;
    std::uint64_t n = r.u64("salt_length");
    s.salt = r.take(n, "salt");
    n = r.u64("iv_length");
    s.iv = r.take(n, "iv");
    n = r.u64("encrypted_length");
    s.encrypted = r.take(n, "encrypted");
    if (consumed) *consumed = r.position();
    return s;
}

KeyFile parse(bytes_view data) {
    Reader r(data);
    KeyFile f;
    f.version = r.u64("version");
    f.key_ring_length = r.u64("key_ring_length");
    f.rescue_length = r.u64("rescue_length");
    std::size_t used = 0;
    f.key_ring = parse_section(r.rest(), &used);
    r.take(used, "key_ring");
    f.rescue = parse_section(r.rest(), &used);
    return f;
}

std::size_t section_size(const Section& s) {
    return add(add(add(SECTION_OVERHEAD, s.salt.size()), s.iv.size()), s.encrypted.size());
}

std::size_t encoded_size(const KeyFile& f) { return add(add(HEADER_SIZE, section_size(f.key_ring)), section_size(f.rescue)); }

void build_section_into(const Section& s, std::span<std::uint8_t> out) {
    if (out.size() != section_size(s)) throw FormatError("output size does not match the section");
    Writer w(out);
    write_section(w, s);
}

void build_into(const KeyFile& f, std::span<std::uint8_t> out) {
    if (out.size() != encoded_size(f)) throw FormatError("output size does not match the key file");
    Writer w(out);
    w.u64(f.version);
    w.u64(f.key_ring_length);
    w.u64(f.rescue_length);
    write_section(w, f.key_ring);
    write_section(w, f.rescue);
}

std::vector<std::uint8_t> build_section(const Section& s) {
    std::vector<std::uint8_t> out(section_size(s));
    build_section_into(s, out);
    return out;
}

std::vector<std::uint8_t> build(const KeyFile& f) {
    std::vector<std::uint8_t> out(encoded_size(f));
    build_into(f, out);
    return out;
}

}  // namespace norvo::core::keyfile
