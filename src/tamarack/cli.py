"""The ``tamarack`` command: run an XPath query over XML files, or print their trees.

Exit status as with grep: 0 when something was selected (or, with --tree, every
tree was printed, or the expression gave a number, string or boolean), 1 when
nothing was, 2 when any input or the expression failed. Every failure is one line on standard error naming the input, and the
remaining inputs are still processed.

Each input is handled whole by `process_file`, which returns the text to print
rather than printing it, so that worker processes (-j) can do the work while
this process prints their results in input order: the output of a parallel run
is byte for byte that of a serial one.
"""

from __future__ import annotations

import argparse
import fnmatch
import json
import math
import os
import signal
import sys
from collections import deque
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from multiprocessing import get_context
from typing import Any, NamedTuple, TextIO

from tamarack.pugixml import Document, Element, NodeType

STDIN = "-"
STDIN_LABEL = "<stdin>"
DEFAULT_INCLUDE = "*.xml"
# Files handed to the workers ahead of the one being printed: enough to keep
# every worker busy, few enough that a huge file list costs no memory.
AHEAD_PER_WORKER = 4

# Node kinds by their member name without the NODE_ prefix, lower case.
KINDS: dict[str, NodeType] = {member.name[len("NODE_"):].lower(): member for member in NodeType}


class InputError(Exception):
    """One input could not be processed; the text says why."""


@dataclass(frozen=True)
class Options:
    """What every input is processed with: plain values, so that it pickles to the workers."""
    xpath: str | None  # None: print the tree
    first: bool = False
    count: bool = False
    json: bool = False
    exclude: tuple[int, ...] = ()


def node_kind(value: str) -> NodeType:
    try:
        return KINDS[value.lower()]
    except KeyError:
        raise argparse.ArgumentTypeError(
            f"unknown node kind {value!r} (choose from {', '.join(KINDS)})"
        ) from None


def job_count(value: str) -> int:
    try:
        jobs = int(value)
    except ValueError:
        jobs = -1
    if jobs < 0:
        raise argparse.ArgumentTypeError(f"expected a number of processes, 0 or more, got {value!r}")
    return jobs


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tamarack",
        usage="%(prog)s [options] XPATH [FILE ...]\n       %(prog)s --tree [options] [FILE ...]",
        description=(
            "Run an XPath 1.0 expression over XML files and print one line per selected node: "
            "file, node position, path, attributes and text, separated by tabs, in document order. "
            "A selected node that is not in the element tree (an attribute, a text node, a node of "
            "an excluded kind) prints as its string value; an expression that gives a number, a "
            "string or a boolean prints that value. FILE - or no FILE reads standard input. Each "
            "input is read in the encoding its byte order mark, first bytes or XML declaration give "
            "(else UTF-8); a malformed one is reported as FILE:LINE:COLUMN: message."
        ),
        epilog=("Exit status: 0 if anything was selected (or the expression gave a value), 1 if nothing "
                "was, 2 on any error; "
                "130 when interrupted (128 + the signal's number for SIGTERM and SIGHUP)."),
    )
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--first", action="store_true",
                      help="print only the first selected element (Document.xpath_find)")
    mode.add_argument("--count", action="store_true",
                      help="print the number of selected nodes of each file")
    mode.add_argument("--tree", action="store_true",
                      help="print each file's element tree instead of querying; "
                           "every argument is then a FILE")
    parser.add_argument("--json", action="store_true",
                        help="print one JSON object per line instead")
    parser.add_argument("--exclude", metavar="KIND", type=node_kind, action="append", default=[],
                        help="leave nodes of this kind out of the tree (repeatable): "
                             + ", ".join(KINDS))
    parser.add_argument("-j", "--jobs", metavar="N", type=job_count, default=1,
                        help="process files in N worker processes, 0 for one per core "
                             "(default 1: in this process); the output stays in input order")
    parser.add_argument("-r", "--recursive", action="store_true",
                        help="a directory FILE stands for every file under it that matches "
                             "--include, in sorted order")
    parser.add_argument("--include", metavar="GLOB", action="append", default=None,
                        help=f"with -r, take the files whose name matches GLOB (repeatable; "
                             f"default {DEFAULT_INCLUDE!r})")
    progress = parser.add_mutually_exclusive_group()
    progress.add_argument("--progress", dest="progress", action="store_true", default=None,
                          help="show a progress bar on standard error (needs tqdm: "
                               "pip install 'tamarack[cli]'); by default it is shown when "
                               "standard error is a terminal and there is more than one file")
    progress.add_argument("--no-progress", dest="progress", action="store_false",
                          help="never show a progress bar")
    parser.add_argument("args", nargs="*", metavar="XPATH [FILE ...]", help=argparse.SUPPRESS)
    return parser


def kind_name(node_type: NodeType) -> str:
    name = node_type.name
    return name[len("NODE_"):].lower() if name else str(int(node_type))


def record(label: str, element: Element | None) -> dict[str, object]:
    if element is None:
        return {"file": label, "position": None, "type": None, "name": None,
                "path": None, "attributes": None, "text": None}
    return {
        "file": label,
        "position": list(element.node_position),
        "type": kind_name(element.type),
        "name": element.name,
        "path": element.path,
        "attributes": element.attributes,
        "text": element.text,
    }


def value_text(value: str | float | bool) -> str:
    """A value as XPath's string() writes a number, and as repr() everything else."""
    if isinstance(value, float) and not isinstance(value, bool):
        if math.isnan(value):
            return "NaN"
        if math.isinf(value):
            return "Infinity" if value > 0 else "-Infinity"
        return str(int(value)) if value.is_integer() else repr(value)
    return repr(value)


def value_json(label: str, value: str | float | bool) -> str:
    # JSON has no NaN or infinities: they are written as null.
    if isinstance(value, float) and not math.isfinite(value):
        return json.dumps({"file": label, "value": None})
    return json.dumps({"file": label, "value": value}, ensure_ascii=False)


def result_line(label: str, element: Element | str | None) -> str:
    if element is None:
        return f"{label}\tNone"
    if isinstance(element, str):
        return f"{label}\t{element!r}"
    return "\t".join([label, repr(element.node_position), element.path,
                      repr(element.attributes), repr(element.text)])


def tree_lines(element: Element, depth: int = 0) -> Iterator[str]:
    parts = [element.name if element.type == NodeType.NODE_ELEMENT else f"#{kind_name(element.type)}"]
    if element.attributes:
        parts.append(repr(element.attributes))
    if element.text is not None:
        parts.append(repr(element.text))
    yield "  " * depth + " ".join(parts)
    for child in element:
        yield from tree_lines(child, depth + 1)


class ParseError(InputError):
    """An input is not well-formed XML; printed as FILE:LINE:COLUMN: message."""

    def __init__(self, error: RuntimeError) -> None:
        super().__init__(str(error))
        self.line: int = getattr(error, "line", 0)
        self.column: int = getattr(error, "column", 0)


def load(name: str, exclusions: Iterable[int]) -> Document:
    """The document in a file, or in standard input, read in its own encoding."""
    document = Document()
    document.set_node_type_exclusions([NodeType(value) for value in exclusions])
    try:
        if name == STDIN:
            document.load_bytes(sys.stdin.buffer.read())
        else:
            document.load_file(name)
    except OSError as error:
        raise InputError(f"cannot read: {error.strerror or error}") from None
    except UnicodeDecodeError as error:
        raise InputError(f"not {error.encoding} text: {error.reason} at byte {error.start}") from None
    except (LookupError, ValueError) as error:
        raise InputError(str(error)) from None
    except RuntimeError as error:
        raise ParseError(error) from None
    return document


QueryResult = list[Element | str] | str | float | bool


def query(document: Document, xpath: str, first: bool) -> QueryResult:
    try:
        if first:
            found = document.xpath_find(xpath)
            return [] if found is None else [found]
        return document.xpath(xpath)
    except UnicodeDecodeError as error:
        raise InputError(f"result is not valid UTF-8: {error.reason}") from None
    except ValueError as error:
        raise InputError(f"invalid XPath expression {xpath!r}: {error}") from None


def as_count(xpath: str) -> str | None:
    """count(XPATH), when XPATH is one argument that count() can take whole: its
    parentheses (outside string literals) nest, and no comma stands between them."""
    depth, quote = 0, ""
    for char in xpath:
        if quote:
            quote = "" if char == quote else quote
        elif char in "'\"":
            quote = char
        elif char == "(":
            depth += 1
        elif char == ")":
            depth -= 1
            if depth < 0:
                return None
        elif char == "," and depth == 0:
            return None
    return f"count({xpath})" if depth == 0 and not quote else None


def node_count(document: Document, xpath: str) -> int | None:
    """The size of the node set XPATH selects, counted by the engine without building
    the tree; None when XPATH is not a node set (or not an expression at all)."""
    expression = as_count(xpath)
    if expression is None:
        return None
    try:
        count = document.xpath(expression)
    except ValueError:
        return None
    return int(count) if isinstance(count, float) else None


def outputs(options: Options, document: Document, label: str) -> tuple[Iterable[str], bool]:
    """The lines to print for one loaded input, and whether anything was selected."""
    xpath = options.xpath
    if xpath is None:
        root = document.get_root()
        assert root is not None  # a loaded document always has its document element
        if options.json:
            return (json.dumps(record(label, e), ensure_ascii=False) for e in root.walk()), True
        return [label, *("  " + line for line in tree_lines(root))], True
    if options.count:
        # The engine's own count() gives the size of the node set that xpath()
        # would return, without making an element of it.
        count = node_count(document, xpath)
        if count is not None:
            if options.json:
                return [json.dumps({"file": label, "count": count}, ensure_ascii=False)], count > 0
            return [f"{label}\t{count}"], count > 0
    results = query(document, xpath, options.first)
    if not isinstance(results, list):
        if options.count:
            raise InputError(f"--count needs an expression that selects nodes, not {xpath!r}")
        return [value_json(label, results) if options.json else f"{label}\t{value_text(results)}"], True
    if options.count and options.json:
        lines: Iterable[str] = [json.dumps({"file": label, "count": len(results)}, ensure_ascii=False)]
    elif options.count:
        lines = [f"{label}\t{len(results)}"]
    elif options.json:
        lines = (value_json(label, e) if isinstance(e, str) else json.dumps(record(label, e), ensure_ascii=False)
                 for e in results)
    else:
        lines = (result_line(label, e) for e in results)
    return lines, bool(results)


def process_file(name: str, options: Options) -> tuple[str, str, int]:
    """Everything about one input: its standard output text, its standard error text
    and its status (0 selected, 1 nothing selected, 2 failed).

    Runs in a worker process under -j, so it returns text and never prints. A
    failure part-way keeps the lines made before it, as a serial printer would.
    """
    label = STDIN_LABEL if name == STDIN else name
    printed: list[str] = []
    try:
        # Held here, so that the selected elements go before their document
        # does: a document that goes first hands its tree to the slower cyclic
        # collector.
        document = load(name, options.exclude)
        lines, selected = outputs(options, document, label)
        printed.extend(lines)
        status = 0 if selected else 1
        problem = ""
    except ParseError as error:
        status, problem = 2, f"{label}:{error.line}:{error.column}: {error}\n"
    except InputError as error:
        status, problem = 2, f"tamarack: {label}: {error}\n"
    except Exception as error:  # never a traceback: report it like any other failure
        status, problem = 2, f"tamarack: {label}: {type(error).__name__}: {error}\n"
    return "".join(f"{line}\n" for line in printed), problem, status


# --- the inputs -------------------------------------------------------------------------------

class Unlisted(NamedTuple):
    """A directory under a recursive argument that could not be listed."""
    name: str
    reason: str


def expand(names: Sequence[str], recursive: bool, include: Sequence[str]) -> Iterator[str | Unlisted]:
    """The inputs named on the command line, each directory replaced by its matching
    files when recursive, in the order of their paths."""
    for name in names:
        if not (recursive and name != STDIN and os.path.isdir(name)):
            yield name
            continue
        found: list[str | Unlisted] = []
        for parent, _, files in os.walk(name, onerror=lambda error: found.append(
                Unlisted(error.filename, error.strerror or str(error)))):
            found.extend(os.path.join(parent, file) for file in files
                         if any(fnmatch.fnmatchcase(file, pattern) for pattern in include))
        yield from sorted(found, key=lambda item: item if isinstance(item, str) else item.name)


# --- the workers ------------------------------------------------------------------------------

class Terminated(BaseException):
    """SIGTERM or SIGHUP reached this process: stop as for Ctrl-C."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def terminated(signum: int, frame: object) -> None:
    raise Terminated(signum)


PR_SET_PDEATHSIG = 1


def prepare_worker(parent: int) -> None:
    # Ctrl-C and a closed terminal reach the whole process group; the main
    # process alone handles them (and stops the workers), so that no worker
    # prints a traceback or reports a file of its own.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    # A worker waits on a queue whose other end it holds too, so it would never
    # see its parent end: have the kernel end it then, whatever ended the parent.
    try:
        import ctypes

        ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    except (OSError, AttributeError):
        pass
    if os.getppid() != parent:  # the parent ended before the request took effect
        os._exit(1)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT, signal.SIGTERM, signal.SIGHUP})


Result = tuple[str, str, int]


class Workers:
    """A pool of worker processes running process_file, started again if one dies."""

    def __init__(self, jobs: int) -> None:
        self.jobs = jobs
        self._executor: ProcessPoolExecutor | None = None

    def start(self) -> None:
        # fork: the workers start at once and already hold the imported module.
        # They are forked with the stopping signals blocked, so that one arriving
        # during start-up waits until the pool is known here and can be stopped.
        previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM, signal.SIGHUP})
        try:
            self._executor = ProcessPoolExecutor(self.jobs, mp_context=get_context("fork"),
                                                 initializer=prepare_worker, initargs=(os.getpid(),))
            # With fork, the first submission starts every worker, before the
            # executor's own thread runs.
            self._executor.submit(int)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, previous)

    @property
    def executor(self) -> ProcessPoolExecutor:
        assert self._executor is not None, "start() first"
        return self._executor

    def submit(self, name: str, options: Options) -> Future[Result]:
        try:
            return self.executor.submit(process_file, name, options)
        except BrokenProcessPool:
            # A worker died (killed by the system, say): the files in flight are
            # reported as failed, and a new pool takes the files after them.
            self.executor.shutdown()
            self.start()
            return self.executor.submit(process_file, name, options)

    def close(self) -> None:
        if self._executor is not None:
            self._executor.shutdown()

    def stop(self) -> None:
        """End the workers now, even in the middle of a file, and wait for them."""
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN)  # a second one must not leave any behind
        if self._executor is None:
            return
        self._executor.shutdown(wait=False, cancel_futures=True)
        # The standard library has no public way to end busy workers before 3.14
        # (terminate_workers); they ignore SIGINT, so they are sent SIGTERM.
        processes: dict[int, Any] = getattr(self._executor, "_processes", None) or {}
        for process in list(processes.values()):
            if process.is_alive():
                process.terminate()
        for process in list(processes.values()):
            process.join()
        self._executor.shutdown()


def unlisted(item: Unlisted) -> Result:
    return "", f"tamarack: {item.name}: cannot list: {item.reason}\n", 2


def results(inputs: Sequence[str | Unlisted], options: Options,
            workers: Workers | None) -> Iterator[Result]:
    """process_file of every input, in input order; standard input is always read here."""
    if workers is None:
        for item in inputs:
            yield unlisted(item) if isinstance(item, Unlisted) else process_file(item, options)
        return
    pending: deque[tuple[str | Unlisted, Future[Result] | None]] = deque()
    rest = iter(inputs)

    def refill() -> None:
        while len(pending) < workers.jobs * AHEAD_PER_WORKER:
            item = next(rest, None)
            if item is None:
                return
            if isinstance(item, str) and item != STDIN:
                pending.append((item, workers.submit(item, options)))
            else:
                pending.append((item, None))

    refill()
    while pending:
        item, future = pending.popleft()
        if isinstance(item, Unlisted):
            yield unlisted(item)
        elif future is None:
            yield process_file(item, options)
        else:
            try:
                yield future.result()
            except BrokenProcessPool:
                yield "", f"tamarack: {item}: the worker process reading it ended abruptly\n", 2
        refill()


# --- the progress bar -------------------------------------------------------------------------

class Progress:
    """A tqdm bar on standard error, cleared around every write to the terminal."""

    def __init__(self, total: int, err: TextIO) -> None:
        from tqdm import tqdm  # type: ignore[import-untyped]

        self._tqdm = tqdm
        self._err = err
        self._bar = tqdm(total=total, file=err, unit="file", dynamic_ncols=True, leave=False)

    def write(self, stream: TextIO, text: str) -> None:
        if not text:
            return
        if stream is self._err or stream.isatty():
            with self._tqdm.external_write_mode(file=stream):
                stream.write(text)
                stream.flush()
        else:
            stream.write(text)

    def advance(self) -> None:
        self._bar.update(1)

    def close(self) -> None:
        self._bar.close()


class NoProgress:
    def write(self, stream: TextIO, text: str) -> None:
        stream.write(text)

    def advance(self) -> None:
        pass

    def close(self) -> None:
        pass


def have_tqdm() -> bool:
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return False
    return True


# --- the whole run ----------------------------------------------------------------------------

def run(options: Options, inputs: Sequence[str | Unlisted], jobs: int, progress: bool | None,
        out: TextIO, err: TextIO) -> int:
    statuses = set()
    jobs = min(jobs, sum(isinstance(item, str) and item != STDIN for item in inputs))
    workers = Workers(jobs) if jobs > 1 else None
    shown: Progress | NoProgress = NoProgress()
    try:
        if workers is not None:
            workers.start()
        if progress or (progress is None and len(inputs) > 1 and err.isatty() and have_tqdm()):
            shown = Progress(len(inputs), err)
        for text, problem, status in results(inputs, options, workers):
            shown.write(out, text)
            shown.write(err, problem)
            statuses.add(status)
            shown.advance()
    except BrokenPipeError:
        # The reader went away (as with `| head`): stop quietly. Standard output
        # now points at the null device, so that the final flush cannot fail.
        os.dup2(os.open(os.devnull, os.O_WRONLY), out.fileno())
        if workers is not None:
            workers.stop()
    except BaseException:
        if workers is not None:
            workers.stop()
        raise
    finally:
        shown.close()
        if workers is not None:
            workers.close()
    return 2 if 2 in statuses else 0 if 0 in statuses else 1


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    options = parser.parse_intermixed_args(argv)
    args: list[str] = options.args
    if options.tree:
        xpath, names = None, args
    elif not args:
        parser.error("the XPATH argument is required")
    else:
        xpath, names = args[0], args[1:]
    if options.progress and not have_tqdm():
        parser.error("--progress needs the tqdm package: pip install 'tamarack[cli]'")
    jobs = options.jobs or len(os.sched_getaffinity(0))
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    settings = Options(xpath, options.first, options.count, options.json,
                       tuple(int(kind) for kind in options.exclude))
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, terminated)
    try:
        inputs = list(expand(names or [STDIN], options.recursive, options.include or [DEFAULT_INCLUDE]))
        return run(settings, inputs, jobs, options.progress, sys.stdout, sys.stderr)
    except KeyboardInterrupt:
        return 128 + signal.SIGINT
    except Terminated as stop:
        return 128 + stop.signum


if __name__ == "__main__":
    sys.exit(main())
