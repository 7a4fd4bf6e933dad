"""The API reference as the site shows it: every public name documented, no Sphinx role left
as text, and the docstrings' examples shown as code, and right."""

from __future__ import annotations

import doctest
import os
import pathlib
import re
import subprocess
import sys

import pytest

import larkspine

ROOT = pathlib.Path(__file__).resolve().parent.parent

#: Names outside ``larkspine.__all__`` that the reference documents, by the id of their entry.
MORE = [
    "larkspine.extract_table", "larkspine.schemafile.load_schema", "_larkspine.Plan",
    "_larkspine.Plan.extract_arrow", "_larkspine.ArrowBatch", "larkspine.dask",
    "larkspine.dask.extract_bag", "larkspine.webpoet.LarkPage",
]
#: Public names documented in a guide instead (type aliases the signatures show).
ELSEWHERE = {"Columns", "GroupSpec", "GroupedRows", "Html", "MISSING", "Record", "Plan"}


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    pytest.importorskip("mkdocs")
    pytest.importorskip("material")
    pytest.importorskip("mkdocstrings_handlers.python")
    site = tmp_path_factory.mktemp("site")
    env = dict(os.environ, NO_MKDOCS_2_WARNING="1")
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(ROOT / "python"), env.get("PYTHONPATH")) if p)
    result = subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "--site-dir", str(site)],
                            capture_output=True, text=True, cwd=ROOT, env=env)
    assert result.returncode == 0, result.stderr
    return (site / "reference" / "index.html").read_text()


@pytest.mark.parametrize("name", sorted(set(larkspine.__all__) - ELSEWHERE) + MORE)
def test_every_public_name_has_an_entry(reference, name):
    full = name if "." in name else f"larkspine.{name}"
    assert f'id="{full}"' in reference, f"{full} is missing from docs/reference.md"


def test_no_sphinx_role_is_shown_as_text(reference):
    text = re.sub(r"<[^>]+>", "", reference)
    roles = re.findall(r":(?:py:)?(?:func|class|meth|mod|attr|data|exc|obj|const):\S*", text)
    assert not roles, roles[:10]
    # The roles became links to the entries they name.
    assert '<a href="#larkspine.check"><code>' in reference


def test_examples_are_code_not_quotes_and_headings(reference):
    assert "<blockquote" not in reference
    # An example's markup is code, never a heading of the page.
    assert not re.search(r"<h1[^>]*>\s*(Hi|A)\s*</h1>", reference)
    assert reference.count("&gt;&gt;&gt;") >= 3


def _examples():
    objects = [larkspine.extract, larkspine.Schema, larkspine.extract_table]
    for obj in objects:
        # The fences that make an example a code block on the site are no part of it.
        text = "\n".join(line for line in (obj.__doc__ or "").splitlines() if line.strip() != "```pycon"
                         and line.strip() != "```")
        yield pytest.param(obj, text, id=obj.__name__)


@pytest.mark.parametrize("obj, text", list(_examples()))
def test_the_docstring_examples_give_what_they_show(obj, text):
    if "extract_table" in text:
        pytest.importorskip("pyarrow")
    test = doctest.DocTestParser().get_doctest(text, dict(vars(larkspine)), obj.__name__, None, 0)
    assert test.examples, f"{obj.__name__} shows no example"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0
