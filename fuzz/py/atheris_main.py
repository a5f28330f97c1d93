"""Shared atheris driver: `python fuzz/py/fuzz_<target>.py [libFuzzer options] [corpus dirs]`.

Each fuzz_<target>.py only names its target. The Python code that the entry points run
(construct, simplejson, the package's stand-ins) is instrumented for coverage; the C++
extension modules report their own coverage when they were built with
-fsanitize=fuzzer-no-link (fuzz/run.sh does that).
"""

import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

with atheris.instrument_imports(include=["construct", "simplejson", "norvo", "base64"]):
    import norvo_targets


def main(target):
    check = norvo_targets.TARGETS[target]
    try:
        check(b"")  # load the modules now, and stop at once when they are not built
    except norvo_targets.Unavailable as exc:
        print(f"{target}: skipped, {exc}", file=sys.stderr)
        sys.exit(0)

    def one_input(data):
        check(bytes(data))

    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
