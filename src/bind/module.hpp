// What every extension module does when it loads, its namespace as its functions read it,
// and its loggers.
#pragma once

#include "errors.hpp"
#include "gil.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "norvo/core/crypto.hpp"

namespace norvo::bind {

// ---- Module globals

// A module's namespace as a function written in the module reads it: a name is looked up
// each time it is used, so replacing it in the module takes effect at the next call, and a
// name that is no longer there is the interpreter's NameError. An operation reads the names
// its module binds this way; a hot path names them by interned strings (`g[NORVO_NAME("log")]`),
// which spares making the string at each call.
class Globals {
public:
    Globals() = default;
    explicit Globals(py::handle module)
        : dict_(py::reinterpret_borrow<py::object>(PyModule_GetDict(module.ptr()))) {}

    py::object operator[](py::handle name) const {
        PyObject* v = PyDict_GetItemWithError(dict_.ptr(), name.ptr());
        if (v) return py::reinterpret_borrow<py::object>(v);
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw py::error_already_set();
    }
    py::object operator[](const char* name) const {
        py::str key(name);
        return (*this)[key];
    }

private:
    py::object dict_;
};

// ---- Loggers

inline py::object logger(const char* name) { return import("logging").attr("getLogger")(name); }

// Call and equality traces are written only while the package logger's own level is exactly
// DEBUG: equal to 10 as the interpreter compares levels, so a level of 10.0 traces (logging
// itself treats it as DEBUG) and one of True does not.
inline bool traces_enabled() {
    // Read on every traced call: the names are made once, not at each reading.
    py::object package = import("logging").attr(NORVO_NAME("getLogger"))(NORVO_NAME("norvo"));
    py::object level = package.attr(NORVO_NAME("level"));
    if (PyLong_CheckExact(level.ptr())) {
        int overflow = 0;
        return PyLong_AsLongAndOverflow(level.ptr(), &overflow) == 10 && overflow == 0;
    }
    return compares(level, py::int_(10));
}

// ---- Module set-up

// A module loads in the main interpreter only. The library's state is the process's (the mode
// lock, the core's and pybind11's globals, the one session), and a sub-interpreter that shares
// it, or tears down what it made of it, breaks the main interpreter's copy. Called before
// anything of pybind11 or of the module runs; false with ImportError set otherwise.
inline bool in_main_interpreter(const char* module) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return true;
    PyErr_Format(PyExc_ImportError,
                 "norvo module '%s' cannot be loaded here: only the main interpreter is supported", module);
    return false;
}

// What a module states about itself where it is defined (the arguments after the module
// variable in NORVO_MODULE, by designator): its docstring, and whether pybind11 starts the
// docstrings of its functions with their signatures (the default) or leaves them as written.
// The module's `log` is not among them: a module binds it where its load order puts it, and
// that order shows in its namespace and to modules that import it while it is half loaded.
struct ModuleSpec {
    const char* doc = nullptr;
    bool signatures = true;
};

// What every extension module does before its own body runs. `options` lives as long as
// the body runs, so the signature choice covers every function the body defines.
inline void setup_module(py::module_& m, py::options& options, const ModuleSpec& spec) {
    // Every module links its own copy of the core; they must all take the one FIPS mode lock.
    norvo::core::share_mode_lock(py::get_or_create_shared_data<norvo::core::ModeLock>("norvo.core.ModeLock"));
    install_translators();
    if (!spec.signatures) options.disable_function_signatures();
    if (spec.doc) m.doc() = spec.doc;
}

}  // namespace norvo::bind

// Defines an extension module whose body starts after the shared setup, so that no module
// forgets it, in place of PYBIND11_MODULE:
//   NORVO_MODULE(access, m, .doc = "...", .signatures = false) { ... }
// Every field of ModuleSpec may be left out, in the order the struct declares them.
// PYBIND11_MODULE's own steps, with the interpreter checked first in both of the module's
// entry points: its init function, before pybind11 sets up its internals, and its exec slot,
// before pybind11 looks up its module cache (3.13 runs a sub-interpreter's init function in the
// main interpreter, and only the exec slot in the sub-interpreter). pybind11's count of the
// interpreters it has seen is left alone: a module lives in the main interpreter only, where
// pybind11's one set of internals is always the right one. The module also declares that it
// does not support sub-interpreters, which the interpreters that enforce it check as well.
#define NORVO_MODULE(name, variable, ...)                                                      \
    static void norvo_module_body_##name(::pybind11::module_&);                                \
    static int pybind11_exec_norvo_##name(PyObject*);                                          \
    PYBIND11_MODULE_PYINIT(name,                                                               \
                           if (!::norvo::bind::in_main_interpreter(#name)) return nullptr,     \
                           ::pybind11::multiple_interpreters::not_supported())                 \
    int pybind11_exec_##name(PyObject* module) {                                               \
        if (!::norvo::bind::in_main_interpreter(#name)) return -1;                             \
        return pybind11_exec_norvo_##name(module);                                             \
    }                                                                                          \
    PYBIND11_MODULE_EXEC(norvo_##name, variable) {                                             \
        ::pybind11::options norvo_options_;                                                    \
        ::norvo::bind::setup_module(variable, norvo_options_,                                  \
                                    ::norvo::bind::ModuleSpec{__VA_ARGS__});                   \
        norvo_module_body_##name(variable);                                                    \
    }                                                                                          \
    static void norvo_module_body_##name(::pybind11::module_& variable)
