// Known-answer and bad-input tests of the core's OpenSSL wrappers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "known_answers.hpp"
#include "norvo/core/crypto.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

namespace core = norvo::core;

namespace {

using core::testing::text;
using core::testing::unhex;
using core::testing::view;

// NIST SP 800-38A, F.5.5 (encrypt) and F.5.6 (decrypt), CTR-AES256. The counter block
// f0..ff carries into its second-to-last byte after the first block.
const std::string kCtrKey = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";
const std::string kCtrIv = "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";
const std::string kCtrPlain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
const std::string kCtrCipher =
    "601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"
    "2b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613c2dd08457941a6";

TEST(AesCtr, Sp800_38A_F55_Encrypt) {
    auto key = unhex(kCtrKey), iv = unhex(kCtrIv), in = unhex(kCtrPlain);
    std::vector<std::uint8_t> out(in.size());
    core::aes_ctr(view(key), view(iv), view(in), out.data());
    EXPECT_EQ(core::to_hex(view(out)), kCtrCipher);
}

TEST(AesCtr, Sp800_38A_F56_DecryptInPlace) {
    auto key = unhex(kCtrKey), iv = unhex(kCtrIv), buf = unhex(kCtrCipher);
    core::aes_ctr(view(key), view(iv), view(buf), buf.data());
    EXPECT_EQ(core::to_hex(view(buf)), kCtrPlain);
}

TEST(AesCtr, PartialBlocksKeepTheirLength) {
    auto key = unhex(kCtrKey), iv = unhex(kCtrIv), in = unhex(kCtrPlain);
    for (std::size_t n : {0u, 1u, 15u, 17u, 33u}) {
        std::vector<std::uint8_t> part(in.begin(), in.begin() + n), out(n);
        core::aes_ctr(view(key), view(iv), view(part), out.data());
        EXPECT_EQ(core::to_hex(view(out)), kCtrCipher.substr(0, 2 * n)) << n;
    }
}

TEST(AesCtr, OneKeyManyMessages) {
    // Each message starts from its own counter block, whatever the previous one left over.
    auto key = unhex(kCtrKey), iv = unhex(kCtrIv), in = unhex(kCtrPlain);
    core::AesCtr cipher(view(key));
    for (std::size_t n : {17u, 0u, 5u, 64u, 33u}) {
        std::vector<std::uint8_t> part(in.begin(), in.begin() + n), out(n);
        cipher.apply(view(iv), view(part), out.data());
        EXPECT_EQ(core::to_hex(view(out)), kCtrCipher.substr(0, 2 * n)) << n;
    }
    EXPECT_THROW(core::AesCtr(view(std::vector<std::uint8_t>(31))), core::InvalidArgument);
}

TEST(HmacSha384, PreparedKeyMatchesOneShot) {
    // Message lengths around the digest's padding boundaries (111/112 bytes) and its block.
    for (std::size_t key_size : {0u, 20u, 128u, 131u}) {
        std::vector<std::uint8_t> key(key_size, 0xaa);
        core::HmacSha384Key prepared(view(key));
        for (std::size_t n : {0u, 1u, 24u, 111u, 112u, 128u, 1000u}) {
            std::vector<std::uint8_t> data(n);
            for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 1);
            for (int round = 0; round < 2; ++round)
                EXPECT_EQ(prepared.mac(view(data)), core::hmac_sha384(view(key), view(data))) << key_size << "/" << n;
            auto tag = prepared.mac(view(data));
            EXPECT_TRUE(prepared.verify(view(data), core::bytes_view(tag)));
            EXPECT_FALSE(prepared.verify(view(data), core::bytes_view(tag).first(32)));
        }
    }
}

TEST(AesCtr, WholeBlockIsTheCounter) {
    // The low 64 bits roll over into the high half: block 2 of nonce||ff..ff is block 1 of (nonce+1)||00..00.
    auto key = unhex(kCtrKey);
    auto iv = unhex("0000000000000001ffffffffffffffff"), next = unhex("00000000000000020000000000000000");
    std::vector<std::uint8_t> zeros(32, 0), two(32), one(16);
    core::aes_ctr(view(key), view(iv), view(zeros), two.data());
    core::aes_ctr(view(key), view(next), core::bytes_view(zeros).first(16), one.data());
    EXPECT_TRUE(std::equal(one.begin(), one.end(), two.begin() + 16));
}

TEST(AesCtr, CheckRefusesBadSizes) {
    for (std::size_t k : {16u, 24u, 32u}) EXPECT_NO_THROW(core::aes_ctr_check(k, 16));
    for (std::size_t k : {0u, 15u, 31u, 33u, 64u}) EXPECT_THROW(core::aes_ctr_check(k, 16), core::InvalidArgument);
    for (std::size_t iv : {0u, 8u, 15u, 17u}) EXPECT_THROW(core::aes_ctr_check(32, iv), core::InvalidArgument);
    auto key = unhex(kCtrKey), iv = unhex(kCtrIv);
    std::vector<std::uint8_t> in(4), out(4);
    EXPECT_THROW(core::aes_ctr(core::bytes_view(key).first(31), view(iv), view(in), out.data()), core::InvalidArgument);
    EXPECT_THROW(core::aes_ctr(view(key), core::bytes_view(iv).first(15), view(in), out.data()), core::InvalidArgument);
}

TEST(HmacSha384, Rfc4231) {
    for (const auto& c : core::testing::rfc4231()) {
        auto tag = core::hmac_sha384(view(c.key), view(c.data));
        EXPECT_EQ(core::to_hex(core::bytes_view(tag)), c.tag) << "case " << c.number;
        EXPECT_TRUE(core::hmac_sha384_verify(view(c.key), view(c.data), view(unhex(c.tag)))) << "case " << c.number;
    }
}

TEST(HmacSha384, PiecesEqualOneMessage) {
    auto c = core::testing::rfc4231()[3];
    core::bytes_view all = view(c.data);
    core::bytes_view pieces[] = {all.first(10), {}, all.subspan(10)};
    auto tag = core::hmac_sha384(view(c.key), std::span<const core::bytes_view>(pieces));
    EXPECT_EQ(core::to_hex(core::bytes_view(tag)), c.tag);
}

TEST(HmacSha384, VerifyRefusesAnyChangeAndTruncation) {
    auto c = core::testing::rfc4231()[0];
    auto good = unhex(c.tag);
    auto flipped = good;
    flipped[47] ^= 1;
    std::vector<std::uint8_t> short_tag(good.begin(), good.begin() + 47);
    // RFC 4231 test case 5 publishes only the first 16 bytes: whole tags are compared.
    auto case5_key = std::vector<std::uint8_t>(20, 0x0c);
    EXPECT_FALSE(core::hmac_sha384_verify(view(c.key), view(c.data), view(flipped)));
    EXPECT_FALSE(core::hmac_sha384_verify(view(c.key), view(c.data), view(short_tag)));
    EXPECT_FALSE(core::hmac_sha384_verify(view(c.key), view(c.data), {}));
    EXPECT_FALSE(core::hmac_sha384_verify(view(case5_key), view(text("Test With Truncation")),
                                          view(unhex("3abf34c3503b2a23a46efc619baef897"))));
    EXPECT_TRUE(core::constant_time_equal({}, {}));
    EXPECT_FALSE(core::constant_time_equal(view(good), view(flipped)));
}

TEST(Sha384, Fips180_2) {
    EXPECT_EQ(core::to_hex(core::bytes_view(core::sha384(view(text("abc"))))),
              "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7");
    auto msg896 = text(
        "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu");
    ASSERT_EQ(msg896.size() * 8, 896u);
    const std::string expected =
        "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039";
    EXPECT_EQ(core::to_hex(core::bytes_view(core::sha384(view(msg896)))), expected);
    EXPECT_EQ(core::to_hex(view(core::digest("SHA384", view(msg896)))), expected);
    EXPECT_EQ(core::to_hex(core::bytes_view(core::sha384({}))),
              "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b");
}

TEST(Digest, UnknownNameThrows) {
    EXPECT_FALSE(core::digest_available("NO-SUCH-DIGEST"));
    EXPECT_TRUE(core::digest_available("SHA384"));
    EXPECT_THROW(core::digest("NO-SUCH-DIGEST", {}), core::OpenSSLError);
}

TEST(Pbkdf2, HmacSha384) {
    for (const auto& c : core::testing::pbkdf2_sha384()) {
        std::vector<std::uint8_t> out(c.length);
        core::pbkdf2_hmac("SHA384", view(c.secret), view(c.salt), c.iterations, out);
        EXPECT_EQ(core::to_hex(view(out)), c.key) << c.length;
    }
}

TEST(Pbkdf2, RefusesBadIterations) {
    std::vector<std::uint8_t> out(32);
    EXPECT_THROW(core::pbkdf2_hmac("SHA384", {}, {}, 0, out), core::InvalidArgument);
    EXPECT_THROW(core::pbkdf2_hmac("SHA384", {}, {}, std::uint64_t(1) << 40, out), core::InvalidArgument);
}

// Computed with cryptography's X963KDF(hashes.SHA384(), length, sharedinfo).derive(z).
TEST(X963Kdf, Sha384) {
    auto z = unhex("96c05619d56c328ab95fe84b18264b08725b85e33fd34f08");
    std::vector<std::uint8_t> out32(32), out80(80);
    core::x963_kdf("SHA384", view(z), {}, out32);
    EXPECT_EQ(core::to_hex(view(out32)), "913fb353930b0d05c1a99246c4f130ac23c2eda5d69fc21b96ebcf4bd9d7cc71");
    core::x963_kdf("SHA384", view(z), view(text("norvo")), out80);
    EXPECT_EQ(core::to_hex(view(out80)),
              "e4488eb41934f6900e04f0382e00d38238b6113669a935495e6d9882b9ef1688eacf0ccd36df237bc53e39f36c84815d"
              "7b04b0f992d983bbecaec1c0aff0f72b9966bd8f910ac5807ca1f63e4482ade5");
    // An empty secret is valid input: K(1) = SHA-384(00 00 00 01).
    core::x963_kdf("SHA384", {}, {}, out32);
    EXPECT_EQ(core::to_hex(view(out32)), "14d0dce7a18d3ff1fb2d2d575d0d0137a9f6a5b12eb046887bd46e94e0f615ad");
    // A longer output starts with the shorter one.
    std::vector<std::uint8_t> out97(97);
    core::x963_kdf("SHA384", view(z), {}, out97);
    core::x963_kdf("SHA384", view(z), {}, out32);
    EXPECT_TRUE(std::equal(out32.begin(), out32.end(), out97.begin()));
    EXPECT_NO_THROW(core::x963_kdf("SHA384", view(z), {}, {}));
    EXPECT_THROW(core::x963_kdf("NO-SUCH-DIGEST", view(z), {}, out32), core::OpenSSLError);
}

TEST(RandomBytes, Sizes) {
    for (std::size_t n : {0u, 1u, 8u, 16u, 32u, 128u, 100000u}) EXPECT_EQ(core::random_bytes(n).size(), n);
    std::vector<std::uint8_t> none;
    EXPECT_NO_THROW(core::random_bytes(core::bytes_out(none)));
    // Two 32-byte draws colliding would mean the generator is broken.
    EXPECT_NE(core::random_bytes(32), core::random_bytes(32));
}

TEST(Hex, Lowercase) {
    std::vector<std::uint8_t> v = {0x00, 0x0f, 0xab, 0xff};
    EXPECT_EQ(core::to_hex(view(v)), "000fabff");
    EXPECT_EQ(core::to_hex({}), "");
}

}  // namespace

// ---- One FIPS mode for the process

namespace {

// Turns OpenSSL's "fips=yes" default property on for one scope, as any code in the process
// (another module, another library on the same OpenSSL) may, without going through the core.
struct FipsPropertyOn {
    FipsPropertyOn() { EXPECT_EQ(EVP_default_properties_enable_fips(nullptr, 1), 1); }
    ~FipsPropertyOn() { EVP_default_properties_enable_fips(nullptr, 0); }
};

}  // namespace

TEST(FipsMode, IsReadFromOpenSSLEveryTime) {
    ASSERT_FALSE(core::fips_enabled());
    {
        FipsPropertyOn on;
        EXPECT_TRUE(core::fips_enabled());
    }
    EXPECT_FALSE(core::fips_enabled());
}

TEST(FipsMode, CachedAlgorithmsFollowTheMode) {
    auto key = unhex(kCtrKey), iv = unhex(kCtrIv), in = unhex(kCtrPlain);
    std::vector<std::uint8_t> out(in.size());
    auto salt = text("saltsaltsaltsalt");
    std::vector<std::uint8_t> derived(48), again(48);
    core::aes_ctr(view(key), view(iv), view(in), out.data());  // fetched and cached outside FIPS mode
    core::pbkdf2_hmac("SHA384", view(key), view(salt), 3, derived);
    const auto tag = core::hmac_sha384(view(key), view(in));
    if (OSSL_PROVIDER_available(nullptr, "fips")) GTEST_SKIP() << "a FIPS provider is loaded in this process";
    {
        // In FIPS mode every operation must fetch from a FIPS provider, and there is none
        // loaded: nothing may run on what was fetched before the switch, nor on the
        // non-FIPS fast paths of HMAC and PBKDF2.
        FipsPropertyOn on;
        EXPECT_THROW(core::aes_ctr(view(key), view(iv), view(in), out.data()), core::OpenSSLError);
        EXPECT_THROW(core::hmac_sha384(view(key), view(in)), core::OpenSSLError);
        EXPECT_THROW(core::pbkdf2_hmac("SHA384", view(key), view(salt), 3, again), core::OpenSSLError);
        EXPECT_THROW(core::sha384(view(in)), core::OpenSSLError);
    }
    // Back out of the mode, the objects are fetched again and give the same results.
    core::aes_ctr(view(key), view(iv), view(in), out.data());
    EXPECT_EQ(core::to_hex(view(out)), kCtrCipher);
    EXPECT_EQ(core::hmac_sha384(view(key), view(in)), tag);
    core::pbkdf2_hmac("SHA384", view(key), view(salt), 3, again);
    EXPECT_EQ(again, derived);
}

TEST(FipsMode, SwitchWithoutAProviderChangesNothing) {
    if (OSSL_PROVIDER_available(nullptr, "fips")) GTEST_SKIP() << "a FIPS provider is loaded in this process";
    core::FipsChange change{reinterpret_cast<void*>(1), true};
    if (core::fips_enable(&change)) GTEST_SKIP() << "this OpenSSL has a FIPS provider installed";
    EXPECT_FALSE(core::fips_enabled());
    EXPECT_EQ(change.provider, nullptr);
    EXPECT_FALSE(change.switched);
    EXPECT_EQ(ERR_peek_error(), 0u);
    EXPECT_EQ(core::sha384(view(text("abc"))).size(), 48u);
}

TEST(FipsMode, SwitchedOnWhereAProviderIsInstalled) {
    core::FipsChange change;
    if (!core::fips_enable(&change))
        GTEST_SKIP() << "OpenSSL cannot load a FIPS provider here (none installed or configured)";
    EXPECT_TRUE(core::fips_enabled());
    // The generic paths give the known answers: RFC 4231 case 1 and SP 800-38A F.5.5.
    auto key = unhex(kCtrKey), iv = unhex(kCtrIv), in = unhex(kCtrPlain);
    std::vector<std::uint8_t> out(in.size());
    core::aes_ctr(view(key), view(iv), view(in), out.data());
    EXPECT_EQ(core::to_hex(view(out)), kCtrCipher);
    auto tag = core::hmac_sha384(view(std::vector<std::uint8_t>(20, 0x0b)), view(text("Hi There")));
    EXPECT_EQ(core::to_hex(tag),
              "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59c"
              "faea9ea9076ede7f4af152e8b2fa9cb6");
    // A second switch changes nothing; undoing the first leaves the process as it was.
    core::FipsChange second;
    EXPECT_TRUE(core::fips_enable(&second));
    EXPECT_EQ(second.provider, nullptr);
    core::fips_undo(change);
    EXPECT_FALSE(core::fips_enabled());
}
