"""Comparing what a schema's load gives with the outcome recorded for it.

The golden tables of test_event.py and test_keys.py were recorded when the loaders ran on
marshmallow 2.21. An outcome is written as the pair (data, errors) the load returned, or as
the exception it raised. The two sides compare in their `strict` forms, since == alone takes
values apart that the record tells apart: 1 and True, text and bytes, an OrderedDict and a
dict, two datetimes of one instant in different zones.
"""


def strict(value):
    """`value` as a form whose == holds only for values of the same type that print the same.

    Lists and tuples keep their order. A dict compares by its items in any order: marshmallow 2
    walked the fields in an order that changed between runs, so no order was recorded.
    """
    if type(value) is dict:
        return {strict(k): strict(v) for k, v in value.items()}
    if type(value) is list:
        return [strict(v) for v in value]
    if type(value) is tuple:
        return tuple, [strict(v) for v in value]
    return type(value), repr(value)


def outcome(load, describe=lambda data: data):
    """What `load()` gives, strict: (data, errors), the data first passed through `describe`, or
    the class and message of the exception that escaped it."""
    try:
        result = load()
    except Exception as exc:  # what escaped the load is part of the record too
        return type(exc), str(exc)
    data, errors = result
    assert result.data is data and result.errors is errors
    return strict(describe(data)), strict(errors)


def recorded(expected):
    """A recorded outcome, (data, errors) or an exception, in the form that `outcome` gives."""
    if isinstance(expected, BaseException):
        return type(expected), str(expected)
    data, errors = expected
    return strict(data), strict(errors)
