"""Every code block of the README and the docs runs as a reader would run it, as shown.

Each file's Python blocks run in order, in one fresh namespace holding nothing the file does
not import, from the checkout's root. A top-level expression followed by comment lines
holding a Python literal (``page.title`` then ``# 'Offers'``), or ending in such a comment,
must equal that literal; a block followed directly by a ``text`` block must print exactly
that text. Shell blocks run through bash, each command in turn, and together print their
``text`` block, except what sets up or runs this very session: making and entering the
virtual environment, installing (``pip install ... && cmd`` runs ``cmd``), the test runner
and the sanitizer build.
"""
import ast
import contextlib
import io
import os
import pathlib
import re
import subprocess
import sys
import tokenize

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = ["README.md", "docs/index.md", "docs/pages.md", "docs/queries.md", "docs/encodings.md", "docs/differences-from-parsel.md"]
BLOCK = re.compile(r"^( *)```(\w*)[^\n]*\n(.*?)^\1```\n(?:\s*^\1```text\n(.*?)^\1```\n)?", re.S | re.M)
#: Commands that set up or run this very session: not run again here.
SESSION = ("python3 -m venv", ". .venv/bin/activate", "bash tools/run-tests.sh", "cmake -S . -B build/asan")
#: The widest line of a code block that the site shows whole (Material, at 1280 and 1920 px
#: wide; a wider line scrolls and hides what it ends with).
WIDTH = 80


def blocks(name):
    text = (ROOT / name).read_text()
    for m in BLOCK.finditer(text):
        indent, lang, code, output = m.groups()
        code = "\n".join(line[len(indent):] for line in code.splitlines()) + "\n"
        yield lang, code, output, text[: m.start()].count("\n") + 1


def _expectations(code):
    """The last line of an expression -> the literal shown for it: in a comment ending that
    line, or in the comment lines right below it (a long literal wraps over several)."""
    lines = code.splitlines()
    comments = {}
    for tok in tokenize.generate_tokens(io.StringIO(code).readline):
        if tok.type == tokenize.COMMENT:
            comments[tok.start[0]] = tok.string[1:].removeprefix(" ")
    found = {}
    for number, text in comments.items():
        own_line = lines[number - 1].lstrip().startswith("#")
        if not own_line:
            found[number] = text
        elif number - 1 not in comments or not lines[number - 2].lstrip().startswith("#"):
            # The first of a run of comment lines: the run is one literal, for the line above.
            run = [text]
            while number + len(run) in comments and lines[number + len(run) - 1].lstrip().startswith("#"):
                run.append(comments[number + len(run)])
            found[number - 1] = "\n".join(run)
    values = {}
    for number, text in found.items():
        try:
            values[number] = ast.literal_eval(text.strip())
        except (ValueError, SyntaxError, MemoryError, RecursionError):
            pass
    return values


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


def _commands(code):
    """The block's commands as this session runs them (see the module notes)."""
    for line in code.replace("\\\n", " ").splitlines():
        command = line.strip()
        if not command or command.startswith("#") or command.startswith(SESSION):
            continue
        if command.startswith("pip install"):
            command = command.partition("&&")[2].strip()
        if command:
            yield command


def _needs(name):
    """Skip a page whose examples import what is not installed (parsel, pyarrow, ...)."""
    text = "".join(code for lang, code, _, _ in blocks(name) if lang == "python")
    for module in sorted(set(re.findall(r"^\s*(?:from|import) (\w+)", text, re.M))):
        if module not in ("larkspine", "concurrent", "json", "os", "pathlib", "re", "sys"):
            pytest.importorskip(module)


@pytest.mark.parametrize("name", DOCS)
def test_every_block_runs_as_shown(name, monkeypatch):
    _needs(name)
    monkeypatch.chdir(ROOT)
    namespace = {"__name__": "__docs__"}
    ran = checked = 0
    for lang, code, output, line in blocks(name):
        where = f"{name}:{line}"
        if lang == "python":
            printed, n = run_python(code, namespace, where)
            checked += n + (output is not None)
            if output is not None:
                assert printed == output, where
        elif lang in ("sh", "bash"):
            printed = ""
            for command in _commands(code):
                result = subprocess.run(["bash", "-c", command], capture_output=True, text=True, cwd=ROOT)
                assert result.returncode == 0, (where, command, result.stderr)
                printed += result.stdout
            if output is not None:
                assert printed == output, where
                checked += 1
        else:
            assert lang in ("text", "", "toml", "yaml", "json"), (where, lang)
            continue
        ran += 1
    assert ran > 0
    assert checked > 0 or "```python" not in (ROOT / name).read_text(), "no value of the examples is checked"


@pytest.mark.parametrize("name", DOCS + ["docs/batch-extraction.md"])
def test_no_line_of_a_code_block_is_cut_off_on_the_site(name):
    wide = [
        f"{name}:{line + i + 1}: {len(text)} characters"
        for lang, code, _, line in blocks(name) if lang != "text"
        for i, text in enumerate(code.splitlines()) if len(text) > WIDTH
    ]
    assert not wide, "\n".join(wide)


def test_the_expectation_checker_catches_a_wrong_value():
    with pytest.raises(AssertionError, match="the docs say 3"):
        run_python("1 + 1   # 3\n", {}, "sample")
    with pytest.raises(AssertionError, match="the docs say 3"):
        run_python("1 + 1\n# 3\n", {}, "sample")
    printed, checked = run_python("x = 2\nx   # 2\nprint('a')  # not a literal\n", {}, "sample")
    assert (printed, checked) == ("a\n", 1)
    # A literal wrapped over several comment lines; a comment above an expression is no result.
    printed, checked = run_python("x = [1, 2]\n# [1,\n#  2]\nx\n# [1,\n#  2]\n", {}, "sample")
    assert checked == 1


@pytest.mark.parametrize("code, commands", [
    ("python3 -m venv .venv && . .venv/bin/activate\npip install x\npip install . && echo hi\n", ["echo hi"]),
    ("larkspine check a.toml \\\n  -q x\n# a comment\nbash tools/run-tests.sh\n", ["larkspine check a.toml    -q x"]),
])
def test_the_session_runs_what_a_reader_runs_after_setting_up(code, commands):
    assert list(_commands(code)) == commands


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


def test_the_schema_file_of_the_batch_page_is_the_example_in_the_checkout():
    text = (ROOT / "docs" / "batch-extraction.md").read_text()
    shown = re.search(r'^```toml title="article.toml"\n(.*?)^```', text, re.S | re.M)
    assert shown is not None
    assert shown.group(1) == (ROOT / "examples" / "article.toml").read_text()


@pytest.mark.parametrize("name", DOCS + ["docs/batch-extraction.md", "examples/tea_shop_spider.py"])
def test_install_commands_name_the_checkout_and_quote_extras(name):
    # The package is not published: an install names the checkout (`.`) or a built wheel,
    # and extras are quoted, since zsh reads unquoted brackets as a pattern.
    text = (ROOT / name).read_text()
    for command in re.findall(r"pip install[^`\n]*(?:\n[^`\n]*)?", text):
        assert not re.search(r"(?<!['\w])(?:larkspine|\.)\[", command), (name, command)
        assert not re.search(r"pip install\s+(?:-\S+\s+)*'?larkspine\b", command), (name, command)
