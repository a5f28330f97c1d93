"""Stress runs of the broker session, run by hand (pytest does not collect this file):

    cd tests && ../.venv/bin/python stress_session.py [--rounds N] [--seconds S]

1. forks: a thread of the parent keeps fetching while the parent forks children that fetch
   too; every reply of a child must be its own, no child may hang, and the parent's
   connections must stay open and its own.
2. bindings: a thread bound to Alice keeps signing requests while another thread logs Bob and
   Alice in by turns; no request of the bound thread may reach the broker signed as Bob.

The suite holds one small bounded case of each (test_session.py). Exits 1 on any failure.
"""
import argparse
import importlib
import os
import sys
import threading
import time
import uuid

import broker_fixtures
from broker_fixtures import API_KEY, APP_NAME, make_user
from test_session import finish_child, start_child

import broker as loopback


def configured(b):
    package = importlib.import_module("norvo.providers.server")
    session, client = package.session, package.client
    session.initialize(API_KEY, b.url, app_name=APP_NAME)
    client.URL = b.url
    return session, client


def forks(b, session, client, rounds, children=4, requests_each=5):
    failures = 0
    containers = [str(uuid.uuid4()) for _ in range(children)]
    for container_id in containers:
        b.add_event(containerId=container_id)
    stop, errors = threading.Event(), []

    def keep_fetching():
        while not stop.is_set():
            try:
                assert len(client.get("events", params={"type": "container"}).json()["events"]) == children
            except BaseException as error:
                errors.append(error)
                return

    def child(n, container_id):
        session.app_name = "child-{}".format(n)
        for _ in range(requests_each):
            reply = client.get("events", params={"type": "container", "containerId": container_id})
            assert [e["containerId"] for e in reply.json()["events"]] == [container_id]

    workers = [threading.Thread(target=keep_fetching) for _ in range(2)]
    for w in workers:
        w.start()
    try:
        for r in range(rounds):
            started = [start_child(lambda n=n, c=c: child(n, c)) for n, c in enumerate(containers)]
            for status, text in (finish_child(*s) for s in started):
                if status != 0:
                    failures += 1
                    print("a child failed with {}:\n{}".format(status, text), file=sys.stderr)
    finally:
        stop.set()
        for w in workers:
            w.join(30)
    parents = {e.connection for e in b.log if e.headers["X-Norvo-App-Name"] == APP_NAME}
    shared = {e.connection for e in b.log if e.headers["X-Norvo-App-Name"] != APP_NAME} & parents
    closed = parents & b.closed_connections
    print("forks: {} rounds of {} children, {} failed children, {} errors in the parent, "
          "{} connections shared, {} of the parent's closed".format(rounds, children, failures, len(errors),
                                                                  len(shared), len(closed)))
    return failures + len(errors) + len(shared) + len(closed)


def bindings(b, session, client, seconds):
    alice, bob = make_user(), make_user()
    b.register_user(alice)
    b.register_user(bob)
    session.authenticate(client, alice)
    stop = threading.Event()
    counts = {"signed": 0, "refused": 0, "switches": 0, "errors": []}

    def bound():
        with session.bound_to(alice):
            while not stop.is_set():
                try:
                    client.get("events", params={"type": "container", "containerId": "bound"})
                    counts["signed"] += 1
                except RuntimeError as error:
                    if "is no longer logged in" not in str(error):
                        counts["errors"].append(error)
                    counts["refused"] += 1
                except BaseException as error:
                    counts["errors"].append(error)

    def switcher():
        while not stop.is_set():
            session.authenticate(client, bob if counts["switches"] % 2 == 0 else alice)
            counts["switches"] += 1

    threads = [threading.Thread(target=bound), threading.Thread(target=switcher)]
    for t in threads:
        t.start()
    time.sleep(seconds)  # the length of the run
    stop.set()
    for t in threads:
        t.join(30)
    as_bob = [e for e in b.entries("events") if e.arg("containerId") == "bound" and e.user != str(alice.id)]
    print("bindings: {signed} signed as Alice, {refused} refused, {switches} logins; ".format(**counts) +
          "{} reached the broker as someone else, {} other errors".format(len(as_bob), len(counts["errors"])))
    return len(as_bob) + len(counts["errors"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=50)
    parser.add_argument("--seconds", type=float, default=20)
    args = parser.parse_args()
    for name in broker_fixtures.PROXY_VARIABLES:
        os.environ.pop(name, None)
    failures = 0
    with loopback.Broker() as b:
        session, client = configured(b)
        session.authenticate(client, _registered(b))
        failures += forks(b, session, client, args.rounds)
    with loopback.Broker() as b:
        session, client = configured(b)
        failures += bindings(b, session, client, args.seconds)
    sys.exit(1 if failures else 0)


def _registered(b):
    user = make_user()
    b.register_user(user)
    return user


if __name__ == "__main__":
    main()
