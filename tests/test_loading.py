"""Document.load_file and Document.load_bytes: encodings found as XML 1.0 Appendix F says, bad
input, error positions of all three loaders, and loads that run while other threads use the
Document."""

import errno
import faulthandler
import mmap
import multiprocessing
import os
import pathlib
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from helpers import ENCODINGS, document_in
from tamarack.pugixml import Document

def tree_of(doc):
    root = doc.get_root()
    return [(e.name, e.attributes, e.text) for e in root.walk()]


def expected_tree(word, other):
    return [("doc", {"lang": word}, None), ("item", {"n": "1"}, f"{word} {other}")]


@pytest.fixture
def write(tmp_path):
    def write(data, name="doc.xml"):
        path = tmp_path / name
        path.write_bytes(data)
        return path

    return write


@pytest.mark.parametrize("data, word, other", [case[1:] for case in ENCODINGS], ids=[c[0] for c in ENCODINGS])
def test_every_encoding_loads_the_same_document(data, word, other, write):
    doc = Document()
    path = write(data)
    for load, argument in [(doc.load_bytes, data), (doc.load_bytes, bytearray(data)),
                           (doc.load_bytes, memoryview(data)), (doc.load_file, str(path)),
                           (doc.load_file, path), (doc.load_file, os.fsencode(path))]:
        assert load(argument) is None
        assert doc.has_document and not doc.has_root
        assert tree_of(doc) == expected_tree(word, other), (load, type(argument))


def test_bytes_are_copied_and_may_change_afterwards(tmp_path):
    data = bytearray(document_in("utf-8", "UTF-8", "before", "x"))
    doc = Document()
    doc.load_bytes(data)
    data[:] = b"garbage"
    assert tree_of(doc) == expected_tree("before", "x")
    path = tmp_path / "mapped.xml"
    path.write_bytes(document_in("utf-8", "UTF-8", "mapped", "y"))
    with open(path, "r+b") as file, mmap.mmap(file.fileno(), 0) as mapped:
        doc.load_bytes(mapped)
        mapped[:5] = b"xxxxx"
    assert tree_of(doc) == expected_tree("mapped", "y")


@pytest.mark.parametrize("data", [
    b"<a>x</a>\x00<b>", b"\xef\xbb\xbf<a>x</a>\x00\xff\xfe", "<a>x</a>\x00\ud800".encode("utf-16-le", "surrogatepass"),
    b'<?xml version="1.0" encoding="KOI8-R"?><a>x</a>\x00\xff<',
], ids=["utf-8", "utf-8 with BOM", "utf-16, invalid after the NUL", "codec"])
def test_a_nul_character_ends_the_text_as_for_load_string(data):
    doc = Document()
    doc.load_bytes(data)
    assert tree_of(doc) == [("a", {}, "x")]
    doc.load_string("<a>x</a>\x00<b>")
    assert tree_of(doc) == [("a", {}, "x")]


def same_error_as_open(path, load):
    """load(path) raises what open(path, 'rb') raises: class, errno and filename."""
    with pytest.raises(OSError) as opened:
        with open(path, "rb") as file:
            file.read()
    with pytest.raises(OSError) as loaded:
        load(path)
    assert type(loaded.value) is type(opened.value) and loaded.value.errno == opened.value.errno
    # A read that fails after open() names the file too.
    assert loaded.value.filename == (opened.value.filename or os.fspath(path))
    return loaded.value


def permission_denied(path, pipe):
    if os.geteuid() == 0:  # root reads anything: try it as nobody
        os.setgid(65534)
        os.setuid(65534)
    try:
        error = same_error_as_open(path, Document().load_file)
        pipe.send((type(error).__name__, error.errno))
    except BaseException as failure:  # noqa: BLE001 - reported to the parent
        pipe.send(repr(failure))


def utf8(text):
    return text.encode()


BAD_BYTES = {
    "unknown encoding": (b'<?xml version="1.0" encoding="klingon"?><a/>', LookupError, "'klingon'"),
    "encoding name that is no name": (b'<?xml version="1.0" encoding="-utf8 "?><a/>', LookupError, "unknown encoding '-utf8 '"),
    "not a text encoding": (b'<?xml version="1.0" encoding="base64"?><a/>', LookupError, "base64"),
    "invalid utf-8": (b"<a>\xc3\x28</a>", UnicodeDecodeError, "'utf-8' codec can't decode byte 0xc3 in position 3"),
    "utf-8 surrogate": (b"<a>\xed\xa0\x80</a>", UnicodeDecodeError, "'utf-8'"),
    "invalid shift_jis": (b'<?xml version="1.0" encoding="Shift_JIS"?><a>\x81</a>', UnicodeDecodeError, "'Shift_JIS' codec can't decode byte 0x81"),
    "undefined in windows-1252": (b'<?xml version="1.0" encoding="windows-1252"?><a>\x81</a>', UnicodeDecodeError,
                                  "'windows-1252' codec can't decode byte 0x81 in position 48"),
    "truncated utf-16": ("<a>x</a>".encode("utf-16")[:-1], UnicodeDecodeError, "truncated data"),
    "lone utf-16 surrogate": ("<a>\ud800</a>".encode("utf-16", "surrogatepass"), UnicodeDecodeError, "utf-16-le"),
    "utf-32 beyond unicode": (b"\x00\x00\xfe\xff\x00\x00\x00<\x00\x11\x00\x00", UnicodeDecodeError, "utf-32-be"),
    "utf-8 declared on utf-16": ('<?xml version="1.0" encoding="UTF-8"?><a/>'.encode("utf-16"), ValueError,
                                 "names the encoding 'UTF-8', but the document is UTF-16LE (by its byte order mark)"),
    "utf-16 declared on 8 bits": (b'<?xml version="1.0" encoding="UTF-16"?><a/>', ValueError, "8-bit"),
    "big-endian declared on little": ('<?xml version="1.0" encoding="UTF-16BE"?><a/>'.encode("utf-16-le"),
                                      ValueError, "UTF-16LE (by its first bytes)"),
    "latin-1 declared after a utf-8 BOM": (b'\xef\xbb\xbf<?xml version="1.0" encoding="ISO-8859-1"?><a/>',
                                           ValueError, "byte order mark"),
    "not well-formed": (b"<a><b></a>", RuntimeError, "Start-end tags mismatch"),
    "empty": (b"", RuntimeError, "No document element found"),
    "only a BOM": (b"\xff\xfe", RuntimeError, "No document element found"),
    "a str": ("<a/>", TypeError, "bytes-like object is required, not 'str'"),
    "None": (None, TypeError, "NoneType"),
    "a non-contiguous memoryview": (memoryview(b"<a></a>")[::2], BufferError, "contiguous"),
}


@pytest.fixture
def loaded_document():
    doc = Document()
    doc.load_string("<old><child/></old>")
    old_root = doc.get_root()
    yield doc
    assert not doc.has_document and not doc.has_root and doc.get_root() is None
    assert old_root.is_null and len(old_root) == 0
    assert doc.xpath_findall("//*") == []


@pytest.mark.parametrize("data, error, text", BAD_BYTES.values(), ids=BAD_BYTES.keys())
def test_bad_bytes(data, error, text, loaded_document, write):
    with pytest.raises(error, match=None) as raised:
        loaded_document.load_bytes(data)
    assert text in str(raised.value)
    if isinstance(data, bytes):  # the same through a file
        loaded_document.load_string("<old/>")
        with pytest.raises(error) as from_file:
            loaded_document.load_file(write(data))
        assert type(from_file.value) is type(raised.value) and str(from_file.value) == str(raised.value)


BAD_PATHS = {
    "missing file": lambda tmp: (tmp / "missing.xml", FileNotFoundError),
    "missing directory": lambda tmp: (str(tmp / "no" / "such.xml"), FileNotFoundError),
    "directory": lambda tmp: (tmp, IsADirectoryError),
    "file as directory": lambda tmp: (os.fsencode(pathlib.Path(__file__) / "x.xml"), NotADirectoryError),
    "read fails": lambda tmp: ("/proc/self/mem", OSError),
}


@pytest.mark.parametrize("make", BAD_PATHS.values(), ids=BAD_PATHS.keys())
def test_paths_that_cannot_be_read(make, tmp_path, loaded_document):
    path, error = make(tmp_path)
    assert isinstance(same_error_as_open(path, loaded_document.load_file), error)


def test_unreadable_file(tmp_path, loaded_document):
    path = tmp_path / "locked.xml"
    path.write_bytes(b"<a/>")
    path.chmod(0)
    parent, child = multiprocessing.get_context("fork").Pipe()
    process = multiprocessing.get_context("fork").Process(target=permission_denied, args=(str(path), child))
    process.start()
    process.join(60)
    assert parent.recv() == ("PermissionError", errno.EACCES)
    loaded_document.clear()


@pytest.mark.parametrize("path, error, text", [
    ("a\0b.xml", ValueError, "embedded null"),
    (3, TypeError, "expected str, bytes or os.PathLike object, not int"),
    (bytearray(b"doc.xml"), TypeError, "bytearray"),
    (None, TypeError, "NoneType"),
])
def test_objects_that_are_no_path(path, error, text, loaded_document):
    with pytest.raises(error, match=text):
        loaded_document.load_file(path)


def test_argument_by_keyword_and_arity(write):
    doc = Document()
    doc.load_bytes(data=b"<a/>")
    doc.load_file(path=write(b"<b/>"))
    assert doc.get_root().name == "b"
    with pytest.raises(TypeError):
        doc.load_bytes()
    with pytest.raises(TypeError):
        doc.load_file(b"<a/>", b"<b/>")
    with pytest.raises(TypeError):
        doc.load_bytes(text=b"<a/>")


# (text, offset, line, column): the offset counts characters before the fault; pugixml points at
# the name of a mismatched end tag, and at the last character for an element left open.
POSITIONS = [
    ("<a>\n  <b></c></a>", 11, 2, 8),
    ("<a>\nä東😀<b></c></a>", 12, 2, 9),
    ("<a>\r\n<b></c></a>", 10, 2, 6),
    ("<a>\r<b>\r\r</c></a>", 11, 4, 3),
    ("<a b='1' b=></a>", 11, 1, 12),
    ("<é>\n\n<ü x='1' y></ü></é>", 16, 3, 12),  # pugixml: past the attribute without a value
    ("<a><b>", 5, 1, 6),
    ("", 0, 1, 1),
]


def check_position(raised, text, offset, line, column):
    error = raised.value
    assert type(error) is RuntimeError and len(error.args) == 1
    assert (error.offset, error.line, error.column) == (offset, line, column)
    # The offset indexes the decoded text; line and column say the same place.
    before = text[:offset]
    assert before.replace("\r\n", "\n").replace("\r", "\n").count("\n") + 1 == line
    assert len(before) - max(before.rfind("\n"), before.rfind("\r")) == column


@pytest.mark.parametrize("encoding", ["str", "utf-8", "utf-8-sig", "utf-16", "utf-16-be", "utf-32", "cp1252",
                                      "shift_jis"])
@pytest.mark.parametrize("text, offset, line, column", POSITIONS)
def test_error_positions(text, offset, line, column, encoding, write):
    doc = Document()
    if encoding == "str":
        with pytest.raises(RuntimeError) as raised:
            doc.load_string(text)
        check_position(raised, text, offset, line, column)
        return
    declaration = f'<?xml version="1.0" encoding="{encoding.split("-sig")[0]}"?>'
    try:
        data = (declaration + text).encode(encoding)
    except UnicodeEncodeError:
        pytest.skip(f"{encoding} cannot encode this text")
    for load, argument in [(doc.load_bytes, data), (doc.load_file, write(data))]:
        with pytest.raises(RuntimeError) as raised:
            load(argument)
        if text:
            check_position(raised, declaration + text, offset + len(declaration), line, column + len(declaration) * (line == 1))
        assert not doc.has_document


def test_a_successful_load_has_no_error_left_behind():
    doc = Document()
    doc.load_bytes(b"<a/>")
    with pytest.raises(RuntimeError) as raised:
        doc.load_string("<a>")
    assert str(raised.value) == "Start-end tags mismatch" and raised.value.args == ("Start-end tags mismatch",)


# Threads. A load parses without the interpreter lock into a document of its own, then moves it in.

def catalog(tag, count):
    return (f"<{tag}>" + "".join(f"<item n='{i}'><v>{tag} ü{i}</v></item>" for i in range(count))
            + f"</{tag}>").encode()


def test_threads_loading_documents_of_their_own(tmp_path):
    def worker(number):
        tag, count = f"t{number}", 2000 + number
        data = catalog(tag, count)
        path = tmp_path / f"{tag}.xml"
        path.write_bytes(data.decode().encode("utf-16"))
        doc = Document()
        for round_ in range(10):
            doc.load_bytes(data) if round_ % 2 else doc.load_file(path)
            root = doc.get_root()
            assert root.name == tag and len(root) == count
            assert doc.xpath_find(f"//item[@n='{count - 1}']/v").text == f"{tag} ü{count - 1}"
        return number

    with ThreadPoolExecutor(4) as pool:
        assert list(pool.map(worker, range(4))) == list(range(4))


def test_a_document_in_use_while_another_thread_loads_it():
    doc = Document()
    documents = {tag: catalog(tag, 3000) for tag in ("first", "second")}
    done = threading.Event()
    errors = []

    def loader():
        try:
            for i in range(40):
                tag = "first" if i % 2 else "second"
                doc.load_bytes(documents[tag])
                if i % 7 == 0:
                    with pytest.raises(RuntimeError):
                        doc.load_bytes(b"<broken>")
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append(error)
        finally:
            done.set()

    thread = threading.Thread(target=loader)
    thread.start()
    seen = set()
    while not done.is_set():
        # Every answer is of one whole state: empty, or one of the two documents complete.
        root = doc.get_root()
        if root is not None:
            assert root.name in documents and len(root) == 3000 or root.is_null
            seen.add(root.name)
        items = doc.xpath_findall("//item")
        assert len(items) in (0, 3000)
        found = doc.get_node_by_position((0, 2999, 0))
        assert found is None or found.text.endswith("ü2999")
        doc.has_document, doc.has_root
        if len(seen) > 1:
            doc.load_string("<main/>")
            doc.clear()
    thread.join()
    assert not errors, errors


def test_the_lock_is_released_while_a_file_is_read(tmp_path):
    # The loader blocks reading a FIFO that only this thread fills: holding the interpreter lock
    # meanwhile would hang the test (the fault handler then ends it).
    fifo = tmp_path / "fifo.xml"
    os.mkfifo(fifo)
    doc = Document()
    doc.load_string("<old/>")
    faulthandler.dump_traceback_later(120, exit=True)
    try:
        thread = threading.Thread(target=doc.load_file, args=(fifo,))
        thread.start()
        with open(fifo, "wb") as writer:
            # The load has begun: the document is empty until it ends.
            assert not doc.has_document and doc.get_root() is None and doc.xpath_findall("//*") == []
            writer.write(b"<new>")
            writer.flush()
            assert doc.get_root() is None
            writer.write(b"<child/></new>")
        thread.join()
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert tree_of(doc) == [("new", {}, None), ("child", {}, None)]
