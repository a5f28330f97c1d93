"""The REST client: URLs, the status map, error classes and retries, against the loopback broker."""
import inspect
import logging
import uuid

import pytest
import requests

import broker as loopback

CLIENT_LOG = "norvo.providers.server.client"
MAPPED = [(429, "HttpTooManyRequestsError"), (500, "HttpInternalServerError"),
          (501, "HttpBadGatewayError"), (502, "HttpServiceUnavailableError")]
ALL_WAITS = [2, 4, 8, 10, 10, 10, 10, 10, 10]


def predicate_lines(caplog):
    return [r for r in caplog.records if r.name == CLIENT_LOG and r.getMessage() == "Exception making request."]


def test_status_map_and_error_classes():
    from norvo.providers.server import aws, client

    assert {status: cls.__name__ for status, cls in client._retry_exceptions.items()} == dict(MAPPED)
    docs = {"HttpTooManyRequestsError": "Try again later.", "HttpInternalServerError": "Internal server error.",
            "HttpBadGatewayError": "Bad gateway.", "HttpServiceUnavailableError": "Service unavailable."}
    for name, doc in docs.items():
        cls = getattr(client, name)
        assert cls.__bases__ == (Exception,) and cls.__doc__ == doc
        assert client._retry_on_exception(cls()) is True
    assert client._retry_on_exception(requests.HTTPError("x")) is False
    assert aws._retry_exceptions is client._retry_exceptions
    assert aws._retry_on_exception is client._retry_on_exception
    assert client.API_VERSION == "v1.0"
    # As the retry decorator leaves it: the attempt's name, signature and documentation.
    for module in (client, aws):
        wrapped = module._make_request
        assert wrapped.__name__ == "_make_request" and wrapped.__doc__ == wrapped.__wrapped__.__doc__
    signature = "(method, path, json=None, data=None, params=None, auth=True)"
    assert str(inspect.signature(client._make_request)) == signature


@pytest.mark.parametrize("base, path, sent", [
    ("", "time", "/v1.0/time/"),
    ("api/", "time", "/api/v1.0/time/"),
    ("api", "time", "/v1.0/time/"),          # no trailing slash: the last segment goes
    ("api/?q=1#top", "time", "/api/v1.0/time/"),
    ("", "events", "/v1.0/events/"),
    ("", "/events", "/v1.0/events/"),
    ("", "events/", "/v1.0/events/"),
    ("", "/events/", "/v1.0/events/"),
    ("", "", "/v1.0/"),
    ("", "a//b", "/v1.0/a//b/"),
])
def test_request_target(server, base, path, sent):
    server.client.URL = server.broker.url + base
    try:
        server.client.get(path, auth=False)
    except requests.HTTPError:
        pass  # no such route at the broker: only the path matters here
    assert server.broker.log[-1].path == sent


def test_without_a_base_url_nothing_is_sent_or_retried(server, sleeps, caplog):
    caplog.set_level(logging.DEBUG, logger=CLIENT_LOG)
    server.client.URL = None
    with pytest.raises(requests.exceptions.MissingSchema):
        server.client.get("time", auth=False)
    assert server.broker.log == [] and sleeps == []
    assert len(predicate_lines(caplog)) == 1


def test_retried_statuses_then_success(logged_in, sleeps, caplog):
    caplog.set_level(logging.DEBUG, logger=CLIENT_LOG)
    broker = logged_in.broker
    broker.script("events", 429, 429, 429)
    start = len(broker.log)
    reply = logged_in.client.get("events", params={"type": "container"})

    assert reply.status_code == 200 and reply.json() == {"events": [], "hasMore": False}
    assert sleeps == [2, 4, 8]
    attempts = broker.log[start:]
    assert [e.status for e in attempts] == [429, 429, 429, 200]
    # Every attempt is a new, properly signed request.
    assert all(e.user == str(logged_in.user.id) for e in attempts)
    assert len({e.headers["X-Request-Id"] for e in attempts}) == 4
    assert len({e.headers["Authorization"] for e in attempts}) == 4
    lines = predicate_lines(caplog)
    assert len(lines) == 3 and all(r.exc_info[0].__name__ == "HttpTooManyRequestsError" for r in lines)


@pytest.mark.parametrize("status, name", MAPPED)
def test_mapped_status_gives_up_after_ten_attempts(server, sleeps, caplog, status, name):
    caplog.set_level(logging.DEBUG, logger=CLIENT_LOG)
    server.broker.script("time", *[status] * 10)
    with pytest.raises(getattr(server.client, name)) as raised:
        server.client.get("time", auth=False)
    assert raised.value.args == () and str(raised.value) == ""
    assert sleeps == ALL_WAITS and sum(sleeps) == 74
    assert len(server.broker.log) == 10
    assert len({e.headers["X-Request-Id"] for e in server.broker.log}) == 10
    assert len(predicate_lines(caplog)) == 10


@pytest.mark.parametrize("status", [503, 504, 404, 400, 401])
def test_other_failing_statuses_carry_the_request_id_without_retry(server, sleeps, caplog, status):
    caplog.set_level(logging.DEBUG, logger=CLIENT_LOG)
    server.broker.script("time", status)
    with pytest.raises(requests.HTTPError) as raised:
        server.client.get("time", auth=False)
    (message,) = raised.value.args
    assert message.startswith(str(status))
    assert message.endswith("  Request ID: " + server.broker.log[0].headers["X-Request-Id"])
    assert len(server.broker.log) == 1 and sleeps == []
    assert len(predicate_lines(caplog)) == 1


def test_statuses_below_400_are_returned(server, caplog):
    caplog.set_level(logging.DEBUG, logger=CLIENT_LOG)
    server.broker.script("time", 204)
    reply = server.client.get("time", auth=False)
    assert reply.status_code == 204 and reply.content == b""
    assert predicate_lines(caplog) == []


def test_base_url_is_read_by_every_attempt(server, sleeps):
    def move(ctx):
        server.client.URL = server.broker.url + "api/"
        return loopback.Reply.status_only(502)

    server.broker.script("time", move)
    server.client.get("time", auth=False)
    assert [e.path for e in server.broker.log] == ["/v1.0/time/", "/api/v1.0/time/"]
    assert sleeps == [2]


@pytest.mark.parametrize("name, value, sent", [
    ("API_VERSION", "v2.0", "/v2.0/time/"),
    ("urljoin", lambda base, version: base + "api/" + version, "/api/v1.0/time/"),
])
def test_the_base_is_made_anew_when_a_name_it_comes_from_changes(server, monkeypatch, name, value, sent):
    server.client.get("time", auth=False)
    monkeypatch.setattr(server.client, name, value)
    try:
        server.client.get("time", auth=False)
    except requests.HTTPError:
        pass  # no such route at the broker: only the path matters here
    assert [e.path for e in server.broker.log] == ["/v1.0/time/", sent]


def test_one_policy_object_serves_every_call_until_retrying_gives_another(server, sleeps, monkeypatch):
    import retrying

    made = []

    class Counted(retrying.Retrying):
        def __init__(self, *args, **kwargs):
            made.append((args, kwargs))
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(retrying, "Retrying", Counted)
    server.broker.script("time", 502)
    for _ in range(3):
        server.client.get("time", auth=False)
    assert made == [((), {"retry_on_exception": server.client._retry_on_exception, "wait_exponential_multiplier": 1000,
                          "wait_exponential_max": 10000, "stop_max_attempt_number": 10})]
    assert sleeps == [2] and len(server.broker.log) == 4


def test_relogin_failing_with_a_mapped_status_retries_the_outer_request(logged_in, sleeps):
    """The login's own request retries first; its last error ends the outer attempt, which retries."""
    broker, session = logged_in.broker, logged_in.session
    broker.expire_tokens()
    session.expires_at = session.expires_at.shift(hours=-2)
    broker.script("time", *[500] * 10)
    start = len(broker.log)
    reply = logged_in.client.get("events", params={"type": "container"})
    assert reply.status_code == 200
    assert [e.route for e in broker.log[start:]] == ["time"] * 11 + ["login", "events"]
    assert sleeps == ALL_WAITS + [2]


def test_methods_send_their_bodies(logged_in):
    broker, client = logged_in.broker, logged_in.client
    for method in ("POST", "PUT", "DELETE"):
        broker.add_route(method, "notes/", lambda ctx: loopback.Reply.json({"ok": True}), name="notes")

    client.post("notes", json={"a": 1})
    client.put("notes", data=b"raw bytes")
    client.delete("/notes/")
    with pytest.raises(requests.HTTPError, match="^401 "):
        client.post("notes", data=b"x", auth=False)
    entries = broker.entries("notes")
    assert [(e.method, e.body) for e in entries] == [
        ("POST", b'{"a": 1}'), ("PUT", b"raw bytes"), ("DELETE", b""), ("POST", b"x")]
    assert [e.verdict for e in entries] == ["ok", "ok", "ok", "401: no basic authorisation"]


def test_operations_look_up_make_request_when_called(monkeypatch):
    from norvo.providers.server import client

    calls = []
    monkeypatch.setattr(client, "_make_request", lambda *args, **kwargs: calls.append((args, kwargs)) or "reply")
    assert client.get("events", params={"a": 1}) == "reply"
    client.post("p", json={"j": 1}, auth=False)
    client.put("p", data=b"d")
    client.delete("p")
    assert calls == [
        (("get", "events"), {"params": {"a": 1}, "auth": True}),
        (("post", "p"), {"json": {"j": 1}, "data": None, "auth": False}),
        (("put", "p"), {"json": None, "data": b"d", "auth": True}),
        (("delete", "p"), {"auth": True}),
    ]


def test_session_request_is_given_all_four_keywords(server, monkeypatch):
    seen = []
    real = server.session.request

    def spy(method, url, **kwargs):
        seen.append((method, url, kwargs))
        return real(method, url, **kwargs)

    monkeypatch.setattr(server.session, "request", spy)
    server.client.get("time", auth=False)
    assert seen == [("get", server.broker.url + "v1.0/time/",
                     {"json": None, "data": None, "params": None, "auth": False})]
    uuid.UUID(server.broker.log[-1].headers["X-Request-Id"])
