// norvo.decorators: the wrappers that guard operations by login and trace them.
//
// Both factories return a decorator whose wrapper is made to look like the operation with
// functools.wraps, so the wrapper must take attributes like a Python function does and bind
// as a method when it is a class attribute; a built-in function does neither, so the wrapper
// is one of the library's own callables, which hands its arguments on as they came.
#include "callable.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"
#include "scope.hpp"

#include <string>

using norvo::bind::Call;

namespace {

// Parameters whose values never reach a trace line, whether passed by position or keyword.
constexpr const char* SECRET_PARAMETERS[] = {"password", "passphrase"};
// Parameters that take a key file, the material of an offline search for its password: a
// trace line shows their values by length only.
constexpr const char* KEY_FILE_PARAMETERS[] = {"strongbox", "key_file", "keyfile", "enc_data"};

// What a wrapper holds, as the items of its state tuple.
enum Held : Py_ssize_t {
    OPERATION,  // the wrapped operation
    TARGET,     // logged: the logger the trace lines go to; login_required: the provider, or None
                // for the provider package's current one at each call
    SECRETS,    // logged: the positions at which the operation takes a secret parameter
    KEY_FILES,  // logged: the positions at which the operation takes a key file
    MASKED,     // logged: the class of the stand-ins written in place of keyword values
};

py::handle held(const Call& c, Held what) { return PyTuple_GET_ITEM(c.state.ptr(), what); }

template <std::size_t N>
bool is_named(py::handle name, const char* const (&names)[N]) {
    if (!PyUnicode_Check(name.ptr())) return false;
    for (const char* candidate : names)
        if (PyUnicode_CompareWithASCIIString(name.ptr(), candidate) == 0) return true;
    return false;
}

bool at(py::handle positions, Py_ssize_t i) {
    int r = PySequence_Contains(positions.ptr(), py::int_(i).ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// A key file as a trace line shows it: the length of the value itself, or of its data.
std::string key_file_text(py::handle value) {
    py::object measured = py::reinterpret_borrow<py::object>(value);
    Py_ssize_t n = PyObject_Length(measured.ptr());
    if (n < 0) {
        PyErr_Clear();
        try {
            measured = norvo::bind::getattr_or_none(value, "data");
        } catch (py::error_already_set&) {
            measured = py::none();  // a trace line never fails the call it traces
        }
        n = measured.is_none() ? -1 : PyObject_Length(measured.ptr());
        if (n < 0) PyErr_Clear();
    }
    if (n < 0) return "<key file>";
    return "<key file of " + std::to_string(n) + (PyUnicode_Check(measured.ptr()) ? " characters>" : " bytes>");
}

// Positions of the parameters named in `names` in the operation's signature, read once when
// the operation is decorated. An operation without a readable signature (many built-in
// functions) is masked by keyword name only.
template <std::size_t N>
py::tuple positions_of(py::handle f, const char* const (&names)[N]) {
    py::list positions;
    py::object inspect = norvo::bind::import("inspect");
    py::object sig;
    try {
        sig = inspect.attr("signature")(f);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return py::tuple();
    }
    py::object parameter = inspect.attr("Parameter");
    py::object positional_only = parameter.attr("POSITIONAL_ONLY");
    py::object positional_or_keyword = parameter.attr("POSITIONAL_OR_KEYWORD");
    Py_ssize_t index = 0;
    for (py::handle p : sig.attr("parameters").attr("values")()) {
        py::object kind = p.attr("kind");
        if (!kind.is(positional_only) && !kind.is(positional_or_keyword)) break;
        if (is_named(p.attr("name"), names)) positions.append(index);
        ++index;
    }
    return py::tuple(positions);
}

// The operation called with the wrapper's arguments as they came.
py::object call_operation(const Call& c) {
    return norvo::bind::steal(PyObject_Vectorcall(held(c, OPERATION).ptr(), c.args, c.nargsf, c.kwnames));
}

py::object call_logged(const Call& c) {
    // One reading of the package logger's level decides both lines; the argument text is
    // built only when tracing is on.
    const bool debug = norvo::bind::traces_enabled();
    py::handle f = held(c, OPERATION);
    py::handle log = held(c, TARGET);
    if (debug) {
        const Py_ssize_t nargs = PyVectorcall_NARGS(c.nargsf);
        py::handle secrets = held(c, SECRETS), key_files = held(c, KEY_FILES), masked = held(c, MASKED);
        py::list parts;
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            if (at(secrets, i))
                parts.append(py::str("***"));
            else if (at(key_files, i))
                parts.append(py::str(key_file_text(c.args[i])));
            else
                parts.append(py::str(c.args[i]));
        }
        // The keywords as the operation receives them, each secret one's value masked.
        py::dict keywords;
        const Py_ssize_t nkw = c.kwnames ? PyTuple_GET_SIZE(c.kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            py::handle name = PyTuple_GET_ITEM(c.kwnames, k);
            py::handle value = c.args[nargs + k];
            if (is_named(name, SECRET_PARAMETERS))
                keywords[name] = masked("***");
            else if (is_named(name, KEY_FILE_PARAMETERS))
                keywords[name] = masked(key_file_text(value));
            else
                keywords[name] = value;
        }
        log.attr("debug")("%s(%s, %s)", f.attr("__name__"), py::str(",").attr("join")(parts), keywords);
    }
    py::object result = call_operation(c);
    if (debug) log.attr("debug")("%s(...) --> %s", f.attr("__name__"), result);
    return result;
}

py::object call_login_required(const Call& c) {
    py::handle provider = held(c, TARGET);
    py::object session;
    if (provider.is_none()) {
        // The provider package's `get` is read at each call, so whatever it is now is used.
        py::object get = norvo::bind::import_from("norvo.providers", "get");
        // The scope is left before the user is examined and before the operation runs.
        norvo::bind::with_context(get(), [&](py::object current) { session = current.attr("session"); });
        if (!session)
            norvo::bind::raise(PyExc_UnboundLocalError, "the provider scope ended without giving a session");
    } else {
        session = provider.attr("session");
    }
    if (session.attr("user").is_none()) norvo::bind::raise(PyExc_RuntimeError, "Must login!");
    return call_operation(c);
}

// A wrapper whose body works with `state`; functools.wraps then makes it look like the operation.
py::object wrapper(norvo::bind::Body body, const char* factory, py::tuple state) {
    norvo::bind::CallableSpec spec;
    spec.name = "wrapper";
    spec.qualname = std::string(factory) + ".<locals>.decorator.<locals>.wrapper";
    spec.module = "norvo.decorators";
    spec.wrapper = true;
    spec.body = body;
    spec.state = std::move(state);
    return norvo::bind::make_callable(std::move(spec));
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
named password or passphrase are written as ***, and key files (parameters named strongbox,
key_file, keyfile or enc_data) by their length only.

:param log: the logger the trace lines are written on
)";

}  // namespace

NORVO_MODULE(decorators, m, .doc = "Operation wrappers: a login check and call tracing.", .signatures = false) {
    m.attr("logging") = norvo::bind::import("logging");
    m.attr("functools") = norvo::bind::import("functools");
    norvo::bind::Globals g(m);

    // The stand-in for a masked keyword's value: inside the keyword dict it shows as its text
    // (***, or a key file's length) without quotes.
    py::object masked = norvo::bind::make_class(
        "Masked", py::make_tuple(norvo::bind::builtin(PyBaseObject_Type)),
        norvo::bind::class_namespace(m, "Masked", "Stands in for a secret in a trace line."));
    norvo::bind::add_method(masked, "__init__", [](py::object self, py::str text) { self.attr("text") = text; });
    norvo::bind::add_method(masked, "__repr__", [](py::object self) { return py::str(self.attr("text")); });

    m.def(
        "login_required",
        [g](py::object provider) {
            return py::cpp_function(
                [g, provider](py::object f) {
                    py::object w = wrapper(call_login_required, "login_required", py::make_tuple(f, provider));
                    return g["functools"].attr("wraps")(f)(w);
                },
                py::name("decorator"), py::arg("f"));
        },
        py::arg("provider") = py::none(), LOGIN_REQUIRED_DOC);
    m.def(
        "logged",
        [g, masked](py::object log) {
            return py::cpp_function(
                [g, masked, log](py::object f) {
                    py::object w = wrapper(call_logged, "logged",
                                           py::make_tuple(f, log, positions_of(f, SECRET_PARAMETERS),
                                                          positions_of(f, KEY_FILE_PARAMETERS), masked));
                    return g["functools"].attr("wraps")(f)(w);
                },
                py::name("decorator"), py::arg("f"));
        },
        py::arg("log"), LOGGED_DOC);
}
