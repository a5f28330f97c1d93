// norvo.access: one user's access to one container.
//
// An access carries the recipient's id, permission flags, an optional expiry, four audit
// fields and the recipient's key envelope. An access made without a key builds its envelope
// on the first read of `key_blob`, through the provider package, and keeps it.
#include "classes.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"
#include "scope.hpp"

#include <array>

using norvo::bind::add_method;
using norvo::bind::make_property;
using norvo::bind::truthy;

namespace {

// Attributes compared by equality, in the order they are compared and traced: the name the
// trace prints and the attribute read. The envelope is compared as held: reading `key_blob`
// would build one (provider calls, a fresh ephemeral key, a signature), so comparing would
// act, fail when nobody is logged in, and leave two equal accesses unequal afterwards.
struct Compared {
    const char* name;
    const char* read;
};
constexpr std::array<Compared, 8> EQ_ATTRIBUTES{{
    {"user_id", "user_id"},
    {"key_blob", "_key_blob"},
    {"created_at", "created_at"},
    {"created_by", "created_by"},
    {"modified_at", "modified_at"},
    {"modified_by", "modified_by"},
    {"expiration", "expiration"},
    {"permissions", "permissions"},
}};

// Builds the recipient's envelope inside the provider scope: the logged-in user's key ring
// signs, the recipient's key ring (looked up by the access's user id) receives.
py::object build_envelope(py::handle self, py::handle envelope_type) {
    py::object manager = norvo::bind::import_from("norvo", "providers").attr("get")();
    norvo::bind::with_context(manager, [&](py::object provider) {
        py::object sender = provider.attr("session").attr("user");
        // A sender must be logged in. Checked whatever the interpreter's optimisation flag:
        // without it the build would fail later on a missing key ring.
        if (sender.is_none()) norvo::bind::assertion_failed();
        py::object container_id = self.attr("container").attr("id");
        py::object container_keys = self.attr("container").attr("container_keys");
        py::object sender_keys = sender.attr("keys");
        py::object recip_keys = provider.attr("keys").attr("get")(self.attr("user_id"));
        py::object envelope = envelope_type(py::arg("container_id") = container_id,
                                            py::arg("container_keys") = container_keys,
                                            py::arg("sender_keys") = sender_keys, py::arg("recip_keys") = recip_keys);
        self.attr("_key_blob") = envelope;
    });
    return self.attr("_key_blob");
}

// The audit fields' setters. An id is stored as None or as the module's UUID makes it; a time
// as None or a datetime as given, anything else as arrow reads it (`arrow.get(value).datetime`,
// a zone-aware date-time).
py::object audit_id(const norvo::bind::Globals& g, py::object value) {
    if (value.is_none()) return value;
    return g["UUID"](std::move(value));
}

py::object audit_time(const norvo::bind::Globals& g, py::object value) {
    if (value.is_none() || py::isinstance(value, g["datetime"])) return value;
    return g["arrow"].attr("get")(value).attr("datetime");
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

NORVO_MODULE(access, m,
             .doc = "One user's access to a container: permissions, expiry, audit fields and key envelope.",
             .signatures = false) {
    m.attr("log") = norvo::bind::logger("norvo.access");
    using norvo::bind::import;
    m.attr("arrow") = import("arrow");
    m.attr("datetime") = import("datetime").attr("datetime");
    m.attr("Permissions") = import("norvo.permissions").attr("Permissions");
    m.attr("Envelope") = import("norvo.crypto.envelope").attr("Envelope");
    m.attr("UUID") = import("norvo.utils").attr("UUID");

    norvo::bind::Globals g(m);

    py::object cls = norvo::bind::make_class("Access", py::make_tuple(norvo::bind::builtin(PyBaseObject_Type)),
                                             norvo::bind::class_namespace(m, "Access", CLASS_DOC));

    add_method(
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
            else if (py::isinstance(permissions, permissions_type))
                self.attr("permissions") = permissions;
            else
                norvo::bind::raise(PyExc_ValueError, "Cannot set permissions");

            if (!expiration.is_none() && !py::isinstance(expiration, g["datetime"]))
                norvo::bind::raise(PyExc_ValueError, "expiration must be a datetime if provided");
            self.attr("expiration") = expiration;

            if (truthy(key)) self.attr("key_blob") = key;
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
                self.attr(field.c_str()) = audit_time(g, std::move(value));
            }),
            "None or a datetime; other values are read as arrow reads them (ISO-8601 text, a POSIX timestamp, ...).");
    }

    for (const char* name : {"created_by", "modified_by"}) {
        std::string field = std::string("_") + name;
        cls.attr(name) = make_property(
            py::cpp_function([field](py::object self) { return self.attr(field.c_str()); }),
            py::cpp_function([g, field](py::object self, py::object value) {
                self.attr(field.c_str()) = audit_id(g, std::move(value));
            }),
            "None or a user id, coerced with UUID.");
    }

    add_method(cls, "__repr__", [](py::object self) {
        return py::str("<Access Expires={} {}>").format(self.attr("expiration"), self.attr("permissions"));
    });

    add_method(
        cls, "__eq__",
        [g](py::object self, py::object other) {
            if (!py::isinstance(other, py::type::of(self))) return false;
            std::array<py::object, EQ_ATTRIBUTES.size()> results;
            for (std::size_t i = 0; i < EQ_ATTRIBUTES.size(); ++i) {
                py::object mine = norvo::bind::getattr_or_none(self, EQ_ATTRIBUTES[i].read);
                py::object theirs = norvo::bind::getattr_or_none(other, EQ_ATTRIBUTES[i].read);
                results[i] = norvo::bind::rich_compare(mine, theirs);
            }
            if (norvo::bind::traces_enabled()) {
                py::object debug = g["log"].attr("debug");
                debug("Comparing Access Equality");
                for (std::size_t i = 0; i < EQ_ATTRIBUTES.size(); ++i) debug("%s %s", EQ_ATTRIBUTES[i].name, results[i]);
            }
            bool equal = true;
            for (const py::object& r : results) equal = truthy(r) && equal;
            return equal;
        },
        py::arg("other"));

    norvo::bind::add_ne(cls, py::arg("other"));

    // Equality without a hash: accesses are mutable and must not serve as keys.
    cls.attr("__hash__") = py::none();

    m.attr("Access") = cls;
}
