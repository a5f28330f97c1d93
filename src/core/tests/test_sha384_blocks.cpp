// The fast SHA-384 path on its own: known answers, and agreement with OpenSSL's EVP HMAC and
// PBKDF2 on random inputs around the digest's block and padding boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "known_answers.hpp"
#include "norvo/core/crypto.hpp"
#include "norvo/core/sha384_blocks.hpp"

#include <openssl/evp.h>

namespace core = norvo::core;
namespace blocks = norvo::core::sha384_blocks;
using core::testing::view;

namespace {

std::string hex(const std::array<std::uint8_t, core::SHA384_DIGEST_SIZE>& tag) { return core::to_hex(tag); }

// Feeds `data` in pieces of `step` bytes (and one empty piece first).
std::array<std::uint8_t, core::SHA384_DIGEST_SIZE> in_pieces(blocks::Hmac mac, core::bytes_view data,
                                                             std::size_t step) {
    mac.update({});
    for (std::size_t off = 0; off < data.size(); off += step) mac.update(data.subspan(off, std::min(step, data.size() - off)));
    return mac.final();
}

std::vector<std::uint8_t> evp_hmac(core::bytes_view key, core::bytes_view data) {
    std::vector<std::uint8_t> out(core::SHA384_DIGEST_SIZE);
    std::size_t len = 0;
    static const unsigned char none[1] = {0};
    EXPECT_NE(EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA2-384", nullptr, key.empty() ? none : key.data(), key.size(),
                        data.empty() ? none : data.data(), data.size(), out.data(), out.size(), &len),
              nullptr);
    EXPECT_EQ(len, out.size());
    return out;
}

std::vector<std::uint8_t> evp_pbkdf2(core::bytes_view secret, core::bytes_view salt, std::uint64_t iterations,
                                     std::size_t length) {
    std::vector<std::uint8_t> out(length);
    static const unsigned char none[1] = {0};
    EXPECT_EQ(1, PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(secret.empty() ? none : secret.data()),
                                   static_cast<int>(secret.size()), salt.empty() ? none : salt.data(),
                                   static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha384(),
                                   static_cast<int>(length), out.data()));
    return out;
}

}  // namespace

TEST(Sha384Blocks, HmacRfc4231) {
    for (const auto& c : core::testing::rfc4231()) {
        const blocks::HmacKey key(view(c.key));
        EXPECT_EQ(hex(key.mac(view(c.data))), c.tag) << "case " << c.number;
        for (std::size_t step : {1u, 7u, 128u})
            EXPECT_EQ(hex(in_pieces(blocks::Hmac(key), view(c.data), step)), c.tag) << "case " << c.number << "/" << step;
        EXPECT_EQ(hex(in_pieces(blocks::Hmac(view(c.key)), view(c.data), 64)), c.tag) << "case " << c.number;
        // Streaming from the key leaves it as it was.
        EXPECT_EQ(hex(key.mac(view(c.data))), c.tag) << "case " << c.number;
    }
}

TEST(Sha384Blocks, Pbkdf2KnownAnswers) {
    for (const auto& c : core::testing::pbkdf2_sha384()) {
        std::vector<std::uint8_t> out(c.length);
        blocks::pbkdf2_hmac(view(c.secret), view(c.salt), c.iterations, out);
        EXPECT_EQ(core::to_hex(view(out)), c.key) << c.length;
    }
}

// Keys on both sides of the 128-byte block (a longer one is hashed first) and messages on
// both sides of the padding boundary (112 bytes) and of the block.
TEST(Sha384Blocks, HmacMatchesEvp) {
    for (std::size_t key_len : {0u, 1u, 48u, 127u, 128u, 129u, 300u}) {
        const auto secret = core::random_bytes(key_len);
        const blocks::HmacKey key(view(secret));
        for (std::size_t n : {0u, 1u, 111u, 112u, 127u, 128u, 129u, 1000u}) {
            const auto data = core::random_bytes(n);
            const auto theirs = core::to_hex(view(evp_hmac(view(secret), view(data))));
            EXPECT_EQ(hex(key.mac(view(data))), theirs) << key_len << "/" << n;
            EXPECT_EQ(hex(in_pieces(blocks::Hmac(key), view(data), 100)), theirs) << key_len << "/" << n;
        }
    }
}

// Secret lengths around the block, empty salts and secrets, and outputs of one to three
// blocks, the last one cut or whole.
TEST(Sha384Blocks, Pbkdf2MatchesEvp) {
    for (std::size_t secret_len : {0, 1, 48, 127, 128, 129, 300}) {
        for (std::size_t salt_len : {0, 8, 111, 200}) {
            for (std::uint64_t iterations : {1, 2, 3, 17}) {
                for (std::size_t out_len : {1, 32, 48, 49, 100}) {
                    const auto secret = core::random_bytes(secret_len), salt = core::random_bytes(salt_len);
                    std::vector<std::uint8_t> ours(out_len);
                    blocks::pbkdf2_hmac(view(secret), view(salt), iterations, ours);
                    ASSERT_EQ(ours, evp_pbkdf2(view(secret), view(salt), iterations, out_len))
                        << secret_len << " " << salt_len << " " << iterations << " " << out_len;
                }
            }
        }
    }
}
