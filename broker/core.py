"""The loopback server: route table, shared state, fault scripts, request log."""
import collections
import dataclasses
import datetime
import http
import io
import json
import re
import socket
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from . import signing

API_VERSION = "v1.0"

UTC = datetime.timezone.utc


# ---- Replies and faults


class Reply(object):
    """One HTTP reply: status, body bytes and extra headers (Content-Length is added)."""

    def __init__(self, status=200, body=b"", headers=None):
        self.status = status
        self.body = body
        self.headers = dict(headers or {})

    @classmethod
    def json(cls, obj, status=200, headers=None):
        h = {"Content-Type": "application/json"}
        h.update(headers or {})
        return cls(status, json.dumps(obj).encode("utf-8"), h)

    @classmethod
    def status_only(cls, status):
        """A bare status: no body for 204 and 304, else a short JSON error object."""
        if status in (204, 304):
            return cls(status)
        try:
            phrase = http.HTTPStatus(status).phrase
        except ValueError:
            phrase = "Status {}".format(status)
        return cls.json({"error": phrase}, status)

    def __repr__(self):
        return "<Reply {} {!r}>".format(self.status, self.body[:60])


# A 200 whose body is no JSON (a proxy's maintenance page, say).
NOT_JSON = Reply(200, b"<html><body>Down for maintenance</body></html>", {"Content-Type": "text/html"})
# Object GETs: answer a ranged GET with the whole object and 200, as a server without Range does.
IGNORE_RANGE = "ignore_range"
# Object GETs: a 206 whose body (and Content-Length) is one byte shorter than the range.
SHORT_BODY = "short_body"


class Cut(object):
    """Writes only part of the route's reply, then closes the connection.

    `keep` counts bytes from the start of the reply (status line included): 0 closes before
    anything is written, a cut inside the head drops the connection in the middle of the
    headers. A negative `keep` keeps all but the last -keep bytes, so the body comes shorter
    than its Content-Length says. The route itself runs as usual.
    """

    def __init__(self, keep):
        self.keep = keep

    def __repr__(self):
        return "Cut({})".format(self.keep)


class Raw(object):
    """Bytes written as the whole reply, unchecked (a broken status line, odd headers, a body
    of any length), after which the connection is closed. The route does not run."""

    def __init__(self, data):
        self.data = bytes(data)

    def __repr__(self):
        return "Raw({!r})".format(self.data[:60])


class Skew(object):
    """Shifts the broker's clock by `seconds` for one request."""

    def __init__(self, seconds):
        self.delta = datetime.timedelta(seconds=seconds)

    def __repr__(self):
        return "Skew({})".format(self.delta.total_seconds())


# ---- Route table


@dataclasses.dataclass
class Route(object):
    method: str
    pattern: str
    handler: object
    name: str
    signed: bool
    api: bool
    regex: object = None

    def __post_init__(self):
        parts = re.split(r"<(\w+)>", self.pattern)
        rx = "".join(re.escape(p) if i % 2 == 0 else "(?P<{}>[^/]+)".format(p) for i, p in enumerate(parts))
        self.regex = re.compile(rx)


ROUTES = []


def route(method, pattern, name=None, signed=True, api=True):
    """Adds the decorated `handler(ctx) -> Reply` to the table shared by every broker.

    `pattern` is the path below "v1.0/" for API routes (e.g. "events/", "accounts/<user_id>/"),
    or the whole path without its leading slash when `api` is false (e.g. "objects/<name>").
    `<field>` matches one path segment and arrives in `ctx.params`. Signed routes refuse any
    request whose authorisation does not verify (401) before the handler runs. `name` (default:
    the pattern) keys the fault scripts and the request log.
    """

    def add(handler):
        ROUTES.append(Route(method.upper(), pattern, handler, name or pattern, signed, api))
        return handler

    return add


def wrap(name):
    """Runs the decorated `wrapper(handler, ctx) -> Reply` in place of shared route `name`.

    The wrapper may call the route's own `handler(ctx)`, for instance after narrowing what
    `ctx.state` shows it. Raises LookupError when no shared route has that name.
    """

    def add(wrapper):
        for r in ROUTES:
            if r.name == name:
                inner = r.handler
                r.handler = lambda ctx: wrapper(inner, ctx)
                return wrapper
        raise LookupError(name)

    return add


# ---- Request log and handler context


@dataclasses.dataclass
class Entry(object):
    """One request as the broker saw it, with its verdict."""

    method: str
    path: str
    query: dict  # name -> list of values
    headers: object  # http.client.HTTPMessage: case-insensitive, None for a missing header
    body: bytes
    connection: int  # number of the TCP connection it came on (1, 2, ...)
    route: str = None  # name of the matched route, None when nothing matched
    user: str = None  # user id of a verified signed request
    status: int = None
    verdict: str = None  # "ok", "fault", "401: <reason>", "refused: <reason>", ...
    sent: bytes = None  # the reply as written on the wire: status line, headers and body

    def arg(self, name):
        """The first value of query parameter `name`, or None."""
        values = self.query.get(name)
        return values[0] if values else None

    def json(self):
        return json.loads(self.body.decode("utf-8"))


class Context(object):
    """What a route handler gets: the broker, its state, the request and the route's fields."""

    def __init__(self, broker, entry, params):
        self.broker = broker
        self.state = broker.state
        self.request = entry
        self.params = params
        self.flags = set()
        self.skew = datetime.timedelta(0)
        self.user = None  # (user id, key index) once a signed request verified
        self.verdict = "ok"

    def arg(self, name):
        return self.request.arg(name)

    def now(self):
        return self.broker.now() + self.skew


class State(object):
    """What the routes share; extension modules keep their own records in `table(name)`."""

    def __init__(self):
        self.lock = threading.RLock()
        self.public_keys = {}  # (user id text, key index) -> (public key object, active)
        self.tokens = {}  # token -> signing.Session
        self.events = []  # event objects as the broker sends them, in eventId order
        self.objects = {}  # object name -> bytes
        self.tables = {}

    def table(self, name):
        with self.lock:
            return self.tables.setdefault(name, {})


# ---- Server


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Each reply goes out in one write the moment it is ready: with Nagle's algorithm on, a
    # kept-alive connection would hold it back until the client acknowledged the last one.
    disable_nagle_algorithm = True
    # An idle kept-alive connection is closed after this long, so no thread outlives a test run.
    timeout = 30

    def setup(self):
        super().setup()
        self.number = self.server.broker._connected(self.connection)

    def finish(self):
        try:
            super().finish()
        finally:
            self.server.broker._disconnected(self.connection, self.number)

    def log_message(self, format, *args):
        pass

    def send_error(self, code, message=None, explain=None):
        # The base class writes an error's head and its body apart; gathered, they leave in one
        # write, as every other reply does.
        wire, self.wfile = self.wfile, io.BytesIO()
        try:
            super().send_error(code, message, explain)
        finally:
            held, self.wfile = self.wfile, wire
        wire.write(held.getvalue())

    def _read_body(self):
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            chunks = []
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return b"".join(chunks)
                chunks.append(self.rfile.read(size))
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def _dispatch(self):
        body = self._read_body()
        split = urllib.parse.urlsplit(self.path)
        entry = Entry(
            method=self.command,
            path=split.path,
            query=urllib.parse.parse_qs(split.query, keep_blank_values=True),
            headers=self.headers,
            body=body,
            connection=self.number,
        )
        outcome = self.server.broker._handle(entry)
        if isinstance(outcome, Raw):
            data, keep = outcome.data, None
        else:
            reply, keep = outcome
            entry.status = reply.status
            data = self._wire(reply)
        if keep is not None:
            data = data[:keep] if keep >= 0 else data[:max(len(data) + keep, 0)]
        # Recorded whole before anything is written, so a client that has its reply finds
        # the entry complete in the log.
        entry.sent = data
        self.server.broker._record(entry)
        if isinstance(outcome, Raw) or keep is not None:
            self.close_connection = True
        if data:
            self.wfile.write(data)

    def _wire(self, reply):
        """The bytes of a reply as BaseHTTPRequestHandler would send them, built in one piece."""
        try:
            phrase = http.HTTPStatus(reply.status).phrase
        except ValueError:
            phrase = ""
        lines = ["{} {} {}".format(self.protocol_version, reply.status, phrase),
                 "Server: " + self.version_string(), "Date: " + self.date_time_string()]
        for name, value in reply.headers.items():
            lines.append("{}: {}".format(name, value))
            if name.lower() == "connection" and str(value).lower() == "close":
                self.close_connection = True
        has_body = reply.status not in (204, 304)
        if has_body:
            lines.append("Content-Length: {}".format(len(reply.body)))
        head = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1", "strict")
        return head + (reply.body if has_body and self.command != "HEAD" else b"")

    do_GET = do_PUT = do_POST = do_DELETE = do_PATCH = do_HEAD = _dispatch


class Broker(object):
    """The loopback broker and object store. `start()` it, read `url`, `stop()` it."""

    def __init__(self, host="127.0.0.1", port=0):
        self.host = host
        self.port = port
        self.state = State()
        self.routes = []  # routes of this broker only, tried after the shared table
        self.log = []  # Entry objects, in the order the replies were decided
        self.connections = 0
        self.closed_connections = set()  # numbers of the connections that have ended
        self.api_key = None  # when set, API routes refuse another X-Norvo-Api-Key with 401
        self.clock_skew = datetime.timedelta(0)
        self.token_lifetime = datetime.timedelta(hours=1)
        self.signature_window = datetime.timedelta(minutes=5)
        self.challenge_window = datetime.timedelta(minutes=5)
        self.login_refusal_status = 200  # a refused login: 200 without "token", or a failing status
        self.events_page_size = 50
        self.compress_objects = False  # gzip object bodies for clients that accept it
        self.time_format = lambda moment: moment.isoformat()
        # The session token a successful login is given (any JSON value, for a hostile broker).
        self.new_token = signing.new_token
        self._scripts = collections.defaultdict(collections.deque)
        self._lock = threading.Lock()
        self._sockets = set()
        self._server = None
        self._thread = None
        self._next_event_id = 1

    # -- life

    def start(self):
        self._server = ThreadingHTTPServer((self.host, self.port), _Handler)
        self._server.daemon_threads = True
        self._server.broker = self
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
                                        name="loopback-broker", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._server is None:
            return
        self._server.shutdown()
        with self._lock:
            open_sockets = list(self._sockets)
        for sock in open_sockets:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._server.server_close()
        self._thread.join(5)
        self._server = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def url(self):
        """Base URL of the broker, with a trailing slash: the REST client's URL."""
        return "http://{}:{}/".format(self.host, self.port)

    def now(self):
        return datetime.datetime.now(UTC) + self.clock_skew

    # -- set-up calls for tests and extension modules

    def add_route(self, method, pattern, handler, name=None, signed=True, api=True):
        self.routes.append(Route(method.upper(), pattern, handler, name or pattern, signed, api))

    def script(self, route_name, *faults):
        """Queues faults for the next requests of a route, one per request, in order.

        A fault is a status (429, 500, 501, 502, 503, 404, 204, ...), a Reply sent as it is
        (NOT_JSON among them), IGNORE_RANGE or SHORT_BODY for object reads, Skew(seconds),
        Cut(keep) (the route's reply cut short and the connection closed), Raw(bytes) (written
        as the whole reply), or a callable taking the context and returning a Reply or None
        (None lets the route run).
        """
        with self._lock:
            self._scripts[route_name].extend(faults)

    def pending(self, route_name):
        with self._lock:
            return list(self._scripts[route_name])

    def register_key(self, user_id, index, public_key, active=True):
        with self.state.lock:
            self.state.public_keys[(str(user_id), int(index))] = (signing.load_public(public_key), bool(active))

    def register_user(self, user):
        """Registers the public half of every authentication key of `user.keys`."""
        for index, key in user.keys["signingKeys"].items():
            self.register_key(user.id, index, key.public, key.active)

    def expire_tokens(self):
        with self.state.lock:
            for session in self.state.tokens.values():
                session.expires = self.now() - datetime.timedelta(seconds=1)

    def add_event(self, action="added", type="container", **fields):
        """Appends an event object with the next eventId; returns it."""
        with self.state.lock:
            event = {
                "action": action,
                "eventId": self._next_event_id,
                "date": self.now().isoformat(),
                "type": type,
                "changes": None,
                "clientAppName": None,
                "containerExpiredAt": None,
                "containerId": None,
                "containerModifiedAt": None,
                "containerType": None,
                "relatedUserId": None,
            }
            event.update(fields)
            self._next_event_id = max(self._next_event_id, event["eventId"]) + 1
            self.state.events.append(event)
            return event

    def object_url(self, name):
        return "{}objects/{}".format(self.url, urllib.parse.quote(name, safe=""))

    def put_object(self, name, data):
        with self.state.lock:
            self.state.objects[name] = bytes(data)
        return self.object_url(name)

    def get_object(self, name):
        with self.state.lock:
            return self.state.objects.get(name)

    # -- reading the log

    def entries(self, route=None):
        with self._lock:
            return [e for e in self.log if route is None or e.route == route]

    def open_connections(self):
        """How many TCP connections are open now (a load run watches this stay flat)."""
        with self._lock:
            return len(self._sockets)

    # -- inside

    def _connected(self, sock):
        with self._lock:
            self.connections += 1
            self._sockets.add(sock)
            return self.connections

    def _disconnected(self, sock, number):
        with self._lock:
            self._sockets.discard(sock)
            self.closed_connections.add(number)

    def _record(self, entry):
        with self._lock:
            self.log.append(entry)

    def _next_fault(self, name):
        with self._lock:
            queue = self._scripts.get(name)
            return queue.popleft() if queue else None

    def _match(self, method, path):
        marker = "/{}/".format(API_VERSION)
        api_rest = path[path.index(marker) + len(marker):] if marker in path else None
        for r in ROUTES + self.routes:
            if r.method != method:
                continue
            target = api_rest if r.api else path.lstrip("/")
            if target is None:
                continue
            m = r.regex.fullmatch(target)
            if m:
                return r, {k: urllib.parse.unquote(v) for k, v in m.groupdict().items()}
        return None, None

    def _handle(self, entry):
        """Decides the reply to a request: (Reply, bytes to keep or None), or a Raw fault."""
        r, params = self._match(entry.method, entry.path)
        if r is None:
            entry.verdict = "404: no route"
            return Reply.status_only(404), None
        entry.route = r.name
        ctx = Context(self, entry, params)
        try:
            if r.api and self.api_key is not None and entry.headers.get("X-Norvo-Api-Key") != str(self.api_key):
                raise signing.Refused("bad api key")
            if r.signed:
                ctx.user = signing.verify_request(ctx)
                entry.user = ctx.user[0]
        except signing.Refused as refused:
            entry.verdict = "401: {}".format(refused)
            return Reply.json({"error": "Unauthorized"}, 401), None

        fault = self._next_fault(r.name)
        keep = None
        if isinstance(fault, int):
            entry.verdict = "fault"
            return Reply.status_only(fault), None
        if isinstance(fault, Reply):
            entry.verdict = "fault"
            return fault, None
        if isinstance(fault, Raw):
            entry.verdict = "fault: raw reply"
            return fault
        if isinstance(fault, Cut):
            keep = fault.keep
        elif isinstance(fault, Skew):
            ctx.skew = fault.delta
        elif isinstance(fault, str):
            ctx.flags.add(fault)
        elif callable(fault):
            reply = fault(ctx)
            if reply is not None:
                entry.verdict = "fault"
                return reply, None
        try:
            reply = r.handler(ctx)
        except Exception as e:  # a broker bug: show it in the log rather than hang the client
            entry.verdict = "error: {!r}".format(e)
            return Reply.status_only(500), None
        entry.verdict = ctx.verdict if keep is None else "{} (cut: {})".format(ctx.verdict, fault)
        return reply, keep
