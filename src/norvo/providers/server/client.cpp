// norvo.providers.server.client: the REST client of the broker service.
//
// Each request goes through the process-wide broker session, which adds the broker headers
// and the signed authorisation. Four statuses become this module's error classes and are
// retried with exponentially growing waits; other failing statuses raise the HTTP library's
// error with the request id appended, at once.
#include "calls.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "masking.hpp"
#include "module.hpp"
#include "retry_policy.hpp"

#include <array>

using norvo::bind::truthy;

namespace {

struct ErrorSpec {
    const char* name;
    int status;
    const char* doc;
};

// The status map as callers rely on it: 501 is the "bad gateway" class and 502 the "service
// unavailable" one; 503 and every other status are not mapped and not retried.
constexpr std::array<ErrorSpec, 4> ERRORS{{
    {"HttpTooManyRequestsError", 429, "Try again later."},
    {"HttpInternalServerError", 500, "Internal server error."},
    {"HttpBadGatewayError", 501, "Bad gateway."},
    {"HttpServiceUnavailableError", 502, "Service unavailable."},
}};

// Bound at load and never freed: a request may come while the interpreter finalises.
struct Stock {
    norvo::bind::Globals g;
    // The last base of the targets with what it was made from: (URL, API_VERSION, urljoin,
    // base), kept while the URL and the version are text (or no URL), which cannot change
    // under the same object. Held here, none of them is freed and its address given to another.
    py::object made;
};
Stock* S = nullptr;

// "v1.0" resolved against the base URL as a relative reference, made again only when one of
// the module's names it comes from is bound to another object.
py::object base_of(const norvo::bind::Globals& g) {
    py::object url = g[NORVO_NAME("URL")];
    py::object version = g[NORVO_NAME("API_VERSION")];
    const bool joined = truthy(url);
    py::object join = joined ? g[NORVO_NAME("urljoin")] : py::object(py::none());
    const bool text = (url.is_none() || PyUnicode_CheckExact(url.ptr())) && PyUnicode_CheckExact(version.ptr());
    PyObject* made = S->made.ptr();
    if (text && made && PyTuple_GET_ITEM(made, 0) == url.ptr() && PyTuple_GET_ITEM(made, 1) == version.ptr() &&
        PyTuple_GET_ITEM(made, 2) == join.ptr())
        return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(made, 3));
    py::object base = norvo::bind::steal(PyObject_Str(joined ? norvo::server::call(join, {}, url, version).ptr()
                                                             : version.ptr()));
    if (text) S->made = py::make_tuple(url, version, join, base);
    return base;
}

// The base, then the path with one leading and one trailing slash.
py::object target(const norvo::bind::Globals& g, py::handle path) {
    py::object p = norvo::bind::steal(PyObject_Str(path.ptr()));
    py::handle slash = NORVO_NAME("/");
    for (int end : {-1, 1}) {
        Py_ssize_t has = PyUnicode_Tailmatch(p.ptr(), slash.ptr(), 0, PY_SSIZE_T_MAX, end);
        if (has < 0) throw py::error_already_set();
        if (has) continue;
        p = norvo::bind::steal(end < 0 ? PyUnicode_Concat(slash.ptr(), p.ptr())
                                       : PyUnicode_Concat(p.ptr(), slash.ptr()));
    }
    return norvo::bind::steal(PyUnicode_Concat(base_of(g).ptr(), p.ptr()));
}

// One attempt: (method, path, json, data, params, auth).
py::object attempt(const norvo::bind::Call& c) {
    const norvo::bind::Globals& g = S->g;
    py::handle method = c.args[0], path = c.args[1], params = c.args[4];
    auto secrets = norvo::server::secrets_of_params(params);
    py::object response;
    try {
        static const py::handle names = norvo::server::keyword_names({"json", "data", "params", "auth"});
        response = norvo::server::call_method(g[NORVO_NAME("session")], NORVO_NAME("request"), names, method,
                                              target(g, path), c.args[2], c.args[3], params, c.args[5]);
        norvo::server::raise_mapped_status(g, response);
        norvo::server::call_method(response, NORVO_NAME("raise_for_status"), {});
    } catch (py::error_already_set& e) {
        // The session's own refusals (a redirect it will not follow) are HTTP errors
        // too, and carry the request id like those of a failing status.
        if (!e.matches(g["requests"].attr("HTTPError"))) throw;
        py::object error = e.value();
        py::object sent = error.attr("request");
        if (!sent.is_none()) {
            py::object req_id = sent.attr("headers")["X-Request-Id"];
            py::str text = py::str(error.attr("args")[py::int_(0)]) + py::str("  Request ID: ") + py::str(req_id);
            error.attr("args") = py::make_tuple(text);
        }
        // The text names the URL, which for a refused login holds its verification.
        norvo::server::scrub_exception(error, secrets);
        throw;
    }
    return response;
}

// The four operations: `_make_request(<method>, path, ...)`, `_make_request` read when called.
py::object get(const norvo::bind::Call& c) {
    static const py::handle names = norvo::server::keyword_names({"params", "auth"});
    return norvo::server::call(S->g[NORVO_NAME("_make_request")], names, NORVO_NAME("get"), c.args[0], c.args[1],
                               c.args[2]);
}

py::object post(const norvo::bind::Call& c) {
    static const py::handle names = norvo::server::keyword_names({"json", "data", "auth"});
    return norvo::server::call(S->g[NORVO_NAME("_make_request")], names, NORVO_NAME("post"), c.args[0], c.args[1],
                               c.args[2], c.args[3]);
}

py::object put(const norvo::bind::Call& c) {
    static const py::handle names = norvo::server::keyword_names({"json", "data", "auth"});
    return norvo::server::call(S->g[NORVO_NAME("_make_request")], names, NORVO_NAME("put"), c.args[0], c.args[1],
                               c.args[2], c.args[3]);
}

py::object delete_(const norvo::bind::Call& c) {
    static const py::handle names = norvo::server::keyword_names({"auth"});
    return norvo::server::call(S->g[NORVO_NAME("_make_request")], names, NORVO_NAME("delete"), c.args[0],
                               c.args[1]);
}

constexpr const char* MAKE_REQUEST_DOC =
    "One request to the broker under the retry policy: the statuses of the status map raise their\n"
    "class and are retried; other failing statuses raise the HTTP library's error with the\n"
    "request id appended.";

}  // namespace

NORVO_MODULE(client, m,
             .doc = "The broker's REST client: URLs under the API version, the status map, error classes and retries.",
             .signatures = false) {
    using norvo::bind::import;
    m.attr("session") = import("norvo.providers.server.session").attr("session");
    m.attr("requests") = import("requests");
    m.attr("urljoin") = import("urllib.parse").attr("urljoin");
    m.attr("URL") = py::none();
    m.attr("API_VERSION") = "v1.0";
    m.attr("log") = norvo::bind::logger("norvo.providers.server.client");

    S = new Stock{norvo::bind::Globals(m), {}};
    const norvo::bind::Globals& g = S->g;

    py::dict status_map;
    for (const ErrorSpec& e : ERRORS) {
        py::object cls = norvo::bind::make_class(e.name, py::make_tuple(py::handle(PyExc_Exception)),
                                                 norvo::bind::class_namespace(m, e.name, e.doc));
        m.attr(e.name) = cls;
        status_map[py::int_(e.status)] = cls;
    }
    m.attr("_retry_exceptions") = status_map;

    m.attr("_retry_on_exception") = py::cpp_function(
        [g](py::object exception) -> bool {
            g["log"].attr("debug")("Exception making request.", py::arg("exc_info") = exception);
            py::tuple classes = py::tuple(g["_retry_exceptions"].attr("values")());
            int r = PyObject_IsInstance(exception.ptr(), classes.ptr());
            if (r < 0) throw py::error_already_set();
            return r != 0;
        },
        py::name("_retry_on_exception"), py::scope(m), py::arg("exception"), py::doc("Return True if we should retry."));

    using norvo::server::function;
    const py::object none = py::none(), yes = py::bool_(true), required;
    py::object one_attempt =
        function(m, "_make_request", attempt,
                 {{"method", required}, {"path", required}, {"json", none}, {"data", none}, {"params", none},
                  {"auth", yes}},
                 MAKE_REQUEST_DOC);
    m.attr("_make_request") = norvo::server::retried(m, g, one_attempt);

    m.attr("get") = function(m, "get", get, {{"path", required}, {"params", none}, {"auth", yes}},
                             "GET `path` from the broker.");
    m.attr("post") = function(m, "post", post, {{"path", required}, {"json", none}, {"data", none}, {"auth", yes}},
                              "POST a JSON object or a body to `path`.");
    m.attr("put") = function(m, "put", put, {{"path", required}, {"json", none}, {"data", none}, {"auth", yes}},
                             "PUT a JSON object or a body to `path`.");
    m.attr("delete") =
        function(m, "delete", delete_, {{"path", required}, {"auth", yes}}, "DELETE `path` on the broker.");
}
