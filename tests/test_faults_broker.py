"""The server provider against a broker and object store that misbehave: refused and dropped
connections, replies cut short, JSON that is malformed, empty, huge or nested past any limit,
storms of failing statuses, tokens that lapse in the middle of the work, and a broker whose
clock is far from ours. Every fault gives the value or a clear error, never a hang, and the
next request works again."""
import datetime
import gzip
import importlib
import logging
import os
import time
import types

import arrow
import pytest
import requests

import broker as loopback
from broker_fixtures import free_port, make_user

pytestmark = pytest.mark.filterwarnings("ignore::sqlalchemy.exc.SAWarning",
                                        "ignore:The 'EncryptedType' class will change:DeprecationWarning")

ALL_WAITS = [2, 4, 8] + [10] * 6
HOUR = 3600
SESSION_LOG = "norvo.providers.server.session"




@pytest.fixture
def clocks(broker, monkeypatch):
    """`clocks(seconds)` moves our clock (as the broker session reads it) and the broker's
    forward together, as time passing would."""
    session_module = importlib.import_module("norvo.providers.server.session")
    shift = [datetime.timedelta(0)]
    monkeypatch.setattr(session_module, "arrow",
                        types.SimpleNamespace(utcnow=lambda: arrow.utcnow() + shift[0], get=arrow.get))

    def advance(seconds):
        shift[0] += datetime.timedelta(seconds=seconds)
        broker.clock_skew += datetime.timedelta(seconds=seconds)

    return advance


def quickly(started, limit=5):
    assert time.monotonic() - started < limit


# ---- connections refused and dropped


def test_refused_connections_fail_at_once_without_retries(logged_in, aws, events, sleeps):
    dead = "http://127.0.0.1:{}/".format(free_port())
    logged_in.client.URL = dead
    attempts = [
        lambda: logged_in.client.get("time", auth=False),
        lambda: logged_in.client.get("events", params={"type": "container"}),
        lambda: events.get(type="container"),
        lambda: aws.get(dead + "objects/x"),
        lambda: aws.get(dead + "objects/x", 0, 9),
        lambda: aws.put(dead + "objects/x", data=b"data"),
    ]
    for attempt in attempts:
        started = time.monotonic()
        with pytest.raises(requests.ConnectionError):
            attempt()
        quickly(started)
    assert sleeps == [] and [e.route for e in logged_in.broker.log] == ["time", "login"]


def test_a_broker_gone_mid_road_logs_nobody_in_and_loses_nothing(road, signup, login):
    from norvo import _lifecycle, container

    alice = signup("alice")
    login(alice)
    made = container.create({"title": "kept"}, b"local bytes")
    _lifecycle.logout()
    road.broker.stop()
    for attempt in (lambda: login(alice), lambda: _lifecycle.login(alice.id, passphrase=alice.passphrase)):
        with pytest.raises(requests.ConnectionError):
            attempt()
        assert road.provider.session.user is None and road.provider.database is None
    # The key file and the container stay in the local store, whole, for when it is back.
    road.broker.start()
    login(alice)
    assert container.local_ids() == [made.id]


def signed_events(server):
    return server.client.get("events", params={"type": "container"})


def reply_length(broker, route):
    """The length of the route's reply as it is on the wire now."""
    return len([e for e in broker.log if e.route == route][-1].sent)


@pytest.mark.parametrize("route", ["events", "time", "object-get"])
def test_every_cut_of_a_reply_gives_the_value_or_the_http_librarys_error(logged_in, aws, sleeps, route):
    """The connection closes after every possible number of bytes of one reply: in the status
    line, in the headers, in the body. Each request either fails with the HTTP library's error
    or, when the cut leaves a reply the library can read, gives exactly what was sent; a cut
    that leaves headers without a body gives an empty body, which the callers refuse (below).
    The next request always works."""
    b = logged_in.broker
    url = b.put_object("o", bytes(range(256)) * 4)
    send = {"events": lambda: signed_events(logged_in), "time": lambda: logged_in.client.get("time", auth=False),
            "object-get": lambda: aws.get(url)}[route]
    same = (lambda r: r.status_code == 200) if route == "time" else (lambda r: r.content == whole.content)
    whole = send()
    size = reply_length(b, route)
    head = b.entries(route)[-1].sent.index(b"\r\n\r\n") + 4
    cuts = sorted(set(range(0, size, 7)) | {1, head - 2, head, head + 1, size - 1})
    for keep in cuts:
        b.script(route, loopback.Cut(keep))
        started = time.monotonic()
        try:
            reply = send()
        except (requests.ConnectionError, requests.exceptions.ChunkedEncodingError):
            pass
        else:
            # What arrived is a prefix of the reply: headers then no body at all.
            assert keep <= head and reply.status_code == 200 and reply.content == b""
        quickly(started)
        assert same(send())
    assert sleeps == []


def test_a_body_shorter_than_its_content_length(logged_in, aws, events, sleeps):
    b = logged_in.broker
    b.add_event()
    url = b.put_object("o", bytes(300))
    for route, attempt in (("object-get", lambda: aws.get(url)), ("object-get", lambda: aws.get(url, 10, 109)),
                           ("events", lambda: events.get(type="container")),
                           ("events", lambda: signed_events(logged_in))):
        b.script(route, loopback.Cut(-1))
        with pytest.raises(requests.exceptions.ChunkedEncodingError, match="IncompleteRead"):
            attempt()
        assert "(cut: Cut(-1))" in b.entries(route)[-1].verdict
        attempt()  # and then it works
    assert sleeps == []


def test_a_container_whose_bytes_come_cut_short_is_refused_by_name(road, signup, login):
    """A cut in the headers leaves the HTTP library a reply without a body, which it hands over
    as an empty one; the container's own length (the broker's record) refuses it."""
    from norvo import container

    alice, bob = signup("alice"), signup("bob")
    login(alice)
    made = container.create({"title": "whole"}, b"all of it" * 50, access=[bob.id])
    login(bob)
    b = road.broker
    for fault in (loopback.Cut(40), loopback.Raw(b"HTTP/1.1 200 OK\r\n\r\n"),
                  loopback.Raw(b"HTTP/1.1 200 OK\r\n\r\nAAAA")):
        b.script("object-get", fault)
        with pytest.raises(ValueError, match="The object store gave [0-9]+ bytes for container .*, whose length is"):
            container.get(made.id)
    assert container.local_ids() == []  # nothing half-read was kept
    assert container.get(made.id).content.data == b"all of it" * 50


def test_broken_status_lines_and_headers(logged_in, sleeps):
    b = logged_in.broker
    for raw in (b"", b"\r\n\r\n", b"garbage\r\n\r\n", b"HTTP/1.1 abc OK\r\n\r\n", b"HTTP/1.1 99 Low\r\n\r\n",
                b"HTTP/1.1 200 OK\r\n" + b"X-A: b\r\n" * 101 + b"\r\n",
                b"HTTP/1.1 200 OK\r\nX-Long: " + b"a" * 70000 + b"\r\n\r\n",
                b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Length: 11\r\n\r\n0123456789",
                b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"):
        b.script("events", loopback.Raw(raw))
        with pytest.raises((requests.ConnectionError, requests.exceptions.ChunkedEncodingError,
                            requests.exceptions.InvalidHeader)):
            signed_events(logged_in)
        assert signed_events(logged_in).status_code == 200
    assert sleeps == []


# ---- JSON replies


NESTED = b"[" * 200000 + b"]" * 200000


def json_failures(road, signup, login, body, expected):
    """Each broker reply the road decodes, given `body`: the operation raises `expected`,
    nobody is left half logged in, nothing is kept locally, and the next try works."""
    from norvo import _lifecycle, container
    from norvo.providers.server import events

    alice, bob = signup("alice"), signup("bob")
    login(alice)
    made = container.create({"title": "t"}, b"c", access=[bob.id])
    b = road.broker
    steps = [("time", lambda: login(bob)), ("login", lambda: login(bob)),
             ("container-get", lambda: container.get(made.id)),
             ("account-keys", lambda: container.get(made.id)),
             ("events", lambda: events.get(type="container"))]
    for route, step in steps:
        login(bob)
        road.provider.keys.clear()
        b.script(route, loopback.Reply(200, body, {"Content-Type": "application/json"}))
        with pytest.raises(expected):
            step()
        if route in ("time", "login"):
            assert road.provider.session.user is None
            _lifecycle.login(bob.id, password=bob.password)
        assert container.local_ids() == []
        assert b.pending(route) == []
    assert container.get(made.id).content.data == b"c"


@pytest.mark.parametrize("body", [b"{", b"", b"\xff\xfe{}", b'{"a": 1} trailing', b"1e999999999"])
def test_malformed_and_empty_json_replies(road, signup, login, body):
    # The decoder's ValueError; a number where an object belongs fails when it is read (a
    # TypeError or KeyError for a mapping that is not one).
    json_failures(road, signup, login, body, (ValueError, TypeError, KeyError))


def test_deeply_nested_json_replies(road, signup, login):
    # The decoder refuses what nests deeper than the interpreter's recursion limit.
    json_failures(road, signup, login, NESTED, RecursionError)


def test_nested_json_reply_is_traced_and_returned(logged_in, caplog):
    """The debug trace of a 200 reply decodes its body; a body the decoder refuses is written
    as text, and the reply still reaches the caller, whose own decoding then fails."""
    caplog.set_level(logging.DEBUG, logger=SESSION_LOG)
    logged_in.broker.script("events", loopback.Reply(200, NESTED))
    reply = signed_events(logged_in)
    assert reply.status_code == 200 and reply.content == NESTED
    with pytest.raises(RecursionError):
        reply.json()
    assert caplog.records[-1].getMessage().startswith("<Response [200]> [[[[")


@pytest.mark.parametrize("status", [403, 404])
def test_a_refusal_with_an_unreadable_body_is_still_the_refusal(road, signup, login, status):
    from norvo import container

    alice = signup("alice")
    login(alice)
    made = container.create({"title": "t"}, b"c")
    error = PermissionError if status == 403 else LookupError
    for body in (NESTED, b"{", b"[1]", b'{"error": ["not", "text"]}'):
        road.broker.script("container-get", loopback.Reply(status, body))
        with pytest.raises(error, match="refused by the broker"):
            container.get(made.id)


def test_huge_json_replies(road, signup, login):
    """Replies of 16 MiB: read whole, and the road goes on; a challenge that is no time is refused."""
    from norvo import _lifecycle, container
    from norvo.providers.server import events

    alice = signup("alice")
    b = road.broker
    padding = "x" * (16 << 20)
    b.script("time", lambda ctx: loopback.Reply.json({"time": ctx.broker.time_format(ctx.now()), "pad": padding}))
    login(alice)
    made = container.create({"title": "t"}, b"c")
    b.script("events", loopback.Reply.json({"events": [], "hasMore": False, "pad": padding}))
    assert events.get(type="container") == []
    # The date-time parser takes its time over text that long (about half a microsecond a
    # byte), so the refused challenge here is only a mebibyte.
    b.script("time", loopback.Reply.json({"time": padding[: 1 << 20]}))
    with pytest.raises(ValueError):
        _lifecycle.login(alice.id, password=alice.password)
    login(alice)
    assert container.get(made.id).content.data == b"c"


def test_compressed_replies_are_read_and_bombs_refused(logged_in):
    b = logged_in.broker
    legit = ('{"events": [], "hasMore": false, "pad": "%s"}' % os.urandom(1 << 20).hex()).encode()
    for body in (legit, b'{"events": [], "hasMore": false}'):
        b.script("events", loopback.Reply(200, gzip.compress(body), {"Content-Encoding": "gzip"}))
        assert signed_events(logged_in).content == body
    # 64 MiB that travel as 64 KiB, and the same again inside a second gzip.
    inner = b'{"events": [], "hasMore": false, "pad": "' + b" " * (64 << 20) + b'"}'
    single = gzip.compress(inner, 9)
    for body, encoding in ((single, "gzip"), (gzip.compress(single, 9), "gzip, gzip")):
        b.script("events", loopback.Reply(200, body, {"Content-Encoding": encoding}))
        with pytest.raises(requests.exceptions.ContentDecodingError, match="decompression bomb"):
            signed_events(logged_in)
        assert signed_events(logged_in).status_code == 200


# ---- storms of failing statuses


def test_a_storm_of_failing_statuses_is_ridden_out(road, signup, login):
    from norvo import container

    alice, bob = signup("alice"), signup("bob")
    login(alice)
    b = road.broker
    storm = [429, 500, 501, 502, 500, 502, 429, 501, 500]
    b.script("object-put", *storm)
    b.script("containers-create", *storm)
    made = container.create({"title": "t"}, b"c", access=[bob.id])
    assert road.waits == ALL_WAITS * 2
    login(bob)
    del road.waits[:]
    b.script("container-get", *storm)
    b.script("object-get", *storm)
    assert container.get(made.id).content.data == b"c"
    assert road.waits == ALL_WAITS * 2
    ids = [e.headers["X-Request-Id"] for e in b.entries("container-get")]
    assert len(ids) == len(set(ids)) == 10  # every attempt a new request


def test_a_storm_that_does_not_end_leaves_nothing_behind(road, signup, login):
    from norvo import container
    from norvo.providers.server.client import HttpServiceUnavailableError, HttpTooManyRequestsError

    alice = signup("alice")
    login(alice)
    b = road.broker
    b.script("object-put", *[502] * 10)
    with pytest.raises(HttpServiceUnavailableError):
        container.create({"title": "t"}, b"c")
    assert road.waits == ALL_WAITS
    # The half-made container was withdrawn from the broker and kept nowhere.
    assert b.state.table("containers") == {} and b.state.objects == {} and container.local_ids() == []
    made = container.create({"title": "t"}, b"c")
    b.script("container-get", *[429] * 10)
    with pytest.raises(HttpTooManyRequestsError):
        container.get(made.id)
    assert [e.status for e in b.entries("container-get")] == [429] * 10
    # A status outside the retried ones ends the storm at once.
    del road.waits[:]
    b.script("container-get", 500, 503)
    with pytest.raises(requests.HTTPError, match="503 .*  Request ID: "):
        container.get(made.id)
    assert road.waits == [2]


# ---- time: tokens that lapse, clocks far apart


@pytest.mark.parametrize("skew", [0, 2 * HOUR, -2 * HOUR, 30 * 24 * HOUR, -30 * 24 * HOUR])
def test_a_token_lapsing_mid_road_logs_in_again_and_goes_on(road, signup, login, clocks, skew):
    """The broker's clock is `skew` seconds from ours; an hour and a minute pass between two
    steps of the road, so the token of the first lapses by both clocks. The next signed request
    logs in again by itself and the road goes on; no signed request is ever refused."""
    from norvo import container
    from norvo.providers.server import events

    b = road.broker
    b.clock_skew = datetime.timedelta(seconds=skew)
    alice, bob = signup("alice"), signup("bob")
    login(alice)
    made = container.create({"title": "t"}, b"c", access=[bob.id])
    logins = len(b.entries("login"))
    clocks(HOUR + 60)
    container.get(made.id)
    assert len(b.entries("login")) > logins
    assert [e.action for e in events.get(type="container")] == ["added", "accessed"]
    login(bob)
    clocks(HOUR + 60)
    assert container.get(made.id).content.data == b"c"
    signed = [e for e in b.log if e.route not in ("time", "login", "object-get", "object-put", "accounts-create",
                                                  "keyfile-get", "reminder-get")]
    assert signed and all(e.verdict == "ok" for e in signed), [(e.route, e.verdict) for e in signed]
    offset = importlib.import_module("norvo.providers.server").session.time_offset.total_seconds()
    assert abs(offset + skew) < 5


def test_a_clock_far_ahead_lapses_the_token_by_the_brokers_time(logged_in, clocks):
    """With the broker's clock two hours ahead, its one-hour token is gone an hour after login
    by our clock, though its expiry, written on the broker's clock, still lies ahead of ours."""
    b, session = logged_in.broker, logged_in.session
    user = make_user()
    b.register_user(user)
    b.clock_skew = datetime.timedelta(hours=2)
    session.authenticate(logged_in.client, user)
    assert -7205 < session.time_offset.total_seconds() < -7195
    assert session.authenticated()
    clocks(HOUR + 60)
    assert session.expires_at > arrow.utcnow().shift(hours=1)  # our clock alone says valid
    assert not session.authenticated()
    start = len(b.log)
    signed_events(logged_in)
    assert [e.route for e in b.log[start:]] == ["time", "login", "events"] and b.log[-1].verdict == "ok"
