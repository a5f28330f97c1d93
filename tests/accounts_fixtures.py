"""Fixtures for the account-operation tests: a recording provider."""
import types
import uuid

import pytest

import norvo.providers


class Recorder(object):
    """The calls made of a provider, in order, each as (name, args, kwargs).

    Scope entries and exits of ``norvo.providers.get()`` are recorded as ("enter", (), {})
    and ("exit", (error class or None,), {}). ``fail(name, error)`` makes every later call
    of that name raise ``error``; with ``after=True`` the call does its work first.
    """

    def __init__(self):
        self.calls = []
        self._failures = {}

    def fail(self, name, error, after=False):
        self._failures[name] = (error, after)

    def call(self, name, args=(), kwargs=None, work=None):
        self.calls.append((name, tuple(args), dict(kwargs or {})))
        error, after = self._failures.get(name, (None, False))
        if error is not None and not after:
            raise error
        result = work() if work is not None else None
        if error is not None:
            raise error
        return result

    def names(self):
        return [name for name, _, _ in self.calls]

    def provider_calls(self):
        """The calls without the scope entries and exits."""
        return [c for c in self.calls if c[0] not in ("enter", "exit")]


class Accounts(object):
    """The provider's ``user`` part: registered accounts by id."""

    def __init__(self, provider):
        self._p = provider
        self.registered = {}
        self.reminders = {}

    def create(self, signing_key, derivation_key):
        def work():
            # The account's User as the provider package makes it: decrypted key file.
            from norvo.crypto.strongbox import KeyFile
            from norvo.user import User

            user_id = uuid.uuid4()
            user = User(user_id, KeyFile(signing_key=signing_key, derivation_key=derivation_key, user_id=user_id))
            self.registered[user_id] = user
            return user

        return self._p.recorder.call(
            "user.create", kwargs=dict(signing_key=signing_key, derivation_key=derivation_key), work=work
        )

    def delete(self, user):
        return self._p.recorder.call("user.delete", (user,), work=lambda: self.registered.pop(user.id))

    def get_backup_reminder(self, user_id):
        return self._p.recorder.call(
            "user.get_backup_reminder", kwargs=dict(user_id=user_id), work=lambda: self.reminders.get(user_id)
        )

    def change_credentials(self, **kwargs):
        return self._p.recorder.call("user.change_credentials", kwargs=kwargs, work=lambda: self._p.changed)


class KeyFiles(object):
    """The provider's ``strongbox`` part: stored key files by user id."""

    def __init__(self, provider):
        self._p = provider
        self.stored = {}

    def update_or_create(self, strongbox, reminder, passphrase):
        def work():
            user = self._p.session.user
            self.stored[user.id] = strongbox
            self._p.user.reminders[user.id] = reminder

        return self._p.recorder.call(
            "strongbox.update_or_create", (strongbox,), dict(reminder=reminder, passphrase=passphrase), work
        )


class RecordingProvider(object):
    """A provider that records every call and keeps the login in ``session.user``."""

    def __init__(self):
        self.recorder = Recorder()
        self.session = types.SimpleNamespace(user=None)
        self.user = Accounts(self)
        self.strongbox = KeyFiles(self)
        self.settings = None
        # What change_credentials returns, so tests can tell it is passed on unchanged.
        self.changed = object()
        self.depth = 0
        self.max_depth = 0

    def initialize(self, *args, **kwargs):
        def work():
            self.settings = (args, kwargs)
            return "initialized"

        return self.recorder.call("initialize", args, kwargs, work)

    def login(self, *args, **kwargs):
        def work():
            user = kwargs.get("user")
            if user is None:
                user = self.user.registered.get(args[0])
            self.session.user = user
            return user

        return self.recorder.call("login", args, kwargs, work)

    def logout(self, *args, **kwargs):
        def work():
            self.session.user = None
            return "logged out"

        return self.recorder.call("logout", args, kwargs, work)


class Scope(object):
    """``norvo.providers.get()`` as the package gives it, with its entries and exits recorded."""

    def __init__(self, real_get, provider):
        self._real_get = real_get
        self._p = provider

    def __enter__(self):
        self._p.recorder.call("enter")
        self._inner = self._real_get()
        entered = self._inner.__enter__()
        self._p.depth += 1
        self._p.max_depth = max(self._p.max_depth, self._p.depth)
        return entered

    def __exit__(self, *exc):
        self._p.depth -= 1
        self._p.recorder.call("exit", (exc[0],))
        return self._inner.__exit__(*exc)


@pytest.fixture
def recording(monkeypatch):
    """A recording provider made current through the provider package's own switch.

    ``norvo.providers.get`` is wrapped so that its scopes are recorded too; modules that bound
    ``get`` when they loaded reach the same provider through the real ``get``, unrecorded.
    """
    provider = RecordingProvider()
    previous = norvo.providers.set_current(provider)
    real_get = norvo.providers.get
    monkeypatch.setattr(norvo.providers, "get", lambda: Scope(real_get, provider))
    yield provider
    norvo.providers.set_current(previous)
