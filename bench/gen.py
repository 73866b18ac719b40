"""Deterministic XML documents for the benchmarks.

Every generator returns the same text for the same arguments: variation comes
from the record number or from a random.Random with a fixed seed.
"""

import random

_WORDS = (
    "alder", "birch", "cedar", "larch", "maple", "spruce", "tamarack", "willow",
    "ridge", "creek", "meadow", "summit", "trail", "valley", "harbour", "glacier",
)
# Non-ASCII words, so that both parsers and the UTF-8 decoding have real work.
_WORDS_INTL = ("Bergführer", "château", "Øresund", "niño", "Kraków", "Ελλάδα", "東京", "Zürich")
_CURRENCIES = ("EUR", "USD", "CHF", "GBP", "SEK")

_HEADER = '<?xml version="1.0" encoding="UTF-8"?>\n'


def _phrase(rng: random.Random, words: int) -> str:
    return " ".join(rng.choice(_WORDS) for _ in range(words))


def _record(n: int, rng: random.Random) -> str:
    """One catalog record: eight elements, one of them a CDATA section."""
    price = f"{rng.randrange(100, 100_000) / 100:.2f}"
    currency = _CURRENCIES[n % len(_CURRENCIES)]
    title = _phrase(rng, 3)
    if n % 4 == 0:
        title += " " + _WORDS_INTL[n % len(_WORDS_INTL)]
    if n % 3 == 0:
        note = f"<note><![CDATA[{_phrase(rng, 4)} & <{rng.choice(_WORDS)}>]]></note>"
    else:
        note = f"<note>{_phrase(rng, 4)}</note>"
    return (
        f'<record id="{n}" sku="SKU-{n:08d}" price="{price}" currency="{currency}">'
        f"<title>{title}</title>"
        f'<vendor country="{rng.choice(_WORDS)[:2].upper()}">{rng.choice(_WORDS)}</vendor>'
        f'<stock warehouse="{n % 7}">{rng.randrange(0, 500)}</stock>'
        f"<tags><tag>{rng.choice(_WORDS)}</tag><tag>{rng.choice(_WORDS)}</tag></tags>"
        f"{note}"
        "</record>\n"
    )


def catalog(size: int, seed: int = 1) -> str:
    """A catalog of records, about `size` bytes of UTF-8 (never less)."""
    rng = random.Random(seed)
    head = _HEADER + '<catalog name="bench" version="1">\n'
    tail = "</catalog>\n"
    parts = [head]
    total = len(head.encode()) + len(tail)
    n = 0
    while total < size:
        record = _record(n, rng)
        parts.append(record)
        total += len(record.encode())
        n += 1
    parts.append(tail)
    return "".join(parts)


def wide(size: int) -> str:
    """One root with many flat children, about `size` bytes (never less)."""
    head = _HEADER + "<root>\n"
    tail = "</root>\n"
    parts = [head]
    total = len(head) + len(tail)
    n = 0
    while total < size:
        child = f'<item n="{n}">{_WORDS[n % len(_WORDS)]}</item>\n'
        parts.append(child)
        total += len(child)
        n += 1
    parts.append(tail)
    return "".join(parts)


def deep(depth: int) -> str:
    """A chain of `depth` nested elements, the innermost one holding text."""
    return _HEADER + "<e>" * depth + "leaf" + "</e>" * depth + "\n"


KINDS = ("catalog", "wide", "deep")


def document(kind: str, size: int) -> str:
    """The document of that kind, about `size` bytes; a deep one nests an element per 7 bytes."""
    if kind == "catalog":
        return catalog(size)
    if kind == "wide":
        return wide(size)
    if kind == "deep":
        return deep(max(1, size // 7))
    raise ValueError(f"unknown kind {kind!r}")
