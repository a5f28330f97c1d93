"""Writes the seed corpus under fuzz/corpus/<target>/ from objects that the library makes.

    PYTHONPATH=build/<dir>/python python fuzz/make_corpus.py

Running it again rewrites the seeds it makes; seeds added by hand or kept from fuzzing stay.
"""

import os
import sys
import uuid

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "py"))

import norvo_targets as T  # noqa: E402

CORPUS = os.path.join(here, "corpus")
USER = uuid.UUID("11111111-2222-4333-8444-555555555555")


def write(target, name, data):
    d = os.path.join(CORPUS, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed-" + name), "wb") as f:
        f.write(bytes(data))


def containers():
    from norvo.crypto import container as C

    keys = T.fixed_container_keys()
    made = {}
    for name, header, content, cls in (
        ("raw", {"name": "report.pdf", "tags": ["a", "b"]}, b"%PDF-1.4 hello", C.RawPayload),
        ("raw-empty", {}, b"", C.RawPayload),
        ("worked", {"k": "v" * 20}, b"hello", C.RawPayload),
        ("json", {"type": "note"}, {"text": "caf\u00e9", "n": [1, 2.5, None, True]}, C.JSONPayload),
        ("json-text", "just text", "also text", C.JSONPayload),
    ):
        c = C.Container(header=header, content=content, content_cls=cls, container_id=T.FIXED_OID)
        c.encrypt(keys)
        prefix = b"\x01" if cls is C.JSONPayload else b"\x00"
        write("container_bytes", name, prefix + c.data)
        made[name] = c.data
    write("container_bytes", "raw-trailing", b"\x00" + made["raw"] + b"0123456789")
    write("container_format", "container", made["worked"])
    write("container_format", "container-json", made["json"])

    # Structured containers: flags, header plaintext, content plaintext (see the target).
    for name, flags, header, content in (
        ("raw", 0, b'{"version": 1, "customData": {"name": "x"}}', b"content bytes"),
        ("json", 1, b'{"version": 1, "customData": [1, 2, 3]}', b'{"a": "b"}'),
        ("no-custom", 1, b'{"version": 1}', b'"text"'),
        ("iv", 2 | 4, b'{"version": 1, "customData": 7}', b""),
    ):
        seed = bytes([flags]) + T.chunk(header) + T.chunk(content)
        if flags & 2:
            seed += T.chunk(b"\x05" * 8 + b"\x00" * 8) + T.chunk(b"\x06" * 8 + b"\x00" * 8)
        write("container_decrypt", name, seed)

    for name, k in (
        ("default", C.ContainerKeys()),
        ("short-key", C.ContainerKeys(cipher_key=b"k" * 16)),
        ("indexes", C.ContainerKeys(cipher_index=1, mac_index=2**64 - 1)),
    ):
        write("container_keys", name, bytes(k))
        write("container_format", "key-record-" + name, bytes(k))
    empty = T._u64(1) + T._u64(0) + T._u64(0) + T._u64(0) + T._u64(0)
    write("container_keys", "empty-keys", empty)

    for name, plain in (("bytes", b"plain bytes"), ("json", b'{"version": 1, "customData": {}}'), ("empty", b"")):
        section = C._encrypt(plain, keys)
        write("portion_section", name, b"\x00" + section)
        write("portion_section", name + "-json", b"\x02" + section)
        write("portion_section", name + "-structured", b"\x01" + plain)
        write("container_format", "section-" + name, section)


def keyfiles():
    from norvo.crypto import keys as K
    from norvo.crypto import strongbox as S
    import simplejson

    kf = S.KeyFile(signing_key=K.AuthKey(), derivation_key=K.DerivationKey(), user_id=USER)
    doc = simplejson.dumps(kf.data).encode()
    kf.encrypt(T.KEYFILE_PASSWORD, T.KEYFILE_PASSPHRASE)
    data = kf.data
    write("keyfile", "parse", b"\x00" + data)
    write("keyfile", "rescue", b"\x01" + data)
    write("keyfile", "decrypt", b"\x02" + data)
    write("keyfile_decrypt", "document", b"\x00" + doc)
    write("keyfile_decrypt", "document-no-user", b"\x00" + b'{"derivationKeys": {}, "signingKeys": {}}')
    write("keyfile_decrypt", "document-version-2", b"\x82" + doc)
    write("keyfile_decrypt", "rescue", b"\x01" + b'{"password": "%s"}' % ("ab" * 48).encode())
    write("keyfile_decrypt", "rescue-not-mapping", b"\x01" + b'["password"]')
    write("keyfile_format", "keyfile", data)
    write("keyring_document", "document", doc)
    write("keyring_document", "empty-sections", b'{"userId": "%s", "derivationKeys": {}, "signingKeys": {}}' % str(USER).encode())
    two = simplejson.loads(doc)
    two["signingKeys"]["7"] = dict(two["signingKeys"]["0"], index=1, active=False)
    write("keyring_document", "two-keys", simplejson.dumps(two).encode())
    fuzzing_engine_keyfiles()


def fuzzing_engine_keyfiles():
    """Key files sealed under the fuzzers' few-round engine, so that the `keyfile` target gets
    past the password while fuzzing (under the real engine they are wrong-password inputs)."""
    from norvo.crypto import keys as K
    from norvo.crypto import strongbox as S

    restore = T.fast_key_derivation()
    try:
        kf = S.KeyFile(signing_key=K.AuthKey(), derivation_key=K.DerivationKey(), user_id=USER)
        kf.encrypt(T.KEYFILE_PASSWORD, T.KEYFILE_PASSPHRASE)
    finally:
        restore()
    write("keyfile", "rescue-fuzzing-engine", b"\x01" + kf.data)
    write("keyfile", "decrypt-fuzzing-engine", b"\x02" + kf.data)


def key_exchange():
    from norvo.crypto import container as C
    from norvo.crypto import envelope as E
    from norvo.crypto import ies

    sender, recipient = T.rings()
    keys = C.ContainerKeys()
    for name, payload in (("key-record", bytes(keys)), ("empty", b""), ("short", b"xyz")):
        msg = ies.encrypt(payload, sender, recipient, obj_id=T.FIXED_OID)
        write("ies_decrypt", name, b"\x00" + msg)
        write("ies_decrypt", name + "-sender", b"\x01" + msg)
        write("ies_decrypt", name + "-structured", b"\x02" + T.chunk(payload) + b"\x00")
        write("ies_format", name, msg)

    env = E.Envelope(container_id=T.FIXED_OID, container_keys=keys, sender_keys=sender, recip_keys=recipient)
    write("envelope", "b64", b"\x00" + env.b64)
    write("envelope", "b64-text-sender", b"\x05" + env.b64)
    write("envelope", "b64-lines", b"\x04" + b"\n".join(env.b64[i : i + 64] for i in range(0, len(env.b64), 64)))
    write("envelope", "structured", b"\x02" + T.chunk(bytes(keys)) + b"\x00")
    write("envelope", "access-text", b"\x0c" + env.b64)
    write("envelope", "structured-indexes", b"\x02" + T.chunk(bytes(C.ContainerKeys(cipher_index=3))) + b"\x00")


def format_objects():
    # Prefix: which format (index into norvo_targets._formats()), then the field and value picks.
    for index, target in ((0, "ies_format"), (1, "keyfile_format"), (3, "container_format")):
        d = os.path.join(CORPUS, target)
        for name in sorted(os.listdir(d)) if os.path.isdir(d) else ():
            with open(os.path.join(d, name), "rb") as f:
                data = f.read()
            fmt = index
            if target == "container_format" and name.startswith("seed-section"):
                fmt = 4
            elif target == "container_format" and name.startswith("seed-key-record"):
                fmt = 5
            write("format_objects", f"{fmt}-{name[5:]}", bytes([fmt, 0, 0]) + data)
            write("format_objects", f"{fmt}-{name[5:]}-odd", bytes([fmt, 3, 5]) + data)


def value_types():
    # Prefix: entry point (index into norvo_targets._entry_points()), value kind; then a
    # valid object for that entry point, so the odd shapes carry sensible bytes.
    def seed(target, name):
        with open(os.path.join(CORPUS, target, "seed-" + name), "rb") as f:
            return f.read()

    samples = {
        0: seed("container_bytes", "raw")[1:], 1: seed("container_keys", "default"), 2: b"k" * 32,
        3: seed("container_format", "section-bytes"), 4: seed("container_format", "section-json"),
        5: seed("container_keys", "default"), 6: seed("keyfile_format", "keyfile"),
        7: seed("keyfile_format", "keyfile"), 8: b"\x01", 9: seed("ies_format", "key-record"),
        10: seed("ies_format", "key-record"), 11: seed("keyfile_format", "keyfile"),
        12: seed("keyfile_format", "keyfile")[24:], 13: seed("envelope", "b64")[1:],
        14: seed("p384_pem_public", "p384")[1:], 15: seed("p384_pem_private", "p384")[1:],
        16: seed("p384_der_public", "p384"), 17: b"m" * 48, 18: b"\x00" * 16,
        19: seed("container_format", "section-bytes"), 20: seed("ies_format", "key-record"),
    }
    for point, sample in samples.items():
        for kind in (0, 1, 3, 5, 11):
            write("value_types", f"{point}-{kind}", bytes([point, kind]) + sample)


def p384():
    from cryptography.hazmat.primitives import serialization as ser
    from cryptography.hazmat.primitives.asymmetric import ec, rsa

    p384 = T._fixed_private_key(10)
    p256 = ec.generate_private_key(ec.SECP256R1())
    small_rsa = rsa.generate_private_key(public_exponent=65537, key_size=1024)
    pem_pub = lambda k: k.public_key().public_bytes(ser.Encoding.PEM, ser.PublicFormat.SubjectPublicKeyInfo)
    der_pub = lambda k: k.public_key().public_bytes(ser.Encoding.DER, ser.PublicFormat.SubjectPublicKeyInfo)
    pem_priv = lambda k, enc=ser.NoEncryption(): k.private_bytes(ser.Encoding.PEM, ser.PrivateFormat.PKCS8, enc)
    for name, k in (("p384", p384), ("p256", p256), ("rsa", small_rsa)):
        write("p384_pem_public", name, b"\x00" + pem_pub(k))
        write("p384_pem_public", name + "-text", b"\x01" + pem_pub(k))
        write("p384_pem_private", name, b"\x00" + pem_priv(k))
        write("p384_pem_private", name + "-text", b"\x01" + pem_priv(k))
        write("p384_der_public", name, der_pub(k))
    write("p384_pem_private", "encrypted", b"\x00" + pem_priv(p384, ser.BestAvailableEncryption(b"pw")))
    write("p384_pem_private", "traditional", b"\x00" + p384.private_bytes(
        ser.Encoding.PEM, ser.PrivateFormat.TraditionalOpenSSL, ser.NoEncryption()))
    write("p384_der_public", "compressed", p384.public_key().public_bytes(ser.Encoding.X962, ser.PublicFormat.CompressedPoint))


def main():
    for part in (p384, containers, keyfiles, key_exchange, format_objects, value_types):
        part()
    for target in sorted(os.listdir(CORPUS)):
        print(f"{target}: {len(os.listdir(os.path.join(CORPUS, target)))} seeds")


if __name__ == "__main__":
    main()
