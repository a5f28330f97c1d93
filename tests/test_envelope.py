import base64
import binascii
import logging
import os
import struct
import subprocess
import sys
import uuid

import construct
import pytest
from cryptography.exceptions import InvalidSignature

from norvo.crypto import ies
from norvo.crypto.container import ContainerKeys
from norvo.crypto.envelope import Envelope
from rings import private_ring, public_ring

CID = uuid.UUID("00112233-4455-6677-8899-aabbccddeeff")

# A hand-made 142-byte message: version 1, oid CID, recipient index 2, sender index 3,
# cipher 0, then "EPH", the counter block 00..0f, "BLOB!", "SIG", "SPK" and CID as sender id.
GOLDEN_B64 = (
    "AQAAAAAAAAAzIhEAVUR3ZoiZqrvM3e7/AgAAAAAAAAADAAAAAAAAAAAAAAAAAAAAAwAAAAAAAABFUEgQAAAAAAAAAAABAgMEBQYHCAkKCwwN"
    "Dg8FAAAAAAAAAEJMT0IhAwAAAAAAAABTSUcDAAAAAAAAAFNQSxAAAAAAAAAAMyIRAFVEd2aImaq7zN3u/w=="
)


@pytest.fixture(scope="module")
def alice():
    return private_ring()


@pytest.fixture(scope="module")
def bob():
    return private_ring()


@pytest.fixture(scope="module")
def keys():
    return ContainerKeys()


@pytest.fixture(scope="module")
def envelope(alice, bob, keys):
    """Alice wraps a container's keys for Bob, knowing only Bob's public keys."""
    return Envelope(container_id=CID, container_keys=keys, sender_keys=alice, recip_keys=public_ring(bob))


def wrapped(record, alice, bob):
    """An envelope around any payload, for records the library itself would never write."""
    return Envelope(base64.b64encode(ies.encrypt(record, alice, bob, obj_id=CID)))


# ---- the base64 form


def test_golden_base64_text():
    env = Envelope(GOLDEN_B64)
    raw = env.to_bytes()
    assert len(raw) == 142 and env.b64 == GOLDEN_B64.encode()
    s = env.struct
    assert (s.version, s.oid, s.recipient_derivation_key_index, s.sender_signing_key_index,
            s.cipher_algorithm_index) == (1, CID.bytes_le, 2, 3, 0)
    assert (s.derivation_public_key, s.iv, s.encrypted_key_blob, s.signature, s.sender_public_key,
            s.sender_user_id) == (b"EPH", bytes(range(16)), b"BLOB!", b"SIG", b"SPK", CID.bytes_le)
    # Field offsets inside the decoded text: fixed part, then each length before its bytes.
    assert raw[:8] == struct.pack("<Q", 1) and raw[8:24] == CID.bytes_le
    assert raw[48:56] == struct.pack("<Q", 3) and raw[56:59] == b"EPH"
    assert raw[59:67] == struct.pack("<Q", 16) and raw[67:83] == bytes(range(16))
    assert raw[83:91] == struct.pack("<Q", 5) and raw[91:96] == b"BLOB!"
    assert raw[96:104] == struct.pack("<Q", 3) and raw[104:107] == b"SIG"
    assert raw[107:115] == struct.pack("<Q", 3) and raw[115:118] == b"SPK"
    assert raw[118:126] == struct.pack("<Q", 16) and raw[126:142] == CID.bytes_le


def test_base64_of_a_real_envelope(envelope):
    raw, text = envelope.to_bytes(), envelope.b64
    assert isinstance(text, bytes) and text == base64.b64encode(raw)
    assert 670 <= len(raw) <= 672 and len(text) == 896 and b"\n" not in text
    assert text.rstrip(b"=").strip(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/") == b""
    assert Envelope(text) == Envelope(envelope_data=text.decode("ascii")) == envelope


def test_reading_base64_as_the_standard_decoder_does(envelope):
    text = envelope.b64.decode()
    broken_up = "\n".join(text[i:i + 76] for i in range(0, len(text), 76)) + "\n"
    assert Envelope(broken_up).to_bytes() == envelope.to_bytes()
    assert Envelope(text.replace("A", " A", 3)) == envelope
    extra = Envelope(base64.b64encode(envelope.to_bytes() + b"tail"))
    assert extra != envelope and extra.to_bytes().endswith(b"tail")
    urlsafe = base64.urlsafe_b64encode(envelope.to_bytes())
    if urlsafe != envelope.b64:  # "-" and "_" are skipped: the decoding fails or gives other bytes
        try:
            assert Envelope(urlsafe) != envelope
        except (ValueError, construct.ConstructError):
            pass
    with pytest.raises(binascii.Error):
        Envelope("QUJD" + "Q")
    with pytest.raises(construct.ConstructError):
        Envelope(GOLDEN_B64[:100])
    with pytest.raises(TypeError):
        Envelope(12345)


# ---- wrapping and unwrapping


@pytest.mark.parametrize("with_sender_ring", [True, False])
def test_round_trip_between_two_users(envelope, alice, bob, keys, with_sender_ring):
    received = Envelope(envelope.b64.decode("ascii"))
    assert received == envelope and not hasattr(received, "sender_user_id")
    sender_keys = public_ring(alice) if with_sender_ring else None
    opened = received.get_container_keys(bob, sender_keys=sender_keys)
    assert isinstance(opened, ContainerKeys) and opened == keys and opened is not keys
    assert received.get_container_keys(bob) == keys  # opening changes nothing
    assert envelope.sender_user_id == alice.user_id and envelope.recipient_user_id == bob.user_id
    assert envelope.struct.oid == CID.bytes_le and len(envelope.struct.encrypted_key_blob) == 200


def test_each_envelope_is_fresh(alice, bob, keys):
    a, b = (Envelope(container_id=str(CID), container_keys=keys, sender_keys=alice, recip_keys=bob)
            for _ in range(2))
    assert a != b and a.get_container_keys(bob) == b.get_container_keys(bob) == keys


@pytest.mark.parametrize("with_sender_ring", [True, False])
def test_tampered_signature_is_refused(envelope, alice, bob, caplog, with_sender_ring):
    record = ies.IESStruct.parse(envelope.to_bytes())
    sig = bytearray(record.signature)
    sig[-1] ^= 0x01
    record.signature = bytes(sig)
    tampered = Envelope(base64.b64encode(ies.IESStruct.build(record)))
    caplog.set_level(logging.ERROR, logger="norvo.crypto.ies")
    with pytest.raises(InvalidSignature):
        tampered.get_container_keys(bob, sender_keys=alice if with_sender_ring else None)
    assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
        ("norvo.crypto.ies", "ERROR", "Unable to verify signature for container ID: 00112233-4455-6677-8899-aabbccddeeff")
    ]


def request_signed_as_envelope(envelope, alice, ciphertext):
    """`envelope` with its ciphertext replaced by `ciphertext`, signed by Alice's authentication
    key just as her signed requests are."""
    from norvo import crypto
    from norvo.crypto.keys import KeyType

    record = ies.IESStruct.parse(envelope.to_bytes())
    key = alice[KeyType.AUTH][0]
    record.encrypted_key_blob = ciphertext
    record.encrypted_key_blob_length = len(ciphertext)
    record.signature = key.private.sign(ciphertext, crypto.ecdsa.ECDSA)
    record.signature_length = len(record.signature)
    return Envelope(base64.b64encode(ies.IESStruct.build(record)))


def test_a_signed_request_never_passes_for_an_envelope(envelope, alice, bob):
    # What a request's signature covers: the session token, a comma, the base64 of the time
    # and the request id. Signed by Alice's key, it would verify as her envelope's signature.
    time = base64.b64encode(b"2026-12-11T15:00:00.123456+00:00")
    request = b"eyJhbGciOi.JzdWIiOi-_~+/" + b"=" + b"," + time + str(uuid.uuid4()).encode()
    forged = request_signed_as_envelope(envelope, alice, request)
    with pytest.raises(InvalidSignature, match="form of a signed broker request"):
        forged.get_container_keys(bob, sender_keys=public_ring(alice))
    # One byte outside a request's characters, and the envelope is judged as any other.
    other = request_signed_as_envelope(envelope, alice, request[:-1] + b"\x00")
    with pytest.raises(Exception) as caught:
        other.get_container_keys(bob, sender_keys=public_ring(alice))
    assert "signed broker request" not in str(caught.value)


def test_recipient_without_an_active_derivation_key(alice, keys):
    idle = private_ring(derivation=((0, False),))
    with pytest.raises(AttributeError):
        Envelope(container_id=CID, container_keys=keys, sender_keys=alice, recip_keys=idle)
    with pytest.raises(AttributeError):  # nor can a ring of public keys sign for its owner
        Envelope(container_id=CID, container_keys=keys, sender_keys=public_ring(alice), recip_keys=idle)


def test_a_ring_of_public_keys_cannot_open(envelope, bob):
    with pytest.raises(AttributeError):
        envelope.get_container_keys(public_ring(bob))


def test_key_records_with_an_empty_key_are_refused(alice, bob):
    mac = bytes(range(128))
    empty_cipher = struct.pack("<QQQ", 1, 0, 0) + struct.pack("<QQ", 0, 128) + mac
    empty_mac = struct.pack("<QQQ", 1, 0, 32) + bytes(32) + struct.pack("<QQ", 0, 0)
    for record, what in ((empty_cipher, "cipher"), (empty_mac, "MAC")):
        with pytest.raises(ValueError, match="empty %s key" % what):
            wrapped(record, alice, bob).get_container_keys(bob)
    with pytest.raises(construct.ConstructError):  # too short for its own length fields
        wrapped(empty_cipher[:30], alice, bob).get_container_keys(bob)


def check_foreign_algorithm_indexes_refused():
    """Run also under `python -O`: the index checks must not depend on the optimisation flag."""
    alice, bob = private_ring(), private_ring()
    for kwargs in ({"cipher_index": 1}, {"mac_index": 2}):
        record = bytes(ContainerKeys(**kwargs))
        try:
            wrapped(record, alice, bob).get_container_keys(bob)
        except AssertionError as e:
            assert e.args == ()
        else:
            raise RuntimeError("accepted a key record with %r" % (kwargs,))


def test_foreign_algorithm_indexes_are_refused():
    check_foreign_algorithm_indexes_refused()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    code = "import test_envelope as t; t.check_foreign_algorithm_indexes_refused(); print('ok')"
    out = subprocess.run([sys.executable, "-O", "-c", code], cwd=os.path.dirname(__file__), env=env,
                         capture_output=True, text=True)
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr


# ---- construction, equality, text form


def test_construction_needs_data_or_all_four_keywords(envelope, alice, bob, keys):
    for empty in ((), (None,), ("",), (b"",)):
        with pytest.raises(TypeError):
            Envelope(*empty)
    with pytest.raises(TypeError):
        Envelope(container_id=CID, container_keys=keys, sender_keys=alice)
    with pytest.raises(TypeError):
        Envelope(container_id=CID, container_keys=keys, sender_keys=alice, recip_keys=bob, extra=1)
    # Given text, the keywords are ignored.
    assert Envelope(envelope.b64, container_id=CID, container_keys=keys, sender_keys=alice, recip_keys=bob) == envelope


def test_equality_hash_and_text_form(envelope):
    raw = envelope.to_bytes()
    for other in (raw, envelope.b64, None, "text"):
        assert not (envelope == other) and envelope != other
    class Sub(Envelope):
        pass
    sub = Sub(envelope.b64)
    # A subclass instance counts as an envelope; with `==` the interpreter asks the subclass
    # first, whose own class the plain envelope is not an instance of.
    assert envelope.__eq__(sub) is True and sub == Sub(envelope.b64)
    assert not (envelope == sub) and envelope != sub
    with pytest.raises(TypeError):
        hash(envelope)
    assert repr(envelope) == str(envelope) == repr(raw)
    assert type(envelope).__mro__ == (Envelope, object)
    with pytest.raises(AttributeError):
        envelope.b64 = b""
