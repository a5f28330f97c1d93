// norvo.permissions: the eight permission flags of one user's access to one container.
//
// The flags live in plain attribute namespaces that callers read and assign directly
// (p.container.type.view = True); the object keeps no integer of its own, so every
// conversion reads the flags as they stand at that moment.
#include "classes.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"

using norvo::bind::add_method;
using norvo::bind::steal;
using norvo::bind::truthy;

namespace {

struct Flag {
    const char* path;      // dotted name below the object, as the text form prints it
    const char* group;     // first namespace
    const char* sub;       // nested namespace below `group`, or null
    const char* name;      // the flag's attribute
    const char* constant;  // the class constant holding its bit position
};

// Declaration order: the order in which flags are built, packed and printed. It is not bit order.
constexpr Flag FLAGS[] = {
    {"container.download", "container", nullptr, "download", "_container_download_bit"},
    {"container.decrypt", "container", nullptr, "decrypt", "_container_decrypt_bit"},
    {"container.upload", "container", nullptr, "upload", "_container_upload_bit"},
    {"container.access_events", "container", nullptr, "access_events", "_container_access_events_bit"},
    {"container.type.view", "container", "type", "view", "_container_type_view_bit"},
    {"container.type.modify", "container", "type", "modify", "_container_type_modify_bit"},
    {"access.view", "access", nullptr, "view", "_access_view_bit"},
    {"access.modify", "access", nullptr, "modify", "_access_modify_bit"},
};
constexpr std::size_t FLAG_COUNT = sizeof(FLAGS) / sizeof(FLAGS[0]);

// The class constants in the order the class declares them (bit order).
constexpr std::pair<const char*, int> BIT_CONSTANTS[] = {
    {"_container_download_bit", 0},     {"_container_decrypt_bit", 1},      {"_container_upload_bit", 2},
    {"_access_view_bit", 3},            {"_access_modify_bit", 4},          {"_container_type_modify_bit", 5},
    {"_container_type_view_bit", 6},    {"_container_access_events_bit", 7},
};

// value & (1 << offset), with the interpreter's own operators so that any integer-like value
// (negative ones in two's complement, huge ones truncated to the bit asked for) behaves alike.
bool test_bit(py::handle value, py::handle offset) {
    py::object one = py::int_(1);
    py::object mask = steal(PyNumber_Lshift(one.ptr(), offset.ptr()));
    py::object bit = steal(PyNumber_And(value.ptr(), mask.ptr()));
    return truthy(bit);
}

py::object read_flag(py::handle self, const Flag& f) {
    py::object ns = self.attr(f.group);
    if (f.sub) ns = ns.attr(f.sub);
    return ns.attr(f.name);
}

// The integer form: each flag shifted by its bit, or-ed together left to right. The bit
// positions are read from the object on every call.
py::object int_form(py::handle self) {
    py::object acc;
    for (const Flag& f : FLAGS) {
        py::object flag = read_flag(self, f);
        py::object bit = self.attr(f.constant);
        py::object shifted = steal(PyNumber_Lshift(flag.ptr(), bit.ptr()));
        acc = acc ? steal(PyNumber_Or(acc.ptr(), shifted.ptr())) : shifted;
    }
    return acc;
}

constexpr const char* CLASS_DOC = R"(The eight permission flags of one user's access to one container.

The flags are plain booleans in attribute namespaces, changed by assignment::

    >>> Permissions()
    <Permission(container.download|container.decrypt|container.upload|container.access_events|container.type.view|container.type.modify|access.view|access.modify) int=255>
    >>> p = Permissions()
    >>> p.container.download = False
    >>> p.container.decrypt = False
    >>> int(p)
    252
    >>> p = Permissions(value=0)
    >>> p.access.view = True
    >>> p
    <Permission(access.view) int=8>
    >>> Permissions(value=42)
    <Permission(container.decrypt|container.type.modify|access.view) int=42>

The integer form (bit n set when the flag of bit n is set) is the stored form. Some
combinations have adverse effects at the broker: access.modify without access.view lets an
update drop every other user; upload with access.view but without access.modify is rejected,
since uploading re-keys every access; without upload an update may be rejected; without
download or decrypt a container fetched from the broker carries no data.
)";

}  // namespace

NORVO_MODULE(permissions, m,
             .doc = "Permission flags of an access to a container, and the recipients' default flags.",
             .signatures = false) {
    py::object namespace_type = norvo::bind::import("types").attr("SimpleNamespace");

    py::dict body = norvo::bind::class_namespace(m, "Permissions", CLASS_DOC);
    for (const auto& [name, bit] : BIT_CONSTANTS) body[name] = bit;
    py::object cls =
        norvo::bind::make_class("Permissions", py::make_tuple(norvo::bind::builtin(PyBaseObject_Type)), body);

    add_method(
        cls, "__init__",
        [namespace_type](py::object self, py::object value) {
            bool bits[FLAG_COUNT];
            for (std::size_t i = 0; i < FLAG_COUNT; ++i) bits[i] = test_bit(value, self.attr(FLAGS[i].constant));
            py::object type_ns = namespace_type(py::arg("view") = bits[4], py::arg("modify") = bits[5]);
            self.attr("container") =
                namespace_type(py::arg("download") = bits[0], py::arg("decrypt") = bits[1],
                               py::arg("upload") = bits[2], py::arg("access_events") = bits[3],
                               py::arg("type") = type_ns);
            self.attr("access") = namespace_type(py::arg("view") = bits[6], py::arg("modify") = bits[7]);
        },
        py::arg("value") = 255, py::doc("Takes the flags from bits 0 to 7 of the integer `value`."));

    add_method(
        cls, "_test_bit", [](py::object, py::object value, py::object offset) { return test_bit(value, offset); },
        py::arg("value"), py::arg("offset"), py::doc("True when bit `offset` of `value` is set."));

    add_method(
        cls, "__int__", [](py::object self) { return int_form(self); },
        py::doc("The flags as one integer: bit n set when the flag of bit n is set."));

    add_method(
        cls, "__repr__",
        [](py::object self) {
            py::list names;
            for (const Flag& f : FLAGS)
                if (truthy(read_flag(self, f))) names.append(py::str(f.path));
            py::object number = steal(PyNumber_Long(self.ptr()));
            return py::str("<Permission({}) int={}>").format(py::str("|").attr("join")(names), number);
        },
        py::doc("Prints the flags of all permissions that are set."));

    // Only another Permissions or an integer (anything with an exact integer form, bool included)
    // can be equal. Everything else (None, text, floats) is unequal rather than an error, so that
    // `p in [None, q]` and comparisons against mixed values work.
    add_method(
        cls, "__eq__",
        [cls](py::object self, py::object other) {
            py::object mine = steal(PyNumber_Long(self.ptr()));
            py::object theirs;
            if (py::isinstance(other, cls))
                theirs = steal(PyNumber_Long(other.ptr()));
            else if (PyIndex_Check(other.ptr()))
                theirs = steal(PyNumber_Index(other.ptr()));
            else
                return false;
            return mine.equal(theirs);
        },
        py::arg("other"),
        py::doc("Equal to another Permissions or an integer with the same integer form; unequal to anything else."));

    norvo::bind::add_ne(cls, py::arg("other"));

    // Equality without a hash: permissions are mutable and must not serve as keys.
    cls.attr("__hash__") = py::none();

    m.attr("Permissions") = cls;
    // One object shared by the whole process: download, decrypt, access events and access view.
    m.attr("DEFAULT_RECIP_PERMISSIONS") = cls(py::arg("value") = (1 << 0) | (1 << 1) | (1 << 7) | (1 << 3));
}
