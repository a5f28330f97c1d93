"""Byte formats of the container and of the container-key record, and portion sealing."""
import hashlib
import hmac as std_hmac
import logging
import struct
import uuid

import pytest
from construct.core import ConstructError, StreamError
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

from norvo.crypto import container as C
from norvo.crypto.aes import DecryptionError

LOGGER = "norvo.crypto.container"
WORKED_ID = "0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3"


def u64(v):
    return struct.pack("<Q", v)


def ctr(key, iv, data):
    enc = Cipher(algorithms.AES(key), modes.CTR(iv)).encryptor()
    return enc.update(data) + enc.finalize()


def fixed_keys():
    return C.ContainerKeys(cipher_key=bytes(range(32)), mac_key=bytes(range(128)))


def worked_container():
    c = C.Container(header="abcdefgh", content=b"hello", container_id=WORKED_ID)
    assert len(c.header._data) == 40  # {"version": 1, "customData": "abcdefgh"}
    keys = c.encrypt(fixed_keys())
    return c, keys


def test_worked_container_is_277_bytes_laid_out_field_by_field():
    c, keys = worked_container()
    b = c.data
    assert isinstance(b, bytes) and len(b) == 277 == len(c) == c.length
    assert b[0:8] == u64(1)
    assert b[8:24] == bytes.fromhex("3d2c1b0a5f4e7b6a8c9daebfc0d1e2f3")
    assert b[24:40] == bytes(16)
    assert b[40:48] == u64(128) and b[48:56] == u64(93)
    # Header section at 56, content section at 184.
    for start, n, plain in ((56, 40, c.header._data.encode()), (184, 5, b"hello")):
        assert b[start:start + 8] == u64(16)
        iv = b[start + 8:start + 24]
        assert iv[8:] == bytes(8)
        assert b[start + 24:start + 32] == u64(n)
        enc = b[start + 32:start + 32 + n]
        assert enc == ctr(keys.cipher_key, iv, plain)
        assert b[start + 32 + n:start + 40 + n] == u64(48)
        digest = b[start + 40 + n:start + 88 + n]
        assert digest == std_hmac.new(keys.mac_key, enc, hashlib.sha384).digest()
    assert start + 88 + n == 277
    # The declared construct format reads the same bytes, and builds them back from the record.
    parsed = C.ContainerStruct.parse(b)
    assert parsed.oid == uuid.UUID(WORKED_ID).bytes_le
    assert parsed.header.encrypted == b[88:128] and parsed.content.digest == b[229:277]
    assert C.ContainerStruct.build(c._container) == b
    assert c._container.header_length == 128 and c._container.content.encrypted_length == 5


CONTAINER_FIELDS = ["version", "oid", "cipher_index", "mac_index", "header_length", "content_length", "header",
                    "content"]


def test_container_record_has_the_preamble_fields_flat():
    c, keys = worked_container()
    parsed = C.ContainerStruct.parse(c.data)  # construct may add entries of its own, named "_..."
    assert [k for k in parsed if not k.startswith("_")] == CONTAINER_FIELDS
    assert list(C.Container(data=c.data)._container) == CONTAINER_FIELDS
    assert list(c._container) == CONTAINER_FIELDS
    assert C.Container(data=c.data)._container == parsed == c._container
    assert [k for k in C.ContainerPreambleStruct.parse(c.data) if not k.startswith("_")] == CONTAINER_FIELDS[:6]


def test_key_record_is_a_construct_container_in_field_order():
    rec = fixed_keys().container
    assert type(rec) is __import__("construct").Container
    assert list(rec) == ["version", "cipher_index", "mac_index", "cipher_key", "mac_key", "cipher_key_length",
                         "mac_key_length"]
    assert rec == C.ConstructContainer(**dict(rec)) and rec.cipher_key_length == 32


def test_worked_key_record_is_200_bytes():
    keys = fixed_keys()
    expected = u64(1) + u64(0) + u64(32) + bytes(range(32)) + u64(0) + u64(128) + bytes(range(128))
    assert bytes(keys) == expected
    assert C.ContainerKeysStruct.build(keys.container) == expected
    rec = keys.container
    assert (rec.version, rec.cipher_key_length, rec.mac_key_length) == (1, 32, 128)
    short = C.ContainerKeys(cipher_key=b"k" * 16)
    assert short.container.cipher_key_length == 16 and len(bytes(short)) == 184


def test_empty_portion_is_an_88_byte_section():
    keys = fixed_keys()
    section = C._encrypt(b"", keys)
    assert len(section) == 88
    assert section[24:32] == u64(0) and section[32:40] == u64(48)
    assert C._decrypt(section, keys) == b""


def test_constants():
    assert (C.VERSION, C.KEY_BLOB_VERSION, C.CIPHER_KEY_LENGTH) == (1, 1, 32)
    assert C.ContainerPreambleStruct.sizeof() == 56
    assert C.ConstructContainer is __import__("construct").Container


def test_preamble_values_are_carried_not_checked_and_trailing_bytes_are_kept():
    c, keys = worked_container()
    b = bytearray(c.data)
    b[0:8] = u64(2)
    b[24:40] = u64(5) + u64(9)
    b[40:56] = bytes(16)
    odd = bytes(b) + b"\x00" * 10
    d = C.Container(data=odd)
    assert d.id == uuid.UUID(WORKED_ID)
    assert d.data == odd and len(d) == d.length == 287
    d.decrypt(keys)
    assert (d.header.data, d.content.data) == ("abcdefgh", b"hello")


def test_every_truncation_is_a_parse_error():
    c, keys = worked_container()
    b = c.data
    for n in range(1, len(b)):
        with pytest.raises(StreamError):
            C.Container(data=b[:n])
    with pytest.raises(StreamError):
        C.ContainerKeys.from_bytes(bytes(keys)[:199])
    with pytest.raises(StreamError):
        C._decrypt(b[56:183], keys)


@pytest.mark.parametrize("length", [2 ** 64 - 1, 2 ** 64 - 8, 2 ** 63, 2 ** 32])
def test_length_fields_near_2_64_fail_cleanly(length):
    c, keys = worked_container()
    b = bytearray(c.data)
    for at in (56, 80, 128):  # header iv_length, encrypted_length, digest_length
        t = bytearray(b)
        t[at:at + 8] = u64(length)
        with pytest.raises(StreamError, match="expected {}".format(length)):
            C.Container(data=bytes(t))
    rec = bytearray(bytes(keys))
    rec[16:24] = u64(length)
    with pytest.raises(StreamError):
        C.ContainerKeys.from_bytes(bytes(rec))


@pytest.mark.parametrize("value", ["text", 5, 1.5, [1], object()])
def test_non_bytes_input_is_a_type_error(value):
    with pytest.raises(TypeError):
        C.Container(data=value)
    with pytest.raises(TypeError):
        C.ContainerKeys.from_bytes(value)


def test_bytes_like_input_parses_like_bytes():
    c, keys = worked_container()
    for data in (bytearray(c.data), memoryview(c.data)):
        d = C.Container(data=data)
        d.decrypt(keys)
        assert d.content.data == b"hello"
    assert C.ContainerKeys.from_bytes(memoryview(bytes(keys))) == keys


# Container keys ------------------------------------------------------------------------

def test_fresh_keys():
    a, b = C.ContainerKeys(), C.ContainerKeys()
    assert (a.cipher_index, a.mac_index, a.container.version) == (0, 0, 1)
    assert len(a.cipher_key) == 32 and len(a.mac_key) == 128 and len(bytes(a)) == 200
    assert a != b and not a == b
    assert len(C.ContainerKeys(cipher_key=b"").cipher_key) == 32
    assert len(C.ContainerKeys(mac_key=b"").mac_key) == 128


def test_key_record_round_trip_and_tolerated_fields():
    k = C.ContainerKeys(3, 4, b"c" * 32, b"m" * 128)
    assert C.ContainerKeys.from_bytes(bytes(k)) == k
    assert C.ContainerKeys.from_bytes(bytes(k) + b"extra") == k
    v7 = u64(7) + bytes(k)[8:]
    again = C.ContainerKeys.from_bytes(v7)
    assert again == k and bytes(again)[:8] == u64(1)
    big = C.ContainerKeys(2 ** 64 - 1, 0, b"c" * 32, b"m" * 128)
    assert C.ContainerKeys.from_bytes(bytes(big)).cipher_index == 2 ** 64 - 1

    class Sub(C.ContainerKeys):
        pass

    assert type(Sub.from_bytes(bytes(k))) is C.ContainerKeys


@pytest.mark.parametrize("field", ["cipher", "mac"])
def test_key_record_with_an_empty_key_is_refused(field):
    if field == "cipher":
        rec = u64(1) + u64(0) + u64(0) + u64(0) + u64(128) + b"m" * 128
        msg = "empty cipher key"
    else:
        rec = u64(1) + u64(0) + u64(32) + b"c" * 32 + u64(0) + u64(0)
        msg = "empty MAC key"
    with pytest.raises(ValueError, match=msg):
        C.ContainerKeys.from_bytes(rec)


def test_key_copy_equality_and_read_only_fields():
    k = C.ContainerKeys()
    copy = C.ContainerKeys(cipher_index=k.cipher_index, mac_index=k.mac_index, cipher_key=k.cipher_key,
                           mac_key=k.mac_key)
    assert copy == k and copy is not k
    for other in ("text", 1, None, object(), {"cipher_key": k.cipher_key}):
        assert (k == other) is False and (k != other) is True
    before = dict(k.container)
    with pytest.raises(AttributeError):
        k.cipher_key = b"x" * 32
    assert dict(k.container) == before
    with pytest.raises(TypeError):
        hash(k)


def test_unserialisable_keys_fail_when_serialised_with_the_format_error():
    with pytest.raises(ConstructError):
        bytes(C.ContainerKeys(cipher_key="text key"))
    with pytest.raises(ConstructError):
        bytes(C.ContainerKeys(cipher_index=-1))
    with pytest.raises(ConstructError):
        bytes(C.ContainerKeys(mac_index=2 ** 64))
    with pytest.raises(TypeError):
        C.ContainerKeys(cipher_key=5)
    k = C.ContainerKeys()
    k.container.cipher_key_length = 31
    with pytest.raises(StreamError):
        bytes(k)


# Portion sealing -------------------------------------------------------------------------

def test_text_is_sealed_as_utf8_and_opened_as_bytes():
    keys = fixed_keys()
    section = C._encrypt("\u00e9", keys)
    assert len(section) == 90
    assert C._decrypt(section, keys) == "\u00e9".encode()
    a, b = C._encrypt(b"same", keys), C._encrypt(b"same", keys)
    assert a[8:24] != b[8:24] and a[32:36] != b[32:36] and a[-48:] != b[-48:]


@pytest.mark.parametrize("value", [None, 1, bytearray(b"x"), memoryview(b"x"), {"a": 1}])
def test_only_text_or_bytes_are_sealed(value, caplog):
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        with pytest.raises(ValueError, match="^Can only encrypt str or bytes$"):
            C._encrypt(value, fixed_keys())
    assert caplog.records == []


def test_wrong_mac_key_is_logged_and_refused(caplog):
    keys = fixed_keys()
    section = C._encrypt(b"secret", keys)
    wrong_mac = C.ContainerKeys(cipher_key=keys.cipher_key, mac_key=b"w" * 128)
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        with pytest.raises(DecryptionError, match="^Container Digest verification failure.$") as info:
            C._decrypt(section, wrong_mac)
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        (LOGGER, logging.ERROR, "Container Digest verification failure.")]
    assert type(info.value.__context__).__name__ == "InvalidSignature"
    wrong_cipher = C.ContainerKeys(cipher_key=b"w" * 32, mac_key=keys.mac_key)
    out = C._decrypt(section, wrong_cipher)
    assert len(out) == 6 and out != b"secret"


def test_digest_failure_keeps_its_context_inside_a_callers_handler():
    # The caller's own error being handled must not take the MAC check's place.
    keys = fixed_keys()
    section = C._encrypt(b"secret", keys)
    wrong_mac = C.ContainerKeys(cipher_key=keys.cipher_key, mac_key=b"w" * 128)
    try:
        raise KeyError("the caller's")
    except KeyError:
        with pytest.raises(DecryptionError) as info:
            C._decrypt(section, wrong_mac)
    assert type(info.value.__context__).__name__ == "InvalidSignature"


def test_section_tampering():
    keys = fixed_keys()
    s = C._encrypt(b"abc", keys)
    iv_flip = bytearray(s)
    iv_flip[8] ^= 1
    out = C._decrypt(bytes(iv_flip), keys)  # the counter block is not authenticated
    assert len(out) == 3 and out != b"abc"
    short_digest = s[:35] + u64(32) + s[43:75]
    with pytest.raises(DecryptionError):
        C._decrypt(short_digest, keys)
    assert C._decrypt(s + b"trailing", keys) == b"abc"
    with pytest.raises(ValueError):
        C._decrypt(s, C.ContainerKeys(cipher_key=b"k" * 31, mac_key=keys.mac_key))
    with pytest.raises(StreamError):
        C._decrypt(None, keys)


def test_large_portion_round_trip():
    keys = C.ContainerKeys()
    data = bytes(range(256)) * 8192  # 2 MiB: sealed with the GIL released
    section = C._encrypt(data, keys)
    assert len(section) == len(data) + 88
    assert C._decrypt(section, keys) == data


def test_loading_the_module_makes_aes_reachable_through_the_package():
    import subprocess
    import sys
    code = ("import sys, norvo.crypto as c; assert 'norvo.crypto.aes' not in sys.modules; "
            "import norvo.crypto.container as m; print(c.aes is m.aes, c.aes.__name__)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["True", "norvo.crypto.aes"]


def test_random_garbage_is_refused_without_crashing():
    import random
    rng = random.Random(1234)
    c, keys = worked_container()
    good = c.data
    for _ in range(3000):
        kind = rng.randrange(3)
        if kind == 0:
            data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 300)))
        else:
            data = bytearray(good)
            for _ in range(rng.randrange(1, 4)):
                at = rng.randrange(0, len(data) - 8)
                data[at:at + 8] = u64(rng.choice([rng.randrange(2 ** 64), 2 ** 64 - 1, rng.randrange(300)]))
            data = bytes(data)
        try:
            d = C.Container(data=data)
        except StreamError:
            pass
        else:
            try:
                d.decrypt(keys)
            except (DecryptionError, ValueError):
                assert d.encrypted is True
        for parse in (C.ContainerKeys.from_bytes, lambda b: C._decrypt(b, keys)):
            try:
                parse(data)
            except (StreamError, ValueError, DecryptionError):
                pass
