"""Stand-in for the provider package.

The library asks ``get()`` for the current provider whenever an operation needs the
logged-in user or another user's key ring. This stand-in keeps everything in memory:
``session.user`` is None until a caller sets one, and ``keys`` is a directory of public
key rings that callers fill. ``get()`` works before any initialisation, may be nested,
and never swallows an error raised inside its block.
"""
import contextlib
import threading


class Session(object):
    """Holds the logged-in user; None while nobody is logged in."""

    def __init__(self):
        self.user = None


class KeyDirectory(object):
    """Public key rings of other users, by user id."""

    def __init__(self):
        self._rings = {}

    def add(self, key_ring):
        self._rings[key_ring.user_id] = key_ring

    def get(self, user_id):
        try:
            return self._rings[user_id]
        except KeyError:
            raise KeyError("No key ring known for user {}".format(user_id))

    def clear(self):
        self._rings.clear()


class Provider(object):
    """An in-memory provider: enough for the library's own calls."""

    def __init__(self):
        self.session = Session()
        self.keys = KeyDirectory()
        self.settings = {}

    def initialize(self, api_key, **kwargs):
        self.settings = dict(kwargs, api_key=api_key)

    def logout(self, *args, **kwargs):
        self.session.user = None

    def reset(self):
        self.session.user = None
        self.keys.clear()


_lock = threading.Lock()
_current = Provider()


def current():
    return _current


def set_current(provider):
    """Replace the current provider; returns the previous one."""
    global _current
    with _lock:
        previous, _current = _current, provider
    return previous


@contextlib.contextmanager
def get():
    """Yield the current provider. Errors raised in the block propagate unchanged."""
    yield _current
