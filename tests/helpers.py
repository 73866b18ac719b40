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


def build(text, exclusions=()):
    """A Document with `text` loaded, and its built root."""
    doc = load(text, exclusions)
    return doc, doc.get_root()


# Kept children of r: e (which holds a CDATA section and f) and a CDATA section.
KINDS = "<r><e><![CDATA[inner]]><f/></e>text<![CDATA[outer]]></r>"


def kept_kinds(doc, text=KINDS):
    """The node types of the children of r that `doc`'s exclusions keep, `text` loaded afresh."""
    doc.load_string(text)
    return [c.type for c in doc.get_root()]


def arg_type_error(name, expected, got):
    """The message of the TypeError for an argument of the wrong type."""
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


# Subclasses of the built-in types that an argument must be exactly.
class StrSub(str):
    pass


class IntSub(int):
    pass


class TupleSub(tuple):
    pass


class ListSub(list):
    pass


def same(got, expected):
    """Whether two sequences hold the very same objects, in the same order."""
    got, expected = list(got), list(expected)
    return len(got) == len(expected) and all(g is e for g, e in zip(got, expected))


# One small document in many encodings, with and without a byte order mark or a declaration.
TEMPLATE = '<?xml version="1.0" encoding="{name}"?>\n<doc lang="{word}">\n  <item n="1">{word} {other}</item>\n</doc>\n'


def document_in(encoding, name, word, other="x"):
    return TEMPLATE.format(name=name, word=word, other=other).encode(encoding)


def without_declaration(text):
    return text.split("\n", 1)[1]


# (id, bytes, the word and other text they hold)
ENCODINGS = [
    ("utf-8", document_in("utf-8", "UTF-8", "Grüße", "東京 😀"), "Grüße", "東京 😀"),
    ("utf-8 no declaration", without_declaration(TEMPLATE.format(name="", word="Øre", other="ж")).encode(),
     "Øre", "ж"),
    ("utf-8 with BOM", b"\xef\xbb\xbf" + document_in("utf-8", "utf-8", "Grüße", "東京"), "Grüße", "東京"),
    ("utf-16 LE with BOM", b"\xff\xfe" + document_in("utf-16-le", "UTF-16", "Grüße", "😀"), "Grüße", "😀"),
    ("utf-16 BE with BOM", b"\xfe\xff" + document_in("utf-16-be", "UTF-16", "Grüße", "😀"), "Grüße", "😀"),
    ("utf-16 LE declared", document_in("utf-16-le", "UTF-16LE", "Grüße", "東京"), "Grüße", "東京"),
    ("utf-16 BE declared", document_in("utf-16-be", "UTF-16BE", "Grüße", "東京"), "Grüße", "東京"),
    ("utf-16 BOM, no declaration",
     b"\xff\xfe" + without_declaration(TEMPLATE.format(name="", word="é", other="😀")).encode("utf-16-le"),
     "é", "😀"),
    ("utf-32 LE with BOM", document_in("utf-32", "UTF-32", "Grüße", "😀"), "Grüße", "😀"),
    ("utf-32 BE declared", document_in("utf-32-be", "UTF-32BE", "Grüße", "😀"), "Grüße", "😀"),
    ("iso-8859-1", document_in("latin-1", "ISO-8859-1", "Grüße", "ÿ±"), "Grüße", "ÿ±"),
    ("windows-1252", document_in("cp1252", "windows-1252", "„Grüße“", "€ œ"), "„Grüße“", "€ œ"),
    ("shift_jis", document_in("shift_jis", "Shift_JIS", "東京", "カタカナ"), "東京", "カタカナ"),
    ("koi8-r", document_in("koi8-r", "KOI8-R", "Привет", "мир"), "Привет", "мир"),
    ("iso-8859-2", document_in("iso8859-2", "ISO-8859-2", "Łódź", "żółw"), "Łódź", "żółw"),
]
