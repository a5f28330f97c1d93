// libFuzzer target: the container byte formats (container bytes, one section, the
// container-key record) on arbitrary bytes, and one section sealed and opened again.
// Any input either parses or throws FormatError; what parses only points inside the
// input, takes no more bytes than it has, and written back gives the bytes it was read from.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "invariants.hpp"
#include "norvo/core/container_format.hpp"
#include "norvo/core/crypto.hpp"

namespace c = norvo::core::container;
using norvo::core::bytes_view;
using norvo::fuzz::check;
using norvo::fuzz::equal;
using norvo::fuzz::inside;

const char* const norvo::fuzz::TARGET = "container_format";

namespace {

void check_section(const c::Section& s, bytes_view in) {
    check(s.size <= in.size(), "section larger than its input");
    check(inside(s.iv, in) && inside(s.encrypted, in) && inside(s.digest, in), "section view outside the input");
    check(s.iv.size() == s.iv_length && s.encrypted.size() == s.encrypted_length &&
              s.digest.size() == s.digest_length,
          "section view size differs from its length field");
    check(s.size == c::section_size(s.iv.size(), s.encrypted.size(), s.digest.size()), "section size");
    std::vector<std::uint8_t> out(s.size);
    std::uint8_t* p = c::put_field(out.data(), s.iv);
    p = c::put_field(p, s.encrypted);
    p = c::put_field(p, s.digest);
    check(p == out.data() + out.size(), "section writer size");
    check(equal(out, in.first(s.size)), "section written back differs");
}

void sections(bytes_view in) {
    try {
        c::Section s = c::parse_section(in);
        check_section(s, in);
        // A MAC under a fixed key never matches by chance, and opening must not read past the views.
        static const std::uint8_t key[32] = {1};
        (void)c::verify_section(bytes_view(key, sizeof key), s);
        std::vector<std::uint8_t> plain(s.encrypted.size());
        try {
            c::open_section(bytes_view(key, sizeof key), s, plain.data());
        } catch (const norvo::core::InvalidArgument&) {
            check(s.iv.size() != c::IV_SIZE, "a 16-byte counter block refused");
        }
    } catch (const norvo::core::FormatError&) {
    }
}

void containers(bytes_view in) {
    try {
        c::ContainerRecord r = c::parse_container(in);
        check(r.size <= in.size(), "container larger than its input");
        check(r.oid.size() == c::OID_SIZE && inside(r.oid, in), "oid");
        check(r.header_offset == c::PREAMBLE_SIZE, "header offset");
        check(r.content_offset == r.header_offset + r.header.size, "content offset");
        check(r.size == r.content_offset + r.content.size, "container size");
        check(r.size == c::container_size(r.header.size, r.content.size), "container_size");
        check_section(r.header, in.subspan(r.header_offset));
        check_section(r.content, in.subspan(r.content_offset));
        std::vector<std::uint8_t> pre(c::PREAMBLE_SIZE);
        std::uint8_t* p = c::write_preamble(pre.data(), r.version, r.oid, r.cipher_index, r.mac_index,
                                            r.header_length, r.content_length);
        check(p == pre.data() + pre.size(), "preamble writer size");
        check(equal(pre, in.first(c::PREAMBLE_SIZE)), "preamble written back differs");
    } catch (const norvo::core::FormatError&) {
    }
}

void key_records(bytes_view in) {
    try {
        c::KeyRecord k = c::parse_key_record(in);
        check(k.size <= in.size(), "key record larger than its input");
        check(inside(k.cipher_key, in) && inside(k.mac_key, in), "key view outside the input");
        check(k.cipher_key.size() == k.cipher_key_length && k.mac_key.size() == k.mac_key_length, "key lengths");
        check(k.size == c::key_record_size(k.cipher_key.size(), k.mac_key.size()), "key record size");
        std::vector<std::uint8_t> out(k.size);
        std::uint8_t* p =
            c::write_key_record(out.data(), k.version, k.cipher_index, k.cipher_key, k.mac_index, k.mac_key);
        check(p == out.data() + out.size(), "key record writer size");
        check(equal(out, in.first(k.size)), "key record written back differs");
    } catch (const norvo::core::FormatError&) {
    }
}

// The input as a plaintext: sealed, parsed, verified and opened, it must come back whole.
void seal_round_trip(bytes_view in) {
    static const std::uint8_t cipher_key[32] = {7, 7, 7};
    static const std::uint8_t mac_key[128] = {9, 9, 9};
    static const std::uint8_t iv[16] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<std::uint8_t> sealed(c::section_size(c::IV_SIZE, in.size(), c::DIGEST_SIZE));
    c::seal_section(bytes_view(cipher_key), bytes_view(mac_key), bytes_view(iv), in, sealed.data());
    c::Section s = c::parse_section(sealed);
    check(s.size == sealed.size(), "sealed section size");
    check(c::verify_section(bytes_view(mac_key), s), "sealed section does not verify");
    std::vector<std::uint8_t> plain(s.encrypted.size());
    c::open_section(bytes_view(cipher_key), s, plain.data());
    check(equal(plain, in), "opened section differs from the sealed plaintext");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    bytes_view in(data, size);
    sections(in);
    containers(in);
    key_records(in);
    if (size <= 4096) seal_round_trip(in);
    return 0;
}
