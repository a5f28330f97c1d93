// norvo.event: the record of one event of the broker's feed, and the schema that loads it.
//
// `Event` is an attrs record and `EventSchema` a marshmallow schema on our version-2 layer
// (norvo._schema), which keeps the loading rules the schema was written for; both are built
// here by calling those libraries, with the post-load hook written in C++.
#include "callable.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"

#include <array>

namespace {

struct FieldSpec {
    const char* name;      // attribute of the record and field of the schema
    const char* type;      // field class of norvo._schema
    const char* wire_key;  // key of the broker's object when it differs from `name`, else null
    bool optional;         // may be null, and may be absent altogether
};

// Declaration order: the order of the record's parameters, of its text form and of comparisons.
constexpr std::array<FieldSpec, 11> FIELDS{{
    {"action", "Str", nullptr, false},
    {"id", "Int", "eventId", false},
    {"changes", "Dict", nullptr, true},
    {"client_app_name", "Str", "clientAppName", true},
    {"container_expired_at", "DateTime", "containerExpiredAt", true},
    {"container_id", "UUID", "containerId", true},
    {"container_modified_at", "DateTime", "containerModifiedAt", true},
    {"container_type", "Str", "containerType", true},
    {"date", "DateTime", nullptr, false},
    {"related_user_id", "UUID", "relatedUserId", true},
    {"type", "Str", nullptr, false},
}};

constexpr const char* EVENT_DOC = R"(One event of the broker's feed: something happened to a container or to a key file.

action                 "accessed", "added", "deleted" or "updated"
id                     the event's number; event ids keep increasing
changes                mapping of each changed field to its updated value, or None
client_app_name        the application responsible, when its settings disclose it, or None
container_expired_at   when the container expired, or None
container_id           the container the event relates to, or None
container_modified_at  when the container's content was last modified, or None
container_type         the container's type, or None
date                   when the event occurred
related_user_id        the other user behind the event, or None
type                   the event kind: "container" or "strongbox"
)";

constexpr const char* SCHEMA_DOC =
    "Loads the broker's event objects (decoded JSON) into Event records.\n\n"
    "Bad values are reported in the load's errors and never raised. A key that the broker\n"
    "leaves out for an optional field loads as None; a missing mandatory key is a field error.";

}  // namespace

NORVO_MODULE(event, m, .doc = "Event records of the broker's event feed and their loader.", .signatures = false) {
    m.attr("log") = norvo::bind::logger("norvo.event");

    py::object attr = norvo::bind::import("attr");
    py::object schema_layer = norvo::bind::import("norvo._schema");

    // The record: eleven plain attributes, no defaults, validators or converters.
    py::list names;
    for (const FieldSpec& f : FIELDS) names.append(f.name);
    py::object event_cls = attr.attr("make_class")("Event", names);
    norvo::bind::set_module(event_cls, m);
    event_cls.attr("__doc__") = EVENT_DOC;
    m.attr("Event") = event_cls;

    py::cpp_function make_event(
        [event_cls](py::object /*schema*/, py::object data) -> py::object {
            // Event(**data): a mapping's keys become the keyword arguments.
            py::dict kwargs;
            if (PyDict_Check(data.ptr()) || py::hasattr(data, "keys")) {
                if (PyDict_Merge(kwargs.ptr(), data.ptr(), 1) != 0) throw py::error_already_set();
            } else {
                norvo::bind::raise(PyExc_TypeError,
                                   std::string("make_event() argument after ** must be a mapping, not ") +
                                       Py_TYPE(data.ptr())->tp_name);
            }
            return norvo::bind::steal(PyObject_Call(event_cls.ptr(), py::tuple().ptr(), kwargs.ptr()));
        },
        py::name("make_event"), py::arg("schema"), py::arg("data"));

    // marshmallow finds its hooks by the attributes its decorators set on them.
    py::object hook = schema_layer.attr("post_load")(
        norvo::bind::make_function("norvo.event", "EventSchema.make_event", make_event, {norvo::bind::Param{"data", {}}},
                                   "Turns one object's loaded values into an Event."));

    py::dict body = norvo::bind::class_namespace(m, "EventSchema", SCHEMA_DOC);
    for (const FieldSpec& f : FIELDS) {
        py::dict kw;
        if (f.wire_key) kw["load_from"] = f.wire_key;
        if (f.optional) {
            // Whether the broker sends an optional key at all depends on the application's
            // settings (clientAppName, for one); an absent key means the same as null.
            kw["allow_none"] = true;
            kw["load_default"] = py::none();
        } else {
            // A mandatory key that is absent is bad input like a null one: reported in the
            // load's errors instead of aborting the whole load.
            kw["required"] = true;
        }
        body[f.name] = schema_layer.attr(f.type)(**kw);
    }
    body["make_event"] = hook;

    py::object schema = schema_layer.attr("Schema");
    m.attr("EventSchema") = norvo::bind::make_class("EventSchema", py::make_tuple(schema), body, py::type::of(schema));
}
