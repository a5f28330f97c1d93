"""Benchmarks of the road: signed requests, event pages, the encrypted database, the file store,
login and the README's main job. Registered in bench/run.py by `groups(harness)`.

Each group measures the library against the work it cannot avoid, in one run, the two sides
timed in alternation by the harness (medians of the calling thread's CPU time; wall time kept):

  request    `client.get` of a small JSON reply against a plain `requests.Session` request to
             the same broker route with the same headers and one ECDSA P-384 signature.
  events     `events.get` of a feed of 10,000 events in 10 pages against the same pages fetched
             with plain signed requests, decoded, and loaded once with the same EventSchema.
  database   1,000 access rows written then read through the library's `models`, against the
             same schema declared in plain Python (bench/plain_models.py, which must write the
             very same cells), and against that schema with plain columns.
  filestore  the file store's writes (atomic: temporary file, fsync, rename) and reads of 1 KiB
             and 1 MiB against `Path.write_bytes` / `read_bytes`, and against the same atomic
             write done with plain `os` calls, with what the store's write must do besides:
             look through the folder for dead temporary files, lock the temporary file and
             check that it is the one named, make it private.
  login      a login by password (entry point `login`) against one PBKDF2 derivation of the
             key file plus the login round trip (challenge, signature, login) with plain
             requests; with the local store on, and with the broker alone.
  road       examples/road.py's walk, every step timed, repeated.

The broker is the loopback broker of this checkout, in a child process started here
(bench/road_broker.py) on 127.0.0.1; the local store is a temporary folder. Debug logging stays
off while timing, as an application runs: what the library formats at every level is measured
as shipped.
"""
import base64
import contextlib
import datetime
import fcntl
import gc
import hashlib
import importlib.util
import logging
import math
import os
import re
import select
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
ROAD_EXAMPLE = ROOT / "examples" / "road.py"

API_KEY = "5d0c7a1e-3f2b-4c6d-8e9a-0b1c2d3e4f50"
APP_NAME = "norvo-bench"
# Credentials that pass the library's default validators.
PASSWORD = "Bench-Pa55word!"
PASSPHRASE = "bench rescue Phrase 7"
REMINDER = "the bench notebook"

API_KEY_HEADER = "X-Norvo-Api-Key"
REQUEST_ID_HEADER = "X-Request-Id"
APP_NAME_HEADER = "X-Norvo-App-Name"
UTC = datetime.timezone.utc

EVENT_PAGES = 10
STARTUP_SECONDS = 60


class Unavailable(Exception):
    """A group cannot run here (a module of the library or a file is missing); it is skipped."""


# ---------------------------------------------------------------- surroundings


@contextlib.contextmanager
def quiet():
    """Logging as an application leaves it (no debug lines written), and the library's known
    SQLAlchemy notice kept out of the output; both restored afterwards."""
    package = logging.getLogger("norvo")
    saved = package.level
    package.setLevel(logging.WARNING)
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="TypeDecorator EncryptedType")
        warnings.filterwarnings("ignore", message="The 'EncryptedType' class will change")
        try:
            yield
        finally:
            package.setLevel(saved)


def direct_to_loopback():
    """The broker is on this machine: reach it directly, whatever proxy the environment names."""
    for name in ("NO_PROXY", "no_proxy"):
        present = os.environ.get(name) or ""
        if "127.0.0.1" not in present.split(","):
            os.environ[name] = ",".join(filter(None, [present, "127.0.0.1"]))


class BrokerProcess(object):
    """bench/road_broker.py in a child process; stops when its standard input closes."""

    def __init__(self, events=0, page_size=None):
        self.args = [sys.executable, str(HERE / "road_broker.py"), "--events", str(events)]
        if page_size:
            self.args += ["--page-size", str(page_size)]
        self.proc = None
        self.url = None

    def __enter__(self):
        direct_to_loopback()
        self.proc = subprocess.Popen(self.args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        # A broker that cannot start says nothing; the benchmark must not wait for it forever.
        ready, _, _ = select.select([self.proc.stdout], [], [], STARTUP_SECONDS)
        line = self.proc.stdout.readline().strip() if ready else ""
        if not line.startswith("http://127.0.0.1:"):
            self.__exit__()
            raise RuntimeError("the loopback broker did not start (it printed %r)" % line)
        self.url = line
        return self

    def __exit__(self, *exc):
        if self.proc is None:
            return
        try:
            self.proc.stdin.close()
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.proc = None


def import_library(*names):
    try:
        return [importlib.import_module(n) for n in names]
    except ImportError as e:
        raise Unavailable("norvo modules not importable (%s)" % e)


class Library(object):
    """The library initialised against a broker, optionally with a local store; `account()`
    makes and logs in a user through the library's own account operations."""

    def __init__(self, url, root=None):
        self.lifecycle, self.accounts, self.providers, self.server = import_library(
            "norvo._lifecycle", "norvo.user", "norvo.providers", "norvo.providers.server")
        self.url, self.root = url, root
        self.configure(root)

    def configure(self, root):
        self.lifecycle.initialize(API_KEY, fips=False, app_name=APP_NAME, server_url=self.url,
                                  root_dir=None if root is None else str(root))

    def account(self):
        return self.accounts.create(PASSWORD, REMINDER, PASSPHRASE)

    def close(self):
        try:
            self.lifecycle.logout()
        finally:
            self.providers.current().reset()


class RawClient(object):
    """Plain `requests.Session` requests to the broker with the headers the library sends, and,
    for a signed request, one ECDSA P-384 signature over the token, the time and the request id."""

    def __init__(self, url, token=None, private_key=None):
        import requests
        from cryptography.hazmat.primitives import hashes
        from cryptography.hazmat.primitives.asymmetric import ec

        self.http = requests.Session()
        self.base = url + "v1.0/"
        self.token = token.encode("utf-8") if token else None
        self.key = private_key
        self.ecdsa = ec.ECDSA(hashes.SHA384())

    def get(self, path, params=None, signed=True):
        request_id = str(uuid.uuid4())
        headers = {API_KEY_HEADER: API_KEY, REQUEST_ID_HEADER: request_id, APP_NAME_HEADER: APP_NAME}
        auth = None
        if signed:
            stamp = base64.b64encode(datetime.datetime.now(UTC).isoformat().encode("utf-8"))
            user_part = self.token + b"," + stamp
            signature = self.key.sign(user_part + request_id.encode("utf-8"), self.ecdsa)
            auth = (user_part, base64.b64encode(signature))
        reply = self.http.get(self.base + path, params=params, headers=headers, auth=auth)
        reply.raise_for_status()
        return reply

    def login(self, user_id, index=0):
        """The challenge login: the broker's time, signed, sent back; returns the token."""
        challenge = self.get("time/", signed=False).json()["time"]
        signature = self.key.sign(challenge.encode("utf-8"), self.ecdsa)
        params = {"userId": str(user_id), "authKeyIndex": index, "challenge": challenge,
                  "verification": base64.b64encode(signature).decode("ascii")}
        return self.get("login/", params=params, signed=False).json()["token"]

    def close(self):
        self.http.close()


def percent(x):
    return "%+.1f%%" % (100.0 * (x - 1.0))


# ---------------------------------------------------------------- groups


def groups(h):
    """The road's groups for the harness module `h` (bench/run.py), by name."""

    def guarded(name, body):
        def run(settings, results, log):
            try:
                with quiet():
                    body(settings, results, log)
            except Unavailable as e:
                results.skip(name, name, str(e))

        run.__name__ = "%s_group" % name
        return run

    # ------------------------------------------------------------ signed request

    def request_group(settings, results, log):
        log("request: signed client.get")
        with BrokerProcess() as b, tempfile.TemporaryDirectory(prefix="norvo-bench-") as tmp:
            lib = Library(b.url, Path(tmp) / "store")
            try:
                user = lib.account()
                client, session = lib.server.client, lib.server.session
                raw = RawClient(b.url, session.token, session.key.private)
                ours, theirs = client.get("ping").json(), raw.get("ping/").json()
                if ours != theirs or ours.get("user") != str(user.id):
                    raise h.Interop("the library and plain requests get different replies: %r, %r" % (ours, theirs))
                size = len(raw.get("ping/").content)

                def lib_get(n):
                    for _ in range(n):
                        client.get("ping").json()

                def raw_get(n):
                    for _ in range(n):
                        raw.get("ping/").json()

                t_lib, t_raw = h.measure([h.Op("norvo client.get", lib_get), h.Op("requests + ECDSA", raw_get)],
                                         settings.repeats(), settings.batch_seconds)
                results.add("request", "signed request (client.get, small JSON)", size, t_lib, t_raw, "time", 1.15,
                            "wall: ours %s, reference %s" % (h.fmt_time(statistics.median(t_lib.wall)),
                                                             h.fmt_time(statistics.median(t_raw.wall))))
                raw.close()
            finally:
                lib.close()

    # ------------------------------------------------------------ events

    def events_group(settings, results, log):
        count = 200 if settings.quick else 10000
        # The broker answers "start" with the events from that id on, so each continued page
        # repeats the last event of the one before: pages of this size give `count` in 10.
        page_size = math.ceil((count - 1) / EVENT_PAGES) + 1
        log("events: %d in %d pages of %d" % (count, EVENT_PAGES, page_size))
        (events_mod, event_mod) = import_library("norvo.providers.server.events", "norvo.event")
        schema = event_mod.EventSchema
        with BrokerProcess(events=count, page_size=page_size) as b:
            lib = Library(b.url)
            try:
                lib.account()
                session = lib.server.session
                raw = RawClient(b.url, session.token, session.key.private)
                pages = []

                def raw_events():
                    params = {"type": "container", "start": 0}
                    collected, highest, n = [], 0, 0
                    while True:
                        page = raw.get("events/", params=params).json()
                        n += 1
                        for event in page["events"]:
                            if event["eventId"] > highest:
                                collected.append(event)
                                highest = event["eventId"]
                        if not page["hasMore"]:
                            break
                        params["start"] = page["events"][-1]["eventId"]
                    pages.append(n)
                    return schema(many=True).load(collected)

                got = events_mod.get(type="container")
                loaded = raw_events()
                want = list(range(1, count + 1))
                if [e.id for e in got] != want or [e.id for e in loaded.data] != want or loaded.errors:
                    raise h.Interop("events: the library or the plain pages do not give events 1..%d "
                                    "(%d and %d events, errors %r)" % (count, len(got), len(loaded.data),
                                                                       loaded.errors))
                if got != loaded.data:
                    raise h.Interop("events: the library's records differ from the plain schema load")
                if pages[-1] != EVENT_PAGES:
                    raise h.Interop("events: %d pages instead of %d" % (pages[-1], EVENT_PAGES))

                def lib_run(n):
                    for _ in range(n):
                        events_mod.get(type="container")

                def raw_run(n):
                    for _ in range(n):
                        raw_events()

                t_lib, t_raw = h.measure([h.Op("norvo events.get", lib_run),
                                          h.Op("requests + JSON + schema load", raw_run)],
                                         settings.repeats(), settings.batch_seconds)
                results.add("events", "events.get (%d events, %d pages)" % (count, EVENT_PAGES), 0, t_lib, t_raw,
                            "time", 1.1, "per event: ours %s, reference %s; wall: ours %s, reference %s" % (
                                h.fmt_time(t_lib.median / count), h.fmt_time(t_raw.median / count),
                                h.fmt_time(statistics.median(t_lib.wall)), h.fmt_time(statistics.median(t_raw.wall))))
                raw.close()
            finally:
                lib.close()

    # ------------------------------------------------------------ database

    def database_group(settings, results, log):
        rows = 50 if settings.quick else 1000
        log("database: %d access rows" % rows)
        database, models, ofs, keys_mod, envelope_mod, container_mod = import_library(
            "norvo.providers.ofs.database", "norvo.providers.ofs.models", "norvo.providers.ofs",
            "norvo.crypto.keys", "norvo.crypto.envelope", "norvo.crypto.container")
        import functools
        import sqlite3
        import types

        import plain_models
        import sqlalchemy as sa
        from sqlalchemy import orm

        user_id = uuid.uuid4()
        ring = keys_mod.KeyRing(pub_keys=[], user_id=user_id)
        for kind, cls in ((keys_mod.KeyType.AUTH, keys_mod.AuthKey),
                          (keys_mod.KeyType.DERIVATION, keys_mod.DerivationKey)):
            key = cls()
            key.index, key.user_id = 0, user_id
            ring[kind][0] = key
        ring.user_id = user_id
        owner = types.SimpleNamespace(id=user_id, keys=ring)

        db_key = plain_models.database_key(ring[keys_mod.KeyType.AUTH][0].private)
        plain_key = functools.lru_cache(maxsize=1)(lambda: db_key)
        plain = plain_models.declare(plain_key)
        bare = plain_models.declare(None)

        # A real envelope's bytes for every row: the cells are as long as the library's own.
        blob = envelope_mod.Envelope(container_id=uuid.uuid4(), container_keys=container_mod.ContainerKeys(),
                                     sender_keys=ring, recip_keys=ring).to_bytes()
        now = datetime.datetime.now(UTC).replace(microsecond=0)
        values = [dict(user_id=uuid.uuid4(), created_at=now, created_by=user_id, modified_at=now,
                       modified_by=user_id, permissions=139, expires_at=now + datetime.timedelta(days=7 + i % 30),
                       key_blob=blob) for i in range(rows)]

        def container_values(cid):
            return dict(id=cid, type="report", length=4096, created_at=now, created_by=user_id, modified_at=now,
                        modified_by=user_id, ofs_location=cid.hex, synced_at=now, portion="all")

        saved_user = ofs.session.user
        ofs.session.user = owner
        models.get_sa_key.cache_clear()
        engines = []
        with tempfile.TemporaryDirectory(prefix="norvo-bench-db-") as tmp:
            try:
                def open_db(schema, name):
                    engine = sa.create_engine("sqlite:///" + os.path.join(tmp, name))

                    @sa.event.listens_for(engine, "connect")
                    def foreign_keys(dbapi_connection, connection_record):
                        cursor = dbapi_connection.cursor()
                        cursor.execute("PRAGMA foreign_keys=ON")
                        cursor.close()

                    schema.Base.metadata.create_all(engine)
                    engines.append(engine)
                    return engine, orm.sessionmaker(engine)

                libdb = open_db(types.SimpleNamespace(Base=database.Base), "library.sqlite")
                plaindb = open_db(plain, "plain.sqlite")
                baredb = open_db(bare, "bare.sqlite")

                def write_read(schema, makers, cid):
                    s = makers[1]()
                    try:
                        s.add(schema.Container(**container_values(cid)))
                        s.add_all([schema.ContainerAccess(container_id=cid, **v) for v in values])
                        s.commit()
                    finally:
                        s.close()
                    s = makers[1]()
                    try:
                        got = s.query(schema.ContainerAccess).filter(schema.ContainerAccess.container_id == cid).all()
                        if len(got) != rows:
                            raise h.Interop("database: %d access rows read back instead of %d" % (len(got), rows))
                        return got
                    finally:
                        s.close()

                # The same values must make the same cells through both declarations, and read back.
                cid = uuid.uuid4()
                for schema, makers in ((models, libdb), (plain, plaindb)):
                    got = sorted(write_read(schema, makers, cid), key=lambda r: r.user_id)
                    for row, v in zip(got, sorted(values, key=lambda v: v["user_id"])):
                        back = {k: getattr(row, k) for k in v}
                        if back != v or row.container_id != cid:
                            raise h.Interop("database: an access row reads back changed (%r)" % back)
                cells = []
                for name in ("library.sqlite", "plain.sqlite"):
                    with contextlib.closing(sqlite3.connect(os.path.join(tmp, name))) as c:
                        cells.append([c.execute("select * from %s order by 1, 2" % t).fetchall()
                                      for t in ("containers", "container_accesses")])
                if cells[0] != cells[1]:
                    raise h.Interop("database: the library and the plain-Python schema write different cells")

                def op(schema, makers):
                    def prepare(n):
                        with makers[0].begin() as c:
                            c.execute(sa.text("delete from container_accesses"))
                            c.execute(sa.text("delete from containers"))
                        return [uuid.uuid4() for _ in range(n)]

                    def run(ids):
                        for cid in ids:
                            write_read(schema, makers, cid)

                    return prepare, run

                def make(name, schema, makers):
                    prepare, run = op(schema, makers)
                    return h.Op(name, run, prepare)

                t_lib, t_plain, t_bare = h.measure(
                    [make("norvo models", models, libdb), make("plain-Python schema", plain, plaindb),
                     make("plain columns", bare, baredb)], settings.repeats(), settings.batch_seconds)
                results.add("database", "access rows write+read vs plain-Python schema (%d rows)" % rows, 0, t_lib,
                            t_plain, "time", 1.05, "per row: ours %s, reference %s" % (
                                h.fmt_time(t_lib.median / rows), h.fmt_time(t_plain.median / rows)))
                results.add("database", "access rows write+read vs plain columns (%d rows)" % rows, 0, t_lib,
                            t_bare, "time", None, "the cost of the encryption; the plain-Python schema encrypted "
                            "is %.2fx its plain columns" % (t_plain.median / t_bare.median))
            finally:
                for engine in engines:
                    engine.dispose()
                ofs.session.user = saved_user
                models.get_sa_key.cache_clear()

    # ------------------------------------------------------------ file store

    def filestore_group(settings, results, log):
        (burrow,) = import_library("norvo.providers.ofs.burrow")
        sizes = [1 * h.KiB, 1 * h.MiB]
        with tempfile.TemporaryDirectory(prefix="norvo-bench-ofs-") as tmp:
            store = burrow.NorvoOFSClient()
            store.ROOT_DIR = os.path.join(tmp, "store")
            store.initialize()
            plain_dir = Path(tmp) / "plain"
            plain_dir.mkdir()
            for size in sizes:
                log("file store: %s" % h.fmt_size(size))
                data = os.urandom(size)
                seed = ("bench-file-%d" % size).encode("utf-8")
                target = plain_dir / ("file-%d" % size)
                written = store.write_bytes(data, seed=seed)
                target.write_bytes(data)
                if store.get(seed=seed) != data or Path(written).read_bytes() != data:
                    raise h.Interop("file store: a file does not read back as written (%s)" % h.fmt_size(size))

                def lib_write(n):
                    for _ in range(n):
                        store.write_bytes(data, seed=seed)

                def plain_write(n):
                    for _ in range(n):
                        target.write_bytes(data)

                def atomic_write(n):
                    # What the file store's write must do: the target's folder looked through
                    # for the temporary files of writes that died, a private temporary file
                    # beside the target, locked (and checked to be the file its name gives) so
                    # that no other writer's sweep takes it, written and synced, renamed over
                    # the target, the directory synced.
                    for _ in range(n):
                        for entry in os.scandir(plain_dir):
                            if entry.name.endswith(".tmp") and entry.is_file(follow_symlinks=False):
                                raise h.Interop("file store: the plain write left a temporary file")
                        tmp_path = "%s.%s.tmp" % (target, os.urandom(8).hex())
                        fd = os.open(tmp_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
                        try:
                            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                            named, held = os.stat(tmp_path, follow_symlinks=False), os.fstat(fd)
                            if (named.st_ino, named.st_dev) != (held.st_ino, held.st_dev):
                                raise h.Interop("file store: the plain write's temporary file was replaced")
                            os.fchmod(fd, 0o600)
                            view, done = memoryview(data), 0
                            while done < size:
                                done += os.write(fd, view[done:])
                            os.fsync(fd)
                        finally:
                            os.close(fd)
                        os.replace(tmp_path, target)
                        dir_fd = os.open(plain_dir, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
                        try:
                            os.fsync(dir_fd)
                        finally:
                            os.close(dir_fd)

                def lib_read(n):
                    for _ in range(n):
                        store.get(seed=seed)

                def plain_read(n):
                    for _ in range(n):
                        target.read_bytes()

                repeats, seconds = settings.repeats(), settings.batch_seconds
                t_w, t_pw, t_aw = h.measure([h.Op("norvo write_bytes", lib_write),
                                             h.Op("Path.write_bytes", plain_write),
                                             h.Op("tmp+fsync+rename (os)", atomic_write)], repeats, seconds)
                t_r, t_pr = h.measure([h.Op("norvo get", lib_read), h.Op("Path.read_bytes", plain_read)],
                                      repeats, seconds)

                def wall(t):
                    return h.fmt_time(statistics.median(t.wall))

                results.add("filestore", "file store write (atomic) vs plain write", size, t_w, t_pw, "time", None,
                            "the price of the atomic write; wall: ours %s, Path.write_bytes %s" % (wall(t_w), wall(t_pw)))
                results.add("filestore", "file store write vs the same atomic write in os calls", size, t_w, t_aw,
                            "time", 1.2, "wall: ours %s, os calls %s" % (wall(t_w), wall(t_aw)))
                results.add("filestore", "file store read", size, t_r, t_pr, "time", 3.0 if size == h.KiB else None,
                            "wall: ours %s, Path.read_bytes %s" % (wall(t_r), wall(t_pr)))

    # ------------------------------------------------------------ login

    def login_group(settings, results, log):
        log("login: by password")
        from cryptography.hazmat.primitives import hashes
        from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC

        with BrokerProcess() as b, tempfile.TemporaryDirectory(prefix="norvo-bench-") as tmp:
            root = Path(tmp) / "store"
            lib = Library(b.url, root)
            try:
                user = lib.account()
                user_id = user.id
                from norvo.crypto.keys import KeyType

                raw = RawClient(b.url, private_key=user.keys[KeyType.AUTH][0].private)
                if not raw.login(user_id):
                    raise h.Interop("login: the plain login round trip got no token")
                lib.lifecycle.logout()
                for where in (root, None):
                    lib.configure(where)
                    if lib.lifecycle.login(user_id, password=PASSWORD).id != user_id:
                        raise h.Interop("login: the library logged in someone else")
                    lib.lifecycle.logout()

                secret = hashlib.sha384(PASSWORD.encode("utf-8")).hexdigest().encode("ascii")
                salt = os.urandom(8)
                sha384 = hashes.SHA384()

                def local_prepare(n):
                    lib.configure(root)  # logs out whoever is logged in
                    return n

                def remote_prepare(n):
                    lib.configure(None)
                    return n

                def lib_login(n):
                    for _ in range(n):
                        lib.lifecycle.login(user_id, password=PASSWORD)

                def raw_hashlib(n):
                    for _ in range(n):
                        hashlib.pbkdf2_hmac("sha384", secret, salt, h.PBKDF2_ITERATIONS, 32)
                        raw.login(user_id)

                def raw_crypto(n):
                    for _ in range(n):
                        PBKDF2HMAC(algorithm=sha384, length=32, salt=salt,
                                   iterations=h.PBKDF2_ITERATIONS).derive(secret)
                        raw.login(user_id)

                t_local, t_remote, t_hl, t_cr = h.measure(
                    [h.Op("norvo login, local store", lib_login, local_prepare),
                     h.Op("norvo login, broker only", lib_login, remote_prepare),
                     h.Op("PBKDF2 (hashlib) + login round trip", raw_hashlib),
                     h.Op("PBKDF2 (cryptography) + login round trip", raw_crypto)],
                    settings.slow_repeats(), 0.0)
                best = h.faster(t_hl, t_cr)
                other = t_cr if best is t_hl else t_hl
                note = "the other reference: %s %s" % (other.name, h.fmt_time(other.median))
                results.add("login", "login by password (local store)", 0, t_local, best, "time", 1.1,
                            "%s; wall: ours %s, reference %s" % (note, h.fmt_time(statistics.median(t_local.wall)),
                                                                  h.fmt_time(statistics.median(best.wall))))
                results.add("login", "login by password (broker only)", 0, t_remote, best, "time", 1.1,
                            "%s; key file fetched from the broker; wall: ours %s" % (
                                note, h.fmt_time(statistics.median(t_remote.wall))))
                raw.close()
            finally:
                lib.close()

    # ------------------------------------------------------------ road

    def road_group(settings, results, log):
        if not ROAD_EXAMPLE.is_file():
            raise Unavailable("%s is not at hand" % ROAD_EXAMPLE)
        import_library("norvo._lifecycle", "norvo.container", "norvo.providers.server.events")
        spec = importlib.util.spec_from_file_location("norvo_road_example", ROAD_EXAMPLE)
        road = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(road)
        walks = 1 if settings.quick else settings.slow_repeats()
        log("road: %d walk%s" % (walks, "s" if walks != 1 else ""))
        labels, wall, cpu = None, [], []
        with BrokerProcess() as b:
            # A first walk loads what the library imports on first use; a full run leaves it out.
            warmup = 0 if settings.quick else 1
            for i in range(warmup + walks):
                marks = []

                def step(text):
                    marks.append((time.perf_counter(), time.thread_time(), step_label(text)))

                road.step = step
                with tempfile.TemporaryDirectory(prefix="norvo-bench-road-") as root:
                    gc.collect()
                    gc.disable()
                    try:
                        start = (time.perf_counter(), time.thread_time(), None)
                        road.walk(b, root)
                    finally:
                        gc.enable()
                        road._lifecycle.logout()
                        road.norvo.providers.current().reset()
                names = [m[2] for m in marks]
                if labels is None:
                    labels = names
                elif names != labels:
                    raise h.Interop("road: the walk took other steps than before (%r)" % names)
                if i < warmup:
                    continue
                points = [start] + marks
                wall.append([b2[0] - a[0] for a, b2 in zip(points, points[1:])] + [marks[-1][0] - start[0]])
                cpu.append([b2[1] - a[1] for a, b2 in zip(points, points[1:])] + [marks[-1][1] - start[1]])
        whole = h.Timing("whole road", [w[-1] for w in wall], [c[-1] for c in cpu], 1)
        for i, label in enumerate(labels):
            t = h.Timing(label, [w[i] for w in wall], [c[i] for c in cpu], 1)
            results.add("road", "road: " + label, 0, t, whole, "time", None,
                        "share of the whole road; wall %s" % h.fmt_time(statistics.median(t.wall)))
        on_wall = h.Timing("whole road, wall clock", whole.wall, whole.wall, 1)
        results.add("road", "road: whole walk (examples/road.py)", 0, whole, on_wall, "time", None,
                    "ratio: the share of the walk's wall time spent on this thread's CPU; the rest is waiting "
                    "for the broker and the disk")

    return {
        "request": guarded("request", request_group),
        "events": guarded("events", events_group),
        "database": guarded("database", database_group),
        "filestore": guarded("filestore", filestore_group),
        "login": guarded("login", login_group),
        "road": guarded("road", road_group),
    }


_ID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")


def step_label(text):
    """A step's line of the walk without its ids, sizes, dates and paths."""
    words = re.split(r"[;:(,\d]", _ID.sub("", text), maxsplit=1)[0].split() or text.split()
    label = ""
    for word in words:
        if len(label) + len(word) > 60:
            return label + " ..."
        label = (label + " " + word).strip()
    return label
