// norvo.crypto.envelope: one container's keys wrapped for one recipient. An envelope is one
// integrated-encryption message (norvo.crypto.ies) whose payload is the container's serialised
// key record; it travels as standard base64 and rests as the raw message bytes.
//
// `Envelope` is an ordinary Python class (plain `object` base, instance dictionary) made at
// load time, with its methods written here.
#include "norvo/core/container_format.hpp"
#include "bytes.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"
#include "../providers/server/credentials.hpp"

namespace core = norvo::core;
using norvo::bind::add_method;
using norvo::bind::ByteView;
using norvo::bind::truthy;

namespace {

// Keys with an empty field are refused (ValueError). A record too short for its own length
// fields is left to the key record's parser, which reports the format error.
void refuse_empty_keys(py::handle txt) {
    ByteView record(txt, "key record");
    core::container::KeyRecord r;
    try {
        r = core::container::parse_key_record(record.span());
    } catch (const core::FormatError&) {
        return;
    }
    core::container::require_both_keys(r);
}

// One key signs both the envelopes a user seals (over the wrapped record's ciphertext alone)
// and the user's broker requests (over the session token, a comma, the base64 of the time and
// the request id). A broker that could make an envelope whose ciphertext is such a message
// would get it signed by the user's next request. The session takes only a bearer token, so
// such a message holds nothing but the characters of a signed request; a genuine ciphertext
// is random bytes, and one as long as the shortest such message is made of these characters
// alone with a chance below 2^-140, so an envelope whose ciphertext is so made is refused
// unread.
constexpr std::size_t SHORTEST_SIGNED_REQUEST = 1 + 1 + 36 + 36;  // token, comma, time, request id

bool shaped_like_signed_request(py::handle ciphertext) {
    ByteView bytes(ciphertext, "encrypted_key_blob");
    if (bytes.size() < SHORTEST_SIGNED_REQUEST) return false;
    for (std::uint8_t c : bytes.span())
        if (!norvo::server::is_signed_request_char(c)) return false;
    return true;
}

}  // namespace

NORVO_MODULE(envelope, m, .doc = "Key envelopes: one container's keys wrapped for one recipient.") {
    using norvo::bind::import;
    m.attr("logging") = import("logging");
    py::object base64 = import("base64");
    m.attr("b64encode") = base64.attr("b64encode");
    m.attr("b64decode") = base64.attr("b64decode");
    m.attr("ContainerKeys") = norvo::bind::import_from("norvo.crypto.container", "ContainerKeys");
    m.attr("KeyType") = norvo::bind::import_from("norvo.crypto.keys", "KeyType");
    m.attr("ies") = import("norvo.crypto.ies");
    m.attr("InvalidSignature") = norvo::bind::import_from("cryptography.exceptions", "InvalidSignature");
    import("norvo.utils");
    m.attr("log") = norvo::bind::logger("norvo.crypto.envelope");
    m.attr("VERSION") = py::int_(1);

    py::dict ns = norvo::bind::class_namespace(
        m, "Envelope", "One container's keys wrapped for one recipient as one integrated-encryption message.");
    ns["__hash__"] = py::none();  // equality by bytes, no hash: envelopes are not set members
    py::object cls = norvo::bind::make_class("Envelope", py::make_tuple(norvo::bind::builtin(PyBaseObject_Type)), ns);
    m.attr("Envelope") = cls;
    norvo::bind::Globals g(m);

    add_method(
        cls, "__init__",
        [g](py::object self, py::object envelope_data, py::kwargs kwargs) {
            if (truthy(envelope_data)) {
                py::object raw = g[NORVO_NAME("b64decode")](envelope_data);
                py::object parsed = g[NORVO_NAME("ies")].attr("IESStruct").attr("parse")(raw);
                py::setattr(self, "raw", raw);
                py::setattr(self, "struct", parsed);
                return;
            }
            self.attr("_create_envelope")(**kwargs);
        },
        py::arg("envelope_data") = py::none(),
        "Read an envelope from its base64 form, or make a new one from `container_id`, "
        "`container_keys`, `sender_keys` and `recip_keys`.");

    add_method(
        cls, "_create_envelope",
        [g](py::object self, py::object container_id, py::object container_keys, py::object sender_keys,
            py::object recip_keys) {
            py::object key_type = g[NORVO_NAME("KeyType")];
            py::object deriv_key = recip_keys.attr("get_first_valid")(key_type.attr("DERIVATION"));
            py::object signing_key = sender_keys.attr("get_first_valid")(key_type.attr("AUTH"));
            py::setattr(self, "sender_user_id", signing_key.attr("user_id"));
            py::setattr(self, "recipient_user_id", deriv_key.attr("user_id"));
            py::object ies = g[NORVO_NAME("ies")];
            py::object data = norvo::bind::builtin(PyBytes_Type)(container_keys);
            py::object raw = ies.attr("encrypt")(py::arg("data") = data, py::arg("sender_keys") = sender_keys,
                                                 py::arg("recip_keys") = recip_keys, py::arg("obj_id") = container_id);
            py::setattr(self, "raw", raw);
            py::setattr(self, "struct", ies.attr("IESStruct").attr("parse")(raw));
        },
        py::arg("container_id"), py::arg("container_keys"), py::arg("sender_keys"), py::arg("recip_keys"),
        "Wrap `container_keys` for the first active derivation key of `recip_keys`, signed by the "
        "first active authentication key of `sender_keys`.");

    add_method(cls, "to_bytes", [](py::object self) { return self.attr("raw"); }, "The raw message bytes.");

    add_method(cls, "__repr__", [](py::object self) { return py::repr(self.attr("raw")); });

    add_method(
        cls, "__eq__",
        [](py::object self, py::object other) -> py::object {
            if (!py::isinstance(other, py::type::of(self))) return py::bool_(false);
            py::object mine = self.attr("raw");
            return norvo::bind::rich_compare(mine, other.attr("raw"));
        },
        py::arg("other"));
    norvo::bind::add_ne(cls, py::arg("other"));

    py::cpp_function b64(
        [g](py::object self) { return g[NORVO_NAME("b64encode")](self.attr("raw")); }, py::name("b64"),
        py::arg("self"));
    py::setattr(cls, "b64",
                norvo::bind::make_property(b64, py::none(), "The standard base64 form of the message, as bytes."));

    add_method(
        cls, "get_container_keys",
        [g](py::object self, py::object recip_keys, py::object sender_keys) {
            if (shaped_like_signed_request(self.attr("struct").attr("encrypted_key_blob")))
                norvo::bind::raise(g[NORVO_NAME("InvalidSignature")], py::str(
                                   "The key envelope's ciphertext has the form of a signed broker request: its "
                                   "signature may be one of the sender's requests, so the envelope is refused."));
            py::object txt =
                g[NORVO_NAME("ies")].attr("decrypt")(self.attr("raw"), recip_keys, py::arg("sender_keys") = sender_keys);
            refuse_empty_keys(txt);
            py::object container_keys = g[NORVO_NAME("ContainerKeys")].attr("from_bytes")(txt);
            // Checked whatever the interpreter's optimisation flag says: a key record for other
            // algorithms than AES-256-CTR and HMAC-SHA384 must never be used as if it were one.
            for (const char* index : {"cipher_index", "mac_index"})
                if (!norvo::bind::compares(container_keys.attr(index), py::int_(0))) norvo::bind::assertion_failed();
            return container_keys;
        },
        py::arg("recip_keys"), py::arg("sender_keys") = py::none(),
        "Open the envelope with the recipient's key ring and return the wrapped ContainerKeys.");
}
