"""The provider's parts for accounts: ``user`` (accounts on the broker), ``strongbox`` (the
logged-in user's key file) and ``keys`` (other users' public key rings), and the opening of a
key file at login. Each part reaches the broker and the local store through the provider's
public interface and its local store."""
import base64
import json
import logging

from norvo.providers._broker import as_id, public_records

log = logging.getLogger("norvo.providers")

_CREDENTIAL_REFUSALS = (
    ("password", "password does not meet complexity requirements."),
    ("passphrase", "passphrase does not meet complexity requirements."),
    ("reminder", "reminder does not meet complexity requirements."),
)

# What a user id given to the provider is refused with when its text is no UUID.
_MALFORMED_USER_ID = "user_id must be a UUID string."


def user_id_of(value):
    """A user id given to the provider, as a UUID: its text or a UUID."""
    return as_id(value, "user_id", _MALFORMED_USER_ID)


class KeyDirectory(object):
    """Public key rings of other users, by user id: those added by hand, else the broker's."""

    def __init__(self, provider=None, local=None):
        self._p = provider
        self._local = local
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
            uid = user_id_of(user_id)
        except TypeError:
            raise ValueError(_MALFORMED_USER_ID) from None
        return self._fetch(uid)

    def _fetch(self, uid):
        """The broker's ring of `uid`, kept in the local store: one operation, so that the ring
        is asked for and kept as the user logged in when it began, in that user's database."""
        with self._p.operation():
            return self._fetch_now(uid)

    def _fetch_now(self, uid):
        from norvo.crypto.keys import KeyRing, KeyType

        try:
            reply = self._p.broker().call("fetch the keys of {}".format(uid), "get", "accounts/{}/keys".format(uid))
        except LookupError:
            raise KeyError("No key ring known for user {}".format(uid))
        records = reply.get("keys") or []
        if any(str(r.get("userId")) != str(uid) for r in records):
            raise ValueError("The broker answered with keys of another user for {}".format(uid))
        ring = KeyRing(pub_keys=records, user_id=uid)
        if ring.get_first_valid(KeyType.DERIVATION) is None:
            raise KeyError("User {} has no active derivation key".format(uid))
        if self._local is not None:
            self._local.remember_keys(ring)
        return ring


class Accounts(object):
    """The provider's ``user`` part: accounts on the broker."""

    def __init__(self, provider, local):
        self._p = provider
        self._local = local

    def create(self, signing_key, derivation_key):
        """Registers an account for the two fresh keys; returns its User, key file decrypted."""
        from norvo.crypto.keys import KeyType
        from norvo.crypto.strongbox import KeyFile
        from norvo.user import User
        from norvo.utils import UUID

        broker = self._p.broker()
        # The key file gives both keys the index 0; the broker learns the same.
        records = public_records([(KeyType.AUTH, 0, signing_key), (KeyType.DERIVATION, 0, derivation_key)])
        reply = broker.call("register an account", "post", "accounts", json={"keys": records}, auth=False)
        user_id = UUID(reply["userId"])
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
        broker = self._p.broker()
        user_id = getattr(user, "id", None)
        if user_id is None:
            raise TypeError("user must be a user with an id, not {}".format(type(user).__name__))
        with self._p.operation():
            # The local store holds the logged-in user's copies: another account is the broker's
            # to refuse, and must not cost this user their store first.
            own = user_id == self._p.require_user().id
            if own and self._p.local:
                self._local.delete_user(user_id)
            broker.call("delete the account", "delete", "accounts/{}".format(user_id))
            if own:  # the broker ended the session with the account: logging out has nothing to tell it
                self._p._account_gone = user_id

    def get_backup_reminder(self, user_id):
        broker = self._p.broker()
        uid = user_id_of(user_id)
        reply = broker.call("read the reminder", "get", "accounts/{}/reminder".format(uid), auth=False)
        return reply["reminder"]

    def change_credentials(self, password, passphrase, reminder=None, password_validator=None,
                           reminder_validator=None, passphrase_validator=None):
        """Re-encrypts the logged-in user's key file under the new credentials and stores it.

        The validators (None for a default) judge the credentials in the order password,
        passphrase, reminder: a refusal is a ValueError, as at account creation, so with the
        defaults None, the empty text and numbers are refused as too weak. A credential that a
        caller's own validator accepted and the key file cannot take (a password neither text
        nor bytes, a passphrase not text) is then a TypeError naming it. The reminder is
        stored as given (None keeps the stored one); one that the broker's JSON cannot carry
        unchanged is a ValueError. Nothing is stored after a refusal. Returns True once the
        broker's copy is stored; a local copy that cannot be written is a warning.
        """
        with self._p.operation():
            return self._change_credentials(password, passphrase, reminder, password_validator, reminder_validator,
                                            passphrase_validator)

    def _change_credentials(self, password, passphrase, reminder, password_validator, reminder_validator,
                            passphrase_validator):
        from norvo import utils

        user = self._p.require_user()
        checks = {"password": (password_validator or utils.is_password_valid, password),
                  "passphrase": (passphrase_validator or utils.is_passphrase_valid, passphrase),
                  "reminder": (reminder_validator or utils.is_reminder_valid, reminder)}
        for name, message in _CREDENTIAL_REFUSALS:
            validator, value = checks[name]
            if not validator(value):
                log.info(message)
                raise ValueError(message)
        passphrase = _key_file_passphrase(password, passphrase)
        _check_reminder(reminder)
        key_file = _key_file_of(user)
        key_file.encrypt(password=password, passphrase=passphrase)
        self._p.strongbox.store(user, key_file, reminder, keep_reminder=reminder is None)
        log.info("Credentials of %s changed", user)
        return True


def _key_file_passphrase(password, passphrase):
    """The passphrase as the key file takes it, text; bytes are the UTF-8 text the default
    validator judged them as. The key file hashes a password given as text or bytes."""
    if not isinstance(password, (str, bytes)):
        raise TypeError("password must be str or bytes, not {}".format(type(password).__name__))
    if isinstance(passphrase, str):
        return passphrase
    if isinstance(passphrase, bytes):
        try:
            return passphrase.decode("utf-8")
        except UnicodeDecodeError:
            raise TypeError("passphrase must be str or UTF-8 bytes; these bytes are not UTF-8") from None
    raise TypeError("passphrase must be str or bytes, not {}".format(type(passphrase).__name__))


def _check_reminder(reminder):
    """Refuses a reminder that the broker's JSON would not hand back as it was given: bytes, a
    set, a tuple (it comes back a list), a mapping with keys other than text, a float that is
    no number."""
    try:
        unchanged = json.loads(json.dumps(reminder, allow_nan=False)) == reminder
    except (TypeError, ValueError, RecursionError):
        unchanged = False
    if not unchanged:
        raise ValueError("The reminder cannot be stored as given: the broker keeps text, numbers, true and false, "
                         "lists and objects of these, or None, not {} as it is.".format(type(reminder).__name__))


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

    def __init__(self, provider, local):
        self._p = provider
        self._local = local

    def update_or_create(self, strongbox, reminder=None, passphrase=None):
        """Stores the logged-in user's encrypted key file and the reminder, as given; a reminder
        that the broker's JSON cannot carry unchanged is a ValueError, and nothing is stored.

        The passphrase is not needed for that and never leaves this process.
        """
        with self._p.operation():
            user = self._p.require_user()
            _check_reminder(reminder)
            self.store(user, strongbox, reminder)

    def store(self, user, strongbox, reminder, keep_reminder=False):
        """Stores `user`'s encrypted key file on the broker, then in the local store when it is
        on (a local failure, once the broker holds it, is a warning); the reminder too, unless
        `keep_reminder`."""
        if not strongbox.encrypted:
            raise ValueError("Only an encrypted key file can be stored.")
        if strongbox.user_id is not None and strongbox.user_id != user.id:
            raise ValueError("The key file belongs to another user than {}".format(user))
        data = strongbox.data
        body = {"keyFile": base64.b64encode(data).decode("ascii")}
        if not keep_reminder:
            body["reminder"] = reminder
        self._p.broker().call("store the key file", "put", "accounts/{}/keyfile".format(user.id), json=body)
        if self._p.local:
            self._local.keep_key_file(user.id, data)


# ---- opening a key file at login


def open_key_file(broker, local, user_id, password, passphrase):
    """The user's key file, opened with the password or the passphrase: the copy in `local`, the
    local store (None when it is off), else the broker's.

    The local copy is a cache of the broker's: one that does not open (cut short, emptied,
    overwritten, another account's) gives way to the broker's copy, which then replaces it.
    """
    from norvo.crypto.aes import DecryptionError

    refused = None  # a copy's refusal of these credentials
    damaged = None  # why the local copy does not open otherwise
    sources = _key_file_sources(broker, local, user_id)
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
            key_file = _decrypted_key_file(data, user_id, password, passphrase)
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
        if source == "broker" and local is not None:
            local.keep_key_file(user_id, data)
        return key_file
    # The broker's copy is the local one, and neither opens.
    raise refused if refused is not None else damaged


def _key_file_sources(broker, local, user_id):
    """The stored key-file bytes to try, in order: the local copy, then the broker's when it
    differs. A local copy that cannot be read is passed over; the broker's errors pass."""
    held = local.read_key_file(user_id) if local is not None else None
    if held is not None:
        yield "local", held
    reply = broker.call("fetch the key file", "get", "accounts/{}/keyfile".format(user_id), auth=False)
    data = base64.b64decode(reply["keyFile"])
    if data != held:
        yield "broker", data


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
