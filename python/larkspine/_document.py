"""What the engine reads: ``bytes`` or ``str``, from any bytes-like object a caller holds."""

from __future__ import annotations

import os
from typing import TypeAlias, Union

from typing_extensions import Buffer

from ._gzip import gunzip_file

__all__ = ["Html", "as_document", "read_file"]

#: What every extraction entry point accepts as a document: ``bytes`` (preferred; a
#: ``bytes`` subclass such as web-poet's ``HttpResponseBody`` is read without a copy), an
#: already-decoded ``str``, or any object with the buffer protocol holding contiguous bytes
#: (``bytearray``, ``memoryview``, ``mmap``, ``array('B')``), which is copied once.
Html: TypeAlias = Union[str, Buffer]

_BYTE_FORMATS = frozenset({"B", "b", "c"})


def as_document(html: object) -> bytes | str:
    """``html`` as ``bytes`` or ``str``, or ``TypeError`` naming what is accepted."""
    if isinstance(html, str) and _names_a_file(html):
        raise TypeError(_PATH_GIVEN)
    if isinstance(html, (bytes, str)):
        return html
    if isinstance(html, os.PathLike):
        raise TypeError(_PATH_GIVEN)
    try:
        view = memoryview(html)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            "larkspine: html must be bytes, str or a bytes-like object (bytearray, memoryview, "
            f"any buffer of bytes), got {type(html).__name__}"
        ) from None
    with view:
        if view.format not in _BYTE_FORMATS or view.itemsize != 1:
            raise TypeError(
                "larkspine: html must hold bytes, got a buffer of format "
                f"{view.format!r} (item size {view.itemsize}); pass .tobytes() or a byte view "
                "(memoryview(...).cast('B'))"
            )
        if not view.c_contiguous:
            raise TypeError(
                "larkspine: html is a non-contiguous buffer; pass a contiguous copy (.tobytes())"
            )
        return view.tobytes()


_PATH_GIVEN = "larkspine: html is a path, not a document: read it with larkspine.extract_file(path, ...)"


def _names_a_file(text: str) -> bool:
    """A str that holds no markup and names an existing file: a path passed for a page.

    Only a short str without ``<`` is looked up, so a page (which has markup) costs one scan
    that stops at its first ``<``, and no system call."""
    return len(text) < 4096 and "<" not in text and "\n" not in text and os.path.isfile(text)


def read_file(path: str | os.PathLike[str]) -> bytes:
    """The bytes of a saved page; a name ending in ``.gz`` is gunzipped."""
    if not isinstance(path, (str, os.PathLike)):
        # open() would take an int as a file descriptor.
        raise TypeError(f"larkspine: path must be a str or os.PathLike, got {type(path).__name__}")
    with open(path, "rb") as f:
        data = f.read()
    if os.fspath(path).endswith(".gz"):
        return gunzip_file(data)
    return data
