"""NodeType: members, pseudo-members, and both conversions as seen through
Element.type and the node-type exclusions of Document."""

import decimal
import enum
import fractions
import warnings

import pytest

import tamarack.pugixml as px
from helpers import IntSub, kept_kinds
from tamarack.pugixml import Document, Element, NodeType

MEMBERS = [
    ("NODE_NULL", 0),
    ("NODE_ELEMENT", 2),
    ("NODE_PCData", 3),
    ("NODE_CDATA", 4),
    ("NODE_COMMENT", 5),
    ("NODE_PI", 6),
    ("NODE_DECLARATION", 7),
    ("NODE_DOCTYPE", 8),
]
E, C = NodeType.NODE_ELEMENT, NodeType.NODE_CDATA
DEPRECATION = (
    "__int__ returned non-int (type {}).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python."
)


def test_members_in_table_order():
    assert [(m.name, m.value) for m in NodeType] == MEMBERS
    assert list(NodeType.__members__) == [name for name, _ in MEMBERS]
    assert len(NodeType) == 8


@pytest.mark.parametrize("name, value", MEMBERS)
def test_member(name, value):
    member = getattr(NodeType, name)
    assert type(member) is NodeType
    assert NodeType(value) is member
    assert NodeType[name] is member
    assert isinstance(member, int) and member == value
    assert repr(member) == f"<NodeType.{name}: {value}>"


def test_class_and_private_base():
    base = NodeType.__mro__[1]
    assert NodeType.__bases__ == (base,)
    assert base.__bases__ == (enum.IntEnum,)
    assert type(base) is type(enum.IntEnum)
    assert list(base) == []
    assert isinstance(vars(base)["_missing_"], classmethod)
    assert "__repr__" in vars(base)
    assert NodeType.__module__ == "tamarack.pugixml"
    assert NodeType.__qualname__ == "NodeType"
    assert NodeType.__doc__ == "Enumeration of XML node types\n    "


@pytest.mark.parametrize("value", [1, 42, -1])
def test_pseudo_member(value):
    pseudo = NodeType(value)
    assert type(pseudo) is NodeType
    assert isinstance(pseudo, int) and pseudo == value
    assert pseudo._name_ is None and pseudo._value_ == value
    assert repr(pseudo) == f"<NodeType: {value}>"
    assert NodeType(value) is pseudo
    assert NodeType._value2member_map_[value] is pseudo
    assert len(NodeType) == 8
    assert all(m is not pseudo for m in NodeType)
    assert all(m is not pseudo for m in NodeType.__members__.values())


def test_pseudo_member_keeps_its_argument_and_first_lookup_wins():
    pseudo = NodeType(9.0)
    assert pseudo == 9 and type(pseudo._value_) is float
    assert repr(pseudo) == "<NodeType: 9.0>"
    assert NodeType(9) is pseudo


@pytest.mark.parametrize("value, error", [("x", ValueError), (None, TypeError), ([], TypeError)])
def test_lookup_of_what_int_refuses(value, error):
    with pytest.raises(error):
        NodeType(value)
    assert len(NodeType) == 8


# --- _node_type_to_py, through Element.type ----------------------------------
# (That Element.type is the member itself is checked with the other properties, in
# test_element.py.)


def test_element_type_looks_nodetype_up_by_name(monkeypatch):
    class StandIn:
        NODE_NULL = object()

    monkeypatch.setattr(px, "NodeType", StandIn)
    assert Element().type is StandIn.NODE_NULL
    monkeypatch.delattr(px, "NodeType")
    with pytest.raises(NameError) as info:
        Element().type
    assert str(info.value) == "name 'NodeType' is not defined"


# --- _node_type_from_py, through the exclusion methods -------------------------


def exclude(how, doc, value):
    if how == "add":
        return doc.add_node_type_exclusion(value)
    return doc.set_node_type_exclusions([value])


class IntReturning:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class IntRaising:
    def __int__(self):
        raise ZeroDivisionError("from __int__")


class IndexOnly:
    def __index__(self):
        return 2


@pytest.mark.parametrize("how", ["add", "set"])
@pytest.mark.parametrize(
    "value, kept",
    [
        (NodeType.NODE_CDATA, [E]),
        (NodeType.NODE_ELEMENT, [C]),
        (4, [E]),
        (IntSub(2), [C]),
        (2.9, [C]),
        (2.7, [C]),
        (-0.5, [E, C]),
        (fractions.Fraction(9, 2), [E]),
        (decimal.Decimal("2.5"), [C]),
        (IntReturning(4), [E]),
        (True, [E, C]),
        (42, [E, C]),
        (-1, [E, C]),
        (2**31 - 1, [E, C]),
        (-(2**31), [E, C]),
    ],
)
def test_accepted_values(how, value, kept):
    doc = Document()
    assert exclude(how, doc, value) is None
    assert kept_kinds(doc) == kept


@pytest.mark.parametrize("how", ["add", "set"])
@pytest.mark.parametrize(
    "value, error, message",
    [
        ("2", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (b"4", TypeError, "an integer is required"),
        ([2], TypeError, "an integer is required"),
        (complex(2, 0), TypeError, "an integer is required"),
        (IndexOnly(), TypeError, "an integer is required"),
        (IntReturning("4"), TypeError, "__int__ returned non-int (type str)"),
        (IntReturning(4.0), TypeError, "__int__ returned non-int (type float)"),
        (IntReturning(None), TypeError, "__int__ returned non-int (type NoneType)"),
        (IntRaising(), ZeroDivisionError, "from __int__"),
        (2**31, OverflowError, None),
        (-(2**31) - 1, OverflowError, None),
        (2**40, OverflowError, None),
        (2**64, OverflowError, None),
        (1e20, OverflowError, None),
        (IntReturning(2**40), OverflowError, None),
    ],
)
def test_refused_values(how, value, error, message):
    doc = Document()
    doc.add_node_type_exclusion(NodeType.NODE_CDATA)
    with pytest.raises(error) as info:
        exclude(how, doc, value)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    # add leaves the set alone; set had emptied it before the failing item.
    assert kept_kinds(doc) == ([E] if how == "add" else [E, C])


@pytest.mark.parametrize("how", ["add", "set"])
@pytest.mark.parametrize(
    "result, type_name, kept",
    [(NodeType.NODE_CDATA, "NodeType", [E]), (True, "bool", [E, C]), (IntSub(2), "IntSub", [C])],
)
def test_int_subclass_from_dunder_int_warns(how, result, type_name, kept):
    doc = Document()
    with pytest.warns(DeprecationWarning) as record:
        exclude(how, doc, IntReturning(result))
    assert [str(w.message) for w in record] == [DEPRECATION.format(type_name)]
    assert kept_kinds(doc) == kept


@pytest.mark.parametrize("how", ["add", "set"])
def test_int_subclass_warning_as_error(how):
    doc = Document()
    doc.add_node_type_exclusion(NodeType.NODE_ELEMENT)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as info:
            exclude(how, doc, IntReturning(NodeType.NODE_CDATA))
    assert str(info.value) == DEPRECATION.format("NodeType")
    assert kept_kinds(doc) == ([C] if how == "add" else [E, C])
