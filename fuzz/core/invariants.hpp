// What the format targets check their findings with. A broken invariant aborts, so that
// libFuzzer keeps the input; the message starts with the target's name, which each target
// defines as norvo::fuzz::TARGET.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

namespace norvo::fuzz {

extern const char* const TARGET;

using bytes_view = std::span<const std::uint8_t>;

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "%s invariant broken: %s\n", TARGET, what);
    std::abort();
}

inline void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

// Whether `v` lies within `in` (an empty view lies anywhere).
inline bool inside(bytes_view v, bytes_view in) {
    return v.empty() || (v.data() >= in.data() && v.data() + v.size() <= in.data() + in.size());
}

inline bool equal(bytes_view a, bytes_view b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

}  // namespace norvo::fuzz
