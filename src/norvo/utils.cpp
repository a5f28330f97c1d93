// norvo.utils: UUID coercion, zero padding, the portion-name check and the credential validators.
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"

namespace {

constexpr long long MAX_PADDING = 1LL << 30;

// The four character classes of the complexity rule; nothing outside ASCII belongs to any.
int character_classes(const std::u32string_view s) {
    bool upper = false, lower = false, digit = false, special = false;
    static constexpr std::u32string_view specials = U".!@#$%^&*()_";
    for (char32_t c : s) {
        if (c >= U'A' && c <= U'Z') upper = true;
        else if (c >= U'a' && c <= U'z') lower = true;
        else if (c >= U'0' && c <= U'9') digit = true;
        else if (specials.find(c) != std::u32string_view::npos) special = true;
    }
    return int(upper) + int(lower) + int(digit) + int(special);
}

bool judge_text(PyObject* text) {
    Py_ssize_t n = PyUnicode_GetLength(text);
    if (n <= 7) return false;
    Py_UCS4* buf = PyUnicode_AsUCS4Copy(text);
    if (!buf) {
        PyErr_Clear();
        return false;
    }
    std::u32string_view view(reinterpret_cast<const char32_t*>(buf), static_cast<std::size_t>(n));
    bool ok = character_classes(view) >= 3;
    PyMem_Free(buf);
    return ok;
}

bool validity_checker(py::handle value) {
    if (value.is_none()) return false;
    if (PyUnicode_Check(value.ptr())) return PyUnicode_GetLength(value.ptr()) != 0 && judge_text(value.ptr());
    if (PyBytes_Check(value.ptr())) {
        // A bytes credential is judged as its UTF-8 text; undecodable bytes are not valid.
        PyObject* text = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value.ptr()), PyBytes_GET_SIZE(value.ptr()), "strict");
        if (!text) {
            PyErr_Clear();
            return false;
        }
        bool ok = judge_text(text);
        Py_DECREF(text);
        return ok;
    }
    return false;
}

}  // namespace

NORVO_MODULE(utils, m,
             .doc = "Common utilities: UUID coercion, padding, portion names, credential validators.") {
    m.attr("re") = norvo::bind::import("re");
    m.attr("logging") = norvo::bind::import("logging");
    m.attr("uuid") = norvo::bind::import("uuid");
    m.attr("log") = norvo::bind::logger("norvo.utils");

    norvo::bind::Globals g(m);

    m.def(
        "UUID",
        [g](py::object value, py::object bytes_le) -> py::object {
            auto uuid_type = [&g] { return g[NORVO_NAME("uuid")].attr(NORVO_NAME("UUID")); };
            if (norvo::bind::truthy(bytes_le)) return uuid_type()(py::arg("bytes_le") = bytes_le);
            if (value.is_none()) norvo::bind::raise(PyExc_ValueError);
            try {
                return uuid_type()(value);
            } catch (py::error_already_set& e) {
                if (e.matches(PyExc_AttributeError)) return value;
                throw;
            }
        },
        py::arg("value") = py::none(), py::arg("bytes_le") = py::none(),
        "Coerce an id to uuid.UUID: text, or 16 little-endian bytes as `bytes_le`.");

    m.def(
        "pad",
        [](py::object s, py::object length) -> py::object {
            py::object size = py::int_(py::len(s));
            py::object rem = norvo::bind::steal(PyNumber_Remainder(size.ptr(), length.ptr()));
            py::object n = length - rem;
            // A block length is small; one that would append gigabytes is refused before anything
            // is allocated.
            if (PyLong_Check(n.ptr()) && n > py::int_(MAX_PADDING))
                norvo::bind::raise(PyExc_ValueError, "length is too large");
            py::object zeros = norvo::bind::builtin(PyBytes_Type)(n);
            return s + zeros;
        },
        py::arg("s"), py::arg("length"), "`s` followed by 1 to `length` zero bytes, up to a multiple of `length`.");

    m.def(
        "portion_checker",
        [g](py::object portion) {
            py::set valid_portions;
            for (const char* name : {"all", "header", "content", "metadata"}) valid_portions.add(py::str(name));
            if (valid_portions.contains(portion)) return;
            py::str msg = py::str("Invalid portion.  Must be one of {}.").format(valid_portions);
            g[NORVO_NAME("log")].attr("error")(msg);
            norvo::bind::raise(PyExc_ValueError, msg.cast<std::string>());
        },
        py::arg("portion"), "Refuse a portion name other than all, header, content and metadata.");

    m.def("_validity_checker", [](py::object value) { return validity_checker(value); }, py::arg("value"),
          "True for credentials longer than 7 characters with 3 of the 4 character classes.");
    m.def("is_password_valid", [g](py::object password) { return g[NORVO_NAME("_validity_checker")](password); },
          py::arg("password"));
    m.def("is_passphrase_valid",
          [g](py::object passphrase) { return g[NORVO_NAME("_validity_checker")](passphrase); },
          py::arg("passphrase"));
    m.def("is_reminder_valid", [](py::object) { return true; }, py::arg("reminder"));
}
