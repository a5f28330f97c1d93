"""Stand-in for the local storage provider package.

The library reaches the local store through two names of this package: ``session``,
whose ``user`` is the logged-in user (None while nobody is logged in), and ``client``,
the obfuscating file store. The owner sets ``client.ROOT_DIR`` and calls
``client.initialize()`` before the store is used, and sets ``session.user`` at login.
"""
from norvo.providers.ofs.burrow import NorvoOFSClient


class Session(object):
    """Holds the logged-in user; None while nobody is logged in."""

    def __init__(self):
        self.user = None


session = Session()
client = NorvoOFSClient()
