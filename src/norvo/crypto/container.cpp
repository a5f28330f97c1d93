// norvo.crypto.container: the encrypted container. Two portions (a JSON header and a content)
// are each sealed with AES-256-CTR and HMAC-SHA384 under one per-container key record and
// written as one byte string.
//
// This file loads the module: its names in the order the module binds them, then the formats
// and the classes, each made in its own file under container/. The construct declarations
// of the four byte formats are kept as the module's public description of the bytes; the
// container seals, opens, builds and parses them in the core, in one pass over pre-sized
// buffers with the GIL released. State changes are all-or-nothing: every operation checks
// what it needs and puts back what it touched when a later step fails.
#include "container/container.hpp"

namespace cm = norvo::container_module;

NORVO_MODULE(container, m, .doc = "Encrypted containers: formats, container keys, payloads and the Container object.") {
    cm::S = new cm::State();
    cm::State& S = *cm::S;

    using norvo::bind::import;
    m.attr("arrow") = import("arrow");
    m.attr("logging") = import("logging");
    m.attr("json") = import("simplejson");
    m.attr("datetime") = import("datetime").attr("datetime");
    m.attr("uuid4") = import("uuid").attr("uuid4");
    py::object construct = import("construct");
    for (const char* n : {"Int64ul", "Bytes", "Struct", "this"}) m.attr(n) = construct.attr(n);
    m.attr("ConstructContainer") = construct.attr("Container");
    m.attr("UUID") = import("norvo.utils").attr("UUID");
    m.attr("providers") = import("norvo.providers");
    m.attr("crypto") = import("norvo.crypto");
    try {
        m.attr("hmac") = import("norvo.crypto.hmac");
    } catch (py::error_already_set& e) {
        // Until the MAC module is built, its key length is the SHA-384 block size.
        if (!e.matches(PyExc_ModuleNotFoundError)) throw;
        m.attr("hmac") = py::none();
    }
    // The portion cipher reaches aes through the package; load it here so it is there.
    m.attr("aes") = import("norvo.crypto.aes");
    m.attr("log") = norvo::bind::logger("norvo.crypto.container");

    S.g = norvo::bind::Globals(m);
    S.ns = m.attr("__dict__");
    S.stock_UUID = m.attr("UUID");
    S.stock_crypto = m.attr("crypto");
    S.crypto_ns = S.stock_crypto.attr("__dict__");
    S.stock_random = S.stock_crypto.attr("random");
    S.stock_arrow = m.attr("arrow");
    S.arrow_ns = S.stock_arrow.attr("__dict__");
    S.stock_utcnow = S.stock_arrow.attr("utcnow");
    S.utc = S.stock_utcnow().attr("tzinfo");
    py::object uuid = import("uuid");
    S.uuid_type = uuid.attr("UUID");
    S.safe_unknown = uuid.attr("SafeUUID").attr("unknown");
    S.record_type = m.attr("ConstructContainer");

    cm::install_formats(m);
    cm::install_keys(m);
    cm::install_payloads(m);
    cm::install_container(m);
    // Once every class is complete.
    cm::know_classes();
}
