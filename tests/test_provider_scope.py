"""The provider-scope helper of the extension modules (`with_context` in src/bind): every
error that leaves the body leaves through the context manager's __exit__.

The helper is compiled into each module, and no module's scope body throws a C++ exception on
purpose, so a small probe module built from the same header (probes/scope_probe.cpp) runs
bodies that end each way. The build makes it with NORVO_TEST_PROGRAMS (tools/install.sh --dev
does); it is looked for in the build that NORVO_BUILD_DIR names (relative to the top of the
checkout; default build/release)."""
import importlib.util
import os
import sysconfig

import pytest

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture(scope="module")
def probe():
    build = os.path.join(TOP, os.environ.get("NORVO_BUILD_DIR") or os.path.join("build", "release"))
    path = os.path.join(build, "probes", "scope_probe" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not os.path.isfile(path):
        pytest.skip("no scope probe built for this interpreter at %s (tools/install.sh --dev builds it)" % path)
    spec = importlib.util.spec_from_file_location("scope_probe", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class Scope(object):
    def __init__(self, suppress=False, fail=None):
        self.suppress, self.fail, self.exits = suppress, fail, []

    def __enter__(self):
        return "the provider"

    def __exit__(self, *exc):
        self.exits.append(exc)
        if self.fail:
            raise self.fail
        return self.suppress


def test_success_leaves_with_nothing(probe):
    scope = Scope()
    assert probe.run(scope, "") == "the provider"
    assert scope.exits == [(None, None, None)]


@pytest.mark.parametrize("ending,error,message", [
    ("python", KeyError, "'raised in Python'"),
    ("c++", RuntimeError, "thrown in C++"),
    ("value_error", ValueError, "a bad value"),
    ("core", ValueError, "a bad argument"),  # the module's own translators decide
])
def test_every_error_leaves_through_exit(probe, ending, error, message):
    scope = Scope()
    with pytest.raises(error) as err:
        probe.run(scope, ending)
    assert str(err.value) == message
    [(kind, value, trace)] = scope.exits
    assert kind is error and type(value) is error and str(value) == message
    assert trace is None or trace.tb_frame is not None


def test_only_python_errors_can_be_suppressed(probe):
    scope = Scope(suppress=True)
    assert probe.run(scope, "python") == "the provider"
    assert scope.exits[0][0] is KeyError
    # A C++ failure leaves the body unfinished whatever __exit__ answers.
    scope.exits.clear()
    with pytest.raises(RuntimeError, match="thrown in C\\+\\+"):
        probe.run(scope, "c++")
    assert scope.exits[0][0] is RuntimeError


@pytest.mark.parametrize("ending,first", [("python", KeyError), ("c++", RuntimeError)])
def test_error_in_exit_replaces_the_bodys_and_keeps_it_as_context(probe, ending, first):
    with pytest.raises(LookupError, match="exit failed") as err:
        probe.run(Scope(fail=LookupError("exit failed")), ending)
    assert type(err.value.__context__) is first
