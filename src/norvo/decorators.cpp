// norvo.decorators: the wrappers that guard operations by login and trace them.
//
// Both factories return a decorator whose wrapper is made to look like the operation with
// functools.wraps, so the wrapper must take attributes like a Python function does and bind
// as a method when it is a class attribute; a built-in function does neither, so the wrapper
// is a small callable type of its own.
#include "norvo_bind.hpp"

#include <algorithm>
#include <vector>

namespace {

// Parameters whose values never reach a trace line, whether passed by position or keyword.
constexpr const char* SECRET_PARAMETERS[] = {"password", "passphrase"};

enum class Kind { logged, login_required };

struct Wrapper {
    Kind kind = Kind::logged;
    py::object f;
    // logged: the logger the trace lines go to; login_required: the provider, or None for
    // the provider package's current one at each call.
    py::object target;
    // logged: positions at which the operation takes a secret parameter, from its signature.
    std::vector<Py_ssize_t> secret_positions;
};

// What every wrapper call needs, bound once when the module loads.
struct Shared {
    py::object get_logger;   // logging.getLogger
    py::str package_logger;  // "norvo"
    py::object method_type;  // types.MethodType
    py::object masked;       // the stand-in written in place of a secret
};

bool is_secret_name(py::handle name) {
    if (!PyUnicode_Check(name.ptr())) return false;
    for (const char* secret : SECRET_PARAMETERS)
        if (PyUnicode_CompareWithASCIIString(name.ptr(), secret) == 0) return true;
    return false;
}

// Positions of the secret parameters in the operation's signature, read once when the
// operation is decorated. An operation without a readable signature (many built-in
// functions) is masked by keyword name only.
std::vector<Py_ssize_t> secret_positions(py::handle f) {
    std::vector<Py_ssize_t> positions;
    py::module_ inspect = py::module_::import("inspect");
    py::object sig;
    try {
        sig = inspect.attr("signature")(f);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return positions;
    }
    py::object parameter = inspect.attr("Parameter");
    py::object positional_only = parameter.attr("POSITIONAL_ONLY");
    py::object positional_or_keyword = parameter.attr("POSITIONAL_OR_KEYWORD");
    Py_ssize_t index = 0;
    for (py::handle p : sig.attr("parameters").attr("values")()) {
        py::object kind = p.attr("kind");
        if (!kind.is(positional_only) && !kind.is(positional_or_keyword)) break;
        if (is_secret_name(p.attr("name"))) positions.push_back(index);
        ++index;
    }
    return positions;
}

py::object call(const Wrapper& w, const py::args& args, const py::kwargs& kwargs) {
    return norvo::bind::steal(PyObject_Call(w.f.ptr(), args.ptr(), kwargs.ptr()));
}

py::object call_logged(const Shared& s, const Wrapper& w, const py::args& args, const py::kwargs& kwargs) {
    // One lookup and one comparison decide both lines; the argument text is built only when
    // tracing is on. The package logger's own level counts, not its effective one.
    py::object level = s.get_logger(s.package_logger).attr("level");
    bool debug;
    if (PyLong_CheckExact(level.ptr())) {
        int overflow = 0;
        debug = PyLong_AsLongAndOverflow(level.ptr(), &overflow) == 10 && overflow == 0;
    } else {
        debug = norvo::bind::compares(level, py::int_(10));
    }
    if (debug) {
        py::list parts;
        const auto& secrets = w.secret_positions;
        for (std::size_t i = 0; i < args.size(); ++i) {
            bool secret = std::find(secrets.begin(), secrets.end(), static_cast<Py_ssize_t>(i)) != secrets.end();
            parts.append(secret ? py::str("***") : py::str(args[i]));
        }
        bool secret_keyword = false;
        for (auto kv : kwargs) secret_keyword = secret_keyword || is_secret_name(kv.first);
        py::object keywords = kwargs;
        if (secret_keyword) {
            py::dict copy;
            for (auto kv : kwargs) copy[kv.first] = is_secret_name(kv.first) ? py::handle(s.masked) : kv.second;
            keywords = copy;
        }
        w.target.attr("debug")("%s(%s, %s)", w.f.attr("__name__"), py::str(",").attr("join")(parts), keywords);
    }
    py::object result = call(w, args, kwargs);
    if (debug) w.target.attr("debug")("%s(...) --> %s", w.f.attr("__name__"), result);
    return result;
}

py::object call_login_required(const Wrapper& w, const py::args& args, const py::kwargs& kwargs) {
    py::object session;
    if (w.target.is_none()) {
        // Imported at each call, so whatever the provider package's `get` is now is used.
        py::object get = norvo::bind::import_from("norvo.providers", "get");
        // The scope is left before the user is examined and before the operation runs.
        norvo::bind::with_context(get(), [&](py::object provider) { session = provider.attr("session"); });
        if (!session)
            norvo::bind::raise(PyExc_UnboundLocalError, "the provider scope ended without giving a session");
    } else {
        session = w.target.attr("session");
    }
    if (session.attr("user").is_none()) norvo::bind::raise(PyExc_RuntimeError, "Must login!");
    return call(w, args, kwargs);
}

// The wrapper holds Python objects of its own; the collector must see them, or a wrapper
// whose operation refers back to it (through a closure or its module) would never be freed.
traverseproc base_traverse = nullptr;
inquiry base_clear = nullptr;

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    if (int r = base_traverse(self, visit, arg)) return r;
    if (py::detail::is_holder_constructed(self)) {
        auto& w = py::cast<Wrapper&>(py::handle(self));
        Py_VISIT(w.f.ptr());
        Py_VISIT(w.target.ptr());
    }
    return 0;
}

int wrapper_clear(PyObject* self) {
    if (py::detail::is_holder_constructed(self)) {
        auto& w = py::cast<Wrapper&>(py::handle(self));
        py::object f = std::move(w.f);
        py::object target = std::move(w.target);
        w.f = py::none();
        w.target = py::none();
    }
    return base_clear(self);
}

constexpr const char* LOGIN_REQUIRED_DOC = R"(login_required(provider=None)
--

Returns a decorator whose wrapper refuses a call with RuntimeError "Must login!" while nobody
is logged in.

:param provider: an object whose `session.user` is None while nobody is logged in, read at
    each call; None asks the provider package's current provider at each call, inside its
    scope.
)";

constexpr const char* LOGGED_DOC = R"(logged(log)
--

Returns a decorator whose wrapper traces each call and its result as two debug lines on `log`,
while the package logger "norvo" has its own level set to exactly DEBUG. Values of parameters
named password or passphrase are written as ***.

:param log: the logger the trace lines are written on
)";

}  // namespace

NORVO_MODULE(decorators, m, .doc = "Operation wrappers: a login check and call tracing.", .signatures = false) {
    py::module_ logging = py::module_::import("logging");
    py::module_ functools = py::module_::import("functools");
    m.attr("logging") = logging;
    m.attr("functools") = functools;

    auto shared = std::make_shared<Shared>();
    shared->get_logger = logging.attr("getLogger");
    shared->package_logger = py::str("norvo");
    shared->method_type = py::module_::import("types").attr("MethodType");

    // The stand-in for a secret keyword's value, shown as *** also inside the keyword dict.
    py::object masked_type = norvo::bind::make_class(
        "Masked", py::make_tuple(norvo::bind::builtin(PyBaseObject_Type)),
        norvo::bind::class_namespace(m, "Masked", "Stands in for a secret in a trace line."));
    norvo::bind::add_method(masked_type, "__repr__", [](py::object) { return py::str("***"); });
    shared->masked = masked_type();

    py::class_<Wrapper>(m, "_Wrapper", py::dynamic_attr(), py::custom_type_setup([](PyHeapTypeObject* heap_type) {
                            auto* type = &heap_type->ht_type;
                            base_traverse = type->tp_traverse;
                            base_clear = type->tp_clear;
                            type->tp_traverse = wrapper_traverse;
                            type->tp_clear = wrapper_clear;
                        }))
        .def(py::init<>())
        .def("__call__",
             [shared](const Wrapper& w, py::args args, py::kwargs kwargs) {
                 return w.kind == Kind::logged ? call_logged(*shared, w, args, kwargs)
                                               : call_login_required(w, args, kwargs);
             })
        // Bound as a method when it is a class attribute, as a function would be.
        .def(
            "__get__",
            [shared](py::object self, py::object obj, py::object) -> py::object {
                if (obj.is_none()) return self;
                return shared->method_type(self, obj);
            },
            py::arg("obj"), py::arg("type") = py::none())
        .def("__repr__",
             [](const Wrapper& w) {
                 return py::str("<{} wrapper of {!r}>")
                     .format(w.kind == Kind::logged ? "logged" : "login_required", w.f);
             });
    py::object wrapper_type = m.attr("_Wrapper");
    py::delattr(m, "_Wrapper");

    auto decorator = [wrapper_type, functools](Kind kind, py::object target) {
        return py::cpp_function(
            [wrapper_type, functools, kind, target](py::object f) {
                py::object wrapper = wrapper_type();
                auto& w = wrapper.cast<Wrapper&>();
                w.kind = kind;
                w.f = f;
                w.target = target;
                if (kind == Kind::logged) w.secret_positions = secret_positions(f);
                return functools.attr("wraps")(f)(wrapper);
            },
            py::name("decorator"), py::arg("f"));
    };

    m.def(
        "login_required",
        [decorator](py::object provider) { return decorator(Kind::login_required, provider); },
        py::arg("provider") = py::none(), LOGIN_REQUIRED_DOC);
    m.def(
        "logged", [decorator](py::object log) { return decorator(Kind::logged, log); }, py::arg("log"), LOGGED_DOC);
}
