import logging
import os

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa

from norvo.crypto import p384
import norvo.crypto as crypto

PEM_PUBLIC = "Public Key is not an EC P384 key in PEM format."
PEM_PRIVATE = "Private Key is not an EC P384 in PEM foramt."
DER_PUBLIC = "Public Key is not an EC P384 key in DER format."


@pytest.fixture(scope="module")
def keys():
    k384 = ec.generate_private_key(ec.SECP384R1())
    k256 = ec.generate_private_key(ec.SECP256R1())
    krsa = rsa.generate_private_key(public_exponent=65537, key_size=1024)
    pem, der = serialization.Encoding.PEM, serialization.Encoding.DER
    spki, pkcs8 = serialization.PublicFormat.SubjectPublicKeyInfo, serialization.PrivateFormat.PKCS8
    none = serialization.NoEncryption()
    return {
        "key": k384,
        "pub_pem": k384.public_key().public_bytes(pem, spki),
        "pub_der": k384.public_key().public_bytes(der, spki),
        "priv_pem": k384.private_bytes(pem, pkcs8, none),
        "priv_pem_encrypted": k384.private_bytes(pem, pkcs8, serialization.BestAvailableEncryption(b"pw")),
        "p256_pub_pem": k256.public_key().public_bytes(pem, spki),
        "p256_pub_der": k256.public_key().public_bytes(der, spki),
        "p256_priv_pem": k256.private_bytes(pem, pkcs8, none),
        "rsa_pub_pem": krsa.public_key().public_bytes(pem, spki),
        "rsa_pub_der": krsa.public_key().public_bytes(der, spki),
        "rsa_priv_pem": krsa.private_bytes(pem, pkcs8, none),
    }


def test_module_attributes():
    assert p384.backend is crypto.backend
    assert p384.ec is ec and p384.logging is logging
    assert p384.log is logging.getLogger("norvo.crypto.p384")


def test_generate_private_key():
    a, b = p384.generate_private_key(), p384.generate_private_key()
    assert isinstance(a, ec.EllipticCurvePrivateKey) and isinstance(a.curve, ec.SECP384R1)
    assert a.private_numbers() != b.private_numbers()
    with pytest.raises(TypeError):
        p384.generate_private_key(1)


def test_pem_loaders_take_text_and_bytes(keys):
    for material in (keys["pub_pem"], keys["pub_pem"].decode()):
        assert p384.load_pem_public_key(material) == keys["key"].public_key()
    for material in (keys["priv_pem"], keys["priv_pem"].decode()):
        loaded = p384.load_pem_private_key(material)
        assert loaded.private_numbers() == keys["key"].private_numbers()
    assert p384.load_der_public_key(keys["pub_der"]) == keys["key"].public_key()
    assert p384.load_der_public_key(key=bytearray(keys["pub_der"])) == keys["key"].public_key()


def test_keys_survive_the_package_serialisers():
    key = p384.generate_private_key()
    again = p384.load_pem_private_key(crypto.to_pem_private(key))
    assert again.private_numbers().private_value == key.private_numbers().private_value
    assert p384.load_der_public_key(crypto.to_der_public(key.public_key())) == key.public_key()
    assert p384.load_pem_public_key(crypto.to_pem_public(key.public_key())) == key.public_key()


REFUSALS = [
    # loader, material (a key of the fixture or a literal), message
    ("load_pem_public_key", "p256_pub_pem", PEM_PUBLIC),
    ("load_pem_public_key", "rsa_pub_pem", PEM_PUBLIC),
    ("load_pem_public_key", "priv_pem", PEM_PUBLIC),
    ("load_pem_public_key", "pub_der", PEM_PUBLIC),
    ("load_pem_private_key", "priv_pem_encrypted", PEM_PRIVATE),
    ("load_pem_private_key", "pub_pem", PEM_PRIVATE),
    ("load_pem_private_key", "p256_priv_pem", PEM_PRIVATE),
    ("load_pem_private_key", "rsa_priv_pem", PEM_PRIVATE),
    ("load_der_public_key", "pub_pem", DER_PUBLIC),
    ("load_der_public_key", "p256_pub_der", DER_PUBLIC),
    ("load_der_public_key", "rsa_pub_der", DER_PUBLIC),
    ("load_der_public_key", "pub_der_as_text", DER_PUBLIC),
] + [(loader, literal, msg) for loader, msg in [("load_pem_public_key", PEM_PUBLIC),
                                                  ("load_pem_private_key", PEM_PRIVATE),
                                                  ("load_der_public_key", DER_PUBLIC)]
     for literal in (None, b"", b"random", 12, "", "-----BEGIN PUBLIC KEY-----\n")]


@pytest.mark.parametrize("loader, material, message", REFUSALS)
def test_refusal_logs_one_info_line_then_raises(loader, material, message, keys, caplog):
    if isinstance(material, str) and material in keys:
        value = keys[material]
    elif material == "pub_der_as_text":
        value = keys["pub_der"].decode("latin-1")
    else:
        value = material
    caplog.set_level(logging.DEBUG, logger="norvo")
    with pytest.raises(ValueError) as exc:
        getattr(p384, loader)(value)
    assert str(exc.value) == message and exc.value.args == (message,)
    records = [r for r in caplog.records if r.name == "norvo.crypto.p384"]
    assert [(r.levelno, r.getMessage(), r.exc_info) for r in records] == [(logging.INFO, message, None)]


def test_library_error_is_the_context(keys):
    with pytest.raises(ValueError) as exc:
        p384.load_pem_public_key(b"not a key")
    assert isinstance(exc.value.__context__, ValueError)
    assert str(exc.value.__context__) != PEM_PUBLIC
    # a curve refusal comes from the check itself, not from a library error
    with pytest.raises(ValueError) as exc:
        p384.load_der_public_key(keys["p256_pub_der"])
    assert exc.value.__context__ is None


def test_library_error_is_the_context_inside_a_callers_handler():
    # The caller's own error being handled must not take the library error's place.
    try:
        raise KeyError("the caller's")
    except KeyError:
        with pytest.raises(ValueError) as exc:
            p384.load_pem_public_key(b"not a key")
    assert isinstance(exc.value.__context__, ValueError)


def test_random_bytes_are_refused(caplog):
    caplog.set_level(logging.INFO, logger="norvo.crypto.p384")
    for loader in (p384.load_pem_public_key, p384.load_pem_private_key, p384.load_der_public_key):
        with pytest.raises(ValueError):
            loader(os.urandom(200))
    assert len(caplog.records) == 3


def test_unencodable_text_passes_through_unlogged(caplog):
    caplog.set_level(logging.DEBUG, logger="norvo")
    with pytest.raises(UnicodeEncodeError):
        p384.load_pem_public_key("\ud800")
    assert caplog.records == []


def test_bad_calls_are_type_errors():
    with pytest.raises(TypeError):
        p384.load_pem_public_key()
    with pytest.raises(TypeError):
        p384.load_der_public_key(b"", b"")
    with pytest.raises(TypeError):
        p384.load_pem_private_key(pem=b"")
