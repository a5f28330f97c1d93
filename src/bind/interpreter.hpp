// The interpreter's own semantics in small pieces, with every error passed on, and the shims
// over the parts of the C API that changed between the interpreters the library supports.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

namespace py = pybind11;

#if PY_VERSION_HEX >= 0x030D0000
extern "C" PyAPI_FUNC(int) _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

namespace norvo::bind {

// Owns a new reference returned by the C API, or raises the error the call set.
inline py::object steal(PyObject* p) {
    if (!p) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(p);
}

// A built-in type (type, object, dict, bytes, property) as a Python object.
inline py::object builtin(PyTypeObject& type) {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&type));
}

// An interned string made once, for names looked up on every call: `obj.attr(NORVO_NAME("x"))`
// costs a hash-cached dictionary probe where `obj.attr("x")` first makes and hashes a string.
inline py::handle new_interned(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw py::error_already_set();
    return s;
}
#define NORVO_NAME(text) ([]() -> ::pybind11::handle {                         \
    static const ::pybind11::handle interned_ = ::norvo::bind::new_interned(text); \
    return interned_;                                                            \
}())

// bool(obj), raising what __bool__ or __len__ raises.
inline bool truthy(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// `a <op> b` (Py_EQ, Py_NE ...), the result object as the operands' methods return it.
inline py::object rich_compare(py::handle a, py::handle b, int op = Py_EQ) {
    return steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

// bool(a <op> b). Unlike PyObject_RichCompareBool there is no identity shortcut, so an
// operand's own __eq__ always decides.
inline bool compares(py::handle a, py::handle b, int op = Py_EQ) { return truthy(rich_compare(a, b, op)); }

// sorted(iterable), a new list, without a lookup of the built-in.
inline py::list sorted_list(py::handle iterable) {
    auto items = py::reinterpret_steal<py::list>(PySequence_List(iterable.ptr()));
    if (!items || PyList_Sort(items.ptr()) != 0) throw py::error_already_set();
    return items;
}

// getattr without raising for absence: 1 and a new reference when found, 0 and null when
// there is no such attribute, -1 with the error set otherwise. 3.13 made the lookup public.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

// getattr(obj, name, None): only AttributeError means "not there"; other errors pass. The
// lookup does not make an AttributeError where the type lets it avoid one.
inline py::object getattr_or_none(py::handle obj, py::handle name) {
    PyObject* v = nullptr;
    if (lookup_attr(obj.ptr(), name.ptr(), &v) < 0) throw py::error_already_set();
    return v ? py::reinterpret_steal<py::object>(v) : py::object(py::none());
}

inline py::object getattr_or_none(py::handle obj, const char* name) {
    py::str key(name);
    return getattr_or_none(obj, key);
}

// A 16-byte unsigned big-endian integer to and from an int (a UUID's value); 3.13 added an
// argument to the conversion from an int.
inline PyObject* long_from_be16(const std::uint8_t* be) { return _PyLong_FromByteArray(be, 16, 0, 0); }

inline int long_to_be16(PyObject* n, std::uint8_t* be) {
#if PY_VERSION_HEX >= 0x030D0000
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(n), be, 16, 0, 0, 1);
#else
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(n), be, 16, 0, 0);
#endif
}

// The lookup the interpreter makes for a method it is about to call: 1 and the plain function
// when `name` is a method found on the type and not shadowed by the instance, 0 and the bound
// value otherwise, -1 and null with the error set; no bound method is made. 3.13 moved its
// declaration to the internal headers, and the function is still exported.
inline int get_method(PyObject* obj, PyObject* name, PyObject** method) { return _PyObject_GetMethod(obj, name, method); }

}  // namespace norvo::bind
