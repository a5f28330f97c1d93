// Calls into Python on the request path, and the server modules' own functions, both without
// argument tuples: a call goes out through the vectorcall protocol, its keyword names in a
// tuple made once, and a function made here reads its arguments where the caller put them.
#pragma once

#include "callable.hpp"
#include "interpreter.hpp"

#include <cstddef>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace norvo::server {

// A tuple of interned names, the `kwnames` of calls that pass those keywords. Never freed: the
// callers keep it in a static, made at their first call.
inline py::handle keyword_names(std::initializer_list<const char*> names) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!tuple) throw py::error_already_set();
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* interned = PyUnicode_InternFromString(name);
        if (!interned) {
            Py_DECREF(tuple);
            throw py::error_already_set();
        }
        PyTuple_SET_ITEM(tuple, i++, interned);
    }
    return tuple;
}

// `callable(*args)`, the last len(kwnames) values passed as those keywords.
template <class... A>
py::object call(py::handle callable, py::handle kwnames, const A&... args) {
    PyObject* stack[] = {nullptr, py::handle(args).ptr()...};
    const std::size_t given = sizeof...(A) - (kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames.ptr())) : 0);
    return norvo::bind::steal(
        PyObject_Vectorcall(callable.ptr(), stack + 1, given | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
}

// `self.name(*args)`, found as the interpreter finds a method (an attribute of the instance
// first), the last len(kwnames) values passed as those keywords.
template <class... A>
py::object call_method(py::handle self, py::handle name, py::handle kwnames, const A&... args) {
    PyObject* stack[] = {self.ptr(), py::handle(args).ptr()...};
    const std::size_t given =
        1 + sizeof...(A) - (kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames.ptr())) : 0);
    return norvo::bind::steal(PyObject_VectorcallMethod(name.ptr(), stack, given, kwnames.ptr()));
}

// A function of module `m` whose body reads its arguments in place; `state` is what the body
// finds in its call record.
inline py::object function(py::module_& m, const char* name, norvo::bind::Body body,
                           std::vector<norvo::bind::Param> params, const char* doc, py::object state = py::none(),
                           bool var_kwargs = false) {
    norvo::bind::CallableSpec spec;
    spec.name = spec.qualname = name;
    spec.module = py::str(m.attr("__name__")).cast<std::string>();
    if (doc) spec.doc = doc;
    spec.params = std::move(params);
    spec.has_self = false;
    spec.var_kwargs = var_kwargs;
    spec.body = body;
    spec.state = std::move(state);
    return norvo::bind::make_callable(std::move(spec));
}

}  // namespace norvo::server
