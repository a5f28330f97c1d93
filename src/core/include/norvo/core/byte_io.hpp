// Little-endian integers and length-prefixed byte strings: the building blocks of every byte
// format of the library (container, container-key record, key file, integrated-encryption message).
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <utility>

#include "norvo/core/crypto.hpp"

namespace norvo::core {

inline constexpr std::size_t U64_SIZE = 8;

inline std::uint64_t load_u64le(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < U64_SIZE; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
}

inline std::uint8_t* store_u64le(std::uint8_t* p, std::uint64_t v) {
    for (std::size_t i = 0; i < U64_SIZE; ++i) *p++ = static_cast<std::uint8_t>(v >> (8 * i));
    return p;
}

// a + b, or `on_overflow()` (which must throw) when the sum would not fit in size_t.
template <class OnOverflow>
std::size_t checked_add(std::size_t a, std::size_t b, OnOverflow&& on_overflow) {
    if (a > std::numeric_limits<std::size_t>::max() - b) on_overflow();
    return a + b;
}

// A bounds-checked reader that never copies. Every announced length is compared with what
// remains before anything is taken, so a length near 2^64 fails instead of wrapping or
// driving an allocation. `on_short(field, needed, remaining)` reports the format's own error
// and must throw.
template <class OnShort>
class ByteReader {
public:
    ByteReader(std::span<const std::uint8_t> in, OnShort on_short) : in_(in), on_short_(std::move(on_short)) {}

    std::uint64_t u64(const char* field = "") { return load_u64le(take(U64_SIZE, field).data()); }

    std::span<const std::uint8_t> take(std::uint64_t n, const char* field = "") {
        std::size_t left = in_.size() - pos_;
        if (n > left) on_short_(field, n, left);
        auto out = in_.subspan(pos_, static_cast<std::size_t>(n));
        pos_ += static_cast<std::size_t>(n);
        return out;
    }

    // A byte string after its own length field, as ByteWriter::var writes it.
    std::span<const std::uint8_t> var(const char* length_field, const char* field) {
        return take(u64(length_field), field);
    }

    std::size_t position() const { return pos_; }
    std::span<const std::uint8_t> rest() const { return in_.subspan(pos_); }

private:
    std::span<const std::uint8_t> in_;
    std::size_t pos_ = 0;
    OnShort on_short_;
};

// A reader of one byte format whose short reads are the core's FormatError, naming the format
// (`what`, e.g. "truncated key file"), the field, and the bytes it wanted and found.
inline auto format_reader(std::span<const std::uint8_t> in, const char* what) {
    return ByteReader(in, [what](const char* field, std::uint64_t needed, std::size_t remaining) {
        throw FormatError(std::string(what) + ": field '" + field + "' needs " + std::to_string(needed) + " bytes, " +
                          std::to_string(remaining) + " remain");
    });
}

// Writes into a buffer sized beforehand by the format's own size function.
class ByteWriter {
public:
    explicit ByteWriter(std::uint8_t* out) : start_(out), p_(out) {}

    void u64(std::uint64_t v) { p_ = store_u64le(p_, v); }
    void raw(std::span<const std::uint8_t> b) {
        if (!b.empty()) std::memcpy(p_, b.data(), b.size());
        p_ += b.size();
    }
    // A byte string after its own length field.
    void var(std::span<const std::uint8_t> b) {
        u64(static_cast<std::uint64_t>(b.size()));
        raw(b);
    }
    std::uint8_t* cursor() const { return p_; }
    void skip(std::size_t n) { p_ += n; }
    std::size_t position() const { return static_cast<std::size_t>(p_ - start_); }

private:
    std::uint8_t* start_;
    std::uint8_t* p_;
};

}  // namespace norvo::core
