import logging
import re
import uuid

import pytest

import norvo.utils as utils
from norvo.utils import UUID, pad, portion_checker

TEXT = "12345678-1234-5678-1234-567812345678"
ID = uuid.UUID(TEXT)


def test_module_attributes():
    assert utils.re is re and utils.logging is logging and utils.uuid is uuid
    assert utils.log is logging.getLogger("norvo.utils")


# --- UUID ------------------------------------------------------------------------------------

@pytest.mark.parametrize("value", [TEXT, TEXT.upper(), "{" + TEXT + "}", TEXT.replace("-", ""), "urn:uuid:" + TEXT])
def test_uuid_from_text(value):
    out = UUID(value)
    assert type(out) is uuid.UUID and out == ID


def test_uuid_from_bytes_le_wins():
    raw = bytes(range(16))
    expected = uuid.UUID(bytes=raw[3::-1] + raw[5:3:-1] + raw[7:5:-1] + raw[8:])
    assert UUID(bytes_le=raw) == expected
    assert UUID("not a uuid", raw) == expected
    assert UUID(None, bytes_le=raw) == expected
    assert UUID(value=12, bytes_le=raw) == expected


@pytest.mark.parametrize("value", [ID, 12, 0, [1, 2], 1.5, object()])
def test_values_without_text_operations_come_back_unchanged(value):
    assert UUID(value) is value


@pytest.mark.parametrize("args, kwargs", [((), {}), ((None,), {}), ((), {"bytes_le": b""}),
                                          ((None,), {"bytes_le": None})])
def test_uuid_without_value_or_bytes_is_an_empty_value_error(args, kwargs):
    with pytest.raises(ValueError) as exc:
        UUID(*args, **kwargs)
    assert str(exc.value) == "" and exc.value.args == ()


@pytest.mark.parametrize("args, kwargs, error", [
    (("",), {}, ValueError),
    (("not-a-uuid",), {}, ValueError),
    ((TEXT + "0",), {}, ValueError),
    ((ID.bytes,), {}, TypeError),
    ((bytearray(ID.bytes),), {}, TypeError),
    ((), {"bytes_le": bytes(15)}, ValueError),
    ((), {"bytes_le": bytes(17)}, ValueError),
    ((TEXT,), {"bytes_le": bytes(1)}, ValueError),
    ((), {"bytes_le": "x" * 16}, (AssertionError, TypeError)),   # as the standard type fails on it
    ((), {"bytes_le": 5}, TypeError),
])
def test_uuid_errors_of_the_standard_type_pass_through(args, kwargs, error):
    with pytest.raises(error):
        UUID(*args, **kwargs)


def test_uuid_bad_calls():
    with pytest.raises(TypeError):
        UUID(TEXT, None, None)
    with pytest.raises(TypeError):
        UUID(hex=TEXT)


# --- pad -------------------------------------------------------------------------------------

@pytest.mark.parametrize("size, length, total", [(8, 16, 16), (16, 16, 32), (0, 16, 16), (20, 16, 32), (1, 1, 2),
                                                 (5, 3, 6), (31, 32, 32), (3, 1 << 20, 1 << 20)])
def test_pad(size, length, total):
    s = bytes(range(1, size + 1))
    out = pad(s, length)
    assert len(out) == total and out[:size] == s and out[size:] == bytes(total - size)
    assert pad(s=s, length=length) == out


@pytest.mark.parametrize("s, length, error", [
    ("text", 16, TypeError),
    (b"abc", 0, ZeroDivisionError),
    (b"abc", "16", TypeError),
    (None, 16, TypeError),
    (b"abc", -16, ValueError),
    (b"", (1 << 30) + 1, ValueError),                  # gigabytes of padding are refused, not allocated
    (b"", 2 ** 64, ValueError),
])
def test_pad_misuse(s, length, error):
    with pytest.raises(error):
        pad(s, length)


# --- portion_checker -------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["all", "header", "content", "metadata"])
def test_portion_checker_accepts(name, caplog):
    caplog.set_level(logging.DEBUG)
    assert portion_checker(name) is None
    assert caplog.records == []


@pytest.mark.parametrize("name", ["Header", "", b"header", "contents", None, 1])
def test_portion_checker_refuses(name, caplog):
    caplog.set_level(logging.DEBUG)
    with pytest.raises(ValueError) as exc:
        portion_checker(name)
    message = str(exc.value)
    # The names follow the set's iteration order, which depends on the interpreter's string hashing.
    listed = re.fullmatch(r"Invalid portion\.  Must be one of \{('\w+'(?:, '\w+')*)\}\.", message)
    assert listed and sorted(n.strip("'") for n in listed.group(1).split(", ")) == [
        "all", "content", "header", "metadata"]
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [("norvo.utils", logging.ERROR, message)]


@pytest.mark.parametrize("name", [["header"], {"a": 1}])
def test_portion_checker_unhashable(name, caplog):
    caplog.set_level(logging.DEBUG)
    with pytest.raises(TypeError):
        portion_checker(name)
    assert caplog.records == []


# --- credential validators -------------------------------------------------------------------

class Text(str):
    pass


VALIDITY = [
    (None, False),
    ("", False),
    ("Aa1.Aa1", False),                 # seven characters, all four classes
    ("Abcdefg1", True),
    ("Abcdefghijklmnop1", True),
    ("abcdefg1", False),
    ("abcd efg-1234 5678", False),      # blanks and hyphens are no special characters
    ("Abcdefg!", True),
    ("ABCDEFG_", False),
    ("abcdefg.", False),
    ("ABCDEFG.1", True),
    ("ABCDEFG-1", False),
    ("\u00c4\u00d6\u00dcabcd12", False),  # accented capitals are in no class
    ("\\\\\\\\\\\\aA", False),               # a backslash is no special character
    ("aaaaaaa\u00e9", False),
    (Text("Abcdefg1"), True),
    ("A" * 10 ** 6 + "a1", True),
    (12345678901234, False),
    (["Abc", "def", "g1", "x", "y", "z", "w", "v"], False),
    (object(), False),
    (b"Abcd", False),
    (b"Abcdefg1", True),                # bytes are judged as their UTF-8 text
    (b"abcdefg1", False),
    ("Abcdefg1".encode("utf-16"), False),
    (b"\xff\xfeAbcdefg1", False),       # undecodable bytes are not valid
    (bytearray(b"Abcdefg1"), False),
    ("\ud800Abcdefg1", True),
]


@pytest.mark.parametrize("value, valid", VALIDITY)
def test_validity(value, valid, caplog):
    caplog.set_level(logging.DEBUG)
    for check in (utils._validity_checker, utils.is_password_valid, utils.is_passphrase_valid):
        assert check(value) is valid
    assert caplog.records == []


def test_validators_look_up_the_checker_at_each_call(monkeypatch):
    monkeypatch.setattr(utils, "_validity_checker", lambda value: "checked " + value)
    assert utils.is_password_valid("x") == "checked x"
    assert utils.is_passphrase_valid(passphrase="y") == "checked y"


@pytest.mark.parametrize("value", [None, "", 0, object(), b"\xff"])
def test_any_reminder_is_valid(value):
    assert utils.is_reminder_valid(value) is True
    assert utils.is_reminder_valid(reminder=value) is True


@pytest.mark.parametrize("call", [
    lambda: utils.is_password_valid(),
    lambda: utils.is_password_valid("a", "b"),
    lambda: utils.is_passphrase_valid(password="a"),
    lambda: utils.is_reminder_valid(),
    lambda: utils._validity_checker(),
])
def test_validators_take_one_argument(call):
    with pytest.raises(TypeError):
        call()
