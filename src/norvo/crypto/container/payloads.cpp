// The payloads: RawPayload, JSONPayload and Header, one portion each, plain or encrypted.
#include "container.hpp"

namespace norvo::container_module {

namespace {

bool payload_encrypted(py::handle self) { return truthy(self.attr(NORVO_NAME("_encrypted"))); }

py::object raw_get_data(py::object self) {
    if (payload_encrypted(self)) return self.attr(NORVO_NAME("_encrypted_data"));
    return self.attr(NORVO_NAME("_data"));
}

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
    if (payload_encrypted(self)) return self.attr(NORVO_NAME("_encrypted_data"));
    return S->g[NORVO_NAME("json")].attr(NORVO_NAME("loads"))(self.attr(NORVO_NAME("_data")));
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

const PayloadKind& payload_kind(py::handle p) {
    struct Entry {
        PyTypeObject* type = nullptr;
        unsigned int tag = 0;
        PayloadKind kind;
    };
    static Entry cache[8];
    PyTypeObject* type = Py_TYPE(p.ptr());
    Entry& e = cache[(reinterpret_cast<std::uintptr_t>(type) >> 4) & 7];
    if (e.type == type && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == e.tag)
        return e.kind;
    PayloadKind k;
    k.stock_flag = class_has(p, NORVO_NAME("encrypted"), S->raw_encrypted);
    k.stock_state = k.stock_flag && (class_has(p, NORVO_NAME("data"), S->raw_data) ||
                                     class_has(p, NORVO_NAME("data"), S->json_data) ||
                                     class_has(p, NORVO_NAME("data"), S->header_data));
    k.seals_here = k.stock_flag &&
                   (class_has(p, NORVO_NAME("encrypt"), S->raw_encrypt) ||
                    class_has(p, NORVO_NAME("encrypt"), S->json_encrypt)) &&
                   class_has(p, NORVO_NAME("set_encrypted_data"), S->raw_set_encrypted);
    k.opens_here = k.stock_state && class_has(p, NORVO_NAME("decrypt"), S->raw_decrypt) &&
                   class_has(p, NORVO_NAME("set_plaintext_data"), S->raw_set_plaintext);
    // The lookups above gave the class a version tag unless it cannot have one; then nothing
    // is kept and the next call looks again.
    e.kind = k;
    const bool valid = type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG;
    e.type = valid ? type : nullptr;
    e.tag = type->tp_version_tag;
    return e.kind;
}

bool stock_payload(py::handle p) { return payload_kind(p).stock_state; }

// payload.encrypted, read from the instance state while the class keeps the library's own
// property (which is nothing but `self._encrypted`). Others go through their property.
bool payload_sealed(py::handle p) {
    if (payload_kind(p).stock_flag)
        if (py::object v = own_entry(p, NORVO_NAME("_encrypted"))) return truthy(v);
    return truthy(p.attr(NORVO_NAME("encrypted")));
}

// The section bytes of a sealed payload (its data), from the instance state for the
// library's own classes and any subclass that keeps their members.
py::object payload_sealed_data(py::handle p) {
    if (stock_payload(p))
        if (py::object v = own_entry(p, NORVO_NAME("_encrypted_data"))) return v;
    return p.attr(NORVO_NAME("data"));
}

void store_sealed(py::handle p, py::handle section) {
    set_entry(p, NORVO_NAME("_encrypted"), Py_True);
    set_entry(p, NORVO_NAME("_encrypted_data"), section);
}

void store_plain(py::handle p, py::handle plain) {
    set_entry(p, NORVO_NAME("_encrypted"), Py_False);
    set_entry(p, NORVO_NAME("_data"), plain);
}

py::object sealed_payload(py::handle cls, py::handle section) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    const bool stock = PyType_Check(cls.ptr()) &&
                       _PyType_Lookup(type, NORVO_NAME("__init__").ptr()) == S->raw_init.ptr() &&
                       _PyType_Lookup(type, NORVO_NAME("set_encrypted_data").ptr()) == S->raw_set_encrypted.ptr() &&
                       truthy(section);
    if (!stock) return py::reinterpret_borrow<py::object>(cls)(py::arg("enc_data") = section);
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
    auto own = [](py::handle cls, const char* name) { return py::object(cls.attr("__dict__")[name]); };
    S->raw_init = own(raw, "__init__");
    S->raw_encrypt = own(raw, "encrypt");
    S->json_encrypt = own(jp, "encrypt");
    S->raw_decrypt = own(raw, "decrypt");
    S->raw_encrypted = own(raw, "encrypted");
    S->raw_data = own(raw, "data");
    S->json_data = own(jp, "data");
    S->header_data = own(hdr, "data");
    S->raw_set_encrypted = own(raw, "set_encrypted_data");
    S->raw_set_plaintext = own(raw, "set_plaintext_data");
}

}  // namespace norvo::container_module
