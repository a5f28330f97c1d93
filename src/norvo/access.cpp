// norvo.access: one user's access to one container.
//
// An access carries the recipient's id, permission flags, an optional expiry, four audit
// fields and the recipient's key envelope. An access made without a key builds its envelope
// on the first read of `key_blob`, through the provider package, and keeps it.
#include "norvo_bind.hpp"

#include <array>
#include <string_view>

namespace {

// Attributes compared by equality, in the order they are compared and traced.
constexpr std::array<const char*, 8> EQ_ATTRIBUTES{
    "user_id", "key_blob", "created_at", "created_by", "modified_at", "modified_by", "expiration", "permissions",
};

bool truth(py::handle v) {
    int t = PyObject_IsTrue(v.ptr());
    if (t < 0) throw py::error_already_set();
    return t == 1;
}

bool is_instance(py::handle obj, py::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// getattr(obj, name), with None standing in for an attribute that cannot be read.
py::object read_or_none(py::handle obj, const char* name) {
    PyObject* v = PyObject_GetAttrString(obj.ptr(), name);
    if (v) return py::reinterpret_steal<py::object>(v);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return py::none();
    }
    throw py::error_already_set();
}

// Adds a C++ function as a method of a plain Python class. pybind11 treats any function
// named "__init__" as the constructor of one of its own types, so the initialiser carries
// another function name while it is bound as __init__.
template <class F, class... Extra>
void def_method(py::handle cls, const char* name, F&& f, const Extra&... extra) {
    const bool init = std::string_view(name) == "__init__";
    py::setattr(cls, name,
                py::cpp_function(std::forward<F>(f), py::name(init ? "initialise" : name), py::is_method(cls),
                                 extra...));
}

py::object make_property(py::cpp_function getter, py::cpp_function setter, const char* doc) {
    return py::module_::import("builtins").attr("property")(getter, setter, py::none(), doc);
}

// Builds the recipient's envelope inside the provider scope: the logged-in user's key ring
// signs, the recipient's key ring (looked up by the access's user id) receives.
py::object build_envelope(py::handle self, py::handle envelope_type) {
    py::object norvo_pkg = py::module_::import("builtins")
                               .attr("__import__")("norvo", py::none(), py::none(), py::make_tuple("providers"), 0);
    py::object providers = norvo_pkg.attr("providers");
    py::object manager = providers.attr("get")();
    py::object manager_type = py::type::of(manager);
    py::object exit = manager_type.attr("__exit__");
    py::object provider = manager_type.attr("__enter__")(manager);
    try {
        py::object sender = provider.attr("session").attr("user");
        // A sender must be logged in. Checked whatever the interpreter's optimisation flag:
        // without it the build would fail later on a missing key ring.
        if (sender.is_none()) {
            PyErr_SetNone(PyExc_AssertionError);
            throw py::error_already_set();
        }
        py::object container_id = self.attr("container").attr("id");
        py::object container_keys = self.attr("container").attr("container_keys");
        py::object sender_keys = sender.attr("keys");
        py::object recip_keys = provider.attr("keys").attr("get")(self.attr("user_id"));
        py::object envelope = envelope_type(py::arg("container_id") = container_id,
                                            py::arg("container_keys") = container_keys,
                                            py::arg("sender_keys") = sender_keys, py::arg("recip_keys") = recip_keys);
        self.attr("_key_blob") = envelope;
    } catch (py::error_already_set& e) {
        // An error raised from C code may carry no traceback yet.
        auto or_none = [](py::handle h) { return h ? py::reinterpret_borrow<py::object>(h) : py::object(py::none()); };
        py::object suppress = exit(manager, or_none(e.type()), or_none(e.value()), or_none(e.trace()));
        if (!truth(suppress)) throw;
        return self.attr("_key_blob");
    }
    exit(manager, py::none(), py::none(), py::none());
    return self.attr("_key_blob");
}

constexpr const char* CLASS_DOC = R"(One user's access to one container.

The container operations create, update and get use accesses to define a user's access to
a container: specific permissions and an optional expiration.

:param user_id: for whom this access applies (a UUID or a string)
:param permissions: what level of access they will have: a Permissions, an integer, or None
    for all permissions
:param expiration: when the access to the container will be revoked (a datetime); None means
    that it never expires
:param key: the recipient's key blob as base64-encoded data
)";

}  // namespace

PYBIND11_MODULE(access, m) {
    py::options options;
    options.disable_function_signatures();

    m.doc() = "One user's access to a container: permissions, expiry, audit fields and key envelope.";
    m.attr("log") = norvo::bind::logger("norvo.access");
    m.attr("arrow") = py::module_::import("arrow");
    m.attr("datetime") = py::module_::import("datetime").attr("datetime");
    m.attr("Permissions") = py::module_::import("norvo.permissions").attr("Permissions");
    m.attr("Envelope") = py::module_::import("norvo.crypto.envelope").attr("Envelope");
    m.attr("UUID") = py::module_::import("norvo.utils").attr("UUID");

    // Names are looked up in the module at call time, as module globals are.
    py::dict g = m.attr("__dict__");

    py::module_ builtins = py::module_::import("builtins");
    py::dict body;
    body["__module__"] = m.attr("__name__");
    body["__qualname__"] = "Access";
    body["__doc__"] = CLASS_DOC;
    py::object cls = builtins.attr("type")("Access", py::make_tuple(builtins.attr("object")), body);

    def_method(
        cls, "__init__",
        [g](py::object self, py::object user_id, py::object permissions, py::object expiration, py::object key) {
            self.attr("_key_blob") = py::none();
            self.attr("user_id") = user_id;
            self.attr("permissions") = py::none();
            for (const char* name : {"created_at", "created_by", "modified_at", "modified_by"})
                self.attr(name) = py::none();

            py::object permissions_type = g["Permissions"];
            if (permissions.is_none())
                self.attr("permissions") = permissions_type();
            else if (PyLong_Check(permissions.ptr()))
                self.attr("permissions") = permissions_type(py::arg("value") = permissions);
            else if (is_instance(permissions, permissions_type))
                self.attr("permissions") = permissions;
            else
                norvo::bind::raise(PyExc_ValueError, "Cannot set permissions");

            if (!expiration.is_none() && !is_instance(expiration, g["datetime"]))
                norvo::bind::raise(PyExc_ValueError, "expiration must be a datetime if provided");
            self.attr("expiration") = expiration;

            if (truth(key)) self.attr("key_blob") = key;
        },
        py::arg("user_id"), py::arg("permissions") = py::none(), py::arg("expiration") = py::none(),
        py::arg("key") = py::none());

    cls.attr("key_blob") = make_property(
        py::cpp_function([g](py::object self) -> py::object {
            py::object held = self.attr("_key_blob");
            if (!held.is_none()) return held;
            return build_envelope(self, g["Envelope"]);
        }),
        py::cpp_function([g](py::object self, py::object value) {
            py::object envelope = g["Envelope"](py::arg("envelope_data") = value);
            self.attr("_key_blob") = envelope;
        }),
        "The unique keys required to decrypt the container, for this particular access: the "
        "recipient's Envelope, built on first read when none was given.");

    for (const char* name : {"created_at", "modified_at"}) {
        std::string field = std::string("_") + name;
        cls.attr(name) = make_property(
            py::cpp_function([field](py::object self) { return self.attr(field.c_str()); }),
            py::cpp_function([g, field](py::object self, py::object value) {
                py::object stored = value;
                if (!value.is_none() && !is_instance(value, g["datetime"]))
                    stored = g["arrow"].attr("get")(value).attr("datetime");
                self.attr(field.c_str()) = stored;
            }),
            "None or a datetime; other values are read as arrow reads them (ISO-8601 text, a POSIX timestamp, ...).");
    }

    for (const char* name : {"created_by", "modified_by"}) {
        std::string field = std::string("_") + name;
        cls.attr(name) = make_property(
            py::cpp_function([field](py::object self) { return self.attr(field.c_str()); }),
            py::cpp_function([g, field](py::object self, py::object value) {
                py::object stored = value.is_none() ? py::object(py::none()) : g["UUID"](value);
                self.attr(field.c_str()) = stored;
            }),
            "None or a user id, coerced with UUID.");
    }

    def_method(cls, "__repr__", [](py::object self) {
        return py::str("<Access Expires={} {}>").format(self.attr("expiration"), self.attr("permissions"));
    });

    def_method(
        cls, "__eq__",
        [g](py::object self, py::object other) {
            if (!is_instance(other, py::type::of(self))) return false;
            std::array<py::object, EQ_ATTRIBUTES.size()> results;
            for (std::size_t i = 0; i < EQ_ATTRIBUTES.size(); ++i) {
                py::object mine = read_or_none(self, EQ_ATTRIBUTES[i]);
                py::object theirs = read_or_none(other, EQ_ATTRIBUTES[i]);
                PyObject* r = PyObject_RichCompare(mine.ptr(), theirs.ptr(), Py_EQ);
                if (!r) throw py::error_already_set();
                results[i] = py::reinterpret_steal<py::object>(r);
            }
            if (norvo::bind::traces_enabled()) {
                py::object debug = g["log"].attr("debug");
                debug("Comparing Access Equality");
                for (std::size_t i = 0; i < EQ_ATTRIBUTES.size(); ++i) debug("%s %s", EQ_ATTRIBUTES[i], results[i]);
            }
            bool equal = true;
            for (const py::object& r : results) equal = truth(r) && equal;
            return equal;
        },
        py::arg("other"));

    def_method(
        cls, "__ne__", [](py::object self, py::object other) { return !truth(self.attr("__eq__")(other)); },
        py::arg("other"));

    // Equality without a hash: accesses are mutable and must not serve as keys.
    cls.attr("__hash__") = py::none();

    m.attr("Access") = cls;
}
