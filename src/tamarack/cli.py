"""The ``tamarack`` command: run an XPath query over XML files, or print their trees.

Exit status as with grep: 0 when something was selected (or, with --tree, every
tree was printed, or the expression gave a number, string or boolean), 1 when
nothing was, 2 when any input or the expression failed. Every failure is one
line on standard error naming the input, and the remaining inputs are still
processed.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from collections.abc import Iterable, Iterator, Sequence
from typing import TextIO

from tamarack.pugixml import Document, Element, NodeType

STDIN = "-"
STDIN_LABEL = "<stdin>"

# Node kinds by their member name without the NODE_ prefix, lower case.
KINDS: dict[str, NodeType] = {member.name[len("NODE_"):].lower(): member for member in NodeType}


class InputError(Exception):
    """One input could not be processed; the text says why."""


def node_kind(value: str) -> NodeType:
    try:
        return KINDS[value.lower()]
    except KeyError:
        raise argparse.ArgumentTypeError(
            f"unknown node kind {value!r} (choose from {', '.join(KINDS)})"
        ) from None


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
        epilog="Exit status: 0 if anything was selected (or the expression gave a value), 1 if nothing "
               "was, 2 on any error.",
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


def load(name: str, stdin: TextIO, exclusions: list[NodeType]) -> Document:
    """The document in a file, or in standard input, read in its own encoding."""
    document = Document()
    document.set_node_type_exclusions(exclusions)
    try:
        if name == STDIN:
            document.load_bytes(stdin.buffer.read())
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


Result = list[Element | str] | str | float | bool


def query(document: Document, xpath: str, first: bool) -> Result:
    try:
        if first:
            found = document.xpath_find(xpath)
            return [] if found is None else [found]
        return document.xpath(xpath)
    except UnicodeDecodeError as error:
        raise InputError(f"result is not valid UTF-8: {error.reason}") from None
    except ValueError as error:
        raise InputError(f"invalid XPath expression {xpath!r}: {error}") from None


def outputs(options: argparse.Namespace, xpath: str | None, document: Document,
            label: str) -> tuple[Iterable[str], bool]:
    """The lines to print for one loaded input, and whether anything was selected."""
    if xpath is None:
        root = document.get_root()
        assert root is not None  # a loaded document always has its document element
        if options.json:
            return (json.dumps(record(label, e), ensure_ascii=False) for e in root.walk()), True
        return [label, *("  " + line for line in tree_lines(root))], True
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


def run(options: argparse.Namespace, xpath: str | None, files: Sequence[str],
        out: TextIO, err: TextIO, stdin: TextIO) -> int:
    matched = failed = False
    try:
        for name in files:
            label = STDIN_LABEL if name == STDIN else name
            try:
                lines, selected = outputs(options, xpath, load(name, stdin, options.exclude), label)
                matched = matched or selected
                for line in lines:
                    print(line, file=out)
            except (BrokenPipeError, KeyboardInterrupt):
                raise
            except ParseError as error:
                print(f"{label}:{error.line}:{error.column}: {error}", file=err)
                failed = True
            except InputError as error:
                print(f"tamarack: {label}: {error}", file=err)
                failed = True
            except Exception as error:  # never a traceback: report it like any other failure
                print(f"tamarack: {label}: {type(error).__name__}: {error}", file=err)
                failed = True
    except BrokenPipeError:
        # The reader went away (as with `| head`): stop quietly. Standard output
        # now points at the null device, so that the final flush cannot fail.
        os.dup2(os.open(os.devnull, os.O_WRONLY), out.fileno())
    return 2 if failed else 0 if matched else 1


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    options = parser.parse_intermixed_args(argv)
    args: list[str] = options.args
    if options.tree:
        xpath, files = None, args
    elif not args:
        parser.error("the XPATH argument is required")
    else:
        xpath, files = args[0], args[1:]
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    try:
        return run(options, xpath, files or [STDIN], sys.stdout, sys.stderr, sys.stdin)
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
