import pytest

from norvo.permissions import DEFAULT_RECIP_PERMISSIONS, Permissions

ALL = ("container.download|container.decrypt|container.upload|container.access_events|"
       "container.type.view|container.type.modify|access.view|access.modify")

# (flag path, bit) in the order the text form prints them, which is not bit order.
FLAGS = [
    ("container.download", 0),
    ("container.decrypt", 1),
    ("container.upload", 2),
    ("container.access_events", 7),
    ("container.type.view", 6),
    ("container.type.modify", 5),
    ("access.view", 3),
    ("access.modify", 4),
]


def flag(p, path):
    obj = p
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.mark.parametrize("path,bit", FLAGS)
def test_each_flag_has_its_bit(path, bit):
    p = Permissions(value=1 << bit)
    assert [name for name, _ in FLAGS if flag(p, name)] == [path]
    assert flag(p, path) is True
    assert int(p) == 1 << bit
    assert repr(p) == "<Permission(%s) int=%d>" % (path, 1 << bit)


@pytest.mark.parametrize("value,text", [
    (255, "<Permission(%s) int=255>" % ALL),
    (0, "<Permission() int=0>"),
    (42, "<Permission(container.decrypt|container.type.modify|access.view) int=42>"),
    (139, "<Permission(container.download|container.decrypt|container.access_events|access.view) int=139>"),
    (8 | 32, "<Permission(container.type.modify|access.view) int=40>"),  # declaration order, not bit order
])
def test_text_forms(value, text):
    p = Permissions(value=value)
    assert repr(p) == text
    assert str(p) == text
    assert "{}".format(p) == text


def test_default_is_everything():
    p = Permissions()
    assert all(flag(p, path) is True for path, _ in FLAGS)
    assert int(p) == 255
    assert repr(p) == "<Permission(%s) int=255>" % ALL


def test_assigned_flags_show_in_every_form():
    p = Permissions()
    p.container.download = False
    p.container.decrypt = False
    assert int(p) == 252
    assert repr(p) == ("<Permission(container.upload|container.access_events|container.type.view|"
                       "container.type.modify|access.view|access.modify) int=252>")
    q = Permissions(value=0)
    q.access.view = True
    assert int(q) == 8 and repr(q) == "<Permission(access.view) int=8>"
    q.container.type.view = True
    assert q == 72


def test_every_integer_round_trips():
    for value in range(256):
        p = Permissions(value)
        assert int(p) == value
        assert int(Permissions(value=int(p))) == value
        assert p == Permissions(value=value)


@pytest.mark.parametrize("value,expected", [(256, 0), (511, 255), (-1, 255), (-256, 0), (1000, 1000 % 256), (True, 1)])
def test_only_bits_0_to_7_count(value, expected):
    assert int(Permissions(value=value)) == expected


@pytest.mark.parametrize("value", [None, 1.0, "255", b"\xff", Permissions()])
def test_non_integer_values_refused(value):
    with pytest.raises(TypeError):
        Permissions(value=value)


class Integral(object):
    """An integer type of another library: it has an exact integer form (`__index__`)."""

    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


def test_equality_by_integer_form():
    assert Permissions(value=139) == 139 and 139 == Permissions(value=139)
    assert Permissions() == Permissions(value=255)
    assert Permissions() != 254
    assert not (Permissions() != Permissions(value=255))
    assert Permissions(value=1) == True and Permissions(value=0) == False  # noqa: E712 (bool is an integer)
    assert Permissions() == Integral(255) and Permissions() != Integral(254)


@pytest.mark.parametrize("other", [None, "all", "255", 255.0, 255.9, b"\xff", [255], {"value": 255}, object()])
def test_values_without_an_integer_form_are_unequal(other):
    p = Permissions()
    assert (p == other) is False and (p != other) is True
    assert (other == p) is False and (other != p) is True


def test_found_among_values_of_other_types():
    assert DEFAULT_RECIP_PERMISSIONS in [None, "all", Permissions(value=139)]
    assert DEFAULT_RECIP_PERMISSIONS not in [None, "all", 139.0, Permissions(value=138)]
    assert [None, 1.5, 139].index(DEFAULT_RECIP_PERMISSIONS) == 2


def test_no_hash_and_always_true():
    with pytest.raises(TypeError):
        hash(Permissions())
    with pytest.raises(TypeError):
        {Permissions()}
    assert bool(Permissions(value=0)) is True


def test_default_recipient_permissions():
    assert int(DEFAULT_RECIP_PERMISSIONS) == 139
    assert repr(DEFAULT_RECIP_PERMISSIONS) == repr(Permissions(value=139))
    import norvo.permissions
    assert norvo.permissions.DEFAULT_RECIP_PERMISSIONS is DEFAULT_RECIP_PERMISSIONS


def test_class_surface():
    assert Permissions.__module__ == "norvo.permissions"
    assert Permissions.__repr__.__doc__ == "Prints the flags of all permissions that are set."
    assert [Permissions._container_download_bit, Permissions._container_decrypt_bit,
            Permissions._container_upload_bit, Permissions._access_view_bit, Permissions._access_modify_bit,
            Permissions._container_type_modify_bit, Permissions._container_type_view_bit,
            Permissions._container_access_events_bit] == list(range(8))
    p = Permissions(value=0)
    assert p._test_bit(5, 2) is True and p._test_bit(5, 1) is False
    # Each object owns fresh namespaces.
    a, b = Permissions(), Permissions()
    assert a.container is not b.container and a.container.type is not b.container.type


def test_broken_namespaces_raise_attribute_error():
    p = Permissions()
    p.custom = "ignored"
    p.container.extra = True  # extra attributes are ignored
    assert int(p) == 255
    del p.access.modify
    for conversion in (int, repr, lambda x: x == 255):
        with pytest.raises(AttributeError):
            conversion(p)
