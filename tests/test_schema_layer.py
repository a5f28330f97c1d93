"""The version-2 loading layer on marshmallow 4 (norvo._schema), beyond what the two schemas'
golden loads show: the hook calling convention, the key lookup and the classes it makes."""
import marshmallow
import pytest

from norvo import _schema
from norvo.crypto.keys import KeyRingSchema
from norvo.event import EventSchema


def make_schema(calls):
    class Probe(_schema.Schema):
        n = _schema.Int(load_from="N")
        label = _schema.Str(attribute="name", required=True)
        hidden = _schema.Str(dump_only=True)

        # Positional-only: marshmallow 4 itself would pass `many` (and more) by keyword.
        @_schema.pre_load(pass_many=True)
        def whole_before(self, data, many, /):
            calls.append(("pre", many))

        @_schema.pre_load
        def each_before(self, item, /):
            calls.append(("pre item", dict(item)))
            if "label" in item:
                return dict(item, label=item["label"].upper())

        @_schema.post_load(pass_many=True, pass_original=True)
        def whole_after(self, data, many, original, /):
            calls.append(("post", many, len(original)))

        @_schema.post_load
        def each_after(self, item, /):
            calls.append(("post item", item))

    return Probe


def test_hooks_run_as_marshmallow_2_ran_them():
    calls = []
    Probe = make_schema(calls)
    data, errors = Probe(many=True).load([{"N": "3", "label": "a", "hidden": "x", "other": 1}])
    assert errors == {}
    # A hook's None keeps the data it was given; collection hooks run before per-object ones,
    # before loading and after it alike.
    assert data == [{"n": 3, "name": "A"}]
    assert calls == [("pre", True), ("pre item", {"N": "3", "label": "a", "hidden": "x", "other": 1}),
                     ("post", True, 1), ("post item", {"n": 3, "name": "A"})]

    calls.clear()
    data, errors = Probe(many=True).load([{"N": "x", "label": "b"}, {}])
    # With any error no post-load hook runs; errors name the key that was read.
    assert errors == {0: {"N": ["Not a valid integer."]}, 1: {"label": ["Missing data for required field."]}}
    assert data == [{"name": "B"}, {}] and [c[0] for c in calls] == ["pre", "pre item", "pre item"]


def test_attribute_name_is_read_before_the_wire_key():
    Probe = make_schema([])
    schema = Probe()
    assert schema.load({"n": 1, "N": 2, "label": "x"}).data == {"n": 1, "name": "X"}
    assert schema.load({"n": None, "N": 2, "label": "x"}).errors == {"n": ["Field may not be null."]}
    # partial skips absent fields by name.
    assert schema.load({}, partial=("label",)) == ({}, {})
    assert schema.load({}).errors == {"label": ["Missing data for required field."]}


def test_fields_keep_version_2_conversions():
    assert _schema.Str is _schema.String and _schema.Int is _schema.Integer and _schema.Bool is _schema.Boolean
    for name in ("Raw", "String", "Integer", "Boolean", "DateTime", "UUID", "Dict"):
        assert issubclass(getattr(_schema, name), getattr(marshmallow.fields, name))
    mapping = {"a": 1}
    assert _schema.Dict().deserialize(mapping) is mapping
    assert type(_schema.Str().deserialize(type("Text", (str,), {})("x"))) is str
    assert _schema.Bool().deserialize("T") is True
    with pytest.raises(marshmallow.ValidationError, match="Not a valid boolean"):
        _schema.Bool().deserialize("on")
    assert _schema.Int(load_from="eventId").load_from == "eventId"
    with pytest.raises(TypeError):
        _schema.Int("eventId")


def test_schemas_are_marshmallow_schemas_with_their_hooks():
    for schema in (EventSchema, KeyRingSchema):
        assert issubclass(schema, _schema.Schema) and issubclass(schema, marshmallow.Schema)
        assert type(schema) is type(marshmallow.Schema)
    assert [n for n, _, _ in EventSchema._hooks["post_load"]] == ["make_event"]
    assert {(n, many) for tag in ("pre_load", "post_load") for n, many, _ in KeyRingSchema._hooks[tag]} == {
        ("make_dict", True), ("make_key_ring", True)}


def test_validators_are_refused():
    class Checked(_schema.Schema):
        n = _schema.Int()

        @marshmallow.validates_schema
        def check(self, data, **kwargs):
            pass

    with pytest.raises(NotImplementedError):
        Checked().load({"n": 1})
