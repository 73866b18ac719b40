"""Writes the fuzzer's seed corpus and its dictionary of XML and XPath tokens.

    python fuzz/make_corpus.py SEED_DIR DICTIONARY

Every seed is one input in the harness's format (see fuzz_tamarack.py): a flags byte, the XML
text, then XPath expressions, separated by the byte 0x1E. The seeds are generated, the same ones
on every run, so that nothing binary is kept in the repository.
"""

import hashlib
import pathlib
import sys

SEPARATOR = b"\x1e"

DOCUMENTS = [
    "<a/>",
    "<a><b/><c/><b/></a>",
    "<catalog><item sku='a1' n='1'>Tent</item><item sku='b2'>Stove<![CDATA[x<y]]></item></catalog>",
    "<?xml version='1.0' encoding='UTF-8'?><!-- c --><r><?pi data?><e a='&lt;&amp;&#65;&#x42;'>t&gt;</e></r>",
    "<r>text<a>one</a>tail<b x='1' y=\"2\">two<c/></b><![CDATA[cdata]]>end</r>",
    "<!DOCTYPE r [<!ENTITY e 'v'><!ELEMENT r ANY>]><r>&e;<x/></r>",
    "<r xmlns='urn:a' xmlns:p='urn:b'><p:a p:b='1'/><a/></r>",
    "<r><a><a><a><a><a>deep</a></a></a></a></a></r>",
    "<r>" + "<s/>" * 40 + "</r>",
    "<r><t>&#xD800;</t><v a='&#xDFFF;'/><u>&#x1F600;</u><z>&#0;</z></r>",
    "<r>\u00e9\u4e2d\U0001f600<\u00e9l\u00e9ment \u00e0='\u00e7'/></r>",
    "<r><a/><b/></r>\0<trailing",
    "<r><a></b></r>",
    "<r a='1' a='2'><x/></r>",
    "<r><![CDATA[]]><![CDATA[a]]]]><![CDATA[>]]></r>",
    "",
    "<",
    "<r>" + "<i n='0'><j>t</j></i>" * 10 + "</r>",
]

QUERIES = [
    "//*", "/", "//b", "//c | //b", "/a/node()", "//b/text()", "//@*", "//item[@sku='a1']",
    "//item[last()]", "//*[position() mod 2 = 0]", "count(//*)", "//b[", "unknown()", "$v",
    "ancestor-or-self::*", "//*[not(*)]", "//*[contains(., 'T')]", "(//*)[3]", "//*[@a][1]/..",
    "//text()", "//*[string-length(name()) > 1]", "/*/*[2]/following-sibling::*", "\u00e9//x",
    "//a\0[", "(" * 50 + "/r" + ")" * 50,
    "$v/..", "$v[$n]", "concat($s, .)", "$b and //*", "substring(., 2, 1)", "../@*", "string(/)",
    "preceding::node() | $v",
]

TOKENS = [
    "<", ">", "</", "/>", "<?", "?>", "<!--", "-->", "<![CDATA[", "]]>", "<!DOCTYPE", "<!ENTITY",
    "<!ELEMENT", "<!ATTLIST", "SYSTEM", "PUBLIC", "&amp;", "&lt;", "&gt;", "&quot;", "&apos;",
    "&#x", "&#", ";", "='", "=\"", "xmlns", "xmlns:", "<?xml version='1.0'?>", "\x1e",
    "//", "/", "..", "@", "*", "[", "]", "(", ")", "|", "node()", "text()", "comment()",
    "processing-instruction()", "ancestor::", "descendant::", "following-sibling::",
    "preceding::", "self::", "attribute::", "namespace::", "last()", "position()", "count(",
    "name(", "local-name(", "string(", "concat(", "contains(", "substring(", "translate(",
    "not(", "true()", "false()", "number(", "sum(", "round(", " and ", " or ", " div ",
    " mod ", "!=", "<=", ">=", "$", "$v", "$n", "$s", "$b", "&#xD800;", "&#x110000;", "&#0;",
]


def seeds():
    for flags in (0x00, 0x01, 0x06, 0x18, 0x21, 0xC3):
        for i, document in enumerate(DOCUMENTS):
            queries = QUERIES[(i + flags) % len(QUERIES):][:4] or QUERIES[:4]
            yield bytes([flags]) + SEPARATOR.join(q.encode() for q in [document, *queries])


def escaped(c):
    if c.isascii() and c.isprintable() and c not in '"\\':
        return c
    return "".join("\\x%02x" % b for b in c.encode())


def dictionary_entry(token):
    """One line of a libFuzzer dictionary: printable ASCII as is, every other byte escaped."""
    return '"' + "".join(map(escaped, token)) + '"'


def main(seed_dir, dictionary):
    seed_dir = pathlib.Path(seed_dir)
    seed_dir.mkdir(parents=True, exist_ok=True)
    for seed in seeds():
        (seed_dir / hashlib.sha1(seed).hexdigest()).write_bytes(seed)
    pathlib.Path(dictionary).write_text("".join(dictionary_entry(t) + "\n" for t in TOKENS))


if __name__ == "__main__":
    main(*sys.argv[1:])
