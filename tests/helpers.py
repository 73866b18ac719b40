"""Small helpers shared by the test modules."""
from tamarack.pugixml import Document


def load(text, exclusions=()):
    """A Document with `exclusions` set, then `text` loaded."""
    doc = Document()
    doc.set_node_type_exclusions(list(exclusions))
    doc.load_string(text)
    return doc


def same(got, expected):
    """Whether two sequences hold the very same objects, in the same order."""
    got, expected = list(got), list(expected)
    return len(got) == len(expected) and all(g is e for g, e in zip(got, expected))
