import pytest
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec

import norvo.crypto as crypto
from norvo.crypto import ecdhe, ecdsa


@pytest.fixture(scope="module")
def pair():
    return ec.generate_private_key(ec.SECP384R1()), ec.generate_private_key(ec.SECP384R1())


def test_algorithm_objects_are_made_once():
    assert isinstance(ecdsa.ECDSA, ec.ECDSA) and isinstance(ecdsa.ECDSA.algorithm, hashes.SHA384)
    assert isinstance(ecdhe.ECDH, ec.ECDH)
    assert ecdsa.ec is ec and ecdsa.hashes is hashes and ecdhe.ec is ec
    assert crypto.ecdsa is ecdsa


def test_sign_and_verify(pair):
    a, b = pair
    data = b"encrypted key blob" * 10
    s1, s2 = ecdsa.sign(a, data), ecdsa.sign(a, data)
    assert s1 != s2
    assert ecdsa.verify(a.public_key(), data, s1) is None
    assert ecdsa.verify(public_key=a.public_key(), data=data, signature=s2) is None
    # the key objects' own operations with the shared algorithm object agree both ways
    a.public_key().verify(s1, data, ecdsa.ECDSA)
    ecdsa.verify(a.public_key(), data, a.sign(data, ecdsa.ECDSA))
    assert ecdsa.verify(a.public_key(), b"", ecdsa.sign(a, b"")) is None


def test_signatures_are_der_and_short(pair):
    a, _ = pair
    for i in range(50):
        sig = ecdsa.sign(a, bytes([i]))
        assert sig[0] == 0x30 and len(sig) <= 104


@pytest.mark.parametrize("change", ["data", "signature", "key", "truncated", "empty", "garbage"])
def test_verify_refuses(change, pair):
    a, b = pair
    data = b"some signed bytes"
    sig = ecdsa.sign(a, data)
    key = a.public_key()
    if change == "data":
        data = b"Some signed bytes"
    elif change == "signature":
        sig = sig[:-1] + bytes([sig[-1] ^ 1])
    elif change == "key":
        key = b.public_key()
    elif change == "truncated":
        sig = sig[:-1]
    elif change == "empty":
        sig = b""
    else:
        sig = b"\x30" + b"\xff" * 200
    with pytest.raises(InvalidSignature):
        ecdsa.verify(key, data, sig)


@pytest.mark.parametrize("call, error", [
    (lambda a: ecdsa.sign(a, "text"), TypeError),
    (lambda a: ecdsa.sign(a, None), TypeError),
    (lambda a: ecdsa.sign(a.public_key(), b"x"), AttributeError),
    (lambda a: ecdsa.sign(None, b"x"), AttributeError),
    (lambda a: ecdsa.verify(a.public_key(), "text", b"sig"), TypeError),
    (lambda a: ecdsa.verify(a.public_key(), b"x", None), TypeError),
    (lambda a: ecdsa.verify(a, b"x", b"sig"), AttributeError),
    (lambda a: ecdsa.sign(a), TypeError),
    (lambda a: ecdsa.verify(a.public_key(), b"x", b"s", b"extra"), TypeError),
])
def test_library_errors_pass_through(call, error, pair):
    with pytest.raises(error):
        call(pair[0])


def test_exchange_is_symmetric(pair):
    a, b = pair
    secret = ecdhe.exchange(a, b.public_key())
    assert secret == ecdhe.exchange(private_key=b, public_key=a.public_key())
    assert len(secret) == 48
    assert secret == a.exchange(ec.ECDH(), b.public_key())


@pytest.mark.parametrize("make, error", [
    (lambda a: (a, ec.generate_private_key(ec.SECP256R1()).public_key()), ValueError),
    (lambda a: (a.public_key(), a.public_key()), AttributeError),
    (lambda a: (a, b"not a key"), TypeError),
    (lambda a: (a, None), TypeError),
])
def test_exchange_errors_pass_through(make, error, pair):
    with pytest.raises(error):
        ecdhe.exchange(*make(pair[0]))
