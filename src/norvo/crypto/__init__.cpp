// norvo.crypto: the package module of the library's cryptography. It binds the crypto
// library's OpenSSL backend and namespaces for the other modules, loads p384 and ecdsa,
// and offers random bytes, the FIPS switch, hex hashing, the X9.63 KDF and key serialisers.
#include <climits>

#include "bytes.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "imports.hpp"
#include "module.hpp"

namespace core = norvo::core;
using norvo::bind::ByteView;

namespace {

// cryptography's hash names that OpenSSL fetches under the same name. Anything else
// (BLAKE2, SHAKE, SM3 ...) is hashed by the crypto library itself.
bool openssl_hash_name(const std::string& n) {
    static const char* names[] = {"sha1",     "sha224",   "sha256",   "sha384",   "sha512",     "sha512-224",
                                  "sha512-256", "sha3-224", "sha3-256", "sha3-384", "sha3-512"};
    for (const char* s : names)
        if (n == s) return true;
    return false;
}

}  // namespace

NORVO_MODULE(crypto, m, .doc = "Shared cryptographic operations of norvo.") {
    // The order matters: p384 takes `backend` back from this half-loaded package.
    using norvo::bind::import;
    m.attr("logging") = import("logging");
    m.attr("hexlify") = import("binascii").attr("hexlify");
    m.attr("partial") = import("functools").attr("partial");
    m.attr("backend") = import("cryptography.hazmat.backends.openssl").attr("backend");
    m.attr("ec") = import("cryptography.hazmat.primitives.asymmetric.ec");
    m.attr("hashes") = import("cryptography.hazmat.primitives.hashes");
    m.attr("serialization") = import("cryptography.hazmat.primitives.serialization");
    m.attr("X963KDF") = import("cryptography.hazmat.primitives.kdf.x963kdf").attr("X963KDF");
    m.attr("InvalidSignature") = import("cryptography.exceptions").attr("InvalidSignature");
    m.attr("p384") = import("norvo.crypto.p384");
    m.attr("ecdsa") = import("norvo.crypto.ecdsa");
    m.attr("log") = norvo::bind::logger("norvo.crypto");

    norvo::bind::Globals g(m);

    m.def(
        "_hash",
        [g](py::object data, py::object algo) -> py::object {
            data = norvo::bind::encode_text(std::move(data));
            py::object hashes = g[NORVO_NAME("hashes")];
            if (py::isinstance(algo, hashes.attr("HashAlgorithm")) && !PyUnicode_Check(data.ptr()) &&
                PyObject_CheckBuffer(data.ptr())) {
                std::string name = py::str(algo.attr("name"));
                if (openssl_hash_name(name)) {
                    ByteView v(data);
                    std::vector<std::uint8_t> d = norvo::bind::bulk(v.size(), [&] {
                        return core::digest(name.c_str(), v.span());
                    });
                    return py::str(core::to_hex(d));
                }
            }
            // Anything the core does not take goes to the crypto library, whose errors pass through.
            py::object ctx = hashes.attr("Hash")(algo, g[NORVO_NAME("backend")]);
            ctx.attr("update")(data);
            py::bytes digest = ctx.attr("finalize")();
            return g[NORVO_NAME("hexlify")](digest).attr("decode")("utf-8");
        },
        py::arg("data"), py::arg("algo"),
        "Digest of `data` (text is hashed as UTF-8) under `algo`, as lowercase hex text.");

    m.attr("SHA384") = m.attr("partial")(m.attr("_hash"), py::arg("algo") = m.attr("hashes").attr("SHA384")());

    m.def(
        "enable_fips",
        [g]() {
            // Both OpenSSLs in the process must agree: the system one the core uses and the one
            // inside the crypto library. A half switch is undone so the process keeps working.
            // The core's switch waits until every operation under way has ended. Waiting with the
            // interpreter lock would stall every other thread, and deadlock with any operation
            // that needs the interpreter lock back before it ends.
            core::FipsChange change;
            bool switched = norvo::bind::without_gil([&] { return core::fips_enable(&change); });
            if (!switched) norvo::bind::raise(PyExc_AssertionError, "Unable to set FIPS mode.");
            // Only what this call switched is undone; a mode that was already on stays on.
            auto refuse = [&change]() {
                norvo::bind::without_gil([&] { core::fips_undo(change); });
                norvo::bind::raise(PyExc_AssertionError, "Unable to set FIPS mode.");
            };
            py::object rust = import("cryptography.hazmat.bindings._rust").attr("openssl");
            if (!rust.attr("is_fips_enabled")().cast<bool>()) {
                try {
                    g[NORVO_NAME("backend")].attr("_enable_fips")();
                } catch (py::error_already_set&) {
                    refuse();
                }
            }
            if (!core::fips_enabled() || !rust.attr("is_fips_enabled")().cast<bool>()) refuse();
            // The whole switch went through: a child forked from now on keeps it.
            norvo::bind::without_gil([&] { core::fips_confirm(change); });
        },
        "Switch OpenSSL into FIPS mode and confirm it; AssertionError when it cannot be done.");

    m.def(
        "_flip_fips_mode",
        []() { return norvo::bind::without_gil([] { return core::fips_flip(); }); },
        "For tests without a FIPS provider: turns OpenSSL's FIPS property on and off again under the\n"
        "switch's lock, unseen by the library's operations. False, changing nothing, with the mode on.");

    auto private_bytes = [g](py::object key, const char* encoding) -> py::object {
        if (!py::isinstance(key, g[NORVO_NAME("ec")].attr("EllipticCurvePrivateKey")))
            norvo::bind::raise(PyExc_ValueError, "Can only handle EllipticCurvePrivateKey keys.");
        py::object ser = g[NORVO_NAME("serialization")];
        return key.attr("private_bytes")(py::arg("encoding") = ser.attr("Encoding").attr(encoding),
                                         py::arg("format") = ser.attr("PrivateFormat").attr("PKCS8"),
                                         py::arg("encryption_algorithm") = ser.attr("NoEncryption")());
    };
    auto public_bytes = [g](py::object key, const char* encoding) -> py::object {
        if (!py::isinstance(key, g[NORVO_NAME("ec")].attr("EllipticCurvePublicKey")))
            norvo::bind::raise(PyExc_ValueError, "Can only handle EllipticCurvePublicKey keys.");
        py::object ser = g[NORVO_NAME("serialization")];
        return key.attr("public_bytes")(py::arg("encoding") = ser.attr("Encoding").attr(encoding),
                                        py::arg("format") = ser.attr("PublicFormat").attr("SubjectPublicKeyInfo"));
    };
    m.def("to_pem_private", [private_bytes](py::object key) { return private_bytes(key, "PEM"); }, py::arg("key"));
    m.def("to_pem_public", [public_bytes](py::object key) { return public_bytes(key, "PEM"); }, py::arg("key"));
    m.def("to_der_private", [private_bytes](py::object key) { return private_bytes(key, "DER"); }, py::arg("key"));
    m.def("to_der_public", [public_bytes](py::object key) { return public_bytes(key, "DER"); }, py::arg("key"));

    m.def(
        "random",
        [](py::object num) -> py::bytes {
            if (!PyLong_Check(num.ptr())) norvo::bind::raise(PyExc_TypeError, "num must be an integer");
            int overflow = 0;
            long long n = PyLong_AsLongLongAndOverflow(num.ptr(), &overflow);
            if (overflow > 0 || n > INT_MAX) norvo::bind::raise(PyExc_ValueError, "num is too large");
            if (overflow < 0 || n < 0) norvo::bind::raise(PyExc_ValueError, "num must not be negative");
            std::uint8_t* out = nullptr;
            py::bytes result = norvo::bind::new_bytes(static_cast<std::size_t>(n), out);
            norvo::bind::bulk(static_cast<std::size_t>(n),
                              [&] { core::random_bytes(core::bytes_out(out, static_cast<std::size_t>(n))); });
            return result;
        },
        py::arg("num"), "`num` bytes from OpenSSL's random generator.");

    // Bulk X9.63 output is capped well below anything a key exchange asks for, so a stray
    // length cannot make the process allocate and fill gigabytes.
    constexpr long long KDF_MAX_LENGTH = 1LL << 30;
    m.def(
        "KDF2",
        [g](py::object x, py::object algorithm, py::object length) -> py::object {
            if (py::isinstance(algorithm, g[NORVO_NAME("hashes")].attr("HashAlgorithm")) && PyLong_Check(length.ptr()) &&
                PyBytes_Check(x.ptr())) {
                std::string name = py::str(algorithm.attr("name"));
                int overflow = 0;
                long long n = PyLong_AsLongLongAndOverflow(length.ptr(), &overflow);
                if (openssl_hash_name(name) && !overflow && n > 0 && n <= KDF_MAX_LENGTH) {
                    ByteView v(x);
                    std::uint8_t* out = nullptr;
                    py::bytes result = norvo::bind::new_bytes(static_cast<std::size_t>(n), out);
                    norvo::bind::bulk(static_cast<std::size_t>(n) + v.size(), [&] {
                        core::x963_kdf(name.c_str(), v.span(), {}, core::bytes_out(out, static_cast<std::size_t>(n)));
                    });
                    return result;
                }
                if (!overflow && n > KDF_MAX_LENGTH) norvo::bind::raise(PyExc_ValueError, "length is too large");
            }
            py::object kdf = g[NORVO_NAME("X963KDF")](py::arg("algorithm") = algorithm, py::arg("length") = length,
                                                      py::arg("sharedinfo") = py::none(),
                                                      py::arg("backend") = g[NORVO_NAME("backend")]);
            return kdf.attr("derive")(x);
        },
        py::arg("x"), py::arg("algorithm") = m.attr("hashes").attr("SHA384")(), py::arg("length") = 32,
        "ANSI X9.63 key derivation of `x` without shared information.");
}
