import hashlib

import pytest
from cryptography.hazmat.primitives import hashes

import norvo.crypto as crypto
from norvo.crypto import hash as nhash
from norvo.crypto.hash import get_hash

DIGITS = hashlib.sha384(b"norvo").hexdigest()          # 96 lowercase hex digits


def test_module_takes_its_names_from_the_package():
    assert nhash.hashes is crypto.hashes and nhash._hash is crypto._hash
    assert repr(hashes.SHA384) in get_hash.__doc__      # the class is the default


@pytest.mark.parametrize("data", ["", "password", "x" * 95, "x" * 97, "\u00e9" * 96, "p\u00e4ss w\u00f6rd"])
def test_text_is_hashed_as_utf8(data):
    assert get_hash(data) == hashlib.sha384(data.encode("utf-8")).hexdigest()


@pytest.mark.parametrize("data", [b"", b"password", bytes(96), b"g" * 96, bytes(range(256))])
def test_bytes_are_hashed(data):
    assert get_hash(data) == hashlib.sha384(data).hexdigest()


def test_idempotent():
    once = get_hash("correct horse battery staple")
    assert get_hash(once) is once
    assert get_hash(data=once, algorithm=hashes.SHA384) is once


# Values of 96 characters that the interpreter's base-16 reading accepts come back as they are.
UNCHANGED = [
    DIGITS,
    DIGITS.upper(),
    DIGITS[:48].upper() + DIGITS[48:],
    " " + DIGITS[1:],
    DIGITS[1:] + "\t",
    "+" + DIGITS[1:],
    "-" + DIGITS[1:],
    "0x" + DIGITS[2:],
    "0X" + DIGITS[2:],
    DIGITS[:40] + "_" + DIGITS[41:],                       # an underscore between digits
    "\u0663" + DIGITS[1:],                                  # an Arabic-Indic digit reads as 3
    "\u2003" + DIGITS[1:],                                  # a Unicode space around the digits
    DIGITS.encode(),
    bytearray(DIGITS.encode()),
]


@pytest.mark.parametrize("value", UNCHANGED)
def test_values_that_read_as_hex_come_back_unchanged(value):
    assert get_hash(value) is value


HASHED = [
    DIGITS[:95],
    DIGITS + "a",
    DIGITS[:40] + " " + DIGITS[41:],                       # a blank between digits
    DIGITS[:40] + "g" + DIGITS[41:],                       # a letter beyond f
    DIGITS[:40] + "__" + DIGITS[42:],                      # two underscores in a row
    "_" + DIGITS[1:],                                      # a leading underscore
    "+-" + DIGITS[2:],                                     # two signs
    "0x" + " " * 94,                                       # a prefix without digits
    " " * 96,
    DIGITS[:95] + "\x00",
]


@pytest.mark.parametrize("value", HASHED)
def test_other_96_character_values_are_hashed(value):
    assert get_hash(value) == hashlib.sha384(value.encode("utf-8")).hexdigest()


@pytest.mark.parametrize("value", ["\ud800", "\ud800" + DIGITS[1:]])
def test_surrogate_text_fails_in_the_hash_itself(value):
    with pytest.raises(UnicodeEncodeError):
        get_hash(value)


def test_zero_byte_in_bytes_is_hashed():
    value = DIGITS[:95].encode() + b"\x00"
    assert get_hash(value) == hashlib.sha384(value).hexdigest()


def test_other_algorithm_class():
    d256 = hashlib.sha256(b"x").hexdigest()
    assert get_hash(d256, hashes.SHA256) is d256
    assert get_hash("x", algorithm=hashes.SHA256) == d256
    assert get_hash(DIGITS, hashes.SHA256) == hashlib.sha256(DIGITS.encode()).hexdigest()


@pytest.mark.parametrize("data, algorithm, error", [
    (None, hashes.SHA384, TypeError),
    (12, hashes.SHA384, TypeError),
    (["a"] * 96, hashes.SHA384, TypeError),                # has a length, but the reading refuses a list
    (["a"] * 3, hashes.SHA384, TypeError),
    ({}, hashes.SHA384, TypeError),
    ("x", hashes.SHA384(), TypeError),                      # an instance, not its class
    ("x", None, TypeError),
    ("x", object, AttributeError),                          # no digest_size
    (None, None, TypeError),
])
def test_errors_in_step_order(data, algorithm, error, monkeypatch):
    called = []
    monkeypatch.setattr(nhash, "_hash", lambda *a: called.append(a))
    with pytest.raises(error):
        get_hash(data, algorithm)
    assert called == []


def test_hash_is_looked_up_at_each_call(monkeypatch):
    monkeypatch.setattr(nhash, "_hash", lambda data, algo: ("hashed", data, algo.name))
    assert get_hash("pw") == ("hashed", "pw", "sha384")


def test_huge_secret_is_hashed():
    data = "f" * (8 << 20)
    assert get_hash(data) == hashlib.sha384(data.encode()).hexdigest()


def test_bad_calls():
    with pytest.raises(TypeError):
        get_hash()
    with pytest.raises(TypeError):
        get_hash("x", hashes.SHA384, 1)
    with pytest.raises(TypeError):
        get_hash(value="x")
