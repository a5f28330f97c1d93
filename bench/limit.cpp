// The ceiling for a container's bulk work: one AES-256-CTR pass and one HMAC-SHA384 pass
// over one buffer, through the core's own primitives and nothing else (no allocation, no
// copies, no interpreter). The `norvo_limit` target of CMakeLists.txt, over the core library;
// bench/run.py runs it.
//
//   limit SIZE REPEATS BATCH_SECONDS
//
// prints one JSON object: the batch size chosen and, for each repeat, the time of one
// "encrypt" (cipher pass, then MAC pass over the ciphertext) and one "decrypt" (MAC check
// of the ciphertext, then cipher pass), and one "encrypt_fresh" (the encryption into a buffer
// allocated for the operation), in seconds per operation, on the wall clock and on
// the thread's CPU clock (which other processes competing for the cores do not inflate).
#include "norvo/core/crypto.hpp"

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace core = norvo::core;
using clock_type = std::chrono::steady_clock;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SIZE REPEATS BATCH_SECONDS\n", argv[0]);
        return 2;
    }
    const std::size_t size = std::strtoull(argv[1], nullptr, 10);
    const int repeats = std::atoi(argv[2]);
    const double batch_seconds = std::atof(argv[3]);

    std::vector<std::uint8_t> in(size), out(size);
    for (std::size_t i = 0; i < size; ++i) in[i] = static_cast<std::uint8_t>(i * 131 + 7);
    for (std::size_t i = 0; i < size; ++i) out[i] = 0;  // touch every page before timing
    auto key = core::random_bytes(32);
    auto mac_key = core::random_bytes(128);
    std::vector<std::uint8_t> iv = core::random_bytes(16);
    for (int i = 8; i < 16; ++i) iv[i] = 0;
    const auto tag = core::hmac_sha384(mac_key, in);
    volatile unsigned sink = 0;

    auto encrypt = [&] {
        core::aes_ctr(key, iv, in, out.data());
        sink = sink + core::hmac_sha384(mac_key, out)[0];
    };
    auto decrypt = [&] {
        if (!core::hmac_sha384_verify(mac_key, in, tag)) std::abort();
        core::aes_ctr(key, iv, in, out.data());
    };
    // The same encryption into memory obtained anew for each operation, as the one result
    // buffer that any interface returning new bytes must have: for large sizes the allocator
    // maps fresh pages, and their first touch costs page faults.
    auto encrypt_fresh = [&] {
        std::unique_ptr<std::uint8_t[]> fresh(new std::uint8_t[size ? size : 1]);
        core::aes_ctr(key, iv, in, fresh.get());
        sink = sink + core::hmac_sha384(mac_key, core::bytes_view(fresh.get(), size))[0];
    };
    auto cpu_now = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
    };
    struct Times { double wall, cpu; };
    auto batch = [&](auto& op, long n) {
        double c0 = cpu_now();
        auto t0 = clock_type::now();
        for (long i = 0; i < n; ++i) op();
        double wall = std::chrono::duration<double>(clock_type::now() - t0).count();
        return Times{wall, cpu_now() - c0};
    };

    long n = 1;
    for (;;) {
        double a = batch(encrypt, n).wall, b = batch(encrypt, n).wall;
        double t = a < b ? a : b;
        if (t >= batch_seconds || n >= (1L << 20)) break;
        long grow = static_cast<long>(n * (batch_seconds / (t > 1e-9 ? t : 1e-9)) * 1.2) + 1;
        n = grow > 2 * n ? grow : 2 * n;
    }
    std::vector<double> enc_wall, enc_cpu, dec_wall, dec_cpu, fresh_wall, fresh_cpu;
    for (int r = 0; r < repeats; ++r) {
        Times e = batch(encrypt, n), d = batch(decrypt, n), f = batch(encrypt_fresh, n);
        enc_wall.push_back(e.wall / n);
        enc_cpu.push_back(e.cpu / n);
        dec_wall.push_back(d.wall / n);
        dec_cpu.push_back(d.cpu / n);
        fresh_wall.push_back(f.wall / n);
        fresh_cpu.push_back(f.cpu / n);
    }
    auto list = [](const char* name, const std::vector<double>& v) {
        std::printf(", \"%s\": [", name);
        for (std::size_t i = 0; i < v.size(); ++i) std::printf("%s%.9g", i ? ", " : "", v[i]);
        std::printf("]");
    };
    std::printf("{\"size\": %zu, \"batch\": %ld, \"repeats\": %d", size, n, repeats);
    list("encrypt_wall", enc_wall);
    list("encrypt_cpu", enc_cpu);
    list("decrypt_wall", dec_wall);
    list("decrypt_cpu", dec_cpu);
    list("encrypt_fresh_wall", fresh_wall);
    list("encrypt_fresh_cpu", fresh_cpu);
    std::printf("}\n");
    return 0;
}
