// Methods of plain Python classes made from C++ functions.
//
// pybind11's own function objects report the names they were registered under (it treats
// any function named "__init__" as a constructor of one of its own types, so initialisers
// could not carry that name), have no signature that `inspect` can read, and answer a bad
// call with "incompatible function arguments". A `Method` wraps the callable that does the
// work and behaves as a function written in Python would: its own name and qualified name,
// a signature for `inspect`, binding to instances as a method, and the interpreter's own
// TypeError texts for missing, surplus, duplicated or unknown arguments. Calls use the
// vectorcall protocol, and a method call on an instance does not make a bound method.
#pragma once

#include <pybind11/pybind11.h>
#include <structmember.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace norvo::bind {

namespace py = pybind11;

// One parameter after `self`: its name and default value (an empty object: required).
struct Param {
    std::string name;
    py::object default_value;
};

// A body written against the bound arguments directly: `args` holds `self` (for a method)
// and then every parameter, defaults filled in, as borrowed references; `kwargs` holds the
// extra keywords (a new dict) of a method that takes them, and is null when there are none.
using RawBody = py::object (*)(PyObject* const* args, py::handle kwargs);

// What a method is: its names, its parameters, whether it takes **kwargs, and what does the
// work: a RawBody, or a callable that receives every parameter positionally, `self` first,
// then any extra keywords as keywords.
struct MethodSpec {
    std::string name;
    std::string qualname;
    std::string module;
    std::string doc;
    std::vector<Param> params;
    bool has_self = true;
    bool var_kwargs = false;
    py::object target;
    RawBody raw = nullptr;
};

namespace method_detail {

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    MethodSpec* spec;
    std::vector<py::str>* names;  // the parameters' names, interned, to match keywords by identity
    PyObject* dict;               // attributes set on the method, as on a function written in Python
};

[[noreturn]] inline void type_error(const MethodSpec& s, const std::string& what) {
    std::string msg = s.qualname + "() " + what;
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

inline PyObject* call(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
    auto* self = reinterpret_cast<MethodObject*>(callable);
    const MethodSpec& s = *self->spec;
    const std::vector<py::str>& names = *self->names;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const std::size_t lead = s.has_self ? 1 : 0;
    const std::size_t total = lead + s.params.size();
    try {
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
            type_error(s, "takes " + takes + " positional argument" + (total == 1 && required == total ? "" : "s") +
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
        if (kwnames) {
            for (Py_ssize_t k = 0; k < static_cast<Py_ssize_t>(nkw); ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                PyObject* value = args[nargs + k];
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
                        type_error(s, "got an unexpected keyword argument '" + py::str(key).cast<std::string>() + "'");
                    extra_names[extras] = key;
                    slots[total + extras] = value;
                    ++extras;
                    continue;
                }
                if (slots[found])
                    type_error(s, "got multiple values for argument '" + s.params[found - lead].name + "'");
                slots[found] = value;
            }
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
            type_error(s, "missing " + std::to_string(missing.size()) + " required positional argument" +
                              (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing));
        if (s.raw) {
            py::object kwargs;
            if (s.var_kwargs && extras) {
                kwargs = py::dict();
                for (std::size_t i = 0; i < extras; ++i)
                    if (PyDict_SetItem(kwargs.ptr(), extra_names[i], slots[total + i]) != 0)
                        throw py::error_already_set();
            }
            return s.raw(slots, kwargs).release().ptr();
        }
        if (extras == 0) return PyObject_Vectorcall(s.target.ptr(), slots, total, nullptr);
        py::tuple kw(extras);
        for (std::size_t i = 0; i < extras; ++i) {
            Py_INCREF(extra_names[i]);
            PyTuple_SET_ITEM(kw.ptr(), static_cast<Py_ssize_t>(i), extra_names[i]);
        }
        return PyObject_Vectorcall(s.target.ptr(), slots, total, kw.ptr());
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    } catch (...) {
        py::detail::try_translate_exceptions();
        return nullptr;
    }
}

inline PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    if (!obj || obj == Py_None || !m->spec->has_self) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

inline PyObject* get_name(PyObject* self, void*) {
    return PyUnicode_FromString(reinterpret_cast<MethodObject*>(self)->spec->name.c_str());
}
inline PyObject* get_qualname(PyObject* self, void*) {
    return PyUnicode_FromString(reinterpret_cast<MethodObject*>(self)->spec->qualname.c_str());
}
inline PyObject* get_module(PyObject* self, void*) {
    return PyUnicode_FromString(reinterpret_cast<MethodObject*>(self)->spec->module.c_str());
}
inline PyObject* get_doc(PyObject* self, void*) {
    const std::string& d = reinterpret_cast<MethodObject*>(self)->spec->doc;
    if (d.empty()) Py_RETURN_NONE;
    return PyUnicode_FromString(d.c_str());
}

// inspect.Signature of the method, `self` included, as for a function written in Python.
inline PyObject* get_signature(PyObject* self, void*) {
    try {
        const MethodSpec& s = *reinterpret_cast<MethodObject*>(self)->spec;
        py::module_ inspect = py::module_::import("inspect");
        py::object P = inspect.attr("Parameter");
        py::list params;
        if (s.has_self) params.append(P("self", P.attr("POSITIONAL_OR_KEYWORD")));
        for (const Param& p : s.params) {
            if (p.default_value)
                params.append(P(p.name, P.attr("POSITIONAL_OR_KEYWORD"), py::arg("default") = p.default_value));
            else
                params.append(P(p.name, P.attr("POSITIONAL_OR_KEYWORD")));
        }
        if (s.var_kwargs) params.append(P("kwargs", P.attr("VAR_KEYWORD")));
        return inspect.attr("Signature")(params).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    }
}

inline void method_dealloc(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    Py_CLEAR(m->dict);
    delete m->names;
    delete m->spec;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyObject* method_repr(PyObject* self) {
    std::string r = "<function " + reinterpret_cast<MethodObject*>(self)->spec->qualname + ">";
    return PyUnicode_FromString(r.c_str());
}

// The type, made once per extension module on first use and kept for the process.
inline PyTypeObject* method_type() {
    static PyTypeObject* type = [] {
        static PyGetSetDef getset[] = {
            {"__name__", get_name, nullptr, nullptr, nullptr},
            {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
            {"__module__", get_module, nullptr, nullptr, nullptr},
            {"__doc__", get_doc, nullptr, nullptr, nullptr},
            {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
            {"__signature__", get_signature, nullptr, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr},
        };
        static PyMemberDef members[] = {
            {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodObject, vectorcall), READONLY, nullptr},
            {"__dictoffset__", T_PYSSIZET, offsetof(MethodObject, dict), READONLY, nullptr},
            {nullptr, 0, 0, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
            {Py_tp_getattro, reinterpret_cast<void*>(PyObject_GenericGetAttr)},
            {Py_tp_setattro, reinterpret_cast<void*>(PyObject_GenericSetAttr)},
            {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
            {Py_tp_getset, getset},
            {Py_tp_members, members},
            {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
            {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
            {0, nullptr},
        };
        static PyType_Spec spec = {"norvo.method", sizeof(MethodObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
                                   slots};
        PyObject* t = PyType_FromSpec(&spec);
        if (!t) throw py::error_already_set();
        return reinterpret_cast<PyTypeObject*>(t);
    }();
    return type;
}

}  // namespace method_detail

// A function for a class body, made from C++ before its class exists: `qualname` names it
// as the class statement would ("KeyRingSchema.make_dict"). Like a function written in
// Python it binds to instances and takes attributes, which decorators such as marshmallow's
// hooks set on the functions they decorate.
inline py::object make_method(MethodSpec spec);

inline py::object make_function(const char* module, const char* qualname, py::object target,
                                std::vector<Param> params, const char* doc = nullptr) {
    MethodSpec spec;
    std::string q = qualname;
    spec.name = q.substr(q.rfind('.') == std::string::npos ? 0 : q.rfind('.') + 1);
    spec.qualname = q;
    spec.module = module;
    if (doc) spec.doc = doc;
    spec.params = std::move(params);
    spec.target = std::move(target);
    return make_method(std::move(spec));
}

// A new method object for `spec`. The MethodSpec lives as long as the process: methods belong to
// classes made once when their module loads.
inline py::object make_method(MethodSpec spec) {
    PyTypeObject* type = method_detail::method_type();
    auto* obj = PyObject_New(method_detail::MethodObject, type);
    if (!obj) throw py::error_already_set();
    obj->vectorcall = method_detail::call;
    obj->dict = nullptr;
    obj->spec = new MethodSpec(std::move(spec));
    obj->names = new std::vector<py::str>();
    for (const Param& p : obj->spec->params) {
        PyObject* n = PyUnicode_InternFromString(p.name.c_str());
        if (!n) throw py::error_already_set();
        obj->names->push_back(py::reinterpret_steal<py::str>(n));
    }
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(obj));
}

}  // namespace norvo::bind
