// norvo.crypto.ecdsa: ECDSA with SHA-384 over the crypto library's key objects.
#include "imports.hpp"
#include "module.hpp"

NORVO_MODULE(ecdsa, m, .doc = "ECDSA-SHA384 signatures.") {
    m.attr("ec") = norvo::bind::import("cryptography.hazmat.primitives.asymmetric.ec");
    m.attr("hashes") = norvo::bind::import("cryptography.hazmat.primitives.hashes");
    // One algorithm object for every signature and check in the library.
    m.attr("ECDSA") = m.attr("ec").attr("ECDSA")(m.attr("hashes").attr("SHA384")());
    norvo::bind::Globals g(m);
    m.def(
        "sign",
        [g](py::object private_key, py::object data) { return private_key.attr("sign")(data, g[NORVO_NAME("ECDSA")]); },
        py::arg("private_key"), py::arg("data"));
    m.def(
        "verify",
        [g](py::object public_key, py::object data, py::object signature) {
            public_key.attr("verify")(signature, data, g[NORVO_NAME("ECDSA")]);
        },
        py::arg("public_key"), py::arg("data"), py::arg("signature"));
}
