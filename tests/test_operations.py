"""One user per operation: a login or logout while another user's operation runs changes only
the operations that start after it. The running one finishes as the user it started as, in
that user's database under that user's key, or fails with a clear error once that user's broker
session has ended, never succeeding as somebody else. Rows of the local store that no longer
open under its key are the cache's damage, dropped and fetched again.

Every wait is bounded (LIMIT); the operations held run on a thread of their own, the logins and
logouts on the test's thread.
"""
import contextlib
import json
import logging
import os
import subprocess
import sys
import threading

import pytest
import requests
import sqlalchemy as sa

from norvo import _lifecycle, container, providers
from road_fixtures import ROAD_API_KEY, damage_cells, package_root

pytestmark = pytest.mark.filterwarnings("ignore::sqlalchemy.exc.SAWarning",
                                        "ignore:The 'EncryptedType' class will change:DeprecationWarning")

LIMIT = 30  # seconds any wait of these tests may take
HEADER = {"title": "minutes of the harbour board"}
NO_LONGER = "<User {}> is no longer logged in: an operation started as that user cannot finish."


class Gate(object):
    """Where a thread is held: `hold()` says it is there and waits for `release()`."""

    def __init__(self):
        self.reached, self.released = threading.Event(), threading.Event()

    def hold(self, *args):
        self.reached.set()
        assert self.released.wait(LIMIT), "never released"

    def wait(self):
        assert self.reached.wait(LIMIT), "the operation never reached the gate"

    def release(self):
        self.released.set()


class Worker(threading.Thread):
    """Runs `work()` on a thread of its own, keeping its result or its error."""

    def __init__(self, work):
        super().__init__(name="operation", daemon=True)
        self.work, self.result, self.error = work, None, None

    def run(self):
        try:
            self.result = self.work()
        except BaseException as error:
            self.error = error

    def outcome(self):
        self.join(LIMIT)
        assert not self.is_alive(), "the operation did not end"
        return self.result, self.error


@pytest.fixture
def held_local_write(monkeypatch):
    """Holds the first write of the operation's thread to the local store inside its transaction,
    where its rows are about to be sealed (SQLAlchemy's before_flush)."""
    gate, real = Gate(), providers.local_write

    @contextlib.contextmanager
    def local_write(db, read_only=False):
        with real(db, read_only=read_only) as session:
            if not read_only and threading.current_thread().name == "operation" and not gate.reached.is_set():
                sa.event.listen(session, "before_flush", gate.hold, once=True)
            yield session

    monkeypatch.setattr(providers, "local_write", local_write)
    return gate


def change_user(how, login, bob):
    if how == "Bob logs in":
        login(bob)
    else:
        _lifecycle.logout()


# A fresh process: Alice's store, as her key opens it, then Bob's.
READER = """
import json, sys
from norvo import _lifecycle, container

url, root, api_key = sys.argv[1:4]
_lifecycle.initialize(api_key, fips=False, server_url=url, root_dir=root)
seen = {}
for name, user_id, password in (sys.argv[4:7], sys.argv[7:10]):
    _lifecycle.login(user_id, password=password)
    ids = container.local_ids()
    seen[name] = {str(cid): container.get(cid, local=True).content.data.decode() for cid in ids}
print(json.dumps(seen))
"""


def stores_seen_afresh(road, alice, bob):
    """What a new process finds in Alice's and Bob's local stores: container ids and contents."""
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env["PYTHONPATH"] = package_root()
    args = [road.broker.url, str(road.root), ROAD_API_KEY]
    for person in (alice, bob):
        args += [person.name, str(person.id), person.password]
    done = subprocess.run([sys.executable, "-c", READER] + args, env=env, capture_output=True, text=True,
                          timeout=LIMIT)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


@pytest.mark.parametrize("how", ["Bob logs in", "Alice logs out"])
def test_a_change_of_user_while_alices_write_is_held_leaves_her_store_hers(
        road, signup, login, held_local_write, how):
    alice, bob = signup("alice"), signup("bob")
    login(alice)
    worker = Worker(lambda: container.create(HEADER, b"hers", access=[bob.id]))
    worker.start()
    held_local_write.wait()
    change_user(how, login, bob)  # returns while her write is held
    assert not held_local_write.released.is_set()
    held_local_write.release()
    made, error = worker.outcome()
    # The broker had committed before the change: the container is hers, kept in her store.
    assert error is None and made.created_by == alice.id
    if how == "Bob logs in":
        assert container.local_ids() == []
    else:
        assert road.provider.database is None and road.provider.session.user is None
    assert stores_seen_afresh(road, alice, bob) == {"alice": {str(made.id): "hers"}, "bob": {}}


def hold_the_upload(road, monkeypatch, gate):
    road.broker.script("object-put", gate.hold)


def hold_the_signed_commit(road, monkeypatch, gate):
    """Holds the commit once it is signed, before it is sent: the broker then finds its token ended."""
    real = requests.adapters.HTTPAdapter.send

    def send(adapter, request, **kwargs):
        if threading.current_thread().name == "operation" and request.method == "PUT" \
                and b'"commit"' in (request.body or b""):
            gate.hold()
        return real(adapter, request, **kwargs)

    monkeypatch.setattr(requests.adapters.HTTPAdapter, "send", send)


@pytest.mark.parametrize("hold", [hold_the_upload, hold_the_signed_commit])
@pytest.mark.parametrize("how", ["Bob logs in", "Alice logs out"])
def test_a_change_of_user_while_alices_create_is_at_the_broker_fails_it_clearly(
        road, signup, login, caplog, monkeypatch, how, hold):
    alice, bob = signup("alice"), signup("bob")
    login(alice)
    gate = Gate()
    hold(road, monkeypatch, gate)
    worker = Worker(lambda: container.create(HEADER, b"hers", access=[bob.id]))
    worker.start()
    gate.wait()
    change_user(how, login, bob)
    gate.release()
    made, error = worker.outcome()
    # Neither a success as Bob nor a lost reply: the commit did not go out, or went out signed
    # with a token that had ended.
    assert type(error) is RuntimeError and str(error) == NO_LONGER.format(alice.id)
    (record,) = road.broker.state.table("containers").values()
    assert record["object"] is None
    assert "Could not withdraw container {} from the broker: RuntimeError".format(record["containerId"]) in [
        r.getMessage() for r in caplog.records if r.name == "norvo.container"]
    assert stores_seen_afresh(road, alice, bob) == {"alice": {}, "bob": {}}


def test_an_operation_joins_the_one_it_runs_in_and_reads_as_its_user(road, signup, login):
    from norvo.providers import ofs

    alice, bob = signup("alice"), signup("bob")
    p = road.provider
    login(alice)
    alices_db = p.database
    with p.operation() as outer:
        with p.operation() as inner:
            assert inner is outer and outer.user.id == alice.id
        seen = {}

        def bob_logs_in():  # another thread, outside the operation
            login(bob)
            seen["there"] = (p.session.user.id, ofs.session.user.id, p.database.path)

        other = Worker(bob_logs_in)
        other.start()
        other.outcome()
        assert seen["there"][:2] == (bob.id, bob.id) and seen["there"][2] != alices_db.path
        assert (p.session.user.id, ofs.session.user.id, p.database) == (alice.id, alice.id, alices_db)
    assert (p.session.user.id, p.database.path) == (bob.id, seen["there"][2])


# ---- rows that no longer open under the database's key


@contextlib.contextmanager
def sealed_as(user):
    """The local provider's session reads as `user`, so that rows written meanwhile are sealed
    under that user's key, as a login that once came in the middle of another user's write did."""
    from norvo.providers import ofs
    from norvo.providers.ofs import models

    before = ofs.session.user
    models.get_sa_key.cache_clear()
    ofs.session.user = user
    try:
        yield
    finally:
        ofs.session.user = before
        models.get_sa_key.cache_clear()


def test_rows_sealed_under_another_users_key_are_dropped_and_fetched_again(road, signup, login, caplog):
    alice, bob = signup("alice"), signup("bob")
    p = road.provider
    bobs_user = login(bob)
    login(alice)
    kept = container.create(HEADER, b"kept")
    lost = container.create(HEADER, b"lost", access=[bob.id])
    blobs = {uid: access.key_blob.to_bytes() for uid, access in lost.access.items()}
    container._drop_local(p, lost.id)
    with sealed_as(bobs_user):
        container._record(p, lost, lost.data, blobs)
    caplog.set_level(logging.WARNING)
    assert container.local_ids() == [kept.id]
    (warning,) = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert warning == ("Rows of the local store of {} do not open under its key (3 dropped); the next get of their "
                       "containers from the broker keeps them again.".format(alice.id))
    with pytest.raises(LookupError, match="not in the local store"):
        container.get(lost.id, local=True)
    assert container.get(lost.id).content.data == b"lost"
    assert container.local_ids() == sorted([kept.id, lost.id])
    assert container.get(lost.id, local=True).content.data == b"lost"


def test_a_damaged_access_drops_its_container_from_a_local_read(road, signup, login, caplog):
    alice, bob = signup("alice"), signup("bob")
    login(alice)
    made = container.create(HEADER, b"content", access=[bob.id])
    damage_cells(road, "container_accesses", "container_id")
    caplog.set_level(logging.WARNING, logger="norvo.providers")
    # Neither access tells its container any more: the container, which has none of Alice's, goes.
    with pytest.raises(LookupError, match="not in the local store"):
        container.get(made.id, local=True)
    assert len(caplog.records) == 1 and "(3 dropped)" in caplog.records[0].getMessage()
    assert container.local_ids() == []
    assert container.get(made.id).content.data == b"content" and container.local_ids() == [made.id]


def test_damaged_key_rows_are_written_again_at_the_next_login(road, signup, login, caplog):
    from norvo.providers.ofs import models

    alice = signup("alice")
    login(alice)
    damage_cells(road, "keys", "pub_key")
    _lifecycle.logout()
    caplog.set_level(logging.WARNING, logger="norvo.providers")
    login(alice)
    assert [r.getMessage() for r in caplog.records] == [
        "Rows of keys in the local store do not open under its key (2 dropped); the broker holds the record."]
    with providers.local_write(road.provider.database, read_only=True) as session:
        assert len(session.scalars(sa.select(models.Key)).all()) == 2


def test_an_account_whose_container_locations_do_not_open_is_deleted(road, signup, login):
    from norvo import user as accounts
    from norvo.providers.ofs import database

    alice = signup("alice")
    login(alice)
    container.create(HEADER, b"content")
    damage_cells(road, "containers", "ofs_location")
    accounts.delete()
    assert str(alice.id) not in road.broker.state.table("accounts")
    assert not database.get_file_path(alice.id).exists() and road.provider.session.user is None


def test_a_login_while_alices_account_goes_leaves_bob_logged_in_and_his_logout_whole(road, signup, login,
                                                                                     monkeypatch):
    """Bob logs in just as the broker has deleted Alice's account: her deletion finishes as
    hers, and neither logs Bob out nor keeps his logout from ending his token at the broker."""
    from norvo import user as accounts
    from norvo.providers import _broker

    alice, bob = signup("alice"), signup("bob")
    login(alice)
    gate, real = Gate(), _broker.Broker.call

    def call(self, what, *args, **kwargs):
        reply = real(self, what, *args, **kwargs)
        if what == "delete the account" and threading.current_thread().name == "operation":
            gate.hold()
        return reply

    monkeypatch.setattr(_broker.Broker, "call", call)
    worker = Worker(accounts.delete)
    worker.start()
    gate.wait()
    login(bob)
    gate.release()
    assert worker.outcome() == (None, None)
    assert str(alice.id) not in road.broker.state.table("accounts")
    assert road.provider.session.user.id == bob.id
    _lifecycle.logout()
    assert [s for s in road.broker.state.tokens.values() if s.user_id == str(bob.id)] == []
