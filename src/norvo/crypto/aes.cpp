// norvo.crypto.aes: AES in counter mode over whole byte strings, counter-block and key makers,
// and DecryptionError. The bulk work runs in the core on OpenSSL with the GIL released.
#include "bytes.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"

namespace core = norvo::core;
using norvo::bind::ByteView;

namespace {

// encrypt and decrypt are the same function in counter mode: data XOR keystream.
py::bytes ctr(py::object data, py::object cipher_key, py::object iv) {
    // The key is examined before the counter block, then the data, as the crypto library does.
    ByteView key(cipher_key, "cipher_key");
    core::aes_ctr_check(key.size(), core::AES_BLOCK_SIZE);
    ByteView block(iv, "iv");
    core::aes_ctr_check(key.size(), block.size());
    ByteView in(data, "data");
    std::uint8_t* out = nullptr;
    py::bytes result = norvo::bind::new_bytes(in.size(), out);
    norvo::bind::bulk(in.size(), [&] { core::aes_ctr(key.span(), block.span(), in.span(), out); });
    return result;
}

}  // namespace

NORVO_MODULE(aes, m, .doc = "AES-CTR encryption, counter blocks and DecryptionError.") {
    m.attr("pad") = norvo::bind::import("norvo.utils").attr("pad");
    m.attr("crypto") = norvo::bind::import("norvo.crypto");
    py::object ciphers = norvo::bind::import("cryptography.hazmat.primitives.ciphers");
    m.attr("Cipher") = ciphers.attr("Cipher");
    m.attr("algorithms") = ciphers.attr("algorithms");
    m.attr("modes") = ciphers.attr("modes");
    m.attr("NONCE_LENGTH") = m.attr("algorithms").attr("AES").attr("block_size").cast<int>() / 16;

    m.attr("DecryptionError") = norvo::bind::steal(PyErr_NewExceptionWithDoc(
        "norvo.crypto.aes.DecryptionError", "Decrypted data failed its check.", PyExc_Exception, nullptr));

    m.def("encrypt", &ctr, py::arg("data"), py::arg("cipher_key"), py::arg("iv"), "AES-CTR encryption of `data`.");
    m.def("decrypt", &ctr, py::arg("data"), py::arg("cipher_key"), py::arg("iv"), "AES-CTR decryption of `data`.");
    norvo::bind::Globals g(m);
    m.def(
        "create_iv",
        [g]() {
            // A fresh nonce in the high half; the low half counts blocks from zero.
            std::size_t nonce = g[NORVO_NAME("NONCE_LENGTH")].cast<std::size_t>();
            std::uint8_t* out = nullptr;
            py::bytes result = norvo::bind::new_bytes(2 * nonce, out);
            core::random_bytes(core::bytes_out(out, nonce));
            std::fill(out + nonce, out + 2 * nonce, 0);
            return result;
        },
        "A new 16-byte initial counter block: 8 random bytes, then 8 zero bytes.");
    m.def(
        "create_key",
        []() {
            std::uint8_t* out = nullptr;
            py::bytes result = norvo::bind::new_bytes(32, out);
            core::random_bytes(core::bytes_out(out, 32));
            return result;
        },
        "32 random bytes, a new AES-256 key.");
}
