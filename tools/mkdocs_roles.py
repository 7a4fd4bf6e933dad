"""MkDocs hook: the Sphinx roles of docstrings, shown on the site as links or code.

The package's docstrings cross-reference with Sphinx roles (``:func:`extract```,
``:class:`~larkspine.Page```), which ``help()`` readers know; mkdocstrings passes them
through, and Markdown renders ``:func:`` as text before the code. After a page is
rendered, each role is dropped: its target becomes a link when the page documents it (an
element whose id is the full name), else code; ``~`` keeps only the last part of the name,
as Sphinx does.
"""

from __future__ import annotations

import html
import re
from typing import Any

_ROLE = re.compile(r":(?:py:)?(?:func|class|meth|mod|attr|data|exc|obj|const):<code>(~?)([\w.]+)(\(\))?</code>")


def on_page_content(content: str, page: Any, **kwargs: Any) -> str:
    ids = set(re.findall(r'\bid="([\w.]+)"', content))

    def shown(match: re.Match[str]) -> str:
        short, name, call = match.group(1), match.group(2), match.group(3) or ""
        text = html.escape(name.rsplit(".", 1)[-1] if short else name) + call
        for target in (name, f"larkspine.{name}"):
            if target in ids:
                return f'<a href="#{target}"><code>{text}</code></a>'
        return f"<code>{text}</code>"

    return _ROLE.sub(shown, content)
