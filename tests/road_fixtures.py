"""Fixtures for the whole road: the provider initialised against the loopback broker, with a
local store in the test's temporary folder, and accounts made through the library's own
account operations."""
import base64
import importlib
import pathlib
import types

import pytest

ROAD_API_KEY = "0b6f7d52-1d4e-4c8a-9a35-6e0f2c9b7d41"
ROAD_APP_NAME = "norvo-road-tests"

# Credentials that pass the default validators; each account's own are derived from its name.
CREDENTIALS = {
    "alice": ("Alice-Pa55word", "alice rescue Phrase 1", "the blue notebook"),
    "bob": ("Bob-Pa55word!", "bob rescue Phrase 2", "the red notebook"),
    "carol": ("Carol-Pa55word", "carol rescue Phrase 3", "the green notebook"),
    "eve": ("Eve-Pa55word!!", "eve rescue Phrase 4", "the grey notebook"),
}


class Person(object):
    """An account made on the broker: its id, credentials and the User that creation returned."""

    def __init__(self, name, user):
        self.name = name
        self.user = user
        self.id = user.id
        self.password, self.passphrase, self.reminder = CREDENTIALS[name]

    def __repr__(self):
        return "<Person {} {}>".format(self.name, self.id)


def package_root():
    """The folder holding the norvo package these tests import: a child process needs it too."""
    import norvo

    return str(pathlib.Path(norvo.__file__).resolve().parent.parent)


def _reset_server():
    server = importlib.import_module("norvo.providers.server")
    for name in ("user", "api_key", "token", "key", "time_offset", "client", "app_name", "expires_at"):
        setattr(server.session, name, None)
    server.client.URL = None


@pytest.fixture
def road(broker, tmp_path, sleeps, fresh_provider):
    """The current provider initialised against a fresh broker, the local store under tmp_path.

    No retry of the REST client sleeps (`sleeps`), so a broker fault shows at once.
    """
    from norvo import _lifecycle

    root = tmp_path / "store"
    _lifecycle.initialize(ROAD_API_KEY, fips=False, app_name=ROAD_APP_NAME, server_url=broker.url,
                          root_dir=str(root))
    try:
        yield types.SimpleNamespace(provider=fresh_provider, broker=broker, root=root, waits=sleeps)
    finally:
        fresh_provider.logout()
        fresh_provider.reset()
        _reset_server()


@pytest.fixture
def signup(road):
    """`signup(name)` makes an account with that name's credentials and logs out again."""
    from norvo import _lifecycle
    from norvo import user as accounts

    def make(name):
        password, passphrase, reminder = CREDENTIALS[name]
        person = Person(name, accounts.create(password, reminder, passphrase))
        _lifecycle.logout()
        return person

    return make


@pytest.fixture
def login():
    """`login(person, by="password")` logs a person in with the password or the passphrase."""
    from norvo import _lifecycle

    def enter(person, by="password"):
        if by == "password":
            return _lifecycle.login(person.id, password=person.password)
        return _lifecycle.login(person.id, passphrase=person.passphrase)

    return enter


def key_file_path(person):
    """Where the local store keeps the person's key file."""
    from norvo import providers

    ofs = importlib.import_module("norvo.providers.ofs")
    return ofs.client.get_file_path(seed=providers.KEY_FILE_SEED.format(user_id=person.id).encode("utf-8"))


def broker_key_file(road, person):
    """The key file the loopback broker holds for the person."""
    return base64.b64decode(road.broker.state.table("keyfiles")[str(person.id)]["keyFile"])


def damage_cells(road, table, column):
    """Makes every cell of `column` in the logged-in user's database one that opens to no value."""
    import sqlite3

    con = sqlite3.connect(str(road.provider.database.path))
    try:
        con.execute("update {} set {} = ?".format(table, column), (b"\xff\xfe",))
        con.commit()
    finally:
        con.close()
