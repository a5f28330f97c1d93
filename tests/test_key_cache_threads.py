"""The database key cache read from several threads while the logged-in user changes.

Every read must give the key of the user logged in during that read. The users here let go of
the interpreter lock when they are torn down, as a user holding an open file or a socket does:
a cache that drops one user while it installs the next must never let another thread see the
new user beside the old key.
"""
import os
import sys
import threading
import time
import types

import pytest

from local_fixtures import LOCAL_USER_IDS
from rings import private_ring

READERS = 4
RUN_SECONDS = 1.5


class ReadWriteLock(object):
    """Many readers at once, or one writer: readers see one logged-in user for a whole read."""

    def __init__(self):
        self._cond = threading.Condition()
        self._readers = 0
        self._writing = False

    def read(self):
        lock = self

        class Reading(object):
            def __enter__(self):
                with lock._cond:
                    while lock._writing:
                        lock._cond.wait()
                    lock._readers += 1

            def __exit__(self, *exc):
                with lock._cond:
                    lock._readers -= 1
                    lock._cond.notify_all()

        return Reading()

    def write(self):
        lock = self

        class Writing(object):
            def __enter__(self):
                with lock._cond:
                    while lock._writing or lock._readers:
                        lock._cond.wait()
                    lock._writing = True

            def __exit__(self, *exc):
                with lock._cond:
                    lock._writing = False
                    lock._cond.notify_all()

        return Writing()


class SlowToLeave(object):
    """A logged-in user whose teardown blocks on the file system, the interpreter lock released
    meanwhile (os.stat does its system call without it)."""

    def __init__(self, user_id, keys):
        self.id, self.keys = user_id, keys

    def __del__(self):
        os.stat(".")
        time.sleep(0)


@pytest.fixture
def quick_switches():
    """Threads change hands often, so that every interleaving gets its chance."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_each_read_gives_the_key_of_the_user_logged_in_then(ofs_session, quick_switches):
    from norvo import crypto
    from norvo.crypto.keys import KeyType
    from norvo.providers.ofs import models

    rings = {uid: private_ring(user_id=uid) for uid in LOCAL_USER_IDS}
    # Derived independently of the cache, once per user.
    expected = {uid: crypto.KDF2(crypto.to_der_private(ring[KeyType.AUTH][0].private)) for uid, ring in rings.items()}
    lock = ReadWriteLock()
    ofs_session.user = SlowToLeave(LOCAL_USER_IDS[0], rings[LOCAL_USER_IDS[0]])
    stop = threading.Event()
    counts = types.SimpleNamespace(reads=[0] * READERS, wrong=[0] * READERS, switches=0, errors=[])

    def reader(n):
        try:
            while not stop.is_set():
                with lock.read():
                    uid = ofs_session.user.id
                    key = models.get_sa_key()
                counts.reads[n] += 1
                if key != expected[uid]:
                    counts.wrong[n] += 1
        except BaseException as error:  # reported by the test's own thread
            counts.errors.append(error)

    def switcher():
        try:
            while not stop.is_set():
                with lock.write():
                    # A new object each time: the previous one is torn down once nothing holds it.
                    uid = LOCAL_USER_IDS[(counts.switches + 1) % 2]
                    ofs_session.user = SlowToLeave(uid, rings[uid])
                counts.switches += 1
        except BaseException as error:
            counts.errors.append(error)

    threads = [threading.Thread(target=reader, args=(n,)) for n in range(READERS)]
    threads.append(threading.Thread(target=switcher))
    for t in threads:
        t.start()
    stop.wait(RUN_SECONDS)  # the length of the run, not a wait for anything to happen
    stop.set()
    for t in threads:
        t.join(10)
    assert not any(t.is_alive() for t in threads)
    assert counts.errors == []
    # Enough of both to mean something: many reads, and many changes of user among them.
    assert sum(counts.reads) > 1000 and counts.switches > 100
    assert sum(counts.wrong) == 0, "{} of {} reads gave another user's key".format(sum(counts.wrong),
                                                                                 sum(counts.reads))


def test_after_logout_nothing_keeps_the_user_or_its_key_ring(road, signup, login):
    import gc
    import weakref

    from norvo import _lifecycle, container
    from norvo.providers.ofs import models

    alice = signup("alice")
    user = login(alice)
    gone = [weakref.ref(user), weakref.ref(user.keys)]
    made = container.create({"title": "t"}, b"content")
    assert container.get(made.id).content.data == container.get(made.id, local=True).content.data == b"content"
    assert container.local_ids() == [made.id] and len(models.get_sa_key()) == 32
    del user, made
    _lifecycle.logout()
    gc.collect()
    assert [ref() for ref in gone] == [None, None]


def test_the_key_cache_holds_the_users_id_not_the_user(ofs_session):
    import gc
    import weakref

    from norvo.providers.ofs import models

    user = SlowToLeave(LOCAL_USER_IDS[0], private_ring(user_id=LOCAL_USER_IDS[0]))
    gone = [weakref.ref(user), weakref.ref(user.keys)]
    ofs_session.user = user
    key = models.get_sa_key()
    ofs_session.user = None  # gone without clearing the cache
    del user
    gc.collect()
    assert [ref() for ref in gone] == [None, None]
    # The same user back, as a new object, finds its key kept.
    ofs_session.user = types.SimpleNamespace(id=LOCAL_USER_IDS[0], keys=None)
    assert models.get_sa_key() is key
