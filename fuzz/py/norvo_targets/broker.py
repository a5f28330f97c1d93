"""Broker traffic: the login, event pages, whole replies, ranged downloads and public-key
records, each read from scripted bytes by the library's own HTTP stack."""

import types
import uuid

import norvo.event
import norvo.providers
import norvo.providers.server
import norvo.providers.server.aws
import norvo.providers.server.client
import norvo.providers.server.events

import wire

from .common import Reader, Violation, crypto, keys_mod
from .material import FIXED_OID, DecryptedKeyFile, _fixed_private_key, _once, key_ring_document, rings

# The broker's replies reach the library through the process-wide broker session and the REST
# client, or through the one-off requests of the object-storage transfers. Each target puts
# scripted replies (wire.py) behind them for one input and puts everything back afterwards, so
# the tests that replay these inputs keep their own broker.

BROKER_URL = "http://broker.fuzz/"
STORE_URL = "http://store.fuzz/objects/o"
FIXED_USER_ID = uuid.UUID("11111111-2222-4333-8444-555555555555")


def _server():
    return norvo.providers.server


def _session_module():
    import importlib

    return importlib.import_module("norvo.providers.server.session")


class _StandInUser(object):
    """What the session and the login read of a user: id, key ring and text form."""

    def __init__(self, user_id, keys):
        self.id = user_id
        self.keys = keys

    def __str__(self):
        return "<User {}>".format(self.id)


def fixed_user():
    """The fixed sender's key ring as a logged-in user (keys of index 0)."""
    return _once("fixed_user", lambda: _StandInUser(FIXED_USER_ID, rings()[0]))


_SESSION_FIELDS = ("user", "api_key", "token", "key", "time_offset", "client", "app_name", "expires_at")


class _Stage(object):
    """The broker session, the REST client's URL, the object-storage module's `requests` and
    the retry waits, set up for one input and put back afterwards."""

    def __init__(self, replies, one_off=()):
        self.script = wire.Script(replies)
        self.store = wire.Script(one_off)

    def __enter__(self):
        import retrying

        server = _server()
        session, client, aws = server.session, server.client, norvo.providers.server.aws
        self.saved = ({n: getattr(session, n) for n in _SESSION_FIELDS}, client.URL, aws.requests, retrying.time)
        self.mount = wire.mounted(session, self.script)
        self.mount.__enter__()
        client.URL = BROKER_URL
        aws.requests = wire.OneOffRequests(self.store)
        # The retry policy waits through the module global `time` of the retry library.
        retrying.time = types.SimpleNamespace(time=retrying.time.time, sleep=lambda seconds: None)
        for name in _SESSION_FIELDS:
            setattr(session, name, None)
        session.initialize("fuzz-api-key", BROKER_URL, app_name="fuzz")
        return self

    def log_in(self):
        """The session as a login leaves it, with the fixed user's key of index 0."""
        import datetime

        import arrow

        session = _server().session
        user = fixed_user()
        session.token, session.expires_at = "fuzz-token", arrow.utcnow().shift(hours=1)
        session.user, session.time_offset = user, datetime.timedelta(0)
        session.key = user.keys[keys_mod.KeyType.AUTH][0]
        session.client = _server().client
        return user

    def __exit__(self, *exc):
        import retrying

        server = _server()
        fields, url, requests_module, retry_time = self.saved
        self.mount.__exit__(*exc)
        for name, value in fields.items():
            setattr(server.session, name, value)
        server.client.URL = url
        norvo.providers.server.aws.requests = requests_module
        retrying.time = retry_time
        return False


def _http_errors():
    """What the HTTP library raises for a reply it cannot read, and the client's own classes:
    the documented outcomes of a request whatever the peer sends."""
    import http.client

    import requests
    import urllib3

    client = norvo.providers.server.client
    return (requests.RequestException, urllib3.exceptions.HTTPError, http.client.HTTPException) + tuple(
        client._retry_exceptions.values())


def _json_reply(body, status=200):
    return wire.reply(status, body, headers=[("Content-Type", "application/json")])


def _check_request_id(error):
    """A failing status that is not retried carries the id of the request it answered."""
    import requests

    if isinstance(error, requests.HTTPError) and error.response is not None:
        text = error.args[0] if error.args else ""
        want = "  Request ID: {}".format(error.request.headers.get("X-Request-Id"))
        if not isinstance(text, str) or not text.endswith(want):
            raise Violation("an HTTP error without its request id: {!r}".format(text))


def _login_errors():
    # The handshake's documented failures: the decoder's ValueError (and RecursionError), a
    # reply without "time", "token" or "expiration" (KeyError, or TypeError for one that is no
    # mapping), a time or expiry the date-time parser refuses (ValueError, TypeError, or
    # OverflowError for a number no date-time can hold), a time that is no text (AttributeError
    # when it is encoded for signing), no key that logs in (RuntimeError), and the HTTP errors.
    return (ValueError, RecursionError, KeyError, TypeError, OverflowError, AttributeError,
            RuntimeError) + _http_errors()


def target_login_reply(data):
    """The challenge login (`session.authenticate`) given the broker's "time" and "login"
    replies from the fuzzer: logged in with exactly the token the broker sent, or refused with
    the previous login whole; the challenge is echoed character for character."""
    import arrow

    if not data:
        return
    r = Reader(data)
    mode = r.byte()
    time_body, login_body = r.chunk(4096), r.chunk(4096)
    replies = [_json_reply(time_body, 200), _json_reply(login_body, (200, 500, 404, 204)[mode >> 6])]
    if mode & 1:
        replies += [_json_reply(r.chunk(4096)), _json_reply(r.chunk(4096))]  # a second key's turn
    with _Stage(replies) as stage:
        session = _server().session
        user = fixed_user()
        if mode & 1:
            user = _StandInUser(user.id, _two_key_ring())
        before = (session.token, session.expires_at, session.user, session.time_offset, session.key)
        try:
            session.authenticate(_server().client, user)
        except _login_errors() as exc:
            _check_request_id(exc)
            after = (session.token, session.expires_at, session.user, session.time_offset, session.key)
            if after != before:
                raise Violation("a failed login changed the session")
            return
        challenges = [_query(url).get("challenge") for _, url, _ in stage.script.requests if "/login/" in url]
        reply = _decoded(login_body if len(challenges) == 1 else _last_login_body(replies))
        if session.user is not user or session.token != reply["token"]:
            raise Violation("logged in without the token the broker sent")
        if session.expires_at != arrow.get(reply["expiration"]):
            raise Violation("the expiry is not the one the broker sent")
        sent_time = _decoded(time_body)["time"] if len(challenges) == 1 else None
        if sent_time is not None and challenges[0] != [sent_time]:
            raise Violation("the challenge was not echoed as received")
        try:
            session._get_auth("0b6f7d52-1d4e-4c8a-9a35-6e0f2c9b7d41")
        except _login_errors():
            pass  # a token that is no text cannot sign; an expiry already past logs in again


def _decoded(body):
    """A body decoded as the HTTP library decodes a JSON reply (guessing its text encoding)."""
    import requests

    reply = requests.Response()
    reply._content, reply.status_code = body, 200
    reply.headers["Content-Type"] = "application/json"
    reply.encoding = requests.utils.get_encoding_from_headers(reply.headers)
    return reply.json()


def _last_login_body(replies):
    """The body of the last login reply of a two-key script."""
    return replies[-1].split(b"\r\n\r\n", 1)[1]


def _query(url):
    import urllib.parse

    return urllib.parse.parse_qs(urllib.parse.urlsplit(url).query)


def _two_key_ring():
    """The fixed user's ring with a second, active authentication key of index 1."""

    def make():
        doc = key_ring_document(FIXED_USER_ID, 0)
        doc[keys_mod.KeyType.AUTH]["1"] = {"key": crypto.to_pem_private(_fixed_private_key(9)).decode(),
                                           "index": 1, "active": True, "isPublic": False}
        return keys_mod.KeyRing(strongbox=DecryptedKeyFile(doc))

    return _once("two_key_ring", make)


def _event_errors():
    # Paging's documented failures: the decoder's errors, a reply without "events" or
    # "hasMore" or a continued page whose last event has no "eventId" (KeyError), a page that
    # is no list or holds what is no object, or ids that do not compare (TypeError), "hasMore"
    # with an empty page (IndexError), and the HTTP errors (a page the script does not have).
    return (ValueError, RecursionError, KeyError, TypeError, IndexError) + _http_errors()


def target_event_pages(data):
    """`events.get` over pages from the fuzzer, each one reply: a list of `Event` records, in
    order, no more than the pages held, or a documented error."""
    if not data:
        return
    r = Reader(data)
    mode = r.byte()
    pages = []
    while r.pos < len(data) and len(pages) < 8:
        pages.append(r.chunk(8192))
    kwargs = {"type": ("container", "strongbox")[mode & 1]}
    if mode & 2:
        kwargs["starting_event_id"] = mode >> 4
    if mode & 4:
        kwargs["action"] = "added"
    if mode & 8:
        kwargs["container_id"] = str(FIXED_OID)
    with _Stage([_json_reply(p) for p in pages]) as stage:
        stage.log_in()
        try:
            got = norvo.providers.server.events.get(**kwargs)
        except _event_errors() as exc:
            _check_request_id(exc)
            return
        asked = len(stage.script.requests)
    # With schema errors the load's data is returned all the same, and the loader leaves the
    # events it could not load whole as the mappings of their good fields.
    if not isinstance(got, list) or not all(isinstance(e, (norvo.event.Event, dict)) for e in got):
        raise Violation("events.get returned something other than a list of Event records")
    given = 0
    for page in pages[:asked]:
        try:
            given += len(_decoded(page)["events"])
        except Exception:
            pass
    if len(got) > given:
        raise Violation("more events came back than the pages held")


def target_reply_headers(data):
    """A whole reply (status line, headers, body) to one request of each kind: signed and
    unsigned broker requests through the REST client, object downloads and uploads. The reply
    comes back only for a status below 400, and for an upload only for a 2xx; a failing status
    is its error (with the request id from the broker); anything the HTTP library cannot read is
    its error."""
    if not data:
        return
    mode, raw = data[0], data[1:]
    repeat = 10 if mode & 0x10 else 1  # the same reply to every attempt: the retries run out
    kind = (mode & 0x0F) % 5
    broker_kind = kind < 3
    with _Stage([raw] * repeat if broker_kind else [], one_off=[] if broker_kind else [raw] * repeat) as stage:
        server, aws = _server(), norvo.providers.server.aws
        if kind == 0:
            stage.log_in()
        call = (
            lambda: server.client.get("events", params={"type": "container", "start": 0}),
            lambda: server.client.get("time", auth=False),
            lambda: server.client.post("containers", json={"a": 1}, auth=False),
            lambda: aws.get(STORE_URL),
            lambda: aws.put(STORE_URL, data=b"data"),
        )[kind]
        try:
            reply = call()
        except _http_errors() as exc:
            if broker_kind:
                _check_request_id(exc)
            return
        if 400 <= reply.status_code < 600:
            raise Violation("a failing status {} came back as a reply".format(reply.status_code))
        if kind == 4 and not 200 <= reply.status_code < 300:
            raise Violation("an upload answered {} came back as done".format(reply.status_code))
        if not isinstance(reply.content, bytes):
            raise Violation("a reply without its body")


def target_object_range(data):
    """A ranged object download given the store's reply: exactly the slice asked for, a 206
    whose body is as long as its Content-Length and as the range, or the documented errors
    (AssertionError for anything else; KeyError without a Content-Length; the conversion's
    ValueError for one that is no integer; the HTTP errors)."""
    if len(data) < 3:
        return
    start = data[0]
    end = start + 1 + data[1]
    raw = data[2:]
    with _Stage([], one_off=[raw]):
        try:
            reply = norvo.providers.server.aws.get(STORE_URL, start, end)
        except (AssertionError, KeyError, ValueError) + _http_errors():
            return
    if reply.status_code != 206 or len(reply.content) != end - start + 1:
        raise Violation("a ranged read gave {} with {} bytes for {}-{}".format(
            reply.status_code, len(reply.content), start, end))
    if int(reply.headers["Content-Length"]) != len(reply.content):
        raise Violation("a ranged read whose body is not its Content-Length")


def target_public_key_records(data):
    """Another user's public key ring from the broker's key records (`keys.get`): a ring of
    that user with an active derivation key, or a documented refusal."""
    from cryptography.exceptions import UnsupportedAlgorithm

    if not data:
        return
    owner = uuid.UUID("66666666-7777-4888-9999-aaaaaaaaaaaa")
    provider = norvo.providers.Provider()
    provider.server_url = BROKER_URL
    with _Stage([_json_reply(data)]) as stage:
        stage.log_in()
        try:
            ring = provider.keys.get(owner)
        except (KeyError, ValueError, TypeError, AssertionError, RecursionError, UnsupportedAlgorithm) + _http_errors():
            return
    if ring.user_id != owner:
        raise Violation("a key ring of another user was handed out")
    if ring.get_first_valid(keys_mod.KeyType.DERIVATION) is None:
        raise Violation("a key ring without an active derivation key was handed out")
