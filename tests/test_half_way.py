"""Account and container operations that fail half-way, over the loopback broker and the local
store. The broker holds the record and the local store a copy of it, so every failure leaves a
state the library names and the user can get out of: a local failure after the broker's commit
is a warning, a lost reply names the container, and a half-made account is named too."""
import errno
import importlib
import logging
import os
import pickle
import uuid

import pytest
import requests

import broker as loopback
from broker_fixtures import free_port
from norvo import _lifecycle, container
from norvo import user as accounts
from norvo.access import Access
from norvo.container import CommitUnconfirmed
from norvo.crypto.aes import DecryptionError
from norvo.permissions import Permissions
from road_fixtures import broker_key_file, damage_cells, key_file_path

pytestmark = pytest.mark.filterwarnings("ignore::sqlalchemy.exc.SAWarning",
                                        "ignore:The 'EncryptedType' class will change:DeprecationWarning")

CID = uuid.UUID("5a8e2c14-7b3d-4f60-9e1a-c2d4f6a8b0e3")
HEADER = {"title": "minutes of the harbour board"}


class Refusal(object):
    """A folder of the store replaced by a regular file, so that nothing below it can be
    written or removed (as root, taking away write permission would not stop a write)."""

    def __init__(self, folder):
        self.folder = folder
        self.aside = folder.with_name(folder.name + ".aside")
        folder.rename(self.aside)
        folder.write_bytes(b"a file where the store expects a folder")

    def restore(self):
        if self.aside.exists():
            self.folder.unlink()
            self.aside.rename(self.folder)


@pytest.fixture
def refuse():
    """`refuse(folder)` makes the store refuse writes below `folder`; undone after the test."""
    made = []

    def block(folder):
        made.append(Refusal(folder))
        return made[-1]

    yield block
    for refusal in reversed(made):
        refusal.restore()


class FullDisk(object):
    """While `full`, every write into a file below `root` fails as on a disk with no room left;
    files already there can still be read and removed."""

    def __init__(self, root, real_write):
        self.root, self.real_write, self.full = str(root.resolve()), real_write, False

    def fill(self, ctx=None):  # also a broker fault: the route then runs as usual
        self.full = True

    def write(self, fd, data):
        if self.full and os.readlink("/proc/self/fd/{}".format(fd)).startswith(self.root + os.sep):
            raise OSError(errno.ENOSPC, "No space left on device")
        return self.real_write(fd, data)


@pytest.fixture
def full_disk(road, monkeypatch):
    """The store's disk, which `full_disk.fill()` fills up until the test ends. The store writes
    its files through `os.write`."""
    disk = FullDisk(road.root, os.write)
    monkeypatch.setattr(os, "write", disk.write)
    yield disk
    disk.full = False  # before the road's logout


def store_files(root):
    return {p for p in root.rglob("*") if p.is_file()}


def warnings_of(caplog, logger="norvo.container"):
    return [r.getMessage() for r in caplog.records if r.name == logger and r.levelno == logging.WARNING]


def committed(road, cid=CID):
    record = road.broker.state.table("containers").get(str(cid))
    return record is not None and record["object"] is not None


# ---- deleting an account


def local_parts(person, new_files):
    """The person's files in the store by what they are: key file, database, container file."""
    from norvo.providers.ofs import database

    key_file = key_file_path(person)
    db = database.get_file_path(person.id)
    (container_file,) = new_files - {key_file, db}
    return {"key file": key_file, "database": db, "container file": container_file}


@pytest.mark.parametrize("refused", ["container file", "database", "key file"])
def test_deleting_an_account_while_the_store_refuses_a_removal(road, signup, login, refuse, refused):
    bob = signup("bob")
    bobs = store_files(road.root)
    alice = signup("alice")
    login(alice)
    container.create(HEADER, b"content", access=[bob.id])
    parts = local_parts(alice, store_files(road.root) - bobs)
    blocked = refuse(parts[refused].parent)
    with pytest.raises(OSError):
        accounts.delete()
    # The local copies go first: the broker was not asked, and Alice is still logged in.
    assert str(alice.id) in road.broker.state.table("accounts") and road.broker.entries("account-delete") == []
    assert road.provider.session.user.id == alice.id
    blocked.restore()
    # Deleting again finishes the job, passing over what the first attempt removed.
    accounts.delete()
    assert store_files(road.root) == bobs
    assert str(alice.id) not in road.broker.state.table("accounts")
    assert road.provider.session.user is None
    login(bob)
    assert container.local_ids() == []


@pytest.mark.parametrize("fault", ["broker stopped", 503])
def test_deleting_an_account_while_the_broker_fails(road, signup, login, fault):
    bob = signup("bob")
    bobs = store_files(road.root)
    alice = signup("alice")
    login(alice)
    container.create(HEADER, b"content", access=[bob.id])
    if fault == "broker stopped":
        road.broker.stop()
    else:
        road.broker.script("account-delete", fault)
    with pytest.raises(requests.RequestException):
        accounts.delete()
    # The cache is gone, the record is not: Alice is still logged in and deletes again.
    assert store_files(road.root) == bobs and road.provider.session.user.id == alice.id
    if fault == "broker stopped":
        road.broker.start()
    assert str(alice.id) in road.broker.state.table("accounts")
    accounts.delete()
    assert str(alice.id) not in road.broker.state.table("accounts") and road.provider.session.user is None


@pytest.mark.parametrize("whom, error, message", [
    ("bob", PermissionError, "only the account's owner may do this"),
    (None, TypeError, "^user must be a user with an id, not NoneType$"),
    ("nobody logged in", RuntimeError, "^Must login!$"),
])
def test_deleting_an_account_other_than_ones_own_touches_nothing(road, signup, login, whom, error, message):
    bob = signup("bob")
    alice = signup("alice")
    login(alice)
    made = container.create(HEADER, b"content", access=[bob.id])
    if whom == "nobody logged in":
        _lifecycle.logout()
    before = store_files(road.root)
    with pytest.raises(error, match=message):
        road.provider.user.delete(bob.user if whom else None)
    # Neither Bob's copies nor those of whoever is logged in are touched; the broker keeps both.
    assert store_files(road.root) == before
    assert {str(alice.id), str(bob.id)} <= set(road.broker.state.table("keyfiles"))
    assert len(road.broker.entries("account-delete")) == (1 if whom == "bob" else 0)
    if whom == "nobody logged in":
        login(alice)
    assert container.local_ids() == [made.id] and container.get(made.id, local=True).content.data == b"content"


# ---- creating an account


def test_a_failed_login_of_a_new_account_names_it_and_touches_no_one_else(road, signup, login, caplog):
    alice = signup("alice")
    login(alice)
    road.broker.script("login", 403)
    with pytest.raises(RuntimeError) as raised:
        accounts.create("Bob-Pa55word!", "the red notebook", "bob rescue Phrase 2")
    new_id = raised.value.user_id
    assert str(raised.value) == ("Account {} is left registered without a key file: it is not the logged-in user, "
                                 "so it could not be removed.".format(new_id))
    assert isinstance(raised.value.__cause__, requests.HTTPError)
    b = road.broker
    assert str(new_id) in b.state.table("accounts") and str(new_id) not in b.state.table("keyfiles")
    # No removal was tried, by nobody: Alice's account and key file stand, and she logs in again.
    assert b.entries("account-delete") == [] and str(alice.id) in b.state.table("keyfiles")
    assert [r.getMessage() for r in caplog.records if r.name == "norvo.user" and r.levelname == "ERROR"] == [
        "Failed to create user."]
    assert login(alice).id == alice.id


# ---- creating, sharing and deleting a container, the broker failing at each step


def lost(route, keep=0):
    """The route runs, then the connection closes before its reply is written."""
    return route, loopback.Cut(keep)


def dropped(route):
    """The connection closes without the route running."""
    return route, loopback.Raw(b"")


CREATE_FAULTS = {
    # faults: the error raised, whether the withdrawal confirmed the container gone, whether it exists
    "registration dropped": ([dropped("containers-create")], requests.ConnectionError, None, False),
    "upload dropped": ([dropped("object-put")], requests.ConnectionError, None, False),
    "commit dropped": ([dropped("container-update")], CommitUnconfirmed, True, False),
    "commit reply lost": ([lost("container-update")], CommitUnconfirmed, True, False),
    "commit reply lost, withdrawal dropped": ([lost("container-update"), dropped("container-delete")],
                                              CommitUnconfirmed, False, True),
    "commit reply cut short": ([lost("container-update", -3)], CommitUnconfirmed, True, False),
    "commit reply unreadable": ([("container-update", loopback.NOT_JSON)], CommitUnconfirmed, True, False),
}


@pytest.mark.parametrize("case", sorted(CREATE_FAULTS))
def test_creating_a_container_while_the_broker_fails(road, signup, login, caplog, case):
    faults, error, withdrawn, exists = CREATE_FAULTS[case]
    alice, bob = signup("alice"), signup("bob")
    login(alice)
    caplog.set_level(logging.INFO, logger="norvo.container")
    for route, fault in faults:
        road.broker.script(route, fault)
    with pytest.raises(error) as raised:
        container.create(HEADER, b"content", access=[bob.id], container_id=CID)
    assert committed(road) is exists and container.local_ids() == []
    lines = [r.getMessage() for r in caplog.records if r.name == "norvo.container"]
    if withdrawn is not None:
        # The undo's attempt and outcome are in the log, and the error tells what is known.
        assert lines[0] == "Withdrawing container {}, whose upload did not finish.".format(CID)
        assert lines[1] == ("Withdrew container {} from the broker.".format(CID) if withdrawn else
                            "Could not withdraw container {} from the broker: ConnectionError".format(CID))
    if error is CommitUnconfirmed:
        assert raised.value.container_id == CID and str(CID) in str(raised.value)
        assert raised.value.withdrawn is withdrawn
        assert ("does not exist" in str(raised.value)) is withdrawn
        # As a worker process would send it back.
        again = pickle.loads(pickle.dumps(raised.value))
        assert (type(again), str(again), again.container_id, again.withdrawn) == (
            CommitUnconfirmed, str(raised.value), CID, withdrawn)
    login(bob)
    if exists:
        # What the error named is there for the recipient to open.
        assert container.get(raised.value.container_id).content.data == b"content"
    else:
        with pytest.raises(LookupError, match="no such container"):
            container.get(CID)


@pytest.mark.parametrize("fault, took_effect", [(lost("container-update"), True),
                                                (dropped("container-update"), False)])
@pytest.mark.parametrize("change", ["share", "content"])
def test_a_lost_reply_to_a_change_names_the_container(road, signup, login, fault, took_effect, change):
    alice, bob = signup("alice"), signup("bob")
    login(alice)
    made = container.create(HEADER, b"content", container_id=CID)
    route, fault = fault
    # New content is first announced, then uploaded and committed: the fault hits the commit.
    road.broker.script(route, *([fault] if change == "share" else [None, fault]))
    with pytest.raises(CommitUnconfirmed) as raised:
        if change == "share":
            container.update(made, access=[bob.id])
        else:
            container.update(made, content=b"changed")
    assert raised.value.container_id == CID and not raised.value.withdrawn
    assert "get the container by its id to find out" in str(raised.value)
    got = container.get(CID)
    assert (bob.id in got.access) is (took_effect and change == "share")
    assert got.content.data == (b"changed" if took_effect and change == "content" else b"content")


def refuse_connections(road):
    """From now on the REST client reaches no broker: its port refuses connections."""
    server = importlib.import_module("norvo.providers.server")
    url, server.client.URL = server.client.URL, "http://127.0.0.1:{}/".format(free_port())
    return lambda: setattr(server.client, "URL", url)


def lapse_login_and_drop_the_next_challenge(road):
    """The session's login lapses, and the challenge of the new login it then needs is dropped."""
    server = importlib.import_module("norvo.providers.server")
    server.session.expires_at = server.session.expires_at.shift(days=-2)
    road.broker.script("time", loopback.Raw(b""))
    return lambda: None


@pytest.mark.parametrize("fault", [refuse_connections, lapse_login_and_drop_the_next_challenge])
@pytest.mark.parametrize("operation", ["create", "share"])
def test_a_commit_or_change_that_never_went_out_raises_its_own_error(road, signup, login, caplog, operation, fault):
    alice, bob = signup("alice"), signup("bob")
    login(alice)
    caplog.set_level(logging.INFO, logger="norvo.container")
    made = container.create(HEADER, b"content") if operation == "share" else None
    changes, undo = len(road.broker.entries("container-update")), []
    try:
        with pytest.raises(requests.ConnectionError) as raised:
            if operation == "create":  # the fault comes once the container's bytes are uploaded
                road.broker.script("object-put", lambda ctx: undo.append(fault(road)))
                container.create(HEADER, b"content", access=[bob.id], container_id=CID)
            else:
                undo.append(fault(road))
                container.update(made, access=[bob.id])
    finally:
        undo.pop()()
    assert not isinstance(raised.value, CommitUnconfirmed)
    assert len(road.broker.entries("container-update")) == changes
    if operation == "create":
        # The unfinished container is withdrawn where the broker can be reached again.
        lines = [r.getMessage() for r in caplog.records if r.name == "norvo.container"]
        assert lines[-1] == ("Withdrew container {} from the broker.".format(CID)
                             if fault is lapse_login_and_drop_the_next_challenge else
                             "Could not withdraw container {} from the broker: ConnectionError".format(CID))


# ---- the local store refusing writes once the broker has committed


def test_a_store_refusing_writes_after_the_commit_fails_no_operation(road, signup, login, refuse, caplog):
    alice, bob = signup("alice"), signup("bob")
    login(alice)
    blocked = []

    def refuse_from_now_on(ctx):
        blocked.append(refuse(road.root))

    # create: the store refuses from the commit on; the container exists and is shared.
    road.broker.script("container-update", refuse_from_now_on)
    made = container.create(HEADER, b"content", access=[bob.id])
    assert made.encrypted and committed(road, made.id)
    (warning,) = warnings_of(caplog)
    assert warning.startswith("Container {} could not be kept in the local store (NotADirectoryError: ".format(
        made.id)) and warning.endswith("); the next fetch from the broker keeps it.")
    blocked.pop().restore()
    assert container.local_ids() == []

    # update: committed on the broker, the local copy made again by the next fetch.
    opened = container.get(made.id)
    assert container.local_ids() == [made.id]
    caplog.clear()
    road.broker.script("container-update", refuse_from_now_on)
    assert container.update(opened, content=b"changed").id == made.id
    # Neither kept nor, with the store refusing, dropped: both said, with the container's id.
    assert [w.split(" (")[0] for w in warnings_of(caplog)] == [
        "Container {} could not be kept in the local store".format(made.id),
        "An out-of-date local copy of container {} may be left".format(made.id)]
    blocked.pop().restore()
    assert container.get(made.id).content.data == b"changed"
    assert container.get(made.id, local=True).content.data == b"changed"

    # get: Bob reads it although his copy cannot be kept. Alice's keys are at hand already, so
    # opening it needs no write of its own.
    login(bob)
    road.provider.keys.add(road.provider.keys.get(alice.id))
    caplog.clear()
    road.broker.script("object-get", refuse_from_now_on)
    assert container.get(made.id).content.data == b"changed"
    assert len(warnings_of(caplog)) == 1 and str(made.id) in warnings_of(caplog)[0]
    blocked.pop().restore()
    assert container.local_ids() == []
    container.get(made.id)
    assert container.local_ids() == [made.id]

    # delete, by its creator: gone from the broker, the local failure only a warning.
    login(alice)
    caplog.clear()
    road.broker.script("container-delete", refuse_from_now_on)
    assert container.delete(made.id) is None
    assert not committed(road, made.id)
    assert warnings_of(caplog)[0].startswith("Container {} is deleted, but its local copy".format(made.id))


def damage_record(road):
    damage_cells(road, "containers", "length")


@pytest.mark.parametrize("record", ["missing", "damaged"])
def test_new_content_for_a_container_without_a_sound_local_record_is_left_to_the_next_get(
        road, signup, login, refuse, record):
    alice, bob = signup("alice"), signup("bob")
    login(alice)
    start = store_files(road.root)
    if record == "missing":
        # The keep after the commit failed: the container is on the broker only.
        refusals = []
        road.broker.script("container-update", lambda ctx: refusals.append(refuse(road.root)))
        made = container.create(HEADER, b"content", access=[bob.id])
        refusals.pop().restore()
    else:
        made = container.create(HEADER, b"content", access=[bob.id])
        damage_record(road)
    container.update(made, content=b"changed")
    # No record holding only the envelopes that the update knew, and no file left for one,
    # nor for the damaged record it replaced.
    assert store_files(road.root) == start
    with pytest.raises(LookupError, match="not in the local store"):
        container.get(made.id, local=True)
    assert container.get(made.id).content.data == b"changed"
    kept = container.get(made.id, local=True)
    assert kept.content.data == b"changed" and sorted(kept.access) == sorted([alice.id, bob.id])
    assert all(access._key_blob is not None for access in kept.access.values())
    assert len(store_files(road.root) - start) == 1


def test_a_fetch_that_replaces_a_damaged_record_removes_the_file_it_named(road, signup, login):
    login(signup("alice"))
    start = store_files(road.root)
    made = container.create(HEADER, b"content")
    (first,) = store_files(road.root) - start
    damage_record(road)
    assert container.get(made.id).content.data == b"content"
    (kept,) = store_files(road.root) - start
    assert kept != first and container.get(made.id, local=True).content.data == b"content"


# ---- the key file, which the broker stored but the local store cannot write


def test_changed_credentials_the_store_cannot_write_leave_no_copy_of_the_old(road, signup, login, full_disk, caplog):
    alice = signup("alice")
    login(alice)
    assert key_file_path(alice).is_file()
    road.broker.script("keyfile-put", full_disk.fill)
    assert accounts.change_credentials("Alice-N3w-Pa55word", "alice new rescue Phrase 5") is True
    assert warnings_of(caplog, "norvo.providers") == [
        "The broker's key file of {} could not be kept locally: OSError".format(alice.id)]
    # The copy that opens with the old credentials is gone; the broker's opens with the new.
    assert not key_file_path(alice).exists()
    _lifecycle.logout()
    with pytest.raises(DecryptionError):
        login(alice)
    with pytest.raises(DecryptionError):
        login(alice, "passphrase")
    assert _lifecycle.login(alice.id, password="Alice-N3w-Pa55word").id == alice.id


def test_a_new_account_whose_key_file_the_store_cannot_write_is_made(road, signup, login, full_disk, caplog):
    road.broker.script("keyfile-put", full_disk.fill)
    alice = signup("alice")
    assert warnings_of(caplog, "norvo.providers") == [
        "The broker's key file of {} could not be kept locally: OSError".format(alice.id)]
    assert road.broker.entries("account-delete") == [] and not key_file_path(alice).exists()
    full_disk.full = False
    # The next login opens the broker's copy, and keeps it.
    assert login(alice).id == alice.id
    assert key_file_path(alice).read_bytes() == broker_key_file(road, alice)


# ---- ids given to the container operations


ID_REFUSALS = [
    (None, ValueError, "container_id must be a UUID or its text, not None"),
    ("not-a-uuid", ValueError, "container_id must be a UUID or its text, not 'not-a-uuid'"),
    (42, TypeError, "container_id must be a UUID or its text, not int"),
    (CID.bytes, TypeError, "container_id must be a UUID or its text, not bytes"),
]


ID_OPERATIONS = {
    "get": container.get,
    "delete": container.delete,
    "create": lambda value: container.create(HEADER, b"c", container_id=value),  # None: a fresh id
}


@pytest.mark.parametrize("operation, value, error, message", [
    (name, *refusal) for name in ID_OPERATIONS for refusal in ID_REFUSALS
    if not (name == "create" and refusal[0] is None)])
def test_a_container_id_is_refused_by_name(road, signup, login, operation, value, error, message):
    login(signup("alice"))
    with pytest.raises(error) as raised:
        ID_OPERATIONS[operation](value)
    assert str(raised.value) == message
    assert road.broker.entries("containers-create") == road.broker.entries("container-get") == []


def test_recipient_ids_are_refused_by_name(road, signup, login):
    alice = signup("alice")
    login(alice)
    with pytest.raises(TypeError, match="^a recipient in access must be a UUID or its text, not int$"):
        container.create(HEADER, b"c", access=[7])
    with pytest.raises(ValueError, match="^the user_id of an Access in access must be a UUID or its text, not 'x'$"):
        container.create(HEADER, b"c", access=[Access("x", permissions=Permissions())])
    made = container.create(HEADER, b"c")
    with pytest.raises(ValueError, match="^a user id in revoke must be a UUID or its text, not None$"):
        container.update(made, revoke=[None])


def test_a_public_ring_the_store_cannot_keep_is_still_fetched(road, signup, login, refuse, caplog):
    alice, bob = signup("alice"), signup("bob")
    login(bob)
    refusal = refuse(road.root)
    ring = road.provider.keys.get(alice.id)
    refusal.restore()
    assert ring.user_id == alice.id
    (warning,) = warnings_of(caplog, logger="norvo.providers")
    assert warning.startswith("The public keys of {} could not be kept in the local store: ".format(alice.id))
