import functools
import gc
import inspect
import logging
import types
import weakref

import pytest

import norvo.providers
import norvo.utils
from norvo.access import Access
from norvo.decorators import logged, login_required

TRACE_LOGGER = "norvo.tests.trace"


@pytest.fixture
def trace_log(caplog):
    """The logger given to `logged`, passing every line; the package logger's level decides."""
    log = logging.getLogger(TRACE_LOGGER)
    old = log.level
    log.setLevel(1)
    caplog.set_level(1, logger=TRACE_LOGGER)
    yield log
    log.setLevel(old)


@pytest.fixture
def package_level():
    """Sets the package logger's own level for one test."""
    log = logging.getLogger("norvo")
    old = log.level
    yield log.setLevel
    log.setLevel(old)


def lines(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == TRACE_LOGGER]


def create(a, b, x=None):
    """Makes something."""
    return "made"


class TestWrapping:
    @pytest.mark.parametrize("factory", [lambda: logged(logging.getLogger(TRACE_LOGGER)), login_required])
    def test_wrapper_looks_like_the_operation(self, factory):
        def delete(user, *, force=False):
            """Deletes the account."""

        delete.tag = "kept"
        w = factory()(delete)
        assert (w.__name__, w.__qualname__, w.__doc__, w.__module__) == (
            "delete",
            delete.__qualname__,
            "Deletes the account.",
            __name__,
        )
        assert w.__wrapped__ is delete
        assert w.tag == "kept"
        assert inspect.signature(w) == inspect.signature(delete)
        # The wrapper is itself a valid source for functools.wraps, as a function would be.
        outer = functools.wraps(w)(lambda: None)
        assert outer.__name__ == "delete" and outer.__wrapped__ is w

    def test_built_in_functions_are_wrapped_too(self, debug_traces, trace_log, caplog):
        w = logged(trace_log)(norvo.utils.is_password_valid)
        assert w.__name__ == "is_password_valid"
        assert w.__wrapped__ is norvo.utils.is_password_valid
        assert w("short") is False
        assert lines(caplog) == [(10, "is_password_valid(short, {})"), (10, "is_password_valid(...) --> False")]

    def test_wrapper_binds_as_a_method(self, debug_traces, trace_log, caplog):
        class Account(object):
            @logged(trace_log)
            def rename(self, name):
                return (self, name)

            def __str__(self):
                return "acct"

        a = Account()
        assert a.rename("bob") == (a, "bob")
        assert Account.rename(a, "eve") == (a, "eve")
        assert str(inspect.signature(a.rename)) == "(name)"
        assert lines(caplog)[0] == (10, "rename(acct,bob, {})")

    @pytest.mark.parametrize("factory", [lambda: logged(logging.getLogger(TRACE_LOGGER)), login_required])
    def test_a_wrapper_in_a_cycle_is_collected(self, factory):
        def make():
            def op():
                return wrapper  # the operation refers back to its wrapper
            wrapper = factory()(op)
            return weakref.ref(op)

        ref = make()
        gc.collect()
        assert ref() is None

    @pytest.mark.parametrize("factory", [lambda: logged(logging.getLogger(TRACE_LOGGER)), login_required])
    def test_a_wrapper_is_a_function_object(self, factory):
        wrapper = factory()(len)
        assert weakref.ref(wrapper)() is wrapper  # as a function takes weak references
        with pytest.raises(TypeError):
            type(wrapper)()  # made only by the library, never empty

    def test_arguments_and_result_pass_unchanged(self, fresh_provider):
        fresh_provider.session.user = object()
        seen = []

        def op(*args, **kwargs):
            seen.append((args, kwargs))
            return seen

        w = logged(logging.getLogger(TRACE_LOGGER))(login_required()(op))
        assert w(1, [2], k=3) is seen
        assert seen == [((1, [2]), {"k": 3})]


class TestTrace:
    def test_call_and_result_lines(self, debug_traces, trace_log, caplog):
        assert logged(trace_log)(create)("a", 1, x=2) == "made"
        assert lines(caplog) == [(10, "create(a,1, {'x': 2})"), (10, "create(...) --> made")]

    @pytest.mark.parametrize(
        "args, kwargs, line",
        [((), {"type": "container"}, "get(, {'type': 'container'})"), ((5,), {}, "get(5, {})"), ((), {}, "get(, {})")],
    )
    def test_empty_parts(self, debug_traces, trace_log, caplog, args, kwargs, line):
        def get(*args, **kwargs):
            return []

        logged(trace_log)(get)(*args, **kwargs)
        assert lines(caplog) == [(10, line), (10, "get(...) --> []")]

    @pytest.mark.parametrize("level", [0, 5, 20, 9, 11])
    def test_only_the_exact_debug_level_traces(self, package_level, trace_log, caplog, level):
        package_level(level)
        logged(trace_log)(create)("a", 1)
        assert lines(caplog) == []

    @pytest.mark.parametrize("level, traced", [(10.0, True), (10.5, False), (True, False)])
    def test_the_level_counts_by_its_value(self, package_level, trace_log, caplog, level, traced):
        # A level assigned directly (setLevel takes no float) is compared as logging compares
        # levels, by the call traces and the equality traces alike.
        package_level(logging.INFO)
        logging.getLogger("norvo").level = level
        caplog.set_level(logging.DEBUG, logger="norvo.access")
        logged(trace_log)(create)("a", 1)
        assert Access("someone") == Access("someone")
        equality = [r.getMessage() for r in caplog.records if r.name == "norvo.access"][:1]
        assert (lines(caplog), equality) == (
            ([(10, "create(a,1, {})"), (10, "create(...) --> made")], ["Comparing Access Equality"]) if traced
            else ([], []))

    def test_given_logger_still_filters(self, debug_traces, trace_log, caplog):
        trace_log.setLevel(logging.INFO)
        logged(trace_log)(create)("a", 1)
        assert lines(caplog) == []

    def test_level_is_read_once_before_the_call(self, package_level, trace_log, caplog):
        def on():
            package_level(logging.DEBUG)

        def off():
            package_level(logging.INFO)

        package_level(logging.INFO)
        logged(trace_log)(on)()
        assert lines(caplog) == []
        package_level(logging.DEBUG)
        logged(trace_log)(off)()
        assert lines(caplog) == [(10, "off(, {})"), (10, "off(...) --> None")]

    def test_failure_leaves_only_the_call_line(self, debug_traces, trace_log, caplog):
        def boom(n):
            raise KeyError(n)

        with pytest.raises(KeyError):
            logged(trace_log)(boom)(3)
        assert lines(caplog) == [(10, "boom(3, {})")]

    def test_no_argument_text_without_tracing(self, package_level, trace_log):
        class Unprintable(object):
            def __str__(self):
                raise AssertionError("argument text built while tracing is off")

        package_level(logging.INFO)
        assert logged(trace_log)(create)(Unprintable(), 1) == "made"
        package_level(logging.DEBUG)
        calls = []
        with pytest.raises(AssertionError):
            logged(trace_log)(lambda a, b: calls.append(a))(Unprintable(), 1)
        assert calls == []


class TestMasking:
    def test_secrets_by_position_and_keyword(self, debug_traces, trace_log, caplog):
        def login(user_id, password=None, passphrase=None):
            return "ok"

        w = logged(trace_log)(login)
        w("u1", "Secr3t!pw", "my pass phrase")
        w("u2", passphrase="my pass phrase", password="Secr3t!pw")
        w("u3", "Secr3t!pw", passphrase=None)
        got = [m for _, m in lines(caplog) if "-->" not in m]
        assert got == [
            "login(u1,***,***, {})",
            "login(u2, {'passphrase': ***, 'password': ***})",
            "login(u3,***, {'passphrase': ***})",
        ]
        assert all("Secr3t" not in m and "pass phrase" not in m for _, m in lines(caplog))

    def test_key_files_by_their_length(self, debug_traces, trace_log, caplog):
        from norvo.crypto.strongbox import KeyFile

        def store(strongbox, reminder=None, key_file=None):
            return "stored"

        sealed = bytes(range(200)) * 4
        opened = types.SimpleNamespace(data="{" + "k" * 98 + "}")  # no length of its own: its data's
        w = logged(trace_log)(store)
        w(sealed, "hint")
        w(strongbox=sealed.hex(), key_file=opened)
        w(KeyFile(enc_data=sealed))
        got = [m for _, m in lines(caplog) if "-->" not in m]
        assert got == [
            "store(<key file of 800 bytes>,hint, {})",
            "store(, {'strongbox': <key file of 1600 characters>, 'key_file': <key file of 100 characters>})",
            "store(<key file of 800 bytes>, {})",
        ]

    def test_other_arguments_are_written_in_full(self, debug_traces, trace_log, caplog):
        def create(password, reminder, passphrase, password_validator=None):
            return None

        logged(trace_log)(create)("pw", "my reminder", "pp", password_validator="v")
        assert lines(caplog)[0] == (10, "create(***,my reminder,***, {'password_validator': 'v'})")

    def test_method_positions_count_self(self, debug_traces, trace_log, caplog):
        class Box(object):
            @logged(trace_log)
            def open(self, password):
                return True

            def __str__(self):
                return "box"

        Box().open("hunter2!")
        assert lines(caplog)[0] == (10, "open(box,***, {})")

    def test_without_signature_only_keywords_are_masked(self, debug_traces, trace_log, caplog):
        # A built-in function without a readable signature: positions cannot be known.
        w = logged(trace_log)(norvo.utils.is_password_valid)
        w(password="Secr3t!pw")
        assert lines(caplog)[0] == (10, "is_password_valid(, {'password': ***})")

    def test_stacked_wrappers_mask_by_the_operation_signature(self, debug_traces, trace_log, caplog, fresh_provider):
        fresh_provider.session.user = object()

        def change(password, passphrase, reminder=None):
            return "changed"

        logged(trace_log)(login_required()(change))("pw1", "pp1", "hint")
        assert lines(caplog)[0] == (10, "change(***,***,hint, {})")


class TestLoginRequired:
    def test_refused_without_user_after_one_scope(self, recording):
        called = []
        w = login_required()(lambda: called.append(1))
        with pytest.raises(RuntimeError, match="^Must login!$"):
            w()
        assert called == []
        assert recording.recorder.calls == [("enter", (), {}), ("exit", (None,), {})]

    def test_passes_with_user_and_leaves_scope_first(self, recording):
        recording.session.user = "someone"

        def op(a, b=None):
            # The scope of the check was left before the operation runs.
            assert recording.depth == 0
            return (a, b)

        assert login_required()(op)(1, b=2) == (1, 2)
        assert recording.recorder.names() == ["enter", "exit"]

    def test_get_is_looked_up_at_each_call(self, monkeypatch, recording):
        w = login_required()(lambda: "ran")
        other = types.SimpleNamespace(session=types.SimpleNamespace(user="x"))
        monkeypatch.setattr(norvo.providers, "get", lambda: _yielding(other))
        assert w() == "ran"

    def test_errors_of_the_scope_pass_through(self, recording):
        recording.recorder.fail("enter", LookupError("no provider"))
        with pytest.raises(LookupError, match="no provider"):
            login_required()(lambda: None)()

    def test_given_provider_is_read_at_each_call(self, monkeypatch):
        monkeypatch.setattr(norvo.providers, "get", _refuse)
        server = types.SimpleNamespace(session=types.SimpleNamespace(user=None))
        w = login_required(server)(lambda: "ran")
        with pytest.raises(RuntimeError, match="^Must login!$"):
            w()
        # Present but false by truth value still counts as logged in.
        server.session = types.SimpleNamespace(user=0)
        assert w() == "ran"

    def test_trace_line_comes_before_the_check(self, debug_traces, trace_log, caplog, recording):
        def delete():
            """Deletes."""

        w = logged(trace_log)(login_required()(delete))
        with pytest.raises(RuntimeError, match="^Must login!$"):
            w()
        assert lines(caplog) == [(10, "delete(, {})")]
        assert w.__name__ == "delete" and w.__doc__ == "Deletes."


class _yielding(object):
    def __init__(self, provider):
        self.provider = provider

    def __enter__(self):
        return self.provider

    def __exit__(self, *exc):
        return False


def _refuse():
    raise AssertionError("the provider package must not be asked")
