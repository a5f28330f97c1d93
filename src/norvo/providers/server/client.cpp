// norvo.providers.server.client: the REST client of the broker service.
//
// Each request goes through the process-wide broker session, which adds the broker headers
// and the signed authorisation. Four statuses become this module's error classes and are
// retried with exponentially growing waits; other failing statuses raise the HTTP library's
// error with the request id appended, at once.
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

// "v1.0" resolved against the base URL as a relative reference, then the path with one
// leading and one trailing slash.
py::str target(const norvo::bind::Globals& g, py::object path) {
    py::str p = py::str(path);
    if (!truthy(p.attr("startswith")("/"))) p = py::str("/") + p;
    if (!truthy(p.attr("endswith")("/"))) p = p + py::str("/");
    py::object url = g["URL"];
    py::object base = truthy(url) ? g["urljoin"](url, g["API_VERSION"]) : py::object(g["API_VERSION"]);
    return py::str(base) + p;
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
    m.attr("retry") = import("retrying").attr("retry");
    m.attr("urljoin") = import("urllib.parse").attr("urljoin");
    m.attr("URL") = py::none();
    m.attr("API_VERSION") = "v1.0";
    m.attr("log") = norvo::bind::logger("norvo.providers.server.client");

    norvo::bind::Globals g(m);

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

    py::object attempt = py::cpp_function(
        [g](py::object method, py::object path, py::object json, py::object data, py::object params,
            py::object auth) -> py::object {
            auto secrets = norvo::server::secrets_of_params(params);
            py::object response;
            try {
                response = g["session"].attr("request")(method, target(g, path), py::arg("json") = json,
                                                        py::arg("data") = data, py::arg("params") = params,
                                                        py::arg("auth") = auth);
                norvo::server::raise_mapped_status(g, response);
                response.attr("raise_for_status")();
            } catch (py::error_already_set& e) {
                // The session's own refusals (a redirect it will not follow) are HTTP errors
                // too, and carry the request id like those of a failing status.
                if (!e.matches(g["requests"].attr("HTTPError"))) throw;
                py::object error = e.value();
                py::object sent = error.attr("request");
                if (!sent.is_none()) {
                    py::object req_id = sent.attr("headers")["X-Request-Id"];
                    py::str text =
                        py::str(error.attr("args")[py::int_(0)]) + py::str("  Request ID: ") + py::str(req_id);
                    error.attr("args") = py::make_tuple(text);
                }
                // The text names the URL, which for a refused login holds its verification.
                norvo::server::scrub_exception(error, secrets);
                throw;
            }
            return response;
        },
        py::name("_make_request"), py::scope(m), py::arg("method"), py::arg("path"), py::arg("json") = py::none(),
        py::arg("data") = py::none(), py::arg("params") = py::none(), py::arg("auth") = true,
        py::doc(MAKE_REQUEST_DOC));
    m.attr("_make_request") = norvo::server::retried(g, attempt);

    m.def(
        "get",
        [g](py::object path, py::object params, py::object auth) {
            return g["_make_request"]("get", path, py::arg("params") = params, py::arg("auth") = auth);
        },
        py::arg("path"), py::arg("params") = py::none(), py::arg("auth") = true, py::doc("GET `path` from the broker."));
    m.def(
        "post",
        [g](py::object path, py::object json, py::object data, py::object auth) {
            return g["_make_request"]("post", path, py::arg("json") = json, py::arg("data") = data,
                                      py::arg("auth") = auth);
        },
        py::arg("path"), py::arg("json") = py::none(), py::arg("data") = py::none(), py::arg("auth") = true,
        py::doc("POST a JSON object or a body to `path`."));
    m.def(
        "put",
        [g](py::object path, py::object json, py::object data, py::object auth) {
            return g["_make_request"]("put", path, py::arg("json") = json, py::arg("data") = data,
                                      py::arg("auth") = auth);
        },
        py::arg("path"), py::arg("json") = py::none(), py::arg("data") = py::none(), py::arg("auth") = true,
        py::doc("PUT a JSON object or a body to `path`."));
    m.def(
        "delete",
        [g](py::object path, py::object auth) { return g["_make_request"]("delete", path, py::arg("auth") = auth); },
        py::arg("path"), py::arg("auth") = true, py::doc("DELETE `path` on the broker."));
}
