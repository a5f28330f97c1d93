"""Containers: whole containers from bytes, containers built to authenticate, the
container-key record and one encrypted portion."""

import struct

from .common import Reader, Violation, _construct_error, _format_errors, aes, container_mod
from .material import _container_bytes, _section, fixed_container_keys


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
