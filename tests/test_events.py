"""Event retrieval with paging, against the loopback broker's event feed."""
import copy
import logging
import threading
import types
import uuid

import pytest
import requests

import broker as loopback

EVENT_LOG = "norvo.providers.server.event"
TYPES = "type can only be one of ['container', 'strongbox']"
ACTIONS = "action can only be one of ['accessed', 'added', 'deleted', 'updated']"


@pytest.fixture
def queries(logged_in, monkeypatch):
    """The parameters handed to the REST client for each page (copies: the same dict is reused)."""
    seen = []
    real = logged_in.client

    def get(path, params=None, **kwargs):
        seen.append((path, copy.deepcopy(params)))
        return real.get(path, params=params, **kwargs)

    monkeypatch.setattr(logged_in.package, "client", types.SimpleNamespace(get=get))
    return seen


def ids(records):
    return [r.id for r in records]


def test_refusals_send_nothing(server, events):
    for kwargs in ({"type": "container"}, {"type": "nonsense"}, {}):
        with pytest.raises(RuntimeError, match="^Must login!$"):
            events.get(**kwargs)
    assert server.broker.log == []


@pytest.mark.parametrize("kwargs, error, message", [
    ({}, KeyError, "'type'"),
    ({"container_id": uuid.uuid4()}, KeyError, "'type'"),
    ({"type": "keysFile"}, ValueError, TYPES),
    ({"type": "Container"}, ValueError, TYPES),
    ({"type": "container", "action": "created"}, ValueError, ACTIONS),
])
def test_invalid_filters(logged_in, events, kwargs, error, message):
    start = len(logged_in.broker.log)
    with pytest.raises(error) as raised:
        events.get(**kwargs)
    assert str(raised.value) == message
    assert len(logged_in.broker.log) == start


@pytest.mark.parametrize("kwargs, query", [
    ({"type": "container"}, {"type": "container", "start": 0}),
    ({"type": "strongbox"}, {"type": "keysFile", "start": 0}),
    ({"type": "container", "action": None}, {"type": "container", "start": 0}),
    ({"type": "container", "action": "added"}, {"type": "container", "start": 0, "action": "added"}),
    ({"type": "container", "container_id": None}, {"type": "container", "start": 0, "containerId": None}),
    ({"type": "container", "container_type": "notes", "starting_event_id": 57},
     {"type": "container", "start": 57, "containerType": "notes"}),
    ({"type": "container", "starting_event_id": 0, "colour": "red"}, {"type": "container", "start": 0}),
])
def test_query_building(queries, events, kwargs, query):
    assert events.get(**kwargs) == []
    assert queries == [("events", query)]


def test_pages_follow_the_last_event_id_without_duplicates(logged_in, queries, events):
    """The broker answers "start" with ids at least that value: each page repeats the last."""
    broker = logged_in.broker
    broker.events_page_size = 2
    container_id = uuid.uuid4()
    for n in range(5):
        broker.add_event(action="updated", containerId=str(container_id), containerType="notes")
    broker.add_event(type="keysFile")

    result = events.get(type="container")

    assert ids(result) == [1, 2, 3, 4, 5]
    assert [q["start"] for _, q in queries] == [0, 2, 3, 4]
    assert result[0].container_id == container_id and result[0].type == "container"
    assert ids(events.get(type="strongbox")) == [6]
    assert ids(events.get(type="container", starting_event_id=4)) == [4, 5]


@pytest.mark.parametrize("page_size, starts", [
    # A page of one only ever repeats the event asked from: each is asked for once more from
    # just above the highest id received.
    (1, [0, 1, 2, 2, 3, 3, 4, 4, 5]),
    (3, [0, 3]),   # pages of two: test_pages_follow_the_last_event_id_without_duplicates
])
def test_an_inclusive_start_of_any_page_size_gives_every_event_once(logged_in, queries, events, caplog,
                                                                    page_size, starts):
    """The loopback broker's "start" is inclusive (ids at least that value)."""
    logged_in.broker.events_page_size = page_size
    for _ in range(5):
        logged_in.broker.add_event()
    assert ids(events.get(type="container")) == [1, 2, 3, 4, 5]
    assert [q["start"] for _, q in queries] == starts
    assert not [r for r in caplog.records if r.name == EVENT_LOG and r.levelno >= logging.WARNING]


@pytest.mark.parametrize("second_page", [
    {"events": [], "hasMore": True},
    {"events": [{"eventId": 2}, {"eventId": 1}], "hasMore": True},
])
def test_continued_page_with_nothing_new_asks_once_more_from_above(logged_in, queries, events, second_page):
    broker = logged_in.broker
    first = broker.add_event()
    second = dict(broker.add_event(), eventId=2)
    broker.add_event()
    pages = iter([{"events": [first, second], "hasMore": True}, second_page])
    broker.script("events", lambda ctx: loopback.Reply.json(next(pages)), lambda ctx: loopback.Reply.json(next(pages)))
    assert ids(events.get(type="container")) == [1, 2, 3]  # the third page is the broker's own
    assert [q["start"] for _, q in queries] == [0, 2, 3]


@pytest.mark.parametrize("stuck_page", [
    {"events": [{"eventId": 2}], "hasMore": True},   # the page from 3 repeats 2 as well
    {"events": [], "hasMore": True},
])
def test_a_page_from_above_the_highest_id_that_brings_nothing_ends_with_a_warning(logged_in, queries, events,
                                                                                 caplog, stuck_page):
    broker = logged_in.broker
    first, second = broker.add_event(), broker.add_event()
    pages = iter([{"events": [first, second], "hasMore": True}, {"events": [second], "hasMore": True},
                  dict(stuck_page, events=[second] if stuck_page["events"] else [])])
    broker.script("events", *[lambda ctx: loopback.Reply.json(next(pages))] * 3)
    assert ids(events.get(type="container")) == [1, 2]
    assert [q["start"] for _, q in queries] == [0, 2, 3]
    warnings = [r.getMessage() for r in caplog.records if r.name == EVENT_LOG and r.levelno == logging.WARNING]
    assert warnings == ["Event paging stopped: the page from 3 brought no new event."]


def test_first_page_that_is_empty_but_has_more_fails(logged_in, events):
    logged_in.broker.script("events", loopback.Reply.json({"events": [], "hasMore": True}))
    with pytest.raises(IndexError):
        events.get(type="container")


def test_schema_errors_are_logged_and_the_records_returned(logged_in, events, caplog):
    logged_in.broker.add_event()
    logged_in.broker.add_event(date="not a date")
    result = events.get(type="container")
    assert len(result) == 2
    warnings = [r.getMessage() for r in caplog.records if r.name == EVENT_LOG and r.levelno == logging.WARNING]
    assert len(warnings) == 1 and warnings[0].startswith("Schema load errors: ") and "date" in warnings[0]


def test_failed_page_passes_the_client_error_through(logged_in, events, sleeps):
    logged_in.broker.events_page_size = 1
    logged_in.broker.add_event()
    logged_in.broker.add_event()
    logged_in.broker.script("events", lambda ctx: None, 404)
    with pytest.raises(requests.HTTPError, match="  Request ID: "):
        events.get(type="container")
    logged_in.broker.script("events", *[502] * 10)
    with pytest.raises(logged_in.client.HttpServiceUnavailableError):
        events.get(type="container")
    assert len(sleeps) == 9


def test_trace_and_debug_lines(logged_in, events, caplog, debug_traces):
    logged_in.broker.add_event()
    result = events.get(type="container")
    lines = [r.getMessage() for r in caplog.records if r.name == EVENT_LOG]
    assert lines == [
        "get(, {'type': 'container'})",
        "Retrieving events: {'type': 'container'}",
        "Events: {}".format(result),
        "get(...) --> {}".format(result),
    ]


@pytest.fixture
def loaded(events, monkeypatch):
    """The event objects `get` hands to the schema, as they came."""
    handed = []

    class Schema(object):
        def __init__(self, many):
            assert many is True

        def load(self, objects):
            handed.append(list(objects))
            return types.SimpleNamespace(errors={}, data=objects)

    monkeypatch.setattr(events, "EventSchema", Schema)
    return handed


def event(event_id):
    return {"eventId": event_id, "action": "added", "type": "container"}


@pytest.mark.parametrize("pages, kept", [
    ([["9"], ["9", "10"]], ["9", "10"]),                       # ids as text: "10" sorts before "9"
    ([[5, 3], [3, 4, 6]], [5, 3, 4, 6]),                       # a page out of order
    ([[1], ["1", 1, 2]], [1, "1", 2]),                         # text and number are two ids
    ([[1, 1, 2], [2.0, 3]], [1, 2, 3]),                        # repeats within a page; 2.0 equals 2
    ([[[1], {"a": 1}], [[1], {"a": 1}, [2]]], [[1], {"a": 1}, [2]]),  # ids that do not hash
    ([[None], [None, 7]], [None, None, 7]),                    # events without an id are all kept
])
def test_only_true_repeats_are_dropped(logged_in, events, loaded, pages, kept):
    replies = [{"events": [event(i) for i in page], "hasMore": n < len(pages) - 1} for n, page in enumerate(pages)]
    logged_in.broker.script("events", *[lambda ctx, r=r: loopback.Reply.json(r) for r in replies])
    events.get(type="container")
    assert [e["eventId"] for e in loaded[0]] == kept
    assert logged_in.broker.pending("events") == []


def test_the_pages_are_fetched_as_the_user_logged_in_when_it_started(logged_in, events, monkeypatch):
    """Another thread logs Bob in between two pages: the next page is not asked for in his name."""
    from broker_fixtures import make_user

    broker, session, real = logged_in.broker, logged_in.session, logged_in.client
    broker.events_page_size = 1
    for _ in range(3):
        broker.add_event()
    bob = make_user()
    broker.register_user(bob)

    def get(path, **kwargs):
        reply = real.get(path, **kwargs)
        thread = threading.Thread(target=session.authenticate, args=(real, bob))
        thread.start()
        thread.join(20)
        return reply

    monkeypatch.setattr(logged_in.package, "client", types.SimpleNamespace(get=get))
    start = len(broker.log)
    with pytest.raises(RuntimeError, match="^<User {}> is no longer logged in".format(logged_in.user.id)):
        events.get(type="container")
    assert [(e.route, e.user) for e in broker.log[start:]] == [
        ("events", str(logged_in.user.id)), ("time", None), ("login", None)]
    # Outside the call nothing stays bound: Bob's own retrieval goes out as Bob.
    monkeypatch.setattr(logged_in.package, "client", real)
    assert len(events.get(type="container")) == 3
    assert broker.log[-1].user == str(bob.id)
