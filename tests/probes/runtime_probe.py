"""Long library calls on other threads while the process exits or forks, run in a child
interpreter of its own (tests/test_process_exit.py, tests/test_fork_locks.py and the stress
script tests/probes/runtime_stress.py).

    python runtime_probe.py exit KIND HOW     threads busy with KIND when the main thread ends
    python runtime_probe.py fork KIND FORKS   children forked while threads are busy with KIND
    python runtime_probe.py pool KIND WORKERS a fork pool made while threads are busy with KIND
    python runtime_probe.py random KIND FORKS random bytes of parent and children, compared

Each busy thread tells when it is about to start a call, so the main thread acts while the
calls are under way, not before they begin.
"""
import os
import signal
import sys
import tempfile
import threading
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))  # the tests' own helpers

import norvo.crypto as crypto  # noqa: E402
from norvo.crypto.container import Container  # noqa: E402
from norvo.crypto.strongbox import KeyFile  # noqa: E402

BIG = 64 << 20
PASSWORD = "Correct.Horse1"
PASSPHRASE = "battery staple for the rescue"

# How long a child may take for its few calls before it counts as hung.
CHILD_LIMIT = 20


def _fips():
    try:
        crypto.enable_fips()
    except AssertionError:
        pass


def calls(kind):
    """A call of `kind`, its inputs made once, beforehand."""
    if kind == "keyfile":
        from rings import new_key_file
        sealed = new_key_file(str(uuid.uuid4())).encrypt(PASSWORD, PASSPHRASE).data
        return lambda: KeyFile(sealed).decrypt(PASSWORD)
    if kind == "encrypt":
        content = os.urandom(BIG)
        return lambda: Container(header={"n": 1}, content=content).encrypt()
    if kind == "decrypt":
        made = Container(header={"n": 1}, content=os.urandom(BIG))
        keys = made.encrypt()
        data = made.data
        return lambda: Container(data=data).decrypt(keys)
    if kind == "random":
        return lambda: crypto.random(1 << 20)
    if kind == "fips":
        return _fips
    if kind == "flip":
        return crypto._flip_fips_mode
    if kind == "store":
        from norvo.providers.ofs.burrow import NorvoOFSClient
        client = NorvoOFSClient()
        client.ROOT_DIR = tempfile.mkdtemp(prefix="norvo-probe-")
        client.initialize()
        data = os.urandom(1 << 20)
        return lambda: client.write_bytes(data, seed=uuid.uuid4().hex)
    raise ValueError("no such kind: %s" % kind)


KINDS = ("keyfile", "encrypt", "decrypt", "random", "fips", "flip", "store")


def busy(kind, threads):
    """Starts `threads` daemon threads that repeat calls of `kind`, and returns once each of
    them has finished one call and is about to begin the next."""
    call = calls(kind)
    ready = threading.Barrier(threads + 1)

    def loop():
        call()
        ready.wait()
        while True:
            call()

    for _ in range(threads):
        threading.Thread(target=loop, daemon=True).start()
    ready.wait()


def exit_while_busy(kind, how, threads=3):
    """Ends the main thread while daemon threads are inside calls of `kind`: by returning, by
    sys.exit(3) or by Ctrl-C (SIGINT, a KeyboardInterrupt in the main thread)."""
    busy(kind, threads)
    if how == "exit":
        sys.exit(3)
    if how == "interrupt":
        signal.raise_signal(signal.SIGINT)
        raise AssertionError("SIGINT did not interrupt the main thread")
    assert how == "return", how


def in_child():
    """What a child forked from a busy process does: the calls that hung in such children, each
    as in a fresh process. Exits 0 when all behave, 1 when one does not; the alarm ends it
    (SIGALRM) when one hangs."""
    signal.signal(signal.SIGALRM, signal.SIG_DFL)
    signal.alarm(CHILD_LIMIT)
    try:
        assert len(crypto.random(16)) == 16
        try:
            crypto.enable_fips()
            switched = True
        except AssertionError:
            switched = False
        assert crypto._flip_fips_mode() is not switched
        made = Container(header={"child": True}, content=b"small")
        keys = made.encrypt()
        opened = Container(data=made.data)
        opened.decrypt(keys)
        assert opened.content.data == b"small"
    except BaseException:
        import traceback
        traceback.print_exc()
        os._exit(1)
    os._exit(0)


def fork_while_busy(kind, forks, threads=2):
    """Forks `forks` children one after the other while threads are inside calls of `kind`.
    Prints one line per child: its wait status. A child that hung shows as killed by SIGALRM."""
    busy(kind, threads)
    for _ in range(forks):
        pid = os.fork()
        if pid == 0:
            in_child()
        _, status = os.waitpid(pid, 0)
        print(status, flush=True)


def pool_worker(n):
    """A pool worker's start as an application makes it: initialize() with its default
    fips=True, then a container sealed and opened."""
    from norvo._lifecycle import initialize
    try:
        initialize("api-key")
    except RuntimeError as exc:  # no FIPS provider on this machine: refused, as in a fresh process
        assert "Unable to enable FIPS" in str(exc)
    made = Container(header={"n": n}, content=b"worker %d" % n)
    keys = made.encrypt()
    opened = Container(data=made.data)
    opened.decrypt(keys)
    return opened.content.data


def pool_while_busy(kind, workers):
    """A fork pool made while threads are busy with `kind`; prints what its workers returned."""
    import multiprocessing
    busy(kind, 1)
    with multiprocessing.get_context("fork").Pool(workers) as pool:
        print(pool.map_async(pool_worker, range(workers)).get(timeout=CHILD_LIMIT), flush=True)


def random_over_forks(kind, forks):
    """Forks `forks` children while threads are busy with `kind`; each child and the parent after
    each fork draw 16 random bytes. Prints how many draws there were and how many distinct."""
    busy(kind, 2)
    draws = []
    for _ in range(forks):
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            signal.signal(signal.SIGALRM, signal.SIG_DFL)
            signal.alarm(CHILD_LIMIT)
            os.write(write_end, crypto.random(16))
            os._exit(0)
        os.close(write_end)
        draws.append(crypto.random(16))
        child = os.read(read_end, 16)
        os.close(read_end)
        os.waitpid(pid, 0)
        draws.append(child)
    print(len(draws), len(set(draws)), flush=True)


if __name__ == "__main__":
    action, kind, arg = sys.argv[1:4]
    if action == "exit":
        exit_while_busy(kind, arg)
    elif action == "fork":
        fork_while_busy(kind, int(arg))
    elif action == "pool":
        pool_while_busy(kind, int(arg))
    elif action == "random":
        random_over_forks(kind, int(arg))
    else:
        raise SystemExit("usage: runtime_probe.py exit KIND HOW | fork KIND FORKS | pool KIND WORKERS"
                         " | random KIND FORKS")
