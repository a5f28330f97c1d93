// norvo.crypto.strongbox: the key file. A user's key-ring document is sealed under a key
// derived from the hashed password, and a rescue section holds that hashed password sealed
// under the passphrase. `KFSection` and `KF` are the byte formats (codec in the core);
// `KeyFileRescue` and `KeyFile` are plain Python classes whose methods live here.
//
// Sections carry no authentication tag: a wrong secret shows only as a plaintext that is not
// UTF-8, and that is the one failure translated into DecryptionError.
#include <optional>
#include <string>

#include "bytes.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "formats.hpp"
#include "imports.hpp"
#include "module.hpp"
#include "norvo/core/keyfile_format.hpp"

namespace kf = norvo::core::keyfile;
using norvo::bind::add_method;
using norvo::bind::ByteView;
using norvo::bind::field_u64;
using norvo::bind::Globals;
using norvo::bind::raise_in_place_of;
using norvo::bind::record_field;
using norvo::bind::to_bytes;
using norvo::bind::truthy;

namespace {

constexpr const char* KEY_FILE_MESSAGE = "Failed to decrypt the key file.  Check password.";
constexpr const char* RESCUE_MESSAGE = "Failed to decrypt the key file rescue.  Check passphrase.";

// ---- The byte formats as Python objects: records are construct Containers, read by name.

// Holds the buffers of one section record while it is built.
struct SectionInput {
    std::optional<ByteView> salt, iv, encrypted;
    kf::Section section;

    explicit SectionInput(py::handle record) {
        const char* names[3][2] = {{"salt_length", "salt"}, {"iv_length", "iv"}, {"encrypted_length", "encrypted"}};
        std::optional<ByteView>* views[3] = {&salt, &iv, &encrypted};
        kf::bytes_view* slots[3] = {&section.salt, &section.iv, &section.encrypted};
        for (int i = 0; i < 3; ++i) {
            std::uint64_t length = field_u64(record_field(record, names[i][0]), names[i][0]);
            *slots[i] = norvo::bind::sized_field(*views[i], record_field(record, names[i][1]), names[i][1], length);
        }
    }
};

py::bytes section_bytes(const kf::Section& s) {
    std::size_t n = kf::section_size(s);
    std::uint8_t* out = nullptr;
    py::bytes result = norvo::bind::new_bytes(n, out);
    kf::build_section_into(s, {out, n});
    return result;
}

py::bytes file_bytes(const kf::KeyFile& f) {
    std::size_t n = kf::encoded_size(f);
    std::uint8_t* out = nullptr;
    py::bytes result = norvo::bind::new_bytes(n, out);
    kf::build_into(f, {out, n});
    return result;
}

// None reads as no bytes at all, so it fails as data that is too short does.
template <class F>
auto with_bytes(py::handle data, F&& f) {
    if (data.is_none()) return f(kf::bytes_view{});
    ByteView in(data);
    return f(in.span());
}

py::object section_record(const kf::Section& s) {
    py::object record = norvo::bind::new_record();
    record["salt_length"] = py::int_(s.salt.size());
    record["salt"] = to_bytes(s.salt);
    record["iv_length"] = py::int_(s.iv.size());
    record["iv"] = to_bytes(s.iv);
    record["encrypted_length"] = py::int_(s.encrypted.size());
    record["encrypted"] = to_bytes(s.encrypted);
    return record;
}

// One format object; `KFSection` and `KF` are its two instances.
struct Format {
    bool whole_file;

    py::object parse(py::object data) const {
        return with_bytes(data, [&](kf::bytes_view in) -> py::object {
            if (!whole_file) return section_record(kf::parse_section(in));
            kf::KeyFile f = kf::parse(in);
            py::object record = norvo::bind::new_record();
            record["version"] = py::int_(f.version);
            record["key_ring_length"] = py::int_(f.key_ring_length);
            record["rescue_length"] = py::int_(f.rescue_length);
            record["key_ring"] = section_record(f.key_ring);
            record["rescue"] = section_record(f.rescue);
            return record;
        });
    }

    py::bytes build(py::object record) const {
        if (!whole_file) {
            SectionInput in(record);
            return section_bytes(in.section);
        }
        kf::KeyFile f;
        f.version = field_u64(record_field(record, "version"), "version");
        f.key_ring_length = field_u64(record_field(record, "key_ring_length"), "key_ring_length");
        f.rescue_length = field_u64(record_field(record, "rescue_length"), "rescue_length");
        SectionInput ring(record_field(record, "key_ring"));
        SectionInput rescue(record_field(record, "rescue"));
        f.key_ring = ring.section;
        f.rescue = rescue.section;
        return file_bytes(f);
    }
};

// ---- Sealing and opening one section.

// The secret's bytes for the key derivation. A hashed password that arrives as bytes (a
// 96-hex-digit password given as bytes is kept as it is by the hash normaliser) is used as
// it stands; text is encoded as UTF-8.
py::object secret_bytes(py::handle secret) {
    if (!PyUnicode_Check(secret.ptr()) && PyObject_CheckBuffer(secret.ptr()))
        return norvo::bind::builtin(PyBytes_Type)(secret);
    return secret.attr("encode")("utf-8");
}

py::object derive_key(const Globals& g, py::handle version, py::handle salt, py::handle secret) {
    // The engine table decides which versions exist; the derivation itself runs in the core
    // with the GIL released.
    py::object engine = g[NORVO_NAME("pbkdf2")].attr("engines")[version];
    return engine(py::arg("salt") = salt).attr("derive")(secret);
}

py::bytes seal(const Globals& g, py::handle document, py::handle secret, py::handle version) {
    py::object text = g[NORVO_NAME("json")].attr("dumps")(document).attr("encode")("utf-8");
    py::object salt = g[NORVO_NAME("crypto")].attr("random")(kf::SALT_SIZE);
    py::object iv = g[NORVO_NAME("aes")].attr("create_iv")();
    py::object key = derive_key(g, version, salt, secret);
    py::object encrypted =
        g[NORVO_NAME("aes")].attr("encrypt")(py::arg("iv") = iv, py::arg("cipher_key") = key, py::arg("data") = text);
    ByteView s(salt, "salt"), i(iv, "iv"), e(encrypted, "encrypted");
    return section_bytes({s.span(), i.span(), e.span()});
}

// An error that leaves this module after opening a section must not carry the plaintext:
// a traceback collector keeps exceptions, their chains and the locals of their frames.

// The interpreter's UTF-8 error names the bytes it failed on; the copy handed out keeps the
// positions and the reason, and no bytes.
[[noreturn]] void raise_undecodable(const Globals& g, const char* message) {
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    py::object original = py::reinterpret_steal<py::object>(v);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    Py_ssize_t start = 0, end = 0;
    if (PyUnicodeDecodeError_GetStart(original.ptr(), &start) != 0 ||
        PyUnicodeDecodeError_GetEnd(original.ptr(), &end) != 0)
        throw py::error_already_set();
    py::object reason = norvo::bind::steal(PyUnicodeDecodeError_GetReason(original.ptr()));
    original = py::object();
    py::object bare = norvo::bind::steal(
        PyUnicodeDecodeError_Create("utf-8", "", 0, start, end, reason.cast<std::string>().c_str()));
    PyErr_SetObject(PyExc_UnicodeDecodeError, bare.ptr());
    py::error_already_set undecodable;
    raise_in_place_of(undecodable, g[NORVO_NAME("aes")].attr("DecryptionError"), message);
}

// The JSON decoder's errors hold the whole text (`doc`), and their tracebacks the decoder's
// frames, whose locals hold it too. Each error of the chain loses both; type, message,
// positions and chain stay.
[[noreturn]] void rethrow_without_text(py::error_already_set& failed) {
    py::object type = failed.type();
    py::object value = failed.value();
    PyObject* link = value.ptr();
    for (int depth = 0; link && link != Py_None && depth < 16; ++depth) {
        if (PyException_SetTraceback(link, Py_None) != 0) PyErr_Clear();
        if (PyObject_HasAttrString(link, "doc") && PyObject_SetAttrString(link, "doc", py::str("").ptr()) != 0)
            PyErr_Clear();
        PyObject* cause = PyException_GetCause(link);
        PyObject* next = cause ? cause : PyException_GetContext(link);
        Py_XDECREF(next);  // the chain holds it; only the pointer is followed
        link = next;
    }
    // A new error without the fetched traceback: the caught one still holds it and goes away
    // with the handler.
    PyErr_Restore(type.release().ptr(), value.release().ptr(), nullptr);
    throw py::error_already_set();
}

py::object open_section(const Globals& g, const kf::Section& section, py::handle secret, py::handle version,
                        const char* message) {
    py::bytes salt = to_bytes(section.salt), iv = to_bytes(section.iv), data = to_bytes(section.encrypted);
    py::object key = derive_key(g, version, salt, secret);
    py::object plain =
        g[NORVO_NAME("aes")].attr("decrypt")(py::arg("iv") = iv, py::arg("cipher_key") = key, py::arg("data") = data);
    char* buffer = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(plain.ptr(), &buffer, &size) != 0) throw py::error_already_set();
    PyObject* decoded = PyUnicode_DecodeUTF8(buffer, size, "strict");
    if (!decoded) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw py::error_already_set();
        raise_undecodable(g, message);
    }
    py::object text = py::reinterpret_steal<py::object>(decoded);
    try {
        return g[NORVO_NAME("json")].attr("loads")(text);
    } catch (py::error_already_set& e) {
        rethrow_without_text(e);
    }
}

// ---- The owner of a key file.

constexpr const char* NO_OWNER_MESSAGE = "Cannot encrypt a key file without its owner's user id.";

// The owner id that opening a key file takes from its document.
py::object owner_id(const Globals& g, py::handle document) { return g[NORVO_NAME("UUID")](document["userId"]); }

// A key file is opened for its owner: a document whose "userId" does not read back as an id
// would seal without complaint and then fail every decrypt with the right password.
void require_owner(const Globals& g, py::handle self) {
    if (self.attr("user_id").is_none()) norvo::bind::raise(PyExc_ValueError, NO_OWNER_MESSAGE);
    try {
        owner_id(g, self.attr("_ptxt_data"));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_KeyError) && !e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
        raise_in_place_of(e, py::handle(PyExc_ValueError), NO_OWNER_MESSAGE);
    }
}

// ---- Classes made at run time.

// A read-only property whose getter carries the property's name.
template <class F>
void add_property(py::handle cls, const char* name, F&& getter, const char* doc) {
    py::cpp_function fget(std::forward<F>(getter), py::name(name));
    py::setattr(cls, name, norvo::bind::make_property(fget, py::none(), doc));
}

// `data` of a key file and of its rescue: the sealed bytes while encrypted, else the document.
py::object sealed_or_open(py::object self) {
    return truthy(self.attr("encrypted")) ? self.attr("_enc_data") : self.attr("_ptxt_data");
}

py::object make_class(py::module_& m, const char* name, const char* doc) {
    return norvo::bind::make_class(name, py::make_tuple(norvo::bind::builtin(PyBaseObject_Type)),
                                   norvo::bind::class_namespace(m, name, doc));
}

void define_rescue(py::module_& m) {
    Globals g(m);
    py::object cls =
        make_class(m, "KeyFileRescue", "The rescue section: the hashed password sealed under the passphrase.");
    m.attr("KeyFileRescue") = cls;

    add_method(
        cls, "__init__",
        [](py::object self, py::object enc_data, py::object password, py::object version) {
            py::setattr(self, "encrypted", py::bool_(true));
            py::setattr(self, "_enc_data", enc_data);
            py::setattr(self, "version", version);
            if (truthy(password)) {
                py::setattr(self, "encrypted", py::bool_(false));
                py::dict document;
                document["password"] = password;
                py::setattr(self, "_ptxt_data", document);
            }
        },
        py::arg("enc_data") = py::none(), py::arg("password") = py::none(), py::arg("version") = m.attr("VERSION"));

    add_property(cls, "data", sealed_or_open, "The section bytes while sealed, else the rescue document.");

    add_method(
        cls, "encrypt",
        [g](py::object self, py::object passphrase) -> py::object {
            if (truthy(self.attr("encrypted"))) return py::none();
            py::object secret = passphrase.attr("encode")("utf-8");
            py::bytes section = seal(g, self.attr("_ptxt_data"), secret, self.attr("version"));
            py::setattr(self, "_enc_data", section);
            py::setattr(self, "encrypted", py::bool_(true));
            return self;
        },
        py::arg("passphrase"), "Seal the rescue document under `passphrase`; None when already sealed.");

    add_method(
        cls, "decrypt",
        [g](py::object self, py::object passphrase) -> py::object {
            if (!truthy(self.attr("encrypted"))) return py::none();
            py::object held = self.attr("_enc_data");
            py::object document = with_bytes(held, [&](kf::bytes_view in) -> py::object {
                kf::Section section = kf::parse_section(in);
                py::object version = self.attr("version");
                // The engine is looked up before the passphrase is touched, so an unknown
                // version fails as such whatever the passphrase.
                g[NORVO_NAME("pbkdf2")].attr("engines")[version];
                py::object secret = passphrase.attr("encode")("utf-8");
                return open_section(g, section, secret, version, RESCUE_MESSAGE);
            });
            py::setattr(self, "_ptxt_data", document);
            py::setattr(self, "encrypted", py::bool_(false));
            return self;
        },
        py::arg("passphrase"), "Open the section with `passphrase`; None when already open.");

    add_method(
        cls, "get_password",
        [](py::object self, py::object passphrase) -> py::object {
            if (truthy(self.attr("encrypted"))) self.attr("decrypt")(passphrase);
            return self.attr("_ptxt_data")["password"];
        },
        py::arg("passphrase"), "The hashed password, opening the section with `passphrase` if needed.");
}

void define_key_file(py::module_& m) {
    Globals g(m);
    py::object cls = make_class(m, "KeyFile", "One user's key ring, sealed as key-file bytes or open as its document.");
    py::setattr(cls, "__hash__", py::none());  // equality without a hash
    m.attr("KeyFile") = cls;

    add_method(
        cls, "__init__",
        [g](py::object self, py::object enc_data, py::object signing_key, py::object derivation_key,
            py::object user_id) {
            py::setattr(self, "_enc_data", enc_data);
            py::setattr(self, "_ptxt_data", py::none());
            py::setattr(self, "user_id", truthy(user_id) ? g[NORVO_NAME("UUID")](user_id) : py::none());
            if (truthy(enc_data)) {
                py::setattr(self, "encrypted", py::bool_(true));
                return;
            }
            py::setattr(self, "encrypted", py::bool_(false));
            py::object to_pem_private = g[NORVO_NAME("crypto")].attr("to_pem_private");
            auto entry = [&](py::handle key) {
                py::dict e;
                e["active"] = key.attr("active");
                e["index"] = py::int_(0);
                e["isPublic"] = py::bool_(false);
                e["key"] = to_pem_private(key.attr("private")).attr("decode")("utf-8");
                py::dict section;
                section["0"] = e;
                return section;
            };
            py::dict derivation = entry(derivation_key);
            py::dict signing = entry(signing_key);
            py::dict document;
            // The id as the caller wrote it; the coerced id is only the attribute.
            document["userId"] = py::str(user_id);
            document["derivationKeys"] = derivation;
            document["signingKeys"] = signing;
            py::setattr(self, "_ptxt_data", document);
        },
        py::arg("enc_data") = py::none(), py::arg("signing_key") = py::none(), py::arg("derivation_key") = py::none(),
        py::arg("user_id") = py::none());

    add_method(
        cls, "encrypt",
        [g](py::object self, py::object password, py::object passphrase) -> py::object {
            if (truthy(self.attr("encrypted"))) return py::none();
            require_owner(g, self);
            py::object h = g[NORVO_NAME("get_hash")](password);
            py::bytes ring = seal(g, self.attr("_ptxt_data"), secret_bytes(h), py::int_(kf::VERSION));
            py::object rescue_bytes =
                g[NORVO_NAME("KeyFileRescue")](py::arg("password") = h).attr("encrypt")(passphrase).attr("data");
            ByteView ring_view(ring, "key_ring"), rescue_view(rescue_bytes, "rescue");
            kf::KeyFile f;
            f.version = kf::VERSION;
            f.key_ring_length = ring_view.size();
            f.rescue_length = rescue_view.size();
            f.key_ring = kf::parse_section(ring_view.span());
            f.rescue = kf::parse_section(rescue_view.span());
            py::bytes data = file_bytes(f);
            py::setattr(self, "_enc_data", data);
            py::setattr(self, "encrypted", py::bool_(true));
            return self;
        },
        py::arg("password"), py::arg("passphrase"),
        "Seal the key ring under `password` with a rescue under `passphrase`; None when already sealed.");

    add_method(
        cls, "decrypt",
        [g](py::object self, py::object password) -> py::object {
            if (!truthy(self.attr("encrypted"))) return py::none();
            py::object h;
            try {
                h = g[NORVO_NAME("get_hash")](password);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_TypeError)) throw;
                raise_in_place_of(e, g[NORVO_NAME("aes")].attr("DecryptionError"), KEY_FILE_MESSAGE);
            }
            py::object secret = secret_bytes(h);
            py::object document = with_bytes(self.attr("_enc_data"), [&](kf::bytes_view in) {
                kf::KeyFile f = kf::parse(in);
                return open_section(g, f.key_ring, secret, py::int_(f.version), KEY_FILE_MESSAGE);
            });
            // Everything that can fail runs before the object changes: a failed decrypt
            // leaves it encrypted, as it was.
            py::object user_id = owner_id(g, document);
            py::setattr(self, "_ptxt_data", document);
            py::setattr(self, "encrypted", py::bool_(false));
            py::setattr(self, "user_id", user_id);
            return self;
        },
        py::arg("password"), "Open the key ring with the password or its hash; None when already open.");

    add_property(cls, "data", sealed_or_open, "The key-file bytes while encrypted, else the key-ring document.");

    add_property(
        cls, "rescue",
        [g](py::object self) -> py::object {
            return with_bytes(self.attr("_enc_data"), [&](kf::bytes_view in) {
                kf::KeyFile f = kf::parse(in);
                return g[NORVO_NAME("KeyFileRescue")](py::arg("enc_data") = section_bytes(f.rescue),
                                               py::arg("version") = py::int_(f.version));
            });
        },
        "A new sealed KeyFileRescue over the rescue section of the bytes.");

    add_property(
        cls, "checksum",
        [g](py::object self) -> py::object { return g[NORVO_NAME("crypto")].attr("SHA384")(self.attr("_enc_data")); },
        "SHA-384 of the key-file bytes as 96 lowercase hex digits.");

    add_property(
        cls, "version",
        [](py::object self) -> py::object {
            // A plain key file reports the version of the bytes it was opened from, or, made
            // from keys, the version that encrypting it will write.
            py::object held = self.attr("_enc_data");
            if (!truthy(self.attr("encrypted")) && !truthy(held)) return py::int_(kf::VERSION);
            return with_bytes(held, [&](kf::bytes_view in) -> py::object {
                return py::int_(kf::parse(in).version);
            });
        },
        "The format version of the key-file bytes.");

    add_method(
        cls, "__eq__",
        [](py::object self, py::object other) -> bool {
            if (!py::isinstance(other, py::type::of(self))) return false;
            return self.attr("_enc_data").equal(other.attr("_enc_data"));
        },
        py::arg("other"));
    norvo::bind::add_ne(cls, py::arg("other"));
}

}  // namespace

NORVO_MODULE(strongbox, m, .doc = "The password-encrypted key file and its passphrase rescue section.") {
    using norvo::bind::import;
    m.attr("json") = import("simplejson");
    m.attr("crypto") = import("norvo.crypto");
    m.attr("aes") = import("norvo.crypto.aes");
    m.attr("pbkdf2") = import("norvo.crypto.pbkdf2");
    m.attr("get_hash") = norvo::bind::import_from("norvo.crypto.hash", "get_hash");
    m.attr("UUID") = norvo::bind::import_from("norvo.utils", "UUID");

    m.attr("VERSION") = py::int_(kf::VERSION);

    py::class_<Format>(m, "_KeyFileFormat", py::module_local(), "A key-file byte format: parse bytes, build records.")
        .def("parse", &Format::parse, py::arg("data"), "Read one record from the start of `data`.")
        .def("build", &Format::build, py::arg("obj"), "The bytes of the record `obj` (a mapping naming every field).")
        .def("__repr__", [](const Format& f) {
            return std::string(f.whole_file ? "<KF: version, key_ring_length, rescue_length, key_ring, rescue>"
                                            : "<KFSection: salt, iv, encrypted, each after its length>");
        });
    m.attr("KFSection") = py::cast(Format{false});
    m.attr("KF") = py::cast(Format{true});

    define_key_file(m);
    define_rescue(m);
}
