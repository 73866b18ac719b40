"""tamarack next to ElementTree and lxml: load, build, query, walk, free and memory; the
command-line tool over many files next to xmllint.

Run with `make bench`, or `.venv/bin/python bench/bench.py --help`. The tables are printed as they
are measured and, at the end of the run, written to bench/RESULTS.md with the goals checked
against them, so that the committed figures are always one whole run of this script.

Every row is measured in this one run, on documents that bench/gen.py generates. A row is a
(name, prepare, fn) entry: prepare() builds what the timed work needs, outside the clock (again
before every repetition, so a first query always meets a fresh tree); fn(state) is the timed work.
Its result is kept until the clock has stopped. The collector runs before each repetition and
stays enabled while timing, as it is in ordinary programs. Each group of rows names the row that
its ratio columns divide by, for ElementTree and for lxml.
"""

import argparse
import datetime
import gc
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
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

COMMON = "//title"
RECORDS = "//record"
ET_RECORDS = ".//record"
SELECTIVE = "//record[@sku='SKU-00001234']"
UNION = "//vendor | //stock"
ATTRIBUTES = "//record/@id"
COUNT = "count(//title)"
ET_COMMON = ".//title"
ET_SELECTIVE = ".//record[@sku='SKU-00001234']"
# Rows that the goals name as well as their groups.
ONE_SHOT = f"tamarack load_string + xpath_findall {COMMON} + attributes and text of each"
FIRST_QUERY = f"tamarack first query xpath_findall {COMMON} (first lookups by hash value)"


class Row(NamedTuple):
    name: str
    prepare: Callable[[], Any]
    fn: Callable[[Any], Any]
    peer: str = ""  # "et", "lxml" or "" for tamarack
    # Measured outside this interpreter: returns the times itself (prepare and fn are unused).
    external: Callable[[int], list[float]] | None = None


class Group(NamedTuple):
    title: str
    rows: list[Row]
    et_base: str | None
    lxml_base: str | None
    own_base: str | None = None  # a tamarack row that a third ratio column divides by
    # (row, anchor row): lines below the table giving the first's best time over the second's.
    anchors: tuple[tuple[str, str], ...] = ()


# --- what the rows work on -------------------------------------------------------------------

def tamarack_built(text: str) -> tuple[Document, Any]:
    document = Document()
    document.load_string(text)
    return document, document.get_root()


def tamarack_queried(text: str) -> tuple[Document, Any]:
    document, root = tamarack_built(text)
    document.xpath_find(COMMON)  # the first lookup by hash value
    return document, root


def lxml_parser() -> Any:
    return lxml_etree.XMLParser(huge_tree=True)


def lxml_root(data: bytes) -> Any:
    return lxml_etree.fromstring(data, lxml_parser())


def lxml_materialised(data: bytes) -> tuple[Any, list[Any]]:
    root = lxml_root(data)
    return root, list(root.iter())


def reader_of_attributes_and_text(attributes: str) -> Callable[[list[Any]], int]:
    """Reads the attributes (under the library's own name for them) and the text of every element."""
    def read(elements: list[Any]) -> int:
        n = 0
        for e in elements:
            n += len(getattr(e, attributes))
            if e.text is not None:
                n += 1
        return n
    return read


each_attributes_and_text = reader_of_attributes_and_text("attributes")
each_attrib_and_text = reader_of_attributes_and_text("attrib")


def each_name(elements: list[Any], attribute: str) -> int:
    n = 0
    for e in elements:
        n += len(getattr(e, attribute))
    return n


def one_shot_tamarack(text: str) -> tuple[Any, int]:
    document = Document()
    document.load_string(text)
    results = document.xpath_findall(COMMON)
    return document, each_attributes_and_text(results)


def one_shot_et(text: str) -> tuple[Any, int]:
    root = ET.fromstring(text)
    return root, each_attrib_and_text(root.findall(ET_COMMON))


def one_shot_lxml(data: bytes) -> tuple[Any, int]:
    root = lxml_root(data)
    return root, each_attrib_and_text(root.xpath(COMMON))


# The native harness (bench/pugixml_parse.cpp), built by `make bench`; its rows are left out when
# it is missing.
PUGIXML_PARSE = Path(os.environ.get("TAMARACK_PUGIXML_PARSE", Path(__file__).parent.parent / "build" / "bench"
                                    / "pugixml_parse"))


def pugixml_parse_times(data: bytes) -> Callable[[int], list[float]]:
    def run(repeat: int) -> list[float]:
        with tempfile.NamedTemporaryFile(suffix=".xml") as f:
            f.write(data)
            f.flush()
            out = subprocess.run([str(PUGIXML_PARSE), f.name, str(repeat)], check=True, capture_output=True,
                                 text=True).stdout
        figures = json.loads(out)
        return [figures["best"], figures["median"]]
    return run


def free_tamarack(order: str) -> Callable[[Any], Any]:
    def fn(holder: list[Any]) -> None:
        document, root = holder.pop()
        if order == "root first":
            del root
            del document
        else:
            del document
            del root
        gc.collect()
    return fn


def free_one(holder: list[Any]) -> None:
    holder.pop()
    gc.collect()


# --- the groups ------------------------------------------------------------------------------

def one_shot_group(text: str, data: bytes) -> Group:
    rows = [
        Row(ONE_SHOT, lambda: text, one_shot_tamarack),
        Row(f"ET fromstring + findall {ET_COMMON} + attrib and text of each", lambda: text, one_shot_et, "et"),
    ]
    if lxml_etree:
        rows.append(Row(f"lxml fromstring + xpath {COMMON} + attrib and text of each", lambda: data, one_shot_lxml,
                        "lxml"))
    return Group("One-shot job: load, one query, read the results", rows,
                 f"ET fromstring + findall {ET_COMMON} + attrib and text of each",
                 f"lxml fromstring + xpath {COMMON} + attrib and text of each")


def load_group(text: str, data: bytes) -> Group:
    anchors: tuple[tuple[str, str], ...] = ()
    rows = []
    if PUGIXML_PARSE.exists():
        rows.append(Row("pugixml's own parse of the same text (native harness)", lambda: None, lambda s: None,
                        external=pugixml_parse_times(data)))
        anchors = (("tamarack load_string", "pugixml's own parse of the same text (native harness)"),)
    rows += [
        Row("tamarack load_string", lambda: text, lambda t: (d := Document()).load_string(t) or d),
        Row("tamarack load_string + get_root", lambda: text, tamarack_built),
        Row("ET fromstring", lambda: text, ET.fromstring, "et"),
    ]
    if lxml_etree:
        rows += [
            Row("lxml fromstring", lambda: data, lxml_root, "lxml"),
            Row("lxml fromstring + list(root.iter())", lambda: data, lxml_materialised, "lxml"),
        ]
    return Group("Load and build", rows, "ET fromstring", "lxml fromstring + list(root.iter())", anchors=anchors)


def files_group(path: Path) -> Group:
    def read_and_load(p: Path) -> Document:
        document = Document()
        with open(p, encoding="utf-8") as file:
            document.load_string(file.read())
        return document

    rows = [
        Row("tamarack load_file", lambda: path, lambda p: (d := Document()).load_file(p) or d),
        Row("open().read() + tamarack load_string", lambda: path, read_and_load),
        Row("tamarack load_file + get_root", lambda: path,
            lambda p: (d := Document()).load_file(p) or (d, d.get_root())),
        Row("ET parse(path).getroot()", lambda: path, lambda p: ET.parse(p).getroot(), "et"),
    ]
    if lxml_etree:
        rows.append(Row("lxml parse(path) + list(root.iter())", lambda: path,
                        lambda p: (root := lxml_etree.parse(str(p), lxml_parser()).getroot(), list(root.iter())),
                        "lxml"))
    return Group("Loading files", rows, "ET parse(path).getroot()",
                 "lxml parse(path) + list(root.iter())" if lxml_etree else None,
                 "open().read() + tamarack load_string")


def threads_group(data: bytes) -> Group:
    def one_after_another(documents: list[Document]) -> list[Document]:
        for document in documents:
            document.load_bytes(data)
        return documents

    def four_threads(documents: list[Document]) -> list[Document]:
        threads = [threading.Thread(target=document.load_bytes, args=(data,)) for document in documents]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return documents

    fresh = lambda: [Document() for _ in range(4)]  # noqa: E731
    return Group("Loading four documents with load_bytes", [
        Row("one thread, one after another", fresh, one_after_another),
        Row("four threads at once", fresh, four_threads),
    ], None, None, "one thread, one after another")


def query_groups(text: str, data: bytes, with_union_peer: bool) -> list[Callable[[], Group]]:
    """One group per query, each with the peers' rows for the same query."""
    built = lambda: tamarack_built(text)  # noqa: E731
    queried = lambda: tamarack_queried(text)  # noqa: E731

    def common() -> Group:
        rows = [
            Row(FIRST_QUERY, built, lambda s: s[0].xpath_findall(COMMON)),
            Row(f"tamarack xpath_findall {COMMON}", queried, lambda s: s[0].xpath_findall(COMMON)),
            Row(f"tamarack first query xpath_find {COMMON}", built, lambda s: s[0].xpath_find(COMMON)),
            Row(f"tamarack xpath_find {COMMON}", queried, lambda s: s[0].xpath_find(COMMON)),
            Row(f"ET findall {ET_COMMON}", lambda: ET.fromstring(text), lambda r: r.findall(ET_COMMON), "et"),
        ]
        if lxml_etree:
            rows.append(Row(f"lxml xpath {COMMON}", lambda: lxml_materialised(data), lambda s: s[0].xpath(COMMON),
                            "lxml"))
        return Group(f"Query {COMMON}, a common element name", rows, f"ET findall {ET_COMMON}",
                     f"lxml xpath {COMMON}", anchors=((FIRST_QUERY, f"tamarack xpath_findall {COMMON}"),))

    def records() -> Group:
        rows = [
            Row(f"tamarack xpath_findall {RECORDS}", queried, lambda s: s[0].xpath_findall(RECORDS)),
            Row(f"ET findall {ET_RECORDS}", lambda: ET.fromstring(text), lambda r: r.findall(ET_RECORDS), "et"),
        ]
        if lxml_etree:
            rows.append(Row(f"lxml xpath {RECORDS}", lambda: lxml_materialised(data), lambda s: s[0].xpath(RECORDS),
                            "lxml"))
        return Group(f"Query {RECORDS}, one element per record", rows, f"ET findall {ET_RECORDS}",
                     f"lxml xpath {RECORDS}")

    def selective() -> Group:
        rows = [
            Row(f"tamarack xpath_findall {SELECTIVE}", queried, lambda s: s[0].xpath_findall(SELECTIVE)),
            Row(f"tamarack xpath_find {SELECTIVE}", queried, lambda s: s[0].xpath_find(SELECTIVE)),
            Row(f"ET findall {ET_SELECTIVE}", lambda: ET.fromstring(text), lambda r: r.findall(ET_SELECTIVE),
                "et"),
        ]
        if lxml_etree:
            rows.append(Row(f"lxml xpath {SELECTIVE}", lambda: lxml_materialised(data),
                            lambda s: s[0].xpath(SELECTIVE), "lxml"))
        return Group(f"Query {SELECTIVE}, a selective predicate", rows, f"ET findall {ET_SELECTIVE}",
                     f"lxml xpath {SELECTIVE}")

    def union() -> Group:
        rows = [Row(f"tamarack xpath_findall {UNION}", queried, lambda s: s[0].xpath_findall(UNION))]
        if lxml_etree and with_union_peer:
            rows.append(Row(f"lxml xpath {UNION}", lambda: lxml_materialised(data), lambda s: s[0].xpath(UNION),
                            "lxml"))
        return Group(f"Query {UNION}, a union (ElementTree's subset has no union)", rows, None,
                     f"lxml xpath {UNION}" if with_union_peer else None)

    return [common, records, selective, union]


def value_groups(text: str, data: bytes) -> list[Callable[[], Group]]:
    """Document.xpath: attribute values, a number on a fresh document, a query from every record."""
    def attributes() -> Group:
        rows = [Row(f"tamarack xpath {ATTRIBUTES} (built tree)", lambda: tamarack_queried(text),
                    lambda s: s[0].xpath(ATTRIBUTES))]
        if lxml_etree:
            rows.append(Row(f"lxml root.xpath {ATTRIBUTES}", lambda: lxml_root(data), lambda r: r.xpath(ATTRIBUTES),
                            "lxml"))
        return Group(f"Values: {ATTRIBUTES}", rows, None, f"lxml root.xpath {ATTRIBUTES}")

    def count_fresh() -> Group:
        def tamarack_count(t: str) -> Any:
            document = Document()
            document.load_string(t)
            return document.xpath(COUNT)
        rows = [Row(f"tamarack load_string + xpath {COUNT}", lambda: text, tamarack_count)]
        if lxml_etree:
            rows.append(Row(f"lxml fromstring + xpath {COUNT}", lambda: data, lambda d: lxml_root(d).xpath(COUNT),
                            "lxml"))
        return Group(f"Values: {COUNT} on a fresh document", rows, None, f"lxml fromstring + xpath {COUNT}")

    def from_every_record() -> Group:
        def tamarack_records() -> tuple[Document, list[Any]]:
            document, _ = tamarack_queried(text)
            return document, document.xpath("//record")
        rows = [Row("tamarack xpath('title', context=record) for every record", tamarack_records,
                    lambda s: [s[0].xpath("title", context=r) for r in s[1]])]
        if lxml_etree:
            def lxml_records() -> tuple[Any, list[Any]]:
                root = lxml_root(data)
                return root, root.xpath("//record")
            rows.append(Row("lxml record.xpath('title') for every record", lxml_records,
                            lambda s: [r.xpath("title") for r in s[1]], "lxml"))
        return Group("Values: a relative query from every record", rows, None,
                     "lxml record.xpath('title') for every record")

    return [attributes, count_fresh, from_every_record]


def deep_enough(elements: list[Any]) -> bool:
    """Whether the positions of all elements stay small (a deep chain's would not)."""
    return len(elements[-1].node_position) <= 1000


def walk_group(text: str, data: bytes) -> Group:
    document, root = tamarack_queried(text)
    elements = list(root.walk())
    et_root = ET.fromstring(text)
    et_elements = list(et_root.iter())
    rows = [
        # The document stays alive with its tree, as it does in use.
        Row("tamarack list(root.walk())", lambda: (document, root), lambda s: list(s[1].walk())),
        Row("tamarack list(iter(root))", lambda: (document, root), lambda s: list(iter(s[1]))),
        # Positions together hold one entry per level of every element: quadratic in depth.
        *([Row("tamarack node_position of every element", lambda: elements,
               lambda es: [e.node_position for e in es])] if deep_enough(elements) else []),
        Row("tamarack attributes and text of every element", lambda: elements, each_attributes_and_text),
        Row("tamarack name of every element", lambda: elements, lambda es: each_name(es, "name")),
        Row("ET list(root.iter())", lambda: et_root, lambda r: list(r.iter()), "et"),
        Row("ET attrib and text of every element", lambda: et_elements, each_attrib_and_text, "et"),
        Row("ET tag of every element", lambda: et_elements, lambda es: each_name(es, "tag"), "et"),
    ]
    if lxml_etree:
        lx_root, lx_elements = lxml_materialised(data)
        rows += [
            Row("lxml list(root.iter())", lambda: lx_root, lambda r: list(r.iter()), "lxml"),
            Row("lxml attrib and text of every element", lambda: lx_elements, each_attrib_and_text, "lxml"),
        ]
    return Group("Traversal", rows, "ET list(root.iter())", "lxml list(root.iter())")


def free_group(text: str, data: bytes) -> Group:
    rows = [
        Row("tamarack free (root dropped, then document)", lambda: [tamarack_queried(text)],
            free_tamarack("root first")),
        Row("tamarack free (document dropped, then root)", lambda: [tamarack_queried(text)],
            free_tamarack("document first")),
        Row("ET free", lambda: [ET.fromstring(text)], free_one, "et"),
    ]
    if lxml_etree:
        rows.append(Row("lxml free (root and all proxies)", lambda: [lxml_materialised(data)], free_one, "lxml"))
    return Group("Freeing a built tree, then gc.collect()", rows, "ET free", "lxml free (root and all proxies)")


def collect_group(text: str, data: bytes) -> Group:
    rows = [
        Row("tamarack gc.collect() with the tree alive", lambda: tamarack_queried(text), lambda s: gc.collect()),
        Row("ET gc.collect() with the tree alive", lambda: ET.fromstring(text), lambda s: gc.collect(), "et"),
    ]
    if lxml_etree:
        rows += [
            Row("lxml gc.collect() with the tree alive", lambda: lxml_root(data), lambda s: gc.collect(), "lxml"),
            Row("lxml gc.collect() with the tree and all proxies alive", lambda: lxml_materialised(data),
                lambda s: gc.collect(), "lxml"),
        ]
    return Group("A full collection while the tree is alive", rows,
                 "ET gc.collect() with the tree alive", "lxml gc.collect() with the tree alive")


# --- measuring -------------------------------------------------------------------------------

def measure(row: Row, repeat: int) -> list[float]:
    """Times of `repeat` runs of the row, in milliseconds."""
    if row.external:
        return row.external(repeat)
    times = []
    for _ in range(repeat):
        state = row.prepare()
        gc.collect()
        start = time.perf_counter_ns()
        result = row.fn(state)
        elapsed = time.perf_counter_ns() - start
        times.append(elapsed / 1e6)
        del result, state
    return times


def _ratio(value: float, base: float | None) -> str:
    return "n/a" if not base else f"{value / base:.2f}"


def render(group: Group, repeat: int) -> str:
    measured = [(row, measure(row, repeat)) for row in group.rows]
    best = {row.name: min(times) for row, times in measured}
    for row, times in measured:
        run_figures.record(row.name, min(times), statistics.median(times))
    base_et = best.get(group.et_base) if group.et_base else None
    base_lxml = best.get(group.lxml_base) if group.lxml_base else None
    lines = [
        f"**{group.title.replace('|', chr(92) + '|')}**" + "".join(
            f" (ratios to {' and '.join(b for b in (group.et_base, group.lxml_base) if b)})"
            for _ in [0] if group.et_base or group.lxml_base),
        "",
        "| case | best ms | median ms | × ET | × lxml |" + (f" × {group.own_base} |" if group.own_base else ""),
        "|---|---:|---:|---:|---:|" + ("---:|" if group.own_base else ""),
    ]
    base_own = best.get(group.own_base) if group.own_base else None
    for row, times in measured:
        lines.append(f"| {row.name.replace('|', chr(92) + '|')} | {min(times):.2f} | {statistics.median(times):.2f} "
                     f"| {_ratio(min(times), base_et)} | {_ratio(min(times), base_lxml)} |"
                     + (f" {_ratio(min(times), base_own)} |" if group.own_base else ""))
    for name, anchor in group.anchors:
        if name in best and anchor in best:
            lines += ["", f"{name}: {best[name] / best[anchor]:.2f}× {anchor}"]
    return "\n".join(lines)


# Peak resident size while loading a file, each route in a fresh interpreter: the peak over the
# whole process, and its growth over the resident size just before the load.
PEAK_PROBE = r"""
import json, sys
route, path = sys.argv[1], sys.argv[2]
def high_water_mark():  # this process's own peak (ru_maxrss would include the parent's, from fork)
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
from tamarack.pugixml import Document
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
before = rss()
d = Document()
if route == "load_file":
    d.load_file(path)
else:
    with open(path, encoding="utf-8") as f:
        d.load_string(f.read())
peak = high_water_mark()
print(json.dumps({"peak": peak, "growth": peak - before}))
"""


def peak_rows(path: Path) -> str:
    lines = ["**Peak resident size while loading the file** (a fresh interpreter each)", "",
             "| route | peak MB | growth MB | peak × read() + load_string | growth × read() + load_string |",
             "|---|---:|---:|---:|---:|"]
    runs = {route: json.loads(subprocess.run([sys.executable, "-c", PEAK_PROBE, route, str(path)], check=True,
                                             capture_output=True, text=True).stdout)
            for route in ("read+load_string", "load_file")}
    base = runs["read+load_string"]
    for route, label in (("load_file", "tamarack load_file"), ("read+load_string", "open().read() + load_string")):
        r = runs[route]
        lines.append(f"| {label} | {r['peak'] / 1e6:.1f} | {r['growth'] / 1e6:.1f} | {r['peak'] / base['peak']:.2f} "
                     f"| {r['growth'] / base['growth']:.2f} |")
    return "\n".join(lines)


# Memory is measured in a fresh interpreter per library, so that one library's freed memory is
# not counted as another's.
MEMORY_PROBE = r"""
import gc, json, sys, tracemalloc
sys.path.insert(0, sys.argv[1])
import gen
which, kind, size = sys.argv[2], sys.argv[3], int(sys.argv[4])
text = gen.document(kind, size)
data = text.encode()
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
trace = sys.argv[5] == "trace"
keep = None
gc.collect()
if trace:
    tracemalloc.start()
before = rss()
if which == "tamarack":
    from tamarack.pugixml import Document
    d = Document(); d.load_string(text); root = d.get_root()
    if sys.argv[6] == "queried":
        d.xpath_find("//*")
    keep = (d, root); n = sum(1 for _ in root.walk())
elif which == "ET":
    import xml.etree.ElementTree as ET
    root = ET.fromstring(text); keep = root; n = sum(1 for _ in root.iter())
else:
    from lxml import etree
    root = etree.fromstring(data, etree.XMLParser(huge_tree=True)); keep = (root, list(root.iter())); n = len(keep[1])
gc.collect()
traced = tracemalloc.get_traced_memory()[0] if trace else 0
print(json.dumps({"elements": n, "rss": (rss() - before) / n, "traced": traced / n}))
"""


def memory_rows(kind: str, size: int) -> str:
    libraries = ["tamarack", "ET"] + (["lxml"] if lxml_etree else [])
    lines = ["**Memory after the build, per element** (a fresh interpreter each; lxml with a proxy for every element)", "",
             "| library | elements | RSS B/element | tracemalloc B/element |", "|---|---:|---:|---:|"]
    def probe(library: str, mode: str, phase: str) -> dict[str, float]:
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(Path(__file__).parent), library, kind,
                              str(size), mode, phase], check=True, capture_output=True, text=True).stdout
        return json.loads(out)

    runs = [(library, "built") for library in libraries]
    runs.insert(1, ("tamarack", "queried"))
    for library, phase in runs:
        # tracemalloc's own bookkeeping would show in the resident size: two separate runs.
        resident, traced = probe(library, "rss", phase), probe(library, "trace", phase)
        name = library + (" after the first query" if phase == "queried" else "")
        run_figures.record(f"memory {name}", resident["rss"], resident["rss"])
        lines.append(f"| {name} | {resident['elements']:.0f} | {resident['rss']:.0f} | {traced['traced']:.0f} |")
    return "\n".join(lines)


# The scale rows: per catalog size, in a fresh interpreter, the best of `repeat` rounds of load and
# build, first query and freeing (root dropped, then the document, then a full collection), and
# the peak resident size during the first round's load, build and query over the resident size
# before them (the text itself is resident before; later rounds reuse memory the first one freed,
# so their peaks say less). Linux resets the peak through /proc/self/clear_refs.
SCALE_PROBE = r"""
import gc, json, sys, time
from tamarack.pugixml import Document
path, repeat = sys.argv[1], int(sys.argv[2])
with open(path, encoding="utf-8") as f:
    text = f.read()
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
def peak():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
times = {"load": [], "query": [], "free": []}
peaks = []
for _ in range(repeat):
    gc.collect()
    reset_peak()
    before = rss()
    start = time.perf_counter()
    document = Document()
    document.load_string(text)
    root = document.get_root()
    built = time.perf_counter()
    results = document.xpath_findall("//title")
    queried = time.perf_counter()
    peaks.append(peak() - before)
    del results
    start_free = time.perf_counter()
    del root
    del document
    gc.collect()
    freed = time.perf_counter()
    times["load"].append(built - start)
    times["query"].append(queried - built)
    times["free"].append(freed - start_free)
print(json.dumps({k: min(v) * 1000 for k, v in times.items()} | {"peak": peaks[0]}))
"""


def megabytes_text(mb: float) -> str:
    return f"{mb:.0f}" if mb >= 1 else f"{mb:.1f}"


SCALE_TERMS = (("load", "load + build ms/MB"), ("query", "first query ms/MB"), ("free", "freeing ms/MB"),
               ("peak", "peak RSS MB/MB"))


def scale_rows(sizes: list[float], repeat: int, chart: Path | None, chart_link: str) -> str:
    figures = []
    for megabytes in sizes:
        text = gen.catalog(int(megabytes * 1_000_000))
        data = text.encode("utf-8")
        del text
        with tempfile.NamedTemporaryFile(suffix=".xml") as f:
            f.write(data)
            f.flush()
            out = subprocess.run([sys.executable, "-c", SCALE_PROBE, f.name, str(repeat)], check=True,
                                 capture_output=True, text=True).stdout
        measured = json.loads(out)
        mb = len(data) / 1e6
        figures.append((mb, {"load": measured["load"] / mb, "query": measured["query"] / mb,
                             "free": measured["free"] / mb, "peak": measured["peak"] / 1e6 / mb}))
        del data
    reference = min(figures, key=lambda f: abs(f[0] - 10.0))
    run_figures.scale = [(mb, {k: values[k] / reference[1][k] for k, _ in SCALE_TERMS}) for mb, values in figures]
    run_figures.scale_reference = reference[0]
    lines = [f"**Scale: tamarack per MB of catalog** (best of {repeat}; ratios to the "
             f"{megabytes_text(reference[0])} MB figures; freeing: root dropped, then the document, then "
             "gc.collect())", "",
             "| catalog MB | " + " | ".join(label for _, label in SCALE_TERMS) + " | ratios to the reference |",
             "|---:|" + "---:|" * (len(SCALE_TERMS) + 1)]
    for mb, values in figures:
        ratios = " / ".join(f"{values[k] / reference[1][k]:.2f}" for k, _ in SCALE_TERMS)
        lines.append(f"| {mb:.1f} | " + " | ".join(f"{values[k]:.2f}" for k, _ in SCALE_TERMS) + f" | {ratios} |")
    if chart and draw_scale_chart(figures, reference, chart):
        lines += ["", f"![tamarack's cost per MB of catalog at {', '.join(megabytes_text(mb) for mb, _ in figures)} MB]"
                      f"({chart_link})"]
    return "\n".join(lines)


def draw_scale_chart(figures: list[tuple[float, dict[str, float]]], reference: tuple[float, dict[str, float]],
                     path: Path) -> bool:
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no chart.", file=sys.stderr)
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, axes = plt.subplots(2, 2, figsize=(9, 6), sharex=True)
    sizes = [mb for mb, _ in figures]
    for ax, (key, label) in zip(axes.flat, SCALE_TERMS):
        ref = reference[1][key]
        ax.axhspan(ref * 0.8, ref * 1.2, color="tab:green", alpha=0.15, label=f"±20 % of {reference[0]:.0f} MB")
        ax.plot(sizes, [values[key] for _, values in figures], marker="o", color="tab:blue")
        ax.set_xscale("log")
        ax.set_xticks(sizes, [f"{mb:.0f}" for mb in sizes])
        ax.set_title(label)
        ax.set_ylim(bottom=0, top=max(ref * 1.5, *(values[key] * 1.1 for _, values in figures)))
        ax.legend(loc="lower right", fontsize="small")
    for ax in axes[1]:
        ax.set_xlabel("catalog size, MB")
    fig.suptitle("tamarack: cost per MB of catalog")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


# --- many files: the command-line tool ---------------------------------------------------------

MANY_XPATH = "//record[@currency='EUR']"


def many_files(count: int, megabytes: float) -> Path:
    """`count` catalogs of about `megabytes` each, generated once into build/ and kept."""
    size = int(megabytes * 1_000_000)
    root = Path(__file__).resolve().parents[1] / "build" / "bench-files" / f"catalog-{count}x{size}"
    done = root / ".complete"
    if not done.exists():
        root.mkdir(parents=True, exist_ok=True)
        for n in range(count):
            (root / f"part-{n:04d}.xml").write_text(gen.catalog(size, seed=n + 1), encoding="utf-8")
        done.touch()
    return root


def counts_of_tool(output: str) -> list[int]:
    return [int(line.rsplit("\t", 1)[1]) for line in output.splitlines()]


def many_files_rows(count: int, megabytes: float, repeat: int) -> str:
    root = many_files(count, megabytes)
    files = sorted(str(path) for path in root.glob("*.xml"))
    tool = str(Path(sys.executable).with_name("tamarack"))
    commands = {f"tamarack -j {jobs} --count {MANY_XPATH} DIR -r":
                [tool, "-j", str(jobs), "--count", MANY_XPATH, str(root), "-r"] for jobs in (2, 1)}
    xmllint = shutil.which("xmllint")
    if xmllint:
        commands[f"xmllint --xpath 'count({MANY_XPATH})' FILES"] = [xmllint, "--xpath",
                                                                     f"count({MANY_XPATH})", *files]
    outputs = {name: subprocess.run(command, check=True, capture_output=True, text=True).stdout
               for name, command in commands.items()}
    names = list(commands)
    # Every command must count the same before any is timed.
    expected = counts_of_tool(outputs[names[1]])
    assert counts_of_tool(outputs[names[0]]) == expected
    if xmllint:
        assert [int(float(value)) for value in outputs[names[2]].split()] == expected

    # Wall time, and the processor time of the command with all its processes (on a shared
    # machine the second shows the work done, the first what the user waits).
    times: dict[str, list[tuple[float, float]]] = {name: [] for name in commands}
    for _ in range(repeat):
        for name, command in commands.items():  # interleaved, so that a busy spell hits every row
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.perf_counter_ns()
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
            elapsed = (time.perf_counter_ns() - start) / 1e6
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu = (after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) * 1e3
            times[name].append((elapsed, cpu))
    best = {name: min(wall for wall, _ in measured) for name, measured in times.items()}
    serial = best[names[1]]
    peer = best[names[2]] if xmllint else None
    lines = [f"**The command-line tool over {count} files of {megabytes:g} MB** (ratios of the best "
             "wall times to -j 1 and to xmllint" + ("" if xmllint else ", which is not installed") + ")", "",
             "| case | best ms | median ms | CPU ms (best) | × -j 1 | × xmllint |",
             "|---|---:|---:|---:|---:|---:|"]
    for name, measured in times.items():
        lines.append(f"| {name.replace('|', chr(92) + '|')} | {best[name]:.0f} | "
                     f"{statistics.median(wall for wall, _ in measured):.0f} | "
                     f"{min(cpu for _, cpu in measured):.0f} | {_ratio(best[name], serial)} | "
                     f"{_ratio(best[name], peer)} |")
    return "\n".join(lines)


# --- the goals and the results file ------------------------------------------------------------

class Figures:
    """The best and median figure of every row of this run, by the document it was measured on,
    for the goals."""

    def __init__(self) -> None:
        self.section = ""  # the document being measured: "catalog 10 MB", ...
        self.rows: dict[tuple[str, str], tuple[float, float]] = {}
        self.scale: list[tuple[float, dict[str, float]]] = []  # ratios to the reference size
        self.scale_reference = 0.0

    def record(self, row: str, best: float, median: float) -> None:
        self.rows[(self.section, row)] = (best, median)


run_figures = Figures()

# (goal, the row, the row it is divided by, the most the ratio may be)
GOALS = (
    (f"load, first `xpath_findall {COMMON}`, attributes and text of each: ≤ 0.5 × lxml", ONE_SHOT,
     f"lxml fromstring + xpath {COMMON} + attrib and text of each", 0.5),
    ("`load_string + get_root` ≤ 0.3 × ET `fromstring`", "tamarack load_string + get_root", "ET fromstring", 0.3),
    ("`load_string + get_root` ≤ 0.4 × lxml `fromstring + list(root.iter())`", "tamarack load_string + get_root",
     "lxml fromstring + list(root.iter())", 0.4),
    ("`load_string` ≤ 2 × pugixml's own parse", "tamarack load_string",
     "pugixml's own parse of the same text (native harness)", 2.0),
    ("attributes and text of every element ≤ 1.0 × ET", "tamarack attributes and text of every element",
     "ET attrib and text of every element", 1.0),
    ("first query ≤ 1.5 × a later one", FIRST_QUERY, f"tamarack xpath_findall {COMMON}", 1.5),
    ("first query ≤ 0.5 × lxml", FIRST_QUERY, f"lxml xpath {COMMON}", 0.5),
    *((f"`xpath_findall {query}` ≤ 0.2 × lxml", f"tamarack xpath_findall {query}", f"lxml xpath {query}", 0.2)
      for query in (COMMON, RECORDS, SELECTIVE)),
    ("freeing, root first, ≤ 1.0 × ET", "tamarack free (root dropped, then document)", "ET free", 1.0),
    ("freeing, document first, ≤ 1.0 × ET", "tamarack free (document dropped, then root)", "ET free", 1.0),
    ("memory after the first query ≤ 0.8 × lxml", "memory tamarack after the first query", "memory lxml", 0.8),
)
SCALE_LIMIT = 0.2  # every term per MB within this fraction of the reference size's


def goal_rows(figures: Figures) -> str:
    """Each goal at the catalog nearest 10 MB that was measured, with its medians and the other
    catalog sizes beside it; a goal whose rows were not measured there is left out."""
    catalogs = sorted({section for section, _ in figures.rows if section.startswith("catalog ")},
                      key=lambda s: abs(float(s.split()[1]) - 10.0))
    lines = []
    for goal, row, base, limit in GOALS if catalogs else ():
        def ratio(section: str, which: int) -> float | None:
            mine, theirs = figures.rows.get((section, row)), figures.rows.get((section, base))
            return mine[which] / theirs[which] if mine and theirs and theirs[which] else None

        reference = ratio(catalogs[0], 0)
        if reference is None:
            continue
        others = [f"{section.split(' ', 1)[1]}: {ratio(section, 0):.2f}" for section in catalogs[1:]
                  if ratio(section, 0) is not None]
        medians = ratio(catalogs[0], 1)
        differs = medians is not None and f"{medians:.2f}" != f"{reference:.2f}"
        notes = ([f"medians: {medians:.2f}"] if differs else []) + others
        cell = f"{reference:.2f}" + (f" ({'; '.join(notes)})" if notes else "")
        lines.append(f"| {goal} | {cell} | {'yes' if reference <= limit else 'no'} |")
    if figures.scale:
        far = [f"{megabytes_text(mb)} MB " + " / ".join(f"{r[k]:.2f}" for k, _ in SCALE_TERMS)
               for mb, r in figures.scale if mb != figures.scale_reference]
        met = all(abs(r[k] - 1) <= SCALE_LIMIT for _, r in figures.scale for k, _ in SCALE_TERMS)
        lines.append(f"| scale: every term per MB within {SCALE_LIMIT * 100:.0f} % of the "
                     f"{megabytes_text(figures.scale_reference)} MB figure | {', '.join(far)} | "
                     f"{'yes' if met else 'no'} |")
    if not lines:
        return ""
    return "\n".join([f"**Performance goals, and where this run stands** ({catalogs[0] if catalogs else 'scale rows'}"
                      " unless said otherwise; in brackets, the ratio of the medians where it differs and the "
                      "other catalog sizes)", "",
                      "| goal | this run | met |", "|---|---:|:---:|", *lines])


def git_revision() -> str:
    """The commit the measured code comes from, marked when the work tree differs from it."""
    repo = Path(__file__).resolve().parents[1]
    try:
        commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=repo, check=True, capture_output=True,
                                text=True).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"], cwd=repo, check=True,
                               capture_output=True, text=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "an unknown commit"
    return f"commit {commit}" + (" with changes not committed" if dirty else "")


def write_results(path: Path, argv: list[str], started: datetime.datetime, load: float, body: list[str]) -> None:
    """Writes the run's tables to `path` in one step at the end: an interrupted run leaves the
    previous results as they were."""
    header = [
        "# Benchmark results", "",
        f"Written by `{' '.join(['bench/bench.py', *argv])}` (what `make bench` runs) on "
        f"{started:%Y-%m-%d %H:%M} UTC, from the code of {git_revision()}; the load average was "
        f"{load:.2f} when it started. The next run of `make bench` writes this file again: edit "
        "bench/bench.py, not this file. What the rows measure and how to read them: "
        "[docs/benchmarks.md](../docs/benchmarks.md).", "",
    ]
    scratch = path.with_name(path.name + ".partial")
    scratch.write_text("\n".join(header + body).rstrip("\n") + "\n", encoding="utf-8")
    os.replace(scratch, path)


def main(argv: list[str] | None = None) -> int:
    global lxml_etree
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=float, nargs="+", default=[1.0, 10.0, 50.0], metavar="MB",
                        help="catalog sizes in megabytes (default: 1 10 50)")
    parser.add_argument("--kinds", nargs="*", default=["catalog", "wide", "deep"], choices=gen.KINDS,
                        help="documents to measure (default: all; none: only the scale rows)")
    parser.add_argument("--repeat", type=int, default=5, help="repetitions per row (default: 5)")
    parser.add_argument("--other-size", type=float, default=1.0, metavar="MB",
                        help="size of the wide and deep documents in megabytes (default: 1)")
    parser.add_argument("--scale-sizes", type=float, nargs="*", default=[1.0, 10.0, 50.0, 200.0], metavar="MB",
                        help="catalog sizes of the scale rows in megabytes (default: 1 10 50 200; none: no scale "
                             "rows)")
    parser.add_argument("--chart", type=Path,
                        help="where the scale chart is drawn (default: scale.png next to the results; none with "
                             "--no-results)")
    parser.add_argument("--files", type=int, default=200, metavar="N",
                        help="files for the command-line tool's group, 0 to leave it out (default: 200)")
    parser.add_argument("--file-size", type=float, default=1.0, metavar="MB",
                        help="size of each of those files in megabytes (default: 1)")
    parser.add_argument("--only-files", action="store_true",
                        help="measure only the command-line tool's group")
    parser.add_argument("--results", type=Path, default=Path(__file__).parent / "RESULTS.md",
                        help="where the tables are written at the end of the run (default: bench/RESULTS.md)")
    parser.add_argument("--no-results", action="store_true", help="print the tables only")
    args = parser.parse_args(argv)
    # The chart belongs with the tables that link to it: a trial run replaces neither.
    if args.chart is None and not args.no_results:
        args.chart = args.results.parent / "scale.png"
    started = datetime.datetime.now(datetime.timezone.utc)
    load = os.getloadavg()[0]
    body: list[str] = []

    def emit(text: str = "") -> None:
        print(text)
        sys.stdout.flush()
        body.append(text)

    emit(f"Python {sys.version.split()[0]}, {os.cpu_count()} cores"
         + ("" if lxml_etree else "; lxml not installed, its rows are left out"))
    emit("Ratios: best time divided by the best time of the group's ElementTree row (× ET) and lxml row "
         "(× lxml); below 1 is faster.\n")
    if args.files:
        emit(f"### many files: {args.files} catalogs of {args.file_size:g} MB\n")
        emit(many_files_rows(args.files, args.file_size, args.repeat))
        emit()
    for kind in ([] if args.only_files else args.kinds):
        for megabytes in (args.sizes if kind == "catalog" else [args.other_size]):
            size = int(megabytes * 1_000_000)
            text = gen.document(kind, size)
            data = text.encode("utf-8")
            run_figures.section = f"{kind} {megabytes:g} MB"
            emit(f"### {kind}: {len(data) / 1e6:.1f} MB\n")
            lxml_module = lxml_etree
            if lxml_etree:
                try:
                    lxml_root(data)
                except Exception as error:  # libxml2 refuses some documents, e.g. very deep ones
                    emit(f"lxml cannot parse this document ({error}); its rows are left out.\n")
                    lxml_etree = None
            # Each group is made, measured and dropped before the next, so that no group's trees
            # are alive while another group measures the collector.
            makers = [lambda: load_group(text, data)]
            if kind == "catalog":
                makers.insert(0, lambda: one_shot_group(text, data))
            if kind == "catalog":
                # lxml's union sorts its result in time that grows far faster than the result: over
                # 10 s on the 10 MB catalog, so it is measured on the smallest document only.
                makers += query_groups(text, data, with_union_peer=megabytes <= 1.0)
                makers += value_groups(text, data)
            makers += [lambda: walk_group(text, data), lambda: free_group(text, data),
                       lambda: collect_group(text, data)]
            scratch = tempfile.TemporaryDirectory()
            path = Path(scratch.name) / f"{kind}.xml"
            if kind == "catalog" and megabytes >= 10:
                path.write_bytes(data)
                makers.append(lambda: files_group(path))
                if megabytes == 10:
                    makers.append(lambda: threads_group(data))
            for make in makers:
                group = make()
                emit(render(group, args.repeat))
                emit()
                del group
                gc.collect()
            if path.exists():
                emit(peak_rows(path))
                emit()
            scratch.cleanup()
            emit(memory_rows(kind, size))
            emit()
            lxml_etree = lxml_module
    if args.scale_sizes and not args.only_files:
        link = os.path.relpath(args.chart.resolve(), args.results.resolve().parent) if args.chart else ""
        emit(scale_rows(args.scale_sizes, min(args.repeat, 3), args.chart, link))
        emit()
    goals = goal_rows(run_figures)
    if goals:
        emit(goals)
    if not args.no_results:
        write_results(args.results, sys.argv[1:] if argv is None else argv, started, load, body)
        print(f"Written to {args.results}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
