"""Fixtures for the server-provider tests: the loopback broker."""
import faulthandler
import importlib
import pathlib
import socket
import sys
import time
import types
import uuid

import pytest

# The loopback broker lives in the checkout's top-level folder, beside src/ and tests/.
_TOP = str(pathlib.Path(__file__).resolve().parent.parent)
if _TOP not in sys.path:
    sys.path.insert(0, _TOP)

import broker as loopback  # noqa: E402

PROXY_VARIABLES = ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY",
                   "http_proxy", "https_proxy", "all_proxy", "no_proxy")

API_KEY = "6f1c5d1e-7d0a-4c57-9a43-0b8e1b7f2c11"
APP_NAME = "norvo-tests"

# A broker that hangs mid-test ends the run with a traceback rather than hold it for the
# requests' own timeouts.
TEST_TIME_LIMIT = 60


class StandInUser(object):
    """What the session reads of a logged-in user: id, key ring and text form."""

    def __init__(self, user_id, keys):
        self.id = user_id
        self.keys = keys

    def __str__(self):
        return "<User {}>".format(self.id)


def make_user(auth_keys=1, inactive=(), user_id=None):
    """A user with `auth_keys` authentication keys (indexes 0..n-1), some inactive."""
    from rings import private_ring

    user_id = user_id or uuid.uuid4()
    auth = [(index, index not in inactive) for index in range(auth_keys)]
    return StandInUser(user_id, private_ring(auth=auth, user_id=user_id))


def free_port():
    """A port on 127.0.0.1 with nobody listening (it was free a moment ago)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def aws():
    from norvo.providers.server import aws

    return aws


@pytest.fixture
def events():
    from norvo.providers.server import events

    return events


@pytest.fixture
def no_proxies(monkeypatch):
    """Loopback traffic goes straight to the server, whatever the environment says."""
    for name in PROXY_VARIABLES:
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def broker(no_proxies):
    """A fresh loopback broker on an ephemeral port, stopped after the test."""
    faulthandler.dump_traceback_later(TEST_TIME_LIMIT, exit=True)
    b = loopback.Broker().start()
    try:
        yield b
    finally:
        b.stop()
        faulthandler.cancel_dump_traceback_later()


def _reset(session):
    for name in ("user", "api_key", "token", "key", "time_offset", "client", "app_name", "expires_at"):
        setattr(session, name, None)


@pytest.fixture
def server(broker):
    """The server provider configured against the broker, nobody logged in."""
    package = importlib.import_module("norvo.providers.server")
    module = importlib.import_module("norvo.providers.server.session")
    session, client = package.session, package.client
    _reset(session)
    session.initialize(API_KEY, broker.url, app_name=APP_NAME)
    client.URL = broker.url
    try:
        yield types.SimpleNamespace(session=session, client=client, module=module, broker=broker, package=package)
    finally:
        _reset(session)
        client.URL = None


@pytest.fixture
def logged_in(server):
    """A registered user with one key, logged in through the REST client."""
    user = make_user()
    server.broker.register_user(user)
    server.session.authenticate(server.client, user)
    server.user = user
    return server


@pytest.fixture
def sleeps(monkeypatch):
    """The retry waits asked for, in seconds; nothing really sleeps.

    The retry library calls `time.sleep` through its own module global `time`.
    """
    import retrying

    waits = []
    monkeypatch.setattr(retrying, "time", types.SimpleNamespace(time=time.time, sleep=waits.append))
    return waits
