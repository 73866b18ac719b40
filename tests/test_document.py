"""Document: loading, parse errors, argument checks, node-type exclusions,
state transitions and root building."""

import gc
import pickle
import weakref

import pytest

from helpers import KINDS, ListSub, StrSub, arg_type_error, kept_kinds, load
from tamarack.pugixml import Document, Element, NodeType

E, C = NodeType.NODE_ELEMENT, NodeType.NODE_CDATA


def state(doc):
    return doc.has_document, doc.has_root


def test_state_transitions():
    doc = Document()
    assert state(doc) == (False, False)
    assert doc.get_root() is None and doc.clear() is None
    assert state(doc) == (False, False)

    assert doc.load_string("<a/>") is None
    assert state(doc) == (True, False)
    first = doc.get_root()
    assert type(first) is Element and first.name == "a"
    assert state(doc) == (True, True)
    assert doc.get_root() is first

    doc.load_string("<b/>")
    assert state(doc) == (True, False)
    second = doc.get_root()
    assert second is not first and second.name == "b"

    with pytest.raises(RuntimeError):
        doc.load_string("<b>")
    assert state(doc) == (False, False) and doc.get_root() is None

    doc.load_string("<c/>")
    assert state(doc) == (True, False)
    assert doc.clear() is None
    assert state(doc) == (False, False) and doc.get_root() is None

    for value in state(doc) + state(load("<a/>")):
        assert type(value) is bool


@pytest.mark.parametrize(
    "xml, message",
    [
        ("", "No document element found"),
        (" \n\t", "No document element found"),
        ("<!-- only a comment -->", "No document element found"),
        ("<?xml version='1.0'?>", "No document element found"),
        ("\0<a/>", "No document element found"),
        ("<a></b>", "Start-end tags mismatch"),
        ("<a>", "Start-end tags mismatch"),
        ("<a>x\0</a>", "Start-end tags mismatch"),
        ("<a x=1/>", "Error parsing element attribute"),
    ],
)
def test_parse_error_leaves_nothing_loaded(xml, message):
    doc = load("<old><kid/></old>")
    doc.get_root()
    with pytest.raises(RuntimeError) as info:
        doc.load_string(xml)
    assert type(info.value) is RuntimeError
    assert info.value.args == (message,)
    assert state(doc) == (False, False) and doc.get_root() is None
    doc.load_string("<new/>")
    assert doc.get_root().name == "new"


@pytest.mark.parametrize("xml", ["<a>x</a>\0<b>unclosed", "<a>x</a>\0", "<a>x</a>\0\0"])
def test_text_ends_at_nul(xml):
    root = load(xml).get_root()
    assert (root.name, root.text, len(root)) == ("a", "x", 0)


def test_declared_encoding_is_ignored():
    xml = '<?xml version="1.0" encoding="ISO-8859-1"?><a t="é">é€😀</a>'
    root = load(xml).get_root()
    assert root.text == "é€😀"
    assert root.attributes == {"t": "é"}


def outcome(loader, xml):
    """What loading `xml` gives: the content of the tree, or the error and where it is."""
    doc = Document()
    try:
        loader(doc, xml)
    except (RuntimeError, UnicodeEncodeError) as error:
        where = tuple(getattr(error, name, None) for name in ("offset", "line", "column"))
        return type(error), str(error), where
    return [(e.name, e.text, e.attributes) for e in doc.get_root().walk()]


@pytest.mark.parametrize("xml", [
    "<a t='é'>é</a>", "<a>" + "x" * 13 + "é" + "y" * 7 + "ü" * 9 + "z" * 8 + "</a>", "<a>é\0<b>unclosed",
    "<a>€</a>", "<a>€\0</a>", "<a b='😀'>😀€é</a>", "<a>\né€\r\n<b></a>", "éé<a/>", "<a>😀</b>",
    "<a>\x80\xff</a>\0\0", "<a>é<s", "<r>é<s\0<a/>", "<a>é</a", "<a b='é", "é",
])
def test_a_str_that_is_not_ascii_loads_as_its_utf8_would(xml, testnative):
    # The table's entry is handed the interpreter's own UTF-8 of the str.
    through_table = outcome(lambda d, x: testnative.document_op(d, "_load_string", x), xml)
    assert outcome(Document.load_string, xml) == through_table


@pytest.mark.parametrize("built", [False, True], ids=["unbuilt", "built"])
@pytest.mark.parametrize("xml", ["<a>é\ud800</a>", "<a>\0\udfff</a>", "😀<a>\udbff</a>", "\ud800"])
def test_a_surrogate_anywhere_gives_the_encoders_error_and_changes_nothing(xml, built):
    with pytest.raises(UnicodeEncodeError) as expected:
        xml.encode("utf-8")
    doc = load("<a><b/></a>")
    root = doc.get_root() if built else None
    with pytest.raises(UnicodeEncodeError) as info:
        doc.load_string(xml)
    assert str(info.value) == str(expected.value)
    assert state(doc) == (True, built)
    again = doc.get_root()
    if built:
        assert again is root
    assert again.name == "a" and [c.name for c in again] == ["b"]


@pytest.mark.parametrize(
    "arg, type_name",
    [
        (b"<a/>", "bytes"),
        (None, "NoneType"),
        (StrSub("<a/>"), "StrSub"),
        (bytearray(b"<a/>"), "bytearray"),
        (["<a/>"], "list"),
    ],
)
def test_load_string_refuses_anything_but_str(arg, type_name):
    doc = load("<keep/>")
    root = doc.get_root()
    with pytest.raises(TypeError) as info:
        doc.load_string(arg)
    assert str(info.value) == arg_type_error("xml_string", "str", type_name)
    assert not hasattr(info.value, "__notes__")
    assert doc.get_root() is root and root.name == "keep"


@pytest.mark.parametrize(
    "arg, type_name, notes",
    [
        ((E,), "tuple", 0),
        (None, "NoneType", 0),
        ({E}, "set", 0),
        (E, "NodeType", 0),
        (ListSub([E]), "ListSub", 1),
    ],
)
def test_set_exclusions_refuses_anything_but_list(arg, type_name, notes):
    doc = Document()
    doc.add_node_type_exclusion(C)
    with pytest.raises(TypeError) as info:
        doc.set_node_type_exclusions(arg)
    assert str(info.value) == arg_type_error("node_types", "list", type_name)
    assert len(getattr(info.value, "__notes__", [])) == notes
    assert kept_kinds(doc) == [E]


@pytest.mark.parametrize(
    "exclusions, kinds",
    [
        ([], [E, C]),
        ([C], [E]),
        ([E], [C]),
        ([E, C], []),
        ([NodeType.NODE_PCData, NodeType.NODE_COMMENT, 42], [E, C]),
    ],
)
def test_exclusions_shape_the_tree(exclusions, kinds):
    doc = Document()
    doc.set_node_type_exclusions(exclusions)
    assert kept_kinds(doc) == kinds
    root = doc.get_root()
    assert root.type is E and root.name == "r"
    # An excluded kind is gone from the whole tree, nested nodes included.
    below = [k for c in root for k in [c.type] + [g.type for g in c]]
    assert not set(below) & set(exclusions)


def test_exclusions_apply_from_the_next_build():
    doc = load(KINDS)
    root = doc.get_root()
    doc.add_node_type_exclusion(C)
    assert doc.get_root() is root and [c.type for c in root] == [E, C]
    assert [c.type for c in root[0]] == [C, E]
    assert kept_kinds(doc) == [E]


def test_exclusions_survive_clear_reload_and_init():
    doc = Document()
    doc.set_node_type_exclusions([E])
    doc.load_string(KINDS)
    doc.get_root()
    doc.clear()
    with pytest.raises(RuntimeError):
        doc.load_string("")
    assert kept_kinds(doc) == [C]
    doc.__init__()
    assert kept_kinds(doc) == [C]


def test_set_replaces_and_empty_list_clears():
    doc = Document()
    doc.add_node_type_exclusion(E)
    doc.add_node_type_exclusion(E)
    doc.set_node_type_exclusions([C, C])
    assert kept_kinds(doc) == [E]
    doc.set_node_type_exclusions([])
    assert kept_kinds(doc) == [E, C]


def test_set_keeps_the_items_before_a_bad_one():
    doc = Document()
    doc.add_node_type_exclusion(C)
    with pytest.raises(TypeError) as info:
        doc.set_node_type_exclusions([E, "x", C])
    assert str(info.value) == "an integer is required"
    assert kept_kinds(doc) == [C]


def test_set_reads_the_list_length_at_every_item():
    items = []

    class Grows:
        def __int__(self):
            items.append(C)
            return 42

    items.append(Grows())
    doc = Document()
    doc.set_node_type_exclusions(items)
    assert kept_kinds(doc) == [E]


@pytest.mark.parametrize("exclusions", [[], [E, C], [NodeType.NODE_COMMENT, NodeType.NODE_PI]])
@pytest.mark.parametrize(
    "xml",
    [
        "<!--lead--><?pi lead?><r><!--c--><?p q?></r>",
        "<!DOCTYPE r><r><!--c--></r>",
        "stray text<r/>",
    ],
)
def test_nodes_the_parser_drops(xml, exclusions):
    doc = Document()
    doc.set_node_type_exclusions(exclusions)
    doc.load_string(xml)
    root = doc.get_root()
    assert root.name == "r" and len(root) == 0 and root.text is None


def test_init_again_drops_the_built_root_but_not_the_document():
    doc = load("<a><b/></a>")
    old = doc.get_root()
    doc.__init__()
    assert state(doc) == (True, False)
    new = doc.get_root()
    assert new is not old and new.name == "a"
    # The old root was released, not emptied.
    assert old.name == "a" and len(old) == 1


# The methods' docstrings are checked with their annotated method objects (test_annotations.py).
DOCSTRINGS = {
    None: "An XML document loader and handler class\n    ",
    "has_document": "Whether an XML document is currently loaded\n        ",
    "has_root": "Whether the root element has been built\n        (using the :meth:`get_root` method)\n        ",
}


@pytest.mark.parametrize("name, text", DOCSTRINGS.items())
def test_docstrings(name, text):
    obj = Document if name is None else getattr(Document, name)
    assert obj.__doc__ == text


@pytest.mark.parametrize("name", ["has_document", "has_root"])
def test_properties_are_read_only(name):
    doc = load("<a/>")
    with pytest.raises(AttributeError):
        setattr(doc, name, False)
    with pytest.raises(AttributeError):
        delattr(doc, name)
    assert doc.has_document


# One argument too many is refused, changing nothing, for every method in test_annotations.py.
@pytest.mark.parametrize(
    "call",
    [
        lambda d: d.load_string(),
        lambda d: d.load_string(text="<a/>"),
        lambda d: d.load_string("<a/>", xml_string="<a/>"),
        lambda d: d.add_node_type_exclusion(),
        lambda d: d.set_node_type_exclusions(types=[]),
    ],
)
def test_wrong_arity_changes_nothing(call):
    doc = load("<keep/>")
    root = doc.get_root()
    with pytest.raises(TypeError):
        call(doc)
    assert doc.get_root() is root and root.name == "keep"


@pytest.mark.parametrize("call", [lambda: Document(1), lambda: Document(x=1)])
def test_constructor_takes_no_arguments(call):
    with pytest.raises(TypeError):
        call()


class NoBaseInit(Document):
    def __init__(self):
        pass


@pytest.mark.parametrize(
    "make",
    [lambda: Document.__new__(Document), lambda: Document.__new__(Document, 1, x=2), NoBaseInit],
    ids=["new", "new_with_args", "subclass"],
)
def test_document_without_init(make):
    doc = make()
    assert state(doc) == (False, False)
    assert doc.get_root() is None and doc.clear() is None
    doc.add_node_type_exclusion(E)
    doc.set_node_type_exclusions([C])
    assert doc.load_string("<a><![CDATA[c]]><b/></a>") is None
    assert state(doc) == (True, False)
    root = doc.get_root()
    assert root.name == "a" and [c.name for c in root] == ["b"]
    assert doc.get_root() is root and doc.has_root
    with pytest.raises(TypeError):
        pickle.dumps(doc)
    # Without __init__ there is no dictionary to empty: a reset may refuse with
    # the documented AttributeError, or work; either way nothing crashes.
    for action in (doc.clear, lambda: doc.load_string("<z/>"), lambda: doc.load_string("")):
        try:
            action()
        except AttributeError as exc:
            assert str(exc) == "'NoneType' object has no attribute 'clear'"
        except RuntimeError as exc:
            assert str(exc) == "No document element found"
        current = doc.get_root()
        assert current is None or type(current) is Element
        assert doc.has_root is (current is not None)
    del doc
    gc.collect()


class Labelled(Document):
    def __init__(self, label):
        super().__init__()
        self.label = label


def test_subclass_with_its_own_attributes():
    doc = Labelled("first")
    assert doc.label == "first"
    doc.extra = [1]
    doc.load_string("<a><b/></a>")
    root = doc.get_root()
    assert isinstance(doc, Document) and root.name == "a" and doc.get_root() is root
    with pytest.raises(TypeError):
        pickle.dumps(doc)
    doc.me = doc
    doc.kept = root
    ref = weakref.ref(doc)
    del doc, root
    gc.collect()
    assert ref() is None
