"""The package's modules import one way: no module imports, anywhere in its text, a module
that imports it back, directly or through others.

Every import counts: at module level, inside a function (run later, but a circle all the
same: neither module can be understood, moved or tested without the other) and under
``TYPE_CHECKING`` (no such import of a package module exists, and a type-only circle ties
two modules' designs together as much as a run-time one does). The graph is read from the
sources with ``ast``, so an import behind a condition that the tests never take counts too.
"""
from __future__ import annotations

import ast
import pathlib
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "python" / "larkspine"

# Circles being taken apart elsewhere, each a set of modules. Delete an entry with the
# change that removes its circle; the test fails while an entry names no circle.
KNOWN_CIRCLES: list[frozenset[str]] = []


def module_name(path: pathlib.Path, root: pathlib.Path) -> str:
    parts = list(path.relative_to(root.parent).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def imported_modules(path: pathlib.Path, root: pathlib.Path, modules: set[str]) -> set[str]:
    """The package modules that ``path`` imports anywhere in its text.

    ``from .x import y`` imports ``x`` (and, when ``x.y`` is a module, that too);
    ``from . import y`` imports the package itself, or the module ``y`` if it is one;
    ``import pkg.x.y`` imports the deepest of its prefixes that is a module. Importing a
    submodule also runs its package's ``__init__``; that edge is left out, since every
    module has it and ``__init__`` is the top of the graph by construction.
    """
    name = module_name(path, root)
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found: set[str] = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"), str(path))):
        if isinstance(node, ast.Import):
            for alias in node.names:
                parts = alias.name.split(".")
                for k in range(len(parts), 0, -1):
                    if ".".join(parts[:k]) in modules:
                        found.add(".".join(parts[:k]))
                        break
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package.split(".")
                if node.level > 1:
                    base = base[: len(base) - (node.level - 1)]
                target = ".".join(base + ([node.module] if node.module else []))
            else:
                target = node.module or ""
            if target not in modules:
                continue
            subs = [f"{target}.{a.name}" for a in node.names if f"{target}.{a.name}" in modules]
            found.update(subs)
            if len(subs) < len(node.names):  # some names are attributes of the target itself
                found.add(target)
    found.discard(name)
    return found


def import_graph(root: pathlib.Path) -> dict[str, set[str]]:
    paths = sorted(root.rglob("*.py"))
    modules = {module_name(p, root) for p in paths}
    return {module_name(p, root): imported_modules(p, root, modules) for p in paths}


def circles(graph: dict[str, set[str]]) -> list[frozenset[str]]:
    """The strongly connected components of more than one module (Tarjan's algorithm,
    iterative, so that no depth of the graph can exhaust the stack)."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    found: list[frozenset[str]] = []
    for start in sorted(graph):
        if start in index:
            continue
        work = [(start, iter(sorted(graph[start])))]
        index[start] = low[start] = len(index)
        stack.append(start)
        on_stack.add(start)
        while work:
            node, edges = work[-1]
            for nxt in edges:
                if nxt not in graph:
                    continue
                if nxt not in index:
                    index[nxt] = low[nxt] = len(index)
                    stack.append(nxt)
                    on_stack.add(nxt)
                    work.append((nxt, iter(sorted(graph[nxt]))))
                    break
                if nxt in on_stack:
                    low[node] = min(low[node], index[nxt])
            else:
                work.pop()
                if work:
                    low[work[-1][0]] = min(low[work[-1][0]], low[node])
                if low[node] == index[node]:
                    component = set()
                    while True:
                        member = stack.pop()
                        on_stack.discard(member)
                        component.add(member)
                        if member == node:
                            break
                    if len(component) > 1:
                        found.append(frozenset(component))
    return found


# Small packages written for the test: (files, the circles they hold). The finder must see
# each kind of import, and must not see a circle in a chain or a diamond.
PACKAGES = [
    pytest.param({"a.py": "from .b import x", "b.py": "from .a import y"}, [{"a", "b"}], id="from-module"),
    pytest.param({"a.py": "from . import b", "b.py": "def f():\n    from . import a"}, [{"a", "b"}],
                 id="in-a-function"),
    pytest.param(
        {"a.py": "import typing\nif typing.TYPE_CHECKING:\n    from .b import B", "b.py": "import pkg.a"},
        [{"a", "b"}], id="type-checking-and-absolute",
    ),
    pytest.param({"a.py": "from .b import x", "b.py": "from .c import x", "c.py": "from .a import x"},
                 [{"a", "b", "c"}], id="three"),
    pytest.param({"a.py": "from .b import x\nfrom .c import x", "b.py": "from .d import x",
                  "c.py": "from .d import x", "d.py": "import os"}, [], id="diamond"),
    pytest.param({"a.py": "from .b import x", "b.py": "import pkga\nfrom . import c",
                  "c.py": "from pkg import sub", "sub/__init__.py": "from ..a import x"},
                 [{"a", "b", "c", "sub"}], id="subpackage-and-lookalike"),
    pytest.param({"__init__.py": "from .b import y\nx = 1", "a.py": "from . import x", "b.py": "from . import a"},
                 [{"", "a", "b"}], id="package-attribute"),
    pytest.param({"a.py": "from .b import x", "b.py": "x = 'from .a import y'"}, [], id="text-not-import"),
]


@pytest.mark.parametrize("files, expected", PACKAGES)
def test_the_finder_sees_each_kind_of_import(tmp_path, files, expected):
    root = tmp_path / "pkg"
    files = {"__init__.py": "", **files}
    for rel, text in files.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_text(textwrap.dedent(text))

    def named(m: str) -> str:
        return "pkg" if m == "" else f"pkg.{m}"

    assert sorted(map(sorted, circles(import_graph(root)))) == sorted(
        sorted(named(m) for m in c) for c in expected
    )


def test_the_package_has_no_import_circles():
    if not PACKAGE.is_dir():
        pytest.skip("the package's sources are not beside the tests")
    graph = import_graph(PACKAGE)
    assert "larkspine._schema" in graph["larkspine"]  # the graph is the package's
    found = circles(graph)
    assert [sorted(c) for c in found if c not in KNOWN_CIRCLES] == []
    stale = [sorted(c) for c in KNOWN_CIRCLES if c not in found]
    assert stale == [], "a known circle is gone: delete its entry in KNOWN_CIRCLES"
