// libFuzzer target: the bounds-checked reader under every byte format. The first bytes of
// the input are a program (read an integer, take a small or an arbitrary 64-bit count, look
// at the rest); the remainder is the stream it reads. Whatever the program, the reader only
// hands out spans inside the stream, its position never passes the end, and a refused take
// leaves the position where it was.
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>

#include "invariants.hpp"
#include "norvo/core/byte_io.hpp"

using norvo::fuzz::fail;

const char* const norvo::fuzz::TARGET = "byte_reader";

namespace {

struct Short : std::runtime_error {
    Short() : std::runtime_error("short") {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::size_t prog_len = data[0] % 32;
    if (size < 1 + prog_len) return 0;
    std::span<const std::uint8_t> prog(data + 1, prog_len);
    std::span<const std::uint8_t> in(data + 1 + prog_len, size - 1 - prog_len);

    auto on_short = [](const char*, std::uint64_t, std::size_t) { throw Short(); };
    norvo::core::ByteReader reader(in, on_short);
    for (std::size_t i = 0; i < prog.size(); ++i) {
        std::size_t before = reader.position();
        std::uint64_t n = 0;
        switch (prog[i] % 4) {
            case 0: n = 8; break;
            case 1: n = prog[i] >> 2; break;
            case 2: n = ~std::uint64_t{0} - (prog[i] >> 2); break;  // lengths near 2^64
            case 3: n = in.size() - before + (prog[i] >> 2); break;  // just past the end
        }
        try {
            std::span<const std::uint8_t> got;
            if (prog[i] % 4 == 0) {
                std::uint64_t v = reader.u64("u64");
                std::uint8_t buf[8];
                norvo::core::store_u64le(buf, v);
                if (norvo::core::load_u64le(buf) != v) fail("u64 round trip");
                got = in.subspan(before, 8);
            } else {
                got = reader.take(n, "take");
                if (got.size() != n) fail("take gave another count");
            }
            if (!got.empty() && (got.data() < in.data() || got.data() + got.size() > in.data() + in.size()))
                fail("span outside the stream");
            if (reader.position() != before + got.size()) fail("position did not advance by the count");
        } catch (const Short&) {
            if (n <= in.size() - before) fail("a take that fits was refused");
            if (reader.position() != before) fail("a refused take moved the position");
        }
        if (reader.position() > in.size()) fail("position past the end");
        if (reader.rest().size() != in.size() - reader.position()) fail("rest");
    }
    return 0;
}
