import errno
import logging
import os
import pathlib

import pytest

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


def test_write_is_synced_before_it_replaces(ofs_client, monkeypatch):
    path = ofs_client.get_file_path(seed="doc")
    calls = []
    for name in ("write", "fsync", "replace"):
        real = getattr(os, name)

        def spy(*args, _name=name, _real=real):
            calls.append((_name, args[-1] if _name == "replace" else None))
            return _real(*args)

        monkeypatch.setattr(os, name, spy)
    ofs_client.write_bytes(b"content", seed="doc")
    monkeypatch.undo()
    assert calls[:3] == [("write", None), ("fsync", None), ("replace", path)]
    assert calls[3:] == [("fsync", None)]  # the directory entry
    assert path.read_bytes() == b"content"


def test_file_modes(ofs_client, tmp_path):
    plain = tmp_path / "plain"
    plain.write_bytes(b"")
    new = ofs_client.write_bytes(b"x", seed="new")
    assert new.stat().st_mode == plain.stat().st_mode  # the usual mode for new files
    new.chmod(0o600)
    ofs_client.write_bytes(b"y", seed="new")
    assert new.stat().st_mode & 0o777 == 0o600  # a replaced file keeps its own
