"""Gzip streams of many members, decompressed in time linear in their size."""

from __future__ import annotations

import gzip
import zlib

__all__ = ["gunzip", "gunzip_file", "padding_after_member"]

_CHUNK = 1 << 16
_FIRST_CHUNK = 1 << 8


def gunzip(data: bytes) -> bytes:
    """Every member of a gzip stream, decompressed; ``EOFError`` if the last one is cut off.

    Zero bytes between and after members (padding some writers add) are skipped, as the
    ``gzip`` module skips them.
    """
    # The input goes to zlib a bounded chunk at a time, so what zlib copies after a member's
    # end (``unused_data``) is bounded too and many small members cost linear time (see
    # _member). ``gzip.decompress`` hands zlib the whole rest of the input at each member:
    # quadratic, minutes for a few megabytes of empty members.
    view = memoryview(data).cast("B")
    out: list[bytes] = []
    pos = 0
    while pos < len(view):
        pos = _skip_zeros(view, _member(view, pos, out))
    return b"".join(out)


def padding_after_member(data: bytes) -> bool:
    """Whether ``data`` is one whole gzip member followed by at least one zero byte and
    nothing else."""
    view = memoryview(data).cast("B")
    try:
        end = _member(view, 0, [])
    except (EOFError, zlib.error):
        return False
    return end < len(view) and _skip_zeros(view, end) == len(view)


def _member(view: memoryview, pos: int, out: list[bytes]) -> int:
    """Decompresses the member at ``pos`` into ``out``; returns where it ends."""
    inflate = zlib.decompressobj(wbits=31)
    # Chunks grow from small: the copy zlib makes of what follows the member's end is then
    # at most about the member's own size, however small the members are.
    size = _FIRST_CHUNK
    while not inflate.eof:
        chunk = view[pos : pos + size]
        if not chunk:
            raise EOFError("truncated gzip data: the file ends inside a compressed member")
        out.append(inflate.decompress(chunk))
        pos += len(chunk) - len(inflate.unused_data)
        size = min(2 * size, _CHUNK)
    return pos


def _skip_zeros(view: memoryview, pos: int) -> int:
    """The first position at or after ``pos`` whose byte is not zero, or the end."""
    if pos < len(view) and view[pos]:
        return pos
    while pos < len(view):
        chunk = bytes(view[pos : pos + _CHUNK])
        rest = chunk.lstrip(b"\x00")
        pos += len(chunk) - len(rest)
        if rest:
            break
    return pos


def gunzip_file(data: bytes) -> bytes:
    """:func:`gunzip` for the content of a ``.gz`` file: ``gzip.BadGzipFile`` when it is
    not gzip data at all, as :func:`gzip.decompress` has it."""
    if not data.startswith(b"\x1f\x8b"):
        raise gzip.BadGzipFile(f"Not a gzipped file ({data[:2]!r})")
    return gunzip(data)
