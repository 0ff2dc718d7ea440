"""Sphinx configuration for the kivet documentation.

Two pieces of text are made at build time: the table of contents (so pages
added beside these are listed without editing this file) and the table of
levels, read from kivet.resolutions() so it cannot drift from the code.
"""

from __future__ import annotations

from pathlib import Path

import kivet

HERE = Path(__file__).resolve().parent

project = "kivet"
author = "kivet developers"
copyright = "kivet developers"
version = release = kivet.__version__

extensions = ["sphinx.ext.autodoc"]
exclude_patterns = ["_build"]
# Docstrings quote names and expressions in single backticks.
default_role = "py:obj"
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
html_theme = "alabaster"

# Markdown pages are built when MyST is installed, and left out (silently) when it is not.
try:
    import myst_parser  # noqa: F401
except ImportError:
    SUFFIXES = [".rst"]
else:
    extensions.append("myst_parser")
    source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
    SUFFIXES = [".rst", ".md"]
html_title = f"kivet {release}"

# The reading order; pages found beside these follow, the known ones first.
PAGES = ["quickstart", "concepts", "coming-from-h3", "resolutions", "api"]
LATER_PAGES = ["binary-form", "cli", "xarray", "dask"]


def contents() -> str:
    found = {p.stem for p in HERE.iterdir() if p.suffix in SUFFIXES} - {"index"}
    rest = [p for p in LATER_PAGES if p in found]
    rest += sorted(found - set(PAGES) - set(LATER_PAGES))
    entries = "\n".join(f"   {name}" for name in PAGES + rest)
    return f".. toctree::\n   :maxdepth: 2\n\n{entries}\n"


def number(x: float) -> str:
    return f"{x:,.0f}" if x >= 100 else f"{x:.3g}"


def resolution_table() -> str:
    lines = [
        ".. list-table::",
        "   :header-rows: 1",
        "   :align: right",
        "",
        "   * - level",
        "     - cells",
        "     - cell area",
        "     - side of a square of that area",
    ]
    for row in kivet.resolutions():
        area, side = row["area_m2"], row["side_m"]
        shown = f"{number(area / 1e6)} km²" if area >= 1e6 else f"{number(area)} m²"
        side_text = f"{number(side / 1e3)} km" if side >= 1e3 else f"{number(side)} m"
        lines += [
            f"   * - {row['level']}",
            f"     - {row['cells']:,}",
            f"     - {shown}",
            f"     - {side_text}",
        ]
    return "\n".join(lines) + "\n"


def fill(app: object, docname: str, source: list[str]) -> None:
    source[0] = source[0].replace(".. kivet-contents", contents())
    source[0] = source[0].replace(".. kivet-resolution-table", resolution_table())


def setup(app: object) -> dict[str, object]:
    app.connect("source-read", fill)  # type: ignore[attr-defined]
    return {"parallel_read_safe": True}
