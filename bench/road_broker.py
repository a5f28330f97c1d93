"""The loopback broker in a process of its own, for the road benchmarks (bench/road.py).

    python bench/road_broker.py [--events N] [--page-size K]

Prints the broker's URL as the first line on standard output, then serves on 127.0.0.1
until its standard input closes, so that it stops with the benchmark that started it however
that one ends. In a process of its own the broker's work (verifying every signature, paging
the feed) neither shares the benchmark's interpreter lock nor shows on its clocks.

Beside the broker's own routes it answers "v1.0/ping/", a signed GET whose reply is a small
JSON object: a request with nothing behind it but the broker's checks. With --events it
starts with N container events that every reader sees, served K to a page.

The broker writes each reply in one write with Nagle's algorithm off, so that no reply
waits for the client's delayed acknowledgement: the wall clock shows only the two sides' work.
"""
import argparse
import datetime
import os
import sys
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))

import broker  # noqa: E402
from broker.core import Reply  # noqa: E402

PING = {"pong": True, "service": "norvo-bench", "version": 1}


def ping(ctx):
    return Reply.json(dict(PING, user=ctx.user[0]))


def seed_events(b, count):
    """`count` container events of a few containers, dated a second apart, as the feed has them."""
    start = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)
    containers = [str(uuid.UUID(int=i + 1)) for i in range(16)]
    users = [str(uuid.UUID(int=(i + 1) << 64)) for i in range(4)]
    actions = ("added", "accessed", "updated", "accessed")
    for i in range(count):
        moment = (start + datetime.timedelta(seconds=i)).isoformat()
        b.add_event(action=actions[i % 4], type="container", date=moment, clientAppName="norvo-bench",
                    containerId=containers[i % len(containers)], containerType="report",
                    containerModifiedAt=moment, relatedUserId=users[i % len(users)],
                    changes={"content": True} if i % 4 == 2 else None)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--events", type=int, default=0, help="container events to start with")
    parser.add_argument("--page-size", type=int, default=None, help="events per page of the feed")
    args = parser.parse_args()
    b = broker.Broker()
    b.add_route("GET", "ping/", ping, name="ping")
    if args.page_size:
        b.events_page_size = args.page_size
    seed_events(b, args.events)
    b.start()
    print(b.url, flush=True)
    try:
        sys.stdin.read()
    except KeyboardInterrupt:
        pass
    finally:
        b.stop()


if __name__ == "__main__":
    main()
