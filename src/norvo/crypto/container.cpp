// norvo.crypto.container: the encrypted container. Two portions (a JSON header and a content)
// are each sealed with AES-256-CTR and HMAC-SHA384 under one per-container key record and
// written as one byte string.
//
// The construct declarations of the four byte formats are kept as the module's public
// description of the bytes, but the container itself builds and parses them here, in one
// pass over pre-sized buffers, with the cipher and the MAC running in the core with the GIL
// released. State changes are all-or-nothing: every operation checks what it needs, and
// puts back what it touched when a later step fails, so a container is never left with a
// portion sealed under keys it no longer holds.
#include <memory>
#include <optional>
#include <vector>

#include "norvo/core/container_format.hpp"
#include "norvo_bind.hpp"

namespace core = norvo::core;
namespace fmt = norvo::core::container;
using norvo::bind::add_method;
using norvo::bind::ByteView;
using norvo::bind::getattr_or_none;
using norvo::bind::make_property;
using norvo::bind::parser_input;
using norvo::bind::truthy;

namespace {

constexpr const char* LOGGER_NAME = "norvo.crypto.container";
constexpr const char* MSG_DIGEST = "Container Digest verification failure.";
constexpr const char* MSG_DECRYPTED = "Can't set attribute for a decrypted container.";
constexpr const char* MSG_NO_KEYS = "No Container Keys exist; cannot decrypt.";
constexpr const char* MSG_ENCRYPT_TYPE = "Can only encrypt str or bytes";
constexpr const char* MSG_SET_BYTES = "Can only set bytes.";
constexpr std::size_t CIPHER_KEY_LENGTH = 32;
constexpr long DEFAULT_HMAC_KEY_LENGTH = 128;

// Objects the module binds once at load. Never freed: they must outlive every call, and
// the interpreter may be finalising when static destructors would run.
struct State {
    py::object log;
    py::object crypto;
    py::object providers;
    py::object aes;
    py::object hmac;  // None until norvo.crypto.hmac can be imported
    py::object UUID;
    py::object uuid4;
    py::object uuid_type;
    py::object arrow;
    py::object Arrow;
    py::object json;
    py::object datetime;
    py::object ConstructContainer;
    py::object ContainerKeysStruct;
    py::object ContainerKeys;
    py::object RawPayload;
    py::object JSONPayload;
    py::object Header;
    py::object Container;
    // The stock payload operations, to recognise payload classes that keep them.
    py::object raw_encrypt;
    py::object json_encrypt;
    py::object raw_decrypt;
};
State* S = nullptr;

py::object py_bool(bool b) { return py::bool_(b); }

py::dict instance_dict(py::handle obj) { return py::reinterpret_borrow<py::dict>(obj.attr("__dict__")); }

bool exactly(py::handle obj, const py::object& cls) {
    return cls && reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())) == cls.ptr();
}

// obj.__dict__[name] of an instance of one of the library's own classes (checked by the
// caller), or null when the entry is not there (the caller then takes the generic path,
// which reports the missing attribute as it always has). Borrowed.
PyObject* own_entry(py::handle obj, const char* name) {
    PyObject* d = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (!d) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* v = PyDict_GetItemString(d, name);
    Py_DECREF(d);  // the instance keeps its dictionary, and so the entry, alive
    return v;
}

bool stock_payload(py::handle p) {
    return exactly(p, S->RawPayload) || exactly(p, S->JSONPayload) || exactly(p, S->Header);
}

// payload.encrypted, read from the instance state for the stock classes: their property is
// nothing but `self._encrypted`. Subclasses may redefine it and go through it.
bool payload_sealed(py::handle p) {
    if (stock_payload(p))
        if (PyObject* v = own_entry(p, "_encrypted")) return truthy(v);
    return truthy(p.attr("encrypted"));
}

// payload._encrypted_data, from the instance dictionary for the stock classes.
py::object payload_sealed_data(py::handle p) {
    if (stock_payload(p))
        if (PyObject* v = own_entry(p, "_encrypted_data")) return py::reinterpret_borrow<py::object>(v);
    return p.attr("_encrypted_data");
}

// keys.<field> (cipher_key, mac_key, cipher_index, mac_index). The stock class's properties
// read the field of its construct record, which is a dict underneath: read it there when the
// record is the construct type itself. Anything else goes through the properties.
py::object key_field(py::handle keys, const char* field) {
    if (exactly(keys, S->ContainerKeys))
        if (PyObject* rec = own_entry(keys, "container"))
            if (reinterpret_cast<PyObject*>(Py_TYPE(rec)) == S->ConstructContainer.ptr())
                if (PyObject* v = PyDict_GetItemString(rec, field)) return py::reinterpret_borrow<py::object>(v);
    return keys.attr(field);
}

// A construct Container record with `fields` in this order, the same object its constructor
// makes from keyword arguments (the dict entries plus the key order kept in its slot), built
// without running the constructor's Python code.
py::object construct_record(std::initializer_list<std::pair<const char*, py::object>> fields) {
    auto* type = reinterpret_cast<PyTypeObject*>(S->ConstructContainer.ptr());
    py::tuple no_args(0);
    py::object rec = norvo::bind::steal(type->tp_new(type, no_args.ptr(), nullptr));
    py::list order(fields.size());
    std::size_t i = 0;
    for (const auto& [name, value] : fields) {
        py::str key(name);
        if (PyDict_SetItem(rec.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
        PyList_SET_ITEM(order.ptr(), i++, key.release().ptr());
    }
    py::str slot("__keys_order__");
    // The slot's own descriptor, as object.__setattr__ reaches it.
    if (PyObject_GenericSetAttr(rec.ptr(), slot.ptr(), order.ptr()) != 0) throw py::error_already_set();
    return rec;
}

// Parse failures surface as the format library's own StreamError, as they always have.
template <class F>
auto parsing(F&& f) -> decltype(f()) {
    return norvo::bind::as_stream_error<fmt::TruncatedInput>(std::forward<F>(f));
}

py::bytes copy_bytes(core::bytes_view s) {
    std::uint8_t* out = nullptr;
    py::bytes b = norvo::bind::new_bytes(s.size(), out);
    if (!s.empty()) norvo::bind::bulk(s.size(), [&] { std::memcpy(out, s.data(), s.size()); });
    return b;
}

[[noreturn]] void raise_digest_failure() {
    S->log.attr("error")(MSG_DIGEST);
    // Raised as if while handling the MAC check's InvalidSignature, which stays attached as
    // the new error's context.
    py::object context = S->crypto.attr("InvalidSignature")();
    py::object err_type = S->crypto.attr("aes").attr("DecryptionError");
    py::object err = err_type(MSG_DIGEST);
    PyException_SetContext(err.ptr(), context.release().ptr());
    norvo::bind::raise(err_type, err);
}

// ---------------------------------------------------------------------------------------
// Portion encryption

py::bytes encrypt_section(py::handle ptxt, py::handle keys) {
    py::object plain;
    if (PyUnicode_Check(ptxt.ptr())) {
        plain = norvo::bind::steal(PyUnicode_AsUTF8String(ptxt.ptr()));
    } else if (PyBytes_Check(ptxt.ptr())) {
        plain = py::reinterpret_borrow<py::object>(ptxt);
    } else {
        norvo::bind::raise(PyExc_ValueError, MSG_ENCRYPT_TYPE);
    }
    core::bytes_view pt(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(plain.ptr())),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(plain.ptr())));

    py::object cipher_key = keys.attr("cipher_key");
    ByteView ck(cipher_key, "cipher_key");
    core::aes_ctr_check(ck.size(), fmt::IV_SIZE);
    py::object mac_key = keys.attr("mac_key");
    ByteView mk(mac_key, "mac_key");

    std::size_t size = fmt::section_size(fmt::IV_SIZE, pt.size(), fmt::DIGEST_SIZE);
    std::uint8_t* out = nullptr;
    py::bytes section = norvo::bind::new_bytes(size, out);
    // The counter block is drawn straight into its place in the section.
    std::uint8_t* iv = out + 8;
    core::random_bytes(core::bytes_out(iv, fmt::NONCE_SIZE));
    std::memset(iv + fmt::NONCE_SIZE, 0, fmt::IV_SIZE - fmt::NONCE_SIZE);
    std::uint8_t iv_copy[fmt::IV_SIZE];
    std::memcpy(iv_copy, iv, fmt::IV_SIZE);
    norvo::bind::bulk(pt.size(), [&] {
        fmt::seal_section(ck.span(), mk.span(), core::bytes_view(iv_copy, fmt::IV_SIZE), pt, out);
    });
    return section;
}

py::bytes decrypt_section(py::handle ciphertxt, py::handle keys) {
    ByteView in(ciphertxt, parser_input);
    fmt::Section sec = parsing([&] { return fmt::parse_section(in.span()); });

    py::object mac_key = keys.attr("mac_key");
    ByteView mk(mac_key, "mac_key");
    bool ok = norvo::bind::bulk(sec.encrypted.size(), [&] { return fmt::verify_section(mk.span(), sec); });
    if (!ok) raise_digest_failure();

    py::object cipher_key = keys.attr("cipher_key");
    ByteView ck(cipher_key, "cipher_key");
    core::aes_ctr_check(ck.size(), sec.iv.size());
    std::uint8_t* out = nullptr;
    py::bytes plain = norvo::bind::new_bytes(sec.encrypted.size(), out);
    norvo::bind::bulk(sec.encrypted.size(), [&] { fmt::open_section(ck.span(), sec, out); });
    return plain;
}

// ---------------------------------------------------------------------------------------
// Container keys

py::object draw_random(std::size_t n) { return S->crypto.attr("random")(n); }

py::object hmac_key_length() {
    if (S->hmac.is_none()) return py::int_(DEFAULT_HMAC_KEY_LENGTH);
    return S->hmac.attr("HMAC_KEY_LENGTH");
}

void keys_init(py::object self, py::object cipher_index, py::object mac_index, py::object cipher_key,
               py::object mac_key) {
    if (!truthy(cipher_key)) cipher_key = draw_random(CIPHER_KEY_LENGTH);
    if (!truthy(mac_key)) mac_key = S->crypto.attr("random")(hmac_key_length());
    py::object cipher_key_length = py::int_(py::len(cipher_key));
    py::object mac_key_length = py::int_(py::len(mac_key));
    py::setattr(self, "container", construct_record({{"version", py::int_(fmt::KEY_BLOB_VERSION)},
                                                     {"cipher_index", cipher_index},
                                                     {"mac_index", mac_index},
                                                     {"cipher_key", cipher_key},
                                                     {"mac_key", mac_key},
                                                     {"cipher_key_length", cipher_key_length},
                                                     {"mac_key_length", mac_key_length}}));
}

std::optional<std::uint64_t> as_u64(py::handle o) {
    if (!PyLong_Check(o.ptr())) return std::nullopt;
    unsigned long long v = PyLong_AsUnsignedLongLong(o.ptr());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(v);
}

py::object keys_bytes(py::object self) {
    py::object rec = self.attr("container");
    py::object version = rec.attr("version"), cipher_index = rec.attr("cipher_index"),
               cipher_key_length = rec.attr("cipher_key_length"), cipher_key = rec.attr("cipher_key"),
               mac_index = rec.attr("mac_index"), mac_key_length = rec.attr("mac_key_length"),
               mac_key = rec.attr("mac_key");
    auto v = as_u64(version), ci = as_u64(cipher_index), ckl = as_u64(cipher_key_length), mi = as_u64(mac_index),
         mkl = as_u64(mac_key_length);
    bool plain = v && ci && ckl && mi && mkl && PyBytes_Check(cipher_key.ptr()) && PyBytes_Check(mac_key.ptr()) &&
                 static_cast<std::uint64_t>(PyBytes_GET_SIZE(cipher_key.ptr())) == *ckl &&
                 static_cast<std::uint64_t>(PyBytes_GET_SIZE(mac_key.ptr())) == *mkl;
    // A record someone altered by hand is left to the format library, which reports it in
    // its own terms.
    if (!plain) return S->ContainerKeysStruct.attr("build")(rec);
    ByteView ck(cipher_key), mk(mac_key);
    std::uint8_t* out = nullptr;
    py::bytes result = norvo::bind::new_bytes(fmt::key_record_size(ck.size(), mk.size()), out);
    fmt::write_key_record(out, *v, *ci, ck.span(), *mi, mk.span());
    return result;
}

py::object keys_from_bytes(py::object data) {
    ByteView in(data, parser_input);
    fmt::KeyRecord rec = parsing([&] { return fmt::parse_key_record(in.span()); });
    // An empty key field would otherwise be replaced by fresh random bytes, and decryption
    // under such keys would "succeed" with garbage.
    if (rec.cipher_key.empty()) norvo::bind::raise(PyExc_ValueError, "Container key record has an empty cipher key.");
    if (rec.mac_key.empty()) norvo::bind::raise(PyExc_ValueError, "Container key record has an empty MAC key.");
    return S->ContainerKeys(py::arg("cipher_index") = py::int_(rec.cipher_index),
                            py::arg("mac_index") = py::int_(rec.mac_index),
                            py::arg("cipher_key") = copy_bytes(rec.cipher_key),
                            py::arg("mac_key") = copy_bytes(rec.mac_key));
}

bool keys_eq(py::object self, py::object other) {
    if (!py::isinstance(other, py::type::of(self))) return false;
    return norvo::bind::compares(self.attr("__dict__"), other.attr("__dict__"));
}

// ---------------------------------------------------------------------------------------
// Payloads

bool payload_encrypted(py::handle self) { return truthy(self.attr("_encrypted")); }

py::object raw_get_data(py::object self) {
    return payload_encrypted(self) ? py::object(self.attr("_encrypted_data")) : py::object(self.attr("_data"));
}

void raw_set_data(py::object self, py::object value) {
    if (!value.is_none() && !PyBytes_Check(value.ptr())) norvo::bind::raise(PyExc_ValueError, MSG_SET_BYTES);
    self.attr("set_plaintext_data")(value);
}

void payload_init(py::object self, py::object enc_data, py::object ptxt_data) {
    if (truthy(enc_data))
        self.attr("set_encrypted_data")(enc_data);
    else
        py::setattr(self, "data", ptxt_data);
}

void set_encrypted_data(py::object self, py::object ciphertext) {
    py::setattr(self, "_encrypted", py::bool_(true));
    py::setattr(self, "_encrypted_data", ciphertext);
}

void set_plaintext_data(py::object self, py::object plaintext) {
    py::setattr(self, "_encrypted", py::bool_(false));
    py::setattr(self, "_data", plaintext);
}

void payload_encrypt(py::object self, py::object container_keys) {
    if (truthy(self.attr("encrypted"))) return;
    py::object section = encrypt_section(self.attr("_data"), container_keys);
    self.attr("set_encrypted_data")(section);
}

void payload_decrypt(py::object self, py::object container_keys) {
    if (!truthy(self.attr("encrypted"))) return;
    py::object plain = decrypt_section(self.attr("_encrypted_data"), container_keys);
    self.attr("set_plaintext_data")(plain);
}

py::str payload_repr(py::object self, const char* cls) {
    std::string tmpl = std::string("<") + cls + (truthy(self.attr("encrypted")) ? "(enc_data={})>" : "(ptxt_data={})>");
    return py::str(tmpl).format(self.attr("data"));
}

bool payload_eq(py::object self, py::object other) {
    if (!py::isinstance(other, py::type::of(self))) return false;
    return norvo::bind::compares(self.attr("data"), other.attr("data"));
}

// Text or bytes that hold JSON become the value they denote; anything else stays as given.
py::object json_decode_rule(py::object data) {
    if (PyUnicode_Check(data.ptr()) || PyBytes_Check(data.ptr())) {
        try {
            return S->json.attr("loads")(data);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    return data;
}

py::object json_get_data(py::object self) {
    if (payload_encrypted(self)) return self.attr("_encrypted_data");
    return S->json.attr("loads")(self.attr("_data"));
}

// The text is encoded before anything changes, so a value JSON cannot express leaves the
// payload exactly as it was (plain or encrypted).
void json_set_data(py::object self, py::object data) {
    py::object text = S->json.attr("dumps")(json_decode_rule(std::move(data)));
    py::setattr(self, "_encrypted", py::bool_(false));
    py::setattr(self, "_data", text);
}

py::object header_get_data(py::object self) {
    py::object value = self.attr("_get_data")();
    if (PyDict_Check(value.ptr())) return value.attr("get")("customData", value);
    return value;
}

void header_set_data(py::object self, py::object data) {
    py::object value = json_decode_rule(std::move(data));
    py::dict doc;
    doc["version"] = S->Header.attr("version");
    doc["customData"] = value;
    json_set_data(self, doc);
}

// ---------------------------------------------------------------------------------------
// Container

// What a payload's __dict__ held before an operation, so a failure can put it back.
class Snapshot {
public:
    explicit Snapshot(py::handle payload) {
        PyObject* d = PyObject_GetAttrString(payload.ptr(), "__dict__");
        if (!d) {
            PyErr_Clear();
            return;
        }
        dict_ = py::reinterpret_steal<py::object>(d);
        if (PyDict_Check(dict_.ptr())) saved_ = py::reinterpret_steal<py::object>(PyDict_Copy(dict_.ptr()));
        if (!saved_) {
            PyErr_Clear();
            dict_ = py::object();
        }
    }
    // Called while an exception is in flight: must not raise.
    void restore() noexcept {
        if (!dict_) return;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyDict_Clear(dict_.ptr());
        if (PyDict_Update(dict_.ptr(), saved_.ptr()) != 0) PyErr_Clear();
        PyErr_Restore(type, value, tb);
    }

private:
    py::object dict_;
    py::object saved_;
};

bool container_encrypted(py::object self) {
    // The header's flag decides alone when it is false.
    if (!payload_sealed(self.attr("header"))) return false;
    return payload_sealed(self.attr("content"));
}

py::object class_attr(py::handle obj, const char* name) {
    PyObject* r = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())), name);
    if (!r) {
        PyErr_Clear();
        return py::none();
    }
    return py::reinterpret_steal<py::object>(r);
}

// What the audit setters store: an id as a UUID, a time as a datetime.
py::object created_like(py::object value) {
    if (value.is_none()) return value;
    return S->UUID(value);
}

py::object time_like(py::object value) {
    if (value.is_none() || py::isinstance(value, S->datetime)) return value;
    // arrow.get of an Arrow remakes the same moment in the same zone; its datetime is the
    // Arrow's own.
    if (exactly(value, S->Arrow)) return value.attr("datetime");
    return S->arrow.attr("get")(value).attr("datetime");
}

void set_created_like(py::object self, const char* attr, py::object value) {
    py::setattr(self, attr, created_like(std::move(value)));
}

void set_time_like(py::object self, const char* attr, py::object value) {
    py::setattr(self, attr, time_like(std::move(value)));
}

void container_init(py::object self, py::object data, py::object content_cls, py::kwargs kwargs) {
    py::setattr(self, "container_keys", py::none());
    py::setattr(self, "header", py::none());
    py::setattr(self, "content", py::none());
    py::setattr(self, "id", py::none());
    py::setattr(self, "type", kwargs.contains("type") ? py::object(kwargs["type"]) : py::object(py::none()));

    // The stock class's audit properties only coerce and store in the instance state: store
    // there directly. A subclass may redefine them and goes through them.
    PyObject* state = nullptr;
    if (exactly(self, S->Container)) {
        state = PyObject_GenericGetDict(self.ptr(), nullptr);
        if (!state) throw py::error_already_set();
    }
    py::object state_ref = py::reinterpret_steal<py::object>(state);
    auto audit = [&](const char* name, const char* slot, py::object value) {
        if (state) {
            if (PyDict_SetItemString(state, slot, value.ptr()) != 0) throw py::error_already_set();
        } else {
            py::setattr(self, name, value);
        }
    };
    audit("created_by", "_created_by", py::none());
    py::object now = S->arrow.attr("utcnow")();
    audit("created_at", "_created_at", state ? time_like(now) : now);
    audit("modified_at", "_modified_at", py::none());
    audit("modified_by", "_modified_by", py::none());

    norvo::bind::with_context(S->providers.attr("get")(), [&](py::object provider) {
        py::object user = provider.attr("session").attr("user");
        py::object id = getattr_or_none(user, "id");
        audit("created_by", "_created_by", state ? created_like(id) : id);
    });

    py::setattr(self, "_content_cls", content_cls);
    py::setattr(self, "_enc_data", py::none());

    if (truthy(data)) {
        py::setattr(self, "data", data);
        return;
    }
    py::object id;
    if (kwargs.contains("container_id"))
        id = S->UUID(kwargs["container_id"]);
    else
        id = S->uuid4();
    py::setattr(self, "id", id);
    auto required = [&](const char* key) -> py::object {
        if (!kwargs.contains(key)) norvo::bind::raise(PyExc_KeyError, std::string(key));
        return kwargs[key];
    };
    py::setattr(self, "header", S->Header(py::arg("ptxt_data") = required("header")));
    py::setattr(self, "content", content_cls(py::arg("ptxt_data") = required("content")));
}

// The record of the container format is made from the bytes only when someone reads it:
// nothing in the library does, and holding it eagerly would copy every ciphertext again.
void reset_record(py::object self, py::object source) {
    py::dict d = instance_dict(self);
    d["_container_bytes"] = source;
    if (d.contains("_container_record")) PyDict_DelItemString(d.ptr(), "_container_record");
}

py::object section_record(const fmt::Section& s) {
    py::dict f;
    f["iv_length"] = py::int_(s.iv_length);
    f["iv"] = copy_bytes(s.iv);
    f["encrypted_length"] = py::int_(s.encrypted_length);
    f["encrypted"] = copy_bytes(s.encrypted);
    f["digest_length"] = py::int_(s.digest_length);
    f["digest"] = copy_bytes(s.digest);
    return S->ConstructContainer(**f);
}

py::object container_get_record(py::object self) {
    py::dict d = instance_dict(self);
    if (d.contains("_container_record")) return d["_container_record"];
    if (!d.contains("_container_bytes"))
        norvo::bind::raise(PyExc_AttributeError, "'Container' object has no attribute '_container'");
    py::object src = d["_container_bytes"];
    if (src.is_none()) return py::none();
    ByteView in(src, parser_input);
    fmt::ContainerRecord c = parsing([&] { return fmt::parse_container(in.span()); });
    py::dict f;
    f["version"] = py::int_(c.version);
    f["oid"] = copy_bytes(c.oid);
    f["cipher_index"] = py::int_(c.cipher_index);
    f["mac_index"] = py::int_(c.mac_index);
    f["header_length"] = py::int_(c.header_length);
    f["content_length"] = py::int_(c.content_length);
    f["header"] = section_record(c.header);
    f["content"] = section_record(c.content);
    py::object rec = S->ConstructContainer(**f);
    d["_container_record"] = rec;
    return rec;
}

void container_set_record(py::object self, py::object value) {
    py::dict d = instance_dict(self);
    d["_container_record"] = value;
    if (!d.contains("_container_bytes")) d["_container_bytes"] = py::none();
}

void container_set_data(py::object self, py::object value) {
    bool encrypted = true;
    bool stock = exactly(self, S->Container);
    PyObject* header_now = stock ? own_entry(self, "header") : nullptr;
    if (header_now == Py_None) {
        // The portions are not made yet (construction from bytes); the flag would fail to read.
    } else try {
        encrypted = stock ? container_encrypted(self) : truthy(self.attr("encrypted"));
    } catch (py::error_already_set& e) {
        // The portions are not made yet (construction from bytes).
        if (!e.matches(PyExc_AttributeError)) throw;
    }
    if (!encrypted) {
        S->log.attr("warning")(MSG_DECRYPTED);
        norvo::bind::raise(PyExc_AttributeError, MSG_DECRYPTED);
    }

    py::object content_cls = self.attr("_content_cls");
    py::object header, content, id, source;
    if (truthy(value)) {
        // Everything is parsed and made before anything is replaced.
        ByteView in(value, parser_input);
        fmt::ContainerRecord c = parsing([&] { return fmt::parse_container(in.span()); });
        core::bytes_view all = in.span();
        header = S->Header(py::arg("enc_data") = copy_bytes(all.subspan(c.header_offset, c.header.size)));
        content = content_cls(py::arg("enc_data") = copy_bytes(all.subspan(c.content_offset, c.content.size)));
        id = S->UUID(py::arg("bytes_le") = copy_bytes(c.oid));
        // The record is read lazily from immutable bytes; a mutable buffer is copied once.
        source = PyBytes_CheckExact(value.ptr()) ? value : py::object(copy_bytes(all));
    } else {
        header = S->Header();
        header.attr("set_encrypted_data")(py::none());
        content = content_cls();
        content.attr("set_encrypted_data")(py::none());
        id = self.attr("id");
        source = py::none();
    }
    // The new length is what len() will give once the bytes are in place; worked out first so
    // that a value without a length is refused before anything changes.
    std::size_t length = value.is_none() ? 0 : py::len(value);
    py::setattr(self, "_enc_data", value);
    reset_record(self, source);
    py::setattr(self, "header", header);
    py::setattr(self, "content", content);
    py::setattr(self, "id", id);
    py::setattr(self, "length", py::int_(length));
}

py::object container_get_data(py::object self) {
    if (container_encrypted(self)) return self.attr("_enc_data");
    py::object h = self.attr("header").attr("data");
    py::object c = self.attr("content").attr("data");
    bool ht = truthy(h), ct = truthy(c);
    if (ht && ct) return py::str(py::repr(h)) + py::str(py::repr(c));
    return ht ? h : c;
}

bool is_stock(py::handle payload, const char* op, std::initializer_list<py::handle> stock) {
    py::object f = class_attr(payload, op);
    for (py::handle s : stock)
        if (f.is(s)) return true;
    return false;
}

// A portion already sealed while the container is plain can only stay if it opens under the
// keys now used; otherwise the container would carry a portion that its keys cannot open.
void check_sealed_portion(py::handle payload, py::handle keys) {
    py::object sealed = payload.attr("data");
    bool ok = false;
    try {
        ByteView in(sealed, parser_input);
        fmt::Section sec = parsing([&] { return fmt::parse_section(in.span()); });
        py::object mac_key = keys.attr("mac_key");
        ByteView mk(mac_key, "mac_key");
        ok = norvo::bind::bulk(sec.encrypted.size(), [&] { return fmt::verify_section(mk.span(), sec); });
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    if (!ok) norvo::bind::raise(PyExc_ValueError, "A portion is already sealed under other keys; cannot encrypt.");
}

py::object container_encrypt(py::object self, py::object keys_arg) {
    if (container_encrypted(self)) return py::none();
    py::object header = self.attr("header"), content = self.attr("content");

    // Checks first, so a refusal changes nothing.
    py::object oid = self.attr("id").attr("bytes_le");
    if (!PyBytes_Check(oid.ptr()) || PyBytes_GET_SIZE(oid.ptr()) != static_cast<Py_ssize_t>(fmt::OID_SIZE))
        norvo::bind::raise_construct("StreamError", "bytes object of wrong length, expected 16, found " +
                                                        std::to_string(py::len(oid)));
    bool header_sealed = truthy(header.attr("encrypted")), content_sealed = truthy(content.attr("encrypted"));
    for (auto [payload, sealed] : {std::pair{header, header_sealed}, std::pair{content, content_sealed}}) {
        if (sealed || !is_stock(payload, "encrypt", {S->raw_encrypt, S->json_encrypt})) continue;
        py::object plain = payload.attr("_data");
        if (!PyUnicode_Check(plain.ptr()) && !PyBytes_Check(plain.ptr()))
            norvo::bind::raise(PyExc_ValueError, MSG_ENCRYPT_TYPE);
    }
    py::object keys = truthy(keys_arg) ? keys_arg : py::object(S->ContainerKeys());
    {
        py::object cipher_key = keys.attr("cipher_key");
        ByteView ck(cipher_key, "cipher_key");
        core::aes_ctr_check(ck.size(), fmt::IV_SIZE);
        py::object mac_key = keys.attr("mac_key");
        ByteView mk(mac_key, "mac_key");
    }
    if (header_sealed) check_sealed_portion(header, keys);
    if (content_sealed) check_sealed_portion(content, keys);

    Snapshot hs(header), cs(content);
    py::object result;
    try {
        header.attr("encrypt")(keys);
        content.attr("encrypt")(keys);
        py::object hsec = header.attr("data"), csec = content.attr("data");
        std::size_t hlen = py::len(header), clen = py::len(content);
        ByteView hv(hsec, parser_input), cv(csec, parser_input);
        fmt::Section h = parsing([&] { return fmt::parse_section(hv.span()); });
        fmt::Section c = parsing([&] { return fmt::parse_section(cv.span()); });
        ByteView oidv(oid);
        std::uint8_t* out = nullptr;
        result = norvo::bind::new_bytes(fmt::container_size(h.size, c.size), out);
        // One buffer of the final size: the preamble, then each section as sealed.
        norvo::bind::bulk(h.size + c.size, [&] {
            std::uint8_t* p = fmt::write_preamble(out, fmt::VERSION, oidv.span(), 0, 0, hlen, clen);
            std::memcpy(p, hv.span().data(), h.size);
            if (c.size) std::memcpy(p + h.size, cv.span().data(), c.size);
        });
    } catch (...) {
        hs.restore();
        cs.restore();
        throw;
    }
    py::setattr(self, "_enc_data", result);
    reset_record(self, result);
    py::setattr(self, "container_keys", keys);
    py::setattr(self, "length", py::int_(py::len(result)));
    return keys;
}

void container_decrypt(py::object self, py::object keys_arg) {
    py::object keys = truthy(keys_arg) ? keys_arg : py::object(self.attr("container_keys"));
    if (keys.is_none()) norvo::bind::raise(PyExc_RuntimeError, MSG_NO_KEYS);

    struct Portion {
        py::object payload;
        bool sealed = false;
        bool stock = false;
        py::object section_bytes;
        std::unique_ptr<ByteView> view;
        fmt::Section section;
    };
    Portion portions[2];
    portions[0].payload = self.attr("header");
    portions[1].payload = self.attr("content");
    bool any = false;
    for (Portion& p : portions) {
        p.sealed = payload_sealed(p.payload);
        if (!p.sealed) continue;
        any = true;
        p.stock = is_stock(p.payload, "decrypt", {S->raw_decrypt});
        p.section_bytes = p.stock ? payload_sealed_data(p.payload) : py::object(p.payload.attr("data"));
        p.view = std::make_unique<ByteView>(p.section_bytes, parser_input);
        p.section = parsing([&] { return fmt::parse_section(p.view->span()); });
    }

    // Both portions are authenticated before either is opened, so a wrong key or a damaged
    // portion leaves the container exactly as it was.
    py::object cipher_key, mac_key;
    std::optional<ByteView> ck, mk;
    if (any) {
        mac_key = key_field(keys, "mac_key");
        mk.emplace(mac_key, "mac_key");
        for (Portion& p : portions) {
            if (!p.sealed) continue;
            bool ok = norvo::bind::bulk(p.section.encrypted.size(),
                                        [&] { return fmt::verify_section(mk->span(), p.section); });
            if (!ok) raise_digest_failure();
        }
        cipher_key = key_field(keys, "cipher_key");
        ck.emplace(cipher_key, "cipher_key");
        for (Portion& p : portions)
            if (p.sealed) core::aes_ctr_check(ck->size(), p.section.iv.size());
    }
    py::object copy = S->ContainerKeys(py::arg("cipher_index") = key_field(keys, "cipher_index"),
                                       py::arg("mac_index") = key_field(keys, "mac_index"),
                                       py::arg("cipher_key") = key_field(keys, "cipher_key"),
                                       py::arg("mac_key") = key_field(keys, "mac_key"));

    Snapshot hs(portions[0].payload), cs(portions[1].payload);
    try {
        for (Portion& p : portions) {
            if (!p.sealed) continue;
            if (p.stock) {
                std::uint8_t* out = nullptr;
                py::bytes plain = norvo::bind::new_bytes(p.section.encrypted.size(), out);
                norvo::bind::bulk(p.section.encrypted.size(), [&] { fmt::open_section(ck->span(), p.section, out); });
                p.payload.attr("set_plaintext_data")(plain);
            } else {
                p.payload.attr("decrypt")(keys);
            }
        }
    } catch (...) {
        hs.restore();
        cs.restore();
        throw;
    }
    py::setattr(self, "container_keys", copy);
}

std::size_t container_len(py::object self) {
    if (container_encrypted(self)) {
        py::object d = self.attr("_enc_data");
        return d.is_none() ? 0 : py::len(d);
    }
    py::object h = self.attr("header").attr("data");
    if (truthy(h)) {
        std::size_t hl = py::len(h);
        return hl + py::len(self.attr("content").attr("data"));
    }
    return py::len(self.attr("content").attr("data"));
}

const char* const EQ_ATTRS[] = {"id",         "data",       "access",      "container_keys", "created_at",
                                "created_by", "modified_at", "modified_by", "type",           "length"};

py::object attr_eq(py::handle a, py::handle b, const char* name) {
    py::object x = getattr_or_none(a, name), y = getattr_or_none(b, name);
    return norvo::bind::rich_compare(x, y);
}

bool container_eq(py::object self, py::object other) {
    if (!py::isinstance(other, py::type::of(self))) return false;
    if (container_encrypted(self) != container_encrypted(other)) return false;
    if (norvo::bind::traces_enabled()) {
        S->log.attr("debug")("Checking Container Equality.");
        for (const char* name : EQ_ATTRS) S->log.attr("debug")("%s:         %s", name, attr_eq(self, other, name));
    }
    bool all = true;
    for (const char* name : EQ_ATTRS) all = truthy(attr_eq(self, other, name)) && all;
    return all;
}

// ---------------------------------------------------------------------------------------
// Class assembly: plain Python classes (base object, state in the instance dictionary)
// whose operations are these C++ functions.

py::object make_class(const char* name, py::tuple bases, const char* doc, py::module_& m) {
    py::dict ns = norvo::bind::class_namespace(m, name, doc);
    ns["__hash__"] = py::none();
    return norvo::bind::make_class(name, bases, ns);
}

py::object construct_field(py::handle name, py::handle sub) { return sub.attr("__rtruediv__")(name); }

}  // namespace

PYBIND11_MODULE(container, m) {
    norvo::bind::install_translators();
    m.doc() = "Encrypted containers: formats, container keys, payloads and the Container object.";
    S = new State();

    m.attr("arrow") = py::module_::import("arrow");
    m.attr("logging") = py::module_::import("logging");
    m.attr("json") = py::module_::import("simplejson");
    m.attr("datetime") = py::module_::import("datetime").attr("datetime");
    m.attr("uuid4") = py::module_::import("uuid").attr("uuid4");
    py::module_ construct = py::module_::import("construct");
    for (const char* n : {"Int64ul", "Bytes", "Struct", "Embedded", "this"}) m.attr(n) = construct.attr(n);
    m.attr("ConstructContainer") = construct.attr("Container");
    m.attr("UUID") = py::module_::import("norvo.utils").attr("UUID");
    m.attr("providers") = py::module_::import("norvo.providers");
    m.attr("crypto") = py::module_::import("norvo.crypto");
    try {
        m.attr("hmac") = py::module_::import("norvo.crypto.hmac");
    } catch (py::error_already_set& e) {
        // Until the MAC module is built, its key length is the SHA-384 block size.
        if (!e.matches(PyExc_ModuleNotFoundError)) throw;
        m.attr("hmac") = py::none();
    }
    // The portion cipher reaches aes through the package; load it here so it is there.
    m.attr("aes") = py::module_::import("norvo.crypto.aes");

    S->crypto = m.attr("crypto");
    S->providers = m.attr("providers");
    S->aes = m.attr("aes");
    S->hmac = m.attr("hmac");
    S->UUID = m.attr("UUID");
    S->uuid4 = m.attr("uuid4");
    S->uuid_type = py::module_::import("uuid").attr("UUID");
    S->arrow = m.attr("arrow");
    S->Arrow = S->arrow.attr("Arrow");
    S->json = m.attr("json");
    S->datetime = m.attr("datetime");
    S->ConstructContainer = m.attr("ConstructContainer");

    m.attr("log") = norvo::bind::logger(LOGGER_NAME);
    S->log = m.attr("log");

    m.attr("VERSION") = py::int_(fmt::VERSION);
    m.attr("KEY_BLOB_VERSION") = py::int_(fmt::KEY_BLOB_VERSION);
    m.attr("CIPHER_KEY_LENGTH") = py::int_(CIPHER_KEY_LENGTH);

    // The four byte formats, declared for readers of the module; the container builds and
    // parses the same bytes natively.
    py::object I = m.attr("Int64ul"), B = m.attr("Bytes"), St = m.attr("Struct"), this_ = m.attr("this");
    auto f = [](const char* n, py::handle sub) { return construct_field(py::str(n), sub); };
    m.attr("ContainerPreambleStruct") =
        St(f("version", I), f("oid", B(16)), f("cipher_index", I), f("mac_index", I), f("header_length", I),
           f("content_length", I));
    m.attr("ContainerSectionStruct") =
        St(f("iv_length", I), f("iv", B(this_.attr("iv_length"))), f("encrypted_length", I),
           f("encrypted", B(this_.attr("encrypted_length"))), f("digest_length", I),
           f("digest", B(this_.attr("digest_length"))));
    m.attr("ContainerStruct") = St(m.attr("Embedded")(m.attr("ContainerPreambleStruct")),
                                   f("header", m.attr("ContainerSectionStruct")),
                                   f("content", m.attr("ContainerSectionStruct")));
    m.attr("ContainerKeysStruct") =
        St(f("version", I), f("cipher_index", I), f("cipher_key_length", I),
           f("cipher_key", B(this_.attr("cipher_key_length"))), f("mac_index", I), f("mac_key_length", I),
           f("mac_key", B(this_.attr("mac_key_length"))));
    S->ContainerKeysStruct = m.attr("ContainerKeysStruct");

    m.def("_encrypt", [](py::object ptxt, py::object container_keys) { return encrypt_section(ptxt, container_keys); },
          py::arg("ptxt"), py::arg("container_keys"),
          "Seal one portion: fresh counter block, AES-CTR, HMAC-SHA384 over the ciphertext; the section bytes.");
    m.def("_decrypt",
          [](py::object ciphertxt, py::object container_keys) { return decrypt_section(ciphertxt, container_keys); },
          py::arg("ciphertxt"), py::arg("container_keys"),
          "Open one section: its MAC is verified before anything is decrypted; the plaintext bytes.");

    py::object object_base = norvo::bind::builtin(PyBaseObject_Type);

    // ContainerKeys
    py::object keys_cls = make_class("ContainerKeys", py::make_tuple(object_base),
                                     "The key record of one container: AES key, HMAC key and their indexes.", m);
    add_method(keys_cls, "__init__", &keys_init, py::arg("cipher_index") = 0, py::arg("mac_index") = 0,
               py::arg("cipher_key") = py::none(), py::arg("mac_key") = py::none());
    for (const char* name : {"cipher_index", "mac_index", "cipher_key", "mac_key"}) {
        std::string field = name;
        py::setattr(keys_cls, name,
                    make_property(py::cpp_function([field](py::object self) -> py::object {
                        return self.attr("container").attr(field.c_str());
                    })));
    }
    add_method(keys_cls, "__bytes__", &keys_bytes);
    py::setattr(keys_cls, "from_bytes",
                py::module_::import("builtins")
                    .attr("staticmethod")(py::cpp_function(&keys_from_bytes, py::name("from_bytes"), py::arg("data"))));
    add_method(keys_cls, "__eq__", &keys_eq);
    norvo::bind::add_ne(keys_cls);
    m.attr("ContainerKeys") = keys_cls;
    S->ContainerKeys = keys_cls;

    // RawPayload
    py::object raw = make_class("RawPayload", py::make_tuple(object_base),
                                "One portion of a container holding bytes, plain or encrypted.", m);
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
    add_method(raw, "__eq__", &payload_eq);
    norvo::bind::add_ne(raw);
    add_method(raw, "__len__", [](py::object self) { return py::len(self.attr("data")); });
    m.attr("RawPayload") = raw;
    S->RawPayload = raw;
    S->raw_encrypt = raw.attr("encrypt");
    S->raw_decrypt = raw.attr("decrypt");

    // JSONPayload
    py::object jp = make_class("JSONPayload", py::make_tuple(raw),
                               "A portion holding a JSON document, handed out decoded.", m);
    add_method(jp, "_get_data", &json_get_data);
    add_method(jp, "_set_data", &json_set_data, py::arg("data"));
    py::setattr(jp, "data",
                make_property(py::cpp_function([](py::object self) -> py::object { return self.attr("_get_data")(); }),
                              py::cpp_function([](py::object self, py::object v) { self.attr("_set_data")(v); })));
    add_method(jp, "encrypt", &payload_encrypt, py::arg("container_keys"));
    add_method(jp, "__repr__", [](py::object self) { return payload_repr(self, "JSONPayload"); });
    m.attr("JSONPayload") = jp;
    S->JSONPayload = jp;
    S->json_encrypt = jp.attr("encrypt");

    // Header
    py::object hdr = make_class("Header", py::make_tuple(jp),
                                "The header portion: the application's value inside a versioned JSON object.", m);
    py::setattr(hdr, "version", py::int_(1));
    py::setattr(hdr, "data", make_property(py::cpp_function(&header_get_data), py::cpp_function(&header_set_data)));
    m.attr("Header") = hdr;
    S->Header = hdr;

    // Container
    py::object cont = make_class("Container", py::make_tuple(object_base),
                                 "One encrypted container: a header and a content, plain or encrypted.", m);
    add_method(cont, "__init__", &container_init, py::arg("data") = py::none(), py::arg("content_cls") = raw);
    add_method(cont, "decrypt", &container_decrypt, py::arg("container_keys") = py::none());
    add_method(cont, "encrypt", &container_encrypt, py::arg("container_keys") = py::none());
    py::setattr(cont, "data",
                make_property(py::cpp_function(&container_get_data), py::cpp_function(&container_set_data)));
    py::setattr(cont, "encrypted",
                make_property(py::cpp_function([](py::object self) { return container_encrypted(self); })));
    py::setattr(cont, "_container",
                make_property(py::cpp_function(&container_get_record), py::cpp_function(&container_set_record)));
    for (const char* name : {"created_by", "modified_by"}) {
        std::string slot = std::string("_") + name;
        py::cpp_function getter([slot](py::object self) -> py::object { return self.attr(slot.c_str()); });
        py::cpp_function setter([slot](py::object self, py::object v) { set_created_like(self, slot.c_str(), v); });
        py::setattr(cont, name, make_property(getter, setter));
    }
    for (const char* name : {"created_at", "modified_at"}) {
        std::string slot = std::string("_") + name;
        py::cpp_function getter([slot](py::object self) -> py::object { return self.attr(slot.c_str()); });
        py::cpp_function setter([slot](py::object self, py::object v) { set_time_like(self, slot.c_str(), v); });
        py::setattr(cont, name, make_property(getter, setter));
    }
    add_method(cont, "__len__", &container_len);
    add_method(cont, "__repr__", [](py::object self) {
        return py::str("<Container({}) Encrypted: {}>").format(self.attr("id"), py_bool(container_encrypted(self)));
    });
    add_method(cont, "__eq__", &container_eq);
    norvo::bind::add_ne(cont);
    m.attr("Container") = cont;
    S->Container = cont;
}
