#include "norvo/core/container_format.hpp"

#include "norvo/core/byte_io.hpp"

#include <cstring>
#include <limits>

namespace norvo::core::container {

namespace {

// A short read is reported in the format library's (construct 2.10's) own words.
auto reader(bytes_view in) {
    return ByteReader(in, [](const char*, std::uint64_t needed, std::size_t remaining) {
        throw FormatError("stream read less than specified amount, expected " + std::to_string(needed) +
                          ", found " + std::to_string(remaining));
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

void require_both_keys(const KeyRecord& k) {
    if (k.cipher_key.empty()) throw InvalidArgument("Container key record has an empty cipher key.");
    if (k.mac_key.empty()) throw InvalidArgument("Container key record has an empty MAC key.");
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
    ModeReadGuard mode;  // the cipher and the MAC under one reading of the FIPS mode
    AesCtr cipher(cipher_key);
    seal_section(cipher, HmacSha384Key(mac_key), iv, plaintext, out);
}

void seal_section(AesCtr& cipher, const HmacSha384Key& mac_key, bytes_view iv, bytes_view plaintext,
                  std::uint8_t* out) {
    aes_ctr_check_iv(iv.size());
    std::uint8_t* p = put_field(out, iv);
    p = put_u64(p, plaintext.size());
    std::uint8_t* ciphertext = p;
    cipher.apply(iv, plaintext, ciphertext);
    p += plaintext.size();
    auto tag = mac_key.mac(bytes_view(ciphertext, plaintext.size()));
    put_field(p, bytes_view(tag));
}

namespace {

// The section's size in the container, and its length as the preamble states it.
struct Placed {
    std::size_t size;
    std::uint64_t stated;
};

Placed place(const PortionInput& p) {
    if (!p.sealed) {
        std::size_t n = section_size(IV_SIZE, p.bytes.size(), DIGEST_SIZE);
        return {n, n};
    }
    return {parse_section(p.bytes).size, p.bytes.size()};
}

}  // namespace

Layout plan_container(const KeysView& keys, const PortionInput& header, const PortionInput& content) {
    aes_ctr_check(keys.cipher_key.size(), IV_SIZE);
    Layout l;
    Placed h = place(header), c = place(content);
    l.header_offset = PREAMBLE_SIZE;
    l.header_size = h.size;
    l.content_offset = add(PREAMBLE_SIZE, h.size);
    l.content_size = c.size;
    l.size = container_size(h.size, c.size);
    return l;
}

void seal_container(const KeysView& keys, bytes_view oid, const PortionInput& header, const PortionInput& content,
                    const Layout& layout, std::uint8_t* out, const std::uint8_t* given_nonces) {
    ModeReadGuard mode;  // both portions under one reading of the FIPS mode
    // Both counter blocks come from one draw: every call of the generator costs as much as
    // sealing a small portion.
    std::uint8_t nonces[2 * NONCE_SIZE];
    if (given_nonces)
        std::memcpy(nonces, given_nonces, sizeof nonces);
    else
        random_bytes(bytes_out(nonces, sizeof nonces));
    const PortionInput* portions[2] = {&header, &content};
    const std::size_t offsets[2] = {layout.header_offset, layout.content_offset};
    std::uint64_t stated[2];
    const HmacSha384Key mac_key(keys.mac_key);
    AesCtr cipher(keys.cipher_key);
    for (int i = 0; i < 2; ++i) {
        const PortionInput& p = *portions[i];
        std::uint8_t* at = out + offsets[i];
        if (p.sealed) {
            std::size_t n = i == 0 ? layout.header_size : layout.content_size;
            std::memcpy(at, p.bytes.data(), n);
            stated[i] = p.bytes.size();
            continue;
        }
        std::uint8_t iv[IV_SIZE] = {0};
        std::memcpy(iv, nonces + i * NONCE_SIZE, NONCE_SIZE);
        seal_section(cipher, mac_key, bytes_view(iv, IV_SIZE), p.bytes, at);
        stated[i] = section_size(IV_SIZE, p.bytes.size(), DIGEST_SIZE);
    }
    write_preamble(out, VERSION, oid, 0, 0, stated[0], stated[1]);
}

OpenFailure open_container(const KeysView& keys, const Section* header, std::uint8_t* header_out,
                           const Section* content, std::uint8_t* content_out) {
    ModeReadGuard mode;  // both portions under one reading of the FIPS mode
    const HmacSha384Key mac_key(keys.mac_key);
    if (header && !verify_section(mac_key, *header)) return OpenFailure::header;
    if (content && !verify_section(mac_key, *content)) return OpenFailure::content;
    for (const Section* s : {header, content})
        if (s) aes_ctr_check(keys.cipher_key.size(), s->iv.size());
    if (!header && !content) return OpenFailure::none;
    AesCtr cipher(keys.cipher_key);
    if (header) open_section(cipher, *header, header_out);
    if (content) open_section(cipher, *content, content_out);
    return OpenFailure::none;
}

bool verify_section(bytes_view mac_key, const Section& s) { return hmac_sha384_verify(mac_key, s.encrypted, s.digest); }

bool verify_section(const HmacSha384Key& mac_key, const Section& s) { return mac_key.verify(s.encrypted, s.digest); }

void open_section(bytes_view cipher_key, const Section& s, std::uint8_t* out) {
    aes_ctr(cipher_key, s.iv, s.encrypted, out);
}

void open_section(AesCtr& cipher, const Section& s, std::uint8_t* out) { cipher.apply(s.iv, s.encrypted, out); }

}  // namespace norvo::core::container
