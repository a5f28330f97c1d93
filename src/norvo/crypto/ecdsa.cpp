// norvo.crypto.ecdsa: ECDSA with SHA-384 over the crypto library's key objects.
#include "norvo_bind.hpp"

NORVO_MODULE(ecdsa, m, .doc = "ECDSA-SHA384 signatures.") {
    m.attr("ec") = py::module_::import("cryptography.hazmat.primitives.asymmetric.ec");
    m.attr("hashes") = py::module_::import("cryptography.hazmat.primitives.hashes");
    // One algorithm object for every signature and check in the library.
    m.attr("ECDSA") = m.attr("ec").attr("ECDSA")(m.attr("hashes").attr("SHA384")());
    py::object algorithm = m.attr("ECDSA");
    m.def(
        "sign", [algorithm](py::object private_key, py::object data) { return private_key.attr("sign")(data, algorithm); },
        py::arg("private_key"), py::arg("data"));
    m.def(
        "verify",
        [algorithm](py::object public_key, py::object data, py::object signature) {
            public_key.attr("verify")(signature, data, algorithm);
        },
        py::arg("public_key"), py::arg("data"), py::arg("signature"));
}
