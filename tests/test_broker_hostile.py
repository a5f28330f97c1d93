"""The server provider against peers that try to take the broker's credentials or the client's
memory: redirects to other origins and from https to http, uploads redirected so that their
body is dropped, decompression bombs and bodies far longer than asked for, credentials waiting
in a netrc file, error texts and debug lines that would carry the login's verification, and
servers that accept a connection and never answer."""
import base64
import datetime
import gzip
import ipaddress
import json
import logging
import os
import re
import socket
import ssl
import subprocess
import sys
import textwrap
import threading
import time
import traceback
import types
import urllib.parse
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
import requests

import broker as loopback
from broker_fixtures import free_port, make_user

pytestmark = pytest.mark.filterwarnings("ignore::sqlalchemy.exc.SAWarning",
                                        "ignore:The 'EncryptedType' class will change:DeprecationWarning")

BROKER_HEADERS = ("X-Norvo-Api-Key", "X-Norvo-App-Name", "X-Request-Id", "Authorization")
ENVELOPES = {"accesses": [{"userId": "8f5ad3a6-51b3-4b5e-9b3e-2a4c9c7a1e01", "keyBlob": "c2VhbGVkIGtleXM="}]}
OBJECT = bytes(range(256)) * 4


# ---- listeners of the tests' own


class Listener(object):
    """An HTTP server on 127.0.0.1 that records every request whole (method, target, headers,
    body) and answers each with `answer(request) -> (status, headers, body)`; over TLS when
    given a server context."""

    def __init__(self, answer=None, context=None):
        self.requests = []
        self.answer = answer or (lambda seen: (200, {"Content-Type": "application/json"},
                                               b'{"events": [], "hasMore": false, "time": "2026-01-01T00:00:00"}'))
        outer = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"
            timeout = 10

            def log_message(self, *args):
                pass

            def any_method(self):
                length = int(self.headers.get("Content-Length") or 0)
                seen = types.SimpleNamespace(method=self.command, target=self.path, headers=self.headers,
                                             body=self.rfile.read(length) if length else b"")
                outer.requests.append(seen)
                status, headers, body = outer.answer(seen)
                self.send_response(status)
                for name, value in headers.items():
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            do_GET = do_PUT = do_POST = do_DELETE = any_method

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        if context is not None:
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.scheme = "https" if context is not None else "http"
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()

    @property
    def origin(self):
        return "{}://127.0.0.1:{}".format(self.scheme, self.port)

    @property
    def url(self):
        return self.origin + "/"

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class RawServer(object):
    """A TCP server on 127.0.0.1 that hands each connection to `serve(conn, server)`, on a
    thread of its own; `server.stopped` is set when the test ends, and every connection is
    closed then."""

    def __init__(self, serve):
        self.stopped = threading.Event()
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.url = "http://127.0.0.1:{}/".format(self.port)
        self.connections = []
        self.serve = serve
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.stopped.is_set():
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.connections.append(conn)
            threading.Thread(target=self._run, args=(conn,), daemon=True).start()

    def _run(self, conn):
        try:
            self.serve(conn, self)
        except OSError:
            pass  # the client gave up, as it should

    def stop(self):
        self.stopped.set()
        self.sock.close()
        for conn in self.connections:
            try:
                conn.close()
            except OSError:
                pass


def read_head(conn):
    """The request's head, read up to its blank line."""
    data = b""
    while b"\r\n\r\n" not in data:
        piece = conn.recv(65536)
        if not piece:
            break
        data += piece
    return data


@pytest.fixture
def listeners():
    """`listeners(...)` starts a Listener, `listeners.raw(serve)` a RawServer; all stop at the end."""
    started = []

    def listener(answer=None, context=None):
        started.append(Listener(answer, context))
        return started[-1]

    def raw(serve):
        started.append(RawServer(serve))
        return started[-1]

    listener.raw = raw
    yield listener
    for server in started:
        server.stop()


@pytest.fixture(scope="module")
def tls_files(tmp_path_factory):
    """A self-signed certificate for 127.0.0.1 and its key, as PEM files."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "norvo loopback")])
    now = datetime.datetime.now(datetime.timezone.utc)
    ski = x509.SubjectKeyIdentifier.from_public_key(key.public_key())
    usage = x509.KeyUsage(digital_signature=True, content_commitment=False, key_encipherment=False,
                          data_encipherment=False, key_agreement=False, key_cert_sign=True, crl_sign=True,
                          encipher_only=False, decipher_only=False)
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1)).not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]),
                           critical=False)
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .add_extension(usage, critical=True)
            .add_extension(ski, critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_subject_key_identifier(ski), critical=False)
            .sign(key, hashes.SHA256()))
    folder = tmp_path_factory.mktemp("tls")
    cert_file, key_file = folder / "cert.pem", folder / "key.pem"
    cert_file.write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    key_file.write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                           serialization.NoEncryption()))
    return cert_file, key_file


@pytest.fixture
def tls(tls_files, monkeypatch):
    """A server context for Listener, with the HTTP library told to trust its certificate."""
    cert_file, key_file = tls_files
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(cert_file))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(str(cert_file), str(key_file))
    return context


def redirect(status, location):
    return loopback.Reply(status, b"", {"Location": location})


def no_broker_headers(seen):
    return all(seen.headers.get(name) is None for name in BROKER_HEADERS)


# ---- 1. broker redirects


BROKER_CALLS = {
    "unsigned GET": ("time", lambda s, events: s.client.get("time", auth=False)),
    "login": ("login", lambda s, events: s.session.authenticate(s.client, s.user)),
    "signed GET": ("events", lambda s, events: events.get(type="container")),
    "signed POST": ("containers-create", lambda s, events: s.client.post("containers", json=ENVELOPES)),
}


@pytest.mark.parametrize("call", BROKER_CALLS)
@pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
def test_a_broker_redirect_to_another_origin_is_refused_before_anything_goes_there(
        logged_in, listeners, events, sleeps, status, call):
    other = listeners()
    route, send = BROKER_CALLS[call]
    logged_in.broker.script(route, redirect(status, other.url + "v1.0/" + route + "/"))
    start = len(logged_in.broker.log)
    with pytest.raises(requests.HTTPError) as raised:
        send(logged_in, events)
    refused = logged_in.broker.log[-1]
    assert str(raised.value) == (
        "The broker answered {} with a redirect to another origin, {}; it was not followed.  Request ID: {}".format(
            status, other.origin, refused.headers["X-Request-Id"]))
    assert raised.value.response.status_code == status
    assert other.requests == [] and sleeps == []
    assert [e.route for e in logged_in.broker.log[start:]][-1] == route and refused.status == status


@pytest.mark.parametrize("location, origin", [
    ("http://localhost:{port}/v1.0/events/", "http://localhost:{port}"),     # another host, same port
    ("https://127.0.0.1:{port}/v1.0/events/", "https://127.0.0.1:{port}"),   # another scheme
    ("http://127.0.0.1:{other}/v1.0/events/", "http://127.0.0.1:{other}"),   # another port
    ("//127.0.0.1:{other}/v1.0/events/", "http://127.0.0.1:{other}"),        # scheme-relative
    ("http://eve:pw@127.0.0.1:{other}/", "http://127.0.0.1:{other}"),        # the name shows no user part
])
def test_every_change_of_origin_counts(logged_in, listeners, events, location, origin):
    other = listeners()
    fill = {"port": logged_in.broker.port, "other": other.port}
    logged_in.broker.script("events", redirect(302, location.format(**fill)))
    with pytest.raises(requests.HTTPError, match="^The broker answered 302 with a redirect to another origin, "
                                                 "{}; it was not followed\\.".format(origin.format(**fill))):
        events.get(type="container")
    assert other.requests == [] and len(logged_in.broker.entries("events")) == 1


def test_an_https_broker_redirecting_to_plain_http_is_refused(server, listeners, tls):
    secure = listeners(lambda seen: (302, {"Location": "http://127.0.0.1:{}/v1.0/time/".format(secure.port)}, b""),
                       context=tls)
    server.client.URL = secure.url
    with pytest.raises(requests.HTTPError, match="^The broker answered 302 with a redirect to another origin, "
                                                 "http://127.0.0.1:{}, from https to plain http;".format(secure.port)):
        server.client.get("time", auth=False)
    (seen,) = secure.requests
    assert seen.headers["X-Norvo-Api-Key"] is not None  # it came over TLS, and only that once


@pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
@pytest.mark.parametrize("route, send", [
    ("time", lambda s: s.client.get("time", auth=False).json()["time"]),
    ("events", lambda s: s.client.get("events", params={"type": "container"}).json()["hasMore"]),
])
def test_a_same_origin_redirect_of_a_get_is_followed(logged_in, status, route, send):
    broker = logged_in.broker
    target = "/v1.0/{}/?moved=1".format(route)
    broker.script(route, redirect(status, target))
    start = len(broker.log)
    assert send(logged_in) is not None
    first, second = broker.log[start:]
    assert (second.path, second.arg("moved"), second.status) == ("/v1.0/{}/".format(route), "1", 200)
    assert second.headers["X-Request-Id"] == first.headers["X-Request-Id"]
    assert second.verdict == "ok" and second.headers["X-Norvo-Api-Key"] == first.headers["X-Norvo-Api-Key"]


@pytest.mark.parametrize("method, route, send", [
    ("POST", "containers-create", lambda s: s.client.post("containers", json=ENVELOPES)),
    ("DELETE", "container-delete", lambda s: s.client.delete("containers/8f5ad3a6-51b3-4b5e-9b3e-2a4c9c7a1e01")),
])
@pytest.mark.parametrize("status", [303, 307, 308])
def test_a_same_origin_redirect_of_another_method_is_refused(logged_in, method, route, send, status):
    broker = logged_in.broker
    broker.script(route, redirect(status, "/v1.0/elsewhere/"))
    start = len(broker.log)
    with pytest.raises(requests.HTTPError, match="^The broker answered {} to a {}, with a redirect to {}; only GET "
                                                 "requests follow a redirect\\.".format(status, method,
                                                                                      broker.url.rstrip("/"))):
        send(logged_in)
    assert [e.route for e in broker.log[start:]] == [route]


def test_a_redirect_loop_ends(logged_in, sleeps):
    logged_in.broker.script("events", *[redirect(302, "/v1.0/events/?type=container")] * 31)
    with pytest.raises(requests.TooManyRedirects, match="Exceeded 30 redirects"):
        logged_in.client.get("events", params={"type": "container"})
    assert len(logged_in.broker.entries("events")) == 31 and sleeps == []


# ---- 2. upload redirects


@pytest.fixture
def store(server, aws):
    server.aws = aws
    server.url = server.broker.object_url("o")
    return server


@pytest.mark.parametrize("fault, message", [
    (redirect(301, "{other}objects/o"), "301, a redirect to {origin} that would not carry the body"),
    (redirect(302, "{other}objects/o"), "302, a redirect to {origin} that would not carry the body"),
    (redirect(303, "{other}objects/o"), "303, a redirect to {origin} that would not carry the body"),
    (redirect(303, "/objects/o"), "303, a redirect to {store} that would not carry the body"),
    (loopback.Reply(302), "302, which does not store it"),   # no Location: nothing to follow
    (loopback.Reply(304), "304, which does not store it"),
])
def test_an_upload_answered_with_a_redirect_that_drops_its_body_fails(store, listeners, sleeps, fault, message):
    other = listeners()
    fill = {"other": other.url, "origin": other.origin, "store": store.broker.url.rstrip("/")}
    if "Location" in fault.headers:
        fault = redirect(fault.status, fault.headers["Location"].format(**fill))
    store.broker.script("object-put", fault)
    with pytest.raises(requests.HTTPError) as raised:
        store.aws.put(store.url, data=b"sealed bytes")
    assert str(raised.value) == "The object store answered the PUT with " + message.format(**fill) + (
        "; it was not followed." if "redirect" in message else ".")
    assert other.requests == [] and store.broker.get_object("o") is None and sleeps == []


@pytest.mark.parametrize("status", [307, 308])
def test_an_upload_redirect_that_keeps_method_and_body_is_followed(logged_in, listeners, aws, status):
    """Even with a logged-in session, the other store gets the body and no broker header."""
    other = listeners(lambda seen: (200, {}, b""))
    logged_in.broker.script("object-put", redirect(status, other.url + "objects/o"))
    assert aws.put(logged_in.broker.object_url("o"), data=OBJECT).status_code == 200
    (seen,) = other.requests
    assert (seen.method, seen.target, seen.body) == ("PUT", "/objects/o", OBJECT) and no_broker_headers(seen)


def test_an_upload_body_that_cannot_be_sent_again_is_not_redirected(store, listeners):
    other = listeners()
    store.broker.script("object-put", redirect(307, other.url + "objects/o"))
    with pytest.raises(requests.HTTPError, match="307, a redirect to .* that would not carry the body"):
        store.aws.put(store.url, data=iter([b"sealed ", b"bytes"]))
    assert other.requests == []


@pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
def test_a_download_follows_redirects_without_the_brokers_headers(logged_in, listeners, aws, status):
    other = listeners(lambda seen: (200, {}, OBJECT))
    logged_in.broker.script("object-get", redirect(status, other.url + "objects/o"))
    assert aws.get(logged_in.broker.object_url("o"), length=len(OBJECT)).content == OBJECT
    (seen,) = other.requests
    assert seen.method == "GET" and seen.headers["Accept-Encoding"] == "identity" and no_broker_headers(seen)


@pytest.mark.parametrize("send", [lambda aws, url: aws.get(url), lambda aws, url: aws.put(url, data=OBJECT)])
def test_object_redirects_from_https_to_plain_http_are_refused(listeners, tls, aws, send):
    other = listeners()
    secure = listeners(lambda seen: (307, {"Location": other.url + "objects/o"}, b""), context=tls)
    with pytest.raises(requests.HTTPError, match="a redirect to {}, from https to plain http; it was not followed"
                                                 .format(other.origin)):
        send(aws, secure.url + "objects/o")
    assert len(secure.requests) == 1 and other.requests == []


def test_a_container_upload_redirected_away_is_withdrawn(road, signup, login, listeners):
    from norvo import container

    alice = signup("alice")
    login(alice)
    other = listeners()
    road.broker.script("object-put", lambda ctx: redirect(302, other.url + ctx.request.path.lstrip("/")))
    with pytest.raises(requests.HTTPError, match="^The object store answered the PUT with 302"):
        container.create({"title": "t"}, b"content")
    assert other.requests == [] and road.broker.state.table("containers") == {} and container.local_ids() == []


# ---- 3. bounded downloads


@pytest.mark.parametrize("length, outcome", [
    (len(OBJECT), OBJECT), (len(OBJECT) + 10, OBJECT),   # a shorter body is the caller's to judge
    (len(OBJECT) - 1, ValueError), (0, ValueError),
])
def test_a_whole_read_takes_no_more_than_the_recorded_length(store, length, outcome):
    store.broker.put_object("o", OBJECT)
    if outcome is ValueError:
        with pytest.raises(ValueError, match="^The object store sent more than the {} bytes recorded for the "
                                             "object; the download was stopped\\.$".format(length)):
            store.aws.get(store.url, length=length)
    else:
        assert store.aws.get(store.url, length=length).content == outcome


@pytest.mark.parametrize("length", [-1, "1024", 1024.0, True, [1024]])
def test_a_length_that_is_no_count_is_refused_before_anything_is_sent(store, length):
    with pytest.raises(ValueError, match="^length must be an integer of at least 0, not "):
        store.aws.get(store.url, length=length)
    assert store.broker.log == []


def test_a_container_whose_store_sends_more_than_its_length_is_refused(road, signup, login):
    from norvo import container

    alice = signup("alice")
    login(alice)
    made = container.create({"title": "t"}, b"content")
    road.broker.script("object-get", lambda ctx: loopback.Reply(200, ctx.state.objects[ctx.params["name"]] + bytes(4096)))
    with pytest.raises(ValueError, match="^The object store sent more than the [0-9]+ bytes recorded"):
        container.get(made.id)
    assert container.local_ids() == [made.id]  # the creator's own copy, untouched
    assert container.get(made.id).content.data == b"content"


BOMB_SIZE = 256 << 20


@pytest.fixture(scope="module")
def bombs():
    """Zeros decoding to 256 MiB: once gzipped (about 250 KiB), and gzipped again (under 1 KiB)."""
    packer = zlib.compressobj(9, zlib.DEFLATED, 31)
    zeros = bytes(1 << 20)
    once = b"".join([packer.compress(zeros) for _ in range(BOMB_SIZE >> 20)] + [packer.flush()])
    return {"gzip": once, "gzip, gzip": gzip.compress(once, 9)}


def hostile_store(listeners, bombs):
    """Serves /<status>/<kind>: a bomb ("gzip", "gzip, gzip"), "plain" (256 MiB of zeros with
    their Content-Length), "unsized" (the same without a length, ending when the connection
    does), "chunked" (the same in chunks) or "tiny" (3 bytes), streamed until the client hangs
    up or all is sent, when the connection is closed. A 3xx status redirects to /200/tiny."""

    def serve(conn, server):
        head = read_head(conn).decode("latin-1")
        status, kind = urllib.parse.unquote(head.split(" ")[1]).strip("/").split("/")
        lines = ["HTTP/1.1 {} Whatever".format(status), "Connection: close"]
        if status.startswith("3"):
            lines.append("Location: /200/tiny")
        if kind in bombs:
            body = [bombs[kind]]
            lines += ["Content-Encoding: " + kind, "Content-Length: {}".format(len(bombs[kind]))]
        elif kind == "tiny":
            body = [b"abc"]
            lines.append("Content-Length: 3")
        elif kind in ("plain", "unsized"):
            body = (bytes(1 << 20) for _ in range(BOMB_SIZE >> 20))
            if kind == "plain":
                lines.append("Content-Length: {}".format(BOMB_SIZE))
        else:
            body = (b"100000\r\n" + bytes(1 << 20) + b"\r\n" for _ in range(BOMB_SIZE >> 20))
            lines.append("Transfer-Encoding: chunked")
        conn.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        for piece in body:
            conn.sendall(piece)
        conn.close()

    return listeners.raw(serve)


# name: (path, start, end, length, the error it ends with)
DOWNLOADS = {
    "gzip, gzip bomb": ("200/gzip, gzip", None, None, None, "ContentDecodingError"),
    "gzip bomb": ("200/gzip", None, None, None, "ContentDecodingError"),
    "bomb with a length": ("200/gzip, gzip", None, None, 278, "ValueError"),
    "256 MiB for 278 bytes": ("200/plain", None, None, 278, "ValueError"),
    "chunked for 278 bytes": ("200/chunked", None, None, 278, "ValueError"),
    "ranged bomb": ("206/gzip, gzip", 0, 277, None, "AssertionError"),
    "ranged 256 MiB": ("206/plain", 0, 277, None, "AssertionError"),
    "ranged, answered chunked": ("200/chunked", 0, 277, None, "AssertionError"),
    "a refusal carrying a bomb": ("403/gzip, gzip", None, None, None, "HTTPError"),
}

MEASURE = textwrap.dedent("""
    import json, resource, sys
    from norvo.providers.server import aws

    def peak_mib():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

    base, cases = sys.argv[1], json.loads(sys.argv[2])
    try:
        aws.get(base + "200/gzip, gzip")    # every code path loaded once before measuring
    except Exception:
        pass
    results = {}
    for name, (path, start, end, length) in cases.items():
        before = peak_mib()
        try:
            outcome = "returned {} bytes".format(len(aws.get(base + path, start, end, length=length).content))
        except Exception as error:
            outcome = type(error).__name__
        results[name] = [outcome, peak_mib() - before]
    print(json.dumps(results))
""")


def measured(hostile, cases):
    """Runs the downloads of `cases` (name: (path, start, end, length, ...)) in turn against the
    hostile store, in a child process, whose peak memory is its own; gives, for each, how it
    ended and how far it raised the peak, in MiB."""
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    downloads = {name: case[:4] for name, case in cases.items()}
    out = subprocess.run([sys.executable, "-c", MEASURE, hostile.url, json.dumps(downloads)], capture_output=True,
                         text=True, timeout=60, env=env)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def test_bombs_and_oversized_bodies_are_refused_within_bounded_memory(listeners, bombs, no_proxies):
    """Measured in a child process, whose peak memory is its own: every download is refused
    with the peak well below what any of the bodies would take read whole (256 MiB). A bomb
    without a length is read until it decodes to 100 times what came over the wire."""
    hostile = hostile_store(listeners, bombs)
    started = time.monotonic()
    results = measured(hostile, DOWNLOADS)
    for name, (_, _, _, _, error) in DOWNLOADS.items():
        outcome, growth = results[name]
        assert outcome == error and growth < 48, (name, outcome, growth)
    assert time.monotonic() - started < 20


# name: (path, start, end, length, how it ends, the most it may raise the peak, in MiB); in this
# order, since a peak hides whatever a later download takes below it
KEPT = {
    "a redirect carrying 256 MiB": ("302/plain", None, None, 3, "returned 3 bytes", 16),
    "a redirect carrying a bomb": ("302/gzip, gzip", None, None, 3, "returned 3 bytes", 16),
    "a redirect carrying 256 MiB, unsized": ("307/unsized", None, None, None, "returned 3 bytes", 16),
    # what was read and its join, 64 MiB each, and no third copy
    "256 MiB for 64 MiB": ("200/unsized", None, None, 64 << 20, "ValueError", 160),
}


def test_a_redirect_body_is_never_read_and_an_overrun_keeps_no_more_than_its_limit(listeners, bombs, no_proxies):
    results = measured(hostile_store(listeners, bombs), KEPT)
    for name, (_, _, _, _, outcome, most) in KEPT.items():
        assert results[name][0] == outcome and results[name][1] < most, (name, results[name])


def answering(head, pieces):
    """A RawServer's `serve`: reads the request, answers with the head's lines and the body's
    pieces as they are, and hangs up."""

    def serve(conn, server):
        read_head(conn)
        conn.sendall(("\r\n".join(["HTTP/1.1 " + head[0], "Connection: close"] + list(head[1:])) + "\r\n\r\n")
                     .encode("latin-1"))
        for piece in pieces:
            conn.sendall(piece)
        conn.close()

    return serve


def in_chunks(body, size):
    return [b"%x\r\n" % len(body[i:i + size]) + body[i:i + size] + b"\r\n" for i in range(0, len(body), size)] + [
        b"0\r\n\r\n"]


PADDED = json.dumps({"time": "2026-01-01T00:00:00", "pad": "x" * (2 << 20)}).encode()


@pytest.mark.parametrize("call", [
    lambda s, aws, url: aws.get(url + "objects/o"),
    lambda s, aws, url: aws.get(url + "objects/o", length=len(PADDED)),
    lambda s, aws, url: s.client.get("time", auth=False),
], ids=["object GET", "object GET within its length", "broker GET"])
def test_a_chunked_reply_of_2_mib_is_taken_whole(server, listeners, aws, sleeps, call):
    peer = listeners.raw(answering(["200 OK", "Content-Type: application/json", "Transfer-Encoding: chunked"],
                                   in_chunks(PADDED, 100000)))
    server.client.URL = peer.url
    assert call(server, aws, peer.url).content == PADDED and sleeps == []


TOO_LONG = "9" * 23   # beyond what 64 bits hold

# name: (the reply's status and headers, its body, start, end, length, the error, its message)
NOT_THE_OBJECT = {
    "302 without Location": (["302 Found", "Content-Length: 42"], b"x" * 42, None, None, 3,
                             requests.HTTPError, "The object store answered the GET with 302, which is not the object."),
    "302 without Location, ranged": (["302 Found", "Content-Length: 3"], b"abc", 0, 2, None,
                                     requests.HTTPError,
                                     "The object store answered the GET with 302, which is not the object."),
    "304": (["304 Not Modified"], b"", None, None, None,
            requests.HTTPError, "The object store answered the GET with 304, which is not the object."),
    "a Content-Length past any count": (["200 OK", "Content-Length: " + TOO_LONG], b"abc", None, None, 3, ValueError,
                                        "The object store sent more than the 3 bytes recorded for the object; the "
                                        "download was stopped."),
    "ranged, a Content-Length past any count": (["206 Partial Content", "Content-Length: " + TOO_LONG], b"abc",
                                                0, 2, None, AssertionError, ""),
    "ranged, no Content-Length": (["206 Partial Content"], b"abc", 0, 2, None, AssertionError, ""),
    "ranged, a Content-Length that is no count": (["206 Partial Content", "Content-Length: three"], b"abc",
                                                  0, 2, None, AssertionError, ""),
}


@pytest.mark.parametrize("case", NOT_THE_OBJECT)
def test_a_download_answered_with_no_object_fails_clearly(listeners, aws, no_proxies, sleeps, case):
    head, body, start, end, length, error, message = NOT_THE_OBJECT[case]
    peer = listeners.raw(answering(head, [body]))
    with pytest.raises(error) as raised:
        aws.get(peer.url + "objects/o", start, end, length=length)
    assert str(raised.value) == message
    if error is requests.HTTPError:
        assert raised.value.response.status_code == int(head[0].split()[0])
    assert len(peer.connections) == 1 and sleeps == []


# ---- 4. no credentials from the environment


@pytest.fixture(params=["$NETRC", "~/.netrc"])
def netrc(request, tmp_path, monkeypatch):
    """A netrc file naming 127.0.0.1, found through $NETRC or in the home folder; returns the
    Authorization header the HTTP library would make of it."""
    path = tmp_path / ".netrc"
    path.write_text("machine 127.0.0.1 login eve password stolen\n")
    path.chmod(0o600)
    if request.param == "$NETRC":
        monkeypatch.setenv("NETRC", str(path))
    else:
        monkeypatch.delenv("NETRC", raising=False)
        monkeypatch.setenv("HOME", str(tmp_path))
    return "Basic " + base64.b64encode(b"eve:stolen").decode()


def test_no_request_takes_credentials_from_a_netrc_file(logged_in, listeners, aws, events, netrc):
    broker = logged_in.broker
    # The file is there for the HTTP library to find ...
    assert requests.get(broker.url + "v1.0/time/").request.headers["Authorization"] == netrc
    other = listeners(lambda seen: (200, {}, OBJECT))
    url = broker.put_object("o", OBJECT)
    start = len(broker.log)
    # ... and none of the library's requests uses it.
    logged_in.session.authenticate(logged_in.client, logged_in.user)
    events.get(type="container")
    broker.script("events", redirect(302, "/v1.0/events/?type=container"))
    logged_in.client.get("events", params={"type": "container"})
    aws.get(url)
    aws.get(url, 0, 9)
    aws.put(url, data=OBJECT)
    broker.script("object-get", redirect(302, other.url + "objects/o"))
    aws.get(url)
    entries = broker.log[start:]
    assert [e.route for e in entries] == ["time", "login", "events", "events", "events", "object-get", "object-get",
                                          "object-put", "object-get"]
    for entry in entries:
        if entry.route in ("time", "login") or entry.route.startswith("object"):
            assert entry.headers["Authorization"] is None, entry.route
        else:
            assert entry.headers["Authorization"] != netrc and entry.user == str(logged_in.user.id)
    assert other.requests[0].headers["Authorization"] is None


def test_proxies_named_in_the_environment_keep_working(server, listeners, aws, netrc, monkeypatch):
    proxy = listeners()
    nobody = "http://127.0.0.1:{}/".format(free_port())
    monkeypatch.setenv("HTTP_PROXY", proxy.url)
    server.client.URL = nobody
    assert server.client.get("time", auth=False).json()["time"]
    assert aws.get(nobody + "objects/o").status_code == 200
    assert aws.put(nobody + "objects/o", data=b"x").status_code == 200
    assert [(s.method, s.target) for s in proxy.requests] == [
        ("GET", nobody + "v1.0/time/"), ("GET", nobody + "objects/o"), ("PUT", nobody + "objects/o")]
    assert all(s.headers["Authorization"] is None for s in proxy.requests)
    assert proxy.requests[0].headers["X-Norvo-Api-Key"] is not None and no_broker_headers(proxy.requests[1])


# ---- 5. the login's verification in errors and log lines


def texts_of(error):
    """Every text the error shows: its message, its representation, its arguments (and those of
    the errors it carries) and its traceback with the whole chain."""
    found = [str(error), repr(error), "".join(traceback.format_exception(error))]
    stack = [error]
    while stack:
        e = stack.pop()
        for arg in e.args:
            (stack.append if isinstance(arg, BaseException) else found.append)(arg if isinstance(arg, BaseException)
                                                                               else str(arg))
    return "\n".join(found)


def login_faults(logged_in):
    broker = logged_in.broker

    def refused():
        broker.login_refusal_status = 403
        broker.state.public_keys.clear()

    def unreachable():
        def move(ctx):
            logged_in.client.URL = "http://127.0.0.1:{}/".format(free_port())

        broker.script("time", move)

    # fault: (set-up, the error, whether the HTTP stack logs the login's URL)
    return {"refused with 403": (refused, requests.HTTPError, True),
            "login unreachable": (unreachable, requests.ConnectionError, False)}


@pytest.mark.parametrize("fault", ["refused with 403", "login unreachable"])
def test_a_failed_login_shows_its_verification_nowhere(logged_in, caplog, sleeps, fault):
    caplog.set_level(logging.DEBUG)
    set_up, expected, stack_logs_url = login_faults(logged_in)[fault]
    set_up()
    with pytest.raises(expected) as raised:
        logged_in.session.authenticate(logged_in.client, logged_in.user)
    error = raised.value
    # The request on the wire carried it whole.
    sent = urllib.parse.parse_qs(urllib.parse.urlsplit(error.request.url).query)["verification"][0]
    assert len(sent) > 90
    shown = texts_of(error)
    formatter = logging.Formatter("%(name)s %(message)s")
    logged = "\n".join(formatter.format(r) for r in caplog.records)
    for text in (shown, logged):
        for form in (sent, urllib.parse.quote_plus(sent), urllib.parse.quote(sent, safe="")):
            assert form not in text
    assert "verification=***" in str(error)
    stack_lines = [r.getMessage() for r in caplog.records if r.name.startswith("urllib3")]
    assert any("/v1.0/login/?" in line and "verification=***" in line for line in stack_lines) == stack_logs_url
    assert any(r.getMessage() == "Exception making request." and r.exc_info for r in caplog.records)


def test_a_followed_login_redirect_shows_its_verification_nowhere(server, caplog):
    caplog.set_level(logging.DEBUG)
    user = make_user()
    server.broker.register_user(user)
    server.broker.script("login", lambda ctx: redirect(307, ctx.request.path + "?" + urllib.parse.urlencode(
        {k: v[0] for k, v in ctx.request.query.items()})))
    server.session.authenticate(server.client, user)
    first, second = server.broker.entries("login")
    sent = first.arg("verification")
    assert second.arg("verification") == sent and second.verdict == "ok"
    logged = "\n".join(r.getMessage() for r in caplog.records)
    assert sent not in logged and urllib.parse.quote_plus(sent) not in logged
    assert "Following the broker's 307 to " in logged and "verification=***" in logged


def test_the_masking_filter_sits_on_the_http_stacks_loggers():
    module = sys.modules["norvo.providers.server.session"]
    for name in ("urllib3.connectionpool", "urllib3.util.retry", "urllib3.poolmanager"):
        assert module._mask_verification in logging.getLogger(name).filters
    record = logging.LogRecord("urllib3.connectionpool", logging.DEBUG, __file__, 1, '%s "%s %s"', (
        "http://h:1", "GET", "/v1.0/login/?userId=u&verification=abc%2Bdef%3D&challenge=c"), None)
    assert module._mask_verification(record)
    assert record.getMessage() == 'http://h:1 "GET /v1.0/login/?userId=u&verification=***&challenge=c"'


# ---- 6. timeouts


def silent(conn, server):
    """Accepts, and never reads or answers."""
    server.stopped.wait(30)


def head_then_silence(conn, server):
    """Reads the request and sends a reply's head, then nothing more."""
    read_head(conn)
    conn.sendall(b"HTTP/1.1 206 Partial Content\r\nContent-Type: application/json\r\nContent-Length: 10\r\n\r\n{\"ti")
    server.stopped.wait(30)


@pytest.fixture
def short_timeouts(monkeypatch, aws):
    module = sys.modules["norvo.providers.server.session"]
    for owner in (module, aws):
        monkeypatch.setattr(owner, "CONNECT_TIMEOUT", 0.3)
        monkeypatch.setattr(owner, "READ_TIMEOUT", 0.3)


TRANSFERS = {
    "unsigned": lambda s, aws, url: s.client.get("time", auth=False),
    "login": lambda s, aws, url: s.session.authenticate(s.client, s.user),
    "signed": lambda s, aws, url: s.client.get("events", params={"type": "container"}),
    "object GET": lambda s, aws, url: aws.get(url + "objects/o"),
    "object ranged GET": lambda s, aws, url: aws.get(url + "objects/o", 0, 9),
    "object PUT": lambda s, aws, url: aws.put(url + "objects/o", data=OBJECT),
}


@pytest.mark.parametrize("serve", [silent, head_then_silence])
@pytest.mark.parametrize("call", TRANSFERS)
def test_a_peer_that_stops_answering_times_out(logged_in, listeners, aws, short_timeouts, sleeps, caplog,
                                               serve, call):
    caplog.set_level(logging.DEBUG, logger="norvo.providers.server.client")
    stalled = listeners.raw(serve)
    logged_in.client.URL = stalled.url
    started = time.monotonic()
    with pytest.raises(requests.exceptions.ReadTimeout):
        TRANSFERS[call](logged_in, aws, stalled.url)
    assert time.monotonic() - started < 5 and sleeps == []
    assert len([r for r in caplog.records if r.getMessage() == "Exception making request."]) == 1


def test_a_peer_that_never_takes_the_connection_times_out(logged_in, aws, short_timeouts, sleeps):
    """A listener whose backlog is full: the handshake of the next connection gets no answer."""
    with socket.socket() as full:
        full.bind(("127.0.0.1", 0))
        full.listen(0)
        port = full.getsockname()[1]
        fillers = []
        for _ in range(3):
            filler = socket.socket()
            filler.setblocking(False)
            try:
                filler.connect(("127.0.0.1", port))
            except BlockingIOError:
                pass
            fillers.append(filler)
        try:
            url = "http://127.0.0.1:{}/".format(port)
            logged_in.client.URL = url
            for call in ("unsigned", "object GET", "object PUT"):
                started = time.monotonic()
                try:
                    TRANSFERS[call](logged_in, aws, url)
                except requests.exceptions.ConnectTimeout:
                    pass
                except requests.ConnectionError:
                    pytest.skip("this kernel refuses connections to a full backlog")
                assert time.monotonic() - started < 5
        finally:
            for filler in fillers:
                filler.close()
    assert sleeps == []


def test_the_timeouts_are_seconds_of_the_modules(aws):
    session = sys.modules["norvo.providers.server.session"]
    assert (session.CONNECT_TIMEOUT, session.READ_TIMEOUT) == (5, 60)
    assert (aws.CONNECT_TIMEOUT, aws.READ_TIMEOUT) == (5, 60)


# ---- 7. a whole road at DEBUG


def private_forms(person):
    """Texts in which a person's private keys could show: each key's PEM body and its scalar."""
    from cryptography.hazmat.primitives import serialization

    forms = []
    for section in ("signingKeys", "derivationKeys"):
        for key in person.user.keys[section].values():
            pem = key.private.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                            serialization.NoEncryption()).decode()
            forms.append(pem.splitlines()[2])
            value = key.private.private_numbers().private_value
            forms += ["{:x}".format(value), str(value)]
    return forms


def test_a_whole_road_at_debug_writes_no_secret(road, signup, login, caplog):
    """Every logger of the library, the HTTP stack and the database at DEBUG, call traces on."""
    from norvo import _lifecycle, container
    from norvo import user as accounts
    from norvo.access import Access
    from road_fixtures import ROAD_API_KEY, key_file_path

    for name in (None, "norvo", "urllib3", "sqlalchemy", "alembic"):
        caplog.set_level(logging.DEBUG, logger=name)
    broker = road.broker
    issued = []
    broker.new_token = lambda: issued.append(loopback.signing.new_token()) or issued[-1]

    alice, bob = signup("alice"), signup("bob")
    login(alice)
    plaintext = {"note": "dredging the northern basin", "figure": "1250000 harbour dues"}
    made = container.create({"title": "quarterly figures for the harbour board"}, plaintext,
                            access=[Access(bob.id, permissions=255)])
    key_file_path(bob).unlink()  # Bob's key file comes from the broker this time
    login(bob, by="passphrase")
    assert container.get(made.id).content.data == plaintext
    from norvo.providers.server import events
    assert events.get(type="container")
    accounts.change_credentials("Bob-N3w-Pa55word", "bob new rescue Phrase 9")
    _lifecycle.logout()
    _lifecycle.login(bob.id, password="Bob-N3w-Pa55word")
    accounts.delete()

    secrets = [("the API key", ROAD_API_KEY), ("a new password", "Bob-N3w-Pa55word"),
               ("a new passphrase", "bob new rescue Phrase 9"), ("the content", plaintext["note"]),
               ("the header", "quarterly figures for the harbour")]
    for person in (alice, bob):
        secrets += [(person.name + "'s password", person.password), (person.name + "'s passphrase", person.passphrase)]
        secrets += [("a private key of " + person.name, form) for form in private_forms(person)]
    secrets += [("a token", token) for token in issued]
    for entry in broker.log:
        if entry.headers["Authorization"]:
            secrets.append(("an authorisation", entry.headers["Authorization"].split()[1][:40]))
        if entry.route == "login":
            secrets.append(("a verification", entry.arg("verification")))
        body = entry.sent.partition(b"\r\n\r\n")[2] + b" " + entry.body
        for text in re.findall(rb'"keyFile": ?"([^"]+)"', body):
            raw = base64.b64decode(text)
            secrets += [("a key file", text.decode()[8:48]), ("a key file's bytes", raw[16:48].hex()),
                        ("a key file's bytes as text", repr(raw[16:48])[2:-1])]
    kinds = [what for what, _ in secrets]
    assert kinds.count("a token") >= 5 and kinds.count("a key file") >= 4

    written = caplog.text
    assert "<key file of " in written and len(written) > 50000
    leaks = sorted({what for what, secret in secrets if secret in written})
    assert leaks == []
