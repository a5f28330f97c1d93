import datetime
import logging
import os
import time
import uuid
from collections import OrderedDict
from decimal import Decimal
from types import MappingProxyType

import attr
import marshmallow
import pytest
from dateutil.tz import tzlocal, tzoffset

from golden_loads import outcome, recorded
from norvo.event import Event, EventSchema

CONTAINER = uuid.UUID("0a4c2fb6-6c8b-4b4e-9f0e-4f5cf0a0e1d2")
U = str(CONTAINER)
OTHER_USER = uuid.UUID("7d3f4a1e-1111-4222-8333-944455556666")

OPTIONAL = {
    "changes": "changes",
    "clientAppName": "client_app_name",
    "containerExpiredAt": "container_expired_at",
    "containerId": "container_id",
    "containerModifiedAt": "container_modified_at",
    "containerType": "container_type",
    "relatedUserId": "related_user_id",
}
MANDATORY = {"action": "action", "eventId": "id", "date": "date", "type": "type"}


def wire(**overrides):
    obj = {
        "action": "updated",
        "eventId": 17,
        "changes": {"type": "notes"},
        "clientAppName": "desk",
        "containerExpiredAt": None,
        "containerId": str(CONTAINER),
        "containerModifiedAt": "2024-05-01T10:00:00+00:00",
        "containerType": "notes",
        "date": "2024-05-01T10:00:01.250000+00:00",
        "relatedUserId": str(OTHER_USER),
        "type": "container",
    }
    obj.update(overrides)
    return obj


def record(**overrides):
    values = dict(action="added", id=1, changes=None, client_app_name=None, container_expired_at=None,
                  container_id=None, container_modified_at=None, container_type=None,
                  date=datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc), related_user_id=None,
                  type="container")
    values.update(overrides)
    return Event(**values)


def load(objects):
    return EventSchema(many=True).load(objects)


def test_full_object_loads_into_a_record():
    data, errors = load([wire(extra="ignored", containerModifiedAt=None, changes=None)])
    assert errors == {}
    (event,) = data
    assert type(event) is Event
    assert event.action == "updated" and event.id == 17 and event.type == "container"
    assert event.changes is None and event.container_modified_at is None
    assert event.client_app_name == "desk" and event.container_type == "notes"
    assert event.container_id == CONTAINER and event.related_user_id == OTHER_USER
    assert isinstance(event.date, datetime.datetime)
    assert event.date.utcoffset() == datetime.timedelta(0) and event.date.microsecond == 250000
    assert not hasattr(event, "extra")


def test_values_are_converted():
    data, errors = load([wire(eventId="23", relatedUserId=None, containerExpiredAt="2024-06-01T00:00:00+02:00")])
    assert errors == {}
    event = data[0]
    assert event.id == 23 and event.related_user_id is None
    assert event.container_expired_at.utcoffset() == datetime.timedelta(hours=2)
    assert event.changes == {"type": "notes"}


def test_attribute_name_wins_over_wire_key():
    data, _ = load([dict((k, v) for k, v in wire().items() if k != "eventId") | {"id": 5}])
    assert data[0].id == 5
    data, _ = load([wire(id=6, eventId=7)])
    assert data[0].id == 6


@pytest.mark.parametrize("key,attribute", sorted(OPTIONAL.items()))
def test_absent_optional_key_loads_as_none(key, attribute):
    # Whether the broker sends such a key depends on the application's settings.
    obj = wire()
    del obj[key]
    data, errors = load([obj, wire(eventId=18)])
    assert errors == {}
    assert [type(e) for e in data] == [Event, Event]
    assert getattr(data[0], attribute) is None
    assert data[1].id == 18


@pytest.mark.parametrize("bad", [
    {"action": None}, {"eventId": None}, {"date": None}, {"type": None},
    {"eventId": "seventeen"}, {"date": "yesterday"}, {"containerId": "not-a-uuid"}, {"changes": [1, 2]},
    {"action": 5},
] + [{"drop": key} for key in MANDATORY])
def test_bad_object_stops_records_for_the_whole_load(bad, caplog):
    obj = wire()
    if "drop" in bad:
        key = bad["drop"]
        del obj[key]
    else:
        obj.update(bad)
        (key,) = bad
    with caplog.at_level(logging.DEBUG):
        data, errors = load([wire(eventId=1), obj])
    # Errors are reported under the key the broker uses.
    assert list(errors) == [1] and list(errors[1]) == [key]
    # No object of that load became a record: the loaded values come back as plain mappings.
    assert all(isinstance(d, dict) for d in data)
    assert data[0]["id"] == 1 and (MANDATORY.get(key) or OPTIONAL[key]) not in data[1]
    # Reporting the errors is the caller's business: loading writes no log line.
    assert caplog.records == []


def test_non_mapping_object_is_an_error_not_a_crash():
    data, errors = load([wire(), "event", None])
    assert {1, 2, "_schema"} == set(errors)
    assert not isinstance(data[0], Event)


def test_make_event_hook():
    schema = EventSchema()
    assert schema.make_event(attr.asdict(record())) == record()
    with pytest.raises(TypeError):
        schema.make_event(None)
    with pytest.raises(TypeError):
        schema.make_event({"action": "added"})
    single, errors = schema.load(wire())
    assert errors == {} and type(single) is Event


def test_record_equality_order_and_text():
    assert record() == record() and not (record() != record())
    assert record(changes={"a": 1}) != record(changes={"a": 2})
    assert record() != attr.astuple(record())
    Sub = type("Sub", (Event,), {})
    assert record() != Sub(**attr.asdict(record()))
    events = [record(action="updated", id=1), record(action="added", id=9), record(action="added", id=2),
              record(action="deleted", id=3), record(action="accessed", id=7)]
    assert [(e.action, e.id) for e in sorted(events)] == [
        ("accessed", 7), ("added", 2), ("added", 9), ("deleted", 3), ("updated", 1)]
    with pytest.raises(TypeError):
        record() < 5
    with pytest.raises(TypeError):
        hash(record())
    e = record(container_id=CONTAINER)
    assert repr(e) == (
        "Event(action='added', id=1, changes=None, client_app_name=None, container_expired_at=None, "
        "container_id=UUID('0a4c2fb6-6c8b-4b4e-9f0e-4f5cf0a0e1d2'), container_modified_at=None, "
        "container_type=None, date=datetime.datetime(2024, 1, 1, 0, 0, tzinfo=datetime.timezone.utc), "
        "related_user_id=None, type='container')")
    e.type = "strongbox"
    assert e.type == "strongbox"


def test_classes_come_from_their_libraries():
    import norvo.event
    assert attr.has(Event) and [a.name for a in attr.fields(Event)][:2] == ["action", "id"]
    assert issubclass(EventSchema, marshmallow.Schema)
    assert Event.__module__ == EventSchema.__module__ == "norvo.event"
    assert norvo.event.log.name == "norvo.event"
    with pytest.raises(TypeError):
        Event("added", 1)


# ---------------------------------------------------------------- golden loads
#
# What the loader gave for each input when it ran on marshmallow 2.21, recorded before the
# move to our own version-2 layer on a current marshmallow (golden_loads.py compares them):
# the (data, errors) pair that the load returned, or the exception that it raised. The data
# holds records, or plain mappings of the loaded values where the load reported errors.


class _Absent:
    def __repr__(self):
        return "ABSENT"


ABSENT = _Absent()
BASE_WIRE = {"action": "added", "eventId": 17, "date": "2024-01-01T00:00:00", "type": "container"}
BASE_VALUES = dict(action="added", id=17, changes=None, client_app_name=None, container_expired_at=None,
                   container_id=None, container_modified_at=None, container_type=None,
                   date=datetime.datetime(2024, 1, 1), related_user_id=None, type="container")


def with_key(key, value):
    obj = dict(BASE_WIRE)
    if value is ABSENT:
        obj.pop(key, None)
    else:
        obj[key] = value
    return obj


def event(**changes):
    """The record that BASE_WIRE loads into, with these attributes changed."""
    return Event(**dict(BASE_VALUES, **changes))


def values_without(*names):
    """The values that BASE_WIRE loads to, without the named ones."""
    return {name: value for name, value in BASE_VALUES.items() if name not in names}


@pytest.fixture
def utc_zone():
    """dateutil reads a zone that matches the machine's own as tzlocal(); the golden loads ran
    on a machine set to UTC."""
    old = os.environ.get("TZ")
    os.environ["TZ"] = "UTC"
    time.tzset()
    yield
    if old is None:
        del os.environ["TZ"]
    else:
        os.environ["TZ"] = old
    time.tzset()


# (wire key, value or ABSENT, outcome of loading BASE_WIRE with that value under that key)
EVENT_FIELD_LOADS = [
    ('action', "accessed", ([event(action="accessed")], {})),
    ('action', "", ([event(action="")], {})),
    ('action', "  padded\t", ([event(action="  padded\t")], {})),
    ('action', "\u00e9t\u00e9", ([event(action="\u00e9t\u00e9")], {})),
    ('action', b"updated", ([event(action="updated")], {})),
    ('action', b"\xff", ([values_without("action")], {0: {"action": ["Not a valid utf-8 string."]}})),
    ('action', bytearray(b"added"), ([values_without("action")], {0: {"action": ["Not a valid string."]}})),
    ('action', 5, ([values_without("action")], {0: {"action": ["Not a valid string."]}})),
    ('action', True, ([values_without("action")], {0: {"action": ["Not a valid string."]}})),
    ('action', ["added"], ([values_without("action")], {0: {"action": ["Not a valid string."]}})),
    ('action', None, ([values_without("action")], {0: {"action": ["Field may not be null."]}})),
    ('action', ABSENT, ([values_without("action")], {0: {"action": ["Missing data for required field."]}})),
    ('clientAppName', "desk", ([event(client_app_name="desk")], {})),
    ('clientAppName', b"desk", ([event(client_app_name="desk")], {})),
    ('clientAppName', 1.5,
        ([values_without("client_app_name")], {0: {"clientAppName": ["Not a valid string."]}})),
    ('clientAppName', None, ([event()], {})),
    ('clientAppName', ABSENT, ([event()], {})),
    ('containerType', "notes", ([event(container_type="notes")], {})),
    ('containerType', {},
        ([values_without("container_type")], {0: {"containerType": ["Not a valid string."]}})),
    ('containerType', None, ([event()], {})),
    ('type', "strongbox", ([event(type="strongbox")], {})),
    ('type', 0, ([values_without("type")], {0: {"type": ["Not a valid string."]}})),
    ('type', None, ([values_without("type")], {0: {"type": ["Field may not be null."]}})),
    ('type', ABSENT, ([values_without("type")], {0: {"type": ["Missing data for required field."]}})),
    ('eventId', 23, ([event(id=23)], {})),
    ('eventId', 0, ([event(id=0)], {})),
    ('eventId', -5, ([event(id=-5)], {})),
    ('eventId', "23", ([event(id=23)], {})),
    ('eventId', " 42\n", ([event(id=42)], {})),
    ('eventId', "4_2", ([event(id=42)], {})),
    ('eventId', "+7", ([event(id=7)], {})),
    ('eventId', "\u0663", ([event(id=3)], {})),
    ('eventId', b"7", ([event(id=7)], {})),
    ('eventId', True, ([event(id=1)], {})),
    ('eventId', False, ([event(id=0)], {})),
    ('eventId', 1.9, ([event(id=1)], {})),
    ('eventId', -3.5, ([event(id=-3)], {})),
    ('eventId', float("nan"), ([values_without("id")], {0: {"eventId": ["Not a valid integer."]}})),
    ('eventId', float("inf"), ([values_without("id")], {0: {"eventId": ["Number too large."]}})),
    ('eventId', 10 ** 30, ([event(id=1000000000000000000000000000000)], {})),
    ('eventId', "1e3", ([values_without("id")], {0: {"eventId": ["Not a valid integer."]}})),
    ('eventId', "1.0", ([values_without("id")], {0: {"eventId": ["Not a valid integer."]}})),
    ('eventId', "", ([values_without("id")], {0: {"eventId": ["Not a valid integer."]}})),
    ('eventId', "seventeen", ([values_without("id")], {0: {"eventId": ["Not a valid integer."]}})),
    ('eventId', [], ([values_without("id")], {0: {"eventId": ["Not a valid integer."]}})),
    ('eventId', {}, ([values_without("id")], {0: {"eventId": ["Not a valid integer."]}})),
    ('eventId', "9" * 5000, ([values_without("id")], {0: {"eventId": ["Not a valid integer."]}})),
    ('eventId', Decimal("2.5"), ([event(id=2)], {})),
    ('eventId', None, ([values_without("id")], {0: {"eventId": ["Field may not be null."]}})),
    ('eventId', ABSENT, ([values_without("id")], {0: {"eventId": ["Missing data for required field."]}})),
    ('changes', {"type": "notes", "n": [1]}, ([event(changes={"type": "notes", "n": [1]})], {})),
    ('changes', {}, ([event(changes={})], {})),
    ('changes', OrderedDict(a=1), ([event(changes=OrderedDict(a=1))], {})),
    ('changes', MappingProxyType({"a": 1}), ([event(changes=MappingProxyType({"a": 1}))], {})),
    ('changes', [], ([values_without("changes")], {0: {"changes": ["Not a valid mapping type."]}})),
    ('changes', [("a", 1)], ([values_without("changes")], {0: {"changes": ["Not a valid mapping type."]}})),
    ('changes', "a=1", ([values_without("changes")], {0: {"changes": ["Not a valid mapping type."]}})),
    ('changes', 5, ([values_without("changes")], {0: {"changes": ["Not a valid mapping type."]}})),
    ('changes', None, ([event()], {})),
    ('changes', ABSENT, ([event()], {})),
    ('date', "2024-05-01T10:00:00Z",
        ([event(date=datetime.datetime(2024, 5, 1, 10, 0, tzinfo=tzlocal()))], {})),
    ('date', "2024-05-01T10:00:00+00:00",
        ([event(date=datetime.datetime(2024, 5, 1, 10, 0, tzinfo=tzlocal()))], {})),
    ('date', "2024-05-01T10:00:00-00:00",
        ([event(date=datetime.datetime(2024, 5, 1, 10, 0, tzinfo=tzlocal()))], {})),
    ('date', "2024-05-01T10:00:00+02:00",
        ([event(date=datetime.datetime(2024, 5, 1, 10, 0, tzinfo=tzoffset(None, 7200)))], {})),
    ('date', "2024-05-01T10:00:00-0530",
        ([event(date=datetime.datetime(2024, 5, 1, 10, 0, tzinfo=tzoffset(None, -19800)))], {})),
    ('date', "2024-05-01T10:00:00+05",
        ([event(date=datetime.datetime(2024, 5, 1, 10, 0, tzinfo=tzoffset(None, 18000)))], {})),
    ('date', "2024-05-01T10:00:00+0", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "2024-05-01T10:00:00+05:3",
        ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "2024-05-01T10:00:00 +02:00",
        ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "2024-05-01T10:00:00", ([event(date=datetime.datetime(2024, 5, 1, 10, 0))], {})),
    ('date', "2024-05-01 10:00:00", ([event(date=datetime.datetime(2024, 5, 1, 10, 0))], {})),
    ('date', "2024-05-01T10:00", ([event(date=datetime.datetime(2024, 5, 1, 10, 0))], {})),
    ('date', "2024-05-01T10:00Z", ([event(date=datetime.datetime(2024, 5, 1, 10, 0, tzinfo=tzlocal()))], {})),
    ('date', "2024-5-1T1:2", ([event(date=datetime.datetime(2024, 5, 1, 1, 2))], {})),
    ('date', "2024-05-01T10:00:00.5", ([event(date=datetime.datetime(2024, 5, 1, 10, 0, 0, 500000))], {})),
    ('date', "2024-05-01T10:00:00.250000+00:00",
        ([event(date=datetime.datetime(2024, 5, 1, 10, 0, 0, 250000, tzinfo=tzlocal()))], {})),
    ('date', "2024-05-01T10:00:00.1234567Z",
        ([event(date=datetime.datetime(2024, 5, 1, 10, 0, 0, 123456, tzinfo=tzlocal()))], {})),
    ('date', "2024-05-01T10:00:00.123456789012Z",
        ([event(date=datetime.datetime(2024, 5, 1, 10, 0, 0, 123456, tzinfo=tzlocal()))], {})),
    ('date', "2024-05-01T10:00:00.1234567890123Z",
        ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "2024-05-01T10:00:00.", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "2024-05-01T10:00:00,5", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "2024-05-01", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "20240501T100000Z", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "2024-05-01T10:00:00z", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "2024-05-01t10:00:00", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "2024-05-01T10:00:00\n", ([event(date=datetime.datetime(2024, 5, 1, 10, 0))], {})),
    ('date', " 2024-05-01T10:00:00", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "2024-05-01T10:00:00 ", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "2024-13-01T10:00:00", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "2024-02-30T10:00:00", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "2024-05-01T24:00:00", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "2024-05-01T10:60:00", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "2024-05-01T10:00:60", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "0000-01-01T00:00:00", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "9999-12-31T23:59:59-23:59",
        ([event(date=datetime.datetime(9999, 12, 31, 23, 59, 59, tzinfo=tzoffset(None, -86340)))], {})),
    ('date', "2024-05-01T10:00:00+25:00",
        ([event(date=datetime.datetime(2024, 5, 1, 10, 0, tzinfo=tzoffset(None, 90000)))], {})),
    ('date', "\u0662\u0660\u0662\u0664-05-01T10:00:00",
        ([event(date=datetime.datetime(2024, 5, 1, 10, 0))], {})),
    ('date', "2024-05-01T10:00:00 UTC", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "Wed, 01 May 2024 10:00:00 GMT",
        ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "yesterday", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', "", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', 0, ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', 1714557600, ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', 1.5, ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', b"2024-05-01T10:00:00Z", ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', datetime.datetime(2024, 5, 1, 10, 0),
        ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', datetime.date(2024, 5, 1), ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', True, ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', ["2024-05-01T10:00:00Z"], ([values_without("date")], {0: {"date": ["Not a valid datetime."]}})),
    ('date', None, ([values_without("date")], {0: {"date": ["Field may not be null."]}})),
    ('date', ABSENT, ([values_without("date")], {0: {"date": ["Missing data for required field."]}})),
    ('containerExpiredAt', "2024-06-01T00:00:00+02:00",
        ([event(container_expired_at=datetime.datetime(2024, 6, 1, 0, 0, tzinfo=tzoffset(None, 7200)))], {})),
    ('containerExpiredAt', "2024-06-01",
        ([values_without("container_expired_at")], {0: {"containerExpiredAt": ["Not a valid datetime."]}})),
    ('containerExpiredAt', "",
        ([values_without("container_expired_at")], {0: {"containerExpiredAt": ["Not a valid datetime."]}})),
    ('containerExpiredAt', None, ([event()], {})),
    ('containerExpiredAt', ABSENT, ([event()], {})),
    ('containerModifiedAt', "2024-06-01T00:00:00.5-01:30",
        ([event(container_modified_at=datetime.datetime(2024, 6, 1, 0, 0, 0, 500000, tzinfo=tzoffset(None, -5400)))],
         {})),
    ('containerModifiedAt', None, ([event()], {})),
    ('containerId', U, ([event(container_id=uuid.UUID(U))], {})),
    ('containerId', U.upper(), ([event(container_id=uuid.UUID(U))], {})),
    ('containerId', U.replace("-", ""), ([event(container_id=uuid.UUID(U))], {})),
    ('containerId', "{" + U + "}", ([event(container_id=uuid.UUID(U))], {})),
    ('containerId', "urn:uuid:" + U, ([event(container_id=uuid.UUID(U))], {})),
    ('containerId', "URN:UUID:" + U,
        ([values_without("container_id")], {0: {"containerId": ["Not a valid UUID."]}})),
    ('containerId', "0a4c2fb6-6c8b4b4e-9f0e4f5cf0a0e1d2", ([event(container_id=uuid.UUID(U))], {})),
    ('containerId', " " + U, ([values_without("container_id")], {0: {"containerId": ["Not a valid UUID."]}})),
    ('containerId', U + "\n",
        ([values_without("container_id")], {0: {"containerId": ["Not a valid UUID."]}})),
    ('containerId', U[:-1], ([values_without("container_id")], {0: {"containerId": ["Not a valid UUID."]}})),
    ('containerId', U[:-1] + "g",
        ([values_without("container_id")], {0: {"containerId": ["Not a valid UUID."]}})),
    ('containerId', "not-a-uuid",
        ([values_without("container_id")], {0: {"containerId": ["Not a valid UUID."]}})),
    ('containerId', "", ([values_without("container_id")], {0: {"containerId": ["Not a valid UUID."]}})),
    ('containerId', uuid.UUID(U), ([event(container_id=uuid.UUID(U))], {})),
    ('containerId', uuid.UUID(U).bytes, TypeError("a bytes-like object is required, not 'str'")),
    ('containerId', U.encode(), TypeError("a bytes-like object is required, not 'str'")),
    ('containerId', uuid.UUID(U).int,
        ([values_without("container_id")], {0: {"containerId": ["Not a valid UUID."]}})),
    ('containerId', [U], ([values_without("container_id")], {0: {"containerId": ["Not a valid UUID."]}})),
    ('containerId', None, ([event()], {})),
    ('containerId', ABSENT, ([event()], {})),
    ('relatedUserId', U.replace("-", ""), ([event(related_user_id=uuid.UUID(U))], {})),
    ('relatedUserId', "x",
        ([values_without("related_user_id")], {0: {"relatedUserId": ["Not a valid UUID."]}})),
    ('relatedUserId', None, ([event()], {})),
    ('relatedUserId', ABSENT, ([event()], {})),
]

# (case, load, outcome)
EVENT_WHOLE_LOADS = [
    ('base object', lambda: EventSchema(many=True).load([BASE_WIRE]),
        ([event()], {})),
    ('every key present', lambda: EventSchema(many=True).load([dict(
        BASE_WIRE, changes={"type": "notes"}, clientAppName="desk", containerExpiredAt="2024-06-01T00:00:00+02:00",
        containerId=U, containerModifiedAt="2024-05-01T10:00:00Z", containerType="notes", relatedUserId=U.upper())]),
        ([event(changes={"type": "notes"}, client_app_name="desk",
                container_expired_at=datetime.datetime(2024, 6, 1, 0, 0, tzinfo=tzoffset(None, 7200)),
                container_id=uuid.UUID(U),
                container_modified_at=datetime.datetime(2024, 5, 1, 10, 0, tzinfo=tzlocal()),
                container_type="notes", related_user_id=uuid.UUID(U))], {})),
    ('attribute names only', lambda: EventSchema(many=True).load([{
        "action": "added", "id": 2, "changes": {}, "client_app_name": "desk", "container_expired_at": "2024-06-01T00:00:00Z",
        "container_id": U, "container_modified_at": None, "container_type": "notes", "date": "2024-01-01T00:00:00",
        "related_user_id": U, "type": "container"}]),
        ([event(id=2, changes={}, client_app_name="desk",
                container_expired_at=datetime.datetime(2024, 6, 1, 0, 0, tzinfo=tzlocal()),
                container_id=uuid.UUID(U), container_type="notes", related_user_id=uuid.UUID(U))], {})),
    ('attribute name beside the wire key', lambda: EventSchema(many=True).load([dict(BASE_WIRE, id=6, eventId=7)]),
        ([event(id=6)], {})),
    ('attribute name null beside the wire key', lambda: EventSchema(many=True).load([dict(BASE_WIRE, id=None, eventId=7)]),
        ([values_without("id")], {0: {"id": ["Field may not be null."]}})),
    ('bad attribute name beside the wire key', lambda: EventSchema(many=True).load([dict(BASE_WIRE, id="x", eventId=7)]),
        ([values_without("id")], {0: {"id": ["Not a valid integer."]}})),
    ('optional attribute name beside the wire key', lambda: EventSchema(many=True).load([dict(BASE_WIRE, container_id=None, containerId=U)]),
        ([event()], {})),
    ('unknown keys', lambda: EventSchema(many=True).load([dict(BASE_WIRE, extra=1, Action="x", eventid=9, _schema=2)]),
        ([event()], {})),
    ('empty list', lambda: EventSchema(many=True).load([]),
        ([], {})),
    ('mixed good and bad objects', lambda: EventSchema(many=True).load([BASE_WIRE, with_key("eventId", "x"), with_key("date", ABSENT), dict(BASE_WIRE, containerId="bad", changes=[1], action=None)]),
        ([values_without(), values_without("id"), values_without("date"),
          values_without("action", "changes", "container_id")],
         {1: {"eventId": ["Not a valid integer."]}, 2: {"date": ["Missing data for required field."]},
          3: {"action": ["Field may not be null."], "changes": ["Not a valid mapping type."],
              "containerId": ["Not a valid UUID."]}})),
    ('objects that are not mappings', lambda: EventSchema(many=True).load([BASE_WIRE, "event", None, 5, [BASE_WIRE]]),
        ([values_without(), None, None, None, None],
         {"_schema": ["Invalid input type."] * 4, 1: {}, 2: {}, 3: {}, 4: {}})),
    ('a mapping that is not a dict', lambda: EventSchema(many=True).load([MappingProxyType(BASE_WIRE)]),
        ([event()], {})),
    ('tuple', lambda: EventSchema(many=True).load((BASE_WIRE, with_key("eventId", 2))),
        ([event(), event(id=2)], {})),
    ('generator', lambda: EventSchema(many=True).load(with_key("eventId", i) for i in (3, 4)),
        ([event(id=3), event(id=4)], {})),
    ('dict for many', lambda: EventSchema(many=True).load(BASE_WIRE),
        ([], {"_schema": ["Invalid input type."]})),
    ('text for many', lambda: EventSchema(many=True).load("events"),
        ([], {"_schema": ["Invalid input type."]})),
    ('bytes for many', lambda: EventSchema(many=True).load(b"events"),
        ([], {"_schema": ["Invalid input type."]})),
    ('integer for many', lambda: EventSchema(many=True).load(5),
        ([], {"_schema": ["Invalid input type."]})),
    ('None for many', lambda: EventSchema(many=True).load(None),
        (None, {"_schema": ["Invalid input type."]})),
    ('one object', lambda: EventSchema().load(BASE_WIRE),
        (event(), {})),
    ('one bad object', lambda: EventSchema().load(dict(BASE_WIRE, eventId="x", date=None)),
        (values_without("id", "date"), {"date": ["Field may not be null."], "eventId": ["Not a valid integer."]})),
    ('one object, a list', lambda: EventSchema().load([BASE_WIRE]),
        (None, {"_schema": ["Invalid input type."]})),
    ('one object, None', lambda: EventSchema().load(None),
        (None, {"_schema": ["Invalid input type."]})),
    ('one object, text', lambda: EventSchema().load("event"),
        (None, {"_schema": ["Invalid input type."]})),
    ('many given to load', lambda: EventSchema().load([BASE_WIRE], many=True),
        ([event()], {})),
    ('many=False given to load', lambda: EventSchema(many=True).load(BASE_WIRE, many=False),
        (event(), {})),
    ('partial load of an object without a mandatory key', lambda: EventSchema(many=True).load([with_key("date", ABSENT)], partial=True),
        TypeError("Event.__init__() missing 8 required positional arguments: 'changes', 'client_app_name', "
                  "'container_expired_at', 'container_id', 'container_modified_at', 'container_type', 'date', "
                  "and 'related_user_id'")),
    ('partial load by field names', lambda: EventSchema(many=True).load([with_key("eventId", ABSENT)], partial=("id",)),
        TypeError("Event.__init__() missing 1 required positional argument: 'id'")),
    ('partial load of other fields', lambda: EventSchema(many=True).load([with_key("eventId", ABSENT)], partial=("date",)),
        ([values_without("id")], {0: {"eventId": ["Missing data for required field."]}})),
]


@pytest.mark.parametrize("key,value,expected", EVENT_FIELD_LOADS,
                         ids=["%s=%.30r" % (key, value) for key, value, _ in EVENT_FIELD_LOADS])
def test_golden_field_loads(utc_zone, key, value, expected):
    assert outcome(lambda: EventSchema(many=True).load([with_key(key, value)])) == recorded(expected)


@pytest.mark.parametrize("load,expected", [case[1:] for case in EVENT_WHOLE_LOADS],
                         ids=[case[0] for case in EVENT_WHOLE_LOADS])
def test_golden_whole_loads(utc_zone, load, expected):
    assert outcome(load) == recorded(expected)


def test_golden_validate_and_result():
    # validate reports what load would, and builds no record.
    assert EventSchema(many=True).validate([BASE_WIRE, with_key("eventId", "x")]) == {
        1: {"eventId": ["Not a valid integer."]}}
    assert EventSchema(many=True).validate([with_key("eventId", 2)]) == {}
    # The result is a pair whose members are also named, as marshmallow 2's UnmarshalResult.
    result = EventSchema(many=True).load([BASE_WIRE])
    assert isinstance(result, tuple) and len(result) == 2 and type(result).__name__ == "UnmarshalResult"
    assert result == (result.data, result.errors)
