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

const char* const AUDIT[4] = {"created_by", "modified_by", "created_at", "modified_at"};

// The audit property names and the instance entries behind them, interned.
py::handle audit_name(int i) {
    static const py::handle names[4] = {NORVO_NAME("created_by"), NORVO_NAME("modified_by"),
                                        NORVO_NAME("created_at"), NORVO_NAME("modified_at")};
    return names[i];
}
py::handle audit_slot(int i) {
    static const py::handle names[4] = {NORVO_NAME("_created_by"), NORVO_NAME("_modified_by"),
                                        NORVO_NAME("_created_at"), NORVO_NAME("_modified_at")};
    return names[i];
}

// Whether the container's class keeps the library's own audit properties, whose setters only
// coerce and store: then the values are stored in the instance state directly.
bool stock_audit(py::handle self) {
    for (int i = 0; i < 4; ++i)
        if (!class_has(self, audit_name(i), S->audit_props[i])) return false;
    return true;
}

bool container_encrypted(py::handle self) {
    // The header's flag decides alone when it is false.
    if (!payload_sealed(self.attr(NORVO_NAME("header")))) return false;
    return payload_sealed(self.attr(NORVO_NAME("content")));
}

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

// arrow.utcnow(), as its datetime. While `arrow` is the arrow module with its own utcnow,
// the same moment in the same zone comes straight from the datetime class.
py::object utc_now() {
    if (S->g[NORVO_NAME("arrow")].is(S->stock_arrow) &&
        py::object(S->stock_arrow.attr(NORVO_NAME("utcnow"))).is(S->stock_utcnow)) {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        // The UTC calendar date of the day count, by arithmetic (gmtime takes a lock and
        // consults the zone database for nothing).
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
    return time_like(S->g[NORVO_NAME("arrow")].attr(NORVO_NAME("utcnow"))());
}

// UUID(bytes_le=oid). While `UUID` is the library's own coercion (which hands 16 bytes to
// uuid.UUID), the UUID is made here from its integer, as uuid.UUID's initialiser makes it.
py::object uuid_from_bytes_le(core::bytes_view oid) {
    if (!S->g[NORVO_NAME("UUID")].is(S->stock_UUID) || oid.size() != fmt::OID_SIZE)
        return S->g[NORVO_NAME("UUID")](py::arg("bytes_le") = copy_bytes(oid));
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

// id.bytes_le. For a uuid.UUID itself the bytes come from its integer here, as its property
// computes them; any other object is asked for the attribute.
py::object id_bytes_le(py::handle id) {
    if (Py_TYPE(id.ptr()) != reinterpret_cast<PyTypeObject*>(S->uuid_type.ptr()))
        return id.attr(NORVO_NAME("bytes_le"));
    py::object n = id.attr(NORVO_NAME("int"));
    std::uint8_t be[16];
    if (!PyLong_Check(n.ptr()) ||
        norvo::bind::long_to_be16(n.ptr(), be) != 0) {
        PyErr_Clear();
        return id.attr(NORVO_NAME("bytes_le"));
    }
    const std::uint8_t le[16] = {be[3], be[2], be[1], be[0], be[5], be[4], be[7], be[6],
                                 be[8], be[9], be[10], be[11], be[12], be[13], be[14], be[15]};
    return norvo::bind::to_bytes(core::bytes_view(le, 16));
}

void container_set_data(py::object self, py::object value);

void container_init(py::object self, py::object data, py::object content_cls, py::kwargs kwargs) {
    py::setattr(self, NORVO_NAME("container_keys"), py::none());
    py::setattr(self, NORVO_NAME("header"), py::none());
    py::setattr(self, NORVO_NAME("content"), py::none());
    py::setattr(self, NORVO_NAME("id"), py::none());
    // A keyword's value, or an empty object when the keyword was not given.
    auto keyword = [&kwargs](py::handle name) -> py::object {
        PyObject* v = kwargs ? PyDict_GetItemWithError(kwargs.ptr(), name.ptr()) : nullptr;
        if (!v && PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_borrow<py::object>(v);
    };
    py::object type = keyword(NORVO_NAME("type"));
    py::setattr(self, NORVO_NAME("type"), type ? type : py::object(py::none()));

    const bool state = stock_audit(self);
    auto audit = [&](int i, py::object value) {
        if (state)
            set_entry(self, audit_slot(i), value);
        else
            py::setattr(self, audit_name(i), value);
    };
    audit(0, py::none());
    audit(2, state ? utc_now() : py::object(S->g[NORVO_NAME("arrow")].attr(NORVO_NAME("utcnow"))()));
    audit(3, py::none());
    audit(1, py::none());

    py::object get = S->g[NORVO_NAME("providers")].attr(NORVO_NAME("get"));
    norvo::bind::with_context(norvo::bind::steal(PyObject_CallNoArgs(get.ptr())), [&](py::object provider) {
        py::object user = provider.attr(NORVO_NAME("session")).attr(NORVO_NAME("user"));
        py::object id = getattr_or_none(user, NORVO_NAME("id"));
        audit(0, state ? created_like(id) : id);
    });

    py::setattr(self, NORVO_NAME("_content_cls"), content_cls);
    py::setattr(self, NORVO_NAME("_enc_data"), py::none());

    if (truthy(data)) {
        if (class_has(self, NORVO_NAME("data"), S->data_prop))
            container_set_data(self, data);
        else
            py::setattr(self, NORVO_NAME("data"), data);
        return;
    }
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

// The record of the container format is made from the bytes only when someone reads it:
// nothing in the library does, and holding it eagerly would copy every ciphertext again.
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
        header = sealed_payload(S->g[NORVO_NAME("Header")], copy_bytes(all.subspan(c.header_offset, c.header.size)));
        content = sealed_payload(content_cls, copy_bytes(all.subspan(c.content_offset, c.content.size)));
        id = uuid_from_bytes_le(c.oid);
        // The record is read lazily from immutable bytes; a mutable buffer is copied once.
        source = PyBytes_CheckExact(value.ptr()) ? value : py::object(copy_bytes(all));
    } else {
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

py::object container_get_data(py::object self) {
    if (container_encrypted(self)) return self.attr(NORVO_NAME("_enc_data"));
    py::object h = self.attr(NORVO_NAME("header")).attr(NORVO_NAME("data"));
    py::object c = self.attr(NORVO_NAME("content")).attr(NORVO_NAME("data"));
    bool ht = truthy(h), ct = truthy(c);
    if (ht && ct) return py::str(py::repr(h)) + py::str(py::repr(c));
    return ht ? h : c;
}

// A portion already sealed while the container is plain can only stay if it opens under the
// keys now used; otherwise the container would carry a portion that its keys cannot open.
void check_sealed_portion(py::handle payload, py::handle keys) {
    bool ok = false;
    try {
        py::object sealed = payload_sealed_data(payload);
        ByteView in(sealed, norvo::bind::parser_input);
        fmt::Section sec = fmt::parse_section(in.span());
        py::object mac_key = key_field(keys, NORVO_NAME("mac_key"));
        ByteView mk(mac_key, "mac_key");
        ok = norvo::bind::bulk(sec.encrypted.size(), [&] { return fmt::verify_section(mk.span(), sec); });
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
    } catch (const core::FormatError&) {
        // Bytes that hold no section open under no keys.
    }
    if (!ok) norvo::bind::raise(PyExc_ValueError, "A portion is already sealed under other keys; cannot encrypt.");
}

// A payload whose class keeps the library's own encryption members: its plaintext is sealed
// by the core straight into the container bytes, and its state stored directly.
bool seals_here(py::handle p) { return payload_kind(p).seals_here && own_entry(p, NORVO_NAME("_data")); }

bool opens_here(py::handle p) { return payload_kind(p).opens_here; }

py::object container_encrypt(py::object self, py::object keys_arg) {
    if (container_encrypted(self)) return py::none();
    py::object payloads[2] = {self.attr(NORVO_NAME("header")), self.attr(NORVO_NAME("content"))};

    // Checks first, so a refusal changes nothing.
    py::object oid = id_bytes_le(self.attr(NORVO_NAME("id")));
    if (!PyBytes_Check(oid.ptr()) || PyBytes_GET_SIZE(oid.ptr()) != static_cast<Py_ssize_t>(fmt::OID_SIZE))
        norvo::bind::raise_construct("StreamError", "bytes object of wrong length, expected 16, found " +
                                                        std::to_string(py::len(oid)));
    bool sealed[2], here[2];
    py::object plain[2];
    for (int i = 0; i < 2; ++i) {
        sealed[i] = payload_sealed(payloads[i]);
        here[i] = !sealed[i] && seals_here(payloads[i]);
        if (!here[i]) continue;
        plain[i] = own_entry(payloads[i], NORVO_NAME("_data"));
        if (!PyUnicode_Check(plain[i].ptr()) && !PyBytes_Check(plain[i].ptr()))
            norvo::bind::raise(PyExc_ValueError, MSG_ENCRYPT_TYPE);
    }
    // Fresh keys and the two counter blocks come from one draw when the library draws both.
    std::uint8_t nonces[2 * fmt::NONCE_SIZE];
    bool nonces_drawn = false;
    py::object keys = truthy(keys_arg) ? keys_arg : new_keys({}, {}, {}, {}, core::bytes_out(nonces), &nonces_drawn);
    py::object cipher_key = key_field(keys, NORVO_NAME("cipher_key")), mac_key = key_field(keys, NORVO_NAME("mac_key"));
    ByteView ck(cipher_key, "cipher_key");
    core::aes_ctr_check(ck.size(), fmt::IV_SIZE);
    ByteView mk(mac_key, "mac_key");
    for (int i = 0; i < 2; ++i)
        if (sealed[i]) check_sealed_portion(payloads[i], keys);

    // Only a payload of another kind runs code that may fail half-way; the library's own are
    // stored once everything is sealed. Their state is kept to be put back on a failure.
    std::optional<Snapshot> hs, cs;
    if ((!sealed[0] && !here[0]) || (!sealed[1] && !here[1])) {
        hs.emplace(payloads[0]);
        cs.emplace(payloads[1]);
    }
    py::object result;
    try {
        py::object held[2];
        std::optional<ByteView> views[2];
        fmt::PortionInput in[2];
        for (int i = 0; i < 2; ++i) {
            if (here[i]) {
                Py_ssize_t n = 0;
                const char* p = PyUnicode_Check(plain[i].ptr()) ? PyUnicode_AsUTF8AndSize(plain[i].ptr(), &n)
                                                                : (n = PyBytes_GET_SIZE(plain[i].ptr()),
                                                                   PyBytes_AS_STRING(plain[i].ptr()));
                if (!p) throw py::error_already_set();
                in[i] = {core::bytes_view(reinterpret_cast<const std::uint8_t*>(p), static_cast<std::size_t>(n)), false};
                continue;
            }
            // A payload of another kind seals itself; its section goes in as it reads.
            payloads[i].attr(NORVO_NAME("encrypt"))(keys);
            held[i] = payload_sealed_data(payloads[i]);
            views[i].emplace(held[i], norvo::bind::parser_input);
            in[i] = {views[i]->span(), true};
        }
        fmt::KeysView kv{ck.span(), mk.span()};
        fmt::Layout layout = fmt::plan_container(kv, in[0], in[1]);
        ByteView oidv(oid);
        std::uint8_t* out = nullptr;
        result = norvo::bind::new_bytes(layout.size, out);
        const std::uint8_t* drawn = nonces_drawn ? nonces : nullptr;
        norvo::bind::bulk(layout.size,
                          [&] { fmt::seal_container(kv, oidv.span(), in[0], in[1], layout, out, drawn); });
        const std::size_t offsets[2] = {layout.header_offset, layout.content_offset};
        const std::size_t sizes[2] = {layout.header_size, layout.content_size};
        for (int i = 0; i < 2; ++i)
            if (here[i]) store_sealed(payloads[i], copy_bytes(core::bytes_view(out + offsets[i], sizes[i])));
    } catch (...) {
        if (hs) hs->restore();
        if (cs) cs->restore();
        throw;
    }
    py::setattr(self, NORVO_NAME("_enc_data"), result);
    reset_record(self, result);
    py::setattr(self, NORVO_NAME("container_keys"), keys);
    py::setattr(self, NORVO_NAME("length"), py::int_(PyBytes_GET_SIZE(result.ptr())));
    return keys;
}

void container_decrypt(py::object self, py::object keys_arg) {
    py::object keys = truthy(keys_arg) ? keys_arg : py::object(self.attr(NORVO_NAME("container_keys")));
    if (keys.is_none()) norvo::bind::raise(PyExc_RuntimeError, MSG_NO_KEYS);

    struct Portion {
        py::object payload;
        bool sealed = false, here = false;
        py::object section_bytes;
        std::optional<ByteView> view;
        fmt::Section section;
        py::object plain;
        std::uint8_t* out = nullptr;
    };
    Portion portions[2];
    portions[0].payload = self.attr(NORVO_NAME("header"));
    portions[1].payload = self.attr(NORVO_NAME("content"));
    bool any = false;
    for (Portion& p : portions) {
        p.sealed = payload_sealed(p.payload);
        if (!p.sealed) continue;
        any = true;
        p.here = opens_here(p.payload);
        p.section_bytes = p.here ? payload_sealed_data(p.payload) : py::object(p.payload.attr(NORVO_NAME("data")));
        p.view.emplace(p.section_bytes, norvo::bind::parser_input);
        p.section = fmt::parse_section(p.view->span());
    }

    // Both portions are authenticated before either is opened, so a wrong key or a damaged
    // portion leaves the container exactly as it was.
    // The library's own keys are read from their record, found once.
    const KeyFields fields(keys);
    py::object mac_key, cipher_key;
    if (any) {
        mac_key = fields.get(NORVO_NAME("mac_key"));
        ByteView mk(mac_key, "mac_key");
        for (Portion& p : portions)
            if (p.sealed && !p.here && !norvo::bind::bulk(p.section.encrypted.size(), [&] {
                    return fmt::verify_section(mk.span(), p.section);
                }))
                raise_digest_failure();
        cipher_key = fields.get(NORVO_NAME("cipher_key"));
        ByteView ck(cipher_key, "cipher_key");
        std::size_t total = 0;
        for (Portion& p : portions) {
            if (!p.here) continue;
            p.plain = norvo::bind::new_bytes(p.section.encrypted.size(), p.out);
            total += p.section.encrypted.size();
        }
        fmt::KeysView kv{ck.span(), mk.span()};
        auto section = [](Portion& p) { return p.here ? &p.section : nullptr; };
        fmt::OpenFailure failure = norvo::bind::bulk(total, [&] {
            return fmt::open_container(kv, section(portions[0]), portions[0].out, section(portions[1]),
                                       portions[1].out);
        });
        if (failure != fmt::OpenFailure::none) raise_digest_failure();
        for (Portion& p : portions)
            if (p.sealed && !p.here) core::aes_ctr_check(ck.size(), p.section.iv.size());
    }
    py::object cipher_index = fields.get(NORVO_NAME("cipher_index"));
    py::object mac_index = fields.get(NORVO_NAME("mac_index"));
    if (!cipher_key) cipher_key = fields.get(NORVO_NAME("cipher_key"));
    if (!mac_key) mac_key = fields.get(NORVO_NAME("mac_key"));
    py::object copy = new_keys(cipher_index, mac_index, cipher_key, mac_key);

    std::optional<Snapshot> hs, cs;
    if ((portions[0].sealed && !portions[0].here) || (portions[1].sealed && !portions[1].here)) {
        hs.emplace(portions[0].payload);
        cs.emplace(portions[1].payload);
    }
    try {
        for (Portion& p : portions) {
            if (!p.sealed) continue;
            if (p.here)
                store_plain(p.payload, p.plain);
            else
                p.payload.attr(NORVO_NAME("decrypt"))(keys);
        }
    } catch (...) {
        if (hs) hs->restore();
        if (cs) cs->restore();
        throw;
    }
    py::setattr(self, NORVO_NAME("container_keys"), copy);
}

std::size_t container_len(py::object self) {
    if (container_encrypted(self)) {
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
    if (container_encrypted(self) != container_encrypted(other)) return false;
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
    S->data_prop = make_property(py::cpp_function(&container_get_data), py::cpp_function(&container_set_data));
    py::setattr(cont, "data", S->data_prop);
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
        py::object prop = make_property(getter, setter);
        py::setattr(cont, AUDIT[i], prop);
        S->audit_props[i] = prop;
    }
    add_method(cont, "__len__", &container_len);
    add_method(cont, "__repr__", [](py::object self) {
        return py::str("<Container({}) Encrypted: {}>")
            .format(self.attr(NORVO_NAME("id")), py::bool_(container_encrypted(self)));
    });
    add_method(cont, "__eq__", &container_eq, py::arg("other"));
    norvo::bind::add_ne(cont, py::arg("other"));
    m.attr("Container") = cont;
    S->container_cls = cont;
}

}  // namespace norvo::container_module
