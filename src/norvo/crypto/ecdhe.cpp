// norvo.crypto.ecdhe: ECDH key agreement over the crypto library's key objects.
#include "imports.hpp"
#include "module.hpp"

NORVO_MODULE(ecdhe, m, .doc = "ECDH key agreement.") {
    m.attr("ec") = norvo::bind::import("cryptography.hazmat.primitives.asymmetric.ec");
    m.attr("ECDH") = m.attr("ec").attr("ECDH")();
    norvo::bind::Globals g(m);
    m.def(
        "exchange",
        [g](py::object private_key, py::object public_key) {
            return private_key.attr("exchange")(g[NORVO_NAME("ECDH")], public_key);
        },
        py::arg("private_key"), py::arg("public_key"));
}
