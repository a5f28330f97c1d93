"""One user in several processes on one local store: real processes, started together by a
barrier (each says it is ready, then all are told to go at once), each bounded by a timeout.

The database's first open is done by one of them at a time, every write of a container's
record is one transaction that replaces what was there, and once they have all finished every
file of the store is named by a row: none is left behind, and none after the account goes.
A child forked from a process that has its database open works on connections of its own and
leaves the parent's to the parent.
"""
import json
import multiprocessing
import os
import pathlib
import signal
import sqlite3
import subprocess
import sys
import threading
import traceback
import uuid

import pytest
import sqlalchemy as sa
from sqlalchemy import select

from road_fixtures import ROAD_API_KEY, package_root

pytestmark = pytest.mark.filterwarnings("ignore:The 'EncryptedType' class will change:DeprecationWarning",
                                        r"ignore:.*use of fork\(\) may lead to deadlocks:DeprecationWarning")

PROCESSES = 3
ROUNDS = 4
SHARED = 3
LIMIT = 90  # seconds any child may take, its start-up included

# A child that opens new databases in a store, one after the other (each a chance to meet the
# others at a first open), its user's key given as PEM, and records one key row of its own in
# each.
OPENER = """
import sys
from cryptography.hazmat.primitives.serialization import load_pem_private_key
import norvo.providers as providers
import norvo.providers.ofs as ofs
from norvo.providers.ofs.burrow import NorvoOFSClient
from norvo.providers.ofs import database, models

root, user_ids, pem, n = sys.argv[1], sys.argv[2].split(","), sys.argv[3].encode(), int(sys.argv[4])
client = NorvoOFSClient()
client.ROOT_DIR = root
client.initialize()
ofs.client = client
key = type("Key", (), {"private": load_pem_private_key(pem, None)})
ofs.session.user = type("User", (), {"id": user_ids[0], "keys": {"signingKeys": {0: key}}})
print("ready", flush=True)
sys.stdin.readline()
for user_id in user_ids:
    db = database.NorvoDatabase()
    db.initialize(user_id)
    with providers.local_write(db) as session:
        session.add(models.Key(user_id=user_id, key_type="signingKeys", index=n, pub_key=b"pem %d" % n))
    db.session.remove()
    db.engine.dispose()
print("done", flush=True)
"""

# A child that logs one user in and, round after round, fetches the same containers as the
# others, creates one of its own, and reads them all back from the local store.
WORKER = """
import json, sys
from norvo import _lifecycle, container

url, root, user_id, password, api_key = sys.argv[1:6]
shared = sys.argv[6].split(",")
ROUNDS = int(sys.argv[7])
_lifecycle.initialize(api_key, fips=False, server_url=url, root_dir=root)
print("ready", flush=True)
sys.stdin.readline()
_lifecycle.login(user_id, password=password)
made = []
for n in range(ROUNDS):
    for cid in shared:
        assert container.get(cid).content.data == b"shared " + cid.encode()
    made.append(str(container.create({"round": n}, b"own %d" % n).id))
    for cid in shared + made:
        container.get(cid, local=True)
print(json.dumps(made), flush=True)
_lifecycle.logout()
"""


def run_together(args_of):
    """Starts one child per argument list, lets them all go at once, and returns their outputs."""
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env["PYTHONPATH"] = package_root()
    children = [subprocess.Popen([sys.executable, "-c"] + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True, env=env) for args in args_of]
    try:
        for child in children:
            assert child.stdout.readline().strip() == "ready", child.stderr.read()
        for child in children:
            child.stdin.write("go\n")
            child.stdin.flush()
        outcomes = [child.communicate(timeout=LIMIT) for child in children]
    finally:
        for child in children:
            if child.poll() is None:
                child.kill()
                child.wait()
    for child, (out, err) in zip(children, outcomes):
        assert child.returncode == 0, err
    return [out for out, _ in outcomes]


def test_three_processes_open_new_databases_at_once(ofs_client, local_users):
    from norvo import crypto
    from norvo.providers.ofs import database

    pem = crypto.to_pem_private(local_users[0].keys["signingKeys"][0].private)
    pem = pem.decode() if isinstance(pem, bytes) else pem
    user_ids = [str(uuid.UUID(int=n + 1)) for n in range(4)]
    paths = [database.get_file_path(uid) for uid in user_ids]
    assert not any(p.exists() for p in paths)
    run_together([[OPENER, str(ofs_client.root), ",".join(user_ids), pem, str(n)] for n in range(PROCESSES)])
    for path in paths:
        con = sqlite3.connect(str(path))
        try:
            assert con.execute("select version_num from alembic_version").fetchall() == [("566271002368",)]
            assert con.execute("select count(*) from keys").fetchall() == [(PROCESSES,)]
        finally:
            con.close()
        assert [p.name for p in path.parent.iterdir()] == [path.name]  # nothing set aside, no journal left


def store_files(root):
    return {p for p in root.rglob("*") if p.is_file()}


def test_three_processes_of_one_user_fetch_and_create_and_leave_no_file_behind(road, signup, login):
    from norvo import _lifecycle, container
    from norvo import providers
    from norvo import user as accounts
    from norvo.providers import ofs
    from norvo.providers.ofs import database, models

    alice = signup("alice")
    login(alice)
    shared = [str(container.create({"shared": n}, b"").id) for n in range(SHARED)]
    for cid in shared:  # the content names its container, so every read can be checked
        container.update(container.get(cid), content=b"shared " + cid.encode())
    _lifecycle.logout()

    outs = run_together([[WORKER, road.broker.url, str(road.root), str(alice.id), alice.password, ROAD_API_KEY,
                          ",".join(shared), str(ROUNDS)] for _ in range(PROCESSES)])
    made = [cid for out in outs for cid in json.loads(out.strip().splitlines()[-1])]
    assert len(set(made)) == PROCESSES * ROUNDS

    login(alice)
    assert [str(i) for i in container.local_ids()] == sorted(shared + made)
    for cid in shared + made:
        assert container.get(cid, local=True).content.data.startswith((b"shared ", b"own "))
    session = road.provider.database.session()
    locations = session.scalars(select(models.Container.ofs_location)).all()
    session.rollback()
    named = {ofs.client.get_file_path(seed=loc.encode("utf-8")) for loc in locations}
    # Every file is the key file, the database, or named by a row; every row names a file.
    key_file = ofs.client.get_file_path(seed=providers.KEY_FILE_SEED.format(user_id=alice.id).encode("utf-8"))
    own = {key_file, database.get_file_path(alice.id)}
    assert store_files(road.root) == own | named and len(named) == len(shared) + len(made)

    accounts.delete()
    assert store_files(road.root) == set()


# ---- forked children


def in_a_fork(work, limit=LIMIT):
    """Runs `work()` in a child forked from this process and returns what it returns; its
    failure is raised here. Bounded by `limit`, in the child by its own alarm, so that a child
    that hangs ends even when this process does not live to kill it."""
    context = multiprocessing.get_context("fork")
    receive, send = context.Pipe(duplex=False)

    def child():
        signal.alarm(limit)
        try:
            send.send(("ok", work()))
        except BaseException:
            send.send(("failed", traceback.format_exc()))

    process = context.Process(target=child)
    process.start()
    try:
        assert receive.poll(limit + 1), "the child did not answer in time"
        outcome, value = receive.recv()
        process.join(limit)
    finally:
        if process.is_alive():
            process.kill()
            process.join()
    assert outcome == "ok", value
    assert process.exitcode == 0
    return value


class Writer(threading.Thread):
    """Writes a user row after another, each in its own transaction, until told to stop."""

    def __init__(self, db):
        super().__init__()
        self.db, self.written, self.error, self.connections = db, 0, None, set()
        self.progress, self.stop = threading.Condition(), threading.Event()

    def run(self):
        from norvo.providers import local_write
        from norvo.providers.ofs import models

        try:
            while not self.stop.is_set():
                with local_write(self.db) as session:
                    session.add(models.User(id="parent {}".format(self.written)))
                    self.connections.add(id(session.connection().connection.dbapi_connection))
                with self.progress:
                    self.written += 1
                    self.progress.notify_all()
        except BaseException as error:
            self.error = error
            with self.progress:
                self.progress.notify_all()

    def wait_for(self, rows):
        with self.progress:
            assert self.progress.wait_for(lambda: self.written >= rows or self.error, timeout=LIMIT)
        assert self.error is None


# Children forked in the suite; run by hand with more (NORVO_STRESS_FORKS=200) as a stress check.
FORKS = int(os.environ.get("NORVO_STRESS_FORKS", "4"))


def test_children_forked_while_a_thread_writes_work_on_connections_of_their_own(ofs_db):
    from norvo.providers import local_write
    from norvo.providers.ofs import models

    # The forking thread's session holds a connection of the pool, as a logged-in thread's does.
    parent_session = ofs_db.session()
    held = parent_session.connection().connection.dbapi_connection
    parent_pool = ofs_db.engine.pool
    writer = Writer(ofs_db)
    writer.start()
    try:
        for n in range(FORKS):
            writer.wait_for((n + 1) * 5)

            def work():
                assert ofs_db.engine.pool is not parent_pool and ofs_db.session() is not parent_session
                own = ofs_db.session.connection().connection.dbapi_connection
                assert id(own) != id(held) and id(own) not in writer.connections
                seen = ofs_db.session.query(models.User).count()
                ofs_db.session.rollback()
                # Written as the library writes, taking the write lock first: a deferred
                # transaction that meets the parent's writer may be refused at once.
                with local_write(ofs_db) as session:
                    session.add(models.User(id="child {}".format(n)))
                with local_write(ofs_db, read_only=True) as session:
                    assert session.get(models.User, "child {}".format(n)) is not None
                # What the parent's session held is the parent's: it fails plainly here.
                with pytest.raises(sa.exc.DBAPIError, match="closed database"):
                    parent_session.execute(sa.text("select 1"))
                return seen

            assert in_a_fork(work) >= (n + 1) * 5
    finally:
        writer.stop.set()
        writer.join(LIMIT)
    assert writer.error is None and not writer.is_alive()
    # The parent's connections are still its own, and all that both sides wrote is there.
    assert parent_session.connection().connection.dbapi_connection is held
    assert parent_session.query(models.User).count() == writer.written + FORKS
    assert parent_session.execute(sa.text("PRAGMA integrity_check")).all() == [("ok",)]
    parent_session.rollback()


def test_a_transaction_of_the_parent_open_at_the_fork_stays_the_parents(ofs_db):
    """A connection held only by another thread's own state, in a transaction, at the fork: the
    child lets go of that thread's state as it starts, which must not roll the parent's
    transaction back (SQLite would delete its journal under it). The fork waits for the
    transaction first, for a bounded time, so this test takes that long."""
    from norvo.providers import local_write
    from norvo.providers.ofs import models

    own, inserted, go, outcome = threading.local(), threading.Event(), threading.Event(), []

    def holder():
        own.connection = ofs_db.engine.raw_connection()
        own.connection.cursor().execute("insert into users (id) values (x'00')")
        inserted.set()
        go.wait(LIMIT)
        try:
            own.connection.commit()
            outcome.append("committed")
        except Exception as error:
            outcome.append(repr(error))
        own.connection.close()

    thread = threading.Thread(target=holder)
    thread.start()
    try:
        assert inserted.wait(LIMIT)
        journal = pathlib.Path(str(ofs_db.path) + "-journal")
        assert journal.exists()

        def work():
            with local_write(ofs_db, read_only=True) as session:
                session.execute(select(sa.func.count()).select_from(models.User)).scalar()
            return journal.exists()

        assert in_a_fork(work) is True
        assert journal.exists()
    finally:
        go.set()
        thread.join(LIMIT)
    assert outcome == ["committed"]
    assert sqlite3.connect(str(ofs_db.path)).execute("select count(*) from users").fetchall() == [(1,)]


class LoginHeld(object):
    """A login of `person` on a thread of its own, held where `owner.name` is called from that
    thread until `release()`."""

    def __init__(self, monkeypatch, owner, name, person):
        from norvo import _lifecycle

        self.reached, self.released, self.error = threading.Event(), threading.Event(), None
        real = getattr(owner, name)

        def held(*args, **kwargs):
            if threading.current_thread() is self.thread:
                self.reached.set()
                assert self.released.wait(LIMIT)
            return real(*args, **kwargs)

        monkeypatch.setattr(owner, name, held, raising=False)

        def run():
            try:
                _lifecycle.login(person.id, password=person.password)
            except BaseException as error:
                self.error = error

        self.thread = threading.Thread(target=run, daemon=True)
        self.thread.start()
        assert self.reached.wait(LIMIT), "the login never got there"

    def release(self):
        self.released.set()
        self.thread.join(LIMIT)
        assert not self.thread.is_alive() and self.error is None


def test_a_child_forked_while_a_thread_logs_in_starts_without_its_locks(road, signup, login, monkeypatch):
    from norvo import _lifecycle, container
    from norvo.providers import _local

    alice, bob = signup("alice"), signup("bob")
    login(bob)
    held = LoginHeld(monkeypatch, _local.LocalStore, "open", alice)  # the provider's lock held
    try:
        def work():
            _lifecycle.initialize(ROAD_API_KEY, fips=False, server_url=road.broker.url, root_dir=str(road.root))
            _lifecycle.login(bob.id, password=bob.password)
            return len(container.local_ids())

        # Within the loopback broker's time limit for a test.
        assert in_a_fork(work, limit=20) == 0
    finally:
        held.release()


def test_a_child_forked_while_a_login_holds_the_stores_folder_leaves_it_free(road, signup, monkeypatch):
    import fcntl

    from norvo import _lifecycle
    from norvo.providers.ofs import database

    alice = signup("alice")
    folder = database.get_file_path(alice.id).parent
    held = LoginHeld(monkeypatch, database.Base.metadata, "create_all", alice)  # under the folder's lock
    context = multiprocessing.get_context("fork")
    receive, send = context.Pipe(duplex=False)
    def worker():  # lives on, never touching the store
        signal.alarm(20)
        receive.recv()

    child = context.Process(target=worker)
    child.start()
    try:
        held.release()
        _lifecycle.logout()
        fd = os.open(str(folder), os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # another process could open the store now
        finally:
            os.close(fd)
        assert child.is_alive()
    finally:
        send.send("done")
        child.join(LIMIT)
        if child.is_alive():
            child.kill()
            child.join()
