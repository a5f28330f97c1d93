// Raising Python errors from C++, and the one translation of the core's exceptions.
//
// A module raises with `raise` (the Python error set and thrown as py::error_already_set, so
// that C++ code on the way out can catch and judge it as Python code would), never by throwing
// pybind11's C++ exception classes. The core's exceptions get their Python types in one place,
// `set_core_error`, which every module registers as its translator when it loads.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "imports.hpp"
#include "interpreter.hpp"
#include "norvo/core/crypto.hpp"

namespace norvo::bind {

[[noreturn]] inline void raise(PyObject* type, const std::string& msg) {
    PyErr_SetString(type, msg.c_str());
    throw py::error_already_set();
}

[[noreturn]] inline void raise(py::handle type, py::handle value) {
    PyErr_SetObject(type.ptr(), value.ptr());
    throw py::error_already_set();
}

// `raise ValueError` with no message, as a bare raise statement gives.
[[noreturn]] inline void raise(PyObject* type) {
    PyErr_SetNone(type);
    throw py::error_already_set();
}

// A failed bare `assert` that -O does not strip: for checks that guard keys and data.
[[noreturn]] inline void assertion_failed() { raise(PyExc_AssertionError); }

// Raises `module.name(msg)`, for errors that callers catch by a library's own class.
[[noreturn]] inline void raise_error_of(const char* module, const char* name, const std::string& msg) {
    raise(import(module).attr(name), py::str(msg));
}

// construct's own errors, raised by the codecs that stand in for its parse and build.
[[noreturn]] inline void raise_construct(const char* name, const std::string& msg) {
    raise_error_of("construct.core", name, msg);
}

// The TypeError of a public entry point given an argument of the wrong type, naming it:
// "password must be str or bytes, not int".
[[noreturn]] inline void wrong_argument_type(const char* name, const char* expected, py::handle value) {
    raise(PyExc_TypeError, std::string(name) + " must be " + expected + ", not " + Py_TYPE(value.ptr())->tp_name);
}

// A user id as the public entry points take it: a uuid.UUID or its text.
inline void require_user_id(py::handle value) {
    if (PyUnicode_Check(value.ptr()) || py::isinstance(value, import("uuid").attr(NORVO_NAME("UUID")))) return;
    wrong_argument_type("user_id", "a UUID or its text", value);
}

// ---- Errors in flight

// The exception object of a caught error, its traceback attached; the error indicator is clear.
inline py::object exception_of(py::error_already_set& e) {
    e.restore();
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return py::reinterpret_steal<py::object>(value);
}

// Raises the exception object `err` as it stands. It is restored, not set: PyErr_SetObject
// would chain it to whatever the caller is handling, in place of the context it carries.
[[noreturn]] inline void raise_as_is(py::object err) {
    PyObject* err_type = reinterpret_cast<PyObject*>(Py_TYPE(err.ptr()));
    Py_INCREF(err_type);
    PyErr_Restore(err_type, err.release().ptr(), nullptr);
    throw py::error_already_set();
}

// Raises `type(message)` with `context` as its __context__, as a `raise` while `context` is
// being handled does.
[[noreturn]] inline void raise_in_context(py::handle type, py::handle message, py::handle context) {
    py::object err = py::reinterpret_borrow<py::object>(type)(message);
    PyException_SetContext(err.ptr(), py::reinterpret_borrow<py::object>(context).release().ptr());
    raise_as_is(std::move(err));
}

// `raise err from cause`: the cause is its context too, whatever the caller was handling.
[[noreturn]] inline void raise_from(py::object err, py::handle cause) {
    PyException_SetCause(err.ptr(), py::reinterpret_borrow<py::object>(cause).release().ptr());
    PyException_SetContext(err.ptr(), py::reinterpret_borrow<py::object>(cause).release().ptr());
    raise_as_is(std::move(err));
}

// Raises `type(message)` in place of the caught error, which becomes its context: what a
// `raise` inside an `except` block does, whatever the caller was handling.
[[noreturn]] inline void raise_in_place_of(py::error_already_set& original, py::handle type, const char* message) {
    py::object context = exception_of(original);
    raise_in_context(type, py::str(message), context);
}

// ---- The core's exceptions

// Sets the Python error for a core exception and returns true; false, setting nothing, for
// any other exception. The core's codecs stand in for construct's parse and build, so their
// FormatError is construct's StreamError, as construct's own would fail. RandomError is the
// AssertionError of a guard, InvalidArgument a ValueError, and an OpenSSL call that failed
// for another reason than its input a RuntimeError with OpenSSL's own text.
inline bool set_core_error(std::exception_ptr p) {
    try {
        std::rethrow_exception(p);
    } catch (const core::FormatError& e) {
        try {
            PyErr_SetObject(import("construct.core").attr("StreamError").ptr(), py::str(e.what()).ptr());
        } catch (py::error_already_set& failed) {
            failed.restore();  // the import's own error stands in for the one it could not make
        }
    } catch (const core::RandomError& e) {
        PyErr_SetString(PyExc_AssertionError, e.what());
    } catch (const core::InvalidArgument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const core::OpenSSLError& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        return false;
    }
    return true;
}

// Registers `set_core_error` as the module's exception translator. Local to the module, so
// that no module's translator stands in front of another's.
inline void install_translators() {
    py::register_local_exception_translator([](std::exception_ptr p) {
        if (p && !set_core_error(p)) std::rethrow_exception(p);
    });
}

}  // namespace norvo::bind
