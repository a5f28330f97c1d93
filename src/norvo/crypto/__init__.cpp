// norvo.crypto: the package module of the library's cryptography. It binds the crypto
// library's OpenSSL backend and namespaces for the other modules, loads p384 and ecdsa,
// and offers random bytes, the FIPS switch, hex hashing, the X9.63 KDF and key serialisers.
#include <climits>

#include "norvo_bind.hpp"

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
    m.attr("logging") = py::module_::import("logging");
    m.attr("hexlify") = py::module_::import("binascii").attr("hexlify");
    m.attr("partial") = py::module_::import("functools").attr("partial");
    m.attr("backend") = py::module_::import("cryptography.hazmat.backends.openssl").attr("backend");
    m.attr("ec") = py::module_::import("cryptography.hazmat.primitives.asymmetric.ec");
    m.attr("hashes") = py::module_::import("cryptography.hazmat.primitives.hashes");
    m.attr("serialization") = py::module_::import("cryptography.hazmat.primitives.serialization");
    m.attr("X963KDF") = py::module_::import("cryptography.hazmat.primitives.kdf.x963kdf").attr("X963KDF");
    m.attr("InvalidSignature") = py::module_::import("cryptography.exceptions").attr("InvalidSignature");
    m.attr("p384") = py::module_::import("norvo.crypto.p384");
    m.attr("ecdsa") = py::module_::import("norvo.crypto.ecdsa");
    m.attr("log") = norvo::bind::logger("norvo.crypto");

    py::object hashes = m.attr("hashes");

    m.def(
        "_hash",
        [hashes](py::object data, py::object algo) -> py::object {
            data = norvo::bind::encode_text(std::move(data));
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
            py::object ctx = hashes.attr("Hash")(algo, py::module_::import("norvo.crypto").attr("backend"));
            ctx.attr("update")(data);
            py::bytes digest = ctx.attr("finalize")();
            return py::module_::import("binascii").attr("hexlify")(digest).attr("decode")("utf-8");
        },
        py::arg("data"), py::arg("algo"),
        "Digest of `data` (text is hashed as UTF-8) under `algo`, as lowercase hex text.");

    m.attr("SHA384") = m.attr("partial")(m.attr("_hash"), py::arg("algo") = hashes.attr("SHA384")());

    m.def(
        "enable_fips",
        []() {
            // Both OpenSSLs in the process must agree: the system one the core uses and the one
            // inside the crypto library. A half switch is undone so the process keeps working.
            // The core's switch waits until every operation under way has ended. Waiting with the
            // interpreter lock would stall every other thread, and deadlock with any operation
            // that needs the interpreter lock back before it ends.
            core::FipsChange change;
            bool switched;
            {
                py::gil_scoped_release release;
                switched = core::fips_enable(&change);
            }
            if (!switched) norvo::bind::raise(PyExc_AssertionError, "Unable to set FIPS mode.");
            // Only what this call switched is undone; a mode that was already on stays on.
            auto refuse = [&change]() {
                {
                    py::gil_scoped_release release;
                    core::fips_undo(change);
                }
                norvo::bind::raise(PyExc_AssertionError, "Unable to set FIPS mode.");
            };
            py::object rust = py::module_::import("cryptography.hazmat.bindings._rust").attr("openssl");
            if (!rust.attr("is_fips_enabled")().cast<bool>()) {
                try {
                    py::module_::import("norvo.crypto").attr("backend").attr("_enable_fips")();
                } catch (py::error_already_set&) {
                    refuse();
                }
            }
            if (!core::fips_enabled() || !rust.attr("is_fips_enabled")().cast<bool>()) refuse();
        },
        "Switch OpenSSL into FIPS mode and confirm it; AssertionError when it cannot be done.");

    m.def(
        "_flip_fips_mode",
        []() {
            py::gil_scoped_release release;
            return core::fips_flip();
        },
        "For tests without a FIPS provider: turns OpenSSL's FIPS property on and off again under the\n"
        "switch's lock, unseen by the library's operations. False, changing nothing, with the mode on.");

    py::object ec = m.attr("ec");
    py::object ser = m.attr("serialization");
    auto private_bytes = [ec, ser](py::object key, const char* encoding) -> py::object {
        if (!py::isinstance(key, ec.attr("EllipticCurvePrivateKey")))
            throw py::value_error("Can only handle EllipticCurvePrivateKey keys.");
        return key.attr("private_bytes")(py::arg("encoding") = ser.attr("Encoding").attr(encoding),
                                         py::arg("format") = ser.attr("PrivateFormat").attr("PKCS8"),
                                         py::arg("encryption_algorithm") = ser.attr("NoEncryption")());
    };
    auto public_bytes = [ec, ser](py::object key, const char* encoding) -> py::object {
        if (!py::isinstance(key, ec.attr("EllipticCurvePublicKey")))
            throw py::value_error("Can only handle EllipticCurvePublicKey keys.");
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
            if (!PyLong_Check(num.ptr())) throw py::type_error("num must be an integer");
            int overflow = 0;
            long long n = PyLong_AsLongLongAndOverflow(num.ptr(), &overflow);
            if (overflow > 0 || n > INT_MAX) throw py::value_error("num is too large");
            if (overflow < 0 || n < 0) throw py::value_error("num must not be negative");
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
        [hashes](py::object x, py::object algorithm, py::object length) -> py::object {
            if (py::isinstance(algorithm, hashes.attr("HashAlgorithm")) && PyLong_Check(length.ptr()) &&
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
                if (!overflow && n > KDF_MAX_LENGTH) throw py::value_error("length is too large");
            }
            py::object kdf = py::module_::import("norvo.crypto").attr("X963KDF")(
                py::arg("algorithm") = algorithm, py::arg("length") = length, py::arg("sharedinfo") = py::none(),
                py::arg("backend") = py::module_::import("norvo.crypto").attr("backend"));
            return kdf.attr("derive")(x);
        },
        py::arg("x"), py::arg("algorithm") = hashes.attr("SHA384")(), py::arg("length") = 32,
        "ANSI X9.63 key derivation of `x` without shared information.");
}
