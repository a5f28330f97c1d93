// libFuzzer target: the core's own PBKDF2-HMAC-SHA384 (precomputed key states, one
// compression per HMAC half) and X9.63 KDF, checked against OpenSSL's generic
// implementations on any secret, salt, shared info, iteration count and output length.
// Secrets longer than the 128-byte SHA-384 block take HMAC's hashed-key path.
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "norvo/core/crypto.hpp"

namespace core = norvo::core;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "kdf differs from OpenSSL: %s\n", what);
    std::abort();
}

bool openssl_x963(const std::uint8_t* secret, std::size_t n, const std::uint8_t* info, std::size_t m,
                  std::uint8_t* out, std::size_t len) {
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "X963KDF", nullptr);
    if (!kdf) return false;
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
    EVP_KDF_free(kdf);
    if (!ctx) return false;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string("digest", const_cast<char*>("SHA384"), 0),
        OSSL_PARAM_construct_octet_string("key", const_cast<std::uint8_t*>(secret), n),
        OSSL_PARAM_construct_octet_string("info", const_cast<std::uint8_t*>(info), m),
        OSSL_PARAM_construct_end(),
    };
    bool ok = EVP_KDF_derive(ctx, out, len, params) == 1;
    EVP_KDF_CTX_free(ctx);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const unsigned iterations = 1 + data[0] % 64;
    const std::size_t out_len = data[1] % 200;
    std::size_t secret_len = (static_cast<std::size_t>(data[2]) * 3) % 320;
    const std::uint8_t* rest = data + 4;
    std::size_t left = size - 4;
    if (secret_len > left) secret_len = left;
    core::bytes_view secret(rest, secret_len);
    core::bytes_view salt(rest + secret_len, left - secret_len);

    std::vector<std::uint8_t> mine(out_len), theirs(out_len);
    core::pbkdf2_hmac("SHA384", secret, salt, iterations, core::bytes_out(mine.data(), mine.size()));
    if (out_len > 0) {
        static const std::uint8_t empty = 0;
        if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(secret.empty() ? &empty : secret.data()),
                              static_cast<int>(secret.size()), salt.empty() ? &empty : salt.data(),
                              static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha384(),
                              static_cast<int>(out_len), theirs.data()) != 1)
            fail("OpenSSL's PBKDF2 refused the input");
        if (mine != theirs) fail("PBKDF2-HMAC-SHA384");
    }

    // X9.63: OpenSSL refuses an empty secret, which the core (like the crypto library) accepts.
    if (!secret.empty() && out_len > 0) {
        core::x963_kdf("SHA384", secret, salt, core::bytes_out(mine.data(), mine.size()));
        if (!openssl_x963(secret.data(), secret.size(), salt.empty() ? nullptr : salt.data(), salt.size(),
                          theirs.data(), out_len))
            fail("OpenSSL's X9.63 KDF refused the input");
        if (mine != theirs) fail("X9.63 KDF");
    }
    return 0;
}
