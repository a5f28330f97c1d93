"""Shared atheris driver: `python fuzz/py/fuzz_<target>.py [libFuzzer options] [corpus dirs]`.

Each fuzz_<target>.py only names its target. The Python code that the entry points run
(construct, simplejson, the package's Python modules, the HTTP stack that reads replies) is
instrumented for coverage; the C++ extension modules report their own coverage when they were
built with -fsanitize=fuzzer-no-link (fuzz/run.sh does that). A module that does not import
stops the run with its ImportError.
"""

import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# norvo_targets imports every module the targets exercise, and those import what they read
# with (construct, simplejson; for the broker's replies the HTTP stack and the date-time
# parser; for the local store the encrypted column type): all of it is loaded here, under
# instrumentation.
with atheris.instrument_imports(include=["construct", "simplejson", "norvo", "base64", "wire", "requests", "urllib3",
                                         "http", "arrow", "sqlalchemy_utils"]):
    import norvo_targets


def main(target):
    check = norvo_targets.TARGETS[target]
    norvo_targets.fast_key_derivation()

    def one_input(data):
        check(bytes(data))

    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
