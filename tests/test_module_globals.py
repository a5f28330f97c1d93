"""Every module reads the names it binds when an operation runs, as a module written in Python
reads its globals: a name taken out of the module is the interpreter's NameError at the next
call, whichever module it is and whatever the operation."""
import importlib
import logging
import pathlib
import tempfile

import pytest
from cryptography.hazmat.primitives import hashes


def _session_check(module):
    session = module.NorvoSession()
    session.user, session.token = object(), "token"
    return session.authenticated()


def _stored_file(module, operation):
    """Runs `operation(client, seed)` on a file store whose file of that seed is stored
    already, so that the read or write takes the store's seeded way."""
    with tempfile.TemporaryDirectory() as root:
        client = module.NorvoOFSClient()
        client.root = pathlib.Path(root).resolve()
        path = client.get_file_path(seed="doc")
        path.parent.mkdir(parents=True)
        path.write_bytes(b"content")
        return operation(client, "doc")


# (module, the global taken out, an operation that reads it)
CASES = [
    ("norvo.utils", "uuid", lambda m: m.UUID("0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3")),
    ("norvo.crypto", "hexlify", lambda m: m._hash(b"data", hashes.BLAKE2b(64))),
    ("norvo.crypto.aes", "NONCE_LENGTH", lambda m: m.create_iv()),
    ("norvo.crypto.hmac", "HMAC", lambda m: m.digest(b"key", b"data")),
    ("norvo.crypto.hash", "_hash", lambda m: m.get_hash("a password")),
    ("norvo.crypto.pbkdf2", "engines", lambda m: m.create_key(b"secret")),
    ("norvo.crypto.p384", "ec", lambda m: m.generate_private_key()),
    ("norvo.crypto.ecdsa", "ECDSA", lambda m: m.sign(importlib.import_module("norvo.crypto.p384")
                                                      .generate_private_key(), b"data")),
    ("norvo.access", "Permissions", lambda m: m.Access("0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3")),
    ("norvo.decorators", "functools", lambda m: m.logged(logging.getLogger("norvo.tests"))(len)),
    ("norvo._lifecycle", "providers_get", lambda m: m.logout()),
    ("norvo.user", "providers", lambda m: m.get_backup_reminder("0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3")),
    ("norvo.providers.server.session", "arrow", _session_check),
    ("norvo.providers.server.client", "_make_request", lambda m: m.get("time")),
    ("norvo.providers.ofs.burrow", "log", lambda m: _stored_file(m, lambda client, seed: client.get(seed=seed))),
    ("norvo.providers.ofs.burrow", "os",
     lambda m: _stored_file(m, lambda client, seed: client.write_bytes(b"new", seed=seed))),
    ("norvo.providers.ofs.database", "get_file_path",
     lambda m: m.NorvoDatabase().initialize("0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3")),
    ("norvo.providers.ofs.models", "json", lambda m: m.JSON().process_bind_param({"a": 1}, None)),
]


@pytest.fixture
def namespace():
    """Puts back a module's namespace as it was, in its order: the tests of load order read it."""
    saved = []
    yield lambda module: saved.append((vars(module), dict(vars(module))))
    for ns, before in saved:
        ns.clear()
        ns.update(before)


@pytest.mark.parametrize("module_name, name, operation", CASES, ids=[c[0] + "." + c[1] for c in CASES])
def test_a_global_taken_out_is_a_name_error(namespace, module_name, name, operation):
    module = importlib.import_module(module_name)
    namespace(module)
    delattr(module, name)
    with pytest.raises(NameError, match="^name '%s' is not defined$" % name):
        operation(module)
