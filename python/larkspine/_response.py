"""Reading Scrapy and web-poet responses."""

from __future__ import annotations

from typing import Any

__all__ = ["response_input"]


def response_input(response: Any) -> tuple[bytes, str | None, str | None]:
    """``(body, charset label, url)`` of a Scrapy ``Response`` or web-poet ``HttpResponse``.

    The label is the response's own ``encoding`` (a Python codec name: what its ``.text``,
    ``.css()`` and ``.xpath()`` decode with: an explicit encoding, the byte-order mark, the
    ``Content-Type`` charset, the ``<meta>`` charset, else the framework's guess), so a page
    read through larkspine and through the response's selectors sees the same text.
    """
    try:
        body = response.body
    except AttributeError:
        raise TypeError(
            f"larkspine: expected a response with a .body (Scrapy Response, web-poet HttpResponse), "
            f"got {type(response).__name__}"
        ) from None
    encoding = getattr(response, "encoding", None)
    url = getattr(response, "url", None)
    return body, None if encoding is None else str(encoding), None if url is None else str(url)
