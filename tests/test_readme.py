"""The README's quickstart runs as shown."""
import pathlib
import re

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_quickstart_block():
    block = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)[0]
    scope = {}
    exec(compile(block, "README.md", "exec"), scope)  # noqa: S102 - our own README
    assert scope["columns"] == [["Offers"], ["/tea"], ["Shop"]]
    assert scope["groups"] == [[[["Tea"], ["/tea"]], [["Jam"], []]]]
    assert scope["plan"].extract(scope["html"]) == [["Offers"]]
