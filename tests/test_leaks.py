"""Leak check: the suite's core operations, failures included, repeated until memory settles;
after the warm-up rounds it must stop growing. Three views of memory, because each misses
something: tracemalloc sees Python's allocations, sys.getallocatedblocks the interpreter's own
small-object blocks, and the resident set size pugixml's and the module's native memory."""

import gc
import os
import itertools
import sys
import tracemalloc

import pytest

from helpers import UNDER_SANITIZER, rss_bytes
from tamarack.pugixml import Document, NodeType


# About 600 elements with attributes, text, CDATA, comments and a processing instruction, and an
# attribute value and a text that are not valid UTF-8 once expanded.
ITEMS = "".join(
    f"<item id='i{i}' n='{i}'><name>n{i}</name><![CDATA[c{i}]]><!--x--><?p q?>"
    f"<sub><deep k='{i % 7}'>t{i}</deep></sub></item>"
    for i in range(150)
)
XML = f"<root a='1'>{ITEMS}<bad v='&#xD800;'>&#xDFFF;</bad></root>"
BROKEN = ["<root>", "<a></b>", "", "<a b='1' b=>", "<<"]
DECLARED = '<?xml version="1.0" encoding="{}"?>'
LOADABLE = [XML.encode(), XML.encode("utf-16"), (DECLARED.format("KOI8-R") + "<r>Привет</r>").encode("koi8-r"),
            (DECLARED.format("UTF-16BE") + XML).encode("utf-16-be")]
LOAD_FAILURES = [(b"<a><b></a>", RuntimeError), (XML.encode("utf-16")[:-1], UnicodeDecodeError),
                 (DECLARED.format("klingon").encode() + b"<a/>", LookupError),
                 (DECLARED.format("UTF-8").encode("utf-32") + b"\0\0\0", ValueError),
                 (DECLARED.format("Shift_JIS").encode() + b"<a>\x81</a>", UnicodeDecodeError),
                 ((DECLARED.format("KOI8-R") + "<r>Привет</b>").encode("koi8-r"), RuntimeError), ("<a/>", TypeError)]
QUERIES = ["//item", "//deep[@k='3']", "/root/item[last()]", "//item/name/text()", "//@id", "/", "//nothing"]
BAD_QUERIES = ["//item[", "count(//item)", "$var", "unknown()", "//a[\ud800]"]


def read_everything(element):
    values = [element.type, element.parent, element.root, element.name, element.path,
              element.is_empty, element.is_null, element.has_text, element.hash_value, len(element)]
    try:
        values += [element.text, element.attributes, repr(element)]
    except UnicodeDecodeError:
        pass
    position = element.node_position
    assert element.find_from_position(position) is element
    return values


def expect(error, call, *args):
    with pytest.raises(error):
        call(*args)


def one_round(held):
    doc = Document()
    expect(TypeError, doc.set_node_type_exclusions, (NodeType.NODE_CDATA,))
    expect(TypeError, doc.set_node_type_exclusions, [NodeType.NODE_CDATA, "no"])
    doc.set_node_type_exclusions([NodeType.NODE_PI])
    doc.add_node_type_exclusion(NodeType.NODE_COMMENT)
    expect(TypeError, doc.load_string, b"<a/>")
    for text in BROKEN:
        expect(RuntimeError, doc.load_string, text)
    expect(UnicodeEncodeError, doc.load_string, "<a>\udc00</a>")

    # The other loaders, their failures and the codec path included.
    for data, error in LOAD_FAILURES:
        expect(error, doc.load_bytes, data)
    expect(FileNotFoundError, doc.load_file, "/nonexistent/doc.xml")
    expect(IsADirectoryError, doc.load_file, os.path.dirname(__file__))
    expect(TypeError, doc.load_file, 3)
    for data in LOADABLE:
        doc.load_bytes(data)
        doc.get_root()
    doc.load_file(__file__.replace("test_leaks.py", "../demo/sample.xml"))
    doc.get_root()
    doc.load_string(XML)
    for query in QUERIES:
        doc.xpath_findall(query)
        doc.xpath_find(query)
    root = doc.get_root()
    for element in root.walk():
        read_everything(element)
    assert doc.get_node_by_position((0, 149, 2, 0)).name == "deep"
    assert doc.get_node_by_position((0, 10_000)) is None
    expect(TypeError, doc.get_node_by_position, [0])
    expect(TypeError, root.find_from_position, (0, "x"))
    for query in BAD_QUERIES:
        expect((ValueError, UnicodeEncodeError), doc.xpath_findall, query)
        expect((ValueError, UnicodeEncodeError), doc.xpath_find, query)

    # Iterators and elements left behind across a reload and a clear.
    walk = root.walk()
    children = iter(root[3])
    next(walk), next(walk), next(children)
    held[:] = [walk, children, root[5][2][0]]
    doc.load_string(XML)
    list(itertools.islice(doc.get_root().walk(), 50))
    doc.xpath_findall("//deep")
    doc.clear()
    next(walk), next(children)
    list(walk)
    doc.load_string(XML)
    doc.get_root()[0].walk().close()
    # The lookups' index taken over, then the dictionary shown and the tree handed to the collector.
    doc.xpath_findall("//deep")
    gc.get_referents(doc)
    gc.get_referents(doc.get_root()[1])
    expect(ValueError, doc.get_root().walk().throw, ValueError("stop"))
    del doc, root, walk, children


def measure():
    gc.collect()
    # The interpreter's attribute cache keeps the name strings of recent lookups alive; it is
    # bounded, but fills slowly, so it is emptied before each measurement.
    sys._clear_type_cache()
    return tracemalloc.get_traced_memory()[0], sys.getallocatedblocks(), rss_bytes()


def test_memory_stops_growing():
    warm_up, rounds, repeats = 3, 8, 20
    held = []
    tracemalloc.start()
    try:
        samples = []
        for _ in range(warm_up + rounds):
            for _ in range(repeats):
                one_round(held)
            samples.append(measure())
    finally:
        tracemalloc.stop()
    traced, blocks, resident = (
        [sample[i] for sample in samples[warm_up - 1:]] for i in range(3))
    # A repeat makes about 3,000 elements and 4 parsed documents: losing one object, or one
    # parsed document, per repeat would pass these bounds within the measured rounds.
    assert traced[-1] - traced[0] < 16 * 1024, traced
    assert blocks[-1] - blocks[0] < 100, blocks
    if not UNDER_SANITIZER:
        assert resident[-1] - resident[0] < 4 * 1024 * 1024, resident


@pytest.mark.parametrize("last", ["dropped", "cleared", "reloaded"])
def test_tree_built_after_an_earlier_query_is_freed(last):
    # The dictionary by hash value was filled for the first tree, then emptied by the reload; the
    # second tree, never queried, must still be freed with its document.
    def scenario():
        doc = Document()
        doc.load_string(XML)
        doc.xpath_findall("//item")
        doc.load_string(XML)
        doc.get_root()
        if last == "cleared":
            doc.clear()
        elif last == "reloaded":
            doc.load_string("<other/>")

    scenario()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(20):
        scenario()
    gc.collect()
    assert sys.getallocatedblocks() - before < 100


def test_xpath_calls_leave_memory_flat():
    # 100,000 calls with contexts and variables of every type, failures included, in rounds.
    doc = Document()
    doc.load_string(XML)
    items = doc.xpath("//item")
    calls = [
        lambda i: doc.xpath("deep/@k | name/text() | .", context=items[i % 150][2]),
        lambda i: doc.xpath("//item[@n = $n]/name", variables={"n": i % 150}),
        lambda i: doc.xpath("concat($s, count($set), $b)", variables={"s": "x", "set": items[:3], "b": True}),
        lambda i: doc.xpath("string(name) = $s", context=items[i % 150], variables={"s": "n1"}),
        lambda i: expect(ValueError, doc.xpath, "$missing", None, {"n": 1}),
        lambda i: expect(TypeError, doc.xpath, ".", None, {"bad": object()}),
        lambda i: expect(ValueError, doc.xpath, ".", items[0].__class__()),
        lambda i: expect(UnicodeDecodeError, doc.xpath, "string(//bad/@v)"),
    ]
    warm_up, rounds, per_round = 2, 10, 10_000
    tracemalloc.start()
    try:
        samples = []
        for r in range(warm_up + rounds):
            for i in range(per_round):
                calls[i % len(calls)](i)
            samples.append(measure())
    finally:
        tracemalloc.stop()
    traced, blocks, resident = ([sample[i] for sample in samples[warm_up - 1:]] for i in range(3))
    # Losing one object every hundred calls would pass these bounds within the measured rounds.
    assert traced[-1] - traced[0] < 16 * 1024, traced
    assert blocks[-1] - blocks[0] < 100, blocks
    if not UNDER_SANITIZER:
        assert resident[-1] - resident[0] < 2 * 1024 * 1024, resident
