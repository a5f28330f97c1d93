"""The broker session and its challenge login, against the loopback broker."""
import base64
import datetime
import importlib
import logging
import os
import select
import signal
import threading
import traceback
import types
import uuid
import warnings

import arrow
import pytest
import requests
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec

import broker as loopback
from broker_fixtures import API_KEY, APP_NAME, StandInUser, make_user

SESSION_LOG = "norvo.providers.server.session"
NEED_USER = "Need to pass a user if authenticating for the first time."
FIELDS = ("user", "api_key", "token", "key", "time_offset", "client", "app_name", "expires_at")
UTC = datetime.timezone.utc


def session_module():
    return importlib.import_module("norvo.providers.server.session")


def frozen_arrow(moment):
    """Stands in for the session module's `arrow`: a fixed utcnow, the real parser."""
    return types.SimpleNamespace(utcnow=lambda: moment, get=arrow.get)


def decode_basic(entry):
    scheme, _, credentials = entry.headers["Authorization"].partition(" ")
    assert scheme == "Basic"
    user_part, _, password = base64.b64decode(credentials).partition(b":")
    return user_part, password


# ---- the class, its instance and configuration


def test_package_exposes_the_instance_and_a_fresh_session_is_empty():
    import norvo.providers.server as server

    module = session_module()
    assert server.session is module.session
    assert isinstance(server.session, module.NorvoSession)
    assert issubclass(module.NorvoSession, requests.Session)
    assert server.client is importlib.import_module("norvo.providers.server.client")

    fresh = module.NorvoSession()
    assert all(getattr(fresh, name) is None for name in FIELDS)
    assert fresh.authenticated() is False
    assert fresh.headers["User-Agent"].startswith("python-requests")  # the base constructor ran


def test_initialize_checks_only_that_the_url_parses(caplog):
    s = session_module().NorvoSession()
    s.initialize("key-1", "", app_name="app")
    assert (s.api_key, s.app_name) == ("key-1", "app")

    for bad in ("http://[::1", 123):
        with pytest.raises(ValueError, match=r"^server_url is not a valid url\.$"):
            s.initialize("key-2", bad, app_name="other")
        assert (s.api_key, s.app_name) == ("key-2", "other")
    warnings = [r for r in caplog.records if r.name == SESSION_LOG and r.levelno == logging.WARNING]
    assert [r.getMessage() for r in warnings] == ["server_url is not a valid url."] * 2


# ---- headers, request ids and signatures


def test_signed_requests_carry_headers_fresh_ids_and_verified_signatures(logged_in):
    broker, client = logged_in.broker, logged_in.client
    before = len(broker.log)
    for _ in range(2):
        client.get("events", params={"type": "container"})
    first, second = broker.log[before:]

    for entry in (first, second):
        assert entry.verdict == "ok" and entry.user == str(logged_in.user.id)
        assert entry.headers["X-Norvo-Api-Key"] == API_KEY
        assert entry.headers["X-Norvo-App-Name"] == APP_NAME
        user_part, _ = decode_basic(entry)
        assert user_part.startswith(logged_in.session.token.encode() + b",")
    assert first.headers["X-Request-Id"] != second.headers["X-Request-Id"]
    assert decode_basic(first) != decode_basic(second)
    uuid.UUID(first.headers["X-Request-Id"], version=4)
    # Handshake and both requests went over one kept-alive connection.
    assert broker.connections == 1 and {e.connection for e in broker.log} == {1}


@pytest.mark.parametrize("app_name, sent", [(None, None), ("", None), ("Notes", "Notes")])
def test_application_name_header_only_when_set(server, app_name, sent):
    server.session.app_name = app_name
    server.client.get("time", auth=False)
    assert server.broker.log[-1].headers["X-Norvo-App-Name"] == sent


@pytest.mark.parametrize("api_key, sent", [
    (uuid.UUID(API_KEY), API_KEY),   # a UUID key is sent as its text
    (API_KEY.encode(), API_KEY),
    (12345, "12345"),
    (None, None),                    # no key: no header
])
def test_api_key_header_forms(server, api_key, sent):
    server.session.api_key = api_key
    reply = server.client.get("time", auth=False)
    assert reply.status_code == 200
    assert server.broker.log[-1].headers["X-Norvo-Api-Key"] == sent


def test_unsigned_request_needs_no_login(server):
    reply = server.client.get("time", auth=False)
    assert reply.status_code == 200
    entry = server.broker.log[-1]
    assert entry.headers["Authorization"] is None
    assert [e.route for e in server.broker.log] == ["time"]


def test_caller_cannot_pass_headers(server):
    with pytest.raises(TypeError, match="headers"):
        server.session.request("get", server.broker.url + "v1.0/time/", auth=False, headers={"X": "1"})
    assert server.broker.log == []


def test_broker_refuses_tampered_or_lapsed_signatures(logged_in):
    """The broker's checks are what make an "ok" verdict mean something."""
    broker, session = logged_in.broker, logged_in.session
    url = broker.url + "v1.0/events/?type=container"

    def send(req_id=None, auth_id=None, auth=True):
        req_id = req_id or str(uuid.uuid4())
        headers = {"X-Request-Id": req_id, "X-Norvo-Api-Key": API_KEY}
        pair = session._get_auth(auth_id or req_id) if auth else None
        return requests.get(url, headers=headers, auth=pair).status_code, broker.log[-1].verdict

    assert send() == (200, "ok")
    assert send(auth_id=str(uuid.uuid4())) == (401, "401: bad signature")
    assert send(auth=False) == (401, "401: no basic authorisation")
    broker.clock_skew = datetime.timedelta(minutes=10)
    assert send() == (401, "401: signed time outside the window")
    broker.clock_skew = datetime.timedelta(0)
    broker.expire_tokens()
    assert send() == (401, "401: token expired")


# ---- the signed authorisation


@pytest.mark.parametrize("now, stamp", [
    ("2026-03-01T12:00:00+00:00", "2026-03-01T11:58:30+00:00"),
    ("2026-03-01T12:00:00.250000+00:00", "2026-03-01T11:58:30.250000+00:00"),
])
def test_signed_pair_binds_token_broker_time_and_request_id(monkeypatch, now, stamp):
    module = session_module()
    moment = arrow.get(now)
    monkeypatch.setattr(module, "arrow", frozen_arrow(moment))
    user = make_user()
    s = module.NorvoSession()
    s.user, s.token, s.key = user, "tok-1", user.keys["signingKeys"][0]
    s.expires_at, s.time_offset = moment.shift(hours=1), datetime.timedelta(seconds=90)

    req_id = "0b4c2a0e-9a57-4d5c-8f7e-3c1a2b4d5e6f"
    user_part, password = s._get_auth(req_id)

    assert user_part == b"tok-1," + base64.b64encode(stamp.encode())
    assert len(user_part) - len(b"tok-1,") == (44 if "." in stamp else 36)
    signature = base64.b64decode(password, validate=True)
    s.key.public.verify(signature, user_part + req_id.encode(), ec.ECDSA(hashes.SHA384()))


def signing_session(offset, expires_at=None):
    user = make_user()
    s = session_module().NorvoSession()
    s.user, s.token, s.key = user, "tok-1", user.keys["signingKeys"][0]
    s.expires_at = arrow.utcnow().shift(days=1) if expires_at is None else expires_at
    s.time_offset = offset
    return s


@pytest.mark.parametrize("offset", [datetime.timedelta(0), datetime.timedelta(seconds=90),
                                    datetime.timedelta(hours=-2, microseconds=-250)])
def test_stamp_read_from_the_clock_is_the_text_arrow_writes(offset):
    s = signing_session(offset)
    before = arrow.utcnow() - offset
    user_part, _ = s._get_auth("0b4c2a0e-9a57-4d5c-8f7e-3c1a2b4d5e6f")
    after = arrow.utcnow() - offset

    stamp = base64.b64decode(user_part[len(b"tok-1,"):], validate=True).decode()
    signed = arrow.get(stamp)
    assert before <= signed <= after
    assert stamp == signed.isoformat()


@pytest.mark.parametrize("expires_at, offset, valid", [
    (lambda: arrow.utcnow().shift(hours=1), 0, True),
    (lambda: arrow.utcnow().shift(seconds=-1), 0, False),
    (lambda: arrow.utcnow().shift(hours=1), -7200, False),     # the broker's clock, two hours ahead
    (lambda: arrow.utcnow().shift(hours=1), -1800, True),
    (lambda: datetime.datetime.now(UTC) + datetime.timedelta(hours=1), 0, True),
    (lambda: datetime.datetime.now(UTC) - datetime.timedelta(seconds=1), 0, False),
])
def test_login_validity_on_the_clock(expires_at, offset, valid):
    s = signing_session(datetime.timedelta(seconds=offset), expires_at())
    assert s.authenticated() is valid


def test_signature_algorithm_is_read_at_each_signing(logged_in, monkeypatch):
    crypto = session_module().crypto
    original = crypto.ecdsa
    events = lambda: logged_in.client.get("events", params={"type": "container"})
    monkeypatch.setattr(crypto, "ecdsa", types.SimpleNamespace(ECDSA=ec.ECDSA(hashes.SHA256())))
    with pytest.raises(requests.HTTPError, match="401"):
        events()
    assert logged_in.broker.log[-1].verdict == "401: bad signature"
    monkeypatch.setattr(crypto, "ecdsa", original)
    events()
    assert logged_in.broker.log[-1].verdict == "ok"


# ---- the login handshake


def test_authenticate_without_any_user(server, caplog):
    with pytest.raises(ValueError, match="^" + NEED_USER + "$"):
        server.session.authenticate(server.client)
    assert server.session.client is None
    assert server.broker.log == []
    assert NEED_USER in [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]


@pytest.mark.parametrize("keys, inactive", [(0, ()), (2, (0, 1))])
def test_no_usable_key_sends_nothing(server, caplog, keys, inactive):
    user = make_user(keys, inactive=inactive)
    message = "Unable to authenticate <User {}>".format(user.id)
    with pytest.raises(RuntimeError, match="^" + message + "$"):
        server.session.authenticate(server.client, user)
    assert server.session.client is server.client
    assert server.session.user is None
    assert server.broker.log == []
    assert message in [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]


def test_login_walks_the_active_keys_until_a_token_comes(server):
    """Key 0 inactive (skipped), key 1 unknown to the broker (no token), key 2 logs in."""
    broker = server.broker
    user = make_user(3, inactive=(0,))
    broker.register_key(user.id, 2, user.keys["signingKeys"][2].public)
    # The second challenge comes from a broker clock 30 seconds behind.
    broker.script("time", lambda ctx: None, loopback.Skew(-30))

    server.session.authenticate(server.client, user)

    assert [(e.route, e.arg("authKeyIndex")) for e in broker.log] == [
        ("time", None), ("login", "1"), ("time", None), ("login", "2")]
    assert broker.log[1].verdict == "refused: unknown key"
    assert all(e.headers["Authorization"] is None for e in broker.log)
    s = server.session
    assert s.user is user and s.key is user.keys["signingKeys"][2] and s.authenticated()
    assert abs(s.time_offset.total_seconds() - 30) < 5
    # The user id travels as its hyphenated text.
    login = broker.log[3]
    assert login.arg("userId") == str(user.id)


@pytest.mark.parametrize("time_format", [
    lambda moment: moment.replace(tzinfo=None).isoformat(),                       # no UTC offset
    lambda moment: moment.strftime("%Y-%m-%dT%H:%M:%S.%fZ"),                     # fraction, Z
    lambda moment: moment.replace(microsecond=0).isoformat(),                     # no fraction
])
def test_challenge_is_echoed_as_received(server, time_format):
    broker = server.broker
    sent = []
    broker.time_format = lambda moment: sent.append(time_format(moment)) or sent[-1]
    user = make_user()
    broker.register_user(user)
    server.session.authenticate(server.client, user)
    assert broker.log[1].arg("challenge") == sent[0]
    assert broker.log[1].verdict == "ok"


def test_broker_clock_behind_gives_positive_offset_and_requests_still_verify(server):
    broker = server.broker
    broker.clock_skew = datetime.timedelta(seconds=-30)
    broker.signature_window = datetime.timedelta(seconds=5)
    user = make_user()
    broker.register_user(user)
    server.session.authenticate(server.client, user)
    assert 28 < server.session.time_offset.total_seconds() < 32
    server.client.get("events", params={"type": "container"})
    assert broker.log[-1].verdict == "ok"


def test_broker_refuses_a_stale_challenge(server):
    broker = server.broker
    user = make_user()
    broker.register_user(user)
    broker.script("time", loopback.Skew(-3600))
    with pytest.raises(RuntimeError, match="Unable to authenticate"):
        server.session.authenticate(server.client, user)
    assert broker.log[1].verdict == "refused: stale challenge"


def test_failing_login_request_ends_the_handshake(logged_in):
    broker, session = logged_in.broker, logged_in.session
    before = (session.token, session.expires_at, session.user, session.time_offset, session.key)
    other = make_user(2)
    broker.register_user(other)
    broker.script("login", 404)
    start = len(broker.log)
    with pytest.raises(requests.HTTPError, match="  Request ID: "):
        session.authenticate(logged_in.client, other)
    assert [e.route for e in broker.log[start:]] == ["time", "login"]  # key 1 never tried
    assert (session.token, session.expires_at, session.user, session.time_offset, session.key) == before


@pytest.mark.parametrize("reply", [
    {"token": "new-token"},                                   # no expiry
    {"token": "new-token", "expiration": "next tuesday"},     # an expiry that does not parse
])
def test_incomplete_login_reply_leaves_the_login_whole(logged_in, reply):
    broker, session = logged_in.broker, logged_in.session
    before = (session.token, session.expires_at, session.user, session.time_offset, session.key)
    other = make_user()
    broker.register_user(other)
    broker.script("login", loopback.Reply.json(reply))
    # A missing key, an expiry that does not parse (the parser's error is a ValueError) or one
    # of the wrong type.
    with pytest.raises((KeyError, ValueError, TypeError)):
        session.authenticate(logged_in.client, other)
    assert (session.token, session.expires_at, session.user, session.time_offset, session.key) == before
    assert session.client is logged_in.client


def test_login_with_another_user_replaces_the_first(logged_in):
    other = make_user()
    logged_in.broker.register_user(other)
    logged_in.session.authenticate(logged_in.client, other)
    assert logged_in.session.user is other
    logged_in.client.get("events", params={"type": "container"})
    assert logged_in.broker.log[-1].user == str(other.id)


# ---- lapsed logins and logout


def recording_client(client, calls):
    def get(*args, **kwargs):
        calls.append(args[0])
        return client.get(*args, **kwargs)

    return types.SimpleNamespace(get=get)


@pytest.mark.parametrize("lapse", ["expires_now", "expired"])
def test_lapsed_login_logs_in_again_through_the_stored_client(server, monkeypatch, lapse):
    broker, session = server.broker, server.session
    user = make_user()
    broker.register_user(user)
    calls = []
    session.authenticate(recording_client(server.client, calls), user)
    old_token = session.token

    if lapse == "expires_now":
        moment = arrow.utcnow()
        monkeypatch.setattr(session_module(), "arrow", frozen_arrow(moment))
        session.expires_at = moment        # an expiry equal to now counts as expired
    else:
        broker.expire_tokens()
        session.expires_at = arrow.utcnow().shift(seconds=-1)
    start = len(broker.log)
    server.client.get("events", params={"type": "container"})

    assert [e.route for e in broker.log[start:]] == ["time", "login", "events"]
    assert broker.log[-1].verdict == "ok"
    assert calls == ["time", "login", "time", "login"]
    assert session.token != old_token and session.user is user


def test_failed_relogin_keeps_the_lapsed_login_and_tries_again(logged_in):
    broker, session = logged_in.broker, logged_in.session
    broker.expire_tokens()
    session.expires_at = arrow.utcnow().shift(seconds=-1)
    before = (session.token, session.expires_at, session.user, session.key)
    broker.script("login", loopback.Reply.json({"error": "no"}))
    start = len(broker.log)
    with pytest.raises(RuntimeError, match="Unable to authenticate"):
        logged_in.client.get("events", params={"type": "container"})
    assert [e.route for e in broker.log[start:]] == ["time", "login"]  # the request was not sent
    assert (session.token, session.expires_at, session.user, session.key) == before

    logged_in.client.get("events", params={"type": "container"})
    assert [e.route for e in broker.log[-3:]] == ["time", "login", "events"]
    assert broker.log[-1].verdict == "ok"


def test_logout_forgets_the_login_but_not_the_configuration(logged_in):
    session, broker = logged_in.session, logged_in.broker
    expires_at = session.expires_at
    session.logout()
    assert (session.user, session.token, session.key, session.time_offset) == (None,) * 4
    assert session.expires_at is expires_at and session.client is logged_in.client
    assert session.authenticated() is False

    start = len(broker.log)
    with pytest.raises(ValueError, match="^" + NEED_USER + "$"):
        logged_in.client.get("events", params={"type": "container"})
    assert len(broker.log) == start
    logged_in.client.get("time", auth=False)
    assert broker.log[-1].headers["X-Norvo-Api-Key"] == API_KEY


# ---- debug lines


def test_debug_lines_keep_their_format_without_credentials(server, caplog):
    caplog.set_level(logging.DEBUG, logger=SESSION_LOG)
    user = make_user()
    server.broker.register_user(user)
    server.session.authenticate(server.client, user)
    server.client.get("events", params={"type": "container"})

    lines = [r.getMessage() for r in caplog.records if r.name == SESSION_LOG]
    text = "\n".join(lines)
    login = server.broker.log[1]
    secrets = [API_KEY, server.session.token, login.arg("verification"),
               server.broker.log[2].headers["Authorization"].split()[1]]
    for secret in secrets:
        assert secret not in text

    url = server.broker.url + "v1.0/time/"
    req_id = server.broker.log[0].headers["X-Request-Id"]
    assert lines[0] == "GET {} {} None None None".format(
        url, {"X-Norvo-Api-Key": "***", "X-Request-Id": req_id, "X-Norvo-App-Name": APP_NAME})
    assert lines[1].startswith("<Response [200]> {'time': ")
    assert "'verification': '***'" in lines[2] and "'userId': '{}'".format(user.id) in lines[2]
    assert lines[3].startswith("<Response [200]> {'token': '***', 'expiration': ")
    assert lines[4].startswith("GET {}v1.0/events/ ".format(server.broker.url))
    assert lines[4].endswith(" {'type': 'container'} None None")


@pytest.mark.parametrize("level, written", [(logging.INFO, False), (logging.DEBUG, True)])
def test_debug_lines_are_made_only_when_written(logged_in, caplog, monkeypatch, level, written):
    """Neither the request's line (which prints the query) nor the reply's (which decodes the
    body) is made while the logger does not write debug lines."""
    printed, decoded = [], []

    class Kind(object):
        def __str__(self):
            return "container"

        def __repr__(self):
            printed.append(self)
            return "'container'"

    json = requests.Response.json
    monkeypatch.setattr(requests.Response, "json", lambda reply, **kw: decoded.append(reply) or json(reply, **kw))
    caplog.set_level(level, logger=SESSION_LOG)
    logged_in.client.get("events", params={"type": Kind()})
    assert logged_in.broker.log[-1].verdict == "ok"
    assert (bool(printed), bool(decoded)) == (written, written)
    lines = [r.getMessage() for r in caplog.records if r.name == SESSION_LOG]
    assert len(lines) == (2 if written else 0)


def test_success_whose_body_is_not_json_is_returned_and_logged_as_text(server, caplog):
    caplog.set_level(logging.DEBUG, logger=SESSION_LOG)
    server.broker.script("time", loopback.NOT_JSON)
    reply = server.client.get("time", auth=False)
    assert reply.status_code == 200 and reply.text == loopback.NOT_JSON.body.decode()
    last = [r.getMessage() for r in caplog.records if r.name == SESSION_LOG][-1]
    assert last == "<Response [200]> " + reply.text


def test_other_statuses_are_not_decoded(server, caplog):
    caplog.set_level(logging.DEBUG, logger=SESSION_LOG)
    server.broker.script("time", 204)
    reply = server.client.get("time", auth=False)
    assert reply.status_code == 204
    assert [r.getMessage() for r in caplog.records if r.name == SESSION_LOG][-1] == "<Response [204]>"


# ---- the session token: only the bearer syntax is taken and signed

UNFIT_TOKENS = {
    "blank": "",
    "a comma": "tok,en",
    "non-ASCII": "tökén-1234",
    "a control character": "token\x01value",
    "a line break": "token\nvalue",
    "padding in the middle": "tok=en",
    "padding alone": "==",
    "4,097 characters": "A" * 4097,
    "a number": 123456789,
    "null": None,
}


def login_state(session):
    return (session.token, session.expires_at, session.user, session.time_offset, session.key)


@pytest.mark.parametrize("token", UNFIT_TOKENS.values(), ids=UNFIT_TOKENS.keys())
def test_a_login_reply_with_an_unfit_token_fails_and_nothing_is_signed_with_it(logged_in, caplog, token):
    broker, session = logged_in.broker, logged_in.session
    before = login_state(session)
    other = make_user(2)
    broker.register_user(other)
    broker.new_token = lambda: token
    start = len(broker.log)

    message = "Unable to authenticate <User {}>: the broker's login reply held no valid session token.".format(
        other.id)
    with pytest.raises(RuntimeError) as raised:
        session.authenticate(logged_in.client, other)
    assert str(raised.value) == message
    assert message in [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert login_state(session) == before
    assert [e.route for e in broker.log[start:]] == ["time", "login"]  # the second key is not tried

    # The next signed request goes out with the old login, and none ever with the unfit token.
    logged_in.client.get("events", params={"type": "container"})
    assert broker.log[-1].verdict == "ok" and broker.log[-1].user == str(logged_in.user.id)
    signed = [decode_basic(e)[0] for e in broker.log if e.headers["Authorization"]]
    assert all(part.startswith(before[0].encode() + b",") for part in signed)


@pytest.mark.parametrize("token", [t for t in UNFIT_TOKENS.values() if t], ids=[k for k, t in UNFIT_TOKENS.items() if t])
def test_an_assigned_token_outside_the_syntax_is_never_signed(logged_in, token):
    logged_in.session.token = token
    start = len(logged_in.broker.log)
    with pytest.raises(RuntimeError, match="^The session token is not a valid session token"):
        logged_in.client.get("events", params={"type": "container"})
    with pytest.raises(RuntimeError):
        logged_in.session._get_auth(str(uuid.uuid4()))
    assert len(logged_in.broker.log) == start


def jwt_like(length):
    """A JSON web token of `length` characters: three base64url parts joined by dots."""
    head = base64.urlsafe_b64encode(b'{"alg":"ES384","typ":"JWT"}').rstrip(b"=").decode()
    tail = base64.urlsafe_b64encode(bytes(range(256)) * 16).decode().rstrip("=")
    body = (tail * 2)[: length - len(head) - 2 - 64]
    return "{}.{}.{}".format(head, body, tail[:64])


@pytest.mark.parametrize("token", [jwt_like(4096), "Tok+/~-._9==", "x"])
def test_a_long_token_of_the_syntax_keeps_working(server, token):
    assert len(jwt_like(4096)) == 4096
    broker = server.broker
    broker.new_token = lambda: token
    user = make_user()
    broker.register_user(user)
    server.session.authenticate(server.client, user)
    assert server.session.token == token
    server.client.get("events", params={"type": "container"})
    assert broker.log[-1].verdict == "ok"
    assert decode_basic(broker.log[-1])[0].startswith(token.encode() + b",")


# ---- the API key: one that cannot go into a header is refused, and never shown

UNFIT_KEYS = {
    "a line break": (API_KEY + "\n", "a line break"),
    "a carriage return": ("\r" + API_KEY, "a line break"),
    "a control character": (API_KEY[:8] + "\x00" + API_KEY[8:], "a control character"),
    "a tab": (API_KEY + "\t", "a control character"),
    "non-ASCII": (API_KEY.replace("-", "\u2011"), "a non-ASCII character"),
    "a blank at an end": (" " + API_KEY, "a blank at its start or end"),
    "bytes with a line break": ((API_KEY + "\r\n").encode(), "a line break"),
}


def texts_of(error):
    """The texts an error shows, as a traceback of it would: its own and its chain's."""
    return "".join(traceback.format_exception(type(error), error, error.__traceback__))


@pytest.mark.parametrize("key, fault", UNFIT_KEYS.values(), ids=UNFIT_KEYS.keys())
def test_initialize_refuses_a_key_that_cannot_go_into_a_header(key, fault):
    s = session_module().NorvoSession()
    s.initialize("kept-key", "http://127.0.0.1/", app_name="kept")
    with pytest.raises(ValueError) as raised:
        s.initialize(key, "http://127.0.0.1/", app_name="other")
    assert str(raised.value) == "The API key holds {}, so it cannot be sent in a request header.".format(fault)
    assert API_KEY not in texts_of(raised.value)
    assert (s.api_key, s.app_name) == ("kept-key", "kept")


def test_the_library_refuses_such_a_key_before_anything_changes(fresh_provider, tmp_path):
    from norvo import _lifecycle

    ofs = importlib.import_module("norvo.providers.ofs")
    session = importlib.import_module("norvo.providers.server").session
    before = (ofs.client.ROOT_DIR, session.api_key, fresh_provider.settings)
    root = tmp_path / "store"
    with pytest.raises(ValueError, match="^The API key holds a line break") as raised:
        _lifecycle.initialize(API_KEY + "\n", fips=False, server_url="http://127.0.0.1:1/", root_dir=str(root))
    assert API_KEY not in texts_of(raised.value)
    assert not root.exists() and not fresh_provider.configured
    assert (ofs.client.ROOT_DIR, session.api_key, fresh_provider.settings) == before


def test_a_key_assigned_directly_is_refused_unsent_and_shown_nowhere(server, caplog, sleeps):
    caplog.set_level(logging.DEBUG)
    server.session.api_key = API_KEY + "\n"
    for auth in (False, True):
        with pytest.raises(ValueError, match="^The API key holds a line break") as raised:
            server.client.get("time", auth=auth)
        assert API_KEY not in texts_of(raised.value)
    assert server.broker.log == []
    assert API_KEY not in caplog.text


def test_errors_leaving_a_request_never_quote_the_key(server, monkeypatch, caplog):
    caplog.set_level(logging.DEBUG)

    def refuse(self, method, url, headers=None, **kwargs):
        cause = requests.ConnectionError("could not send {!r}".format(headers))
        raise requests.ConnectionError("sending failed: {}".format(headers["X-Norvo-Api-Key"])) from cause

    monkeypatch.setattr(requests.Session, "request", refuse)
    with pytest.raises(requests.ConnectionError) as raised:
        server.client.get("time", auth=False)
    text = texts_of(raised.value)
    assert API_KEY not in text and "sending failed: ***" in text
    assert API_KEY not in caplog.text


def test_debug_lines_show_a_key_file_by_its_length(server, caplog):
    caplog.set_level(logging.DEBUG, logger=SESSION_LOG)
    key_file = base64.b64encode(bytes(range(256)) * 3).decode()
    server.broker.add_route("PUT", "keyfile-echo/", lambda ctx: loopback.Reply.json(
        {"keyFile": ctx.request.json()["keyFile"], "nested": [{"keyFile": key_file}]}), signed=False)
    server.client.put("keyfile-echo", json={"keyFile": key_file, "reminder": "the blue notebook"}, auth=False)

    lines = [r.getMessage() for r in caplog.records if r.name == SESSION_LOG]
    shown = "'keyFile': '<key file of {} characters>'".format(len(key_file))
    assert lines[0].endswith("{{{}, 'reminder': 'the blue notebook'}} None".format(shown))
    assert lines[1] == "<Response [200]> {{{}, 'nested': [{{{}}}]}}".format(shown, shown)
    assert key_file[:16] not in caplog.text


# ---- an operation runs as the user it started with

def no_longer(user):
    return "^{} is no longer logged in: an operation started as that user cannot finish\\.$".format(user)


def in_thread(work):
    """Runs `work` on a thread of its own (whose context is not bound) and waits for it."""
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(work()))
    thread.start()
    thread.join(TEST_THREAD_LIMIT)
    assert outcome, "the thread did not finish"
    return outcome[0]


TEST_THREAD_LIMIT = 20


@pytest.fixture
def two_users(logged_in):
    """Alice logged in (the fixture's user), Bob registered."""
    bob = make_user()
    logged_in.broker.register_user(bob)
    logged_in.alice, logged_in.bob = logged_in.user, bob
    return logged_in


def events_request(server):
    return server.client.get("events", params={"type": "container"})


@pytest.mark.parametrize("switch", ["Bob logs in on another thread", "Bob logs in inside the binding",
                                    "a logout", "a login lapsed while Bob is logged in"])
def test_a_bound_context_signs_nothing_once_its_user_is_gone(two_users, switch):
    s, broker, alice, bob = two_users.session, two_users.broker, two_users.alice, two_users.bob
    with s.bound_to(alice) as bound:
        assert bound is alice
        events_request(two_users)
        assert broker.log[-1].user == str(alice.id)
        if switch == "Bob logs in on another thread":
            in_thread(lambda: s.authenticate(two_users.client, bob))
        elif switch == "Bob logs in inside the binding":
            s.authenticate(two_users.client, bob)
        elif switch == "a logout":
            s.logout()
        else:
            in_thread(lambda: s.authenticate(two_users.client, bob))
            broker.expire_tokens()
            s.expires_at = arrow.utcnow().shift(seconds=-1)
        start = len(broker.log)
        for _ in range(2):
            with pytest.raises(RuntimeError, match=no_longer(alice)):
                events_request(two_users)
        with pytest.raises(RuntimeError, match=no_longer(alice)):
            s._get_auth(str(uuid.uuid4()))
        assert broker.log[start:] == []  # neither a re-login nor a request went out
        # Unsigned requests are nobody's: they still go.
        two_users.client.get("time", auth=False)
    if switch != "a logout":
        # Unbound, and on any other thread, the session works for whoever is logged in.
        assert s.user is bob
        in_thread(lambda: events_request(two_users))
        events_request(two_users)
        assert [e.user for e in broker.log[-2:]] == [str(bob.id)] * 2


def test_bindings_nest_and_bind_only_their_thread(two_users):
    s, alice, bob = two_users.session, two_users.alice, two_users.bob
    fresh_alice = StandInUser(alice.id, alice.keys)  # the same user, as a new login makes it
    with s.bound_to(fresh_alice):
        events_request(two_users)  # compared by id
        s.authenticate(two_users.client, bob)
        with s.bound_to(bob):
            events_request(two_users)
            assert two_users.broker.log[-1].user == str(bob.id)
        with pytest.raises(RuntimeError, match=no_longer(alice)):
            events_request(two_users)
        assert in_thread(lambda: events_request(two_users)).status_code == 200
    events_request(two_users)
    with s.bound_to(None), pytest.raises(RuntimeError, match=no_longer(None)):
        events_request(two_users)


def test_a_bound_relogin_runs_only_for_its_user_and_stores_nothing_over_another(two_users):
    s, broker, alice, bob = two_users.session, two_users.broker, two_users.alice, two_users.bob
    real = two_users.client

    # Lapsed, Alice's login is renewed for her bound operation.
    broker.expire_tokens()
    s.expires_at = arrow.utcnow().shift(seconds=-1)
    with s.bound_to(alice):
        start = len(broker.log)
        events_request(two_users)
        assert [(e.route, e.user) for e in broker.log[start:]] == [
            ("time", None), ("login", None), ("events", str(alice.id))]

    # Bob logs in on another thread while her renewal waits for the broker: its reply is not
    # stored over his login, and her request is not sent.
    class Meanwhile(object):
        def get(self, path, **kwargs):
            if path == "login":
                in_thread(lambda: s.authenticate(real, bob))
            return real.get(path, **kwargs)

    broker.expire_tokens()
    s.expires_at = arrow.utcnow().shift(seconds=-1)
    s.client = Meanwhile()
    with s.bound_to(alice):
        start = len(broker.log)
        with pytest.raises(RuntimeError, match=no_longer(alice)):
            events_request(two_users)
    assert [e.route for e in broker.log[start:]] == ["time", "time", "login", "login"]
    assert s.user is bob and s.key is bob.keys["signingKeys"][0]
    events_request(two_users)
    assert broker.log[-1].user == str(bob.id)


# ---- forked children

CHILD_LIMIT = 30


def start_child(work):
    """Forks; the child runs `work()` under an alarm and exits 0, or writes its traceback to the
    pipe and exits 1. Returns (pid, read end of the pipe)."""
    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking a process that has threads
        pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        status = 1
        try:
            os.close(read)
            signal.alarm(CHILD_LIMIT)
            work()
            status = 0
        except BaseException:
            os.write(write, traceback.format_exc().encode()[-8000:])
        finally:
            os._exit(status)
    os.close(write)
    return pid, read


def finish_child(pid, read):
    """The child's exit status and what it wrote, waiting at most CHILD_LIMIT seconds."""
    watch = os.pidfd_open(pid)
    try:
        if not select.select([watch], [], [], CHILD_LIMIT + 5)[0]:
            os.kill(pid, signal.SIGKILL)
        status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    finally:
        os.close(watch)
    with os.fdopen(read, "rb") as pipe:
        return status, pipe.read().decode(errors="replace")


def test_forked_children_get_connections_of_their_own(logged_in):
    broker, client, session = logged_in.broker, logged_in.client, logged_in.session
    containers = [str(uuid.uuid4()) for _ in range(4)]
    for container_id in containers:
        broker.add_event(containerId=container_id)

    stop, running, failures = threading.Event(), threading.Event(), []

    def keep_fetching():
        while not stop.is_set():
            try:
                assert len(client.get("events", params={"type": "container"}).json()["events"]) == 4
            except BaseException as error:
                failures.append(error)
                return
            running.set()

    def child(number, container_id):
        session.app_name = "child-{}".format(number)
        for _ in range(5):
            reply = client.get("events", params={"type": "container", "containerId": container_id})
            assert [e["containerId"] for e in reply.json()["events"]] == [container_id]

    worker = threading.Thread(target=keep_fetching)
    worker.start()
    try:
        assert running.wait(TEST_THREAD_LIMIT)
        parents = {e.connection for e in broker.log}
        children = [start_child(lambda n=n, c=c: child(n, c)) for n, c in enumerate(containers)]
        outcomes = [finish_child(*started) for started in children]
        for _ in range(5):
            events_request(logged_in)
    finally:
        stop.set()
        worker.join(TEST_THREAD_LIMIT)
    assert outcomes == [(0, "")] * 4 and failures == []

    by_app = {}
    for entry in broker.log:
        by_app.setdefault(entry.headers["X-Norvo-App-Name"], []).append(entry)
    parents |= {e.connection for e in by_app[APP_NAME]}
    for number in range(4):
        mine = by_app["child-{}".format(number)]
        assert len(mine) == 5 and {e.verdict for e in mine} == {"ok"}
        assert {e.connection for e in mine}.isdisjoint(parents)
    # The children left the parent's connections open: nothing was sent on them to close them.
    assert parents.isdisjoint(broker.closed_connections)
