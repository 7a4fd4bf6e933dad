#!/usr/bin/env python3
"""Generates the tag tables: the ids of the known tag names with their
perfect hash and raw-text kinds, and the tree-repair tables (tag classes, void
elements, end-tag priorities, skeleton slots and content kinds, and the
start-closes table) indexed by those ids.

Usage: python tools/gen_tag_tables.py
Writes src/tags_generated.inc (included by tags.h and tags.cc) and
src/implied_close_generated.inc (included by implied_close.cc).
"""
import pathlib
import random

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Element classes, in the order of the CloseClass enumeration, with their tags.
CLASSES = [
    ("Other", []),
    ("A", ["a"]),
    ("Phrase", ["abbr", "acronym", "bdo", "br", "cite", "code", "dfn", "em", "iframe", "img", "kbd",
                "map", "q", "samp", "strong", "sub", "sup", "var"]),
    ("Address", ["address"]),
    ("FontStyle", ["big", "s", "small", "strike", "tt"]),
    ("Block", ["blockquote", "body", "div", "frameset", "hr", "xmp"]),
    ("BoldItalic", ["b", "i"]),
    ("Caption", ["caption"]),
    ("Center", ["center"]),
    ("Col", ["col"]),
    ("Colgroup", ["colgroup"]),
    ("Dd", ["dd"]),
    ("Dir", ["dir"]),
    ("Dl", ["dl"]),
    ("Dt", ["dt"]),
    ("Fieldset", ["fieldset"]),
    ("Font", ["font"]),
    ("Form", ["form"]),
    ("Heading", ["h1", "h2", "h3", "h4", "h5", "h6"]),
    ("Head", ["head"]),
    ("Legend", ["legend"]),
    ("Li", ["li"]),
    ("Listing", ["listing"]),
    ("Menu", ["menu"]),
    ("Ol", ["ol"]),
    ("Optgroup", ["optgroup"]),
    ("Option", ["option"]),
    ("P", ["p"]),
    ("Pre", ["pre"]),
    ("Span", ["span"]),
    ("Table", ["table"]),
    ("Tbody", ["tbody"]),
    ("Cell", ["td", "th"]),
    ("Tfoot", ["tfoot"]),
    ("Thead", ["thead"]),
    ("Title", ["title"]),
    ("Tr", ["tr"]),
    ("U", ["u"]),
    ("Ul", ["ul"]),
]

# Void elements: closed as soon as they open. (embed, source, track, wbr and
# keygen are deliberately not among them.)
EMPTY = ["area", "base", "basefont", "br", "col", "frame", "hr", "img", "input", "isindex", "link", "meta",
         "param"]

# The end-tag priority scale; every other name ranks 0.
PRIORITY = {"div": 1, "td": 2, "th": 2, "tr": 3, "tbody": 4, "tfoot": 4, "thead": 4, "table": 5, "body": 6}

HEAD_CONTENT = ["base", "link", "meta", "script", "style", "title"]
STRUCTURAL = ["body", "frame", "frameset", "head", "html", "noframes"]
SLOTS = {"html": 0, "head": 1, "body": 2}

# Raw-text kinds (see RawKind): 1 raw text, 2 escapable raw text, 3 plaintext.
RAW_KIND = {"script": 1, "style": 1, "xmp": 1, "iframe": 1, "noembed": 1, "noframes": 1,
            "title": 2, "textarea": 2, "plaintext": 3}

# Names that get an id besides those of the tables above: the elements of HTML
# and its predecessors, and the common SVG and MathML ones, so that nearly
# every tag of a real page is found by one lookup. Ids are an optimisation
# only: a name without one (longer than 10 bytes, or unlisted) behaves the
# same, through slower paths. At most 10 bytes each.
KNOWN = """
a abbr acronym address applet area article aside audio b base basefont bdi bdo big blink blockquote body
br button canvas caption center cite code col colgroup data datalist dd del details dfn dialog dir div dl
dt em embed fieldset figcaption figure font footer form frame frameset h1 h2 h3 h4 h5 h6 head header hgroup
hr html i iframe image img input ins isindex kbd keygen label legend li link listing main map mark marquee
menu menuitem meta meter nav nobr noembed noframes noscript object ol optgroup option output p param
picture plaintext pre progress q rb rp rt rtc ruby s samp script search section select slot small source
span strike strong style sub summary sup table tbody td template textarea tfoot th thead time title tr
track tt u ul var video wbr xmp
svg g path circle rect line polygon polyline ellipse use defs symbol clippath mask stop text tspan desc
filter math mi mn mo ms mrow msup mfrac
""".split()

# Names the engine refers to by id.
NAMED = ["html", "head", "body", "frameset", "script"]

# (classes of the incoming start tag, classes of open elements it closes)
CLOSES = [
    (["A"], ["A", "Head"]),
    (["Phrase", "FontStyle", "BoldItalic", "Font", "Span", "U"], ["Head"]),
    (["Address", "Menu", "Pre"], ["Head", "P", "Ul"]),
    (["Block", "Dir", "Heading", "Listing", "Ol"], ["Head", "P"]),
    (["Caption", "Head", "Title"], ["P"]),
    (["Center"], ["BoldItalic", "Font", "Head", "P"]),
    (["Col"], ["Caption", "P"]),
    (["Colgroup"], ["Caption", "Colgroup", "P"]),
    (["Dd", "Dl"], ["Address", "Dir", "Dt", "Head", "Listing", "Menu", "P", "Pre"]),
    (["Dt"], ["Address", "Dd", "Dir", "Head", "Listing", "Menu", "P", "Pre"]),
    (["Fieldset"], ["A", "Heading", "Head", "Legend", "Listing", "P", "Pre"]),
    (["Form"], ["Address", "Dir", "Dl", "Form", "Heading", "Head", "Listing", "Menu", "Ol", "P", "Pre", "Ul"]),
    (["Legend"], []),
    (["Li"], ["Address", "Dl", "Heading", "Head", "Li", "Listing", "P", "Pre"]),
    (["Optgroup", "Option"], ["Option"]),
    (["P"], ["FontStyle", "BoldItalic", "Heading", "Head", "P", "U"]),
    (["Table"], ["A", "Heading", "Head", "Listing", "P", "Pre"]),
    (["Tbody"], ["Caption", "Colgroup", "P", "Tbody", "Cell", "Tfoot", "Thead", "Tr"]),
    (["Tfoot"], ["Caption", "Colgroup", "P", "Tbody", "Cell", "Thead", "Tr"]),
    (["Thead"], ["Caption", "Colgroup"]),
    (["Tr"], ["Caption", "Colgroup", "P", "Cell", "Tr"]),
    (["Cell"], ["A", "BoldItalic", "Font", "P", "Span", "Cell", "U"]),
    (["Ul"], ["Address", "Dir", "Head", "Listing", "Menu", "P", "Pre"]),
]


def pack(name):
    """The key of a name: its bytes in two little-endian words, the length in
    the top byte of the second (names are at most 10 bytes)."""
    b = name.encode()
    assert 1 <= len(b) <= 10 and name == name.lower()
    lo = int.from_bytes(b[:8], "little")
    hi = int.from_bytes(b[8:], "little") | (len(b) << 56)
    return lo, hi


MASK64 = (1 << 64) - 1
HASH_BITS = 11


def slot_of(key, mul_lo, mul_hi):
    lo, hi = key
    return (((lo * mul_lo) ^ (hi * mul_hi)) & MASK64) >> (64 - HASH_BITS)


def perfect_hash(keys):
    """Multipliers under which every key has a slot of its own."""
    rng = random.Random(2024)  # fixed: the output is reproducible
    while True:
        mul_lo, mul_hi = rng.getrandbits(64) | 1, rng.getrandbits(64) | 1
        if len({slot_of(k, mul_lo, mul_hi) for k in keys}) == len(keys):
            return mul_lo, mul_hi


def tags_table(names):
    keys = [pack(n) for n in names]
    mul_lo, mul_hi = perfect_hash(keys)
    slots = [0] * (1 << HASH_BITS)
    for i, k in enumerate(keys):
        slots[slot_of(k, mul_lo, mul_hi)] = i + 1
    out = ["// Generated by tools/gen_tag_tables.py. Do not edit.\n",
           "// Included by tags.h (the ids) and tags.cc (the table, with TAGS_TABLE defined).\n\n",
           "#ifndef TAGS_TABLE\n",
           f"inline constexpr int kTagCount = {len(names) + 1};  // ids 0 (any other name) to {len(names)}\n"]
    for n in NAMED:
        out.append(f"inline constexpr TagId kTag{n.capitalize()} = {names.index(n) + 1};\n")
    out.append("#else\n")
    out.append("// Per id: the name, its key (see pack in the generator) and its raw-text kind.\n")
    out.append("constexpr TagRow kTagRows[kTagCount] = {\n")
    out.append("    {\"\", ~0ull, ~0ull, 0},  // 0: no key packs to this\n")
    for n, (lo, hi) in zip(names, keys):
        out.append(f'    {{"{n}", 0x{lo:016X}ull, 0x{hi:016X}ull, {RAW_KIND.get(n, 0)}}},\n')
    out.append("};\n\n")
    out.append(f"// A perfect hash of the keys: slot = ((lo * kMulLo) ^ (hi * kMulHi)) >> (64 - {HASH_BITS}).\n")
    out.append(f"constexpr uint64_t kMulLo = 0x{mul_lo:016X}ull, kMulHi = 0x{mul_hi:016X}ull;\n")
    out.append(f"constexpr int kHashBits = {HASH_BITS};\n")
    out.append(f"constexpr uint8_t kTagSlots[{1 << HASH_BITS}] = {{  // id per slot, 0 empty\n")
    for i in range(0, len(slots), 16):
        out.append("    " + ", ".join(f"{v:3d}" for v in slots[i:i + 16]) + ",\n")
    out.append("};\n#endif\n")
    (ROOT / "src/tags_generated.inc").write_text("".join(out))


def main():
    index = {name: i for i, (name, _) in enumerate(CLASSES)}
    class_of = {tag: name for name, tags in CLASSES for tag in tags}
    listed = set(class_of) | set(EMPTY) | set(PRIORITY) | set(HEAD_CONTENT) | set(STRUCTURAL) | set(SLOTS)
    names = sorted(listed | set(RAW_KIND) | set(KNOWN))
    assert len(names) < 255, "ids are one byte"
    tags_table(names)
    out = ["// Generated by tools/gen_tag_tables.py. Do not edit.\n// Included by implied_close.cc only.\n\n"]
    for name, i in index.items():
        out.append(f"static_assert(static_cast<int>(C::k{name}) == {i});\n")
    out.append(f"static_assert(kCloseClassCount == {len(CLASSES)});\n")
    out.append(f"static_assert(kTagCount == {len(names) + 1});\n\n")
    out.append("// Per tag id (see tags_generated.inc); id 0 and names in no table get the defaults.\n")
    out.append("constexpr TagInfo kTagInfo[kTagCount] = {\n")
    out.append("    {},  // any other name\n")
    for n in names:
        content = "kHeadContent" if n in HEAD_CONTENT else "kStructural" if n in STRUCTURAL else "kBodyContent"
        slot = str(SLOTS[n]) if n in SLOTS else "kNoSlot"
        empty = "true" if n in EMPTY else "false"
        out.append(f'    {{C::k{class_of.get(n, "Other")}, F::{content}, {PRIORITY.get(n, 0)}, {slot}, {empty}}},'
                   f"  // {n}\n")
    out.append("};\n\n")
    rows = [0] * len(CLASSES)
    seen = set()
    for incoming, closed in CLOSES:
        mask = 0
        for c in closed:
            mask |= 1 << index[c]
        for c in incoming:
            assert c not in seen, c
            seen.add(c)
            rows[index[c]] = mask
    out.append("// kCloses[incoming] has bit `open` set when a start tag of class `incoming`\n")
    out.append("// closes an open element of class `open`.\n")
    out.append(f"constexpr uint64_t kCloses[{len(CLASSES)}] = {{\n")
    for (name, _), mask in zip(CLASSES, rows):
        out.append(f"    0x{mask:016X},  // {name}\n")
    out.append("};\n")
    (ROOT / "src/implied_close_generated.inc").write_text("".join(out))


if __name__ == "__main__":
    main()
