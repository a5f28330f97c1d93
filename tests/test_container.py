"""The Container object: construction, encryption, parsing, decryption, equality, and the
all-or-nothing behaviour of every state change."""
import contextlib
import datetime
import logging
import types
import uuid

import pytest
from construct.core import StreamError

import norvo.providers
from norvo.crypto import container as C
from norvo.crypto.aes import DecryptionError

LOGGER = "norvo.crypto.container"


def make(header=None, content=b"content", **kw):
    return C.Container(header=header if header is not None else {"title": "t"}, content=content, **kw)


def state(c):
    """Everything a failed operation must leave as it was."""
    return (c.encrypted, c.header, c.content, dict(c.header.__dict__), dict(c.content.__dict__), c.id,
            c.container_keys, getattr(c, "_enc_data", None), getattr(c, "length", None))


# Construction ------------------------------------------------------------------------------

def test_ids():
    assert make().id.version == 4
    assert make(container_id="0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3").id == uuid.UUID(
        "0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3")
    u = uuid.uuid4()
    assert make(container_id=u).id is u
    with pytest.raises(ValueError, match="^$"):
        make(container_id=None)
    with pytest.raises(ValueError):
        make(container_id="not a uuid")


def test_new_container_fields():
    c = make(type="notes", extra="ignored")
    assert c.type == "notes" and make().type is None
    assert c.created_by is None and c.modified_at is None and c.modified_by is None
    assert c.created_at.tzinfo is not None and c.created_at.utcoffset() == datetime.timedelta(0)
    assert abs(datetime.datetime.now(datetime.timezone.utc) - c.created_at) < datetime.timedelta(seconds=5)
    assert c.encrypted is False and c.container_keys is None
    assert not hasattr(c, "length") and not hasattr(c, "_container")
    assert repr(c) == "<Container({}) Encrypted: False>".format(c.id)


@pytest.mark.parametrize("missing", ["header", "content"])
def test_missing_portion_keyword_is_a_key_error(missing):
    kw = {"header": {}, "content": b""}
    del kw[missing]
    with pytest.raises(KeyError, match=missing):
        C.Container(data=b"", **kw)


def test_default_content_class_refuses_non_bytes():
    with pytest.raises(ValueError, match=r"^Can only set bytes\.$"):
        make(content="text")


def test_creator_is_the_logged_in_user(fresh_provider):
    user_id = uuid.uuid4()
    fresh_provider.session.user = types.SimpleNamespace(id=user_id)
    c = make()
    assert c.created_by == user_id
    c.encrypt()
    assert C.Container(data=c.data).created_by == user_id
    fresh_provider.session.user = object()  # no id attribute: tolerated
    assert make().created_by is None


def test_provider_scope_rules():
    class NoSession(object):
        pass

    previous = norvo.providers.set_current(NoSession())
    try:
        with pytest.raises(AttributeError):
            make()
    finally:
        norvo.providers.set_current(previous)

    exits = []

    @contextlib.contextmanager
    def suppressing():
        try:
            yield NoSession()
        except AttributeError as e:
            exits.append(e)

    original = norvo.providers.get
    norvo.providers.get = suppressing
    try:
        c = make()
    finally:
        norvo.providers.get = original
    assert c.created_by is None and len(exits) == 1


# Encryption and parsing ----------------------------------------------------------------------

def test_encrypt_returns_and_keeps_its_keys():
    c = make()
    keys = c.encrypt()
    assert isinstance(keys, C.ContainerKeys) and c.container_keys is keys
    data = c.data
    assert c.encrypt() is None and c.data is data and c.container_keys is keys
    assert c.length == len(c) == len(data)
    assert data[:8] == b"\x01" + bytes(7) and data[8:24] == c.id.bytes_le and data[24:40] == bytes(16)
    assert int.from_bytes(data[40:48], "little") == len(c.header)
    assert int.from_bytes(data[48:56], "little") == len(c.content) == 88 + len(b"content")
    given = C.ContainerKeys()
    assert make().encrypt(given) is given


def test_same_values_same_keys_give_different_bytes():
    keys = C.ContainerKeys()
    a, b = make(container_id=uuid.UUID(int=1)), make(container_id=uuid.UUID(int=1))
    a.encrypt(keys)
    b.encrypt(keys)
    assert a.data[:56] == b.data[:56] and a.data != b.data


@pytest.mark.parametrize("cls, content", [(C.RawPayload, b"\x00\xffbytes"), (C.JSONPayload, {"k": [1, 2]})])
def test_round_trip_through_bytes(cls, content):
    c = C.Container(content_cls=cls, header=["h", 1], content=content)
    keys = c.encrypt()
    d = C.Container(c.data, cls)
    assert d.id == c.id and d.encrypted is True and d.container_keys is None and d.length == len(c.data)
    assert isinstance(d.content, cls) and isinstance(d.header, C.Header)
    with pytest.raises(RuntimeError, match="^No Container Keys exist; cannot decrypt.$"):
        d.decrypt()
    d.decrypt(keys)
    assert d.encrypted is False and (d.header.data, d.content.data) == (["h", 1], content)
    assert d.container_keys == keys and d.container_keys is not keys
    again = d.encrypt()
    assert again != keys
    d.decrypt(None)  # falls back to the held keys
    assert d.content.data == content


def test_large_content_round_trip():
    content = bytes(range(256)) * 4096 * 3  # 3 MiB
    c = make(content=content)
    keys = c.encrypt()
    assert len(c.data) == 232 + len(c.header._data) + len(content)
    d = C.Container(data=c.data)
    d.decrypt(keys)
    assert d.content.data == content


def test_decrypting_a_plain_container_only_replaces_the_keys():
    c = make()
    keys = C.ContainerKeys()
    c.decrypt(keys)
    assert c.encrypted is False and c.container_keys == keys and c.content.data == b"content"


def test_decrypt_keeps_a_key_record_as_the_format_library_makes_it():
    import construct

    keys = C.ContainerKeys(cipher_index=2, mac_index=3)
    c = make()
    c.encrypt(keys)
    d = C.Container(data=c.data)
    d.decrypt(keys)
    copy = d.container_keys.container
    made = construct.Container(version=1, cipher_index=2, mac_index=3, cipher_key=keys.cipher_key,
                               mac_key=keys.mac_key, cipher_key_length=32, mac_key_length=len(keys.mac_key))
    assert type(copy) is construct.Container and list(copy.items()) == list(made.items())
    assert list(copy) == list(made) and copy == made
    copy.extra = 1  # a record of its own: the next copy does not see it
    d.decrypt(keys)
    assert "extra" not in d.container_keys.container and bytes(d.container_keys) == bytes(keys)


# Data property -------------------------------------------------------------------------------

def test_setting_data_on_a_plain_container_is_refused(caplog):
    c = make()
    before = state(c)
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        with pytest.raises(AttributeError, match="^Can't set attribute for a decrypted container.$"):
            c.data = b"anything"
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        (LOGGER, logging.WARNING, "Can't set attribute for a decrypted container.")]
    assert state(c) == before


def test_emptying_an_encrypted_container():
    c = make()
    c.encrypt()
    old_id = c.id
    c.data = b""
    assert c.encrypted is True and c.id == old_id and c.data == b"" and len(c) == 0 == c.length
    assert c.header.data is None and c.content.data is None and c._container is None
    before = state(c)
    with pytest.raises(StreamError):
        c.decrypt()
    assert state(c) == before


def test_replacing_data_of_an_encrypted_container():
    a, b = make(content=b"a"), make(content=b"b")
    ka = a.encrypt()
    kb = b.encrypt()
    a.data = b.data
    assert a.id == b.id and a.container_keys is ka and a._container.content.encrypted_length == 1
    a.decrypt(kb)
    assert a.content.data == b"b"


@pytest.mark.parametrize("header, content, view", [
    ({}, b"abc", b"abc"),
    ({"k": "v"}, b"abc", "{'k': 'v'}b'abc'"),
    ({"k": "v"}, b"", {"k": "v"}),
])
def test_plain_data_view(header, content, view):
    assert make(header=header, content=content).data == view


@pytest.mark.parametrize("header, content, length", [({"a": 1, "b": 2}, b"abc", 5), ({}, b"abc", 3)])
def test_plain_length(header, content, length):
    assert len(make(header=header, content=content)) == length


def test_plain_length_without_content_length():
    c = C.Container(content_cls=C.JSONPayload, header={}, content=5)
    with pytest.raises(TypeError):
        len(c)


# Audit fields --------------------------------------------------------------------------------

def test_audit_setters():
    c = make()
    naive = datetime.datetime(2020, 1, 2, 3, 4, 5)
    c.created_at = naive
    assert c.created_at is naive
    c.modified_at = "2021-05-06T07:08:09+00:00"
    assert c.modified_at == datetime.datetime(2021, 5, 6, 7, 8, 9, tzinfo=datetime.timezone.utc)
    assert c.modified_at.tzinfo is not None
    c.modified_at = None
    assert c.modified_at is None
    u = uuid.uuid4()
    c.created_by = u
    assert c.created_by is u
    c.modified_by = str(u)
    assert c.modified_by == u
    with pytest.raises(ValueError):
        c.modified_by = "nope"


# Equality ------------------------------------------------------------------------------------

def test_equality():
    c = make()
    c.encrypt()
    a, b = C.Container(data=c.data), C.Container(data=c.data)
    assert a != b  # each takes its own created_at
    b.created_at = a.created_at
    assert a == b
    a.access = ["someone"]
    assert a != b
    b.access = ["someone"]
    assert a == b
    plain = make()
    other = C.Container(data=b"", header=plain.header.data, content=plain.content.data,
                        container_id=plain.id)
    other.created_at = plain.created_at
    assert plain == other  # missing length and access read as None
    assert (plain == "text") is False and plain != 1
    with pytest.raises(TypeError):
        hash(plain)


def test_equality_trace_only_at_the_package_debug_level(caplog, debug_traces):
    c = make()
    c.encrypt()
    a, b = C.Container(data=c.data), C.Container(data=c.data)
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert a != b
        lines = [r.getMessage() for r in caplog.records if r.name == LOGGER]
        assert lines[0] == "Checking Container Equality."
        assert lines[1:] == ["{}:         {}".format(n, r) for n, r in [
            ("id", True), ("data", True), ("access", True), ("container_keys", True), ("created_at", False),
            ("created_by", True), ("modified_at", True), ("modified_by", True), ("type", True),
            ("length", True)]]
        caplog.clear()
        assert a != make() and a != "x"  # different state or class: no trace
        assert caplog.records == []
        debug_traces.setLevel(logging.INFO)
        logging.getLogger(LOGGER).setLevel(logging.DEBUG)
        assert a != b
        assert caplog.records == []


# All or nothing ------------------------------------------------------------------------------

def test_failed_encrypt_changes_nothing():
    c = C.Container(header={"a": 1}, content=None)
    before = state(c)
    with pytest.raises(ValueError, match="^Can only encrypt str or bytes$"):
        c.encrypt()
    assert state(c) == before and c.header.encrypted is False
    c.content.data = b"now"
    keys = c.encrypt()
    d = C.Container(data=c.data)
    d.decrypt(keys)
    assert (d.header.data, d.content.data) == ({"a": 1}, b"now")


def test_encrypt_with_an_unusable_id_or_key_changes_nothing():
    c = make(container_id=12345)  # UUID hands integers back unconverted
    before = state(c)
    with pytest.raises(AttributeError):
        c.encrypt()
    assert state(c) == before
    c = make()
    before = state(c)
    with pytest.raises(ValueError):
        c.encrypt(C.ContainerKeys(cipher_key=b"k" * 31))
    assert state(c) == before


def test_encrypt_failing_in_a_custom_content_class_restores_the_header():
    class Failing(C.RawPayload):
        def encrypt(self, container_keys):
            raise OSError("storage full")

    c = C.Container(content_cls=Failing, header={"a": 1}, content=b"x")
    before = state(c)
    with pytest.raises(OSError):
        c.encrypt()
    assert state(c) == before and c.header.encrypted is False


def test_encrypt_refuses_a_portion_sealed_under_other_keys():
    c = make()
    old = C.ContainerKeys()
    c.header.encrypt(old)
    before = state(c)
    with pytest.raises(ValueError, match="sealed under other keys"):
        c.encrypt()
    assert state(c) == before
    keys = c.encrypt(old)  # the keys that sealed it are fine
    d = C.Container(data=c.data)
    d.decrypt(keys)
    assert d.header.data == {"title": "t"}


def test_wrong_keys_leave_the_container_encrypted(caplog):
    c = make()
    keys = c.encrypt()
    d = C.Container(data=c.data)
    before = state(d)
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        with pytest.raises(DecryptionError, match="^Container Digest verification failure.$"):
            d.decrypt(C.ContainerKeys())
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
        (logging.ERROR, "Container Digest verification failure.")]
    assert state(d) == before
    d.decrypt(keys)
    assert d.content.data == b"content"


def test_damaged_content_leaves_the_header_sealed_too():
    c = make()
    keys = c.encrypt()
    damaged = bytearray(c.data)
    damaged[-1] ^= 0x01  # last digest byte of the content
    d = C.Container(data=bytes(damaged))
    before = state(d)
    with pytest.raises(DecryptionError):
        d.decrypt(keys)
    assert state(d) == before and d.header.encrypted is True
    d.data = c.data
    d.decrypt(keys)
    assert d.header.data == {"title": "t"}


def test_failed_decrypt_after_keys_are_held_keeps_them():
    c = make()
    keys = c.encrypt()
    with pytest.raises(DecryptionError):
        c.decrypt(C.ContainerKeys())
    assert c.container_keys is keys and c.encrypted is True
    c.decrypt()
    assert c.content.data == b"content"


def test_failed_data_assignment_changes_nothing():
    c = make()
    c.encrypt()
    before = state(c)
    for bad in (c.data[:-1], b"\x01" * 30, "text", 7, 0):
        with pytest.raises((StreamError, TypeError)):
            c.data = bad
        assert state(c) == before
    with pytest.raises(StreamError):
        C.Container(data=c.data[:60])


def test_every_authenticated_bit_flip_is_refused():
    c = C.Container(header=None, content=b"ab")
    keys = c.encrypt()
    data = c.data
    h_len = int.from_bytes(data[40:48], "little")
    refused = 0
    for start, length in ((56, h_len), (56 + h_len, len(data) - 56 - h_len)):
        iv = range(start + 8, start + 24)  # the counter block is not authenticated
        for i in range(start, start + length):
            if i in iv:
                continue
            for bit in range(8):
                flipped = bytearray(data)
                flipped[i] ^= 1 << bit
                try:
                    d = C.Container(data=bytes(flipped))
                except StreamError:
                    refused += 1
                    continue
                with pytest.raises((DecryptionError, StreamError)):
                    d.decrypt(keys)
                assert d.encrypted is True
                refused += 1
    assert refused == 8 * (len(data) - 56 - 32)
    d = C.Container(data=data)
    d.decrypt(keys)
    assert d.content.data == b"ab"
