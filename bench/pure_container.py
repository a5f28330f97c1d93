"""The container byte format written in plain Python, as the yardstick for norvo's own.

Everything here is ordinary Python on the ``cryptography`` package and ``construct``:
the same four record declarations, the same steps for sealing and opening one portion,
and the same path through the records as ``norvo.crypto.container`` takes (each portion
sealed into section bytes, those parsed into the container record, the record built into
the container bytes; and on the way back the container parsed, each section built back
into bytes and parsed again when it is opened). It produces and reads the same bytes as
the library, which the benchmark checks in both directions before it times anything.
"""
import os
import uuid

import arrow
import simplejson as json
from construct import Bytes, Int64ul, Struct, this
from construct import Container as ConstructContainer
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, hmac
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

VERSION = 1
KEY_BLOB_VERSION = 1
CIPHER_KEY_LENGTH = 32
HMAC_KEY_LENGTH = 128
NONCE_LENGTH = 8
HEADER_VERSION = 1

ContainerPreambleStruct = Struct(
    "version" / Int64ul,
    "oid" / Bytes(16),
    "cipher_index" / Int64ul,
    "mac_index" / Int64ul,
    "header_length" / Int64ul,
    "content_length" / Int64ul,
)

ContainerSectionStruct = Struct(
    "iv_length" / Int64ul,
    "iv" / Bytes(this.iv_length),
    "encrypted_length" / Int64ul,
    "encrypted" / Bytes(this.encrypted_length),
    "digest_length" / Int64ul,
    "digest" / Bytes(this.digest_length),
)

ContainerStruct = Struct(  # the preamble's six fields flat at the top, then the two sections
    *ContainerPreambleStruct.subcons,
    "header" / ContainerSectionStruct,
    "content" / ContainerSectionStruct,
)

ContainerKeysStruct = Struct(
    "version" / Int64ul,
    "cipher_index" / Int64ul,
    "cipher_key_length" / Int64ul,
    "cipher_key" / Bytes(this.cipher_key_length),
    "mac_index" / Int64ul,
    "mac_key_length" / Int64ul,
    "mac_key" / Bytes(this.mac_key_length),
)

_SHA384 = hashes.SHA384()

try:  # the provider stand-in, when norvo is at hand; the format itself does not need it
    import norvo.providers as _providers
except ImportError:  # pragma: no cover
    _providers = None


class DecryptionError(Exception):
    """A portion's MAC did not match."""


class Keys(object):
    """The two keys of one container with their algorithm indexes (both 0 as written)."""

    def __init__(self, cipher_key=None, mac_key=None, cipher_index=0, mac_index=0):
        self.cipher_key = cipher_key or os.urandom(CIPHER_KEY_LENGTH)
        self.mac_key = mac_key or os.urandom(HMAC_KEY_LENGTH)
        self.cipher_index = cipher_index
        self.mac_index = mac_index

    def __bytes__(self):
        return ContainerKeysStruct.build(dict(
            version=KEY_BLOB_VERSION,
            cipher_index=self.cipher_index,
            cipher_key_length=len(self.cipher_key),
            cipher_key=self.cipher_key,
            mac_index=self.mac_index,
            mac_key_length=len(self.mac_key),
            mac_key=self.mac_key,
        ))

    @staticmethod
    def from_bytes(data):
        rec = ContainerKeysStruct.parse(data)
        return Keys(cipher_key=rec.cipher_key, mac_key=rec.mac_key,
                    cipher_index=rec.cipher_index, mac_index=rec.mac_index)

    @staticmethod
    def of(keys):
        """Any object with `cipher_key` and `mac_key` (norvo's ContainerKeys included)."""
        return Keys(cipher_key=keys.cipher_key, mac_key=keys.mac_key,
                    cipher_index=getattr(keys, "cipher_index", 0), mac_index=getattr(keys, "mac_index", 0))


def _ctr(key, iv, data):
    ctx = Cipher(algorithms.AES(key), modes.CTR(iv)).encryptor()
    return ctx.update(data) + ctx.finalize()


def _create_iv():
    return os.urandom(NONCE_LENGTH) + b"\x00" * NONCE_LENGTH


def seal_portion(ptxt, keys):
    """One portion: text as UTF-8, AES-256-CTR under a fresh counter block, HMAC-SHA384 of the ciphertext."""
    if isinstance(ptxt, str):
        ptxt = ptxt.encode("utf-8")
    elif not isinstance(ptxt, bytes):
        raise ValueError("Can only encrypt str or bytes")
    iv = _create_iv()
    encrypted = _ctr(keys.cipher_key, iv, ptxt)
    mac = hmac.HMAC(keys.mac_key, _SHA384)
    mac.update(encrypted)
    digest = mac.finalize()
    return ContainerSectionStruct.build(dict(
        iv_length=len(iv), iv=iv,
        encrypted_length=len(encrypted), encrypted=encrypted,
        digest_length=len(digest), digest=digest,
    ))


def open_portion(section, keys):
    """Verifies the section's MAC, then decrypts it; DecryptionError on a mismatch."""
    rec = ContainerSectionStruct.parse(section)
    mac = hmac.HMAC(keys.mac_key, _SHA384)
    mac.update(rec.encrypted)
    try:
        mac.verify(rec.digest)
    except InvalidSignature:
        raise DecryptionError("Container Digest verification failure.")
    return _ctr(keys.cipher_key, rec.iv, rec.encrypted)


def header_text(value):
    """The header document: text or bytes that hold JSON stand for the value they denote."""
    if isinstance(value, (str, bytes)):
        try:
            value = json.loads(value)
        except Exception:
            pass
    return json.dumps({"version": HEADER_VERSION, "customData": value})


def header_value(ptxt):
    value = json.loads(ptxt)
    if isinstance(value, dict):
        return value.get("customData", value)
    return value


def encrypt(header, content, keys=None, container_id=None):
    """Container bytes for a header value and content bytes; returns (bytes, keys)."""
    return encrypt_text(header_text(header), content, keys, container_id or uuid.uuid4())


def encrypt_text(header_json, content, keys=None, oid=None):
    """The same from the header document's JSON text, which a container object makes when it
    is given its header value, before it is encrypted."""
    keys = keys or Keys()
    oid = oid or uuid.uuid4()
    header_section = seal_portion(header_json, keys)
    content_section = seal_portion(content, keys)
    record = ConstructContainer(
        version=VERSION,
        oid=oid.bytes_le,
        cipher_index=0,
        mac_index=0,
        header_length=len(header_section),
        content_length=len(content_section),
        header=ContainerSectionStruct.parse(header_section),
        content=ContainerSectionStruct.parse(content_section),
    )
    return ContainerStruct.build(record), keys


def decrypt(data, keys):
    """(container id, header value, content bytes) of container bytes; the header is opened first."""
    record = ContainerStruct.parse(data)
    header_section = ContainerSectionStruct.build(record.header)
    content_section = ContainerSectionStruct.build(record.content)
    oid = uuid.UUID(bytes_le=record.oid)
    header = header_value(open_portion(header_section, keys))
    content = open_portion(content_section, keys)
    return oid, header, content


def container_bookkeeping():
    """The work a container object does beside the format when it is made: its creation time
    and its creator, the logged-in user's id from the current provider. Timed with the
    plain-Python opening so that both sides of the comparison do the same work."""
    created_at = arrow.utcnow().datetime
    created_by = None
    if _providers is not None:
        with _providers.get() as provider:
            created_by = getattr(provider.session.user, "id", None)
    return created_at, created_by
