"""The documentation builds without warnings, its examples print what it says they print,
and every public callable says what it returns."""

import contextlib
import importlib.util
import inspect
import io
import subprocess
import sys

import pytest

import _kivet
import kivet
from examples import DOCS, all_examples, child_env

EXAMPLES = all_examples()


@pytest.mark.slow
def test_sphinx_builds_without_warnings(tmp_path):
    pytest.importorskip("sphinx")
    done = subprocess.run(
        [sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b", "html",
         "-d", str(tmp_path / "doctrees"), str(DOCS), str(tmp_path / "html")],
        capture_output=True, text=True, cwd=tmp_path, env=child_env(),
    )
    assert done.returncode == 0, done.stdout + done.stderr
    api = (tmp_path / "html" / "api.html").read_text(encoding="utf-8")
    for name in ["coverage", "cells_from_lonlat", "Tree.leaves_array", "Index.query",
                 "_cell_boundaries"]:
        assert f'id="kivet.{name}"' in api or f'id="_kivet.{name}"' in api, name
    levels = (tmp_path / "html" / "resolutions.html").read_text(encoding="utf-8")
    assert "1,235,346,792,567,894" in levels  # level 15, from kivet.resolutions()
    # Every page is built and listed; Markdown ones where MyST is installed (the test extra).
    pages = list(DOCS.glob("*.rst"))
    if importlib.util.find_spec("myst_parser"):
        pages += DOCS.glob("*.md")
    index = (tmp_path / "html" / "index.html").read_text(encoding="utf-8")
    for page in pages:
        assert (tmp_path / "html" / f"{page.stem}.html").is_file(), page.name
        assert page.stem == "index" or f'href="{page.stem}.html"' in index, page.name


def test_examples_are_found():
    where = {e.where.split()[0] for e in EXAMPLES}
    assert {"README.md", "docs/quickstart.rst", "docs/concepts.rst"} <= where
    assert sum(e.output is not None for e in EXAMPLES) >= 8


@pytest.mark.parametrize("example", EXAMPLES, ids=[e.where for e in EXAMPLES])
def test_example_prints_what_the_text_shows(example):
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(example.code, example.where, "exec"), {"__name__": "__example__"})
    if example.output is not None:
        assert printed.getvalue() == example.output


def _public_callables():
    for name in kivet.__all__:
        obj = getattr(kivet, name)
        if inspect.isclass(obj):
            yield f"kivet.{name}", obj
            for attr, member in vars(obj).items():
                if not attr.startswith("_"):
                    yield f"kivet.{name}.{attr}", getattr(obj, attr)
        elif callable(obj):
            yield f"kivet.{name}", obj
    for name in dir(_kivet):
        obj = getattr(_kivet, name)
        if callable(obj) and not inspect.isclass(obj) and name not in kivet.__all__:
            yield f"_kivet.{name}", obj


def test_every_public_callable_has_a_docstring():
    missing = [name for name, obj in _public_callables()
               if not (inspect.getdoc(obj) or "").strip()
               or inspect.getdoc(obj) == inspect.getdoc(type(obj))]
    assert missing == []


def test_cell_boundaries_doc_names_only_public_functions():
    doc = _kivet._cell_boundaries.__doc__
    assert "`cells_geojson`" in doc and "cell_polygon" not in doc
