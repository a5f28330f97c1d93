// Records of construct's shape (a mapping of field names) read by the codecs that stand in
// for construct's build: every field refused as construct would refuse it, with its errors.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "bytes.hpp"
#include "errors.hpp"
#include "imports.hpp"

namespace norvo::bind {

// A new empty record, of construct's own record class, for a codec's parse to fill.
inline py::object new_record() { return import("construct").attr("Container")(); }

// `value` as an unsigned 64-bit integer, or nothing for anything else (a non-integer, a
// negative integer, or one of 2**64 or more).
inline std::optional<std::uint64_t> as_u64(py::handle value) {
    if (!PyLong_Check(value.ptr())) return std::nullopt;
    unsigned long long n = PyLong_AsUnsignedLongLong(value.ptr());
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(n);
}

// A record's integer field for a build; anything else is construct's FormatFieldError.
inline std::uint64_t field_u64(py::handle value, const char* field) {
    if (auto n = as_u64(value)) return *n;
    raise_construct("FormatFieldError", std::string("field '") + field +
                                            "' needs an integer from 0 to 2**64 - 1, given " +
                                            py::repr(value).cast<std::string>());
}

// record[name]; a field that is not there is the StreamError construct reports.
inline py::object record_field(py::handle record, const char* name) {
    PyObject* v = PyObject_GetItem(record.ptr(), py::str(name).ptr());
    if (v) return py::reinterpret_steal<py::object>(v);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
    PyErr_Clear();
    raise_construct("StreamError", std::string("missing field '") + name + "'");
}

// A variable field: bytes-like and exactly as long as its length field says. `view` holds
// the buffer while the record is built.
inline std::span<const std::uint8_t> sized_field(std::optional<ByteView>& view, py::handle value, const char* name,
                                                 std::uint64_t length) {
    if (PyUnicode_Check(value.ptr()) || !PyObject_CheckBuffer(value.ptr()))
        raise_construct("StreamError", std::string("field '") + name + "' needs bytes, given " +
                                           py::repr(value).cast<std::string>());
    view.emplace(value, name);
    if (view->size() != length)
        raise_construct("StreamError", std::string("field '") + name + "' is " + std::to_string(view->size()) +
                                           " bytes long, its length field says " + std::to_string(length));
    return view->span();
}

}  // namespace norvo::bind
