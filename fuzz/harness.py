"""One fuzz input, taken through everything the module does, with the invariants that hold for any
document checked on the way. fuzz_tamarack.py drives it under atheris; tests/test_fuzz_inputs.py
replays the seed corpus and the regression inputs through it.

An input is a flags byte followed by fields separated by the byte 0x1E: the XML text, then up to
eight XPath expressions. Flag bits:

    0x01  exclude NODE_CDATA before loading     0x10  add an exclusion after the tree is built
    0x02  exclude the pseudo-type 42            0x20  decode with surrogateescape (lone surrogates)
    0x04  clear (instead of reload) while old   0x40  collect garbage at awkward moments
          elements and iterators are held       0x80  use Document and Element subclasses
    0x08  query before asking for the root
"""

import gc
import re

from tamarack.pugixml import Document, Element, NodeType

SEPARATOR = b"\x1e"
MAX_QUERIES = 8
# pugixml's parse options keep elements, CDATA sections and text; the tree keeps the first two.
KEPT_TYPES = {NodeType.NODE_ELEMENT, NodeType.NODE_CDATA}


class SubDocument(Document):
    def __init__(self):
        super().__init__()
        self.me = self


class SubElement(Element):
    pass


def decode(raw, flags):
    return raw.decode("utf-8", "surrogateescape" if flags & 0x20 else "replace")


def attempt(read):
    """The value, or the decoding error's class standing for it."""
    try:
        return read()
    except UnicodeDecodeError:
        return UnicodeDecodeError


def describe(e):
    """Everything an element reports, except its hash value, which differs from load to load."""
    return (e.type, e.name, e.path, attempt(lambda: e.text), attempt(lambda: e.attributes),
            attempt(lambda: repr(e)), e.is_empty, e.is_null, e.has_text, e.node_position, len(e))


def preorder(root):
    order, stack = [], [root]
    while stack:
        e = stack.pop()
        order.append(e)
        stack.extend(reversed(list(e)))
    return order


def check_element(doc, root, e, exclusions):
    position = e.node_position
    assert position[0] == 0 and e.root is root and not e.is_null
    assert doc.get_node_by_position(position) is e and root.find_from_position(position) is e
    assert e.find_from_position(position) is e
    if e is root:
        assert e.parent is None and position == (0,) and e.path == "/" + e.name
    else:
        assert e.parent[position[-1]] is e and e.parent.node_position == position[:-1]
        assert e.path == e.parent.path + "/" + e.name
        assert e.type in KEPT_TYPES and e.type not in exclusions
    children = list(e)
    assert len(e) == len(children) and all(c.parent is e for c in children)
    if children:
        assert e[0] is children[0] and e[-1] is children[-1] and not e.is_empty
    if e.has_text:
        assert not e.is_empty and attempt(lambda: e.text) is not None
    else:
        assert e.text is None
    if e.type == NodeType.NODE_CDATA:
        assert e.name == "" and e.text is None and len(e) == 0
    return describe(e)


def check_tree(doc, root, exclusions):
    elements = list(root.walk())
    assert elements == preorder(root)
    assert len({e.hash_value for e in elements}) == len(elements)
    return elements, [check_element(doc, root, e, exclusions) for e in elements]


def query(call, expression):
    try:
        return call(expression)
    except (ValueError, UnicodeEncodeError) as error:
        return type(error)


def check_queries(doc, queries, elements):
    members = {id(e) for e in elements}
    for expression in queries:
        first, every = query(doc.xpath_find, expression), query(doc.xpath_findall, expression)
        if not doc.has_document:
            assert first is None and (isinstance(every, type) or every in ([], [None]))
            continue
        assert isinstance(first, type) == isinstance(every, type), (expression, first, every)
        if isinstance(every, type):
            continue
        assert all(e is None or id(e) in members for e in every)
        assert first is None or any(e is first for e in every)


def check_values(doc, queries, elements):
    """xpath() from the document node and from elements picked by the expression, with variables:
    values of the four types, node sets in document order without duplicates."""
    order = {id(e): i for i, e in enumerate(elements)}
    for expression in queries:
        context = elements[len(expression) % len(elements)] if elements and len(expression) % 3 else None
        picked = elements[len(expression) % 5::7]
        variables = {"v": picked, "n": len(expression), "s": expression[:8], "b": bool(picked)}
        try:
            value = doc.xpath(expression, context=context, variables=variables)
        except (ValueError, UnicodeEncodeError):
            continue
        assert type(value) in (bool, float, str, list), (expression, value)
        if isinstance(value, list):
            assert all(type(v) is str or id(v) in order for v in value), (expression, value)
            ranks = [order[id(v)] for v in value if type(v) is not str]
            assert ranks == sorted(set(ranks)), (expression, ranks)
    if doc.has_document and elements:
        mixed = elements[::-3] + elements[::3]
        expected = sorted({id(e): e for e in mixed}.values(), key=lambda e: order[id(e)])
        got = doc.xpath("$v", variables={"v": mixed})
        assert len(got) == len(expected) and all(g is e for g, e in zip(got, expected))
        for e in elements[:: max(1, len(elements) // 8)]:
            found = doc.xpath(".", context=e)
            assert len(found) == 1 and found[0] is e


def check_stale_context(doc, old_elements):
    """Elements of a tree the document has since reset are refused as contexts and variables."""
    for e in old_elements[:: max(1, len(old_elements) // 4)]:
        for call in (lambda: doc.xpath(".", context=e), lambda: doc.xpath("$v", variables={"v": [e]})):
            try:
                call()
            except ValueError:
                continue
            raise AssertionError("an element of a reset tree was taken")


# pugixml takes almost anything for a name; only plain names make a path that XPath reads back.
PLAIN_NAME = re.compile(r"[A-Za-z_][\w.-]*(:[A-Za-z_][\w.-]*)?", re.ASCII)


def path_queries(elements):
    """Each element's path as an expression: it must select that very element among others."""
    for e in elements[:: max(1, len(elements) // 8)]:
        path = attempt(lambda: e.path)
        if e.type != NodeType.NODE_ELEMENT or not isinstance(path, str):
            continue
        if all(PLAIN_NAME.fullmatch(name) for name in path.split("/")[1:]):
            yield e, path


def check_named(doc, elements):
    """`//name` (walked through the tree once it is built) selects what `/descendant::name` does, for
    the plain names that read the same in both."""
    names = [e.name for e in elements if e.type == NodeType.NODE_ELEMENT and PLAIN_NAME.fullmatch(e.name)]
    for name in list(dict.fromkeys(names))[:8] + ["zzz"]:
        walked, evaluated = doc.xpath_findall("//" + name), doc.xpath_findall("/descendant::" + name)
        assert len(walked) == len(evaluated) and all(a is b for a, b in zip(walked, evaluated)), name


def check_named_first(xml, exclusions, elements):
    """The first query of a fresh document, `//name`, builds the tree only when it selects something,
    and selects what `/descendant::name` does then."""
    names = [e.name for e in elements if e.type == NodeType.NODE_ELEMENT and PLAIN_NAME.fullmatch(e.name)]
    for name in names[:1] + ["zzz"]:
        doc = Document()
        doc.set_node_type_exclusions(exclusions)
        doc.load_string(xml)
        walked = doc.xpath_findall("//" + name)
        assert doc.has_root is bool(walked), name
        evaluated = doc.xpath_findall("/descendant::" + name)
        assert len(walked) == len(evaluated) and all(a is b for a, b in zip(walked, evaluated)), name


# Declared encodings for load_bytes, chosen by the input's last byte: native ones, codecs, and names
# that are wrong or unknown.
DECLARED = [None, "UTF-8", "utf-16", "UTF-16LE", "UTF-16BE", "UTF-32", "UTF-32BE", "ISO-8859-1",
            "windows-1252", "Shift_JIS", "EUC-JP", "KOI8-R", "Big5", "GB18030", "utf-7", "klingon", "hex"]
LOAD_ERRORS = (RuntimeError, LookupError, ValueError)  # ValueError covers UnicodeDecodeError


def outcome(data):
    """What load_bytes gave: the loaded tree's description, or the error with its position."""
    doc = Document()
    try:
        doc.load_bytes(data)
    except LOAD_ERRORS as error:
        assert not doc.has_document and doc.get_root() is None
        if type(error) is RuntimeError:
            assert error.offset >= 0 and error.line >= 1 and error.column >= 1
            return type(error), str(error), error.offset, error.line, error.column
        return type(error), str(error)
    root = doc.get_root()
    assert doc.has_document and (root is not None)
    return [describe(e) for e in check_tree(doc, root, [])[0]]


def bytes_input(raw, text, choice):
    """load_bytes over the raw bytes, under a declaration, and, where the declared encoding can hold
    the text, over that text encoded: then it must answer as load_string over the text it decodes to."""
    outcome(raw)
    name = DECLARED[choice % len(DECLARED)]
    if name is None:
        return
    declaration = f'<?xml version="1.0" encoding="{name}"?>'
    outcome(declaration.encode() + raw)
    try:
        encoded = (declaration + text).encode(name)
        decoded = encoded.decode(name)
    except (LookupError, UnicodeError):
        return
    if name == "utf-7" or decoded.startswith("\ufeff"):
        return  # not ASCII-compatible; a second mark after the codec's own
    doc = Document()
    try:
        doc.load_string(decoded)
        expected = [describe(e) for e in doc.get_root().walk()]
    except RuntimeError as error:
        expected = (RuntimeError, str(error), error.offset, error.line, error.column)
    assert outcome(encoded) == expected, (name, encoded[:200])


def one_input(data):
    if not data:
        return
    flags, fields = data[0], data[1:].split(SEPARATOR)
    xml = decode(fields[0], flags)
    bytes_input(fields[0], xml, data[-1])
    queries = [decode(f, flags) for f in fields[1:1 + MAX_QUERIES]]
    doc = SubDocument() if flags & 0x80 else Document()
    exclusions = [t for bit, t in ((0x01, NodeType.NODE_CDATA), (0x02, NodeType(42))) if flags & bit]
    doc.set_node_type_exclusions(exclusions)

    try:
        doc.load_string(xml)
    except UnicodeEncodeError:
        assert flags & 0x20 and not doc.has_document
        return
    except RuntimeError:
        assert not doc.has_document and doc.get_root() is None
        check_queries(doc, queries, [])
        return
    assert doc.has_document

    # Queries build the tree on demand, and answer with its own elements.
    early = [query(doc.xpath_findall, q) for q in queries] if flags & 0x08 else []
    root = doc.get_root()
    elements, described = check_tree(doc, root, exclusions)
    members = {id(e) for e in elements}
    assert all(isinstance(r, type) or all(e is None or id(e) in members for e in r) for r in early)
    if flags & 0x10:
        doc.add_node_type_exclusion(NodeType.NODE_ELEMENT)
        assert list(doc.get_root().walk()) == elements  # a built tree keeps its shape
    check_queries(doc, queries, elements)
    check_values(doc, queries, elements)
    for e, path in path_queries(elements):
        found = query(doc.xpath_findall, path)
        assert isinstance(found, type) or any(f is e for f in found), (path, found)
    check_named(doc, elements)
    check_named_first(xml, exclusions, elements)

    # Old elements and running iterators across a reset.
    walk, children = root.walk(), iter(root)
    next(walk)
    next(children, None)
    kept = elements[len(elements) // 2]
    kept_description = describe(kept)
    extra = SubElement() if flags & 0x80 else None
    if extra is not None:
        doc.extra, extra.doc = extra, doc
    if flags & 0x04:
        doc.clear()
        assert not doc.has_document and doc.get_root() is None
    else:
        doc.load_string(xml)
    if flags & 0x40:
        gc.collect()
    for e in walk:
        describe(e)
    for e in children:
        describe(e)
    assert root.is_null and len(root) == 0
    if kept is not root:
        assert describe(kept) == kept_description
    if not flags & 0x04:
        again = doc.get_root()
        assert again is not root
        renewed, renewed_described = check_tree(doc, again, exclusions if not flags & 0x10 else
                                                exclusions + [NodeType.NODE_ELEMENT])
        if not flags & 0x10:
            assert renewed_described == described
        check_queries(doc, queries, renewed)
        check_values(doc, queries, renewed)
    check_stale_context(doc, elements)
    if flags & 0x40:
        del doc, root, elements, kept, walk, children, extra
        gc.collect()
