// norvo.crypto.ecdhe: ECDH key agreement over the crypto library's key objects.
#include "norvo_bind.hpp"

NORVO_MODULE(ecdhe, m, .doc = "ECDH key agreement.") {
    m.attr("ec") = py::module_::import("cryptography.hazmat.primitives.asymmetric.ec");
    m.attr("ECDH") = m.attr("ec").attr("ECDH")();
    py::object algorithm = m.attr("ECDH");
    m.def(
        "exchange",
        [algorithm](py::object private_key, py::object public_key) {
            return private_key.attr("exchange")(algorithm, public_key);
        },
        py::arg("private_key"), py::arg("public_key"));
}
