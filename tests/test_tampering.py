"""Structures of a Document reached behind its back (through gc.get_referents) and changed, code
of anybody's run in the middle of a release, and failures in the middle of filling the dictionary
by hash value: nothing may crash, hand out a freed element or answer wrongly afterwards."""
import gc
import weakref

import pytest

import _tamarack_testnative as native
from helpers import load
from tamarack.pugixml import Document

XML = "<a><b><c/></b><d/></a>"


def dictionary_of(doc):
    return next(o for o in gc.get_referents(doc) if type(o) is dict)


def list_of(element):
    return next(o for o in gc.get_referents(element) if type(o) is list)


def test_a_changed_dictionary_entry_is_never_answered_from_a_stale_mirror():
    doc = load(XML)
    root = doc.get_root()
    b = root[0]
    assert doc.xpath_find("//b") is b  # fills the dictionary and its native mirror
    table = dictionary_of(doc)
    table[b.hash_value] = "stand-in"  # same size: only a watch of the dictionary tells
    del list_of(root)[0], b  # the element is freed now
    gc.collect()
    assert doc.xpath_find("//b") == "stand-in"
    assert doc.xpath_findall("//b | //d") == ["stand-in", root[0]]
    doc.load_string(XML)
    assert doc.xpath_find("//b") is doc.get_root()[0]


class Meddler:
    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


@pytest.mark.parametrize("action", ["add_entry", "clear", "reload", "reload_and_query"])
def test_code_run_during_a_release_cannot_break_it(action):
    doc = load(XML)
    root = doc.get_root()
    assert doc.xpath_find("//c") is root[0][0]
    frozen = bytes(4096)

    # The dictionary is fetched only when the code runs: held by the test, it would take the
    # release another way.
    def act():
        if action == "add_entry":
            dictionary_of(doc)[12345] = frozen
        elif action == "clear":
            doc.clear()
        else:
            doc.load_string("<x><y/></x>")
            if action == "reload_and_query":
                assert doc.xpath_find("//y") is doc.get_root()[0]

    list_of(root[0]).append(Meddler(act))
    del root
    doc.load_string("<z><w/></z>")
    gc.collect()
    assert frozen == bytes(4096)
    dictionary_of(doc).pop(12345, None)
    doc.load_string("<z><w/></z>")
    assert doc.xpath_find("//w") is doc.get_root()[0]


class WeakDocument(Document):
    pass


@pytest.mark.parametrize("reached_through", ["element", "walk"])
def test_a_cycle_through_a_children_list_is_collected(reached_through):
    doc = WeakDocument()
    doc.load_string(XML)
    root = doc.get_root()
    assert doc.xpath_find("//d") is root[1]  # the filled dictionary leaves the collector too
    walk = root.walk()
    next(walk), next(walk)
    holder = root if reached_through == "element" else walk
    # A list that a Document keeps out of the collector may not be handed out at all; one that is
    # must not keep the cycle alive.
    for children in [o for o in gc.get_referents(holder) if type(o) is list]:
        children.append(doc)
    ref = weakref.ref(doc)
    children = None
    del doc, root, walk, holder, children
    gc.collect()
    assert ref() is None


def test_a_fill_that_runs_out_of_memory_is_done_again_by_the_next_lookup():
    testcapi = pytest.importorskip("_testcapi")
    doc = load("<r>" + "<e/>" * 3000 + "</r>")
    root = doc.get_root()
    table = native.nodes_by_hash_value(doc)
    assert doc.xpath_find("//e[last()]") is root[-1]  # answered by the native index alone
    failed = False
    testcapi.set_nomemory(1000, 0)
    try:
        gc.get_referents(doc)  # the dictionary is filled before it is shown
    except MemoryError:
        failed = True
    finally:
        testcapi.remove_mem_hooks()
    assert failed and len(table) == 0
    found = doc.xpath_findall("//e")
    assert len(found) == 3000 and all(f is e for f, e in zip(found, root))
    assert dictionary_of(doc) is table and len(table) == 3001


def test_positions_keep_no_memory_per_element():
    depth = 400
    doc = load("<e>" * depth + "</e>" * depth)
    chain = list(doc.get_root().walk())
    assert [len(e.node_position) for e in chain] == list(range(1, depth + 1))
    assert chain[-1].node_position == (0,) * depth
    assert sum(native.element_op(e, "position_cache") for e in chain) == 0
    assert chain[5].node_position == chain[5].node_position
    assert chain[5].node_position is not chain[5].node_position
