"""The modules' format objects: parse, build back, and build of records with odd fields."""

from .common import Violation, _format_errors, container_mod, ies_mod, strongbox_mod


_ODD_VALUES = (-1, 2**64, 2**64 - 1, 0, b"", b"\x00" * 17, "text", None, 1.5, [1])


def _formats():
    return (
        (ies_mod, "IESStruct"),
        (strongbox_mod, "KF"),
        (strongbox_mod, "KFSection"),
        (container_mod, "ContainerStruct"),
        (container_mod, "ContainerSectionStruct"),
        (container_mod, "ContainerKeysStruct"),
    )


def target_format_objects(data):
    """The modules' format objects: `parse` on arbitrary bytes, `build` of what it gave, and
    `build` of a record with one field changed to a value of the wrong kind or size."""
    if len(data) < 3:
        return
    module, name = _formats()[data[0] % len(_formats())]
    fmt = getattr(module, name)
    body = data[3:]
    try:
        record = fmt.parse(body)
    except _format_errors():
        return
    built = fmt.build(record)
    if not body.startswith(built):
        raise Violation(f"{name}: build(parse(data)) is not a prefix of data")
    if fmt.build(fmt.parse(built)) != built:
        raise Violation(f"{name}: parse and build do not round-trip")
    if module is container_mod:
        return  # declared with construct itself: building odd records is construct's business
    # One field of the record replaced; the build must give bytes or a format error.
    fields = [k for k in record.keys() if not str(k).startswith("_")]
    if not fields:
        return
    field = fields[data[1] % len(fields)]
    target = record
    sub = record[field]
    if hasattr(sub, "keys") and not isinstance(sub, (bytes, str)):
        inner = [k for k in sub.keys() if not str(k).startswith("_")]
        if inner:
            target, field = sub, inner[data[2] % len(inner)]
    target[field] = _ODD_VALUES[data[2] % len(_ODD_VALUES)]
    try:
        fmt.build(record)
    except _format_errors() + (TypeError,):
        pass
