"""The local store: encrypted cells, whole database files and the file store."""

import contextlib
import os
import uuid

import construct

import norvo.providers.ofs
import norvo.providers.ofs.burrow
import norvo.providers.ofs.models

from .broker import fixed_user
from .common import Reader, Violation
from .material import _once


def _models():
    return norvo.providers.ofs.models


@contextlib.contextmanager
def _local_user():
    """The fixed user logged in to the local provider, for the database key; put back after."""
    ofs = norvo.providers.ofs
    saved = ofs.session.user
    ofs.session.user = fixed_user()
    try:
        yield _models()
    finally:
        ofs.session.user = saved


def _cell_columns():
    """(column, what its values are) for every kind of encrypted column of the schema."""
    import datetime as dt

    m = _models()
    return (
        (m.Container.__table__.c.id, uuid.UUID),
        (m.Container.__table__.c.type, str),
        (m.Container.__table__.c.length, int),
        (m.Container.__table__.c.created_at, dt.datetime),
        (m.ContainerAccess.__table__.c.key_blob, bytes),
        (m.Key.__table__.c.active, bool),
        (m.Event.__table__.c.id, int),
        (m.Event.__table__.c.changes, object),
    )


def _sqlite_dialect():
    from sqlalchemy.dialects import sqlite

    return _once("sqlite_dialect", sqlite.dialect)


def _cell_errors():
    # Every cell that does not open to a value of its column, whatever is wrong with it (not
    # sealed, not ASCII, altered, or opening to a text its column cannot read).
    return (_models().SealedCellError,)


def target_db_cell(data):
    """One cell of the encrypted database read back through its column: raw cell bytes, or (one
    input in two) a fuzzed text sealed under the database key. A value of the column's kind,
    which sealed again gives the same cell, or a clear error; never a value of another kind."""
    if len(data) < 2:
        return
    mode, body = data[0], data[1:]
    columns = _cell_columns()
    column, kind = columns[(mode >> 1) % len(columns)]
    dialect = _sqlite_dialect()
    with _local_user() as m:
        impl = column.type.dialect_impl(dialect)
        read = impl.result_processor(dialect, None) or (lambda v: impl.process_result_value(v, dialect))
        cell = body
        if mode & 1:
            engine = m.StrictAesEngine()
            engine._set_padding_mechanism()
            engine._update_key(m.get_sa_key())
            try:
                cell = engine.encrypt(body.decode("utf-8", "surrogateescape")).encode()
            except (ValueError, UnicodeError):
                return  # a text the cell cannot hold unchanged, or not UTF-8
        try:
            value = read(cell)
        except _cell_errors():
            return
        # Only a document cell may hold nothing: the JSON text null (or its older Python form).
        if (value is None and kind is not object) or (kind is not object and not isinstance(value, kind)):
            raise Violation("a {} column gave {!r}".format(kind.__name__, type(value)))
        if kind is dt_datetime() and value.tzinfo is None:
            raise Violation("a date-time without its offset")
        bind = impl.bind_processor(dialect) or (lambda v: impl.process_bind_param(v, dialect))
        if read(bind(value)) != value:
            raise Violation("a value read from a cell does not survive being sealed again")


def dt_datetime():
    import datetime as dt

    return dt.datetime


def _row_errors():
    import sqlalchemy.exc

    # What reading rows from a database file may give: SQLite's refusals of a file that is no
    # database or a damaged one, or a schema that is not the library's (sqlalchemy's errors),
    # a cell that does not open or a value its type refuses (ValueError and its kin), and an
    # access whose envelope does not parse (the format's errors); a date-time out of range is
    # OverflowError.
    return (sqlalchemy.exc.SQLAlchemyError, ValueError, RecursionError, OverflowError, TypeError,
            construct.ConstructError)


def target_db_rows(data):
    """A whole database file: every row of every table read back through the schema, as the
    local provider reads them, and each access turned into an `Access`."""
    import sqlite3

    import sqlalchemy as sa
    from sqlalchemy.orm import Session
    from sqlalchemy.pool import StaticPool

    if not data:
        return
    con = sqlite3.connect(":memory:", check_same_thread=False)
    try:
        try:
            con.deserialize(data)
        except sqlite3.Error:
            return
        engine = sa.create_engine("sqlite://", creator=lambda: con, poolclass=StaticPool)
        with _local_user() as m, Session(engine) as session:
            for cls in (m.User, m.Key, m.Container, m.ContainerAccess, m.Event):
                try:
                    rows = session.query(cls).all()
                except _row_errors():
                    session.rollback()
                    continue
                for row in rows:
                    # SQLite lets a text primary key be NULL; the ORM gives no object for such a
                    # row (it has no identity), only None in its place.
                    if row is None:
                        continue
                    if cls is m.ContainerAccess:
                        try:
                            row.make_class()
                        except _row_errors() + (KeyError, AttributeError):
                            pass
                    if cls is m.Container:
                        try:
                            dict(row.access)
                        except _row_errors():
                            session.rollback()
        engine.dispose()
    finally:
        con.close()


def _scratch():
    """A folder for the file-store targets, on a memory file system when there is one."""

    def make():
        import atexit
        import shutil
        import tempfile

        base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
        path = tempfile.mkdtemp(prefix="norvo-fuzz-ofs-", dir=base)
        atexit.register(shutil.rmtree, path, True)
        return path

    return _once("scratch", make)


def _tree(path):
    """Every file and directory below `path` with its content, links as their targets."""
    found = {}
    for top, dirs, files in os.walk(path):
        for name in dirs + files:
            p = os.path.join(top, name)
            if os.path.islink(p):
                found[p] = ("link", os.readlink(p))
            elif os.path.isdir(p):
                found[p] = ("dir",)
            else:
                with open(p, "rb") as f:
                    found[p] = ("file", f.read())
    return found


def _ofs_errors():
    # The store's refusals of a path outside its root, absolute or climbing out (ValueError, and
    # for text that cannot name a file its UnicodeError or the embedded NUL's ValueError), a
    # seed of another type (TypeError), and the file system's own errors (OSError: a name too
    # long, a file where a directory is needed, a missing file on reading).
    return (ValueError, TypeError, OSError)


def target_file_store(data):
    """The file store given fuzzed seeds, paths and data: every write lands below the root and
    reads back whole, nothing outside the root changes (not through a link either)."""
    import shutil

    if len(data) < 2:
        return
    r = Reader(data)
    mode = r.byte()
    scratch = _scratch()
    case = os.path.join(scratch, "case")
    shutil.rmtree(case, ignore_errors=True)
    outside = os.path.join(case, "outside")
    os.makedirs(outside)
    with open(os.path.join(outside, "kept"), "wb") as f:
        f.write(b"outside the store")
    root = os.path.join(case, "root")
    store = norvo.providers.ofs.burrow.NorvoOFSClient()
    store.ROOT_DIR = root
    store.initialize()
    if mode & 1:
        os.symlink(outside, os.path.join(root, "link"))
    if mode & 2:
        os.symlink(os.path.join(outside, "kept"), os.path.join(root, "file-link"))
    before = _tree(outside)

    def text_or_bytes(b, as_text):
        return b.decode("utf-8", "surrogateescape") if as_text else b

    written = {}
    for step in range(4):
        op = r.byte()
        if r.pos >= len(data) and step:
            break
        seed = text_or_bytes(r.chunk(300), op & 0x10) if op & 0x04 else None
        path = text_or_bytes(r.chunk(300), op & 0x20) if op & 0x08 else None
        payload = r.chunk(600)
        try:
            kind = op & 0x03
            if kind == 0:
                target = store.write_bytes(payload, seed=seed, path=path)
                if not os.path.realpath(target).startswith(os.path.realpath(root) + os.sep):
                    raise Violation("a write landed outside the root: {}".format(target))
                with open(target, "rb") as f:
                    if f.read() != payload:
                        raise Violation("a write does not read back whole")
                if path is None and seed is not None:
                    written[store.get_file_path(seed=seed)] = payload
            elif kind == 1:
                got = store.get(seed=seed if seed is not None else b"")
                want = written.get(store.get_file_path(seed=seed if seed is not None else b""))
                if want is not None and got != want:
                    raise Violation("a read gave other bytes than the last write of its seed")
            elif kind == 2:
                store.delete(seed=seed, path=path)
            else:
                store.get_file_path(seed=seed if seed is not None else b"")
        except _ofs_errors():
            pass
    if _tree(outside) != before:
        raise Violation("something outside the store's root changed")
    for top, dirs, files in os.walk(case):
        for name in files:
            p = os.path.realpath(os.path.join(top, name))
            if not (p.startswith(os.path.realpath(root) + os.sep) or p.startswith(os.path.realpath(outside) + os.sep)):
                raise Violation("a file appeared outside the root: {}".format(p))
    shutil.rmtree(case, ignore_errors=True)
