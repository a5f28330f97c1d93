#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "norvo/core/ies_format.hpp"

namespace ies = norvo::core::ies;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes filled(std::size_t n, std::uint8_t v) { return Bytes(n, v); }

std::uint64_t u64_at(const Bytes& b, std::size_t off) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(b.at(off + i)) << (8 * i);
    return v;
}

void put_u64(Bytes& b, std::size_t off, std::uint64_t v) {
    for (std::size_t i = 0; i < 8; ++i) b.at(off + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

struct Sample {
    Bytes eph = filled(120, 0xE1), iv = filled(16, 0x17), blob = filled(200, 0xB0), sig = filled(103, 0x51),
          spk = filled(120, 0x5B), uid = filled(16, 0x0D);
    ies::Message msg() const {
        ies::Message m;
        m.version = 1;
        for (std::size_t i = 0; i < 16; ++i) m.oid[i] = static_cast<std::uint8_t>(i);
        m.recipient_derivation_key_index = 3;
        m.sender_signing_key_index = 7;
        m.cipher_algorithm_index = 0;
        m.derivation_public_key = eph;
        m.iv = iv;
        m.encrypted_key_blob = blob;
        m.signature = sig;
        m.sender_public_key = spk;
        m.sender_user_id = uid;
        return m;
    }
};

}  // namespace

// Every field at its offset, for the sizes a container-key envelope has.
TEST(IesFormat, GoldenLayout) {
    Sample s;
    Bytes out = ies::build(s.msg());
    ASSERT_EQ(out.size(), 671u);  // 368 + 200-byte payload + 103-byte signature
    EXPECT_EQ(u64_at(out, 0), 1u);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(out[8 + i], i);
    EXPECT_EQ(u64_at(out, 24), 3u);
    EXPECT_EQ(u64_at(out, 32), 7u);
    EXPECT_EQ(u64_at(out, 40), 0u);
    EXPECT_EQ(u64_at(out, 48), 120u);
    EXPECT_EQ(Bytes(out.begin() + 56, out.begin() + 176), s.eph);
    EXPECT_EQ(u64_at(out, 176), 16u);
    EXPECT_EQ(Bytes(out.begin() + 184, out.begin() + 200), s.iv);
    EXPECT_EQ(u64_at(out, 200), 200u);
    EXPECT_EQ(Bytes(out.begin() + 208, out.begin() + 408), s.blob);
    EXPECT_EQ(u64_at(out, 408), 103u);
    EXPECT_EQ(Bytes(out.begin() + 416, out.begin() + 519), s.sig);
    EXPECT_EQ(u64_at(out, 519), 120u);
    EXPECT_EQ(Bytes(out.begin() + 527, out.begin() + 647), s.spk);
    EXPECT_EQ(u64_at(out, 647), 16u);
    EXPECT_EQ(Bytes(out.begin() + 655, out.begin() + 671), s.uid);
}

TEST(IesFormat, ParseReadsBackWhatWasBuiltAndIgnoresTrailingBytes) {
    Sample s;
    Bytes out = ies::build(s.msg());
    out.insert(out.end(), {0xAA, 0xBB, 0xCC});
    ies::Message m = ies::parse(out);
    EXPECT_EQ(m.version, 1u);
    EXPECT_EQ(m.oid, s.msg().oid);
    EXPECT_EQ(m.recipient_derivation_key_index, 3u);
    EXPECT_EQ(m.sender_signing_key_index, 7u);
    EXPECT_EQ(Bytes(m.derivation_public_key.begin(), m.derivation_public_key.end()), s.eph);
    EXPECT_EQ(Bytes(m.iv.begin(), m.iv.end()), s.iv);
    EXPECT_EQ(Bytes(m.encrypted_key_blob.begin(), m.encrypted_key_blob.end()), s.blob);
    EXPECT_EQ(Bytes(m.signature.begin(), m.signature.end()), s.sig);
    EXPECT_EQ(Bytes(m.sender_public_key.begin(), m.sender_public_key.end()), s.spk);
    EXPECT_EQ(Bytes(m.sender_user_id.begin(), m.sender_user_id.end()), s.uid);
    // Views alias the input: nothing is copied.
    EXPECT_EQ(m.encrypted_key_blob.data(), out.data() + 208);
}

TEST(IesFormat, MinimalMessageHasSixEmptyFields) {
    Bytes zeros(96, 0);
    ies::Message m = ies::parse(zeros);
    EXPECT_TRUE(m.derivation_public_key.empty());
    EXPECT_TRUE(m.sender_user_id.empty());
    EXPECT_THROW(ies::parse(Bytes(95, 0)), norvo::core::FormatError);
    EXPECT_THROW(ies::parse(Bytes()), norvo::core::FormatError);
}

// Every prefix of a valid message is refused; none reads past its end.
TEST(IesFormat, EveryTruncationFails) {
    Sample s;
    Bytes out = ies::build(s.msg());
    for (std::size_t n = 0; n < out.size(); ++n) {
        Bytes prefix(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_THROW(ies::parse(prefix), norvo::core::FormatError) << n;
    }
}

// Length fields that announce more than is there, up to 2^64 - 1, fail at once.
TEST(IesFormat, HugeLengthFieldsFail) {
    Sample s;
    const Bytes good = ies::build(s.msg());
    for (std::size_t off : {48u, 176u, 200u, 408u, 519u, 647u}) {
        for (std::uint64_t v : {std::numeric_limits<std::uint64_t>::max(), std::numeric_limits<std::uint64_t>::max() - 7,
                                std::uint64_t{1} << 63, std::uint64_t{100000}}) {
            Bytes bad = good;
            put_u64(bad, off, v);
            EXPECT_THROW(ies::parse(bad), norvo::core::FormatError) << off << " " << v;
        }
    }
}

TEST(IesFormat, FormatErrorNamesTheField) {
    Bytes zeros(96, 0);
    put_u64(zeros, 64, 1000);  // encrypted_key_blob_length of a message whose other fields are empty
    try {
        ies::parse(zeros);
        FAIL();
    } catch (const norvo::core::FormatError& e) {
        EXPECT_NE(std::string(e.what()).find("encrypted_key_blob"), std::string::npos);
    }
}
