// norvo.providers.server.events: the broker's event feed, page by page.
//
// Keyword filters become the query of the "events" endpoint; pages are followed through
// "hasMore", each continued page asked for from the last event id received (or, after a page
// that brought nothing new, once from just above the highest); repeats of an event already
// received are dropped, and all events are then loaded at once into Event records.
#include "calls.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"
#include "scope.hpp"

using norvo::bind::truthy;

namespace {

constexpr const char* TYPE_ERROR = "type can only be one of {types}";
constexpr const char* ACTION_ERROR = "action can only be one of {actions}";

bool contains(py::handle container, py::handle value) {
    int r = PySequence_Contains(container.ptr(), value.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

bool is_integer(py::handle value) { return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr()); }

// The id just above `highest` (an integer), to ask from when a page from `highest` only
// repeats it.
py::object step_past(py::handle highest) { return norvo::bind::steal(PyNumber_Add(highest.ptr(), py::int_(1).ptr())); }

// The event id of an event object, or None when it carries none.
py::object event_id(py::handle item) {
    if (PyDict_Check(item.ptr())) {
        PyObject* id = PyDict_GetItemWithError(item.ptr(), NORVO_NAME("eventId").ptr());
        if (!id && PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_borrow<py::object>(id ? id : Py_None);
    }
    if (PyMapping_Check(item.ptr()) && !PySequence_Check(item.ptr()) && contains(item, NORVO_NAME("eventId")))
        return item[NORVO_NAME("eventId")];
    return py::none();
}

// The event ids received in one call. An id is a repeat only when it equals one received
// before, whatever its type and the order in which they came: ids that hash are kept in a
// set, any other (a list or an object, as a broker may send) compared one by one.
class Received {
public:
    // Whether `id` is new; it is counted as received from now on.
    bool add(py::handle id) {
        if (PyObject_Hash(id.ptr()) == -1) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
            PyErr_Clear();
            for (py::handle seen : unhashable_)
                if (norvo::bind::compares(seen, id)) return false;
            unhashable_.append(id);
            return true;
        }
        int seen = PySet_Contains(hashable_.ptr(), id.ptr());
        if (seen < 0) throw py::error_already_set();
        if (seen) return false;
        if (PySet_Add(hashable_.ptr(), id.ptr()) != 0) throw py::error_already_set();
        return true;
    }

private:
    py::set hashable_;
    py::list unhashable_;
};

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
            // continued page can begin with the last event already received: an event whose id
            // was received before in this call is dropped. A continued page that brings none,
            // though more are said to follow, is asked for once more from just above the highest
            // integer id received: a broker sending a page of one event would otherwise repeat
            // it for ever. When that page brings nothing new either, the paging ends with a
            // warning rather than loop. The pages are fetched as the user logged in now: one
            // logging in meanwhile does not get the rest of them asked for in their name.
            py::list events;
            py::object session = g["server"].attr(NORVO_NAME("session"));
            py::object binding = session.attr(NORVO_NAME("bound_to"))(session.attr(NORVO_NAME("user")));
            norvo::bind::with_context(binding, [&](py::object) {
                Received received;
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
                        py::object id = event_id(item);
                        if (!id.is_none() && !received.add(id)) continue;
                        events.append(item);
                        ++fresh;
                        if (is_integer(id) && (highest.is_none() || norvo::bind::compares(id, highest, Py_GT)))
                            highest = id;
                    }
                    if (!truthy(response["hasMore"])) break;
                    if (continued && fresh == 0) {
                        if (stepped_past || highest.is_none()) {
                            log.attr("warning")("Event paging stopped: the page from %s brought no new event.",
                                                params["start"]);
                            break;
                        }
                        params["start"] = step_past(highest);
                        stepped_past = true;
                        continue;
                    }
                    params["start"] = page[py::int_(-1)]["eventId"];
                    continued = true;
                    stepped_past = false;
                }
            });

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
