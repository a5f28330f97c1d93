// norvo.providers.server.aws: object-storage transfers by full URL.
//
// Each transfer is a one-off request of the HTTP library, outside the broker session: no broker
// headers, no request id, no authorisation, no shared connection. The REST client's status map,
// retry predicate and retry policy apply. A ranged download must come back as exactly the
// slice asked for, and no download reads more than its range or the length its caller knows.
// An upload follows a redirect only when it keeps the method and the body.
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"
#include "retry_policy.hpp"
#include "transport.hpp"

#include <algorithm>
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
void check_slice(py::handle response, std::optional<std::pair<long long, long long>> bounds) {
    if (!norvo::bind::compares(response.attr("status_code"), py::int_(206))) norvo::bind::assertion_failed();
    py::object body = response.attr("content");
    Py_ssize_t received = PyObject_Length(body.ptr());
    if (received < 0) throw py::error_already_set();
    auto declared = norvo::server::declared_length(response);
    if (!declared || *declared != static_cast<long long>(received)) norvo::bind::assertion_failed();
    if (bounds && bounds->second - bounds->first + 1 != static_cast<long long>(received))
        norvo::bind::assertion_failed();
}

// Whether the headers ask for a Range at all.
bool asks_range(py::handle headers) {
    if (!truthy(headers)) return false;
    int ranged = PySequence_Contains(headers.ptr(), py::str("Range").ptr());
    if (ranged < 0) throw py::error_already_set();
    return ranged != 0;
}

// The Range asked for by headers that hold one, when it is of the form bytes=a-b.
std::optional<std::pair<long long, long long>> asked_range(py::handle headers) {
    py::object range = headers[py::str("Range")];
    if (!PyUnicode_Check(range.ptr())) return std::nullopt;
    return parse_range(range.cast<std::string>());
}

// At most this many bytes, or no bound (-1) for a number beyond what a body can hold.
Py_ssize_t as_limit(py::handle n) {
    Py_ssize_t v = PyLong_AsSsize_t(n.ptr());
    if (v == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
        PyErr_Clear();
        return -1;
    }
    return v < 0 ? 0 : v;
}

// A body that a redirect can carry again: a value, or a file that can be wound back to where
// the first request began to read it (`file` and `position`; no file for a value).
struct Resend {
    bool possible = true;
    py::object file;
    py::object position;
};

Resend resend_of(py::handle data) {
    Resend r;
    if (data.is_none() || PyBytes_Check(data.ptr()) || PyByteArray_Check(data.ptr()) || PyUnicode_Check(data.ptr()) ||
        PyMemoryView_Check(data.ptr()) || PyDict_Check(data.ptr()) || PyList_Check(data.ptr()) ||
        PyTuple_Check(data.ptr()))
        return r;
    if (py::hasattr(data, "seek") && py::hasattr(data, "tell")) {
        r.file = py::reinterpret_borrow<py::object>(data);
        r.position = r.file.attr("tell")();
        return r;
    }
    r.possible = false;  // an iterator or a stream that cannot be wound back
    return r;
}

// A recorded length as the caller gives it: none, or an integer of at least 0. Anything else
// is refused as a bad value, whatever its type: it usually comes from the broker's record.
py::object checked_length(py::object length) {
    if (length.is_none()) return length;
    if (!PyLong_Check(length.ptr()) || PyBool_Check(length.ptr()) ||
        norvo::bind::compares(length, py::int_(0), Py_LT)) {
        std::string shown = py::repr(length).cast<std::string>();
        if (shown.size() > 60) shown = shown.substr(0, 57) + "...";
        norvo::bind::raise(PyExc_ValueError, "length must be an integer of at least 0, not " + shown);
    }
    return length;
}

bool is_success(py::handle response) {
    int status = response.attr("status_code").cast<int>();
    return status >= 200 && status < 300;
}

// Of a reply that carries no object (an error, an upload's answer) only the status counts: its
// body is kept up to this much.
constexpr Py_ssize_t ERROR_BODY_LIMIT = norvo::server::BODY_FREE;

// The statuses whose redirect the HTTP library re-sends as a GET, or with no body.
bool drops_the_body(int status) { return status == 301 || status == 302 || status == 303; }

// As many redirects as the HTTP library follows by itself.
constexpr int MAX_REDIRECTS = 30;

constexpr const char* MAKE_REQUEST_DOC =
    "One transfer under the retry policy. Redirects of a download are followed; an upload follows only\n"
    "those that keep its method and body (307, 308); none goes from https to plain http. A download\n"
    "reads no more than its range, or than `length` when given; a ranged one must be exactly its slice.";

}  // namespace

NORVO_MODULE(aws, m,
             .doc = "Object-storage transfers by URL under the REST client's retry policy.",
             .signatures = false) {
    using norvo::bind::import;
    m.attr("requests") = import("requests");
    py::object client = import("norvo.providers.server.client");
    m.attr("_retry_on_exception") = client.attr("_retry_on_exception");
    m.attr("_retry_exceptions") = client.attr("_retry_exceptions");
    m.attr("log") = norvo::bind::logger("norvo.providers.server.aws");
    // Seconds to wait for a connection to the object store, and for each next byte of its reply.
    m.attr("CONNECT_TIMEOUT") = 5;
    m.attr("READ_TIMEOUT") = 60;

    norvo::bind::Globals g(m);

    // The HTTP library reads the body of a redirect's reply whole, decoded and unbounded, before
    // it hands the reply back, even when it follows nothing: that reply is closed unread first.
    m.attr("_close_redirect") = py::cpp_function(
        [](py::object response, py::kwargs) {
            if (truthy(response.attr("is_redirect"))) response.attr("close")();
            return response;
        },
        py::name("_close_redirect"), py::scope(m), py::arg("response"),
        py::doc("Closes the reply to a redirect before anything reads its body."));
    // An authorisation that adds nothing, so that none comes from ~/.netrc or $NETRC, and that
    // has the reply to a redirect closed unread.
    m.attr("_no_credentials") = py::cpp_function(
        [g](py::object request) {
            request.attr("register_hook")("response", g["_close_redirect"]);
            return request;
        },
        py::name("_no_credentials"), py::scope(m), py::arg("request"),
        py::doc("Leaves a request without an authorisation; the reply to a redirect is closed unread."));

    py::object attempt = py::cpp_function(
        [g](py::object method, py::object url, py::object data, py::object headers, py::object length) -> py::object {
            std::string verb = py::str(method.attr("upper")()).cast<std::string>();
            bool download = verb == "GET";
            bool ranged = asks_range(headers);
            auto range = ranged ? asked_range(headers) : std::nullopt;
            Py_ssize_t limit = -1;
            if (range) limit = std::max<long long>(range->second - range->first + 1, 0);
            if (!length.is_none()) {
                Py_ssize_t recorded = as_limit(length);
                if (recorded >= 0 && (limit < 0 || recorded < limit)) limit = recorded;
            }

            // A compressed reply would be neither the slice's bytes nor bounded by its length.
            py::object sent_headers = headers;
            if (download) {
                py::dict h;
                if (truthy(headers))
                    for (py::handle item : headers.attr("items")()) h[item[py::int_(0)]] = item[py::int_(1)];
                if (!h.contains("Accept-Encoding")) h["Accept-Encoding"] = "identity";
                sent_headers = std::move(h);
            }

            Resend body = resend_of(data);
            auto send = [&](py::handle target) {
                return g["requests"].attr("request")(method, target, py::arg("data") = data,
                                                     py::arg("headers") = sent_headers,
                                                     py::arg("auth") = g["_no_credentials"],
                                                     py::arg("timeout") = norvo::server::timeouts(g),
                                                     py::arg("allow_redirects") = false, py::arg("stream") = true);
            };
            py::object response = send(url);
            for (int hops = 0;; ++hops) {
                py::object target = norvo::server::redirect_target(response);
                if (target.is_none()) break;
                response.attr("close")();
                int status = response.attr("status_code").cast<int>();
                py::object origin = norvo::server::origin_of(target);
                std::string where = norvo::server::origin_text(origin);
                std::string answered = "The object store answered the " + verb + " with " + std::to_string(status) +
                                       ", a redirect to " + where;
                if (!download && (drops_the_body(status) || !body.possible))
                    norvo::server::raise_http_error(answered + " that would not carry the body; it was not followed.",
                                                    response);
                if (norvo::server::is_downgrade(norvo::server::origin_of(response.attr("request").attr("url")), origin))
                    norvo::server::raise_http_error(answered + ", from https to plain http; it was not followed.",
                                                    response);
                if (hops >= MAX_REDIRECTS) {
                    py::object error = g["requests"].attr("TooManyRedirects");
                    std::string text = "Exceeded " + std::to_string(MAX_REDIRECTS) + " redirects.";
                    norvo::bind::raise(error, error(text, py::arg("response") = response));
                }
                if (body.file) body.file.attr("seek")(body.position);
                response = send(target);
            }

            // Only a download's successful body is the caller's data; of any other reply the
            // body is kept up to a bound and cut there, since its status says what happened.
            bool data_reply = download && is_success(response);
            norvo::server::BodyRead read = norvo::server::read_body(response, data_reply ? limit : ERROR_BODY_LIMIT);
            norvo::server::raise_mapped_status(g, response);
            response.attr("raise_for_status")();
            // A status that is neither a failure nor a redirect (a 3xx without Location, a 304)
            // carries no object and stores none.
            if (!is_success(response)) {
                const char* what = download ? ", which is not the object." : ", which does not store it.";
                norvo::server::raise_http_error("The object store answered the " + verb + " with " +
                                                    py::str(response.attr("status_code")).cast<std::string>() + what,
                                                response);
            }
            if (data_reply && read.overrun == norvo::server::Overrun::limit) {
                if (ranged) norvo::bind::assertion_failed();
                norvo::bind::raise(PyExc_ValueError, "The object store sent more than the " + std::to_string(limit) +
                                                         " bytes recorded for the object; the download was stopped.");
            }
            if (data_reply && read.overrun == norvo::server::Overrun::ratio)
                norvo::server::raise_bomb(response, read.received);
            if (ranged) check_slice(response, range);
            return response;
        },
        py::name("_make_request"), py::scope(m), py::arg("method"), py::arg("url"), py::arg("data") = py::none(),
        py::arg("headers") = py::none(), py::arg("length") = py::none(), py::doc(MAKE_REQUEST_DOC));
    m.attr("_make_request") = norvo::server::retried(m, g, attempt);

    m.def(
        "get",
        [g](py::object path, py::object start, py::object end, py::object length) {
            length = checked_length(std::move(length));
            py::object headers = py::none();
            if (truthy(start) || truthy(end)) {
                // Checked whatever the interpreter's optimisation flag: a reversed or negative
                // range must never reach the store.
                if (!norvo::bind::compares(end, start, Py_GT) || !norvo::bind::compares(start, py::int_(0), Py_GE))
                    norvo::bind::assertion_failed();
                py::dict h;
                h["Range"] = py::str("bytes={}-{}").format(start, end);
                headers = std::move(h);
            }
            g["log"].attr("debug")("GETing data from %s, headers: %s", path, headers);
            return g["_make_request"]("get", path, py::arg("headers") = headers, py::arg("length") = length);
        },
        py::arg("path"), py::arg("start") = py::none(), py::arg("end") = py::none(), py::kw_only(),
        py::arg("length") = py::none(),
        py::doc("GET the object at `path`, or the bytes start..end (both included) of it; with `length`, the\n"
                "object's recorded length, a reply longer than that is refused as soon as it is."));
    m.def(
        "put",
        [g](py::object path, py::object data) {
            g["log"].attr("debug")(py::str("PUTing data to {}").format(path));
            return g["_make_request"]("put", path, py::arg("data") = data);
        },
        py::arg("path"), py::arg("data") = py::none(), py::doc("PUT `data` to the object at `path`."));
}
