#include "norvo/core/keyfile_format.hpp"

#include "norvo/core/byte_io.hpp"

#include <cstring>
#include <limits>
#include <string>

namespace norvo::core::keyfile {

namespace {

auto reader(bytes_view data) { return format_reader(data, "truncated key file"); }

std::size_t add(std::size_t a, std::size_t b) {
    return checked_add(a, b, [] { throw FormatError("key file too large"); });
}

void write_section(ByteWriter& w, const Section& s) {
    w.var(s.salt);
    w.var(s.iv);
    w.var(s.encrypted);
}

}  // namespace

Section parse_section(bytes_view data, std::size_t* consumed) {
    auto r = reader(data);
    Section s;
    s.salt = r.var("salt_length", "salt");
    s.iv = r.var("iv_length", "iv");
    s.encrypted = r.var("encrypted_length", "encrypted");
    if (consumed) *consumed = r.position();
    return s;
}

KeyFile parse(bytes_view data) {
    auto r = reader(data);
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
    ByteWriter w(out.data());
    write_section(w, s);
}

void build_into(const KeyFile& f, std::span<std::uint8_t> out) {
    if (out.size() != encoded_size(f)) throw FormatError("output size does not match the key file");
    ByteWriter w(out.data());
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
