"""A process whose daemon threads are inside long library calls when it exits ends with its
main thread's exit status: no abort and no segmentation fault while the interpreter ends the
threads that ask for its lock back, whichever way the main thread ends.

Each case runs tests/probes/runtime_probe.py in a child interpreter, twice: a thread meets the
exit at a different point of its call each time, and one run was enough for most of these to
crash before they were fixed."""
import os
import signal
import subprocess
import sys

import pytest

PROBE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "probes", "runtime_probe.py")
RUNS = 2

# The main thread's own outcome: a return, sys.exit(3), and an uncaught KeyboardInterrupt,
# with which the interpreter ends itself by SIGINT.
STATUS = {"return": 0, "exit": 3, "interrupt": -signal.SIGINT}

CASES = [(kind, "return") for kind in ("keyfile", "encrypt", "decrypt", "random", "fips", "flip", "store")]
CASES += [("keyfile", "exit"), ("decrypt", "exit"), ("encrypt", "interrupt"), ("fips", "interrupt"),
          ("store", "interrupt")]


def run_probe(*args, timeout=120):
    proc = subprocess.run([sys.executable, PROBE, *args], capture_output=True, text=True, timeout=timeout)
    return proc.returncode, proc.stderr


@pytest.mark.parametrize("kind,how", CASES)
def test_exit_while_threads_are_inside_calls(kind, how):
    for _ in range(RUNS):
        status, stderr = run_probe("exit", kind, how)
        assert status == STATUS[how], stderr[-2000:]
        assert "terminate called" not in stderr and "Fatal Python error" not in stderr, stderr[-2000:]


def test_the_lock_is_let_go_only_through_the_one_helper():
    # A release of the interpreter lock written any other way takes the lock back in a way
    # that the exit's unwind can crash through: every module goes through src/bind/gil.hpp.
    import pathlib

    src = pathlib.Path(__file__).resolve().parent.parent / "src"
    if not src.is_dir():
        pytest.skip("no source tree beside the tests")
    others = [str(path.relative_to(src)) for path in sorted(src.rglob("*.[ch]pp"))
              if path.name != "gil.hpp" and any(word in path.read_text() for word in (
                  "gil_scoped_release", "PyEval_SaveThread", "Py_BEGIN_ALLOW_THREADS", "Py_UNBLOCK_THREADS"))]
    assert others == []
