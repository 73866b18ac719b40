"""The command-line tool, run as the installed package's `python -m tamarack`:
output formats, options, exit statuses and the one-line error reports."""

import fcntl
import json
import os
import pty
import signal
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest

from tamarack.pugixml import Document

from helpers import ENCODINGS
from tamarack.cli import AHEAD_PER_WORKER

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


# --count asks the engine for count(XPATH) where that is the same expression
# around XPATH; it must agree with the node set that xpath() returns.
@pytest.mark.parametrize("xpath", [
    "//i", "//i/@k", "//text()", "//i | /r", "(//i)[2]", "//i[@k=')']", "//i[@k='(']",
    "/r/node()", "//nothing", "//i[contains(., ',')]",
])
def test_count_is_the_size_of_the_node_set(files, xpath):
    document = Document()
    document.load_file(files / "a.xml")
    expected = len(document.xpath(xpath))
    assert tamarack("--count", xpath, "a.xml", cwd=files) == (
        0 if expected else 1, f"a.xml\t{expected}\n", "")


@pytest.mark.parametrize("xpath, problem", [
    ("//i) | (/r", "invalid XPath expression '//i) | (/r': "),
    ("//i, /r", "invalid XPath expression '//i, /r': "),
    ("string(//i)", "--count needs an expression that selects nodes, not 'string(//i)'"),
])
def test_count_of_what_count_cannot_take_whole(files, xpath, problem):
    status, out, err = tamarack("--count", xpath, "a.xml", cwd=files)
    assert (status, out) == (2, "") and err.startswith(f"tamarack: a.xml: {problem}")


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
    (["-j", "-1", "//i", "a.xml"], "argument -j/--jobs: expected a number of processes"),
    (["--progress", "--no-progress", "//i", "a.xml"], "not allowed with argument"),
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


# --- many files: workers, directories, progress -------------------------------------------------

@pytest.fixture
def tree(files):
    """A directory tree of files of unequal sizes, so that workers finish out of order."""
    root = files / "tree"
    (root / "sub" / "deeper").mkdir(parents=True)
    (root / "sub-b").mkdir()
    for n in range(12):
        where = [root, root / "sub", root / "sub" / "deeper", root / "sub-b"][n % 4]
        (where / f"f{n:02d}.xml").write_text("<r>" + "<i/>" * (n * 4000 % 17000 + 1) + "</r>")
    (root / "sub" / "broken.xml").write_text("<r><i>")
    (root / "sub" / "notes.txt").write_text("<r><i/></r>")
    (root / "sub" / "deeper" / "feed.rss").write_text("<r><i/><i/></r>")
    return files


@pytest.mark.parametrize("args, status", [
    (["//i", "a.xml", "missing.xml", "broken.xml", "b.xml", "latin1.xml", "dir.xml", "bom.xml"], 2),
    (["--count", "-r", "//i", "tree", "a.xml", "missing.xml"], 2),
    (["--tree", "-r", "--include", "*.rss", "--include", "f0*.xml", "tree"], 0),
    (["--json", "-r", "--include", "f1*.xml", "//i[1]", "tree", "-", "b.xml"], 0),
    (["--count", "//missing", "a.xml", "b.xml", "bom.xml", "-"], 1),
    (["--count", "//[", "-r", "tree"], 2),
])
def test_workers_print_what_one_process_prints(tree, args, status):
    serial = tamarack("-j", "1", *args, cwd=tree, input=CATALOG.encode())
    assert serial[0] == status and serial[1] + serial[2]
    for jobs in ["2", "0"]:
        assert tamarack("-j", jobs, *args, cwd=tree, input=CATALOG.encode()) == serial


def test_recursive_takes_matching_files_in_sorted_order(tree):
    status, out, err = tamarack("--count", "-r", "//i", "tree", "a.xml", "tree/sub/notes.txt",
                                cwd=tree)
    # Sorted as strings, as `find tree -name '*.xml' | LC_ALL=C sort` sorts: "-" before "/".
    assert [line.split("\t")[0] for line in out.splitlines()] == [
        "tree/f00.xml", "tree/f04.xml", "tree/f08.xml",
        "tree/sub-b/f03.xml", "tree/sub-b/f07.xml", "tree/sub-b/f11.xml",
        "tree/sub/deeper/f02.xml", "tree/sub/deeper/f06.xml", "tree/sub/deeper/f10.xml",
        "tree/sub/f01.xml", "tree/sub/f05.xml", "tree/sub/f09.xml",
        "a.xml", "tree/sub/notes.txt"]  # a file named on the command line is taken as it is
    assert (status, err) == (2, "tree/sub/broken.xml:1:6: Start-end tags mismatch\n")
    # Without -r a directory is an input that cannot be read.
    assert tamarack("--count", "//i", "tree", cwd=tree) == (
        2, "", "tamarack: tree: cannot read: Is a directory\n")


@pytest.fixture(scope="module")
def many(tmp_path_factory):
    """Enough work that a run of two workers is still busy after its first line."""
    root = tmp_path_factory.mktemp("many")
    for n in range(300):
        (root / f"{n:03d}.xml").write_text("<r>" + "<i a='1'>t</i>" * 20000 + "</r>")
    return root


def started(root, *args):
    """The tool running with two workers, once it has printed its first line; and its workers."""
    process = subprocess.Popen([sys.executable, "-P", "-m", "tamarack", "-j", "2", *args, "--count", "//i",
                                "-r", "."], cwd=root, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               start_new_session=True, bufsize=0)  # nothing read ahead of the first line
    assert process.stdout.readline() == b"./000.xml\t20000\n"
    workers = [pid for pid in map(int, filter(str.isdigit, os.listdir("/proc"))) if parent_of(pid) == process.pid]
    assert len(workers) == 2
    return process, workers


def parent_of(pid):
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return int(stat.rpartition(")")[2].split()[1])


def ended(pid, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.05)
    return False


@pytest.mark.parametrize("send, status", [
    (lambda tool: os.killpg(tool, signal.SIGINT), 130),  # Ctrl-C in a terminal
    (lambda tool: os.killpg(tool, signal.SIGHUP), 129),  # the terminal closed
    (lambda tool: os.kill(tool, signal.SIGTERM), 143),  # kill
    (lambda tool: os.kill(tool, signal.SIGKILL), -signal.SIGKILL),  # the workers end by themselves
], ids=["SIGINT", "SIGHUP", "SIGTERM", "SIGKILL"])
def test_stopping_ends_the_workers_quietly(many, send, status):
    process, workers = started(many)
    with process:
        send(process.pid)
        _, err = process.communicate(timeout=60)
    assert (process.returncode, err) == (status, b"")
    assert all(ended(pid) for pid in workers)


def test_a_worker_that_dies_fails_the_files_in_flight_and_the_rest_go_on(many):
    process, workers = started(many)
    with process:
        os.kill(workers[0], signal.SIGKILL)
        out, err = process.communicate(timeout=60)
    failed = [line.split(": ")[1] for line in err.decode().splitlines()]
    done = [line.split("\t")[0] for line in out.decode().splitlines()]
    assert process.returncode == 2 and failed and len(failed) <= 2 * AHEAD_PER_WORKER
    assert err.decode() == "".join(f"tamarack: {name}: the worker process reading it ended abruptly\n"
                                   for name in failed)
    assert sorted(failed + done) == [f"./{n:03d}.xml" for n in range(1, 300)]
    assert done[-1] == "./299.xml"  # a new pool took over


WITHOUT_TQDM = (sys.executable, "-P", "-c",
                "import sys; sys.modules['tqdm'] = None; from tamarack.cli import main; sys.exit(main())")


def on_terminal(args, cwd, command=(sys.executable, "-P", "-m", "tamarack")):
    """Run with standard error on a terminal: (status, stdout, what the terminal showed)."""
    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    with subprocess.Popen([*command, *args], cwd=cwd, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=terminal) as process:
        os.close(terminal)
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # the terminal is gone once the process has ended
                break
            if not chunk:
                break
            shown += chunk
        out = process.stdout.read()
    os.close(controller)
    return process.wait(timeout=60), out.decode(), shown.decode()


@pytest.mark.parametrize("flags, terminal, bar", [
    ([], True, True),
    (["--no-progress"], True, False),
    (["--progress"], False, True),
    ([], False, False),
])
def test_progress_bar_on_standard_error(tree, flags, terminal, bar):
    args = [*flags, "-j", "2", "--count", "-r", "//i", "tree"]
    status, out, err = on_terminal(args, tree) if terminal else tamarack(*args, cwd=tree)
    assert status == 2 and out == tamarack("--count", "-r", "//i", "tree", cwd=tree)[1]
    assert ("/13 [" in err) == bar  # tqdm's "n/total [elapsed<remaining, rate]"
    assert "tree/sub/broken.xml:1:6: Start-end tags mismatch" in err


def test_progress_bar_needs_more_than_one_file(files):
    assert on_terminal(["--count", "//i", "a.xml"], files) == (0, "a.xml\t2\n", "")


def test_without_tqdm_there_is_no_bar_and_asking_for_one_is_a_usage_error(tree):
    status, out, err = on_terminal(["--count", "-r", "//i", "tree"], tree, command=WITHOUT_TQDM)
    assert (status, out) == (2, tamarack("--count", "-r", "//i", "tree", cwd=tree)[1])
    assert err.replace("\r\n", "\n") == "tree/sub/broken.xml:1:6: Start-end tags mismatch\n"
    status, out, err = tamarack("--progress", "//i", "a.xml", cwd=tree, command=WITHOUT_TQDM)
    assert (status, out) == (2, "")
    assert err.splitlines()[-1].endswith("--progress needs the tqdm package: pip install 'tamarack[cli]'")
