"""The annotated method objects."""

import collections.abc
import types

import pytest

from helpers import kept_kinds, load
from tamarack.pugixml import Document, Element, NodeType

TEXT = "<a><b/><![CDATA[x]]></a>"

LOAD_STRING_DOC = (
    "Load an XML string into the document\n\n"
    "        This method only parses the document.\n"
    "        To access the root element, use the :meth:`get_root` method.\n\n"
    "        Args:\n"
    "            xml_string: The XML string to load into the document.\n"
    "        "
)
GET_ROOT_DOC = (
    "Get the root element of the currently-loaded XML document.\n\n"
    "        Returns:\n"
    "            The root :class:`Element` if it exists, otherwise None.\n"
    "        "
)
XPATH_FIND_DOC = (
    "Find the first element matching the given XPath expression\n\n"
    "        Args:\n"
    "            xpath: The XPath expression to evaluate.\n\n"
    "        Returns:\n"
    "            The first :class:`Element` matching the XPath expression,\n"
    "            or None if no match is found.\n"
    "        "
)
XPATH_FINDALL_DOC = (
    "Find all elements matching the given XPath expression.\n\n"
    "        Args:\n"
    "            xpath: The XPath expression to evaluate.\n\n"
    "        Returns:\n"
    "            A list of :class:`Element` instances matching the XPath expression.\n"
    "        "
)

# class, method, annotations in order, docstring, arguments by parameter name, expected result
# (elements given by their node position)
METHODS = [
    (Document, "add_node_type_exclusion", [("node_type", "NodeType"), ("return", "None")],
     "Add a node type to the set of excluded node types\n        ",
     {"node_type": NodeType.NODE_CDATA}, None),
    (Document, "set_node_type_exclusions", [("node_types", "list[NodeType]"), ("return", "None")],
     "Set the node type exclusions to the given list of node types\n        ",
     {"node_types": [NodeType.NODE_CDATA]}, None),
    (Document, "load_string", [("return", "None")], LOAD_STRING_DOC, {"xml_string": "<z/>"}, None),
    (Document, "clear", [("return", "None")],
     "Clear the XML document, resetting it to an empty state\n        ", {}, None),
    (Document, "get_root", [("return", "Element | None")], GET_ROOT_DOC, {}, (0,)),
    (Document, "get_node_by_position", [("return", "Element | None")],
     "Get the XML node represented by its :attr:`~Element.node_position`\n        ",
     {"node_position": (0, 1)}, (0, 1)),
    (Document, "xpath_find", [("return", "Element | None")], XPATH_FIND_DOC, {"xpath": "//b"}, (0, 0)),
    (Document, "xpath_findall", [("return", "list[Element]")], XPATH_FINDALL_DOC,
     {"xpath": "/a/node()"}, [(0, 0), (0, 1)]),
    (Element, "find_from_position", [("position", "tuple[int, ...]"), ("return", "Self | None")],
     "Find a node in the tree based on its :attr:`node_position`\n        ",
     {"position": (0, 1)}, (0, 1)),
    (Element, "walk", [("return", "Iterator[Self]")],
     "Yield all nodes in the subtree rooted at this node, including itself\n        ",
     {}, [(0,), (0, 0), (0, 1)]),
]


def instance_of(cls):
    doc = load(TEXT)
    return doc if cls is Document else doc.get_root()


def observed(value, obj):
    """A result, with elements given by position, and what the call left behind: for a Document,
    its state, the name of its root and the kinds of node its exclusions keep."""
    if isinstance(value, Element):
        value = value.node_position
    elif isinstance(value, (list, collections.abc.Iterator)):
        value = [None if e is None else e.node_position for e in value]
    if not isinstance(obj, Document):
        return value, len(obj)
    state = (obj.has_document, obj.has_root)
    root = obj.get_root()
    return value, (*state, None if root is None else root.name, kept_kinds(obj, TEXT))


CALLS = {
    "instance, by position": lambda obj, name, args: getattr(obj, name)(*args.values()),
    "instance, by keyword": lambda obj, name, args: getattr(obj, name)(**args),
    "class, by position": lambda obj, name, args: getattr(type(obj), name)(obj, *args.values()),
    "class, by keyword": lambda obj, name, args: getattr(type(obj), name)(obj, **args),
}


@pytest.mark.parametrize(
    "cls, name, annotations, doc, args, expected",
    METHODS,
    ids=[f"{row[0].__name__}.{row[1]}" for row in METHODS],
)
def test_annotated_method(cls, name, annotations, doc, args, expected):
    stored = vars(cls)[name]
    assert getattr(cls, name) is stored
    assert callable(stored)
    assert list(stored.__annotations__.items()) == annotations
    assert stored.__qualname__ == f"{cls.__name__}.{name}"
    assert stored.__module__ == "tamarack.pugixml"
    assert stored.__doc__ == doc

    obj = instance_of(cls)
    bound = getattr(obj, name)
    # Like a Python function: itself on the class, a bound method on an instance.
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is obj and bound.__func__ is stored
    assert list(bound.__annotations__.items()) == annotations

    results = {}
    for how, call in CALLS.items():
        target = instance_of(cls)
        results[how] = observed(call(target, name, args), target)
    first = next(iter(results.values()))
    assert first[0] == expected
    assert all(r == first for r in results.values()), results

    # One argument too many, by position or by keyword, is refused and changes nothing.
    untouched = observed(None, instance_of(cls))
    for call in (lambda f: f(*args.values(), None), lambda f: f(**args, unexpected=None)):
        target = instance_of(cls)
        with pytest.raises(TypeError):
            call(getattr(target, name))
        assert observed(None, target) == untouched
