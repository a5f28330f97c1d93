// The column types of the local database: how a UUID, bytes, a date-time and a JSON document
// are written as the text that a cell seals, and read back from it.
#include "models.hpp"

namespace norvo::models_module {

namespace {

// ---- GUID: a UUID as exactly 32 lowercase hexadecimal digits.

py::object guid_bind(py::object value, const Globals& g) {
    py::object uuid_type = g[NORVO_NAME("uuid")].attr(NORVO_NAME("UUID"));
    py::object id = py::isinstance(value, uuid_type) ? value : uuid_type(value);
    return py::str("%.32x").attr("__mod__")(id.attr(NORVO_NAME("int")));
}

py::object guid_result(py::object value, const Globals& g) {
    return g[NORVO_NAME("uuid")].attr(NORVO_NAME("UUID"))(value);
}

// ---- Binary: bytes as lowercase hexadecimal text.

py::object binary_bind(py::object value, const Globals& g) {
    if (!PyBytes_Check(value.ptr())) value = value.attr("encode")("utf-8");
    return g[NORVO_NAME("binascii")].attr(NORVO_NAME("hexlify"))(value).attr(NORVO_NAME("decode"))("utf-8");
}

py::object binary_result(py::object value, const Globals& g) {
    return g[NORVO_NAME("binascii")].attr(NORVO_NAME("unhexlify"))(value);
}

// ---- DateTime: ISO date-time text with the value's own UTC offset.

py::object date_time_bind(py::object value, const Globals& g) {
    py::object arrow = g[NORVO_NAME("arrow")];
    if (!py::isinstance(value, arrow.attr(NORVO_NAME("Arrow")))) value = arrow.attr(NORVO_NAME("get"))(value);
    return value.attr(NORVO_NAME("isoformat"))();
}

py::object date_time_result(py::object value, const Globals& g) {
    py::object moment = g[NORVO_NAME("arrow")].attr(NORVO_NAME("get"))(value).attr(NORVO_NAME("datetime"));
    // An offset of a day or more parses, but the date-time then fails wherever it is used (its
    // offset, its text form); reading the cell is where that shows.
    moment.attr(NORVO_NAME("utcoffset"))();
    return moment;
}

// ---- JSON: a document stored as JSON text. SQLAlchemy's generic JSON type hands the
// encrypting wrapper the value itself, which it stores as the value's Python text form and
// cannot read back; cells written that way are still read.

py::object json_bind(py::object value, const Globals& g) { return g[NORVO_NAME("json")].attr("dumps")(value); }

py::object json_result(py::object value, const Globals& g) {
    try {
        return g["json"].attr("loads")(value);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
    }
    // The older cells hold the Python text form of the document ("{'a': None}"). Such a text
    // may also spell what no JSON document is (a tuple, a set, bytes, a number key), which is
    // refused rather than handed out as a document it never was.
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
}

// A conversion as a method `(self, value, dialect)` that passes None through.
template <Conversion F>
py::object passing_none(const norvo::bind::Call& call) {
    PyObject* const* args = call.args;
    if (args[1] == Py_None) return py::none();
    return F(py::reinterpret_borrow<py::object>(args[1]), globals());
}

// A TypeDecorator subclass with its storage type and its two conversions, bound in `m`.
template <Conversion Bind, Conversion Result>
void column_type(py::module_& m, const char* name, py::handle impl, const char* doc) {
    py::object type_decorator = m.attr("sa").attr("types").attr("TypeDecorator");
    py::dict ns = norvo::bind::class_namespace(m, name, doc);
    ns["impl"] = impl;
    // Stateless: instances of one class convert alike, so SQLAlchemy may cache statements.
    ns["cache_ok"] = true;
    py::object cls = norvo::bind::make_class(name, py::make_tuple(type_decorator), ns, py::type::of(type_decorator));
    for (auto [method, body] : {std::pair{"process_bind_param", &passing_none<Bind>},
                                {"process_result_value", &passing_none<Result>}})
        norvo::bind::add_raw_method(cls, method, body, {{"value", py::object()}, {"dialect", py::object()}});
    m.attr(name) = cls;
}

}  // namespace

void install_column_types(py::module_& m) {
    py::object sa = m.attr("sa");
    column_type<guid_bind, guid_result>(m, "GUID", sa.attr("CHAR")(32),
                                        "A UUID stored as 32 lowercase hexadecimal digits.");
    column_type<binary_bind, binary_result>(m, "Binary", sa.attr("CHAR"),
                                            "Bytes stored as lowercase hexadecimal text (text is stored as its UTF-8).");
    column_type<date_time_bind, date_time_result>(
        m, "DateTime", sa.attr("CHAR"), "A zone-aware date-time stored as ISO-8601 text with its own offset.");
    column_type<json_bind, json_result>(m, "JSON", sa.attr("Text"), "A JSON document stored as JSON text.");
}

}  // namespace norvo::models_module
