// Imports, each made once: a module reaches the modules it uses through these, at load or,
// for a module imported lazily on purpose, when an operation first needs it.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "interpreter.hpp"

namespace norvo::bind {

// The module `dotted`, imported at the first call and kept for the process: later calls cost
// one lookup in a table and never enter the import machinery. A module that is half loaded
// when it is first asked for (one that loads the caller) is kept all the same; it is the
// object that the rest of its load fills in.
inline py::object import(const char* dotted) {
    // Never freed: the entries must outlive every call, and the interpreter may be finalising
    // when static destructors would run.
    static auto* cache = new std::unordered_map<std::string_view, PyObject*>();
    const std::string_view key(dotted);
    if (auto hit = cache->find(key); hit != cache->end()) return py::reinterpret_borrow<py::object>(hit->second);
    py::object module = py::module_::import(dotted);
    // The import may have let another thread in that kept the same module meanwhile.
    if (auto hit = cache->find(key); hit != cache->end()) return py::reinterpret_borrow<py::object>(hit->second);
    const std::string* name = new std::string(dotted);
    cache->emplace(std::string_view(*name), module.inc_ref().ptr());
    return module;
}

// `from module import name`, for a name that the module binds itself: the interpreter's
// ImportError when it is not there (a name that a half-loaded module has not bound yet).
inline py::object import_from(const char* module, const char* name) {
    py::object mod = import(module);
    py::str key(name);
    PyObject* found = nullptr;
    if (lookup_attr(mod.ptr(), key.ptr(), &found) < 0) throw py::error_already_set();
    if (found) return py::reinterpret_steal<py::object>(found);
    const std::string msg = "cannot import name '" + std::string(name) + "' from partially initialized module '" +
                            module + "'";
    PyErr_SetString(PyExc_ImportError, msg.c_str());
    throw py::error_already_set();
}

}  // namespace norvo::bind
