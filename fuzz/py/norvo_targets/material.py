"""Fixed material: keys, ids and secrets that are the same in every process, and the sealed
containers, key rings and messages built under them."""

import hashlib
import hmac as _std_hmac
import uuid

from .common import _u64, _var, container_mod, crypto, keys_mod

# Keys that the structured targets seal with, made once per process. Inputs built under them
# authenticate, so the fuzzer reaches the code behind the MAC and signature checks.

_CACHE = {}


def _once(name, make):
    if name not in _CACHE:
        _CACHE[name] = make()
    return _CACHE[name]


FIXED_CIPHER_KEY = bytes(range(32))
FIXED_MAC_KEY = bytes(range(128, 256))
FIXED_OID = uuid.UUID("0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3")
KEYFILE_PASSWORD = "Correct horse battery staple 1!"
KEYFILE_PASSPHRASE = "a passphrase for the rescue section"
KEYFILE_SALT = b"\x01\x02\x03\x04\x05\x06\x07\x08"


def _aes_ctr(key, iv, data):
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

    enc = Cipher(algorithms.AES(key), modes.CTR(iv)).encryptor()
    return enc.update(data) + enc.finalize()


def fixed_container_keys():
    container = container_mod
    return container.ContainerKeys(cipher_key=FIXED_CIPHER_KEY, mac_key=FIXED_MAC_KEY)


def _section(plaintext, iv=None, digest=None, cipher_key=FIXED_CIPHER_KEY, mac_key=FIXED_MAC_KEY):
    """One container section as the library writes it, under the fixed keys."""
    iv = (b"\x11" * 8 + b"\x00" * 8) if iv is None else iv
    ct = _aes_ctr(cipher_key, iv, plaintext) if len(iv) == 16 else plaintext
    if digest is None:
        digest = _std_hmac.new(mac_key, ct, hashlib.sha384).digest()
    return _var(iv) + _var(ct) + _var(digest)


def _container_bytes(header_section, content_section, oid=FIXED_OID, version=1, cipher=0, mac=0, trailer=b""):
    return (
        _u64(version)
        + oid.bytes_le
        + _u64(cipher)
        + _u64(mac)
        + _u64(len(header_section))
        + _u64(len(content_section))
        + header_section
        + content_section
        + trailer
    )


class DecryptedKeyFile(object):
    """What a key ring reads of a decrypted key file: `encrypted` and the key-ring document."""

    encrypted = False

    def __init__(self, data):
        self.data = data


def _fixed_private_key(n):
    """A P-384 key that is the same in every process, so seeds made once keep verifying."""
    from cryptography.hazmat.primitives.asymmetric import ec

    scalar = int.from_bytes(hashlib.sha384(b"norvo fuzz key %d" % n).digest(), "big") >> 8
    return ec.derive_private_key(scalar, ec.SECP384R1())


def key_ring_document(user_id, first_key):
    keys = keys_mod
    doc = {"userId": str(user_id), keys.KeyType.AUTH: {}, keys.KeyType.DERIVATION: {}}
    for n, section in enumerate((keys.KeyType.AUTH, keys.KeyType.DERIVATION)):
        pem = crypto.to_pem_private(_fixed_private_key(first_key + n)).decode()
        doc[section]["0"] = {"key": pem, "index": 0, "active": True, "isPublic": False}
    return doc


def rings():
    """The fixed sender's and recipient's private key rings."""

    def make():
        keys = keys_mod
        sender = keys.KeyRing(
            strongbox=DecryptedKeyFile(key_ring_document(uuid.UUID("11111111-2222-4333-8444-555555555555"), 0))
        )
        recipient = keys.KeyRing(
            strongbox=DecryptedKeyFile(key_ring_document(uuid.UUID("66666666-7777-4888-9999-aaaaaaaaaaaa"), 2))
        )
        return sender, recipient

    return _once("rings", make)


def _ies_material():
    """A fixed ephemeral key agreed with the recipient's derivation key, and its AES key."""

    def make():
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec
        from cryptography.hazmat.primitives.kdf.x963kdf import X963KDF

        keys = keys_mod
        sender, recipient = rings()
        eph = _fixed_private_key(4)
        recip_pub = recipient[keys.KeyType.DERIVATION][0].public
        shared = eph.exchange(ec.ECDH(), recip_pub)
        cipher_key = X963KDF(algorithm=hashes.SHA384(), length=32, sharedinfo=None).derive(shared)
        der = lambda k: k.public_bytes(
            serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo
        )
        signer = sender[keys.KeyType.AUTH][0]
        return {
            "eph_der": der(eph.public_key()),
            "cipher_key": cipher_key,
            "signer": signer.private,
            "sender_der": der(signer.public),
            "sender_id": uuid.UUID(str(signer.user_id)).bytes_le,
        }

    return _once("ies", make)


def _ies_message(r, payload):
    """A message built from the fuzzer's choices, signed by the fixed sender: it verifies."""
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec

    m = _ies_material()
    flags = r.byte()
    iv = b"\x22" * 8 + b"\x00" * 8
    if flags & 0x01:
        iv = r.chunk(40)
    ct = _aes_ctr(m["cipher_key"], iv, payload) if len(iv) == 16 else payload
    eph = m["eph_der"]
    if flags & 0x02:
        eph = r.chunk(200)
    sender_der = m["sender_der"]
    if flags & 0x04:
        sender_der = r.chunk(200)
    recip_index = r.byte() % 3 if flags & 0x08 else 0
    sender_index = r.byte() % 3 if flags & 0x10 else 0
    signature = m["signer"].sign(ct, ec.ECDSA(hashes.SHA384()))
    if flags & 0x20:
        signature = r.chunk(120)
    return (
        _u64(1 if not flags & 0x40 else r.byte())
        + FIXED_OID.bytes_le
        + _u64(recip_index)
        + _u64(sender_index)
        + _u64(0 if not flags & 0x80 else r.byte())
        + _var(eph)
        + _var(iv)
        + _var(ct)
        + _var(signature)
        + _var(sender_der)
        + _var(m["sender_id"])
    ), (flags & 0x3F) == 0 and recip_index == 0 and sender_index == 0
