"""Small WARC archives for the tests and benchmarks, written with FastWARC.

Each record is its own gzip member when ``compress`` is set, as crawlers write them, so a
record's offset in the file is the offset of its member.
"""

from __future__ import annotations

import gzip
import io
import pathlib
from collections.abc import Iterable
from dataclasses import dataclass

CORPUS = pathlib.Path(__file__).resolve().parent.parent.parent / "shared" / "corpus"


@dataclass(frozen=True)
class Response:
    url: str
    body: bytes
    content_type: str = "text/html; charset=utf-8"
    status: str = "200 OK"
    #: Extra HTTP header lines (without CRLF).
    headers: tuple[str, ...] = ()
    #: The WARC record type: "response", "request", "metadata", ...
    warc_type: str = "response"
    #: The WARC-Date header as written (default: FastWARC's, the time of writing).
    date: str | None = None
    #: The WARC-Record-ID's URN without "<urn:" and ">" (default: FastWARC's, a fresh UUID).
    record_urn: str | None = None

    def http(self) -> bytes:
        lines = [f"HTTP/1.1 {self.status}"]
        if self.content_type:
            lines.append(f"Content-Type: {self.content_type}")
        lines += list(self.headers)
        if not any(h.lower().startswith(("content-length:", "transfer-encoding:")) for h in self.headers):
            lines.append(f"Content-Length: {len(self.body)}")
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + self.body


def record_bytes(resp: Response) -> bytes:
    """One uncompressed WARC record."""
    from fastwarc.warc import WarcRecord, WarcRecordType

    rec = WarcRecord()
    rec.init_headers(getattr(WarcRecordType, resp.warc_type), None if resp.record_urn is None else resp.record_urn.encode())
    if resp.date is not None:
        rec.headers["WARC-Date"] = resp.date
    rec.headers.append("WARC-Target-URI", resp.url)
    if resp.warc_type in ("response", "request"):
        rec.set_bytes_content(resp.http() if resp.warc_type == "response" else b"GET / HTTP/1.1\r\n\r\n")
        rec.is_http = True
    else:
        rec.set_bytes_content(resp.body)
    out = io.BytesIO()
    rec.write(out)
    return out.getvalue()


def warc_bytes(responses: Iterable[Response], compress: bool = True) -> tuple[bytes, list[int]]:
    """The archive and the offset of each record in it."""
    out = io.BytesIO()
    offsets = []
    for resp in responses:
        offsets.append(out.tell())
        raw = record_bytes(resp)
        out.write(gzip.compress(raw, compresslevel=6, mtime=0) if compress else raw)
    return out.getvalue(), offsets


def corpus_pages(limit: int | None = None) -> list[tuple[str, bytes]]:
    """(name, HTML bytes) of the article corpus pages, sorted by name; empty when absent."""
    folder = CORPUS / "articles"
    if not folder.is_dir():
        return []
    paths = sorted(folder.glob("*.html.gz"))[:limit]
    return [(p.name[: -len(".html.gz")], gzip.decompress(p.read_bytes())) for p in paths]


def corpus_responses(limit: int | None = None) -> list[Response]:
    return [Response(f"https://corpus.example/{name}", body) for name, body in corpus_pages(limit)]
