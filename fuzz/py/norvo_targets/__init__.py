"""One-input checks for every parser of external bytes in norvo.

Each target takes the fuzzer's bytes, feeds them to one public entry point and returns
normally when the library gave a result or raised one of the errors that the operation
documents. Anything else escapes: an undocumented exception type, a broken invariant
(raised as `Violation`), or of course a crash, which the sanitizers report.

The targets on broker traffic and the local store talk to no server and touch no disk outside
a scratch folder: their replies come from bytes through the HTTP stack itself (wire.py), their
databases are read from memory, their file stores live in a temporary folder.

One module per kind of input: `p384` (the key loaders), `containers`, `keyfiles`,
`exchange` (integrated-encryption messages and envelopes), `formats` (the format objects),
`values` (values of any type), `broker` (broker traffic) and `store` (the local store), over
`material` (the fixed keys and the inputs sealed under them) and `common` (`Violation`, the
format errors and `Reader`).

The atheris driver in this directory (atheris_main.py) and tests/test_fuzz_regressions.py,
which replays the inputs kept under tests/regressions/<target>/, share these functions, so a
crasher found by the fuzzer is checked by the test suite in exactly the same way.

Nothing here needs atheris.
"""

from .common import Reader, Violation, chunk
from .p384 import target_p384_der_public, target_p384_pem_private, target_p384_pem_public
from .material import FIXED_OID, KEYFILE_PASSPHRASE, KEYFILE_PASSWORD, fixed_container_keys, key_ring_document, rings
from .containers import target_container_bytes, target_container_decrypt, target_container_keys, target_portion_section
from .keyfiles import fast_key_derivation, target_keyfile, target_keyfile_decrypt, target_keyring_document
from .exchange import target_envelope, target_ies_decrypt
from .formats import target_format_objects
from .values import target_value_types
from .broker import (
    FIXED_USER_ID,
    fixed_user,
    target_event_pages,
    target_login_reply,
    target_object_range,
    target_public_key_records,
    target_reply_headers,
)
from .store import target_db_cell, target_db_rows, target_file_store


TARGETS = {
    "container_bytes": target_container_bytes,
    "container_decrypt": target_container_decrypt,
    "container_keys": target_container_keys,
    "portion_section": target_portion_section,
    "keyfile": target_keyfile,
    "keyfile_decrypt": target_keyfile_decrypt,
    "keyring_document": target_keyring_document,
    "ies_decrypt": target_ies_decrypt,
    "envelope": target_envelope,
    "format_objects": target_format_objects,
    "value_types": target_value_types,
    "p384_pem_public": target_p384_pem_public,
    "p384_pem_private": target_p384_pem_private,
    "p384_der_public": target_p384_der_public,
    "login_reply": target_login_reply,
    "event_pages": target_event_pages,
    "reply_headers": target_reply_headers,
    "object_range": target_object_range,
    "public_key_records": target_public_key_records,
    "db_cell": target_db_cell,
    "db_rows": target_db_rows,
    "file_store": target_file_store,
}


def run(name, data):
    """Runs one input through one target (the entry point of the tests and harnesses)."""
    TARGETS[name](bytes(data))
