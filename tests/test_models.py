import base64
import binascii
import datetime
import functools
import json
import sqlite3
import subprocess
import sys
import traceback
import types
import uuid

import arrow
import pytest
import sqlalchemy as sa
from sqlalchemy.orm import Session
from sqlalchemy_utils import EncryptedType
from sqlalchemy_utils.types.encrypted.encrypted_type import AesEngine

import norvo.crypto as crypto
import norvo.providers.ofs as ofs
from local_fixtures import close_database, open_database
from norvo.access import Access
from norvo.crypto.container import Container, ContainerKeys
from norvo.crypto.envelope import Envelope
from norvo.crypto.keys import KeyRingSchema, KeyType
from norvo.permissions import Permissions
from norvo.providers.ofs import database, models
from rings import private_ring

C1 = uuid.UUID("0a4c2fb6-6c8b-4b4e-9f0e-4f5cf0a0e1d2")
U1 = uuid.UUID("11111111-2222-4333-8444-555555555555")
U2 = uuid.UUID("66666666-7777-4888-9999-aaaaaaaaaaaa")
SYNCED = datetime.datetime(2024, 5, 6, 7, 8, 9, tzinfo=datetime.timezone.utc)

# sqlalchemy-utils' EncryptedType announces a future change of its storage type; not this
# library's concern here.
pytestmark = pytest.mark.filterwarnings("ignore:The 'EncryptedType' class will change:DeprecationWarning")


def db_key(user):
    return crypto.KDF2(crypto.to_der_private(user.keys[KeyType.AUTH][0].private))


def cell_engine(key):
    """The library's own AES engine, as it reads and writes cells under `key`."""
    engine = AesEngine()
    engine._set_padding_mechanism()
    engine._update_key(key)
    return engine


def raw(db, sql):
    con = sqlite3.connect(str(db.path))
    try:
        return con.execute(sql).fetchall()
    finally:
        con.close()


def container(**overrides):
    values = dict(id=C1, length=42, synced_at=SYNCED, portion="all")
    values.update(overrides)
    return models.Container(**values)


def access(user_id, container_id=C1, **overrides):
    values = dict(user_id=user_id, container_id=container_id, permissions=139, key_blob=b"\x00blob")
    values.update(overrides)
    return models.ContainerAccess(**values)


def key_row(**overrides):
    values = dict(user_id=U1, key_type="t", pub_key=b"k", index=0)
    values.update(overrides)
    return models.Key(**values)


def event(**overrides):
    values = dict(id=2**40, action="updated", date=SYNCED, type="container")
    values.update(overrides)
    return models.Event(**values)


@pytest.fixture
def fresh(ofs_db):
    """A new session of the database, for reading rows back from the file."""
    session = Session(ofs_db.engine)
    yield session
    session.close()


def test_module_surface():
    assert models.ofs is ofs and models.Base is database.Base and models.crypto is crypto
    assert models.KeyType is KeyType and models.Access is Access and models.Permissions is Permissions
    assert not hasattr(models, "log")
    tables = {cls.__tablename__: cls for cls in (models.User, models.Key, models.Container,
                                                 models.ContainerAccess, models.Event)}
    assert set(tables) == {"users", "keys", "containers", "container_accesses", "events"}
    assert set(database.Base.metadata.tables) >= set(tables)
    for cls in tables.values():
        assert cls.__bases__ == (database.Base,) and cls.__doc__ is None
    assert [c.name for c in models.Key.__table__.columns] == ["id", "user_id", "active", "key_type", "pub_key", "index"]
    assert isinstance(models.Encrypted, functools.partial) and issubclass(models.Encrypted.func, EncryptedType)
    assert models.Encrypted.keywords["key"] is models.get_sa_key
    assert models.Encrypted.keywords["engine"] is models.StrictAesEngine
    # The names in the order the module binds them: importers of a half-loaded module see them so.
    assert [n for n in vars(models) if not n.startswith("__")] == [
        "sa", "uuid", "binascii", "arrow", "json", "ast", "base64", "partial", "EncryptedType", "AesEngine",
        "crypto", "Access", "Permissions", "Base", "ofs", "KeyType", "GUID", "Binary", "DateTime", "JSON",
        "get_sa_key", "CellTextError", "SealedCellError", "StrictAesEngine", "CellTypeError",
        "StrictEncryptedType", "Encrypted", "User", "Key", "Container", "ContainerAccess", "Event",
    ]
    for name in ("GUID", "Binary", "DateTime", "JSON", "StrictAesEngine", "StrictEncryptedType",
                 "CellTextError", "SealedCellError", "CellTypeError"):
        cls = getattr(models, name)
        assert (cls.__module__, cls.__qualname__) == ("norvo.providers.ofs.models", name) and cls.__doc__
    assert issubclass(models.CellTextError, ValueError) and issubclass(models.SealedCellError, ValueError)
    assert issubclass(models.CellTypeError, TypeError)
    for error in (models.CellTextError, models.SealedCellError, models.CellTypeError):
        assert issubclass(error, sa.exc.DontWrapMixin)


def test_column_types_keep_their_conversions_on_the_class(ofs_db, fresh):
    """Reading and writing cells changes how no single column converts: every conversion is
    the class's own, none set on an instance."""
    fresh.add(container(type="report"))
    fresh.add(access(U1))
    fresh.commit()
    fresh.expunge_all()
    assert fresh.get(models.ContainerAccess, (U1, C1)).container.type == "report"
    conversions = {"process_bind_param", "process_result_value", "_update_key"}
    for table in database.Base.metadata.tables.values():
        for column in table.columns:
            column_type = column.type
            assert not conversions & set(vars(column_type)), column
            if isinstance(column_type, EncryptedType):
                assert type(column_type) is models.StrictEncryptedType, column
                assert not conversions & set(vars(column_type.underlying_type)), column
                engine = column_type.engine
                assert type(engine) is models.StrictAesEngine
                assert not {"encrypt", "decrypt", "_update_key", "_initialize_engine"} & set(vars(engine))
    for name in ("process_bind_param", "process_result_value"):
        assert name in vars(models.StrictEncryptedType)


@pytest.mark.parametrize("owner, name", [
    (models.StrictEncryptedType, "_update_key"),
    (models.StrictAesEngine, "_update_key"),
    (models.StrictAesEngine, "encrypt"),
    (models.StrictAesEngine, "decrypt"),
    (models.GUID, "process_bind_param"),
    (models.GUID, "process_result_value"),
])
def test_a_conversion_step_replaced_on_its_class_is_the_one_used(ofs_db, fresh, monkeypatch, owner, name):
    calls = []
    original = getattr(owner, name)

    def recorded(self, *args):
        calls.append(name)
        return original(self, *args)

    monkeypatch.setattr(owner, name, recorded)
    fresh.add(container())
    fresh.commit()
    fresh.expunge_all()
    assert fresh.get(models.Container, C1).synced_at == SYNCED and calls


@pytest.mark.parametrize(
    "value, text",
    [
        (U1, "11111111222243338444555555555555"),
        (str(U1), "11111111222243338444555555555555"),
        (str(U2).upper(), "66666666777748889999aaaaaaaaaaaa"),
        ("{66666666-7777-4888-9999-AAAAAAAAAAAA}", "66666666777748889999aaaaaaaaaaaa"),
        (uuid.UUID(int=1), "0" * 31 + "1"),
        (None, None),
    ],
)
def test_guid(value, text):
    guid = models.GUID()
    assert guid.process_bind_param(value, None) == text
    back = guid.process_result_value(text, None)
    assert back == (None if value is None else uuid.UUID(str(value)))


def test_guid_refuses_text_that_is_no_uuid():
    with pytest.raises(ValueError):
        models.GUID().process_bind_param("not-a-uuid", None)


@pytest.mark.parametrize(
    "value, text, back",
    [(b"", "", b""), (b"\x00\xff", "00ff", b"\x00\xff"), ("é", "c3a9", "é".encode()), (None, None, None)],
)
def test_binary(value, text, back):
    binary = models.Binary()
    assert binary.process_bind_param(value, None) == text
    assert binary.process_result_value(text, None) == back


def test_binary_refuses_what_has_no_text_form():
    for value in (12, bytearray(b"ab")):
        with pytest.raises(AttributeError):
            models.Binary().process_bind_param(value, None)
    with pytest.raises(binascii.Error):
        models.Binary().process_result_value("abc", None)


def test_date_time():
    kind = models.DateTime()
    east = datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=datetime.timezone(datetime.timedelta(hours=2)))
    assert kind.process_bind_param(east, None) == "2024-01-02T03:04:05+02:00"
    assert kind.process_bind_param(arrow.get(east), None) == "2024-01-02T03:04:05+02:00"
    assert kind.process_bind_param("2024-01-02T01:04:05Z", None) == "2024-01-02T01:04:05+00:00"
    back = kind.process_result_value("2024-01-02T03:04:05+02:00", None)
    assert back == east and back.utcoffset() == datetime.timedelta(hours=2)
    assert isinstance(back, datetime.datetime) and back.tzinfo is not None
    assert kind.process_bind_param(None, None) is None and kind.process_result_value(None, None) is None


def test_json_type_reads_both_cell_forms():
    kind = models.JSON()
    document = {"type": "notes", "size": 3, "gone": None, "ok": True}
    assert json.loads(kind.process_bind_param(document, None)) == document
    assert kind.process_result_value(kind.process_bind_param(document, None), None) == document
    assert kind.process_result_value(str(document), None) == document  # the older text form
    with pytest.raises(ValueError):
        kind.process_result_value("neither {json nor python", None)


class TestDatabaseKey:
    def test_refused_before_login_then_derived(self, ofs_session, local_users):
        with pytest.raises(AttributeError):
            models.get_sa_key()
        ofs_session.user = local_users[0]
        key = models.get_sa_key()
        assert key == db_key(local_users[0]) and len(key) == 32
        assert models.get_sa_key() is key  # derived once, then kept
        with pytest.raises(TypeError):
            models.get_sa_key(local_users[0])
        assert "first signing key" in models.get_sa_key.__doc__

    def test_belongs_to_whoever_is_logged_in_now(self, ofs_session, local_users):
        first, second = local_users
        ofs_session.user = first
        key_first = models.get_sa_key()
        ofs_session.user = second
        assert models.get_sa_key() == db_key(second) != key_first
        ofs_session.user = first
        assert models.get_sa_key() == key_first
        models.get_sa_key.cache_clear()
        again = models.get_sa_key()
        assert again == key_first and again is not key_first

    def test_needs_the_key_of_index_zero(self, ofs_session):
        ofs_session.user = types.SimpleNamespace(id=U1, keys=private_ring(auth=((1, True),), user_id=U1))
        with pytest.raises(KeyError):
            models.get_sa_key()
        ring = private_ring(user_id=U1)
        ring[KeyType.AUTH][0].private = None
        ofs_session.user = types.SimpleNamespace(id=U1, keys=ring)
        with pytest.raises(ValueError, match="Can only handle EllipticCurvePrivateKey keys."):
            models.get_sa_key()


def test_cells_hold_no_plaintext_and_use_the_library_format(ofs_db, ofs_user, fresh):
    secret_type = "confidential-type-marker"
    ofs_db.session.add(container(type=secret_type, ofs_location="/secret/location", created_by=U2))
    ofs_db.session.add(models.Key(user_id=U1, key_type=KeyType.AUTH, pub_key=b"-----BEGIN PUBLIC KEY-----", index=7))
    ofs_db.session.commit()
    data = ofs_db.path.read_bytes()
    for plain in (secret_type, "/secret/location", C1.hex, str(C1), U2.hex, U1.hex, "BEGIN PUBLIC", "signingKeys"):
        assert plain.encode() not in data
    engine = cell_engine(db_key(ofs_user))
    (row,) = raw(ofs_db, "select id, type, length, created_by, synced_at, portion from containers")
    assert [engine.decrypt(cell.decode()) for cell in row] == [
        C1.hex, secret_type, "42", U2.hex, "2024-05-06T07:08:09+00:00", "all"
    ]
    # Equal values under one key give equal cells.
    assert raw(ofs_db, "select user_id from keys")[0][0] == engine.encrypt(U1.hex).encode()
    (key_row,) = raw(ofs_db, "select id, active from keys")
    assert key_row[0] == 1 and engine.decrypt(key_row[1].decode()) == "true"

    loaded = fresh.get(models.Container, C1)
    assert (loaded.type, loaded.length, loaded.created_by, loaded.synced_at) == (secret_type, 42, U2, SYNCED)
    assert loaded.created_at is None and raw(ofs_db, "select created_at from containers") == [(None,)]


def test_another_users_key_cannot_read_the_cells(ofs_db, ofs_session, local_users, fresh):
    ofs_db.session.add(models.User(id="alice"))
    ofs_db.session.commit()
    ofs_session.user = local_users[1]
    with pytest.raises(ValueError):
        fresh.query(models.User).one()


SECRET_TYPE = "confidential-type-marker"
SECRET_BLOB = b"\x01secret key bytes"

# A whole cell moved into a column whose own conversion, given the opened text, would quote it
# ("invalid literal for int() with base 10: '...'", "Could not match input '...'"): (table,
# column, the column it came from, the opened text).
QUOTING = [
    ("container_accesses", "permissions", "key_blob", SECRET_BLOB.hex()),
    ("container_accesses", "expires_at", "key_blob", SECRET_BLOB.hex()),
    ("containers", "length", "key_blob", SECRET_BLOB.hex()),
    ("containers", "synced_at", "type", SECRET_TYPE),
    ("container_accesses", "permissions", "type", SECRET_TYPE),
]


def raised_along_with(error):
    """`error` and every error it was raised from or while handling, however deep."""
    found, waiting = [], [error]
    while waiting:
        error = waiting.pop()
        if error is not None and all(error is not other for other in found):
            found.append(error)
            waiting += [error.__cause__, error.__context__]
    return found


@pytest.mark.parametrize("table, column, from_column, opened", QUOTING,
                         ids=["{}.{}<-{}".format(t, c, f) for t, c, f, _ in QUOTING])
def test_a_moved_cell_keeps_what_it_opens_to_out_of_the_error(ofs_db, ofs_user, fresh, table, column, from_column,
                                                               opened):
    c = container(type=SECRET_TYPE)
    c.access[U1] = access(U1, key_blob=SECRET_BLOB, expires_at=SYNCED)
    ofs_db.session.add(c)
    ofs_db.session.commit()
    from_table = "container_accesses" if from_column == "key_blob" else "containers"
    con = sqlite3.connect(str(ofs_db.path))
    try:
        (moved,) = con.execute('select "{}" from {}'.format(from_column, from_table)).fetchone()
        con.execute('update {} set "{}" = ?'.format(table, column), (moved,))
        con.commit()
    finally:
        con.close()
    assert cell_engine(db_key(ofs_user)).decrypt(moved.decode()) == opened
    named = "^The encrypted cell of {}\\.{} ".format(table, column)
    with pytest.raises(models.SealedCellError, match=named) as refused:
        fresh.get(models.Container, C1)
    for error in raised_along_with(refused.value):
        assert opened not in str(error) and opened not in repr(error.args), repr(error)
    assert opened not in "".join(traceback.format_exception(refused.value))


def test_second_user_database_is_under_the_second_users_key(ofs_client, ofs_session, local_users):
    databases = []
    try:
        for user in local_users:  # one after the other in one process, no clearing in between
            ofs_session.user = user
            db = open_database(user.id)
            databases.append(db)
            db.session.add(models.User(id=str(user.id)))
            db.session.commit()
        for user, db in zip(local_users, databases):
            (cell,) = raw(db, "select id from users")[0]
            assert cell_engine(db_key(user)).decrypt(cell.decode()) == str(user.id)
    finally:
        for db in databases:
            close_database(db)


@pytest.mark.parametrize("text", ["ends in a star*", "*", "two**"])
def test_text_ending_in_star_is_refused(ofs_db, text):
    ofs_db.session.add(container(type=text))
    with pytest.raises(ValueError, match="ends in '\\*'"):
        ofs_db.session.commit()
    ofs_db.session.rollback()
    assert raw(ofs_db, "select count(*) from containers") == [(0,)]


def test_text_with_stars_elsewhere_round_trips(ofs_db, fresh):
    for i, text in enumerate(["*lead", "mid*dle", "", "x" * 16, "é" * 9]):
        ofs_db.session.add(container(id=uuid.UUID(int=i + 1), type=text))
    ofs_db.session.commit()
    assert sorted(c.type for c in fresh.query(models.Container)) == sorted(["*lead", "mid*dle", "", "x" * 16, "é" * 9])


class Seven(object):
    """An integer by its exact integer form only, as numpy's integers are."""

    def __index__(self):
        return 7


# A value of another type than its column's: (row, column, value, the column's own form of it),
# the form None where no exact one exists and the value is refused.
OTHER_TYPES = [
    (container, "length", True, 1),
    (container, "length", Seven(), 7),
    (container, "length", 1.0, None),
    (container, "length", "42", None),
    (access, "permissions", Permissions(value=139), None),
    (access, "key_blob", bytearray(b"\x00blob"), b"\x00blob"),
    (access, "key_blob", memoryview(b"\x00blob"), b"\x00blob"),
    (access, "key_blob", 5, None),
    (container, "type", U2, str(U2)),
    (container, "type", 5, None),
    (container, "created_by", U2.int, None),
    (container, "created_by", U2.bytes, None),
    (container, "created_at", object(), None),
    (event, "changes", {"not a document": object()}, None),
    (key_row, "active", 0, False),
    (key_row, "active", "no", None),
    (key_row, "index", Seven(), 7),
]


@pytest.mark.parametrize("make, column, value, form", OTHER_TYPES,
                         ids=["{}-{}".format(c, type(v).__name__) for _, c, v, _ in OTHER_TYPES])
def test_a_value_of_another_type_is_stored_in_the_columns_form_or_refused(ofs_db, fresh, make, column, value, form):
    rows = [make(**{column: value}) if make is not access else access(U1, **{column: value})]
    if rows[0].__tablename__ == "container_accesses":
        rows.insert(0, container())
    ofs_db.session.add_all(rows)
    if form is None:
        table = rows[-1].__tablename__
        with pytest.raises(TypeError, match="^{}\\.{} ".format(table, column)) as refused:
            ofs_db.session.commit()
        assert isinstance(refused.value, models.CellTypeError)
        ofs_db.session.rollback()
        assert raw(ofs_db, "select count(*) from {}".format(table)) == [(0,)]
        return
    ofs_db.session.commit()
    table = rows[-1].__tablename__
    (stored,) = raw(ofs_db, 'select "{}" from {}'.format(column, table))[0]
    # The very cell that the column's own form gives.
    kind = getattr(type(rows[-1]), column).type
    assert stored == kind.process_bind_param(form, None)
    fresh_row = fresh.query(type(rows[-1])).one()
    assert getattr(fresh_row, column) == form and type(getattr(fresh_row, column)) is type(form)


def test_user_id_given_as_a_uuid_reads_back_as_its_text(ofs_db, fresh):
    ofs_db.session.add(models.User(id=U1))
    ofs_db.session.commit()
    assert fresh.query(models.User).one().id == str(U1)
    assert fresh.get(models.User, str(U1)) is not None


def test_ordinary_reads_and_writes_raise_no_warning(ofs_db, fresh, recwarn):
    c = container(type="t", created_by=U2)
    c.access[U1] = access(U1)
    ofs_db.session.add(c)
    ofs_db.session.add(event(changes={"a": 1}))
    ofs_db.session.commit()
    for _ in range(2):  # the second time from the statement cache
        loaded = fresh.get(models.Container, C1)
        assert loaded.access[U1].permissions == 139
        assert fresh.query(models.Container).filter(models.Container.created_by == U2).one() is loaded
        fresh.expire_all()
        assert fresh.get(models.Event, 2**40).changes == {"a": 1}
        fresh.expire_all()
    assert [str(w.message) for w in recwarn.list] == []
    # The statement cache holds them: the type declares itself safe to cache.
    columns = models.Container.__table__.c
    assert columns.id.type._static_cache_key != columns.type.type._static_cache_key


def test_event_changes_round_trip_and_old_cells(ofs_db, ofs_user, fresh):
    changes = {"type": "notes", "count": 2, "gone": None, "flag": False, "list": [1, "a"]}
    ofs_db.session.add(event(changes=changes, container_id=C1, client_app_name="app"))
    ofs_db.session.commit()
    engine = cell_engine(db_key(ofs_user))
    (cell,) = raw(ofs_db, "select changes from events")[0]
    assert json.loads(engine.decrypt(cell.decode())) == changes
    assert fresh.get(models.Event, 2**40).changes == changes

    # A cell written in the older form: the Python text of the dictionary.
    con = sqlite3.connect(str(ofs_db.path))
    con.execute("update events set changes = ?", (engine.encrypt(repr(changes)).encode(),))
    con.commit()
    con.close()
    fresh.expire_all()
    assert fresh.get(models.Event, 2**40).changes == changes


def test_event_without_expiry_or_modification_dates(ofs_db, fresh):
    ofs_db.session.add(event())
    ofs_db.session.commit()
    loaded = fresh.get(models.Event, 2**40)
    assert (loaded.container_expired_at, loaded.container_modified_at, loaded.changes) == (None, None, None)
    assert (loaded.id, loaded.date) == (2**40, SYNCED)


@pytest.mark.parametrize(
    "rows",
    [
        pytest.param([models.User(id="a"), models.User(id="a")], id="user id"),
        pytest.param([container(), container()], id="container id"),
        pytest.param([event(), event(action="other")], id="event id"),
        pytest.param([container(), access(U1), access(U1, permissions=1)], id="access key"),
        pytest.param([access(U1, container_id=U2)], id="access without container"),
        pytest.param([container(length=None)], id="null length"),
        pytest.param([container(synced_at=None)], id="null synced_at"),
        pytest.param([event(date=None)], id="null event date"),
        pytest.param([container(), access(U1, key_blob=None)], id="null key blob"),
        pytest.param([models.Key(user_id=U1, key_type="a", pub_key=b"k", index=0),
                      models.Key(user_id=U1, key_type="a", pub_key=b"other", index=0)], id="key unique"),
    ],
)
def test_refused_rows(ofs_db, rows):
    # Each row in a session of its own: the database refuses, not the ORM's identity map.
    *accepted, refused = rows
    for row in accepted:
        with Session(ofs_db.engine) as session:
            session.add(row)
            session.commit()
    with Session(ofs_db.engine) as session:
        session.add(refused)
        with pytest.raises(sa.exc.IntegrityError):
            session.commit()


def test_keys_unique_per_type_and_defaults(ofs_db, fresh):
    ofs_db.session.add_all([
        models.Key(user_id=U1, key_type=KeyType.AUTH, pub_key=b"auth", index=0),
        models.Key(user_id=U1, key_type=KeyType.DERIVATION, pub_key=b"derivation", index=0),
        models.Key(user_id=U2, key_type=KeyType.AUTH, pub_key=b"other", index=0, active=False),
    ])
    ofs_db.session.commit()
    rows = fresh.query(models.Key).order_by(models.Key.id).all()
    assert [(r.id, r.active) for r in rows] == [(1, True), (2, True), (3, False)]
    # "index" is a keyword of SQL, quoted wherever it is used.
    found = fresh.query(models.Key).filter(models.Key.index == 0, models.Key.user_id == U1).all()
    assert sorted(r.pub_key for r in found) == [b"auth", b"derivation"]
    assert fresh.query(models.Key).filter(models.Key.index == 1).all() == []


def test_key_rows_load_as_a_key_ring(ofs_db, local_users, fresh):
    ring = local_users[0].keys
    for section in (KeyType.AUTH, KeyType.DERIVATION):
        key = ring[section][0]
        ofs_db.session.add(models.Key(user_id=key.user_id, key_type=section, index=0,
                                      pub_key=crypto.to_pem_public(key.public)))
    ofs_db.session.commit()
    loaded = KeyRingSchema(many=True).load(fresh.query(models.Key).all()).data
    assert loaded.user_id == ring.user_id
    for section in (KeyType.AUTH, KeyType.DERIVATION):
        assert loaded[section][0].public.public_numbers() == ring[section][0].public.public_numbers()


def test_accesses_keyed_by_uuid_and_loaded_with_their_container(ofs_db, fresh):
    c = container()
    c.access[U1] = access(U1)
    c.access[U2] = access(U2, permissions=255)
    ofs_db.session.add(c)
    ofs_db.session.commit()

    statements = []
    sa.event.listen(ofs_db.engine, "before_cursor_execute", lambda *a: statements.append(a[2]))
    loaded = fresh.get(models.Container, C1)
    assert set(loaded.access) == {U1, U2} and str(U1) not in loaded.access
    assert loaded.access[U2].permissions == 255 and all(a.container is loaded for a in loaded.access.values())
    assert len(statements) == 1 and "JOIN" in statements[0]  # one query, joined


def test_deleting_a_container_deletes_its_accesses(ofs_db, fresh):
    c = container()
    c.access[U1] = access(U1)
    c.access[U2] = access(U2)
    other = container(id=U1)
    other.access[U1] = access(U1, container_id=U1)
    ofs_db.session.add_all([c, other])
    ofs_db.session.commit()

    ofs_db.session.delete(c)
    ofs_db.session.commit()
    assert raw(ofs_db, "select count(*) from containers") == [(1,)]
    assert raw(ofs_db, "select count(*) from container_accesses") == [(1,)]

    # Dropping an access from the collection deletes its row too.
    del other.access[U1]
    ofs_db.session.commit()
    assert raw(ofs_db, "select count(*) from container_accesses") == [(0,)]


def test_sql_delete_cascades_in_the_database(ofs_db):
    c = container()
    c.access[U1] = access(U1)
    ofs_db.session.add(c)
    ofs_db.session.commit()
    with ofs_db.engine.begin() as connection:
        connection.exec_driver_sql("delete from containers")
    assert raw(ofs_db, "select count(*) from container_accesses") == [(0,)]


def test_make_class(ofs_db, local_users, fresh):
    sender, recipient = local_users[0].keys, local_users[1].keys
    sealed = Container(content=b"shared", header={"title": "t"})
    sealed.encrypt()
    blob = Envelope(container_id=sealed.id, container_keys=sealed.container_keys,
                    sender_keys=sender, recip_keys=recipient).to_bytes()
    created = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
    c = container()
    c.access[U1] = access(U1, key_blob=blob, created_at=created, created_by=U2)
    c.access[U2] = access(U2, key_blob=b"", expires_at=SYNCED, permissions=255)
    ofs_db.session.add(c)
    ofs_db.session.commit()
    rows = fresh.get(models.Container, C1).access

    made = rows[U1].make_class()
    assert isinstance(made, Access) and made.user_id == U1
    assert isinstance(made.permissions, Permissions) and int(made.permissions) == 139
    assert made.expiration is None
    assert made.key_blob.to_bytes() == blob
    assert made.created_at == created and made.created_by == U2
    assert made.modified_at is None and made.modified_by is None
    keys = made.key_blob.get_container_keys(recipient, sender_keys=sender)
    assert isinstance(keys, ContainerKeys) and keys == sealed.container_keys

    empty = rows[U2].make_class()
    assert empty._key_blob is None and empty.expiration == SYNCED and int(empty.permissions) == 255


def test_make_class_passes_errors(ofs_db):
    row = access(U1, key_blob="text, not bytes")
    with pytest.raises(TypeError):
        row.make_class()


def test_loading_needs_the_provider_package(tmp_path):
    probe = (
        "import sys\n"
        "sys.modules['norvo.providers.ofs'] = None\n"
        "try:\n"
        "    import norvo.providers.ofs.models\n"
        "except ImportError:\n"
        "    print('refused')\n"
    )
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, cwd=tmp_path,
                            env={"PYTHONPATH": ":".join(sys.path)})
    assert result.stdout.strip() == "refused", result.stderr
