// The column types of the local database: how a UUID, bytes, a date-time and a JSON document
// are written as the text that a cell seals, and read back from it.
#include "models.hpp"

namespace norvo::models_module {

using norvo::bind::add_method;

namespace {

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

void install_column_types(py::module_& m) {
    // Names are looked up in the module at call time, as module globals are.
    py::dict g = m.attr("__dict__");
    py::object sa = g["sa"];
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
}

}  // namespace norvo::models_module
