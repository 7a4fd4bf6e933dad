"""Every code block of the README and the docs runs as shown.

Python blocks of one file run in order in one namespace. A top-level expression whose line
ends in a comment holding a Python literal (``page.title   # 'Offers'``) must equal that
literal; a Python block followed directly by a ``text`` block must print exactly that text.
Shell blocks run through bash, except the commands that set up or run this very session
(``pip install . && ...`` runs only what follows the install; the test runner and the
sanitizer build are what runs these tests).
"""
import ast
import contextlib
import io
import io as _io
import os
import pathlib
import re
import subprocess
import sys
import tokenize

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = ["README.md", "docs/index.md", "docs/pages.md", "docs/queries.md", "docs/encodings.md", "docs/differences-from-parsel.md"]
BLOCK = re.compile(r"^( *)```(\w*)\n(.*?)^\1```\n(?:\s*^\1```text\n(.*?)^\1```\n)?", re.S | re.M)
NOT_RUN_HERE = ("bash tools/run-tests.sh", "cmake -S . -B build/asan")


def blocks(name):
    text = (ROOT / name).read_text()
    for m in BLOCK.finditer(text):
        indent, lang, code, output = m.groups()
        code = "\n".join(line[len(indent):] for line in code.splitlines()) + "\n"
        yield lang, code, output, text[: m.start()].count("\n") + 1


def _expectations(code):
    """Line number -> expected value, for expression lines ending in a literal comment."""
    found = {}
    for tok in tokenize.generate_tokens(_io.StringIO(code).readline):
        if tok.type == tokenize.COMMENT:
            try:
                found[tok.start[0]] = ast.literal_eval(tok.string[1:].strip())
            except (ValueError, SyntaxError):
                pass
    return found


def _expect(got, expected, where):
    assert got == expected, f"{where}: got {got!r}, the docs say {expected!r}"


def run_python(code, namespace, where):
    tree = ast.parse(code)
    expected = _expectations(code)
    values = []
    for i, node in enumerate(tree.body):
        if isinstance(node, ast.Expr) and node.end_lineno in expected:
            wanted = ast.Subscript(ast.Name("__expected", ast.Load()), ast.Constant(len(values)), ast.Load())
            call = ast.Call(ast.Name("__expect", ast.Load()),
                            [node.value, wanted, ast.Constant(f"{where}+{node.lineno - 1}")], [])
            tree.body[i] = ast.Expr(call)
            values.append(expected[node.end_lineno])
    ast.fix_missing_locations(tree)
    namespace["__expect"] = _expect
    namespace["__expected"] = values
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(tree, where, "exec"), namespace)  # noqa: S102 - our own docs
    return out.getvalue(), len(values)


def _namespace():
    import _larkspine

    namespace = {"__name__": "__docs__", "_larkspine": _larkspine}
    parsel = pytest.importorskip("parsel")
    namespace["Selector"] = parsel.Selector
    return namespace


@pytest.mark.parametrize("name", DOCS)
def test_every_block_runs_as_shown(name):
    if not (ROOT / name).exists():
        pytest.skip(f"{name} is not written")
    namespace = _namespace()
    ran = checked = 0
    for lang, code, output, line in blocks(name):
        where = f"{name}:{line}"
        if lang == "python":
            printed, n = run_python(code, namespace, where)
            checked += n + (output is not None)
            if output is not None:
                assert printed == output, where
        elif lang in ("sh", "bash"):
            commands = [c.strip() for c in code.replace("\\\n", " ").splitlines() if c.strip()]
            if commands[0].startswith(NOT_RUN_HERE):
                continue  # a block that sets up or runs this very test session
            for command in commands:
                if command.startswith("pip install"):
                    command = command.partition("&&")[2].strip()
                    if not command:
                        continue
                result = subprocess.run(["bash", "-c", command], capture_output=True, text=True, cwd=ROOT)
                assert result.returncode == 0, (where, command, result.stderr)
                if output is not None:
                    assert result.stdout == output, where
        else:
            assert lang == "text" or lang == "", (where, lang)
            continue
        ran += 1
    assert ran > 0
    assert checked > 0 or "```python" not in (ROOT / name).read_text(), "no value of the examples is checked"


def test_the_expectation_checker_catches_a_wrong_value():
    with pytest.raises(AssertionError, match="the docs say 3"):
        run_python("1 + 1   # 3\n", {}, "sample")
    printed, checked = run_python("x = 2\nx   # 2\nprint('a')  # not a literal\n", {}, "sample")
    assert (printed, checked) == ("a\n", 1)


def test_every_docs_page_is_tested_and_in_the_site():
    pages = {p.relative_to(ROOT).as_posix() for p in (ROOT / "docs").glob("*.md")}
    site = (ROOT / "mkdocs.yml").read_text()
    for page in pages:
        assert page.removeprefix("docs/") in site, f"{page} is not in the site's nav"
    # Pages with code blocks run above (the batch page in test_batch_docs.py); the API
    # reference holds none.
    assert pages - set(DOCS) <= {"docs/reference.md", "docs/batch-extraction.md"}


def test_the_documentation_site_builds_strictly(tmp_path):
    pytest.importorskip("mkdocs")
    pytest.importorskip("material")
    pytest.importorskip("mkdocstrings_handlers.python")
    env = dict(os.environ, NO_MKDOCS_2_WARNING="1")
    # The API reference reads the package's source, beside the docs.
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(ROOT / "python"), env.get("PYTHONPATH")) if p)
    result = subprocess.run(
        [sys.executable, "-m", "mkdocs", "build", "--strict", "--site-dir", str(tmp_path / "site")],
        capture_output=True, text=True, cwd=ROOT, env=env,
    )
    assert result.returncode == 0, result.stderr
    assert "WARNING" not in result.stderr, result.stderr
    reference = (tmp_path / "site" / "reference" / "index.html").read_text()
    # Generated from the docstrings: the signature and words of field(), Page and LarkPage.
    for text in ("absolute", "Base class of declarative page schemas", "LarkPage", "from_response"):
        assert text in reference, text
