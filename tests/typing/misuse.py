"""Four type errors mypy --strict must report (see test_typing)."""
import larkspine
from larkspine import Page, field


class Article(Page):
    title = field("h1::text", first=True)


page = Article(b"")
length: int = page.title  # str | None is not int
larkspine.extract(b"", [1])  # a query is a str
larkspine.resolve_encoding(None)  # a label is a str
larkspine.extract(42, ["p"])  # an int is no document
