"""Element: empty state, properties, text and attribute rules, paths, links,
invalid UTF-8, elements that outlive their load, and a very deep document."""

import gc
import subprocess
import sys
import textwrap

import pytest

from helpers import build
from tamarack.pugixml import Document, Element, NodeType

EMPTY_REPR = "<Element name='' attributes={} text=None>"


def subtree(element):
    yield element
    for child in element:
        yield from subtree(child)


def snapshot(e):
    return (e.type, e.name, e.path, e.attributes, e.text, e.has_text, e.is_empty, e.is_null, e.hash_value,
            e.node_position)


@pytest.mark.parametrize("make", [Element, lambda: Element(1, "x", key=None)], ids=["bare", "with_args"])
def test_fresh_element_is_empty(make):
    e = make()
    assert e.type is NodeType.NODE_NULL
    assert (e.name, e.path, e.text, e.attributes) == ("", "", None, {})
    assert e.is_empty is True and e.is_null is True and e.has_text is False
    assert type(e.hash_value) is int and e.hash_value == 0
    assert e.parent is None and e.root is e
    assert len(e) == 0 and list(e) == []
    assert repr(e) == EMPTY_REPR


def test_element_class():
    assert Element.__bases__ == (object,)
    assert Element.__doc__.splitlines()[0] == "A single XML element within the document."
    assert Element.__doc__.endswith("\n    ")
    # No comparison or hashing of its own: equality is identity.
    assert Element.__eq__ is object.__eq__ and Element.__hash__ is object.__hash__
    a, b = Element(), Element()
    assert a == a and a != b


PROPERTY_DOCS = {
    "type": "The type of the XML node as a :class:`NodeType`\n        ",
    "parent": "The parent element of this node, or None if it has no parent\n        ",
    "root": "The root element of the XML tree\n        ",
    "name": "The tag name of the XML node\n        ",
    "path": "The full path of the XML node in the tree (delimited by slashes)\n        ",
    "text": "The text content of the XML node, or None if it has no text\n        ",
    "is_empty": "Whether the XML node is empty (has no children and no text)\n        ",
    "is_null": "Whether the XML node is null (does not exist)\n        ",
    "has_text": "Whether the XML node has text content\n        ",
    "hash_value": "A unique hash value of the XML node\n        ",
    "attributes": "A dictionary of the XML node's attributes\n        ",
    "node_position": (
        "The position of the node in the tree as a tuple of\n"
        "        indices from the root to this node\n\n"
        "        The root node will always be represented by a single zero: ``(0,)``.\n"
        "        Each subsequent index represents the position of the node among its siblings at that level.\n"
        "        "
    ),
}


@pytest.mark.parametrize("name, doc", PROPERTY_DOCS.items())
def test_property_docstring_and_read_only(name, doc):
    assert getattr(Element, name).__doc__ == doc
    _, root = build('<a x="1">t<b/></a>')
    for e in (Element(), root, root[0]):
        before = snapshot(e)
        with pytest.raises(AttributeError):
            setattr(e, name, getattr(e, name))
        with pytest.raises(AttributeError):
            delattr(e, name)
        assert snapshot(e) == before


def test_built_element():
    _, root = build('<a x="1">hi</a>')
    assert root.type is NodeType.NODE_ELEMENT
    assert root.is_empty is False and root.is_null is False and root.has_text is True
    assert repr(root) == "<Element name='a' attributes={'x': '1'} text='hi'>"
    # is_empty tells whether a node was captured, not whether it has content.
    _, bare = build("<a/>")
    assert bare.is_empty is False and bare.is_null is False and bare.text is None


@pytest.mark.parametrize(
    "xml, text",
    [
        ("<a>hello</a>", "hello"),
        ("<a/>", None),
        ("<a></a>", None),
        ("<a> \t\n </a>", None),
        ("<a>  <b/>after</a>", None),
        ("<a><b/>after</a>", None),
        ("<a><![CDATA[c]]>after</a>", None),
        ("<a>x<b/>y</a>", "x"),
        ("<a>x<!--c-->y</a>", "x"),
        ("<a>  x  </a>", "  x  "),
        ("<a>&lt;&amp;&#65;&#x1F600;</a>", "<&A\U0001f600"),
        ("<a>x\r\ny\rz</a>", "x\ny\nz"),
        ("<a>é€😀</a>", "é€😀"),
        ("<a>&#0;b</a>", ""),
    ],
)
def test_text_is_the_first_child_text(xml, text):
    _, root = build(xml)
    assert root.text == text
    assert root.has_text is (text is not None)


def test_attributes_ordered_by_utf8_bytes_of_names():
    _, root = build('<a z="1" é="2" b="3" ＡＢ="4" ea="5" B="6" e="7" 😀="8" ÿ="9"/>')
    assert list(root.attributes.items()) == [
        ("B", "6"),
        ("b", "3"),
        ("e", "7"),
        ("ea", "5"),
        ("z", "1"),
        ("é", "2"),
        ("ÿ", "9"),
        ("ＡＢ", "4"),
        ("😀", "8"),
    ]


@pytest.mark.parametrize(
    "xml, attributes",
    [
        ('<a x=""/>', {"x": ""}),
        ('<a x="1" y="2" x="3"/>', {"x": "3", "y": "2"}),
        ('<a x="&lt;&quot;&#65;&amp;"/>', {"x": '<"A&'}),
        ("<a x='t\tn\nr&#10;s'/>", {"x": "t n r\ns"}),
        ('<p:a xmlns:p="urn:p" p:k="v"/>', {"p:k": "v", "xmlns:p": "urn:p"}),
    ],
)
def test_attribute_values(xml, attributes):
    _, root = build(xml)
    assert root.attributes == attributes


def test_attributes_are_a_new_dict_on_every_read():
    _, root = build('<a x="1"/>')
    first = root.attributes
    first["x"] = "changed"
    first["y"] = "added"
    second = root.attributes
    assert second is not first and second == {"x": "1"}


@pytest.mark.parametrize("distinct", [3, 5000], ids=["few", "more_than_the_build_remembers"])
def test_names_and_keys_repeated_across_a_document(distinct):
    # Names and keys recur in every round, long ones differ only in the middle, and some are not
    # ASCII; the many distinct ones keep displacing each other while the tree is built.
    names = [f"n{i}" if i % 3 else f"l{'x' * 20}{i}{'y' * 20}é" for i in range(distinct)]
    rounds = 3
    xml = "<r>" + "".join(f'<{n} {n}="{k}" k{i % 7}="v" />' for k in range(rounds)
                          for i, n in enumerate(names)) + "</r>"
    _, root = build(xml)
    children = list(root)
    assert [c.name for c in children] == names * rounds
    assert [c.attributes for c in children] == [
        dict(sorted({n: str(k), f"k{i % 7}": "v"}.items(), key=lambda item: item[0].encode()))
        for k in range(rounds) for i, n in enumerate(names)]
    assert [c.path for c in children[:3]] == [f"/r/{n}" for n in names[:3]]
    assert repr(children[-1]).startswith(f"<Element name={names[-1]!r} attributes=")


def test_cdata_child():
    _, root = build("<r><![CDATA[data]]></r>")
    (cdata,) = list(root)
    assert cdata.type is NodeType.NODE_CDATA
    assert (cdata.name, cdata.path, cdata.text, cdata.attributes) == ("", "/r/", None, {})
    assert cdata.has_text is False and cdata.is_empty is False and cdata.is_null is False
    assert cdata.parent is root and cdata.root is root and len(cdata) == 0
    assert repr(cdata) == EMPTY_REPR


def test_paths():
    _, root = build("<r><b><c/></b><b/><é/><![CDATA[x]]></r>")
    assert [e.path for e in subtree(root)] == ["/r", "/r/b", "/r/b/c", "/r/b", "/r/é", "/r/"]
    _, prefixed = build('<p:r xmlns:p="urn:p"><p:s/></p:r>')
    assert [e.path for e in subtree(prefixed)] == ["/p:r", "/p:r/p:s"]


def test_tree_links_and_hash_values():
    _, root = build("<r>t1<a>t2<b/>t3<b/></a>t4<c><![CDATA[x]]></c>t5</r>")
    assert [c.name for c in root] == ["a", "c"]
    assert root.parent is None and root.root is root
    everything = list(subtree(root))
    assert len(everything) == 6
    for e in everything:
        assert e.root is root
        for child in e:
            assert child.parent is e
    hashes = [e.hash_value for e in everything]
    assert all(type(h) is int and h >= 0 for h in hashes)
    assert len(set(hashes)) == len(hashes)
    assert [e.hash_value for e in subtree(root)] == hashes


@pytest.mark.parametrize("reference", ["&#xD800;", "&#xDFFF;", "&#x110000;"])
def test_invalid_utf8_fails_on_read(reference):
    _, root = build(f"<a k='{reference}' ok='1'><b>{reference}</b></a>")
    b = root[0]
    assert (b.name, b.path, b.has_text, root.name) == ("b", "/a/b", True, "a")
    for read in (lambda: b.text, lambda: root.attributes, lambda: repr(b), lambda: repr(root)):
        for _ in range(2):
            with pytest.raises(UnicodeDecodeError):
                read()
    assert (b.name, b.attributes, root.text) == ("b", {}, None)


def test_repr_reads_attributes_in_order_through_lookup():
    seen = []

    class Shown(str):
        def __format__(self, spec):
            return f"formatted{spec!r}"

    class Named:
        def __repr__(self):
            return Shown("raw")

    class Sub(Element):
        @property
        def name(self):
            seen.append("name")
            return Named()

        @property
        def attributes(self):
            seen.append("attributes")
            return {"k": 1}

        @property
        def text(self):
            seen.append("text")
            return "t"

    assert repr(Sub()) == "<Element name=formatted'' attributes={'k': 1} text='t'>"
    assert seen == ["name", "attributes", "text"]


def test_repr_passes_failures_on():
    class Broken(Element):
        @property
        def attributes(self):
            raise LookupError("no attributes")

    with pytest.raises(LookupError, match="no attributes"):
        repr(Broken())


XML = '<r a="1"><b k="v">bee<c n="2">see</c></b><d/></r>'
FILLER = "<f>" + "overwrite " * 5000 + "</f>"


@pytest.mark.parametrize("reset", ["clear", "reload", "reload_and_build", "failed_reload", "drop_document"])
def test_kept_elements_outlive_their_load(reset):
    doc, root = build(XML)
    b = root[0]
    c = b[0]
    before = [snapshot(e) for e in (b, c)]
    assert before[0][4] == "bee" and before[1][4] == "see"
    if reset == "clear":
        doc.clear()
    elif reset.startswith("reload"):
        doc.load_string(FILLER)
        if reset == "reload_and_build":
            doc.get_root()
    elif reset == "failed_reload":
        with pytest.raises(RuntimeError):
            doc.load_string("<r>")
    else:
        del doc
    gc.collect()
    other = Document()
    other.load_string(FILLER)
    other.get_root()
    assert [snapshot(e) for e in (b, c)] == before
    assert b.parent is root and b.root is root
    assert c.parent is b and c.root is root
    assert len(b) == 1 and b[0] is c
    if reset == "drop_document":
        # Releasing the document does not empty its root.
        assert root.name == "r" and len(root) == 2
    else:
        assert snapshot(root) == snapshot(Element()) and len(root) == 0
        assert repr(root) == EMPTY_REPR and root.parent is None and root.root is root


def test_path_stays_exact_after_ancestors_are_emptied():
    doc, root = build("<r><b><c><d/></c></b></r>")
    d = root[0][0][0]
    del root
    doc.clear()
    doc.load_string("<x><y/></x>")
    doc.get_root()
    doc.load_string("<z/>")
    doc.get_root()
    gc.collect()
    assert d.path == "/r/b/c/d"
    assert d.parent.path == "/r/b/c" and d.parent.parent.path == "/r/b"
    assert d.root.path == "" and d.root.is_null


DEEP = """
    import gc, resource, sys
    from tamarack.pugixml import Document
    n = 100_000
    gc.collect()
    blocks = sys.getallocatedblocks()
    doc = Document()
    doc.load_string("<a>" * n + "x" + "</a>" * n)
    root = doc.get_root()
    leaf, depth = root, 1
    while len(leaf):
        leaf = leaf[0]
        depth += 1
    assert depth == n, depth
    assert leaf.text == "x" and leaf.root is root
    assert leaf.path == "/a" * n and leaf.parent.path == "/a" * (n - 1)
    assert root.path == "/a"
    del doc, root, leaf
    gc.collect()
    # Every element is gone again (a tree that its document kept out of the collector does not
    # show in gc.get_objects(), so count the interpreter's memory blocks instead).
    assert sys.getallocatedblocks() < blocks + 1_000, sys.getallocatedblocks() - blocks
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def test_deep_document_loads_builds_and_is_freed():
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(DEEP)], capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr[-2000:]
    # Peak memory in KiB: path storage per element must not grow with depth.
    assert int(result.stdout) < 1_000_000
