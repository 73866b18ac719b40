"""Threads: documents of their own per thread, and one document shared by several threads. Every
operation used here runs whole under the interpreter lock, so the threads interleave between calls
only; a very short switch interval makes them do so as often as possible. (The loaders of files and
bytes release the lock while they read and parse: tests/test_loading.py has the threads that use a
Document meanwhile.)"""

import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from tamarack.pugixml import Document

THREADS = 4
REPEATS = 60


@pytest.fixture(autouse=True)
def frequent_switches():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def run_together(*workers):
    """Runs every worker in its own thread, all released at once; re-raises the first failure."""
    start = threading.Barrier(len(workers))

    def started(worker):
        start.wait()
        return worker()

    with ThreadPoolExecutor(len(workers)) as pool:
        return [f.result() for f in [pool.submit(started, w) for w in workers]]


def document_text(tag, count):
    return f"<{tag}>" + "".join(f"<item n='{i}'><v>{tag}{i}</v></item>" for i in range(count)) + f"</{tag}>"


def test_each_thread_with_its_own_document():
    def worker(number):
        def run():
            tag, count = f"t{number}", 20 + number
            doc = Document()
            for _ in range(REPEATS):
                doc.load_string(document_text(tag, count))
                root = doc.get_root()
                assert root.name == tag and len(root) == count
                items = doc.xpath_findall("//item")
                assert items == list(root)
                for i, item in enumerate(items):
                    assert item.node_position == (0, i)
                    assert doc.get_node_by_position((0, i, 0)).text == f"{tag}{i}"
                    assert item.attributes == {"n": str(i)}
                assert doc.xpath_find(f"//item[@n='{count - 1}']/v") is items[-1][0]
                with pytest.raises(ValueError):
                    doc.xpath_find("//item[")
                with pytest.raises(RuntimeError):
                    doc.load_string(f"<{tag}>")
                assert doc.get_root() is None
            return number

        return run

    assert run_together(*(worker(n) for n in range(THREADS))) == list(range(THREADS))


def test_threads_sharing_a_loaded_document():
    doc = Document()
    doc.load_string(document_text("shared", 50))
    root = doc.get_root()
    expected = list(root.walk())

    def reader():
        for _ in range(REPEATS):
            assert list(root.walk()) == expected
            assert doc.xpath_findall("//*") == expected
            for element in expected[::7]:
                assert doc.get_node_by_position(element.node_position) is element
                assert doc.xpath_find(element.path) is not None
        return True

    assert run_together(*[reader] * THREADS) == [True] * THREADS


def test_threads_sharing_a_document_that_one_of_them_reloads():
    doc = Document()
    texts = {"a": document_text("a", 10), "b": document_text("b", 30)}
    sizes = {"a": 10, "b": 30}

    def writer():
        for i in range(REPEATS * 5):
            doc.load_string(texts["ab"[i % 2]])
            if i % 7 == 0:
                doc.clear()
        doc.load_string(texts["b"])

    def reader():
        seen = set()
        for _ in range(REPEATS * 5):
            # One call sees one document, whole: a loaded one or none at all.
            # (Only what a reload leaves alone is read afterwards: it empties the old root in
            # place, but its children keep their snapshots.)
            items = doc.xpath_findall("/*/item")
            if items:
                assert len(items) in sizes.values()
                assert all(e.parent is items[0].parent for e in items)
                assert [e.attributes["n"] for e in items] == [str(i) for i in range(len(items))]
                seen.add(len(items))
            root = doc.get_root()
            if root is not None:
                # The root of a document reloaded since is emptied in place; what is still in it
                # is whole.
                assert len(root) in (0, sizes.get(root.name, 0))
                for element in root.walk():
                    assert element.name in ("", "a", "b", "item", "v")
        return seen

    results = run_together(writer, *[reader] * (THREADS - 1))
    assert doc.get_root().name == "b" and len(doc.get_root()) == 30
    assert set().union(*results[1:]) <= set(sizes.values())


def test_threads_pulling_from_one_walk():
    doc = Document()
    doc.load_string(document_text("w", 300))
    walk = doc.get_root().walk()

    # Each step of the walk is one native call, whole under the interpreter lock.
    def puller():
        taken = []
        while True:
            element = next(walk, None)
            if element is None:
                return taken
            taken.append(element)

    taken = [e for part in run_together(*[puller] * THREADS) for e in part]
    expected = list(doc.get_root().walk())
    assert len(taken) == len(expected) and set(map(id, taken)) == set(map(id, expected))
