// Plain Python classes made from C++: the namespace a class statement starts with, the class
// made by `type` or by a library's own metaclass, and methods and properties over C++
// functions (the methods are the callables of callable.hpp).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "callable.hpp"
#include "interpreter.hpp"

namespace norvo::bind {

// Sets the object's __module__ to the module's name, so pickling and reprs name the right place.
inline void set_module(py::handle obj, py::module_& m) { py::setattr(obj, "__module__", m.attr("__name__")); }

// The namespace a class statement in module `m` starts with; callers add the class body.
inline py::dict class_namespace(py::handle m, const char* name, const char* doc) {
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    return ns;
}

// `meta(name, bases, ns)`: a class made as a class statement makes it, by `type` or by the
// metaclass of a library's base class (a marshmallow Schema).
inline py::object make_class(const char* name, py::handle bases, py::handle ns,
                             py::handle meta = reinterpret_cast<PyObject*>(&PyType_Type)) {
    return py::reinterpret_borrow<py::object>(meta)(name, bases, ns);
}

// The description of method `name` of class `cls`; `params` are those after `self`.
inline CallableSpec method_spec(py::handle cls, const char* name, std::vector<Param> params, bool var_kwargs,
                                const char* doc) {
    CallableSpec spec;
    spec.name = name;
    spec.qualname = py::str(cls.attr("__qualname__")).cast<std::string>() + "." + name;
    spec.module = py::str(cls.attr("__module__")).cast<std::string>();
    if (doc) spec.doc = doc;
    spec.params = std::move(params);
    spec.var_kwargs = var_kwargs;
    return spec;
}

// Method `name` of class `cls` over a callable made from C++ (a pybind11 function, or anything
// callable with every parameter given by position).
inline py::object method_of(py::handle cls, const char* name, py::object target, std::vector<Param> params,
                            bool var_kwargs = false, const char* doc = nullptr, bool has_self = true) {
    // A pybind11 method comes wrapped for binding; the callable binds, so call the function itself.
    if (PyInstanceMethod_Check(target.ptr()))
        target = py::reinterpret_borrow<py::object>(PyInstanceMethod_GET_FUNCTION(target.ptr()));
    CallableSpec spec = method_spec(cls, name, std::move(params), var_kwargs, doc);
    spec.has_self = has_self;
    spec.target = std::move(target);
    return make_callable(std::move(spec));
}

// Adds a method whose body reads its bound arguments in place, with no conversion layer
// between the call and the body: for the methods on a hot path.
inline void add_raw_method(py::handle cls, const char* name, Body body, std::vector<Param> params,
                           bool var_kwargs = false, const char* doc = nullptr) {
    CallableSpec spec = method_spec(cls, name, std::move(params), var_kwargs, doc);
    spec.body = body;
    py::setattr(cls, name, make_callable(std::move(spec)));
}

// Adds a C++ function as a method of a plain Python class, its parameters named and
// defaulted by `extra` (py::arg) as pybind11 takes them. pybind11 takes any function named
// "__init__" for the constructor of one of its own types, so the function underneath is
// registered as "_initialise"; the method the class holds carries the real name.
template <class F, class... Extra>
void add_method(py::handle cls, const char* name, F&& f, const Extra&... extra) {
    const char* own_name = std::string_view(name) == "__init__" ? "_initialise" : name;
    py::cpp_function target(std::forward<F>(f), py::name(own_name), py::is_method(cls), extra...);
    py::handle func = py::detail::get_function(target);
    const py::detail::function_record* rec = py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(func.ptr()));
    std::vector<Param> params;
    const std::size_t positional = rec->nargs - (rec->has_kwargs ? 1 : 0);
    for (std::size_t i = 1; i < positional; ++i) {
        Param p;
        if (i < rec->args.size()) {
            p.name = rec->args[i].name;
            if (rec->args[i].value) p.default_value = py::reinterpret_borrow<py::object>(rec->args[i].value);
        } else {
            p.name = "arg" + std::to_string(i - 1);
        }
        params.push_back(std::move(p));
    }
    const char* doc = rec->doc;
    py::setattr(cls, name, method_of(cls, name, std::move(target), std::move(params), rec->has_kwargs, doc));
}

// __ne__ as the negation of the class's own __eq__ (looked up on the instance, so
// subclasses that change equality change inequality too).
template <class... Extra>
void add_ne(py::handle cls, const Extra&... extra) {
    add_method(
        cls, "__ne__", [](py::object self, py::object other) { return !truthy(self.attr("__eq__")(other)); }, extra...);
}

// property(getter, setter, None, doc) over C++ functions; without a doc the getter's is used.
inline py::object make_property(py::handle getter, py::handle setter = py::none(), const char* doc = nullptr) {
    py::object text = doc ? py::object(py::str(doc)) : py::object(py::none());
    return builtin(PyProperty_Type)(getter, setter, py::none(), text);
}

}  // namespace norvo::bind
