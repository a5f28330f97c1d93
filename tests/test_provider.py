"""The provider stand-in over the loopback broker and the local store: start-up, accounts, key
files, login and logout, public key rings."""
import base64
import importlib
import logging
import re

import pytest
import requests

import norvo.providers
from norvo import _lifecycle
from norvo import user as accounts
from norvo.crypto.aes import DecryptionError
from norvo.crypto.keys import KeyRingSchema, KeyType
from local_fixtures import TextPath
from road_fixtures import ROAD_API_KEY, ROAD_APP_NAME, broker_key_file, key_file_path

pytestmark = pytest.mark.filterwarnings("ignore::sqlalchemy.exc.SAWarning",
                                        "ignore:The 'EncryptedType' class will change:DeprecationWarning")


def server():
    return importlib.import_module("norvo.providers.server")


def ofs():
    return importlib.import_module("norvo.providers.ofs")


def models():
    return importlib.import_module("norvo.providers.ofs.models")


# ---- the scope and start-up


def test_scope_before_initialize_nests_and_lets_errors_pass(fresh_provider):
    with norvo.providers.get() as outer:
        with norvo.providers.get() as inner:
            assert outer is inner is fresh_provider and outer.session.user is None
    with pytest.raises(ZeroDivisionError):
        with norvo.providers.get():
            1 / 0
    # Nothing that needs the broker works before initialize, and it says so.
    with pytest.raises(RuntimeError, match="not initialized"):
        fresh_provider.login("0b6f7d52-1d4e-4c8a-9a35-6e0f2c9b7d41", password="x")
    with pytest.raises(RuntimeError, match="not initialized"):
        fresh_provider.user.get_backup_reminder("0b6f7d52-1d4e-4c8a-9a35-6e0f2c9b7d41")


def test_initialize_configures_session_client_and_store(road):
    session = server().session
    assert (session.api_key, session.app_name) == (ROAD_API_KEY, ROAD_APP_NAME)
    assert server().client.URL == road.broker.url
    assert ofs().client.root == road.root.resolve() and road.root.is_dir()
    assert road.provider.local and road.provider.configured


def test_initialize_without_root_keeps_no_local_store(broker, fresh_provider, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    try:
        _lifecycle.initialize("key", fips=False, server_url=broker.url)
        assert not fresh_provider.local and list(tmp_path.iterdir()) == []
    finally:
        fresh_provider.reset()
        server().client.URL = None


def test_bad_server_url_changes_nothing(fresh_provider):
    client = server().client
    before = client.URL
    with pytest.raises(ValueError, match="server_url is not a valid url."):
        fresh_provider.initialize("key", server_url="http://[::1")
    assert client.URL == before and not fresh_provider.configured


@pytest.mark.parametrize("root_dir, error, message", [
    ("", ValueError, "root_dir must not be empty."),
    (TextPath(""), ValueError, "root_dir must not be empty."),
    (123, TypeError, "root_dir must be text or a path, not int"),
    (b"store", TypeError, "root_dir must be text or a path, not bytes"),
    (TextPath(b"store"), TypeError, "root_dir must be text or a path, not bytes"),
])
def test_a_root_dir_that_names_no_folder_changes_nothing(fresh_provider, tmp_path, monkeypatch, root_dir, error,
                                                         message):
    monkeypatch.chdir(tmp_path)
    client, store = server().client, ofs().client
    before = (client.URL, store.ROOT_DIR, getattr(store, "root", None))
    fresh_provider.session.user = "someone"
    with pytest.raises(error) as raised:
        fresh_provider.initialize("key", server_url="http://127.0.0.1:9/", root_dir=root_dir)
    assert str(raised.value) == message
    assert (client.URL, store.ROOT_DIR, getattr(store, "root", None)) == before
    assert fresh_provider.session.user == "someone" and not fresh_provider.configured
    assert list(tmp_path.iterdir()) == []


def test_a_root_the_store_refuses_changes_nothing(road, signup, login, tmp_path):
    from norvo import container

    alice = signup("alice")
    login(alice)
    made = container.create({"title": "kept"}, b"bytes")
    open_to_all = tmp_path / "open to all"
    open_to_all.mkdir()
    open_to_all.chmod(0o777)  # anybody may move the store aside there: no sticky bit
    store, session = ofs().client, server().session
    before = (store.ROOT_DIR, store.root, road.provider.settings, session.token, server().client.URL)
    with pytest.raises(PermissionError, match="could move the store aside"):
        _lifecycle.initialize("another key", fips=False, server_url="http://127.0.0.1:9/",
                              root_dir=str(open_to_all / "store"))
    # The store, the login and the configuration are as they were, and go on working.
    assert (store.ROOT_DIR, store.root, road.provider.settings, session.token, server().client.URL) == before
    assert road.provider.session.user.id == alice.id and session.api_key == ROAD_API_KEY
    assert container.local_ids() == [made.id] and container.get(made.id).content.data == b"bytes"


def test_a_root_dir_given_as_a_path_object(fresh_provider, tmp_path, monkeypatch):
    from norvo.providers.ofs.burrow import NorvoOFSClient

    monkeypatch.setattr(ofs(), "client", NorvoOFSClient())
    try:
        fresh_provider.initialize("key", server_url="http://127.0.0.1:9/", root_dir=TextPath(str(tmp_path / "own")))
        assert fresh_provider.local and ofs().client.root == (tmp_path / "own").resolve()
    finally:
        fresh_provider.reset()
        server().client.URL = None


# ---- accounts and key files


def test_created_account_on_the_broker_and_in_the_store(road, signup):
    alice = signup("alice")
    b = road.broker
    account = b.state.table("accounts")[str(alice.id)]
    assert sorted((k["keyType"], k["index"], k["active"]) for k in account["keys"]) == [
        ("auth", 0, True), ("derivation", 0, True)]
    # The key file on the broker and in the local store are the one encrypted by create.
    stored = broker_key_file(road, alice)
    assert stored == alice.user.strongbox.data == key_file_path(alice).read_bytes()
    assert b.state.table("keyfiles")[str(alice.id)]["reminder"] == alice.reminder
    # The passphrase never travels.
    assert not any(alice.passphrase.encode() in e.body for e in b.entries())
    # The reminder is public: readable without a login, by id text or UUID.
    assert accounts.get_backup_reminder(alice.id) == alice.reminder
    assert accounts.get_backup_reminder(str(alice.id)) == alice.reminder


@pytest.mark.parametrize("by", ["password", "passphrase"])
def test_login_opens_the_key_file(road, signup, login, by):
    alice = signup("alice")
    user = login(alice, by)
    assert user.id == alice.id and not user.strongbox.encrypted
    assert user.keys[KeyType.AUTH][0].public.public_numbers() == \
        alice.user.keys[KeyType.AUTH][0].public.public_numbers()
    assert road.provider.session.user is user is server().session.user is ofs().session.user
    # The local copy was used: the broker was not asked for the key file.
    assert road.broker.entries("keyfile-get") == []


def test_login_fetches_the_key_file_from_the_broker_when_not_held(road, signup, login):
    alice = signup("alice")
    key_file_path(alice).unlink()
    login(alice)
    assert len(road.broker.entries("keyfile-get")) == 1
    assert key_file_path(alice).read_bytes() == broker_key_file(road, alice)


@pytest.mark.parametrize("credentials, error", [
    (dict(password="Wrong-Pa55word"), DecryptionError),
    (dict(passphrase="wrong rescue Phrase"), DecryptionError),
    (dict(), ValueError),
])
def test_refused_credentials_change_nothing(road, signup, login, credentials, error):
    alice, bob = signup("alice"), signup("bob")
    login(bob)
    token, database = server().session.token, road.provider.database
    with pytest.raises(error):
        _lifecycle.login(alice.id, **credentials)
    # The key file did not open, so Bob's login stands untouched.
    assert road.provider.session.user.id == server().session.user.id == ofs().session.user.id == bob.id
    assert server().session.token == token and road.provider.database is database


def test_refused_authentication_leaves_nobody_logged_in(road, signup, login):
    alice, bob = signup("alice"), signup("bob")
    login(bob)
    road.broker.script("login", 403)
    with pytest.raises(requests.HTTPError, match="403"):
        login(alice)
    assert road.provider.session.user is None and ofs().session.user is None
    assert server().session.user is None and server().session.token is None
    assert road.provider.database is None


def test_login_of_an_unknown_account(road):
    with pytest.raises(LookupError, match="no key file"):
        _lifecycle.login("9d1f3a8e-0c2b-4e6f-8a7d-5b4c3e2f1a0b", password="Whatever-1x")


def test_failed_key_file_storage_deletes_the_new_account(road):
    road.broker.script("keyfile-put", 400)
    with pytest.raises(requests.HTTPError, match="400"):
        accounts.create("Alice-Pa55word", "reminder", "alice rescue Phrase 1")
    assert road.broker.state.table("accounts") == {} and road.broker.state.table("keyfiles") == {}
    assert road.provider.session.user is None and server().session.user is None


def test_refused_registration_logs_in_nobody(road):
    road.broker.script("accounts-create", 403)
    with pytest.raises(PermissionError, match="register an account"):
        accounts.create("Alice-Pa55word", "reminder", "alice rescue Phrase 1")
    assert road.provider.session.user is None and road.broker.entries("login") == []


@pytest.mark.parametrize("change, message", [
    (dict(password="short"), "password does not meet complexity requirements."),
    (dict(passphrase="all lower case words"), "passphrase does not meet complexity requirements."),
    (dict(reminder_validator=lambda reminder: False), "reminder does not meet complexity requirements."),
    (dict(password="short", passphrase="short"), "password does not meet complexity requirements."),
])
def test_change_credentials_refusals_store_nothing(road, signup, login, change, message):
    alice = signup("alice")
    login(alice)
    before = broker_key_file(road, alice)
    arguments = dict(password="Alice-N3w-Pa55word", passphrase="alice new rescue Phrase 5")
    arguments.update(change)
    with pytest.raises(ValueError, match=message):
        accounts.change_credentials(**arguments)
    assert broker_key_file(road, alice) == before == key_file_path(alice).read_bytes()


def test_change_credentials_then_log_in_with_the_new_ones(road, signup, login):
    alice = signup("alice")
    login(alice)
    assert accounts.change_credentials("Alice-N3w-Pa55word", "alice new rescue Phrase 5") is True
    # The reminder stays unless a new one is given; both copies of the key file are the new one.
    assert accounts.get_backup_reminder() == alice.reminder
    assert broker_key_file(road, alice) == key_file_path(alice).read_bytes()
    _lifecycle.logout()
    with pytest.raises(DecryptionError):
        login(alice)
    with pytest.raises(DecryptionError):
        login(alice, "passphrase")
    assert _lifecycle.login(alice.id, password="Alice-N3w-Pa55word").id == alice.id
    assert _lifecycle.login(alice.id, passphrase="alice new rescue Phrase 5").id == alice.id
    # A passphrase given as bytes is its UTF-8 text, as the default validator judged it.
    accounts.change_credentials("Alice-Th1rd-Pa55word", b"alice third rescue Phrase 6", reminder="a new hint")
    assert accounts.get_backup_reminder() == "a new hint"
    _lifecycle.logout()
    assert _lifecycle.login(alice.id, passphrase="alice third rescue Phrase 6").id == alice.id


def test_change_credentials_keeps_every_key_of_the_ring(road, signup, login):
    from norvo.crypto.keys import AuthKey, DerivationKey, KeyRing
    from norvo.crypto.strongbox import KeyFile

    alice = signup("alice")
    ring = login(alice).keys
    # A ring that has grown since the account was made: a retired key, and keys that do not
    # start at index 0 or follow each other.
    for key_type, index, key, active in ((KeyType.AUTH, 1, AuthKey(), False), (KeyType.AUTH, 4, AuthKey(), True),
                                         (KeyType.DERIVATION, 2, DerivationKey(), False),
                                         (KeyType.DERIVATION, 3, DerivationKey(), True)):
        key.index, key.user_id, key.active = index, alice.id, active
        ring[key_type][index] = key
    accounts.change_credentials("Alice-N3w-Pa55word", "alice new rescue Phrase 5")

    def held(keys):
        return {t: {i: (k.active, k.private.private_numbers().private_value) for i, k in keys[t].items()}
                for t in (KeyType.AUTH, KeyType.DERIVATION)}

    for stored in (broker_key_file(road, alice), key_file_path(alice).read_bytes()):
        opened = KeyFile(enc_data=stored)
        opened.decrypt("Alice-N3w-Pa55word")
        assert held(KeyRing(strongbox=opened)) == held(ring)
    _lifecycle.logout()
    again = _lifecycle.login(alice.id, passphrase="alice new rescue Phrase 5").keys
    assert held(again) == held(ring) and sorted(again[KeyType.AUTH]) == [0, 1, 4]


@pytest.mark.parametrize("arguments, error, message", [
    (dict(user=object()), TypeError, "user must be a User, not object"),
    (dict(user_id="0b6f7d52-1d4e-4c8a-9a35-6e0f2c9b7d41", password=1), TypeError,
     "password must be str, bytes or None, not int"),
    (dict(user_id="0b6f7d52-1d4e-4c8a-9a35-6e0f2c9b7d41", passphrase=b"x"), TypeError,
     "passphrase must be str or None, not bytes"),
    (dict(user_id=7, password="x"), TypeError, "user_id must be a UUID or its text, not int"),
    (dict(user_id=None, password="x"), ValueError, "user_id must be a UUID string."),
    (dict(user_id="0b6f7d52", password="x"), ValueError, "user_id must be a UUID string."),
])
def test_provider_login_refuses_arguments_by_name(road, arguments, error, message):
    with pytest.raises(error, match="^{}$".format(re.escape(message))):
        road.provider.login(**arguments)
    assert road.broker.log == [] and road.provider.session.user is None


def test_stale_local_key_file_gives_way_to_the_brokers(road, signup, login):
    # Another process changed the credentials: this store still holds the old key file.
    alice = signup("alice")
    old = key_file_path(alice).read_bytes()
    login(alice)
    accounts.change_credentials("Alice-N3w-Pa55word", "alice new rescue Phrase 5")
    _lifecycle.logout()
    key_file_path(alice).write_bytes(old)
    assert _lifecycle.login(alice.id, password="Alice-N3w-Pa55word").id == alice.id
    assert key_file_path(alice).read_bytes() == broker_key_file(road, alice)


def test_delete_removes_the_account_everywhere(road, signup, login):
    from norvo import container

    alice, bob = signup("alice"), signup("bob")
    login(alice)
    made = container.create({"title": "to go"}, b"bytes", access=[bob.id])
    database = road.provider.database.path
    key_file = key_file_path(alice)
    accounts.delete()
    b = road.broker
    assert str(alice.id) not in b.state.table("accounts") and str(alice.id) not in b.state.table("keyfiles")
    assert str(made.id) not in b.state.table("containers") and b.state.objects == {}
    assert not database.exists() and not key_file.exists()
    assert road.provider.session.user is None and server().session.token is None
    with pytest.raises(LookupError):
        login(alice)
    # Bob is still there, and his view of the feed tells him the container is gone.
    from norvo.providers.server import events

    login(bob)
    assert [e.action for e in events.get(type="container")] == ["added", "deleted"]


# ---- logout and a second user


def test_logout_leaves_nothing_behind(road, signup, login):
    from norvo.providers.ofs import models

    alice = signup("alice")
    login(alice)
    token = server().session.token
    models.get_sa_key()
    _lifecycle.logout()
    assert road.provider.session.user is None and ofs().session.user is None
    assert server().session.user is None and server().session.token is None
    assert road.provider.database is None
    # No database key is served to nobody.
    with pytest.raises(AttributeError):
        models.get_sa_key()
    # The broker dropped the token too.
    assert token not in road.broker.state.tokens


def writes_of(path):
    """The database's file change counter, which every transaction that writes moves on."""
    return int.from_bytes(path.read_bytes()[24:28], "big")


def test_the_next_login_of_the_same_user_finds_the_database_ready(road, signup, login):
    import sqlite3

    alice, bob = signup("alice"), signup("bob")
    login(alice)
    db = road.provider.database
    engine, path = db.engine, db.path
    _lifecycle.logout()
    # Kept without anything of the user: no connection, no session, no registry.
    assert engine.pool.checkedin() == engine.pool.checkedout() == 0 and not hasattr(db, "session")
    before = writes_of(path)
    login(alice)
    assert road.provider.database is db and db.engine is engine
    assert writes_of(path) == before  # the ring was recorded already: nothing written
    # A key row gone is written again at the next login, and only then.
    _lifecycle.logout()
    con = sqlite3.connect(str(path))
    con.execute("delete from keys where id = (select max(id) from keys)")
    con.commit()
    con.close()
    login(alice)
    rows = road.provider.database.session().query(models().Key).filter(models().Key.user_id == alice.id).all()
    assert sorted((r.key_type, r.index) for r in rows) == sorted([(KeyType.AUTH, 0), (KeyType.DERIVATION, 0)])
    # Another user's login closes it, and Alice's own opens her file anew.
    login(bob)
    assert road.provider.database.path != path and engine.pool.checkedin() == 0
    login(alice)
    assert road.provider.database.engine is not engine and road.provider.database.path == path


def test_two_users_one_after_the_other_share_nothing(road, signup, login):
    from norvo import container
    from norvo.providers.ofs import models

    alice, bob = signup("alice"), signup("bob")
    login(alice)
    made = container.create({"title": "alice's"}, b"alice only")
    alice_key, alice_token, alice_db = models.get_sa_key(), server().session.token, road.provider.database.path
    # Bob logs in straight over Alice, without a logout in between.
    login(bob)
    bob_key, bob_token, bob_db = models.get_sa_key(), server().session.token, road.provider.database.path
    assert bob_key != alice_key and bob_token != alice_token and bob_db != alice_db
    assert server().session.user.id == ofs().session.user.id == road.provider.session.user.id == bob.id
    assert alice_token not in road.broker.state.tokens and bob_token in road.broker.state.tokens
    assert container.local_ids() == []
    with pytest.raises(PermissionError, match="no access"):
        container.get(made.id)
    # Alice again: her own key opens her own database, which still holds her container.
    login(alice)
    assert models.get_sa_key() == alice_key and container.local_ids() == [made.id]


# ---- public key rings


def test_keys_get_gives_the_published_public_ring(road, signup, login):
    alice, bob = signup("alice"), signup("bob")
    login(alice)
    ring = road.provider.keys.get(str(bob.id))
    assert ring.user_id == bob.id
    for section in (KeyType.AUTH, KeyType.DERIVATION):
        ((index, key),) = ring[section].items()
        assert index == 0 and key.private is None and key.active
        assert key.public.public_numbers() == bob.user.keys[section][0].public.public_numbers()
    # The ring is kept in Alice's database, where the key-row loader finds it again.
    from norvo.providers.ofs import models

    session = road.provider.database.session()
    rows = session.query(models.Key).filter(models.Key.user_id == bob.id).all()
    loaded = KeyRingSchema(many=True).load(rows).data
    assert loaded.user_id == bob.id and loaded.get_first_valid(KeyType.DERIVATION) is not None
    with pytest.raises(KeyError):
        road.provider.keys.get("9d1f3a8e-0c2b-4e6f-8a7d-5b4c3e2f1a0b")


def test_a_ring_added_by_hand_comes_first(road, signup, login, local_users):
    alice = signup("alice")
    login(alice)
    ring = local_users[1].keys
    road.provider.keys.add(ring)
    assert road.provider.keys.get(ring.user_id) is ring and road.broker.entries("account-keys") == []


def test_no_secret_reaches_a_log_line(road, login, caplog):
    from norvo import container

    caplog.set_level(logging.DEBUG, logger="norvo.providers")
    caplog.set_level(logging.DEBUG, logger="norvo.container")
    password, passphrase = "Alice-Pa55word", "alice rescue Phrase 1"
    alice = accounts.create(password, "reminder", passphrase)
    _lifecycle.logout()
    _lifecycle.login(alice.id, passphrase=passphrase)
    accounts.change_credentials("Alice-N3w-Pa55word", "alice new rescue Phrase 5")
    made = container.create({"title": "logged?"}, b"secret content")
    token = server().session.token
    _lifecycle.logout()
    ours = [r.getMessage() for r in caplog.records if r.name in ("norvo.providers", "norvo.container")]
    assert ours  # the provider does say what it does
    key_file = base64.b64encode(broker_key_file(road, alice)).decode()
    for secret in (password, passphrase, "Alice-N3w-Pa55word", "alice new rescue Phrase 5", ROAD_API_KEY, token,
                   key_file[:40], "secret content", str(made.container_keys.cipher_key)):
        assert not any(secret in line for line in ours), secret
