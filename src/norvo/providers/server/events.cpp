// norvo.providers.server.events: the broker's event feed, page by page.
//
// Keyword filters become the query of the "events" endpoint; pages are followed through
// "hasMore", each continued page asked for from the last event id received (or, after a page
// that brought nothing new, once from just above the highest); all events are then loaded at
// once into Event records.
#include "calls.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"

using norvo::bind::truthy;

namespace {

constexpr const char* TYPE_ERROR = "type can only be one of {types}";
constexpr const char* ACTION_ERROR = "action can only be one of {actions}";

bool contains(py::handle container, py::handle value) {
    int r = PySequence_Contains(container.ptr(), value.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// The id just above `highest`, to ask from when a page from `highest` only repeats it; none
// (a null object) when there is no such id to ask for.
py::object step_past(py::handle highest) {
    if (highest.is_none() || !PyLong_Check(highest.ptr()) || PyBool_Check(highest.ptr())) return py::object();
    return norvo::bind::steal(PyNumber_Add(highest.ptr(), py::int_(1).ptr()));
}

constexpr const char* GET_DOC = R"(Retrieves all events matching the filters, page after page.

:param type: "container" or "strongbox" (required)
:param container_id: only events of this container (a UUID)
:param container_type: only events of containers of this type
:param action: None, or one of "accessed", "added", "deleted", "updated"
:param starting_event_id: the first event id wanted (events with an id at least this value)
:return: the list of Event records, in the order they arrived
)";

}  // namespace

NORVO_MODULE(events, m, .doc = "Event retrieval from the broker's feed, with paging.", .signatures = false) {
    m.attr("log") = norvo::bind::logger("norvo.providers.server.event");
    m.attr("server") = norvo::bind::import("norvo.providers.server");
    m.attr("EventSchema") = norvo::bind::import("norvo.event").attr("EventSchema");
    py::object decorators = norvo::bind::import("norvo.decorators");
    m.attr("logged") = decorators.attr("logged");
    m.attr("login_required") = decorators.attr("login_required");

    norvo::bind::Globals g(m);

    py::object body = py::cpp_function(
        [g](py::kwargs kwargs) -> py::object {
            py::object log = g["log"];
            log.attr("debug")("Retrieving events: %s", kwargs);

            py::list types;
            types.append("container");
            types.append("strongbox");
            py::object event_type = kwargs["type"];
            if (!contains(types, event_type))
                norvo::bind::raise(py::handle(PyExc_ValueError), py::str(TYPE_ERROR).format(py::arg("types") = types));
            if (norvo::bind::compares(event_type, py::str("strongbox"))) event_type = py::str("keysFile");

            py::dict params;
            params["type"] = event_type;
            params["start"] = 0;
            if (kwargs.contains("container_id")) params["containerId"] = kwargs["container_id"];
            if (kwargs.contains("container_type")) params["containerType"] = kwargs["container_type"];
            if (kwargs.contains("action") && !py::object(kwargs["action"]).is_none()) {
                py::list actions;
                for (const char* a : {"accessed", "added", "deleted", "updated"}) actions.append(a);
                py::object action = kwargs["action"];
                if (!contains(actions, action))
                    norvo::bind::raise(py::handle(PyExc_ValueError), py::str(ACTION_ERROR).format(py::arg("actions") = actions));
                params["action"] = action;
            }
            if (kwargs.contains("starting_event_id")) params["start"] = kwargs["starting_event_id"];

            // A broker may answer "start" with the events whose id is at least that value, so a
            // continued page can begin with the last event already received. Only events above
            // the highest id received are kept. A continued page that brings none, though more
            // are said to follow, is asked for once more from just above that id: a broker
            // sending a page of one event would otherwise repeat it for ever. When that page
            // brings nothing new either, the paging ends with a warning rather than loop.
            py::list events;
            py::object highest = py::none();
            bool continued = false;
            bool stepped_past = false;
            while (true) {
                static const py::handle by_params = norvo::server::keyword_names({"params"});
                py::object client = g["server"].attr(NORVO_NAME("client"));
                py::object reply = norvo::server::call_method(client, NORVO_NAME("get"), by_params,
                                                              NORVO_NAME("events"), params);
                py::object response = norvo::server::call_method(reply, NORVO_NAME("json"), {});
                py::object page = response["events"];
                std::size_t fresh = 0;
                for (py::handle item : page) {
                    py::object id = py::none();
                    if (PyMapping_Check(item.ptr()) && contains(item, py::str("eventId"))) id = item["eventId"];
                    if (continued && !highest.is_none() && !id.is_none() &&
                        !norvo::bind::compares(id, highest, Py_GT))
                        continue;
                    events.append(item);
                    ++fresh;
                    if (!id.is_none() && (highest.is_none() || norvo::bind::compares(id, highest, Py_GT)))
                        highest = id;
                }
                if (!truthy(response["hasMore"])) break;
                if (continued && fresh == 0) {
                    py::object next = stepped_past ? py::object() : step_past(highest);
                    if (!next) {
                        log.attr("warning")("Event paging stopped: the page from %s brought no new event.",
                                            params["start"]);
                        break;
                    }
                    params["start"] = next;
                    stepped_past = true;
                    continue;
                }
                params["start"] = page[py::int_(-1)]["eventId"];
                continued = true;
                stepped_past = false;
            }

            py::object result = g["EventSchema"](py::arg("many") = true).attr("load")(events);
            py::object errors = result.attr("errors");
            if (truthy(errors)) log.attr("warning")("Schema load errors: %s", errors);
            py::object data = result.attr("data");
            log.attr("debug")("Events: %s", data);
            return data;
        },
        py::name("get"), py::scope(m), py::doc(GET_DOC));

    py::object guarded = g["login_required"](g["server"])(body);
    m.attr("get") = g["logged"](g["log"])(guarded);
}
