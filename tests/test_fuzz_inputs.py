"""The fuzz harness (fuzz/harness.py) replayed without the fuzzer: over its generated seed corpus,
and over inputs that the fuzzer turned up. Every invariant the harness checks for an arbitrary
document holds for each of them."""

import importlib.util
import pathlib

import pytest

FUZZ = pathlib.Path(__file__).resolve().parent.parent / "fuzz"


def load(name):
    spec = importlib.util.spec_from_file_location(f"fuzz_{name}", FUZZ / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


harness = load("harness")
corpus = load("make_corpus")


def test_seed_corpus():
    for seed in corpus.seeds():
        try:
            harness.one_input(seed)
        except Exception as error:
            raise AssertionError(f"seed {seed!r}") from error


# Inputs found by the fuzzer, each with what it showed.
FOUND = {
    # pugixml takes "attribute::" followed by bytes that are not UTF-8 for an element name; the
    # path made of it reads back as an attribute step, so the harness's path queries skip names
    # that XPath does not read as name tests.
    "name-that-reads-as-an-axis": bytes.fromhex(
        "c33c6174747269627574653a3aff" + "ff" * 17 + "2f3e1e2f2f2a5b677472696e63635e5e9c9c933d20345d1e2a6100"
        "5b"),
}


@pytest.mark.parametrize("data", FOUND.values(), ids=FOUND.keys())
def test_found_inputs(data):
    harness.one_input(data)
