#include "norvo/core/container_format.hpp"

#include "norvo/core/byte_io.hpp"

#include <cstring>
#include <limits>

namespace norvo::core::container {

namespace {

auto reader(bytes_view in) {
    return ByteReader(in, [](const char*, std::uint64_t needed, std::size_t remaining) {
        throw TruncatedInput(needed, remaining);
    });
}
using Reader = decltype(reader(bytes_view{}));

Section read_section(Reader& r) {
    Section s;
    std::size_t start = r.position();
    s.iv_length = r.u64();
    s.iv = r.take(s.iv_length);
    s.encrypted_length = r.u64();
    s.encrypted = r.take(s.encrypted_length);
    s.digest_length = r.u64();
    s.digest = r.take(s.digest_length);
    s.size = r.position() - start;
    return s;
}

std::size_t add(std::size_t a, std::size_t b) {
    if (a > std::numeric_limits<std::size_t>::max() - b) throw InvalidArgument("record too large");
    return a + b;
}

}  // namespace

TruncatedInput::TruncatedInput(std::uint64_t expected_, std::size_t found_)
    : std::runtime_error("stream read less then specified amount, expected " + std::to_string(expected_) +
                         ", found " + std::to_string(found_)),
      expected(expected_),
      found(found_) {}

Section parse_section(bytes_view in) {
    auto r = reader(in);
    return read_section(r);
}

ContainerRecord parse_container(bytes_view in) {
    auto r = reader(in);
    ContainerRecord c;
    c.version = r.u64();
    c.oid = r.take(OID_SIZE);
    c.cipher_index = r.u64();
    c.mac_index = r.u64();
    c.header_length = r.u64();
    c.content_length = r.u64();
    // The sections are found by their own length fields; header_length and content_length
    // are carried, not trusted.
    c.header_offset = r.position();
    c.header = read_section(r);
    c.content_offset = r.position();
    c.content = read_section(r);
    c.size = r.position();
    return c;
}

KeyRecord parse_key_record(bytes_view in) {
    auto r = reader(in);
    KeyRecord k;
    k.version = r.u64();
    k.cipher_index = r.u64();
    k.cipher_key_length = r.u64();
    k.cipher_key = r.take(k.cipher_key_length);
    k.mac_index = r.u64();
    k.mac_key_length = r.u64();
    k.mac_key = r.take(k.mac_key_length);
    k.size = r.position();
    return k;
}

std::size_t section_size(std::size_t iv, std::size_t encrypted, std::size_t digest) {
    return add(add(add(SECTION_FIELDS_SIZE, iv), encrypted), digest);
}

std::size_t container_size(std::size_t header_section, std::size_t content_section) {
    return add(add(PREAMBLE_SIZE, header_section), content_section);
}

std::size_t key_record_size(std::size_t cipher_key, std::size_t mac_key) {
    return add(add(KEY_RECORD_FIELDS_SIZE, cipher_key), mac_key);
}

std::uint8_t* put_u64(std::uint8_t* out, std::uint64_t v) { return store_u64le(out, v); }

std::uint8_t* put_field(std::uint8_t* out, bytes_view b) {
    ByteWriter w(out);
    w.var(b);
    return w.cursor();
}

std::uint8_t* write_preamble(std::uint8_t* out, std::uint64_t version, bytes_view oid, std::uint64_t cipher_index,
                             std::uint64_t mac_index, std::uint64_t header_length, std::uint64_t content_length) {
    if (oid.size() != OID_SIZE) throw InvalidArgument("container id must be 16 bytes");
    out = put_u64(out, version);
    std::memcpy(out, oid.data(), OID_SIZE);
    out += OID_SIZE;
    out = put_u64(out, cipher_index);
    out = put_u64(out, mac_index);
    out = put_u64(out, header_length);
    return put_u64(out, content_length);
}

std::uint8_t* write_key_record(std::uint8_t* out, std::uint64_t version, std::uint64_t cipher_index,
                               bytes_view cipher_key, std::uint64_t mac_index, bytes_view mac_key) {
    out = put_u64(out, version);
    out = put_u64(out, cipher_index);
    out = put_field(out, cipher_key);
    out = put_u64(out, mac_index);
    return put_field(out, mac_key);
}

void seal_section(bytes_view cipher_key, bytes_view mac_key, bytes_view iv, bytes_view plaintext, std::uint8_t* out) {
    aes_ctr_check(cipher_key.size(), iv.size());
    std::uint8_t* p = put_field(out, iv);
    p = put_u64(p, plaintext.size());
    std::uint8_t* ciphertext = p;
    aes_ctr(cipher_key, iv, plaintext, ciphertext);
    p += plaintext.size();
    auto tag = hmac_sha384(mac_key, bytes_view(ciphertext, plaintext.size()));
    put_field(p, bytes_view(tag));
}

bool verify_section(bytes_view mac_key, const Section& s) { return hmac_sha384_verify(mac_key, s.encrypted, s.digest); }

void open_section(bytes_view cipher_key, const Section& s, std::uint8_t* out) {
    aes_ctr(cipher_key, s.iv, s.encrypted, out);
}

}  // namespace norvo::core::container
