"""The library loads in the main interpreter only: every extension module refuses to load in a
sub-interpreter with ImportError, before touching anything the process shares, and the main
interpreter's copy keeps working, whether it was loaded before the refusal or after.

Each case runs in a child interpreter process: a sub-interpreter that went wrong used to hang,
abort or crash."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

# Runs in the sub-interpreter: loads every extension module of the package by its file, so
# that each module's own entry point runs, not only the package's. One JSON line per module.
IN_SUB = textwrap.dedent("""
    import importlib.machinery, importlib.util, json, os
    top = %r
    for folder, _, files in sorted(os.walk(top)):
        for file in sorted(files):
            if not file.endswith(".so"):
                continue
            rel = os.path.relpath(os.path.join(folder, file), os.path.dirname(top))
            name = rel.split(".")[0].replace(os.sep, ".").replace(".__init__", "")
            loader = importlib.machinery.ExtensionFileLoader(name, os.path.join(folder, file))
            spec = importlib.util.spec_from_file_location(name, loader.path, loader=loader)
            try:
                loader.exec_module(importlib.util.module_from_spec(spec))
                outcome = "loaded"
            except ImportError as exc:
                outcome = str(exc)
            os.write(1, (json.dumps([name, outcome]) + "\\n").encode())
""")

# The main interpreter before or after: the modules load and work.
MAIN_WORKS = textwrap.dedent("""
    import norvo.crypto as crypto
    from norvo.crypto.container import Container
    from norvo.providers.ofs import burrow
    from norvo import utils
    made = Container(header={"a": 1}, content=crypto.random(100))
    keys = made.encrypt()
    opened = Container(data=made.data)
    opened.decrypt(keys)
    assert opened.header.data == {"a": 1} and len(opened.content.data) == 100
    assert len(crypto.random(16)) == 16 and utils.UUID(str(keys and made.id)) == made.id
    assert burrow.NorvoOFSClient is not None
    print("main works", flush=True)
""")

SUB_RUNNERS = {
    "run_in_subinterp": "import _testcapi\n_testcapi.run_in_subinterp(IN_SUB)\n",
    # The interpreters module's own legacy configuration (3.13): shared lock, single-phase
    # modules allowed, the kind application servers hand each application.
    "legacy": "import _interpreters\ni = _interpreters.create('legacy')\n_interpreters.run_string(i, IN_SUB)\n"
              "_interpreters.destroy(i)\n",
    "isolated": "import _interpreters\ni = _interpreters.create('isolated')\n_interpreters.run_string(i, IN_SUB)\n"
                "_interpreters.destroy(i)\n",
}


def run(runner, main_first):
    import norvo
    top = os.path.dirname(norvo.__file__)
    code = "IN_SUB = %r\n" % (IN_SUB % top)
    if main_first:
        code += MAIN_WORKS
    code += SUB_RUNNERS[runner] + MAIN_WORKS
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    lines = proc.stdout.splitlines()
    outcomes = dict(json.loads(line) for line in lines if line.startswith("["))
    return outcomes, lines.count("main works")


@pytest.mark.parametrize("runner,main_first", [
    ("run_in_subinterp", False), ("run_in_subinterp", True), ("legacy", True), ("isolated", False)])
def test_every_module_refuses_a_sub_interpreter_and_the_main_one_keeps_working(runner, main_first):
    if runner != "run_in_subinterp" and sys.version_info < (3, 13):
        pytest.skip("the interpreters module's configurations by name come with 3.13")
    outcomes, main_runs = run(runner, main_first)
    assert len(outcomes) > 20 and "norvo.crypto" in outcomes and "norvo.providers.ofs.burrow" in outcomes
    for name, outcome in outcomes.items():
        # An isolated one may refuse first by the modules' declaration, in its own words.
        refused = outcome != "loaded" if runner == "isolated" else "only the main interpreter is supported" in outcome
        assert refused, (name, outcome)
    assert main_runs == (2 if main_first else 1)


# Runs in the sub-interpreter: imports the package's modules by name, the plain-Python ones
# among them, which would load third-party libraries before any extension module refused.
BY_NAME = textwrap.dedent("""
    import json, os
    for name in ("norvo", "norvo.container", "norvo.providers", "norvo.user"):
        try:
            __import__(name)
            outcome = "loaded"
        except ImportError as exc:
            outcome = str(exc)
        os.write(1, (json.dumps([name, outcome]) + "\\n").encode())
""")


@pytest.mark.parametrize("runner", ["run_in_subinterp", "legacy"])
def test_the_package_refuses_a_sub_interpreter_before_it_loads_any_other_library(runner):
    if runner != "run_in_subinterp" and sys.version_info < (3, 13):
        pytest.skip("the interpreters module's configurations by name come with 3.13")
    code = "IN_SUB = %r\n" % BY_NAME + SUB_RUNNERS[runner] + "import norvo.container, norvo.user\n" + MAIN_WORKS
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    lines = proc.stdout.splitlines()
    outcomes = dict(json.loads(line) for line in lines if line.startswith("["))
    assert len(outcomes) == 4
    for name, outcome in outcomes.items():
        assert "only the main interpreter is supported" in outcome, (name, outcome)
    assert lines.count("main works") == 1
