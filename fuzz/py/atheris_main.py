"""The atheris driver: `python fuzz/py/atheris_main.py <target> [libFuzzer options] [corpus dirs]`.

<target> is one of norvo_targets.TARGETS (the names of the folders in fuzz/corpus/). The Python
code that the entry points run (construct, simplejson, the package's Python modules, the HTTP
stack that reads replies) is instrumented for coverage; the C++ extension modules report their
own coverage when they were built with -fsanitize=fuzzer-no-link (fuzz/run.sh does that). A
module that does not import stops the run with its ImportError.
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


def main(argv):
    if len(argv) < 2 or argv[1] not in norvo_targets.TARGETS:
        sys.exit("usage: {} TARGET [libFuzzer options] [corpus dirs]\ntargets: {}".format(
            argv[0], " ".join(sorted(norvo_targets.TARGETS))))
    check = norvo_targets.TARGETS[argv[1]]
    norvo_targets.fast_key_derivation()

    def one_input(data):
        check(bytes(data))

    # What follows the target's name is libFuzzer's.
    atheris.Setup([argv[0]] + argv[2:], one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main(sys.argv)
