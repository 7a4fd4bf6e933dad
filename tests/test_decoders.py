"""The WHATWG decoders: every index entry, the malformed-input rules of each
algorithm, the real documents of the encodings corpus, and random bytes."""
import codecs
import json

import pytest
from hypothesis import given, settings, strategies as st

import _larkspine as ls

t = pytest.importorskip("_larkspine_testing")
FFFD = "\ufffd"


def read_index(shared_dir, name):
    out = {}
    for line in (shared_dir / "whatwg-encoding" / f"index-{name}.txt").read_text(encoding="utf-8").split("\n"):
        if line.strip() and not line.startswith("#"):
            pointer, code_point = line.split("\t")[:2]
            out[int(pointer)] = int(code_point, 16)
    return out


def single_byte_encodings(shared_dir):
    groups = json.loads((shared_dir / "whatwg-encoding" / "encodings.json").read_text())
    return [e["name"] for g in groups if g["heading"] == "Legacy single-byte encodings" for e in g["encodings"]]


def test_single_byte_indexes(shared_dir):
    for name in single_byte_encodings(shared_dir):
        index = read_index(shared_dir, "iso-8859-8" if name == "ISO-8859-8-I" else name.lower())
        got = t.decode(name, bytes(range(0x80, 0x100)))
        expected = "".join(chr(index[p]) if p in index else FFFD for p in range(128))
        assert got == expected, name
        assert t.decode(name, bytes(range(0x80))) == "".join(map(chr, range(0x80)))


# Byte sequences for a pointer, per multi-byte decoder; None = not reachable.
def gb18030_bytes(p):
    lead, trail = divmod(p, 190)
    return bytes([lead + 0x81, trail + (0x40 if trail < 0x3F else 0x41)])


def big5_bytes(p):
    lead, trail = divmod(p, 157)
    return bytes([lead + 0x81, trail + (0x40 if trail < 0x3F else 0x62)])


def shift_jis_bytes(p):
    lead, trail = divmod(p, 188)
    return bytes([lead + (0x81 if lead < 0x1F else 0xC1), trail + (0x40 if trail < 0x3F else 0x41)])


def euc_bytes(p):
    lead, trail = divmod(p, 94)
    return bytes([lead + 0xA1, trail + 0xA1])


def iso2022jp_bytes(p):
    lead, trail = divmod(p, 94)
    return b"\x1b$B" + bytes([lead + 0x21, trail + 0x21])


def euc_kr_bytes(p):
    lead, trail = divmod(p, 190)
    return bytes([lead + 0x81, trail + 0x41])


BIG5_PAIRS = {1133: "\u00ca\u0304", 1135: "\u00ca\u030c", 1164: "\u00ea\u0304", 1166: "\u00ea\u030c"}

MULTI = [
    ("gb18030", "gb18030", gb18030_bytes, 126 * 190),
    ("gbk", "gb18030", gb18030_bytes, 126 * 190),
    ("big5", "big5", big5_bytes, 126 * 157),
    ("shift_jis", "jis0208", shift_jis_bytes, 60 * 188),
    ("euc-jp", "jis0208", euc_bytes, 94 * 94),
    ("iso-2022-jp", "jis0208", iso2022jp_bytes, 94 * 94),
    ("euc-kr", "euc-kr", euc_kr_bytes, 125 * 190),
]


@pytest.mark.parametrize("label, index_name, to_bytes, pointers", MULTI, ids=[m[0] for m in MULTI])
def test_multi_byte_index_entries(shared_dir, label, index_name, to_bytes, pointers):
    index = read_index(shared_dir, index_name)
    missing = 0
    for p in range(pointers):
        got = t.decode(label, to_bytes(p))
        if label == "big5" and p in BIG5_PAIRS:
            assert got == BIG5_PAIRS[p]
        elif label == "shift_jis" and 8836 <= p <= 10715:
            assert got == chr(0xE000 - 8836 + p)     # Windows EUDC
        elif p in index:
            assert got == chr(index[p]), (label, p)
        else:
            # A pointer the index lacks is an error; an ASCII trail byte is
            # then processed again on its own (ISO-2022-JP consumes it).
            trail = to_bytes(p)[-1]
            again = chr(trail) if trail < 0x80 and label != "iso-2022-jp" else ""
            assert got == FFFD + again, (label, p)
            missing += 1
    assert missing < pointers


def test_jis0212_through_euc_jp(shared_dir):
    index = read_index(shared_dir, "jis0212")
    for p in range(94 * 94):
        got = t.decode("euc-jp", b"\x8f" + euc_bytes(p))
        assert got == (chr(index[p]) if p in index else FFFD), p


def test_gb18030_ranges(shared_dir):
    ranges = read_index(shared_dir, "gb18030-ranges")

    def four(p):
        b1, r = divmod(p, 10 * 126 * 10)
        b2, r = divmod(r, 10 * 126)
        b3, b4 = divmod(r, 10)
        return bytes([b1 + 0x81, b2 + 0x30, b3 + 0x81, b4 + 0x30])

    for pointer, code_point in ranges.items():
        if pointer == 7457:
            continue
        assert t.decode("gb18030", four(pointer)) == chr(code_point), pointer
    assert t.decode("gb18030", four(7457)) == "\ue7c7"
    assert t.decode("gb18030", four(39420)) == FFFD           # between the two valid areas
    assert t.decode("gb18030", four(189000)) == "\U00010000"
    assert t.decode("gb18030", four(1237575)) == "\U0010ffff"
    assert t.decode("gb18030", bytes([0xE3, 0x32, 0x9A, 0x36])) == FFFD  # pointer 1237576


MALFORMED = [
    # UTF-8: maximal subparts, one U+FFFD each; the failing byte is looked at again.
    ("utf-8", b"\xc3", FFFD),
    ("utf-8", b"\xc3A", FFFD + "A"),
    ("utf-8", b"\xe2\x82", FFFD),
    ("utf-8", b"\xe2\x82A", FFFD + "A"),
    ("utf-8", b"\xf0\x9f\x98", FFFD),
    ("utf-8", b"\xe0\x80\xaf", FFFD * 3),
    ("utf-8", b"\xed\xa0\x80", FFFD * 3),
    ("utf-8", b"\xf4\x90\x80\x80", FFFD * 4),
    ("utf-8", b"\xc0\xaf", FFFD * 2),
    ("utf-8", b"\xff\xfe", FFFD * 2),
    ("utf-8", b"\xef\xbb\xbfa", "\ufeffa"),                     # no BOM handling in a fragment
    ("utf-8", b"\xf0\x9f\x98\x80", "\U0001f600"),
    # UTF-16.
    ("utf-16le", b"\xff\xfea\x00", "\ufeffa"),
    ("utf-16le", b"a", FFFD),
    ("utf-16le", b"\x00\xd8", FFFD),
    ("utf-16le", b"\x00\xd8a\x00", FFFD + "a"),
    ("utf-16le", b"\x00\xdc", FFFD),
    ("utf-16be", b"\xd8\x3d\xde\x00", "\U0001f600"),
    ("utf-16be", b"\xd8\x3d\x00", FFFD),
    # gb18030.
    ("gb18030", b"\x80", "\u20ac"),
    ("gb18030", b"\xff", FFFD),
    ("gb18030", b"\x81", FFFD),
    ("gb18030", b"\x81A", "\u4e04"),
    ("gb18030", b"\x81\x7f", FFFD + "\x7f"),
    ("gb18030", b"\x81\x30", FFFD),
    ("gb18030", b"\x81\x30\x81", FFFD),
    ("gb18030", b"\x81\x30\x81A", FFFD + "0" + "\u4e04"),     # restore second, third, byte
    ("gb18030", b"\x81\x30A", FFFD + "0A"),                  # restore second, byte
    ("gb18030", b"\x81\x30\x81\x30", "\x80"),
    # Big5.
    ("big5", b"\x81", FFFD),
    ("big5", b"\x80", FFFD),
    ("big5", b"\xa4\x40", "\u4e00"),
    ("big5", b"\xa1\x20", FFFD + " "),
    ("big5", b"\xa1\xff", FFFD),
    ("big5", b"\x88\x62\x88\x64", "\u00ca\u0304\u00ca\u030c"),
    # EUC-JP.
    ("euc-jp", b"\x8e\xa1", "\uff61"),
    ("euc-jp", b"\x8e\xe0", FFFD),
    ("euc-jp", b"\x8f\xa1", FFFD),
    ("euc-jp", b"\x8f\xa1A", FFFD + "A"),
    ("euc-jp", b"\xa1", FFFD),
    ("euc-jp", b"\xa1\x20", FFFD + " "),
    ("euc-jp", b"\x80", FFFD),
    # Shift_JIS.
    ("shift_jis", b"\x80", "\x80"),
    ("shift_jis", b"\xa0", FFFD),
    ("shift_jis", b"\xa1", "\uff61"),
    ("shift_jis", b"\x5c\x7e", "\\~"),
    ("shift_jis", b"\x81", FFFD),
    ("shift_jis", b"\x81\x20", FFFD + " "),
    ("shift_jis", b"\x81\xfd", FFFD),
    ("shift_jis", b"\xf0\x40", "\ue000"),
    # EUC-KR.
    ("euc-kr", b"\x81", FFFD),
    ("euc-kr", b"\x81\x20", FFFD + " "),
    ("euc-kr", b"\x80", FFFD),
    ("euc-kr", b"\xb0\xa1", "\uac00"),
    # ISO-2022-JP escapes.
    ("iso-2022-jp", b"\x1b(J\\~", "\u00a5\u203e"),
    ("iso-2022-jp", b"\x1b(I!_", "\uff61\uff9f"),
    ("iso-2022-jp", b"\x1b(I\x60", FFFD),
    ("iso-2022-jp", b"\x1b$B0!\x1b(Ba", "\u4e9c" + "a"),
    ("iso-2022-jp", b"\x1b$@0!", "\u4e9c"),
    ("iso-2022-jp", b"\x1b$B0", FFFD),
    ("iso-2022-jp", b"\x1b$B0\x1b(Ba", FFFD + "a"),
    ("iso-2022-jp", b"\x1b$B\n", FFFD),
    ("iso-2022-jp", b"\x1b(B\x1b(Ba", FFFD + "a"),            # two escapes in a row
    ("iso-2022-jp", b"\x1b", FFFD),
    ("iso-2022-jp", b"\x1bx", FFFD + "x"),
    ("iso-2022-jp", b"\x1b(x", FFFD + "(x"),
    ("iso-2022-jp", b"\x1b(", FFFD + "("),
    ("iso-2022-jp", b"\x1b(J\x1bx\\", FFFD + "x\u00a5"),      # back to the output state
    ("iso-2022-jp", b"\x0e\x0f\x80", FFFD * 3),
    # x-user-defined and replacement.
    ("x-user-defined", b"a\x80\xff", "a\uf780\uf7ff"),
    ("replacement", b"abc", FFFD),
    ("replacement", b"", ""),
]


@pytest.mark.parametrize("label, data, expected", MALFORMED)
def test_malformed_input(label, data, expected):
    assert t.decode(label, data) == expected


# Corpus folders whose name (or its first dash-separated parts) is a WHATWG
# label. Python's codecs agree with the WHATWG tables for these except for
# Big5, EUC-JP and Shift_JIS, whose JIS X 0208 / Big5 tables map a few
# characters differently (WAVE DASH vs FULLWIDTH TILDE, MINUS SIGN vs
# FULLWIDTH HYPHEN-MINUS, ...).
PYTHON_CODEC = {
    "UTF-8": "utf-8", "UTF-16LE": "utf-16-le", "UTF-16BE": "utf-16-be", "IBM866": "cp866",
    "KOI8-R": "koi8-r", "windows-874": "cp874", "windows-1250": "cp1250", "windows-1251": "cp1251",
    "windows-1252": "cp1252", "windows-1254": "cp1254", "windows-1255": "cp1255", "windows-1256": "cp1256",
    "ISO-8859-2": "iso8859-2", "ISO-8859-5": "iso8859-5", "ISO-8859-6": "iso8859-6",
    "ISO-8859-7": "iso8859-7", "GBK": "gbk", "EUC-KR": "euc_kr", "ISO-2022-JP": "iso2022_jp",
}
TABLES_DIFFER = {"Big5": "big5", "EUC-JP": "euc_jp", "Shift_JIS": "shift_jis"}


def corpus_documents(shared_dir):
    for folder in sorted((shared_dir / "corpus" / "encodings").iterdir()):
        parts = folder.name.split("-")
        encoding = next((e for k in range(len(parts), 0, -1) if (e := ls.resolve_label("-".join(parts[:k])))), None)
        if encoding is None or encoding == "replacement":
            continue  # not a WHATWG encoding, or one that decodes nothing
        for path in sorted(folder.iterdir()):
            data = path.read_bytes()
            enc = encoding
            if enc.startswith("UTF-16") and data[:2] in (b"\xff\xfe", b"\xfe\xff"):
                enc, data = ("UTF-16LE" if data[:2] == b"\xff\xfe" else "UTF-16BE"), data[2:]
            if enc == "UTF-8" and data.startswith(b"\xef\xbb\xbf"):
                data = data[3:]
            yield path, enc, data


def test_encodings_corpus(shared_dir):
    compared = 0
    for path, enc, data in corpus_documents(shared_dir):
        ours = t.decode(enc, data)
        codec = PYTHON_CODEC.get(enc) or TABLES_DIFFER.get(enc)
        try:
            reference = data.decode(codec)
        except UnicodeDecodeError:
            continue  # not well-formed in Python's reading
        assert FFFD not in ours or FFFD in reference, path
        if enc in PYTHON_CODEC:
            assert ours == reference, path
            compared += 1
        else:
            assert len(ours) == len(reference), path
    assert compared > 100


DECODER_LABELS = ["utf-8", "utf-16le", "utf-16be", "ibm866", "iso-8859-2", "iso-8859-8-i", "koi8-u",
                  "macintosh", "windows-874", "windows-1252", "x-mac-cyrillic", "gbk", "gb18030", "big5",
                  "euc-jp", "iso-2022-jp", "shift_jis", "euc-kr", "x-user-defined", "replacement"]


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(DECODER_LABELS), st.binary(max_size=64) | st.lists(
    st.sampled_from([b"\x1b", b"$", b"(", b"B", b"J", b"I", b"@", b"\x81", b"\x30", b"\xa1", b"\x8e",
                     b"\x8f", b"\xe0", b"\xd8", b"\xdc", b"\x00", b"a", b"\xff", b"\xf0\x9f"]),
    max_size=24).map(b"".join))
def test_random_bytes(label, data):
    first = t.decode(label, data)    # building the str checks that the output is valid UTF-8
    assert t.decode(label, data) == first
    # The standard's bound: at most one code point per byte (two per pair for
    # the four Big5 pointers that stand for two), plus one error at the end.
    assert len(first) <= len(data) + 1
    # In every encoding that is scanned as bytes, "<" is never a trail byte:
    # whatever precedes it, it decodes to itself.
    if label not in ("utf-16le", "utf-16be", "iso-2022-jp", "replacement"):
        assert t.decode(label, data + b"<p>").endswith("<p>")
