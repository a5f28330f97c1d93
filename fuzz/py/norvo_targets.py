"""One-input checks for every parser of external bytes in norvo.

Each target takes the fuzzer's bytes, feeds them to one public entry point and returns
normally when the library gave a result or raised one of the errors that the operation
documents. Anything else escapes: an undocumented exception type, a broken invariant
(raised as `Violation`), or of course a crash, which the sanitizers report.

The targets on broker traffic and the local store talk to no server and touch no disk outside
a scratch folder: their replies come from bytes through the HTTP stack itself (wire.py), their
databases are read from memory, their file stores live in a temporary folder.

The atheris harnesses in this directory (fuzz_*.py) and tests/test_fuzz_regressions.py,
which replays the inputs kept under tests/regressions/<target>/, share these functions, so a
crasher found by the fuzzer is checked by the test suite in exactly the same way.

Nothing here needs atheris.
"""

import base64
import contextlib
import functools
import hashlib
import hmac as _std_hmac
import os
import struct
import types
import uuid

import construct
import simplejson
from cryptography.hazmat.primitives import hashes

# Every module a target exercises is imported here: a module that does not import fails the
# fuzzer and the tests at once instead of leaving its targets quietly idle.
import norvo.access
import norvo.crypto
import norvo.crypto.aes
import norvo.crypto.container
import norvo.crypto.envelope
import norvo.crypto.hash
import norvo.crypto.hmac
import norvo.crypto.ies
import norvo.crypto.keys
import norvo.crypto.pbkdf2
import norvo.crypto.strongbox
import norvo.event
import norvo.providers
import norvo.providers.ofs
import norvo.providers.ofs.burrow
import norvo.providers.ofs.database
import norvo.providers.ofs.models
import norvo.providers.server
import norvo.providers.server.aws
import norvo.providers.server.client
import norvo.providers.server.events

import wire

crypto = norvo.crypto
aes = norvo.crypto.aes
container_mod = norvo.crypto.container
envelope_mod = norvo.crypto.envelope
ies_mod = norvo.crypto.ies
keys_mod = norvo.crypto.keys
strongbox_mod = norvo.crypto.strongbox


class Violation(Exception):
    """The library returned, but what it returned breaks a documented rule."""


def _construct_error():
    return construct.ConstructError


def _format_errors():
    """What a failed parse of one of the byte formats may raise.

    The documents leave the type to the implementation (the format library's own error);
    the C++ codecs raise construct's errors or a ValueError. Both are allowed, nothing else.
    """
    return (_construct_error(), ValueError)


def _u64(v):
    return struct.pack("<Q", v)


def _var(b):
    return _u64(len(b)) + b


class Reader:
    """Takes structured values from the fuzzer's bytes, as atheris' FuzzedDataProvider does,
    so that the targets run without atheris."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b

    def take(self, n):
        b = self.data[self.pos : self.pos + n]
        self.pos += len(b)
        return b

    def chunk(self, limit=512):
        """A length-prefixed piece: one or two bytes of length, then that many bytes."""
        n = self.byte()
        if n & 0x80:
            n = ((n & 0x7F) << 8) | self.byte()
        return self.take(min(n, limit))

    def rest(self):
        b = self.data[self.pos :]
        self.pos = len(self.data)
        return b


def chunk(b):
    """The inverse of `Reader.chunk`, for writing structured seeds."""
    if len(b) < 0x80:
        return bytes([len(b)]) + b
    assert len(b) < 0x8000
    return bytes([0x80 | (len(b) >> 8), len(b) & 0xFF]) + b


# --------------------------------------------------------------------------- keys (p384)

_PEM_PUBLIC_MSG = "Public Key is not an EC P384 key in PEM format."
_PEM_PRIVATE_MSG = "Private Key is not an EC P384 in PEM foramt."
_DER_PUBLIC_MSG = "Public Key is not an EC P384 key in DER format."


def _check_loader(fn, arg, message, private):
    from cryptography.exceptions import UnsupportedAlgorithm
    from cryptography.hazmat.primitives.asymmetric import ec

    try:
        key = fn(arg)
    except UnicodeError:
        return  # text that cannot be encoded as UTF-8 passes through unchanged
    except ValueError as exc:
        if str(exc) != message:
            raise Violation(f"refusal with the wrong message: {exc!r}") from exc
        return
    except UnsupportedAlgorithm:
        return  # a key type or curve the crypto library does not support passes through
    want = ec.EllipticCurvePrivateKey if private else ec.EllipticCurvePublicKey
    if not isinstance(key, want) or not isinstance(key.curve, ec.SECP384R1):
        raise Violation(f"loader accepted {type(key).__name__} on {getattr(key, 'curve', None)!r}")


def _pem_argument(data):
    # First byte chooses bytes or text; text is what key records and key files hand over.
    if not data:
        return data
    body = data[1:]
    if data[0] & 1:
        return body.decode("utf-8", "surrogateescape")
    return body


def target_p384_pem_public(data):
    p384 = crypto.p384
    _check_loader(p384.load_pem_public_key, _pem_argument(data), _PEM_PUBLIC_MSG, private=False)


def target_p384_pem_private(data):
    p384 = crypto.p384
    _check_loader(p384.load_pem_private_key, _pem_argument(data), _PEM_PRIVATE_MSG, private=True)


def target_p384_der_public(data):
    p384 = crypto.p384
    _check_loader(p384.load_der_public_key, data, _DER_PUBLIC_MSG, private=False)



# --------------------------------------------------------------------------- fixed material
# Keys that the structured targets seal with, made once per process. Inputs built under them
# authenticate, so the fuzzer reaches the code behind the MAC and signature checks.

_CACHE = {}


def _once(name, make):
    if name not in _CACHE:
        _CACHE[name] = make()
    return _CACHE[name]


FIXED_CIPHER_KEY = bytes(range(32))
FIXED_MAC_KEY = bytes(range(128, 256))
FIXED_OID = uuid.UUID("0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3")
KEYFILE_PASSWORD = "Correct horse battery staple 1!"
KEYFILE_PASSPHRASE = "a passphrase for the rescue section"
KEYFILE_SALT = b"\x01\x02\x03\x04\x05\x06\x07\x08"


def _aes_ctr(key, iv, data):
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

    enc = Cipher(algorithms.AES(key), modes.CTR(iv)).encryptor()
    return enc.update(data) + enc.finalize()


def fixed_container_keys():
    container = container_mod
    return container.ContainerKeys(cipher_key=FIXED_CIPHER_KEY, mac_key=FIXED_MAC_KEY)


def _section(plaintext, iv=None, digest=None, cipher_key=FIXED_CIPHER_KEY, mac_key=FIXED_MAC_KEY):
    """One container section as the library writes it, under the fixed keys."""
    iv = (b"\x11" * 8 + b"\x00" * 8) if iv is None else iv
    ct = _aes_ctr(cipher_key, iv, plaintext) if len(iv) == 16 else plaintext
    if digest is None:
        digest = _std_hmac.new(mac_key, ct, hashlib.sha384).digest()
    return _var(iv) + _var(ct) + _var(digest)


def _container_bytes(header_section, content_section, oid=FIXED_OID, version=1, cipher=0, mac=0, trailer=b""):
    return (
        _u64(version)
        + oid.bytes_le
        + _u64(cipher)
        + _u64(mac)
        + _u64(len(header_section))
        + _u64(len(content_section))
        + header_section
        + content_section
        + trailer
    )


class DecryptedKeyFile(object):
    """What a key ring reads of a decrypted key file: `encrypted` and the key-ring document."""

    encrypted = False

    def __init__(self, data):
        self.data = data


def _fixed_private_key(n):
    """A P-384 key that is the same in every process, so seeds made once keep verifying."""
    from cryptography.hazmat.primitives.asymmetric import ec

    scalar = int.from_bytes(hashlib.sha384(b"norvo fuzz key %d" % n).digest(), "big") >> 8
    return ec.derive_private_key(scalar, ec.SECP384R1())


def key_ring_document(user_id, first_key):
    keys = keys_mod
    doc = {"userId": str(user_id), keys.KeyType.AUTH: {}, keys.KeyType.DERIVATION: {}}
    for n, section in enumerate((keys.KeyType.AUTH, keys.KeyType.DERIVATION)):
        pem = crypto.to_pem_private(_fixed_private_key(first_key + n)).decode()
        doc[section]["0"] = {"key": pem, "index": 0, "active": True, "isPublic": False}
    return doc


def rings():
    """The fixed sender's and recipient's private key rings."""

    def make():
        keys = keys_mod
        sender = keys.KeyRing(
            strongbox=DecryptedKeyFile(key_ring_document(uuid.UUID("11111111-2222-4333-8444-555555555555"), 0))
        )
        recipient = keys.KeyRing(
            strongbox=DecryptedKeyFile(key_ring_document(uuid.UUID("66666666-7777-4888-9999-aaaaaaaaaaaa"), 2))
        )
        return sender, recipient

    return _once("rings", make)


def _ies_material():
    """A fixed ephemeral key agreed with the recipient's derivation key, and its AES key."""

    def make():
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec
        from cryptography.hazmat.primitives.kdf.x963kdf import X963KDF

        keys = keys_mod
        sender, recipient = rings()
        eph = _fixed_private_key(4)
        recip_pub = recipient[keys.KeyType.DERIVATION][0].public
        shared = eph.exchange(ec.ECDH(), recip_pub)
        cipher_key = X963KDF(algorithm=hashes.SHA384(), length=32, sharedinfo=None).derive(shared)
        der = lambda k: k.public_bytes(
            serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo
        )
        signer = sender[keys.KeyType.AUTH][0]
        return {
            "eph_der": der(eph.public_key()),
            "cipher_key": cipher_key,
            "signer": signer.private,
            "sender_der": der(signer.public),
            "sender_id": uuid.UUID(str(signer.user_id)).bytes_le,
        }

    return _once("ies", make)


def _ies_message(r, payload):
    """A message built from the fuzzer's choices, signed by the fixed sender: it verifies."""
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec

    m = _ies_material()
    flags = r.byte()
    iv = b"\x22" * 8 + b"\x00" * 8
    if flags & 0x01:
        iv = r.chunk(40)
    ct = _aes_ctr(m["cipher_key"], iv, payload) if len(iv) == 16 else payload
    eph = m["eph_der"]
    if flags & 0x02:
        eph = r.chunk(200)
    sender_der = m["sender_der"]
    if flags & 0x04:
        sender_der = r.chunk(200)
    recip_index = r.byte() % 3 if flags & 0x08 else 0
    sender_index = r.byte() % 3 if flags & 0x10 else 0
    signature = m["signer"].sign(ct, ec.ECDSA(hashes.SHA384()))
    if flags & 0x20:
        signature = r.chunk(120)
    return (
        _u64(1 if not flags & 0x40 else r.byte())
        + FIXED_OID.bytes_le
        + _u64(recip_index)
        + _u64(sender_index)
        + _u64(0 if not flags & 0x80 else r.byte())
        + _var(eph)
        + _var(iv)
        + _var(ct)
        + _var(signature)
        + _var(sender_der)
        + _var(m["sender_id"])
    ), (flags & 0x3F) == 0 and recip_index == 0 and sender_index == 0


# --------------------------------------------------------------------------- containers

def _json_read_errors():
    # Reading a JSON portion decodes it: malformed text is the decoder's ValueError (undecodable
    # bytes included), and nesting deeper than the interpreter allows is its RecursionError.
    return (ValueError, RecursionError)


def _exercise_plain_container(c):
    """What callers read of a decrypted container; only the documented errors may come out."""
    for read in (lambda: c.header.data, lambda: c.content.data, lambda: c.data, lambda: len(c), lambda: repr(c)):
        try:
            read()
        except _json_read_errors():
            pass
        except TypeError:
            pass  # len() of a header value that has no length (a number, say)


def target_container_bytes(data):
    """`Container(data=...)` on arbitrary bytes, then `decrypt` under the fixed keys."""
    container = container_mod
    if not data:
        return
    content_cls = container.JSONPayload if data[0] & 1 else container.RawPayload
    body = data[1:]
    if not body:
        return
    try:
        c = container.Container(body, content_cls)
    except _construct_error():
        return
    if not c.encrypted or c.data is not body or len(c) != len(body):
        raise Violation("a container made from bytes must keep them whole and stay encrypted")
    if c.id.bytes_le != body[8:24]:
        raise Violation("container id differs from the oid field")
    repr(c)
    try:
        c.decrypt(fixed_container_keys())
    except aes.DecryptionError:
        if not c.header.encrypted and not c.content.encrypted:
            raise Violation("DecryptionError left both portions plain")
        return
    except ValueError:
        return  # a counter block that is not 16 bytes, refused by AES after the MAC passed
    if c.encrypted:
        raise Violation("decrypt returned but the container is still encrypted")
    _exercise_plain_container(c)


def target_container_decrypt(data):
    """Containers whose sections authenticate under the fixed keys, built from fuzzed parts."""
    container = container_mod
    r = Reader(data)
    flags = r.byte()
    content_cls = container.JSONPayload if flags & 1 else container.RawPayload
    header_plain = r.chunk(1024)
    content_plain = r.chunk(1024)
    h_iv = r.chunk(40) if flags & 2 else None
    c_iv = r.chunk(40) if flags & 4 else None
    trailer = r.chunk(64) if flags & 8 else b""
    version = r.byte() if flags & 16 else 1
    body = _container_bytes(
        _section(header_plain, iv=h_iv), _section(content_plain, iv=c_iv), version=version, trailer=trailer
    )
    c = container.Container(data=body, content_cls=content_cls)
    try:
        c.decrypt(fixed_container_keys())
    except ValueError:
        if (h_iv is None or len(h_iv) == 16) and (c_iv is None or len(c_iv) == 16):
            raise
        return
    if c.encrypted:
        raise Violation("decrypt returned but the container is still encrypted")
    if content_cls is container.RawPayload and c.content.data != content_plain:
        if c_iv is None or len(c_iv) == 16:
            raise Violation("raw content did not decrypt to the sealed bytes")
    _exercise_plain_container(c)
    # Sealed again under new keys and read back, the content must survive.
    plain = c.content.data if content_cls is container.RawPayload else None
    keys = c.encrypt()
    again = container.Container(data=c.data, content_cls=content_cls)
    again.decrypt(keys)
    if plain is not None and again.content.data != plain:
        raise Violation("content changed through encrypt and decrypt")


def target_container_keys(data):
    """`ContainerKeys.from_bytes` on arbitrary bytes."""
    container = container_mod
    try:
        k = container.ContainerKeys.from_bytes(data)
    except _format_errors():
        return
    n = struct.unpack_from("<Q", data, 16)[0]
    if n and k.cipher_key != data[24 : 24 + n]:
        raise Violation("cipher key differs from the record")
    if len(k.cipher_key) != (n or 32):
        raise Violation("cipher key length")
    again = container.ContainerKeys.from_bytes(bytes(k) + b"trailing")
    if again != k:
        raise Violation("from_bytes(bytes(keys)) differs from keys")


def target_portion_section(data):
    """One encrypted portion: `_decrypt` and the payload classes on arbitrary section bytes."""
    container = container_mod
    if not data:
        return
    keys = fixed_container_keys()
    mode, body = data[0], data[1:]
    if mode & 1:
        # Structured: the fuzzer's bytes are the plaintext of a section that authenticates.
        iv = body[:16] if mode & 2 and len(body) >= 16 else None
        plain = body[16:] if iv is not None else body
        body = _section(plain, iv=iv)
        out = container._decrypt(body, keys)
        if out != plain:
            raise Violation("section did not decrypt to its plaintext")
    else:
        try:
            container._decrypt(body, keys)
        except (_construct_error(), aes.DecryptionError):
            pass
        except ValueError:
            pass  # the counter block's length, refused by AES
    if not body:
        return
    cls = (container.RawPayload, container.JSONPayload, container.Header)[mode % 3]
    p = cls(enc_data=body)
    if not p.encrypted or p.data is not body:
        raise Violation("a payload made from section bytes must hold them, encrypted")
    try:
        p.decrypt(keys)
    except (_construct_error(), aes.DecryptionError, ValueError):
        return
    for read in (lambda: p.data, lambda: len(p), lambda: repr(p)):
        try:
            read()
        except _json_read_errors() + (TypeError,):
            pass


# --------------------------------------------------------------------------- key files

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


# --------------------------------------------------------------------------- key exchange

def _ies_errors():
    from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm

    # The format error; a key index the ring lacks (KeyError); a carried key that is no P-384
    # key in DER, or a counter block AES refuses (ValueError); a bad signature. A carried key
    # of a type or curve the crypto library does not know is its UnsupportedAlgorithm, which
    # the DER loader passes through unchanged.
    return (_construct_error(), KeyError, ValueError, InvalidSignature, UnsupportedAlgorithm)


def target_ies_decrypt(data):
    """`ies.decrypt` on arbitrary bytes, and on fuzzed messages that the fixed sender signed."""
    ies = ies_mod
    if not data:
        return
    sender, recipient = rings()
    mode = data[0]
    sender_keys = sender if mode & 1 else None
    if mode & 2:
        r = Reader(data[1:])
        payload = r.chunk(600)
        msg, sound = _ies_message(r, payload)
        msg += r.rest()
    else:
        msg, sound, payload = data[1:], False, None
    try:
        out = ies.decrypt(msg, recipient, sender_keys=sender_keys)
    except _ies_errors():
        if sound:
            raise
        return
    if sound and out != payload:
        raise Violation("a sound message did not decrypt to its payload")


def target_envelope(data):
    """`Envelope` from base64 text or bytes, then `get_container_keys`."""
    envelope = envelope_mod
    if not data:
        return
    sender, recipient = rings()
    mode = data[0]
    sound = False
    if mode & 2:
        # Structured: a message signed by the fixed sender whose payload is a fuzzed key record.
        r = Reader(data[1:])
        payload = r.chunk(600)
        msg, sound = _ies_message(r, payload)
        text = base64.b64encode(msg)
    else:
        text = data[1:]
        if not text:
            return
    if mode & 4:
        text = text.decode("latin-1")  # text as Access hands it over; non-ASCII is refused
    try:
        if mode & 8:
            # The way the local store hands an envelope back: as an access's key.
            e = norvo.access.Access(uuid.UUID("66666666-7777-4888-9999-aaaaaaaaaaaa"), key=text).key_blob
        else:
            e = envelope.Envelope(envelope_data=text)
    except (ValueError, _construct_error()):
        if sound:
            raise
        return
    raw = e.to_bytes()
    if base64.b64decode(e.b64) != raw or e != envelope.Envelope(e.b64) or repr(e) != repr(raw):
        raise Violation("envelope forms disagree")
    try:
        keys = e.get_container_keys(recipient, sender_keys=sender if mode & 1 else None)
    except _format_errors() + (AssertionError,):
        # A payload too short for a key record or with an empty cipher key, or a record whose
        # indexes are not 0.
        return
    except _ies_errors():
        if sound:
            raise
        return
    if keys.cipher_index != 0 or keys.mac_index != 0:
        raise Violation("container keys with non-zero indexes were handed out")


# --------------------------------------------------------------------------- format objects

_ODD_VALUES = (-1, 2**64, 2**64 - 1, 0, b"", b"\x00" * 17, "text", None, 1.5, [1])


def _formats():
    return (
        (ies_mod, "IESStruct"),
        (strongbox_mod, "KF"),
        (strongbox_mod, "KFSection"),
        (container_mod, "ContainerStruct"),
        (container_mod, "ContainerSectionStruct"),
        (container_mod, "ContainerKeysStruct"),
    )


def target_format_objects(data):
    """The modules' format objects: `parse` on arbitrary bytes, `build` of what it gave, and
    `build` of a record with one field changed to a value of the wrong kind or size."""
    if len(data) < 3:
        return
    module, name = _formats()[data[0] % len(_formats())]
    fmt = getattr(module, name)
    body = data[3:]
    try:
        record = fmt.parse(body)
    except _format_errors():
        return
    built = fmt.build(record)
    if not body.startswith(built):
        raise Violation(f"{name}: build(parse(data)) is not a prefix of data")
    if fmt.build(fmt.parse(built)) != built:
        raise Violation(f"{name}: parse and build do not round-trip")
    if module is container_mod:
        return  # declared with construct itself: building odd records is construct's business
    # One field of the record replaced; the build must give bytes or a format error.
    fields = [k for k in record.keys() if not str(k).startswith("_")]
    if not fields:
        return
    field = fields[data[1] % len(fields)]
    target = record
    sub = record[field]
    if hasattr(sub, "keys") and not isinstance(sub, (bytes, str)):
        inner = [k for k in sub.keys() if not str(k).startswith("_")]
        if inner:
            target, field = sub, inner[data[2] % len(inner)]
    target[field] = _ODD_VALUES[data[2] % len(_ODD_VALUES)]
    try:
        fmt.build(record)
    except _format_errors() + (TypeError,):
        pass


# --------------------------------------------------------------------------- values of any type

class _Bytesish(object):
    def __init__(self, b):
        self.b = b

    def __bytes__(self):
        return self.b


class _BytesSub(bytes):
    pass


class _StrSub(str):
    pass


def _resize(buf):
    if isinstance(buf, bytearray):
        try:
            del buf[:]
            buf.extend(b"\xee" * 70000)
        except BufferError:
            pass  # the library holds the buffer while it reads it, as it should


class _ResizingKeys(object):
    def __init__(self, buf):
        self.buf = buf

    @property
    def mac_key(self):
        _resize(self.buf)
        return FIXED_MAC_KEY

    @property
    def cipher_key(self):
        _resize(self.buf)
        return FIXED_CIPHER_KEY


class _ResizingRing(dict):
    def __init__(self, buf, ring):
        dict.__init__(self, ring)
        self.buf = buf

    def __getitem__(self, key):
        _resize(self.buf)
        return dict.__getitem__(self, key)

    def __bool__(self):
        _resize(self.buf)
        return True


def _odd_value(kind, payload):
    import array

    makers = (
        lambda: payload,
        lambda: bytearray(payload),
        lambda: memoryview(payload),
        lambda: memoryview(payload)[::2],  # not contiguous
        lambda: memoryview(bytearray(payload))[1:],
        lambda: payload.decode("latin-1"),
        lambda: payload.decode("utf-8", "surrogateescape"),
        lambda: _BytesSub(payload),
        lambda: _StrSub(payload.decode("latin-1")),
        lambda: _Bytesish(payload),
        lambda: array.array("I", payload[: len(payload) // 4 * 4]),
        lambda: memoryview(payload[: len(payload) // 8 * 8]).cast("Q"),
        lambda: None,
        lambda: int.from_bytes(payload[:16] or b"\x00", "little") - (1 << 64),
        lambda: len(payload) * 1.5,
        lambda: [payload],
        lambda: {"data": payload},
        lambda: True,
        lambda: object(),
        lambda: 2**200,
    )
    return makers[kind % len(makers)]()


def _entry_points():
    def container_data(v):
        return container_mod.Container(data=v)

    def container_keys(v):
        return container_mod.ContainerKeys.from_bytes(v)

    def new_keys(v):
        k = container_mod.ContainerKeys(cipher_key=v, mac_key=v)
        return bytes(k)

    def section(v):
        return container_mod._decrypt(v, fixed_container_keys())

    def payload(v):
        C = container_mod
        p = C.JSONPayload(enc_data=v)
        p.decrypt(fixed_container_keys())
        return p.data

    def container_decrypt_keys(v):
        C = container_mod
        c = C.Container(header={}, content=b"x")
        keys = c.encrypt()
        d = C.Container(data=c.data)
        return d.decrypt(v) if v else d.decrypt(keys)

    def keyfile_version(v):
        return strongbox_mod.KeyFile(enc_data=v).version

    def keyfile_rescue(v):
        return strongbox_mod.KeyFile(enc_data=v).rescue.data

    def rescue_passphrase(v):
        S = strongbox_mod
        r = S.KeyFileRescue(enc_data=b"\x00" * 8, version=v)
        return r.version

    def ies_decrypt(v):
        sender, recipient = rings()
        return ies_mod.decrypt(v, recipient)

    def ies_parse(v):
        return ies_mod.IESStruct.parse(v)

    def kf_parse(v):
        return strongbox_mod.KF.parse(v)

    def kfsection_parse(v):
        return strongbox_mod.KFSection.parse(v)

    def envelope(v):
        e = envelope_mod.Envelope(v)
        return e.b64

    def pem_public(v):
        return crypto.p384.load_pem_public_key(v)

    def pem_private(v):
        return crypto.p384.load_pem_private_key(v)

    def der_public(v):
        return crypto.p384.load_der_public_key(v)

    def hmac_verify(v):
        return norvo.crypto.hmac.verify(v, v, v)

    def aes_decrypt(v):
        return aes.decrypt(iv=v, cipher_key=v, data=v)

    def section_reentrant(v):
        # The keys' attributes resize the caller's buffer while the section is being read.
        buf = bytearray(v) if isinstance(v, (bytes, bytearray)) else v
        return container_mod._decrypt(buf, _ResizingKeys(buf))

    def ies_reentrant(v):
        buf = bytearray(v) if isinstance(v, (bytes, bytearray)) else v
        sender, recipient = rings()
        return ies_mod.decrypt(buf, _ResizingRing(buf, recipient), sender_keys=_ResizingRing(buf, sender))

    return (
        container_data, container_keys, new_keys, section, payload, container_decrypt_keys,
        keyfile_version, keyfile_rescue, rescue_passphrase, ies_decrypt, ies_parse, kf_parse,
        kfsection_parse, envelope, pem_public, pem_private, der_public, hmac_verify, aes_decrypt,
        section_reentrant, ies_reentrant,
    )


def target_value_types(data):
    """Every byte-taking entry point given a value of another type or shape: a buffer that is
    not bytes, not contiguous or of wider items, text, numbers out of range, containers,
    objects. Any Python exception is fine here; the interpreter must not crash, and a
    SystemError (an error raised without being set, a result without a value) is a fault."""
    if len(data) < 2:
        return
    points = _entry_points()
    point = points[data[0] % len(points)]
    value = _odd_value(data[1], data[2:])
    try:
        point(value)
    except SystemError:
        raise
    except Exception:
        pass


# --------------------------------------------------------------------------- broker traffic
# The broker's replies reach the library through the process-wide broker session and the REST
# client, or through the one-off requests of the object-storage transfers. Each target puts
# scripted replies (wire.py) behind them for one input and puts everything back afterwards, so
# the tests that replay these inputs keep their own broker.

BROKER_URL = "http://broker.fuzz/"
STORE_URL = "http://store.fuzz/objects/o"
FIXED_USER_ID = uuid.UUID("11111111-2222-4333-8444-555555555555")


def _server():
    return norvo.providers.server


def _session_module():
    import importlib

    return importlib.import_module("norvo.providers.server.session")


class _StandInUser(object):
    """What the session and the login read of a user: id, key ring and text form."""

    def __init__(self, user_id, keys):
        self.id = user_id
        self.keys = keys

    def __str__(self):
        return "<User {}>".format(self.id)


def fixed_user():
    """The fixed sender's key ring as a logged-in user (keys of index 0)."""
    return _once("fixed_user", lambda: _StandInUser(FIXED_USER_ID, rings()[0]))


_SESSION_FIELDS = ("user", "api_key", "token", "key", "time_offset", "client", "app_name", "expires_at")


class _Stage(object):
    """The broker session, the REST client's URL, the object-storage module's `requests` and
    the retry waits, set up for one input and put back afterwards."""

    def __init__(self, replies, one_off=()):
        self.script = wire.Script(replies)
        self.store = wire.Script(one_off)

    def __enter__(self):
        import retrying

        server = _server()
        session, client, aws = server.session, server.client, norvo.providers.server.aws
        self.saved = ({n: getattr(session, n) for n in _SESSION_FIELDS}, client.URL, aws.requests, retrying.time)
        self.mount = wire.mounted(session, self.script)
        self.mount.__enter__()
        client.URL = BROKER_URL
        aws.requests = wire.OneOffRequests(self.store)
        # The retry policy waits through the module global `time` of the retry library.
        retrying.time = types.SimpleNamespace(time=retrying.time.time, sleep=lambda seconds: None)
        for name in _SESSION_FIELDS:
            setattr(session, name, None)
        session.initialize("fuzz-api-key", BROKER_URL, app_name="fuzz")
        return self

    def log_in(self):
        """The session as a login leaves it, with the fixed user's key of index 0."""
        import datetime

        import arrow

        session = _server().session
        user = fixed_user()
        session.token, session.expires_at = "fuzz-token", arrow.utcnow().shift(hours=1)
        session.user, session.time_offset = user, datetime.timedelta(0)
        session.key = user.keys[keys_mod.KeyType.AUTH][0]
        session.client = _server().client
        return user

    def __exit__(self, *exc):
        import retrying

        server = _server()
        fields, url, requests_module, retry_time = self.saved
        self.mount.__exit__(*exc)
        for name, value in fields.items():
            setattr(server.session, name, value)
        server.client.URL = url
        norvo.providers.server.aws.requests = requests_module
        retrying.time = retry_time
        return False


def _http_errors():
    """What the HTTP library raises for a reply it cannot read, and the client's own classes:
    the documented outcomes of a request whatever the peer sends."""
    import http.client

    import requests
    import urllib3

    client = norvo.providers.server.client
    return (requests.RequestException, urllib3.exceptions.HTTPError, http.client.HTTPException) + tuple(
        client._retry_exceptions.values())


def _json_reply(body, status=200):
    return wire.reply(status, body, headers=[("Content-Type", "application/json")])


def _check_request_id(error):
    """A failing status that is not retried carries the id of the request it answered."""
    import requests

    if isinstance(error, requests.HTTPError) and error.response is not None:
        text = error.args[0] if error.args else ""
        want = "  Request ID: {}".format(error.request.headers.get("X-Request-Id"))
        if not isinstance(text, str) or not text.endswith(want):
            raise Violation("an HTTP error without its request id: {!r}".format(text))


def _login_errors():
    # The handshake's documented failures: the decoder's ValueError (and RecursionError), a
    # reply without "time", "token" or "expiration" (KeyError, or TypeError for one that is no
    # mapping), a time or expiry the date-time parser refuses (ValueError, TypeError, or
    # OverflowError for a number no date-time can hold), a time that is no text (AttributeError
    # when it is encoded for signing), no key that logs in (RuntimeError), and the HTTP errors.
    return (ValueError, RecursionError, KeyError, TypeError, OverflowError, AttributeError,
            RuntimeError) + _http_errors()


def target_login_reply(data):
    """The challenge login (`session.authenticate`) given the broker's "time" and "login"
    replies from the fuzzer: logged in with exactly the token the broker sent, or refused with
    the previous login whole; the challenge is echoed character for character."""
    import arrow

    if not data:
        return
    r = Reader(data)
    mode = r.byte()
    time_body, login_body = r.chunk(4096), r.chunk(4096)
    replies = [_json_reply(time_body, 200), _json_reply(login_body, (200, 500, 404, 204)[mode >> 6])]
    if mode & 1:
        replies += [_json_reply(r.chunk(4096)), _json_reply(r.chunk(4096))]  # a second key's turn
    with _Stage(replies) as stage:
        session = _server().session
        user = fixed_user()
        if mode & 1:
            user = _StandInUser(user.id, _two_key_ring())
        before = (session.token, session.expires_at, session.user, session.time_offset, session.key)
        try:
            session.authenticate(_server().client, user)
        except _login_errors() as exc:
            _check_request_id(exc)
            after = (session.token, session.expires_at, session.user, session.time_offset, session.key)
            if after != before:
                raise Violation("a failed login changed the session")
            return
        challenges = [_query(url).get("challenge") for _, url, _ in stage.script.requests if "/login/" in url]
        reply = _decoded(login_body if len(challenges) == 1 else _last_login_body(replies))
        if session.user is not user or session.token != reply["token"]:
            raise Violation("logged in without the token the broker sent")
        if session.expires_at != arrow.get(reply["expiration"]):
            raise Violation("the expiry is not the one the broker sent")
        sent_time = _decoded(time_body)["time"] if len(challenges) == 1 else None
        if sent_time is not None and challenges[0] != [sent_time]:
            raise Violation("the challenge was not echoed as received")
        try:
            session._get_auth("0b6f7d52-1d4e-4c8a-9a35-6e0f2c9b7d41")
        except _login_errors():
            pass  # a token that is no text cannot sign; an expiry already past logs in again


def _decoded(body):
    """A body decoded as the HTTP library decodes a JSON reply (guessing its text encoding)."""
    import requests

    reply = requests.Response()
    reply._content, reply.status_code = body, 200
    reply.headers["Content-Type"] = "application/json"
    reply.encoding = requests.utils.get_encoding_from_headers(reply.headers)
    return reply.json()


def _last_login_body(replies):
    """The body of the last login reply of a two-key script."""
    return replies[-1].split(b"\r\n\r\n", 1)[1]


def _query(url):
    import urllib.parse

    return urllib.parse.parse_qs(urllib.parse.urlsplit(url).query)


def _two_key_ring():
    """The fixed user's ring with a second, active authentication key of index 1."""

    def make():
        doc = key_ring_document(FIXED_USER_ID, 0)
        doc[keys_mod.KeyType.AUTH]["1"] = {"key": crypto.to_pem_private(_fixed_private_key(9)).decode(),
                                           "index": 1, "active": True, "isPublic": False}
        return keys_mod.KeyRing(strongbox=DecryptedKeyFile(doc))

    return _once("two_key_ring", make)


def _event_errors():
    # Paging's documented failures: the decoder's errors, a reply without "events" or
    # "hasMore" or a continued page whose last event has no "eventId" (KeyError), a page that
    # is no list or holds what is no object, or ids that do not compare (TypeError), "hasMore"
    # with an empty page (IndexError), and the HTTP errors (a page the script does not have).
    return (ValueError, RecursionError, KeyError, TypeError, IndexError) + _http_errors()


def target_event_pages(data):
    """`events.get` over pages from the fuzzer, each one reply: a list of `Event` records, in
    order, no more than the pages held, or a documented error."""
    if not data:
        return
    r = Reader(data)
    mode = r.byte()
    pages = []
    while r.pos < len(data) and len(pages) < 8:
        pages.append(r.chunk(8192))
    kwargs = {"type": ("container", "strongbox")[mode & 1]}
    if mode & 2:
        kwargs["starting_event_id"] = mode >> 4
    if mode & 4:
        kwargs["action"] = "added"
    if mode & 8:
        kwargs["container_id"] = str(FIXED_OID)
    with _Stage([_json_reply(p) for p in pages]) as stage:
        stage.log_in()
        try:
            got = norvo.providers.server.events.get(**kwargs)
        except _event_errors() as exc:
            _check_request_id(exc)
            return
        asked = len(stage.script.requests)
    # With schema errors the load's data is returned all the same, and the loader leaves the
    # events it could not load whole as the mappings of their good fields.
    if not isinstance(got, list) or not all(isinstance(e, (norvo.event.Event, dict)) for e in got):
        raise Violation("events.get returned something other than a list of Event records")
    given = 0
    for page in pages[:asked]:
        try:
            given += len(_decoded(page)["events"])
        except Exception:
            pass
    if len(got) > given:
        raise Violation("more events came back than the pages held")


def target_reply_headers(data):
    """A whole reply (status line, headers, body) to one request of each kind: signed and
    unsigned broker requests through the REST client, object downloads and uploads. The reply
    comes back only for a status below 400, and for an upload only for a 2xx; a failing status
    is its error (with the request id from the broker); anything the HTTP library cannot read is
    its error."""
    if not data:
        return
    mode, raw = data[0], data[1:]
    repeat = 10 if mode & 0x10 else 1  # the same reply to every attempt: the retries run out
    kind = (mode & 0x0F) % 5
    broker_kind = kind < 3
    with _Stage([raw] * repeat if broker_kind else [], one_off=[] if broker_kind else [raw] * repeat) as stage:
        server, aws = _server(), norvo.providers.server.aws
        if kind == 0:
            stage.log_in()
        call = (
            lambda: server.client.get("events", params={"type": "container", "start": 0}),
            lambda: server.client.get("time", auth=False),
            lambda: server.client.post("containers", json={"a": 1}, auth=False),
            lambda: aws.get(STORE_URL),
            lambda: aws.put(STORE_URL, data=b"data"),
        )[kind]
        try:
            reply = call()
        except _http_errors() as exc:
            if broker_kind:
                _check_request_id(exc)
            return
        if 400 <= reply.status_code < 600:
            raise Violation("a failing status {} came back as a reply".format(reply.status_code))
        if kind == 4 and not 200 <= reply.status_code < 300:
            raise Violation("an upload answered {} came back as done".format(reply.status_code))
        if not isinstance(reply.content, bytes):
            raise Violation("a reply without its body")


def target_object_range(data):
    """A ranged object download given the store's reply: exactly the slice asked for, a 206
    whose body is as long as its Content-Length and as the range, or the documented errors
    (AssertionError for anything else; KeyError without a Content-Length; the conversion's
    ValueError for one that is no integer; the HTTP errors)."""
    if len(data) < 3:
        return
    start = data[0]
    end = start + 1 + data[1]
    raw = data[2:]
    with _Stage([], one_off=[raw]):
        try:
            reply = norvo.providers.server.aws.get(STORE_URL, start, end)
        except (AssertionError, KeyError, ValueError) + _http_errors():
            return
    if reply.status_code != 206 or len(reply.content) != end - start + 1:
        raise Violation("a ranged read gave {} with {} bytes for {}-{}".format(
            reply.status_code, len(reply.content), start, end))
    if int(reply.headers["Content-Length"]) != len(reply.content):
        raise Violation("a ranged read whose body is not its Content-Length")


def target_public_key_records(data):
    """Another user's public key ring from the broker's key records (`keys.get`): a ring of
    that user with an active derivation key, or a documented refusal."""
    from cryptography.exceptions import UnsupportedAlgorithm

    if not data:
        return
    owner = uuid.UUID("66666666-7777-4888-9999-aaaaaaaaaaaa")
    provider = norvo.providers.Provider()
    provider.server_url = BROKER_URL
    with _Stage([_json_reply(data)]) as stage:
        stage.log_in()
        try:
            ring = provider.keys.get(owner)
        except (KeyError, ValueError, TypeError, AssertionError, RecursionError, UnsupportedAlgorithm) + _http_errors():
            return
    if ring.user_id != owner:
        raise Violation("a key ring of another user was handed out")
    if ring.get_first_valid(keys_mod.KeyType.DERIVATION) is None:
        raise Violation("a key ring without an active derivation key was handed out")


# --------------------------------------------------------------------------- the local store

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


TARGETS = {
    "container_bytes": target_container_bytes,
    "container_decrypt": target_container_decrypt,
    "container_keys": target_container_keys,
    "portion_section": target_portion_section,
    "keyfile": target_keyfile,
    "keyfile_decrypt": target_keyfile_decrypt,
    "keyring_document": target_keyring_document,
    "ies_decrypt": target_ies_decrypt,
    "envelope": target_envelope,
    "format_objects": target_format_objects,
    "value_types": target_value_types,
    "p384_pem_public": target_p384_pem_public,
    "p384_pem_private": target_p384_pem_private,
    "p384_der_public": target_p384_der_public,
    "login_reply": target_login_reply,
    "event_pages": target_event_pages,
    "reply_headers": target_reply_headers,
    "object_range": target_object_range,
    "public_key_records": target_public_key_records,
    "db_cell": target_db_cell,
    "db_rows": target_db_rows,
    "file_store": target_file_store,
}


def run(name, data):
    """Runs one input through one target (the entry point of the tests and harnesses)."""
    TARGETS[name](bytes(data))
