"""A child forked while other threads are inside long library calls (a 64 MiB container, a
key-file open, the FIPS switch, random bytes) finds no lock held by a thread it lacks and no
half-made change of mode: its own calls, enable_fips and initialize among them, behave as in a
fresh process. Each case runs in a child interpreter (tests/probes/runtime_probe.py); a child
that hangs is ended by its own alarm and shows as killed by SIGALRM."""
import ast
import os
import subprocess
import sys

import pytest

PROBE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "probes", "runtime_probe.py")
FORKS = 3


def run_probe(*args):
    proc = subprocess.run([sys.executable, PROBE, *map(str, args)], capture_output=True, text=True, timeout=180)
    assert proc.returncode == 0, proc.stderr[-2000:]
    return proc.stdout.split()


@pytest.mark.parametrize("kind", ["encrypt", "keyfile", "fips", "flip", "random"])
def test_children_forked_during_calls_work_as_fresh_processes(kind):
    assert run_probe("fork", kind, FORKS) == ["0"] * FORKS


def test_a_fork_pool_made_during_key_file_opens_initializes_in_every_worker():
    (line,) = [" ".join(run_probe("pool", "keyfile", 3))]
    assert ast.literal_eval(line) == [b"worker 0", b"worker 1", b"worker 2"]


def test_parent_and_children_never_draw_the_same_random_bytes():
    draws, distinct = run_probe("random", "random", 100)
    assert draws == distinct == "200"
