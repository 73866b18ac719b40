"""Fixtures that several test modules build alike.

`doc` and `root` are a Document with the test's `text` loaded (with its `exclusions`, none unless
given) and its built root. This file defines no `text`: a module gives its own with a fixture of
that name, and a test overrides it with `@pytest.mark.parametrize("text", ...)`."""

import importlib
import itertools

import pytest

from helpers import load
from tamarack.pugixml import Document


@pytest.fixture(scope="session")
def testnative():
    """The test-only module that plays a downstream consumer of the native interface.

    Imported when a test asks for it, so that a missing build fails those tests, not the
    collection of every module that has one of them."""
    return importlib.import_module("_tamarack_testnative")


@pytest.fixture
def exclusions():
    return ()


@pytest.fixture
def doc(text, exclusions):
    return load(text, exclusions)


@pytest.fixture
def root(doc):
    return doc.get_root()


# Every way a Document comes to hold no document: never loaded, or cleared or failing to load
# after its tree was built by get_root or by a query. The failing text holds elements that
# pugixml parsed before the error, which nothing may answer for afterwards.
def _unloaded(end, built_by):
    doc = Document()
    if end is None:
        return doc
    doc.load_string("<a><b/><c/></a>")
    if built_by == "root":
        doc.get_root()
    else:
        doc.xpath_find("//b")
    if end == "cleared":
        doc.clear()
    else:
        with pytest.raises(RuntimeError):
            doc.load_string("<a><b></a>")
    return doc


UNLOADED = [(None, None), *itertools.product(["cleared", "failed-load"], ["root", "query"])]


@pytest.fixture(params=UNLOADED, ids=["fresh" if end is None else f"{end}-after-{by}" for end, by in UNLOADED])
def unloaded(request):
    return _unloaded(*request.param)
