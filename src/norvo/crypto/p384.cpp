// norvo.crypto.p384: the one gate through which serialised keys enter the library.
// Every loader refuses anything that is not an elliptic-curve key on P-384.
#include "bytes.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "module.hpp"

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

py::object load(const norvo::bind::Globals& g, const Loader& how, py::object key) {
    if (how.encode_text) key = norvo::bind::encode_text(std::move(key));
    py::object refuse_log = g[NORVO_NAME("log")];
    auto refuse = [&]() -> py::object {
        refuse_log.attr("info")(how.message);
        norvo::bind::raise(PyExc_ValueError, how.message);
    };
    py::object loaded;
    {
        py::object fn = norvo::bind::import("cryptography.hazmat.primitives.serialization").attr(how.function);
        try {
            loaded = how.with_password ? fn(key, py::none()) : fn(key);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
            // Raised while the library's error is being handled, so it becomes the new error's context.
            refuse_log.attr("info")(how.message);
            norvo::bind::raise_in_place_of(e, PyExc_ValueError, how.message);
        }
    }
    py::object ec = g[NORVO_NAME("ec")];
    bool is_ec = py::isinstance(loaded, ec.attr("EllipticCurvePublicKey")) ||
                 py::isinstance(loaded, ec.attr("EllipticCurvePrivateKey"));
    if (!is_ec || !py::isinstance(loaded.attr("curve"), ec.attr("SECP384R1"))) refuse();
    return loaded;
}

}  // namespace

NORVO_MODULE(p384, m, .doc = "P-384 key generation and the PEM/DER key loaders.") {
    m.attr("logging") = norvo::bind::import("logging");
    m.attr("ec") = norvo::bind::import("cryptography.hazmat.primitives.asymmetric.ec");
    m.attr("backend") = norvo::bind::import_from("norvo.crypto", "backend");
    m.attr("log") = norvo::bind::logger("norvo.crypto.p384");

    norvo::bind::Globals g(m);
    m.def("generate_private_key", [g]() {
        py::object ec = g[NORVO_NAME("ec")];
        return ec.attr("generate_private_key")(ec.attr("SECP384R1")(), g[NORVO_NAME("backend")]);
    });
    m.def("load_pem_public_key", [g](py::object key) { return load(g, PEM_PUBLIC, key); }, py::arg("key"));
    m.def("load_pem_private_key", [g](py::object key) { return load(g, PEM_PRIVATE, key); }, py::arg("key"));
    m.def("load_der_public_key", [g](py::object key) { return load(g, DER_PUBLIC, key); }, py::arg("key"));
}
