// The payloads: RawPayload, JSONPayload and Header, one portion each, plain or encrypted.
#include "container.hpp"

namespace norvo::container_module {

namespace {

py::object raw_get_data(py::object self) { return own_sealed(self) ? own_section(self) : own_plaintext(self); }

void raw_set_data(py::object self, py::object value) {
    if (!value.is_none() && !PyBytes_Check(value.ptr())) norvo::bind::raise(PyExc_ValueError, MSG_SET_BYTES);
    self.attr(NORVO_NAME("set_plaintext_data"))(value);
}

void payload_init(py::object self, py::object enc_data, py::object ptxt_data) {
    if (truthy(enc_data))
        self.attr(NORVO_NAME("set_encrypted_data"))(enc_data);
    else
        py::setattr(self, NORVO_NAME("data"), ptxt_data);
}

void set_encrypted_data(py::object self, py::object ciphertext) {
    py::setattr(self, NORVO_NAME("_encrypted"), py::bool_(true));
    py::setattr(self, NORVO_NAME("_encrypted_data"), ciphertext);
}

void set_plaintext_data(py::object self, py::object plaintext) {
    py::setattr(self, NORVO_NAME("_encrypted"), py::bool_(false));
    py::setattr(self, NORVO_NAME("_data"), plaintext);
}

void payload_encrypt(py::object self, py::object container_keys) {
    if (truthy(self.attr(NORVO_NAME("encrypted")))) return;
    py::object section = encrypt_section(self.attr(NORVO_NAME("_data")), container_keys);
    self.attr(NORVO_NAME("set_encrypted_data"))(section);
}

void payload_decrypt(py::object self, py::object container_keys) {
    if (!truthy(self.attr(NORVO_NAME("encrypted")))) return;
    py::object plain = decrypt_section(self.attr(NORVO_NAME("_encrypted_data")), container_keys);
    self.attr(NORVO_NAME("set_plaintext_data"))(plain);
}

py::str payload_repr(py::object self, const char* cls) {
    const bool sealed = truthy(self.attr(NORVO_NAME("encrypted")));
    std::string tmpl = std::string("<") + cls + (sealed ? "(enc_data={})>" : "(ptxt_data={})>");
    return py::str(tmpl).format(self.attr(NORVO_NAME("data")));
}

bool payload_eq(py::object self, py::object other) {
    if (!py::isinstance(other, py::type::of(self))) return false;
    return norvo::bind::compares(self.attr(NORVO_NAME("data")), other.attr(NORVO_NAME("data")));
}

// Text or bytes that hold JSON become the value they denote; anything else stays as given.
py::object json_decode_rule(py::object data) {
    if (PyUnicode_Check(data.ptr()) || PyBytes_Check(data.ptr())) {
        try {
            return S->g[NORVO_NAME("json")].attr(NORVO_NAME("loads"))(data);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    return data;
}

py::object json_get_data(py::object self) {
    if (own_sealed(self)) return own_section(self);
    return S->g[NORVO_NAME("json")].attr(NORVO_NAME("loads"))(own_plaintext(self));
}

// The text is encoded before anything changes, so a value JSON cannot express leaves the
// payload exactly as it was (plain or encrypted).
void json_set_data(py::object self, py::object data) {
    py::object text = S->g[NORVO_NAME("json")].attr(NORVO_NAME("dumps"))(json_decode_rule(std::move(data)));
    py::setattr(self, NORVO_NAME("_encrypted"), py::bool_(false));
    py::setattr(self, NORVO_NAME("_data"), text);
}

py::object header_get_data(py::object self) {
    py::object value = self.attr(NORVO_NAME("_get_data"))();
    if (PyDict_Check(value.ptr())) return value.attr(NORVO_NAME("get"))("customData", value);
    return value;
}

void header_set_data(py::object self, py::object data) {
    py::object value = json_decode_rule(std::move(data));
    py::dict doc;
    doc["version"] = S->g[NORVO_NAME("Header")].attr(NORVO_NAME("version"));
    doc["customData"] = value;
    json_set_data(self, doc);
}

py::object make_payload_class(py::module_& m, const char* name, py::handle base, const char* doc) {
    py::dict ns = norvo::bind::class_namespace(m, name, doc);
    ns["__hash__"] = py::none();
    return norvo::bind::make_class(name, py::make_tuple(base), ns);
}

}  // namespace

// What the library's own members keep: `encrypted` is `self._encrypted`, a sealed portion's
// `data` its `_encrypted_data`, and `encrypt` seals `self._data`.
bool own_sealed(py::handle p) { return truthy(p.attr(NORVO_NAME("_encrypted"))); }

py::object own_section(py::handle p) { return p.attr(NORVO_NAME("_encrypted_data")); }

py::object own_plaintext(py::handle p) { return p.attr(NORVO_NAME("_data")); }

void store_sealed(py::handle p, py::handle section) {
    set_entry(p, NORVO_NAME("_encrypted"), Py_True);
    set_entry(p, NORVO_NAME("_encrypted_data"), section);
}

void store_plain(py::handle p, py::handle plain) {
    set_entry(p, NORVO_NAME("_encrypted"), Py_False);
    set_entry(p, NORVO_NAME("_data"), plain);
}

// The library's initialiser, given true `enc_data`, only calls set_encrypted_data.
py::object new_sealed(py::handle cls, py::handle section) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    static PyObject* no_args = PyTuple_New(0);
    py::object p = norvo::bind::steal(type->tp_new(type, no_args, nullptr));
    store_sealed(p, section);
    return p;
}

void install_payloads(py::module_& m) {
    using norvo::bind::add_method;
    using norvo::bind::make_property;
    py::object object_base = norvo::bind::builtin(PyBaseObject_Type);

    py::object raw = make_payload_class(m, "RawPayload", object_base,
                                        "One portion of a container holding bytes, plain or encrypted.");
    add_method(raw, "__init__", &payload_init, py::arg("enc_data") = py::none(), py::arg("ptxt_data") = py::none());
    py::setattr(raw, "data", make_property(py::cpp_function(&raw_get_data), py::cpp_function(&raw_set_data)));
    py::setattr(raw, "encrypted", make_property(py::cpp_function([](py::object self) -> py::object {
                    return self.attr("_encrypted");
                })));
    add_method(raw, "set_encrypted_data", &set_encrypted_data, py::arg("ciphertext"));
    add_method(raw, "set_plaintext_data", &set_plaintext_data, py::arg("plaintext"));
    add_method(raw, "encrypt", &payload_encrypt, py::arg("container_keys"));
    add_method(raw, "decrypt", &payload_decrypt, py::arg("container_keys"));
    add_method(raw, "__repr__", [](py::object self) { return payload_repr(self, "RawPayload"); });
    add_method(raw, "__eq__", &payload_eq, py::arg("other"));
    norvo::bind::add_ne(raw, py::arg("other"));
    add_method(raw, "__len__", [](py::object self) { return py::len(self.attr("data")); });
    m.attr("RawPayload") = raw;

    py::object jp = make_payload_class(m, "JSONPayload", raw, "A portion holding a JSON document, handed out decoded.");
    add_method(jp, "_get_data", &json_get_data);
    add_method(jp, "_set_data", &json_set_data, py::arg("data"));
    py::setattr(jp, "data",
                make_property(py::cpp_function([](py::object self) -> py::object { return self.attr("_get_data")(); }),
                              py::cpp_function([](py::object self, py::object v) { self.attr("_set_data")(v); })));
    add_method(jp, "encrypt", &payload_encrypt, py::arg("container_keys"));
    add_method(jp, "__repr__", [](py::object self) { return payload_repr(self, "JSONPayload"); });
    m.attr("JSONPayload") = jp;

    py::object hdr = make_payload_class(m, "Header", jp,
                                        "The header portion: the application's value inside a versioned JSON object.");
    py::setattr(hdr, "version", py::int_(1));
    py::setattr(hdr, "data", make_property(py::cpp_function(&header_get_data), py::cpp_function(&header_set_data)));
    m.attr("Header") = hdr;

    S->raw_cls = raw;
    S->json_cls = jp;
    S->header_cls = hdr;
}

}  // namespace norvo::container_module
