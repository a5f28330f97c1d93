"""Replays the inputs that fuzzing found (tests/regressions/<target>/) and the seed corpus
(fuzz/corpus/<target>/) through the Python entry points.

Each input goes through the same check as in the fuzzer (fuzz/py/norvo_targets.py): the
operation must give a result or one of the errors that it documents, never a crash, an
undocumented error or a broken invariant. Run under tools/asan-tests.sh, an over-read or an
oversized allocation on one of these inputs is a sanitizer report as well.
"""

import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TOP, "fuzz", "py"))

import norvo_targets  # noqa: E402

REGRESSIONS = os.path.join(HERE, "regressions")
CORPUS = os.path.join(TOP, "fuzz", "corpus")


def _inputs(root):
    found = []
    if not os.path.isdir(root):
        return found
    for target in sorted(os.listdir(root)):
        d = os.path.join(root, target)
        if not os.path.isdir(d) or target not in norvo_targets.TARGETS:
            continue  # core (libFuzzer) corpora and notes have no Python entry point
        for name in sorted(os.listdir(d)):
            if not name.startswith("."):
                found.append(pytest.param(target, os.path.join(d, name), id=f"{target}/{name}"))
    return found


def _replay(target, path):
    with open(path, "rb") as f:
        data = f.read()
    try:
        norvo_targets.run(target, data)
    except norvo_targets.Unavailable as exc:
        pytest.skip(str(exc))


@pytest.mark.parametrize("target,path", _inputs(REGRESSIONS))
def test_found_input_is_handled(target, path):
    _replay(target, path)


@pytest.mark.parametrize("target,path", _inputs(CORPUS))
def test_seed_is_handled(target, path):
    _replay(target, path)


def test_every_target_has_seeds():
    def seeds(t):
        d = os.path.join(CORPUS, t)
        return os.listdir(d) if os.path.isdir(d) else []

    missing = [t for t in norvo_targets.TARGETS if not seeds(t)]
    assert not missing, f"targets without seeds: {missing}"


@pytest.mark.parametrize("target", sorted(norvo_targets.TARGETS))
def test_short_and_empty_inputs(target):
    """The edges every parser meets first: nothing, one byte, and a run of 0xff length bytes."""
    try:
        for data in (b"", b"\x00", b"\x01", b"\x02", b"\x03", b"\xff" * 7, b"\xff" * 300, b"\x02" + b"\xff" * 300):
            norvo_targets.run(target, data)
    except norvo_targets.Unavailable as exc:
        pytest.skip(str(exc))
