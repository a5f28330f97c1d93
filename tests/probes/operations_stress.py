"""Stress check, run by hand: containers are created one after another on a thread of their own
while the main thread changes who is logged in (Bob, Alice again, a logout) at random moments.

    .venv/bin/python tests/probes/operations_stress.py --runs 20

Each create runs as whoever was logged in when it began. After each run a fresh process opens
Alice's and Bob's local stores. A run is faulty when a create reported success with another
creator than the broker recorded (the user who signed it), or failed with an error that does
not say what happened; or when a store has rows that do not open under its key (a read raises,
or drops rows), lacks a container its user created, or holds one the other user created.
It prints one line per run and the counts at the end; the exit status is 1 when a run was faulty.
"""
import argparse
import json
import logging
import os
import pathlib
import random
import subprocess
import sys
import tempfile
import threading
import time

TOP = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(TOP))

import broker as loopback  # noqa: E402

API_KEY = "0b6f7d52-1d4e-4c8a-9a35-6e0f2c9b7d41"
PEOPLE = {"alice": ("Alice-Pa55word", "alice rescue Phrase 1", "the blue notebook"),
          "bob": ("Bob-Pa55word!", "bob rescue Phrase 2", "the red notebook")}
CLEAR = ("is no longer logged in", "Must login!")

# In a fresh process: each person's local store, the ids it lists and what a read of them raised
# or dropped.
READER = """
import json, logging, sys
from norvo import _lifecycle, container

class Count(logging.Handler):
    dropped = 0
    def emit(self, record):
        if "do not open under its key" in record.getMessage():
            Count.dropped += 1

logging.getLogger("norvo").addHandler(Count())
url, root, api_key = sys.argv[1:4]
_lifecycle.initialize(api_key, fips=False, server_url=url, root_dir=root)
seen = {}
for name, user_id, password in (sys.argv[4:7], sys.argv[7:10]):
    _lifecycle.login(user_id, password=password)
    Count.dropped = 0
    try:
        ids = [str(cid) for cid in container.local_ids()]
        for cid in ids:
            container.get(cid, local=True)
        seen[name] = {"ids": ids, "error": None, "dropped": Count.dropped}
    except Exception as error:
        seen[name] = {"ids": [], "error": "%s: %s" % (type(error).__name__, error), "dropped": Count.dropped}
print(json.dumps(seen))
"""


def one_run(broker, root, people, ops, switches, rng):
    from norvo import _lifecycle, container

    alice = people["alice"]
    _lifecycle.login(alice["id"], password=alice["password"])
    made, errors, mismatched = {}, [], []
    records = broker.state.table("containers")

    def create():
        for n in range(ops):
            try:
                c = container.create({"n": n}, b"run content %d" % n)
            except Exception as error:
                errors.append("%s: %s" % (type(error).__name__, error))
                continue
            record = records.get(str(c.id))
            if record is None or record["object"] is None or record["createdBy"] != str(c.created_by):
                mismatched.append(str(c.id))
            made[str(c.id)] = str(c.created_by)

    worker = threading.Thread(target=create)
    worker.start()
    for _ in range(switches):
        time.sleep(rng.uniform(0, 0.06))
        choice = rng.choice(("bob", "alice", "logout"))
        if choice == "logout":
            _lifecycle.logout()
        else:
            _lifecycle.login(people[choice]["id"], password=people[choice]["password"])
    worker.join(120)
    _lifecycle.logout()

    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env["PYTHONPATH"] = os.pathsep.join(sys.path)
    args = [broker.url, str(root), API_KEY]
    for name in ("alice", "bob"):
        args += [name, str(people[name]["id"]), people[name]["password"]]
    out = subprocess.run([sys.executable, "-c", READER] + args, env=env, capture_output=True, text=True, timeout=120)
    if out.returncode != 0:
        return {"reader failed": out.stderr[-500:]}
    seen = json.loads(out.stdout.splitlines()[-1])
    faults = {}
    if mismatched:
        faults["creator other than the broker's"] = len(mismatched)
    unclear = [e for e in errors if not any(c in e for c in CLEAR)]
    if unclear:
        faults["unclear errors"] = unclear[:3]
    for name in ("alice", "bob"):
        own = {cid for cid, creator in made.items() if creator == str(people[name]["id"])}
        held = set(seen[name]["ids"])
        if seen[name]["error"]:
            faults["%s's store raises" % name] = seen[name]["error"]
            continue
        if seen[name]["dropped"]:
            faults["%s's store dropped rows" % name] = seen[name]["dropped"]
        if own - held:
            faults["created by %s, not in the store" % name] = len(own - held)
        if (set(made) - own) & held:
            faults["another's in %s's store" % name] = len((set(made) - own) & held)
    return {"made": len(made), "errors": len(errors), "faults": faults}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--ops", type=int, default=12, help="containers Alice creates in each run")
    parser.add_argument("--switches", type=int, default=6, help="changes of user in each run")
    parser.add_argument("--seed", type=int, default=1)
    options = parser.parse_args()
    logging.basicConfig(level=logging.ERROR)
    for name in [k for k in os.environ if "proxy" in k.lower()]:
        del os.environ[name]

    from norvo import _lifecycle
    from norvo import user as accounts

    rng = random.Random(options.seed)
    faulty = 0
    with loopback.Broker() as broker, tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp) / "store"
        _lifecycle.initialize(API_KEY, fips=False, server_url=broker.url, root_dir=str(root))
        people = {}
        for name, (password, passphrase, reminder) in PEOPLE.items():
            people[name] = {"id": accounts.create(password, reminder, passphrase).id, "password": password}
            _lifecycle.logout()
        for run in range(options.runs):
            result = one_run(broker, root, people, options.ops, options.switches, rng)
            faulty += bool(result.get("faults") or "reader failed" in result)
            print("run %d: %s" % (run + 1, json.dumps(result, sort_keys=True)), flush=True)
    print("faulty runs: %d of %d" % (faulty, options.runs))
    return 1 if faulty else 0


if __name__ == "__main__":
    sys.exit(main())
