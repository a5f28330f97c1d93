import datetime
import logging
import uuid

import attr
import marshmallow
import pytest

from norvo.event import Event, EventSchema

CONTAINER = uuid.UUID("0a4c2fb6-6c8b-4b4e-9f0e-4f5cf0a0e1d2")
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
