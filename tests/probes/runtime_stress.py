"""Many runs of the exit and fork probes (runtime_probe.py), by hand; the suite runs a few.

    python tests/probes/runtime_stress.py [--runs N] [--only exit,fork,pool]

Runs each case N times with this interpreter and prints, per case, the runs and the failures:
an exit status other than the main thread's own, a child that hung or failed, a timeout."""
import argparse
import collections
import os
import signal
import subprocess
import sys

PROBE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "runtime_probe.py")
EXIT_STATUS = {"return": 0, "exit": 3, "interrupt": -signal.SIGINT}
EXIT_KINDS = ("keyfile", "encrypt", "decrypt", "random", "fips", "flip", "store")
FORK_KINDS = ("encrypt", "keyfile", "fips", "flip", "random")
FORKS = 5


def cases(only):
    if "exit" in only:
        for kind in EXIT_KINDS:
            for how in EXIT_STATUS:
                yield ("exit", kind, how), lambda code, out: code == EXIT_STATUS[how]
    if "fork" in only:
        for kind in FORK_KINDS:
            yield ("fork", kind, FORKS), lambda code, out: code == 0 and out.split() == ["0"] * FORKS
    if "pool" in only:
        yield ("pool", "keyfile", 3), lambda code, out: code == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--only", default="exit,fork,pool")
    args = parser.parse_args()
    failures = collections.Counter()
    for case, ok in cases(args.only.split(",")):
        for _ in range(args.runs):
            try:
                proc = subprocess.run([sys.executable, PROBE, *map(str, case)], capture_output=True, text=True,
                                      timeout=180)
                good = ok(proc.returncode, proc.stdout)
            except subprocess.TimeoutExpired:
                good = False
            failures[case] += not good
        print("%-32s runs %3d  failures %3d" % (" ".join(map(str, case)), args.runs, failures[case]), flush=True)
    print("total: %d runs, %d failures" % (args.runs * len(failures), sum(failures.values())))


if __name__ == "__main__":
    main()
