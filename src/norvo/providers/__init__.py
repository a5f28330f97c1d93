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
  user behind: session, token, database key and open sessions and connections (the database's
  engine waits for the same user's next login);
- ``operation()`` is the scope of one operation (re-entrant within one context): it takes the
  logged-in user and that user's database when it is entered, and until it is left
  ``session.user``, the local provider's ``session.user`` and ``database`` read as those, and
  the broker session is bound to that user. A login or logout meanwhile changes only the
  operations that start after it, and never waits for a running one;
- ``user`` registers, deletes and re-keys accounts and reads reminders; ``strongbox`` stores
  key files; ``keys.get(user_id)`` gives another user's public key ring.

Broker paths used here (below "v1.0/"): "accounts/", "accounts/<id>/", "accounts/<id>/keys/",
"accounts/<id>/keyfile/", "accounts/<id>/reminder/" and "login/" (DELETE ends the session);
the container operations of ``norvo.container`` add "containers/" and "containers/<id>/".

The container stand-in (``norvo.container``) reaches the provider through a small interface:
``require_user()`` (the logged-in ``User``), ``broker()`` (requests and object transfers),
``local`` and ``database`` (the logged-in user's ``NorvoDatabase``, None while there is none),
``local_database()``, ``operation()``; and the helpers of this package: ``local_write``, the one
transaction through which every read and write of that database goes, ``drop_unreadable``,
which drops the rows that no longer open under the database's key, ``remove_unnamed_file`` for
a container file that no row names any more, ``as_id`` for the ids callers give, and
``reply_lost``, which tells a request whose reply was lost from one never sent.

For tests: ``session.user`` may be assigned directly, ``keys.add(ring)`` makes a public ring
known without a broker, and ``reset()`` forgets everything without contacting anyone.

The parts live beside this file: ``_broker`` (requests, ids, key records), ``_accounts`` (the
``user``, ``strongbox`` and ``keys`` parts, and the key file at login), ``_local`` (the local
store and its transactions).
"""
import logging
import os
import sys
import threading
import urllib.parse
import weakref

from norvo.providers import _operation
from norvo.providers._accounts import Accounts, KeyDirectory, KeyFiles, open_key_file, user_id_of
from norvo.providers._broker import (DEFAULT_SERVER_URL, Broker, UnreadableReply, as_id, broker_call,
                                     public_records, reply_lost, server_package)
from norvo.providers._local import (KEY_FILE_SEED, LocalStore, close_database, drop_unreadable, local_write,
                                    ofs_package, remove_unnamed_file)

__all__ = ["DEFAULT_SERVER_URL", "KEY_FILE_SEED", "Accounts", "KeyDirectory", "KeyFiles", "Provider", "Session",
           "UnreadableReply", "as_id", "broker_call", "current", "drop_unreadable", "get", "local_write",
           "public_records", "remove_unnamed_file", "reply_lost", "set_current"]

log = logging.getLogger(__name__)

# Every provider made, for the fork hook below.
_providers = weakref.WeakSet()

_BROKER = Broker()

_current_operation = _operation.current


class Session(object):
    """Holds the logged-in user; None while nobody is logged in. Inside an operation, `user`
    reads as the user that the operation started as."""

    def __init__(self):
        self._user = None

    @property
    def user(self):
        # Read for every cell that the database seals or opens: kept to a lookup and a test.
        operation = _current_operation()
        if operation is not None and self in operation.sessions:
            return operation.user
        return self._user

    @user.setter
    def user(self, user):
        self._user = user


class Provider(object):
    """The provider over the broker and, with a root directory, the local store."""

    def __init__(self):
        self._local = LocalStore()
        self.session = Session()
        self.keys = KeyDirectory(self, self._local)
        self.user = Accounts(self, self._local)
        self.strongbox = KeyFiles(self, self._local)
        self.settings = {}
        self.server_url = None
        self.root_dir = None
        self._account_gone = None  # the id of the account the broker deleted with its session
        self._lock = threading.RLock()
        _providers.add(self)

    @property
    def configured(self):
        return self.server_url is not None

    @property
    def local(self):
        return self.root_dir is not None

    @property
    def database(self):
        """The logged-in user's NorvoDatabase, with the local store on; else None. Inside an
        operation, the database of the user it started as."""
        return self._local.database

    def operation(self):
        """The scope of one operation: see the module's documentation."""
        return _operation.OperationScope(self)

    # -- what the stand-ins use

    def require_user(self):
        """The logged-in User; RuntimeError while nobody is logged in."""
        if self.session.user is None:
            raise RuntimeError("Must login!")
        return self.session.user

    def broker(self):
        """The broker, once the provider is initialized; RuntimeError before."""
        if not self.configured:
            raise RuntimeError("The provider is not initialized: call initialize first.")
        return _BROKER

    def local_database(self):
        """The logged-in user's database; RuntimeError while there is none (the local store
        off, or nobody logged in)."""
        if not self.local or self.database is None:
            raise RuntimeError("The local store is off: initialize with root_dir and log in.")
        return self.database

    # -- start-up

    def initialize(self, api_key, app_name=None, server_url=DEFAULT_SERVER_URL, root_dir=None):
        try:
            urllib.parse.urlparse(server_url)
        except Exception:
            raise ValueError("server_url is not a valid url.")
        # A key that cannot go into a request header (read from a file with its line break,
        # say) is refused by what is wrong with it, never quoting it, before anything changes.
        server_package().session.check_api_key(api_key)
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
            if root_dir is not None:
                # The store judges its root before anything else changes: one it refuses
                # leaves the store, the login and the configuration as they were.
                ofs = ofs_package()
                previous = ofs.client.ROOT_DIR
                ofs.client.ROOT_DIR = text
                try:
                    ofs.client.initialize()
                except BaseException:
                    ofs.client.ROOT_DIR = previous
                    raise
            if self.session.user is not None:
                self.logout()
            server = server_package()
            server.session.initialize(api_key, server_url, app_name=app_name)
            server.client.URL = server_url
            self.server_url, self.root_dir = server_url, root_dir
            self.settings = {"app_name": app_name, "server_url": server_url, "root_dir": root_dir}
        log.info("Provider initialized: broker %s, local store %s", server_url,
                 "at {}".format(ofs_package().client.root) if root_dir is not None else "off")

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
        user_id = user_id_of(user_id)
        key_file = open_key_file(self.broker(), self._local if self.local else None, user_id, password, passphrase)
        return self._login_user(User(user_id, key_file))

    def logout(self, *args, **kwargs):
        """Ends the broker session (its token is dropped by the broker too) and forgets the user.
        Operations still running go on as the user they started as, as far as they can."""
        running = _current_operation()
        if running is not None and running.provider is self and running.user is not self.session._user:
            # Called by an operation whose user has logged out since: whoever logged in meanwhile
            # is not that operation's to log out.
            return
        with self._lock, _operation.Outside():
            user = self.session.user
            # Forgotten here before the broker ends the token: a request of the user's running
            # operations that the broker then refuses is known for what it is.
            self.session.user = None
            loaded = sys.modules.get("norvo.providers.server")
            if loaded is not None and loaded.session.token and loaded.session.user is not None \
                    and self._account_gone != loaded.session.user.id and self.configured:
                try:
                    loaded.client.delete("login")
                except Exception as error:  # the session is forgotten here all the same
                    log.warning("The broker did not end the session: %s", type(error).__name__)
            self._forget()
        if user is not None:
            log.info("Logged out %s", user)

    def reset(self):
        """Forgets the user, the known key rings and the configuration; contacts nobody."""
        with self._lock:
            self._forget()
            self._local.forget()
            self.keys.clear()
            self.server_url = self.root_dir = None
            self.settings = {}

    # -- inside

    def _login_user(self, user):
        with self._lock, _operation.Outside():
            self.logout()  # whoever was logged in leaves nothing behind
            self.broker()
            server = server_package()
            server.session.authenticate(server.client, user)
            self._account_gone = None
            try:
                self.session.user = user
                if self.local:
                    self._local.open(user)
            except BaseException:
                self._forget()
                raise
        log.info("Logged in %s", user)
        return user

    def _forget(self):
        loaded = sys.modules.get("norvo.providers.server")
        if loaded is not None:
            loaded.session.logout()
        self.session.user = None
        self._local.close()

    # -- operations

    def _start_operation(self):
        # Taken together, between logins: a login holds the lock from its logout to the
        # opening of the new user's database.
        with self._lock:
            user = self.session._user
            database = self._local._database if user is not None else None
        sessions = [self.session]
        ofs = sys.modules.get("norvo.providers.ofs")
        if ofs is not None:
            sessions.append(ofs.session)
        binding = server_package().session.bound_to(user) if user is not None else None
        return _operation.Operation(self, user, database, self._local, tuple(sessions), binding)

    def _end_operation(self, operation):
        """What an operation leaves once its user has logged out, or another user logged in,
        while it ran: nothing of theirs stays open or derived here."""
        if not operation.ended:
            return
        if operation.database is not None and operation.database is not self._local._database:
            close_database(operation.database)
        models = sys.modules.get("norvo.providers.ofs.models")
        if models is not None:
            models.get_sa_key.cache_clear()


_lock = threading.Lock()
_current = Provider()


def _free_locks_in_child():
    # A lock that a thread held at the fork (a login holds the provider's through its broker
    # round trip) would be held for good by a thread the child does not have: the child starts
    # with free ones, and the providers as the fork found them.
    global _lock
    _lock = threading.Lock()
    for provider in list(_providers):
        provider._lock = threading.RLock()


os.register_at_fork(after_in_child=_free_locks_in_child)


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
