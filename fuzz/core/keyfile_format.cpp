// libFuzzer target: the key-file byte format (the whole file and one sealed section) on
// arbitrary bytes. Any input either parses or throws FormatError; what parses only points
// inside the input and, built again, gives exactly the bytes it was read from.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "invariants.hpp"
#include "norvo/core/keyfile_format.hpp"

namespace kf = norvo::core::keyfile;
using norvo::core::bytes_view;
using norvo::fuzz::check;
using norvo::fuzz::equal;
using norvo::fuzz::inside;

const char* const norvo::fuzz::TARGET = "keyfile_format";

namespace {

bool same(const kf::Section& a, const kf::Section& b) {
    return equal(a.salt, b.salt) && equal(a.iv, b.iv) && equal(a.encrypted, b.encrypted);
}

void check_section(const kf::Section& s, std::size_t consumed, bytes_view in) {
    check(consumed <= in.size(), "section larger than its input");
    check(inside(s.salt, in) && inside(s.iv, in) && inside(s.encrypted, in), "section view outside the input");
    check(kf::section_size(s) == consumed, "section size differs from what was consumed");
    std::vector<std::uint8_t> out = kf::build_section(s);
    check(equal(out, in.first(consumed)), "section built again differs");
}

void sections(bytes_view in) {
    try {
        std::size_t consumed = 0;
        kf::Section s = kf::parse_section(in, &consumed);
        check_section(s, consumed, in);
    } catch (const norvo::core::FormatError&) {
    }
}

void files(bytes_view in) {
    kf::KeyFile f;
    try {
        f = kf::parse(in);
    } catch (const norvo::core::FormatError&) {
        return;
    }
    check(in.size() >= kf::HEADER_SIZE, "parsed fewer bytes than the header");
    std::size_t ring = 0, rescue = 0;
    kf::Section r = kf::parse_section(in.subspan(kf::KEY_RING_OFFSET), &ring);
    check(same(r, f.key_ring), "key ring section differs from a direct parse");
    check_section(f.key_ring, ring, in.subspan(kf::KEY_RING_OFFSET));
    kf::Section s = kf::parse_section(in.subspan(kf::KEY_RING_OFFSET + ring), &rescue);
    check(same(s, f.rescue), "rescue section differs from a direct parse");
    check_section(f.rescue, rescue, in.subspan(kf::KEY_RING_OFFSET + ring));
    std::size_t n = kf::encoded_size(f);
    check(n == kf::HEADER_SIZE + ring + rescue && n <= in.size(), "encoded size");
    std::vector<std::uint8_t> out = kf::build(f);
    check(equal(out, in.first(n)), "key file built again differs");
    kf::KeyFile back = kf::parse(out);
    check(back.version == f.version && back.key_ring_length == f.key_ring_length &&
              back.rescue_length == f.rescue_length && same(back.key_ring, f.key_ring) &&
              same(back.rescue, f.rescue),
          "key file parsed again differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    bytes_view in(data, size);
    sections(in);
    files(in);
    return 0;
}
