"""XPath queries answered with the tree's own elements, and their errors."""

import gc
import os
import shutil
import subprocess
import sys
import tracemalloc

import pytest

from helpers import UNDER_SANITIZER, StrSub, arg_type_error, load, rss_bytes, same
from tamarack.pugixml import Document, NodeType

# Root a with children b, c, b; both b elements hold text and every element but c an id.
ABC = '<a id="r"><b id="1">one</b><c/><b id="2">two</b></a>'

INVALID = [
    "//b[",
    "//b[1",
    "foo()",
    "//",
    "",
    "1 +",
    "'open",
    "count(//a)",
    "string(//b)",
    "1 + 1",
    "true()",
    "$x",
    "//b[$x]",
]
# The descriptions that do not depend on pugixml's wording of a syntax error.
KNOWN = {
    "count(//a)": "Expression does not evaluate to node set",
    "string(//b)": "Expression does not evaluate to node set",
    "$x": "Unknown variable: variable set is not provided",
    "//b[$x]": "Unknown variable: variable set is not provided",
}


def abc_elements(doc):
    root = doc.get_root()
    return {"a": root, "b1": root[0], "c": root[1], "b2": root[2], None: None}


@pytest.fixture
def text():
    return ABC


def test_reload_gives_new_elements(doc):
    old = doc.xpath_find("//c")
    doc.load_string(ABC)
    new = doc.xpath_find("//c")
    assert new is not old and new is doc.get_root()[1]
    assert old.name == "c"


@pytest.mark.parametrize(
    "xpath, all_expected, first_expected",
    [
        ("//b", ["b1", "b2"], "b1"),
        ("//*", ["a", "b1", "c", "b2"], "a"),
        # a union lists its left operand first; the first node is the first in document order
        ("//c | //b", ["c", "b1", "b2"], "b1"),
        ("//b | //c", ["b1", "b2", "c"], "b1"),
        # the document node and text nodes have no element
        ("/", [None], None),
        ("/ | //b", [None, "b1", "b2"], None),
        ("//b/text()", [None, None], None),
        ("//node()", ["a", "b1", None, "c", "b2", None], "a"),
        # attributes are skipped
        ("//attribute::id", [], None),
        ("//@id | //c", ["c"], None),
        # relative expressions start at the document node
        ("b", [], None),
        ("a", ["a"], "a"),
        ("//zzz", [], None),
    ],
)
@pytest.mark.parametrize("first_call", ["get_root", "xpath_find", "xpath_findall"])
def test_selection_mapped_to_elements(doc, xpath, all_expected, first_expected, first_call):
    if first_call == "get_root":
        doc.get_root()
    order = ["xpath_find", "xpath_findall"] if first_call == "xpath_find" else ["xpath_findall", "xpath_find"]
    answers = {method: getattr(doc, method)(xpath) for method in order}
    # Read after the queries, which may have built the tree: they answer with its own elements.
    named = abc_elements(doc)
    assert same(answers["xpath_findall"], [named[k] for k in all_expected])
    assert answers["xpath_find"] is named[first_expected]


@pytest.mark.parametrize("excluded", [False, True], ids=["cdata-kept", "cdata-excluded"])
def test_excluded_cdata_maps_to_none(excluded):
    doc = load("<a><![CDATA[x]]><b/></a>", [NodeType.NODE_CDATA] if excluded else [])
    root = doc.get_root()
    found = doc.xpath_findall("/a/node()")
    if excluded:
        assert same(found, [None, root[0]])
        assert root[0].name == "b"
    else:
        assert same(found, [root[0], root[1]])
        assert root[0].type is NodeType.NODE_CDATA
    assert doc.xpath_find("/ | //b") is None


def test_excluded_element_and_everything_below_it_map_to_none():
    doc = load("<a><b><c/></b><d/></a>", [NodeType.NODE_ELEMENT])
    root = doc.get_root()
    assert len(root) == 0
    assert same(doc.xpath_findall("//*"), [root, None, None, None])
    assert doc.xpath_find("//c") is None


def test_nothing_loaded(unloaded):
    for xpath in ["//b", "/", "//b[", "count(//a)", "$x", "\ud800"]:
        assert unloaded.xpath_find(xpath) is None
    # Only the document node is left to select: a failed load keeps nothing of what pugixml
    # parsed before the error.
    assert unloaded.xpath_findall("//b") == []
    assert unloaded.xpath_findall("//node()") == []
    assert unloaded.xpath_findall("/") == [None]
    assert unloaded.xpath_findall("/ | //b") == [None]
    for xpath in ["//b[", "foo()"]:
        with pytest.raises(ValueError):
            unloaded.xpath_findall(xpath)
    with pytest.raises(ValueError) as info:
        unloaded.xpath_findall("count(//a)")
    assert info.value.args == ("Expression does not evaluate to node set",)
    with pytest.raises(UnicodeEncodeError):
        unloaded.xpath_findall("\ud800")
    assert not unloaded.has_root


def _value_errors(xpath):
    """The ValueErrors of every call that must raise for xpath."""
    errors = []
    calls = [
        lambda: load(ABC).xpath_find(xpath),
        lambda: load(ABC).xpath_findall(xpath),
        lambda: Document().xpath_findall(xpath),
    ]
    for call in calls:
        with pytest.raises(ValueError) as info:
            call()
        errors.append(info.value)
    return errors


@pytest.mark.parametrize("xpath", INVALID)
def test_invalid_expression_raises_value_error_with_the_bare_description(xpath):
    # Every call raises one message: the description, without a position or an offset.
    errors = _value_errors(xpath)
    for error in errors:
        assert type(error) is ValueError
        assert len(error.args) == 1 and type(error.args[0]) is str
    messages = {e.args[0] for e in errors}
    assert len(messages) == 1
    message = messages.pop()
    assert message
    assert "position" not in message.lower() and "offset" not in message.lower()
    assert not message[0].isdigit()
    if xpath in KNOWN:
        assert message == KNOWN[xpath]


PROBE = r"""
#include <pugixml.hpp>
#include <iostream>
#include <string>
int main() {
    pugi::xml_document empty;
    std::string line;
    while (std::getline(std::cin, line)) {
        try {
            pugi::xpath_query query(line.c_str());
            query.evaluate_node_set(empty);
            std::cout << "no error\n";
        } catch (const pugi::xpath_exception& e) {
            std::cout << e.what() << "\n";
        }
    }
}
"""


@pytest.fixture(scope="module")
def pugixml_description(tmp_path_factory):
    """Ask the pugixml library itself how it describes an expression's error."""
    compiler = shutil.which(os.environ.get("CXX", "c++"))
    if compiler is None:
        pytest.skip("no C++ compiler to ask pugixml for its descriptions")
    folder = tmp_path_factory.mktemp("pugixml_probe")
    source, program = folder / "probe.cpp", folder / "probe"
    source.write_text(PROBE)
    built = subprocess.run([compiler, str(source), "-o", str(program), "-lpugixml"], capture_output=True)
    if built.returncode != 0:
        pytest.skip("cannot build against pugixml: " + built.stderr.decode(errors="replace"))

    def describe(xpath):
        run = subprocess.run([str(program)], input=(xpath + "\n").encode(), capture_output=True, check=True)
        return run.stdout.decode().rstrip("\n")

    return describe


@pytest.mark.parametrize("xpath", INVALID)
def test_description_is_pugixmls_own(xpath, pugixml_description):
    expected = pugixml_description(xpath)
    assert expected != "no error"
    for error in _value_errors(xpath):
        assert error.args == (expected,)


@pytest.mark.parametrize("method", ["xpath_find", "xpath_findall"])
@pytest.mark.parametrize(
    "argument, type_name",
    [(None, "NoneType"), (b"//b", "bytes"), (StrSub("//b"), "StrSub"), (1, "int"), (["//b"], "list")],
)
@pytest.mark.parametrize("loaded", [False, True], ids=["unloaded", "loaded"])
def test_argument_must_be_exactly_a_str(method, argument, type_name, loaded):
    doc = load(ABC) if loaded else Document()
    with pytest.raises(TypeError) as info:
        getattr(doc, method)(argument)
    assert type(info.value) is TypeError
    assert str(info.value) == arg_type_error("xpath", "str", type_name)
    assert getattr(info.value, "__notes__", []) == []
    assert not doc.has_root


@pytest.mark.parametrize("method", ["xpath_find", "xpath_findall"])
def test_lone_surrogate_with_a_document(doc, method):
    with pytest.raises(UnicodeEncodeError):
        getattr(doc, method)("//b\ud800")
    assert not doc.has_root


def test_expression_ends_at_a_nul_character(doc):
    named = abc_elements(doc)
    assert doc.xpath_find("//c\0[[") is named["c"]
    assert same(doc.xpath_findall("//b\0 | //c"), [named["b1"], named["b2"]])
    with pytest.raises(ValueError) as info:
        doc.xpath_findall("count(//a)\0//b")
    assert info.value.args == ("Expression does not evaluate to node set",)
    with pytest.raises(ValueError) as after_nul:
        doc.xpath_findall("\0//b")
    with pytest.raises(ValueError) as empty:
        doc.xpath_findall("")
    assert after_nul.value.args == empty.value.args


@pytest.mark.parametrize(
    "method, xpath, built",
    [
        ("xpath_find", "//b", True),
        ("xpath_find", "/", True),
        ("xpath_find", "//zzz", False),
        ("xpath_find", "//@id", False),
        ("xpath_findall", "//b", True),
        ("xpath_findall", "/", True),
        ("xpath_findall", "//zzz", False),
        ("xpath_findall", "//@id", False),
    ],
)
def test_query_builds_the_root_only_when_it_looks_a_node_up(doc, method, xpath, built):
    getattr(doc, method)(xpath)
    assert doc.has_root is built


def test_failing_queries_do_not_leak():
    loaded, empty = load(ABC), Document()
    queries = [
        lambda: loaded.xpath_find("//b["),
        lambda: loaded.xpath_findall("count(//a)"),
        lambda: loaded.xpath_find("$x"),
        lambda: empty.xpath_findall("foo()"),
    ]

    def fail(rounds):
        failures = 0
        for i in range(rounds):
            try:
                queries[i % len(queries)]()
            except ValueError:
                failures += 1
        return failures

    tracemalloc.start()
    try:
        assert fail(10_000) == 10_000
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        blocks_before = sys.getallocatedblocks()
        rss_before = rss_bytes()

        assert fail(100_000) == 100_000
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
        blocks_growth = sys.getallocatedblocks() - blocks_before
        rss_growth = rss_bytes() - rss_before
    finally:
        tracemalloc.stop()
    assert traced_growth < 256 * 1024
    assert blocks_growth < 1_000
    # native allocations are invisible to tracemalloc; 4 MiB is 40 bytes a query
    if not UNDER_SANITIZER:
        assert rss_growth < 4 * 1024 * 1024


# `//name` on a built tree is answered by walking the tree; `/descendant::name` selects the same
# nodes through pugixml. Elements named b and x:b, a PI and a comment that mention b (pugixml
# leaves both out of the document), names with dots and dashes, a b inside a b.
NAMED = (
    '<?b pi?><a><b id="1"><b id="2"/></b><x:b id="3"/><!--b--><c>'
    '<b id="4">t</b><b.c-d id="5"/><B id="6"/></c><?b pi?></a>'
)


@pytest.mark.parametrize(
    "name, ids",
    [
        ("b", ["1", "2", "4"]),
        ("x:b", ["3"]),
        ("b.c-d", ["5"]),
        ("B", ["6"]),
        ("a", [None]),
        ("c", [None]),
        ("x", []),
        ("zzz", []),
    ],
)
@pytest.mark.parametrize("root_first", [False, True], ids=["query-first", "root-first"])
def test_descendants_by_name(name, ids, root_first):
    doc = load(NAMED)
    if root_first:
        doc.get_root()
    found = doc.xpath_findall(f"//{name}")
    assert [e.attributes.get("id") for e in found] == ids
    assert [e.name for e in found] == [name] * len(ids)
    assert same(found, doc.xpath_findall(f"/descendant::{name}"))


def test_descendants_by_name_hold_what_pugixmls_answer_holds():
    walked, evaluated = load(NAMED), load(NAMED)
    for doc in (walked, evaluated):
        doc.get_root()
    walked.xpath_findall("//zzz")
    evaluated.xpath_findall("/descendant::zzz")
    counts = lambda doc: [sys.getrefcount(e) for e in doc.get_root().walk()]
    # Selecting nothing looks nothing up.
    assert counts(walked) == counts(evaluated)
    walked.xpath_findall("//b")
    evaluated.xpath_findall("/descendant::b")
    assert counts(walked) == counts(evaluated)


# Trees that lack some of the document's elements, each with what `//b` selects (read after the
# query, whether it built the tree or not): the walk must leave these to pugixml.
def _second_top_level_element():
    doc = load("<a><b/></a><b/>")
    return doc, lambda: [doc.get_root()[0], None]


def _elements_excluded():
    return load("<a><b/></a>", [NodeType.NODE_ELEMENT]), lambda: [None]


def _list_emptied():
    doc = load("<a><b/><b/></a>")
    (children,) = [r for r in gc.get_referents(doc.get_root()) if isinstance(r, list)]
    children.clear()
    # Looked up in the tree as it is now.
    return doc, lambda: [None, None]


@pytest.mark.parametrize(
    "make", [_second_top_level_element, _elements_excluded, _list_emptied],
    ids=["second-top-level-element", "elements-excluded", "list-emptied"],
)
@pytest.mark.parametrize("root_first", [False, True], ids=["query-first", "root-first"])
def test_descendants_by_name_of_a_tree_that_lacks_elements(make, root_first):
    doc, expected = make()
    if root_first:
        doc.get_root()
    found = doc.xpath_findall("//b")
    assert doc.has_root
    assert same(found, expected())


def _outcome(doc, xpath):
    try:
        return [(e.name, e.attributes.get("id")) if e is not None else None for e in doc.xpath_findall(xpath)]
    except ValueError as error:
        return ValueError, error.args


@pytest.mark.parametrize(
    "xpath",
    ["//b\0//c", "//b:", "//b::c", "//x:", "//x:b", "//:b", "//b c", "///b", "//b/", "//b[1]", "//1b",
     "// b", "//b.", "//_", "//b-"],
)
def test_expressions_near_a_descendant_name_answer_as_pugixml_does(xpath):
    walked = load(NAMED)
    walked.get_root()
    # A tree whose lists were shown is never walked for a query: pugixml answers there.
    evaluated = load(NAMED)
    gc.get_referents(evaluated.get_root())
    assert _outcome(walked, xpath) == _outcome(evaluated, xpath)
