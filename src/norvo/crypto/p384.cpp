// norvo.crypto.p384: the one gate through which serialised keys enter the library.
// Every loader refuses anything that is not an elliptic-curve key on P-384.
#include "norvo_bind.hpp"

namespace {

struct Loader {
    const char* function;  // the crypto library's loader in `serialization`
    const char* message;
    bool encode_text;
    bool with_password;
};

constexpr Loader PEM_PUBLIC{"load_pem_public_key", "Public Key is not an EC P384 key in PEM format.", true, false};
constexpr Loader PEM_PRIVATE{"load_pem_private_key", "Private Key is not an EC P384 in PEM foramt.", true, true};
constexpr Loader DER_PUBLIC{"load_der_public_key", "Public Key is not an EC P384 key in DER format.", false, false};

py::object load(py::module_& m, const Loader& how, py::object key) {
    if (how.encode_text) key = norvo::bind::encode_text(std::move(key));
    py::object refuse_log = m.attr("log");
    auto refuse = [&]() -> py::object {
        refuse_log.attr("info")(how.message);
        throw py::value_error(how.message);
    };
    py::object loaded;
    {
        py::object fn = py::module_::import("cryptography.hazmat.primitives.serialization").attr(how.function);
        try {
            loaded = how.with_password ? fn(key, py::none()) : fn(key);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
            // Raised while the library's error is being handled, so it becomes the new error's context.
            refuse_log.attr("info")(how.message);
            norvo::bind::raise_in_place_of(e, PyExc_ValueError, how.message);
        }
    }
    py::object ec = m.attr("ec");
    bool is_ec = py::isinstance(loaded, ec.attr("EllipticCurvePublicKey")) ||
                 py::isinstance(loaded, ec.attr("EllipticCurvePrivateKey"));
    if (!is_ec || !py::isinstance(loaded.attr("curve"), ec.attr("SECP384R1"))) refuse();
    return loaded;
}

}  // namespace

NORVO_MODULE(p384, m, .doc = "P-384 key generation and the PEM/DER key loaders.") {
    m.attr("logging") = py::module_::import("logging");
    m.attr("ec") = py::module_::import("cryptography.hazmat.primitives.asymmetric.ec");
    m.attr("backend") = norvo::bind::import_from("norvo.crypto", "backend");
    m.attr("log") = norvo::bind::logger("norvo.crypto.p384");

    m.def("generate_private_key", [m]() {
        py::object ec = m.attr("ec");
        return ec.attr("generate_private_key")(ec.attr("SECP384R1")(), m.attr("backend"));
    });
    m.def("load_pem_public_key", [m](py::object key) mutable { return load(m, PEM_PUBLIC, key); }, py::arg("key"));
    m.def("load_pem_private_key", [m](py::object key) mutable { return load(m, PEM_PRIVATE, key); }, py::arg("key"));
    m.def("load_der_public_key", [m](py::object key) mutable { return load(m, DER_PUBLIC, key); }, py::arg("key"));
}
