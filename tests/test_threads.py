"""Several threads at once: containers, envelopes, key files and the primitives, each result
checked against an independent computation, while another thread runs the FIPS switch.

The run happens in a fresh interpreter: the switch acts on the whole process (where a FIPS
provider is installed it cannot be undone), and a crash or a deadlock there fails this test
instead of ending the test run. The workers check every result with the cryptography package
alone, which carries an OpenSSL of its own: the standard library's hashlib and hmac use the
system OpenSSL, whose default properties the switch changes beneath them, taking no lock.
"""
import functools
import json
import os
import random
import struct
import subprocess
import sys
import threading
import traceback
import types
import uuid

import pytest
import simplejson
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives import hmac as reference_hmac
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC as ReferencePBKDF2
from cryptography.hazmat.primitives.kdf.x963kdf import X963KDF

import norvo.crypto as crypto
from norvo.crypto import aes, ecdhe, ecdsa, hash as norvo_hash, hmac, pbkdf2, strongbox
from norvo.crypto.container import Container, ContainerKeys
from norvo.crypto.envelope import Envelope
from norvo.crypto.keys import KeyRing, KeyType
from norvo.crypto.strongbox import KeyFile

from rings import new_key_file, public_ring

THREADS = 6
ROUNDS = 80            # of every kind of operation, on each worker thread
KEYFILE_ROUNDS = 16    # PBKDF2 rounds of the key files' low-iteration engine
PASSWORD = "Correct.Horse1"
PASSPHRASE = "battery staple for the rescue"


# ---- the independent computations

def ctr(key, iv, data):
    encryptor = Cipher(algorithms.AES(key), modes.CTR(iv)).encryptor()
    return encryptor.update(data) + encryptor.finalize()


def mac(key, data):
    h = reference_hmac.HMAC(key, hashes.SHA384())
    h.update(data)
    return h.finalize()


def sha384_hex(data):
    h = hashes.Hash(hashes.SHA384())
    h.update(data)
    return h.finalize().hex()


def u64(data, offset):
    return struct.unpack_from("<Q", data, offset)[0]


def fields(data, offset, count):
    """`count` length-prefixed byte strings from `offset`, and the offset after them."""
    out = []
    for _ in range(count):
        n = u64(data, offset)
        out.append(data[offset + 8:offset + 8 + n])
        offset += 8 + n
    return out, offset


# ---- one operation of each kind, with fresh inputs

class Worker(object):
    """One thread's keys, made before the run starts, and its operations."""

    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.ec_a, self.ec_b = crypto.p384.generate_private_key(), crypto.p384.generate_private_key()
        self.alice, self.alice_file = self.key_ring()
        self.bob, _ = self.key_ring()
        self.alice_public, self.bob_public = public_ring(self.alice), public_ring(self.bob)

    @staticmethod
    def key_ring():
        key_file = new_key_file(str(uuid.uuid4()))
        return KeyRing(strongbox=key_file), key_file

    def data(self, most=40 * 1024):
        # Sizes on both sides of the size above which the library releases the interpreter lock.
        return os.urandom(self.rng.choice((0, 1, 100, 1000, 17 * 1024, most)))

    def aes(self):
        key, iv, data = os.urandom(32), os.urandom(8) + bytes(8), self.data()
        sealed = aes.encrypt(data=data, cipher_key=key, iv=iv)
        assert sealed == ctr(key, iv, data)
        assert aes.decrypt(data=sealed, cipher_key=key, iv=iv) == data
        assert len(aes.create_key()) == 32 and aes.create_iv()[8:] == bytes(8)

    def hmac(self):
        key, data = os.urandom(128), self.data()
        tag = hmac.digest(key, data)
        assert tag == mac(key, data)
        hmac.verify(key, data, tag)
        try:
            hmac.verify(key, data + b"x", tag)
        except InvalidSignature:
            pass
        else:
            raise AssertionError("a wrong tag was accepted")

    def hash(self):
        data = self.data()
        assert crypto.SHA384(data) == sha384_hex(data)
        text = "pässword %d" % self.rng.randrange(10 ** 6)
        assert norvo_hash.get_hash(text) == sha384_hex(text.encode())
        assert len(crypto.random(48)) == 48

    def pbkdf2(self):
        secret, salt = os.urandom(20), os.urandom(self.rng.choice((8, 16)))
        rounds, length = self.rng.randrange(1, 200), self.rng.choice((16, 32, 64))
        ours = pbkdf2.PBKDF2HMAC(algorithm=hashes.SHA384(), length=length, salt=salt, iterations=rounds)
        theirs = ReferencePBKDF2(algorithm=hashes.SHA384(), length=length, salt=salt, iterations=rounds)
        assert ours.derive(secret) == theirs.derive(secret)
        x = os.urandom(48)
        assert crypto.KDF2(x) == X963KDF(algorithm=hashes.SHA384(), length=32, sharedinfo=None).derive(x)

    def ecdsa(self):
        message = self.data(1000)
        signature = ecdsa.sign(self.ec_a, message)
        self.ec_a.public_key().verify(signature, message, ec.ECDSA(hashes.SHA384()))
        ecdsa.verify(self.ec_b.public_key(), message, self.ec_b.sign(message, ec.ECDSA(hashes.SHA384())))

    def ecdhe(self):
        assert ecdhe.exchange(self.ec_a, self.ec_b.public_key()) == self.ec_b.exchange(ec.ECDH(),
                                                                                      self.ec_a.public_key())

    def container(self):
        header, content = {"n": self.rng.randrange(10 ** 6)}, self.data()
        made = Container(header=header, content=content)
        keys = made.encrypt()
        data = made.data
        assert u64(data, 0) == 1 and uuid.UUID(bytes_le=data[8:24]) == made.id
        offset, plain = 56, []
        for _ in range(2):
            (iv, sealed, digest), offset = fields(data, offset, 3)
            assert digest == mac(keys.mac_key, sealed)
            plain.append(ctr(keys.cipher_key, iv, sealed))
        assert simplejson.loads(plain[0]) == {"version": 1, "customData": header} and plain[1] == content
        opened = Container(data=data)
        opened.decrypt(keys)
        assert opened.header.data == header and opened.content.data == content

    def envelope(self):
        keys, container_id = ContainerKeys(), uuid.uuid4()
        made = Envelope(container_id=container_id, container_keys=keys, sender_keys=self.alice,
                        recip_keys=self.bob_public)
        raw = made.to_bytes()
        assert raw[8:24] == container_id.bytes_le
        (ephemeral, iv, blob, signature, sender, _), _ = fields(raw, 48, 6)
        shared = self.bob[KeyType.DERIVATION][0].private.exchange(
            ec.ECDH(), serialization.load_der_public_key(ephemeral))
        wrapping_key = X963KDF(algorithm=hashes.SHA384(), length=32, sharedinfo=None).derive(shared)
        assert ctr(wrapping_key, iv, blob) == bytes(keys)
        serialization.load_der_public_key(sender).verify(signature, blob, ec.ECDSA(hashes.SHA384()))
        assert Envelope(made.b64).get_container_keys(self.bob, self.alice_public) == keys

    def key_file(self):
        document = simplejson.loads(simplejson.dumps(self.alice_file.data))
        sealed = KeyFile(signing_key=self.alice[KeyType.AUTH][0], derivation_key=self.alice[KeyType.DERIVATION][0],
                         user_id=document["userId"]).encrypt(PASSWORD, PASSPHRASE).data
        hashed = sha384_hex(PASSWORD.encode())
        sections = (24, 24 + u64(sealed, 8))
        for offset, secret, expected in zip(sections, (hashed, PASSPHRASE),
                                            (document, {"password": hashed})):
            (salt, iv, text), _ = fields(sealed, offset, 3)
            key = ReferencePBKDF2(algorithm=hashes.SHA384(), length=32, salt=salt,
                                  iterations=KEYFILE_ROUNDS).derive(secret.encode())
            assert simplejson.loads(ctr(key, iv, text)) == expected
        assert KeyFile(sealed).decrypt(PASSWORD).data == document


KINDS = ("aes", "hmac", "hash", "pbkdf2", "ecdsa", "ecdhe", "container", "envelope", "key_file")


# ---- the run

def low_iteration_key_files():
    """Key files derive their keys with KEYFILE_ROUNDS rounds of the same PBKDF2, as the fuzzers'."""
    engine = functools.partial(pbkdf2.PBKDF2HMAC, algorithm=hashes.SHA384(), length=32,
                               iterations=KEYFILE_ROUNDS)
    strongbox.pbkdf2 = types.SimpleNamespace(engines={1: engine})


def stress(threads=THREADS, rounds=ROUNDS):
    """Runs every kind `rounds` times on each of `threads` threads while another thread switches:
    it turns the FIPS property on and off under the switch's lock (the test hook) and, every
    eighth time, tries the real switch. Returns what ran, as a JSON-ready dictionary."""
    low_iteration_key_files()
    workers = [Worker(seed) for seed in range(threads)]
    start = threading.Barrier(threads + 1)
    counts = {kind: 0 for kind in KINDS}
    failures, switch = [], {"flips": 0, "refused": 0, "switched": False}
    count_lock = threading.Lock()

    def work(worker):
        start.wait()
        order = list(KINDS) * rounds
        worker.rng.shuffle(order)
        for kind in order:
            try:
                getattr(worker, kind)()
            except Exception:
                failures.append("%s: %s" % (kind, traceback.format_exc()))
                return
            with count_lock:
                counts[kind] += 1

    def switching(working):
        start.wait()
        while any(t.is_alive() for t in working):
            if (switch["flips"] + switch["refused"]) % 8 == 7:
                try:
                    crypto.enable_fips()
                except AssertionError:
                    switch["refused"] += 1
                    continue
                switch["switched"] = True  # a FIPS provider is installed: the mode stays on
                return
            if not crypto._flip_fips_mode():
                failures.append("the test hook refused with the FIPS mode off")
                return
            switch["flips"] += 1

    working = [threading.Thread(target=work, args=(w,)) for w in workers]
    switcher = threading.Thread(target=switching, args=(working,))
    for t in working + [switcher]:
        t.start()
    for t in working + [switcher]:
        t.join()
    return dict(switch, operations=counts, failures=failures, threads=threads)


def test_operations_on_many_threads_while_the_fips_switch_runs():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    code = "import json, test_threads; print(json.dumps(test_threads.stress()))"
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout.splitlines()[-1])
    if report["switched"]:
        pytest.skip("a FIPS provider is installed: the switch went through and cannot be undone")
    assert report["failures"] == []
    assert report["operations"] == {kind: THREADS * ROUNDS for kind in KINDS}
    assert report["flips"] > 0 and report["refused"] > 0
    print("stress run:", json.dumps(report, sort_keys=True))
