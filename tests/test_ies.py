import logging
import struct
import subprocess
import sys
import uuid

import construct
import pytest
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.kdf.x963kdf import X963KDF

import norvo.crypto as crypto
from norvo.crypto import ies
from norvo.crypto.keys import KeyType
from rings import private_ring, public_ring

LOGGER = "norvo.crypto.ies"
CID = uuid.UUID("00112233-4455-6677-8899-aabbccddeeff")
PAYLOAD = bytes(range(200))  # as long as one serialised container-key record


@pytest.fixture(scope="module")
def sender():
    return private_ring()


@pytest.fixture(scope="module")
def recipient():
    return private_ring()


@pytest.fixture(scope="module")
def message(sender, recipient):
    return ies.encrypt(PAYLOAD, sender, public_ring(recipient), obj_id=CID)


def u64(data, offset):
    return struct.unpack_from("<Q", data, offset)[0]


def with_field(msg, name, value):
    record = ies.IESStruct.parse(msg)
    record[name] = value
    if name + "_length" in record:
        record[name + "_length"] = len(value)
    return ies.IESStruct.build(record)


# ---- the message byte format


def test_golden_layout(message, sender, recipient):
    sig_len = u64(message, 408)
    assert 102 <= sig_len <= 104 and len(message) == 568 + sig_len
    auth = sender[KeyType.AUTH][0]
    # (offset of the field, its length): the fixed part, then each length field before its bytes
    layout = [
        ("version", 0, 8),
        ("oid", 8, 16),
        ("recipient_derivation_key_index", 24, 8),
        ("sender_signing_key_index", 32, 8),
        ("cipher_algorithm_index", 40, 8),
        ("derivation_public_key_length", 48, 8),
        ("derivation_public_key", 56, 120),
        ("iv_length", 176, 8),
        ("iv", 184, 16),
        ("encrypted_key_blob_length", 200, 8),
        ("encrypted_key_blob", 208, 200),
        ("signature_length", 408, 8),
        ("signature", 416, sig_len),
        ("sender_public_key_length", 416 + sig_len, 8),
        ("sender_public_key", 424 + sig_len, 120),
        ("sender_user_id_length", 544 + sig_len, 8),
        ("sender_user_id", 552 + sig_len, 16),
    ]
    record = ies.IESStruct.parse(message)
    assert [name for name, _, _ in layout] == [k for k in record.keys() if not k.startswith("_")]
    for name, offset, length in layout:
        raw = message[offset:offset + length]
        assert record[name] == (u64(raw, 0) if length == 8 else raw), name
    assert u64(message, 0) == 1 and u64(message, 24) == 0 and u64(message, 32) == 0 and u64(message, 40) == 0
    # Little-endian field order: the first three groups of the UUID byte-swapped.
    assert message[8:24] == bytes.fromhex("33221100 5544 7766 8899 aabbccddeeff".replace(" ", ""))
    assert message[192:200] == bytes(8)  # counter half of the counter block starts at zero
    assert message[424 + sig_len:544 + sig_len] == crypto.to_der_public(auth.public)
    assert message[552 + sig_len:] == auth.user_id.bytes_le
    crypto.ecdsa.verify(auth.public, message[208:408], message[416:416 + sig_len])


def test_scheme_is_ecdh_x963_aes_ctr(message, recipient):
    """Undo the message with the crypto library alone: ECDH, X9.63/SHA-384 to 32 bytes, AES-256-CTR."""
    record = ies.IESStruct.parse(message)
    ephemeral = crypto.p384.load_der_public_key(record.derivation_public_key)
    shared = recipient[KeyType.DERIVATION][0].private.exchange(ec.ECDH(), ephemeral)
    key = X963KDF(algorithm=hashes.SHA384(), length=32, sharedinfo=None).derive(shared)
    decryptor = Cipher(algorithms.AES(key), modes.CTR(record.iv)).decryptor()
    assert decryptor.update(record.encrypted_key_blob) + decryptor.finalize() == PAYLOAD


def test_parse_accepts_what_it_does_not_check(message):
    zeros = ies.IESStruct.parse(bytes(96))
    assert [zeros[n] for n in ("derivation_public_key", "iv", "encrypted_key_blob", "signature",
                               "sender_public_key", "sender_user_id")] == [b""] * 6
    assert ies.IESStruct.parse(message + b"trailing") == ies.IESStruct.parse(message)
    odd = ies.IESStruct.parse(with_field(with_field(message, "version", 2), "sender_user_id", b"12345"))
    assert odd.version == 2 and odd.sender_user_id == b"12345" and odd.sender_user_id_length == 5
    assert ies.IESStruct.build(ies.IESStruct.parse(message)) == message


HUGE = [2**64 - 1, 2**63, 2**64 - 96, 10**6]
LENGTH_OFFSETS = [48, 176, 200, 408]  # the first four length fields of a real message


@pytest.mark.parametrize("offset", LENGTH_OFFSETS)
@pytest.mark.parametrize("value", HUGE)
def test_length_fields_past_the_end_are_refused(message, recipient, offset, value):
    bad = bytearray(message)
    struct.pack_into("<Q", bad, offset, value)
    for data in (bytes(bad), bad, memoryview(bad)):
        with pytest.raises(construct.ConstructError):
            ies.IESStruct.parse(data)
        with pytest.raises(construct.ConstructError):
            ies.decrypt(data, recipient)


def test_every_truncation_is_refused(message, recipient):
    for n in list(range(0, 97)) + list(range(len(message) - 20, len(message))):
        with pytest.raises(construct.ConstructError):
            ies.decrypt(message[:n], recipient)
    for value in ("text", None, 5):
        with pytest.raises(TypeError):
            ies.IESStruct.parse(value)


def test_build_refuses_inconsistent_records(message):
    good = ies.IESStruct.parse(message)
    cases = [
        ("iv_length", 17),
        ("signature", good.signature + b"x"),
        ("oid", b"short"),
        ("version", -1),
        ("version", 2**64),
        ("sender_signing_key_index", "0"),
        ("iv", "text iv 16 chars"),
    ]
    for name, value in cases:
        record = construct.Container(good)
        record[name] = value
        with pytest.raises(construct.ConstructError):
            ies.IESStruct.build(record)
    record = construct.Container(good)
    del record["sender_user_id"]
    with pytest.raises(construct.ConstructError):
        ies.IESStruct.build(record)


# ---- encrypt and decrypt


@pytest.mark.parametrize("with_sender_ring", [True, False])
def test_round_trip(sender, recipient, with_sender_ring):
    for payload in (PAYLOAD, b""):
        msg = ies.encrypt(data=payload, sender_keys=sender, recip_keys=public_ring(recipient), obj_id=str(CID))
        if with_sender_ring:
            assert ies.decrypt(msg, recipient, sender_keys=public_ring(sender)) == payload
        else:
            assert ies.decrypt(msg, recipient) == payload


def test_each_message_is_fresh(sender, recipient):
    a, b = (ies.encrypt(PAYLOAD, sender, recipient, obj_id=CID) for _ in range(2))
    assert a != b and ies.decrypt(a, recipient) == ies.decrypt(b, recipient) == PAYLOAD


def test_object_id_forms(sender, recipient):
    oids = {ies.IESStruct.parse(ies.encrypt(b"", sender, recipient, obj_id=i)).oid
            for i in (CID, str(CID), CID.hex)}
    assert oids == {CID.bytes_le}
    fresh = ies.IESStruct.parse(ies.encrypt(b"", sender, recipient)).oid
    assert uuid.UUID(bytes_le=fresh).version == 4
    with pytest.raises(ValueError):
        ies.encrypt(b"", sender, recipient, obj_id="not a uuid")
    with pytest.raises(AttributeError):
        ies.encrypt(b"", sender, recipient, obj_id=CID.bytes)


def test_keys_are_taken_first_active_then_by_index(sender):
    recipient = private_ring(derivation=((0, False), (1, True)))
    msg = ies.encrypt(PAYLOAD, sender, recipient, obj_id=CID)
    assert ies.IESStruct.parse(msg).recipient_derivation_key_index == 1
    recipient[KeyType.DERIVATION][1].active = False
    assert ies.decrypt(msg, recipient) == PAYLOAD


@pytest.mark.parametrize("with_sender_ring", [True, False])
@pytest.mark.parametrize("field", ["encrypted_key_blob", "signature"])
def test_tampered_message_is_refused_with_one_log_line(message, sender, recipient, caplog, with_sender_ring,
                                                        field):
    value = bytearray(ies.IESStruct.parse(message)[field])
    value[len(value) // 2] ^= 0x01
    bad = with_field(message, field, bytes(value))
    caplog.set_level(logging.ERROR, logger=LOGGER)
    with pytest.raises(InvalidSignature) as err:
        ies.decrypt(bad, recipient, sender_keys=sender if with_sender_ring else None)
    assert err.type is crypto.InvalidSignature
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        (LOGGER, logging.ERROR, "Unable to verify signature for container ID: 00112233-4455-6677-8899-aabbccddeeff")
    ]


def test_what_the_signature_does_not_cover(message, recipient):
    assert ies.decrypt(with_field(message, "version", 7), recipient) == PAYLOAD
    assert ies.decrypt(with_field(message, "cipher_algorithm_index", 5), recipient) == PAYLOAD
    assert ies.decrypt(with_field(message, "oid", uuid.uuid4().bytes_le), recipient) == PAYLOAD
    assert ies.decrypt(with_field(message, "iv", bytes(16)), recipient) != PAYLOAD
    with pytest.raises(ValueError):
        ies.decrypt(with_field(message, "iv", bytes(15)), recipient)


def test_carried_sender_key_is_used_only_without_a_sender_ring(message, sender, recipient):
    other = crypto.to_der_public(crypto.p384.generate_private_key().public_key())
    swapped = with_field(message, "sender_public_key", other)
    assert ies.decrypt(swapped, recipient, sender_keys=sender) == PAYLOAD
    with pytest.raises(InvalidSignature):
        ies.decrypt(swapped, recipient)
    with pytest.raises(ValueError, match="Public Key is not an EC P384 key in DER format."):
        ies.decrypt(with_field(message, "sender_public_key", b"junk"), recipient)


def test_missing_key_indexes(message, sender, recipient, caplog):
    caplog.set_level(logging.ERROR, logger=LOGGER)
    with pytest.raises(KeyError):
        ies.decrypt(with_field(message, "sender_signing_key_index", 9), recipient, sender_keys=sender)
    with pytest.raises(KeyError):
        ies.decrypt(with_field(message, "recipient_derivation_key_index", 9), recipient)
    assert caplog.records == []


def test_encrypt_leaves_the_callers_keys_as_they_were(recipient):
    sender = private_ring()
    auth = sender[KeyType.AUTH][0]
    keys = [key for ring in (sender, recipient) for section in ring.values() for key in section.values()]
    before = [dict(vars(key)) for key in keys]
    for _ in range(2):
        msg = ies.encrypt(PAYLOAD, sender, recipient)
        assert ies.IESStruct.parse(msg).sender_public_key == crypto.to_der_public(auth.public)
    assert [vars(key) for key in keys] == before
    # The carried sender key follows the key object the record holds now.
    auth.public = crypto.p384.generate_private_key().public_key()
    msg = ies.encrypt(PAYLOAD, sender, recipient)
    assert ies.IESStruct.parse(msg).sender_public_key == crypto.to_der_public(auth.public)


def test_rings_without_the_needed_keys(sender, recipient):
    no_derivation = private_ring(derivation=((0, False),))
    no_auth = private_ring(auth=((0, False),))
    with pytest.raises(AttributeError):
        ies.encrypt(PAYLOAD, sender, no_derivation)
    with pytest.raises(AttributeError):
        ies.encrypt(PAYLOAD, no_auth, recipient)
    with pytest.raises(AttributeError):  # a public ring cannot sign
        ies.encrypt(PAYLOAD, public_ring(sender), recipient)
    msg = ies.encrypt(PAYLOAD, sender, recipient)
    with pytest.raises(AttributeError):  # nor can it unwrap
        ies.decrypt(msg, public_ring(recipient))


def test_loading_ies_makes_aes_reachable_through_the_package():
    code = "import norvo.crypto.ies, norvo.crypto as c; print(c.aes.create_iv().hex()[16:])"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "0" * 16
