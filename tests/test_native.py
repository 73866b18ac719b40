"""The native interface as a downstream extension module sees it, and the exception translations,
driven through the test-only module _tamarack_testnative."""
import gc
import subprocess
import sys

import pytest

import _tamarack_testnative as native
from tamarack.pugixml import Document


def test_capsule_name_is_the_signature():
    assert native.capsule_name() == native.expected_signature()
    assert native.capsule_name().startswith("PyObject *(") and native.capsule_name().endswith(" &)")


def test_attribute_map_to_dict_orders_by_name_bytes():
    pairs = [(b"z", b"1"), (b"b", b"2"), (b"B", b""), ("b\u00e9".encode(), b"\xc3\xa9"), (b"bz", b"3")]
    result = native.attribute_map_to_dict(pairs)
    assert list(result.items()) == [("B", ""), ("b", "2"), ("bz", "3"), ("b\u00e9", "\u00e9"), ("z", "1")]


def test_attribute_map_to_dict_later_assignment_wins_and_dicts_are_new():
    first = native.attribute_map_to_dict([(b"a", b"1"), (b"a", b"2")])
    second = native.attribute_map_to_dict([(b"a", b"1"), (b"a", b"2")])
    assert first == second == {"a": "2"}
    assert first is not second


@pytest.mark.parametrize("pairs", [[(b"\xff", b"ok")], [(b"ok", b"\xed\xa0\x80")]], ids=["key", "value"])
def test_attribute_map_to_dict_refuses_invalid_utf8(pairs):
    with pytest.raises(UnicodeDecodeError):
        native.attribute_map_to_dict(pairs)


def test_document_table_reaches_the_pugixml_document():
    doc = Document()
    doc.load_string("<catalog><item/></catalog>")
    assert native.document_element_name(doc) == "catalog"
    doc.clear()
    assert native.document_element_name(doc) == ""


@pytest.mark.parametrize("root_first", [False, True], ids=["query-first", "root-first"])
def test_dictionary_by_hash_value_is_filled_before_anybody_sees_it(root_first):
    # Lookups are answered by the native index, which holds the elements as the dictionary would;
    # the dictionary itself is filled as soon as gc.get_referents can show it. A first query that
    # builds the tree uses the index too.
    doc = Document()
    doc.load_string("<a><b><c/></b><b/><![CDATA[x]]></a>")
    table = native.nodes_by_hash_value(doc)
    if root_first:
        doc.get_root()
    found = doc.xpath_find("//c")
    root = doc.get_root()
    assert table == {}
    assert found is root[0][0]
    elements = list(root.walk())
    counts = [sys.getrefcount(e) for e in elements]
    assert table == {}
    assert next(o for o in gc.get_referents(doc) if type(o) is dict) is table
    assert table is native.nodes_by_hash_value(doc)
    assert list(table.items()) == [(e.hash_value, e) for e in elements]
    assert [sys.getrefcount(e) for e in elements] == counts
    assert doc.xpath_findall("//b") == [root[0], root[1]]
    doc.load_string("<other/>")
    assert table == {}


@pytest.mark.parametrize("show", ["document", "element"])
def test_dictionary_is_filled_when_the_tree_is_shown(show):
    doc = Document()
    doc.load_string("<a><b/><b/></a>")
    root = doc.get_root()
    assert doc.xpath_findall("//b") == list(root)
    table = native.nodes_by_hash_value(doc)
    gc.get_referents(doc if show == "document" else root[1])
    assert list(table.values()) == list(root.walk())


def test_null_handle_fills_the_empty_record():
    assert native.null_record() == {
        "type": 0, "name": 0, "text": 0, "attributes": 0, "is_empty": True, "has_text": False,
        "is_null": True, "hash_value": 0,
    }


def test_exec_slot_on_another_module_is_refused_and_leaves_the_module_alone():
    import tamarack.pugixml as module

    before = dict(vars(module))
    with pytest.raises(RuntimeError) as info:
        native.exec_on_new_module()
    assert str(info.value) == "Module 'pugixml' has already been imported. Re-initialisation is not supported."
    assert dict(vars(module)) == before
    doc = Document()
    doc.load_string("<a/>")
    assert doc.get_root().name == "a"


STANDARD = [
    ("bad_alloc", MemoryError, None),
    ("bad_cast", TypeError, None),
    ("bad_typeid", TypeError, None),
    ("domain_error", ValueError, "domain message"),
    ("invalid_argument", ValueError, "invalid message"),
    ("ios_base_failure", OSError, None),
    ("out_of_range", IndexError, "range message"),
    ("overflow_error", OverflowError, "overflow message"),
    ("range_error", ArithmeticError, "range error message"),
    ("underflow_error", ArithmeticError, "underflow message"),
    ("runtime_error", RuntimeError, "runtime message"),
    ("length_error", RuntimeError, "length message"),
    ("logic_error", RuntimeError, "logic message"),
    ("non_exception", RuntimeError, "Unknown exception"),
]


@pytest.mark.parametrize("kind, exc_type, message", STANDARD, ids=[row[0] for row in STANDARD])
def test_standard_translation(kind, exc_type, message):
    with pytest.raises(exc_type) as info:
        native.translate(kind)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    else:
        assert str(info.value)  # the runtime library's what() text


@pytest.mark.parametrize("kind", ["bad_alloc", "out_of_range", "non_exception"])
def test_standard_translation_keeps_a_pending_exception(kind):
    with pytest.raises(KeyError, match="pending"):
        native.translate(kind, True)


XPATH = [
    ("runtime_error", RuntimeError, ("runtime message",)),
    ("length_error", Exception, ("length message",)),
    ("logic_error", Exception, ("logic message",)),
    ("empty", RuntimeError, ("",)),
    ("empty_logic", Exception, ("",)),
    ("non_ascii_logic", Exception, ("Unknown error",)),
    ("non_exception", RuntimeError, ("Unknown exception",)),
]


@pytest.mark.parametrize("kind, exc_type, args", XPATH, ids=[row[0] for row in XPATH])
def test_xpath_translation(kind, exc_type, args):
    with pytest.raises(exc_type) as info:
        native.xpath_translate(kind)
    assert type(info.value) is exc_type
    assert info.value.args == args


def test_xpath_translation_of_pugixml_error_is_value_error_with_its_description():
    with pytest.raises(ValueError) as info:
        native.xpath_translate("xpath_exception")
    assert type(info.value) is ValueError
    doc = Document()
    with pytest.raises(ValueError) as direct:
        doc.xpath_findall("//a[")
    assert info.value.args == direct.value.args and info.value.args[0]


def test_xpath_translation_of_bad_alloc_is_plain_exception():
    with pytest.raises(Exception) as info:
        native.xpath_translate("bad_alloc")
    assert type(info.value) is Exception
    assert info.value.args[0]


def test_xpath_translation_of_non_ascii_runtime_error_is_decode_error():
    with pytest.raises(UnicodeDecodeError):
        native.xpath_translate("non_ascii")


def test_xpath_handler_outside_a_catch_block_is_system_error():
    with pytest.raises(SystemError):
        native.xpath_handler_outside_catch()



# Every entry of both operation tables, called as a consumer calls it.

TABLE_XML = "<a><b><c/></b>text<b k='v'/><![CDATA[x]]></a>"


def test_layout_check_passes_against_the_module():
    assert native.check_layout() is None


def test_document_table_loads_builds_and_resets():
    doc = Document()
    assert native.document_op(doc, "_load_string", TABLE_XML) == 0
    assert native.document_op(doc, "_has_root") is False
    root = native.document_op(doc, "_get_root")
    assert root is doc.get_root() and native.document_op(doc, "_has_root") is True
    assert native.document_op(doc, "_reset") == 0
    assert not doc.has_document and native.document_op(doc, "_get_root") is None
    with pytest.raises(RuntimeError):
        native.document_op(doc, "_load_string", "<a>")


def test_document_table_queries_and_lookups():
    doc = Document()
    doc.load_string(TABLE_XML)
    root = doc.get_root()
    c, second_b = root[0][0], root[1]
    first = native.document_op(doc, "_xpath_find", "//c")
    assert first == (int(c.type), c.hash_value)
    assert native.document_op(doc, "_xpath_find", "//missing") == (0, 0)
    assert native.document_op(doc, "_xpath_findall", "//b") == [
        (2, root[0].hash_value), (2, second_b.hash_value)]
    assert native.document_op(doc, "_xpath_findall", "//@k") == []
    text, cdata = native.document_op(doc, "_xpath_findall", "/a/text()")
    assert text[0] == 3 and cdata == (4, root[2].hash_value)  # the text node has no element
    assert native.document_op(doc, "_collect_nodes_by_hash_value") == 0
    assert len(native.nodes_by_hash_value(doc)) == len(list(root.walk()))
    assert native.document_op(doc, "_find_from_hash_value", second_b.hash_value) is second_b
    assert native.document_op(doc, "_find_from_hash_value", text[1]) is None
    with pytest.raises(ValueError):
        native.document_op(doc, "_xpath_findall", "//b[")


def test_element_table_on_a_built_tree():
    doc = Document()
    doc.load_string(TABLE_XML)
    root = doc.get_root()
    c = root[0][0]
    assert native.element_op(c, "_find_root") is root
    assert native.element_op(c, "_get_type") == 2 and native.element_op(root[2], "_get_type") == 4
    assert native.element_op(c, "_is_null") is False
    assert native.element_op(c, "_construct_position_indices") == c.node_position == (0, 0, 0)
    leaf = root[1]
    assert native.element_op(leaf, "_clear") is None
    assert native.element_op(leaf, "_is_null") is True and leaf.name == "" and leaf.attributes == {}


@pytest.mark.parametrize("change", ["_clear", "gc.get_referents"])
def test_a_tree_changed_before_the_first_lookup_is_looked_up_as_it_is_now(change):
    # The build enters its elements for the first query; a change of the tree before then must
    # not leave that query the elements it freed.
    doc = Document()
    doc.load_string("<a><b><c/><c/></b><d/></a>")
    root = doc.get_root()
    b = root[0]
    if change == "_clear":
        native.element_op(b, "_clear")
    else:
        next(o for o in gc.get_referents(b) if type(o) is list).clear()
    gc.collect()
    assert doc.xpath_findall("//c | //d") == [None, None, root[1]]
    # A cleared element is entered under the hash value of its empty snapshot.
    assert doc.xpath_find("//b") is (None if change == "_clear" else b)


@pytest.mark.parametrize("build_only", [False, True], ids=["_create", "_build_children"])
def test_element_table_makes_trees(build_only):
    import gc
    doc = Document()
    doc.load_string(TABLE_XML)
    made = native.create(doc, "/a", None, build_only)
    assert [e.name for e in made.walk()][1:] == ["b", "c", "b", ""]
    assert [e.node_position for e in made.walk()][1:] == [(0, 0), (0, 0, 0), (0, 1), (0, 2)]
    assert made[0].parent is made and made is not doc.get_root()
    # A tree made through the table is an ordinary one, in the collector.
    assert all(gc.is_tracked(e) for e in made.walk())
    if not build_only:
        assert made.name == "a" and made.path == "/a" and made.attributes == {}
        child = native.create(doc, "//c", made)
        assert child.parent is made and child.path == "/a/b/c"


def test_argument_errors_need_no_native_memory():
    # In a process of its own: a native allocation failing inside a noexcept function would
    # terminate it.
    script = (
        "import _tamarack_testnative as n\n"
        "e = n.single_argument_without_memory()\n"
        "print('unhooked' if e is None else f'{type(e).__name__}: {e}')\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    if result.stdout == "unhooked\n":
        pytest.skip("this build's native allocations do not go through the test module")
    assert result.stdout == "TypeError: add_node_type_exclusion() takes at most 1 argument (2 given)\n"


# The index by hash value, against a dict: keys in increasing order (the ranked bitmap), across
# and at the edges of its 64-bit words; then keys that it cannot take ranked (out of order, a
# repeat, outside the span reserved), which move every entry to the hash table on the way.
BASE = 1000


@pytest.mark.parametrize(
    "keys, span",
    [
        ([], (BASE, BASE + 10)),
        ([BASE], (BASE, BASE)),
        ([BASE, BASE + 1, BASE + 63, BASE + 64, BASE + 127, BASE + 128, BASE + 500], (BASE, BASE + 500)),
        ([BASE + 5 + 3 * i for i in range(300)], (BASE, BASE + 1000)),
        ([BASE + 64 * i for i in range(40)], (BASE, BASE + 64 * 39)),
        ([BASE + 10, BASE + 70, BASE + 130, BASE + 3, BASE + 200, BASE + 64], (BASE, BASE + 300)),
        ([BASE + 10, BASE + 70, BASE + 130, BASE + 70, BASE + 200], (BASE, BASE + 300)),
        ([BASE + 10, BASE + 70, BASE + 130, BASE + 400, BASE + 71], (BASE, BASE + 300)),
        ([BASE + 10, BASE + 64, BASE + 65, BASE - 1, BASE + 20], (BASE, BASE + 300)),
        ([BASE + 7 * i for i in range(100)], (BASE, BASE + 10 * 100 * 64)),
        ([BASE + 3, BASE + 1, BASE + 2, BASE + 3], (0, 0)),
    ],
    ids=["empty", "one", "word-edges", "every-third", "one-a-word", "out-of-order", "repeated",
         "above-span", "below-span", "span-too-wide", "hash-table"],
)
def test_index_by_hash_value_answers_as_a_dict(keys, span):
    expected = {}
    for k, key in enumerate(keys):
        expected[key] = k
    probes = sorted({p for key in keys for p in (key - 1, key, key + 1)} | {0, 1, BASE - 1, BASE + 301, 2**63})
    answers, size = native.index_lookups(keys, *span, probes)
    assert answers == [expected.get(p) for p in probes]
    assert size == len(expected)
