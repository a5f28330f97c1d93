// The encrypted column type: sqlalchemy-utils' EncryptedType, writing the very cells it
// writes, with three things it lacks. It stores whatever it is given by its text form, so a
// value of another type than the column's (a float for an integer, a UUID for a text) went in
// as a cell that could never be read back: such a value is now written in the column's own
// form when that form is exact, or refused by a CellTypeError naming the column. Reading, it
// hands back a cell that is not sealed bytes as if it were the value, and lets a cell that
// opens to no value of its column fail with whatever error the conversion raised: every such
// cell is now a SealedCellError. And it declares whether it may be cached, which SQLAlchemy
// otherwise warns about on every statement: instances differ by their engine object, which
// the cache key holds, so caching is sound.
#include "models.hpp"

#include <initializer_list>
#include <string>
#include <utility>

namespace norvo::models_module {


namespace {

// What an encrypted column holds, decided once per column type from its inner type: the
// conversions of each kind are those the wrapper applies, written out so that a value of
// another type meets a clear refusal instead of its text form.
enum class CellKind : long { other, text, integer, boolean, guid, binary, decorated };

CellKind cell_kind(py::handle self, const Globals& g) {
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
[[noreturn]] void refuse_value(py::handle self, py::handle value, const char* holds, const Globals& g) {
    norvo::bind::raise(g["CellTypeError"], py::str("{} holds {}: a value of type {} cannot be stored in it.")
                                               .format(column_of(self), holds, py::type::of(value).attr("__name__")));
}

// The text that the cell seals: the column's own form of `value`, or a refusal.
py::object cell_text(py::handle self, CellKind kind, py::object value, py::handle dialect, const Globals& g) {
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

// What the column type and its engine were at load, to recognise them unchanged.
struct Own {
    PyObject* update_key;  // EncryptedType's _update_key
    PyTypeObject* engine;  // StrictAesEngine
    PyObject *engine_update_key, *engine_encrypt, *engine_decrypt;
};
Own* own = nullptr;

bool unshadowed(py::handle obj, std::initializer_list<std::pair<py::handle, PyObject*>> methods) {
    py::object dict = norvo::bind::steal(PyObject_GenericGetDict(obj.ptr(), nullptr));
    for (auto [name, stock] : methods) {
        if (_PyType_Lookup(Py_TYPE(obj.ptr()), name.ptr()) != stock) return false;
        if (PyDict_GetItemWithError(dict.ptr(), name.ptr())) return false;
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    return true;
}

// Does what `self._update_key()` does and gives the engine, saying whether the column's key
// step and its engine are the library's own, so that the engine's methods may be called as
// they are here rather than through their Python names.
bool key_engine(py::handle self, py::object& engine) {
    if (unshadowed(self, {{NORVO_NAME("_update_key"), own->update_key}})) {
        engine = self.attr(NORVO_NAME("engine"));
        if (Py_TYPE(engine.ptr()) == own->engine &&
            unshadowed(engine, {{NORVO_NAME("_update_key"), own->engine_update_key},
                                {NORVO_NAME("encrypt"), own->engine_encrypt},
                                {NORVO_NAME("decrypt"), own->engine_decrypt}})) {
            engine_update_key(engine, column_key(self.attr(NORVO_NAME("_key"))));
            return true;
        }
    }
    self.attr(NORVO_NAME("_update_key"))();
    engine = self.attr(NORVO_NAME("engine"));
    return false;
}

py::object strict_bind(py::object self, py::object value, py::object dialect) {
    const Globals& g = globals();
    if (value.is_none()) return value;
    CellKind kind = cell_kind(self, g);
    if (kind == CellKind::other)
        return g[NORVO_NAME("EncryptedType")].attr(NORVO_NAME("process_bind_param"))(self, value, dialect);
    py::object text = cell_text(self, kind, value, dialect, g);
    py::object engine;
    py::object cell = key_engine(self, engine) ? engine_encrypt(engine, text)
                                               : engine.attr(NORVO_NAME("encrypt"))(text);
    return cell.attr(NORVO_NAME("encode"))("ascii");
}

py::object strict_result(py::object self, py::object value, py::object dialect) {
    const Globals& g = globals();
    if (value.is_none()) return value;
    py::object damaged = g[NORVO_NAME("SealedCellError")];
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
    py::object engine;
    const bool own_engine = key_engine(self, engine);  // its errors (nobody logged in) are its own
    try {
        py::object plain = own_engine ? engine_decrypt(engine, text) : engine.attr(NORVO_NAME("decrypt"))(text);
        return cell_value(self, kind, plain, dialect);
    } catch (py::error_already_set& e) {
        if (e.matches(damaged)) throw;
        bool unreadable = e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError) ||
                          e.matches(PyExc_OverflowError) || e.matches(PyExc_RecursionError);
        if (!unreadable) throw;
        // Not chained to the conversion's error: its text may quote the opened cell
        // ("invalid literal for int() with base 10: '<plaintext>'").
        norvo::bind::raise(damaged, py::str("The encrypted cell of {} opens to no value of its column: it was "
                                            "altered, cut short, or moved from another column.")
                                        .format(column_of(self)));
    }
}

}  // namespace

void install_encrypted_type(py::module_& m) {
    const Globals& g = globals();
    cell_error(m, "CellTypeError", PyExc_TypeError,
               "A value that its encrypted column cannot hold in the column's own form.");
    py::object encrypted_type = g["EncryptedType"];
    py::dict ns = norvo::bind::class_namespace(
        m, "StrictEncryptedType",
        "EncryptedType that stores each value in its column's own form and refuses cells that do not open.");
    ns["cache_ok"] = true;
    py::object strict = norvo::bind::make_class("StrictEncryptedType", py::make_tuple(encrypted_type), ns,
                                                py::type::of(encrypted_type));
    for (auto [method, body] : {std::pair{"process_bind_param", &raw_body<strict_bind, 3>},
                                {"process_result_value", &raw_body<strict_result, 3>}})
        norvo::bind::add_raw_method(strict, method, body, {{"value", py::object()}, {"dialect", py::object()}});
    m.attr("StrictEncryptedType") = strict;
    auto* engine = reinterpret_cast<PyTypeObject*>(g["StrictAesEngine"].ptr());
    auto lookup = [](PyTypeObject* type, const char* name) {
        PyObject* found = _PyType_Lookup(type, py::str(name).ptr());
        Py_XINCREF(found);
        return found;
    };
    Py_INCREF(engine);
    own = new Own{lookup(reinterpret_cast<PyTypeObject*>(strict.ptr()), "_update_key"), engine,
                  lookup(engine, "_update_key"), lookup(engine, "encrypt"), lookup(engine, "decrypt")};

    m.attr("Encrypted") = g["partial"](m.attr("StrictEncryptedType"), py::arg("key") = g["get_sa_key"],
                                       py::arg("engine") = g["StrictAesEngine"]);
}

}  // namespace norvo::models_module
