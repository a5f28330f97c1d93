"""Stand-in for the provider package: plain Python over the server provider and the local store.

``get()`` yields the current provider as a context manager: usable before ``initialize``,
nestable, and never swallowing an error raised inside its block. The provider

- ``initialize(api_key, app_name=None, server_url=DEFAULT_SERVER_URL, root_dir=None)``
  configures the broker session and the REST client's URL and, given a root directory,
  the local file store;
- ``login(user_id, password=None, passphrase=None)`` opens the user's key file (from the local
  store when it holds one, else from the broker) with the password, or with the passphrase
  through its rescue section, then logs the broker session in and opens the user's database;
  ``login(user=...)`` does the same for a ``User`` at hand; ``logout()`` leaves nothing of the
  user behind: session, token, database key and open database;
- ``user`` registers, deletes and re-keys accounts and reads reminders; ``strongbox`` stores
  key files; ``keys.get(user_id)`` gives another user's public key ring.

Broker paths used here (below "v1.0/"): "accounts/", "accounts/<id>/", "accounts/<id>/keys/",
"accounts/<id>/keyfile/", "accounts/<id>/reminder/" and "login/" (DELETE ends the session);
the container operations of ``norvo.container`` add "containers/" and "containers/<id>/".

For tests: ``session.user`` may be assigned directly, ``keys.add(ring)`` makes a public ring
known without a broker, and ``reset()`` forgets everything without contacting anyone.
"""
import base64
import contextlib
import importlib
import logging
import os
import sys
import threading
import urllib.parse

log = logging.getLogger(__name__)

DEFAULT_SERVER_URL = "https://broker.norvo.example/api/"

# Where a user's key file lies in the local store: the store hashes this seed into a path.
KEY_FILE_SEED = "{user_id}KeyFile"

_CREDENTIAL_REFUSALS = (
    ("password", "password does not meet complexity requirements."),
    ("passphrase", "passphrase does not meet complexity requirements."),
    ("reminder", "reminder does not meet complexity requirements."),
)


def _server():
    return importlib.import_module("norvo.providers.server")


def _ofs():
    return importlib.import_module("norvo.providers.ofs")


def _uuid(value):
    from norvo.utils import UUID

    return UUID(value)


def _user_id(value):
    """A user id given to the provider, as a UUID: its text or a UUID."""
    import uuid

    if value is not None and not isinstance(value, (str, uuid.UUID)):
        raise TypeError("user_id must be a UUID or its text, not {}".format(type(value).__name__))
    try:
        return _uuid(value)
    except ValueError:
        raise ValueError("user_id must be a UUID string.") from None


def broker_call(what, method, path, **kwargs):
    """Sends one request through the REST client; returns the decoded JSON reply, an object.

    A refusal by the broker becomes PermissionError (403) or LookupError (404), with the
    broker's reason; a reply that is no JSON object, ValueError; other failures pass
    unchanged. `what` names the action for the message.
    """
    import requests

    try:
        reply = method(path, **kwargs).json()
    except requests.HTTPError as error:
        status = getattr(error.response, "status_code", None)
        if status not in (403, 404):
            raise
        try:
            reason = error.response.json()["error"]
        except (ValueError, KeyError, TypeError, RecursionError):
            # A refusal whose body is no JSON object with an "error" (or nests deeper than the
            # decoder goes) is still the refusal.
            reason = "status {}".format(status)
        message = "{}: refused by the broker: {}".format(what, reason)
        raise (PermissionError if status == 403 else LookupError)(message) from error
    # Every reply of the broker is a JSON object; anything else would fail later, unclearly,
    # wherever a member is read from it.
    if not isinstance(reply, dict):
        raise ValueError("{}: the broker's reply is not a JSON object.".format(what))
    return reply


def public_records(keys, user_id=None):
    """Public-key records, as the broker keeps them, of (key type, index, key) triples; without
    a `user_id` they carry no "userId" (the broker fills it in when it registers an account)."""
    from norvo import crypto
    from norvo.crypto.keys import KeyType

    records = []
    for key_type, index, key in keys:
        pem = crypto.to_pem_public(key.public)
        record = {"index": index, "keyType": "auth" if key_type == KeyType.AUTH else "derivation",
                  "pubKey": pem.decode("ascii") if isinstance(pem, bytes) else pem, "active": bool(key.active)}
        if user_id is not None:
            record["userId"] = str(user_id)
        records.append(record)
    return records


# SQLite's result code for a database that another connection holds: it has already waited
# for it as long as its busy timeout allows, so another attempt waits as long again.
_SQLITE_BUSY = 5
_BEGIN_ATTEMPTS = 3


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
def local_write(db):
    """A session on the local database `db` whose work is one transaction, committed on leaving
    and rolled back on an error.

    It begins at once with the database's write lock, so that what it reads stays true until it
    commits, whatever other processes of the same user write meanwhile: a replace is a read
    and a write that nobody else comes between.
    """
    from sqlalchemy.orm import Session

    with Session(db.engine) as session:
        _begin_immediate(session.connection())
        try:
            yield session
            session.commit()
        except BaseException:
            session.rollback()
            raise


def _ring_keys(ring):
    from norvo.crypto.keys import KeyType

    return [(t, i, k) for t in (KeyType.AUTH, KeyType.DERIVATION) for i, k in sorted(ring[t].items())]


class Session(object):
    """Holds the logged-in user; None while nobody is logged in."""

    def __init__(self):
        self.user = None


class KeyDirectory(object):
    """Public key rings of other users, by user id: those added by hand, else the broker's."""

    def __init__(self, provider=None):
        self._p = provider
        self._rings = {}

    def add(self, key_ring):
        self._rings[key_ring.user_id] = key_ring

    def clear(self):
        self._rings.clear()

    def get(self, user_id):
        # Rings added by hand are found by the id exactly as they were added.
        if user_id in self._rings:
            return self._rings[user_id]
        if self._p is None or not self._p.configured:
            raise KeyError("No key ring known for user {}".format(user_id))
        try:
            uid = _uuid(user_id)
        except (TypeError, ValueError):
            raise ValueError("user_id must be a UUID string.")
        return self._fetch(uid)

    def _fetch(self, uid):
        from norvo.crypto.keys import KeyRing, KeyType

        server = _server()
        try:
            reply = broker_call("fetch the keys of {}".format(uid), server.client.get, "accounts/{}/keys".format(uid))
        except LookupError:
            raise KeyError("No key ring known for user {}".format(uid))
        records = reply.get("keys") or []
        if any(str(r.get("userId")) != str(uid) for r in records):
            raise ValueError("The broker answered with keys of another user for {}".format(uid))
        ring = KeyRing(pub_keys=records, user_id=uid)
        if ring.get_first_valid(KeyType.DERIVATION) is None:
            raise KeyError("User {} has no active derivation key".format(uid))
        self._p._remember_keys(ring)
        return ring


class Accounts(object):
    """The provider's ``user`` part: accounts on the broker."""

    def __init__(self, provider):
        self._p = provider

    def create(self, signing_key, derivation_key):
        """Registers an account for the two fresh keys; returns its User, key file decrypted."""
        from norvo.crypto.keys import KeyType
        from norvo.crypto.strongbox import KeyFile
        from norvo.user import User

        server = self._p._configured_server()
        # The key file gives both keys the index 0; the broker learns the same.
        records = public_records([(KeyType.AUTH, 0, signing_key), (KeyType.DERIVATION, 0, derivation_key)])
        reply = broker_call("register an account", server.client.post, "accounts", json={"keys": records}, auth=False)
        user_id = _uuid(reply["userId"])
        key_file = KeyFile(signing_key=signing_key, derivation_key=derivation_key, user_id=user_id)
        log.info("Registered account %s", user_id)
        return User(user_id, key_file)

    def delete(self, user):
        """Removes the account's copies from the local store, then the account from the broker.

        The local store is a cache of what the broker holds, so it goes first: were the broker
        step to come first and the local one to fail, the files would stay where nothing could
        reach them any more. When either step fails, its error is raised and the user stays
        logged in, so that deleting again finishes the job.
        """
        server = self._p._configured_server()
        if self._p.local:
            self._p._delete_local(user.id)
        broker_call("delete the account", server.client.delete, "accounts/{}".format(user.id))
        self._p._account_gone = True

    def get_backup_reminder(self, user_id):
        server = self._p._configured_server()
        uid = _user_id(user_id)
        reply = broker_call("read the reminder", server.client.get, "accounts/{}/reminder".format(uid), auth=False)
        return reply["reminder"]

    def change_credentials(self, password, passphrase, reminder=None, password_validator=None,
                           reminder_validator=None, passphrase_validator=None):
        """Re-encrypts the logged-in user's key file under the new credentials and stores it.

        A reminder of None keeps the stored one. Returns True once both copies are stored.
        """
        from norvo import utils

        user = self._p._logged_in_user()
        checks = {"password": (password_validator or utils.is_password_valid, password),
                  "passphrase": (passphrase_validator or utils.is_passphrase_valid, passphrase),
                  "reminder": (reminder_validator or utils.is_reminder_valid, reminder)}
        for name, message in _CREDENTIAL_REFUSALS:
            validator, value = checks[name]
            if not validator(value):
                log.info(message)
                raise ValueError(message)
        key_file = _key_file_of(user)
        key_file.encrypt(password=password, passphrase=passphrase)
        self._p.strongbox._store(user, key_file, reminder, keep_reminder=reminder is None)
        log.info("Credentials of %s changed", user)
        return True


def _key_file_of(user):
    """A new decrypted key file holding every key of the user's ring: each index of both sections,
    with its active flag, as the key file the user logged in with holds them."""
    from norvo import crypto
    from norvo.crypto.keys import KeyType
    from norvo.crypto.strongbox import KeyFile

    ring = user.keys
    sections = (KeyType.AUTH, KeyType.DERIVATION)
    # Made from any one key, then given the whole ring: the constructor takes one key of each kind.
    some_key = next(key for key_type in sections for key in ring[key_type].values())
    key_file = KeyFile(signing_key=some_key, derivation_key=some_key, user_id=user.id)
    document = key_file.data
    for key_type in sections:
        document[str(key_type)] = {
            str(index): {"active": bool(key.active), "index": index, "isPublic": False,
                         "key": crypto.to_pem_private(key.private).decode("utf-8")}
            for index, key in sorted(ring[key_type].items())}
    return key_file


class KeyFiles(object):
    """The provider's ``strongbox`` part: the logged-in user's key file on the broker and locally."""

    def __init__(self, provider):
        self._p = provider

    def update_or_create(self, strongbox, reminder=None, passphrase=None):
        """Stores the logged-in user's encrypted key file and the reminder.

        The passphrase is not needed for that and never leaves this process.
        """
        self._store(self._p._logged_in_user(), strongbox, reminder)

    def _store(self, user, strongbox, reminder, keep_reminder=False):
        if not strongbox.encrypted:
            raise ValueError("Only an encrypted key file can be stored.")
        if strongbox.user_id is not None and strongbox.user_id != user.id:
            raise ValueError("The key file belongs to another user than {}".format(user))
        data = strongbox.data
        body = {"keyFile": base64.b64encode(data).decode("ascii")}
        if not keep_reminder:
            body["reminder"] = reminder
        server = self._p._configured_server()
        broker_call("store the key file", server.client.put, "accounts/{}/keyfile".format(user.id), json=body)
        if self._p.local:
            _ofs().client.write_bytes(data, seed=KEY_FILE_SEED.format(user_id=user.id).encode("utf-8"))


class Provider(object):
    """The provider over the broker and, with a root directory, the local store."""

    def __init__(self):
        self.session = Session()
        self.keys = KeyDirectory(self)
        self.user = Accounts(self)
        self.strongbox = KeyFiles(self)
        self.settings = {}
        self.server_url = None
        self.root_dir = None
        self.database = None  # the logged-in user's NorvoDatabase, with the local store on
        self._account_gone = False
        self._lock = threading.RLock()

    @property
    def configured(self):
        return self.server_url is not None

    @property
    def local(self):
        return self.root_dir is not None

    # -- start-up

    def initialize(self, api_key, app_name=None, server_url=DEFAULT_SERVER_URL, root_dir=None):
        try:
            urllib.parse.urlparse(server_url)
        except Exception:
            raise ValueError("server_url is not a valid url.")
        if root_dir is not None:
            # Refused before anything changes: a number would name a folder by its digits, and
            # an empty text the current directory, which nobody chose.
            from os import PathLike, fspath

            text = fspath(root_dir) if isinstance(root_dir, (str, PathLike)) else None
            if not isinstance(text, str):
                raise TypeError("root_dir must be text or a path, not {}".format(
                    type(root_dir if text is None else text).__name__))
            if not text:
                raise ValueError("root_dir must not be empty.")
        with self._lock:
            if self.session.user is not None:
                self.logout()
            server = _server()
            if root_dir is not None:
                ofs = _ofs()
                ofs.client.ROOT_DIR = text
                ofs.client.initialize()
            server.session.initialize(api_key, server_url, app_name=app_name)
            server.client.URL = server_url
            self.server_url, self.root_dir = server_url, root_dir
            self.settings = {"app_name": app_name, "server_url": server_url, "root_dir": root_dir}
        log.info("Provider initialized: broker %s, local store %s", server_url,
                 "at {}".format(_ofs().client.root) if root_dir is not None else "off")

    # -- login and logout

    def login(self, user_id=None, password=None, passphrase=None, user=None):
        from norvo.user import User

        if user is not None:
            if not isinstance(user, User):
                raise TypeError("user must be a User, not {}".format(type(user).__name__))
            return self._login_user(user)
        if password is None and passphrase is None:
            raise ValueError('One of "password" or "passphrase" must be provided.')
        # The key file hashes a password given as text or bytes, and encodes a passphrase.
        if password is not None and not isinstance(password, (str, bytes)):
            raise TypeError("password must be str, bytes or None, not {}".format(type(password).__name__))
        if passphrase is not None and not isinstance(passphrase, str):
            raise TypeError("passphrase must be str or None, not {}".format(type(passphrase).__name__))
        user_id = _user_id(user_id)
        self._configured_server()
        return self._login_user(User(user_id, self._open_key_file(user_id, password, passphrase)))

    def logout(self, *args, **kwargs):
        """Ends the broker session (its token is dropped by the broker too) and forgets the user."""
        with self._lock:
            user = self.session.user
            server = sys.modules.get("norvo.providers.server")
            if server is not None and server.session.token and server.session.user is not None \
                    and not self._account_gone and self.configured:
                self._end_broker_session(server)
            self._forget()
        if user is not None:
            log.info("Logged out %s", user)

    def reset(self):
        """Forgets the user, the known key rings and the configuration; contacts nobody."""
        with self._lock:
            self._forget()
            self.keys.clear()
            self.server_url = self.root_dir = None
            self.settings = {}

    # -- inside

    def _configured_server(self):
        if not self.configured:
            raise RuntimeError("The provider is not initialized: call initialize first.")
        return _server()

    def _logged_in_user(self):
        if self.session.user is None:
            raise RuntimeError("Must login!")
        return self.session.user

    def _key_file_sources(self, user_id):
        """The stored key-file bytes to try, in order: the local copy, then the broker's when it
        differs. A local copy that cannot be read is passed over; the broker's errors pass."""
        local = None
        if self.local:
            path = _ofs().client.get_file_path(seed=KEY_FILE_SEED.format(user_id=user_id).encode("utf-8"))
            try:
                local = path.read_bytes() if path.is_file() else None
            except OSError as error:
                log.warning("The local key file of %s cannot be read (%s): the broker's copy is used.", user_id,
                            type(error).__name__)
            if local is not None:
                yield "local", local
        server = _server()
        reply = broker_call("fetch the key file", server.client.get, "accounts/{}/keyfile".format(user_id),
                            auth=False)
        data = base64.b64decode(reply["keyFile"])
        if data != local:
            yield "broker", data

    def _open_key_file(self, user_id, password, passphrase):
        """The user's key file, opened with the password or the passphrase.

        The local copy is a cache of the broker's: one that does not open (cut short, emptied,
        overwritten, another account's) gives way to the broker's copy, which then replaces it.
        """
        from norvo.crypto.aes import DecryptionError

        refused = None  # a copy's refusal of these credentials
        damaged = None  # why the local copy does not open otherwise
        sources = self._key_file_sources(user_id)
        while True:
            try:
                source, data = next(sources)
            except StopIteration:
                break
            except Exception:
                # The broker out of reach: a local copy that refused the credentials has the
                # answer to report (it may predate a change of credentials, but it is all there is).
                if refused is None:
                    raise
                raise refused
            try:
                key_file = self._decrypted_key_file(data, user_id, password, passphrase)
            except DecryptionError as error:
                refused = error
                continue
            except Exception as error:
                if source != "local":
                    raise
                damaged = error
                log.warning("The local key file of %s does not open (%s): the broker's copy replaces it.", user_id,
                            type(error).__name__)
                continue
            if source == "broker" and self.local:
                self._keep_key_file(user_id, data)
            return key_file
        # The broker's copy is the local one, and neither opens.
        raise refused if refused is not None else damaged

    @staticmethod
    def _decrypted_key_file(data, user_id, password, passphrase):
        from norvo.crypto.strongbox import KeyFile

        key_file = KeyFile(enc_data=data)
        if password is not None:
            key_file.decrypt(password)
        else:
            key_file.decrypt(key_file.rescue.get_password(passphrase))
        if key_file.user_id != user_id:
            raise ValueError("The key file found for {} belongs to another user.".format(user_id))
        return key_file

    @staticmethod
    def _keep_key_file(user_id, data):
        # The broker holds the record: a local copy that cannot be written costs nothing but
        # the next login's fetch.
        try:
            _ofs().client.write_bytes(data, seed=KEY_FILE_SEED.format(user_id=user_id).encode("utf-8"))
        except OSError as error:
            log.warning("The broker's key file of %s could not be kept locally: %s", user_id, type(error).__name__)

    def _login_user(self, user):
        with self._lock:
            self.logout()  # whoever was logged in leaves nothing behind
            server = self._configured_server()
            server.session.authenticate(server.client, user)
            self._account_gone = False
            try:
                self.session.user = user
                if self.local:
                    self._open_database(user)
            except BaseException:
                self._forget()
                raise
        log.info("Logged in %s", user)
        return user

    def _open_database(self, user):
        ofs = _ofs()
        from norvo.providers.ofs import database, models

        ofs.session.user = user
        # The database key belongs to this user alone: derive it afresh.
        models.get_sa_key.cache_clear()
        db = database.NorvoDatabase()
        self.database = db
        db.initialize(user.id)  # which moves aside a file that is no sound database
        foreign = self._record_user(db, user)
        if foreign is not None:
            # Another user's database in this user's place: set aside, and begun again.
            self._release_database()
            database._set_aside(db.path, "other-key", foreign)
            db = database.NorvoDatabase()
            self.database = db
            db.initialize(user.id)
            self._record_user(db, user)

    def _record_user(self, db, user):
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
            self._store_key_rows(session, user.id, _ring_keys(user.keys))
        return None

    def _remember_keys(self, ring):
        """Keeps another user's public keys in the local database, when it is open. The broker's
        ring is the record: a store that refuses the copy is a warning, not a failed fetch."""
        if self.database is None:
            return
        try:
            with local_write(self.database) as session:
                self._store_key_rows(session, ring.user_id, _ring_keys(ring))
        except Exception as error:
            log.warning("The public keys of %s could not be kept in the local store: %s", ring.user_id,
                        type(error).__name__)

    @staticmethod
    def _store_key_rows(session, user_id, keys):
        from norvo import crypto
        from norvo.providers.ofs import models

        for key_type, index, key in keys:
            pem = crypto.to_pem_public(key.public)
            pem = pem if isinstance(pem, bytes) else pem.encode("ascii")
            row = session.query(models.Key).filter(models.Key.user_id == user_id, models.Key.key_type == key_type,
                                                   models.Key.index == index).one_or_none()
            if row is None:
                session.add(models.Key(user_id=user_id, key_type=key_type, index=index, pub_key=pem,
                                       active=bool(key.active)))
            else:
                row.pub_key, row.active = pem, bool(key.active)

    def _end_broker_session(self, server):
        try:
            server.client.delete("login")
        except Exception as error:  # the session is forgotten here all the same
            log.warning("The broker did not end the session: %s", type(error).__name__)

    def _forget(self):
        server = sys.modules.get("norvo.providers.server")
        if server is not None:
            server.session.logout()
        self.session.user = None
        ofs = sys.modules.get("norvo.providers.ofs")
        if ofs is not None:
            ofs.session.user = None
        models = sys.modules.get("norvo.providers.ofs.models")
        if models is not None:
            models.get_sa_key.cache_clear()
        self._release_database()

    def _release_database(self):
        db, self.database = self.database, None
        if db is None:
            return
        registry = getattr(db, "session", None)
        if registry is not None:
            registry.remove()
        engine = getattr(db, "engine", None)
        if engine is not None:
            engine.dispose()
        return db

    def _delete_local(self, user_id):
        """Removes the user's container files, then the database that lists them, then the key file.

        In that order a removal that failed half-way (a store refusing a write) finishes when it
        runs again: while the database file is there, it lists every container file left, and
        it is opened again to read them when an earlier attempt closed it. A part already gone
        is passed over.
        """
        from norvo.providers.ofs import database, models

        ofs = _ofs()
        db = self.database
        if db is None and database.get_file_path(user_id).is_file():
            db = database.NorvoDatabase()
            db.initialize(user_id)
        if db is not None:
            try:
                session = db.session()
                try:
                    # The locations alone: the other cells of a damaged row need not open here.
                    locations = [location for (location,) in session.query(models.Container.ofs_location)
                                 if location]
                finally:
                    session.rollback()
                for location in locations:
                    ofs.client.delete(seed=location.encode("utf-8"))
                db.delete(prompt=False)
            finally:
                # Closed whatever happened: a failed deletion leaves it unusable, and the next
                # attempt opens the file again.
                if db is self.database:
                    self._release_database()
                else:
                    db.session.remove()
                    db.engine.dispose()
        ofs.client.delete(seed=KEY_FILE_SEED.format(user_id=user_id).encode("utf-8"))


_lock = threading.Lock()
_current = Provider()


def current():
    return _current


def set_current(provider):
    """Replace the current provider; returns the previous one."""
    global _current
    with _lock:
        previous, _current = _current, provider
    return previous


class _Scope(object):
    """What get() returns: entering it yields the provider current at that moment, and its exit
    never suppresses an error. A plain class rather than a generator: every container made
    enters the scope, so its cost is in every container's."""

    __slots__ = ()

    def __enter__(self):
        return _current

    def __exit__(self, exc_type, exc, tb):
        return False


_SCOPE = _Scope()


def get():
    """Yield the current provider. Errors raised in the block propagate unchanged."""
    return _SCOPE
