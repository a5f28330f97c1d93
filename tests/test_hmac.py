import functools
import hmac as std_hmac

import pytest
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives import hmac as lib_hmac

import norvo.crypto as crypto
from norvo.crypto import hmac

from gil import longest_pause_while

LONG_KEY = b"\xaa" * 131
# RFC 4231 HMAC-SHA-384 test cases 1-4, 6 and 7 (6 and 7 hash a key longer than the block)
RFC4231 = [
    (b"\x0b" * 20, b"Hi There",
     "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6"),
    (b"Jefe", b"what do ya want for nothing?",
     "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649"),
    (b"\xaa" * 20, b"\xdd" * 50,
     "88062608d3e6ad8a0aa2ace014c8a86f0aa635d947ac9febe83ef4e55966144b2a5ab39dc13814b94e3ab6e101a34f27"),
    (bytes(range(1, 26)), b"\xcd" * 50,
     "3e8a69b7783c25851933ab6290af6ca77a9981480850009cc5577c6e1f573b4e6801dd23c4a7d679ccf8a386c674cffb"),
    (LONG_KEY, b"Test Using Larger Than Block-Size Key - Hash Key First",
     "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df163f44952"),
    (LONG_KEY, b"This is a test using a larger than block-size key and a larger than block-size data. The key "
               b"needs to be hashed before being used by the HMAC algorithm.",
     "6617178e941f020d351e2f254e8fd32c602420feb0b8fb9adccebb82461e99c5a678cc31e799176d3860e6110c46523e"),
]


def test_module_attributes():
    assert hmac.FIPS_INDEX == 0 and hmac.HMAC_KEY_LENGTH == 128
    assert list(hmac.HMAC) == [0]
    factory = hmac.HMAC[0]
    assert isinstance(factory, functools.partial) and factory.func is lib_hmac.HMAC
    assert isinstance(factory.keywords["algorithm"], hashes.SHA384)
    assert factory.keywords["backend"] is crypto.backend
    assert hmac.partial is functools.partial and hmac.hmac is lib_hmac and hmac.hashes is hashes
    ctx = factory(b"\x0b" * 20)
    ctx.update(b"Hi There")
    assert ctx.finalize().hex() == RFC4231[0][2]


@pytest.mark.parametrize("key, data, tag", RFC4231)
def test_rfc4231(key, data, tag):
    out = hmac.digest(key, data)
    assert type(out) is bytes and out.hex() == tag
    assert hmac.verify(key, data, bytes.fromhex(tag)) is None
    assert hmac.verify(private_key=key, data=data, digest=out) is None


def test_rfc4231_case5_truncated_tag_is_refused():
    key, data = b"\x0c" * 20, b"Test With Truncation"
    assert hmac.digest(key, data)[:16].hex() == "3abf34c3503b2a23a46efc619baef897"
    with pytest.raises(InvalidSignature):
        hmac.verify(key, data, bytes.fromhex("3abf34c3503b2a23a46efc619baef897"))


@pytest.mark.parametrize("key_size", [0, 1, 32, 128, 129, 200])
@pytest.mark.parametrize("size", [0, 1, 1000, 1 << 20])
def test_keys_and_data_of_any_size(key_size, size):
    key, data = crypto.random(key_size), crypto.random(size)
    tag = hmac.digest(key, data)
    assert tag == std_hmac.new(key, data, "sha384").digest()
    hmac.verify(key, data, tag)


@pytest.mark.parametrize("change", ["key", "data", "tag", "short", "long", "empty"])
def test_any_change_is_refused(change):
    key, data = crypto.random(128), b"ciphertext of a portion"
    tag = hmac.digest(key, data)
    if change == "key":
        key = bytes([key[0] ^ 1]) + key[1:]
    elif change == "data":
        data = data[:-1] + b"!"
    elif change == "tag":
        tag = tag[:20] + bytes([tag[20] ^ 0x80]) + tag[21:]
    elif change == "short":
        tag = tag[:47]
    elif change == "long":
        tag = tag + b"\x00"
    else:
        tag = b""
    with pytest.raises(InvalidSignature):
        hmac.verify(key, data, tag)
    with pytest.raises(crypto.InvalidSignature):
        hmac.verify(key, data, tag)


NOT_BYTES = ["text", None, 5, 1.5, [1, 2]]


@pytest.mark.parametrize("bad", NOT_BYTES)
@pytest.mark.parametrize("position", [0, 1, 2])
def test_non_bytes_are_type_errors(position, bad):
    args = [b"key", b"data", hmac.digest(b"key", b"data")]
    args[position] = bad
    if position < 2:
        with pytest.raises(TypeError):
            hmac.digest(*args[:2])
    with pytest.raises(TypeError):
        hmac.verify(*args)


def test_tag_must_be_bytes_not_another_buffer():
    with pytest.raises(TypeError):
        hmac.verify(b"key", b"data", bytearray(hmac.digest(b"key", b"data")))


def test_buffers_are_taken_as_bytes():
    key, data = b"Jefe", b"what do ya want for nothing?"
    assert hmac.digest(bytearray(key), memoryview(data)).hex() == RFC4231[1][2]


@pytest.mark.parametrize("call", [
    lambda: hmac.digest(b"k"),
    lambda: hmac.digest(b"k", b"d", b"x"),
    lambda: hmac.verify(b"k", b"d"),
    lambda: hmac.verify(b"k", b"d", tag=b""),
    lambda: hmac.generate_key(128),
])
def test_bad_calls(call):
    with pytest.raises(TypeError):
        call()


def test_generate_key():
    keys = {hmac.generate_key() for _ in range(10)}
    assert len(keys) == 10 and all(type(k) is bytes and len(k) == 128 for k in keys)


def test_generate_key_reads_the_length_at_each_call(monkeypatch):
    monkeypatch.setattr(hmac, "HMAC_KEY_LENGTH", 16)
    assert len(hmac.generate_key()) == 16


def test_table_entry_is_read_at_each_call(monkeypatch):
    # A factory a caller installs is the one used.
    monkeypatch.setitem(hmac.HMAC, 0, functools.partial(lib_hmac.HMAC, algorithm=hashes.SHA256()))
    tag = hmac.digest(b"k", b"d")
    assert tag == std_hmac.new(b"k", b"d", "sha256").digest()
    hmac.verify(b"k", b"d", tag)
    with pytest.raises(InvalidSignature):
        hmac.verify(b"k", b"d", std_hmac.new(b"k", b"d", "sha384").digest())

def test_large_data_releases_the_interpreter():
    data = bytes(128 << 20)
    pause, total, tag = longest_pause_while(lambda: hmac.digest(b"key", data))
    assert tag == std_hmac.new(b"key", data, "sha384").digest() and pause < total / 2
    pause, total, result = longest_pause_while(lambda: hmac.verify(b"key", data, tag))
    assert result is None and pause < total / 2
