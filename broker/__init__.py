"""Loopback broker and object store for the tests and examples (no part of the library).

A ``ThreadingHTTPServer`` on 127.0.0.1 speaking HTTP/1.1 with keep-alive::

    from broker import Broker
    with Broker() as b:            # or b = Broker().start() ... b.stop()
        b.register_user(user)      # public halves of user.keys["signingKeys"]
        client.URL = b.url         # e.g. "http://127.0.0.1:41234/"

From a shell: ``python -m broker [--port N]`` (from the checkout's top level) prints the URL
and serves until interrupted.

Endpoints: ``v1.0/time/`` and ``v1.0/login/`` (the challenge login), ``v1.0/events/``
(signed, paged with "start" and "hasMore"), and the object store at ``objects/<name>``
(``b.put_object(name, data)`` returns its URL; PUT stores, GET honours "Range").

Tests read ``b.log`` (or ``b.entries(route_name)``): one ``core.Entry`` per request with
its method, path, query, headers, body, connection number, verdict and the reply's bytes as
sent on the wire (``sent``: status line, headers, body); ``b.connections`` counts TCP
connections, ``b.open_connections()`` those still open and ``b.closed_connections`` holds the
numbers of those that ended. ``b.script(route_name, *faults)``
queues faults (statuses, ``NOT_JSON``, ``IGNORE_RANGE``, ``SHORT_BODY``, ``Skew(seconds)``,
``Cut(keep)``: the reply cut short and the connection closed, ``Raw(bytes)``: any bytes as
the reply, a ``Reply``, a callable). ``b.clock_skew`` moves the broker's clock for every
request, ``b.expire_tokens()`` lapses every session token, ``b.new_token`` makes the token of
each login (a callable; a hostile broker may give any JSON value) and ``b.time_format`` the
challenge's text.

Extension points:

- ``core.route(method, pattern, name=..., signed=True, api=True)`` decorates a handler
  ``handler(ctx) -> Reply`` and adds it to the table every broker uses; put new endpoints
  in a module of this package and import it below. ``Broker.add_route`` adds a route to one
  broker only. Signed routes run only for requests whose authorisation verified;
  ``ctx.user`` is then (user id, key index).
- ``ctx.state`` (``core.State``) is shared by all routes: ``public_keys``, ``tokens``,
  ``events`` and ``objects``, plus ``state.table(name)``, a dictionary per name for the
  records a new module keeps (accounts, key files, containers, accesses...). Take
  ``state.lock`` around changes.
- ``ctx.arg(name)``, ``ctx.request`` (the ``Entry``: ``json()``, ``body``, ``headers``),
  ``ctx.params`` (the pattern's fields), ``ctx.now()`` (the broker's clock), and
  ``ctx.verdict``, which a handler may set to explain a refusal in the log.
"""
from . import objects, routes  # noqa: F401  (they fill the route table)
from . import accounts, containers  # noqa: F401  (accounts, key files, containers, accesses)
from .core import IGNORE_RANGE, NOT_JSON, SHORT_BODY, Broker, Context, Cut, Entry, Raw, Reply, Skew, State, route

__all__ = ["Broker", "Context", "Cut", "Entry", "Raw", "Reply", "Skew", "State", "route", "IGNORE_RANGE", "NOT_JSON",
           "SHORT_BODY"]
