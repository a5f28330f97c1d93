"""The local store as the provider keeps it: the logged-in user's encrypted database and key file
in the file store, both caches of what the broker holds, and the one transaction helper through
which the stand-ins read and write that database."""
import contextlib
import importlib
import logging
import os
import sys

from norvo.providers import _operation

log = logging.getLogger("norvo.providers")

# Where a user's key file lies in the local store: the store hashes this seed into a path.
KEY_FILE_SEED = "{user_id}KeyFile"

# SQLite's result code for a database that another connection holds: it has already waited
# for it as long as its busy timeout allows, so another attempt waits as long again.
_SQLITE_BUSY = 5
_BEGIN_ATTEMPTS = 3


def ofs_package():
    return importlib.import_module("norvo.providers.ofs")


def _key_file_seed(user_id):
    return KEY_FILE_SEED.format(user_id=user_id).encode("utf-8")


def _begin_immediate(connection):
    import sqlalchemy.exc

    for attempt in range(_BEGIN_ATTEMPTS):
        try:
            connection.exec_driver_sql("BEGIN IMMEDIATE")
            return
        except sqlalchemy.exc.OperationalError as error:
            busy = getattr(error.orig, "sqlite_errorcode", None) == _SQLITE_BUSY
            if not busy or attempt == _BEGIN_ATTEMPTS - 1:
                raise


@contextlib.contextmanager
def local_write(db, read_only=False):
    """A session on the local database `db` whose work is one transaction, committed on leaving
    and rolled back on an error.

    It begins at once with the database's write lock, so that what it reads stays true until it
    commits, whatever other processes of the same user write meanwhile: a replace is a read
    and a write that nobody else comes between. With `read_only` it takes no lock and is rolled
    back on leaving, so that nothing it read stays behind in a session.
    """
    from sqlalchemy.orm import Session

    with Session(db.engine) as session:
        if not read_only:
            _begin_immediate(session.connection())
        try:
            yield session
            if read_only:
                session.rollback()
            else:
                session.commit()
        except BaseException:
            session.rollback()
            raise


def close_database(db):
    """Lets go of every session and connection of `db`; its engine connects again, to whatever
    file lies at its path then, when it is next used."""
    registry = getattr(db, "session", None)
    if registry is not None:
        registry.remove()
    engine = getattr(db, "engine", None)
    if engine is not None:
        engine.dispose()


def _remove(client, seed):
    """Removes the store's file of `seed`. What was planted in its place, a link leading out of
    the store (which the store refuses) or a folder, holds nothing of the user's: it is left with
    a warning, so that it cannot keep an account from being deleted."""
    try:
        client.delete(seed=seed)
    except (ValueError, IsADirectoryError) as error:
        log.warning("What lies in the place of a file of the local store is left there: %s", error)


def _ring_keys(ring):
    from norvo.crypto.keys import KeyType

    return [(t, i, k) for t in (KeyType.AUTH, KeyType.DERIVATION) for i, k in sorted(ring[t].items())]


def _store_key_rows(session, user_id, keys):
    """Brings the rows of `user_id`'s public keys in line with `keys`, writing only those that
    differ: a login that finds its ring recorded already writes nothing. Key rows that do not
    open under the database's key are dropped first, with a warning."""
    from sqlalchemy import select

    from norvo import crypto
    from norvo.providers.ofs import models

    def kept():
        query = select(models.Key).where(models.Key.user_id == user_id)
        return {(row.key_type, row.index): row for row in session.scalars(query)}

    try:
        rows = kept()
    except models.SealedCellError:
        _warn_dropped(_drop_unreadable_rows(session, models.Key.__table__), "keys")
        rows = kept()
    for key_type, index, key in keys:
        pem = crypto.to_pem_public(key.public)
        pem = pem if isinstance(pem, bytes) else pem.encode("ascii")
        active = bool(key.active)
        row = rows.get((key_type, index))
        if row is None:
            session.add(models.Key(user_id=user_id, key_type=key_type, index=index, pub_key=pem, active=active))
        elif row.pub_key != pem or row.active != active:
            row.pub_key, row.active = pem, active


def _record_user(db, user):
    """Records the user and its public keys in `db`, in one transaction.

    The users table holds the owner's own row, so reading it tells whether the rows open
    under this user's key. When they do not (another user's file), nothing is recorded and
    the file's (st_dev, st_ino) is returned; else None.
    """
    from sqlalchemy import select

    from norvo.providers.ofs import models

    with local_write(db) as session:
        st = os.stat(db.path)
        try:
            known = session.scalars(select(models.User.id)).all()
        except models.SealedCellError:
            return st.st_dev, st.st_ino
        if str(user.id) not in known:
            session.add(models.User(id=str(user.id)))
        _store_key_rows(session, user.id, _ring_keys(user.keys))
    return None


# ---- rows that no longer open


def _opened_rows(session, table, names=None):
    """Every row of `table` as stored, each as (rowid, values by column name, sound): the cells of
    its encrypted columns (those named, or all) opened one by one, `sound` false when one of
    them does not open under the database's key, whose value is then missing."""
    from sqlalchemy import text

    from norvo.providers.ofs import models

    columns = [c for c in table.columns if isinstance(c.type, models.StrictEncryptedType)
               and (names is None or c.name in names)]
    dialect = session.get_bind().dialect
    statement = text('SELECT rowid, {} FROM "{}"'.format(", ".join('"{}"'.format(c.name) for c in columns),
                                                        table.name))
    for row in session.execute(statement).all():
        values, sound = {}, True
        for column, cell in zip(columns, row[1:]):
            try:
                values[column.name] = column.type.process_result_value(cell, dialect)
            except models.SealedCellError:
                sound = False
        yield row[0], values, sound


def _drop_unreadable_rows(session, table):
    """Deletes the rows of `table` with a cell that does not open; returns how many went."""
    gone = [rowid for rowid, _, sound in _opened_rows(session, table) if not sound]
    _delete_rows(session, table, gone)
    return len(gone)


def _delete_rows(session, table, rowids):
    from sqlalchemy import text

    for start in range(0, len(rowids), 500):
        chosen = ",".join(str(int(rowid)) for rowid in rowids[start:start + 500])
        session.execute(text('DELETE FROM "{}" WHERE rowid IN ({})'.format(table.name, chosen)))


def remove_unnamed_file(location, logger=log):
    """Removes the container file at `location`, which no record names any more. A file left
    behind is only space, not a wrong value: a failure to remove it is a warning on `logger`."""
    try:
        ofs_package().client.delete(seed=location.encode("utf-8"))
    except OSError as error:
        logger.warning("A container file that no record names could not be removed: %s", type(error).__name__)


def _warn_dropped(count, what):
    if count:
        log.warning("Rows of %s in the local store do not open under its key (%d dropped); the broker holds the "
                    "record.", what, count)


def drop_unreadable(db, owner_id):
    """Drops, in one transaction, the rows of `db` that no longer open under its key (sealed under
    another key, or damaged), with the records they leave incomplete, and removes the files of
    the containers dropped; returns how many rows went.

    The database is a cache of the broker: what it drops, the next get of the container from
    the broker keeps again. A container goes with an access of its that does not open; and
    when an access does not even tell its container, so do the containers that lack an access
    of the database's owner, as every container kept for its owner has one.
    """
    from norvo.providers.ofs import models

    accesses, containers = models.ContainerAccess.__table__, models.Container.__table__
    with local_write(db) as session:
        gone, incomplete, unknown, granted = [], set(), False, set()
        for rowid, values, sound in _opened_rows(session, accesses):
            if sound:
                granted.add((values["user_id"], values["container_id"]))
                continue
            gone.append(rowid)
            if values.get("container_id") is None:
                unknown = True
            else:
                incomplete.add(values["container_id"])
        _delete_rows(session, accesses, gone)
        count = len(gone)
        gone, locations = [], []
        for rowid, values, sound in _opened_rows(session, containers):
            cid = values.get("id")
            whole = cid is not None and cid not in incomplete and not (unknown and (owner_id, cid) not in granted)
            if sound and whole:
                continue
            gone.append(rowid)
            if values.get("ofs_location"):
                locations.append(values["ofs_location"])
        # The accesses of a container dropped go with it (ON DELETE CASCADE).
        _delete_rows(session, containers, gone)
        count += len(gone) + _drop_unreadable_rows(session, models.Key.__table__)
    for location in locations:
        remove_unnamed_file(location)
    if count:
        log.warning("Rows of the local store of %s do not open under its key (%d dropped); the next get of their "
                    "containers from the broker keeps them again.", owner_id, count)
    return count


class LocalStore(object):
    """The logged-in user's database and key file in the file store.

    `database` is the user's open NorvoDatabase while one is logged in with the local store on,
    else None; inside an operation, the database of the user it started as. The database that
    a logout lets go of is kept, without sessions, connections or anything of the user's keys,
    for the next login of the same user in this process: while its file is still there, sound
    and current, that login finds it ready instead of opening, checking and migrating the file
    again. Any other user's login opens a database object of its own.
    """

    def __init__(self):
        self._database = None
        self._owner = None  # the id of the user whose database is open
        self._idle = None  # (user id, database) let go at the last logout

    @property
    def database(self):
        operation = _operation.current()
        if operation is not None and operation.store is self:
            return operation.database
        return self._database

    def open(self, user):
        """Opens `user`'s database and records the user and its public keys in it. Another
        user's database in this user's place is set aside and begun again."""
        from norvo.providers.ofs import database, models

        ofs_package().session.user = user
        # The database key belongs to this user alone: derive it afresh.
        models.get_sa_key.cache_clear()
        idle, self._idle = self._idle, None
        db = idle[1] if idle is not None and idle[0] == user.id else database.NorvoDatabase()
        self._database, self._owner = db, user.id
        db.initialize(user.id, reopen=True)  # which moves aside a file that is no sound database
        foreign = _record_user(db, user)
        if foreign is not None:
            self._release(keep=False)
            database._set_aside(db.path, "other-key", foreign)
            db = database.NorvoDatabase()
            self._database, self._owner = db, user.id
            db.initialize(user.id)
            _record_user(db, user)

    def close(self, keep=True):
        """Forgets the logged-in user here: the local session's user, the database key, and the
        open database, which `keep` keeps for that user's next login."""
        ofs = sys.modules.get("norvo.providers.ofs")
        if ofs is not None:
            ofs.session.user = None
        models = sys.modules.get("norvo.providers.ofs.models")
        if models is not None:
            models.get_sa_key.cache_clear()
        self._release(keep)

    def forget(self):
        """Closes the database, and the one kept for the next login."""
        self.close(keep=False)
        self._idle = None

    def _release(self, keep):
        db, owner, self._database, self._owner = self._database, self._owner, None, None
        if db is None:
            return
        close_database(db)
        if keep and hasattr(db, "session"):  # opened whole
            # The registry goes: the sessions that other threads opened through it, and the rows
            # they hold, go with it. The next initialize makes a new one.
            del db.session
            self._idle = (owner, db)

    def remember_keys(self, ring):
        """Keeps another user's public keys in the open database, if any. The broker's ring is
        the record: a store that refuses the copy is a warning, not a failed fetch."""
        db = self.database
        if db is None:
            return
        try:
            with local_write(db) as session:
                _store_key_rows(session, ring.user_id, _ring_keys(ring))
        except Exception as error:
            log.warning("The public keys of %s could not be kept in the local store: %s", ring.user_id,
                        type(error).__name__)

    def delete_user(self, user_id):
        """Removes the user's container files, then the database that lists them, then the key file.

        In that order a removal that failed half-way (a store refusing a write) finishes when it
        runs again: while the database file is there, it lists every container file left, and
        it is opened again to read them when an earlier attempt closed it. A part already gone
        is passed over.
        """
        from norvo.providers.ofs import database, models

        ofs = ofs_package()
        self._idle = None
        db = self.database
        if db is None and database.get_file_path(user_id).is_file():
            db = database.NorvoDatabase()
            db.initialize(user_id)
        if db is not None:
            try:
                with local_write(db, read_only=True) as session:
                    # The locations alone, cell by cell: the other cells of a damaged row need not
                    # open here, and a location that does not open names no file to find.
                    locations = [values["ofs_location"] for _, values, _ in
                                 _opened_rows(session, models.Container.__table__, names=("ofs_location",))
                                 if values.get("ofs_location")]
                for location in locations:
                    _remove(ofs.client, location.encode("utf-8"))
                db.delete(prompt=False)
            finally:
                # Closed whatever happened: a failed deletion leaves it unusable, and the next
                # attempt opens the file again.
                if db is self._database:
                    self._release(keep=False)
                else:
                    close_database(db)
        _remove(ofs.client, _key_file_seed(user_id))

    # -- the key file

    def read_key_file(self, user_id):
        """The bytes of the user's key file here, or None when there is none.

        Read by the store's own checked read, which refuses what leads out of the store (a link
        planted in the file's place). The broker holds the record, so a copy that cannot be read,
        whatever the error, is passed over with a warning.
        """
        try:
            return ofs_package().client.get(seed=_key_file_seed(user_id))
        except FileNotFoundError:
            return None
        except Exception as error:
            log.warning("The local key file of %s cannot be read (%s): the broker's copy is used.", user_id,
                        type(error).__name__)
            return None

    @staticmethod
    def store_key_file(user_id, data):
        ofs_package().client.write_bytes(data, seed=_key_file_seed(user_id))

    def keep_key_file(self, user_id, data):
        # The broker holds the record: a local copy that cannot be written costs nothing but
        # the next login's fetch. The copy it was to replace is out of date (it may open with
        # credentials since changed), so it goes where the store allows.
        # Whatever the error: the store refuses a link planted in the file's place as a
        # ValueError, and any other failure of the copy costs no more.
        try:
            self.store_key_file(user_id, data)
        except Exception as error:
            log.warning("The broker's key file of %s could not be kept locally: %s", user_id, type(error).__name__)
            try:
                ofs_package().client.delete(seed=_key_file_seed(user_id))
            except Exception:
                pass
