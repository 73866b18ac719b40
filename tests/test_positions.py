"""Node positions: computing them, resolving them, and looking nodes up by position."""

import collections

import pytest

from helpers import TupleSub, arg_type_error, load
from tamarack.pugixml import Document, Element, NodeType

# Kept children of r: a, the CDATA section, b, c. Text, the comment and the
# processing instruction never count.
MIXED = "<r><a><x/><y/></a>t<![CDATA[cd]]><b/><!--c--><?pi x?>u<c><z/></c></r>"
# Kept children of r: p, q, s.
FLAT = "<r><p/>text<q/><s/></r>"

Pair = collections.namedtuple("Pair", "first second")


class Index:
    """A number that knows nothing but __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.fixture
def text():
    return FLAT


def elements_by_name(root):
    return {e.name: e for e in root.walk()}


@pytest.mark.parametrize(
    "exclusions, expected",
    [
        (
            (),
            {"r": (0,), "a": (0, 0), "x": (0, 0, 0), "y": (0, 0, 1), "": (0, 1),
             "b": (0, 2), "c": (0, 3), "z": (0, 3, 0)},
        ),
        (
            (NodeType.NODE_CDATA,),
            {"r": (0,), "a": (0, 0), "x": (0, 0, 0), "y": (0, 0, 1),
             "b": (0, 1), "c": (0, 2), "z": (0, 2, 0)},
        ),
    ],
    ids=["cdata-kept", "cdata-excluded"],
)
@pytest.mark.parametrize("text", [MIXED])
def test_node_position_counts_kept_children_only(root, expected):
    assert {e.name: e.node_position for e in root.walk()} == expected


@pytest.mark.parametrize("exclusions", [(), (NodeType.NODE_CDATA,)], ids=["cdata-kept", "cdata-excluded"])
@pytest.mark.parametrize("text", [MIXED])
def test_every_position_resolves_to_its_element_from_every_element(doc):
    elements = list(doc.get_root().walk())
    for e in elements:
        position = e.node_position
        assert doc.get_node_by_position(position) is e
        for x in elements:
            assert x.find_from_position(position) is e


@pytest.mark.parametrize("text", [MIXED])
def test_node_position_is_a_new_tuple_of_ints_on_every_read(root):
    z = elements_by_name(root)["z"]
    first, second = z.node_position, z.node_position
    assert type(first) is tuple and all(type(i) is int for i in first)
    assert first == second == (0, 3, 0)
    assert first is not second


def test_element_made_directly_is_a_root_without_children():
    element = Element()
    assert element.node_position == (0,)
    assert element.find_from_position(()) is element
    assert element.find_from_position((3,)) is element
    assert element.find_from_position((0, 0)) is None


@pytest.mark.parametrize(
    "position, expected",
    [
        # the first item is never examined
        ((), "r"),
        ((0,), "r"),
        ((7,), "r"),
        (("x",), "r"),
        ((None,), "r"),
        ((-1,), "r"),
        (("x", 1), "q"),
        ((0, 0), "p"),
        ((0, 2), "s"),
        # numbers that are not exactly int are converted as int() does
        ((0, 1.9), "q"),
        ((0, -0.5), "p"),
        ((0, True), "q"),
        ((0, False), "p"),
        ((0, NodeType.NODE_ELEMENT), "s"),
        ((0, Index(1)), "q"),
        # no counting from the end, no error past the end
        ((0, -1), None),
        ((0, -1.5), None),
        ((0, 3), None),
        ((0, 10**30), None),
        ((0, -(10**30)), None),
        ((0, 2, 0), None),
        # resolution stops before a later item is looked at
        ((0, 5, "x"), None),
        ((0, -1, None), None),
    ],
)
def test_find_from_position_items(root, position, expected):
    named = elements_by_name(root)
    for start in named.values():
        found = start.find_from_position(position)
        if expected is None:
            assert found is None
        else:
            assert found is named[expected]


def _int_error(value):
    with pytest.raises(Exception) as info:
        int(value)
    return type(info.value), str(info.value)


@pytest.mark.parametrize(
    "item, expected",
    [
        ("1", (TypeError, "Expected int, got str")),
        (b"1", (TypeError, "Expected int, got bytes")),
        ([1], (TypeError, "Expected int, got list")),
        ((1,), (TypeError, "Expected int, got tuple")),
        (object(), (TypeError, "Expected int, got object")),
        # numbers whose conversion fails raise what int() raises
        (1j, _int_error(1j)),
        (float("nan"), _int_error(float("nan"))),
        (float("inf"), _int_error(float("inf"))),
    ],
)
def test_find_from_position_refuses_items(root, item, expected):
    with pytest.raises(Exception) as info:
        root.find_from_position((0, item))
    assert (type(info.value), str(info.value)) == expected


def test_find_from_position_none_item_fails_at_the_comparison(root):
    with pytest.raises(TypeError) as info:
        root.find_from_position((0, None))
    # the interpreter's error for ordering None against an int
    assert "not supported between instances of" in str(info.value)
    assert "NoneType" in str(info.value)


@pytest.mark.parametrize(
    "argument, type_name, noted",
    [
        ([0, 1], "list", False),
        (None, "NoneType", False),
        ("0", "str", False),
        (Pair(0, 1), "Pair", True),
        (TupleSub((0,)), "TupleSub", True),
    ],
)
def test_find_from_position_refuses_anything_but_a_tuple(root, argument, type_name, noted):
    with pytest.raises(TypeError) as info:
        root.find_from_position(argument)
    assert type(info.value) is TypeError
    assert str(info.value) == arg_type_error("position", "tuple", type_name)
    notes = getattr(info.value, "__notes__", [])
    assert len(notes) == (1 if noted else 0)


def test_find_from_position_by_keyword(root):
    assert root.find_from_position(position=(0, 1)) is root[1]
    with pytest.raises(TypeError):
        root.find_from_position(node_position=(0, 1))
    with pytest.raises(TypeError):
        root.find_from_position()
    with pytest.raises(TypeError):
        root.find_from_position((0,), (0,))


def test_get_node_by_position_without_a_document(unloaded):
    assert unloaded.get_node_by_position((0,)) is None
    assert unloaded.get_node_by_position(node_position=(0, 0)) is None
    # beyond the type test the argument is not looked at
    assert unloaded.get_node_by_position(None) is None
    assert unloaded.get_node_by_position((0, "x")) is None
    assert not unloaded.has_root


@pytest.mark.parametrize(
    "argument, type_name",
    [([0], "list"), ("0", "str"), (TupleSub((0,)), "TupleSub"), (Pair(0, 0), "Pair")],
)
@pytest.mark.parametrize("loaded", [False, True], ids=["unloaded", "loaded"])
def test_get_node_by_position_refuses_anything_but_a_tuple_or_none(argument, type_name, loaded):
    doc = load(FLAT) if loaded else Document()
    with pytest.raises(TypeError) as info:
        doc.get_node_by_position(argument)
    assert type(info.value) is TypeError
    assert str(info.value) == arg_type_error("node_position", "tuple", type_name)
    assert getattr(info.value, "__notes__", []) == []
    assert not doc.has_root


def test_get_node_by_position_resolves_from_the_built_root(doc):
    assert not doc.has_root
    root = doc.get_node_by_position((0,))
    assert doc.has_root
    assert root is doc.get_root()
    assert doc.get_node_by_position((0, 5)) is None
    # errors of find_from_position pass through unchanged
    with pytest.raises(TypeError) as info:
        doc.get_node_by_position(None)
    assert str(info.value) == arg_type_error("position", "tuple", "NoneType")
    with pytest.raises(TypeError) as info:
        doc.get_node_by_position((0, "1"))
    assert str(info.value) == "Expected int, got str"


@pytest.mark.parametrize("reset", ["clear", "load_string"])
def test_positions_in_an_old_tree_after_reset(reset):
    doc = load("<r><a><x/></a><b/></r>")
    root = doc.get_root()
    a, b = root[0], root[1]
    x = a[0]
    assert a.node_position == (0, 0)  # cached before the reset; x is computed after it
    if reset == "clear":
        doc.clear()
    else:
        doc.load_string("<s><t><u/></t></s>")
    assert root.node_position == (0,)
    assert (a.node_position, x.node_position, b.node_position) == ((0, 0), (0, 0, 0), (0, 1))
    for held in (root, a, x, b):
        for position in ((), (0,), (3,)):
            assert held.find_from_position(position) is root
        for position in ((0, 0), (0, 1), (0, 0, 0)):
            assert held.find_from_position(position) is None
    if reset == "load_string":
        new = doc.get_node_by_position((0, 0, 0))
        assert new is not x and new.name == "u"
    else:
        assert doc.get_node_by_position(x.node_position) is None
