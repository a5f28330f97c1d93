"""The whole road on one machine: two accounts, a container sealed by Alice and shared with Bob,
opened by Bob, its events, Bob's local encrypted store, new credentials, a deleted account.

The loopback broker of this checkout (broker/) runs in a thread on 127.0.0.1 for the length of
the walk, and the local store lives in a temporary folder; nothing needs configuring first.
"""
import datetime
import os
import sys
import tempfile
import uuid

# The loopback broker lives beside examples/ in the checkout.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))

import broker  # noqa: E402
import norvo.providers  # noqa: E402
from norvo import _lifecycle, container  # noqa: E402
from norvo import user as accounts  # noqa: E402
from norvo.access import Access  # noqa: E402
from norvo.crypto.container import JSONPayload  # noqa: E402
from norvo.permissions import Permissions  # noqa: E402
from norvo.providers.server import events  # noqa: E402


ALICE = ("Alice-Pa55word", "the blue notebook", "alice rescue Phrase 1")
BOB = ("Bob-Pa55word!", "the red notebook", "bob rescue Phrase 2")


def step(text):
    print(text, flush=True)


def walk(b, root):
    # fips=False: this machine's OpenSSL has no FIPS provider, and key files use 8-byte PBKDF2 salts that the FIPS provider refuses.
    _lifecycle.initialize(str(uuid.uuid4()), fips=False, app_name="road-example", server_url=b.url, root_dir=root)
    step("Initialized the library; local store in {}".format(root))

    alice = accounts.create(*ALICE)
    _lifecycle.logout()
    bob = accounts.create(*BOB)
    _lifecycle.logout()
    step("Created accounts: Alice {} and Bob {}".format(alice.id, bob.id))

    _lifecycle.login(alice.id, password=ALICE[0])
    step("Alice logged in with her password")
    share = Permissions(value=0)
    share.container.download = share.container.decrypt = share.access.view = share.container.access_events = True
    expires = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0) + datetime.timedelta(days=7)
    sealed = container.create({"title": "quarterly figures"}, {"revenue": 1250000, "currency": "EUR"},
                              type="report", access=[Access(bob.id, permissions=share, expiration=expires)])
    step("Alice sealed container {} ({} bytes)".format(sealed.id, len(sealed.data)))
    step("Alice shared it with Bob until {}: {}".format(expires.date(), share))

    _lifecycle.login(bob.id, password=BOB[0])
    step("Bob logged in with his password")
    _lifecycle.login(bob.id, passphrase=BOB[2])
    step("Bob logged in again with his passphrase, through his key file's rescue section")

    fetched = container.get(sealed.id, decrypt=False)
    step("Bob fetched container {}: {} bytes, still sealed".format(fetched.id, len(fetched.data)))
    keys = container.unwrap(fetched)
    step("Bob unwrapped its keys from his envelope, checked against Alice's published keys")
    fetched.decrypt(keys)
    step("Bob opened it: header {} content {}".format(fetched.header.data, fetched.content.data))

    seen = events.get(type="container", container_id=str(sealed.id))
    names = {alice.id: "Alice", bob.id: "Bob"}
    step("Bob's events: {}".format(", ".join("{} by {}".format(e.action, names.get(e.related_user_id))
                                              for e in seen)))

    stored = container.local_ids()
    kept = container.get(sealed.id, local=True, content_cls=JSONPayload)
    step("Bob's local encrypted store holds {} container(s); {} reads {}".format(
        len(stored), kept.id, kept.content.data))

    accounts.change_credentials("Bob-N3w-Pa55word", "bob new rescue Phrase 3")
    _lifecycle.logout()
    _lifecycle.login(bob.id, password="Bob-N3w-Pa55word")
    step("Bob changed his password and passphrase and logged in with the new password")

    accounts.delete()
    step("Bob deleted his account; signed in now: {}".format(norvo.providers.current().session.user))


def main():
    # The broker is on this machine: reach it directly, whatever proxy the environment names.
    for name in ("NO_PROXY", "no_proxy"):
        os.environ[name] = ",".join(filter(None, [os.environ.get(name), "127.0.0.1"]))
    b = broker.Broker().start()
    step("Loopback broker listening on {}".format(b.url))
    try:
        with tempfile.TemporaryDirectory(prefix="norvo-road-") as root:
            try:
                walk(b, root)
            finally:
                _lifecycle.logout()
    finally:
        b.stop()
        step("Broker stopped")


if __name__ == "__main__":
    main()
