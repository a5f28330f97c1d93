"""Fixtures for the local-store tests: temporary roots and databases.

The local provider's modules are imported inside the fixtures, so that loading this plugin
costs nothing for tests that never touch the local store.
"""
import types
import uuid

import pytest

LOCAL_USER_IDS = (
    uuid.UUID("3b0f6d2e-8c4a-4f71-9a1e-2d5c7b9e0a14"),
    uuid.UUID("c6e1a9f4-52b3-4d8e-b7a0-61f2e3d4c5b6"),
)


@pytest.fixture(scope="session")
def local_users():
    """Two logged-in user stand-ins (an id and a key ring), made once: key pairs are slow."""
    from rings import private_ring

    return tuple(types.SimpleNamespace(id=uid, keys=private_ring(user_id=uid)) for uid in LOCAL_USER_IDS)


@pytest.fixture
def ofs_root(tmp_path):
    """Where a test's file store begins; `initialize` creates it."""
    return tmp_path / "store"


@pytest.fixture
def ofs_client(ofs_root, monkeypatch):
    """An initialised file store, installed as the local provider's `client`."""
    import norvo.providers.ofs as ofs
    from norvo.providers.ofs.burrow import NorvoOFSClient

    client = NorvoOFSClient()
    client.ROOT_DIR = str(ofs_root)
    client.initialize()
    monkeypatch.setattr(ofs, "client", client)
    return client


@pytest.fixture
def ofs_session(monkeypatch):
    """The local provider's session with nobody logged in and no database key kept."""
    import norvo.providers.ofs as ofs
    from norvo.providers.ofs import models

    models.get_sa_key.cache_clear()
    monkeypatch.setattr(ofs.session, "user", None)
    yield ofs.session
    models.get_sa_key.cache_clear()


@pytest.fixture
def ofs_user(ofs_session, local_users):
    """The first stand-in user, logged in to the local provider."""
    ofs_session.user = local_users[0]
    return local_users[0]


def open_database(user_id):
    from norvo.providers.ofs import database, models  # noqa: F401  (declares the tables)

    db = database.NorvoDatabase()
    db.initialize(user_id)
    return db


def close_database(db):
    """Lets go of a database's connections so its file can be removed with the test's root."""
    session = getattr(db, "session", None)
    if session is not None:
        session.remove()
    engine = getattr(db, "engine", None)
    if engine is not None:
        engine.dispose()


@pytest.fixture
def ofs_db(ofs_client, ofs_user):
    """The logged-in user's database, opened in the test's file store."""
    db = open_database(ofs_user.id)
    yield db
    close_database(db)


class TextPath(object):
    """A path object of the caller's own: `os.fspath` gives `text` (text or bytes)."""

    def __init__(self, text):
        self.text = text

    def __fspath__(self):
        return self.text
