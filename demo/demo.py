"""Load demo/sample.xml with tamarack and print its element tree."""

from pathlib import Path

from tamarack.pugixml import Document, NodeType

SAMPLE = Path(__file__).with_name("sample.xml")


def describe(element) -> str:
    position = element.node_position
    if element.type == NodeType.NODE_CDATA:
        return f"#cdata {position}"
    parts = [element.name, str(position)]
    if element.attributes:
        parts.append(str(element.attributes))
    if element.text is not None:
        parts.append(f'"{element.text}"')
    return " ".join(parts)


def show(root) -> None:
    for element in root.walk():
        depth = len(element.node_position) - 1
        print("  " * depth + describe(element))


def main() -> None:
    document = Document()
    document.load_file(SAMPLE)  # read in the encoding the file declares
    root = document.get_root()
    show(root)
    print(f"root path: {root.path!r}, parent: {root.parent!r}")

    # A node position leads back to the very same element.
    position = (0, 1, 0, 0)
    element = document.get_node_by_position(position)
    print(f"\nposition {position} -> {element!r} at {element.path}")
    print(f"same object from the root: {root.find_from_position(position) is element}")

    # XPath queries answer with the tree's own elements.
    first = document.xpath_find("//item[@currency='CHF']/title")
    print(f"\nxpath_find //item[@currency='CHF']/title -> {first.text!r} at {first.node_position}")
    print("xpath_findall //item[@sku]:")
    for item in document.xpath_findall("//item[@sku]"):
        print(f"  {item.attributes['sku']} {item.attributes['price']} {item.attributes['currency']} "
              f"at {item.node_position}, same object: {document.get_node_by_position(item.node_position) is item}")

    # xpath() answers any expression: numbers, strings, booleans, and node sets in document order
    # where attributes and text come back as strings. Relative paths start at a context element;
    # $names read variables.
    print(f"\nxpath count(//item) -> {document.xpath('count(//item)')!r}")
    print(f"xpath //item/@sku -> {document.xpath('//item/@sku')!r}")
    print(f"xpath boolean(//item[@currency='USD']) -> {document.xpath('boolean(//item[@currency=\'USD\'])')!r}")
    for item in document.xpath("//item[@price < $limit]", variables={"limit": 300}):
        title = document.xpath("string(title)", context=item)
        print(f"  under 300: {title!r} costs {document.xpath('number(@price)', context=item)} "
              f"{item.attributes['currency']}")

    # Bytes in their declared encoding, and where a malformed document went wrong.
    other = Document()
    other.load_bytes('<?xml version="1.0" encoding="Shift_JIS"?><店 名="東京"/>'.encode("shift_jis"))
    print(f"\nload_bytes in Shift_JIS -> {other.get_root()!r}")
    try:
        other.load_bytes("<catalog>\n  <item>Zürich</itme>\n</catalog>".encode("utf-16"))
    except RuntimeError as error:
        print(f"load_bytes in UTF-16 -> {error} at line {error.line}, column {error.column}")


if __name__ == "__main__":
    main()
