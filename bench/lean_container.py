"""The container byte format as someone who needs speed would write it in plain Python.

No format library and no objects: the ``cryptography`` package for AES-256-CTR and
HMAC-SHA384, ``int.to_bytes``/``int.from_bytes`` for the length fields, and byte joins. It
writes and reads the same bytes as ``norvo.crypto.container`` (the benchmark checks both
directions before it times anything), and like the library it checks both MACs before it
decrypts either portion.
"""
import hmac as _hmac
import os

from cryptography.hazmat.primitives import hashes, hmac
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

_SHA384 = hashes.SHA384()
_ZEROS = bytes(8)
_HEAD = (1).to_bytes(8, "little")          # version 1
_INDEXES = bytes(16)                       # cipher_index 0, mac_index 0
_IV_LENGTH = (16).to_bytes(8, "little")
_DIGEST_LENGTH = (48).to_bytes(8, "little")


class DecryptionError(Exception):
    pass


def _section(cipher_key, mac_key, plaintext):
    iv = os.urandom(8) + _ZEROS
    enc = Cipher(algorithms.AES(cipher_key), modes.CTR(iv)).encryptor()
    ciphertext = enc.update(plaintext) + enc.finalize()
    mac = hmac.HMAC(mac_key, _SHA384)
    mac.update(ciphertext)
    return b"".join((_IV_LENGTH, iv, len(ciphertext).to_bytes(8, "little"), ciphertext, _DIGEST_LENGTH,
                     mac.finalize()))


def encrypt(header_json, content, oid):
    """(container bytes, cipher key, MAC key) for the header document's JSON text, the content
    bytes and the 16 bytes of the container id in little-endian field order."""
    cipher_key, mac_key = os.urandom(32), os.urandom(128)
    header = _section(cipher_key, mac_key, header_json.encode("utf-8"))
    body = _section(cipher_key, mac_key, content)
    blob = b"".join((_HEAD, oid, _INDEXES, len(header).to_bytes(8, "little"), len(body).to_bytes(8, "little"),
                     header, body))
    return blob, cipher_key, mac_key


def _read_section(data, at):
    n = int.from_bytes(data[at:at + 8], "little")
    iv = data[at + 8:at + 8 + n]
    at += 8 + n
    n = int.from_bytes(data[at:at + 8], "little")
    ciphertext = data[at + 8:at + 8 + n]
    at += 8 + n
    n = int.from_bytes(data[at:at + 8], "little")
    digest = data[at + 8:at + 8 + n]
    if len(digest) != n:
        raise ValueError("truncated container")
    return iv, ciphertext, digest, at + 8 + n


def decrypt(data, cipher_key, mac_key):
    """(id bytes, header JSON bytes, content bytes); both MACs are checked before either portion
    is decrypted."""
    oid = data[8:24]
    hiv, hct, hdig, at = _read_section(data, 56)
    civ, cct, cdig, _ = _read_section(data, at)
    for ciphertext, digest in ((hct, hdig), (cct, cdig)):
        mac = hmac.HMAC(mac_key, _SHA384)
        mac.update(ciphertext)
        if not _hmac.compare_digest(mac.finalize(), digest):
            raise DecryptionError("Container Digest verification failure.")
    out = []
    for iv, ciphertext in ((hiv, hct), (civ, cct)):
        dec = Cipher(algorithms.AES(cipher_key), modes.CTR(iv)).decryptor()
        out.append(dec.update(ciphertext) + dec.finalize())
    return oid, out[0], out[1]
