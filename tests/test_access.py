import datetime
import logging
import os
import subprocess
import sys
import textwrap
import types
import uuid

import arrow
import pytest

import norvo.providers
from norvo.access import Access
from norvo.crypto.container import Container
from norvo.crypto.envelope import Envelope
from norvo.permissions import DEFAULT_RECIP_PERMISSIONS, Permissions
from rings import private_ring

SENDER = uuid.UUID("11111111-2222-4333-8444-555555555555")
RECIPIENT = uuid.UUID("66666666-7777-4888-9999-aaaaaaaaaaaa")


@pytest.fixture(scope="module")
def rings():
    return private_ring(user_id=SENDER), private_ring(user_id=RECIPIENT)


@pytest.fixture
def logged_in(fresh_provider, rings):
    sender, recipient = rings
    fresh_provider.session.user = types.SimpleNamespace(id=SENDER, keys=sender)
    fresh_provider.keys.add(recipient)
    return fresh_provider


@pytest.fixture
def container():
    c = Container(content=b"shared content", header={"title": "notes"})
    c.encrypt()
    return c


@pytest.fixture
def scopes(monkeypatch):
    """Counts the provider scopes entered and records how each was left."""
    real_get = norvo.providers.get
    exits = []

    class Scope(object):
        suppress = False

        def __enter__(self):
            self.inner = real_get()
            return self.inner.__enter__()

        def __exit__(self, *exc):
            exits.append(exc)
            self.inner.__exit__(*exc)
            return Scope.suppress

    monkeypatch.setattr(norvo.providers, "get", Scope)
    return types.SimpleNamespace(exits=exits, cls=Scope)


@pytest.fixture
def no_provider(monkeypatch):
    def refuse():
        raise AssertionError("the provider package must not be contacted")
    monkeypatch.setattr(norvo.providers, "get", refuse)


def built_access(container, **kwargs):
    a = Access(RECIPIENT, **kwargs)
    a.container = container
    return a


def test_defaults(no_provider):
    a = Access(RECIPIENT)
    assert isinstance(a.permissions, Permissions) and int(a.permissions) == 255
    assert a.expiration is None
    assert (a.created_at, a.created_by, a.modified_at, a.modified_by) == (None,) * 4
    assert a.user_id is RECIPIENT and a._key_blob is None
    assert not hasattr(a, "container")
    text = "text-id"
    assert Access(user_id=text).user_id is text  # never coerced
    assert Access.__module__ == "norvo.access"


@pytest.mark.parametrize("given,expected", [(0, 0), (True, 1), (False, 0), (139, 139), (511, 255), (None, 255)])
def test_permissions_from_integers(given, expected):
    p = Access(RECIPIENT, permissions=given).permissions
    assert isinstance(p, Permissions) and int(p) == expected


def test_given_permissions_are_shared_not_copied():
    p = Permissions(value=0)
    a, b = Access(RECIPIENT, p), Access(SENDER, permissions=p)
    assert a.permissions is p and b.permissions is p
    p.access.view = True
    assert int(a.permissions) == int(b.permissions) == 8
    assert Access(RECIPIENT, DEFAULT_RECIP_PERMISSIONS).permissions is DEFAULT_RECIP_PERMISSIONS


@pytest.mark.parametrize("kwargs,message", [
    (dict(permissions="255"), "Cannot set permissions"),
    (dict(permissions=255.0), "Cannot set permissions"),
    (dict(permissions=[1]), "Cannot set permissions"),
    (dict(permissions="x", expiration="tomorrow"), "Cannot set permissions"),
    (dict(expiration=datetime.date(2030, 1, 1)), "expiration must be a datetime if provided"),
    (dict(expiration=arrow.utcnow()), "expiration must be a datetime if provided"),
    (dict(expiration="2030-01-01T00:00:00"), "expiration must be a datetime if provided"),
    (dict(expiration=1893456000), "expiration must be a datetime if provided"),
])
def test_construction_refusals(kwargs, message):
    with pytest.raises(ValueError) as err:
        Access(RECIPIENT, **kwargs)
    assert str(err.value) == message


def test_expiration_kept_unchanged():
    naive = datetime.datetime(2030, 1, 1, 12, 0)
    aware = datetime.datetime(2030, 1, 1, 12, 0, tzinfo=datetime.timezone.utc)
    assert Access(RECIPIENT, expiration=naive).expiration is naive
    assert Access(RECIPIENT, expiration=aware).expiration is aware


def test_envelope_built_once_on_first_read(logged_in, container, scopes, rings):
    a = built_access(container)
    assert scopes.exits == []  # construction contacts nothing
    envelope = a.key_blob
    assert isinstance(envelope, Envelope)
    assert a.key_blob is envelope and a.key_blob is envelope
    assert scopes.exits == [(None, None, None)]
    # Later reads never build again, even once the sender has logged out.
    logged_in.session.user = None
    assert a.key_blob is envelope
    assert len(scopes.exits) == 1
    # The envelope carries the container's keys for the recipient, signed by the sender.
    assert envelope.sender_user_id == SENDER and envelope.recipient_user_id == RECIPIENT
    sender, recipient = rings
    assert envelope.get_container_keys(recipient, sender_keys=sender) == container.container_keys


def test_recipient_ring_looked_up_by_stored_user_id(logged_in, container):
    a = Access(str(RECIPIENT))
    a.container = container
    with pytest.raises(KeyError):  # the directory knows the recipient by UUID, not by its text
        a.key_blob
    assert a._key_blob is None


def test_given_key_never_touches_the_provider(rings, container, no_provider):
    sender, recipient = rings
    original = Envelope(container_id=container.id, container_keys=container.container_keys,
                        sender_keys=sender, recip_keys=recipient)
    for key in (original.b64, original.b64.decode("ascii")):
        a = Access(RECIPIENT, key=key)
        assert a.key_blob == original and a.key_blob is a.key_blob
        a.container = container  # an attached container changes nothing once an envelope is held
        assert a.key_blob.to_bytes() == original.to_bytes()
    # Two accesses made from the same key compare equal without building anything.
    assert Access(RECIPIENT, key=original.b64) == Access(RECIPIENT, key=original.b64.decode("ascii"))


@pytest.mark.parametrize("empty", ["", b"", None])
def test_empty_key_builds_on_first_read(logged_in, container, empty, scopes):
    a = built_access(container, key=empty)
    assert a._key_blob is None
    assert isinstance(a.key_blob, Envelope)
    assert len(scopes.exits) == 1


def test_bad_key_refused_at_construction():
    with pytest.raises(ValueError):
        Access(RECIPIENT, key="abc")  # not whole base64 groups
    with pytest.raises(TypeError):
        Access(RECIPIENT, key=12345)


def test_build_refusals_leave_nothing_held(fresh_provider, rings, container, scopes):
    a = built_access(container)
    # Nobody logged in: a bare assertion error, and the scope sees it.
    with pytest.raises(AssertionError) as err:
        a.key_blob
    assert err.value.args == ()
    assert a._key_blob is None and scopes.exits[-1][0] is AssertionError
    # No container attached.
    sender, recipient = rings
    fresh_provider.session.user = types.SimpleNamespace(id=SENDER, keys=sender)
    with pytest.raises(AttributeError):
        Access(RECIPIENT).key_blob
    # Recipient unknown to the provider.
    with pytest.raises(KeyError):
        a.key_blob
    assert a._key_blob is None
    # Once everything is in place the next read builds.
    fresh_provider.keys.add(recipient)
    assert isinstance(a.key_blob, Envelope)


def test_suppressing_scope_gives_none(fresh_provider, container, scopes):
    scopes.cls.suppress = True
    a = built_access(container)
    assert a.key_blob is None
    assert scopes.exits[-1][0] is AssertionError


def test_login_check_kept_with_optimisation_flag(tmp_path):
    # The sender check is no interpreter assertion: python -O keeps it.
    script = textwrap.dedent("""
        from norvo.access import Access
        a = Access("someone")
        a.container = object()
        try:
            a.key_blob
        except AssertionError as e:
            print("assertion", e.args)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True, env=env, check=True)
    assert out.stdout.strip() == "assertion ()"


def test_setter_replaces_or_keeps(logged_in, container):
    a = built_access(container)
    first = a.key_blob
    with pytest.raises(TypeError):
        a.key_blob = None
    assert a.key_blob is first
    with pytest.raises(ValueError):
        a.key_blob = "abc"
    assert a.key_blob is first
    a.key_blob = first.b64
    assert a.key_blob is not first and a.key_blob == first


def test_audit_dates():
    a = Access(RECIPIENT)
    a.created_at = "2024-03-01T10:00:00+02:00"
    assert a.created_at == datetime.datetime(2024, 3, 1, 8, 0, tzinfo=datetime.timezone.utc)
    assert a.created_at.utcoffset() == datetime.timedelta(hours=2)
    a.modified_at = 0
    assert a.modified_at == datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
    naive = datetime.datetime(2024, 3, 1)
    a.created_at = naive
    assert a.created_at is naive
    with pytest.raises(arrow.parser.ParserError):
        a.created_at = "not a date"
    assert a.created_at is naive
    a.modified_at = None
    assert a.modified_at is None


def test_audit_user_ids():
    a = Access(RECIPIENT)
    a.created_by = str(SENDER)
    assert a.created_by == SENDER and isinstance(a.created_by, uuid.UUID)
    a.modified_by = SENDER
    assert a.modified_by is SENDER
    a.modified_by = 5
    assert a.modified_by == 5
    with pytest.raises(TypeError):
        a.modified_by = b"\x00" * 16
    with pytest.raises(ValueError):
        a.modified_by = "not-a-uuid"
    assert a.modified_by == 5
    a.created_by = None
    assert a.created_by is None


def test_text_form(no_provider):
    assert repr(Access(RECIPIENT, permissions=8)) == "<Access Expires=None <Permission(access.view) int=8>>"
    expiry = datetime.datetime(2030, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc)
    a = Access(RECIPIENT, permissions=0, expiration=expiry)
    assert str(a) == "<Access Expires=2030-01-02 03:04:05+00:00 <Permission() int=0>>"


def test_equality(logged_in, container, scopes):
    with pytest.raises(TypeError):
        hash(Access(RECIPIENT))
    a = Access(RECIPIENT)
    assert (a == RECIPIENT) is False and (a != "x") is True
    Sub = type("Sub", (Access,), {})
    assert Access(RECIPIENT) == Access(RECIPIENT)
    # The base's own equality accepts a subclass instance; the subclass's refuses the base
    # (and `==` asks the subclass first).
    assert Access(RECIPIENT).__eq__(Sub(RECIPIENT)) is True
    assert Sub(RECIPIENT).__eq__(Access(RECIPIENT)) is False
    assert Sub(RECIPIENT) != Access(RECIPIENT)
    assert Access(RECIPIENT) != Access(str(RECIPIENT))
    assert Access(RECIPIENT, permissions=1) != Access(RECIPIENT, permissions=2)
    b = Access(RECIPIENT)
    b.created_by = SENDER
    assert Access(RECIPIENT) != b
    assert scopes.exits == []


def test_equality_compares_the_envelopes_held(logged_in, container, scopes):
    x, y = built_access(container), built_access(container)
    # Neither holds an envelope: equal, and comparing builds none.
    assert x == y and not (x != y)
    assert x._key_blob is None and y._key_blob is None and scopes.exits == []
    built = x.key_blob
    assert x != y and y != x and y._key_blob is None
    assert x == x and x.key_blob is built
    # Each build draws a fresh ephemeral key, so two built envelopes differ...
    y.key_blob
    assert x != y and len(scopes.exits) == 2
    # ...while the same envelope given as a key makes them equal again.
    y.key_blob = built.b64
    assert x == y


def test_equality_never_contacts_the_provider(container, no_provider):
    # Nobody logged in, and the provider package refuses to be asked.
    a, b = built_access(container), built_access(container)
    assert a == b and not (a != b)
    assert Access(RECIPIENT) == a
    assert a._key_blob is None and b._key_blob is None


def test_equality_trace(logged_in, caplog, debug_traces):
    caplog.set_level(logging.DEBUG, logger="norvo.access")
    b = Access(RECIPIENT)
    b.created_by = SENDER
    assert Access(RECIPIENT) != b
    lines = [r.getMessage() for r in caplog.records if r.name == "norvo.access"]
    assert lines == ["Comparing Access Equality", "user_id True", "key_blob True", "created_at True",
                     "created_by False", "modified_at True", "modified_by True", "expiration True",
                     "permissions True"]
    assert all(r.levelno == logging.DEBUG for r in caplog.records)


def test_no_trace_when_only_root_debugs(logged_in, caplog):
    caplog.set_level(logging.DEBUG)  # the root logger only
    assert Access(RECIPIENT) == Access(RECIPIENT)
    assert [r for r in caplog.records if r.name == "norvo.access"] == []
