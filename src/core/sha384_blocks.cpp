#include "norvo/core/sha384_blocks.hpp"

// The one file of the core on the digest's low-level interface, which OpenSSL 3 marks deprecated.
#define OPENSSL_SUPPRESS_DEPRECATED

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>

namespace norvo::core::sha384_blocks {

namespace {

static_assert(sizeof(SHA512_CTX) == sizeof(DigestState), "DigestState must hold OpenSSL's SHA-512 state exactly");
static_assert(alignof(SHA512_CTX) <= alignof(DigestState));

SHA512_CTX* ctx(DigestState& s) { return reinterpret_cast<SHA512_CTX*>(s.bytes); }
const SHA512_CTX* ctx(const DigestState& s) { return reinterpret_cast<const SHA512_CTX*>(s.bytes); }

void absorb(DigestState& s, bytes_view data) {
    if (!data.empty()) SHA384_Update(ctx(s), data.data(), data.size());
}

// HMAC's last step: `running` (a copy of the inner state that took the message) is finished,
// then takes the outer state for the outer hash, so only one state is copied per message.
void finish(DigestState& running, const DigestState& outer, std::uint8_t* out) {
    std::uint8_t inner_digest[SHA384_DIGEST_SIZE];
    SHA384_Final(inner_digest, ctx(running));
    running = outer;
    SHA384_Update(ctx(running), inner_digest, sizeof inner_digest);
    SHA384_Final(out, ctx(running));
    OPENSSL_cleanse(inner_digest, sizeof inner_digest);
}

}  // namespace

HmacKey::HmacKey(bytes_view secret) {
    constexpr std::size_t BLOCK = SHA384_BLOCK_SIZE;
    std::uint8_t key[BLOCK] = {0};
    if (secret.size() > BLOCK) {
        SHA512_CTX c;
        SHA384_Init(&c);
        SHA384_Update(&c, secret.data(), secret.size());
        SHA384_Final(key, &c);
        OPENSSL_cleanse(&c, sizeof c);
    } else if (!secret.empty()) {
        std::memcpy(key, secret.data(), secret.size());
    }
    std::uint8_t pad[BLOCK];
    for (std::size_t i = 0; i < BLOCK; ++i) pad[i] = key[i] ^ 0x36;
    SHA384_Init(ctx(inner_));
    SHA384_Update(ctx(inner_), pad, BLOCK);
    for (std::size_t i = 0; i < BLOCK; ++i) pad[i] = key[i] ^ 0x5c;
    SHA384_Init(ctx(outer_));
    SHA384_Update(ctx(outer_), pad, BLOCK);
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(pad, sizeof pad);
}

HmacKey::~HmacKey() {
    OPENSSL_cleanse(&inner_, sizeof inner_);
    OPENSSL_cleanse(&outer_, sizeof outer_);
}

std::array<std::uint8_t, SHA384_DIGEST_SIZE> HmacKey::mac(bytes_view data) const {
    std::array<std::uint8_t, SHA384_DIGEST_SIZE> out{};
    DigestState c = inner_;
    absorb(c, data);
    finish(c, outer_, out.data());
    OPENSSL_cleanse(&c, sizeof c);
    return out;
}

void Hmac::update(bytes_view data) { absorb(state_.inner_, data); }

std::array<std::uint8_t, SHA384_DIGEST_SIZE> Hmac::final() {
    std::array<std::uint8_t, SHA384_DIGEST_SIZE> out{};
    finish(state_.inner_, state_.outer_, out.data());
    return out;
}

void pbkdf2_hmac(bytes_view secret, bytes_view salt, std::uint64_t iterations, bytes_out out) {
    constexpr std::size_t BLOCK = SHA384_BLOCK_SIZE, HLEN = SHA384_DIGEST_SIZE;
    const HmacKey key(secret);

    // One block holding a 48-byte message after a 128-byte key block: the padding and the
    // bit length (176 bytes = 1408 bits) never change between iterations.
    std::uint8_t block[BLOCK] = {0};
    block[HLEN] = 0x80;
    block[BLOCK - 2] = 0x05;
    block[BLOCK - 1] = 0x80;
    auto compress = [&block](const DigestState& from, std::uint8_t* digest) {
        SHA512_CTX c = *ctx(from);
        SHA512_Transform(&c, block);
        for (std::size_t w = 0; w < HLEN / 8; ++w)
            for (std::size_t b = 0; b < 8; ++b) digest[8 * w + b] = static_cast<std::uint8_t>(c.h[w] >> (56 - 8 * b));
        OPENSSL_cleanse(&c, sizeof c);
    };

    std::uint8_t u[HLEN], t[HLEN];
    for (std::size_t off = 0, counter = 1; off < out.size(); off += HLEN, ++counter) {
        // U1 = HMAC(secret, salt || INT(counter)) through the ordinary digest path.
        std::uint8_t be[4] = {static_cast<std::uint8_t>(counter >> 24), static_cast<std::uint8_t>(counter >> 16),
                              static_cast<std::uint8_t>(counter >> 8), static_cast<std::uint8_t>(counter)};
        DigestState c = key.inner_;
        absorb(c, salt);
        SHA384_Update(ctx(c), be, sizeof be);
        SHA384_Final(block, ctx(c));
        OPENSSL_cleanse(&c, sizeof c);
        compress(key.outer_, u);
        std::memcpy(t, u, HLEN);
        for (std::uint64_t j = 1; j < iterations; ++j) {
            std::memcpy(block, u, HLEN);
            compress(key.inner_, block);
            compress(key.outer_, u);
            for (std::size_t k = 0; k < HLEN; ++k) t[k] ^= u[k];
        }
        std::memcpy(out.data() + off, t, std::min(HLEN, out.size() - off));
    }
    OPENSSL_cleanse(u, sizeof u);
    OPENSSL_cleanse(t, sizeof t);
    OPENSSL_cleanse(block, sizeof block);
}

}  // namespace norvo::core::sha384_blocks
