import functools
import hashlib

import pytest
from cryptography.exceptions import AlreadyFinalized, InvalidKey, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes

import norvo.crypto as crypto
from norvo.crypto import pbkdf2
from norvo.crypto.pbkdf2 import PBKDF2HMAC

from gil import longest_pause_while


def reference(secret, salt, length=32, iterations=100000, name="sha384"):
    return hashlib.pbkdf2_hmac(name, secret, salt, iterations, length) if length else b""


def test_version_1_parameters_are_fixed():
    engine = pbkdf2.V1_PBKDF2
    assert isinstance(engine, functools.partial) and engine.func is PBKDF2HMAC and engine.args == ()
    kw = engine.keywords
    assert set(kw) == {"algorithm", "length", "iterations", "backend"}
    assert isinstance(kw["algorithm"], hashes.SHA384)
    assert kw["length"] == 32 and kw["iterations"] == 100000 and kw["backend"] is crypto.backend
    assert pbkdf2.engines == {1: engine}
    assert pbkdf2.backend is crypto.backend and pbkdf2.hashes is hashes and pbkdf2.partial is functools.partial


def test_known_answer():
    # The value that stored key files of version 1 depend on.
    key = pbkdf2.engines[1](salt=bytes(range(8))).derive(b"norvo password")
    assert key.hex() == "b0aa6e3a32c3d0b035338f4e7e12fff9b992fcda489cd226c7ae7d4cbbcf87e8"
    assert key == reference(b"norvo password", bytes(range(8)))


@pytest.mark.parametrize("version", [0, 2, "1", None])
def test_unknown_versions(version):
    with pytest.raises(KeyError):
        pbkdf2.engines[version]


def test_same_inputs_same_key_other_inputs_other_keys():
    derive = lambda secret, salt: pbkdf2.engines[1](salt=salt).derive(secret)
    a = derive(b"secret", b"saltsalt")
    assert a == derive(b"secret", b"saltsalt") and len(a) == 32
    assert a != derive(b"secret", b"saltsalx") and a != derive(b"secreT", b"saltsalt")


def test_salt_by_position_is_refused():
    with pytest.raises(TypeError):
        pbkdf2.engines[1](b"saltsalt")
    with pytest.raises(TypeError):
        pbkdf2.V1_PBKDF2(b"saltsalt")


def test_one_derivation_per_object():
    kdf = pbkdf2.engines[1](salt=b"s")
    with pytest.raises(TypeError):
        kdf.derive("text")                                  # a refused argument does not use the object up
    first = kdf.derive(bytearray(b"pw"))
    assert first == reference(b"pw", b"s")
    with pytest.raises(AlreadyFinalized):
        kdf.derive(b"pw")
    with pytest.raises(AlreadyFinalized):
        kdf.verify(b"pw", first)


def test_verify():
    good = reference(b"pw", b"s")
    assert pbkdf2.engines[1](salt=b"s").verify(b"pw", good) is None
    for wrong in (good[:-1], good + b"\x00", bytes(32), b""):
        with pytest.raises(InvalidKey):
            pbkdf2.engines[1](salt=b"s").verify(b"pw", wrong)


@pytest.mark.parametrize("name, algorithm", [("sha256", hashes.SHA256()), ("sha512", hashes.SHA512()),
                                             ("sha1", hashes.SHA1()), ("sha3_256", hashes.SHA3_256()),
                                             ("blake2b512", hashes.BLAKE2b(64))])
def test_other_hashes_and_lengths(name, algorithm):
    for length in (0, 1, 20, 100):
        kdf = PBKDF2HMAC(algorithm=algorithm, length=length, salt=b"salt", iterations=3, backend=None)
        assert kdf.derive(b"pw") == reference(b"pw", b"salt", length, 3, name)


@pytest.mark.parametrize("kwargs, error", [
    ({"algorithm": hashes.SHA384}, TypeError),
    ({"algorithm": None}, TypeError),
    ({"algorithm": hashes.SHAKE128(16)}, UnsupportedAlgorithm),
    ({"length": -1}, OverflowError),
    ({"length": 2 ** 64}, OverflowError),
    ({"length": 2 ** 40}, ValueError),
    ({"length": 32.0}, TypeError),
    ({"length": "32"}, TypeError),
    ({"salt": "salt"}, TypeError),
    ({"salt": bytearray(b"salt")}, TypeError),
    ({"salt": None}, TypeError),
    ({"iterations": 0}, ValueError),
    ({"iterations": -5}, OverflowError),
    ({"iterations": 2 ** 31}, ValueError),
    ({"iterations": None}, TypeError),
])
def test_constructor_refuses_bad_parameters(kwargs, error):
    args = dict(algorithm=hashes.SHA384(), length=32, salt=b"salt", iterations=1)
    args.update(kwargs)
    with pytest.raises(error):
        PBKDF2HMAC(**args)


@pytest.mark.parametrize("secret, error", [("text", TypeError), (None, TypeError), (5, TypeError)])
def test_derive_refuses_non_bytes(secret, error):
    with pytest.raises(error):
        pbkdf2.engines[1](salt=b"s").derive(secret)


@pytest.mark.parametrize("empty", [None, b"", "", 0, False])
def test_create_key_without_salt_uses_the_empty_salt(empty):
    expected = reference(b"secret", b"")
    assert pbkdf2.create_key(b"secret") == expected
    assert pbkdf2.create_key(b"secret", empty) == expected


def test_create_key_with_salt_and_length():
    assert pbkdf2.create_key(b"secret", b"saltsalt") == pbkdf2.engines[1](salt=b"saltsalt").derive(b"secret")
    assert pbkdf2.create_key(secret=b"secret", salt=b"s", length=64) == reference(b"secret", b"s", 64)
    with pytest.raises(TypeError):
        pbkdf2.create_key(b"secret", "text salt")           # a true salt goes to the engine unchanged
    with pytest.raises(TypeError):
        pbkdf2.create_key("text secret")


def test_create_key_reads_engines_at_each_call(monkeypatch):
    monkeypatch.setitem(pbkdf2.engines, 1, functools.partial(PBKDF2HMAC, algorithm=hashes.SHA256(), length=16,
                                                            iterations=2))
    assert pbkdf2.create_key(b"pw", b"s") == reference(b"pw", b"s", 16, 2, "sha256")


def test_derivation_releases_the_interpreter():
    kdf = PBKDF2HMAC(algorithm=hashes.SHA384(), length=32, salt=b"s", iterations=1_000_000)
    pause, total, key = longest_pause_while(lambda: kdf.derive(b"pw"))
    assert key == reference(b"pw", b"s", 32, 1_000_000)
    assert pause < total / 2
