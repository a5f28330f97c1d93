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

py::object hmac_key_length() {
    py::object hmac = S->g[NORVO_NAME("hmac")];
    if (hmac.is_none()) return py::int_(DEFAULT_HMAC_KEY_LENGTH);
    return hmac.attr(NORVO_NAME("HMAC_KEY_LENGTH"));
}

// ---- General: the module's random source and record class, called

// `need_cipher` and `need_mac`: the given key is false, and one is drawn in its place.
void fill_keys_general(py::handle self, py::object cipher_index, py::object mac_index, py::object cipher_key,
                       py::object mac_key, bool need_cipher, bool need_mac) {
    // The cipher key is drawn before the MAC key.
    if (need_cipher) cipher_key = S->g[NORVO_NAME("crypto")].attr(NORVO_NAME("random"))(CIPHER_KEY_LENGTH);
    if (need_mac) mac_key = S->g[NORVO_NAME("crypto")].attr(NORVO_NAME("random"))(hmac_key_length());
    py::int_ ck_len(py::len(cipher_key)), mk_len(py::len(mac_key));
    py::setattr(self, NORVO_NAME("container"),
                S->g[NORVO_NAME("ConstructContainer")](
                    py::arg("version") = fmt::KEY_BLOB_VERSION, py::arg("cipher_index") = cipher_index,
                    py::arg("mac_index") = mac_index, py::arg("cipher_key") = cipher_key,
                    py::arg("mac_key") = mac_key, py::arg("cipher_key_length") = ck_len,
                    py::arg("mac_key_length") = mk_len));
}

// ---- Fast: the generator read here, the record filled here

// `crypto.random(n)` of the library's random source: `n` bytes from the generator, drawn here
// when `n` is a count it takes as given; any other value is handed to it, for its own answer.
py::object random_key(py::handle n) {
    if (auto count = norvo::bind::as_u64(n); count && *count <= (1u << 20)) {
        std::uint8_t* out = nullptr;
        py::bytes key = norvo::bind::new_bytes(*count, out);
        core::random_bytes(core::bytes_out(out, *count));
        return key;
    }
    return S->stock_random(n);
}

// Both keys, and `extra`, from one draw of the generator; false, drawing nothing, when the MAC
// key length is not a count taken as given.
bool draw_both(py::object& cipher_key, py::object& mac_key, core::bytes_out extra) {
    py::object mac_len = hmac_key_length();
    auto m = norvo::bind::as_u64(mac_len);
    if (!m || *m > (1u << 20)) return false;
    std::vector<std::uint8_t> all_bytes(CIPHER_KEY_LENGTH + *m + extra.size());
    core::random_bytes(all_bytes);
    core::bytes_view all(all_bytes);
    cipher_key = norvo::bind::to_bytes(all.first(CIPHER_KEY_LENGTH));
    mac_key = norvo::bind::to_bytes(all.subspan(CIPHER_KEY_LENGTH, *m));
    if (!extra.empty()) std::memcpy(extra.data(), all.data() + CIPHER_KEY_LENGTH + *m, extra.size());
    cleanse(all_bytes);
    return true;
}

void fill_keys_fast(py::handle self, py::handle cipher_index, py::handle mac_index, py::object cipher_key,
                    py::object mac_key, bool need_cipher, bool need_mac, core::bytes_out extra = {},
                    bool* extra_drawn = nullptr) {
    const bool both = need_cipher && need_mac && draw_both(cipher_key, mac_key, extra);
    if (extra_drawn) *extra_drawn = both;
    if (!both) {
        if (need_cipher) cipher_key = random_key(py::int_(CIPHER_KEY_LENGTH));
        if (need_mac) mac_key = random_key(hmac_key_length());
    }
    py::int_ version(fmt::KEY_BLOB_VERSION);
    py::int_ ck_len(py::len(cipher_key)), mk_len(py::len(mac_key));
    py::setattr(self, NORVO_NAME("container"),
                construct_record(S->record_type, {{NORVO_NAME("version"), version},
                                                  {NORVO_NAME("cipher_index"), cipher_index},
                                                  {NORVO_NAME("mac_index"), mac_index},
                                                  {NORVO_NAME("cipher_key"), cipher_key},
                                                  {NORVO_NAME("mac_key"), mac_key},
                                                  {NORVO_NAME("cipher_key_length"), ck_len},
                                                  {NORVO_NAME("mac_key_length"), mk_len}}));
}

// What a fast path that fills keys does, given which keys it draws.
unsigned filling(bool need_cipher, bool need_mac) {
    return Does::makes_records | (need_cipher || need_mac ? unsigned(Does::draws_keys) : 0u);
}

void keys_init(py::object self, py::object cipher_index, py::object mac_index, py::object cipher_key,
               py::object mac_key) {
    const bool need_cipher = !truthy(cipher_key), need_mac = !truthy(mac_key);
    if (fast_path({.does = filling(need_cipher, need_mac)}))
        fill_keys_fast(self, cipher_index, mac_index, std::move(cipher_key), std::move(mac_key), need_cipher, need_mac);
    else
        fill_keys_general(self, std::move(cipher_index), std::move(mac_index), std::move(cipher_key),
                          std::move(mac_key), need_cipher, need_mac);
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
    py::int_ cipher_index(rec.cipher_index), mac_index(rec.mac_index);
    py::bytes cipher_key = copy_bytes(rec.cipher_key), mac_key = copy_bytes(rec.mac_key);
    // Both keys are there, so none is drawn.
    if (fast_path({.does = Does::makes_keys | Does::makes_records}))
        return new_keys_fast(cipher_index, mac_index, cipher_key, mac_key);
    return new_keys_general(cipher_index, mac_index, cipher_key, mac_key);
}

bool keys_eq(py::object self, py::object other) {
    if (!py::isinstance(other, py::type::of(self))) return false;
    return norvo::bind::compares(self.attr(NORVO_NAME("__dict__")), other.attr(NORVO_NAME("__dict__")));
}

}  // namespace

KeyFields::KeyFields(py::handle keys, bool fast) : keys_(keys) {
    // The library's properties read the fields of its record, a dict underneath.
    if (fast) record_ = own_entry(keys, NORVO_NAME("container"));
}

py::object KeyFields::operator[](py::handle field) const {
    if (record_) {
        if (PyObject* v = PyDict_GetItemWithError(record_.ptr(), field.ptr()))
            return py::reinterpret_borrow<py::object>(v);
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    // A field someone took out of the record is missing as the property finds it missing.
    return keys_.attr(field);
}

SealingKeys::SealingKeys(const KeyFields& fields) {
    cipher_key = fields[NORVO_NAME("cipher_key")];
    cipher.emplace(cipher_key, "cipher_key");
    core::aes_ctr_check(cipher->size(), fmt::IV_SIZE);
    mac_key = fields[NORVO_NAME("mac_key")];
    mac.emplace(mac_key, "mac_key");
}

py::object new_keys_fast(py::handle cipher_index, py::handle mac_index, py::handle cipher_key, py::handle mac_key,
                         core::bytes_out extra, bool* extra_drawn) {
    auto* type = reinterpret_cast<PyTypeObject*>(S->keys_cls.ptr());
    static PyObject* no_args = PyTuple_New(0);
    py::object self = norvo::bind::steal(type->tp_new(type, no_args, nullptr));
    auto given = [](py::handle v, py::object otherwise) {
        return v ? py::reinterpret_borrow<py::object>(v) : std::move(otherwise);
    };
    py::object ck = given(cipher_key, py::none()), mk = given(mac_key, py::none());
    const bool need_cipher = !truthy(ck), need_mac = !truthy(mk);
    fill_keys_fast(self, given(cipher_index, py::int_(0)), given(mac_index, py::int_(0)), std::move(ck), std::move(mk),
                   need_cipher, need_mac, extra, extra_drawn);
    return self;
}

py::object new_keys_general(py::handle cipher_index, py::handle mac_index, py::handle cipher_key,
                            py::handle mac_key) {
    py::object cls = S->g[NORVO_NAME("ContainerKeys")];
    if (!cipher_key) return cls();
    return cls(py::arg("cipher_index") = cipher_index, py::arg("mac_index") = mac_index,
               py::arg("cipher_key") = cipher_key, py::arg("mac_key") = mac_key);
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
}

}  // namespace norvo::container_module
