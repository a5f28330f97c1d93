// Container: one encrypted container, a header and a content, plain or encrypted. Sealing
// and opening the whole container is the core's work; this file moves the Python state.
#include "container.hpp"

#include <datetime.h>
#include <time.h>

#include <ctime>

namespace norvo::container_module {

namespace {

using norvo::bind::getattr_or_none;

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

// An attribute of the container read to decide an operation's path: None when it is missing,
// which no fast path accepts (the general path then reads it and fails as Python would).
py::object part(py::handle self, py::handle name) { return getattr_or_none(self, name); }

// ---- The audit fields

const char* const AUDIT[4] = {"created_by", "modified_by", "created_at", "modified_at"};

// What the audit setters store: an id as None or as the module's UUID makes it; a time as
// None or a datetime as given, anything else as arrow reads it (`arrow.get(value).datetime`,
// a zone-aware date-time).
py::object created_like(py::object value) {
    if (value.is_none()) return value;
    return S->g[NORVO_NAME("UUID")](std::move(value));
}

py::object time_like(py::object value) {
    if (value.is_none() || py::isinstance(value, S->g[NORVO_NAME("datetime")])) return value;
    return S->g[NORVO_NAME("arrow")].attr(NORVO_NAME("get"))(value).attr(NORVO_NAME("datetime"));
}

// arrow.utcnow().datetime of the arrow module: the same moment in the same zone, made
// straight from the datetime class.
py::object utc_now_fast() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    // The UTC calendar date of the day count, by arithmetic (gmtime takes a lock and consults
    // the zone database for nothing).
    const std::int64_t secs = ts.tv_sec, days = (secs >= 0 ? secs : secs - 86399) / 86400;
    const std::int64_t in_day = secs - days * 86400;
    const std::int64_t z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int year = static_cast<int>(yoe + era * 400 + (month <= 2));
    return norvo::bind::steal(PyDateTimeAPI->DateTime_FromDateAndTime(
        year, month, day, static_cast<int>(in_day / 3600), static_cast<int>(in_day / 60 % 60),
        static_cast<int>(in_day % 60), static_cast<int>(ts.tv_nsec / 1000), S->utc.ptr(),
        PyDateTimeAPI->DateTimeType));
}

// Inside the provider scope, `store` is given the `id` of the session's user (None when it has
// none). An error of `store` goes to the scope's exit, as an error of the setter would.
template <class Store>
void store_creator(Store&& store) {
    py::object get = S->g[NORVO_NAME("providers")].attr(NORVO_NAME("get"));
    norvo::bind::with_context(norvo::bind::steal(PyObject_CallNoArgs(get.ptr())), [&](py::object provider) {
        py::object user = provider.attr(NORVO_NAME("session")).attr(NORVO_NAME("user"));
        store(getattr_or_none(user, NORVO_NAME("id")));
    });
}

// Construction's audit fields through the class's setters.
void audit_general(py::handle self) {
    py::setattr(self, NORVO_NAME("created_by"), py::none());
    py::setattr(self, NORVO_NAME("created_at"), S->g[NORVO_NAME("arrow")].attr(NORVO_NAME("utcnow"))());
    py::setattr(self, NORVO_NAME("modified_at"), py::none());
    py::setattr(self, NORVO_NAME("modified_by"), py::none());
    store_creator([&](py::object id) { py::setattr(self, NORVO_NAME("created_by"), id); });
}

// What the library's setters would store, stored in their entries.
void audit_fast(py::handle self) {
    set_entry(self, NORVO_NAME("_created_by"), Py_None);
    set_entry(self, NORVO_NAME("_created_at"), utc_now_fast());
    set_entry(self, NORVO_NAME("_modified_at"), Py_None);
    set_entry(self, NORVO_NAME("_modified_by"), Py_None);
    store_creator([&](py::object id) { set_entry(self, NORVO_NAME("_created_by"), created_like(std::move(id))); });
}

// ---- Ids

// UUID(bytes_le=oid) of the library's UUID, which hands the 16 bytes to uuid.UUID: made here
// from its integer, as uuid.UUID's initialiser makes it.
py::object uuid_from_bytes_le_fast(core::bytes_view oid) {
    const std::uint8_t* b = oid.data();
    const std::uint8_t be[16] = {b[3], b[2], b[1], b[0], b[5], b[4], b[7], b[6],
                                 b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]};
    py::object n = norvo::bind::steal(norvo::bind::long_from_be16(be));
    auto* type = reinterpret_cast<PyTypeObject*>(S->uuid_type.ptr());
    py::object u = norvo::bind::steal(type->tp_alloc(type, 0));
    static PyObject* int_name = PyUnicode_InternFromString("int");
    static PyObject* safe_name = PyUnicode_InternFromString("is_safe");
    if (PyObject_GenericSetAttr(u.ptr(), int_name, n.ptr()) != 0 ||
        PyObject_GenericSetAttr(u.ptr(), safe_name, S->safe_unknown.ptr()) != 0)
        throw py::error_already_set();
    return u;
}

// id.bytes_le of a uuid.UUID: worked out from its integer, as its property does. An integer
// that is not a UUID's is left to the property.
py::object id_bytes_le_fast(py::handle id) {
    py::object n = id.attr(NORVO_NAME("int"));
    std::uint8_t be[16];
    if (!PyLong_Check(n.ptr()) || norvo::bind::long_to_be16(n.ptr(), be) != 0) {
        PyErr_Clear();
        return id.attr(NORVO_NAME("bytes_le"));
    }
    const std::uint8_t le[16] = {be[3], be[2], be[1], be[0], be[5], be[4], be[7], be[6],
                                 be[8], be[9], be[10], be[11], be[12], be[13], be[14], be[15]};
    return norvo::bind::to_bytes(core::bytes_view(le, 16));
}

// The oid as the container record's 16-byte field takes it.
void check_oid(py::handle oid) {
    if (!PyBytes_Check(oid.ptr()) || PyBytes_GET_SIZE(oid.ptr()) != static_cast<Py_ssize_t>(fmt::OID_SIZE))
        norvo::bind::raise_construct("StreamError", "bytes object of wrong length, expected 16, found " +
                                                        std::to_string(py::len(oid)));
}

// ---- Construction

// What construction sets first.
void reset(py::handle self, py::handle type) {
    py::setattr(self, NORVO_NAME("container_keys"), py::none());
    py::setattr(self, NORVO_NAME("header"), py::none());
    py::setattr(self, NORVO_NAME("content"), py::none());
    py::setattr(self, NORVO_NAME("id"), py::none());
    py::setattr(self, NORVO_NAME("type"), type ? type : py::handle(Py_None));
}

void container_set_data(py::object self, py::object value);

// Construction after the audit fields: the content class, then the portions parsed from true
// `data` by `assign_data`, or else made from the keywords.
template <class Keyword, class Assign>
void construct(py::handle self, py::handle data, const py::object& content_cls, Keyword&& keyword,
               Assign&& assign_data) {
    py::setattr(self, NORVO_NAME("_content_cls"), content_cls);
    py::setattr(self, NORVO_NAME("_enc_data"), py::none());
    if (truthy(data)) return assign_data();
    py::object given_id = keyword(NORVO_NAME("container_id"));
    py::object id = given_id ? S->g[NORVO_NAME("UUID")](given_id) : S->g[NORVO_NAME("uuid4")]();
    py::setattr(self, NORVO_NAME("id"), id);
    auto required = [&](py::handle key) -> py::object {
        py::object v = keyword(key);
        if (!v) norvo::bind::raise(PyExc_KeyError, key);
        return v;
    };
    py::setattr(self, NORVO_NAME("header"),
                S->g[NORVO_NAME("Header")](py::arg("ptxt_data") = required(NORVO_NAME("header"))));
    py::setattr(self, NORVO_NAME("content"), content_cls(py::arg("ptxt_data") = required(NORVO_NAME("content"))));
}

void container_init(py::object self, py::object data, py::object content_cls, py::kwargs kwargs) {
    // A keyword's value, or an empty object when the keyword was not given.
    auto keyword = [&kwargs](py::handle name) -> py::object {
        PyObject* v = kwargs ? PyDict_GetItemWithError(kwargs.ptr(), name.ptr()) : nullptr;
        if (!v && PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_borrow<py::object>(v);
    };
    reset(self, keyword(NORVO_NAME("type")));
    if (fast_path({.container = self, .does = Does::reads_clock})) {
        audit_fast(self);
        construct(self, data, content_cls, keyword, [&] { container_set_data(self, data); });
    } else {
        audit_general(self);
        construct(self, data, content_cls, keyword, [&] { py::setattr(self, NORVO_NAME("data"), data); });
    }
}

// ---- The record of the container format

// The record is made from the bytes only when someone reads it: nothing in the library does,
// and holding it eagerly would copy every ciphertext again.
void reset_record(py::handle self, py::handle source) {
    set_entry(self, NORVO_NAME("_container_bytes"), source);
    py::handle record = NORVO_NAME("_container_record");
    if (own_entry(self, record) && PyObject_GenericSetAttr(self.ptr(), record.ptr(), nullptr) != 0)
        throw py::error_already_set();
}

py::object section_record(const fmt::Section& s) {
    py::dict f;
    f["iv_length"] = py::int_(s.iv_length);
    f["iv"] = copy_bytes(s.iv);
    f["encrypted_length"] = py::int_(s.encrypted_length);
    f["encrypted"] = copy_bytes(s.encrypted);
    f["digest_length"] = py::int_(s.digest_length);
    f["digest"] = copy_bytes(s.digest);
    return S->g[NORVO_NAME("ConstructContainer")](**f);
}

py::object container_get_record(py::object self) {
    py::dict d = self.attr(NORVO_NAME("__dict__"));
    if (d.contains("_container_record")) return d["_container_record"];
    if (!d.contains("_container_bytes"))
        norvo::bind::raise(PyExc_AttributeError, "'Container' object has no attribute '_container'");
    py::object src = d["_container_bytes"];
    if (src.is_none()) return py::none();
    ByteView in(src, norvo::bind::parser_input);
    fmt::ContainerRecord c = fmt::parse_container(in.span());
    py::dict f;
    f["version"] = py::int_(c.version);
    f["oid"] = copy_bytes(c.oid);
    f["cipher_index"] = py::int_(c.cipher_index);
    f["mac_index"] = py::int_(c.mac_index);
    f["header_length"] = py::int_(c.header_length);
    f["content_length"] = py::int_(c.content_length);
    f["header"] = section_record(c.header);
    f["content"] = section_record(c.content);
    py::object rec = S->g[NORVO_NAME("ConstructContainer")](**f);
    d["_container_record"] = rec;
    return rec;
}

void container_set_record(py::object self, py::object value) {
    py::dict d = self.attr(NORVO_NAME("__dict__"));
    d["_container_record"] = value;
    if (!d.contains("_container_bytes")) d["_container_bytes"] = py::none();
}

// ---- The data view, and assigning container bytes

py::object container_get_data(py::object self) {
    if (truthy(self.attr(NORVO_NAME("encrypted")))) return self.attr(NORVO_NAME("_enc_data"));
    py::object h = self.attr(NORVO_NAME("header")).attr(NORVO_NAME("data"));
    py::object c = self.attr(NORVO_NAME("content")).attr(NORVO_NAME("data"));
    bool ht = truthy(h), ct = truthy(c);
    if (ht && ct) return py::str(py::repr(h)) + py::str(py::repr(c));
    return ht ? h : c;
}

void container_set_data(py::object self, py::object value) {
    bool encrypted = true;
    py::object header_now = own_entry(self, NORVO_NAME("header"));
    if (!header_now.is_none()) try {
        encrypted = truthy(self.attr(NORVO_NAME("encrypted")));
    } catch (py::error_already_set& e) {
        // The portions are not made yet (construction from bytes).
        if (!e.matches(PyExc_AttributeError)) throw;
    }
    if (!encrypted) {
        S->g[NORVO_NAME("log")].attr(NORVO_NAME("warning"))(MSG_DECRYPTED);
        norvo::bind::raise(PyExc_AttributeError, MSG_DECRYPTED);
    }

    py::object content_cls = self.attr(NORVO_NAME("_content_cls"));
    py::object header, content, id, source;
    if (truthy(value)) {
        // Everything is parsed and made before anything is replaced.
        ByteView in(value, norvo::bind::parser_input);
        fmt::ContainerRecord c = fmt::parse_container(in.span());
        core::bytes_view all = in.span();
        py::bytes header_section = copy_bytes(all.subspan(c.header_offset, c.header.size));
        py::bytes content_section = copy_bytes(all.subspan(c.content_offset, c.content.size));
        if (fast_path({.content_cls = content_cls, .does = Does::makes_portions})) {
            header = new_sealed(S->header_cls, header_section);
            content = new_sealed(content_cls, content_section);
            id = uuid_from_bytes_le_fast(c.oid);
        } else {
            header = S->g[NORVO_NAME("Header")](py::arg("enc_data") = header_section);
            content = content_cls(py::arg("enc_data") = content_section);
            id = S->g[NORVO_NAME("UUID")](py::arg("bytes_le") = copy_bytes(c.oid));
        }
        // The record is read lazily from immutable bytes; a mutable buffer is copied once.
        source = PyBytes_CheckExact(value.ptr()) ? value : py::object(copy_bytes(all));
    } else {
        // Portions made as their classes make them, then marked sealed without data.
        header = S->g[NORVO_NAME("Header")]();
        header.attr(NORVO_NAME("set_encrypted_data"))(py::none());
        content = content_cls();
        content.attr(NORVO_NAME("set_encrypted_data"))(py::none());
        id = self.attr(NORVO_NAME("id"));
        source = py::none();
    }
    // Worked out first, so that a value without a length is refused before anything changes.
    std::size_t length = value.is_none() ? 0 : py::len(value);
    py::setattr(self, NORVO_NAME("_enc_data"), value);
    reset_record(self, source);
    py::setattr(self, NORVO_NAME("header"), header);
    py::setattr(self, NORVO_NAME("content"), content);
    py::setattr(self, NORVO_NAME("id"), id);
    py::setattr(self, NORVO_NAME("length"), py::int_(length));
}

// ---- The encryption state

bool container_encrypted(py::handle self) {
    py::object header = part(self, NORVO_NAME("header")), content = part(self, NORVO_NAME("content"));
    // The header's flag decides alone when it is false.
    if (fast_path({.header = header, .content = content})) return own_sealed(header) && own_sealed(content);
    if (!truthy(self.attr(NORVO_NAME("header")).attr(NORVO_NAME("encrypted")))) return false;
    return truthy(self.attr(NORVO_NAME("content")).attr(NORVO_NAME("encrypted")));
}

// ---- Encryption

// A portion already sealed while the container is plain can only stay if it opens under the
// keys now used; otherwise the container would carry a portion that its keys cannot open.
// `section` reads the portion's section bytes; bytes that hold no section, or a portion whose
// bytes cannot be read, open under no keys.
template <class Section>
void check_sealed_portion(Section&& section, const ByteView& mac_key) {
    bool ok = false;
    try {
        py::object sealed = section();
        ByteView in(sealed, norvo::bind::parser_input);
        fmt::Section sec = fmt::parse_section(in.span());
        ok = norvo::bind::bulk(sec.encrypted.size(), [&] { return fmt::verify_section(mac_key.span(), sec); });
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
    } catch (const core::FormatError&) {
    }
    if (!ok) norvo::bind::raise(PyExc_ValueError, "A portion is already sealed under other keys; cannot encrypt.");
}

// Seals what `in` holds into new container bytes.
py::object seal(const SealingKeys& keys, core::bytes_view oid, const fmt::PortionInput (&in)[2], fmt::Layout& layout,
                const std::uint8_t* nonces = nullptr) {
    fmt::KeysView kv{keys.cipher->span(), keys.mac->span()};
    layout = fmt::plan_container(kv, in[0], in[1]);
    std::uint8_t* out = nullptr;
    py::object result = norvo::bind::new_bytes(layout.size, out);
    norvo::bind::bulk(layout.size, [&] { fmt::seal_container(kv, oid, in[0], in[1], layout, out, nonces); });
    return result;
}

py::object finish_encrypt(py::handle self, py::object result, py::object keys) {
    py::setattr(self, NORVO_NAME("_enc_data"), result);
    reset_record(self, result);
    py::setattr(self, NORVO_NAME("container_keys"), keys);
    py::setattr(self, NORVO_NAME("length"), py::int_(PyBytes_GET_SIZE(result.ptr())));
    return keys;
}

// The library's payloads are sealed by the core straight into the container bytes, and their
// state stored once everything is sealed, so a failure changes nothing.
py::object encrypt_fast(py::handle self, const py::object (&payloads)[2], py::handle id, py::handle keys_arg) {
    const bool sealed[2] = {own_sealed(payloads[0]), own_sealed(payloads[1])};
    if (sealed[0] && sealed[1]) return py::none();
    py::object oid = id_bytes_le_fast(id);
    check_oid(oid);
    py::object held[2];  // the plaintexts, or the section bytes of a portion sealed before
    fmt::PortionInput in[2];
    for (int i = 0; i < 2; ++i) {
        if (sealed[i]) continue;
        held[i] = own_plaintext(payloads[i]);
        in[i] = {plaintext_of(held[i]), false};
    }
    // Fresh keys and the two counter blocks come from one draw.
    std::uint8_t nonces[2 * fmt::NONCE_SIZE];
    bool nonces_drawn = false;
    py::object keys = keys_arg.is_none() ? new_keys_fast({}, {}, {}, {}, core::bytes_out(nonces), &nonces_drawn)
                                         : py::reinterpret_borrow<py::object>(keys_arg);
    const SealingKeys k(KeyFields(keys, true));
    std::optional<ByteView> views[2];
    for (int i = 0; i < 2; ++i) {
        if (!sealed[i]) continue;
        check_sealed_portion([&] { return own_section(payloads[i]); }, *k.mac);
        held[i] = own_section(payloads[i]);
        views[i].emplace(held[i], norvo::bind::parser_input);
        in[i] = {views[i]->span(), true};
    }
    ByteView oidv(oid);
    fmt::Layout layout;
    py::object result = seal(k, oidv.span(), in, layout, nonces_drawn ? nonces : nullptr);
    const auto* out = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(result.ptr()));
    const std::size_t offsets[2] = {layout.header_offset, layout.content_offset};
    const std::size_t sizes[2] = {layout.header_size, layout.content_size};
    for (int i = 0; i < 2; ++i)
        if (!sealed[i]) store_sealed(payloads[i], copy_bytes(core::bytes_view(out + offsets[i], sizes[i])));
    return finish_encrypt(self, std::move(result), std::move(keys));
}

// Each payload seals itself; the container copies the sections they hold. The payloads'
// state is kept to be put back when a later step fails.
py::object encrypt_general(py::handle self, py::handle keys_arg) {
    if (truthy(self.attr(NORVO_NAME("encrypted")))) return py::none();
    py::object payloads[2] = {self.attr(NORVO_NAME("header")), self.attr(NORVO_NAME("content"))};
    py::object oid = self.attr(NORVO_NAME("id")).attr(NORVO_NAME("bytes_le"));
    check_oid(oid);
    bool sealed[2];
    for (int i = 0; i < 2; ++i) sealed[i] = truthy(payloads[i].attr(NORVO_NAME("encrypted")));
    py::object keys = truthy(keys_arg) ? py::reinterpret_borrow<py::object>(keys_arg) : new_keys_general();
    const SealingKeys k(KeyFields(keys, false));
    for (int i = 0; i < 2; ++i)
        if (sealed[i]) check_sealed_portion([&] { return payloads[i].attr(NORVO_NAME("data")); }, *k.mac);

    Snapshot hs(payloads[0]), cs(payloads[1]);
    py::object result;
    try {
        py::object held[2];
        std::optional<ByteView> views[2];
        fmt::PortionInput in[2];
        for (int i = 0; i < 2; ++i) {
            payloads[i].attr(NORVO_NAME("encrypt"))(keys);
            held[i] = payloads[i].attr(NORVO_NAME("data"));
            views[i].emplace(held[i], norvo::bind::parser_input);
            in[i] = {views[i]->span(), true};
        }
        ByteView oidv(oid);
        fmt::Layout layout;
        result = seal(k, oidv.span(), in, layout);
    } catch (...) {
        hs.restore();
        cs.restore();
        throw;
    }
    return finish_encrypt(self, std::move(result), std::move(keys));
}

py::object container_encrypt(py::object self, py::object keys_arg) {
    const py::object payloads[2] = {part(self, NORVO_NAME("header")), part(self, NORVO_NAME("content"))};
    const py::object id = part(self, NORVO_NAME("id"));
    const py::handle keys = keys_arg.is_none() ? py::handle() : py::handle(keys_arg);
    if (fast_path({.container = self,
                   .header = payloads[0],
                   .content = payloads[1],
                   .keys = keys,
                   .id = id,
                   .does = Does::seals | (keys ? 0u : unsigned(Does::new_keys))}))
        return encrypt_fast(self, payloads, id, keys_arg);
    return encrypt_general(self, keys_arg);
}

// ---- Decryption

// One portion being opened.
struct Opening {
    py::object payload;
    bool sealed = false;
    py::object section_bytes;
    std::optional<ByteView> view;
    fmt::Section section;

    // Parses the section bytes that `read` gives of a sealed portion.
    template <class Read>
    void parse(Read&& read) {
        section_bytes = read();
        view.emplace(section_bytes, norvo::bind::parser_input);
        section = fmt::parse_section(view->span());
    }
};

// Both portions are authenticated before either is opened, so a wrong key or a damaged
// portion leaves the container exactly as it was. The copy of the keys is made before
// anything changes too.

// The core opens the library's payloads, and their plaintexts are stored once both opened.
void decrypt_fast(py::handle self, const py::object (&payloads)[2], py::handle keys) {
    Opening portions[2];
    bool any = false;
    for (int i = 0; i < 2; ++i) {
        Opening& p = portions[i];
        p.payload = payloads[i];
        p.sealed = own_sealed(p.payload);
        if (!p.sealed) continue;
        any = true;
        p.parse([&] { return own_section(p.payload); });
    }
    const KeyFields fields(keys, true);
    py::object mac_key, cipher_key, plains[2];
    if (any) {
        mac_key = fields[NORVO_NAME("mac_key")];
        ByteView mk(mac_key, "mac_key");
        cipher_key = fields[NORVO_NAME("cipher_key")];
        ByteView ck(cipher_key, "cipher_key");
        std::uint8_t* outs[2] = {nullptr, nullptr};
        std::size_t total = 0;
        for (int i = 0; i < 2; ++i) {
            if (!portions[i].sealed) continue;
            plains[i] = norvo::bind::new_bytes(portions[i].section.encrypted.size(), outs[i]);
            total += portions[i].section.encrypted.size();
        }
        fmt::KeysView kv{ck.span(), mk.span()};
        auto section = [&](int i) { return portions[i].sealed ? &portions[i].section : nullptr; };
        fmt::OpenFailure failure = norvo::bind::bulk(
            total, [&] { return fmt::open_container(kv, section(0), outs[0], section(1), outs[1]); });
        if (failure != fmt::OpenFailure::none) raise_digest_failure();
    }
    py::object cipher_index = fields[NORVO_NAME("cipher_index")];
    py::object mac_index = fields[NORVO_NAME("mac_index")];
    if (!cipher_key) cipher_key = fields[NORVO_NAME("cipher_key")];
    if (!mac_key) mac_key = fields[NORVO_NAME("mac_key")];
    py::object copy = new_keys_fast(cipher_index, mac_index, cipher_key, mac_key);
    for (int i = 0; i < 2; ++i)
        if (portions[i].sealed) store_plain(portions[i].payload, plains[i]);
    py::setattr(self, NORVO_NAME("container_keys"), copy);
}

// Each payload opens itself once the container has checked both; their state is kept to be
// put back when one fails all the same.
void decrypt_general(py::handle self, py::handle keys) {
    Opening portions[2];
    portions[0].payload = self.attr(NORVO_NAME("header"));
    portions[1].payload = self.attr(NORVO_NAME("content"));
    bool any = false;
    for (Opening& p : portions) {
        p.sealed = truthy(p.payload.attr(NORVO_NAME("encrypted")));
        if (!p.sealed) continue;
        any = true;
        p.parse([&] { return p.payload.attr(NORVO_NAME("data")); });
    }
    const KeyFields fields(keys, false);
    py::object mac_key, cipher_key;
    if (any) {
        mac_key = fields[NORVO_NAME("mac_key")];
        ByteView mk(mac_key, "mac_key");
        for (Opening& p : portions)
            if (p.sealed && !norvo::bind::bulk(p.section.encrypted.size(), [&] {
                    return fmt::verify_section(mk.span(), p.section);
                }))
                raise_digest_failure();
        cipher_key = fields[NORVO_NAME("cipher_key")];
        ByteView ck(cipher_key, "cipher_key");
        for (Opening& p : portions)
            if (p.sealed) core::aes_ctr_check(ck.size(), p.section.iv.size());
    }
    py::object cipher_index = fields[NORVO_NAME("cipher_index")];
    py::object mac_index = fields[NORVO_NAME("mac_index")];
    if (!cipher_key) cipher_key = fields[NORVO_NAME("cipher_key")];
    if (!mac_key) mac_key = fields[NORVO_NAME("mac_key")];
    py::object copy = new_keys_general(cipher_index, mac_index, cipher_key, mac_key);

    Snapshot hs(portions[0].payload), cs(portions[1].payload);
    try {
        for (Opening& p : portions)
            if (p.sealed) p.payload.attr(NORVO_NAME("decrypt"))(keys);
    } catch (...) {
        hs.restore();
        cs.restore();
        throw;
    }
    py::setattr(self, NORVO_NAME("container_keys"), copy);
}

void container_decrypt(py::object self, py::object keys_arg) {
    py::object keys = truthy(keys_arg) ? keys_arg : py::object(self.attr(NORVO_NAME("container_keys")));
    if (keys.is_none()) norvo::bind::raise(PyExc_RuntimeError, MSG_NO_KEYS);
    const py::object payloads[2] = {part(self, NORVO_NAME("header")), part(self, NORVO_NAME("content"))};
    if (fast_path({.header = payloads[0], .content = payloads[1], .keys = keys, .does = Does::opens | Does::new_keys}))
        decrypt_fast(self, payloads, keys);
    else
        decrypt_general(self, keys);
}

// ---- Length, text form and equality

std::size_t container_len(py::object self) {
    if (truthy(self.attr(NORVO_NAME("encrypted")))) {
        py::object d = self.attr(NORVO_NAME("_enc_data"));
        return d.is_none() ? 0 : py::len(d);
    }
    py::object h = self.attr(NORVO_NAME("header")).attr(NORVO_NAME("data"));
    if (truthy(h)) {
        std::size_t hl = py::len(h);
        return hl + py::len(self.attr(NORVO_NAME("content")).attr(NORVO_NAME("data")));
    }
    return py::len(self.attr(NORVO_NAME("content")).attr(NORVO_NAME("data")));
}

const char* const EQ_ATTRS[] = {"id",         "data",       "access",      "container_keys", "created_at",
                                "created_by", "modified_at", "modified_by", "type",           "length"};

py::object attr_eq(py::handle a, py::handle b, const char* name) {
    py::str key(name);
    py::object x = getattr_or_none(a, key), y = getattr_or_none(b, key);
    return norvo::bind::rich_compare(x, y);
}

bool container_eq(py::object self, py::object other) {
    if (!py::isinstance(other, py::type::of(self))) return false;
    if (truthy(self.attr(NORVO_NAME("encrypted"))) != truthy(other.attr(NORVO_NAME("encrypted")))) return false;
    if (norvo::bind::traces_enabled()) {
        py::object log = S->g[NORVO_NAME("log")];
        log.attr(NORVO_NAME("debug"))("Checking Container Equality.");
        py::object debug = log.attr("debug");
        for (const char* name : EQ_ATTRS) debug("%s:         %s", name, attr_eq(self, other, name));
    }
    bool all = true;
    for (const char* name : EQ_ATTRS) all = truthy(attr_eq(self, other, name)) && all;
    return all;
}

// Argument `i` of a method's bound arguments.
py::object bound(const norvo::bind::Call& c, int i) { return py::reinterpret_borrow<py::object>(c.args[i]); }

}  // namespace

void install_container(py::module_& m) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw py::error_already_set();
    using norvo::bind::add_method;
    using norvo::bind::make_property;
    py::dict ns = norvo::bind::class_namespace(m, "Container",
                                               "One encrypted container: a header and a content, plain or encrypted.");
    ns["__hash__"] = py::none();
    py::object cont = norvo::bind::make_class("Container", py::make_tuple(norvo::bind::builtin(PyBaseObject_Type)), ns);
    // The hot methods read their bound arguments directly.
    using norvo::bind::Param;
    norvo::bind::add_raw_method(
        cont, "__init__",
        [](const norvo::bind::Call& c) -> py::object {
            container_init(bound(c, 0), bound(c, 1), bound(c, 2), py::reinterpret_borrow<py::kwargs>(c.kwargs));
            return py::none();
        },
        {Param{"data", py::none()}, Param{"content_cls", m.attr("RawPayload")}}, true);
    norvo::bind::add_raw_method(
        cont, "decrypt",
        [](const norvo::bind::Call& c) -> py::object {
            container_decrypt(bound(c, 0), bound(c, 1));
            return py::none();
        },
        {Param{"container_keys", py::none()}});
    norvo::bind::add_raw_method(
        cont, "encrypt",
        [](const norvo::bind::Call& c) -> py::object { return container_encrypt(bound(c, 0), bound(c, 1)); },
        {Param{"container_keys", py::none()}});
    py::setattr(cont, "data",
                make_property(py::cpp_function(&container_get_data), py::cpp_function(&container_set_data)));
    py::setattr(cont, "encrypted",
                make_property(py::cpp_function([](py::object self) { return container_encrypted(self); })));
    py::setattr(cont, "_container",
                make_property(py::cpp_function(&container_get_record), py::cpp_function(&container_set_record)));
    for (int i = 0; i < 4; ++i) {
        std::string slot = std::string("_") + AUDIT[i];
        bool is_id = i < 2;
        py::cpp_function getter([slot](py::object self) -> py::object { return self.attr(slot.c_str()); });
        py::cpp_function setter([slot, is_id](py::object self, py::object v) {
            py::setattr(self, slot.c_str(), is_id ? created_like(std::move(v)) : time_like(std::move(v)));
        });
        py::setattr(cont, AUDIT[i], make_property(getter, setter));
    }
    add_method(cont, "__len__", &container_len);
    add_method(cont, "__repr__", [](py::object self) {
        return py::str("<Container({}) Encrypted: {}>")
            .format(self.attr(NORVO_NAME("id")), py::bool_(truthy(self.attr(NORVO_NAME("encrypted")))));
    });
    add_method(cont, "__eq__", &container_eq, py::arg("other"));
    norvo::bind::add_ne(cont, py::arg("other"));
    m.attr("Container") = cont;
    S->container_cls = cont;
}

}  // namespace norvo::container_module
