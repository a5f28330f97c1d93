// Sealing and opening whole containers: the layout of the worked example, the counter
// blocks, and all-or-nothing opening (both MACs are checked before either section opens).
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "norvo/core/container_format.hpp"

namespace fmt = norvo::core::container;
using norvo::core::bytes_view;

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes KEY(32, 0x11), MAC(128, 0x22);
const fmt::KeysView KEYS{KEY, MAC};
// 0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3 in its little-endian field order.
const Bytes OID = {0x3d, 0x2c, 0x1b, 0x0a, 0x5f, 0x4e, 0x7b, 0x6a,
                   0x8c, 0x9d, 0xae, 0xbf, 0xc0, 0xd1, 0xe2, 0xf3};

std::uint64_t u64_at(const Bytes& b, std::size_t off) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= std::uint64_t(b[off + i]) << (8 * i);
    return v;
}

Bytes seal(const fmt::PortionInput& h, const fmt::PortionInput& c, const fmt::KeysView& keys = KEYS) {
    fmt::Layout l = fmt::plan_container(keys, h, c);
    Bytes out(l.size);
    fmt::seal_container(keys, OID, h, c, l, out.data());
    return out;
}

struct Opened {
    fmt::OpenFailure failure;
    Bytes header, content;
};

// Opens container bytes; the outputs start as 0xee so a write shows.
Opened open(const Bytes& blob, const fmt::KeysView& keys = KEYS) {
    fmt::ContainerRecord r = fmt::parse_container(blob);
    Opened o{fmt::OpenFailure::none, Bytes(r.header.encrypted.size(), 0xee), Bytes(r.content.encrypted.size(), 0xee)};
    o.failure = fmt::open_container(keys, &r.header, o.header.data(), &r.content, o.content.data());
    return o;
}

const Bytes HEADER_TEXT(40, 'h');  // a 40-byte JSON text
const Bytes CONTENT = {'a', 'b', 'c', 'd', 'e'};

}  // namespace

TEST(ContainerSeal, WorkedExampleLayout) {
    Bytes blob = seal({HEADER_TEXT}, {CONTENT});
    ASSERT_EQ(blob.size(), 277u);
    EXPECT_EQ(u64_at(blob, 0), 1u);
    EXPECT_EQ(Bytes(blob.begin() + 8, blob.begin() + 24), OID);
    EXPECT_EQ(u64_at(blob, 24), 0u);
    EXPECT_EQ(u64_at(blob, 32), 0u);
    EXPECT_EQ(u64_at(blob, 40), 128u);
    EXPECT_EQ(u64_at(blob, 48), 93u);
    EXPECT_EQ(u64_at(blob, 56), 16u);
    EXPECT_EQ(u64_at(blob, 80), 40u);
    EXPECT_EQ(u64_at(blob, 128), 48u);
    EXPECT_EQ(u64_at(blob, 184), 16u);
    EXPECT_EQ(u64_at(blob, 208), 5u);
    EXPECT_EQ(u64_at(blob, 221), 48u);
    // Each counter block: 8 random bytes, 8 zero bytes, and the two differ.
    Bytes hiv(blob.begin() + 64, blob.begin() + 80), civ(blob.begin() + 192, blob.begin() + 208);
    EXPECT_EQ(Bytes(hiv.begin() + 8, hiv.end()), Bytes(8, 0));
    EXPECT_EQ(Bytes(civ.begin() + 8, civ.end()), Bytes(8, 0));
    EXPECT_NE(hiv, civ);

    Opened o = open(blob);
    EXPECT_EQ(o.failure, fmt::OpenFailure::none);
    EXPECT_EQ(o.header, HEADER_TEXT);
    EXPECT_EQ(o.content, CONTENT);
}

TEST(ContainerSeal, SectionsAreThoseOfSealSection) {
    // Each section of a container opens on its own, as a portion sealed alone does.
    Bytes blob = seal({HEADER_TEXT}, {CONTENT});
    fmt::ContainerRecord r = fmt::parse_container(blob);
    for (const fmt::Section* s : {&r.header, &r.content}) {
        EXPECT_TRUE(fmt::verify_section(MAC, *s));
        Bytes out(s->encrypted.size());
        fmt::open_section(KEY, *s, out.data());
        EXPECT_EQ(out, s == &r.header ? HEADER_TEXT : CONTENT);
    }
    // Sealing draws new counter blocks each time.
    EXPECT_NE(seal({HEADER_TEXT}, {CONTENT}), blob);
}

TEST(ContainerSeal, EmptyPortionsAndSealedPortionsCopiedAsTheyRead) {
    Bytes blob = seal({Bytes()}, {Bytes()});
    EXPECT_EQ(blob.size(), 232u);
    // A portion sealed before goes in as its record reads; the preamble states the length of
    // the sealed bytes as held, trailing bytes included.
    // The record points into the bytes it was parsed from, which must outlive it.
    const Bytes sealed = seal({HEADER_TEXT}, {CONTENT});
    fmt::ContainerRecord r = fmt::parse_container(sealed);
    Bytes content_section(r.content.encrypted.data() - 32, r.content.digest.data() + 48);
    Bytes held = content_section;
    held.insert(held.end(), {9, 9, 9});
    Bytes mixed = seal({HEADER_TEXT}, {held, true});
    EXPECT_EQ(mixed.size(), 277u);
    EXPECT_EQ(u64_at(mixed, 48), 96u);
    EXPECT_EQ(Bytes(mixed.begin() + 184, mixed.end()), content_section);
    EXPECT_EQ(open(mixed).content, CONTENT);
}

TEST(ContainerSeal, PlanRefusesBeforeAnythingIsWritten) {
    Bytes short_key(31, 0x11);
    EXPECT_THROW(fmt::plan_container({short_key, MAC}, {HEADER_TEXT}, {CONTENT}), norvo::core::InvalidArgument);
    Bytes cut = {16, 0, 0};
    EXPECT_THROW(fmt::plan_container(KEYS, {HEADER_TEXT}, {cut, true}), norvo::core::FormatError);
    EXPECT_THROW(fmt::seal_container(KEYS, Bytes(15, 0), {HEADER_TEXT}, {CONTENT},
                                     fmt::plan_container(KEYS, {HEADER_TEXT}, {CONTENT}), Bytes(277).data()),
                 norvo::core::InvalidArgument);
}

TEST(ContainerSeal, EveryAuthenticatedBitIsCheckedBeforeEitherSectionOpens) {
    Bytes blob = seal({HEADER_TEXT}, {CONTENT});
    fmt::ContainerRecord r = fmt::parse_container(blob);
    auto covered = [&](std::size_t off) {
        auto in = [&](bytes_view v) {
            auto p = blob.data() + off;
            return p >= v.data() && p < v.data() + v.size();
        };
        return in(r.header.encrypted) || in(r.header.digest) || in(r.content.encrypted) || in(r.content.digest);
    };
    int checked = 0;
    for (std::size_t off = 0; off < blob.size(); ++off) {
        if (!covered(off)) continue;
        for (int bit = 0; bit < 8; ++bit) {
            Bytes bad = blob;
            bad[off] ^= std::uint8_t(1 << bit);
            Opened o = open(bad);
            ASSERT_NE(o.failure, fmt::OpenFailure::none) << off;
            EXPECT_EQ(o.failure, off < 184 ? fmt::OpenFailure::header : fmt::OpenFailure::content) << off;
            EXPECT_EQ(o.header, Bytes(40, 0xee)) << off;
            EXPECT_EQ(o.content, Bytes(5, 0xee)) << off;
            ++checked;
        }
    }
    EXPECT_EQ(checked, 8 * (40 + 48 + 5 + 48));
}

TEST(ContainerSeal, WrongKeys) {
    Bytes blob = seal({HEADER_TEXT}, {CONTENT});
    Bytes other_mac(128, 0x23), other_key(32, 0x12);
    Opened o = open(blob, {KEY, other_mac});
    EXPECT_EQ(o.failure, fmt::OpenFailure::header);
    EXPECT_EQ(o.header, Bytes(40, 0xee));
    // The right MAC key and a wrong cipher key: the MACs pass, other bytes of the same length.
    o = open(blob, {other_key, MAC});
    EXPECT_EQ(o.failure, fmt::OpenFailure::none);
    EXPECT_NE(o.header, HEADER_TEXT);
    EXPECT_EQ(o.content.size(), 5u);
    // A cipher key AES refuses is refused before anything is written.
    Bytes header_out(40, 0xee);
    fmt::ContainerRecord r = fmt::parse_container(blob);
    EXPECT_THROW(fmt::open_container({Bytes(7, 1), MAC}, &r.header, header_out.data(), nullptr, nullptr),
                 norvo::core::InvalidArgument);
    EXPECT_EQ(header_out, Bytes(40, 0xee));
}

TEST(ContainerSeal, OnlyTheSealedPortionsOpen) {
    Bytes blob = seal({HEADER_TEXT}, {CONTENT});
    fmt::ContainerRecord r = fmt::parse_container(blob);
    Bytes content_out(5, 0xee);
    EXPECT_EQ(fmt::open_container(KEYS, nullptr, nullptr, &r.content, content_out.data()), fmt::OpenFailure::none);
    EXPECT_EQ(content_out, CONTENT);
}
