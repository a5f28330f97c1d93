import pytest
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

import norvo.crypto as crypto
import norvo.utils
from norvo.crypto import aes

from gil import longest_pause_while

# NIST SP 800-38A, F.5.5 / F.5.6: CTR-AES256
KEY = bytes.fromhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4")
IV = bytes.fromhex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff")
PLAIN = bytes.fromhex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710")
CIPHER = bytes.fromhex("601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"
                       "2b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613c2dd08457941a6")


def test_module_attributes():
    assert aes.NONCE_LENGTH == 8
    assert aes.pad is norvo.utils.pad and aes.crypto is crypto
    assert aes.Cipher is Cipher and aes.algorithms is algorithms and aes.modes is modes
    assert issubclass(aes.DecryptionError, Exception) and aes.DecryptionError.__bases__ == (Exception,)
    assert aes.DecryptionError.__module__ == "norvo.crypto.aes"
    assert str(aes.DecryptionError("bad mac")) == "bad mac"


def test_sp800_38a_ctr_aes256():
    assert aes.encrypt(iv=IV, cipher_key=KEY, data=PLAIN) == CIPHER      # F.5.5
    assert aes.decrypt(cipher_key=KEY, iv=IV, data=CIPHER) == PLAIN      # F.5.6
    assert aes.encrypt(PLAIN, KEY, IV) == CIPHER


def test_whole_counter_block_is_incremented():
    # The low 64 bits roll over into the nonce half: block 2 uses nonce+1 || 0.
    iv = bytes(7) + b"\x01" + b"\xff" * 8
    next_iv = bytes(7) + b"\x02" + bytes(8)
    stream = aes.encrypt(data=bytes(32), cipher_key=KEY, iv=iv)
    assert stream[16:] == aes.encrypt(data=bytes(16), cipher_key=KEY, iv=next_iv)


@pytest.mark.parametrize("n", [0, 1, 15, 16, 17, 33, 100000])
def test_lengths_and_round_trips(n):
    data = crypto.random(n)
    iv = aes.create_iv()
    ct = aes.encrypt(data=data, cipher_key=KEY, iv=iv)
    assert type(ct) is bytes and len(ct) == n
    assert aes.decrypt(data=ct, cipher_key=KEY, iv=iv) == data
    assert aes.encrypt(data=ct, cipher_key=KEY, iv=iv) == data
    reference = Cipher(algorithms.AES(KEY), modes.CTR(iv)).encryptor()
    assert ct == reference.update(data) + reference.finalize()


@pytest.mark.parametrize("key_size", [16, 24, 32])
def test_aes_128_192_256_are_accepted(key_size):
    key = bytes(range(key_size))
    reference = Cipher(algorithms.AES(key), modes.CTR(IV)).encryptor()
    assert aes.encrypt(data=PLAIN, cipher_key=key, iv=IV) == reference.update(PLAIN)


def test_buffers_are_accepted():
    assert aes.encrypt(data=bytearray(PLAIN), cipher_key=memoryview(KEY), iv=bytearray(IV)) == CIPHER


def test_same_inputs_same_output_fresh_iv_other_output():
    assert aes.encrypt(data=PLAIN, cipher_key=KEY, iv=IV) == aes.encrypt(data=PLAIN, cipher_key=KEY, iv=IV)
    assert aes.encrypt(data=PLAIN, cipher_key=KEY, iv=aes.create_iv()) != \
        aes.encrypt(data=PLAIN, cipher_key=KEY, iv=aes.create_iv())


def test_wrong_key_decrypts_to_wrong_bytes_silently():
    out = aes.decrypt(data=CIPHER, cipher_key=bytes(32), iv=IV)
    assert len(out) == len(CIPHER) and out != PLAIN


def test_create_iv_and_create_key():
    ivs = {aes.create_iv() for _ in range(20)}
    assert len(ivs) == 20
    assert all(len(iv) == 16 and iv[8:] == bytes(8) for iv in ivs)
    keys = {aes.create_key() for _ in range(20)}
    assert len(keys) == 20 and all(type(k) is bytes and len(k) == 32 for k in keys)
    with pytest.raises(TypeError):
        aes.create_iv(8)
    with pytest.raises(TypeError):
        aes.create_key(32)


@pytest.mark.parametrize("data, key, iv, error", [
    (PLAIN, KEY[:31], IV, ValueError),
    (PLAIN, KEY + b"x", IV, ValueError),
    (PLAIN, b"", IV, ValueError),
    (PLAIN, KEY, IV[:15], ValueError),
    (PLAIN, KEY, IV + b"x", ValueError),
    (PLAIN, KEY, b"", ValueError),
    ("text", KEY, IV, TypeError),
    (PLAIN, KEY.hex()[:32], IV, TypeError),
    (PLAIN, KEY, "0123456789abcdef", TypeError),
    (None, KEY, IV, TypeError),
    (PLAIN, None, IV, TypeError),
    (PLAIN, KEY, None, TypeError),
    (12, KEY, IV, TypeError),
    # the key is examined before the counter block
    (PLAIN, KEY[:5], "not bytes", ValueError),
    (PLAIN, "not bytes", IV[:3], TypeError),
])
@pytest.mark.parametrize("op", [aes.encrypt, aes.decrypt])
def test_bad_input_is_refused(op, data, key, iv, error):
    with pytest.raises(error):
        op(data=data, cipher_key=key, iv=iv)


def test_non_contiguous_buffer_is_refused():
    with pytest.raises((TypeError, BufferError)):
        aes.encrypt(data=memoryview(PLAIN)[::2], cipher_key=KEY, iv=IV)


@pytest.mark.parametrize("call", [
    lambda: aes.encrypt(PLAIN, KEY),
    lambda: aes.encrypt(PLAIN, KEY, IV, IV),
    lambda: aes.decrypt(data=PLAIN, cipher_key=KEY, nonce=IV),
])
def test_bad_calls(call):
    with pytest.raises(TypeError):
        call()


def test_large_data_releases_the_interpreter():
    data = bytes(256 << 20)
    pause, total, out = longest_pause_while(lambda: aes.encrypt(data=data, cipher_key=KEY, iv=IV))
    assert len(out) == len(data) and out[:64] == aes.encrypt(data=bytes(64), cipher_key=KEY, iv=IV)
    assert pause < total / 2
