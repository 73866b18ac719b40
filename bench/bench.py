"""Parse and tree-building times of tamarack next to ElementTree and lxml.

Run with `make bench`, or `.venv/bin/python bench/bench.py --help`.

Every case is a (name, setup, fn) entry: setup(text) prepares the input once
per document, outside the timings; fn(input) is the timed work. Its result is
kept alive until the clock has stopped, so freeing a tree is never timed.
The collector runs before each repetition and stays enabled while timing,
as it is in ordinary programs.
"""

import argparse
import gc
import statistics
import sys
import time
import xml.etree.ElementTree as ET
from pathlib import Path
from typing import Any, Callable, NamedTuple

sys.path.insert(0, str(Path(__file__).parent))
import gen  # noqa: E402

from tamarack.pugixml import Document  # noqa: E402

try:
    from lxml import etree as lxml_etree
except ImportError:
    lxml_etree = None

# Ratio columns divide by the best time of these rows.
BASELINE_ET = "ElementTree fromstring"
BASELINE_LXML = "lxml fromstring"


class Case(NamedTuple):
    name: str
    setup: Callable[[str], Any]
    fn: Callable[[Any], Any]


def _same(text: str) -> str:
    return text


def _utf8(text: str) -> bytes:
    return text.encode("utf-8")


def tamarack_load(text: str) -> Any:
    document = Document()
    document.load_string(text)
    return document


def tamarack_load_root(text: str) -> Any:
    document = Document()
    document.load_string(text)
    return document, document.get_root()


def lxml_fromstring_iter(data: bytes) -> Any:
    root = lxml_etree.fromstring(data)
    return root, list(root.iter())


def cases() -> list[Case]:
    result = [
        Case("tamarack load_string", _same, tamarack_load),
        Case("tamarack load_string + get_root", _same, tamarack_load_root),
        Case(BASELINE_ET, _same, ET.fromstring),
    ]
    if lxml_etree is not None:
        result += [
            Case(BASELINE_LXML, _utf8, lxml_etree.fromstring),
            Case("lxml fromstring + list(iter())", _utf8, lxml_fromstring_iter),
        ]
    return result


def measure(case: Case, text: str, repeat: int) -> list[float]:
    """Times of `repeat` runs of the case, in milliseconds."""
    data = case.setup(text)
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter_ns()
        result = case.fn(data)
        elapsed = time.perf_counter_ns() - start
        times.append(elapsed / 1e6)
        del result
    return times


def _ratio(value: float, base: float | None) -> str:
    return "n/a" if base is None else f"{value / base:.2f}"


def table(document: str, text: str, repeat: int) -> str:
    rows = [(case.name, measure(case, text, repeat)) for case in cases()]
    best = {name: min(times) for name, times in rows}
    base_et = best.get(BASELINE_ET)
    base_lxml = best.get(BASELINE_LXML)
    size = len(text.encode("utf-8"))
    lines = [
        f"### {document}: {size / 1e6:.1f} MB, {repeat} repetitions",
        "",
        "| case | best ms | median ms | × ET | × lxml |",
        "|---|---:|---:|---:|---:|",
    ]
    for name, times in rows:
        lines.append(
            f"| {name} | {min(times):.1f} | {statistics.median(times):.1f} "
            f"| {_ratio(min(times), base_et)} | {_ratio(min(times), base_lxml)} |"
        )
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=float, nargs="+", default=[1.0, 10.0],
                        metavar="MB", help="catalog sizes in megabytes (default: 1 10)")
    parser.add_argument("--repeat", type=int, default=5, help="repetitions per case (default: 5)")
    args = parser.parse_args(argv)

    print(f"Python {sys.version.split()[0]}"
          + ("" if lxml_etree is not None else "; lxml not installed, its rows are left out"))
    print("Ratios: best time divided by the best time of ElementTree fromstring (× ET) "
          "and of lxml fromstring (× lxml); below 1 is faster.\n")
    for megabytes in args.sizes:
        text = gen.catalog(int(megabytes * 1_000_000))
        print(table("catalog", text, args.repeat))
        print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
