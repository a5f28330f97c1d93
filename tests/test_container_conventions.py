"""Conventions the container module shares with the rest of the library: its module globals
are read when an operation runs, the library's own classes and trivial subclasses of them
behave alike through every operation, whatever replaces a member of a class or an instance is
used, and its methods carry their own names, signatures and the interpreter's argument errors."""
import datetime
import inspect
import logging
import re
import types
import uuid

import pytest

import norvo.crypto as crypto
from norvo.crypto import container as C
from norvo.crypto.aes import DecryptionError

ID = "0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3"


def spy(calls, name, real):
    def method(*args, **kwargs):
        calls.append(name)
        return real(*args, **kwargs)
    return method


@pytest.fixture(scope="module")
def sealed():
    c = C.Container(header={"h": 1}, content=b"abc")
    keys = c.encrypt()
    return c.data, keys


# Module globals ------------------------------------------------------------------------------

def test_module_globals_are_read_when_the_operation_runs(monkeypatch):
    seen = []
    monkeypatch.setattr(C, "UUID", spy(seen, "UUID", C.UUID))
    monkeypatch.setattr(C, "uuid4", spy(seen, "uuid4", C.uuid4))
    c = C.Container(header={"h": 1}, content=b"x")
    c.created_by = ID
    assert seen == ["uuid4", "UUID"]
    keys = c.encrypt()
    seen.clear()
    C.Container(data=c.data)  # the id of parsed bytes goes through the module's UUID as well
    C.Container(header=1, content=b"", container_id=ID)
    assert seen == ["UUID", "UUID"]

    class Keys(C.ContainerKeys):
        pass

    monkeypatch.setattr(C, "ContainerKeys", Keys)
    assert type(C.Container(header=1, content=b"x").encrypt()) is Keys
    assert type(C.ContainerKeys.from_bytes(bytes(keys))) is Keys
    opened = C.Container(data=c.data)
    opened.decrypt(keys)
    assert type(opened.container_keys) is Keys

    class Header(C.Header):
        pass

    monkeypatch.setattr(C, "Header", Header)
    assert type(C.Container(header=1, content=b"x").header) is Header
    assert type(C.Container(data=c.data).header) is Header

    drawn = []
    monkeypatch.setattr(crypto, "random", lambda n: drawn.append(n) or bytes(n))
    fresh = C.ContainerKeys()
    assert drawn == [32, 128] and fresh.cipher_key == bytes(32)


def test_time_and_json_globals(monkeypatch):
    moment = datetime.datetime(2020, 1, 2, tzinfo=datetime.timezone.utc)

    class Arrow:
        @staticmethod
        def utcnow():
            return type("A", (), {"datetime": moment})()

        @staticmethod
        def get(value):
            return type("A", (), {"datetime": moment})()

    monkeypatch.setattr(C, "arrow", Arrow)
    c = C.Container(header=1, content=b"x")
    assert c.created_at is moment
    c.modified_at = "2001-01-01"
    assert c.modified_at is moment

    class Json:
        loads = staticmethod(lambda text: {"from": "patched"})
        dumps = staticmethod(lambda value: "{}")

    monkeypatch.setattr(C, "json", Json)
    assert C.JSONPayload(ptxt_data=b"[]").data == {"from": "patched"}


def test_the_digest_failure_goes_to_the_module_logger_and_error(monkeypatch, caplog):
    c = C.Container(header=1, content=b"x")
    c.encrypt()
    logger = logging.getLogger("norvo.tests.container")
    monkeypatch.setattr(C, "log", logger)
    with caplog.at_level(logging.ERROR, logger="norvo.tests.container"):
        with pytest.raises(DecryptionError):
            C.Container(data=c.data).decrypt(C.ContainerKeys())
    assert [r.name for r in caplog.records] == ["norvo.tests.container"]


def test_what_is_bound_at_load_stays(monkeypatch):
    # The default content class is the RawPayload of load time.
    monkeypatch.setattr(C, "RawPayload", C.JSONPayload)
    assert type(C.Container(header=1, content=b"x").content).__name__ == "RawPayload"


def test_a_missing_global_is_the_interpreters_name_error(monkeypatch):
    monkeypatch.delattr(C, "UUID")
    with pytest.raises(NameError, match="name 'UUID' is not defined"):
        C.Container(header=1, content=b"x", container_id=ID)


def test_a_missing_global_fails_only_what_reads_it(monkeypatch, sealed):
    blob, keys = sealed
    c = C.Container(data=blob)
    monkeypatch.delattr(C, "arrow")
    monkeypatch.delattr(C, "crypto")
    c.decrypt(keys)
    assert c.content.data == b"abc"
    with pytest.raises(NameError, match="name 'arrow' is not defined"):
        C.Container(header=1, content=b"x")


def test_key_records_are_made_by_the_modules_record_class(monkeypatch, sealed):
    blob, keys = sealed
    made = []
    monkeypatch.setattr(C, "ConstructContainer", spy(made, "record", C.ConstructContainer))
    C.ContainerKeys()
    C.ContainerKeys.from_bytes(bytes(keys))
    C.Container(data=blob).decrypt(keys)
    assert made == ["record"] * 3


# The library's classes and trivial subclasses, side by side ----------------------------------

class SubRawPayload(C.RawPayload):
    pass


class SubJSONPayload(C.JSONPayload):
    pass


class SubHeader(C.Header):
    pass


class SubContainerKeys(C.ContainerKeys):
    pass


class SubContainer(C.Container):
    pass


STOCK = dict(container=C.Container, raw=C.RawPayload, json=C.JSONPayload, header=C.Header, keys=C.ContainerKeys)
SUBCLASSES = dict(container=SubContainer, raw=SubRawPayload, json=SubJSONPayload, header=SubHeader, keys=SubContainerKeys)


def walk(classes, monkeypatch):
    """Every container operation with these classes; what a caller can observe, class names aside."""
    monkeypatch.setattr(C, "Header", classes["header"])
    monkeypatch.setattr(C, "ContainerKeys", classes["keys"])
    Container, keys_cls = classes["container"], classes["keys"]
    out = []

    def note(*values):
        out.append(tuple(re.sub(r"Sub(\w+)", r"\1", v) if isinstance(v, str) else v for v in values))

    def attempt(label, fn):
        try:
            result = fn()
        except Exception as e:
            note(label, "raised", type(e).__name__, str(e))
        else:
            simple = result is None or isinstance(result, (bool, int, str, bytes))
            note(label, "gave", result if simple else type(result).__name__)

    for content_cls, content in ((classes["raw"], b"\x00bytes"), (classes["json"], {"k": [1, 2]})):
        c = Container(header={"h": "v"}, content=content, content_cls=content_cls)
        note("plain", c.encrypted, c.data, len(c), repr(c.header), repr(c.content), c.header == c.header)
        keys = c.encrypt(keys_cls())
        note("sealed", c.encrypted, len(c.data), len(c), c.length, c.header.encrypted, c.content.encrypted,
             type(keys) is keys_cls, c.container_keys is keys, c.encrypt())
        blob = c.data
        c.decrypt()
        note("opened", c.encrypted, c.header.data, c.content.data, c.container_keys == keys,
             c.container_keys is keys, type(c.container_keys) is keys_cls)
        d = Container(data=blob, content_cls=content_cls)
        note("parsed", d.encrypted, d.id == c.id, len(d), d._container.header_length)
        attempt("wrong keys", lambda: d.decrypt(keys_cls()))
        note("after wrong keys", d.encrypted, d.container_keys is None)
        d.decrypt(keys)
        note("reopened", d.header.data, d.content.data)
        attempt("data on plain", lambda: setattr(d, "data", blob))
        d.header.set_encrypted_data(b"\x10")
        attempt("encrypt with a damaged portion", lambda: d.encrypt(keys))
        e = Container(data=blob, content_cls=content_cls)
        e.data = b""
        note("emptied", e.encrypted, len(e), e.id == c.id)
        attempt("decrypt emptied", lambda: e.decrypt(keys))
        f = Container(header=None, content=None, content_cls=content_cls)
        attempt("encrypt without content", lambda: f.encrypt())
        note("after", f.encrypted, f.container_keys is None)
        g = Container(header=1, content=content, content_cls=content_cls)
        g.header.encrypt(keys_cls())
        attempt("portion sealed under other keys", lambda: g.encrypt(keys))
        note("keys", bytes(keys_cls.from_bytes(bytes(keys))) == bytes(keys))
        attempt("empty key record", lambda: keys_cls.from_bytes(bytes(C.ContainerKeysStruct.build(dict(
            version=1, cipher_index=0, cipher_key_length=0, cipher_key=b"", mac_index=0, mac_key_length=1,
            mac_key=b"m")))))
    return out


@pytest.mark.parametrize("classes", [
    SUBCLASSES,
    dict(STOCK, container=SubContainer),
    dict(STOCK, raw=SubRawPayload, json=SubJSONPayload, header=SubHeader),
    dict(STOCK, keys=SubContainerKeys),
], ids=["every class", "the container", "the payloads", "the keys"])
def test_stock_classes_and_trivial_subclasses_behave_alike(monkeypatch, classes):
    stock = walk(STOCK, monkeypatch)
    monkeypatch.undo()
    sub = walk(classes, monkeypatch)
    assert sub == stock
    assert len(stock) > 30


def test_a_payload_class_with_its_own_encryption_is_used():
    calls = []

    class Recording(C.RawPayload):
        def encrypt(self, container_keys):
            calls.append("encrypt")
            super().encrypt(container_keys)

        def decrypt(self, container_keys):
            calls.append("decrypt")
            super().decrypt(container_keys)

    c = C.Container(header=1, content=b"abc", content_cls=Recording)
    keys = c.encrypt()
    d = C.Container(data=c.data, content_cls=Recording)
    d.decrypt(keys)
    assert calls == ["encrypt", "decrypt"] and d.content.data == b"abc"


def operate(op, sealed, change=lambda c: None):
    """A new container encrypted, or the sealed one opened, `change` applied to it first."""
    blob, keys = sealed
    c = C.Container(header={"h": 1}, content=b"abc") if op == "encrypt" else C.Container(data=blob)
    change(c)
    if op == "encrypt":
        keys = c.encrypt()
    else:
        c.decrypt(keys)
    return c, keys


def opened(c, keys):
    """The values that a container `operate` left holds."""
    if c.encrypted:
        c = C.Container(data=c.data)
        c.decrypt(keys)
    return c.header.data, c.content.data


@pytest.mark.parametrize("op, portion, name", [
    ("encrypt", "header", "encrypt"),
    ("encrypt", "content", "encrypt"),
    ("encrypt", "content", "set_encrypted_data"),
    ("decrypt", "header", "decrypt"),
    ("decrypt", "content", "set_plaintext_data"),
    ("decrypt", "header", "_get_data"),  # the header's sealed data is read through it
])
def test_an_instance_attribute_in_front_of_a_method_is_called(sealed, op, portion, name):
    calls = []

    def change(c):
        payload = getattr(c, portion)
        setattr(payload, name, spy(calls, name, getattr(payload, name)))

    c, keys = operate(op, sealed, change)
    assert calls == [name]
    assert opened(c, keys) == ({"h": 1}, b"abc")


@pytest.mark.parametrize("cls, name, op, count", [
    (C.RawPayload, "set_encrypted_data", "encrypt", 2),  # the header inherits it
    (C.RawPayload, "decrypt", "decrypt", 2),
    (C.JSONPayload, "_get_data", "decrypt", 1),
    (C.ContainerKeys, "__init__", "encrypt", 1),  # fresh keys
    (C.ContainerKeys, "__init__", "decrypt", 1),  # the copy of the keys used
])
def test_a_member_replaced_on_a_library_class_is_used_until_it_is_put_back(monkeypatch, sealed, cls, name, op,
                                                                           count):
    calls = []
    monkeypatch.setattr(cls, name, spy(calls, name, cls.__dict__[name]))
    c, keys = operate(op, sealed)
    assert calls == [name] * count
    assert opened(c, keys) == ({"h": 1}, b"abc")
    monkeypatch.undo()
    calls.clear()
    c, keys = operate(op, sealed)
    assert calls == [] and opened(c, keys) == ({"h": 1}, b"abc")


def test_the_encryption_state_of_a_subclass_is_what_the_container_reads():
    class AlwaysSealed(C.Container):
        encrypted = property(lambda self: True)

    c = AlwaysSealed(header=1, content=b"x")
    assert c.encrypt() is None and c.data is None and len(c) == 0 and repr(c).endswith("Encrypted: True>")


def test_ids_and_keys_of_other_kinds_are_read_by_their_attributes():
    class Id(uuid.UUID):
        pass

    model = C.ContainerKeys()
    like = types.SimpleNamespace(cipher_index=0, mac_index=0, cipher_key=model.cipher_key, mac_key=model.mac_key)
    behind = C.ContainerKeys()  # the library's keys over a record of another class
    behind.container = types.SimpleNamespace(**model.container)
    for keys in (like, behind):
        c = C.Container(header=1, content=b"x", container_id=Id(ID))
        assert c.encrypt(keys) is keys and c.data[8:24] == uuid.UUID(ID).bytes_le
        d = C.Container(data=c.data)
        d.decrypt(keys)
        assert d.content.data == b"x" and d.container_keys == model
        assert C._decrypt(C._encrypt(b"y", keys), keys) == b"y"


# Methods made from C++ -----------------------------------------------------------------------

class Reference:
    """Python methods with the signatures of the library's, for the interpreter's own errors."""

    def __init__(self, data=None, content_cls=None, **kwargs):
        pass

    def encrypt(self, container_keys=None):
        pass

    def keys_init(self, cipher_index=0, mac_index=0, cipher_key=None, mac_key=None):
        pass

    def set_encrypted_data(self, ciphertext):
        pass


Reference.__init__.__qualname__ = "Container.__init__"
Reference.encrypt.__qualname__ = "Container.encrypt"
Reference.keys_init.__qualname__ = "ContainerKeys.__init__"
Reference.set_encrypted_data.__qualname__ = "RawPayload.set_encrypted_data"


@pytest.mark.parametrize("method, name, qualname", [
    (C.Container.__init__, "__init__", "Container.__init__"),
    (C.Container.encrypt, "encrypt", "Container.encrypt"),
    (C.ContainerKeys.__init__, "__init__", "ContainerKeys.__init__"),
    (C.RawPayload.set_encrypted_data, "set_encrypted_data", "RawPayload.set_encrypted_data"),
])
def test_methods_carry_their_names(method, name, qualname):
    assert method.__name__ == name and method.__qualname__ == qualname
    assert method.__module__ == "norvo.crypto.container"


def test_any_number_of_ignored_keywords():
    extra = {"k%d" % i: i for i in range(40)}
    c = C.Container(header=1, content=b"x", type="t", **extra)
    assert c.type == "t" and not hasattr(c, "k0")


def test_signatures():
    assert str(inspect.signature(C.Container.__init__)) == (
        "(self, data=None, content_cls=%r, **kwargs)" % C.RawPayload)
    assert str(inspect.signature(C.ContainerKeys.__init__)) == (
        "(self, cipher_index=0, mac_index=0, cipher_key=None, mac_key=None)")
    c = C.Container(header=1, content=b"x")
    assert str(inspect.signature(c.encrypt)) == "(container_keys=None)"
    assert str(inspect.signature(C.ContainerKeys.from_bytes)) == "(data)"


def error_of(call):
    with pytest.raises(TypeError) as e:
        call()
    return str(e.value)


@pytest.mark.parametrize("ours, reference", [
    (lambda: C.Container(1, 2, 3), lambda: Reference.__init__(None, 1, 2, 3)),
    (lambda: C.Container(1, data=2), lambda: Reference.__init__(None, 1, data=2)),
    (lambda: C.Container(header=1, content=b"").encrypt(1, 2), lambda: Reference().encrypt(1, 2)),
    (lambda: C.Container(header=1, content=b"").encrypt(keys=1), lambda: Reference().encrypt(keys=1)),
    (lambda: C.ContainerKeys(0, 0, None, None, 5), lambda: Reference().keys_init(0, 0, None, None, 5)),
    (lambda: C.RawPayload().set_encrypted_data(), lambda: Reference().set_encrypted_data()),
])
def test_bad_calls_read_like_the_interpreters_own(ours, reference):
    assert error_of(ours) == error_of(reference)


def test_a_class_changed_after_use_is_seen():
    class Late(C.RawPayload):
        pass

    c = C.Container(header=1, content=b"abc", content_cls=Late)
    keys = c.encrypt()
    C.Container(data=c.data, content_cls=Late).decrypt(keys)  # the class as the library made it
    calls = []

    def decrypt(self, container_keys):
        calls.append("decrypt")
        C.RawPayload.decrypt(self, container_keys)

    Late.decrypt = decrypt
    d = C.Container(data=c.data, content_cls=Late)
    d.decrypt(keys)
    assert calls == ["decrypt"] and d.content.data == b"abc"
