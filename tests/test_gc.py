"""The cyclic garbage collector at awkward moments: in the middle of a walk, while elements and
iterators outlive a clear() or their Document, and with subclasses that add attributes, cycles and
finalisers of their own."""

import gc
import tracemalloc
import weakref

import pytest

from tamarack.pugixml import Document, Element

XML = "<a x='1'><b>t1</b><c y='2'><d>t2</d><e><f>t3</f></e></c><g/></a>"
# (name, text, attributes) of every element in walk order.
CONTENT = [("a", None, {"x": "1"}), ("b", "t1", {}), ("c", None, {"y": "2"}), ("d", "t2", {}),
           ("e", None, {}), ("f", "t3", {}), ("g", None, {})]


def loaded(xml=XML, cls=Document):
    doc = cls()
    doc.load_string(xml)
    return doc


def content(elements):
    return [(e.name, e.text, e.attributes) for e in elements]


def retained_after(scenario):
    """Bytes still allocated once `scenario` has returned and the collector has run. A document
    keeps its tree out of the collector's lists while it holds it, so only memory tells whether
    every element was freed. The second run is the one measured: the first fills caches."""
    for _ in range(2):
        gc.collect()
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            scenario()
            gc.collect()
            after = tracemalloc.get_traced_memory()[0]
        finally:
            tracemalloc.stop()
    return after - before


# Trees of a few hundred elements: losing one would retain tens of kilobytes.
ITEMS = "<i n='1'><j>text</j></i>" * 100
BIG = f"<r>{ITEMS}{ITEMS}</r>"
XML_BIG = XML.replace("<g/>", f"<g>{ITEMS}</g>")
CONTENT_BIG = CONTENT + [("i", None, {"n": "1"}), ("j", "text", {})] * 100
RETAINED_BOUND = 4096


@pytest.mark.parametrize("drop_document", [False, True], ids=["document-kept", "document-dropped"])
def test_collect_at_every_step_of_a_walk(drop_document):
    doc = loaded()
    walk = doc.get_root().walk()
    if drop_document:
        del doc
    seen = []
    for element in walk:
        gc.collect()
        seen.append(element)
        gc.collect()
    assert content(seen) == CONTENT


@pytest.mark.parametrize("how", ["clear", "load_string", "document-dies"])
def test_elements_and_iterators_outlive_their_load(how):
    def scenario():
        doc = loaded(XML_BIG)
        doc.xpath_findall("//*")
        root = doc.get_root()
        c = root[1]
        held = list(root.walk())
        root_children, root_walk = iter(root), root.walk()
        c_children, c_walk = iter(c), c.walk()
        assert next(root_children) is root[0] and next(root_walk) is root
        if how == "clear":
            doc.clear()
        elif how == "load_string":
            doc.load_string(BIG)
            assert len(doc.xpath_findall("//j")) == 200
        else:
            del doc
        gc.collect()

        # Below the root, nothing changes: snapshots, links, iterators.
        assert content(held[1:]) == CONTENT_BIG[1:]
        assert c.parent is root and c.root is root and c.node_position == (0, 1)
        assert [e.name for e in c_children] == ["d", "e"]
        assert content(c_walk) == CONTENT[2:6]
        if how == "document-dies":
            # Nothing empties the root: the tree stays whole.
            assert content([root]) == CONTENT[:1]
            assert [e.name for e in root_children] == ["c", "g"]
            assert content(root_walk) == CONTENT_BIG[1:]
        else:
            # The root is emptied in place, and its iterators end at their next step.
            assert root.is_null and len(root) == 0 and content([root]) == [("", None, {})]
            assert list(root_children) == [] and list(root_walk) == []

    assert retained_after(scenario) < RETAINED_BOUND


def test_collector_runs_during_a_walk_that_a_callback_clears():
    doc = loaded("<r>" + "<i><j/></i>" * 200 + "</r>")
    root = doc.get_root()
    expected = list(root.walk())
    collections = []

    def on_collect(phase, info):
        if phase == "start":
            collections.append(info)
            if len(collections) == 50:
                doc.clear()

    previous = gc.get_threshold()
    gc.callbacks.append(on_collect)
    gc.set_threshold(1)
    try:
        seen = [(e.name, len(e)) for e in root.walk()]
    finally:
        gc.callbacks.remove(on_collect)
        gc.set_threshold(*previous)
    assert len(collections) >= 50 and root.is_null
    # Up to the clear the walk follows the tree; afterwards it finishes only what it had started.
    assert 1 < len(seen) < len(expected)
    assert all(name in ("r", "", "i", "j") for name, _ in seen)


class RichDocument(Document):
    def __init__(self):
        super().__init__()
        self.me = self
        self.log = []


class RichElement(Element):
    pass


@pytest.mark.parametrize("kept", ["root", "leaf", "both"])
def test_a_tree_its_document_let_go_of_is_collected_as_one_object(kept):
    def scenario():
        doc = loaded(XML_BIG)
        doc.xpath_findall("//j")
        root = doc.get_root()
        leaf = root[1][1][0]
        del doc
        # The collector holds the top element alone, and the tree answers to it.
        assert gc.is_tracked(root) and not any(gc.is_tracked(e) for e in list(root.walk())[1:])
        assert root not in gc.get_referrers(root)
        held = {"root": [root], "leaf": [leaf], "both": [root, leaf]}[kept]
        del root, leaf
        gc.collect()
        assert content(held[0].root.walk()) == CONTENT_BIG
        assert held[-1].node_position == ((0,) if kept == "root" else (0, 1, 1, 0))
        held.clear()

    assert retained_after(scenario) < RETAINED_BOUND


def test_such_a_tree_shown_by_get_referents_goes_to_the_collector_whole():
    def scenario():
        doc = loaded(XML_BIG)
        root = doc.get_root()
        del doc
        children = next(o for o in gc.get_referents(root) if type(o) is list)
        assert all(gc.is_tracked(e) for e in root.walk()) and gc.is_tracked(children)
        children.append(children)  # a cycle through the tree, which the collector must see
        del root, children

    assert retained_after(scenario) < RETAINED_BOUND


@pytest.mark.parametrize("clear", [False, True], ids=["loaded", "cleared"])
def test_subclasses_with_attributes_and_cycles_are_reclaimed(clear):
    refs = []

    def scenario():
        for _ in range(5):
            doc = loaded(BIG, RichDocument)
            doc.root = doc.get_root()
            doc.everything = list(doc.root.walk())
            doc.found = doc.xpath_findall("//j")
            doc.walk = doc.root[3].walk()
            next(doc.walk)
            extra = RichElement()
            extra.owner, extra.me, doc.extra = doc, extra, extra
            doc.log.append(doc.log)
            refs.extend([weakref.ref(doc), weakref.ref(extra)])
            if clear:
                doc.clear()

    assert retained_after(scenario) < RETAINED_BOUND
    assert [r() for r in refs] == [None] * len(refs)


class InspectingDocument(RichDocument):
    seen = []

    def __del__(self):
        # Runs while the collector holds this document and its tree as garbage.
        root = self.get_root()
        self.seen.append((content(root.walk()), self.xpath_findall("//d") == [root[1][0]]))


class InspectingElement(Element):
    seen = []

    def __del__(self):
        self.seen.append((len(self), self.parent, self.root is self, repr(self), self.node_position))


def test_finalisers_see_whole_objects_during_collection():
    InspectingDocument.seen.clear()
    InspectingElement.seen.clear()
    doc = loaded(XML, InspectingDocument)
    element = InspectingElement()
    doc.element, element.doc, doc.walk = element, doc, doc.get_root().walk()
    next(doc.walk)
    del doc, element
    gc.collect()
    assert InspectingDocument.seen == [(CONTENT, True)]
    assert InspectingElement.seen == [(0, None, True, "<Element name='' attributes={} text=None>", (0,))]


class ResurrectingDocument(Document):
    saved = []

    def __del__(self):
        self.saved.append(self)


def test_a_document_resurrected_by_its_finaliser_still_works():
    ResurrectingDocument.saved.clear()
    doc = loaded(XML, ResurrectingDocument)
    root = doc.get_root()
    doc.cycle = (doc, root)
    del doc, root
    gc.collect()
    (doc,) = ResurrectingDocument.saved
    assert content(doc.get_root().walk()) == CONTENT
    assert doc.xpath_find("//f") is doc.get_root()[1][1][0]
    ref = weakref.ref(doc)
    ResurrectingDocument.saved.clear()
    del doc
    gc.collect()
    assert ref() is None and ResurrectingDocument.saved == []  # the finaliser runs once only


def test_children_lists_changed_through_get_referents_cannot_crash():
    # gc.get_referents hands out an element's list of children; whatever is put into it, the
    # module never takes it for an element, and the list that leaves share is not handed out.
    doc = loaded("<a><b/><c><e/></c></a>")
    root = doc.get_root()
    b, c = root[0], root[1]
    assert [o for o in gc.get_referents(b) if type(o) is list] == []
    children = next(o for o in gc.get_referents(c) if type(o) is list)
    children.append(42)
    assert doc.get_node_by_position((0, 1, 1)) == 42
    assert doc.get_node_by_position((0, 1, 1, 0)) is None
    assert [getattr(x, "name", x) for x in root.walk()] == ["a", "b", "c", "e", 42]
    assert list(b) == []
    assert doc.xpath_find("//e") is c[0]
    doc.load_string("<z/>")
    del doc, root, b, c, children
    gc.collect()
