"""The local store when things fail half-way: a writer killed in the middle of a large write, two
processes writing one seed at once, a database file cut short or overwritten with garbage, and
encrypted cells altered behind the library's back. Nothing is ever read back mixed, short or
changed: the previous content, the other writer's whole content, or a clear error."""
import base64
import logging
import os
import pathlib
import signal
import sqlite3
import stat
import subprocess
import sys
import time
import uuid

import arrow
import pytest
import sqlalchemy.exc
from sqlalchemy.orm import Session

from local_fixtures import close_database, open_database
from norvo.providers.ofs.burrow import NorvoOFSClient
from road_fixtures import damage_cells, package_root

pytestmark = pytest.mark.filterwarnings("error::sqlalchemy.exc.SAWarning",
                                        "ignore:The 'EncryptedType' class will change:DeprecationWarning")

SEED = b"a seed written by two hands"
MIB = 1 << 20
WRITE_SIZE = 256 * MIB

# A child that writes one seed `count` times with `size` bytes of `fill`, saying when it starts.
WRITER = """
import sys
from norvo.providers.ofs.burrow import NorvoOFSClient
root, seed, size, fill, count = sys.argv[1], sys.argv[2].encode(), int(sys.argv[3]), sys.argv[4], int(sys.argv[5])
client = NorvoOFSClient()
client.ROOT_DIR = root
client.initialize()
data = fill.encode() * size
print("writing", flush=True)
for _ in range(count):
    client.write_bytes(data, seed=seed)
print("done", flush=True)
"""


def writer(root, size, fill, count=1):
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env["PYTHONPATH"] = package_root()
    child = subprocess.Popen([sys.executable, "-c", WRITER, str(root), SEED.decode(), str(size), fill, str(count)],
                             stdout=subprocess.PIPE, text=True, env=env)
    assert child.stdout.readline().strip() == "writing"
    return child


def temporaries(target):
    return [p for p in target.parent.glob("." + target.name + ".*.tmp")]


def kill_mid_write(target, child, limit=30):
    """SIGKILLs `child` once its temporary file beside `target` has started to fill; returns
    whether it was still writing then (its temporary file there, the target not yet replaced)."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        for p in temporaries(target):
            try:
                started = p.stat().st_size > 0
            except FileNotFoundError:
                continue
            if started:
                os.kill(child.pid, signal.SIGKILL)
                child.wait(10)
                return not target.exists() or target.stat().st_size != WRITE_SIZE
        if child.poll() is not None:
            return False
        time.sleep(0.001)
    child.kill()
    child.wait(10)
    raise AssertionError("the writer never started its write")


@pytest.mark.parametrize("previous", [b"the previous content, whole" * 1000, None])
def test_a_writer_killed_mid_write_leaves_the_previous_content_whole(ofs_client, previous):
    target = ofs_client.get_file_path(seed=SEED)
    if previous is not None:
        ofs_client.write_bytes(previous, seed=SEED)
    child = writer(ofs_client.root, WRITE_SIZE, "N")
    assert kill_mid_write(target, child), "the write finished before it could be killed"
    assert child.returncode == -signal.SIGKILL
    if previous is None:
        assert not target.exists()  # never a half-written file under the seed's name
    else:
        assert ofs_client.get(seed=SEED) == previous
    # The killed write's temporary file is all that is left of it, and the next write removes it.
    assert len(temporaries(target)) == 1
    ofs_client.write_bytes(b"after", seed=SEED)
    assert ofs_client.get(seed=SEED) == b"after"
    assert temporaries(target) == []


# A child that writes one seed, stopping half-way through its first chunk until a line arrives.
PAUSED_WRITER = """
import os, sys
from norvo.providers.ofs.burrow import NorvoOFSClient
root, seed, data = sys.argv[1], sys.argv[2].encode(), sys.argv[3].encode()
client = NorvoOFSClient()
client.ROOT_DIR = root
client.initialize()
real_write = os.write

def half_then_wait(fd, chunk):
    os.write = real_write
    done = real_write(fd, bytes(chunk)[: len(chunk) // 2])
    print("half", flush=True)
    sys.stdin.readline()
    return done

os.write = half_then_wait
client.write_bytes(data, seed=seed)
print("done", flush=True)
"""


@pytest.fixture
def paused_writer(ofs_client):
    """`paused_writer(data)`: a child half-way through writing SEED, and its temporary file."""
    children = []

    def start(data):
        env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
        env["PYTHONPATH"] = package_root()
        child = subprocess.Popen([sys.executable, "-c", PAUSED_WRITER, str(ofs_client.root), SEED.decode(), data],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
        children.append(child)
        assert child.stdout.readline().strip() == "half"
        (tmp,) = temporaries(ofs_client.get_file_path(seed=SEED))
        return child, tmp

    yield start
    for child in children:
        if child.poll() is None:
            child.kill()
        child.wait(10)


def test_a_write_that_died_leaves_nothing_once_the_store_is_opened_again(ofs_client, paused_writer):
    ofs_client.write_bytes(b"previous", seed=SEED)
    child, tmp = paused_writer("killed " * 1000)
    os.kill(child.pid, signal.SIGKILL)
    assert child.wait(10) == -signal.SIGKILL
    assert tmp.stat().st_size == len("killed " * 1000) // 2 and stat.S_IMODE(tmp.stat().st_mode) == 0o600
    again = NorvoOFSClient()
    again.ROOT_DIR = str(ofs_client.root)
    again.initialize()
    assert not tmp.exists() and again.get(seed=SEED) == b"previous"


def test_a_write_in_progress_in_another_process_is_left_alone(ofs_client, paused_writer):
    child, tmp = paused_writer("theirs " * 1000)
    # Another write of the same target, and another process's start-up, while it writes.
    ofs_client.write_bytes(b"ours", seed=SEED)
    again = NorvoOFSClient()
    again.ROOT_DIR = str(ofs_client.root)
    again.initialize()
    assert temporaries(ofs_client.get_file_path(seed=SEED)) == [tmp] and ofs_client.get(seed=SEED) == b"ours"
    child.stdin.write("go on\n")
    child.stdin.flush()
    assert child.stdout.readline().strip() == "done" and child.wait(10) == 0
    assert ofs_client.get(seed=SEED) == ("theirs " * 1000).encode() and not tmp.exists()


def test_two_writers_of_one_seed_leave_one_whole_file(ofs_client):
    size = 4 * MIB
    wholes = {fill * size for fill in (b"A", b"B")}
    target = ofs_client.get_file_path(seed=SEED)
    children = [writer(ofs_client.root, size, fill, count=12) for fill in ("A", "B")]
    reads = 0
    try:
        while any(c.poll() is None for c in children):
            if target.exists():
                data = ofs_client.get(seed=SEED)
                assert data in wholes, "a read saw {} bytes, mixed or short".format(len(data))
                reads += 1
    finally:
        for c in children:
            c.wait(60)
    assert [c.returncode for c in children] == [0, 0] and reads > 0
    assert ofs_client.get(seed=SEED) in wholes
    assert temporaries(target) == []


# ---- the database file, damaged


def snapshot(root, skip):
    return {p: p.read_bytes() for p in root.rglob("*") if p.is_file() and p != skip}


def _random(n):
    return os.urandom(n)


DAMAGES = {
    "cut to half": lambda data: data[: len(data) // 2],
    "cut inside the header page": lambda data: data[:60],
    "garbage throughout": lambda data: _random(len(data)),
    "garbage over the header": lambda data: _random(100) + data[100:],
    "garbage over the last pages": lambda data: data[: len(data) - 8192] + _random(8192),
}


@pytest.mark.parametrize("damage", sorted(DAMAGES) + ["another user's database"])
def test_a_damaged_database_is_set_aside_and_the_user_carries_on(road, signup, login, caplog, damage):
    """The database is a cache: a damaged one never keeps its user out. It is moved aside under a
    name that says why, bytes untouched, and a new one fills again from the broker."""
    from norvo import _lifecycle, container
    from norvo.providers.ofs import database

    alice, bob = signup("alice"), signup("bob")
    login(alice)
    made = container.create({"title": "t"}, b"content", access=[bob.id])
    login(bob)
    assert container.get(made.id).content.data == b"content"
    _lifecycle.logout()

    path = database.get_file_path(bob.id)
    if damage in DAMAGES:
        damaged, reason = DAMAGES[damage](path.read_bytes()), "corrupt"
        if damage in ("garbage throughout", "garbage over the header"):
            reason = "not-a-database"
    else:
        damaged, reason = database.get_file_path(alice.id).read_bytes(), "other-key"
    path.write_bytes(damaged)
    others = snapshot(road.root, skip=path)

    caplog.set_level(logging.WARNING, logger="norvo.providers.ofs.database")
    login(bob)
    aside = path.with_name(path.name + "." + reason)
    assert aside.read_bytes() == damaged
    (line,) = [r for r in caplog.records if r.name == "norvo.providers.ofs.database"]
    assert line.levelname == "WARNING" and str(aside) in line.getMessage()
    # Nothing else in the store changed: only the new database and the one set aside are new.
    assert snapshot(road.root, skip=path) == {**others, aside: damaged}
    assert container.local_ids() == []
    with pytest.raises(LookupError):
        container.get(made.id, local=True)
    assert container.get(made.id).content.data == b"content"
    assert container.local_ids() == [made.id]
    assert container.get(made.id, local=True).content.data == b"content"
    # The next login finds a sound database and leaves it be.
    caplog.clear()
    login(bob)
    assert container.local_ids() == [made.id] and caplog.records == []
    login(alice)
    assert container.local_ids() == [made.id] and container.get(made.id, local=True).content.data == b"content"


def test_a_second_damage_is_set_aside_beside_the_first(ofs_client, ofs_user, caplog):
    from norvo.providers.ofs import database

    path = database.get_file_path(ofs_user.id)
    for n in range(3):
        close_database(open_database(ofs_user.id))
        path.write_bytes(b"not a database, take %d" % n + bytes(200))
        close_database(open_database(ofs_user.id))
    kept = {p.name[len(path.name):]: p.read_bytes()[:22] for p in path.parent.iterdir() if p != path}
    assert kept == {".not-a-database": b"not a database, take 0", ".not-a-database.1": b"not a database, take 1",
                    ".not-a-database.2": b"not a database, take 2"}


def test_a_busy_database_is_no_damage(ofs_db, ofs_user):
    """A file another connection holds is waited for, never taken for a damaged one."""
    con = sqlite3.connect(str(ofs_db.path))
    con.execute("BEGIN EXCLUSIVE")
    try:
        with pytest.raises(sqlalchemy.exc.OperationalError, match="database is locked"):
            ofs_db.engine.dispose()
            again = open_database(ofs_user.id)
            close_database(again)
    finally:
        con.rollback()
        con.close()
    assert sorted(p.name for p in ofs_db.path.parent.iterdir()) == [ofs_db.path.name]


def test_a_database_cut_to_nothing_is_a_new_empty_one(road, signup, login):
    """An empty file is what a database is before its first tables: the user's local copies
    are gone (never wrong), and the broker gives them back."""
    from norvo import _lifecycle, container
    from norvo.providers.ofs import database

    alice = signup("alice")
    login(alice)
    made = container.create({"title": "t"}, b"content")
    _lifecycle.logout()
    database.get_file_path(alice.id).write_bytes(b"")
    login(alice)
    assert container.local_ids() == []
    with pytest.raises(LookupError):
        container.get(made.id, local=True)
    assert container.get(made.id).content.data == b"content"


# ---- the local key file, damaged


def key_file_of(person):
    import norvo.providers
    from norvo.providers import ofs

    return ofs.client.get_file_path(seed=norvo.providers.KEY_FILE_SEED.format(user_id=person.id).encode("utf-8"))


KEY_FILE_DAMAGES = {
    "cut short": lambda data, other: data[: len(data) // 2],
    "cut to its first bytes": lambda data, other: data[:5],
    "overwritten": lambda data, other: _random(len(data)),
    "emptied": lambda data, other: b"",
    "another user's": lambda data, other: other,
}


@pytest.mark.parametrize("damage", sorted(KEY_FILE_DAMAGES))
def test_a_damaged_local_key_file_gives_way_to_the_brokers(road, signup, login, damage):
    import base64 as b64

    alice, bob = signup("alice"), signup("bob")
    path = key_file_of(alice)
    good = path.read_bytes()
    assert good == b64.b64decode(road.broker.state.table("keyfiles")[str(alice.id)]["keyFile"])
    path.write_bytes(KEY_FILE_DAMAGES[damage](good, key_file_of(bob).read_bytes()))
    assert login(alice).id == alice.id
    assert path.read_bytes() == good  # the broker's copy took its place
    path.write_bytes(KEY_FILE_DAMAGES[damage](good, key_file_of(bob).read_bytes()))
    assert login(alice, by="passphrase").id == alice.id and path.read_bytes() == good


def test_a_damaged_local_key_file_and_a_wrong_password_is_the_wrong_password(road, signup):
    from norvo import _lifecycle
    from norvo.crypto.aes import DecryptionError

    alice = signup("alice")
    key_file_of(alice).write_bytes(b"")
    with pytest.raises(DecryptionError):
        _lifecycle.login(alice.id, password="Not-Alice-Pa55word")
    assert road.provider.session.user is None


def _plant_link(path, outside, data):
    if data is not None:
        outside.write_bytes(data)
    path.unlink()
    path.symlink_to(outside)


def _plant_folder(path, outside, data):
    path.unlink()
    path.mkdir()
    (path / "inside").write_bytes(b"not a key file")


# What is put in the place of the local key file, given the file outside the store that a link
# is to lead to and what that file holds (another account's key file).
KEY_FILE_PLANTS = {
    "a link out of the store to another key file": lambda path, outside, other: _plant_link(path, outside, other),
    "a link out of the store to nothing": lambda path, outside, other: _plant_link(path, outside, None),
    "a folder": _plant_folder,
}


@pytest.mark.parametrize("plant", sorted(KEY_FILE_PLANTS))
def test_what_is_planted_in_the_local_key_files_place_is_passed_over(road, signup, login, tmp_path, caplog, plant):
    """The store's checked read and write refuse what is planted there, whatever the error, and
    the broker's copy serves: logins, a wrong password, new credentials and the account's end."""
    from norvo import _lifecycle
    from norvo import user as accounts
    from norvo.crypto.aes import DecryptionError

    alice, bob = signup("alice"), signup("bob")
    path, outside = key_file_of(alice), tmp_path / "planted"
    other = key_file_of(bob).read_bytes()
    KEY_FILE_PLANTS[plant](path, outside, other)
    planted = (path.is_symlink(), path.is_dir())
    caplog.set_level(logging.WARNING, logger="norvo.providers")

    assert login(alice).id == alice.id
    _lifecycle.logout()
    assert login(alice, by="passphrase").id == alice.id
    _lifecycle.logout()
    warnings = [r.getMessage() for r in caplog.records if r.name == "norvo.providers"]
    assert sum("cannot be read" in w for w in warnings) == 2
    assert sum("could not be kept locally" in w for w in warnings) == 2
    with pytest.raises(DecryptionError):
        _lifecycle.login(alice.id, password="Not-Alice-Pa55word")

    login(alice)
    assert accounts.change_credentials("Alice-N3w-Pa55word", "alice new rescue Phrase 5") is True
    _lifecycle.logout()
    assert _lifecycle.login(alice.id, password="Alice-N3w-Pa55word").id == alice.id
    accounts.delete()
    assert str(alice.id) not in road.broker.state.table("accounts")
    # Nothing was written through the link, nor the plant removed.
    assert (path.is_symlink(), path.is_dir()) == planted
    assert (outside.read_bytes() == other) if outside.exists() else not plant.endswith("another key file")


def test_a_named_pipe_in_the_local_key_files_place_gives_way_to_the_brokers_copy(road, signup, login, caplog):
    # A plain read would wait for a writer for good; the store reads regular files only.
    alice = signup("alice")
    path = key_file_of(alice)
    good = path.read_bytes()
    path.unlink()
    os.mkfifo(path, 0o600)
    caplog.set_level(logging.WARNING, logger="norvo.providers")
    assert login(alice).id == alice.id
    assert any("cannot be read (OSError)" in r.getMessage() for r in caplog.records)
    assert stat.S_ISREG(path.lstat().st_mode) and path.read_bytes() == good


# ---- cells altered behind the library's back

C1 = uuid.UUID("0a4c2fb6-6c8b-4b4e-9f0e-4f5cf0a0e1d2")


@pytest.fixture
def rows(ofs_db, ofs_user):
    """One container with one access, committed; returns a function reading them back fresh."""
    from norvo.providers.ofs import models

    session = ofs_db.session()
    session.add(models.Container(id=C1, type="a type long enough for three blocks of cell", length=7,
                                 created_by=ofs_user.id, ofs_location="ab" * 32, synced_at=arrow.utcnow(),
                                 portion="all"))
    session.add(models.ContainerAccess(user_id=ofs_user.id, container_id=C1, permissions=139, key_blob=b"\x01\x02",
                                       expires_at=arrow.get("2020-01-01T00:00:00+00:00")))
    session.add(models.Key(user_id=ofs_user.id, key_type="signingKeys", index=0, pub_key=b"pem", active=True))
    session.commit()
    ofs_db.session.remove()

    def read():
        with Session(ofs_db.engine) as fresh:
            row = fresh.get(models.Container, C1)
            access = row.access[ofs_user.id]
            key = fresh.query(models.Key).one()
            return (row.type, row.length, row.created_by, row.ofs_location, row.synced_at, access.permissions,
                    access.expires_at, access.key_blob, key.active, key.index)

    read.before = read()
    return read


def cut_block(cell):
    return base64.b64encode(base64.b64decode(cell)[:-16])


def flip(cell, at):
    raw = bytearray(base64.b64decode(cell))
    raw[at] ^= 0x01
    return base64.b64encode(bytes(raw))


def foreign_cell(local_users, text):
    """A cell that the other user's database key sealed."""
    from norvo import crypto
    from norvo.providers.ofs import models

    engine = models.StrictAesEngine()
    engine._set_padding_mechanism()
    engine._update_key(crypto.KDF2(crypto.to_der_private(local_users[1].keys["signingKeys"][0].private)))
    return engine.encrypt(text).encode()


TAMPERING = [
    # table, column, new cell from the old one
    ("containers", "type", cut_block),  # a whole block gone: the engine alone would read a shorter text
    ("containers", "ofs_location", cut_block),
    ("containers", "type", lambda cell: flip(cell, 0)),
    ("containers", "type", lambda cell: flip(cell, -1)),
    ("containers", "length", lambda cell: flip(cell, 5)),
    ("containers", "type", lambda cell: cell[:-1] + (b"B" if cell[-1:] != b"B" else b"C")),
    ("containers", "synced_at", lambda cell: b""),
    ("containers", "created_by", lambda cell: b"not base64 at all!"),
    ("containers", "type", lambda cell: cell + cell),
    ("container_accesses", "permissions", lambda cell: 255),  # plain values, without the key
    ("container_accesses", "expires_at", lambda cell: "2099-01-01T00:00:00+00:00"),
    ("container_accesses", "key_blob", lambda cell: cell.decode()),
    ("keys", "active", lambda cell: 1),
    ("keys", "index", lambda cell: 0.0),
    ("containers", "type", lambda cell: b"\xff\xfe" + cell),  # bytes that are no text at all
    ("containers", "portion", lambda cell: cell[:8] + "é".encode() + cell[8:]),
]


@pytest.mark.parametrize("table, column, tamper", TAMPERING,
                         ids=["{}.{}-{}".format(t, c, i) for i, (t, c, _) in enumerate(TAMPERING)])
def test_a_tampered_cell_is_a_clear_error_never_a_wrong_value(ofs_db, rows, table, column, tamper):
    from norvo.providers.ofs.models import SealedCellError

    con = sqlite3.connect(str(ofs_db.path))
    try:
        (cell,) = con.execute('select "{}" from {}'.format(column, table)).fetchone()
        con.execute('update {} set "{}" = ?'.format(table, column), (tamper(cell),))
        con.commit()
        with pytest.raises(SealedCellError, match="encrypted cell"):
            rows()
        con.execute('update {} set "{}" = ?'.format(table, column), (cell,))
        con.commit()
    finally:
        con.close()
    assert rows() == rows.before


# A whole cell, sealed under this database's key, put in a column that holds another kind.
MOVED = [
    ("containers", "created_by", "containers", "type"),
    ("containers", "length", "containers", "type"),
    ("containers", "synced_at", "containers", "ofs_location"),
    ("container_accesses", "key_blob", "containers", "type"),
    ("container_accesses", "permissions", "container_accesses", "expires_at"),
    ("keys", "active", "keys", "index"),
    ("keys", "index", "keys", "active"),
]


@pytest.mark.parametrize("table, column, from_table, from_column", MOVED,
                         ids=["{}.{}<-{}".format(t, c, f) for t, c, _, f in MOVED])
def test_a_cell_moved_from_another_column_is_refused(ofs_db, rows, table, column, from_table, from_column):
    from norvo.providers.ofs.models import SealedCellError

    con = sqlite3.connect(str(ofs_db.path))
    try:
        (moved,) = con.execute('select "{}" from {}'.format(from_column, from_table)).fetchone()
        con.execute('update {} set "{}" = ?'.format(table, column), (moved,))
        con.commit()
    finally:
        con.close()
    with pytest.raises(SealedCellError, match="encrypted cell of {}.{} ".format(table, column)):
        rows()


def test_a_cell_sealed_for_another_database_is_refused(ofs_db, rows, local_users):
    from norvo.providers.ofs.models import SealedCellError

    con = sqlite3.connect(str(ofs_db.path))
    try:
        con.execute("update containers set type = ?", (foreign_cell(local_users, "another type"),))
        con.commit()
    finally:
        con.close()
    with pytest.raises(SealedCellError):
        rows()


def test_a_damaged_record_gives_way_to_the_brokers_copy(road, signup, login, caplog):
    from norvo import container

    alice = signup("alice")
    login(alice)
    made = container.create({"title": "t"}, b"content")
    damage_cells(road, "containers", "length")
    caplog.set_level(logging.WARNING)
    # Dropped, with a warning, as the cache's damage: not an error that lasts.
    with pytest.raises(LookupError, match="not in the local store"):
        container.get(made.id, local=True)
    assert [r.getMessage() for r in caplog.records] == [
        "Rows of the local store of {} do not open under its key (1 dropped); the next get of their containers "
        "from the broker keeps them again.".format(alice.id)]
    assert container.get(made.id).content.data == b"content"
    assert container.get(made.id, local=True).content.data == b"content"


def test_every_bit_of_a_cell_is_guarded(ofs_db, rows):
    """Each single bit flipped in the sealed bytes of a short cell is refused, never read as
    another value."""
    from norvo.providers.ofs.models import SealedCellError

    con = sqlite3.connect(str(ofs_db.path))
    try:
        (cell,) = con.execute("select permissions from container_accesses").fetchone()
        sealed = base64.b64decode(cell)
        for bit in range(len(sealed) * 8):
            raw = bytearray(sealed)
            raw[bit // 8] ^= 1 << (bit % 8)
            con.execute("update container_accesses set permissions = ?", (base64.b64encode(bytes(raw)),))
            con.commit()
            with pytest.raises(SealedCellError):
                rows()
        con.execute("update container_accesses set permissions = ?", (cell,))
        con.commit()
    finally:
        con.close()
    assert rows() == rows.before


# ---- what the fuzzers found in the store's columns and paths


def test_paths_whose_names_are_not_utf8_are_used_or_refused_like_others(ofs_client):
    name = b"a/\xb3\xb3".decode("utf-8", "surrogateescape")
    target = ofs_client.write_bytes(b"data", path=name)
    assert os.fsencode(target.relative_to(ofs_client.root)) == b"a/\xb3\xb3" and target.read_bytes() == b"data"
    ofs_client.delete(path=name)
    assert not target.exists()
    for refused in ("/\udcb3", "\udcb3/../../x"):
        with pytest.raises(ValueError, match="OFS paths"):
            ofs_client.write_bytes(b"data", path=refused)


@pytest.mark.parametrize("text", ["2024-05-06T07:08:09+60:00", "2024-05-06T07:08:09-24:00"])
def test_a_date_time_cell_whose_offset_no_date_time_holds_is_refused(text):
    from norvo.providers.ofs import models

    with pytest.raises(ValueError, match="offset"):
        models.DateTime().process_result_value(text, None)
    assert models.DateTime().process_result_value("2024-05-06T07:08:09+23:59", None).utcoffset().total_seconds() \
        == 23 * 3600 + 59 * 60


@pytest.mark.parametrize("text", ["(1, 2)", "000,", "{1, 2}", "b'x'", "{1: 2}", "1j"])
def test_a_document_cell_in_python_text_must_be_a_json_document(text):
    from norvo.providers.ofs import models

    with pytest.raises(ValueError, match="neither JSON text nor a stored document"):
        models.JSON().process_result_value(text, None)
    assert models.JSON().process_result_value("{'a': None, 'b': [1, 'x', True]}", None) == {"a": None,
                                                                                          "b": [1, "x", True]}


def test_damaged_keys_in_the_store_give_way_to_the_brokers(road, signup, login, caplog):
    from norvo import container

    alice, bob = signup("alice"), signup("bob")
    login(alice)
    made = container.create({"title": "t"}, b"content", access=[bob.id])
    login(bob)
    container.get(made.id)  # kept, with Alice's public keys
    damage_cells(road, "keys", "pub_key")
    fetches = len(road.broker.entries("account-keys"))
    caplog.set_level(logging.WARNING, logger="norvo.container")
    assert container.get(made.id, local=True).content.data == b"content"
    assert len(road.broker.entries("account-keys")) == fetches + 1
    assert [r.getMessage() for r in caplog.records if r.name == "norvo.container"] == [
        "The local store's keys of {} do not open (SealedCellError): the broker's are used.".format(alice.id)]
