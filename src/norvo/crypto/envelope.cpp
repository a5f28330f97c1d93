// norvo.crypto.envelope: one container's keys wrapped for one recipient. An envelope is one
// integrated-encryption message (norvo.crypto.ies) whose payload is the container's serialised
// key record; it travels as standard base64 and rests as the raw message bytes.
//
// `Envelope` is an ordinary Python class (plain `object` base, instance dictionary) made at
// load time, with its methods written here.
#include <string_view>

#include "norvo/core/container_format.hpp"
#include "norvo_bind.hpp"

namespace core = norvo::core;
using norvo::bind::ByteView;

namespace {

bool truthy(py::handle h) {
    int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

bool equal(py::handle a, py::handle b) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ);
    if (!r) throw py::error_already_set();
    return truthy(py::reinterpret_steal<py::object>(r));
}

// Checked whatever the interpreter's optimisation flag says: a key record for other
// algorithms than AES-256-CTR and HMAC-SHA384 must never be used as if it were one.
[[noreturn]] void assertion_failed() {
    PyErr_SetNone(PyExc_AssertionError);
    throw py::error_already_set();
}

// A record with an empty key would be read as "no key" and replaced by fresh random bytes,
// which silently yields keys that open nothing. Refuse it instead. A record too short for
// its own length fields is left to the key record's parser, which reports the format error.
void refuse_empty_keys(py::handle txt) {
    ByteView record(txt, "key record");
    core::container::KeyRecord r;
    try {
        r = core::container::parse_key_record(record.span());
    } catch (const core::container::TruncatedInput&) {
        return;
    }
    if (r.cipher_key.empty()) norvo::bind::raise(PyExc_ValueError, "Container key record has an empty cipher key.");
    if (r.mac_key.empty()) norvo::bind::raise(PyExc_ValueError, "Container key record has an empty MAC key.");
}

// Adds a C++ function to a class made at run time as an ordinary method (bound on access).
// pybind11 would take a function whose own name is "__init__" for the constructor of one of
// its own classes, so the constructor carries another name and is only stored as "__init__".
template <class F, class... Extra>
void add_method(py::handle cls, const char* name, F&& f, const Extra&... extra) {
    const char* own_name = std::string_view(name) == "__init__" ? "initialize" : name;
    py::cpp_function fn(std::forward<F>(f), py::name(own_name), py::is_method(cls), extra...);
    py::setattr(cls, name, fn);
}

}  // namespace

PYBIND11_MODULE(envelope, m) {
    norvo::bind::install_translators();
    m.doc() = "Key envelopes: one container's keys wrapped for one recipient.";

    m.attr("logging") = py::module_::import("logging");
    py::module_ base64 = py::module_::import("base64");
    m.attr("b64encode") = base64.attr("b64encode");
    m.attr("b64decode") = base64.attr("b64decode");
    m.attr("ContainerKeys") = norvo::bind::import_from("norvo.crypto.container", "ContainerKeys");
    m.attr("KeyType") = norvo::bind::import_from("norvo.crypto.keys", "KeyType");
    m.attr("ies") = py::module_::import("norvo.crypto.ies");
    py::module_::import("norvo.utils");
    m.attr("log") = norvo::bind::logger("norvo.crypto.envelope");
    m.attr("VERSION") = py::int_(1);

    py::object type_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object object_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    py::dict ns;
    ns["__module__"] = "norvo.crypto.envelope";
    ns["__qualname__"] = "Envelope";
    ns["__doc__"] = "One container's keys wrapped for one recipient as one integrated-encryption message.";
    ns["__hash__"] = py::none();  // equality by bytes, no hash: envelopes are not set members
    py::object cls = type_type("Envelope", py::make_tuple(object_type), ns);
    m.attr("Envelope") = cls;

    add_method(
        cls, "__init__",
        [m](py::object self, py::object envelope_data, py::kwargs kwargs) {
            if (truthy(envelope_data)) {
                py::object raw = m.attr("b64decode")(envelope_data);
                py::object parsed = m.attr("ies").attr("IESStruct").attr("parse")(raw);
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
        [m](py::object self, py::object container_id, py::object container_keys, py::object sender_keys,
            py::object recip_keys) {
            py::object key_type = m.attr("KeyType");
            py::object deriv_key = recip_keys.attr("get_first_valid")(key_type.attr("DERIVATION"));
            py::object signing_key = sender_keys.attr("get_first_valid")(key_type.attr("AUTH"));
            py::setattr(self, "sender_user_id", signing_key.attr("user_id"));
            py::setattr(self, "recipient_user_id", deriv_key.attr("user_id"));
            py::object ies = m.attr("ies");
            py::object data = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBytes_Type))(container_keys);
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
            int r = PyObject_IsInstance(other.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())));
            if (r < 0) throw py::error_already_set();
            if (!r) return py::bool_(false);
            PyObject* res = PyObject_RichCompare(self.attr("raw").ptr(), other.attr("raw").ptr(), Py_EQ);
            if (!res) throw py::error_already_set();
            return py::reinterpret_steal<py::object>(res);
        },
        py::arg("other"));
    add_method(
        cls, "__ne__", [](py::object self, py::object other) -> bool { return !truthy(self.attr("__eq__")(other)); },
        py::arg("other"));

    py::object property = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyProperty_Type));
    py::cpp_function b64(
        [m](py::object self) { return m.attr("b64encode")(self.attr("raw")); }, py::name("b64"),
        py::arg("self"));
    py::setattr(cls, "b64", property(b64, py::none(), py::none(), "The standard base64 form of the message, as bytes."));

    add_method(
        cls, "get_container_keys",
        [m](py::object self, py::object recip_keys, py::object sender_keys) {
            py::object txt =
                m.attr("ies").attr("decrypt")(self.attr("raw"), recip_keys, py::arg("sender_keys") = sender_keys);
            refuse_empty_keys(txt);
            py::object container_keys = m.attr("ContainerKeys").attr("from_bytes")(txt);
            if (!equal(container_keys.attr("cipher_index"), py::int_(0))) assertion_failed();
            if (!equal(container_keys.attr("mac_index"), py::int_(0))) assertion_failed();
            return container_keys;
        },
        py::arg("recip_keys"), py::arg("sender_keys") = py::none(),
        "Open the envelope with the recipient's key ring and return the wrapped ContainerKeys.");
}
