// What the broker session and the object-storage transfers share about the wire: no
// credentials taken from the environment, redirects judged before anything is sent to their
// target, reply bodies read with a bound, and a stalled body reported as a timeout.
#pragma once

#include "calls.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "module.hpp"

#include <cctype>
#include <climits>
#include <optional>
#include <string>
#include <utility>

namespace norvo::server {

// Where a redirect points, judged by the URL the HTTP library would send: Location made
// absolute against the reply's URL, then prepared as the library prepares every URL. None
// when the reply is no redirect (a 3xx without Location included).
inline py::object redirect_target(py::handle response) {
    if (!norvo::bind::truthy(response.attr(NORVO_NAME("is_redirect")))) return py::none();
    py::object location = response.attr("headers").attr("get")("location");
    if (location.is_none()) return py::none();
    // The HTTP stack reads header bytes as latin-1; a Location written in UTF-8 is read back
    // as UTF-8, as the library does when it follows one itself.
    try {
        location = location.attr("encode")("latin1").attr("decode")("utf8");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_UnicodeError)) throw;
    }
    py::object parse = norvo::bind::import("urllib.parse");
    py::object utils = norvo::bind::import("requests.utils");
    py::object base = response.attr("url");
    std::string text = py::str(location).cast<std::string>();
    if (text.rfind("//", 0) == 0) {
        py::str scheme = parse.attr("urlsplit")(base).attr("scheme");
        location = scheme + py::str(":") + py::str(location);
    }
    py::object target = utils.attr("requote_uri")(location);
    if (!norvo::bind::truthy(parse.attr("urlsplit")(target).attr("netloc")))
        target = parse.attr("urljoin")(base, target);
    py::object prepared = norvo::bind::import("requests.models").attr("PreparedRequest")();
    prepared.attr("prepare_url")(target, py::none());
    return prepared.attr("url");
}

// (scheme, host, port) of a URL, the port written out when it is the scheme's default. A URL
// whose port cannot be read gives None, which matches no origin.
inline py::object origin_of(py::handle url) {
    py::object parts = norvo::bind::import("urllib.parse").attr("urlsplit")(url);
    py::object scheme = parts.attr("scheme").attr("lower")();
    py::object port;
    try {
        port = parts.attr("port");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return py::none();
    }
    if (port.is_none()) {
        std::string s = scheme.cast<std::string>();
        if (s == "http") port = py::int_(80);
        if (s == "https") port = py::int_(443);
    }
    return py::make_tuple(scheme, parts.attr("hostname"), port);
}

// An origin as text for messages, with no user information: scheme://host:port.
inline std::string origin_text(py::handle origin) {
    if (origin.is_none()) return "a URL whose port cannot be read";
    py::tuple o = py::reinterpret_borrow<py::tuple>(origin);
    std::string host = o[1].is_none() ? std::string() : py::str(o[1]).cast<std::string>();
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    std::string text = py::str(o[0]).cast<std::string>() + "://" + host;
    if (!o[2].is_none()) text += ":" + py::str(o[2]).cast<std::string>();
    return text;
}

inline bool is_downgrade(py::handle from, py::handle to) {
    if (from.is_none() || to.is_none()) return false;
    return py::str(from[py::int_(0)]).cast<std::string>() == "https" &&
           py::str(to[py::int_(0)]).cast<std::string>() != "https";
}

// The HTTP library's own error for a reply it will not take, carrying the reply (and so the
// request it answered).
[[noreturn]] inline void raise_http_error(const std::string& message, py::handle response) {
    py::object error = norvo::bind::import("requests").attr("HTTPError");
    norvo::bind::raise(error, error(message, py::arg("response") = response));
}

// An authorisation that adds nothing. Given to every request that carries no signature of
// its own, it keeps the HTTP library from taking credentials for the host out of ~/.netrc
// or $NETRC: the library looks there only for requests that come without an authorisation.
inline py::object no_credentials(py::module_& m) {
    return py::cpp_function([](py::object request) { return request; }, py::name("_no_credentials"),
                            py::scope(m), py::arg("request"),
                            py::doc("Leaves a request as it is: it goes without an authorisation."));
}

// ---- Reply bodies

// The HTTP library decodes whatever content encoding a reply names, asked for or not, chained
// or not: a few kilobytes from a hostile peer can decode to gigabytes. Bodies are therefore
// read here in chunks, and reading stops once they pass what the caller may take, or decode to
// more than their size on the wire can justify.
inline constexpr Py_ssize_t BODY_CHUNK = 64 * 1024;
inline constexpr Py_ssize_t BODY_FREE = 1 << 20;  // any body may decode to this much
inline constexpr Py_ssize_t BODY_RATIO = 100;     // beyond that, to this many times the bytes received

enum class Overrun { none, limit, ratio };

struct BodyRead {
    Overrun overrun = Overrun::none;
    Py_ssize_t received = 0;  // on an overrun, the bytes taken from the wire, compressed as they came
};

inline bool is_identity(py::handle response) {
    py::object encoding = response.attr("headers").attr("get")("content-encoding");
    if (encoding.is_none()) return true;
    std::string e = py::str(encoding).cast<std::string>();
    for (char& c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return e.find_first_not_of(" \t") == std::string::npos || e == "identity";
}

// The declared Content-Length, when there is one that reads as an integer; one beyond what a
// long long holds reads as the largest.
inline std::optional<long long> declared_length(py::handle response) {
    py::object value = response.attr("headers").attr("get")("content-length");
    if (value.is_none()) return std::nullopt;
    py::object n;
    try {
        n = norvo::bind::steal(PyNumber_Long(value.ptr()));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        return std::nullopt;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (overflow) return overflow > 0 ? std::optional<long long>(LLONG_MAX) : std::nullopt;
    return v;
}

// A read that stalls past the read timeout surfaces, in the middle of a body, as the HTTP
// library's connection error around urllib3's timeout; it is raised as the library's own
// timeout error, as a stall before the reply's head is.
[[noreturn]] inline void raise_timeout_or_rethrow(py::error_already_set& e, py::handle response) {
    py::object requests = norvo::bind::import("requests");
    if (e.matches(requests.attr("ConnectionError"))) {
        py::tuple args = e.value().attr("args");
        py::object stalled = norvo::bind::import("urllib3.exceptions").attr("ReadTimeoutError");
        if (py::len(args) == 1 && py::isinstance(args[0], stalled)) {
            py::object inner = args[0];
            py::object original = norvo::bind::exception_of(e);
            py::object timeout = requests.attr("exceptions").attr("ReadTimeout")(
                inner, py::arg("request") = response.attr("request"), py::arg("response") = response);
            PyException_SetContext(timeout.ptr(), original.release().ptr());
            norvo::bind::raise_as_is(std::move(timeout));
        }
    }
    throw;
}

// Reads the reply's body into what the HTTP library keeps once it has read a body itself.
// `limit` bounds the decoded bytes (negative: no bound). On an overrun, reading stops, the
// connection is closed and the body kept is what was read, cut at the limit.
inline BodyRead read_body(py::object response, Py_ssize_t limit = -1) {
    BodyRead result;
    const bool identity = is_identity(response);
    if (limit >= 0 && identity) {
        auto declared = declared_length(response);
        if (declared && *declared > limit) {
            response.attr("close")();
            response.attr("_content") = py::bytes("");
            result.overrun = Overrun::limit;
            return result;
        }
    }
    py::object raw = response.attr(NORVO_NAME("raw"));
    // Only a body the HTTP library decodes can grow past what came over the wire. An identity
    // body is not measured: for a chunked reply urllib3 counts no received bytes at all.
    py::object received_so_far =
        identity ? py::object(py::none()) : norvo::bind::getattr_or_none(raw, NORVO_NAME("tell"));
    auto received = [&]() -> Py_ssize_t {
        return received_so_far.is_none() ? 0 : call(received_so_far, {}).cast<Py_ssize_t>();
    };
    Py_ssize_t chunk_size = BODY_CHUNK;
    if (limit >= 0 && limit < BODY_CHUNK) chunk_size = limit + 1;
    py::list chunks;
    Py_ssize_t size = 0;
    try {
        for (py::handle chunk : call_method(response, NORVO_NAME("iter_content"), {}, py::int_(chunk_size))) {
            const Py_ssize_t n = py::len(chunk);
            if (limit >= 0 && size + n > limit) {
                // The chunk that passes the limit is kept cut there: nothing beyond is joined.
                chunks.append(py::object(chunk[py::slice(0, limit - size, 1)]));
                size += n;
                result.overrun = Overrun::limit;
                break;
            }
            size += n;
            chunks.append(chunk);
            if (size <= BODY_FREE || received_so_far.is_none()) continue;
            if (size / BODY_RATIO > received()) {
                result.overrun = Overrun::ratio;
                break;
            }
        }
    } catch (py::error_already_set& e) {
        raise_timeout_or_rethrow(e, response);
    }
    // A body in one chunk, as a small reply comes, is that chunk.
    py::object body = PyList_GET_SIZE(chunks.ptr()) == 1 && PyBytes_CheckExact(PyList_GET_ITEM(chunks.ptr(), 0))
                          ? py::object(chunks[0])
                          : call_method(py::bytes(""), NORVO_NAME("join"), {}, chunks);
    if (result.overrun != Overrun::none) {
        result.received = received();
        response.attr("close")();
    }
    py::setattr(response, NORVO_NAME("_content"), body);
    return result;
}

[[noreturn]] inline void raise_bomb(py::handle response, Py_ssize_t received) {
    py::object error = norvo::bind::import("requests.exceptions").attr("ContentDecodingError");
    std::string message = "The reply's body decodes to more than " + std::to_string(BODY_RATIO) + " times the " +
                          std::to_string(received) + " bytes received; refused as a decompression bomb.";
    norvo::bind::raise(error, error(message, py::arg("response") = response));
}

// The timeouts of one request from a module's constants, read when the request is sent.
inline py::tuple timeouts(const norvo::bind::Globals& g) {
    return py::make_tuple(g[NORVO_NAME("CONNECT_TIMEOUT")], g[NORVO_NAME("READ_TIMEOUT")]);
}

}  // namespace norvo::server
