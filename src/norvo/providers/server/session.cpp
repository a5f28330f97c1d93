// norvo.providers.server.session: the one HTTP session through which every broker request goes.
//
// `NorvoSession` is a real subclass of `requests.Session`, made by calling the class's own
// metaclass with methods written here. It stamps each request with the API key, a fresh
// request id and the application name, signs it with the logged-in user's authentication key
// (logging in again first when the token has lapsed), and runs the challenge login. Those
// credentials stay with the broker: a redirect is followed only to the broker's own origin
// and only for a GET, no credentials are taken from the environment, and the login's
// verification is masked in errors and in the HTTP stack's log lines. An operation can bind its
// context to the user it started as, so that none of its requests goes out signed as somebody
// who logged in meanwhile; and the child of a fork gets connections of its own.
#include "bytes.hpp"
#include "calls.hpp"
#include "classes.hpp"
#include "credentials.hpp"
#include "errors.hpp"
#include "imports.hpp"
#include "interpreter.hpp"
#include "masking.hpp"
#include "module.hpp"
#include "transport.hpp"

#include <datetime.h>

#include <cstdint>
#include <optional>
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
constexpr const char* TOKEN_REFUSED =
    "Unable to authenticate {}: the broker's login reply held no valid session token.";
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

// A JSON body as a debug line shows it: the session token as ***, and a key file (the material
// of an offline search for its password) as its length only, wherever they sit in the body.
py::object traced_body(py::handle body, int depth = 0) {
    if (depth > 16) return py::reinterpret_borrow<py::object>(body);
    if (PyList_Check(body.ptr())) {
        py::list copy;
        for (py::handle item : body) copy.append(traced_body(item, depth + 1));
        return std::move(copy);
    }
    if (!PyDict_Check(body.ptr())) return py::reinterpret_borrow<py::object>(body);
    py::dict copy;
    for (auto item : py::reinterpret_borrow<py::dict>(body)) {
        py::handle name = item.first, value = item.second;
        if (PyUnicode_Check(name.ptr()) && !value.is_none()) {
            if (PyUnicode_CompareWithASCIIString(name.ptr(), "token") == 0) {
                copy[name] = std::string(norvo::server::MASK);
                continue;
            }
            if (PyUnicode_CompareWithASCIIString(name.ptr(), "keyFile") == 0) {
                Py_ssize_t n = PyObject_Length(value.ptr());
                if (n < 0) PyErr_Clear();
                copy[name] = n < 0 ? std::string("<key file>") : "<key file of " + std::to_string(n) + " characters>";
                continue;
            }
        }
        copy[name] = traced_body(value, depth + 1);
    }
    return std::move(copy);
}

// Bound at load and never freed: a request may come while the interpreter finalises.
struct Stock {
    Globals g;
    py::object log;       // the module's own logger
    py::object arrow;     // the arrow library
    py::object Arrow;     // its date-time class
    py::object bound;     // the ContextVar of the user the calling context is bound to
    py::object sessions;  // every NorvoSession alive, weakly: a forked child renews their pools
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

// ---- The login state, read and written whole

// The session's fields are plain attributes, read and written here in its instance dictionary:
// a login state is then taken, or replaced, in one step that runs no Python code, so no other
// thread can come in between and leave it half one login and half another.
class Fields {
public:
    explicit Fields(py::handle self)
        : self_(self), dict_(norvo::bind::steal(PyObject_GenericGetDict(self.ptr(), nullptr))) {}

    py::object get(py::handle name) const {
        PyObject* value = PyDict_GetItemWithError(dict_.ptr(), name.ptr());
        if (value) return py::reinterpret_borrow<py::object>(value);
        if (PyErr_Occurred()) throw py::error_already_set();
        return self_.attr(name);  // not there: the attribute lookup fails as it would
    }

    // Every value set before any replaced one is let go, so that no finaliser runs halfway.
    void set(std::initializer_list<std::pair<py::handle, py::handle>> values) {
        std::vector<py::object> replaced;
        replaced.reserve(values.size());
        for (const auto& [name, value] : values) {
            PyObject* old = PyDict_GetItemWithError(dict_.ptr(), name.ptr());
            if (!old && PyErr_Occurred()) throw py::error_already_set();
            if (old) replaced.push_back(py::reinterpret_borrow<py::object>(old));
        }
        for (const auto& [name, value] : values)
            if (PyDict_SetItem(dict_.ptr(), name.ptr(), value.ptr()) != 0) throw py::error_already_set();
    }

private:
    py::handle self_;
    py::object dict_;
};

// ---- Binding an operation to its user

// The user the calling context is bound to; a null object when it is not bound.
py::object bound_user() {
    PyObject* value = nullptr;
    if (PyContextVar_Get(S->bound.ptr(), nullptr, &value) != 0) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

// Whether two users are one, by their ids; none is nobody.
bool same_user(py::handle a, py::handle b) {
    if (a.is_none() || b.is_none()) return false;
    if (a.is(b)) return true;
    return norvo::bind::compares(a.attr(NORVO_NAME("id")), b.attr(NORVO_NAME("id")));
}

[[noreturn]] void raise_no_longer_logged_in(py::handle bound) {
    norvo::bind::raise(PyExc_RuntimeError, py::str(bound).cast<std::string>() +
                                               " is no longer logged in: an operation started as that user "
                                               "cannot finish.");
}

void require_bound(py::handle stored, py::handle bound) {
    if (!same_user(stored, bound)) raise_no_longer_logged_in(bound);
}

constexpr const char* STORED_TOKEN_REFUSED =
    "The session token is not a valid session token, so nothing is signed with it; log in again.";

// _get_auth(self, req_id)
py::object get_auth(const Call& c) {
    const Globals& g = S->g;
    py::handle self = c.args[0], req_id = c.args[1];
    // A context bound to a user signs as that user only: the check comes before a re-login,
    // and again after it, on the very login state that then signs.
    py::object bound = bound_user();
    if (bound) require_bound(Fields(self).get(NORVO_NAME("user")), bound);
    if (!truthy(call_method(self, NORVO_NAME("authenticated"), {})))
        call_method(self, NORVO_NAME("authenticate"), {}, self.attr(NORVO_NAME("client")));

    Fields fields(self);
    py::object user = fields.get(NORVO_NAME("user"));
    py::object token = fields.get(NORVO_NAME("token"));
    py::object key = fields.get(NORVO_NAME("key"));
    py::object offset = fields.get(NORVO_NAME("time_offset"));
    if (bound) require_bound(user, bound);
    // The token heads the bytes the user's key signs: only one of the bearer-token syntax
    // is signed, whoever assigned it.
    std::string_view text = norvo::server::bearer_token(token);
    if (text.empty()) norvo::bind::raise(PyExc_RuntimeError, STORED_TOKEN_REFUSED);

    py::object now = norvo::bind::steal(PyNumber_Subtract(utc_now(g).ptr(), offset.ptr()));
    py::bytes user_part = b64(std::string(text) + ",", utf8(call_method(now, NORVO_NAME("isoformat"), {})));
    py::object message = add(user_part, utf8(py::reinterpret_borrow<py::object>(req_id)));
    py::object ecdsa = g[NORVO_NAME("crypto")].attr(NORVO_NAME("ecdsa")).attr(NORVO_NAME("ECDSA"));
    py::object private_key = key.attr(NORVO_NAME("private"));
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

    // A key that cannot go into a header is refused here, before the HTTP library would put
    // it whole into its error.
    py::object api_key = self.attr(NORVO_NAME("api_key"));
    norvo::server::check_api_key(api_key);

    py::object id = call_method(g[NORVO_NAME("uuid")], NORVO_NAME("uuid4"), {});
    py::object req_id = norvo::bind::steal(PyObject_Str(id.ptr()));
    py::dict headers;
    headers[API_KEY_HEADER] = header_value(api_key);
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
                                   traced_body(kwarg_or_none(kwargs, NORVO_NAME("json"))),
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
                body = traced_body(response.attr("json")());
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
    auto api_key_forms = [&] { return norvo::server::api_key_forms(api_key); };
    return norvo::server::masking_errors(secrets, api_key_forms, [&]() -> py::object {
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

// ---- A forked child

// A queue of pooled connections with locks of its own. In the child of a fork a lock that a
// thread of the parent held at that instant stays held, since that thread is not there to
// release it; the pool's finaliser takes the queue's lock when it closes the connections.
void fresh_locks(py::handle queue) {
    if (queue.is_none() || !py::hasattr(queue, "mutex")) return;
    py::object threading = norvo::bind::import("threading");
    py::object mutex = threading.attr("Lock")();
    queue.attr("mutex") = mutex;
    for (const char* name : {"not_empty", "not_full", "all_tasks_done"})
        if (py::hasattr(queue, name)) py::setattr(queue, name, threading.attr("Condition")(mutex));
}

void free_pools(py::handle manager) {
    py::object pools = norvo::bind::getattr_or_none(manager, "pools");
    py::object held = pools.is_none() ? py::object(py::none()) : norvo::bind::getattr_or_none(pools, "_container");
    if (!PyDict_Check(held.ptr())) return;
    for (py::handle pool : py::list(held.attr("values")())) fresh_locks(norvo::bind::getattr_or_none(pool, "pool"));
}

// New pool managers for each of the session's adapters. The parent's connections are left to
// the old pools, whose finalisers only close the child's copies of their sockets: nothing is
// sent on them, so the parent's connections stay open and its own.
void renew_pools(py::handle session) {
    for (py::handle adapter : py::list(session.attr("adapters").attr("values")())) {
        if (!py::hasattr(adapter, "init_poolmanager")) continue;
        py::object manager = norvo::bind::getattr_or_none(adapter, "poolmanager");
        if (!manager.is_none()) free_pools(manager);
        py::object proxies = norvo::bind::getattr_or_none(adapter, "proxy_manager");
        if (PyDict_Check(proxies.ptr()))
            for (py::handle proxy : py::list(proxies.attr("values")())) free_pools(proxy);
        adapter.attr("proxy_manager") = py::dict();
        adapter.attr("init_poolmanager")(adapter.attr("_pool_connections"), adapter.attr("_pool_maxsize"),
                                         py::arg("block") = adapter.attr("_pool_block"));
    }
}

void renew_pools_after_fork() {
    std::optional<py::error_already_set> first;
    for (py::handle session : py::list(S->sessions)) {
        try {
            renew_pools(session);
        } catch (py::error_already_set& e) {
            if (!first) first = std::move(e);
        }
    }
    if (first) throw *first;
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

    py::object bound = norvo::bind::steal(PyContextVar_New("norvo.providers.server.session.bound_user", nullptr));
    S = new Stock{Globals(m), m.attr("log"), m.attr("arrow"), m.attr("arrow").attr("Arrow"), bound,
                  import("weakref").attr("WeakSet")()};
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
        S->sessions.attr("add")(self);
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
            const bool again = !truthy(user);  // a new login of the stored user
            py::object bound = again ? bound_user() : py::object();
            py::object who = again ? Fields(self).get(NORVO_NAME("user")) : user;
            // A context bound to a user logs in again only the user it is bound to.
            if (bound) require_bound(who, bound);

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
                // The whole reply is read before anything is stored, so a reply whose token or
                // expiry is unfit leaves the previous login whole. A token outside the bearer
                // syntax is never signed: the broker gets nothing more, not even from another key.
                py::object token = reply["token"];
                if (norvo::server::bearer_token(token).empty()) {
                    py::str message = py::str(TOKEN_REFUSED).format(who);
                    g["log"].attr("warning")(message);
                    norvo::bind::raise(py::handle(PyExc_RuntimeError), message);
                }
                py::object expires_at = g["arrow"].attr("get")(reply["expiration"]);
                Fields fields(self);
                // A bound re-login stores its result only over the login it renewed: had another
                // user logged in meanwhile, the operation is not that user's to carry on.
                if (bound && !fields.get(NORVO_NAME("user")).is(who)) raise_no_longer_logged_in(bound);
                fields.set({{NORVO_NAME("token"), token},
                            {NORVO_NAME("expires_at"), expires_at},
                            {NORVO_NAME("user"), who},
                            {NORVO_NAME("time_offset"), offset},
                            {NORVO_NAME("key"), key}});
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
            norvo::server::check_api_key(api_key);
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
            py::handle none = Py_None;
            Fields(self).set({{NORVO_NAME("user"), none},
                              {NORVO_NAME("token"), none},
                              {NORVO_NAME("key"), none},
                              {NORVO_NAME("time_offset"), none}});
        },
        py::doc("Forgets the logged-in user, token, key and clock offset; sends nothing."));

    add_raw_method(cls, "request", request, {{"method", py::object()}, {"url", py::object()}}, true,
                   "Sends a request with the broker headers; signs it unless `auth` is false.");

    add_raw_method(cls, "_get_auth", get_auth, {{"req_id", py::object()}}, false,
                   "The signed (user, password) pair of HTTP Basic authorisation for one request.");

    py::object binding = norvo::bind::make_class(
        "_Binding", py::make_tuple(norvo::bind::builtin(PyBaseObject_Type)),
        norvo::bind::class_namespace(m, "_Binding", "What bound_to returns: binds the calling context while entered."));
    add_method(binding, "__init__", [](py::object self, py::object user) {
        self.attr("user") = user;
        self.attr("_tokens") = py::list();
    });
    add_method(binding, "__enter__", [](py::object self) {
        py::object user = self.attr("user");
        py::object token = norvo::bind::steal(PyContextVar_Set(S->bound.ptr(), user.ptr()));
        self.attr("_tokens").attr("append")(token);
        return user;
    });
    add_method(
        binding, "__exit__",
        [](py::object self, py::object, py::object, py::object) {
            py::list tokens = self.attr("_tokens");
            if (py::len(tokens) == 0) norvo::bind::raise(PyExc_RuntimeError, "the binding was not entered");
            py::object token = tokens.attr("pop")();
            if (PyContextVar_Reset(S->bound.ptr(), token.ptr()) != 0) throw py::error_already_set();
            return false;
        },
        py::arg("exc_type"), py::arg("exc"), py::arg("traceback"));
    m.attr("_Binding") = binding;

    add_method(
        cls, "bound_to", [g](py::object, py::object user) { return g["_Binding"](user); }, py::arg("user"),
        py::doc("A context manager that binds the calling context (its thread) to `user` while entered: a\n"
                "signed request made in it, or a new login of a lapsed one, goes out only while `user` is\n"
                "the session's user, and fails with RuntimeError before anything is sent otherwise."));

    py::setattr(cls, "check_api_key",
                norvo::bind::builtin(PyStaticMethod_Type)(py::cpp_function(
                    [](py::object api_key) { norvo::server::check_api_key(api_key); }, py::name("check_api_key"),
                    py::arg("api_key"),
                    py::doc("Refuses with ValueError an API key that cannot be sent in a request header."))));

    m.attr("NorvoSession") = cls;
    m.attr("session") = cls();

    // A forked child shares the parent's sockets: through them, requests of the two processes
    // would read each other's replies. The child's sessions get connections of their own.
    m.attr("_renew_pools") = py::cpp_function([]() { renew_pools_after_fork(); }, py::name("_renew_pools"),
                                              py::scope(m),
                                              py::doc("Gives every session of a forked child pools of its own."));
    import("os").attr("register_at_fork")(py::arg("after_in_child") = g["_renew_pools"]);
}
