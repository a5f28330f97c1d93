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
#include "classes.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "masking.hpp"
#include "module.hpp"
#include "transport.hpp"

using norvo::bind::add_method;
using norvo::bind::truthy;

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

py::object kwarg_or_none(const py::dict& kwargs, const char* name) {
    return kwargs.contains(name) ? py::object(kwargs[name]) : py::object(py::none());
}

py::bytes b64encode(const norvo::bind::Globals& g, py::handle data) { return g["base64"].attr("b64encode")(data); }

py::bytes concat(py::handle a, py::handle b) { return norvo::bind::steal(PyNumber_Add(a.ptr(), b.ptr())); }

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

constexpr const char* CLASS_DOC =
    "The broker session: API key, application name and login state, shared by the whole process.\n\n"
    "Every request carries the API key, a fresh request id and, when set, the application name;\n"
    "requests sent with a true `auth` (the default) are signed with the logged-in user's\n"
    "authentication key, after a new login when the token has lapsed.";

}  // namespace

NORVO_MODULE(session, m,
             .doc = "The process-wide broker session: request headers, signed authorisation and the challenge login.",
             .signatures = false) {
    m.attr("log") = norvo::bind::logger("norvo.providers.server.session");
    using norvo::bind::import;
    m.attr("arrow") = import("arrow");
    m.attr("base64") = import("base64");
    m.attr("uuid") = import("uuid");
    m.attr("urlparse") = import("urllib.parse").attr("urlparse");
    m.attr("requests") = import("requests");
    m.attr("crypto") = import("norvo.crypto");
    m.attr("KeyType") = import("norvo.crypto.keys").attr("KeyType");
    // Seconds to wait for a connection to the broker, and for each next byte of its reply.
    m.attr("CONNECT_TIMEOUT") = 5;
    m.attr("READ_TIMEOUT") = 60;

    norvo::bind::Globals g(m);

    py::object base = g["requests"].attr("Session");
    py::object cls = norvo::bind::make_class("NorvoSession", py::make_tuple(base),
                                             norvo::bind::class_namespace(m, "NorvoSession", CLASS_DOC),
                                             py::type::of(base));

    // Runs on every reply of the session, redirects included, before its body is read.
    m.attr("_bounded_body") = py::cpp_function(
        [](py::object response, py::kwargs) { return read_bounded_body(response); }, py::name("_bounded_body"),
        py::scope(m), py::arg("response"),
        py::doc("Reads a reply's body, refusing one that decodes to far more than was received."));
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

    add_method(
        cls, "prepare_request",
        [g](py::object self, py::object request) {
            if (!truthy(request.attr("auth")) && !truthy(self.attr("auth")))
                request.attr("auth") = g["_no_credentials"];
            return g["requests"].attr("Session").attr("prepare_request")(self, request);
        },
        py::arg("request"),
        py::doc("Prepares a request as the HTTP library does, taking no credentials from ~/.netrc or $NETRC."));

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
                py::object arrow = g["arrow"];
                py::object offset = norvo::bind::steal(
                    PyNumber_Subtract(arrow.attr("utcnow")().ptr(), arrow.attr("get")(time).ptr()));

                // The challenge is signed and echoed exactly as the broker wrote it.
                py::object signature = key.attr("private").attr("sign")(
                    time.attr("encode")("utf-8"), g["crypto"].attr("ecdsa").attr("ECDSA"));
                py::dict params;
                params["userId"] = py::str(who.attr("id"));
                params["authKeyIndex"] = key.attr("index");
                params["challenge"] = time;
                params["verification"] = b64encode(g, signature).attr("decode")("ascii");
                py::object reply =
                    client.attr("get")("login", py::arg("params") = params, py::arg("auth") = false).attr("json")();

                int has_token = PySequence_Contains(reply.ptr(), py::str("token").ptr());
                if (has_token < 0) throw py::error_already_set();
                if (!has_token) continue;
                // The whole reply is read before anything is stored, so a reply whose expiry is
                // missing or unreadable leaves the previous login whole.
                py::object token = reply["token"];
                py::object expires_at = arrow.attr("get")(reply["expiration"]);
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

    add_method(
        cls, "authenticated",
        [g](py::object self) -> bool {
            if (self.attr("user").is_none()) return false;
            if (!truthy(self.attr("token"))) return false;
            py::object now = g["arrow"].attr("utcnow")();
            py::object expires_at = self.attr("expires_at");
            if (!norvo::bind::compares(expires_at, now, Py_GT)) return false;
            // The expiry is written on the broker's clock. When that clock runs ahead of ours,
            // the token lapses there first, and every request signed with it until our clock
            // caught up would be refused: the broker's time, as the login measured it, counts too.
            py::object offset = self.attr("time_offset");
            if (offset.is_none()) return true;
            py::object broker_now = norvo::bind::steal(PyNumber_Subtract(now.ptr(), offset.ptr()));
            return norvo::bind::compares(expires_at, broker_now, Py_GT);
        },
        py::doc("Whether or not an existing session has authenticated."));

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

    add_method(
        cls, "request",
        [g](py::object self, py::object method, py::object url, py::kwargs given) {
            py::dict kwargs;
            for (auto item : given) kwargs[item.first] = item.second;
            // The session passes its own header mapping: a caller's second one is the same
            // keyword given twice.
            if (kwargs.contains("headers"))
                norvo::bind::raise(PyExc_TypeError, "request() got multiple values for keyword argument 'headers'");

            py::object auth = py::bool_(true);
            if (kwargs.contains("auth")) auth = kwargs.attr("pop")("auth");

            py::str req_id = py::str(g["uuid"].attr("uuid4")());
            py::dict headers;
            headers[API_KEY_HEADER] = header_value(self.attr("api_key"));
            headers[REQUEST_ID_HEADER] = req_id;
            py::object app_name = self.attr("app_name");
            if (truthy(app_name)) headers[APP_NAME_HEADER] = app_name;

            if (truthy(auth)) kwargs["auth"] = self.attr("_get_auth")(req_id);

            py::object log = g["log"];
            // Credentials are written as ***: the API key, and the login's signed challenge,
            // which opens a session to whoever replays it in time.
            py::str line = py::str("{} {} {} {} {} {}")
                               .format(method.attr("upper")(), url, masked(headers, API_KEY_HEADER),
                                       masked(kwarg_or_none(kwargs, "params"), "verification"),
                                       kwarg_or_none(kwargs, "json"), kwarg_or_none(kwargs, "data"));
            log.attr("debug")(line);

            if (!kwargs.contains("timeout")) kwargs["timeout"] = norvo::server::timeouts(g);
            bool follow = true;
            if (kwargs.contains("allow_redirects")) follow = truthy(kwargs.attr("pop")("allow_redirects"));

            auto trace_reply = [&](py::handle response) {
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

            py::object send = g["requests"].attr("Session").attr("request");
            auto secrets = norvo::server::secrets_of_params(kwarg_or_none(kwargs, "params"));
            return norvo::server::masking_errors(secrets, [&]() -> py::object {
                py::object response =
                    send(self, method, url, py::arg("headers") = headers, py::arg("allow_redirects") = false, **kwargs);
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
                    log.attr("debug")(py::str(norvo::server::masked_text(
                        "Following the broker's " + py::str(response.attr("status_code")).cast<std::string>() +
                            " to " + py::str(target).cast<std::string>(),
                        secrets)));
                    response.attr("close")();
                    history.append(response);
                    response = send(self, "GET", target, py::arg("headers") = headers,
                                    py::arg("allow_redirects") = false, **again);
                    response.attr("history") = py::list(history);
                    trace_reply(response);
                }
                return response;
            });
        },
        py::arg("method"), py::arg("url"),
        py::doc("Sends a request with the broker headers; signs it unless `auth` is false."));

    add_method(
        cls, "_get_auth",
        [g](py::object self, py::object req_id) {
            if (!truthy(self.attr("authenticated")())) self.attr("authenticate")(self.attr("client"));

            py::object now = norvo::bind::steal(
                PyNumber_Subtract(g["arrow"].attr("utcnow")().ptr(), self.attr("time_offset").ptr()));
            py::bytes stamp = b64encode(g, now.attr("isoformat")().attr("encode")("utf-8"));
            py::object token = norvo::bind::encode_text(self.attr("token"));
            py::bytes user_part = concat(concat(token, py::bytes(",")), stamp);
            py::bytes message = concat(user_part, norvo::bind::encode_text(req_id));
            py::object signature =
                self.attr("key").attr("private").attr("sign")(message, g["crypto"].attr("ecdsa").attr("ECDSA"));
            return py::make_tuple(user_part, b64encode(g, signature));
        },
        py::arg("req_id"), py::doc("The signed (user, password) pair of HTTP Basic authorisation for one request."));

    m.attr("NorvoSession") = cls;
    m.attr("session") = cls();
}
