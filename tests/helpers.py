"""Small helpers shared by the test modules."""
import os

from tamarack.pugixml import Document

# Under the sanitizer build, whose quarantine holds freed memory back on purpose, the resident
# size says nothing about leaks.
UNDER_SANITIZER = os.environ.get("TAMARACK_ASAN") == "1"


def rss_bytes():
    """The resident size of this process."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


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
