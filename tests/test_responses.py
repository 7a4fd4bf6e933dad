"""Scrapy responses over the encodings corpus: larkspine.extract(r.body, q, encoding=r.encoding)
gives what r.css(q) / r.xpath(q) gives, wherever both sides can decode the page."""
import pytest

import larkspine

http = pytest.importorskip("scrapy.http")
parsel = pytest.importorskip("parsel")

QUERIES = ["title::text", "a::attr(href)", "p ::text", "td::text", "//h1//text()", "//meta/@content", "li ::text"]
# Encodings whose Python and WHATWG tables map a few code points differently (for instance
# Big5 0xA1E3: U+223C in Python's big5hkscs, U+FF5E in the WHATWG index).
TABLES_DIFFER = {"Big5", "Shift_JIS", "EUC-JP", "EUC-KR", "GBK", "gb18030", "ISO-2022-JP"}
# Python codecs without a WHATWG decoder that w3lib reports for some corpus documents.
NOT_WHATWG = {"utf-32", "utf-32-be", "utf-32-le", "cp855", "cp1125", "cp775", "iso2022_kr", "johab"}


def test_scrapy_responses_agree_over_the_encodings_corpus(shared_dir, testing):
    root = shared_dir / "corpus" / "encodings"
    direct, via_tables, skipped, codecs_seen = 0, [], [], set()
    for path in sorted(root.glob("*/*")):
        response = http.HtmlResponse(f"http://example.com/{path.parent.name}/{path.name}", body=path.read_bytes())
        try:
            encoding = larkspine.resolve_encoding(response.encoding)
        except ValueError:
            skipped.append(response.encoding)
            continue
        codecs_seen.add(response.encoding)
        ours = larkspine.detect_encoding(response.body, response.encoding)
        decoded = testing.decode(ours, response.body).lstrip("\ufeff")
        if decoded == response.text:
            reference, direct = response, direct + 1
        else:
            # Both sides chose the same encoding, whose tables differ on some code points:
            # compare with parsel over the text the WHATWG tables give.
            # Python's "ascii" replaces every byte over 0x7F; its WHATWG reading is windows-1252.
            assert encoding in TABLES_DIFFER or response.encoding == "ascii", (path, response.encoding)
            reference = parsel.Selector(text=decoded, type="html")
            via_tables.append(path.name)
        for query in QUERIES:
            selected = reference.xpath(query) if query.startswith("/") else reference.css(query)
            got = larkspine.extract(response.body, [query], encoding=response.encoding)[0]
            assert got == selected.getall(), (path, response.encoding, query)
    assert direct >= 200, (direct, len(via_tables))
    # The Python codec names Scrapy reports for Asian pages took part.
    assert {"cp932", "euc_jp", "big5hkscs", "cp949", "gb18030"} <= codecs_seen, codecs_seen
    assert set(skipped) <= NOT_WHATWG, skipped
    assert len(skipped) < 30
