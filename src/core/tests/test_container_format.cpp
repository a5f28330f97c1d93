#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "norvo/core/container_format.hpp"

namespace fmt = norvo::core::container;
using norvo::core::bytes_view;

namespace {

using Bytes = std::vector<std::uint8_t>;

void u64(Bytes& b, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void field(Bytes& b, const Bytes& f) {
    u64(b, f.size());
    b.insert(b.end(), f.begin(), f.end());
}

Bytes filled(std::size_t n, std::uint8_t v) { return Bytes(n, v); }

Bytes sealed(const Bytes& key, const Bytes& mac, const Bytes& iv, const Bytes& pt) {
    Bytes out(fmt::section_size(fmt::IV_SIZE, pt.size(), fmt::DIGEST_SIZE));
    fmt::seal_section(key, mac, iv, pt, out.data());
    return out;
}

const Bytes KEY = filled(32, 0x11), MAC = filled(128, 0x22);
const Bytes IV = {1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 0};

}  // namespace

TEST(ContainerFormat, SectionLayoutAndRoundTrip) {
    Bytes pt = {'h', 'e', 'l', 'l', 'o'};
    Bytes s = sealed(KEY, MAC, IV, pt);
    ASSERT_EQ(s.size(), 93u);
    fmt::Section sec = fmt::parse_section(s);
    EXPECT_EQ(sec.iv_length, 16u);
    EXPECT_EQ(Bytes(sec.iv.begin(), sec.iv.end()), IV);
    EXPECT_EQ(sec.encrypted_length, 5u);
    EXPECT_EQ(sec.digest_length, 48u);
    EXPECT_EQ(sec.size, s.size());
    EXPECT_EQ(sec.encrypted.data(), s.data() + 32);  // a view, not a copy
    EXPECT_TRUE(fmt::verify_section(MAC, sec));
    EXPECT_FALSE(fmt::verify_section(filled(128, 0x23), sec));
    Bytes out(sec.encrypted.size());
    fmt::open_section(KEY, sec, out.data());
    EXPECT_EQ(out, pt);
}

TEST(ContainerFormat, EmptySectionIs88Bytes) {
    Bytes s = sealed(KEY, MAC, IV, {});
    EXPECT_EQ(s.size(), 88u);
    fmt::Section sec = fmt::parse_section(s);
    EXPECT_EQ(sec.encrypted_length, 0u);
    EXPECT_TRUE(fmt::verify_section(MAC, sec));
}

TEST(ContainerFormat, EveryFlippedCiphertextOrDigestBitFailsTheMac) {
    Bytes s = sealed(KEY, MAC, IV, {'a', 'b', 'c'});
    for (std::size_t i = 32; i < s.size(); ++i) {
        if (i >= 35 && i < 43) continue;  // digest_length: changes the layout, not the MAC input
        for (int bit = 0; bit < 8; ++bit) {
            Bytes t = s;
            t[i] ^= static_cast<std::uint8_t>(1 << bit);
            fmt::Section sec = fmt::parse_section(t);
            EXPECT_FALSE(fmt::verify_section(MAC, sec)) << "byte " << i << " bit " << bit;
        }
    }
}

TEST(ContainerFormat, ContainerParseFindsSectionsByTheirOwnLengths) {
    Bytes h = sealed(KEY, MAC, IV, filled(40, 'h')), c = sealed(KEY, MAC, IV, filled(5, 'c'));
    Bytes oid = filled(16, 0xab);
    Bytes all(fmt::container_size(h.size(), c.size()));
    std::uint8_t* p = fmt::write_preamble(all.data(), 2, oid, 7, 9, 0, 0);  // odd values are carried
    std::copy(h.begin(), h.end(), p);
    std::copy(c.begin(), c.end(), p + h.size());
    ASSERT_EQ(all.size(), 277u);
    all.insert(all.end(), 10, 0xee);  // trailing bytes are ignored
    fmt::ContainerRecord r = fmt::parse_container(all);
    EXPECT_EQ(r.version, 2u);
    EXPECT_EQ(r.cipher_index, 7u);
    EXPECT_EQ(r.mac_index, 9u);
    EXPECT_EQ(r.header_length, 0u);
    EXPECT_EQ(r.header_offset, 56u);
    EXPECT_EQ(r.content_offset, 184u);
    EXPECT_EQ(r.header.size, 128u);
    EXPECT_EQ(r.content.size, 93u);
    EXPECT_EQ(r.size, 277u);
}

TEST(ContainerFormat, EveryTruncationIsRefused) {
    Bytes h = sealed(KEY, MAC, IV, filled(3, 'h')), c = sealed(KEY, MAC, IV, filled(2, 'c'));
    Bytes all(fmt::container_size(h.size(), c.size()));
    std::uint8_t* p = fmt::write_preamble(all.data(), 1, filled(16, 0), 0, 0, h.size(), c.size());
    std::copy(h.begin(), h.end(), p);
    std::copy(c.begin(), c.end(), p + h.size());
    for (std::size_t n = 0; n < all.size(); ++n)
        EXPECT_THROW(fmt::parse_container(bytes_view(all.data(), n)), norvo::core::FormatError) << n;
    EXPECT_NO_THROW(fmt::parse_container(all));
}

TEST(ContainerFormat, HugeLengthFieldsFailWithoutWrapping) {
    for (std::uint64_t len : {std::numeric_limits<std::uint64_t>::max(), std::numeric_limits<std::uint64_t>::max() - 7,
                              std::uint64_t(1) << 63}) {
        Bytes b;
        u64(b, 16);
        b.insert(b.end(), 16, 0);
        u64(b, len);
        b.insert(b.end(), 64, 0);
        try {
            fmt::parse_section(b);
            FAIL() << "parsed a section with length " << len;
        } catch (const norvo::core::FormatError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "stream read less than specified amount, expected " + std::to_string(len) + ", found 64");
        }
    }
}

TEST(ContainerFormat, TruncationMessageNamesBothCounts) {
    Bytes b = {1, 0, 0};
    try {
        fmt::parse_key_record(b);
        FAIL();
    } catch (const norvo::core::FormatError& e) {
        EXPECT_STREQ(e.what(), "stream read less than specified amount, expected 8, found 3");
    }
}

TEST(ContainerFormat, KeyRecordLayout) {
    Bytes ck = filled(32, 0x01), mk = filled(128, 0x02);
    Bytes rec(fmt::key_record_size(ck.size(), mk.size()));
    ASSERT_EQ(rec.size(), 200u);
    fmt::write_key_record(rec.data(), 1, 0, ck, 0, mk);
    Bytes expect;
    u64(expect, 1);
    u64(expect, 0);
    field(expect, ck);
    u64(expect, 0);
    field(expect, mk);
    EXPECT_EQ(rec, expect);
    fmt::KeyRecord k = fmt::parse_key_record(rec);
    EXPECT_EQ(k.cipher_key_length, 32u);
    EXPECT_EQ(k.mac_key_length, 128u);
    EXPECT_EQ(Bytes(k.mac_key.begin(), k.mac_key.end()), mk);
    EXPECT_EQ(fmt::key_record_size(16, 128), 184u);
}

TEST(ContainerFormat, SealRefusesBadSizesBeforeWriting) {
    Bytes out(200, 0x5a);
    EXPECT_THROW(fmt::seal_section(filled(31, 0), MAC, IV, {}, out.data()), norvo::core::InvalidArgument);
    EXPECT_THROW(fmt::seal_section(KEY, MAC, filled(15, 0), {}, out.data()), norvo::core::InvalidArgument);
    EXPECT_EQ(out, Bytes(200, 0x5a));
    EXPECT_THROW(fmt::write_preamble(out.data(), 1, filled(15, 0), 0, 0, 0, 0), norvo::core::InvalidArgument);
    EXPECT_THROW(fmt::section_size(16, std::numeric_limits<std::size_t>::max(), 48), norvo::core::InvalidArgument);
}
