"""Hostile input: each document or expression below has a documented result, and none of them may
crash the interpreter or hang. Every case runs in a child interpreter, so that a crash fails its
own row instead of ending the run."""

import gc
import os
import pathlib
import subprocess
import sys
import tempfile
import uuid

import pytest

from tamarack.pugixml import Document, Element

DEPTH_LIMIT = "Exceeded maximum allowed query depth"
CASES = {}


def case(name):
    def register(function):
        CASES[name] = function
        return function

    return register


def loaded(xml):
    doc = Document()
    doc.load_string(xml)
    return doc


def readable(element):
    """Everything an element tells about itself, as text."""
    return [element.name, element.path, element.text, repr(element.attributes), repr(element),
            repr(element.node_position)]


def assert_tree_freed(blocks_before):
    # A document keeps its tree out of the collector's lists, so the interpreter's count of
    # allocated blocks is what shows a tree that was not freed.
    gc.collect()
    assert not any(type(o) is Element for o in gc.get_objects())
    assert sys.getallocatedblocks() - blocks_before < 10_000


# Entities. Under pugixml's default options only the five predefined entities and character
# references are expanded; the DOCTYPE is skipped, so a custom entity reference stays in the text
# exactly as written, and nothing names or reads an external resource.


@case("billion-laughs")
def _():
    entities = '<!ENTITY lol "lol">' + "".join(
        f'<!ENTITY lol{i} "{("&lol%s;" % (i - 1 if i > 1 else "")) * 10}">' for i in range(1, 10))
    doc = loaded(f"<!DOCTYPE lolz [{entities}]><lolz a='&lol9;'>&lol9;<b>&lol5;&amp;</b></lolz>")
    root = doc.get_root()
    assert (root.name, root.text, root.attributes) == ("lolz", "&lol9;", {"a": "&lol9;"})
    assert root[0].text == "&lol5;&"
    assert [e.name for e in root.walk()] == ["lolz", "b"]
    assert doc.xpath_find("/lolz[@a='&lol9;']") is root


@case("quadratic-blowup")
def _():
    count = 100_000
    doc = loaded(f'<!DOCTYPE r [<!ENTITY a "{"x" * 100_000}">]><r a="{"&a;" * 1000}">{"&a;" * count}</r>')
    root = doc.get_root()
    assert root.text == "&a;" * count
    assert root.attributes == {"a": "&a;" * 1000}


@case("external-entity")
def _():
    # A regular file and a FIFO, both holding a marker. Whoever opened the FIFO for reading would
    # take the marker out of it: it must still be there, whole, afterwards.
    marker = "tamarack-" + uuid.uuid4().hex
    with tempfile.TemporaryDirectory() as tmp:
        plain = os.path.join(tmp, "secret.txt")
        fifo = os.path.join(tmp, "secret.fifo")
        with open(plain, "w") as f:
            f.write(marker)
        os.mkfifo(fifo)
        fd = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)
        try:
            os.write(fd, marker.encode())
            refs = []
            decls = []
            for i, path in enumerate([plain, fifo] * 2):
                uri = path if i < 2 else "file://" + path
                decls.append(f'<!ENTITY x{i} SYSTEM "{uri}"><!ENTITY % p{i} SYSTEM "{uri}">%p{i};')
                refs.append(f"&x{i};")
            xml = (f'<?xml version="1.0"?><?xml-stylesheet href="{plain}"?>'
                   f'<!DOCTYPE r SYSTEM "{plain}" [{"".join(decls)}]>'
                   f'<r a="{refs[0]}" b="{refs[1]}">{"".join(refs)}<c xmlns:x="{fifo}">{refs[3]}</c></r>')
            doc = loaded(xml)
            root = doc.get_root()
            assert root.text == "".join(refs) and root[0].text == refs[3]
            assert root.attributes == {"a": refs[0], "b": refs[1]}
            seen = [part for e in root.walk() for part in readable(e)]
            found = [e for q in ["//*", "//node()", "//@*/..", "//text()/.."] for e in doc.xpath_findall(q)]
            assert not any(marker in str(part) for part in seen + [readable(e) for e in found if e])
            assert doc.xpath_findall(f"//*[contains(., '{marker}')]") == []
            assert os.read(fd, 4096) == marker.encode()
        finally:
            os.close(fd)


@case("huge-doctype-subset")
def _():
    count = 200_000
    subset = "".join(f'<!ENTITY e{i} "{i}"><!ATTLIST r a{i} CDATA "d"><!-- {i} -->' for i in range(count))
    nested = "<![INCLUDE[" * 10_000 + "]]>" * 10_000 + "<![IGNORE[" + "<![IGNORE[" * 10_000 + "]]>" * 10_001
    doc = loaded(f"<!DOCTYPE r [{subset}{nested}]><r>&e7;</r>")
    root = doc.get_root()
    # Declared defaults are not applied either: the DOCTYPE has no effect on the tree.
    assert (root.name, root.text, root.attributes, len(root)) == ("r", "&e7;", {}, 0)


# Size and shape.


@case("nesting-1000000")
def _():
    n = 1_000_000
    text = "<a>" * n + "leaf" + "</a>" * n
    blocks_before = sys.getallocatedblocks()
    doc = loaded(text)
    root = doc.get_root()
    walked = 0
    for walked, element in enumerate(root.walk(), 1):
        pass
    assert walked == n and element.text == "leaf" and len(element) == 0
    position = element.node_position
    assert position == (0,) * n
    assert doc.get_node_by_position(position) is element
    assert doc.xpath_find("//a[not(*)]") is element
    assert len(element.path) == 2 * n
    del doc, root, element
    # //name on a document not built yet: the scan for the name and the walk of the built tree.
    fresh = loaded(text)
    assert fresh.xpath_findall("//zzz") == [] and not fresh.has_root
    found = fresh.xpath_findall("//a")
    assert len(found) == n and found[0] is fresh.get_root() and found[-1].text == "leaf"
    del fresh, found
    assert_tree_freed(blocks_before)


@case("attributes-100000")
def _():
    n = 100_000
    doc = loaded("<r " + " ".join(f'a{i}="{i}"' for i in range(n)) + ' dup="1" dup="2"/>')
    root = doc.get_root()
    attributes = root.attributes
    assert len(attributes) == n + 1 and attributes["dup"] == "2"
    assert all(attributes[f"a{i}"] == str(i) for i in range(n))
    # Ordered by the bytes of the name.
    assert list(attributes) == sorted(attributes, key=str.encode)
    assert doc.xpath_find(f"/r[@a{n - 1}='{n - 1}']") is root
    assert len(doc.xpath_findall("//@*")) == 0  # attributes give no entries


@case("text-100mb")
def _():
    body = "\u00e9" + "x" * 100_000_000 + "\U0001f600"
    doc = loaded(f"<r><a>{body}</a><b/></r>")
    a = doc.get_root()[0]
    assert a.has_text and a.text == body
    assert doc.xpath_find("//b") is doc.get_root()[1]


@case("siblings-1000000")
def _():
    n = 1_000_000
    doc = loaded("<r>" + "<e/>" * n + "<last/></r>")
    root = doc.get_root()
    assert len(root) == n + 1
    last = root[n]
    assert last.name == "last" and last.node_position == (0, n)
    assert doc.get_node_by_position((0, n)) is last
    assert doc.get_node_by_position((0, n + 1)) is None
    found = doc.xpath_findall("/r/*")
    assert len(found) == n + 1 and found[-1] is last and found[0] is root[0]
    assert sum(1 for _ in root.walk()) == n + 2


# Text that is not valid UTF-8 once pugixml has expanded it. pugixml writes a character reference
# to a surrogate or beyond U+10FFFF as the bytes of its code point: reading such text or value raises
# UnicodeDecodeError, while the rest of the element stays readable. Names take no references at all.


@case("invalid-utf8-references")
def _():
    doc = loaded("<r><t>&#xD800;</t><p>&#xD83D;&#xDE00;</p><h>&#x110000;</h><v a='&#xDFFF;' b='ok'/>"
                 "<ok>&#x1F600;</ok></r>")
    t, p, h, v, ok = doc.get_root()
    for element in (t, p, h):
        with pytest.raises(UnicodeDecodeError):
            element.text
        with pytest.raises(UnicodeDecodeError):
            repr(element)
        assert element.has_text and element.attributes == {}
    with pytest.raises(UnicodeDecodeError):
        v.attributes
    assert v.text is None and v.name == "v" and v.path == "/r/v" and v.node_position == (0, 3)
    assert ok.text == "\U0001f600"
    assert doc.xpath_find("//v[@b='ok']") is v
    assert [e.name for e in doc.get_root().walk()] == ["r", "t", "p", "h", "v", "ok"]


@pytest.mark.parametrize("xml", ["<a&#xD800;/>", "<&#x61;/>", "<r a&#x61;='1'/>", "<r><?&#xD800; x?></r>"])
def test_references_never_reach_names(xml):
    with pytest.raises(RuntimeError):
        loaded(xml)


@case("nul-reference")
def _():
    # A reference to U+0000 becomes a NUL byte, and text ends there.
    doc = loaded("<r a='x&#0;y'>before&#0;after</r>")
    root = doc.get_root()
    assert (root.text, root.attributes) == ("before", {"a": "x"})


@case("lone-surrogates")
def _():
    doc = loaded("<a><b/></a>")
    root = doc.get_root()
    for text in ["<a>\ud800</a>", "<\udfff/>", "<a b='\udc80'/>"]:
        with pytest.raises(UnicodeEncodeError):
            doc.load_string(text)
        assert doc.has_document and doc.get_root() is root and root.name == "a"
    for query in ["//b[@x='\ud800']", "\udfff"]:
        with pytest.raises(UnicodeEncodeError):
            doc.xpath_find(query)
        with pytest.raises(UnicodeEncodeError):
            doc.xpath_findall(query)


@case("embedded-nul")
def _():
    doc = loaded("<a><b/></a>\0<garbage")
    root = doc.get_root()
    assert [e.name for e in root.walk()] == ["a", "b"]
    assert doc.xpath_find("//b\0[") is root[0]
    assert doc.xpath_findall("//*\0 | garbage(") == [root, root[0]]
    with pytest.raises(RuntimeError, match="Start-end tags mismatch"):
        doc.load_string("<a>\0</a>")
    assert not doc.has_document


# XPath. pugixml limits the nesting of an expression itself, so deep expressions are refused with
# ValueError before anything is evaluated; long flat ones are evaluated.

# Each builder, and whether the expression selects the root at a depth within the limit.
DEEP_EXPRESSIONS = {
    "parentheses": (lambda n: "(" * n + "/r" + ")" * n, True),
    "predicates": (lambda n: "/r" + "[a" * n + "]" * n, False),
    "positional-predicates": (lambda n: "/r" + "[1]" * n, True),
    "negations": (lambda n: "/r[" + "-" * n + "1]", True),
    "unions": (lambda n: " | ".join(["/r"] * n), True),
    "steps": (lambda n: "/r" + "/.." * n, False),
    "function-calls": (lambda n: "/r[" + "boolean(" * n + "1" + ")" * n + "]", True),
}


@case("xpath-nested-thousands-deep")
def _():
    doc = loaded("<r><a/></r>")
    root = doc.get_root()
    for name, (make, selects_root) in DEEP_EXPRESSIONS.items():
        assert doc.xpath_find(make(200)) is (root if selects_root else None), name
        for depth in (5_000, 100_000):
            for query in (doc.xpath_find, doc.xpath_findall):
                with pytest.raises(ValueError, match=DEPTH_LIMIT):
                    query(make(depth))


@case("xpath-1mb")
def _():
    doc = loaded("<r><a v='1'/></r>")
    a = doc.get_root()[0]
    n = 1_000_000
    assert doc.xpath_find("//a[@v='" + "x" * n + "']") is None
    assert doc.xpath_find("//" + "a" * n) is None
    assert doc.xpath_find("//a[" + "1" * n + "]") is None
    assert doc.xpath_find(" " * n + "//a" + " " * n) is a
    assert doc.xpath_find("//a[@v=concat('1', '" + "\u00e9" * n + "')]") is None
    with pytest.raises(ValueError):
        doc.xpath_find("//a[" + "'" * n + "]")


# Bytes and files: the encoding is read from the bytes themselves, so they may lie about it.

LOAD_ERRORS = (RuntimeError, LookupError, ValueError)  # ValueError covers UnicodeDecodeError


@case("deep-utf16-bytes")
def _():
    depth = 300_000
    doc = Document()
    doc.load_bytes(("<d>" * depth + "</d>" * depth).encode("utf-16"))
    assert sum(1 for _ in doc.get_root().walk()) == depth


@case("declarations-that-lie-or-ramble")
def _():
    doc = Document()
    for declaration in ['<?xml version="1.0" encoding="' + "a" * 1_000_000 + '"?>',
                        '<?xml encoding="utf-8" encoding="klingon"?>', "<?xml encoding=utf-8?>",
                        '<?xml version="1.0" encoding="UTF-8', '<?xml version="1.0" encoding="rot13"?>',
                        '<?xml version="1.0" encoding="utf-8\x00"?>', '<?xml encoding="utf-16"?>']:
        for data in [declaration.encode(), (declaration + "<a/>").encode(), (declaration + "<a/>").encode("utf-16")]:
            try:
                doc.load_bytes(data)
                assert doc.get_root().name == "a"
            except LOAD_ERRORS:
                assert not doc.has_document


@case("every-mark-and-garbage")
def _():
    import random

    rng = random.Random(7)
    marks = [b"", b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff", b"\xff\xfe\x00\x00", b"\x00\x00\xfe\xff",
             b"<\x00", b"\x00<", b"<\x00\x00\x00", b"\x00\x00\x00<"]
    names = ["UTF-8", "UTF-16", "UTF-32", "ISO-8859-1", "Shift_JIS", "EUC-JP", "Big5", "GB18030", "utf-7", "cp037"]
    doc = Document()
    for mark in marks:
        for length in (0, 1, 2, 3, 5, 64, 4099):
            for name in names:
                body = f'<?xml version="1.0" encoding="{name}"?>'.encode() + rng.randbytes(length)
                for data in (mark + rng.randbytes(length), mark + body, mark + body + b"\x00" * length):
                    try:
                        doc.load_bytes(data)
                        list(doc.get_root().walk())
                    except LOAD_ERRORS as error:
                        assert not doc.has_document
                        if type(error) is RuntimeError:
                            assert error.offset >= 0 and error.line >= 1 and error.column >= 1


@case("error-at-the-end-of-a-large-file")
def _():
    text = "<r>\n" + "<i>é東😀</i>\n" * 500_000 + "</x>"
    with tempfile.TemporaryDirectory() as tmp:
        for encoding in ("utf-8", "utf-16", "utf-32-le"):
            path = pathlib.Path(tmp) / encoding
            path.write_bytes((("" if encoding != "utf-32-le" else '<?xml version="1.0" encoding="UTF-32LE"?>')
                              + text).encode(encoding))
            try:
                Document().load_file(path)
            except RuntimeError as error:
                shift = 0 if encoding != "utf-32-le" else len('<?xml version="1.0" encoding="UTF-32LE"?>')
                assert (error.offset, error.line, error.column) == (len(text) - 2 + shift, 500_002, 3)
            else:
                raise AssertionError("loaded")


@pytest.mark.skipif(os.environ.get("TAMARACK_ASAN") != "1", reason="checks the sanitizer build only")
def test_sanitizer_build_is_instrumented():
    import tamarack.pugixml

    binary = pathlib.Path(tamarack.pugixml.__file__).read_bytes()
    assert b"__asan_report_load" in binary and b"__ubsan_handle_" in binary
    assert "libasan" in pathlib.Path("/proc/self/maps").read_text()


@pytest.mark.parametrize("name", CASES)
def test_hostile_input(name):
    code = (
        "import importlib.util\n"
        f"spec = importlib.util.spec_from_file_location('hostile', {__file__!r})\n"
        "module = importlib.util.module_from_spec(spec)\n"
        "spec.loader.exec_module(module)\n"
        f"module.CASES[{name!r}]()\n"
    )
    # The time limit only keeps a hang from stalling the run; it is no speed goal.
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=1800)
    assert result.returncode == 0, result.stderr[-4000:]
