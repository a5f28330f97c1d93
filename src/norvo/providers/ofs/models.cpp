// norvo.providers.ofs.models: the encrypted schema of the user's local database.
//
// Column types that turn UUIDs, byte strings, date-times and JSON documents into text; the
// database key, derived from the logged-in user's authentication key of index 0; `Encrypted`,
// sqlalchemy-utils' EncryptedType bound to that key; and the five row classes, declared on
// the database module's `Base`. Every cell but the key table's row number is encrypted with
// the library's deterministic AES engine, so equal values under one key give equal cells:
// the primary keys, the unique constraint and the foreign key compare cells and rely on it.
#include "norvo_bind.hpp"

#include <string>
#include <string_view>

using norvo::bind::add_method;
using norvo::bind::truthy;

namespace {

// The database key of the user who is logged in now. A key derived for one user must never
// encrypt another user's database, so the entry remembers whose key it holds and is derived
// again when somebody else has logged in. The entry is one immutable (user id, key) pair,
// replaced whole: a reader takes its own reference to the pair it found, so no thread ever
// sees one user's id beside another's key, and the pair that was replaced is let go only
// once its successor is in place. It holds the id, never the user: a logged-out user and
// its key ring are nobody's to keep alive here.
struct DatabaseKey {
    py::object entry;  // (user id, key), or empty
};

constexpr const char* KEY_DOC = R"(Derives the database key from the logged-in user's first signing key.

get_sa_key() returns 32 bytes: the X9.63 KDF (SHA-384) of the private authentication key of
index 0, serialised as PKCS#8 DER. The key is derived once per logged-in user and kept
with that user's id; cache_clear() forgets it.
)";

constexpr const char* STAR = "*";

[[noreturn]] void refuse_cell(py::handle error) {
    norvo::bind::raise(error, py::str("An encrypted cell does not open under the database key: it was altered, "
                                      "cut short, or sealed for another database."));
}

// What an encrypted column holds, decided once per column type from its inner type: the
// conversions of each kind are those the wrapper applies, written out so that a value of
// another type meets a clear refusal instead of its text form.
enum class CellKind : long { other, text, integer, boolean, guid, binary, decorated };

CellKind cell_kind(py::handle self, const py::dict& g) {
    py::object dict = self.attr(NORVO_NAME("__dict__"));
    if (PyObject* known = PyDict_GetItem(dict.ptr(), NORVO_NAME("_cell_kind").ptr()))
        return static_cast<CellKind>(PyLong_AsLong(known));
    py::object inner = self.attr(NORVO_NAME("underlying_type"));
    py::object sa = g[NORVO_NAME("sa")];
    auto is = [&](py::handle cls) { return py::isinstance(inner, cls); };
    CellKind kind = CellKind::other;
    if (is(g[NORVO_NAME("GUID")]))
        kind = CellKind::guid;
    else if (is(g[NORVO_NAME("Binary")]))
        kind = CellKind::binary;
    else if (is(sa.attr(NORVO_NAME("types")).attr(NORVO_NAME("TypeDecorator"))))
        kind = CellKind::decorated;
    else if (is(sa.attr(NORVO_NAME("Boolean"))))
        kind = CellKind::boolean;
    else if (is(sa.attr(NORVO_NAME("Integer"))))
        kind = CellKind::integer;
    else if (is(sa.attr(NORVO_NAME("String"))))
        kind = CellKind::text;
    dict[NORVO_NAME("_cell_kind")] = py::int_(static_cast<long>(kind));
    return kind;
}

py::object column_of(py::handle self) {
    py::object dict = self.attr("__dict__");
    if (PyObject* name = PyDict_GetItemString(dict.ptr(), "_column")) return py::reinterpret_borrow<py::object>(name);
    return py::str("an encrypted column");
}

// Names the column and the value's type, never the value: it may be a secret.
[[noreturn]] void refuse_value(py::handle self, py::handle value, const char* holds, const py::dict& g) {
    norvo::bind::raise(g["CellTypeError"], py::str("{} holds {}: a value of type {} cannot be stored in it.")
                                               .format(column_of(self), holds, py::type::of(value).attr("__name__")));
}

// The text that the cell seals: the column's own form of `value`, or a refusal.
py::object cell_text(py::handle self, CellKind kind, py::object value, py::handle dialect, const py::dict& g) {
    PyObject* v = value.ptr();
    auto inner = [&](py::handle given) {
        return self.attr(NORVO_NAME("underlying_type")).attr(NORVO_NAME("process_bind_param"))(given, dialect);
    };
    auto is_uuid = [&]() { return py::isinstance(value, g[NORVO_NAME("uuid")].attr(NORVO_NAME("UUID"))); };
    switch (kind) {
        case CellKind::text:
            if (PyUnicode_Check(v)) return value;
            if (is_uuid()) return py::str(value);
            refuse_value(self, value, "text", g);
        case CellKind::integer:
            // Only an exact integer form: a float or a decimal would need rounding.
            if (PyIndex_Check(v)) return py::str(norvo::bind::steal(PyNumber_Index(v)));
            refuse_value(self, value, "integers", g);
        case CellKind::boolean: {
            if (PyBool_Check(v)) return py::str(v == Py_True ? "true" : "false");
            if (PyIndex_Check(v)) {
                py::object n = norvo::bind::steal(PyNumber_Index(v));
                if (norvo::bind::compares(n, py::int_(0))) return py::str("false");
                if (norvo::bind::compares(n, py::int_(1))) return py::str("true");
            }
            refuse_value(self, value, "true or false", g);
        }
        case CellKind::guid:
            if (PyUnicode_Check(v) || is_uuid()) return inner(value);
            refuse_value(self, value, "UUIDs or their text", g);
        case CellKind::binary:
            if (PyBytes_Check(v) || PyUnicode_Check(v)) return inner(value);
            if (PyByteArray_Check(v) || PyMemoryView_Check(v)) return inner(norvo::bind::steal(PyBytes_FromObject(v)));
            refuse_value(self, value, "bytes", g);
        case CellKind::decorated:
        case CellKind::other:
            break;
    }
    try {
        return inner(value);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        py::str message = py::str("{} cannot hold a value of type {}.")
                              .format(column_of(self), py::type::of(value).attr("__name__"));
        norvo::bind::raise_in_place_of(e, g[NORVO_NAME("CellTypeError")], message.cast<std::string>().c_str());
    }
}

// The value that an opened cell holds. Its text is the one its kind writes; any other is a
// cell moved from another column or altered, refused by the caller.
py::object cell_value(py::handle self, CellKind kind, py::object plain, py::handle dialect) {
    switch (kind) {
        case CellKind::text:
            return plain;
        case CellKind::integer: {
            py::object n = norvo::bind::steal(PyLong_FromUnicodeObject(plain.ptr(), 10));
            if (!norvo::bind::compares(py::str(n), plain))
                norvo::bind::raise(PyExc_ValueError, "not an integer's text");
            return n;
        }
        case CellKind::boolean:
            if (norvo::bind::compares(plain, py::str("true"))) return py::bool_(true);
            if (norvo::bind::compares(plain, py::str("false"))) return py::bool_(false);
            norvo::bind::raise(PyExc_ValueError, "neither true nor false");
        default:
            return self.attr(NORVO_NAME("underlying_type")).attr(NORVO_NAME("process_result_value"))(plain, dialect);
    }
}

// A declarative row class, made as a class statement on `Base` would make it.
py::object row_class(py::module_& m, py::handle base, const char* name, py::dict body) {
    py::dict ns = norvo::bind::class_namespace(m, name, "");
    ns["__doc__"] = py::none();
    for (auto item : body) ns[item.first] = item.second;
    return norvo::bind::make_class(name, py::make_tuple(base), ns, py::type::of(base));
}

// A TypeDecorator subclass with its storage type; the conversions are added by the caller.
py::object type_decorator(py::module_& m, py::handle type_decorator_cls, const char* name, py::handle impl,
                          const char* doc) {
    py::dict ns = norvo::bind::class_namespace(m, name, doc);
    ns["impl"] = impl;
    // Stateless: instances of one class convert alike, so SQLAlchemy may cache statements.
    ns["cache_ok"] = true;
    return norvo::bind::make_class(name, py::make_tuple(type_decorator_cls), ns, py::type::of(type_decorator_cls));
}

}  // namespace

NORVO_MODULE(models, m, .doc = "The encrypted relational schema of the user's local database.", .signatures = false) {
    py::module_ sa = py::module_::import("sqlalchemy");
    py::module_ orm = py::module_::import("sqlalchemy.orm");
    m.attr("sa") = sa;
    m.attr("uuid") = py::module_::import("uuid");
    m.attr("binascii") = py::module_::import("binascii");
    m.attr("arrow") = py::module_::import("arrow");
    m.attr("json") = py::module_::import("json");
    m.attr("ast") = py::module_::import("ast");
    m.attr("base64") = py::module_::import("base64");
    m.attr("partial") = py::module_::import("functools").attr("partial");
    m.attr("EncryptedType") = py::module_::import("sqlalchemy_utils").attr("EncryptedType");
    m.attr("AesEngine") = py::module_::import("sqlalchemy_utils.types.encrypted.encrypted_type").attr("AesEngine");

    // The library's own modules, in the order they are needed.
    m.attr("crypto") = py::module_::import("norvo.crypto");
    m.attr("Access") = py::module_::import("norvo.access").attr("Access");
    m.attr("Permissions") = py::module_::import("norvo.permissions").attr("Permissions");
    m.attr("Base") = py::module_::import("norvo.providers.ofs.database").attr("Base");
    // `from norvo.providers import ofs`: fails while the package is still loading itself.
    py::module_::import("norvo.providers.ofs");
    m.attr("ofs") = norvo::bind::import_from("norvo.providers", "ofs");
    m.attr("KeyType") = py::module_::import("norvo.crypto.keys").attr("KeyType");

    // Names are looked up in the module at call time, as module globals are.
    py::dict g = m.attr("__dict__");

    py::object type_decorator_cls = sa.attr("types").attr("TypeDecorator");

    // ---- GUID: a UUID as exactly 32 lowercase hexadecimal digits.
    py::object guid = type_decorator(m, type_decorator_cls, "GUID", sa.attr("CHAR")(32),
                                     "A UUID stored as 32 lowercase hexadecimal digits.");
    add_method(
        guid, "process_bind_param",
        [g](py::object, py::object value, py::object) -> py::object {
            if (value.is_none()) return value;
            py::object uuid_type = g["uuid"].attr("UUID");
            py::object id = py::isinstance(value, uuid_type) ? value : uuid_type(value);
            return py::str("%.32x").attr("__mod__")(id.attr("int"));
        },
        py::arg("value"), py::arg("dialect"));
    add_method(
        guid, "process_result_value",
        [g](py::object, py::object value, py::object) -> py::object {
            if (value.is_none()) return value;
            return g["uuid"].attr("UUID")(value);
        },
        py::arg("value"), py::arg("dialect"));
    m.attr("GUID") = guid;

    // ---- Binary: bytes as lowercase hexadecimal text.
    py::object binary = type_decorator(m, type_decorator_cls, "Binary", sa.attr("CHAR"),
                                       "Bytes stored as lowercase hexadecimal text (text is stored as its UTF-8).");
    add_method(
        binary, "process_bind_param",
        [g](py::object, py::object value, py::object) -> py::object {
            if (value.is_none()) return value;
            if (!PyBytes_Check(value.ptr())) value = value.attr("encode")("utf-8");
            return g["binascii"].attr("hexlify")(value).attr("decode")("utf-8");
        },
        py::arg("value"), py::arg("dialect"));
    add_method(
        binary, "process_result_value",
        [g](py::object, py::object value, py::object) -> py::object {
            if (value.is_none()) return value;
            return g["binascii"].attr("unhexlify")(value);
        },
        py::arg("value"), py::arg("dialect"));
    m.attr("Binary") = binary;

    // ---- DateTime: ISO date-time text with the value's own UTC offset.
    py::object date_time = type_decorator(m, type_decorator_cls, "DateTime", sa.attr("CHAR"),
                                          "A zone-aware date-time stored as ISO-8601 text with its own offset.");
    add_method(
        date_time, "process_bind_param",
        [g](py::object, py::object value, py::object) -> py::object {
            if (value.is_none()) return value;
            py::object arrow = g["arrow"];
            if (!py::isinstance(value, arrow.attr("Arrow"))) value = arrow.attr("get")(value);
            return value.attr("isoformat")();
        },
        py::arg("value"), py::arg("dialect"));
    add_method(
        date_time, "process_result_value",
        [g](py::object, py::object value, py::object) -> py::object {
            if (value.is_none()) return value;
            py::object moment = g["arrow"].attr("get")(value).attr("datetime");
            // An offset of a day or more parses, but the date-time then fails wherever it is
            // used (its offset, its text form); reading the cell is where that shows.
            moment.attr("utcoffset")();
            return moment;
        },
        py::arg("value"), py::arg("dialect"));
    m.attr("DateTime") = date_time;

    // ---- JSON: a document stored as JSON text. SQLAlchemy's generic JSON type hands the
    // encrypting wrapper the value itself, which it stores as the value's Python text form and
    // cannot read back; cells written that way are still read.
    py::object json_type = type_decorator(m, type_decorator_cls, "JSON", sa.attr("Text"),
                                          "A JSON document stored as JSON text.");
    add_method(
        json_type, "process_bind_param",
        [g](py::object, py::object value, py::object) -> py::object {
            if (value.is_none()) return value;
            return g["json"].attr("dumps")(value);
        },
        py::arg("value"), py::arg("dialect"));
    add_method(
        json_type, "process_result_value",
        [g](py::object, py::object value, py::object) -> py::object {
            if (value.is_none()) return value;
            try {
                return g["json"].attr("loads")(value);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_ValueError)) throw;
            }
            // The older cells hold the Python text form of the document ("{'a': None}"). Such a
            // text may also spell what no JSON document is (a tuple, a set, bytes, a number key),
            // which is refused rather than handed out as a document it never was.
            try {
                py::object document = g["ast"].attr("literal_eval")(value);
                py::object json = g["json"];
                if (norvo::bind::compares(json.attr("loads")(json.attr("dumps")(document)), document)) return document;
            } catch (py::error_already_set& e) {
                bool unreadable = e.matches(PyExc_ValueError) || e.matches(PyExc_SyntaxError) ||
                                  e.matches(PyExc_TypeError) || e.matches(PyExc_MemoryError) ||
                                  e.matches(PyExc_RecursionError) || e.matches(PyExc_OverflowError);
                if (!unreadable) throw;
            }
            norvo::bind::raise(PyExc_ValueError, "The cell holds neither JSON text nor a stored document.");
        },
        py::arg("value"), py::arg("dialect"));
    m.attr("JSON") = json_type;

    // ---- The database key.
    py::class_<DatabaseKey>(m, "_DatabaseKey", KEY_DOC, py::module_local())
        .def(py::init<>())
        .def(
            "__call__",
            [g](DatabaseKey& self) -> py::object {
                py::object user = g[NORVO_NAME("ofs")].attr(NORVO_NAME("session")).attr(NORVO_NAME("user"));
                py::object user_id = user.attr(NORVO_NAME("id"));
                py::object entry = self.entry;  // this read's own reference to the pair
                if (entry) {
                    py::handle cached_id = PyTuple_GET_ITEM(entry.ptr(), 0);
                    if (cached_id.is(user_id) || norvo::bind::compares(cached_id, user_id))
                        return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(entry.ptr(), 1));
                }
                py::object signing_key = user.attr("keys")[g["KeyType"].attr("AUTH")][py::int_(0)];
                py::object crypto = g["crypto"];
                py::object db_key = crypto.attr("KDF2")(crypto.attr("to_der_private")(signing_key.attr("private")));
                py::object replaced = py::make_tuple(user_id, db_key);
                std::swap(self.entry, replaced);  // one step; the old pair goes when `replaced` does
                return db_key;
            })
        .def("cache_clear", [](DatabaseKey& self) {
            py::object replaced;
            std::swap(self.entry, replaced);
        });
    py::object key_cache_type = m.attr("_DatabaseKey");
    py::delattr(m, "_DatabaseKey");
    py::object get_sa_key = key_cache_type();
    m.attr("get_sa_key") = get_sa_key;

    // ---- The cell engine: the library's AES engine, whose cells stored files hold. It pads a
    // cell's text with "*" and strips every trailing "*" when it reads, so a text that ends in
    // "*" would come back shorter: such a text is refused instead of stored changed. The
    // refusal is a ValueError that SQLAlchemy passes on as it is, not wrapped in its own
    // statement error, so callers see what went wrong with their value.
    // The column's errors reach the caller as they are, not wrapped in SQLAlchemy's statement error.
    auto cell_error = [&](const char* name, PyObject* base, const char* doc) {
        py::object builtin_error = py::handle(base).cast<py::object>();
        m.attr(name) = norvo::bind::make_class(
            name, py::make_tuple(builtin_error, sa.attr("exc").attr("DontWrapMixin")),
            norvo::bind::class_namespace(m, name, doc), py::type::of(builtin_error));
    };
    cell_error("CellTextError", PyExc_ValueError, "Text that an encrypted cell cannot hold unchanged.");
    cell_error("SealedCellError", PyExc_ValueError,
               "A cell that does not open under the database key: altered, cut short, or sealed for another database.");
    {
        py::object aes_engine = g["AesEngine"];
        py::dict ns = norvo::bind::class_namespace(
            m, "StrictAesEngine", "The library's AES engine, refusing text that its padding would change.");
        py::object engine = norvo::bind::make_class("StrictAesEngine", py::make_tuple(aes_engine), ns,
                                                    py::type::of(aes_engine));
        // The wrapper hands the engine its key before every cell, and the engine makes its cipher
        // anew each time: for the key it holds already, that is the same cipher again.
        add_method(
            engine, "_update_key",
            [g](py::object self, py::object key) {
                py::object dict = self.attr(NORVO_NAME("__dict__"));
                PyObject* held = PyDict_GetItem(dict.ptr(), NORVO_NAME("_key_in_use").ptr());
                if (held != nullptr && held == key.ptr()) return;
                dict[NORVO_NAME("_key_in_use")] = py::none();
                g[NORVO_NAME("AesEngine")].attr(NORVO_NAME("_update_key"))(self, key);
                dict[NORVO_NAME("_key_in_use")] = key;
            },
            py::arg("key"));
        add_method(
            engine, "encrypt",
            [g](py::object self, py::object value) -> py::object {
                if (PyUnicode_Check(value.ptr()) && truthy(value.attr("endswith")(STAR)))
                    norvo::bind::raise(g["CellTextError"],
                                       py::str("Cannot store text that ends in '*': the cell's padding would strip it."));
                return g["AesEngine"].attr("encrypt")(self, value);
            },
            py::arg("value"));
        // The engine's own reading strips every trailing "*" and takes whatever base64 and UTF-8
        // come out, so a cell cut short by whole blocks reads as a shorter value. A cell it
        // wrote is canonical base64 of whole blocks whose plaintext is UTF-8 text followed by
        // 1 to 16 "*" (the text itself never ends in one): anything else is refused.
        add_method(
            engine, "decrypt",
            [g](py::object self, py::object value) -> py::object {
                py::handle damaged = g["SealedCellError"];
                if (!PyUnicode_Check(value.ptr())) refuse_cell(damaged);
                py::object sealed;
                try {
                    sealed = g["base64"].attr("b64decode")(value, py::arg("validate") = true);
                } catch (py::error_already_set& e) {
                    if (!e.matches(PyExc_ValueError)) throw;
                    refuse_cell(damaged);
                }
                if (!PyBytes_Check(sealed.ptr())) refuse_cell(damaged);
                std::string_view cipher_text(PyBytes_AS_STRING(sealed.ptr()), PyBytes_GET_SIZE(sealed.ptr()));
                if (cipher_text.empty() || cipher_text.size() % 16 != 0) refuse_cell(damaged);
                py::object decryptor = self.attr("cipher").attr("decryptor")();
                py::object head = decryptor.attr("update")(sealed);
                py::object tail = decryptor.attr("finalize")();
                py::object plain = norvo::bind::steal(PyNumber_Add(head.ptr(), tail.ptr()));
                if (!PyBytes_Check(plain.ptr())) refuse_cell(damaged);
                std::string_view text(PyBytes_AS_STRING(plain.ptr()), PyBytes_GET_SIZE(plain.ptr()));
                std::size_t kept = text.find_last_not_of('*');
                kept = kept == std::string_view::npos ? 0 : kept + 1;
                std::size_t padding = text.size() - kept;
                if (padding < 1 || padding > 16) refuse_cell(damaged);
                PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(kept), "strict");
                if (decoded == nullptr) {
                    PyErr_Clear();
                    refuse_cell(damaged);
                }
                return norvo::bind::steal(decoded);
            },
            py::arg("value"));
        m.attr("StrictAesEngine") = engine;
    }

    // ---- The encrypted column type: sqlalchemy-utils' EncryptedType, writing the very cells it
    // writes, with three things it lacks. It stores whatever it is given by its text form, so
    // a value of another type than the column's (a float for an integer, a UUID for a text)
    // went in as a cell that could never be read back: such a value is now written in the
    // column's own form when that form is exact, or refused by a CellTypeError naming the
    // column. Reading, it hands back a cell that is not sealed bytes as if it were the value,
    // and lets a cell that opens to no value of its column fail with whatever error the
    // conversion raised: every such cell is now a SealedCellError. And it declares whether it
    // may be cached, which SQLAlchemy otherwise warns about on every statement: instances
    // differ by their engine object, which the cache key holds, so caching is sound.
    cell_error("CellTypeError", PyExc_TypeError,
               "A value that its encrypted column cannot hold in the column's own form.");
    {
        py::object encrypted_type = g["EncryptedType"];
        py::dict ns = norvo::bind::class_namespace(
            m, "StrictEncryptedType",
            "EncryptedType that stores each value in its column's own form and refuses cells that do not open.");
        ns["cache_ok"] = true;
        py::object strict = norvo::bind::make_class("StrictEncryptedType", py::make_tuple(encrypted_type), ns,
                                                    py::type::of(encrypted_type));
        add_method(
            strict, "process_bind_param",
            [g](py::object self, py::object value, py::object dialect) -> py::object {
                if (value.is_none()) return value;
                CellKind kind = cell_kind(self, g);
                if (kind == CellKind::other)
                    return g[NORVO_NAME("EncryptedType")].attr(NORVO_NAME("process_bind_param"))(self, value, dialect);
                py::object text = cell_text(self, kind, value, dialect, g);
                self.attr(NORVO_NAME("_update_key"))();
                py::object cell = self.attr(NORVO_NAME("engine")).attr(NORVO_NAME("encrypt"))(text);
                return cell.attr(NORVO_NAME("encode"))("ascii");
            },
            py::arg("value"), py::arg("dialect"));
        add_method(
            strict, "process_result_value",
            [g](py::object self, py::object value, py::object dialect) -> py::object {
                if (value.is_none()) return value;
                py::handle damaged = g[NORVO_NAME("SealedCellError")];
                if (!PyBytes_Check(value.ptr()))
                    norvo::bind::raise(damaged, py::str("An encrypted cell holds a plain {}, not sealed bytes: it was "
                                                        "written without the database key.")
                                                    .format(py::type::of(value).attr(NORVO_NAME("__name__"))));
                // A sealed cell is base64 text: bytes that are not ASCII were never one.
                PyObject* ascii = PyUnicode_DecodeASCII(PyBytes_AS_STRING(value.ptr()), PyBytes_GET_SIZE(value.ptr()),
                                                        "strict");
                if (ascii == nullptr) {
                    PyErr_Clear();
                    refuse_cell(damaged);
                }
                py::object text = norvo::bind::steal(ascii);
                CellKind kind = cell_kind(self, g);
                if (kind == CellKind::other)
                    return g[NORVO_NAME("EncryptedType")].attr(NORVO_NAME("process_result_value"))(self, value,
                                                                                               dialect);
                self.attr(NORVO_NAME("_update_key"))();  // its errors (nobody logged in) are its own
                try {
                    py::object plain = self.attr(NORVO_NAME("engine")).attr(NORVO_NAME("decrypt"))(text);
                    return cell_value(self, kind, plain, dialect);
                } catch (py::error_already_set& e) {
                    if (e.matches(damaged)) throw;
                    bool unreadable = e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError) ||
                                      e.matches(PyExc_OverflowError) || e.matches(PyExc_RecursionError);
                    if (!unreadable) throw;
                    norvo::bind::raise_in_place_of(
                        e, damaged,
                        py::str("The encrypted cell of {} opens to no value of its column: it was altered, cut "
                                "short, or moved from another column.")
                            .format(column_of(self))
                            .cast<std::string>()
                            .c_str());
                }
            },
            py::arg("value"), py::arg("dialect"));
        m.attr("StrictEncryptedType") = strict;
    }

    m.attr("Encrypted") = g["partial"](m.attr("StrictEncryptedType"), py::arg("key") = get_sa_key,
                                       py::arg("engine") = m.attr("StrictAesEngine"));

    // ---- The row classes. EncryptedType announces a future change of its storage type each
    // time it is made; the cells here are its present ones, so the notice is kept out of the
    // application's warnings while the schema is declared.
    py::object base = g["Base"];
    py::object Column = sa.attr("Column");
    py::object String = sa.attr("String");
    py::object Integer = sa.attr("Integer");
    py::object encrypted = g["Encrypted"];
    // Each column's type knows its column by name, for the errors that name it.
    auto sealed = [&](const char* column, py::handle type) {
        py::object column_type = encrypted(type);
        column_type.attr("_column") = column;
        return column_type;
    };
    auto cell = [&](const char* column, py::handle type, bool nullable) {
        return Column(sealed(column, type), py::arg("nullable") = nullable);
    };
    auto primary_cell = [&](const char* column, py::handle type) {
        return Column(sealed(column, type), py::arg("primary_key") = true, py::arg("nullable") = false);
    };

    py::module_ warnings = py::module_::import("warnings");
    norvo::bind::with_context(warnings.attr("catch_warnings")(), [&](py::object) {
        warnings.attr("filterwarnings")("ignore", py::arg("message") = "The 'EncryptedType' class will change",
                                        py::arg("category") = py::handle(PyExc_DeprecationWarning));

        py::dict user;
        user["__tablename__"] = "users";
        user["id"] = primary_cell("users.id", String);
        m.attr("User") = row_class(m, base, "User", user);

        py::dict key;
        key["__tablename__"] = "keys";
        key["__table_args__"] = py::make_tuple(sa.attr("UniqueConstraint")("user_id", "key_type", "index"));
        key["id"] = Column(Integer, py::arg("primary_key") = true, py::arg("nullable") = false);
        key["user_id"] = Column(sealed("keys.user_id", guid), py::arg("nullable") = false, py::arg("index") = true);
        key["active"] =
            Column(sealed("keys.active", sa.attr("Boolean")), py::arg("nullable") = false, py::arg("default") = true);
        key["key_type"] = cell("keys.key_type", String, false);
        key["pub_key"] = cell("keys.pub_key", binary, false);
        key["index"] = cell("keys.index", Integer, false);
        m.attr("Key") = row_class(m, base, "Key", key);

        // Deleting a container deletes its accesses: the ORM would otherwise blank their
        // container id, which is part of their primary key. Removing an access from the
        // collection deletes its row for the same reason.
        py::dict container;
        container["__tablename__"] = "containers";
        container["id"] = primary_cell("containers.id", guid);
        container["type"] = cell("containers.type", String, true);
        container["length"] = cell("containers.length", Integer, false);
        container["created_at"] = cell("containers.created_at", date_time, true);
        container["created_by"] = cell("containers.created_by", guid, true);
        container["modified_at"] = cell("containers.modified_at", date_time, true);
        container["modified_by"] = cell("containers.modified_by", guid, true);
        container["ofs_location"] = cell("containers.ofs_location", String, true);
        container["synced_at"] = cell("containers.synced_at", date_time, false);
        container["portion"] = cell("containers.portion", String, false);
        container["access"] = orm.attr("relationship")(
            "ContainerAccess",
            py::arg("collection_class") = orm.attr("collections").attr("attribute_keyed_dict")("user_id"),
            py::arg("backref") = orm.attr("backref")("container", py::arg("uselist") = false),
            py::arg("lazy") = "joined", py::arg("cascade") = "all, delete-orphan");
        m.attr("Container") = row_class(m, base, "Container", container);

        py::dict access;
        access["__tablename__"] = "container_accesses";
        access["__table_args__"] = py::make_tuple(sa.attr("PrimaryKeyConstraint")("user_id", "container_id"));
        access["user_id"] = cell("container_accesses.user_id", guid, false);
        access["container_id"] =
            Column(sealed("container_accesses.container_id", guid),
                   sa.attr("ForeignKey")("containers.id", py::arg("onupdate") = "CASCADE",
                                         py::arg("ondelete") = "CASCADE"),
                   py::arg("nullable") = false);
        access["created_at"] = cell("container_accesses.created_at", date_time, true);
        access["created_by"] = cell("container_accesses.created_by", guid, true);
        access["modified_at"] = cell("container_accesses.modified_at", date_time, true);
        access["modified_by"] = cell("container_accesses.modified_by", guid, true);
        access["permissions"] = cell("container_accesses.permissions", Integer, false);
        access["expires_at"] = cell("container_accesses.expires_at", date_time, true);
        access["key_blob"] = cell("container_accesses.key_blob", binary, false);
        py::object access_cls = row_class(m, base, "ContainerAccess", access);
        add_method(access_cls, "make_class", [g](py::object self) {
            py::object made = g["Access"](
                py::arg("user_id") = self.attr("user_id"),
                py::arg("permissions") = g["Permissions"](py::arg("value") = self.attr("permissions")),
                py::arg("expiration") = self.attr("expires_at"),
                py::arg("key") = g["base64"].attr("b64encode")(self.attr("key_blob")));
            for (const char* name : {"created_at", "created_by", "modified_at", "modified_by"})
                made.attr(name) = self.attr(name);
            return made;
        });
        m.attr("ContainerAccess") = access_cls;

        // The broker sends no expiry for a container that has not expired and no modification
        // time for an event that changed no content, so both dates may be NULL.
        py::dict event;
        event["__tablename__"] = "events";
        event["id"] = primary_cell("events.id", sa.attr("BigInteger"));
        event["action"] = cell("events.action", String, false);
        event["changes"] = cell("events.changes", json_type, true);
        event["client_app_name"] = cell("events.client_app_name", String, true);
        event["container_expired_at"] = cell("events.container_expired_at", date_time, true);
        event["container_id"] = cell("events.container_id", guid, true);
        event["container_modified_at"] = cell("events.container_modified_at", date_time, true);
        event["container_type"] = cell("events.container_type", String, true);
        event["date"] = cell("events.date", date_time, false);
        event["related_user_id"] = cell("events.related_user_id", guid, true);
        event["type"] = cell("events.type", String, false);
        m.attr("Event") = row_class(m, base, "Event", event);
    });
}
