"""One provider operation, from its start to its end: the user it started as, that user's
database, and the broker session bound to that user.

What the provider holds of the logged-in user changes with every login and logout, and those
may come from any thread at any moment. An operation therefore takes the user and the database
once, when it starts, and works with them until it ends: inside it the provider's
``session.user``, the local provider's ``session.user`` (from which the database key is
derived) and the provider's database read as the operation's, whoever has logged in since.
The broker session is bound to the operation's user meanwhile, so that a request of it is
never signed as somebody else: once that user's broker session has ended, the operation fails
with a clear error instead of finishing as another user.

The record lives in a context variable, so each thread (and each task) sees only its own.
"""
import contextvars

_CURRENT = contextvars.ContextVar("norvo.providers.operation", default=None)

# What an operation fails with once its user's broker session has ended: the words of the
# broker session, which refuses to sign for that operation from then on.
NO_LONGER_LOGGED_IN = "{} is no longer logged in: an operation started as that user cannot finish."


# The operation the calling context is in, or None.
current = _CURRENT.get


class Operation(object):
    """What an operation started with. `sessions` are the session objects whose ``user`` reads
    as `user` while it runs; `binding` binds the broker session to `user` (None for nobody)."""

    __slots__ = ("provider", "user", "database", "store", "sessions", "binding")

    def __init__(self, provider, user, database, store, sessions, binding):
        self.provider, self.user, self.database, self.store = provider, user, database, store
        self.sessions, self.binding = sessions, binding

    @property
    def ended(self):
        """Whether the user's login that the operation started in has ended since."""
        return self.user is not None and self.provider.session._user is not self.user


class OperationScope(object):
    """A context manager that runs its block as one operation of `provider`. Entered while an
    operation of the same provider runs in this context, it joins that one: what an operation
    calls is part of it."""

    __slots__ = ("_provider", "_entered")

    def __init__(self, provider):
        self._provider = provider
        self._entered = None

    def __enter__(self):
        running = _CURRENT.get()
        if running is not None and running.provider is self._provider:
            return running
        operation = self._provider._start_operation()
        if operation.binding is not None:
            operation.binding.__enter__()
        self._entered = (operation, _CURRENT.set(operation))
        return operation

    def __exit__(self, exc_type, exc, tb):
        entered, self._entered = self._entered, None
        if entered is None:
            return False
        operation, token = entered
        _CURRENT.reset(token)
        try:
            if operation.binding is not None:
                operation.binding.__exit__(None, None, None)
        finally:
            self._provider._end_operation(operation)
        return False


class Outside(object):
    """A block that runs outside any operation of this context (a login or a logout): what it
    reads and writes is the provider's own state, never that of an operation around it."""

    __slots__ = ("_token",)

    def __enter__(self):
        self._token = _CURRENT.set(None)

    def __exit__(self, exc_type, exc, tb):
        _CURRENT.reset(self._token)
        return False
