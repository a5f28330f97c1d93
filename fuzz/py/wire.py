"""Replies from bytes: the HTTP stack of the library's requests, fed from a script, not a server.

Every request that goes through a `WireAdapter` gets the next raw reply of its script (status
line, headers and body, as a server would write them) over a real socket pair, so the reply is
read by the same code as a reply from the broker: http.client's status and header parsing,
urllib3's body reading, length checks and content decoding, and requests' error translation.
Nothing listens anywhere, and nothing leaves the process: a request that finds its script
empty fails as a refused connection does.
"""

import contextlib
import http
import socket

import requests
import requests.adapters
import urllib3
import urllib3.connection
import urllib3.connectionpool

# A socket pair's buffer holds this much without a reader; the script writes each reply
# before the client reads it, so longer replies are cut here.
MAX_REPLY = 128 * 1024


class Script(object):
    """The replies still to give, in order, and the requests that asked for them."""

    def __init__(self, replies):
        self.replies = [bytes(r)[:MAX_REPLY] for r in replies]
        self.requests = []  # (method, url, headers) of every request that reached the wire

    def next_socket(self):
        if not self.replies:
            raise ConnectionRefusedError(111, "Connection refused (the script has no more replies)")
        reply = self.replies.pop(0)
        client, server = socket.socketpair()
        with contextlib.closing(server):
            server.sendall(reply)
            server.shutdown(socket.SHUT_WR)
        return client


def _connection_class(script):
    class WireConnection(urllib3.connection.HTTPConnection):
        """An HTTP connection whose socket carries the script's next reply."""

        def _new_conn(self):
            try:
                return script.next_socket()
            except OSError as e:
                raise urllib3.exceptions.NewConnectionError(self, "Failed to establish a new connection: {}".format(e))

        def request(self, method, url, body=None, headers=None, **kwargs):
            script.requests.append((method, url, dict(headers or {})))
            return super().request(method, url, body=body, headers=headers, **kwargs)

    return WireConnection


class WireAdapter(requests.adapters.HTTPAdapter):
    """requests' own adapter, with connections whose sockets carry scripted replies."""

    def __init__(self, script):
        self.script = script
        super().__init__()

    def init_poolmanager(self, *args, **kwargs):
        super().init_poolmanager(*args, **kwargs)
        connection_cls = _connection_class(self.script)

        class WirePool(urllib3.connectionpool.HTTPConnectionPool):
            ConnectionCls = connection_cls

        self.poolmanager.pool_classes_by_scheme = {"http": WirePool, "https": WirePool}
        self.poolmanager.key_fn_by_scheme = dict(self.poolmanager.key_fn_by_scheme)
        self.poolmanager.key_fn_by_scheme["https"] = self.poolmanager.key_fn_by_scheme["http"]


@contextlib.contextmanager
def mounted(session, script):
    """Every request of `session` (a requests.Session) is answered from `script` meanwhile;
    the session's own adapters come back afterwards."""
    adapters = session.adapters
    session.adapters = type(adapters)()
    adapter = WireAdapter(script)
    session.mount("http://", adapter)
    session.mount("https://", adapter)
    try:
        yield script
    finally:
        adapter.close()
        session.adapters = adapters


class OneOffRequests(object):
    """Stands where a module keeps the `requests` module for its one-off `requests.request`
    calls: the same call, on a fresh session whose requests are answered from a script."""

    def __init__(self, script):
        self.script = script

    def request(self, method, url, **kwargs):
        with requests.Session() as s:
            with mounted(s, self.script):
                return s.request(method=method, url=url, **kwargs)

    def __getattr__(self, name):
        return getattr(requests, name)


def reply(status=200, body=b"", headers=(), reason=None):
    """The bytes of a well-formed reply with a Content-Length."""
    if reason is None:
        try:
            reason = http.HTTPStatus(status).phrase
        except ValueError:
            reason = ""
    head = ["HTTP/1.1 {} {}".format(status, reason)]
    head += ["{}: {}".format(k, v) for k, v in headers]
    head.append("Content-Length: {}".format(len(body)))
    return ("\r\n".join(head) + "\r\n\r\n").encode("latin-1") + body
