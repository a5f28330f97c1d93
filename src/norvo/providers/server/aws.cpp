// norvo.providers.server.aws: object-storage transfers by full URL.
//
// Each transfer is a one-off request of the HTTP library, outside the broker session: no broker
// headers, no request id, no authorisation, no shared connection. The REST client's status map,
// retry predicate and retry policy apply. A ranged download must come back as exactly the
// slice asked for.
#include "norvo_bind.hpp"
#include "retry_policy.hpp"

#include <charconv>
#include <optional>
#include <string>
#include <utility>

using norvo::bind::truthy;

namespace {

// "bytes=a-b" as the pair (a, b); any other form gives nothing.
std::optional<std::pair<long long, long long>> parse_range(const std::string& text) {
    const std::string prefix = "bytes=";
    if (text.rfind(prefix, 0) != 0) return std::nullopt;
    const char* p = text.data() + prefix.size();
    const char* end = text.data() + text.size();
    long long first = 0, last = 0;
    auto r1 = std::from_chars(p, end, first);
    if (r1.ec != std::errc() || r1.ptr == end || *r1.ptr != '-') return std::nullopt;
    auto r2 = std::from_chars(r1.ptr + 1, end, last);
    if (r2.ec != std::errc() || r2.ptr != end) return std::nullopt;
    return std::make_pair(first, last);
}

// A ranged reply is accepted only as the slice itself: 206, a body as long as its
// Content-Length and exactly end - start + 1 bytes. A server that ignores Range answers 200
// with the whole object, which must not pass for the slice.
void check_slice(py::handle response, py::handle headers) {
    if (!norvo::bind::compares(response.attr("status_code"), py::int_(206))) norvo::bind::assertion_failed();
    py::object body = response.attr("content");
    Py_ssize_t received = PyObject_Length(body.ptr());
    if (received < 0) throw py::error_already_set();
    py::object declared = py::module_::import("builtins").attr("int")(response.attr("headers")["Content-Length"]);
    if (!norvo::bind::compares(declared, py::int_(received))) norvo::bind::assertion_failed();
    py::object range = headers["Range"];
    if (!PyUnicode_Check(range.ptr())) return;
    if (auto bounds = parse_range(range.cast<std::string>())) {
        if (bounds->second - bounds->first + 1 != static_cast<long long>(received)) norvo::bind::assertion_failed();
    }
}

}  // namespace

NORVO_MODULE(aws, m,
             .doc = "Object-storage transfers by URL under the REST client's retry policy.",
             .signatures = false) {
    m.attr("requests") = py::module_::import("requests");
    py::object client = py::module_::import("norvo.providers.server.client");
    m.attr("_retry_on_exception") = client.attr("_retry_on_exception");
    m.attr("_retry_exceptions") = client.attr("_retry_exceptions");
    m.attr("retry") = py::module_::import("retrying").attr("retry");
    m.attr("log") = norvo::bind::logger("norvo.providers.server.aws");

    py::dict g = m.attr("__dict__");

    py::object attempt = py::cpp_function(
        [g](py::object method, py::object url, py::object data, py::object headers) -> py::object {
            py::object response =
                g["requests"].attr("request")(method, url, py::arg("data") = data, py::arg("headers") = headers);
            norvo::server::raise_mapped_status(g, response);
            response.attr("raise_for_status")();
            if (truthy(headers)) {
                int ranged = PySequence_Contains(headers.ptr(), py::str("Range").ptr());
                if (ranged < 0) throw py::error_already_set();
                if (ranged) check_slice(response, headers);
            }
            return response;
        },
        py::name("_make_request"), py::scope(m), py::arg("method"), py::arg("url"), py::arg("data") = py::none(),
        py::arg("headers") = py::none(),
        py::doc("One transfer under the retry policy; a ranged download is checked to be exactly its slice."));
    m.attr("_make_request") = norvo::server::retried(g, attempt);

    m.def(
        "get",
        [g](py::object path, py::object start, py::object end) {
            py::object headers = py::none();
            if (truthy(start) || truthy(end)) {
                // Checked whatever the interpreter's optimisation flag: a reversed or negative
                // range must never reach the store.
                if (!norvo::bind::compares(end, start, Py_GT) || !norvo::bind::compares(start, py::int_(0), Py_GE))
                    norvo::bind::assertion_failed();
                py::dict h;
                h["Range"] = py::str("bytes={}-{}").format(start, end);
                // A compressed reply would not be the slice's bytes.
                h["Accept-Encoding"] = "identity";
                headers = std::move(h);
            }
            g["log"].attr("debug")("GETing data from %s, headers: %s", path, headers);
            return g["_make_request"]("get", path, py::arg("headers") = headers);
        },
        py::arg("path"), py::arg("start") = py::none(), py::arg("end") = py::none(),
        py::doc("GET the object at `path`, or the bytes start..end (both included) of it."));
    m.def(
        "put",
        [g](py::object path, py::object data) {
            g["log"].attr("debug")(py::str("PUTing data to {}").format(path));
            return g["_make_request"]("put", path, py::arg("data") = data);
        },
        py::arg("path"), py::arg("data") = py::none(), py::doc("PUT `data` to the object at `path`."));
}
