"""Writes the seed corpus under fuzz/corpus/<target>/ from objects that the library makes, and
from the replies of the loopback broker (broker/) to a walk of the whole road.

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
    empty = T.common._u64(1) + T.common._u64(0) + T.common._u64(0) + T.common._u64(0) + T.common._u64(0)
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
    # Prefix: which format (index into norvo_targets.formats._formats()), then the field and value picks.
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
    # Prefix: entry point (index into norvo_targets.values._entry_points()), value kind; then a
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

    p384 = T.material._fixed_private_key(10)
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


# ---------------------------------------------------------------- real traffic of the broker


def _body(sent):
    return sent.split(b"\r\n\r\n", 1)[1]


def broker_traffic():
    """Walks the road against the loopback broker and keeps what it answered, as the seeds of
    the targets on broker replies, plus a database and file-store names the road made."""
    import datetime
    import gzip
    import tempfile

    sys.path.insert(0, os.path.dirname(here))  # the loopback broker, in the checkout
    for name in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy"):
        os.environ.pop(name, None)
    import retrying

    import broker as loopback
    from norvo import _lifecycle, container
    from norvo import user as accounts
    from norvo.access import Access
    from norvo.permissions import DEFAULT_RECIP_PERMISSIONS
    from norvo.providers.server import aws, events

    # The faults below make the REST client retry; its waits need not pass for real here.
    retrying.time = type("Clock", (), {"time": staticmethod(__import__("time").time),
                                       "sleep": staticmethod(lambda seconds: None)})
    b = loopback.Broker().start()
    walks = []

    def walk(**filters):
        start = len(b.log)
        events.get(**filters)
        walks.append([_body(e.sent) for e in b.log[start:] if e.route == "events" and e.status == 200])
    b.events_page_size = 2
    with tempfile.TemporaryDirectory(prefix="norvo-corpus-") as root:
        try:
            _lifecycle.initialize("6f1c5d1e-7d0a-4c57-9a43-0b8e1b7f2c11", fips=False, app_name="corpus",
                                  server_url=b.url, root_dir=root)
            alice = accounts.create("Alice-Pa55word", "the blue notebook", "alice rescue Phrase 1")
            _lifecycle.logout()
            bob = accounts.create("Bob-Pa55word!", "the red notebook", "bob rescue Phrase 2")
            _lifecycle.login(alice.id, password="Alice-Pa55word")
            expires = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=7)
            made = container.create({"title": "figures"}, {"revenue": 1250000}, type="report",
                                    access=[Access(bob.id, permissions=DEFAULT_RECIP_PERMISSIONS, expiration=expires)])
            container.update(made, header={"title": "figures, revised"})
            _lifecycle.login(bob.id, password="Bob-Pa55word!")
            got = container.get(made.id)
            walk(type="container")
            walk(type="strongbox")
            walk(type="container", starting_event_id=2, action="accessed")
            url = b.put_object("object", bytes(range(256)) * 8)
            for start, end in ((0, 99), (5, 6), (2000, 2047)):
                aws.get(url, start, end)
            aws.get(url)
            b.compress_objects = True
            aws.get(url)
            b.script("object-get", loopback.IGNORE_RANGE, loopback.SHORT_BODY)
            for _ in range(2):
                try:
                    aws.get(url, 10, 59)
                except AssertionError:
                    pass
            b.script("events", 429, 502, 503, 404, loopback.NOT_JSON, 204)
            for _ in range(4):
                try:
                    events.get(type="container")
                except Exception:
                    pass
            b.script("login", loopback.Reply.json({"error": "unknown key"}))
            try:
                _lifecycle.login(bob.id, password="Bob-Pa55word!")
            except RuntimeError:
                pass
            _lifecycle.login(bob.id, password="Bob-Pa55word!")
            rows = _database_seed(got)
        finally:
            _lifecycle.logout()
            b.stop()

    by_route = {}
    for e in b.log:
        by_route.setdefault(e.route, []).append(e)

    # The login: the challenge and the login reply, as pairs.
    times = [e for e in by_route["time"] if e.status == 200]
    logins = by_route["login"]
    for n, (t, lg) in enumerate(zip(times, logins)):
        write("login_reply", "road-{}".format(n), b"\x00" + T.chunk(_body(t.sent)) + T.chunk(_body(lg.sent)))
    t0, l0 = _body(times[0].sent), _body(logins[0].sent)
    write("login_reply", "second-key", b"\x01" + T.chunk(t0) + T.chunk(b'{"error": "no"}') + T.chunk(t0) + T.chunk(l0))
    write("login_reply", "failing-status", b"\x40" + T.chunk(t0) + T.chunk(b'{"error": "Internal"}'))

    # Event pages: each walk's pages, in order.
    for n, pages in enumerate(w for w in walks if w):
        write("event_pages", "road-{}".format(n), bytes([n & 1]) + b"".join(T.chunk(p) for p in pages))

    # Whole replies, from each route and fault.
    kinds = {"events": 0, "time": 1, "containers-create": 2, "object-get": 3, "object-put": 4}
    seen = set()
    for e in b.log:
        kind = kinds.get(e.route)
        if kind is None or (e.route, e.status) in seen:
            continue
        seen.add((e.route, e.status))
        write("reply_headers", "{}-{}".format(e.route, e.status), bytes([kind]) + e.sent)
        if e.status in (429, 500, 501, 502):
            write("reply_headers", "{}-{}-storm".format(e.route, e.status), bytes([kind | 0x10]) + e.sent)

    # Ranged object replies, with the range each answered.
    for n, e in enumerate(by_route["object-get"]):
        rng = e.headers.get("Range")
        if not rng:
            continue
        start, end = (int(x) for x in rng.split("=")[1].split("-"))
        if start < 256 and end - start - 1 < 256:
            write("object_range", "{}-{}-{}".format(n, start, e.status), bytes([start, end - start - 1]) + e.sent)
    gz = gzip.compress(bytes(range(10, 60)))
    write("object_range", "gzip", bytes([10, 48]) + b"HTTP/1.1 206 Partial Content\r\nContent-Encoding: gzip\r\n"
          b"Content-Length: %d\r\n\r\n" % len(gz) + gz)

    # Public-key records as the broker publishes them.
    for n, e in enumerate(by_route["account-keys"]):
        body = _body(e.sent)
        write("public_key_records", "road-{}".format(n), body.replace(str(e.path.split("/")[-3]).encode(),
                                                                     b"66666666-7777-4888-9999-aaaaaaaaaaaa"))
    write("public_key_records", "road-other-user", _body(by_route["account-keys"][0].sent))

    # Cells and rows: the database made under the fixed user's key.
    for n, (column, cell) in enumerate(rows["cells"]):
        write("db_cell", "{}-{}".format(column, n), bytes([rows["columns"][column] << 1]) + cell)
    for n, text in enumerate(("7", "true", "2024-05-06T07:08:09+00:00", "0a1b2c3d4e5f6a7b8c9daebfc0d1e2f3",
                              "00ff", '{"a": [1, null]}', "a type")):
        for column in range(8):
            write("db_cell", "text-{}-{}".format(n, column), bytes([column << 1 | 1]) + text.encode())
    write("db_rows", "road", rows["file"])

    # File-store names the road used, and paths.
    names = [b"%sKeyFile" % str(bob.id).encode(), b"%sSdkDatabase" % str(bob.id).encode(), b"0" * 64]
    for n, name in enumerate(names):
        write("file_store", "seed-{}".format(n), b"\x00" + bytes([0x04]) + T.chunk(name) + T.chunk(b"data")
              + bytes([0x05]) + T.chunk(name) + T.chunk(b"") + bytes([0x06]) + T.chunk(name) + T.chunk(b""))
    for n, path in enumerate((b"a/b/c", b"../escape", b"/absolute", b"", b".", b"link/inside", b"file-link",
                              b"a//b/./c", b"x\x00y", b"\xff\xfe")):
        write("file_store", "path-{}".format(n), b"\x03" + bytes([0x08]) + T.chunk(path) + T.chunk(b"data")
              + bytes([0x0A]) + T.chunk(path) + T.chunk(b""))


def _database_seed(got):
    """A database of the fixed user holding rows like the road's (the container `got` and its
    accesses, key rows, events), and some of its cells; made small with a small page size."""
    import sqlite3
    import tempfile

    import arrow

    from norvo.providers import ofs
    from norvo.providers.ofs import database, models

    saved_user, saved_client = ofs.session.user, ofs.client
    with tempfile.TemporaryDirectory(prefix="norvo-corpus-db-") as where:
        client = ofs.burrow.NorvoOFSClient()
        client.ROOT_DIR = where
        client.initialize()
        ofs.client, ofs.session.user = client, T.fixed_user()
        models.get_sa_key.cache_clear()
        try:
            db = database.NorvoDatabase()
            db.initialize(T.FIXED_USER_ID)
            s = db.session()
            s.add(models.User(id=str(T.FIXED_USER_ID)))
            s.add(models.Key(user_id=T.FIXED_USER_ID, key_type="signingKeys", index=0, pub_key=b"-----BEGIN PUBLIC KEY-----"))
            s.add(models.Container(id=got.id, type=got.type, length=len(got.data), created_at=got.created_at,
                                   created_by=got.created_by, modified_at=got.modified_at, modified_by=got.modified_by,
                                   ofs_location="ab" * 32, synced_at=arrow.utcnow(), portion="all"))
            for uid, access in got.access.items():
                envelope = getattr(access, "_key_blob", None)
                s.add(models.ContainerAccess(user_id=uid, container_id=got.id, permissions=int(access.permissions),
                                             expires_at=access.expiration, created_at=access.created_at,
                                             created_by=access.created_by,
                                             key_blob=envelope.to_bytes() if envelope is not None else b""))
            s.add(models.Event(id=1, action="added", changes={"access": {str(got.created_by): 139}}, type="container",
                               date=arrow.utcnow(), container_id=got.id))
            s.commit()
            db.session.remove()
            db.engine.dispose()
            small = os.path.join(where, "small.db")
            con = sqlite3.connect(str(db.path))
            con.execute("PRAGMA page_size = 512")
            con.execute("VACUUM INTO ?", (small,))
            cells = []
            columns = {"containers.id": 0, "containers.type": 1, "containers.length": 2, "containers.created_at": 3,
                       "container_accesses.key_blob": 4, "keys.active": 5, "events.id": 6, "events.changes": 7}
            for name in columns:
                table, column = name.split(".")
                cells += [(name, bytes(v)) for (v,) in con.execute('select "{}" from {}'.format(column, table))
                          if v is not None][:2]
            con.close()
            with open(small, "rb") as f:
                data = f.read()
        finally:
            ofs.client, ofs.session.user = saved_client, saved_user
            models.get_sa_key.cache_clear()
    return {"file": data, "cells": cells, "columns": columns}


def main():
    for part in (p384, containers, keyfiles, key_exchange, format_objects, value_types, broker_traffic):
        part()
    for target in sorted(os.listdir(CORPUS)):
        print(f"{target}: {len(os.listdir(os.path.join(CORPUS, target)))} seeds")


if __name__ == "__main__":
    main()
