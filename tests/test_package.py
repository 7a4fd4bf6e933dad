"""The larkspine package's free functions: documents, labels, files."""
import array
import gzip
import mmap
import pathlib
import re
import subprocess
import sys

import pytest

import _larkspine
import larkspine

ROOT = pathlib.Path(__file__).resolve().parent.parent

DOC = b"<title>T</title><h1>Caf\xc3\xa9</h1><a href=/x>x</a><a href=/y>y</a>"
QUERIES = ["h1::text", "a::attr(href)", "//title/text()"]
EXPECTED = [["Café"], ["/x", "/y"], ["T"]]


def _mmap(data):
    m = mmap.mmap(-1, len(data))
    m.write(data)
    return m


@pytest.mark.parametrize("make", [
    bytes, bytearray, memoryview, lambda d: d.decode(), lambda d: array.array("B", d),
    lambda d: array.array("b", d), _mmap, lambda d: memoryview(bytearray(d)).toreadonly(),
    lambda d: memoryview(d)[0:len(d)],
], ids=["bytes", "bytearray", "memoryview", "str", "array-B", "array-b", "mmap", "readonly", "slice"])
def test_every_bytes_like_document_gives_the_same_columns(make):
    assert larkspine.extract(make(DOC), QUERIES) == EXPECTED
    flat, grouped = larkspine.extract_grouped(make(DOC), QUERIES[:1], [("a", [("href", "./@href")])])
    assert (flat, grouped) == ([["Café"]], [[[["/x"]], [["/y"]]]])


@pytest.mark.parametrize("html, message", [
    (None, "got NoneType"),
    (42, "got int"),
    (array.array("i", [1, 2]), "format 'i'"),
    (memoryview(b"abcdef")[::2], "non-contiguous"),
    (pathlib.Path("page.html"), "extract_file"),
])
def test_documents_that_are_refused_say_what_is_accepted(html, message):
    with pytest.raises(TypeError, match=message):
        larkspine.extract(html, ["p"])


@pytest.mark.parametrize("call", [
    lambda: larkspine.extract(DOC, "h1::text"),
    lambda: larkspine.extract_grouped(DOC, "h1::text", []),
    lambda: larkspine.extract_grouped(DOC, [], "li"),
])
def test_a_str_where_a_list_belongs_is_refused(call):
    with pytest.raises(TypeError, match="not a str"):
        call()


# A page in each encoding, labelled as Scrapy and w3lib report it (Python codec names)
# and as HTTP headers do (WHATWG labels).
@pytest.mark.parametrize("label, codec, text", [
    ("euc_jp", "euc_jp", "日本語のページ"),
    ("cp932", "cp932", "日本語①のページ"),
    ("shift_jis", "shift_jis", "日本語"),
    ("sjis", "shift_jis", "日本語"),
    ("big5hkscs", "big5hkscs", "中文網頁"),
    ("iso2022_jp", "iso2022_jp", "日本語"),
    ("cp874", "cp874", "ภาษาไทย"),
    ("cp949", "cp949", "한국어 페이지"),
    ("euc_kr", "euc_kr", "한국어"),
    ("gb18030", "gb18030", "中文页面"),
    ("latin_1", "cp1252", "café €"),
    ("cp1251", "cp1251", "Пример"),
    ("koi8_r", "koi8_r", "Пример"),
    ("mac_cyrillic", "mac_cyrillic", "Пример"),
    ("iso8859_7", "iso8859_7", "Ελληνικά"),
    ("utf_16_le", "utf_16_le", "ünïcode"),
    ("utf_8_sig", "utf_8", "ünïcode"),
    ("Shift_JIS", "shift_jis", "日本語"),
    ("windows-1252", "cp1252", "café"),
])
def test_python_codec_names_and_whatwg_labels_decode_alike(label, codec, text):
    # The page claims UTF-8: only the caller's label can get it right.
    doc = f"<meta charset=utf-8><p>{text}</p>".encode(codec)
    assert larkspine.extract(doc, ["p::text"], encoding=label) == [[text]]


@pytest.mark.parametrize("label, expected", [
    ("cp932", "Shift_JIS"), ("ms932", "Shift_JIS"), ("euc_jp", "EUC-JP"), ("big5hkscs", "Big5"),
    ("iso2022_jp", "ISO-2022-JP"), ("cp874", "windows-874"), ("latin_1", "windows-1252"),
    ("latin1", "windows-1252"), ("utf_8", "UTF-8"), (" UTF8 ", "UTF-8"), ("tis_620", "windows-874"),
    ("mac_roman", "macintosh"), ("utf_16_be", "UTF-16BE"), ("cp949", "EUC-KR"), ("gbk", "GBK"),
])
def test_resolve_encoding(label, expected):
    assert larkspine.resolve_encoding(label) == expected


@pytest.mark.parametrize("label", ["no-such-label", "utf_32", "cp855", "hz", "", "iso2022_kr"])
def test_a_label_that_names_no_decodable_encoding_is_refused(label):
    # The engine would ignore it and sniff: a plausible wrong decode, never silent here.
    for call in (
        lambda: larkspine.extract(DOC, ["p"], encoding=label),
        lambda: larkspine.extract_grouped(DOC, [], [], encoding=label),
        lambda: larkspine.detect_encoding(DOC, label),
        lambda: larkspine.resolve_encoding(label),
    ):
        with pytest.raises(ValueError, match=repr(label).replace("\\", "\\\\")):
            call()


def test_a_label_of_the_wrong_type_names_the_argument():
    with pytest.raises(TypeError, match="encoding must be a str"):
        larkspine.extract(DOC, ["p"], encoding=b"utf-8")


@pytest.mark.parametrize("label, note", [("latin-1", None), ("cp932", "Python's name for Shift_JIS")])
def test_decoded_text_with_a_foreign_label_is_refused_naming_the_label(label, note):
    with pytest.raises(ValueError, match="already-decoded str") as info:
        larkspine.extract("<p>x</p>", ["p::text"], encoding=label)
    assert (note is None) == (not getattr(info.value, "__notes__", None))
    if note:
        assert note in info.value.__notes__[0]


def test_decoded_text_with_a_utf8_label_reads_as_utf8():
    assert larkspine.extract("<p>é</p>", ["p::text"], encoding="utf_8") == [["é"]]


@pytest.mark.parametrize("doc, label, expected", [
    (b"<meta charset=koi8-r><p>x", None, "KOI8-R"),
    (b"<p>x", "cp932", "Shift_JIS"),
    (b"\xef\xbb\xbf<p>x", "cp1251", "UTF-8"),
    (bytearray(b"<meta charset=euc-jp>"), None, "EUC-JP"),
    ("<meta charset=koi8-r>", None, "UTF-8"),
])
def test_detect_encoding(doc, label, expected):
    assert larkspine.detect_encoding(doc, label) == expected


@pytest.mark.parametrize("name, pack", [("page.html", lambda b: b), ("page.html.gz", gzip.compress)])
def test_extract_file(tmp_path, name, pack):
    path = tmp_path / name
    path.write_bytes(pack("<meta charset=cp1251><p>Пример</p>".encode("cp1251")))
    assert larkspine.extract_file(path, ["p::text"]) == [["Пример"]]
    assert larkspine.extract_file(str(path), ["p::text"], encoding="cp1251") == [["Пример"]]


def test_extract_file_reads_every_gzip_member(tmp_path):
    path = tmp_path / "page.html.gz"
    path.write_bytes(gzip.compress(b"<p>one") + gzip.compress(b"</p><p>two</p>"))
    assert larkspine.extract_file(path, ["p::text"]) == [["one", "two"]]
    path.write_bytes(b"<p>not gzip</p>")
    with pytest.raises(gzip.BadGzipFile, match="Not a gzipped file"):
        larkspine.extract_file(path, ["p::text"])


@pytest.mark.parametrize("path", [0, 3, None, b"page.html"])
def test_extract_file_takes_only_paths(path):
    with pytest.raises(TypeError, match="path must be a str or os.PathLike"):
        larkspine.extract_file(path, ["p"])


def test_errors_from_the_core_reach_the_caller_unchanged():
    over_budget = [f"p{i}::text" for i in range(129)]
    with pytest.raises(ValueError) as wrapped:
        larkspine.extract(DOC, over_budget)
    with pytest.raises(ValueError) as native:
        _larkspine.extract(DOC, over_budget)
    assert str(wrapped.value) == str(native.value)


def test_undecodable_bytes_are_values_not_errors():
    assert larkspine.extract(b"<p>\xff\xfe ok</p>", ["p::text"], encoding="utf-8") == [["\ufffd\ufffd ok"]]
    assert larkspine.extract(b"<p>\x81\x20</p>", ["p::text"], encoding="cp932") == [["\ufffd "]]


# --- The distribution presents itself ---------------------------------------------------

HOME = "https://github.com/larkspine/larkspine"
DOCS_SITE = "https://larkspine.readthedocs.io"


def _metadata():
    from importlib import metadata

    try:
        return metadata.distribution("larkspine")
    except metadata.PackageNotFoundError:
        pytest.skip("larkspine is not installed as a distribution")


def test_the_installed_distribution_lists_urls_license_and_classifiers():
    dist = _metadata()
    meta = dist.metadata
    urls = dict(entry.split(", ", 1) for entry in meta.get_all("Project-URL"))
    assert urls == {
        "Homepage": HOME,
        "Documentation": DOCS_SITE,
        "Source": HOME,
        "Issues": f"{HOME}/issues",
        "Changelog": f"{HOME}/blob/main/CHANGELOG.md",
    }
    assert meta["License-Expression"] == "MIT" and meta["Metadata-Version"] >= "2.4"
    classifiers = meta.get_all("Classifier")
    for wanted in ("Typing :: Typed", "Framework :: Scrapy", "Programming Language :: C++",
                   "Programming Language :: Python :: 3 :: Only", "Topic :: Text Processing :: Markup :: HTML"):
        assert wanted in classifiers
    # PEP 639: a license expression replaces the license classifiers.
    assert not [c for c in classifiers if c.startswith("License ::")]
    assert len(classifiers) == len(set(classifiers))
    licenses = [f for f in dist.files if f.name == "LICENSE"]
    assert licenses and "MIT License" in licenses[0].read_text()


def test_readme_links_work_on_a_package_index_page():
    readme = (ROOT / "README.md").read_text()
    links = re.findall(r"\]\(([^)\s]+)\)", readme)
    assert links
    relative = [link for link in links if not link.startswith(("https://", "http://", "#"))]
    assert relative == [], "relative links break on a package index page"
    for link in links:
        if link.startswith(f"{DOCS_SITE}/en/latest/"):
            page = link.removeprefix(f"{DOCS_SITE}/en/latest/").strip("/").split("#")[0]
            assert (ROOT / "docs" / f"{page or 'index'}.md").is_file(), link
    assert f"{DOCS_SITE}/en/latest/reference/" in links


def test_the_sdist_ships_the_license_changelog_and_metadata(tmp_path):
    pytest.importorskip("scikit_build_core.build")
    import tarfile

    code = "import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))"
    result = subprocess.run([sys.executable, "-c", code, str(tmp_path)], capture_output=True, text=True, cwd=ROOT)
    assert result.returncode == 0, result.stderr
    name = result.stdout.strip().splitlines()[-1]
    with tarfile.open(tmp_path / name) as sdist:
        root = name.removesuffix(".tar.gz")
        names = set(sdist.getnames())
        assert {f"{root}/LICENSE", f"{root}/CHANGELOG.md", f"{root}/mkdocs.yml"} <= names
        info = sdist.extractfile(f"{root}/PKG-INFO").read().decode()
    assert "License-Expression: MIT" in info and "License-File: LICENSE" in info
    assert f"Project-URL: Documentation, {DOCS_SITE}" in info
