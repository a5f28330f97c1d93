// Byte helpers and the published HMAC-SHA384 and PBKDF2-HMAC-SHA384 answers, shared by the
// tests of the core's generic entry points and of its fast SHA-384 path.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "norvo/core/crypto.hpp"

namespace norvo::core::testing {

inline std::vector<std::uint8_t> unhex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

inline std::vector<std::uint8_t> text(const std::string& s) { return {s.begin(), s.end()}; }

inline bytes_view view(const std::vector<std::uint8_t>& v) { return {v.data(), v.size()}; }

struct HmacCase {
    int number;
    std::vector<std::uint8_t> key, data;
    std::string tag;
};

// RFC 4231, HMAC-SHA-384 outputs of test cases 1, 2, 6 and 7 (6 and 7 use a 131-byte key).
inline std::vector<HmacCase> rfc4231() {
    return {
        {1, std::vector<std::uint8_t>(20, 0x0b), text("Hi There"),
         "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6"},
        {2, text("Jefe"), text("what do ya want for nothing?"),
         "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649"},
        {6, std::vector<std::uint8_t>(131, 0xaa), text("Test Using Larger Than Block-Size Key - Hash Key First"),
         "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df163f44952"},
        {7, std::vector<std::uint8_t>(131, 0xaa),
         text("This is a test using a larger than block-size key and a larger than block-size data. "
              "The key needs to be hashed before being used by the HMAC algorithm."),
         "6617178e941f020d351e2f254e8fd32c602420feb0b8fb9adccebb82461e99c5a678cc31e799176d3860e6110c46523e"},
    };
}

struct Pbkdf2Case {
    std::vector<std::uint8_t> secret, salt;
    std::uint64_t iterations;
    std::size_t length;
    std::string key;
};

// Computed with Python's hashlib.pbkdf2_hmac("sha384", ...): one block, a short key, two
// blocks from long inputs, and three blocks (the last one cut) from a secret longer than the
// digest's block, which is hashed first, and an empty salt.
inline std::vector<Pbkdf2Case> pbkdf2_sha384() {
    std::vector<std::uint8_t> long_secret(130);
    for (std::size_t i = 0; i < long_secret.size(); ++i) long_secret[i] = static_cast<std::uint8_t>(i);
    return {
        {text("password"), text("salt"), 4096, 48,
         "559726be38db125bc85ed7895f6e3cf574c7a01c080c3447db1e8a76764deb3c307b94853fbe424f6488c5f4f1289626"},
        {text("norvo password"), {0, 1, 2, 3, 4, 5, 6, 7}, 100000, 32,
         "b0aa6e3a32c3d0b035338f4e7e12fff9b992fcda489cd226c7ae7d4cbbcf87e8"},
        {text("passwordPASSWORDpassword"), text("saltSALTsaltSALTsaltSALTsaltSALTsalt"), 4096, 64,
         "819143ad66df9a552559b9e131c52ae6c5c1b0eed18f4d283b8c5c9eaeb92b39"
         "2c147cc2d2869d58ffe2f7da13d15f8d925721f0ed1afafa24480d55cf6060b1"},
        {long_secret, {}, 2, 100,
         "0dc2793bd0bae9513524e018a4375e6924fecc85a7686517cb224457e1e4cebb2d611fc757dc8134cb9066f7d7236562"
         "04c1f91d87d27464fe43dc4ccde32305a7a0ebe287d43403cdd3e1ca5e5e9dc610a1267146ab1cae9744e99108136d99"
         "6ccaad42"},
    };
}

}  // namespace norvo::core::testing
