import builtins
import contextlib
import logging
import os
import pathlib
import sqlite3
import stat
import subprocess
import uuid

import pytest
import sqlalchemy as sa
from alembic import command
from alembic.config import Config

import norvo.providers.ofs as ofs
from local_fixtures import close_database, open_database
from norvo.providers.ofs import database, models
from norvo.providers.ofs.burrow import NorvoOFSClient

LOG = "norvo.providers.ofs.database"
BASELINE = "566271002368"
PROMPT = "Are you sure you want to delete the OFS's database? [y|N]"
TABLES = {"users", "keys", "containers", "container_accesses", "events", "alembic_version"}
SCRIPTS = pathlib.Path(database.__file__).parent / "alembic"


def read(path, sql):
    con = sqlite3.connect(str(path))
    try:
        return con.execute(sql).fetchall()
    finally:
        con.close()


def schema(path):
    return sorted(read(path, "select type, name, tbl_name, sql from sqlite_master"))


def table_names(path):
    return {name for (name,) in read(path, "select name from sqlite_master where type = 'table'")}


@pytest.fixture
def answer(monkeypatch):
    """Answers the console prompt with a given line, recording the questions asked."""
    asked = []

    def set_answer(text):
        def fake_input(prompt=""):
            asked.append(prompt)
            return text

        monkeypatch.setattr(builtins, "input", fake_input)
        return asked

    return set_answer


def test_module_attributes():
    assert database.log.name == LOG
    assert database.Config is Config and database.upgrade is command.upgrade
    assert isinstance(database.Base.metadata, sa.MetaData)
    db = database.NorvoDatabase()
    assert not any(hasattr(db, name) for name in ("path", "engine", "alembic_cfg", "session"))


def test_file_path_from_user_id(ofs_client):
    user_id = uuid.UUID("3B0F6D2E-8C4A-4F71-9A1E-2D5C7B9E0A14")
    seed = b"3b0f6d2e-8c4a-4f71-9a1e-2d5c7b9e0a14SdkDatabase"
    assert len(seed) == 47
    assert database.get_file_path(user_id) == ofs_client.get_file_path(seed=seed)
    assert database.get_file_path(str(user_id)) == database.get_file_path(user_id)
    assert database.get_file_path("plain text") == ofs_client.get_file_path(seed=b"plain textSdkDatabase")
    assert list(ofs_client.root.iterdir()) == []  # nothing created


def test_file_path_reads_the_provider_client_per_call(ofs_client, tmp_path, monkeypatch):
    other = NorvoOFSClient()
    other.ROOT_DIR = str(tmp_path / "elsewhere")
    other.initialize()
    first = database.get_file_path("u")
    monkeypatch.setattr(ofs, "client", other)
    assert database.get_file_path("u") == other.get_file_path(seed=b"uSdkDatabase") != first
    monkeypatch.delattr(ofs, "client")
    with pytest.raises(ImportError):
        database.get_file_path("u")


def test_first_initialize_creates_file_tables_and_version(ofs_client, ofs_user, caplog, monkeypatch):
    path = database.get_file_path(ofs_user.id)
    assert not path.parent.exists()
    seen = []
    real_create_engine = sa.create_engine

    def create_engine(url, **kwargs):
        seen.append(path.is_file() and path.stat().st_size)
        return real_create_engine(url, **kwargs)

    monkeypatch.setattr(sa, "create_engine", create_engine)
    caplog.set_level(logging.DEBUG, logger=LOG)
    db = open_database(ofs_user.id)
    try:
        assert seen[0] == 0  # an empty file was there before the engine
        assert db.path == path and path.is_file()
        assert table_names(path) == TABLES
        assert read(path, "select version_num from alembic_version") == [(BASELINE,)]
        lines = [(r.levelname, r.getMessage(), r.args) for r in caplog.records if r.name == LOG]
        assert lines == [
            ("DEBUG", "OFS DB has been created at @ {}".format(path), ()),
            ("INFO", "OFS DB Version: {}".format(BASELINE), (BASELINE,)),
        ]
        assert isinstance(db.session, sa.orm.scoped_session) and db.session.get_bind() is db.engine
    finally:
        close_database(db)


def test_reopening_keeps_file_and_rows(ofs_db, ofs_user):
    ofs_db.session.add(models.User(id="someone"))
    ofs_db.session.commit()
    inode = ofs_db.path.stat().st_ino
    first_engine = ofs_db.engine
    ofs_db.initialize(ofs_user.id)
    assert ofs_db.path.stat().st_ino == inode and ofs_db.engine is not first_engine
    first_engine.dispose()
    assert [u.id for u in ofs_db.session.query(models.User)] == ["someone"]
    assert read(ofs_db.path, "select version_num from alembic_version") == [(BASELINE,)]


def test_foreign_keys_on_for_every_connection(ofs_db):
    assert ofs_db.session.execute(sa.text("PRAGMA foreign_keys")).scalar() == 1
    connections = [ofs_db.engine.connect() for _ in range(3)]  # three at once: three DB-API connections
    try:
        assert [c.exec_driver_sql("PRAGMA foreign_keys").scalar() for c in connections] == [1, 1, 1]
    finally:
        for c in connections:
            c.close()
    # A plain connection to the same file has them off: the pragma is the engine's doing.
    assert read(ofs_db.path, "PRAGMA foreign_keys") == [(0,)]


def test_migration_config_and_call_time_names(ofs_client, ofs_user, monkeypatch):
    made, upgrades = [], []

    class RecordingConfig(Config):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            made.append(self)

    monkeypatch.setattr(database, "Config", RecordingConfig)
    monkeypatch.setattr(database, "upgrade", lambda cfg, rev: upgrades.append((cfg, rev)))
    db = database.NorvoDatabase()
    try:
        # Without the migration there is no version table, and reading it fails after the fact.
        with pytest.raises(sa.exc.OperationalError, match="no such table: alembic_version"):
            db.initialize(ofs_user.id)
        (cfg,) = made
        assert db.alembic_cfg is cfg and upgrades == [(cfg, "head")]
        here = pathlib.Path(database.__file__).parent
        assert cfg.config_file_name is None
        assert cfg.get_section("alembic") == {
            "sqlalchemy.url": "sqlite:///" + str(db.path),
            "here": str(here),
            "script_location": str(here / "alembic"),
        }
        assert str(db.engine.url) == "sqlite:///" + str(db.path)
        assert table_names(db.path) == TABLES - {"alembic_version"}
    finally:
        close_database(db)


def test_empty_version_table_reads_as_head(ofs_db, ofs_user, monkeypatch, caplog):
    con = sqlite3.connect(str(ofs_db.path))
    con.execute("delete from alembic_version")
    con.commit()
    con.close()
    monkeypatch.setattr(database, "upgrade", lambda cfg, rev: None)
    caplog.set_level(logging.INFO, logger=LOG)
    ofs_db.initialize(ofs_user.id)
    assert [r.args for r in caplog.records if r.getMessage().startswith("OFS DB Version")] == [("head",)]


def _version_row_removed(db, user_id):
    con = sqlite3.connect(str(db.path))
    con.execute("delete from alembic_version")
    con.commit()
    con.close()


def _table_dropped(db, user_id):
    con = sqlite3.connect(str(db.path))
    con.execute("drop table events")
    con.commit()
    con.close()


def _deleted_and_made_again(db, user_id):
    db.delete(prompt=False)
    close_database(open_database(user_id))  # a sound file again, made by another object


# What happens to a file between two initializes of one object.
CHANGES = {
    "nothing": lambda db, user_id: None,
    "behind": _version_row_removed,
    "emptied": lambda db, user_id: db.path.write_bytes(b""),
    "made readable by others": lambda db, user_id: os.chmod(db.path, 0o644),
    "lost a table": _table_dropped,
    "deleted through it, made again": _deleted_and_made_again,
    "garbage over the header": lambda db, user_id: db.path.write_bytes(os.urandom(100) + db.path.read_bytes()[100:]),
}


@pytest.mark.parametrize("change, reopen, kept, migrated", [
    ("nothing", False, False, False),
    ("nothing", True, True, False),
    ("behind", False, False, True),
    ("behind", True, False, True),
    ("emptied", True, False, True),
    ("made readable by others", True, False, False),
    # Made again on every open; the file is at the newest revision and needs no migration.
    ("lost a table", False, False, False),
    ("lost a table", True, True, False),
    ("deleted through it, made again", True, False, False),
    ("garbage over the header", True, False, True),
])
def test_a_file_is_migrated_only_when_new_or_behind_and_reopened_only_when_it_needs_nothing(
        ofs_db, ofs_user, monkeypatch, change, reopen, kept, migrated):
    engine, registry, cfg = ofs_db.engine, ofs_db.session, ofs_db.alembic_cfg
    close_database(ofs_db)
    CHANGES[change](ofs_db, ofs_user.id)
    upgrades = []
    monkeypatch.setattr(database, "upgrade", lambda cfg, rev: upgrades.append(rev) or command.upgrade(cfg, rev))
    ofs_db.initialize(ofs_user.id, reopen=reopen)
    try:
        assert (ofs_db.engine is engine, ofs_db.alembic_cfg is cfg) == (kept, kept)
        assert ofs_db.session is not registry and ofs_db.session.get_bind() is ofs_db.engine
        assert upgrades == (["head"] if migrated else [])
        assert table_names(ofs_db.path) == TABLES and mode(ofs_db.path) == 0o600
        assert read(ofs_db.path, "select version_num from alembic_version") == [(BASELINE,)]
        ofs_db.session.add(models.User(id="usable"))
        ofs_db.session.commit()
        assert ofs_db.session.query(models.Event).count() == 0
    finally:
        if not kept:
            engine.dispose()


def test_root_with_percent_question_mark_and_hash(tmp_path, ofs_user, monkeypatch):
    client = NorvoOFSClient()
    client.ROOT_DIR = str(tmp_path / "a%41b?c=1#frag %")
    client.initialize()
    monkeypatch.setattr(ofs, "client", client)
    db = open_database(ofs_user.id)
    try:
        assert str(db.path).startswith(str(tmp_path / "a%41b?c=1#frag %"))
        assert db.engine.url.database == str(db.path)
        assert db.alembic_cfg.get_main_option("sqlalchemy.url") == db.engine.url.render_as_string(False)
        assert db.alembic_cfg.get_main_option("script_location") == str(SCRIPTS)
        db.session.add(models.User(id="u"))
        db.session.commit()
        assert table_names(db.path) == TABLES
        assert read(db.path, "select version_num from alembic_version") == [(BASELINE,)]
        assert len(read(db.path, "select id from users")) == 1
        # Nothing landed under a truncated name beside the root.
        assert sorted(p.name for p in tmp_path.iterdir()) == ["a%41b?c=1#frag %"]
    finally:
        close_database(db)


def test_migration_alone_gives_the_create_all_schema(ofs_db, tmp_path):
    alone = tmp_path / "alone.sqlite"
    cfg = Config()
    url = sa.engine.URL.create("sqlite", database=str(alone)).render_as_string(False)
    cfg.set_section_option("alembic", "sqlalchemy.url", url)
    cfg.set_section_option("alembic", "script_location", str(SCRIPTS))
    command.upgrade(cfg, "head")
    assert schema(alone) == schema(ofs_db.path)
    sql = dict((name, text) for _, name, _, text in schema(alone))
    assert "UNIQUE (user_id, key_type, \"index\")" in sql["keys"]
    assert "ON DELETE CASCADE ON UPDATE CASCADE" in sql["container_accesses"]
    # And back down to nothing.
    command.downgrade(cfg, "base")
    assert table_names(alone) == {"alembic_version"}


def test_migration_relaxes_event_dates_of_an_older_table(ofs_client, ofs_user):
    path = database.get_file_path(ofs_user.id)
    path.parent.mkdir(parents=True)
    con = sqlite3.connect(str(path))
    con.execute(
        "CREATE TABLE events (id BLOB NOT NULL, action BLOB NOT NULL, changes BLOB, client_app_name BLOB, "
        "container_expired_at BLOB NOT NULL, container_id BLOB, container_modified_at BLOB NOT NULL, "
        "container_type BLOB, date BLOB NOT NULL, related_user_id BLOB, type BLOB NOT NULL, PRIMARY KEY (id))"
    )
    con.execute("INSERT INTO events VALUES (x'01', x'02', NULL, NULL, x'03', NULL, x'04', NULL, x'05', NULL, x'06')")
    con.commit()
    con.close()
    db = open_database(ofs_user.id)
    try:
        notnull = {row[1]: row[3] for row in read(path, "PRAGMA table_info(events)")}
        assert notnull["container_expired_at"] == notnull["container_modified_at"] == 0
        assert notnull["date"] == notnull["action"] == 1
        assert read(path, "select id, container_expired_at from events") == [(b"\x01", b"\x03")]
    finally:
        close_database(db)


def test_failed_migration_leaves_earlier_attributes(ofs_client, ofs_user, monkeypatch):
    def broken(cfg, rev):
        raise RuntimeError("migration failed")

    monkeypatch.setattr(database, "upgrade", broken)
    db = database.NorvoDatabase()
    with pytest.raises(RuntimeError, match="migration failed"):
        db.initialize(ofs_user.id)
    assert all(hasattr(db, n) for n in ("path", "engine", "alembic_cfg")) and not hasattr(db, "session")
    db.engine.dispose()


@pytest.mark.parametrize("text", ["y", "Y"])
def test_delete_confirmed(ofs_db, answer, capsys, caplog, text):
    asked = answer(text)
    caplog.set_level(logging.INFO, logger=LOG)
    assert ofs_db.delete() is None
    assert asked == [PROMPT] and not ofs_db.path.exists()
    assert capsys.readouterr().out == "OFS DB has been removed.\n"
    assert [r.getMessage() for r in caplog.records] == ["Removed the OFS DB."]
    # A second delete passes over the missing file.
    ofs_db.delete()
    assert capsys.readouterr().out == "OFS DB has been removed.\n"
    assert [r.getMessage() for r in caplog.records] == ["Removed the OFS DB."] * 2


@pytest.mark.parametrize("text", ["", "n", "yes", " y", "y ", "N"])
def test_delete_refused(ofs_db, answer, capsys, caplog, text):
    answer(text)
    caplog.set_level(logging.DEBUG, logger=LOG)
    ofs_db.delete(prompt=1)
    assert ofs_db.path.is_file()
    assert capsys.readouterr().out == "OFS DB has not been removed.\n"
    assert caplog.records == []
    assert ofs_db.session.execute(sa.text("select count(*) from users")).scalar() == 0  # still usable


def test_delete_without_prompt(ofs_db, monkeypatch, capsys, caplog):
    monkeypatch.setattr(builtins, "input", None)  # never asked
    caplog.set_level(logging.INFO, logger=LOG)
    ofs_db.delete(prompt=False)
    assert not ofs_db.path.exists() and capsys.readouterr().out == ""
    assert [r.getMessage() for r in caplog.records] == ["Removed the OFS DB."]


def test_delete_before_initialize(answer, capsys, caplog):
    db = database.NorvoDatabase()
    asked = answer("n")
    db.delete()
    assert asked == [PROMPT] and capsys.readouterr().out == "OFS DB has not been removed.\n"
    answer("y")
    with pytest.raises(AttributeError):
        db.delete()
    with pytest.raises(AttributeError):
        db.delete(prompt=False)
    assert capsys.readouterr().out == "" and caplog.records == []


def test_use_after_delete_fails_until_initialize(ofs_db, ofs_user):
    session = ofs_db.session()
    session.add(models.User(id="pending"))
    ofs_db.delete(prompt=False)
    assert ofs_db.session is not None and ofs_db.engine is not None  # attributes stay
    assert list(session.new) == []  # the open session was closed, its pending row dropped
    for use in (
        lambda: ofs_db.session.execute(sa.text("select 1")),
        lambda: ofs_db.engine.connect(),
        lambda: ofs_db.session.add(models.User(id="late")) or ofs_db.session.commit(),
    ):
        with pytest.raises(RuntimeError, match="OFS DB has been removed"):
            use()
        ofs_db.session.remove()
    assert not ofs_db.path.exists()  # no empty file made in its place

    ofs_db.initialize(ofs_user.id)
    ofs_db.session.add(models.User(id="again"))
    ofs_db.session.commit()
    assert len(read(ofs_db.path, "select id from users")) == 1


# ---- private files, and a removal that fails


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


@pytest.fixture
def usual_umask():
    old = os.umask(0o022)
    yield
    os.umask(old)


def test_file_journal_and_new_folders_are_private_whatever_the_umask(ofs_client, ofs_user, usual_umask):
    existing = database.get_file_path(ofs_user.id).parents[8]
    existing.mkdir(parents=True, mode=0o755)  # a folder that is there already keeps its mode
    db = open_database(ofs_user.id)
    try:
        assert mode(db.path) == 0o600
        made = [p for p in db.path.parents if existing in p.parents]
        assert len(made) == 8 and {mode(p) for p in made} == {0o700} and mode(existing) == 0o755
        # A write in progress has its journal beside the file, as private as the file.
        with db.engine.connect() as connection:
            connection.exec_driver_sql("BEGIN IMMEDIATE")
            connection.exec_driver_sql("insert into users (id) values (x'00')")
            assert mode(str(db.path) + "-journal") == 0o600
            connection.rollback()
    finally:
        close_database(db)
    # A database that others could read is made private when it is opened again.
    os.chmod(db.path, 0o644)
    close_database(open_database(ofs_user.id))
    assert mode(db.path) == 0o600


@contextlib.contextmanager
def undeletable(path):
    """Removing `path` fails for real meanwhile: its folder is read-only, or for root (whom modes
    do not stop) immutable."""
    folder = path.parent
    if os.geteuid() == 0:
        if subprocess.run(["chattr", "+i", str(folder)], capture_output=True).returncode != 0:
            pytest.skip("no immutable folders here")
        try:
            yield
        finally:
            subprocess.run(["chattr", "-i", str(folder)], check=True)
    else:
        folder_mode = mode(folder)
        os.chmod(folder, 0o500)
        try:
            yield
        finally:
            os.chmod(folder, folder_mode)


def test_delete_whose_removal_fails_raises_and_keeps_the_database(ofs_db, caplog):
    ofs_db.session.add(models.User(id="kept"))
    ofs_db.session.commit()
    caplog.set_level(logging.INFO, logger=LOG)
    with undeletable(ofs_db.path):
        with pytest.raises(PermissionError):
            ofs_db.delete(prompt=False)
        assert ofs_db.path.is_file() and caplog.records == []
        assert [u.id for u in ofs_db.session.query(models.User)] == ["kept"]
    ofs_db.session.rollback()
    ofs_db.session.add(models.User(id="after"))
    ofs_db.session.commit()
    assert len(read(ofs_db.path, "select id from users")) == 2
