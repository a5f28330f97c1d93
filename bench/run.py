#!/usr/bin/env python3
"""norvo benchmarks, run on demand (never a timed test in CI).

    python bench/run.py                 full sizes (1 KiB, 1 MiB, 64 MiB), a few minutes
    python bench/run.py --quick         tiny sizes and few repeats: proves the harness works
    python bench/run.py --out FILE      where the JSON goes (default: bench/results.json)
    python bench/run.py --only container,memory
    python bench/run.py --norvo-path build/dev/python

Every figure is a ratio of two things measured in the same run on the same machine, so it
does not depend on how fast the machine is: the library against the fastest way of doing
only the cryptography it cannot avoid (the "limit"), against a plain-Python equivalent
(bench/pure_container.py) and a lean one of the bare format (bench/lean_container.py),
against the raw P-384 operations, or against one direct PBKDF2.
The two sides of a ratio are timed in alternation, repeat by repeat, and each is reported as
the median of its repeats; a repeat times a batch of operations long enough for the clock.
Both the wall clock and the calling thread's CPU clock are recorded; the figures use the CPU
clock unless --clock wall is given, since other work on a shared machine inflates wall times
of both sides unevenly while it leaves the CPU time of single-threaded work nearly untouched.
(The library runs on the caller's thread; the thread clock also leaves out threads that
imported packages start, such as numpy's OpenBLAS workers where a package loads numpy.)
Targets are reported and never fail the run. The run fails (exit status 2) only when
something does not work: the library's container bytes and the plain-Python ones do not
open each other (the comparison would not be honest), an envelope or key file does not open
to what it was made from, or an operation raises.
"""
import argparse
import gc
import hashlib
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import traceback
import uuid
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
KiB = 1024
MiB = 1024 * KiB

HEADER = {"name": "benchmark", "tags": ["a", "b"], "n": 1}
PASSWORD = "correct horse battery staple"
PASSPHRASE = "a rather longer passphrase for the rescue section"
PBKDF2_ITERATIONS = 100000


class Settings(object):
    def __init__(self, quick):
        self.quick = quick
        self.sizes = [1 * KiB, 64 * KiB] if quick else [1 * KiB, 1 * MiB, 64 * MiB]
        self.memory_size = 4 * MiB if quick else 64 * MiB
        self.batch_seconds = 0.004 if quick else 0.05
        self.memory_runs = 1 if quick else 3

    def repeats(self, size=0):
        if self.quick:
            return 3
        return 7 if size >= 16 * MiB else 15

    def slow_repeats(self):
        """Operations of a tenth of a second or more (PBKDF2)."""
        return 3 if self.quick else 7


# ---------------------------------------------------------------- timing

CLOCK = "cpu"  # set from --clock


class Timing(object):
    """Per-operation times of one measured thing: one sample per repeat, `batch` operations each,
    on both clocks; `samples` and `median` follow the clock chosen for the run."""

    def __init__(self, name, wall, cpu, batch, faults=None):
        self.name = name
        self.wall = wall
        self.cpu = cpu
        self.batch = batch
        self.faults = faults  # minor page faults per operation (median), where measured

    @property
    def samples(self):
        return self.cpu if CLOCK == "cpu" else self.wall

    @property
    def median(self):
        return statistics.median(self.samples)

    def scaled(self, name, factor):
        return Timing(name, [factor * x for x in self.wall], [factor * x for x in self.cpu], self.batch,
                      None if self.faults is None else factor * self.faults)

    def as_json(self):
        return {"name": self.name, "median_s": self.median, "clock": CLOCK, "repeats": len(self.samples),
                "batch": self.batch, "median_wall_s": statistics.median(self.wall),
                "median_cpu_s": statistics.median(self.cpu), "page_faults_per_op": self.faults,
                "samples_wall_s": self.wall, "samples_cpu_s": self.cpu}


class Op(object):
    """`prepare(n)` makes what n operations need (not timed); `run(state)` does them (timed)."""

    def __init__(self, name, run, prepare=None):
        self.name = name
        self.run = run
        self.prepare = prepare or (lambda n: n)

    def batch(self, n):
        """(wall seconds, CPU seconds of this thread, minor page faults) for n operations."""
        state = self.prepare(n)
        gc.collect()
        gc.disable()
        try:
            f0 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
            w0, c0 = time.perf_counter(), time.thread_time()
            self.run(state)
            c1, w1 = time.thread_time(), time.perf_counter()
            f1 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        finally:
            gc.enable()
        del state
        return w1 - w0, c1 - c0, f1 - f0

    def calibrate(self, seconds):
        n = 1
        while True:
            # On the clock of the figures, and the better of two tries, so that one preempted
            # batch does not settle the size.
            k = 1 if CLOCK == "cpu" else 0
            dt = min(self.batch(n)[k], self.batch(n)[k])
            if dt >= seconds or n >= 1 << 16:
                return n
            n = max(2 * n, int(n * seconds / max(dt, 1e-9) * 1.2) + 1)


def measure(ops, repeats, seconds):
    """Times the ops in alternation (their order rotating per repeat); returns a Timing each."""
    batches = [op.calibrate(seconds) for op in ops]
    wall = [[] for _ in ops]
    cpu = [[] for _ in ops]
    faults = [[] for _ in ops]
    for r in range(repeats):
        order = list(range(len(ops)))
        order = order[r % len(ops):] + order[:r % len(ops)]
        for i in order:
            w, c, f = ops[i].batch(batches[i])
            wall[i].append(w / batches[i])
            cpu[i].append(c / batches[i])
            faults[i].append(f / batches[i])
    return [Timing(op.name, w, c, b, statistics.median(f)) for op, w, c, b, f in zip(ops, wall, cpu, batches, faults)]


# ---------------------------------------------------------------- results

class Results(object):
    def __init__(self):
        self.rows = []

    def add(self, group, operation, size, ours, ref, ratio_kind, target=None, note=""):
        """ratio_kind: "throughput" (ref time / our time, higher is better) or
        "time" (our time / ref time, lower is better)."""
        if ratio_kind == "throughput":
            ratio = ref.median / ours.median
            met = None if target is None else ratio >= target
        else:
            ratio = ours.median / ref.median
            met = None if target is None else ratio <= target
        self.rows.append({
            "group": group, "operation": operation, "size": size,
            "ours": ours.as_json(), "reference": ref.as_json(),
            "ratio": ratio, "ratio_kind": ratio_kind, "target": target, "met": met, "note": note,
        })

    def add_memory(self, operation, size, multiple, retained, runs, target, note):
        self.rows.append({
            "group": "memory", "operation": operation, "size": size,
            "peak_multiple": multiple, "retained_multiple": retained, "runs": runs,
            "ratio": multiple, "ratio_kind": "memory", "target": target,
            "met": None if target is None else multiple <= target, "note": note,
        })

    def skip(self, group, operation, reason):
        self.rows.append({"group": group, "operation": operation, "skipped": reason})


def fmt_time(s):
    if s < 1e-6:
        return "%.0f ns" % (s * 1e9)
    if s < 1e-3:
        return "%.2f us" % (s * 1e6)
    if s < 1:
        return "%.2f ms" % (s * 1e3)
    return "%.3f s" % s


def fmt_size(n):
    if not n:
        return "-"
    for unit, div in (("MiB", MiB), ("KiB", KiB)):
        if n >= div and n % div == 0:
            return "%d %s" % (n // div, unit)
    return "%d B" % n


def fmt_target(row):
    t = row.get("target")
    if t is None:
        return "-"
    return {"throughput": ">= %.2f" % t, "time": "<= %.2f" % t, "memory": "<= %.2f" % t}[row["ratio_kind"]]


def print_table(results, out=sys.stdout):
    head = ("operation", "size", "ours", "reference", "ref time", "ratio", "target", "met?", "n")
    lines, notes = [], []
    for row in results.rows:
        if "skipped" in row:
            notes.append("skipped %s: %s" % (row["operation"], row["skipped"]))
            continue
        if "failed" in row:
            notes.append("FAILED %s: %s" % (row["operation"], row["failed"]))
            continue
        met = {None: "-", True: "yes", False: "NO"}[row["met"]]
        if row["ratio_kind"] == "memory":
            lines.append((row["operation"], fmt_size(row["size"]), "%.2f x size" % row["peak_multiple"],
                          "content size", "", "%.2f" % row["ratio"], fmt_target(row), met,
                          "%d run%s" % (row["runs"], "s" if row["runs"] != 1 else "")))
            continue
        o, r = row["ours"], row["reference"]
        lines.append((row["operation"], fmt_size(row["size"]), fmt_time(o["median_s"]), r["name"],
                      fmt_time(r["median_s"]), "%.2f" % row["ratio"], fmt_target(row), met,
                      "%dx%d/%d" % (o["repeats"], o["batch"], r["batch"])))
    widths = [max(len(h), *(len(l[i]) for l in lines)) if lines else len(h) for i, h in enumerate(head)]
    sep = "  "
    out.write(sep.join(h.ljust(w) for h, w in zip(head, widths)).rstrip() + "\n")
    out.write(sep.join("-" * w for w in widths) + "\n")
    for l in lines:
        out.write(sep.join(c.ljust(w) for c, w in zip(l, widths)).rstrip() + "\n")
    for n in notes:
        out.write(n + "\n")
    out.write("ratio: 'throughput' rows give reference time / our time (higher is better); other rows give "
              "our time / reference time (lower is better); memory rows give peak / content size.\n"
              "n: repeats x operations per repeat (ours/reference); times are medians over the repeats, "
              "on the %s clock.\n"
              % ("thread CPU" if CLOCK == "cpu" else "wall"))


# ---------------------------------------------------------------- the limit

def built_limit(log):
    """The limit program (bench/limit.cpp) of the build that NORVO_BUILD_DIR names (relative to
    the top of the checkout; default build/release, which tools/install.sh --dev makes), or None."""
    build = ROOT / (os.environ.get("NORVO_BUILD_DIR") or "build/release")
    exe = build / "bench" / "limit"
    if not os.access(exe, os.X_OK):
        log("limit: no limit program at %s (tools/install.sh --dev builds it); using the cryptography "
            "package alone" % exe)
        return None
    return exe


def cpp_limit(exe, size, repeats, seconds):
    if exe is None:
        return None
    proc = subprocess.run([str(exe), str(size), str(repeats), str(seconds)], capture_output=True, text=True,
                          check=True)
    data = json.loads(proc.stdout)
    return (Timing("AES+HMAC pass, C++ core", data["encrypt_wall"], data["encrypt_cpu"], data["batch"]),
            Timing("HMAC+AES pass, C++ core", data["decrypt_wall"], data["decrypt_cpu"], data["batch"]),
            Timing("AES+HMAC into fresh memory, C++", data["encrypt_fresh_wall"], data["encrypt_fresh_cpu"],
                   data["batch"]))


def py_limit_ops(size):
    """One AES-256-CTR and one HMAC-SHA384 pass through the cryptography package, into a buffer made once."""
    from cryptography.hazmat.primitives import hashes, hmac
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

    data = os.urandom(size)
    key, mac_key = os.urandom(32), os.urandom(128)
    iv = os.urandom(8) + bytes(8)
    buf = bytearray(size + 15)
    view = memoryview(buf)[:size]
    sha384 = hashes.SHA384()
    h = hmac.HMAC(mac_key, sha384)
    h.update(data)
    tag = h.finalize()

    def enc(n):
        for _ in range(n):
            ctx = Cipher(algorithms.AES(key), modes.CTR(iv)).encryptor()
            ctx.update_into(data, buf)
            ctx.finalize()
            m = hmac.HMAC(mac_key, sha384)
            m.update(view)
            m.finalize()

    def dec(n):
        for _ in range(n):
            m = hmac.HMAC(mac_key, sha384)
            m.update(data)
            m.verify(tag)
            ctx = Cipher(algorithms.AES(key), modes.CTR(iv)).decryptor()
            ctx.update_into(data, buf)
            ctx.finalize()

    return Op("AES+HMAC pass, cryptography", enc), Op("HMAC+AES pass, cryptography", dec)


def faster(a, b):
    if a is None:
        return b
    return a if a.median <= b.median else b


def other_limit(chosen, *candidates):
    """A note naming the limit that lost, so the JSON and the table keep both."""
    for t in candidates:
        if t and t is not chosen:
            return "the other limit: %s %s" % (t.name, fmt_time(t.median))
    return "the C++ limit program was not at hand"


# ---------------------------------------------------------------- groups

class Interop(Exception):
    pass


def check_interop(lib, pure, size):
    """The library's bytes open with the plain-Python code, and the plain-Python bytes open with the library."""
    content = os.urandom(size)
    c = lib.Container(header=HEADER, content=content)
    keys = c.encrypt()
    blob = c.data
    oid, header, got = pure.decrypt(blob, pure.Keys.from_bytes(bytes(keys)))
    if oid != c.id or header != HEADER or got != content:
        raise Interop("container bytes made by norvo do not open with the plain-Python code (%s)" % fmt_size(size))
    pblob, pkeys = pure.encrypt(HEADER, content, container_id=uuid.uuid4())
    c2 = lib.Container(data=pblob)
    c2.decrypt(lib.ContainerKeys.from_bytes(bytes(pkeys)))
    if c2.header.data != HEADER or c2.content.data != content or c2.id != uuid.UUID(bytes_le=pblob[8:24]):
        raise Interop("plain-Python container bytes do not open with norvo (%s)" % fmt_size(size))
    # Same values, same layout: the version, the indexes and both section lengths agree, and
    # so does the whole length (only the id, the counter blocks, keys and ciphertexts differ).
    if len(pblob) != len(blob) or pblob[:8] + pblob[24:56] != blob[:8] + blob[24:56]:
        raise Interop("norvo and the plain-Python code lay out the same values differently "
                      "(preambles %s and %s)" % (blob[:56].hex(), pblob[:56].hex()))


def check_lean_interop(lib, lean, pure, size):
    """The same both ways for the lean plain-Python code of the bare format."""
    content = os.urandom(size)
    c = lib.Container(header=HEADER, content=content)
    keys = c.encrypt()
    oid, header_json, got = lean.decrypt(c.data, keys.cipher_key, keys.mac_key)
    if oid != c.id.bytes_le or pure.header_value(header_json) != HEADER or got != content:
        raise Interop("container bytes made by norvo do not open with the lean plain-Python code (%s)"
                      % fmt_size(size))
    lblob, cipher_key, mac_key = lean.encrypt(pure.header_text(HEADER), content, uuid.uuid4().bytes_le)
    c2 = lib.Container(data=lblob)
    c2.decrypt(lib.ContainerKeys(cipher_key=cipher_key, mac_key=mac_key))
    if c2.header.data != HEADER or c2.content.data != content or c2.id.bytes_le != lblob[8:24]:
        raise Interop("lean plain-Python container bytes do not open with norvo (%s)" % fmt_size(size))
    if len(lblob) != len(c.data) or lblob[:8] + lblob[24:56] != c.data[:8] + c.data[24:56]:
        raise Interop("norvo and the lean plain-Python code lay out the same values differently")


def container_group(settings, results, log, limit_exe=None):
    try:
        import norvo.crypto.aes  # noqa: F401  (the container reaches aes through the package)
        import norvo.crypto.container as lib
    except ImportError as e:
        results.skip("container", "container encrypt/decrypt", "norvo.crypto.container not importable (%s)" % e)
        return
    import lean_container as lean
    import pure_container as pure

    if callable(limit_exe):
        limit_exe = limit_exe()
    for size in settings.sizes:
        log("container: %s" % fmt_size(size))
        check_interop(lib, pure, size)
        check_lean_interop(lib, lean, pure, size)
        repeats = settings.repeats(size)
        seconds = settings.batch_seconds
        content = os.urandom(size)

        c = lib.Container(header=HEADER, content=content)
        keys = c.encrypt()
        blob = c.data
        del c
        pblob, pkeys = pure.encrypt(HEADER, content)
        lblob, lck, lmk = lean.encrypt(pure.header_text(HEADER), content, uuid.uuid4().bytes_le)

        # encrypt: the method alone on both sides. A container object has its header document
        # and id from when it was made, so the plain-Python side is given those ready too.
        # Each result is dropped at once, as it would be once sent, so that its memory serves
        # the next operation (the opening side and the references do the same).
        def lib_enc_prepare(n):
            return [lib.Container(header=HEADER, content=content) for _ in range(n)]

        def lib_enc(cs):
            while cs:
                cs.pop().encrypt()

        def pure_enc_prepare(n):
            return [(pure.header_text(HEADER), uuid.uuid4()) for _ in range(n)]

        def pure_enc(items):
            for text, oid in items:
                pure.encrypt_text(text, content, oid=oid)

        # The lean side is given what a container object holds when it is made: the header
        # document's text and the id's bytes.
        def lean_enc_prepare(n):
            return [(pure.header_text(HEADER), uuid.uuid4().bytes_le) for _ in range(n)]

        def lean_enc(items):
            for text, oid in items:
                lean.encrypt(text, content, oid)

        def lean_dec(n):
            for _ in range(n):
                lean.decrypt(lblob, lck, lmk)

        # make+encrypt: from values to container bytes, the container object made in the timed part.
        def lib_make_enc(n):
            for _ in range(n):
                lib.Container(header=HEADER, content=content).encrypt()

        def pure_make_enc(n):
            for _ in range(n):
                pure.container_bookkeeping()
                pure.encrypt(HEADER, content)

        def lib_dec(n):
            for _ in range(n):
                lib.Container(data=blob).decrypt(keys)

        def pure_dec(n):
            for _ in range(n):
                pure.decrypt(pblob, pkeys)
                pure.container_bookkeeping()

        py_enc, py_dec = py_limit_ops(size)
        cpp = cpp_limit(limit_exe, size, repeats, seconds)
        t_lib_enc, t_pure_enc, t_lean_enc, t_py_enc = measure(
            [Op("norvo encrypt", lib_enc, lib_enc_prepare), Op("plain Python", pure_enc, pure_enc_prepare),
             Op("lean plain Python", lean_enc, lean_enc_prepare), py_enc],
            repeats, seconds)
        t_lib_dec, t_pure_dec, t_lean_dec, t_py_dec = measure(
            [Op("norvo open", lib_dec), Op("plain Python", pure_dec), Op("lean plain Python", lean_dec), py_dec],
            repeats, seconds)
        lim_enc = faster(cpp and cpp[0], t_py_enc)
        lim_dec = faster(cpp and cpp[1], t_py_dec)
        big = size >= 1 * MiB
        small = size <= 1 * KiB
        results.add("container", "container encrypt vs limit", size, t_lib_enc, lim_enc, "throughput",
                    0.9 if big else (0.4 if small else None), other_limit(lim_enc, cpp and cpp[0], t_py_enc))
        results.add("container", "container open+decrypt vs limit", size, t_lib_dec, lim_dec, "throughput",
                    0.9 if big else (0.4 if small else None), other_limit(lim_dec, cpp and cpp[1], t_py_dec))
        if cpp and big:
            # Not a target: what the limit becomes once its result lands in newly obtained
            # memory, as every result handed out as new bytes does (page faults for large sizes).
            results.add("container", "container encrypt vs limit+fresh output", size, t_lib_enc, cpp[2],
                        "throughput", None, "one result buffer allocated per operation")
            results.add("container", "container open+decrypt vs limit+fresh output", size, t_lib_dec,
                        cpp[2], "throughput", None,
                        "one result buffer allocated per operation")
        results.add("container", "container encrypt vs Python", size, t_lib_enc, t_pure_enc, "throughput",
                    10.0 if small else None)
        results.add("container", "container open+decrypt vs Python", size, t_lib_dec, t_pure_dec, "throughput",
                    10.0 if small else None)
        results.add("container", "container encrypt vs lean Python", size, t_lib_enc, t_lean_enc, "throughput",
                    3.0 if small else None, "the bare format: cryptography and byte joins, no objects")
        results.add("container", "container open+decrypt vs lean Python", size, t_lib_dec, t_lean_dec,
                    "throughput", 3.0 if small else None, "the bare format: cryptography and byte joins, no objects")
        if small:
            t_lib_make, t_pure_make = measure(
                [Op("norvo make+encrypt", lib_make_enc), Op("plain Python", pure_make_enc)], repeats, seconds)
            results.add("container", "container make+encrypt vs Python", size, t_lib_make, t_pure_make,
                        "throughput", None, "the container object made in the timed part")


def make_ring(keys_mod, user_id):
    """A user's own key ring with one fresh authentication and one fresh derivation key at index 0."""
    ring = keys_mod.KeyRing(pub_keys=[], user_id=user_id)
    for kind, cls in ((keys_mod.KeyType.AUTH, keys_mod.AuthKey), (keys_mod.KeyType.DERIVATION, keys_mod.DerivationKey)):
        key = cls()
        key.index = 0
        key.user_id = user_id
        ring[kind][0] = key
    ring.user_id = user_id
    return ring


def envelope_group(settings, results, log):
    try:
        import norvo.crypto.aes  # noqa: F401
        import norvo.crypto.container as container
        import norvo.crypto.envelope as envelope
        import norvo.crypto.keys as keys_mod
    except ImportError as e:
        results.skip("envelope", "envelope wrap/unwrap", "envelope modules not importable (%s)" % e)
        return
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import ec

    log("envelope")
    sender = make_ring(keys_mod, uuid.uuid4())
    recip = make_ring(keys_mod, uuid.uuid4())
    cid = uuid.uuid4()
    ckeys = container.ContainerKeys()
    env = envelope.Envelope(container_id=cid, container_keys=ckeys, sender_keys=sender, recip_keys=recip)
    if env.get_container_keys(recip, sender_keys=sender) != ckeys:
        raise Interop("an envelope does not open to the container keys it was made from")

    sign_key = sender[keys_mod.KeyType.AUTH][0].private
    sign_pub = sender[keys_mod.KeyType.AUTH][0].public
    deriv_pub = recip[keys_mod.KeyType.DERIVATION][0].public
    deriv_priv = recip[keys_mod.KeyType.DERIVATION][0].private
    ecdsa, ecdh, curve = ec.ECDSA(hashes.SHA384()), ec.ECDH(), ec.SECP384R1()
    payload = bytes(ckeys)
    signature = sign_key.sign(payload, ecdsa)
    eph_pub = ec.generate_private_key(curve).public_key()

    def lib_wrap(n):
        for _ in range(n):
            envelope.Envelope(container_id=cid, container_keys=ckeys, sender_keys=sender, recip_keys=recip)

    def raw_wrap(n):
        for _ in range(n):
            eph = ec.generate_private_key(curve)
            eph.exchange(ecdh, deriv_pub)
            sign_key.sign(payload, ecdsa)

    def lib_unwrap(n):
        for _ in range(n):
            env.get_container_keys(recip, sender_keys=sender)

    def raw_unwrap(n):
        for _ in range(n):
            sign_pub.verify(signature, payload, ecdsa)
            deriv_priv.exchange(ecdh, eph_pub)

    repeats, seconds = settings.repeats(), max(settings.batch_seconds, 0.01)
    t_wrap, t_raw_wrap = measure([Op("norvo wrap", lib_wrap), Op("keygen+ECDH+sign", raw_wrap)], repeats, seconds)
    t_unwrap, t_raw_unwrap = measure([Op("norvo unwrap", lib_unwrap), Op("verify+ECDH", raw_unwrap)],
                                     repeats, seconds)
    results.add("envelope", "envelope wrap (1 recipient)", len(payload), t_wrap, t_raw_wrap, "time", 1.15)
    results.add("envelope", "envelope unwrap (sender ring)", len(payload), t_unwrap, t_raw_unwrap, "time", 1.15)


def keyfile_group(settings, results, log):
    try:
        import norvo.crypto.keys as keys_mod
        import norvo.crypto.strongbox as strongbox
    except ImportError as e:
        results.skip("keyfile", "key-file encrypt/decrypt", "key-file modules not importable (%s)" % e)
        return
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.kdf.pbkdf2 import PBKDF2HMAC

    log("key file")
    auth, deriv, uid = keys_mod.AuthKey(), keys_mod.DerivationKey(), uuid.uuid4()
    kf = strongbox.KeyFile(signing_key=auth, derivation_key=deriv, user_id=uid)
    kf.encrypt(PASSWORD, PASSPHRASE)
    blob = kf.data
    check = strongbox.KeyFile(enc_data=blob)
    check.decrypt(PASSWORD)
    if check.user_id != uid:
        raise Interop("a key file does not open to the owner it was made for")

    secret = hashlib.sha384(PASSWORD.encode()).hexdigest().encode()
    salt = os.urandom(8)

    def lib_enc_prepare(n):
        return [strongbox.KeyFile(signing_key=auth, derivation_key=deriv, user_id=uid) for _ in range(n)]

    def lib_enc(kfs):
        for k in kfs:
            k.encrypt(PASSWORD, PASSPHRASE)

    def lib_dec_prepare(n):
        return [strongbox.KeyFile(enc_data=blob) for _ in range(n)]

    def lib_dec(kfs):
        for k in kfs:
            k.decrypt(PASSWORD)

    def hashlib_pbkdf2(n):
        for _ in range(n):
            hashlib.pbkdf2_hmac("sha384", secret, salt, PBKDF2_ITERATIONS, 32)

    def crypto_pbkdf2(n):
        sha384 = hashes.SHA384()
        for _ in range(n):
            PBKDF2HMAC(algorithm=sha384, length=32, salt=salt, iterations=PBKDF2_ITERATIONS).derive(secret)

    repeats = settings.slow_repeats()
    t_enc, t_dec, t_hl, t_cr = measure(
        [Op("norvo encrypt", lib_enc, lib_enc_prepare), Op("norvo decrypt", lib_dec, lib_dec_prepare),
         Op("PBKDF2 (hashlib)", hashlib_pbkdf2), Op("PBKDF2 (cryptography)", crypto_pbkdf2)],
        repeats, 0.0)
    best = faster(t_hl, t_cr)
    other = t_cr if best is t_hl else t_hl
    note = "the other PBKDF2: %s %s" % (other.name, fmt_time(other.median))
    two = best.scaled("2 x " + best.name, 2)
    results.add("keyfile", "key-file encrypt (2 derivations)", len(blob), t_enc, two, "time", None, note)
    # "No slower than one direct derivation": the clock's spread between repeats is about 1 %.
    results.add("keyfile", "key-file decrypt", len(blob), t_dec, best, "time", 1.01, note)


def memory_group(settings, results, log):
    try:
        import norvo.crypto.aes  # noqa: F401
        import norvo.crypto.container as lib
    except ImportError as e:
        results.skip("memory", "container peak memory", "norvo.crypto.container not importable (%s)" % e)
        return
    size = settings.memory_size
    log("memory: %s" % fmt_size(size))
    probe = HERE / "memprobe.py"
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    with tempfile.TemporaryDirectory(prefix="norvo-bench-") as tmp:
        c = lib.Container(header=HEADER, content=os.urandom(size))
        keys = c.encrypt()
        blob_path, keys_path = os.path.join(tmp, "container"), os.path.join(tmp, "keys")
        with open(blob_path, "wb") as f:
            f.write(c.data)
        with open(keys_path, "wb") as f:
            f.write(bytes(keys))
        del c
        # What the interface itself keeps alive, counting the caller's input as one copy:
        # encrypting keeps the plaintext, the content's sealed section, the parsed record (whose
        # content field holds the ciphertext) and the container bytes; opening keeps the container
        # bytes, the parsed record, the sealed section built back from it and the plaintext.
        kept = 4
        for mode, label in (("encrypt", "peak memory, encrypt"), ("open", "peak memory, open+decrypt"),
                            ("pure-encrypt", "peak memory, encrypt (plain Python)"),
                            ("pure-open", "peak memory, open+decrypt (plain Python)")):
            peaks, retained = [], []
            for _ in range(settings.memory_runs):
                proc = subprocess.run([sys.executable, str(probe), mode, str(size), blob_path, keys_path],
                                      capture_output=True, text=True, env=env)
                if proc.returncode != 0:
                    raise RuntimeError("memory probe failed:\n" + proc.stderr[-3000:])
                data = json.loads(proc.stdout)
                peaks.append(data["peak"] / size)
                retained.append(data["retained"] / size)
            note = "retained after the call: %.2f x size; kept alive by the interface: %d x size%s" % (
                statistics.median(retained), kept, "" if data["hwm_reset"] else "; peak counter could not be reset")
            pure_row = mode.startswith("pure")
            results.add_memory(label, size, statistics.median(peaks), statistics.median(retained),
                               len(peaks), None if pure_row else kept + 1.0, note)


def parse_size(text):
    text = text.strip().upper()
    scale = {"K": KiB, "M": MiB}.get(text[-1:], 1)
    number = int(text[:-1] if scale != 1 else text)
    if number <= 0:
        raise ValueError(text)
    return number * scale


GROUPS = {"container": container_group, "envelope": envelope_group, "keyfile": keyfile_group,
          "memory": memory_group}

# The provider side against the loopback broker and a local store (bench/road.py).
import road  # noqa: E402
GROUPS.update(road.groups(sys.modules[__name__]))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="tiny sizes and few repeats (seconds, not minutes)")
    ap.add_argument("--out", default=None,
                    help="JSON output file (default: bench/results.json, or bench/results-quick.json with --quick)")
    ap.add_argument("--only", default="", help="comma-separated groups: " + ",".join(GROUPS))
    ap.add_argument("--norvo-path", default=None,
                    help="directory to import norvo from (a build's python/ dev tree); default: the installed package")
    ap.add_argument("--sizes", default="", help="container content sizes instead of the defaults, e.g. 1K,1M,64M")
    ap.add_argument("--no-cpp", action="store_true", help="do not run the C++ limit program")
    ap.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                    help="which clock the figures use (both are recorded in the JSON; default: %(default)s, "
                         "the calling thread's CPU time, which other work on the machine does not inflate)")
    args = ap.parse_args(argv)
    global CLOCK
    CLOCK = args.clock

    if args.norvo_path:
        sys.path.insert(0, os.path.abspath(args.norvo_path))
    sys.path.insert(0, str(HERE))
    groups = [g for g in args.only.split(",") if g] or list(GROUPS)
    for g in groups:
        if g not in GROUPS:
            ap.error("unknown group %r" % g)

    def log(msg):
        sys.stderr.write("[bench] %s\n" % msg)
        sys.stderr.flush()

    settings = Settings(args.quick)
    if args.sizes:
        try:
            settings.sizes = [parse_size(x) for x in args.sizes.split(",") if x.strip()]
        except ValueError:
            ap.error("--sizes takes byte counts with an optional K or M, e.g. 1K,1M,64M")
    started = time.time()
    load_before = os.getloadavg()
    try:
        import norvo
        where = os.path.dirname(norvo.__file__)
    except ImportError:
        where = None
    log("norvo from %s" % where)
    built = []

    def limit_exe():
        if not built:
            built.append(None if args.no_cpp else built_limit(log))
        return built[0]

    results = Results()
    status = 0
    for g in groups:
        try:
            if g == "container":
                container_group(settings, results, log, limit_exe)
            else:
                GROUPS[g](settings, results, log)
        except Interop as e:
            log("FAILED: %s" % e)
            results.rows.append({"group": g, "operation": "interoperability", "failed": str(e)})
            status = 2
        except Exception as e:  # a fault in the library or the harness: report it, go on with the rest
            log("FAILED in group %s:\n%s" % (g, traceback.format_exc()))
            results.rows.append({"group": g, "operation": g, "failed": "%s: %s" % (type(e).__name__, e)})
            status = 2

    meta = {
        "quick": args.quick,
        "clock": CLOCK,
        "norvo": where,
        "python": sys.version.split()[0],
        "platform": platform.platform(),
        "cpus": os.cpu_count(),
        "load_average_before": load_before,
        "load_average_after": os.getloadavg(),
        "started": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(started)),
        "seconds": round(time.time() - started, 1),
        "limit_program": str(built[0]) if built and built[0] else None,
    }
    print()
    print_table(results)
    print("load average %.2f before, %.2f after; %d CPUs; %.1f s" % (
        load_before[0], meta["load_average_after"][0], meta["cpus"], meta["seconds"]))
    if args.out is None:
        args.out = str(HERE / ("results-quick.json" if args.quick else "results.json"))
    with open(args.out, "w") as f:
        json.dump({"meta": meta, "results": results.rows}, f, indent=2)
    log("wrote %s" % args.out)
    return status


if __name__ == "__main__":
    sys.exit(main())
