import errno
import fcntl
import logging
import os
import pathlib
import platform
import stat
import subprocess
import sys

import pytest

from local_fixtures import TextPath, close_database, open_database
from norvo.providers.ofs import burrow
from norvo.providers.ofs.burrow import NorvoOFSClient

ABC_DIGEST = (
    "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"
)
EMPTY_DIGEST = (
    "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b"
)
LOG = "norvo.providers.ofs.ofs"


def pieces(digest, length=8):
    return [digest[i : i + length] for i in range(0, len(digest), length)]


def files_below(root):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*") if p.is_file())


def test_module_and_class():
    assert burrow.__doc__ == "The Obfuscating File System (OFS)."
    assert burrow.log.name == LOG
    assert NorvoOFSClient.__doc__ is None and NorvoOFSClient.__module__ == "norvo.providers.ofs.burrow"
    assert (NorvoOFSClient.MAX_FILE_CREATION_ATTEMPTS, NorvoOFSClient.MAX_FILE_NAME_LENGTH) == (10, 8)
    assert NorvoOFSClient.MAX_LEVELS_DEEP == 12
    client = NorvoOFSClient()
    assert client.ROOT_DIR == "." and not hasattr(client, "root")


def test_abc_golden_path(ofs_client):
    """The SHA-384 example of FIPS 180-2 names the same file as text and as bytes."""
    expected = ofs_client.root.joinpath(*pieces(ABC_DIGEST))
    assert ofs_client.get_file_path(seed="abc") == expected
    assert ofs_client.get_file_path(seed=b"abc") == expected
    assert str(expected).endswith(
        "cb00753f/45a35e8b/b5a03d69/9ac65007/272c32ab/0eded163/1a8b605a/43ff5bed/8086072b/a1e7cc23/58baeca1/34c825a7"
    )
    # Looking a path up creates nothing.
    assert list(ofs_client.root.iterdir()) == []


def test_sub_directory_seed(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    client = NorvoOFSClient()
    client.initialize(sub_dir_seed="abc")
    assert client.root == tmp_path.resolve() / "cb00753f" and client.root.is_dir()
    # Each initialize starts again from ROOT_DIR: another seed gives a sibling.
    client.initialize(sub_dir_seed=b"other")
    assert client.root.parent == tmp_path.resolve() and client.root.name != "cb00753f"
    # An empty seed adds no level, while an empty seed of a file names the digest of nothing.
    client.initialize(sub_dir_seed=b"")
    assert client.root == tmp_path.resolve()
    assert client.get_file_path(seed=b"") == client.root.joinpath(*pieces(EMPTY_DIGEST))


def test_initialize_resolves_root_and_logs(tmp_path, monkeypatch, caplog):
    (tmp_path / "real").mkdir()
    (tmp_path / "link").symlink_to(tmp_path / "real")
    monkeypatch.chdir(tmp_path)
    client = NorvoOFSClient()
    client.ROOT_DIR = "link/deeper"
    with caplog.at_level(logging.INFO, logger=LOG):
        client.initialize()
    assert client.root == (tmp_path / "real" / "deeper").resolve() and client.root.is_absolute()
    assert [r.getMessage() for r in caplog.records if r.name == LOG] == ["OFS created at {}".format(client.root)]
    # The resolved root stays put when the working directory changes.
    monkeypatch.chdir(tmp_path / "real")
    assert client.get_file_path(seed="abc").parts[: len(client.root.parts)] == client.root.parts


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, pieces(ABC_DIGEST)),
        ({"depth": 12}, pieces(ABC_DIGEST)),
        ({"depth": 0}, []),
        ({"depth": -2}, pieces(ABC_DIGEST)[:-2]),
        ({"filename_length": 4}, pieces(ABC_DIGEST[:48], 4)),
        ({"filename_length": 16}, pieces(ABC_DIGEST, 16)),
        ({"filename_length": 5, "depth": 10}, pieces(ABC_DIGEST, 5)[:10]),
    ],
)
def test_hash_location(kwargs, expected):
    location = NorvoOFSClient()._hash_location("abc", **kwargs)
    assert location == pathlib.Path(*expected)
    assert not location.is_absolute()


def test_depth_limit_is_the_class_one(caplog):
    client = NorvoOFSClient()
    client.MAX_LEVELS_DEEP = 20  # an instance value changes nothing
    with caplog.at_level(logging.WARNING, logger=LOG):
        with pytest.raises(ValueError) as raised:
            client._hash_location(object(), depth=13)  # refused before any hashing
    text = "depth cannot exceed the maximum value: 12"
    assert str(raised.value) == text
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(logging.WARNING, text)]


def test_seeds_of_other_types_fail_in_the_hash(ofs_client):
    with pytest.raises(TypeError):
        ofs_client.get_file_path(seed=12)


def test_use_before_initialize():
    client = NorvoOFSClient()
    for call in (
        lambda: client.get_file_path(seed="a"),
        lambda: client.get_file_path(),
        lambda: client.get(seed="a"),
        lambda: client.write_bytes(b"x", seed="a"),
        lambda: client.write_bytes(b"x", path="a"),
        lambda: client.delete(seed="a"),
    ):
        with pytest.raises(AttributeError):
            call()


def test_write_get_delete_round_trip(ofs_client, caplog):
    caplog.set_level(logging.DEBUG, logger=LOG)
    path = ofs_client.write_bytes(b"first", seed="notes")
    assert path == ofs_client.get_file_path(seed="notes") and path.read_bytes() == b"first"
    assert ofs_client.write_bytes(b"second\x00", seed=b"notes") == path
    assert ofs_client.get(seed="notes") == b"second\x00"
    ofs_client.delete(seed="notes")
    assert not path.exists() and path.parent.is_dir()  # directories stay
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("DEBUG", "Wrote data at {}".format(path)),
        ("DEBUG", "Wrote data at {}".format(path)),
        ("DEBUG", "Fetched from {}".format(path)),
        ("INFO", "Removed file from OFS @ {}".format(path)),
    ]
    # Paths reach the logger as arguments, not as preformatted text.
    assert caplog.records[0].args == (path,)


def test_write_at_own_path_and_random_path(ofs_client):
    target = ofs_client.write_bytes(b"by path", seed="ignored", path="mine/file")
    assert target == ofs_client.root / "mine" / "file" and target.read_bytes() == b"by path"
    assert not ofs_client.get_file_path(seed="ignored").exists()
    assert ofs_client.write_bytes(memoryview(b"view"), path=pathlib.Path("mine/other")).read_bytes() == b"view"

    random_path = ofs_client.write_bytes(b"anywhere")
    assert random_path.read_bytes() == b"anywhere"
    relative = random_path.relative_to(ofs_client.root).parts
    assert len(relative) == 12 and all(len(p) == 8 and int(p, 16) >= 0 for p in relative)
    ofs_client.delete(path="mine/file")
    assert not target.exists()

    with pytest.raises(TypeError):
        ofs_client.write_bytes("text is not bytes", seed="t")
    assert not ofs_client.get_file_path(seed="t").parent.exists()


def test_get_missing_and_without_seed(ofs_client, caplog):
    caplog.set_level(logging.DEBUG, logger=LOG)
    with pytest.raises(FileNotFoundError):
        ofs_client.get(seed="never written")
    with pytest.raises(FileNotFoundError):
        ofs_client.get()
    lines = [r.getMessage() for r in caplog.records]
    assert lines[0] == "Fetched from {}".format(ofs_client.get_file_path(seed="never written"))
    assert lines[1].startswith("Fetched from {}/".format(ofs_client.root)) and len(lines) == 2


def test_delete_of_missing_file(ofs_client, caplog):
    caplog.set_level(logging.DEBUG, logger=LOG)
    assert ofs_client.delete(seed="gone") is None
    target = ofs_client.get_file_path(seed="gone")
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("WARNING", "File in OFS @ {} is already gone.".format(target)),
        ("INFO", "Removed file from OFS @ {}".format(target)),
    ]


def test_other_removal_errors_pass(ofs_client):
    ofs_client.write_bytes(b"x", path="dir/inner")
    with pytest.raises(IsADirectoryError):
        ofs_client.delete(path="dir")


def test_random_path_search_gives_up(ofs_client, monkeypatch):
    monkeypatch.setattr(burrow, "random", lambda n: b"\x01" * n)
    taken = ofs_client.get_file_path()
    taken.parent.mkdir(parents=True)
    taken.write_bytes(b"")
    with pytest.raises(OSError) as raised:
        ofs_client.get_file_path()
    assert str(raised.value) == "Cannot find a suitable file."
    monkeypatch.setattr(burrow, "random", os.urandom)
    assert ofs_client.get_file_path() != taken


@pytest.fixture
def outside(tmp_path):
    """A file beside the store's root that the store must never touch."""
    victim = tmp_path / "outside.txt"
    victim.write_bytes(b"keep me")
    return victim


@pytest.mark.parametrize("path", ["../outside.txt", "a/../../outside.txt", "..", "", ".", "a/.."])
def test_paths_that_leave_or_are_the_root_are_refused(ofs_client, outside, path):
    for call in (lambda: ofs_client.write_bytes(b"evil", path=path), lambda: ofs_client.delete(path=path)):
        with pytest.raises(ValueError):
            call()
    assert outside.read_bytes() == b"keep me"
    assert files_below(ofs_client.root) == [] and list(ofs_client.root.iterdir()) == []


def test_absolute_paths_are_refused(ofs_client, outside):
    for path in (str(outside), outside, str(ofs_client.root / "inside")):
        with pytest.raises(ValueError):
            ofs_client.write_bytes(b"evil", path=path)
        with pytest.raises(ValueError):
            ofs_client.delete(path=path)
    assert outside.read_bytes() == b"keep me" and list(ofs_client.root.iterdir()) == []


def test_symbolic_links_out_of_the_root_are_refused(ofs_client, outside):
    # A directory link on a seed's path, and a file link given as a path.
    seeded = ofs_client.get_file_path(seed="abc")
    (ofs_client.root / seeded.relative_to(ofs_client.root).parts[0]).symlink_to(outside.parent)
    (ofs_client.root / "link").symlink_to(outside)
    for call in (
        lambda: ofs_client.write_bytes(b"evil", seed="abc"),
        lambda: ofs_client.get(seed="abc"),
        lambda: ofs_client.delete(seed="abc"),
        lambda: ofs_client.write_bytes(b"evil", path="link"),
        lambda: ofs_client.delete(path="link"),
    ):
        with pytest.raises(ValueError):
            call()
    assert outside.read_bytes() == b"keep me" and (ofs_client.root / "link").is_symlink()
    assert sorted(p.name for p in outside.parent.iterdir()) == ["outside.txt", "store"]


def test_links_that_stay_below_the_root_are_followed_and_odd_files_fail_as_they_do(ofs_client):
    """Seeded paths are checked without walking their folders; what that check cannot pass
    (a link the store did not make, anything but a file) is judged as a caller's path is."""
    root = ofs_client.root
    inner = ofs_client.get_file_path(seed="through a link")
    (root / "elsewhere").mkdir()
    (root / inner.relative_to(root).parts[0]).symlink_to(root / "elsewhere")
    assert ofs_client.write_bytes(b"inside", seed="through a link") == inner
    assert ofs_client.get(seed="through a link") == b"inside"
    assert len(files_below(root / "elsewhere")) == 1
    ofs_client.delete(seed="through a link")
    assert files_below(root / "elsewhere") == []

    linked = ofs_client.get_file_path(seed="a link")
    linked.parent.mkdir(parents=True)
    linked.symlink_to(ofs_client.write_bytes(b"pointed at", seed="a file"))
    assert ofs_client.get(seed="a link") == b"pointed at"

    ofs_client.get_file_path(seed="a folder").mkdir(parents=True)
    for call in (lambda: ofs_client.get(seed="a folder"), lambda: ofs_client.write_bytes(b"x", seed="a folder"),
                 lambda: ofs_client.delete(seed="a folder")):
        with pytest.raises(IsADirectoryError):
            call()


class OwnLocation(NorvoOFSClient):
    def get_file_path(self, seed=None):
        return self.root / "own" / "file"


def location_on_the_instance(client, monkeypatch):
    monkeypatch.setattr(client, "get_file_path", lambda seed=None: client.root / "own" / "file", raising=False)


def no_hashing(client, monkeypatch):
    monkeypatch.setattr(burrow, "SHA384", lambda seed: "0" * 96)


@pytest.mark.parametrize("cls, change, relative", [
    (OwnLocation, None, "own/file"),
    (NorvoOFSClient, location_on_the_instance, "own/file"),
    (NorvoOFSClient, no_hashing, "/".join(["0" * 8] * 12)),
], ids=["subclass", "instance attribute", "module's hash replaced"])
def test_a_seeded_location_is_wherever_the_client_and_module_put_it(tmp_path, monkeypatch, cls, change, relative):
    client = cls()
    client.ROOT_DIR = str(tmp_path / "store")
    client.initialize()
    if change:
        change(client, monkeypatch)
    expected = client.root / relative
    assert client.write_bytes(b"content", seed="s") == expected and expected.read_bytes() == b"content"
    assert client.get(seed="s") == b"content"
    client.delete(seed="s")
    assert not expected.exists()


def test_write_that_fails_half_way_keeps_previous_content(ofs_client, monkeypatch):
    path = ofs_client.write_bytes(b"old content", seed="doc")
    real_write = os.write

    def half_then_full_disk(fd, data):
        if len(data) > 4:
            return real_write(fd, bytes(data)[: len(data) // 2])
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(os, "write", half_then_full_disk)
    with pytest.raises(OSError) as raised:
        ofs_client.write_bytes(b"new content that will not fit", seed="doc")
    assert raised.value.errno == errno.ENOSPC
    monkeypatch.undo()
    assert path.read_bytes() == b"old content"
    assert sorted(p.name for p in path.parent.iterdir()) == [path.name]  # no temporary file left


def test_a_close_that_fails_after_the_rename_lets_the_number_go_once(ofs_client, monkeypatch, outside):
    """close(2) may report EIO yet release the descriptor; another thread can take the number
    at once, and a second close would close that thread's file."""
    target = ofs_client.write_bytes(b"old content", seed="doc")
    real_open, real_close = os.open, os.close
    bystander = real_open(outside, os.O_RDONLY)
    temporary, taken = [], []

    def open_(path, *args, **kwargs):
        fd = real_open(path, *args, **kwargs)
        if str(path).endswith(".tmp"):
            temporary.append(fd)
        return fd

    def close_then_fail(fd):
        real_close(fd)
        if fd in temporary and not taken:
            os.dup2(bystander, fd)  # the number, free again, is someone else's now
            taken.append(fd)
            raise OSError(errno.EIO, "Input/output error")

    monkeypatch.setattr(os, "open", open_)
    monkeypatch.setattr(os, "close", close_then_fail)
    with pytest.raises(OSError) as raised:
        ofs_client.write_bytes(b"new content", seed="doc")
    monkeypatch.undo()
    assert raised.value.errno == errno.EIO and len(taken) == 1
    assert os.pread(taken[0], 16, 0) == b"keep me"  # still open, on the other's file
    os.close(taken[0])
    os.close(bystander)
    assert target.read_bytes() == b"new content"
    assert sorted(p.name for p in target.parent.iterdir()) == [target.name]


def spy_file_system(monkeypatch):
    """Records the store's own file-system calls in order, with the path each worked on (the
    temporary file of a write shown as "tmp"); returns the record."""
    calls, opened = [], {}

    def shown(path):
        path = pathlib.Path(path)
        return "tmp" if path.name.endswith(".tmp") else path

    def spy(name, real):
        def call(*args, **kwargs):
            result = real(*args, **kwargs)
            if name == "open":
                opened[result] = shown(args[0])
            elif name in ("write", "fsync"):
                calls.append((name, opened[args[0]]))
            else:  # mkdir(path, mode) and replace(tmp, target): the folder made, the target replaced
                calls.append((name, shown(args[0] if name == "mkdir" else args[1])))
            return result

        return call

    for name in ("open", "mkdir", "write", "fsync", "replace"):
        monkeypatch.setattr(os, name, spy(name, getattr(os, name)))
    return calls


def test_new_folders_and_the_file_are_synced_before_they_are_relied_on(ofs_client, monkeypatch):
    target = ofs_client.get_file_path(seed="doc")
    folders = [ofs_client.root.joinpath(*target.relative_to(ofs_client.root).parts[:n]) for n in range(1, 12)]
    calls = spy_file_system(monkeypatch)
    ofs_client.write_bytes(b"content", seed="doc")
    # Each new folder's entry in its parent is on disk before the file; the file's bytes
    # before it replaces the target; the rename once the target's folder is synced.
    assert calls == [c for f in folders for c in (("mkdir", f), ("fsync", f.parent))] + [
        ("write", "tmp"), ("fsync", "tmp"), ("replace", target), ("fsync", target.parent)]
    del calls[:]
    ofs_client.write_bytes(b"again", seed="doc")
    assert calls == [("write", "tmp"), ("fsync", "tmp"), ("replace", target), ("fsync", target.parent)]
    monkeypatch.undo()
    assert target.read_bytes() == b"again"


def mode(path):
    return stat.S_IMODE(path.stat().st_mode)


@pytest.fixture(params=[0o022, 0o000, 0o277], ids=lambda m: "umask {:03o}".format(m))
def umask(request, tmp_path):
    """A process umask for one test, set once the test's folder exists."""
    old = os.umask(request.param)
    yield request.param
    os.umask(old)


def test_what_the_store_makes_is_its_owners_alone_whatever_the_umask(tmp_path, umask):
    existing = tmp_path / "existing"
    existing.mkdir()
    existing.chmod(0o755)
    client = NorvoOFSClient()
    client.ROOT_DIR = str(existing / "new" / "store")
    client.initialize()
    assert [mode(existing / "new"), mode(client.root), mode(existing)] == [0o700, 0o700, 0o755]

    seeded = client.write_bytes(b"x", seed="a")
    (client.root / "shared").mkdir()
    (client.root / "shared").chmod(0o750)
    own = [client.write_bytes(b"y", path="mine/deeper/file"), client.write_bytes(b"z", path="shared/file")]
    made = [p for p in client.root.rglob("*") if p.is_dir() and p.name != "shared"]
    assert len(made) == 11 + 2 and {mode(p) for p in made} == {0o700}
    assert mode(client.root / "shared") == 0o750  # a folder that was there keeps its mode
    assert [mode(p) for p in [seeded] + own] == [0o600] * 3

    # A file that had other bits (an older copy, or one changed by hand) is private once rewritten.
    seeded.chmod(0o644)
    client.write_bytes(b"x2", seed="a")
    assert mode(seeded) == 0o600 and seeded.read_bytes() == b"x2"


def test_an_existing_root_keeps_its_mode_and_a_file_there_is_refused(tmp_path, umask):
    root = tmp_path / "root"
    root.mkdir()
    root.chmod(0o755)
    client = NorvoOFSClient()
    client.ROOT_DIR = root
    client.initialize()
    assert mode(root) == 0o755 and client.root == root.resolve()
    (tmp_path / "a file").write_bytes(b"")
    client.ROOT_DIR = str(tmp_path / "a file")
    with pytest.raises(FileExistsError):
        client.initialize()


# ---- a root that another user could move aside

OTHER_UID = 12345  # no account of the machine
as_root = pytest.mark.skipif(os.geteuid() != 0, reason="giving a folder to another user takes root")


def as_owned(path, owner, folder_mode):
    path.mkdir(exist_ok=True)
    if owner is not None:
        os.chown(path, owner, -1)
    path.chmod(folder_mode)


# Where the folder with the owner and mode under test lies: the root itself, a folder above a root
# still to be made, or the sub-directory level of the root.
PLACES = {
    "the root": lambda tmp_path: (tmp_path / "store", tmp_path / "store", None),
    "a folder above": lambda tmp_path: (tmp_path / "above", tmp_path / "above" / "store", None),
    "the sub-directory": lambda tmp_path: (tmp_path / "store" / "cb00753f", tmp_path / "store", "abc"),
}


@pytest.mark.parametrize("place", sorted(PLACES))
@pytest.mark.parametrize("owner, folder_mode, refusal", [
    pytest.param(OTHER_UID, 0o777, "is owned by uid 12345", marks=as_root),
    pytest.param(OTHER_UID, 0o770, "is owned by uid 12345", marks=as_root),
    pytest.param(OTHER_UID, 0o1777, "is owned by uid 12345", marks=as_root),
    pytest.param(OTHER_UID, 0o700, "is owned by uid 12345", marks=as_root),
    (None, 0o777, "(mode 0777) and it has no sticky bit"),
    (None, 0o770, "(mode 0770) and it has no sticky bit"),
    (None, 0o1777, None),
    (None, 0o755, None),
])
def test_a_root_that_another_user_could_move_aside_is_refused_before_anything_is_made(
        tmp_path, place, owner, folder_mode, refusal):
    """Refused even for the administrator: a folder of another ordinary user is that user's to
    move; a sticky folder (as /tmp) lets nobody rename what is not theirs."""
    folder, root_dir, seed = PLACES[place](tmp_path)
    if seed is not None:
        root_dir.mkdir()
    as_owned(folder, owner, folder_mode)
    client = NorvoOFSClient()
    client.ROOT_DIR = str(root_dir)
    if refusal is None:
        client.initialize(sub_dir_seed=seed)
        assert client.root == (root_dir / ("cb00753f" if seed else "")).resolve() and client.root.is_dir()
        return
    with pytest.raises(PermissionError) as raised:
        client.initialize(sub_dir_seed=seed)
    text = str(raised.value)
    assert refusal in text and repr(str(folder)) in text and "could move the store aside" in text
    assert text.startswith("OFS root {!r} refused: ".format(str(folder if place != "a folder above" else root_dir)))
    assert not hasattr(client, "root") and list(folder.iterdir()) == []


def test_the_database_folders_are_made_as_the_store_makes_its_own(ofs_client, ofs_user):
    from norvo.providers.ofs import database

    path = database.get_file_path(ofs_user.id)
    old = os.umask(0o022)
    try:
        close_database(open_database(ofs_user.id))
    finally:
        os.umask(old)
    folders = [ofs_client.root.joinpath(*path.relative_to(ofs_client.root).parts[:n]) for n in range(1, 12)]
    assert [mode(f) for f in folders] == [0o700] * 11 and path.is_file()
    # The store makes folders only for its own paths.
    with pytest.raises(ValueError, match="outside its root"):
        ofs_client.make_parents(ofs_client.root.parent / "elsewhere" / "file")
    assert not (ofs_client.root.parent / "elsewhere").exists()


@pytest.mark.parametrize("root_dir, error", [
    ("", ValueError), (TextPath(""), ValueError), (123, TypeError), (None, TypeError), (b"store", TypeError),
    (TextPath(b"store"), TypeError), (["store"], TypeError),
])
def test_a_root_that_names_no_folder_is_refused_before_anything_changes(tmp_path, monkeypatch, root_dir, error):
    monkeypatch.chdir(tmp_path)
    client = NorvoOFSClient()
    client.ROOT_DIR = "first"
    client.initialize()
    first = client.root
    client.ROOT_DIR = root_dir
    with pytest.raises(error, match="ROOT_DIR must"):
        client.initialize(sub_dir_seed="abc")
    assert client.root == first and [p.name for p in tmp_path.iterdir()] == ["first"]


def test_a_root_given_as_any_path_object(tmp_path):
    client = NorvoOFSClient()
    client.ROOT_DIR = TextPath(str(tmp_path / "own"))
    client.initialize()
    assert client.root == (tmp_path / "own").resolve() and client.root.is_dir()


@pytest.mark.parametrize("name, refused", [
    (".file.0123456789abcdef.tmp", True),
    (".a.0123456789abcdef.tmp", True),
    ("..0123456789abcdef.tmp", False),  # no target has an empty name
    (".file.0123456789ABCDEF.tmp", False),  # the store draws lowercase digits only
    (".file.0123456789abcde.tmp", False),
    ("file.0123456789abcdef.tmp", False),
    (".0123456789abcdef.tmp", False),
    (".file.0123456789abcdef.tmp.x", False),
])
def test_names_of_the_temporary_form_are_not_stored(ofs_client, name, refused):
    """So that removing dead temporary files never removes a stored one."""
    if refused:
        with pytest.raises(ValueError, match="temporary files"):
            ofs_client.write_bytes(b"data", path="dir/" + name)
        assert not (ofs_client.root / "dir").exists()
    else:
        ofs_client.write_bytes(b"data", path="dir/" + name)
        ofs_client.initialize()
        assert ofs_client.write_bytes(b"other", path="dir/other").parent.joinpath(name).read_bytes() == b"data"


def dead_temporary(target, digits="0123456789abcdef", data=b"half a write"):
    path = target.parent / ".{}.{}.tmp".format(target.name, digits)
    path.write_bytes(data)
    return path


@pytest.fixture
def live_temporary():
    """`live_temporary(target)`: a temporary file beside `target` held locked, as a write in
    progress holds it (the lock is per open file, so this process's own counts as another's)."""
    held = []

    def make(target):
        path = dead_temporary(target, digits="fedcba9876543210", data=b"being written")
        fd = os.open(path, os.O_RDWR)
        fcntl.flock(fd, fcntl.LOCK_EX)
        held.append(fd)
        return path

    yield make
    for fd in held:
        os.close(fd)


def test_dead_temporary_files_go_at_the_next_write_and_initialize(ofs_client, live_temporary, outside, caplog):
    caplog.set_level(logging.INFO, logger=LOG)
    target = ofs_client.write_bytes(b"stored", seed="doc")
    far = dead_temporary(ofs_client.write_bytes(b"stored too", seed="other"))
    own = ofs_client.write_bytes(b"by path", path="mine/file")
    dead, live, own_dead = dead_temporary(target), live_temporary(target), dead_temporary(own)
    # Look-alikes that are no temporary file of the store's: a folder, a link, a stored file.
    (target.parent / ".folder.0123456789abcdef.tmp").mkdir()
    (target.parent / ".link.0123456789abcdef.tmp").symlink_to(outside)
    (own.parent / ".file.tmp").write_bytes(b"")
    before = sorted(p.name for p in target.parent.iterdir())

    def removed():
        lines = sorted(r.getMessage() for r in caplog.records if r.getMessage().startswith("Removed"))
        caplog.clear()
        return lines

    def removal(*paths):
        return sorted("Removed the temporary file of an unfinished write: {}".format(p) for p in paths)

    ofs_client.write_bytes(b"new", seed="doc")
    assert sorted(p.name for p in target.parent.iterdir()) == sorted(set(before) - {dead.name})
    assert far.exists() and live.read_bytes() == b"being written" and target.read_bytes() == b"new"
    assert removed() == removal(dead)

    # The next start-up sweeps the hashed tree; a caller's own folders wait for their next write.
    dead = dead_temporary(target)
    other = NorvoOFSClient()
    other.ROOT_DIR = str(ofs_client.root)
    other.initialize()
    assert not far.exists() and not dead.exists() and live.exists() and own_dead.exists()
    assert removed() == removal(dead, far)
    ofs_client.write_bytes(b"by path again", path="mine/file")
    assert not own_dead.exists() and removed() == removal(own_dead)
    assert (target.parent / ".folder.0123456789abcdef.tmp").is_dir() and outside.read_bytes() == b"keep me"
    assert (own.parent / ".file.tmp").exists()


# A child whose every flock(2) the kernel refuses with the given errno, as a file system that keeps
# no such locks does (NFS without its lock daemon: ENOLCK), through a seccomp filter; it writes one
# file twice. Exit status 77: this kernel takes no filter.
WITHOUT_LOCKS = """
import ctypes, sys
from norvo.providers.ofs.burrow import NorvoOFSClient

root, arch, flock, error = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])

class Step(ctypes.Structure):
    _fields_ = [("code", ctypes.c_ushort), ("jt", ctypes.c_ubyte), ("jf", ctypes.c_ubyte), ("k", ctypes.c_uint)]

class Program(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.POINTER(Step))]

LOAD, EQUAL, RETURN, ALLOW, FAIL = 0x20, 0x15, 0x06, 0x7FFF0000, 0x00050000
steps = (Step * 6)(Step(LOAD, 0, 0, 4), Step(EQUAL, 0, 3, arch), Step(LOAD, 0, 0, 0), Step(EQUAL, 0, 1, flock),
                   Step(RETURN, 0, 0, FAIL | error), Step(RETURN, 0, 0, ALLOW))
libc = ctypes.CDLL(None, use_errno=True)
if libc.prctl(38, 1, 0, 0, 0) or libc.prctl(22, 2, ctypes.byref(Program(len(steps), steps)), 0, 0):
    sys.exit(77)
client = NorvoOFSClient()
client.ROOT_DIR = root
client.initialize()
for content in (b"first", b"second"):
    path = client.write_bytes(content, seed="doc")
print(path)
"""
# (audit architecture, number of flock) of the machines the filter knows.
FLOCK_CALL = {"x86_64": (0xC000003E, 73), "aarch64": (0xC00000B7, 32)}


@pytest.mark.parametrize("error", [errno.ENOLCK, errno.EOPNOTSUPP], ids=errno.errorcode.get)
def test_a_write_where_files_cannot_be_locked_goes_on_unlocked_and_leaves_no_temporary_file(tmp_path, error):
    if platform.machine() not in FLOCK_CALL:
        pytest.skip("no seccomp filter for flock on {}".format(platform.machine()))
    root = tmp_path.resolve() / "store"
    arguments = [str(root), *map(str, FLOCK_CALL[platform.machine()]), str(error)]
    result = subprocess.run([sys.executable, "-c", WITHOUT_LOCKS, *arguments], capture_output=True, text=True,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), timeout=60)
    if result.returncode == 77:
        pytest.skip("this kernel takes no seccomp filter")
    assert result.returncode == 0, result.stderr
    target = pathlib.Path(result.stdout.strip())
    assert target.read_bytes() == b"second"
    assert files_below(root) == [str(target.relative_to(root))]  # no temporary file left
