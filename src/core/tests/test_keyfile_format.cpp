#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "norvo/core/keyfile_format.hpp"

namespace kf = norvo::core::keyfile;

namespace {

std::vector<std::uint8_t> fill(std::size_t n, std::uint8_t first) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(first + i);
    return v;
}

std::uint64_t u64_at(const std::vector<std::uint8_t>& b, std::size_t off) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(b.at(off + i)) << (8 * i);
    return v;
}

void put_u64(std::vector<std::uint8_t>& b, std::size_t off, std::uint64_t v) {
    for (std::size_t i = 0; i < 8; ++i) b.at(off + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

bool same(kf::bytes_view a, const std::vector<std::uint8_t>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// A key file as this system writes it: 8-byte salts, 16-byte IVs, a 112-byte rescue text.
struct Sample {
    std::vector<std::uint8_t> salt1 = fill(8, 0x10), iv1 = fill(16, 0x20), enc1 = fill(300, 0x40);
    std::vector<std::uint8_t> salt2 = fill(8, 0x80), iv2 = fill(16, 0x90), enc2 = fill(112, 0xa0);
    kf::KeyFile file() const {
        kf::KeyFile f;
        f.key_ring = {salt1, iv1, enc1};
        f.rescue = {salt2, iv2, enc2};
        f.key_ring_length = kf::section_size(f.key_ring);
        f.rescue_length = kf::section_size(f.rescue);
        return f;
    }
};

}  // namespace

TEST(KeyFileFormat, SectionGoldenLayout) {
    Sample s;
    std::vector<std::uint8_t> b = kf::build_section({s.salt1, s.iv1, s.enc1});
    // A section is 48 bytes longer than the text it seals.
    ASSERT_EQ(b.size(), 48u + 300u);
    EXPECT_EQ(kf::SALT_OFFSET, 8u);
    EXPECT_EQ(kf::IV_LENGTH_OFFSET, 16u);
    EXPECT_EQ(kf::IV_OFFSET, 24u);
    EXPECT_EQ(kf::ENCRYPTED_LENGTH_OFFSET, 40u);
    EXPECT_EQ(kf::ENCRYPTED_OFFSET, 48u);
    EXPECT_EQ(u64_at(b, 0), 8u);
    EXPECT_TRUE(same({b.data() + 8, 8}, s.salt1));
    EXPECT_EQ(u64_at(b, 16), 16u);
    EXPECT_TRUE(same({b.data() + 24, 16}, s.iv1));
    EXPECT_EQ(u64_at(b, 40), 300u);
    EXPECT_TRUE(same({b.data() + 48, 300}, s.enc1));
}

TEST(KeyFileFormat, KeyFileGoldenLayout) {
    Sample s;
    std::vector<std::uint8_t> b = kf::build(s.file());
    const std::size_t ring = 48 + 300, rescue = 48 + 112;
    ASSERT_EQ(b.size(), 24 + ring + rescue);
    // Version 1 as unsigned 64-bit little-endian: 01 00 00 00 00 00 00 00.
    const std::vector<std::uint8_t> v1 = {1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(same({b.data(), 8}, v1));
    EXPECT_EQ(u64_at(b, 8), ring);
    EXPECT_EQ(u64_at(b, 16), 160u);  // the rescue of a 96-digit hashed password
    EXPECT_EQ(u64_at(b, 24), 8u);
    EXPECT_TRUE(same({b.data() + 32, 8}, s.salt1));
    EXPECT_EQ(u64_at(b, 40), 16u);
    EXPECT_TRUE(same({b.data() + 48, 16}, s.iv1));
    EXPECT_EQ(u64_at(b, 64), 300u);
    EXPECT_TRUE(same({b.data() + 72, 300}, s.enc1));
    const std::size_t r = 24 + ring;
    EXPECT_EQ(u64_at(b, r), 8u);
    EXPECT_TRUE(same({b.data() + r + 8, 8}, s.salt2));
    EXPECT_EQ(u64_at(b, r + 16), 16u);
    EXPECT_TRUE(same({b.data() + r + 24, 16}, s.iv2));
    EXPECT_EQ(u64_at(b, r + 40), 112u);
    EXPECT_TRUE(same({b.data() + r + 48, 112}, s.enc2));
}

TEST(KeyFileFormat, ParseRoundTripAndViewsAlias) {
    Sample s;
    std::vector<std::uint8_t> b = kf::build(s.file());
    kf::KeyFile f = kf::parse(b);
    EXPECT_EQ(f.version, 1u);
    EXPECT_EQ(f.key_ring_length, 348u);
    EXPECT_EQ(f.rescue_length, 160u);
    EXPECT_TRUE(same(f.key_ring.salt, s.salt1));
    EXPECT_TRUE(same(f.key_ring.iv, s.iv1));
    EXPECT_TRUE(same(f.key_ring.encrypted, s.enc1));
    EXPECT_TRUE(same(f.rescue.salt, s.salt2));
    EXPECT_TRUE(same(f.rescue.iv, s.iv2));
    EXPECT_TRUE(same(f.rescue.encrypted, s.enc2));
    EXPECT_EQ(f.rescue.salt.data(), b.data() + 24 + 348 + 8);
    EXPECT_EQ(kf::build(f), b);
}

TEST(KeyFileFormat, HeaderLengthsAndTrailingBytesAreIgnored) {
    Sample s;
    std::vector<std::uint8_t> b = kf::build(s.file());
    for (std::uint64_t wrong : {std::uint64_t{0}, std::uint64_t{7}, std::numeric_limits<std::uint64_t>::max()}) {
        std::vector<std::uint8_t> c = b;
        put_u64(c, 8, wrong);
        put_u64(c, 16, wrong);
        c.insert(c.end(), {0xde, 0xad});
        kf::KeyFile f = kf::parse(c);
        EXPECT_EQ(f.key_ring_length, wrong);
        EXPECT_TRUE(same(f.key_ring.encrypted, s.enc1));
        EXPECT_TRUE(same(f.rescue.encrypted, s.enc2));
    }
}

TEST(KeyFileFormat, EveryTruncationFails) {
    Sample s;
    std::vector<std::uint8_t> b = kf::build(s.file());
    for (std::size_t n = 0; n < b.size(); ++n) {
        kf::bytes_view cut(b.data(), n);
        EXPECT_THROW(kf::parse(cut), norvo::core::FormatError) << "length " << n;
    }
    EXPECT_NO_THROW(kf::parse(b));
}

TEST(KeyFileFormat, HugeLengthFieldsFailWithoutReading) {
    Sample s;
    std::vector<std::uint8_t> b = kf::build(s.file());
    // Each variable field's length field, in both sections.
    const std::size_t r = 24 + 348;
    for (std::size_t off : {std::size_t{24}, std::size_t{40}, std::size_t{64}, r, r + 16, r + 40}) {
        for (std::uint64_t huge : {std::numeric_limits<std::uint64_t>::max(), std::uint64_t{1} << 40,
                                   std::uint64_t{b.size()}}) {
            std::vector<std::uint8_t> c = b;
            put_u64(c, off, huge);
            EXPECT_THROW(kf::parse(c), norvo::core::FormatError) << "offset " << off;
        }
    }
}

TEST(KeyFileFormat, EmptyFieldsAndOtherSizesRoundTrip) {
    // Nothing is compared on reading: other salt and IV sizes parse, and build gives them back.
    std::vector<std::uint8_t> salt = fill(3, 1), iv, enc = fill(1, 9);
    kf::KeyFile f;
    f.version = 2;
    f.key_ring = {salt, iv, enc};
    f.rescue = {};
    std::vector<std::uint8_t> b = kf::build(f);
    ASSERT_EQ(b.size(), 24u + 24u + 4u + 24u);
    kf::KeyFile g = kf::parse(b);
    EXPECT_EQ(g.version, 2u);
    EXPECT_TRUE(same(g.key_ring.salt, salt));
    EXPECT_TRUE(g.key_ring.iv.empty());
    EXPECT_TRUE(g.rescue.encrypted.empty());
    EXPECT_EQ(kf::build(g), b);
}

TEST(KeyFileFormat, BuildIntoChecksOutputSize) {
    Sample s;
    kf::KeyFile f = s.file();
    std::vector<std::uint8_t> out(kf::encoded_size(f) - 1);
    EXPECT_THROW(kf::build_into(f, out), norvo::core::FormatError);
    std::vector<std::uint8_t> sec(kf::section_size(f.rescue) + 1);
    EXPECT_THROW(kf::build_section_into(f.rescue, sec), norvo::core::FormatError);
}
