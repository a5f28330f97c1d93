"""Object-storage transfers by URL, against the loopback object store."""
import logging
import os
import pathlib
import subprocess
import sys
import textwrap
import types

import pytest
import requests

import broker as loopback

AWS_LOG = "norvo.providers.server.aws"
CLIENT_LOG = "norvo.providers.server.client"
DATA = bytes(range(256)) * 8  # 2048 bytes
BROKER_HEADERS = ("X-Norvo-Api-Key", "X-Norvo-App-Name", "X-Request-Id", "Authorization")


@pytest.fixture
def store(server):
    """The object store beside a configured (and logged-in-capable) broker session."""
    from norvo.providers.server import aws

    server.aws = aws
    server.url = server.broker.put_object("container-1", DATA)
    return server


def only_store_headers(entry):
    return all(entry.headers[name] is None for name in BROKER_HEADERS)


def test_whole_reads(store, caplog):
    caplog.set_level(logging.DEBUG, logger=AWS_LOG)
    for bounds in ((), (0, 0), (None, None)):
        reply = store.aws.get(store.url, *bounds)
        assert reply.status_code == 200 and reply.content == DATA
    for entry in store.broker.log:
        assert entry.headers["Range"] is None and only_store_headers(entry)
        assert entry.headers["Accept-Encoding"] == "identity"
    assert [r.getMessage() for r in caplog.records if r.name == AWS_LOG] == [
        "GETing data from {}, headers: None".format(store.url)] * 3


@pytest.mark.parametrize("start, end", [(0, 99), (1, 1000), (2000, 2047), (0, 2047)])
def test_ranged_reads_are_exact_slices(store, start, end):
    reply = store.aws.get(store.url, start, end)
    assert reply.status_code == 206 and reply.content == DATA[start:end + 1]
    entry = store.broker.log[-1]
    assert entry.headers["Range"] == "bytes={}-{}".format(start, end)
    assert entry.headers["Accept-Encoding"] == "identity"
    assert only_store_headers(entry)


def test_a_compressing_store_is_asked_for_plain_bytes(store):
    store.broker.compress_objects = True
    assert store.aws.get(store.url, 10, 19).content == DATA[10:20]
    whole = store.aws.get(store.url)
    assert whole.content == DATA and "Content-Encoding" not in whole.headers


@pytest.mark.parametrize("fault, start, end", [
    (loopback.IGNORE_RANGE, 0, 99),   # 200 with the whole object
    (loopback.SHORT_BODY, 0, 99),     # 206, consistent but one byte short
    (None, 2000, 2099),               # the object ends before the range does
])
def test_ranged_read_that_is_not_the_slice_is_an_error(store, sleeps, fault, start, end):
    if fault:
        store.broker.script("object-get", fault)
    with pytest.raises(AssertionError):
        store.aws.get(store.url, start, end)
    assert len(store.broker.log) == 1 and sleeps == []


@pytest.mark.parametrize("start, end, error", [
    (5, 5, AssertionError), (-1, 5, AssertionError), (10, 5, AssertionError),
    (None, 5, TypeError), (5, None, TypeError),
])
def test_bad_ranges_send_nothing(store, start, end, error):
    with pytest.raises(error):
        store.aws.get(store.url, start, end)
    assert store.broker.log == []


def test_put_stores_the_body(store, caplog):
    caplog.set_level(logging.DEBUG, logger=AWS_LOG)
    url = store.broker.object_url("container-2")
    assert store.aws.put(url, data=b"sealed bytes").status_code == 200
    assert store.broker.get_object("container-2") == b"sealed bytes"
    entry = store.broker.log[-1]
    assert (entry.method, entry.body, entry.headers["Range"]) == ("PUT", b"sealed bytes", None)
    assert only_store_headers(entry)
    assert [r.getMessage() for r in caplog.records if r.name == AWS_LOG] == ["PUTing data to " + url]


def test_transfers_never_share_the_broker_session(logged_in):
    """Even with a logged-in session, the store sees no broker header and no authorisation."""
    from norvo.providers.server import aws

    url = logged_in.broker.put_object("c", DATA)
    aws.put(url, data=b"new")
    aws.get(url)
    aws.get(url, 0, 1)
    store_entries = logged_in.broker.log[-3:]
    assert all(only_store_headers(e) for e in store_entries)
    assert len({e.connection for e in store_entries}) == 3  # one connection each


@pytest.mark.parametrize("route, call", [
    ("object-get", lambda aws, url: aws.get(url)),
    ("object-put", lambda aws, url: aws.put(url, data=b"x")),
])
def test_retries_then_the_last_error(store, sleeps, caplog, route, call):
    caplog.set_level(logging.DEBUG)
    store.broker.script(route, *[502] * 10)
    with pytest.raises(store.client.HttpServiceUnavailableError):
        call(store.aws, store.url)
    assert sleeps == [2, 4, 8, 10, 10, 10, 10, 10, 10] and sum(sleeps) == 74
    assert len(store.broker.log) == 10 and store.broker.connections == 10
    predicate = [r for r in caplog.records if r.getMessage() == "Exception making request."]
    assert len(predicate) == 10 and {r.name for r in predicate} == {CLIENT_LOG}


def test_retried_status_then_success(store, sleeps):
    store.broker.script("object-get", 429, 500, 501)
    assert store.aws.get(store.url, 0, 9).content == DATA[:10]
    assert sleeps == [2, 4, 8]


@pytest.mark.parametrize("status", [403, 503])
def test_other_failing_statuses_raise_at_once_without_request_id(store, sleeps, status):
    store.broker.script("object-get", status)
    with pytest.raises(requests.HTTPError) as raised:
        store.aws.get(store.url)
    (message,) = raised.value.args
    assert message.startswith(str(status)) and "Request ID" not in message
    assert sleeps == []


def test_names_are_read_when_called(store, monkeypatch):
    sent = []

    def request(method, url, **kwargs):
        sent.append((method, url, kwargs))
        return requests.request(method, url, **kwargs)

    monkeypatch.setattr(store.aws, "requests", types.SimpleNamespace(request=request))
    store.aws.get(store.url, 0, 1)
    store.aws.put(store.url, b"d")
    wire = {"auth": store.aws._no_credentials, "timeout": (store.aws.CONNECT_TIMEOUT, store.aws.READ_TIMEOUT),
            "allow_redirects": False, "stream": True}
    assert sent == [("get", store.url, dict(wire, data=None, headers={"Range": "bytes=0-1",
                                                                       "Accept-Encoding": "identity"})),
                    ("put", store.url, dict(wire, data=b"d", headers=None))]
    made = []
    monkeypatch.setattr(store.aws, "_make_request", lambda *a, **k: made.append((a, k)))
    store.aws.put(store.url, b"d")
    store.aws.get(store.url)
    store.aws.get(store.url, length=5)
    assert made == [(("put", store.url), {"data": b"d"}), (("get", store.url), {"headers": None, "length": None}),
                    (("get", store.url), {"headers": None, "length": 5})]


def test_checks_hold_under_optimisation(no_proxies, tmp_path):
    """Range and slice checks are no bare asserts: python -O keeps them."""
    script = textwrap.dedent("""
        import broker as loopback
        from norvo.providers.server import aws
        assert False, "this line is stripped under -O"
        with loopback.Broker() as b:
            url = b.put_object("o", bytes(100))
            for bounds in ((5, 5), (-1, 5)):
                try:
                    aws.get(url, *bounds)
                except AssertionError:
                    pass
                else:
                    raise SystemExit("range %r accepted" % (bounds,))
            b.script("object-get", loopback.IGNORE_RANGE)
            try:
                aws.get(url, 0, 9)
            except AssertionError:
                pass
            else:
                raise SystemExit("whole object taken for a slice")
            if len(b.log) != 1:
                raise SystemExit("bad ranges reached the store")
        print("ok")
    """)
    top = pathlib.Path(__file__).resolve().parent.parent
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env["PYTHONPATH"] = os.pathsep.join([os.environ.get("PYTHONPATH", ""), str(top)])
    out = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True,
                         timeout=60, env=env, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
