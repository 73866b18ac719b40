"""Every public name of tamarack, used as a typed caller would: mypy --strict
checks it against the stubs, and running it checks the same facts at run time."""

from collections.abc import Iterator
from typing import assert_type

import tamarack
from tamarack.pugixml import Document, Element, NodeType

include_dir = tamarack.get_include()
assert_type(include_dir, str)

document = Document()
state = assert_type(document.has_document, bool), assert_type(document.has_root, bool)
assert state == (False, False)
document.add_node_type_exclusion(NodeType.NODE_COMMENT)
document.set_node_type_exclusions([NodeType.NODE_CDATA, NodeType.NODE_PI])
assert_type(document.load_string("<a k='v'>hi<b/><![CDATA[x]]><c><d/></c></a>"), None)

root = document.get_root()
assert_type(root, Element | None)
assert root is not None and (document.has_document, document.has_root) == (True, True)

assert_type(root.type, NodeType)
assert root.type is NodeType.NODE_ELEMENT
assert_type(root.parent, Element | None)
assert_type(root.root, Element)
name = assert_type(root.name, str)
path = assert_type(root.path, str)
text = assert_type(root.text, str | None)
flags = assert_type(root.is_empty, bool), assert_type(root.is_null, bool), assert_type(root.has_text, bool)
hash_value = assert_type(root.hash_value, int)
attributes = assert_type(root.attributes, dict[str, str])
position = assert_type(root.node_position, tuple[int, ...])
assert (name, path, text, flags, attributes, position) == (
    "a", "/a", "hi", (False, False, True), {"k": "v"}, (0,))
assert hash_value > 0 and root.parent is None and root.root is root

count = assert_type(len(root), int)
first = assert_type(root[0], Element)
children = assert_type(list(root), list[Element])
walked = assert_type(root.walk(), Iterator[Element])
assert count == 2 and first.name == "b" and [e.name for e in children] == ["b", "c"]
assert [e.name for e in walked] == ["a", "b", "c", "d"]
assert [e.name for e in reversed(root)] == ["c", "b"] and first in root and not first

found = root.find_from_position((0, 1, 0))
assert_type(found, Element | None)
assert found is not None and found.path == "/a/c/d"
assert document.get_node_by_position(found.node_position) is found

match = document.xpath_find("//d")
assert_type(match, Element | None)
assert match is found
matches = document.xpath_findall("/a/node()")
assert_type(matches, list[Element])
# The text node and the excluded CDATA section are selected but are not in the tree.
assert matches == [None, first, None, root[1]]

value = document.xpath("count(d)", context=root[1], variables={"n": 1, "s": "x", "v": [first]})
assert_type(value, list[Element | str] | str | float | bool)
assert value == 1.0
selected = document.xpath("$v | //d", variables={"v": (first,)})
assert isinstance(selected, list) and selected == [first, found]

kinds = [kind.name for kind in NodeType]
assert kinds == ["NODE_NULL", "NODE_ELEMENT", "NODE_PCData", "NODE_CDATA", "NODE_COMMENT",
                 "NODE_PI", "NODE_DECLARATION", "NODE_DOCTYPE"]
pseudo = assert_type(NodeType(1), NodeType)
assert pseudo == 1 and repr(pseudo) == "<NodeType: 1>" and pseudo not in list(NodeType)

blank = assert_type(Element(), Element)
assert blank.is_null and blank.node_position == (0,) and repr(blank).startswith("<Element")

document.clear()
assert (document.has_document, document.get_root()) == (False, None)
