"""The command-line tool, run as the installed package's `python -m tamarack`:
output formats, options, exit statuses and the one-line error reports."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from helpers import ENCODINGS

CATALOG = '<r><i k="1">one</i><i k="2"><![CDATA[c]]></i>tail</r>'
FIRST = "a.xml\t(0, 0)\t/r/i\t{'k': '1'}\t'one'"
SECOND = "a.xml\t(0, 1)\t/r/i\t{'k': '2'}\tNone"


def tamarack(*args, cwd, input=None, command=(sys.executable, "-P", "-m", "tamarack")):
    result = subprocess.run([*command, *args], cwd=cwd, input=input, capture_output=True, timeout=60)
    err = result.stderr.decode()
    assert "Traceback" not in err
    return result.returncode, result.stdout.decode(), err


@pytest.fixture
def files(tmp_path):
    (tmp_path / "a.xml").write_text(CATALOG, encoding="utf-8")
    (tmp_path / "b.xml").write_text("<r><i>\u00e9t\u00e9</i></r>", encoding="utf-8")
    (tmp_path / "bom.xml").write_bytes(b"\xef\xbb\xbf<r><i/></r>")
    (tmp_path / "latin1.xml").write_bytes(b"<r><i>\xe9t\xe9</i></r>")
    (tmp_path / "broken.xml").write_text("<r><i></r>", encoding="utf-8")
    (tmp_path / "dir.xml").mkdir()
    (tmp_path / "klingon.xml").write_bytes(b'<?xml version="1.0" encoding="klingon"?><r/>')
    return tmp_path


@pytest.mark.parametrize("args, expected", [
    # one line per selected node, in document order; nodes outside the element tree print as
    # their string values
    (["//i", "a.xml"], [FIRST, SECOND]),
    (["//i[2] | //i[1]", "a.xml"], [FIRST, SECOND]),
    (["/r/node()", "a.xml"], [FIRST, SECOND, "a.xml\t'tail'"]),
    (["/r/i/node()", "a.xml"], ["a.xml\t'one'", "a.xml\t(0, 1, 0)\t/r/i/\t{}\tNone"]),
    (["--exclude", "CData", "/r/i/node()", "a.xml"], ["a.xml\t'one'", "a.xml\t'c'"]),
    (["--exclude", "pcdata", "--exclude", "cdata", "/r/i/node()", "a.xml"],
     ["a.xml\t'one'", "a.xml\t'c'"]),
    (["//i/@k", "a.xml"], ["a.xml\t'1'", "a.xml\t'2'"]),
    # values
    (["count(//i)", "a.xml", "b.xml"], ["a.xml\t2", "b.xml\t1"]),
    (["sum(//@k) div 4", "a.xml"], ["a.xml\t0.75"]),
    (["number('x')", "a.xml"], ["a.xml\tNaN"]),
    (["string(//i)", "b.xml"], ["b.xml\t'\u00e9t\u00e9'"]),
    (["boolean(//zzz)", "a.xml"], ["a.xml\tFalse"]),
    (["--first", "//i", "a.xml"], [FIRST]),
    (["//i", "a.xml", "b.xml"], [FIRST, SECOND, "b.xml\t(0, 0)\t/r/i\t{}\t'\u00e9t\u00e9'"]),
    (["//i", "bom.xml"], ["bom.xml\t(0, 0)\t/r/i\t{}\tNone"]),
    (["--count", "//i", "a.xml", "b.xml"], ["a.xml\t2", "b.xml\t1"]),
    (["--count", "/r/node()", "a.xml"], ["a.xml\t3"]),
    (["--tree", "a.xml"], ["a.xml", "  r", "    i {'k': '1'} 'one'", "    i {'k': '2'}", "      #cdata"]),
    (["--tree", "--exclude", "cdata", "a.xml", "b.xml"],
     ["a.xml", "  r", "    i {'k': '1'} 'one'", "    i {'k': '2'}", "b.xml", "  r", "    i '\u00e9t\u00e9'"]),
])
def test_results_exit_zero(files, args, expected):
    assert tamarack(*args, cwd=files) == (0, "".join(f"{line}\n" for line in expected), "")


def test_json_records(files):
    status, out, err = tamarack("--json", "/r/node()", "a.xml", cwd=files)
    first, _, third = [json.loads(line) for line in out.splitlines()]
    assert (status, err) == (0, "")
    assert first == {"file": "a.xml", "position": [0, 0], "type": "element", "name": "i",
                     "path": "/r/i", "attributes": {"k": "1"}, "text": "one"}
    assert third == {"file": "a.xml", "value": "tail"}
    for xpath, value in [("count(//i)", 2.0), ("1 div 0", None), ("name(/*)", "r"), ("true()", True)]:
        status, out, _ = tamarack("--json", xpath, "a.xml", cwd=files)
        assert (status, json.loads(out)) == (0, {"file": "a.xml", "value": value})

    status, out, _ = tamarack("--json", "--count", "//i", "a.xml", cwd=files)
    assert (status, json.loads(out)) == (0, {"file": "a.xml", "count": 2})
    status, out, _ = tamarack("--json", "--tree", "a.xml", cwd=files)
    walked = [json.loads(line) for line in out.splitlines()]
    assert status == 0 and [(r["position"], r["type"]) for r in walked] == [
        ([0], "element"), ([0, 0], "element"), ([0, 1], "element"), ([0, 1, 0], "cdata")]


@pytest.mark.parametrize("args", [["-"], []], ids=["dash", "no file"])
def test_standard_input(files, args):
    status, out, err = tamarack("//i", *args, cwd=files, input=CATALOG.encode())
    assert (status, err) == (0, "")
    assert out.splitlines() == [FIRST.replace("a.xml", "<stdin>"), SECOND.replace("a.xml", "<stdin>")]


@pytest.mark.parametrize("args", [
    ["//missing", "a.xml"],
    ["--first", "/r/node()[last()]", "a.xml"],  # the first selected node is a text node
    ["--count", "//missing", "a.xml", "b.xml"],
])
def test_nothing_selected_exits_one(files, args):
    status, out, err = tamarack(*args, cwd=files)
    assert (status, err) == (1, "")
    assert out == ("a.xml\t0\nb.xml\t0\n" if "--count" in args else "")


@pytest.mark.parametrize("bad, message", [
    ("missing.xml", "tamarack: missing.xml: cannot read: No such file or directory"),
    ("dir.xml", "tamarack: dir.xml: cannot read: Is a directory"),
    ("latin1.xml", "tamarack: latin1.xml: not utf-8 text: invalid continuation byte at byte 6"),
    ("broken.xml", "broken.xml:1:9: Start-end tags mismatch"),
    ("klingon.xml", "tamarack: klingon.xml: unknown encoding 'klingon' in the XML declaration"),
])
def test_bad_file_is_reported_and_the_others_still_processed(files, bad, message):
    assert tamarack("//i", "a.xml", bad, "b.xml", cwd=files) == (
        2, f"{FIRST}\n{SECOND}\nb.xml\t(0, 0)\t/r/i\t{{}}\t'\u00e9t\u00e9'\n", f"{message}\n")
    # an error outweighs matches in other files, and no match at all
    assert tamarack("//missing", bad, "b.xml", cwd=files) == (2, "", f"{message}\n")


def test_bad_standard_input_is_named(files):
    assert tamarack("//i", cwd=files, input=b"<r>\xff</r>") == (
        2, "", "tamarack: <stdin>: not utf-8 text: invalid start byte at byte 3\n")
    assert tamarack("//i", cwd=files, input="<r>\n <i></r>".encode("utf-16")) == (
        2, "", "<stdin>:2:7: Start-end tags mismatch\n")


@pytest.mark.parametrize("data, word, other", [case[1:] for case in ENCODINGS], ids=[c[0] for c in ENCODINGS])
def test_every_encoding_through_the_tool(data, word, other, tmp_path):
    (tmp_path / "doc.xml").write_bytes(data)
    expected = f"doc.xml\n  doc {{'lang': {word!r}}}\n    item {{'n': '1'}} {word + ' ' + other!r}\n"
    assert tamarack("--tree", "doc.xml", cwd=tmp_path) == (0, expected, "")
    assert tamarack("--tree", cwd=tmp_path, input=data) == (0, expected.replace("doc.xml", "<stdin>", 1), "")


@pytest.mark.parametrize("xpath, problem", [
    ("//[", "Unrecognized node test"),
    ("nosuch()", "Unrecognized function or wrong parameter count"),
    ("$v", "Unknown variable: variable set is not provided"),
])
def test_bad_expression_is_reported_per_file(files, xpath, problem):
    status, out, err = tamarack(xpath, "a.xml", "b.xml", cwd=files)
    assert (status, out) == (2, "")
    assert err.splitlines() == [f"tamarack: {name}: invalid XPath expression {xpath!r}: {problem}"
                                for name in ("a.xml", "b.xml")]


@pytest.mark.parametrize("args, problem", [
    (["--first", "count(//i)"], "invalid XPath expression 'count(//i)': Expression does not evaluate to node set"),
    (["--count", "count(//i)"], "--count needs an expression that selects nodes, not 'count(//i)'"),
    (["substring(//i, 1, 1)"], "result is not valid UTF-8: unexpected end of data"),
])
def test_value_misuse_is_reported(files, args, problem):
    assert tamarack(*args, "b.xml", cwd=files) == (2, "", f"tamarack: b.xml: {problem}\n")


@pytest.mark.parametrize("args, message", [
    ([], "the XPATH argument is required"),
    (["--exclude", "text", "//i", "a.xml"], "argument --exclude: unknown node kind 'text'"),
    (["--first", "--count", "//i", "a.xml"], "not allowed with argument"),
    (["--tree", "--first", "a.xml"], "not allowed with argument"),
])
def test_usage_errors_exit_two(files, args, message):
    status, out, err = tamarack(*args, cwd=files)
    assert (status, out) == (2, "")
    assert err.startswith("usage: tamarack") and message in err.splitlines()[-1]


def test_console_script(files):
    script = Path(sys.executable).with_name("tamarack")
    assert tamarack("--count", "//i", "a.xml", cwd=files, command=[script]) == (0, "a.xml\t2\n", "")


def test_reader_closing_the_pipe_early_ends_quietly(tmp_path):
    # Far more output than a pipe buffers, so the tool is still writing when the reader leaves.
    (tmp_path / "many.xml").write_text("<r>" + "<i/>" * 20000 + "</r>")
    with subprocess.Popen([sys.executable, "-P", "-m", "tamarack", "//i", "many.xml"], cwd=tmp_path,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        assert process.stdout.readline() == b"many.xml\t(0, 0)\t/r/i\t{}\tNone\n"
        process.stdout.close()
        assert process.wait(timeout=60) == 0
        assert process.stderr.read() == b""
