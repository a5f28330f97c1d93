"""Stand-in for the local storage provider package.

The library reaches the local store through two names of this package: ``session``,
whose ``user`` is the logged-in user (None while nobody is logged in), and ``client``,
the obfuscating file store. The owner sets ``client.ROOT_DIR`` and calls
``client.initialize()`` before the store is used, and sets ``session.user`` at login.
"""
from norvo.providers import Session
from norvo.providers.ofs.burrow import NorvoOFSClient

session = Session()
client = NorvoOFSClient()
