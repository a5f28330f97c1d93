// norvo.providers.server.session: the one HTTP session through which every broker request goes.
//
// `NorvoSession` is a real subclass of `requests.Session`, made by calling the class's own
// metaclass with methods written here. It stamps each request with the API key, a fresh
// request id and the application name, signs it with the logged-in user's authentication key
// (logging in again first when the token has lapsed), and runs the challenge login. Those
// credentials stay with the broker: a redirect is followed only to the broker's own origin
// and only for a GET, no credentials are taken from the environment, and the login's
// verification is masked in errors and in the HTTP stack's log lines.
#include "bytes.hpp"
#include "calls.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "masking.hpp"
#include "module.hpp"
#include "transport.hpp"

#include <datetime.h>

#include <cstdint>
#include <string_view>
#include <vector>

using norvo::bind::add_method;
using norvo::bind::add_raw_method;
using norvo::bind::Call;
using norvo::bind::Globals;
using norvo::bind::truthy;
using norvo::server::call;
using norvo::server::call_method;

namespace {

constexpr const char* API_KEY_HEADER = "X-Norvo-Api-Key";
constexpr const char* REQUEST_ID_HEADER = "X-Request-Id";
constexpr const char* APP_NAME_HEADER = "X-Norvo-App-Name";
constexpr const char* NEED_USER = "Need to pass a user if authenticating for the first time.";
constexpr const char* BAD_URL = "server_url is not a valid url.";

// A header value the HTTP library accepts: text and bytes as given, None to leave the header
// out, anything else (a UUID key, say) as its text, which the library would otherwise refuse.
py::object header_value(py::object value) {
    if (value.is_none() || PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr())) return value;
    return py::str(value);
}

// A shallow copy of `mapping` with the value at `key` written as ***, for log lines; other
// values, and mappings without the key, are printed as they are.
py::object masked(py::handle mapping, const char* key) {
    if (!PyDict_Check(mapping.ptr())) return py::reinterpret_borrow<py::object>(mapping);
    py::dict original = py::reinterpret_borrow<py::dict>(mapping);
    if (!original.contains(key) || original[key].is_none()) return std::move(original);
    py::dict copy;
    for (auto item : original) copy[item.first] = item.second;
    copy[key] = std::string(norvo::server::MASK);
    return std::move(copy);
}

// Bound at load and never freed: a request may come while the interpreter finalises.
struct Stock {
    Globals g;
    py::object log;    // the module's own logger
    py::object arrow;  // the arrow library
    py::object Arrow;  // its date-time class
};
Stock* S = nullptr;

py::object kwarg_or_none(const py::dict& kwargs, py::handle name) {
    PyObject* value = PyDict_GetItemWithError(kwargs.ptr(), name.ptr());
    if (!value && PyErr_Occurred()) throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(value ? value : Py_None);
}

// Takes `name` out of `kwargs`: its value, or a null object when it was not there.
py::object pop(const py::dict& kwargs, py::handle name) {
    PyObject* value = PyDict_GetItemWithError(kwargs.ptr(), name.ptr());
    if (!value) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object();
    }
    py::object kept = py::reinterpret_borrow<py::object>(value);
    if (PyDict_DelItem(kwargs.ptr(), name.ptr()) != 0) throw py::error_already_set();
    return kept;
}

// `prefix` followed by the base64 of `data` (the standard alphabet, padded), as base64.b64encode
// writes it.
py::bytes b64(std::string_view prefix, py::handle data) {
    static constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    norvo::bind::ByteView view(data);
    const std::uint8_t* in = view.data();
    const std::size_t n = view.size();
    std::uint8_t* out = nullptr;
    py::bytes text = norvo::bind::new_bytes(prefix.size() + (n + 2) / 3 * 4, out);
    for (char c : prefix) *out++ = static_cast<std::uint8_t>(c);
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t v = std::uint32_t(in[i]) << 16 | std::uint32_t(in[i + 1]) << 8 | in[i + 2];
        for (int shift : {18, 12, 6, 0}) *out++ = ALPHABET[(v >> shift) & 63];
    }
    if (i < n) {
        const std::uint32_t v = std::uint32_t(in[i]) << 16 | (i + 1 < n ? std::uint32_t(in[i + 1]) << 8 : 0);
        *out++ = ALPHABET[(v >> 18) & 63];
        *out++ = ALPHABET[(v >> 12) & 63];
        *out++ = i + 1 < n ? ALPHABET[(v >> 6) & 63] : '=';
        *out++ = '=';
    }
    return text;
}

py::object utf8(py::object text) {
    if (PyUnicode_Check(text.ptr())) return norvo::bind::steal(PyUnicode_AsUTF8String(text.ptr()));
    return norvo::bind::encode_text(std::move(text));
}

py::object add(py::handle a, py::handle b) { return norvo::bind::steal(PyNumber_Add(a.ptr(), b.ptr())); }

// The current UTC time, read through the module's `arrow`. While that is the arrow library
// itself, the clock is read as its utcnow reads it, by datetime.now in UTC, without making
// Arrow objects around it: the value compares with an Arrow, takes a time span off and writes
// its isoformat as an Arrow of the same instant does.
py::object utc_now(const Globals& g) {
    py::object arrow = g[NORVO_NAME("arrow")];
    if (!arrow.is(S->arrow)) return call_method(arrow, NORVO_NAME("utcnow"), {});
    return call_method(reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType), NORVO_NAME("now"), {},
                       py::handle(PyDateTimeAPI->TimeZone_UTC));
}

// Whether a debug line given to `log` is written: for the module's own logger, whether it is
// enabled for debug now; anything else bound as `log` is given every line.
bool debugging(py::handle log) {
    if (!log.is(S->log)) return true;
    return truthy(call_method(log, NORVO_NAME("isEnabledFor"), {}, py::int_(10)));
}

// The base class's request, sent with the session's headers and without following a
// redirect, the other keywords as given.
py::object send(const Globals& g, py::handle self, py::handle method, py::handle url, py::handle headers,
                const py::dict& kwargs) {
    py::object base = g[NORVO_NAME("requests")].attr(NORVO_NAME("Session")).attr(NORVO_NAME("request"));
    const Py_ssize_t n = 2 + PyDict_GET_SIZE(kwargs.ptr());
    py::tuple names(n);
    std::vector<PyObject*> args(static_cast<std::size_t>(4 + n));  // the first is free for the callee
    args[1] = self.ptr();
    args[2] = method.ptr();
    args[3] = url.ptr();
    PyTuple_SET_ITEM(names.ptr(), 0, NORVO_NAME("headers").inc_ref().ptr());
    args[4] = headers.ptr();
    PyTuple_SET_ITEM(names.ptr(), 1, NORVO_NAME("allow_redirects").inc_ref().ptr());
    args[5] = Py_False;
    Py_ssize_t at = 0, i = 2;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs.ptr(), &at, &key, &value)) {
        PyTuple_SET_ITEM(names.ptr(), i, Py_NewRef(key));
        args[static_cast<std::size_t>(4 + i)] = value;
        ++i;
    }
    return norvo::bind::steal(PyObject_Vectorcall(base.ptr(), args.data() + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                  names.ptr()));
}

// Runs on every reply of the session, redirects included, before its body is read: a body
// that decodes to far more than came over the wire is refused.
py::object read_bounded_body(py::object response) {
    norvo::server::BodyRead read = norvo::server::read_body(response);
    if (read.overrun != norvo::server::Overrun::none) norvo::server::raise_bomb(response, read.received);
    return response;
}

// The loggers of the HTTP stack that write a request's URL, the login's query included.
constexpr const char* HTTP_STACK_LOGGERS[] = {"urllib3",           "urllib3.connectionpool", "urllib3.poolmanager",
                                              "urllib3.util.retry", "urllib3.connection",     "urllib3.response"};

// A log record of the HTTP stack with the login's verification written as ***. A record
// that cannot be formatted is left for the handler to report as it would.
bool mask_record(py::object record) {
    try {
        py::str text = record.attr("getMessage")();
        std::string original = text.cast<std::string>();
        if (original.find(norvo::server::VERIFICATION_PARAM) == std::string::npos) return true;
        std::string masked = norvo::server::mask_query_values(original);
        if (masked != original) {
            record.attr("msg") = py::str(masked);
            record.attr("args") = py::tuple();
        }
    } catch (py::error_already_set&) {
    }
    return true;
}

// A redirect of a broker reply is followed only to the same origin and only for a GET: the
// request carries the API key, the signed authorisation and, for other methods, a body.
void check_redirect(py::handle response, py::handle first_origin, py::handle method, py::handle target) {
    py::object origin = norvo::server::origin_of(target);
    std::string status = py::str(response.attr("status_code")).cast<std::string>();
    std::string where = norvo::server::origin_text(origin);
    if (origin.is_none() || !norvo::bind::compares(origin, first_origin)) {
        std::string why = norvo::server::is_downgrade(first_origin, origin) ? ", from https to plain http" : "";
        norvo::server::raise_http_error("The broker answered " + status + " with a redirect to another origin, " +
                                            where + why + "; it was not followed.",
                                        response);
    }
    std::string verb = py::str(method.attr("upper")()).cast<std::string>();
    if (verb != "GET")
        norvo::server::raise_http_error("The broker answered " + status + " to a " + verb + ", with a redirect to " +
                                            where + "; only GET requests follow a redirect.",
                                        response);
}

// ---- The methods on the request path, reading their arguments in place

// prepare_request(self, request)
py::object prepare_request(const Call& c) {
    const Globals& g = S->g;
    py::handle self = c.args[0], request = c.args[1];
    if (!truthy(request.attr(NORVO_NAME("auth"))) && !truthy(self.attr(NORVO_NAME("auth"))))
        py::setattr(request, NORVO_NAME("auth"), g[NORVO_NAME("_no_credentials")]);
    py::object base = g[NORVO_NAME("requests")].attr(NORVO_NAME("Session")).attr(NORVO_NAME("prepare_request"));
    return call(base, {}, self, request);
}

// authenticated(self)
py::object authenticated(const Call& c) {
    py::handle self = c.args[0];
    if (self.attr(NORVO_NAME("user")).is_none()) return py::bool_(false);
    if (!truthy(self.attr(NORVO_NAME("token")))) return py::bool_(false);
    py::object now = utc_now(S->g);
    py::object expires_at = self.attr(NORVO_NAME("expires_at"));
    // An Arrow compares by the date-time it holds: that one is compared, in one step each.
    if (Py_TYPE(expires_at.ptr()) == reinterpret_cast<PyTypeObject*>(S->Arrow.ptr()))
        expires_at = expires_at.attr(NORVO_NAME("datetime"));
    if (!norvo::bind::compares(expires_at, now, Py_GT)) return py::bool_(false);
    // The expiry is written on the broker's clock. When that clock runs ahead of ours, the
    // token lapses there first, and every request signed with it until our clock caught up
    // would be refused: the broker's time, as the login measured it, counts too.
    py::object offset = self.attr(NORVO_NAME("time_offset"));
    if (offset.is_none()) return py::bool_(true);
    py::object broker_now = norvo::bind::steal(PyNumber_Subtract(now.ptr(), offset.ptr()));
    return py::bool_(norvo::bind::compares(expires_at, broker_now, Py_GT));
}

// _get_auth(self, req_id)
py::object get_auth(const Call& c) {
    const Globals& g = S->g;
    py::handle self = c.args[0], req_id = c.args[1];
    if (!truthy(call_method(self, NORVO_NAME("authenticated"), {})))
        call_method(self, NORVO_NAME("authenticate"), {}, self.attr(NORVO_NAME("client")));

    py::object offset = self.attr(NORVO_NAME("time_offset"));
    py::object now = norvo::bind::steal(PyNumber_Subtract(utc_now(g).ptr(), offset.ptr()));
    py::bytes tail = b64(",", utf8(call_method(now, NORVO_NAME("isoformat"), {})));
    py::object user_part = add(norvo::bind::encode_text(self.attr(NORVO_NAME("token"))), tail);
    py::object message = add(user_part, utf8(py::reinterpret_borrow<py::object>(req_id)));
    py::object ecdsa = g[NORVO_NAME("crypto")].attr(NORVO_NAME("ecdsa")).attr(NORVO_NAME("ECDSA"));
    py::object private_key = self.attr(NORVO_NAME("key")).attr(NORVO_NAME("private"));
    py::object signature = call_method(private_key, NORVO_NAME("sign"), {}, message, ecdsa);
    return py::make_tuple(user_part, b64("", signature));
}

// request(self, method, url, **kwargs)
py::object request(const Call& c) {
    const Globals& g = S->g;
    py::handle self = c.args[0], method = c.args[1], url = c.args[2];
    // The extra keywords come in a dictionary of this call's own.
    py::dict kwargs = c.kwargs ? py::reinterpret_borrow<py::dict>(c.kwargs) : py::dict();
    // The session passes its own header mapping: a caller's second one is the same keyword
    // given twice.
    if (PyDict_Contains(kwargs.ptr(), NORVO_NAME("headers").ptr()) == 1)
        norvo::bind::raise(PyExc_TypeError, "request() got multiple values for keyword argument 'headers'");

    py::object auth = pop(kwargs, NORVO_NAME("auth"));
    if (!auth) auth = py::bool_(true);

    py::object id = call_method(g[NORVO_NAME("uuid")], NORVO_NAME("uuid4"), {});
    py::object req_id = norvo::bind::steal(PyObject_Str(id.ptr()));
    py::dict headers;
    headers[API_KEY_HEADER] = header_value(self.attr(NORVO_NAME("api_key")));
    headers[REQUEST_ID_HEADER] = req_id;
    py::object app_name = self.attr(NORVO_NAME("app_name"));
    if (truthy(app_name)) headers[APP_NAME_HEADER] = app_name;

    if (truthy(auth)) kwargs[NORVO_NAME("auth")] = call_method(self, NORVO_NAME("_get_auth"), {}, req_id);

    py::object log = g[NORVO_NAME("log")];
    // The lines are made only when they are written.
    const bool debug = debugging(log);
    if (debug) {
        // Credentials are written as ***: the API key, and the login's signed challenge,
        // which opens a session to whoever replays it in time.
        py::str line = py::str("{} {} {} {} {} {}")
                           .format(method.attr("upper")(), url, masked(headers, API_KEY_HEADER),
                                   masked(kwarg_or_none(kwargs, NORVO_NAME("params")), "verification"),
                                   kwarg_or_none(kwargs, NORVO_NAME("json")),
                                   kwarg_or_none(kwargs, NORVO_NAME("data")));
        log.attr("debug")(line);
    }

    if (PyDict_Contains(kwargs.ptr(), NORVO_NAME("timeout").ptr()) != 1)
        kwargs[NORVO_NAME("timeout")] = norvo::server::timeouts(g);
    py::object allow_redirects = pop(kwargs, NORVO_NAME("allow_redirects"));
    const bool follow = !allow_redirects || truthy(allow_redirects);

    auto trace_reply = [&](py::handle response) {
        if (!debug) return;
        if (norvo::bind::compares(response.attr("status_code"), py::int_(200))) {
            py::object body;
            try {
                body = masked(response.attr("json")(), "token");
            } catch (py::error_already_set& e) {
                // Tracing must never turn a success into a failure: a body that is not
                // JSON, or nested deeper than the decoder goes, is written as its text.
                if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RecursionError)) throw;
                body = response.attr("text");
            }
            log.attr("debug")(py::str("{} {}").format(response, body));
        } else {
            log.attr("debug")(py::str(response));
        }
    };

    auto secrets = norvo::server::secrets_of_params(kwarg_or_none(kwargs, NORVO_NAME("params")));
    return norvo::server::masking_errors(secrets, [&]() -> py::object {
        py::object response = send(g, self, method, url, headers, kwargs);
        trace_reply(response);
        if (!follow) return response;

        // Redirects are followed here, one at a time, so that each target is judged
        // before anything is sent to it.
        py::object target = norvo::server::redirect_target(response);
        if (target.is_none()) return response;
        py::object first_origin = norvo::server::origin_of(response.attr("request").attr("url"));
        py::dict again;  // what a GET of the target is sent with: no query and no body
        for (auto item : kwargs) {
            std::string name = py::str(item.first).cast<std::string>();
            if (name != "json" && name != "data" && name != "params" && name != "files")
                again[item.first] = item.second;
        }
        py::list history;
        for (; !target.is_none(); target = norvo::server::redirect_target(response)) {
            check_redirect(response, first_origin, method, target);
            if (py::len(history) >= self.attr("max_redirects").cast<Py_ssize_t>()) {
                py::object error = g["requests"].attr("TooManyRedirects");
                std::string text =
                    "Exceeded " + py::str(self.attr("max_redirects")).cast<std::string>() + " redirects.";
                norvo::bind::raise(error, error(text, py::arg("response") = response));
            }
            if (debug)
                log.attr("debug")(py::str(norvo::server::masked_text(
                    "Following the broker's " + py::str(response.attr("status_code")).cast<std::string>() + " to " +
                        py::str(target).cast<std::string>(),
                    secrets)));
            response.attr("close")();
            history.append(response);
            response = send(g, self, py::str("GET"), target, headers, again);
            response.attr("history") = py::list(history);
            trace_reply(response);
        }
        return response;
    });
}

constexpr const char* CLASS_DOC =
    "The broker session: API key, application name and login state, shared by the whole process.\n\n"
    "Every request carries the API key, a fresh request id and, when set, the application name;\n"
    "requests sent with a true `auth` (the default) are signed with the logged-in user's\n"
    "authentication key, after a new login when the token has lapsed.";

}  // namespace

NORVO_MODULE(session, m,
             .doc = "The process-wide broker session: request headers, signed authorisation and the challenge login.",
             .signatures = false) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw py::error_already_set();
    m.attr("log") = norvo::bind::logger("norvo.providers.server.session");
    using norvo::bind::import;
    m.attr("arrow") = import("arrow");
    m.attr("uuid") = import("uuid");
    m.attr("urlparse") = import("urllib.parse").attr("urlparse");
    m.attr("requests") = import("requests");
    m.attr("crypto") = import("norvo.crypto");
    m.attr("KeyType") = import("norvo.crypto.keys").attr("KeyType");
    // Seconds to wait for a connection to the broker, and for each next byte of its reply.
    m.attr("CONNECT_TIMEOUT") = 5;
    m.attr("READ_TIMEOUT") = 60;

    S = new Stock{Globals(m), m.attr("log"), m.attr("arrow"), m.attr("arrow").attr("Arrow")};
    const Globals& g = S->g;

    py::object base = g["requests"].attr("Session");
    py::object cls = norvo::bind::make_class("NorvoSession", py::make_tuple(base),
                                             norvo::bind::class_namespace(m, "NorvoSession", CLASS_DOC),
                                             py::type::of(base));

    // Runs on every reply of the session, redirects included, before its body is read.
    m.attr("_bounded_body") = norvo::server::function(
        m, "_bounded_body",
        [](const Call& c) { return read_bounded_body(py::reinterpret_borrow<py::object>(c.args[0])); },
        {{"response", py::object()}}, "Reads a reply's body, refusing one that decodes to far more than was received.",
        py::none(), true);
    m.attr("_no_credentials") = norvo::server::no_credentials(m);

    // Installed once, when the module loads, so that every logger of the HTTP stack that can
    // write the login URL writes it masked, whichever handler the application attaches.
    m.attr("_mask_verification") = py::cpp_function(
        [](py::object record) { return mask_record(record); }, py::name("_mask_verification"), py::scope(m),
        py::arg("record"), py::doc("Writes the login's verification in a log record of the HTTP stack as ***."));
    for (const char* name : HTTP_STACK_LOGGERS) norvo::bind::logger(name).attr("addFilter")(g["_mask_verification"]);

    add_method(cls, "__init__", [g](py::object self) {
        g["requests"].attr("Session").attr("__init__")(self);
        for (const char* name : {"user", "api_key", "token", "key", "time_offset", "client", "app_name", "expires_at"})
            py::setattr(self, name, py::none());
        self.attr("hooks")["response"].attr("append")(g["_bounded_body"]);
    });

    add_raw_method(cls, "prepare_request", prepare_request, {{"request", py::object()}}, false,
                   "Prepares a request as the HTTP library does, taking no credentials from ~/.netrc or $NETRC.");

    add_method(
        cls, "rebuild_auth",
        [](py::object self, py::object prepared, py::object response) {
            py::object headers = prepared.attr("headers");
            int has = PySequence_Contains(headers.ptr(), py::str("Authorization").ptr());
            if (has < 0) throw py::error_already_set();
            py::object from = response.attr("request").attr("url");
            if (has && truthy(self.attr("should_strip_auth")(from, prepared.attr("url"))))
                headers.attr("pop")("Authorization");
        },
        py::arg("prepared_request"), py::arg("response"),
        py::doc("Drops the authorisation of a request redirected elsewhere; adds none from ~/.netrc or $NETRC."));

    add_method(
        cls, "authenticate",
        [g](py::object self, py::object client, py::object user) {
            if (user.is_none() && self.attr("user").is_none()) {
                g["log"].attr("warning")(NEED_USER);
                norvo::bind::raise(PyExc_ValueError, NEED_USER);
            }
            // Kept whatever follows: a later re-login goes through the same client.
            self.attr("client") = client;
            py::object who = truthy(user) ? user : py::object(self.attr("user"));

            py::object section = who.attr("keys")[g["KeyType"].attr("AUTH")];
            for (py::handle index : norvo::bind::sorted_list(section)) {
                py::object key = section[index];
                if (!truthy(key.attr("active"))) continue;

                py::object challenge = client.attr("get")("time", py::arg("auth") = false).attr("json")();
                py::object time = challenge["time"];
                py::object offset = norvo::bind::steal(
                    PyNumber_Subtract(utc_now(g).ptr(), g["arrow"].attr("get")(time).ptr()));

                // The challenge is signed and echoed exactly as the broker wrote it.
                py::object signature = key.attr("private").attr("sign")(
                    time.attr("encode")("utf-8"), g["crypto"].attr("ecdsa").attr("ECDSA"));
                py::dict params;
                params["userId"] = py::str(who.attr("id"));
                params["authKeyIndex"] = key.attr("index");
                params["challenge"] = time;
                params["verification"] = b64("", signature).attr("decode")("ascii");
                py::object reply =
                    client.attr("get")("login", py::arg("params") = params, py::arg("auth") = false).attr("json")();

                int has_token = PySequence_Contains(reply.ptr(), py::str("token").ptr());
                if (has_token < 0) throw py::error_already_set();
                if (!has_token) continue;
                // The whole reply is read before anything is stored, so a reply whose expiry is
                // missing or unreadable leaves the previous login whole.
                py::object token = reply["token"];
                py::object expires_at = g["arrow"].attr("get")(reply["expiration"]);
                self.attr("token") = token;
                self.attr("expires_at") = expires_at;
                self.attr("user") = who;
                self.attr("time_offset") = offset;
                self.attr("key") = key;
                return;
            }
            py::str message = py::str("Unable to authenticate {}").format(who);
            g["log"].attr("warning")(message);
            norvo::bind::raise(py::handle(PyExc_RuntimeError), message);
        },
        py::arg("client"), py::arg("user") = py::none(), py::doc("Authenticates a user with the server provider."));

    add_raw_method(cls, "authenticated", authenticated, {}, false,
                   "Whether or not an existing session has authenticated.");

    add_method(
        cls, "initialize",
        [g](py::object self, py::object api_key, py::object server_url, py::object app_name) {
            self.attr("api_key") = api_key;
            self.attr("app_name") = app_name;
            try {
                g["urlparse"](server_url);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_Exception)) throw;
                g["log"].attr("warning")(BAD_URL);
                py::object cause = norvo::bind::exception_of(e);
                norvo::bind::raise_from(py::reinterpret_borrow<py::object>(PyExc_ValueError)(BAD_URL), cause);
            }
        },
        py::arg("api_key"), py::arg("server_url"), py::arg("app_name") = py::none(),
        py::doc("Keeps the API key and application name; only checks that the server URL parses."));

    add_method(
        cls, "logout",
        [](py::object self) {
            for (const char* name : {"user", "token", "key", "time_offset"}) py::setattr(self, name, py::none());
        },
        py::doc("Forgets the logged-in user, token, key and clock offset; sends nothing."));

    add_raw_method(cls, "request", request, {{"method", py::object()}, {"url", py::object()}}, true,
                   "Sends a request with the broker headers; signs it unless `auth` is false.");

    add_raw_method(cls, "_get_auth", get_auth, {{"req_id", py::object()}}, false,
                   "The signed (user, password) pair of HTTP Basic authorisation for one request.");

    m.attr("NorvoSession") = cls;
    m.attr("session") = cls();
}
