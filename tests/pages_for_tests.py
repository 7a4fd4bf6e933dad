"""Page classes at module level, so that worker processes can import them by name."""
from larkspine import Page, field, group


class Shop(Page):
    title = field("h1::text", first=True)
    links = field("a::attr(href)")
    offers = group("li.offer", name=field("b::text", first=True), price=field(".price::text", first=True, each=float))


class Sale(Shop):
    # Overrides one field, adds one.
    title = field("//title/text()", first=True)
    banner = field(".banner::text", first=True, default="none")


def extract_in_worker(args):
    cls, body = args
    return cls(body).to_dict()
