// What every norvo extension module shares: error translation, zero-copy byte views,
// GIL release around bulk work, and logger/import helpers.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "norvo/core/crypto.hpp"

namespace py = pybind11;

namespace norvo::bind {

// Below this many bytes the GIL round trip costs more than it frees.
inline constexpr std::size_t GIL_RELEASE_THRESHOLD = 16 * 1024;

// A read-only view of an object that supports the buffer protocol (bytes, bytearray,
// memoryview...). Text is refused with TypeError, as the crypto library refuses it.
class ByteView {
public:
    explicit ByteView(py::handle obj, const char* name = "data") {
        if (PyUnicode_Check(obj.ptr()) || !PyObject_CheckBuffer(obj.ptr()))
            throw py::type_error(std::string(name) + " must be bytes-like");
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE) != 0) throw py::error_already_set();
        held_ = true;
    }
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;
    ~ByteView() {
        if (held_) PyBuffer_Release(&view_);
    }
    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }
    std::span<const std::uint8_t> span() const { return {data(), size()}; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A new bytes object of `n` bytes whose storage the caller fills before handing it out.
inline py::bytes new_bytes(std::size_t n, std::uint8_t*& out) {
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw py::value_error("byte string too large");
    PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (!b) throw py::error_already_set();
    out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(b));
    return py::reinterpret_steal<py::bytes>(b);
}

inline py::bytes to_bytes(std::span<const std::uint8_t> s) {
    return py::bytes(reinterpret_cast<const char*>(s.data()), s.size());
}

// Runs `f` with the GIL released when `size` is large enough to be worth it.
template <class F>
decltype(auto) bulk(std::size_t size, F&& f) {
    if (size >= GIL_RELEASE_THRESHOLD) {
        py::gil_scoped_release release;
        return std::forward<F>(f)();
    }
    return std::forward<F>(f)();
}

inline py::object logger(const char* name) { return py::module_::import("logging").attr("getLogger")(name); }

// Call and equality traces are written only when the package logger's own level is exactly DEBUG.
inline bool traces_enabled() {
    py::object lg = logger("norvo");
    return lg.attr("level").cast<int>() == 10;
}

inline py::object import(const char* dotted) { return py::module_::import(dotted); }

// `from module import name`, with the interpreter's ImportError when the name is not (yet) bound.
inline py::object import_from(const char* module, const char* name) {
    py::object mod = py::module_::import(module);
    if (!py::hasattr(mod, name)) {
        std::string msg = std::string("cannot import name '") + name + "' from partially initialized module '" +
                          module + "'";
        PyErr_SetString(PyExc_ImportError, msg.c_str());
        throw py::error_already_set();
    }
    return mod.attr(name);
}

[[noreturn]] inline void raise(PyObject* type, const std::string& msg) {
    PyErr_SetString(type, msg.c_str());
    throw py::error_already_set();
}

[[noreturn]] inline void raise(py::handle type, py::handle value) {
    PyErr_SetObject(type.ptr(), value.ptr());
    throw py::error_already_set();
}

// Maps the core's exceptions to the Python ones this library documents. Local to each module
// so that one module's translator never shadows another's.
inline void install_translators() {
    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const norvo::core::RandomError& e) {
            PyErr_SetString(PyExc_AssertionError, e.what());
        } catch (const norvo::core::InvalidArgument& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });
}

// Adds `name` to the module with its module attribute set, so pickling and reprs name the right place.
inline void set_module(py::handle obj, py::module_& m) { py::setattr(obj, "__module__", m.attr("__name__")); }

}  // namespace norvo::bind
