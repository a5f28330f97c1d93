// Functions and methods made in C++ that behave as functions written in Python.
//
// pybind11's function objects report the names they were registered under (it takes any
// function named "__init__" for a constructor of one of its own types), have no signature
// that `inspect` can read, answer a bad call with "incompatible function arguments", take no
// attributes and do not bind to instances. A callable made here is what a `def` makes: a
// name, qualified name, module and docstring of its own, all writable as functools.wraps
// writes them; attributes; binding to instances as a method; a signature for `inspect`; and
// the interpreter's own TypeError texts for missing, surplus, duplicated or unknown
// arguments. It is called through the vectorcall protocol, and a method call on an instance
// makes no bound method. The collector sees every object it holds, so a callable that its own
// target or state refers back to (through a closure, a class or a module) is freed as a
// function in such a cycle is.
#pragma once

#include "imports.hpp"
#include "interpreter.hpp"

#include <structmember.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace norvo::bind {

// One parameter after `self`: its name and default value (an empty object: required).
struct Param {
    std::string name;
    py::object default_value;
};

// One call, as the body of a callable receives it.
struct Call {
    py::handle callable;  // the callable itself
    py::handle state;     // what it was made with for its body
    // The arguments. Of a callable with declared parameters: `self` (for a method), then every
    // parameter in order with the defaults filled in, borrowed. Of a wrapper: as the caller
    // gave them, positional values first, then the keyword values in the order of `kwnames`.
    PyObject* const* args;
    std::size_t nargsf;  // the positional count (of a wrapper: with the caller's vectorcall flags)
    PyObject* kwnames;   // of a wrapper: the keywords' names, or null
    py::handle kwargs;   // of a callable that takes **kwargs: the extra keywords (a new dict), or null
};
using Body = py::object (*)(const Call& call);

// What a callable is: its names, its parameters, and what does the work.
struct CallableSpec {
    std::string name;
    std::string qualname;
    std::string module;
    std::string doc;
    std::vector<Param> params;  // after `self`
    bool has_self = true;       // `self` is the first parameter (every callable binds, as a function does)
    bool var_kwargs = false;
    // A wrapper takes any arguments and hands them to its body unbound. It has no signature of
    // its own: `inspect` reads that of what functools.wraps records as its __wrapped__.
    bool wrapper = false;
    // The work: `body`, run with the arguments in place, or else `target`, called with every
    // parameter by position (`self` first) and any extra keywords as keywords.
    Body body = nullptr;
    py::object target;
    py::object state;
};

namespace callable_detail {

struct Object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    CallableSpec* spec;
    std::vector<py::object>* names;  // the parameters' names, interned, to match keywords by identity
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* dict;      // attributes set on the callable, as on a function written in Python
    PyObject* weakrefs;  // weak references to it, which a function takes
    bool cleared;        // the collector broke a cycle through it: it holds nothing to run any more
};

inline Object* of(PyObject* self) { return reinterpret_cast<Object*>(self); }

[[noreturn]] inline void type_error(PyObject* self, const std::string& what) {
    std::string msg = py::str(of(self)->qualname).cast<std::string>() + "() " + what;
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    throw py::error_already_set();
}

inline std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + names[i] + "'";
    }
    return out;
}

// Binds the arguments to the declared parameters, as the interpreter binds a function's.
inline py::object call_declared(PyObject* callable, const CallableSpec& s, PyObject* const* args, std::size_t nargsf,
                                PyObject* kwnames) {
    const std::vector<py::object>& names = *of(callable)->names;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const std::size_t lead = s.has_self ? 1 : 0;
    const std::size_t total = lead + s.params.size();
    // Slots: self, then the parameters in order, then any extra keyword values. Borrowed
    // references; a method has few parameters, so they live on the stack.
    constexpr std::size_t ON_STACK = 16;
    const std::size_t nkw = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    PyObject* stack_slots[ON_STACK];
    std::vector<PyObject*> heap_slots;
    PyObject** slots = stack_slots;
    if (total + nkw > ON_STACK) {
        heap_slots.resize(total + nkw);
        slots = heap_slots.data();
    }
    std::fill(slots, slots + total, nullptr);
    if (static_cast<std::size_t>(nargs) > total) {
        std::size_t required = lead;
        for (const Param& p : s.params)
            if (!p.default_value) ++required;
        std::string takes = required == total ? std::to_string(total)
                                              : "from " + std::to_string(required) + " to " + std::to_string(total);
        type_error(callable, "takes " + takes + " positional argument" + (total == 1 && required == total ? "" : "s") +
                                 " but " + std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    std::size_t extras = 0;  // extra keywords, their names in kwnames order
    PyObject* stack_names[ON_STACK];
    std::vector<PyObject*> heap_names;
    PyObject** extra_names = stack_names;
    if (nkw > ON_STACK) {
        heap_names.resize(nkw);
        extra_names = heap_names.data();
    }
    for (std::size_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, static_cast<Py_ssize_t>(k));
        PyObject* value = args[nargs + static_cast<Py_ssize_t>(k)];
        std::size_t found = total;
        for (std::size_t i = 0; i < s.params.size(); ++i) {
            PyObject* n = names[i].ptr();
            if (n == key) {
                found = lead + i;
                break;
            }
            int eq = PyUnicode_Compare(n, key);
            if (eq == -1 && PyErr_Occurred()) throw py::error_already_set();
            if (eq == 0) {
                found = lead + i;
                break;
            }
        }
        if (found == total) {
            if (!s.var_kwargs)
                type_error(callable, "got an unexpected keyword argument '" + py::str(key).cast<std::string>() + "'");
            extra_names[extras] = key;
            slots[total + extras] = value;
            ++extras;
            continue;
        }
        if (slots[found])
            type_error(callable, "got multiple values for argument '" + s.params[found - lead].name + "'");
        slots[found] = value;
    }
    std::vector<std::string> missing;
    if (lead && !slots[0]) missing.push_back("self");
    for (std::size_t i = 0; i < s.params.size(); ++i) {
        if (slots[lead + i]) continue;
        if (s.params[i].default_value)
            slots[lead + i] = s.params[i].default_value.ptr();
        else
            missing.push_back(s.params[i].name);
    }
    if (!missing.empty())
        type_error(callable, "missing " + std::to_string(missing.size()) + " required positional argument" +
                                 (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing));
    if (s.body) {
        py::object kwargs;
        if (s.var_kwargs && extras) {
            kwargs = py::dict();
            for (std::size_t i = 0; i < extras; ++i)
                if (PyDict_SetItem(kwargs.ptr(), extra_names[i], slots[total + i]) != 0) throw py::error_already_set();
        }
        return s.body(Call{callable, s.state, slots, total, nullptr, kwargs});
    }
    if (extras == 0) return steal(PyObject_Vectorcall(s.target.ptr(), slots, total, nullptr));
    py::tuple kw(extras);
    for (std::size_t i = 0; i < extras; ++i) {
        Py_INCREF(extra_names[i]);
        PyTuple_SET_ITEM(kw.ptr(), static_cast<Py_ssize_t>(i), extra_names[i]);
    }
    return steal(PyObject_Vectorcall(s.target.ptr(), slots, total, kw.ptr()));
}

inline PyObject* call(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    const CallableSpec& s = *of(callable)->spec;
    try {
        if (of(callable)->cleared) {
            PyErr_SetString(PyExc_RuntimeError, "the function was cleared by the garbage collector");
            return nullptr;
        }
        if (s.wrapper) return s.body(Call{callable, s.state, args, nargsf, kwnames, {}}).release().ptr();
        return call_declared(callable, s, args, nargsf, kwnames).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    } catch (...) {
        py::detail::try_translate_exceptions();
        return nullptr;
    }
}

inline PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

// __name__ and __qualname__ must stay text, as a function's must; __module__ and __doc__ take
// anything, and deleting them leaves None.
inline PyObject** text_field(PyObject* self, void* which) {
    return which ? &of(self)->qualname : &of(self)->name;
}
inline PyObject* get_text(PyObject* self, void* which) { return Py_NewRef(*text_field(self, which)); }
inline int set_text(PyObject* self, PyObject* value, void* which) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", which ? "__qualname__" : "__name__");
        return -1;
    }
    Py_SETREF(*text_field(self, which), Py_NewRef(value));
    return 0;
}
inline PyObject** any_field(PyObject* self, void* which) { return which ? &of(self)->doc : &of(self)->module; }
inline PyObject* get_any(PyObject* self, void* which) {
    PyObject* value = *any_field(self, which);  // null once the collector cleared the callable
    return Py_NewRef(value ? value : Py_None);
}
inline int set_any(PyObject* self, PyObject* value, void* which) {
    Py_XSETREF(*any_field(self, which), Py_NewRef(value ? value : Py_None));
    return 0;
}

// inspect.Signature of the callable, `self` included, as for a function written in Python.
inline PyObject* get_signature(PyObject* self, void*) {
    const CallableSpec& s = *of(self)->spec;
    if (s.wrapper) {
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '__signature__'", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    try {
        py::object inspect = import("inspect");
        py::object P = inspect.attr("Parameter");
        py::object kind = P.attr("POSITIONAL_OR_KEYWORD");
        py::list params;
        if (s.has_self) params.append(P("self", kind));
        for (const Param& p : s.params) {
            if (p.default_value)
                params.append(P(p.name, kind, py::arg("default") = p.default_value));
            else
                params.append(P(p.name, kind));
        }
        if (s.var_kwargs) params.append(P("kwargs", P.attr("VAR_KEYWORD")));
        return inspect.attr("Signature")(params).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    }
}

inline PyObject* repr(PyObject* self) { return PyUnicode_FromFormat("<function %S>", of(self)->qualname); }

inline int traverse(PyObject* self, visitproc visit, void* arg) {
    Object* o = of(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(o->name);
    Py_VISIT(o->qualname);
    Py_VISIT(o->module);
    Py_VISIT(o->doc);
    Py_VISIT(o->dict);
    if (o->spec) {
        Py_VISIT(o->spec->target.ptr());
        Py_VISIT(o->spec->state.ptr());
        for (const Param& p : o->spec->params) Py_VISIT(p.default_value.ptr());
    }
    return 0;
}

inline int clear(PyObject* self) {
    Object* o = of(self);
    o->cleared = true;
    Py_CLEAR(o->module);
    Py_CLEAR(o->doc);
    Py_CLEAR(o->dict);
    if (o->spec) {
        o->spec->target = py::object();
        o->spec->state = py::object();
        for (Param& p : o->spec->params) p.default_value = py::object();
    }
    return 0;
}

inline void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (of(self)->weakrefs) PyObject_ClearWeakRefs(self);
    clear(self);
    Object* o = of(self);
    Py_CLEAR(o->name);
    Py_CLEAR(o->qualname);
    delete o->names;
    delete o->spec;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The type, made once per extension module on first use and kept for the process.
inline PyTypeObject* callable_type() {
    static PyTypeObject* type = [] {
        static PyGetSetDef getset[] = {
            {"__name__", get_text, set_text, nullptr, nullptr},
            {"__qualname__", get_text, set_text, nullptr, reinterpret_cast<void*>(1)},
            {"__module__", get_any, set_any, nullptr, nullptr},
            {"__doc__", get_any, set_any, nullptr, reinterpret_cast<void*>(1)},
            {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
            {"__signature__", get_signature, nullptr, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr},
        };
        static PyMemberDef members[] = {
            {"__vectorcalloffset__", T_PYSSIZET, offsetof(Object, vectorcall), READONLY, nullptr},
            {"__dictoffset__", T_PYSSIZET, offsetof(Object, dict), READONLY, nullptr},
            {"__weaklistoffset__", T_PYSSIZET, offsetof(Object, weakrefs), READONLY, nullptr},
            {nullptr, 0, 0, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
            {Py_tp_getattro, reinterpret_cast<void*>(PyObject_GenericGetAttr)},
            {Py_tp_setattro, reinterpret_cast<void*>(PyObject_GenericSetAttr)},
            {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
            {Py_tp_getset, getset},
            {Py_tp_members, members},
            {Py_tp_repr, reinterpret_cast<void*>(repr)},
            {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
            {Py_tp_clear, reinterpret_cast<void*>(clear)},
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
            {0, nullptr},
        };
        // Made only by make_callable: an instance from type(f)() would hold no names or spec.
        static PyType_Spec spec = {"norvo.function", sizeof(Object), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                       Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                   slots};
        PyObject* t = PyType_FromSpec(&spec);
        if (!t) throw py::error_already_set();
        return reinterpret_cast<PyTypeObject*>(t);
    }();
    return type;
}

inline PyObject* new_text(const std::string& text) {
    PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!s) throw py::error_already_set();
    return s;
}

}  // namespace callable_detail

// A new callable for `spec`.
inline py::object make_callable(CallableSpec spec) {
    namespace d = callable_detail;
    auto* o = PyObject_GC_New(d::Object, d::callable_type());
    if (!o) throw py::error_already_set();
    o->vectorcall = d::call;
    o->spec = nullptr;
    o->names = nullptr;
    o->name = o->qualname = o->module = o->doc = o->dict = o->weakrefs = nullptr;
    o->cleared = false;
    // From here the object is owned, and its deallocator copes with whatever is not yet set.
    auto owner = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(o));
    o->name = d::new_text(spec.name);
    o->qualname = d::new_text(spec.qualname);
    o->module = d::new_text(spec.module);
    o->doc = spec.doc.empty() ? Py_NewRef(Py_None) : d::new_text(spec.doc);
    o->names = new std::vector<py::object>();
    for (const Param& p : spec.params)
        o->names->push_back(py::reinterpret_steal<py::object>(new_interned(p.name.c_str())));
    o->spec = new CallableSpec(std::move(spec));
    PyObject_GC_Track(o);
    return owner;
}

// A function for a class body, made from C++ before its class exists: `qualname` names it
// as the class statement would ("KeyRingSchema.make_dict"), and `target` receives every
// parameter by position. Like a function written in Python it binds to instances and takes
// attributes, which decorators such as marshmallow's hooks set on the functions they decorate.
// With `has_self` false it takes no `self`: a function of a module.
inline py::object make_function(const char* module, const char* qualname, py::object target, std::vector<Param> params,
                                const char* doc = nullptr, bool has_self = true) {
    CallableSpec spec;
    const std::string q = qualname;
    spec.name = q.substr(q.rfind('.') == std::string::npos ? 0 : q.rfind('.') + 1);
    spec.qualname = q;
    spec.module = module;
    if (doc) spec.doc = doc;
    spec.params = std::move(params);
    spec.has_self = has_self;
    spec.target = std::move(target);
    return make_callable(std::move(spec));
}

}  // namespace norvo::bind
