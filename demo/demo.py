"""Load demo/sample.xml with tamarack and print its element tree."""

from pathlib import Path

from tamarack.pugixml import Document, NodeType

SAMPLE = Path(__file__).with_name("sample.xml")


def describe(element) -> str:
    if element.type == NodeType.NODE_CDATA:
        return "#cdata"
    parts = [element.name]
    if element.attributes:
        parts.append(str(element.attributes))
    if element.text is not None:
        parts.append(f'"{element.text}"')
    return " ".join(parts)


def show(element, depth: int = 0) -> None:
    print("  " * depth + describe(element))
    for child in element:
        show(child, depth + 1)


def main() -> None:
    document = Document()
    document.load_string(SAMPLE.read_text(encoding="utf-8"))
    root = document.get_root()
    show(root)
    print(f"root path: {root.path!r}, parent: {root.parent!r}")


if __name__ == "__main__":
    main()
