import logging
import types
import uuid

import pytest

import norvo._lifecycle as lifecycle
import norvo.crypto
import norvo.providers
import norvo.utils

FIPS_MESSAGE = "Unable to enable FIPS.  Check OpenSSL install and library linkage."
CREDENTIAL_MESSAGE = 'One of "password" or "passphrase" must be provided.'
USER_ID = uuid.UUID("0f1e2d3c-4b5a-4697-8888-99aabbccddee")


class FipsSwitch(object):
    """Stands in for the crypto package's FIPS switch: counts calls, raises what it is given."""

    def __init__(self, error=None):
        self.calls = 0
        self.error = error

    def enable_fips(self):
        self.calls += 1
        if self.error is not None:
            raise self.error


@pytest.fixture
def provider(recording, monkeypatch):
    """The recording provider, reached through the module's own call-time name for the scope."""
    monkeypatch.setattr(lifecycle, "providers_get", norvo.providers.get)
    return recording


@pytest.fixture
def fips(monkeypatch):
    switch = FipsSwitch()
    monkeypatch.setattr(lifecycle, "crypto", switch)
    return switch


def messages(caplog):
    return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "norvo"]


def test_module_attributes():
    assert lifecycle.log is logging.getLogger("norvo")
    assert lifecycle.crypto is norvo.crypto
    assert lifecycle.UUID is norvo.utils.UUID
    assert lifecycle.providers_get is norvo.providers.get


def test_default_scope_reaches_the_current_provider(recording, fips):
    # Without replacing `providers_get`, the package's own scope yields the current provider.
    lifecycle.logout()
    assert recording.recorder.provider_calls() == [("logout", (), {})]


class TestInitialize:
    def test_api_key_alone(self, provider, fips, caplog):
        caplog.set_level(logging.INFO, logger="norvo")
        assert lifecycle.initialize("key") is None
        assert fips.calls == 1
        assert provider.recorder.calls == [("enter", (), {}), ("initialize", ("key",), {}), ("exit", (None,), {})]
        assert messages(caplog) == [("INFO", "Initializing the Norvo library.")]

    def test_keywords_pass_unchanged(self, provider, fips):
        lifecycle.initialize(api_key="key", fips=False, app_name="app", root_dir="/tmp/ofs", extra=1)
        assert fips.calls == 0
        assert provider.recorder.provider_calls() == [
            ("initialize", ("key",), {"app_name": "app", "root_dir": "/tmp/ofs", "extra": 1})
        ]

    @pytest.mark.parametrize("value, switched", [(True, 1), (False, 0), (0, 0), (None, 0), ("yes", 1), ("", 0)])
    def test_fips_flag_by_truth_value(self, provider, fips, value, switched):
        lifecycle.initialize("key", fips=value)
        assert fips.calls == switched

    def test_failed_switch(self, provider, fips, caplog):
        caplog.set_level(logging.INFO, logger="norvo")
        fips.error = AssertionError("Unable to set FIPS mode.")
        with pytest.raises(RuntimeError) as raised:
            lifecycle.initialize("key", app_name="app")
        assert str(raised.value) == FIPS_MESSAGE
        assert isinstance(raised.value.__context__, AssertionError)
        assert provider.recorder.calls == []
        assert messages(caplog) == [("INFO", "Initializing the Norvo library."), ("ERROR", FIPS_MESSAGE)]
        assert caplog.records[-1].exc_info is None

    def test_failed_switch_inside_an_except_block(self, provider, fips):
        # The translated error's context is the switch's report, not what the caller handles.
        fips.error = AssertionError("Unable to set FIPS mode.")
        try:
            raise KeyError("the application's own")
        except KeyError:
            with pytest.raises(RuntimeError) as raised:
                lifecycle.initialize("key")
        assert raised.value.__context__ is fips.error

    def test_other_switch_errors_pass_unchanged(self, provider, fips, caplog):
        error = OSError("libcrypto went away")
        fips.error = error
        with pytest.raises(OSError) as raised:
            lifecycle.initialize("key")
        assert raised.value is error
        assert provider.recorder.calls == []
        assert [m for m in messages(caplog) if m[0] == "ERROR"] == []

    def test_provider_failure_passes_through_the_scope(self, provider, fips):
        error = ConnectionError("broker unreachable")
        provider.recorder.fail("initialize", error)
        with pytest.raises(ConnectionError) as raised:
            lifecycle.initialize("key")
        assert raised.value is error
        assert fips.calls == 1
        assert provider.recorder.calls[-1] == ("exit", (ConnectionError,), {})

    def test_second_call_repeats_every_step(self, provider, fips, caplog):
        caplog.set_level(logging.INFO, logger="norvo")
        lifecycle.initialize("key")
        lifecycle.initialize("key2")
        assert fips.calls == 2
        assert [c for c in provider.recorder.provider_calls()] == [
            ("initialize", ("key",), {}),
            ("initialize", ("key2",), {}),
        ]
        assert len(messages(caplog)) == 2


class TestLogin:
    def test_neither_credential_is_refused_first(self, provider, caplog):
        with pytest.raises(ValueError) as raised:
            lifecycle.login("not a uuid")
        assert str(raised.value) == CREDENTIAL_MESSAGE
        assert messages(caplog) == [("WARNING", CREDENTIAL_MESSAGE)]
        assert provider.recorder.calls == []

    @pytest.mark.parametrize("user_id", ["not a uuid", None, "0f1e2d3c"])
    def test_bad_user_id(self, provider, caplog, user_id):
        with pytest.raises(ValueError) as raised:
            lifecycle.login(user_id, password="pw")
        assert str(raised.value) == "user_id must be a UUID string."
        assert isinstance(raised.value.__context__, ValueError)
        (record,) = [r for r in caplog.records if r.name == "norvo"]
        assert (record.levelname, record.getMessage()) == ("ERROR", "user_id must be a UUID string.")
        # The caught error's traceback is in the line.
        assert record.exc_info[1] is raised.value.__context__
        assert provider.recorder.calls == []

    def test_bad_user_id_inside_an_except_block(self, provider, caplog):
        try:
            raise KeyError("the application's own")
        except KeyError:
            with pytest.raises(ValueError) as raised:
                lifecycle.login("not a uuid", password="pw")
        context = raised.value.__context__
        assert isinstance(context, ValueError) and "badly formed" in str(context)
        assert [r.exc_info[1] for r in caplog.records if r.name == "norvo"] == [context]

    def test_traceback_of_the_coercion_is_written(self, provider, caplog):
        with pytest.raises(ValueError):
            lifecycle.login("not a uuid", passphrase="pp")
        assert "Traceback (most recent call last)" in caplog.text
        assert "badly formed hexadecimal UUID string" in caplog.text

    @pytest.mark.parametrize("user_id, credentials, message", [
        (b"\x00" * 16, dict(password="pw"), "user_id must be a UUID or its text, not bytes"),
        (12345, dict(password="pw"), "user_id must be a UUID or its text, not int"),
        (USER_ID, dict(password=123), "password must be str, bytes or None, not int"),
        (USER_ID, dict(passphrase=123), "passphrase must be str or None, not int"),
        (USER_ID, dict(passphrase=b"pass phrase"), "passphrase must be str or None, not bytes"),
        # The credentials' types are checked before the id is examined.
        ("not a uuid", dict(password=["pw"]), "password must be str, bytes or None, not list"),
    ])
    def test_arguments_of_the_wrong_type(self, provider, caplog, user_id, credentials, message):
        with pytest.raises(TypeError, match="^{}$".format(message)):
            lifecycle.login(user_id, **credentials)
        assert messages(caplog) == []
        assert provider.recorder.calls == []

    def test_a_password_as_bytes_passes(self, provider):
        lifecycle.login(USER_ID, b"pw")
        assert provider.recorder.provider_calls() == [("login", (USER_ID,), {"password": b"pw", "passphrase": None})]

    def test_text_id_is_coerced_and_result_returned(self, provider):
        user = object()
        provider.user.registered[USER_ID] = user
        assert lifecycle.login(str(USER_ID), passphrase="my pass phrase") is user
        assert provider.recorder.calls == [
            ("enter", (), {}),
            ("login", (USER_ID,), {"password": None, "passphrase": "my pass phrase"}),
            ("exit", (None,), {}),
        ]
        assert type(provider.recorder.calls[1][1][0]) is uuid.UUID

    def test_uuid_and_empty_password_pass_unchanged(self, provider):
        lifecycle.login(USER_ID, "")
        ((_, args, kwargs),) = provider.recorder.provider_calls()
        assert args[0] is USER_ID
        assert kwargs == {"password": "", "passphrase": None}

    def test_provider_failure_passes_through_the_scope(self, provider):
        provider.recorder.fail("login", PermissionError("wrong password"))
        with pytest.raises(PermissionError, match="wrong password"):
            lifecycle.login(USER_ID, password="pw")
        assert provider.recorder.calls[-1] == ("exit", (PermissionError,), {})


class TestLogout:
    def test_no_arguments(self, provider):
        assert lifecycle.logout() is None
        assert provider.recorder.calls == [("enter", (), {}), ("logout", (), {}), ("exit", (None,), {})]

    def test_arguments_pass_unchanged(self, provider):
        provider.session.user = "someone"
        assert lifecycle.logout("all", forget=True) is None
        assert provider.recorder.provider_calls() == [("logout", ("all",), {"forget": True})]
        assert provider.session.user is None

    def test_scope_errors_pass(self, provider):
        provider.recorder.fail("enter", LookupError("no provider"))
        with pytest.raises(LookupError):
            lifecycle.logout()
