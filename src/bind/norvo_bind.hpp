// What every norvo extension module shares: error translation, zero-copy byte views,
// GIL release around bulk work, logger/import helpers, and the pieces the modules use to
// build plain Python classes from C++ functions.
#pragma once

#include <pybind11/pybind11.h>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "norvo/core/crypto.hpp"
#include "norvo_method.hpp"

namespace py = pybind11;

namespace norvo::bind {

// Below this many bytes the GIL round trip costs more than it frees.
inline constexpr std::size_t GIL_RELEASE_THRESHOLD = 16 * 1024;

// ---- Raising and C API results

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
    raise(py::module_::import(module).attr(name), py::str(msg));
}

// construct's own errors, raised by the codecs that stand in for its parse and build.
[[noreturn]] inline void raise_construct(const char* name, const std::string& msg) {
    raise_error_of("construct.core", name, msg);
}

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

// The TypeError of a public entry point given an argument of the wrong type, naming it:
// "password must be str or bytes, not int".
[[noreturn]] inline void wrong_argument_type(const char* name, const char* expected, py::handle value) {
    raise(PyExc_TypeError, std::string(name) + " must be " + expected + ", not " + Py_TYPE(value.ptr())->tp_name);
}

// Raises `type(message)` in place of the caught error, which becomes its context: what a
// `raise` inside an `except` block does, whatever the caller was handling.
[[noreturn]] inline void raise_in_place_of(py::error_already_set& original, py::handle type, const char* message) {
    py::object context = exception_of(original);
    raise_in_context(type, py::str(message), context);
}

// ---- Integers of the byte formats

// `value` as an unsigned 64-bit integer, or nothing for anything else (a non-integer, a
// negative integer, or one of 2**64 or more).
inline std::optional<std::uint64_t> as_u64(py::handle value) {
    if (!PyLong_Check(value.ptr())) return std::nullopt;
    unsigned long long n = PyLong_AsUnsignedLongLong(value.ptr());
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(n);
}

// A record's integer field for a codec's build; anything else is construct's FormatFieldError.
inline std::uint64_t field_u64(py::handle value, const char* field) {
    if (auto n = as_u64(value)) return *n;
    raise_error_of("construct.core", "FormatFieldError",
                   std::string("field '") + field + "' needs an integer from 0 to 2**64 - 1, given " +
                       py::repr(value).cast<std::string>());
}

// Runs `f`, reporting the core codec's `Error` as construct's StreamError, as a parse or
// build by construct itself would fail.
template <class Error, class F>
decltype(auto) as_stream_error(F&& f) {
    try {
        return std::forward<F>(f)();
    } catch (const Error& e) {
        raise_construct("StreamError", e.what());
    }
}

// Owns a new reference returned by the C API, or raises the error the call set.
inline py::object steal(PyObject* p) {
    if (!p) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(p);
}

// A built-in type (type, object, dict, bytes, property) as a Python object.
inline py::object builtin(PyTypeObject& type) {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&type));
}

// An interned string made once, for names looked up on every call: `obj.attr(NORVO_NAME("x"))`
// costs a hash-cached dictionary probe where `obj.attr("x")` first makes and hashes a string.
inline py::handle new_interned(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw py::error_already_set();
    return s;
}
#define NORVO_NAME(text) ([]() -> ::pybind11::handle {                         \
    static const ::pybind11::handle interned_ = ::norvo::bind::new_interned(text); \
    return interned_;                                                            \
}())

// ---- Python semantics with errors passed on

// bool(obj), raising what __bool__ or __len__ raises.
inline bool truthy(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// `a <op> b` (Py_EQ, Py_NE ...), the result object as the operands' methods return it.
inline py::object rich_compare(py::handle a, py::handle b, int op = Py_EQ) {
    return steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

// bool(a <op> b). Unlike PyObject_RichCompareBool there is no identity shortcut, so an
// operand's own __eq__ always decides.
inline bool compares(py::handle a, py::handle b, int op = Py_EQ) { return truthy(rich_compare(a, b, op)); }

// getattr without raising for absence: 1 and a new reference when found, 0 and null when
// there is no such attribute, -1 with the error set otherwise. 3.13 made the lookup public.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

// A 16-byte unsigned big-endian integer to and from an int (a UUID's value).
inline PyObject* long_from_be16(const std::uint8_t* be) { return _PyLong_FromByteArray(be, 16, 0, 0); }

inline int long_to_be16(PyObject* n, std::uint8_t* be) {
#if PY_VERSION_HEX >= 0x030D0000
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(n), be, 16, 0, 0, 1);
#else
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(n), be, 16, 0, 0);
#endif
}

// getattr(obj, name, None): only AttributeError means "not there"; other errors pass. The
// lookup does not make an AttributeError where the type lets it avoid one.
inline py::object getattr_or_none(py::handle obj, py::handle name) {
    PyObject* v = nullptr;
    if (lookup_attr(obj.ptr(), name.ptr(), &v) < 0) throw py::error_already_set();
    return v ? py::reinterpret_steal<py::object>(v) : py::object(py::none());
}

inline py::object getattr_or_none(py::handle obj, const char* name) {
    py::str key(name);
    return getattr_or_none(obj, key);
}

// Text as its UTF-8 bytes; any other value as it is, for the callee to judge.
inline py::object encode_text(py::object data) {
    if (PyUnicode_Check(data.ptr())) return data.attr("encode")("utf-8");
    return data;
}

// The TypeError the crypto library gives for an argument that must be exactly bytes.
inline void require_bytes(py::handle obj, const char* name) {
    if (PyBytes_Check(obj.ptr())) return;
    std::string type = py::str(py::type::handle_of(obj).attr("__name__"));
    throw py::type_error(std::string("argument '") + name + "': '" + type + "' object is not an instance of 'bytes'");
}

// ---- Audit fields (creator and modifier ids, creation and modification times)

// The names these take (UUID, datetime, arrow) are module globals: an object, or a lookup
// such as `globals["arrow"]` that reads the module only where the value is needed, as a
// setter written in Python reads its globals.

// What an id setter stores: None as None, anything else as `uuid(value)` (the module's UUID).
template <class Uuid>
py::object audit_id(const Uuid& uuid, py::object value) {
    if (value.is_none()) return value;
    return uuid(std::move(value));
}

// What a time setter stores: None and any instance of `datetime_type` as given, anything
// else as arrow reads it (`arrow.get(value).datetime`, a zone-aware date-time).
template <class DatetimeType, class Arrow>
py::object audit_time(const DatetimeType& datetime_type, const Arrow& arrow, py::object value) {
    if (value.is_none() || py::isinstance(value, datetime_type)) return value;
    return arrow.attr("get")(value).attr("datetime");
}

// ---- Bytes

// Marks a view of parser input: None reads as no bytes, and a value that is not bytes-like
// fails with the interpreter's own TypeError for a non-buffer.
struct ParserInput {};
inline constexpr ParserInput parser_input{};

// A read-only view of an object that supports the buffer protocol (bytes, bytearray,
// memoryview...). Text is refused with TypeError, as the crypto library refuses it.
class ByteView {
public:
    explicit ByteView(py::handle obj, const char* name = "data") {
        if (PyUnicode_Check(obj.ptr()) || !PyObject_CheckBuffer(obj.ptr()))
            throw py::type_error(std::string(name) + " must be bytes-like");
        acquire(obj);
    }
    ByteView(py::handle obj, ParserInput) {
        if (obj.is_none()) return;
        if (PyUnicode_Check(obj.ptr()) || !PyObject_CheckBuffer(obj.ptr()))
            raise(PyExc_TypeError,
                  std::string("a bytes-like object is required, not '") + Py_TYPE(obj.ptr())->tp_name + "'");
        acquire(obj);
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
    void acquire(py::handle obj) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE) != 0) throw py::error_already_set();
        held_ = true;
    }

    Py_buffer view_{};
    bool held_ = false;
};

// A new bytes object of `n` bytes whose storage the caller fills before handing it out.
// A fresh multi-megabyte buffer costs one page fault per 4 KiB page when it is first written,
// which on a large container costs as much as the AES pass itself. Asking for transparent huge
// pages on the untouched interior cuts that to one fault per 2 MiB where the kernel allows it.
inline void prefer_huge_pages(void* p, std::size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t HUGE = std::size_t(2) << 20;
    if (n < 2 * HUGE) return;
    auto start = (reinterpret_cast<std::uintptr_t>(p) + HUGE - 1) & ~(HUGE - 1);
    auto end = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(HUGE - 1);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)p;
    (void)n;
#endif
}

inline py::bytes new_bytes(std::size_t n, std::uint8_t*& out) {
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw py::value_error("byte string too large");
    PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (!b) throw py::error_already_set();
    out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(b));
    prefer_huge_pages(out, n);
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

// ---- Records of construct's shape (a mapping of field names), read by a codec's build

// record[name]; a field that is not there is the StreamError construct reports.
inline py::object record_field(py::handle record, const char* name) {
    PyObject* v = PyObject_GetItem(record.ptr(), py::str(name).ptr());
    if (v) return py::reinterpret_steal<py::object>(v);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
    PyErr_Clear();
    raise_construct("StreamError", std::string("missing field '") + name + "'");
}

// A variable field: bytes-like and exactly as long as its length field says. `view` holds
// the buffer while the record is built.
inline std::span<const std::uint8_t> sized_field(std::optional<ByteView>& view, py::handle value, const char* name,
                                                 std::uint64_t length) {
    if (PyUnicode_Check(value.ptr()) || !PyObject_CheckBuffer(value.ptr()))
        raise_construct("StreamError", std::string("field '") + name + "' needs bytes, given " +
                                           py::repr(value).cast<std::string>());
    view.emplace(value, name);
    if (view->size() != length)
        raise_construct("StreamError", std::string("field '") + name + "' is " + std::to_string(view->size()) +
                                           " bytes long, its length field says " + std::to_string(length));
    return view->span();
}

// ---- Modules and classes

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

// A name in a module's namespace, read each time it is used, as a function written in Python
// reads its module's globals: replacing the name in the module takes effect at the next call.
class Global {
public:
    Global() = default;
    Global(py::handle module, const char* name)
        : dict_(py::reinterpret_borrow<py::object>(PyModule_GetDict(module.ptr()))),
          name_(py::reinterpret_steal<py::object>(PyUnicode_InternFromString(name))) {
        if (!name_) throw py::error_already_set();
    }
    // The current value; NameError, as the interpreter's, when the module no longer has it.
    py::object get() const {
        PyObject* v = PyDict_GetItemWithError(dict_.ptr(), name_.ptr());
        if (v) return py::reinterpret_borrow<py::object>(v);
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_.ptr());
        throw py::error_already_set();
    }
    // Whether the name still holds `obj` (what was bound at load, for a fast path).
    bool holds(py::handle obj) const {
        PyObject* v = PyDict_GetItemWithError(dict_.ptr(), name_.ptr());
        if (!v) PyErr_Clear();
        return v == obj.ptr();
    }
    template <class... Args>
    py::object operator()(Args&&... args) const {
        return get()(std::forward<Args>(args)...);
    }
    py::object attr(const char* name) const { return get().attr(name); }
    py::object attr(py::handle name) const { return get().attr(name); }

private:
    py::object dict_;
    py::object name_;
};

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
#define NORVO_MODULE(name, variable, ...)                                                      \
    static void norvo_module_body_##name(::pybind11::module_&);                                \
    PYBIND11_MODULE(name, variable) {                                                          \
        ::pybind11::options norvo_options_;                                                    \
        ::norvo::bind::setup_module(variable, norvo_options_,                                  \
                                    ::norvo::bind::ModuleSpec{__VA_ARGS__});                   \
        norvo_module_body_##name(variable);                                                    \
    }                                                                                          \
    static void norvo_module_body_##name(::pybind11::module_& variable)

namespace norvo::bind {

// Adds `name` to the module with its module attribute set, so pickling and reprs name the right place.
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

// A method of a plain Python class over a callable made from C++ (a pybind11 function, or
// anything callable with every parameter given by position): its name and qualified name
// are its own and `inspect` reads its parameters. `params` are those after `self`.
// The description of method `name` of class `cls`.
inline MethodSpec method_spec(py::handle cls, const char* name, std::vector<Param> params, bool var_kwargs,
                              const char* doc) {
    MethodSpec spec;
    spec.name = name;
    spec.qualname = py::str(cls.attr("__qualname__")).cast<std::string>() + "." + name;
    spec.module = py::str(cls.attr("__module__")).cast<std::string>();
    if (doc) spec.doc = doc;
    spec.params = std::move(params);
    spec.var_kwargs = var_kwargs;
    return spec;
}

inline py::object method_of(py::handle cls, const char* name, py::object target, std::vector<Param> params,
                            bool var_kwargs = false, const char* doc = nullptr, bool has_self = true) {
    // A pybind11 method comes wrapped for binding; the Method binds, so call the function itself.
    if (PyInstanceMethod_Check(target.ptr()))
        target = py::reinterpret_borrow<py::object>(PyInstanceMethod_GET_FUNCTION(target.ptr()));
    MethodSpec spec = method_spec(cls, name, std::move(params), var_kwargs, doc);
    spec.has_self = has_self;
    spec.target = std::move(target);
    return make_method(std::move(spec));
}

// Adds a method whose body reads its bound arguments directly, with no conversion layer
// between the call and the body: for the methods on a hot path.
inline void add_raw_method(py::handle cls, const char* name, RawBody body, std::vector<Param> params,
                           bool var_kwargs = false, const char* doc = nullptr) {
    MethodSpec spec = method_spec(cls, name, std::move(params), var_kwargs, doc);
    spec.raw = body;
    py::setattr(cls, name, make_method(std::move(spec)));
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

// Runs `body(resource)` as `with manager as resource:` does: every error leaving the body
// leaves through __exit__. A Python error is passed to it as it stands, and __exit__ may
// suppress it. A C++ exception is passed as the Python error it becomes at the module's
// boundary (the same translators decide), then rethrown as it was: the body did not finish,
// and nothing on the C++ side expects it to have. An error raised by __exit__ itself replaces
// the body's and keeps it as its context, as the interpreter does.
// The scope is entered on hot paths (every container made enters the provider scope), so the
// handlers are found by interned names and called without building argument tuples.
template <class F>
void with_context(py::handle manager, F&& body) {
    py::handle type = reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr()));
    py::object enter = steal(PyObject_GetAttr(type.ptr(), NORVO_NAME("__enter__").ptr()));
    py::object exit = steal(PyObject_GetAttr(type.ptr(), NORVO_NAME("__exit__").ptr()));
    PyObject* enter_args[] = {manager.ptr()};
    py::object resource = steal(PyObject_Vectorcall(enter.ptr(), enter_args, 1, nullptr));
    auto call_exit = [&](py::handle type_, py::handle value, py::handle trace) {
        PyObject* args[] = {manager.ptr(), type_ ? type_.ptr() : Py_None, value ? value.ptr() : Py_None,
                            trace ? trace.ptr() : Py_None};
        return steal(PyObject_Vectorcall(exit.ptr(), args, 4, nullptr));
    };
    auto leave = [&](py::error_already_set& error) -> bool {
        try {
            return truthy(call_exit(error.type(), error.value(), error.trace()));
        } catch (py::error_already_set& raised) {
            PyObject* context = PyException_GetContext(raised.value().ptr());
            if (context)
                Py_DECREF(context);
            else if (raised.value().ptr() != error.value().ptr())
                PyException_SetContext(raised.value().ptr(), error.value().inc_ref().ptr());
            throw;
        }
    };
    try {
        std::forward<F>(body)(resource);
    } catch (py::error_already_set& e) {
        if (!leave(e)) throw;
        return;
    } catch (...) {
        py::detail::try_translate_exceptions();
        py::error_already_set translated;
        leave(translated);
        throw;
    }
    call_exit({}, {}, {});
}

}  // namespace norvo::bind
