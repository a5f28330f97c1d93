"""The whole road against the loopback broker: accounts, a container sealed and shared, opened
by its recipient, its events, the local encrypted store; and what the road refuses."""
import base64
import datetime
import json
import os
import sqlite3
import subprocess
import sys
import uuid

import pytest
from cryptography.exceptions import InvalidSignature

from norvo import _lifecycle, container
from norvo.access import Access
from norvo.crypto.aes import DecryptionError
from norvo.crypto.container import Container, JSONPayload
from norvo.crypto.envelope import Envelope
from norvo.permissions import DEFAULT_RECIP_PERMISSIONS, Permissions
from norvo.providers.server import events
from rings import private_ring
import road_fixtures
from road_fixtures import package_root

pytestmark = pytest.mark.filterwarnings("error::sqlalchemy.exc.SAWarning",
                                        "ignore:The 'EncryptedType' class will change:DeprecationWarning")

HEADER = {"title": "quarterly figures for the harbour board"}
CONTENT = {"note": "dredging the northern basin", "revenue": 1250000}
UTC = datetime.timezone.utc


def in_a_day():
    return datetime.datetime.now(UTC) + datetime.timedelta(days=1)


def actions(**filters):
    return [(e.action, e.related_user_id) for e in events.get(type="container", **filters)]


@pytest.fixture
def shared(road, signup, login):
    """`shared(permissions, expiration=None)`: Alice seals a container for Bob; Bob is logged in
    after it. Returns (alice, bob, the container as Alice made it)."""

    def share(permissions=DEFAULT_RECIP_PERMISSIONS, expiration=None, content=CONTENT):
        alice, bob = signup("alice"), signup("bob")
        login(alice)
        made = container.create(HEADER, content, type="report",
                                access=[Access(bob.id, permissions=permissions, expiration=expiration)])
        login(bob)
        return alice, bob, made

    return share


def test_the_whole_road(road, signup, login, shared):
    expires = in_a_day()
    alice, bob, made = shared(expiration=expires)
    carol = signup("carol")
    login(bob)
    assert made.encrypted and made.access[alice.id].permissions == 255 and made.access[bob.id].permissions == 139

    # Bob, by his password: fetch, unwrap, open.
    got = container.get(made.id)
    assert (got.header.data, got.content.data) == (HEADER, CONTENT)
    assert got.id == made.id and got.created_by == alice.id and got.type is None  # no type view for Bob
    assert got.access[bob.id].expiration == expires and int(got.access[bob.id].permissions) == 139
    assert int(got.access[alice.id].permissions) == 255  # access view shows the others
    assert actions() == [("added", alice.id), ("accessed", bob.id)]

    # By his passphrase, and from his local store without the broker's copy.
    login(bob, "passphrase")
    assert container.get(made.id).content.data == CONTENT
    assert container.local_ids() == [made.id]
    local = container.get(made.id, local=True, content_cls=JSONPayload)
    assert (local.header.data, local.content.data) == (HEADER, CONTENT) and local.access[bob.id].expiration == expires

    # Carol has no access and sees none of its events.
    login(carol)
    with pytest.raises(PermissionError, match="no access to this container"):
        container.get(made.id)
    assert actions() == [] and container.local_ids() == []

    # Alice sees Bob's reads, changes the content under the same keys, and Bob reads it.
    login(alice)
    opened = container.get(made.id)
    assert opened.type == "report"
    changed = container.update(opened, content={"note": "the plan has changed"})
    assert actions()[-1] == ("updated", alice.id)
    login(bob)
    assert container.get(made.id).content.data == {"note": "the plan has changed"}

    # Revoked, Bob is refused; deleted, the container is gone for everyone.
    login(alice)
    container.update(changed, revoke=[bob.id])
    login(bob)
    with pytest.raises(PermissionError, match="no access"):
        container.get(made.id)
    login(alice)
    container.delete(made.id)
    with pytest.raises(LookupError, match="no such container"):
        container.get(made.id)
    assert container.local_ids() == [] and actions()[-1] == ("deleted", alice.id)


def test_a_recipient_with_the_rights_updates_and_shares_on(road, signup, login, shared):
    alice, bob, made = shared(permissions=Permissions())
    carol = signup("carol")
    login(bob)
    got = container.get(made.id)
    container.update(got, header={"title": "retitled by Bob"}, type="memo",
                     access=[Access(carol.id, permissions=DEFAULT_RECIP_PERMISSIONS)])
    # Carol's envelope was sealed by Bob, who granted it: she checks it against Bob's keys.
    login(carol)
    seen = container.get(made.id)
    assert seen.header.data == {"title": "retitled by Bob"} and seen.content.data == CONTENT
    assert seen.access[carol.id].modified_by == bob.id
    login(alice)
    assert container.get(made.id).type == "memo"


# Each case: Bob's permissions, what Bob tries, and the broker's reason for refusing it.
REFUSALS = {
    "download": (139 & ~1, lambda c, others: container.get(c.id), "no download permission"),
    "upload": (139, lambda c, others: container.update(container.get(c.id), content={"x": 1}),
               "no upload permission"),
    "type modify": (139, lambda c, others: container.update(container.get(c.id), type="other"),
                    "no type modify permission"),
    "access modify": (139, lambda c, others: container.update(container.get(c.id), access=[others["carol"]]),
                      "no access modify permission"),
    "grant beyond own": (139 | 16, lambda c, others: container.update(
        container.get(c.id), access=[Access(others["carol"], permissions=255)]),
        "cannot grant permissions one does not hold"),
    "revoke the creator": (255, lambda c, others: container.update(container.get(c.id), revoke=[others["alice"]]),
                           "cannot revoke the creator's access"),
    "delete": (255, lambda c, others: container.delete(c.id), "only the creator may delete a container"),
}


@pytest.mark.parametrize("case", sorted(REFUSALS))
def test_the_broker_refuses_what_the_permissions_do_not_allow(road, signup, shared, case):
    permissions, attempt, reason = REFUSALS[case]
    alice, bob, made = shared(permissions=permissions)
    carol = signup("carol")
    _lifecycle.login(bob.id, password=bob.password)
    b = road.broker
    before = (dict(b.state.table("containers")[str(made.id)]), sorted(b.state.table("accesses")))
    with pytest.raises(PermissionError, match=reason):
        attempt(made, {"alice": alice.id, "carol": carol.id})
    assert b.log[-1].status == 403 and b.log[-1].verdict == "403: " + reason
    assert (b.state.table("containers")[str(made.id)], sorted(b.state.table("accesses"))) == before


def test_without_decrypt_the_broker_withholds_the_envelope(road, shared):
    alice, bob, made = shared(permissions=139 & ~2)
    with pytest.raises(PermissionError, match="no decrypt permission"):
        container.get(made.id)
    assert road.broker.entries("container-get")[-1].verdict.endswith("no decrypt permission")
    sealed = container.get(made.id, decrypt=False)
    assert sealed.encrypted and sealed.data == made.data


def test_without_the_events_permission_the_feed_stays_silent(road, shared):
    alice, bob, made = shared(permissions=139 & ~128)
    container.get(made.id)
    assert actions() == []
    _lifecycle.login(alice.id, password=alice.password)
    assert actions() == [("added", alice.id), ("accessed", bob.id)]


def test_an_expired_access_is_refused(road, shared, login):
    past = datetime.datetime.now(UTC) - datetime.timedelta(minutes=1)
    alice, bob, made = shared(expiration=past)
    with pytest.raises(PermissionError, match="access expired"):
        container.get(made.id)
    # An access that expires tomorrow works today, and no longer once tomorrow has come.
    login(alice)
    container.update(container.get(made.id), access=[Access(bob.id, permissions=139, expiration=in_a_day())])
    login(bob)
    assert container.get(made.id).content.data == CONTENT
    road.broker.clock_skew = datetime.timedelta(days=2)
    login(bob)  # a fresh session on the broker's new clock
    with pytest.raises(PermissionError, match="access expired"):
        container.get(made.id)
    # The local copy knows its expiry too: once it has passed, the store refuses to open it.
    from norvo.providers.ofs import models

    session = road.provider.database.session()
    session.get(models.Container, made.id).access[bob.id].expires_at = datetime.datetime.now(UTC)
    session.commit()
    with pytest.raises(PermissionError, match="has expired"):
        container.get(made.id, local=True)


def stored_object(road, made):
    b = road.broker
    return b.state.objects, b.state.table("containers")[str(made.id)]["object"]


@pytest.mark.parametrize("offset, error", [
    (-3, DecryptionError),     # content ciphertext: its MAC fails
    (130, DecryptionError),    # header section
    (10, ValueError),          # the container id in the preamble: another container
])
def test_a_tampered_container_is_refused(road, shared, offset, error):
    alice, bob, made = shared()
    objects, name = stored_object(road, made)
    data = bytearray(objects[name])
    data[offset] ^= 0x01
    objects[name] = bytes(data)
    with pytest.raises(error):
        container.get(made.id)
    assert container.local_ids() == []  # nothing unproven is kept


def bobs_blob(road, made, bob, value=None):
    record = road.broker.state.table("accesses")[(str(made.id), str(bob.id))]
    if value is not None:
        record["keyBlob"] = base64.b64encode(value).decode("ascii")
    return base64.b64decode(record["keyBlob"])


@pytest.mark.parametrize("where", ["wrapped keys", "signature", "sender id"])
def test_a_tampered_envelope_is_refused(road, shared, where):
    alice, bob, made = shared()
    blob = bytearray(bobs_blob(road, made, bob))
    # Message layout: 24 bytes of version and id, then indexes, the ephemeral key (120), the
    # counter block, the wrapped keys (200), the signature, the sender key and the sender id.
    offset = {"wrapped keys": 24 + 8 * 4 + 120 + 8 + 16 + 8 + 50, "signature": len(blob) - 16 - 8 - 120 - 8 - 40,
              "sender id": len(blob) - 4}[where]
    blob[offset] ^= 0x01
    bobs_blob(road, made, bob, bytes(blob))
    with pytest.raises((InvalidSignature, ValueError)) as refused:
        container.get(made.id)
    if where == "sender id":
        assert "not sealed by the user who granted" in str(refused.value)
    else:
        assert refused.type is InvalidSignature
    assert container.local_ids() == []


def test_an_envelope_sealed_by_a_pretender_is_refused(road, shared, login):
    alice, bob, made = shared()
    bob_ring = road.provider.keys.get(bob.id)
    # Eve's own key, in a ring that claims to be Alice's: the envelope then names Alice as its
    # sender and carries Eve's public key, which its signature matches.
    pretender = private_ring(derivation=(), user_id=alice.id)
    forged = Envelope(container_id=made.id, container_keys=made.container_keys, sender_keys=pretender,
                      recip_keys=bob_ring)
    assert forged.get_container_keys(login(bob).keys) == made.container_keys  # it would open...
    bobs_blob(road, made, bob, forged.to_bytes())
    with pytest.raises(InvalidSignature):  # ...but Alice's published keys did not sign it
        container.get(made.id)


def test_an_envelope_of_another_container_is_refused(road, shared, login):
    alice, bob, made = shared()
    login(alice)
    other = container.create({"title": "other"}, b"other", access=[bob.id])
    bobs_blob(road, made, bob, bobs_blob(road, other, bob))
    login(bob)
    with pytest.raises(ValueError, match="belongs to another container"):
        container.get(made.id)


def test_one_recipient_list_serves_every_container(road, signup, login):
    alice, bob = signup("alice"), signup("bob")
    login(alice)
    grant = Access(str(bob.id), permissions=DEFAULT_RECIP_PERMISSIONS, expiration=in_a_day())
    team = [grant]
    first = container.create(HEADER, CONTENT, access=team)
    second = container.create({"title": "second"}, b"second", access=team)
    third = container.create({"title": "third"}, b"third")
    container.update(container.get(third.id), access=team)
    # An envelope given as the key of an Access is sealed for its own container only.
    copied = Access(bob.id, permissions=139, key=first.access[bob.id].key_blob.b64)
    fourth = container.create({"title": "fourth"}, b"fourth", access=[copied])
    assert copied.key_blob == first.access[bob.id].key_blob
    # The caller's accesses are left as they were given.
    assert grant.user_id == str(bob.id) and grant._key_blob is None and not hasattr(grant, "container")
    assert int(grant.permissions) == 139 and grant.permissions is DEFAULT_RECIP_PERMISSIONS

    login(bob)
    for made, content in ((first, CONTENT), (second, b"second"), (third, b"third"), (fourth, b"fourth")):
        got = container.get(made.id)
        assert got.content.data == content and int(got.access[bob.id].permissions) == 139


def test_the_local_store_opens_without_the_broker(road, signup, login):
    alice, bob = signup("alice"), signup("bob")
    login(alice)
    shared = container.create(HEADER, CONTENT, access=[bob.id])
    login(bob)
    own = container.create({"title": "his own"}, b"his own")
    container.get(shared.id, decrypt=False)  # kept sealed: Alice's keys are not fetched yet
    fetches = len(road.broker.entries("account-keys"))
    for _ in range(2):  # fetched once, then kept
        assert container.get(shared.id, local=True, content_cls=JSONPayload).content.data == CONTENT
    assert len(road.broker.entries("account-keys")) == fetches + 1

    road.broker.stop()
    assert container.get(own.id, local=True).content.data == b"his own"
    assert container.get(shared.id, local=True, content_cls=JSONPayload).content.data == CONTENT
    # The kept keys check the envelope as the broker's would: one sealed by a pretender that
    # names Alice, and carries a key of its own that its signature matches, is refused.
    from norvo.providers.ofs import models

    pretender = private_ring(derivation=(), user_id=alice.id)
    forged = Envelope(container_id=shared.id, container_keys=shared.container_keys, sender_keys=pretender,
                      recip_keys=road.provider.session.user.keys)
    session = road.provider.database.session()
    session.get(models.Container, shared.id).access[bob.id].key_blob = forged.to_bytes()
    session.commit()
    with pytest.raises(InvalidSignature):
        container.get(shared.id, local=True)


def id_forms(value):
    raw_forms = (value.bytes, value.bytes_le)
    texts = (str(value), str(value).upper(), value.hex, value.hex.upper())
    encoded = [base64.b64encode(r) for r in raw_forms] + [base64.urlsafe_b64encode(r) for r in raw_forms]
    return [t.encode("ascii") for t in texts] + list(raw_forms) + encoded


def test_the_local_database_holds_no_plaintext(road, shared, login):
    alice, bob, made = shared()
    got = container.get(made.id)
    blob = bobs_blob(road, made, bob)
    bob_db = road.provider.database.path
    login(alice)
    container.get(made.id)
    alice_db = road.provider.database.path
    _lifecycle.logout()

    needles = [json.dumps(HEADER).encode(), b"harbour board", b"northern basin", b"report"]
    for value in (made.id, alice.id, bob.id):
        needles += id_forms(value)
    for chunk in (blob[:32], blob[300:332], blob[-40:]):
        needles += [chunk, chunk.hex().encode(), chunk.hex().upper().encode()]
    needles += [base64.b64encode(blob)[:32], bytes(made.container_keys)[:32]]
    for path in (alice_db, bob_db):
        con = sqlite3.connect(str(path))
        try:
            dump = "\n".join(con.iterdump()).encode()
            tables = {row[0] for row in con.execute("select name from sqlite_master where type = 'table'")}
        finally:
            con.close()
        assert {"containers", "container_accesses", "keys", "users"} <= tables
        assert b'INSERT INTO "containers"' in dump and b'INSERT INTO "container_accesses"' in dump
        whole = path.read_bytes() + dump
        found = [n for n in needles if n in whole]
        assert found == [], path
    assert got.content.data == CONTENT
    # The search does find an id where one lies in the clear: the container format's preamble,
    # in the container file beside the database.
    files = [p for p in road.root.rglob("*") if p.is_file() and p not in (alice_db, bob_db)]
    assert any(made.id.bytes_le in p.read_bytes() for p in files)


CHILD = """
import json, sys
from norvo import _lifecycle, container
from norvo.crypto.container import Container, JSONPayload

url, root, user_id, password, container_id = sys.argv[1:]
_lifecycle.initialize("0b6f7d52-1d4e-4c8a-9a35-6e0f2c9b7d41", fips=False, server_url=url, root_dir=root)
user = _lifecycle.login(user_id, password=password)
found = container.local_ids()
read = container.get(container_id, local=True, content_cls=JSONPayload)
print(json.dumps({"user": str(user.id), "ids": [str(i) for i in found],
                  "header": read.header.data, "content": read.content.data}))
_lifecycle.logout()
"""


def test_a_second_process_reads_back_the_local_store(road, shared):
    alice, bob, made = shared()
    container.get(made.id)
    _lifecycle.logout()
    b = road.broker
    # Only this machine's store still holds Bob's key file.
    del b.state.table("keyfiles")[str(bob.id)]
    logins_before, key_fetches = len(b.entries("login")), len(b.entries("account-keys"))
    env = dict(os.environ, PYTHONPATH=package_root())
    out = subprocess.run([sys.executable, "-c", CHILD, b.url, str(road.root), str(bob.id), bob.password,
                          str(made.id)], capture_output=True, text=True, timeout=45, env=env)
    assert out.returncode == 0, out.stderr
    seen = json.loads(out.stdout.strip().splitlines()[-1])
    assert seen == {"user": str(bob.id), "ids": [str(made.id)], "header": HEADER, "content": CONTENT}
    assert len(b.entries("login")) == logins_before + 1 and b.entries("keyfile-get") == []
    assert len(b.entries("account-keys")) == key_fetches  # Alice's keys, as the store keeps them
    assert [e.verdict for e in b.entries("container-get")] == ["ok"]  # only this process's own read


def test_a_reminder_is_stored_and_handed_back_as_given(road):
    from norvo import user as accounts

    password, passphrase, _ = road_fixtures.CREDENTIALS["carol"]
    carol = accounts.create(password, 5, passphrase)
    assert accounts.get_backup_reminder(carol.id) == 5
    accounts.change_credentials(password + "2", passphrase + "2", ["page", 12, {"shelf": None}])
    _lifecycle.logout()
    assert accounts.get_backup_reminder(str(carol.id)) == ["page", 12, {"shelf": None}]
    # One that JSON cannot carry as it is: refused, and the account made for it goes again.
    accounts_before = dict(road.broker.state.table("accounts"))
    for reminder in (b"page 12", (12, 13)):
        with pytest.raises(ValueError, match="^The reminder cannot be stored as given"):
            accounts.create(password, reminder, passphrase)
        assert road.broker.state.table("accounts") == accounts_before and road.provider.session.user is None


def test_bad_input_is_refused_before_anything_is_stored(road, signup, login):
    alice = signup("alice")
    unknown = uuid.UUID("9d1f3a8e-0c2b-4e6f-8a7d-5b4c3e2f1a0b")
    with pytest.raises(RuntimeError, match="Must login!"):
        container.create(HEADER, CONTENT)
    login(alice)
    cases = [
        (lambda: container.create(HEADER, CONTENT, access=[unknown]), KeyError),
        (lambda: container.create(HEADER, CONTENT, access=[alice.id, alice.id]), ValueError),
        (lambda: container.create(HEADER, CONTENT, content_cls=str), ValueError),
        (lambda: container.get("not a container id"), ValueError),
        (lambda: container.get(unknown), LookupError),
        (lambda: container.get(unknown, local=True), LookupError),
        (lambda: container.update(Access(alice.id)), TypeError),
        (lambda: container.update(Container(header={}, content=b"")), ValueError),  # no keys yet
    ]
    for attempt, error in cases:
        with pytest.raises(error):
            attempt()
    b = road.broker
    assert b.state.table("containers") == {} and b.state.objects == {} and container.local_ids() == []
