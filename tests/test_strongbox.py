"""The key file and its rescue section (norvo.crypto.strongbox)."""
import hashlib
import logging
import os
import struct
import uuid

import construct
import pytest
import simplejson
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

from norvo import crypto
from norvo.crypto import aes, strongbox
from norvo.crypto.keys import AuthKey, DerivationKey
from norvo.crypto.strongbox import KF, KFSection, VERSION, KeyFile, KeyFileRescue
from rings import new_key_file

PASSWORD = "Correct.Horse1"
PASSPHRASE = "battery staple Ünïcode"
HASHED = hashlib.sha384(PASSWORD.encode()).hexdigest()
OWNER = uuid.UUID("0f8fad5b-d9cb-469f-a165-70867728950e")
KEY_FILE_MESSAGE = "Failed to decrypt the key file.  Check password."
RESCUE_MESSAGE = "Failed to decrypt the key file rescue.  Check passphrase."


def u64(data, offset):
    return struct.unpack_from("<Q", data, offset)[0]


def open_independently(secret, salt, iv, ciphertext):
    """PBKDF2-HMAC-SHA384 (100000 rounds, 32 bytes) and AES-256-CTR, without the library."""
    key = hashlib.pbkdf2_hmac("sha384", secret, salt, 100000, 32)
    decryptor = Cipher(algorithms.AES(key), modes.CTR(iv)).decryptor()
    return decryptor.update(ciphertext) + decryptor.finalize()


@pytest.fixture(scope="module")
def made():
    """A key file made from fresh keys and encrypted once; its bytes are shared read-only."""
    key_file = new_key_file(str(OWNER))
    document = simplejson.loads(simplejson.dumps(key_file.data))
    assert key_file.encrypt(PASSWORD, PASSPHRASE) is key_file
    return key_file, document, key_file.data


def test_module_contents():
    assert VERSION == 1
    assert KeyFile.__module__ == KeyFileRescue.__module__ == "norvo.crypto.strongbox"
    # Loading the key-file module makes aes reachable through the package.
    assert crypto.aes is aes
    assert not hasattr(strongbox, "log")


def test_golden_layout_of_an_encrypted_key_file(made):
    key_file, document, data = made
    text = simplejson.dumps(document).encode()
    ring_length = 48 + len(text)
    assert data[:8] == b"\x01\x00\x00\x00\x00\x00\x00\x00"
    assert u64(data, 8) == ring_length
    assert u64(data, 16) == 160
    assert len(data) == 24 + ring_length + 160

    # Key-ring section at 24: salt, counter block (last 8 bytes zero), ciphertext of the JSON text.
    assert u64(data, 24) == 8
    salt = data[32:40]
    assert u64(data, 40) == 16
    iv = data[48:64]
    assert iv[8:] == bytes(8)
    assert u64(data, 64) == len(text)
    plain = open_independently(HASHED.encode(), salt, iv, data[72:72 + len(text)])
    assert simplejson.loads(plain) == document
    assert b"\n" not in plain and b'", "' in plain and b'": ' in plain

    # Rescue section at 24 + key_ring_length: the 112-byte document holding the hashed password.
    r = 24 + ring_length
    assert (u64(data, r), u64(data, r + 16), u64(data, r + 40)) == (8, 16, 112)
    assert data[r + 24 + 8:r + 40] == bytes(8)
    rescue_text = open_independently(PASSPHRASE.encode(), data[r + 8:r + 16], data[r + 24:r + 40], data[r + 48:])
    assert rescue_text == ('{"password": "%s"}' % HASHED).encode()


def test_document_of_a_new_key_file():
    auth, derivation = AuthKey(), DerivationKey()
    derivation.active = False
    key_file = KeyFile(None, auth, derivation, OWNER.hex.upper())
    assert key_file.encrypted is False and key_file._enc_data is None
    assert key_file.user_id == OWNER
    doc = key_file.data
    assert sorted(doc) == ["derivationKeys", "signingKeys", "userId"]
    assert doc["userId"] == OWNER.hex.upper()  # recorded as written
    for section, key in (("signingKeys", auth), ("derivationKeys", derivation)):
        assert list(doc[section]) == ["0"]
        entry = doc[section]["0"]
        assert entry["index"] == 0 and entry["isPublic"] is False and entry["active"] is key.active
        assert entry["key"] == crypto.to_pem_private(key.private).decode()
    assert KeyFile(b"", auth, derivation, None).data["userId"] == "None"


def test_constructor_failures():
    auth = AuthKey()
    with pytest.raises(AttributeError):
        KeyFile(enc_data=b"")
    with pytest.raises(AttributeError):
        KeyFile(signing_key=auth)
    with pytest.raises(ValueError) as err:
        KeyFile(signing_key=auth, derivation_key=SimpleKey(None))
    assert str(err.value) == "Can only handle EllipticCurvePrivateKey keys."
    with pytest.raises(ValueError):
        KeyFile(b"bytes", user_id="not a uuid")
    with pytest.raises(TypeError):
        KeyFile(b"bytes", user_id=b"0123456789abcdef")


class SimpleKey(object):
    def __init__(self, private):
        self.active = True
        self.private = private


def test_key_file_from_bytes(made):
    _, _, data = made
    key_file = KeyFile(enc_data=data)
    assert key_file.encrypted is True and key_file.data is data and key_file.user_id is None
    assert key_file._ptxt_data is None
    assert key_file.version == 1
    assert key_file.checksum == hashlib.sha384(data).hexdigest()
    assert key_file.encrypt(PASSWORD, PASSPHRASE) is None and key_file.data is data
    assert key_file == KeyFile(data) and key_file != KeyFile(data + b"x")
    assert key_file != data and not (key_file == None)  # noqa: E711
    with pytest.raises(TypeError):
        hash(key_file)


def test_round_trip_by_password(made):
    original, document, data = made
    key_file = KeyFile(data)
    assert key_file.decrypt(PASSWORD) is key_file
    assert key_file.encrypted is False and key_file.data == document
    assert key_file.user_id == OWNER and key_file._enc_data is data
    assert key_file.decrypt(PASSWORD) is None
    assert key_file.checksum == hashlib.sha384(data).hexdigest()  # still that of the opened bytes
    assert key_file.version == 1
    assert key_file == original

    # Sealed again with new credentials: new bytes, no longer equal to the old ones.
    assert key_file.encrypt("Other.Pass2", "other phrase") is key_file
    assert key_file.data != data and key_file != KeyFile(data)
    assert KeyFile(key_file.data).decrypt("Other.Pass2").data == document


def test_round_trip_by_passphrase_rescue(made):
    _, document, data = made
    key_file = KeyFile(data)
    rescue = key_file.rescue
    assert isinstance(rescue, KeyFileRescue) and rescue.encrypted and rescue.version == 1
    assert rescue.data == data[24 + u64(data, 8):]
    assert rescue.get_password(PASSPHRASE) == HASHED
    assert rescue.encrypted is False
    assert key_file.decrypt(HASHED).data == document
    assert key_file.rescue is not key_file.rescue  # made anew at each read


def test_wrong_password_leaves_the_key_file_as_it_was(made):
    _, document, data = made
    key_file = KeyFile(data)
    for wrong in ("wrong password", None, 42):
        with pytest.raises(aes.DecryptionError) as err:
            key_file.decrypt(wrong)
        assert str(err.value) == KEY_FILE_MESSAGE
        assert isinstance(err.value.__context__, (UnicodeDecodeError, TypeError))
        assert key_file.encrypted is True and key_file.data is data
        assert key_file._ptxt_data is None and key_file.user_id is None
    assert key_file.decrypt(PASSWORD).data == document


@pytest.mark.parametrize("wrong,context", [("wrong password", UnicodeDecodeError), (None, TypeError)])
def test_failure_is_the_context_inside_a_callers_handler(made, wrong, context):
    # The caller's own error being handled must not take the failure's place.
    try:
        raise KeyError("the caller's")
    except KeyError:
        with pytest.raises(aes.DecryptionError) as err:
            KeyFile(made[2]).decrypt(wrong)
    assert type(err.value.__context__) is context


def test_wrong_passphrase_leaves_the_rescue_as_it_was(made):
    _, _, data = made
    rescue = KeyFile(data).rescue
    sealed = rescue.data
    with pytest.raises(aes.DecryptionError) as err:
        rescue.get_password("wrong passphrase")
    assert str(err.value) == RESCUE_MESSAGE
    assert isinstance(err.value.__context__, UnicodeDecodeError)
    assert rescue.encrypted is True and rescue.data is sealed and not hasattr(rescue, "_ptxt_data")
    with pytest.raises(AttributeError):
        rescue.decrypt(PASSPHRASE.encode())  # not text
    assert rescue.encrypted is True
    assert rescue.get_password(PASSPHRASE) == HASHED
    # Open now: the passphrase plays no part any more.
    assert rescue.decrypt("anything") is None
    assert rescue.get_password("anything") == HASHED


def test_encrypt_failures_change_nothing():
    key_file = new_key_file(OWNER)
    document = key_file.data
    for password, passphrase, error in ((None, PASSPHRASE, TypeError), (PASSWORD, b"bytes", AttributeError)):
        with pytest.raises(error):
            key_file.encrypt(password, passphrase)
        assert key_file.encrypted is False and key_file._enc_data is None and key_file.data is document
    with pytest.raises(TypeError):
        key_file.checksum
    # The held document is what the next encrypt seals.
    document["extra"] = True
    key_file.encrypt(PASSWORD, PASSPHRASE)
    assert KeyFile(key_file.data).decrypt(PASSWORD).data["extra"] is True


def test_hex_password_given_as_bytes():
    """A 96-hex-digit password is taken as already hashed; as bytes its bytes are the secret."""
    hex_password = hashlib.sha384(b"anything").hexdigest()
    key_file = new_key_file(OWNER)
    assert key_file.encrypt(hex_password.encode(), PASSPHRASE) is key_file
    data = key_file.data
    assert KeyFile(data).rescue.get_password(PASSPHRASE) == hex_password
    assert KeyFile(data).decrypt(hex_password.encode()).user_id == OWNER
    assert KeyFile(data).decrypt(hex_password).user_id == OWNER
    assert KeyFile(data).decrypt(bytearray(hex_password.encode())).user_id == OWNER


NO_OWNER_MESSAGE = "Cannot encrypt a key file without its owner's user id."


def drop_user_id(document):
    del document["userId"]


@pytest.mark.parametrize("user_id,change", [
    (None, None),     # "userId" would be the text "None"
    ("", None),       # no id at all
    (5, None),        # kept as it is by the id coercion; "userId" would be "5"
    (OWNER, drop_user_id),
])
def test_key_file_without_an_owner_is_not_encrypted(user_id, change):
    key_file = new_key_file(user_id)
    document = key_file.data
    if change:
        change(document)
    with pytest.raises(ValueError) as err:
        key_file.encrypt(PASSWORD, PASSPHRASE)
    assert str(err.value) == NO_OWNER_MESSAGE
    assert key_file.encrypted is False and key_file._enc_data is None and key_file.data is document


def seal_independently(plaintext, password=PASSWORD):
    """Key-file bytes whose key ring opens, with `password`, to `plaintext` (any bytes)."""
    salt, iv = os.urandom(8), os.urandom(8) + bytes(8)
    secret = hashlib.sha384(password.encode()).hexdigest().encode()
    key = hashlib.pbkdf2_hmac("sha384", secret, salt, 100000, 32)
    encryptor = Cipher(algorithms.AES(key), modes.CTR(iv)).encryptor()
    ciphertext = encryptor.update(plaintext) + encryptor.finalize()

    def section(salt, iv, data):
        return b"".join(struct.pack("<Q", len(x)) + x for x in (salt, iv, data))

    ring, rescue = section(salt, iv, ciphertext), section(bytes(8), bytes(16), b"{}")
    return struct.pack("<QQQ", 1, len(ring), len(rescue)) + ring + rescue


@pytest.mark.parametrize("plaintext,error", [
    (b'{"userId": "None", "signingKeys": {}, "derivationKeys": {}}', ValueError),
    (b'{"signingKeys": {}, "derivationKeys": {}}', KeyError),
    (b'["userId"]', TypeError),
    (b'{"userId": ', simplejson.JSONDecodeError),
])
def test_failed_decrypt_leaves_the_key_file_as_it_was(plaintext, error):
    data = seal_independently(plaintext)
    key_file = KeyFile(data)
    with pytest.raises(error):
        key_file.decrypt(PASSWORD)
    assert key_file.encrypted is True and key_file.data is data
    assert key_file._ptxt_data is None and key_file.user_id is None
    with pytest.raises(error):  # still encrypted: it tries again, and fails again
        key_file.decrypt(PASSWORD)


def reachable(exc):
    """What a traceback collector can keep of `exc`: every error of its chain, their arguments
    and attributes, and the locals of their frames (the library's, not this module's)."""
    found, seen, todo = [], set(), [exc]
    while todo:
        e = todo.pop()
        if e is None or id(e) in seen:
            continue
        seen.add(id(e))
        found += [e, *e.args, *vars(e).values()]
        found += [getattr(e, name) for name in ("object", "doc", "msg") if hasattr(e, name)]
        tb = e.__traceback__
        while tb is not None:
            if tb.tb_frame.f_globals.get("__name__") != __name__:
                found += list(tb.tb_frame.f_locals.values())
            tb = tb.tb_next
        todo += [e.__cause__, e.__context__]
    return found


def shows(values, secret):
    def text(v):
        if isinstance(v, (bytes, bytearray)):
            return bytes(v).decode("latin-1")
        return v if isinstance(v, str) else repr(v)

    return [v for v in values if secret in text(v)]


def flipped(data, offset, bit):
    return data[:offset] + bytes([data[offset] ^ bit]) + data[offset + 1:]


# The key ring's ciphertext starts at byte 72: the JSON text, '{"' first.
@pytest.mark.parametrize("offset,bit,context", [
    (73, 0x80, UnicodeDecodeError),          # '"' becomes a lone continuation byte
    (72, 0x01, simplejson.JSONDecodeError),  # '{' becomes 'z': UTF-8, but no JSON
])
def test_tampered_key_file_error_holds_no_plaintext(made, offset, bit, context):
    _, document, data = made
    pem_line = document["signingKeys"]["0"]["key"].splitlines()[3]
    key_file = KeyFile(flipped(data, offset, bit))
    if context is UnicodeDecodeError:
        with pytest.raises(aes.DecryptionError) as err:
            key_file.decrypt(PASSWORD)
        assert str(err.value) == KEY_FILE_MESSAGE
        cause = err.value.__context__
        assert type(cause) is UnicodeDecodeError
        assert (cause.encoding, cause.start, cause.end, cause.reason) == ("utf-8", 1, 2, "invalid start byte")
    else:
        with pytest.raises(context) as err:
            key_file.decrypt(PASSWORD)
        assert (err.value.pos, err.value.lineno, err.value.colno) == (0, 1, 1)
        assert str(err.value) == "Expecting value: line 1 column 1 (char 0)"
    assert key_file.encrypted is True and key_file._ptxt_data is None
    values = reachable(err.value)
    assert shows(values, pem_line) == [] and shows(values, str(OWNER)) == []


def test_tampered_rescue_error_holds_no_hashed_password(made):
    _, _, data = made
    rescue_text_at = 24 + u64(data, 8) + 48  # '{"password": "..."}'
    rescue = KeyFile(flipped(data, rescue_text_at + 1, 0x80)).rescue
    with pytest.raises(aes.DecryptionError) as err:
        rescue.get_password(PASSPHRASE)
    assert str(err.value) == RESCUE_MESSAGE
    assert type(err.value.__context__) is UnicodeDecodeError and err.value.__context__.start == 1
    assert shows(reachable(err.value), HASHED) == []
    assert rescue.encrypted is True


def test_unknown_version_is_a_key_error(made):
    _, _, data = made
    version_2 = struct.pack("<Q", 2) + data[8:]
    key_file = KeyFile(version_2)
    assert key_file.version == 2
    with pytest.raises(KeyError):
        key_file.decrypt(PASSWORD)
    with pytest.raises(KeyError):
        key_file.rescue.decrypt(PASSPHRASE)
    assert key_file.encrypted is True
    with pytest.raises(KeyError):
        KeyFileRescue(password=HASHED, version=2).encrypt(PASSPHRASE)


def test_plain_key_file_version_is_the_one_it_will_write():
    assert new_key_file(OWNER).version == VERSION


def test_rescue_states():
    empty = KeyFileRescue()
    assert empty.encrypted is True and empty.data is None and empty.version == VERSION
    assert empty.encrypt(PASSPHRASE) is None
    with pytest.raises(construct.StreamError):
        empty.decrypt(PASSPHRASE)
    assert KeyFileRescue(password="").encrypted is True

    rescue = KeyFileRescue(password=HASHED)
    assert rescue.encrypted is False and rescue.data == {"password": HASHED}
    assert rescue.get_password(None) == HASHED  # the passphrase is not used on an open rescue
    assert rescue.encrypt(PASSPHRASE) is rescue
    first = rescue.data
    assert rescue.encrypted is True and len(first) == 160
    assert rescue.encrypt(PASSPHRASE) is None and rescue.data is first
    again = KeyFileRescue(password=HASHED).encrypt(PASSPHRASE).data
    assert again != first
    for sealed in (first, again):
        opened = KeyFileRescue(sealed)
        assert opened.decrypt(PASSPHRASE) is opened and opened.data == {"password": HASHED}
        assert opened.data is opened._ptxt_data and opened._enc_data is sealed


def test_format_objects_parse_and_build(made):
    _, _, data = made
    parsed = KF.parse(data)
    ring_length = u64(data, 8)
    assert (parsed.version, parsed.key_ring_length, parsed.rescue_length) == (1, ring_length, 160)
    assert parsed.key_ring.salt == data[32:40] and parsed.rescue.encrypted == data[-112:]
    assert parsed["rescue"]["iv_length"] == 16
    assert KF.build(parsed) == data
    assert KFSection.build(parsed.rescue) == data[24 + ring_length:]
    section = KFSection.parse(data[24:])
    assert section == parsed.key_ring

    # Header lengths are not relied on, and bytes after the rescue section are ignored.
    for wrong in (0, 7, 2 ** 64 - 1):
        patched = data[:8] + struct.pack("<QQ", wrong, wrong) + data[24:] + b"tail"
        other = KF.parse(patched)
        assert other.key_ring == parsed.key_ring and other.rescue == parsed.rescue

    for cut in (0, 7, 23, 24, 31, 72, 24 + ring_length, len(data) - 1):
        with pytest.raises(construct.StreamError):
            KF.parse(data[:cut])
    for huge_at in (24, 64, 24 + ring_length + 40):
        with pytest.raises(construct.StreamError):
            KF.parse(data[:huge_at] + struct.pack("<Q", 2 ** 63) + data[huge_at + 8:])
    with pytest.raises(construct.StreamError):
        KF.parse(None)


def test_format_build_refusals():
    good = {"salt_length": 8, "salt": bytes(8), "iv_length": 16, "iv": bytes(16),
            "encrypted_length": 3, "encrypted": b"abc"}
    assert KFSection.build(good) == struct.pack("<Q", 8) + bytes(8) + struct.pack("<Q", 16) + bytes(16) + \
        struct.pack("<Q", 3) + b"abc"
    for change in ({"salt_length": 9}, {"encrypted": "abc"}, {"encrypted": None}):
        with pytest.raises(construct.StreamError):
            KFSection.build(dict(good, **change))
    for change in ({"iv_length": -1}, {"iv_length": 2 ** 64}, {"iv_length": "16"}):
        with pytest.raises(construct.FormatFieldError):
            KFSection.build(dict(good, **change))
    missing = dict(good)
    del missing["iv"]
    with pytest.raises(construct.StreamError):
        KFSection.build(missing)
    whole = {"version": 1, "key_ring_length": 0, "rescue_length": 99, "key_ring": good, "rescue": good}
    built = KF.build(whole)
    assert built[:24] == struct.pack("<QQQ", 1, 0, 99) and len(built) == 24 + 2 * 51


def test_no_log_lines(made, caplog):
    _, _, data = made
    with caplog.at_level(logging.DEBUG, logger="norvo"):
        key_file = KeyFile(data)
        with pytest.raises(aes.DecryptionError):
            key_file.decrypt("wrong")
        key_file.rescue.get_password(PASSPHRASE)
        key_file.decrypt(PASSWORD)
    assert caplog.records == []
