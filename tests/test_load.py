"""A load run of ordinary work against the loopback broker: signed requests, containers sealed,
uploaded, fetched, kept in and read back from the local store, updated and deleted, and event
pages walked. From the end of a warm-up round to the end of the run, nothing may grow: open
connections, file descriptors, threads, memory, objects the interpreter tracks.

The size is the number of signed requests the run makes at least: 2,000 by default (a few
seconds), more with the environment variable NORVO_LOAD_REQUESTS, e.g.

    NORVO_LOAD_REQUESTS=20000 python -m pytest -s test_load.py

The figures (requests, connections, descriptors, memory at start and end) are printed.
"""
import faulthandler
import gc
import os
import resource
import threading
import time

import pytest

pytestmark = pytest.mark.filterwarnings("ignore::sqlalchemy.exc.SAWarning",
                                        "ignore:The 'EncryptedType' class will change:DeprecationWarning")

REQUESTS = int(os.environ.get("NORVO_LOAD_REQUESTS", "2000"))
UNSIGNED = {"time", "login", "object-get", "object-put", "accounts-create", "keyfile-get", "reminder-get"}
PAGE_SIZE = 5

# What may differ between the end of the warm-up and the end of the run: a descriptor, a
# connection or a thread in flight (a handler thread finishing a closed connection), and the
# allocator's slack.
SLACK_FDS = 2
SLACK_THREADS = 2
SLACK_RSS = 24 << 20
SLACK_OBJECTS = 0.02
# The run is bounded like every test, by a limit that grows with its size.
TIME_LIMIT = 60 + REQUESTS // 20
# Under AddressSanitizer freed memory waits in a quarantine before it is reused, so the
# process's resident size says nothing about leaks there; the other figures still do.
SANITIZED = "ASAN_OPTIONS" in os.environ


def figures(broker):
    gc.collect()
    pages = int(open("/proc/self/statm").read().split()[1])
    return {
        "descriptors": len(os.listdir("/proc/self/fd")),
        "connections": broker.open_connections(),
        "threads": threading.active_count(),
        "rss_mib": pages * resource.getpagesize() / (1 << 20),
        "objects": len(gc.get_objects()),
    }


def test_ordinary_work_grows_nothing(road, signup, login):
    from norvo import container
    from norvo.providers.server import events

    faulthandler.dump_traceback_later(TIME_LIMIT, exit=True)
    b = road.broker
    b.events_page_size = PAGE_SIZE
    alice, bob = signup("alice"), signup("bob")
    login(alice)
    counted = {"signed": 0, "all": 0}

    def tally():
        """Counts the requests the broker saw since the last tally and forgets them: the
        broker's own log and feed would otherwise grow with the run."""
        with b._lock:
            log, b.log = b.log, []
        counted["all"] += len(log)
        counted["signed"] += sum(1 for e in log if e.route not in UNSIGNED)
        assert all(e.status is not None and e.status < 400 for e in log), [(e.route, e.status) for e in log][-5:]
        with b.state.lock:
            del b.state.events[:-4 * PAGE_SIZE]
            kept = {e["eventId"] for e in b.state.events}
            audiences = b.state.table("event_audience")
            for event_id in [i for i in audiences if i not in kept]:
                del audiences[event_id]

    def round_trip(n):
        payload = os.urandom(2048)
        made = container.create({"round": n}, payload, type="load", access=[bob.id])
        fetched = container.get(made.id)
        assert fetched.content.data == payload
        assert container.get(made.id, local=True).header.data == {"round": n}
        container.update(fetched, content=b"updated %d" % n)
        assert container.get(made.id, local=True).content.data == b"updated %d" % n
        first = b.state.events[0]["eventId"]
        walked = events.get(type="container", starting_event_id=first)
        assert len(walked) >= 3
        container.delete(made.id)
        assert container.local_ids() == []

    round_trip(0)  # warm-up: pools, caches and lazy imports fill here
    tally()
    start, started = figures(b), time.monotonic()
    rounds = 0
    while counted["signed"] < REQUESTS:
        rounds += 1
        round_trip(rounds)
        tally()
    elapsed = time.monotonic() - started
    end = figures(b)
    print("\nload run: {} rounds, {} signed requests ({} in all) in {:.1f} s; start {}; end {}; peak RSS {:.0f} MiB"
          .format(rounds, counted["signed"], counted["all"], elapsed, start, end,
                  resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024))
    assert end["descriptors"] <= start["descriptors"] + SLACK_FDS
    assert end["connections"] <= max(start["connections"], 1) + 1
    assert end["threads"] <= start["threads"] + SLACK_THREADS
    assert SANITIZED or end["rss_mib"] <= start["rss_mib"] + SLACK_RSS / (1 << 20)
    assert end["objects"] <= start["objects"] * (1 + SLACK_OBJECTS)
