"""Header and content payloads: plain and encrypted states, the JSON rules, equality."""
import construct
import pytest
import simplejson

from norvo.crypto import container as C
from norvo.crypto.aes import DecryptionError


@pytest.fixture
def keys():
    return C.ContainerKeys()


def test_raw_payload_starts():
    empty = C.RawPayload()
    assert empty.encrypted is False and empty.data is None
    with pytest.raises(TypeError):
        len(empty)
    with pytest.raises(ValueError, match="^Can only encrypt str or bytes$"):
        empty.encrypt(C.ContainerKeys())
    assert C.RawPayload(enc_data=b"", ptxt_data=b"p").encrypted is False  # empty ciphertext counts as absent
    both = C.RawPayload(b"cipher", b"plain")
    assert both.encrypted is True and both.data == b"cipher" and not hasattr(both, "_data")
    assert not hasattr(C.RawPayload(ptxt_data=b"p"), "_encrypted_data")


@pytest.mark.parametrize("value", ["text", bytearray(b"x"), 1, [b"x"]])
def test_raw_payload_takes_only_bytes(value):
    with pytest.raises(ValueError, match=r"^Can only set bytes\.$"):
        C.RawPayload(ptxt_data=value)
    p = C.RawPayload(ptxt_data=b"old")
    with pytest.raises(ValueError):
        p.data = value
    assert p.data == b"old"

    class B(bytes):
        pass

    p.data = B(b"sub")
    assert p.data == b"sub"


@pytest.mark.parametrize("given, value, length", [
    ('{"a": 1, "b": 2}', {"a": 1, "b": 2}, 2),
    ("123", 123, None),
    ("hello", "hello", 5),
    ('"quoted"', "quoted", 6),
    (b'{"x": [1, 2]}', {"x": [1, 2]}, 1),
    (b"not json", "not json", 8),
    ([1, 2, 3], [1, 2, 3], 3),
    (None, None, None),
])
def test_json_payload_values(given, value, length):
    p = C.JSONPayload(ptxt_data=given)
    assert p.encrypted is False and p.data == value
    if length is not None:
        assert len(p) == length
    assert simplejson.loads(p._data) == value


def test_json_payload_hands_out_fresh_values_and_compares_decoded():
    p = C.JSONPayload(ptxt_data={"a": 1})
    p.data["a"] = 2
    assert p.data == {"a": 1}
    assert C.JSONPayload(ptxt_data='{"a":1,"b":2}') == C.JSONPayload(ptxt_data='{ "b": 2, "a": 1 }')
    assert C.JSONPayload()._data == "null"


def test_header_wraps_the_custom_data():
    h = C.Header()
    assert simplejson.loads(h._data) == {"version": 1, "customData": None} and h.data is None
    h = C.Header(ptxt_data='{"title": "x"}')
    assert h.data == {"title": "x"}
    assert simplejson.loads(h._data) == {"version": 1, "customData": {"title": "x"}}
    h.set_plaintext_data(b'{"version": 1}')
    assert h.data == {"version": 1}
    h.set_plaintext_data(b"[1, 2]")
    assert h.data == [1, 2]
    assert len(C.Header(ptxt_data={"a": 1, "b": 2})) == 2


@pytest.mark.parametrize("cls, value", [
    (C.RawPayload, b"raw bytes"),
    (C.JSONPayload, {"k": [1, "two"]}),
    (C.Header, {"title": "t\u00e9"}),
])
def test_round_trip_and_repeated_operations(cls, value, keys):
    p = cls(ptxt_data=value)
    p.encrypt(keys)
    assert p.encrypted is True and isinstance(p.data, bytes)
    sealed = p.data
    p.encrypt(keys)
    assert p.data is sealed
    p.decrypt(keys)
    assert p.encrypted is False and p.data == value
    if cls is not C.RawPayload:
        assert isinstance(p._data, bytes)
    plain = p._data
    p.decrypt(keys)
    assert p._data is plain
    assert p._encrypted_data is sealed  # the old ciphertext stays behind


def test_payload_decrypt_failures_leave_it_encrypted(keys):
    p = C.RawPayload(ptxt_data=b"x")
    p.encrypt(keys)
    sealed = p.data
    with pytest.raises(DecryptionError):
        p.decrypt(C.ContainerKeys())
    assert p.encrypted is True and p.data is sealed
    empty = C.RawPayload()
    empty.set_encrypted_data(None)
    with pytest.raises(construct.StreamError):
        empty.decrypt(keys)


def test_equality_and_text_forms(keys):
    raw, js = C.RawPayload(ptxt_data=b"1"), C.JSONPayload(ptxt_data=b"1")
    assert (raw == js) is False  # b"1" against the decoded 1
    assert (C.RawPayload(ptxt_data=b"") == C.JSONPayload(ptxt_data=b"")) is False
    same_raw = C.RawPayload()
    same_raw.set_plaintext_data(1)
    # The subclass's reflected comparison runs first for ==, so the asymmetry shows in __eq__.
    assert same_raw.__eq__(js) is True and js.__eq__(same_raw) is False
    assert (js == same_raw) is False
    a, b = C.RawPayload(ptxt_data=b"d"), C.RawPayload(ptxt_data=b"d")
    assert a == b and not a != b
    a.encrypt(keys)
    b.encrypt(keys)
    assert a != b  # each seal draws its own counter block
    assert repr(C.RawPayload(ptxt_data=b"x")) == "<RawPayload(ptxt_data=b'x')>"
    assert repr(C.Header(ptxt_data="v")) == "<JSONPayload(ptxt_data=v)>"
    assert repr(a) == "<RawPayload(enc_data={})>".format(a.data)
    with pytest.raises(TypeError):
        hash(a)
    assert issubclass(C.Header, C.JSONPayload) and issubclass(C.JSONPayload, C.RawPayload)
    assert C.Header.version == 1


def test_unencodable_json_value_keeps_the_old_state(keys):
    plain = C.JSONPayload(ptxt_data={"a": 1})
    with pytest.raises(TypeError):
        plain.data = object()
    assert plain.data == {"a": 1}

    sealed = C.Header(ptxt_data="title")
    sealed.encrypt(keys)
    ciphertext = sealed.data
    with pytest.raises(TypeError):
        sealed.data = {1j: "no"}
    assert sealed.encrypted is True and sealed.data is ciphertext
    sealed.decrypt(keys)
    assert sealed.data == "title"
