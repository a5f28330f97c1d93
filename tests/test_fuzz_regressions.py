"""Replays the inputs that fuzzing found (tests/regressions/<target>/) and the seed corpus
(fuzz/corpus/<target>/) through the Python entry points.

Each input goes through the same check as in the fuzzer (fuzz/py/norvo_targets/): the
operation must give a result or one of the errors that it documents, never a crash, an
undocumented error or a broken invariant. Run under tools/asan-tests.sh, an over-read or an
oversized allocation on one of these inputs is a sanitizer report as well.
"""

import os
import struct
import sys
import uuid

import pytest
import simplejson

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
    norvo_targets.run(target, data)


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
    for data in (b"", b"\x00", b"\x01", b"\x02", b"\x03", b"\xff" * 7, b"\xff" * 300, b"\x02" + b"\xff" * 300):
        norvo_targets.run(target, data)


def test_replays_use_the_real_key_derivation():
    strongbox = norvo_targets.common.strongbox_mod
    assert norvo_targets.keyfiles.KEYFILE_ROUNDS == 100000
    assert strongbox.pbkdf2 is sys.modules["norvo.crypto.pbkdf2"]


def test_fuzzers_few_round_engine_opens_what_the_targets_seal():
    """The fuzzers swap the key file's engine for a few-round one; the key files that the
    targets seal must still open under it, or the fuzzers would never pass the password."""
    strongbox = norvo_targets.common.strongbox_mod
    restore = norvo_targets.fast_key_derivation(rounds=3)
    try:
        opens_under_the_engine_in_use(strongbox)
    finally:
        restore()
    assert norvo_targets.keyfiles.KEYFILE_ROUNDS == 100000
    assert strongbox.pbkdf2 is sys.modules["norvo.crypto.pbkdf2"]


def opens_under_the_engine_in_use(strongbox):
    owner = uuid.UUID("66666666-7777-4888-9999-aaaaaaaaaaaa")
    document = simplejson.dumps(norvo_targets.key_ring_document(owner, 0)).encode()
    ring = norvo_targets.keyfiles._kf_section(document, norvo_targets.keyfiles._keyfile_key())
    rescue = norvo_targets.keyfiles._kf_section(b'{"password": "x"}', norvo_targets.keyfiles._rescue_key())
    data = struct.pack("<QQQ", 1, len(ring), len(rescue)) + ring + rescue
    key_file = strongbox.KeyFile(data)
    assert key_file.decrypt(norvo_targets.KEYFILE_PASSWORD) is key_file and key_file.user_id == owner
    assert key_file.rescue.get_password(norvo_targets.KEYFILE_PASSPHRASE) == "x"
