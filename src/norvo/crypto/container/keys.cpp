// ContainerKeys: the key record of one container.
#include "container.hpp"

namespace norvo::container_module {

namespace {

void cleanse(std::vector<std::uint8_t>& v) {
    volatile std::uint8_t* p = v.data();
    for (std::size_t i = 0; i < v.size(); ++i) p[i] = 0;
}

// A construct Container record with `fields` in this order, the same object its constructor
// makes from keyword arguments (an OrderedDict underneath, filled through its own item
// assignment so that its key order is kept), built without a call through Python.
py::object construct_record(py::handle type_obj, std::initializer_list<std::pair<py::handle, py::handle>> fields) {
    auto* type = reinterpret_cast<PyTypeObject*>(type_obj.ptr());
    static PyObject* no_args = PyTuple_New(0);
    py::object rec = norvo::bind::steal(type->tp_new(type, no_args, nullptr));
    for (const auto& [key, value] : fields)
        if (PyObject_SetItem(rec.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
    return rec;
}

py::object key_record(py::handle cipher_index, py::handle mac_index, py::handle cipher_key, py::handle mac_key) {
    py::int_ version(fmt::KEY_BLOB_VERSION);
    py::int_ ck_len(py::len(cipher_key)), mk_len(py::len(mac_key));
    py::object record_type = S->g[NORVO_NAME("ConstructContainer")];
    if (record_type.is(S->record_type))
        return construct_record(record_type,
                                {{NORVO_NAME("version"), version},
                                 {NORVO_NAME("cipher_index"), cipher_index},
                                 {NORVO_NAME("mac_index"), mac_index},
                                 {NORVO_NAME("cipher_key"), cipher_key},
                                 {NORVO_NAME("mac_key"), mac_key},
                                 {NORVO_NAME("cipher_key_length"), ck_len},
                                 {NORVO_NAME("mac_key_length"), mk_len}});
    return record_type(py::arg("version") = version, py::arg("cipher_index") = cipher_index,
                       py::arg("mac_index") = mac_index, py::arg("cipher_key") = cipher_key,
                       py::arg("mac_key") = mac_key, py::arg("cipher_key_length") = ck_len,
                       py::arg("mac_key_length") = mk_len);
}

py::object hmac_key_length() {
    py::object hmac = S->g[NORVO_NAME("hmac")];
    if (hmac.is_none()) return py::int_(DEFAULT_HMAC_KEY_LENGTH);
    return hmac.attr(NORVO_NAME("HMAC_KEY_LENGTH"));
}

// Fresh keys: the cipher key drawn before the MAC key, each through `crypto.random`. While
// that is the library's own, both come from one draw of the generator.
std::pair<py::object, py::object> draw_keys(bool need_cipher, bool need_mac, core::bytes_out extra = {},
                                            bool* extra_drawn = nullptr) {
    py::object random = S->g[NORVO_NAME("crypto")].attr(NORVO_NAME("random"));
    if (random.is(S->stock_random) && need_cipher && need_mac) {
        py::object mac_len = hmac_key_length();
        if (auto m = norvo::bind::as_u64(mac_len); m && *m <= (1u << 20)) {
            std::vector<std::uint8_t> all_bytes(CIPHER_KEY_LENGTH + *m + extra.size());
            core::random_bytes(all_bytes);
            core::bytes_view all(all_bytes);
            auto keys = std::pair{py::object(norvo::bind::to_bytes(all.first(CIPHER_KEY_LENGTH))),
                                  py::object(norvo::bind::to_bytes(all.subspan(CIPHER_KEY_LENGTH, *m)))};
            if (!extra.empty()) std::memcpy(extra.data(), all.data() + CIPHER_KEY_LENGTH + *m, extra.size());
            if (extra_drawn) *extra_drawn = true;
            cleanse(all_bytes);
            return keys;
        }
    }
    py::object ck = need_cipher ? random(CIPHER_KEY_LENGTH) : py::object();
    py::object mk = need_mac ? S->g[NORVO_NAME("crypto")].attr(NORVO_NAME("random"))(hmac_key_length()) : py::object();
    return {ck, mk};
}

void fill_keys(py::object self, py::object cipher_index, py::object mac_index, py::object cipher_key,
               py::object mac_key, core::bytes_out extra = {}, bool* extra_drawn = nullptr) {
    bool need_cipher = !truthy(cipher_key), need_mac = !truthy(mac_key);
    if (need_cipher || need_mac) {
        if (need_cipher && need_mac) {
            std::tie(cipher_key, mac_key) = draw_keys(true, true, extra, extra_drawn);
        } else if (need_cipher) {
            cipher_key = draw_keys(true, false).first;
        } else {
            mac_key = draw_keys(false, true).second;
        }
    }
    py::setattr(self, NORVO_NAME("container"), key_record(cipher_index, mac_index, cipher_key, mac_key));
}

void keys_init(py::object self, py::object cipher_index, py::object mac_index, py::object cipher_key,
               py::object mac_key) {
    fill_keys(std::move(self), std::move(cipher_index), std::move(mac_index), std::move(cipher_key),
              std::move(mac_key));
}

py::object keys_bytes(py::object self) {
    py::object rec = self.attr(NORVO_NAME("container"));
    py::object version = rec.attr(NORVO_NAME("version")), cipher_index = rec.attr(NORVO_NAME("cipher_index")),
               cipher_key_length = rec.attr(NORVO_NAME("cipher_key_length")), cipher_key = rec.attr(NORVO_NAME("cipher_key")),
               mac_index = rec.attr(NORVO_NAME("mac_index")), mac_key_length = rec.attr(NORVO_NAME("mac_key_length")),
               mac_key = rec.attr(NORVO_NAME("mac_key"));
    using norvo::bind::as_u64;
    auto v = as_u64(version), ci = as_u64(cipher_index), ckl = as_u64(cipher_key_length), mi = as_u64(mac_index),
         mkl = as_u64(mac_key_length);
    bool plain = v && ci && ckl && mi && mkl && PyBytes_Check(cipher_key.ptr()) && PyBytes_Check(mac_key.ptr()) &&
                 static_cast<std::uint64_t>(PyBytes_GET_SIZE(cipher_key.ptr())) == *ckl &&
                 static_cast<std::uint64_t>(PyBytes_GET_SIZE(mac_key.ptr())) == *mkl;
    // A record someone altered by hand is left to the format library, which reports it in
    // its own terms.
    if (!plain) return S->g[NORVO_NAME("ContainerKeysStruct")].attr(NORVO_NAME("build"))(rec);
    ByteView ck(cipher_key), mk(mac_key);
    std::uint8_t* out = nullptr;
    py::bytes result = norvo::bind::new_bytes(fmt::key_record_size(ck.size(), mk.size()), out);
    fmt::write_key_record(out, *v, *ci, ck.span(), *mi, mk.span());
    return result;
}

py::object keys_from_bytes(py::object data) {
    ByteView in(data, norvo::bind::parser_input);
    fmt::KeyRecord rec = fmt::parse_key_record(in.span());
    fmt::require_both_keys(rec);
    return new_keys(py::int_(rec.cipher_index), py::int_(rec.mac_index), copy_bytes(rec.cipher_key),
                    copy_bytes(rec.mac_key));
}

bool keys_eq(py::object self, py::object other) {
    if (!py::isinstance(other, py::type::of(self))) return false;
    return norvo::bind::compares(self.attr(NORVO_NAME("__dict__")), other.attr(NORVO_NAME("__dict__")));
}

}  // namespace

KeyFields::KeyFields(py::handle keys) : keys_(keys) {
    // The stock class's properties read the field of its construct record, which is a dict
    // underneath: read it there while both are the library's own. Anything else goes through
    // the properties.
    if (Py_TYPE(keys.ptr()) == reinterpret_cast<PyTypeObject*>(S->keys_cls.ptr()))
        if (py::object rec = own_entry(keys, NORVO_NAME("container")))
            if (Py_TYPE(rec.ptr()) == reinterpret_cast<PyTypeObject*>(S->record_type.ptr())) record_ = std::move(rec);
}

py::object KeyFields::get(py::handle field) const {
    if (record_) {
        if (PyObject* v = PyDict_GetItemWithError(record_.ptr(), field.ptr()))
            return py::reinterpret_borrow<py::object>(v);
        if (PyErr_Occurred()) PyErr_Clear();
    }
    return keys_.attr(field);
}

py::object key_field(py::handle keys, py::handle field) { return KeyFields(keys).get(field); }

py::object new_keys(py::handle cipher_index, py::handle mac_index, py::handle cipher_key, py::handle mac_key,
                    core::bytes_out extra, bool* extra_drawn) {
    py::object cls = S->g[NORVO_NAME("ContainerKeys")];
    const bool stock = cls.is(S->keys_cls) && _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()),
                                                             NORVO_NAME("__init__").ptr()) == S->keys_init.ptr();
    if (!stock) {
        if (!cipher_key) return cls();
        return cls(py::arg("cipher_index") = cipher_index, py::arg("mac_index") = mac_index,
                   py::arg("cipher_key") = cipher_key, py::arg("mac_key") = mac_key);
    }
    // The library's own class and initialiser: the instance is made and filled here.
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    static PyObject* no_args = PyTuple_New(0);
    py::object self = norvo::bind::steal(type->tp_new(type, no_args, nullptr));
    py::object zero = py::int_(0);
    fill_keys(self, cipher_index ? py::reinterpret_borrow<py::object>(cipher_index) : zero,
              mac_index ? py::reinterpret_borrow<py::object>(mac_index) : zero,
              cipher_key ? py::reinterpret_borrow<py::object>(cipher_key) : py::object(py::none()),
              mac_key ? py::reinterpret_borrow<py::object>(mac_key) : py::object(py::none()), extra, extra_drawn);
    return self;
}

void install_keys(py::module_& m) {
    using norvo::bind::add_method;
    py::dict ns = norvo::bind::class_namespace(m, "ContainerKeys",
                                               "The key record of one container: AES key, HMAC key and their indexes.");
    ns["__hash__"] = py::none();
    py::object cls = norvo::bind::make_class("ContainerKeys", py::make_tuple(norvo::bind::builtin(PyBaseObject_Type)), ns);
    add_method(cls, "__init__", &keys_init, py::arg("cipher_index") = 0, py::arg("mac_index") = 0,
               py::arg("cipher_key") = py::none(), py::arg("mac_key") = py::none());
    for (const char* name : {"cipher_index", "mac_index", "cipher_key", "mac_key"}) {
        std::string field = name;
        py::setattr(cls, name, norvo::bind::make_property(py::cpp_function([field](py::object self) -> py::object {
                        return self.attr("container").attr(field.c_str());
                    })));
    }
    add_method(cls, "__bytes__", &keys_bytes);
    py::setattr(cls, "from_bytes",
                norvo::bind::builtin(PyStaticMethod_Type)(
                    norvo::bind::method_of(cls, "from_bytes", py::cpp_function(&keys_from_bytes), {{"data", {}}},
                                           false, nullptr, false)));
    add_method(cls, "__eq__", &keys_eq, py::arg("other"));
    norvo::bind::add_ne(cls, py::arg("other"));
    m.attr("ContainerKeys") = cls;
    S->keys_cls = cls;
    S->keys_init = cls.attr("__dict__")["__init__"];
}

}  // namespace norvo::container_module
