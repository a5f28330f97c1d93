"""One user in several processes on one local store: real processes, started together by a
barrier (each says it is ready, then all are told to go at once), each bounded by a timeout.

The database's first open is done by one of them at a time, every write of a container's
record is one transaction that replaces what was there, and once they have all finished every
file of the store is named by a row: none is left behind, and none after the account goes.
"""
import json
import os
import sqlite3
import subprocess
import sys
import uuid

import pytest
from sqlalchemy import select

from road_fixtures import ROAD_API_KEY, package_root

pytestmark = pytest.mark.filterwarnings("ignore:The 'EncryptedType' class will change:DeprecationWarning")

PROCESSES = 3
ROUNDS = 4
SHARED = 3
LIMIT = 90  # seconds any child may take, its start-up included

# A child that opens new databases in a store, one after the other (each a chance to meet the
# others at a first open), its user's key given as PEM, and records one key row of its own in
# each.
OPENER = """
import sys
from cryptography.hazmat.primitives.serialization import load_pem_private_key
import norvo.providers as providers
import norvo.providers.ofs as ofs
from norvo.providers.ofs.burrow import NorvoOFSClient
from norvo.providers.ofs import database, models

root, user_ids, pem, n = sys.argv[1], sys.argv[2].split(","), sys.argv[3].encode(), int(sys.argv[4])
client = NorvoOFSClient()
client.ROOT_DIR = root
client.initialize()
ofs.client = client
key = type("Key", (), {"private": load_pem_private_key(pem, None)})
ofs.session.user = type("User", (), {"id": user_ids[0], "keys": {"signingKeys": {0: key}}})
print("ready", flush=True)
sys.stdin.readline()
for user_id in user_ids:
    db = database.NorvoDatabase()
    db.initialize(user_id)
    with providers.local_write(db) as session:
        session.add(models.Key(user_id=user_id, key_type="signingKeys", index=n, pub_key=b"pem %d" % n))
    db.session.remove()
    db.engine.dispose()
print("done", flush=True)
"""

# A child that logs one user in and, round after round, fetches the same containers as the
# others, creates one of its own, and reads them all back from the local store.
WORKER = """
import json, sys
from norvo import _lifecycle, container

url, root, user_id, password, api_key = sys.argv[1:6]
shared = sys.argv[6].split(",")
ROUNDS = int(sys.argv[7])
_lifecycle.initialize(api_key, fips=False, server_url=url, root_dir=root)
print("ready", flush=True)
sys.stdin.readline()
_lifecycle.login(user_id, password=password)
made = []
for n in range(ROUNDS):
    for cid in shared:
        assert container.get(cid).content.data == b"shared " + cid.encode()
    made.append(str(container.create({"round": n}, b"own %d" % n).id))
    for cid in shared + made:
        container.get(cid, local=True)
print(json.dumps(made), flush=True)
_lifecycle.logout()
"""


def run_together(args_of):
    """Starts one child per argument list, lets them all go at once, and returns their outputs."""
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env["PYTHONPATH"] = package_root()
    children = [subprocess.Popen([sys.executable, "-c"] + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True, env=env) for args in args_of]
    try:
        for child in children:
            assert child.stdout.readline().strip() == "ready", child.stderr.read()
        for child in children:
            child.stdin.write("go\n")
            child.stdin.flush()
        outcomes = [child.communicate(timeout=LIMIT) for child in children]
    finally:
        for child in children:
            if child.poll() is None:
                child.kill()
                child.wait()
    for child, (out, err) in zip(children, outcomes):
        assert child.returncode == 0, err
    return [out for out, _ in outcomes]


def test_three_processes_open_new_databases_at_once(ofs_client, local_users):
    from norvo import crypto
    from norvo.providers.ofs import database

    pem = crypto.to_pem_private(local_users[0].keys["signingKeys"][0].private)
    pem = pem.decode() if isinstance(pem, bytes) else pem
    user_ids = [str(uuid.UUID(int=n + 1)) for n in range(4)]
    paths = [database.get_file_path(uid) for uid in user_ids]
    assert not any(p.exists() for p in paths)
    run_together([[OPENER, str(ofs_client.root), ",".join(user_ids), pem, str(n)] for n in range(PROCESSES)])
    for path in paths:
        con = sqlite3.connect(str(path))
        try:
            assert con.execute("select version_num from alembic_version").fetchall() == [("566271002368",)]
            assert con.execute("select count(*) from keys").fetchall() == [(PROCESSES,)]
        finally:
            con.close()
        assert [p.name for p in path.parent.iterdir()] == [path.name]  # nothing set aside, no journal left


def store_files(root):
    return {p for p in root.rglob("*") if p.is_file()}


def test_three_processes_of_one_user_fetch_and_create_and_leave_no_file_behind(road, signup, login):
    from norvo import _lifecycle, container
    from norvo import providers
    from norvo import user as accounts
    from norvo.providers import ofs
    from norvo.providers.ofs import database, models

    alice = signup("alice")
    login(alice)
    shared = [str(container.create({"shared": n}, b"").id) for n in range(SHARED)]
    for cid in shared:  # the content names its container, so every read can be checked
        container.update(container.get(cid), content=b"shared " + cid.encode())
    _lifecycle.logout()

    outs = run_together([[WORKER, road.broker.url, str(road.root), str(alice.id), alice.password, ROAD_API_KEY,
                          ",".join(shared), str(ROUNDS)] for _ in range(PROCESSES)])
    made = [cid for out in outs for cid in json.loads(out.strip().splitlines()[-1])]
    assert len(set(made)) == PROCESSES * ROUNDS

    login(alice)
    assert [str(i) for i in container.local_ids()] == sorted(shared + made)
    for cid in shared + made:
        assert container.get(cid, local=True).content.data.startswith((b"shared ", b"own "))
    session = road.provider.database.session()
    locations = session.scalars(select(models.Container.ofs_location)).all()
    session.rollback()
    named = {ofs.client.get_file_path(seed=loc.encode("utf-8")) for loc in locations}
    # Every file is the key file, the database, or named by a row; every row names a file.
    key_file = ofs.client.get_file_path(seed=providers.KEY_FILE_SEED.format(user_id=alice.id).encode("utf-8"))
    own = {key_file, database.get_file_path(alice.id)}
    assert store_files(road.root) == own | named and len(named) == len(shared) + len(made)

    accounts.delete()
    assert store_files(road.root) == set()
