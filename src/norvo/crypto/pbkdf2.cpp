// norvo.crypto.pbkdf2: the password-based key derivation of the key file. One engine per
// key-file version; an engine makes a one-use PBKDF2-HMAC object whose derivation runs in
// the core on OpenSSL with the GIL released. Stored key files depend on the version-1
// parameters: SHA-384, 32-byte keys, 100000 iterations.
#include <climits>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "imports.hpp"
#include "module.hpp"

namespace core = norvo::core;
using norvo::bind::ByteView;

namespace {

// Output beyond this is no key; refusing it keeps a stray length from allocating gigabytes.
constexpr unsigned long long MAX_LENGTH = 1ULL << 30;

[[noreturn]] void raise_crypto(const char* name, const char* msg) {
    norvo::bind::raise_error_of("cryptography.exceptions", name, msg);
}

unsigned long long unsigned_arg(py::handle value) {
    PyObject* index = PyNumber_Index(value.ptr());
    if (!index) throw py::error_already_set();
    unsigned long long n = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw py::error_already_set();
    return n;
}

// The crypto library's hash names mapped to OpenSSL's. Extendable-output hashes make no PRF.
std::string openssl_digest_name(py::handle algorithm) {
    std::string name = py::str(algorithm.attr("name"));
    if (name == "blake2b") return "BLAKE2B-512";
    if (name == "blake2s") return "BLAKE2S-256";
    static const char* same[] = {"md5",        "sha1",       "sha224",   "sha256",   "sha384",   "sha512",
                                 "sha512-224", "sha512-256", "sha3-224", "sha3-256", "sha3-384", "sha3-512",
                                 "sm3"};
    for (const char* s : same)
        if (name == s) return name;
    return {};
}

class PBKDF2HMAC {
public:
    PBKDF2HMAC(py::object algorithm, py::object length, py::object salt, py::object iterations, py::object /*backend*/) {
        py::object hashes = norvo::bind::import("cryptography.hazmat.primitives.hashes");
        if (!py::isinstance(algorithm, hashes.attr("HashAlgorithm")))
            norvo::bind::raise(PyExc_TypeError, "Expected instance of hashes.HashAlgorithm.");
        length_ = unsigned_arg(length);
        norvo::bind::require_bytes(salt, "salt");
        iterations_ = unsigned_arg(iterations);
        if (iterations_ < 1) norvo::bind::raise(PyExc_ValueError, "iterations must be greater than or equal to 1.");
        if (iterations_ > static_cast<unsigned long long>(INT_MAX))
            norvo::bind::raise(PyExc_ValueError, "iterations must be at most " + std::to_string(INT_MAX) + ".");
        if (length_ > MAX_LENGTH) norvo::bind::raise(PyExc_ValueError, "length is too large");
        digest_ = openssl_digest_name(algorithm);
        if (digest_.empty() || !core::digest_available(digest_.c_str())) {
            py::object exceptions = norvo::bind::import("cryptography.exceptions");
            py::object reasons = exceptions.attr("_Reasons");
            py::object type = exceptions.attr("UnsupportedAlgorithm");
            py::object err = type(py::str("{} is not supported for PBKDF2.").format(algorithm.attr("name")),
                                  reasons.attr("UNSUPPORTED_HASH"));
            norvo::bind::raise(type, err);
        }
        const char* p = PyBytes_AS_STRING(salt.ptr());
        salt_.assign(p, p + PyBytes_GET_SIZE(salt.ptr()));
        algorithm_ = algorithm;
    }

    py::bytes derive(py::object key_material) {
        // A refused argument leaves the object unused, as in the crypto library.
        ByteView secret(key_material, "key_material");
        if (used_) raise_crypto("AlreadyFinalized", "Context was already finalized.");
        used_ = true;
        std::uint8_t* out = nullptr;
        py::bytes result = norvo::bind::new_bytes(static_cast<std::size_t>(length_), out);
        // Always worth releasing: even one derivation is many thousands of HMACs.
        norvo::bind::without_gil([&] {
            core::pbkdf2_hmac(digest_.c_str(), secret.span(), core::bytes_view(salt_), iterations_,
                              core::bytes_out(out, static_cast<std::size_t>(length_)));
        });
        return result;
    }

    void verify(py::object key_material, py::object expected_key) {
        ByteView expected(expected_key, "expected_key");
        py::bytes derived = derive(key_material);
        ByteView got(derived, "derived");
        if (!core::constant_time_equal(got.span(), expected.span())) raise_crypto("InvalidKey", "Keys do not match.");
    }

    py::object algorithm() const { return algorithm_; }
    unsigned long long length() const { return length_; }

private:
    std::string digest_;
    std::vector<std::uint8_t> salt_;
    unsigned long long length_ = 0;
    unsigned long long iterations_ = 0;
    py::object algorithm_;
    bool used_ = false;
};

}  // namespace

NORVO_MODULE(pbkdf2, m, .doc = "PBKDF2-HMAC engines of the key file, by key-file version.") {
    m.attr("partial") = norvo::bind::import("functools").attr("partial");
    m.attr("backend") = norvo::bind::import_from("norvo.crypto", "backend");
    m.attr("hashes") = norvo::bind::import("cryptography.hazmat.primitives.hashes");

    py::class_<PBKDF2HMAC>(m, "PBKDF2HMAC", "PBKDF2 (PKCS #5 v2.0) with HMAC; one derivation per object.")
        .def(py::init<py::object, py::object, py::object, py::object, py::object>(), py::arg("algorithm"),
             py::arg("length"), py::arg("salt"), py::arg("iterations"), py::arg("backend") = py::none())
        .def("derive", &PBKDF2HMAC::derive, py::arg("key_material"), "The derived key; once per object.")
        .def("verify", &PBKDF2HMAC::verify, py::arg("key_material"), py::arg("expected_key"),
             "Derive and compare in constant time; InvalidKey when the keys differ.")
        .def_property_readonly("algorithm", &PBKDF2HMAC::algorithm)
        .def_property_readonly("length", &PBKDF2HMAC::length);

    m.attr("V1_PBKDF2") = m.attr("partial")(m.attr("PBKDF2HMAC"), py::arg("algorithm") = m.attr("hashes").attr("SHA384")(),
                                            py::arg("length") = 32, py::arg("iterations") = 100000,
                                            py::arg("backend") = m.attr("backend"));
    py::dict engines;
    engines[py::int_(1)] = m.attr("V1_PBKDF2");
    m.attr("engines") = engines;

    norvo::bind::Globals g(m);
    m.def(
        "create_key",
        [g](py::object secret, py::object salt, py::object length) -> py::object {
            py::object engine = g[NORVO_NAME("engines")][py::int_(1)];
            py::object use_salt = norvo::bind::truthy(salt) ? salt : py::bytes("");
            // The engine's own length is 32; another length asks for a key of that size.
            py::object same = py::int_(32);
            int is_default = PyObject_RichCompareBool(length.ptr(), same.ptr(), Py_EQ);
            if (is_default < 0) throw py::error_already_set();
            py::object kdf = is_default ? engine(py::arg("salt") = use_salt)
                                        : engine(py::arg("salt") = use_salt, py::arg("length") = length);
            return kdf.attr("derive")(secret);
        },
        py::arg("secret"), py::arg("salt") = py::none(), py::arg("length") = 32,
        "A key derived from `secret` with the version-1 engine; an empty salt when none is given.");
}
