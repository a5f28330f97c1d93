"""Key files: the file and its rescue from bytes, sections that open under the fixed
secrets, and the decrypted key-ring document; and the few-round engine the fuzzers use."""

import functools
import hashlib
import struct
import types

import simplejson
from cryptography.hazmat.primitives import hashes

import norvo.crypto.hash
import norvo.crypto.pbkdf2

from .common import Violation, _construct_error, _u64, _var, aes, keys_mod, strongbox_mod
from .material import (
    _CACHE,
    KEYFILE_PASSPHRASE,
    KEYFILE_PASSWORD,
    KEYFILE_SALT,
    DecryptedKeyFile,
    _aes_ctr,
    _once,
)

# The key file's version-1 engine runs PBKDF2 for 100,000 rounds, which holds a fuzzer to a
# few dozen inputs a second. The fuzzers swap in an engine of a few rounds (the same core
# PBKDF2, the same parameters otherwise) and seal their key files to match; the tests replay
# every input under the real engine.
KEYFILE_ROUNDS = 100000


def fast_key_derivation(rounds=16):
    """Makes the key-file module derive its keys with `rounds` PBKDF2 rounds, for fuzzing.
    Returns a function that puts the real engine back."""
    real = strongbox_mod.pbkdf2, KEYFILE_ROUNDS

    def use(engines, n):
        global KEYFILE_ROUNDS
        strongbox_mod.pbkdf2, KEYFILE_ROUNDS = engines, n
        for name in ("keyfile_key", "rescue_key"):
            _CACHE.pop(name, None)

    engine = functools.partial(norvo.crypto.pbkdf2.PBKDF2HMAC, algorithm=hashes.SHA384(), length=32,
                               iterations=rounds)
    use(types.SimpleNamespace(engines={1: engine}), rounds)
    return lambda: use(*real)


def _pbkdf2_key(secret):
    from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC

    kdf = PBKDF2HMAC(algorithm=hashes.SHA384(), length=32, salt=KEYFILE_SALT, iterations=KEYFILE_ROUNDS)
    return kdf.derive(secret.encode())


def _keyfile_key():
    # The key-ring section's key: derived from the hashed password.
    return _once("keyfile_key", lambda: _pbkdf2_key(norvo.crypto.hash.get_hash(KEYFILE_PASSWORD)))


def _rescue_key():
    # The rescue section's key: derived from the passphrase itself.
    return _once("rescue_key", lambda: _pbkdf2_key(KEYFILE_PASSPHRASE))


def _kf_section(plain, key, iv=b"\x33" * 8 + b"\x00" * 8, salt=KEYFILE_SALT):
    return _var(salt) + _var(iv) + _var(_aes_ctr(key, iv, plain))


def _keyfile_errors():
    # The documented outcomes of opening a key file: the format error, a version without an
    # engine (KeyError), a wrong secret (DecryptionError), a plaintext that is no JSON text
    # (ValueError), and a document without "userId" or that is not a mapping (KeyError,
    # TypeError); nesting deeper than the interpreter allows is the decoder's RecursionError.
    return (_construct_error(), aes.DecryptionError, KeyError, ValueError, TypeError, RecursionError)


def target_keyfile(data):
    """`KeyFile` from arbitrary bytes: checksum, version, rescue, and (now and then) opening.

    The first byte picks what runs besides the cheap readers: one input in four opens the
    rescue and one in four the key ring (each a PBKDF2 run), so half the time goes to the
    parsing paths. The paths behind a right password are `keyfile_decrypt`'s.
    """
    strongbox = strongbox_mod
    if not data:
        return
    mode, body = data[0], data[1:]
    if not body:
        return
    kf = strongbox.KeyFile(enc_data=body)
    if not kf.encrypted or kf.data is not body:
        raise Violation("a key file made from bytes must hold them, encrypted")
    if kf.checksum != hashlib.sha384(body).hexdigest():
        raise Violation("checksum is not the SHA-384 of the bytes")
    try:
        version = kf.version
    except _construct_error():
        return
    if version != struct.unpack_from("<Q", body)[0]:
        raise Violation("version differs from the first field")
    rescue = kf.rescue
    if not rescue.encrypted or rescue.version != version:
        raise Violation("the rescue of a key file must be sealed and carry the file's version")
    strongbox.KFSection.parse(rescue.data)
    if mode & 0x03 == 1:
        _open_rescue(rescue)
    if mode & 0x03 == 2:
        _open_keyfile(kf)


def _check_failed_open(sealed, held, exc):
    """A failed open leaves the object sealed, holding what it held, and its error (with its
    chain) carries no plaintext: no decoded bytes, no JSON text, no decoder frames."""
    if not sealed.encrypted or sealed.data is not held or getattr(sealed, "_ptxt_data", None) is not None:
        raise Violation("a failed open changed the object")
    link, depth = exc, 0
    while link is not None and depth < 16:
        if isinstance(link, UnicodeDecodeError) and link.object:
            raise Violation("a decoding error kept the plaintext bytes")
        if getattr(link, "doc", None):
            raise Violation("a JSON error kept the plaintext text")
        tb = link.__traceback__
        while tb is not None:
            if tb.tb_frame.f_globals.get("__name__", "").startswith("simplejson"):
                raise Violation("an error kept the JSON decoder's frames, which hold the plaintext")
            tb = tb.tb_next
        link, depth = link.__cause__ or link.__context__, depth + 1


def _open_rescue(rescue):
    held = rescue.data
    try:
        rescue.decrypt(KEYFILE_PASSPHRASE)
    except _keyfile_errors() as exc:
        _check_failed_open(rescue, held, exc)
        return
    try:
        rescue.get_password(KEYFILE_PASSPHRASE)
    except (KeyError, TypeError):
        pass  # an open document without "password", or not a mapping


def _open_keyfile(kf):
    held = kf.data
    try:
        out = kf.decrypt(KEYFILE_PASSWORD)
    except _keyfile_errors() as exc:
        _check_failed_open(kf, held, exc)
        if kf.user_id is not None:
            raise Violation("a failed decrypt set the owner id")
        return
    if out is not kf or kf.encrypted:
        raise Violation("a successful decrypt must return the key file, plain")
    keys = keys_mod
    try:
        keys.KeyRing(strongbox=kf)
    except _keyring_errors():
        pass


def target_keyfile_decrypt(data):
    """Key files whose sections open under the fixed password and passphrase, around fuzzed
    plaintexts: the JSON, user-id and key-ring steps behind a right secret (one PBKDF2 run
    each), all-or-nothing and without plaintext in their errors. The first byte picks the
    section that carries the fuzzed text, and the version."""
    strongbox = strongbox_mod
    if not data:
        return
    mode, body = data[0], data[1:]
    version = 1 if not mode & 0x80 else mode & 0x03
    if mode & 1:
        ring = _kf_section(b"{}", b"\x00" * 32)
        rescue = _kf_section(body, _rescue_key())
    else:
        ring = _kf_section(body, _keyfile_key())
        rescue = _kf_section(b'{"password": "x"}', b"\x00" * 32)
    kf = strongbox.KeyFile(enc_data=_u64(version) + _u64(len(ring)) + _u64(len(rescue)) + ring + rescue)
    if mode & 1:
        _open_rescue(kf.rescue)
    else:
        _open_keyfile(kf)


def _keyring_errors():
    from cryptography.exceptions import UnsupportedAlgorithm

    # A decrypted document with members of the wrong kinds fails with the interpreter's own
    # errors when the ring walks it; refused key text is the key constructor's ValueError.
    return (KeyError, ValueError, TypeError, AttributeError, AssertionError, UnsupportedAlgorithm, RecursionError)


def target_keyring_document(data):
    """A decrypted key-ring document (JSON text) handed to `KeyRing`."""
    keys = keys_mod
    try:
        doc = simplejson.loads(data)
    except (ValueError, RecursionError):
        return
    try:
        ring = keys.KeyRing(strongbox=DecryptedKeyFile(doc))
    except _keyring_errors():
        return
    for section in (keys.KeyType.AUTH, keys.KeyType.DERIVATION):
        try:
            ring.get_first_valid(section)
        except _keyring_errors():
            pass
