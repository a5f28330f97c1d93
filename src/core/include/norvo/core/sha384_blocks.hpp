// HMAC-SHA384 and PBKDF2-HMAC-SHA384 straight on SHA-384's compression function, with the
// padded key states computed once. A key made ready here MACs a small message without any
// provider dispatch or allocation, and a PBKDF2 iteration is two compressions of one prepared
// block, where OpenSSL's generic path copies and finalises whole contexts (a third slower).
//
// OpenSSL 3 reaches the compression function only through its deprecated low-level digest
// interface, which no provider stands behind: none of this may run in FIPS mode. The callers
// in crypto.cpp read the mode under the mode lock and take the provider's EVP path when it is
// on. Nothing here reads OpenSSL's properties, so nothing here takes the lock itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "norvo/core/crypto.hpp"

namespace norvo::core::sha384_blocks {

// One running SHA-384 state held as plain bytes, so that no user of this header needs the
// deprecated state type (which an OpenSSL built without the deprecated interface lacks).
struct DigestState {
    alignas(8) unsigned char bytes[216];
};

// The two padded key states of HMAC-SHA384: SHA-384 already run over key^ipad and key^opad.
// Wiped when destroyed.
class HmacKey {
public:
    explicit HmacKey(bytes_view key);
    HmacKey(const HmacKey& other) = default;
    HmacKey& operator=(const HmacKey& other) = default;
    ~HmacKey();
    // One whole message: the running state lives on the stack, and only one is copied.
    std::array<std::uint8_t, SHA384_DIGEST_SIZE> mac(bytes_view data) const;

private:
    friend class Hmac;
    friend void pbkdf2_hmac(bytes_view secret, bytes_view salt, std::uint64_t iterations, bytes_out out);
    DigestState inner_, outer_;
};

// HMAC-SHA384 over a message fed in pieces.
class Hmac {
public:
    explicit Hmac(const HmacKey& key) : state_(key) {}
    explicit Hmac(bytes_view key) : state_(key) {}
    void update(bytes_view data);
    // Once only: the states are spent after it.
    std::array<std::uint8_t, SHA384_DIGEST_SIZE> final();

private:
    HmacKey state_;
};

// PBKDF2-HMAC-SHA384 (PKCS #5 v2.0) for any secret, salt and output length. The caller has
// checked the iteration count (at least one) and the sizes.
void pbkdf2_hmac(bytes_view secret, bytes_view salt, std::uint64_t iterations, bytes_out out);

}  // namespace norvo::core::sha384_blocks
