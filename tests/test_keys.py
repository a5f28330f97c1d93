"""Key records, key rings and the key-ring loader (norvo.crypto.keys)."""
import functools
import logging
import os
import subprocess
import sys
import uuid
from types import SimpleNamespace

import marshmallow
import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec

import norvo
from golden_loads import outcome, recorded
from norvo import crypto
from norvo.crypto import keys
from norvo.crypto.keys import AuthKey, DerivationKey, Key, KeyRing, KeyRingSchema, KeyType
from norvo.crypto.strongbox import KeyFile
from rings import DecryptedKeyFile, key_record

OWNER = "0f8fad5b-d9cb-469f-a165-70867728950e"
OTHER = "7c9e6679-7425-40de-944b-e07fc1f90ae7"


def pem_private(key):
    return crypto.to_pem_private(key.private)


def pem_public(key):
    return crypto.to_pem_public(key.public)


# A public-key record, OTHER's unless another owner is given.
record = functools.partial(key_record, user_id=OTHER)


@pytest.fixture(scope="module")
def pair():
    return AuthKey(), DerivationKey()


def test_module_classes_and_names():
    assert (KeyType.AUTH, KeyType.DERIVATION) == ("signingKeys", "derivationKeys")
    for cls in (KeyType, Key, AuthKey, DerivationKey, KeyRing, KeyRingSchema):
        assert cls.__module__ == "norvo.crypto.keys"
    assert issubclass(KeyRing, dict) and issubclass(KeyRingSchema, marshmallow.Schema)
    assert issubclass(AuthKey, Key) and issubclass(DerivationKey, Key) and Key.size == 32
    assert keys.log.name == "norvo.crypto.keys"


def test_text_forms(pair):
    auth, derivation = pair
    cases = [
        (Key(KeyType.AUTH), "<signingKeys Private: False Public: False>"),
        (Key(None, public=pem_public(auth)), "<None Private: False Public: True>"),
        (Key(KeyType.DERIVATION, private=pem_private(derivation)), "<derivationKeys Private: True Public: True>"),
        (auth, "<signingKeys Private: True Public: True>"),
        (derivation, "<derivationKeys Private: True Public: True>"),
    ]
    for key, text in cases:
        assert repr(key) == str(key) == text


def test_fresh_keys_are_active_p384_pairs_without_index_or_owner(pair):
    for key, kind in zip(pair, (KeyType.AUTH, KeyType.DERIVATION)):
        assert key.type == kind and key.active is True
        assert isinstance(key.private, ec.EllipticCurvePrivateKey) and isinstance(key.private.curve, ec.SECP384R1)
        assert key.public.public_numbers() == key.private.public_key().public_numbers()
        for attr in ("index", "user_id"):
            with pytest.raises(AttributeError):
                getattr(key, attr)
    with pytest.raises(TypeError):
        AuthKey(KeyType.AUTH)


def test_key_from_pem_text_or_bytes_derives_public(pair):
    auth, _ = pair
    for material in (pem_private(auth), pem_private(auth).decode()):
        key = Key(key_type=KeyType.AUTH, private=material)
        assert key.private.private_numbers() == auth.private.private_numbers()
        assert key.public.public_numbers() == auth.public.public_numbers()
    # An empty private beside a public key is no material at all.
    key = Key(KeyType.AUTH, "", pem_public(auth).decode())
    assert key.private is None and key.public.public_numbers() == auth.public.public_numbers()


def test_key_refusals_and_log_lines(pair, caplog):
    auth, _ = pair
    with pytest.raises(ValueError) as err:
        Key(KeyType.AUTH, private="junk", public="junk")
    assert str(err.value) == "Provide either private or public key material, not both."

    p256 = ec.generate_private_key(ec.SECP256R1())
    p256_private = p256.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption())
    p256_public = p256.public_key().public_bytes(serialization.Encoding.PEM,
                                                 serialization.PublicFormat.SubjectPublicKeyInfo)
    refusals = [
        ({"private": "not a key"}, "Private Key is not an EC P384 in PEM foramt."),
        ({"private": p256_private}, "Private Key is not an EC P384 in PEM foramt."),
        ({"private": pem_public(auth)}, "Private Key is not an EC P384 in PEM foramt."),
        ({"public": b"not a key"}, "Public Key is not an EC P384 key in PEM format."),
        ({"public": p256_public}, "Public Key is not an EC P384 key in PEM format."),
    ]
    for kwargs, message in refusals:
        caplog.clear()
        with caplog.at_level(logging.DEBUG, logger="norvo"):
            with pytest.raises(ValueError) as err:
                Key(KeyType.AUTH, **kwargs)
        assert str(err.value) == message
        # The loader's one INFO line; the keys module itself writes nothing.
        assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
            ("norvo.crypto.p384", logging.INFO, message)]


def test_key_equality(pair):
    auth, derivation = pair
    a1 = Key(KeyType.AUTH, private=pem_private(auth))
    a2 = Key(KeyType.AUTH, private=pem_private(auth).decode())
    inactive = Key(KeyType.AUTH, private=pem_private(auth))
    inactive.active = False
    as_derivation = Key(KeyType.DERIVATION, private=pem_private(auth))
    public_only = Key(KeyType.AUTH, public=pem_public(auth))
    public_again = Key(KeyType.AUTH, public=pem_public(auth).decode())
    empty = Key(KeyType.AUTH)
    equal = [(a1, a2), (public_only, public_again), (auth, auth)]
    unequal = [(empty, empty), (a1, inactive), (a1, as_derivation), (a1, public_only),
               (a1, auth), (auth, a1), (auth, AuthKey()), (auth, derivation),
               (a1, None), (a1, "signingKeys")]
    for left, right in equal:
        assert left == right and not (left != right)
    for left, right in unequal:
        assert not (left == right) and left != right
    # Index and owner take no part.
    a1.index, a2.index, a1.user_id = 0, 5, uuid.UUID(OWNER)
    assert a1 == a2
    with pytest.raises(TypeError):
        hash(a1)
    with pytest.raises(TypeError):
        {auth}


def test_ring_from_public_key_records(pair):
    auth, derivation = pair
    auth_pub, deriv_pub = pem_public(auth), pem_public(derivation)
    kinds = [("auth", KeyType.AUTH), ("signing", KeyType.DERIVATION), ("derivation", KeyType.DERIVATION),
             ("Auth", KeyType.DERIVATION), ("", KeyType.DERIVATION), (None, KeyType.DERIVATION),
             (7, KeyType.DERIVATION)]
    records = [record(auth_pub if section == KeyType.AUTH else deriv_pub, index=i, key_type=kind,
                      active=bool(i % 2), user_id=str(uuid.uuid4()))
               for i, (kind, section) in enumerate(kinds)]
    ring = KeyRing(pub_keys=records, user_id=OWNER)
    assert list(ring) == [KeyType.AUTH, KeyType.DERIVATION]
    assert ring.user_id == uuid.UUID(OWNER)
    for i, (kind, section) in enumerate(kinds):
        key = ring[section][i]
        assert key.type == section and key.index == i and key.active is bool(i % 2)
        assert key.private is None and key.user_id == uuid.UUID(OWNER)
    assert sorted(ring[KeyType.DERIVATION]) == list(range(1, len(kinds)))

    # The later of two records with one index replaces the earlier; a UUID owner is kept.
    owner = uuid.UUID(OTHER)
    ring = KeyRing(None, [record(auth_pub, active=True), record(auth_pub, active=False)], owner)
    assert list(ring[KeyType.AUTH]) == [0] and ring[KeyType.AUTH][0].active is False
    assert ring.user_id == owner

    empty = KeyRing(pub_keys=[], user_id=OWNER)
    assert dict(empty) == {KeyType.AUTH: {}, KeyType.DERIVATION: {}}
    assert empty.user_id is None


def test_ring_record_failures(pair):
    auth, _ = pair
    with pytest.raises(TypeError):
        KeyRing(user_id=OWNER)
    for missing in ("keyType", "pubKey", "index", "active"):
        rec = record(pem_public(auth))
        del rec[missing]
        with pytest.raises(KeyError):
            KeyRing(pub_keys=[rec], user_id=OWNER)
    with pytest.raises(ValueError):
        KeyRing(pub_keys=[record(pem_public(auth))], user_id="not a uuid")
    with pytest.raises(ValueError) as err:
        KeyRing(pub_keys=[record(b"junk")], user_id=OWNER)
    assert str(err.value) == "Public Key is not an EC P384 key in PEM format."


class Untouchable(object):
    def __iter__(self):
        raise RuntimeError("records were read")


def test_ring_owner_check_fails_before_any_record_is_read():
    for kwargs in ({}, {"pub_keys": Untouchable()}, {"pub_keys": Untouchable(), "user_id": ""}):
        with pytest.raises(AssertionError):
            KeyRing(**kwargs)


def test_ring_owner_check_holds_under_optimisation():
    root = os.path.dirname(os.path.dirname(norvo.__file__))
    code = ("from norvo.crypto.keys import KeyRing\n"
            "try:\n    KeyRing(pub_keys=[])\nexcept AssertionError:\n    print('checked')\n")
    env = dict(os.environ, PYTHONPATH=root)
    out = subprocess.run([sys.executable, "-O", "-c", code], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "checked"


def test_ring_from_decrypted_key_file(pair):
    auth, derivation = pair
    sealed = KeyFile(signing_key=auth, derivation_key=derivation, user_id=OWNER)
    sealed.encrypt(password="Secret.Pass1", passphrase="Rescue Phrase 1")
    opened = KeyFile(sealed.data).decrypt("Secret.Pass1")
    ring = KeyRing(strongbox=opened, pub_keys=[{"bad": 1}], user_id=OTHER)
    assert ring.user_id == uuid.UUID(OWNER)
    for section, original in ((KeyType.AUTH, auth), (KeyType.DERIVATION, derivation)):
        key = ring[section][0]
        assert type(key) is Key and key.type == section and key.index == 0 and key.active is True
        assert key.user_id == uuid.UUID(OWNER)
        assert key.private.private_numbers() == original.private.private_numbers()
        assert key.public.public_numbers() == original.public.public_numbers()
    assert ring.get_first_valid(KeyType.AUTH) is ring[KeyType.AUTH][0]

    with pytest.raises(ValueError) as err:
        KeyRing(sealed, [], OWNER)
    assert str(err.value) == "Can only accept decrypted key files."


def test_ring_from_key_ring_documents(pair):
    auth, derivation = pair
    entry = {"key": pem_private(auth).decode(), "index": 0, "active": False, "isPublic": False}
    doc = {"userId": OWNER, "signingKeys": {"5": entry}, "derivationKeys": {}}
    ring = KeyRing(DecryptedKeyFile(doc))
    assert list(ring[KeyType.AUTH]) == [0] and ring[KeyType.AUTH][0].active is False
    assert ring[KeyType.DERIVATION] == {}

    empty = KeyRing(DecryptedKeyFile({"signingKeys": {}, "derivationKeys": {}}))
    assert dict(empty) == {KeyType.AUTH: {}, KeyType.DERIVATION: {}} and empty.user_id is None

    for broken in ({"signingKeys": {}}, {"userId": OWNER, "signingKeys": {"0": {"index": 0, "active": True}},
                                         "derivationKeys": {}},
                   {"signingKeys": {"0": entry}, "derivationKeys": {}}):
        with pytest.raises(KeyError):
            KeyRing(DecryptedKeyFile(broken))

    ring = KeyRing(DecryptedKeyFile(doc))
    with pytest.raises(KeyError):
        ring.set_private_key("noSuchSection", entry, DecryptedKeyFile(dict(doc, userId=OTHER)))
    # The owner was already set when the store failed; the keys stored before stay.
    assert ring.user_id == uuid.UUID(OTHER) and list(ring[KeyType.AUTH]) == [0]


def test_get_first_valid(pair):
    auth, _ = pair
    pub = pem_public(auth)

    def ring_of(*specs):
        return KeyRing(pub_keys=[record(pub, index=i, active=a) for i, a in specs], user_id=OWNER)

    ring = ring_of((0, False), (1, True))
    assert ring.get_first_valid(KeyType.AUTH) is ring[KeyType.AUTH][1]
    ring = ring_of((2, True), (0, True))
    assert ring.get_first_valid(KeyType.AUTH) is ring[KeyType.AUTH][0]
    assert ring_of((0, False), (3, False)).get_first_valid(KeyType.AUTH) is None
    assert ring.get_first_valid(KeyType.DERIVATION) is None
    with pytest.raises(KeyError):
        ring.get_first_valid("auth")


def test_ring_equality_and_text_form(pair):
    auth, derivation = pair
    one = KeyRing(pub_keys=[record(pem_public(auth))], user_id=OWNER)
    other_keys = KeyRing(pub_keys=[record(pem_public(derivation), key_type="x", index=3)], user_id=uuid.UUID(OWNER))
    assert one == other_keys and not (one != other_keys)
    assert one != KeyRing(pub_keys=[record(pem_public(auth))], user_id=OTHER)
    plain = dict(one)
    assert not (one == plain) and not (plain == one) and one != plain
    assert KeyRing(pub_keys=[], user_id=OWNER) == KeyRing(pub_keys=[], user_id=OTHER)
    assert repr(one) == str(one) == ("{'signingKeys': {0: <signingKeys Private: False Public: True>}, "
                                     "'derivationKeys': {}}")


def rows_of(auth, derivation, owners):
    return [SimpleNamespace(index=0, active=True, pub_key=pem_public(auth), key_type=KeyType.AUTH,
                            user_id=uuid.UUID(owners[0])),
            SimpleNamespace(index=1, active=False, pub_key=pem_public(derivation), key_type=KeyType.DERIVATION,
                            user_id=uuid.UUID(owners[1]))]


def test_schema_loads_stored_rows(pair):
    auth, derivation = pair
    assert list(KeyRingSchema._declared_fields) == ["index", "userId", "keyType", "pubKey", "active"]
    schema = KeyRingSchema()
    rows = rows_of(auth, derivation, (OWNER, OTHER))
    records = schema.make_dict(rows, True)
    assert [r["keyType"] for r in records] == ["auth", "signing"]
    assert records[0] == {"index": 0, "active": True, "pubKey": pem_public(auth), "keyType": "auth",
                          "userId": OWNER}

    data, errors = schema.load(rows, many=True)
    assert errors == {} and isinstance(data, KeyRing)
    # Every key, whatever its row says, belongs to the first row's owner.
    assert data.user_id == uuid.UUID(OWNER)
    assert data[KeyType.AUTH][0].public.public_numbers() == auth.public.public_numbers()
    assert data[KeyType.DERIVATION][1].active is False
    assert data[KeyType.DERIVATION][1].user_id == uuid.UUID(OWNER)

    with pytest.raises(IndexError):
        schema.load([], many=True)
    with pytest.raises(AttributeError):
        schema.load([SimpleNamespace(index=0, active=True)], many=True)


# ---------------------------------------------------------------- golden loads
#
# What the key-row loader gave for each input when it ran on marshmallow 2.21, recorded
# before the move to our own version-2 layer on a current marshmallow (golden_loads.py
# compares them): the (data, errors) pair that the load returned, or the exception that it
# raised. The data is a ring, or the row's loaded values where the load reported errors.

GOLDEN_KEY = AuthKey()
GOLDEN_PEM = pem_public(GOLDEN_KEY)


def golden_row(**overrides):
    values = dict(index=0, active=True, pub_key=GOLDEN_PEM, key_type=KeyType.AUTH, user_id=uuid.UUID(OWNER))
    values.update(overrides)
    return SimpleNamespace(**values)


def key(index, active=True, public=GOLDEN_PEM):
    """A key of a loaded ring under its index: OWNER's, with a public half only."""
    return index, {"index": index, "active": active, "public": public, "private": None,
                   "user_id": uuid.UUID(OWNER)}


def ring(signing=(), derivation=()):
    """A ring of OWNER's whose sections hold these keys, in this order."""
    return {"type": KeyRing, "user_id": uuid.UUID(OWNER), KeyType.AUTH: list(signing),
            KeyType.DERIVATION: list(derivation)}


def described(data):
    """A loaded ring in the form that ring() and key() give; other data as it is."""
    if type(data) is not KeyRing:
        return data

    def fields(k):
        return {"index": k.index, "active": k.active, "public": None if k.public is None else pem_public(k),
                "private": None if k.private is None else pem_private(k), "user_id": k.user_id}
    return {"type": KeyRing, "user_id": data.user_id,
            **{section: [(i, fields(k)) for i, k in data[section].items()]
               for section in (KeyType.AUTH, KeyType.DERIVATION)}}


# (row attribute, value, outcome of loading one golden_row with that value)
KEY_ROW_LOADS = [
    ('index', 1, (ring(signing=[key(1)]), {})),
    ('index', -1, (ring(signing=[key(-1)]), {})),
    ('index', "2", (ring(signing=[key(2)]), {})),
    ('index', " 3 ", (ring(signing=[key(3)]), {})),
    ('index', "x",
        ([{"active": True, "keyType": "auth", "pubKey": GOLDEN_PEM, "userId": OWNER}],
         {0: {"index": ["Not a valid integer."]}})),
    ('index', True, (ring(signing=[key(1)]), {})),
    ('index', 2.5, (ring(signing=[key(2)]), {})),
    ('index', 10 ** 30, (ring(signing=[key(1000000000000000000000000000000)]), {})),
    ('index', float("inf"),
        ([{"active": True, "keyType": "auth", "pubKey": GOLDEN_PEM, "userId": OWNER}],
         {0: {"index": ["Number too large."]}})),
    ('index', b"4", (ring(signing=[key(4)]), {})),
    ('index', "",
        ([{"active": True, "keyType": "auth", "pubKey": GOLDEN_PEM, "userId": OWNER}],
         {0: {"index": ["Not a valid integer."]}})),
    ('index', None,
        ([{"active": True, "keyType": "auth", "pubKey": GOLDEN_PEM, "userId": OWNER}],
         {0: {"index": ["Field may not be null."]}})),
    ('active', False, (ring(signing=[key(0, active=False)]), {})),
    ('active', 1, (ring(signing=[key(0)]), {})),
    ('active', 0, (ring(signing=[key(0, active=False)]), {})),
    ('active', 0.0, (ring(signing=[key(0, active=False)]), {})),
    ('active', 1.0, (ring(signing=[key(0)]), {})),
    ('active', 2,
        ([{"index": 0, "keyType": "auth", "pubKey": GOLDEN_PEM, "userId": OWNER}],
         {0: {"active": ["Not a valid boolean."]}})),
    ('active', "true", (ring(signing=[key(0)]), {})),
    ('active', "True", (ring(signing=[key(0)]), {})),
    ('active', "TRUE", (ring(signing=[key(0)]), {})),
    ('active', "t", (ring(signing=[key(0)]), {})),
    ('active', "T", (ring(signing=[key(0)]), {})),
    ('active', "1", (ring(signing=[key(0)]), {})),
    ('active', "0", (ring(signing=[key(0, active=False)]), {})),
    ('active', "f", (ring(signing=[key(0, active=False)]), {})),
    ('active', "F", (ring(signing=[key(0, active=False)]), {})),
    ('active', "false", (ring(signing=[key(0, active=False)]), {})),
    ('active', "False", (ring(signing=[key(0, active=False)]), {})),
    ('active', "FALSE", (ring(signing=[key(0, active=False)]), {})),
    ('active', "tRuE",
        ([{"index": 0, "keyType": "auth", "pubKey": GOLDEN_PEM, "userId": OWNER}],
         {0: {"active": ["Not a valid boolean."]}})),
    ('active', "yes",
        ([{"index": 0, "keyType": "auth", "pubKey": GOLDEN_PEM, "userId": OWNER}],
         {0: {"active": ["Not a valid boolean."]}})),
    ('active', "on",
        ([{"index": 0, "keyType": "auth", "pubKey": GOLDEN_PEM, "userId": OWNER}],
         {0: {"active": ["Not a valid boolean."]}})),
    ('active', "y",
        ([{"index": 0, "keyType": "auth", "pubKey": GOLDEN_PEM, "userId": OWNER}],
         {0: {"active": ["Not a valid boolean."]}})),
    ('active', "",
        ([{"index": 0, "keyType": "auth", "pubKey": GOLDEN_PEM, "userId": OWNER}],
         {0: {"active": ["Not a valid boolean."]}})),
    ('active', b"1",
        ([{"index": 0, "keyType": "auth", "pubKey": GOLDEN_PEM, "userId": OWNER}],
         {0: {"active": ["Not a valid boolean."]}})),
    ('active', [],
        ([{"index": 0, "keyType": "auth", "pubKey": GOLDEN_PEM, "userId": OWNER}],
         {0: {"active": ["Not a valid boolean."]}})),
    ('active', None,
        ([{"index": 0, "keyType": "auth", "pubKey": GOLDEN_PEM, "userId": OWNER}],
         {0: {"active": ["Field may not be null."]}})),
    ('pub_key', GOLDEN_PEM.decode(), (ring(signing=[key(0)]), {})),
    ('pub_key', b"", (ring(signing=[key(0, public=None)]), {})),
    ('pub_key', b"garbage", ValueError("Public Key is not an EC P384 key in PEM format.")),
    ('pub_key', 5, ValueError("Public Key is not an EC P384 key in PEM format.")),
    ('pub_key', None,
        ([{"active": True, "index": 0, "keyType": "auth", "userId": OWNER}],
         {0: {"pubKey": ["Field may not be null."]}})),
    ('key_type', KeyType.DERIVATION, (ring(derivation=[key(0)]), {})),
    ('key_type', "auth", (ring(derivation=[key(0)]), {})),
    ('key_type', None, (ring(derivation=[key(0)]), {})),
    ('user_id', OWNER, (ring(signing=[key(0)]), {})),
    ('user_id', OWNER.upper(), (ring(signing=[key(0)]), {})),
    ('user_id', "nonsense", ValueError("badly formed hexadecimal UUID string")),
    ('user_id', 5, ValueError("badly formed hexadecimal UUID string")),
    ('user_id', None, ValueError("badly formed hexadecimal UUID string")),
]

# (case, load, outcome)
KEY_ROWS_WHOLE_LOADS = [
    ('one row', lambda: KeyRingSchema().load([golden_row()], many=True),
        (ring(signing=[key(0)]), {})),
    ('two rows of two owners', lambda: KeyRingSchema(many=True).load([
        golden_row(), golden_row(index=1, key_type=KeyType.DERIVATION, active=False, user_id=uuid.UUID(OTHER))]),
        (ring(signing=[key(0)], derivation=[key(1, active=False)]), {})),
    ('two rows under one index', lambda: KeyRingSchema(many=True).load([golden_row(), golden_row(active=False)]),
        (ring(signing=[key(0, active=False)]), {})),
    ('a bad row beside a good one', lambda: KeyRingSchema(many=True).load([golden_row(), golden_row(index="x", active="maybe")]),
        ([{"active": True, "index": 0, "keyType": "auth", "pubKey": GOLDEN_PEM, "userId": OWNER},
          {"keyType": "auth", "pubKey": GOLDEN_PEM, "userId": OWNER}],
         {1: {"active": ["Not a valid boolean."], "index": ["Not a valid integer."]}})),
    ('tuple of rows', lambda: KeyRingSchema(many=True).load((golden_row(),)),
        (ring(signing=[key(0)]), {})),
    ('generator of rows', lambda: KeyRingSchema(many=True).load(golden_row(index=i) for i in (4, 5)),
        (ring(signing=[key(4), key(5)]), {})),
    ('no rows', lambda: KeyRingSchema(many=True).load([]),
        IndexError("list index out of range")),
    ('not many', lambda: KeyRingSchema().load([golden_row()]),
        (None, {"_schema": ["Invalid input type."]})),
    ('many=False given to load', lambda: KeyRingSchema(many=True).load([golden_row()], many=False),
        (None, {"_schema": ["Invalid input type."]})),
    ('a row without an attribute', lambda: KeyRingSchema(many=True).load([SimpleNamespace(index=0, active=True)]),
        AttributeError("'types.SimpleNamespace' object has no attribute 'pub_key'")),
    ('a mapping for a row', lambda: KeyRingSchema(many=True).load([
        {"index": 0, "active": True, "pub_key": GOLDEN_PEM, "key_type": KeyType.AUTH, "user_id": OWNER}]),
        AttributeError("'dict' object has no attribute 'index'")),
    ('not iterable', lambda: KeyRingSchema(many=True).load(5),
        TypeError("'int' object is not iterable")),
    ('None', lambda: KeyRingSchema(many=True).load(None),
        TypeError("'NoneType' object is not iterable")),
]


@pytest.mark.parametrize("name,value,expected", KEY_ROW_LOADS,
                         ids=["%s=%.30r" % (name, value) for name, value, _ in KEY_ROW_LOADS])
def test_golden_row_loads(name, value, expected):
    row = golden_row(**{name: value})
    assert outcome(lambda: KeyRingSchema(many=True).load([row]), described) == recorded(expected)


@pytest.mark.parametrize("load,expected", [case[1:] for case in KEY_ROWS_WHOLE_LOADS],
                         ids=[case[0] for case in KEY_ROWS_WHOLE_LOADS])
def test_golden_whole_loads(load, expected):
    assert outcome(load, described) == recorded(expected)


def test_golden_validate():
    assert KeyRingSchema(many=True).validate([golden_row(), golden_row(index=None)]) == {
        1: {"index": ["Field may not be null."]}}
