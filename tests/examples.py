"""The Python examples of the README and the documentation, for the tests that run and
type-check them.

An example is a ```python block of the README or a ``.. code-block:: python`` of a page in
docs/, a whole program. When the next block is a ```text block (or ``.. code-block:: text``),
it is the output the example prints. A page marks a block that is not a whole program (one
that continues an earlier block, or shows a call with made-up names) with the comment
``.. fragment`` on the line before it; fragments are neither run nor type-checked.
"""

from __future__ import annotations

import os
import re
import textwrap
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"

_FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.M | re.S)
_DIRECTIVE = re.compile(
    r"^(?:(\.\. fragment.*)\n\n?)?\.\. code-block:: (\w+)\n\n((?:(?:   .*)?\n)+)", re.M)


@dataclass
class Example:
    where: str
    code: str
    output: str | None


def _pair(where: str, blocks: list[tuple[str, str]]) -> list[Example]:
    out = []
    for i, (lang, body) in enumerate(blocks):
        if lang != "python":
            continue
        following = blocks[i + 1] if i + 1 < len(blocks) else None
        output = following[1] if following and following[0] == "text" else None
        out.append(Example(f"{where} example {len(out) + 1}", body, output))
    return out


def readme_examples() -> list[Example]:
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    return _pair("README.md", [(m[1], m[2]) for m in _FENCE.finditer(text)])


def docs_examples() -> list[Example]:
    out = []
    for page in sorted(DOCS.glob("*.rst")):
        text = page.read_text(encoding="utf-8")
        blocks = [("fragment" if m[1] else m[2], textwrap.dedent(m[3]).strip("\n") + "\n")
                  for m in _DIRECTIVE.finditer(text)]
        out += _pair(f"docs/{page.name}", blocks)
    return out


def all_examples() -> list[Example]:
    return readme_examples() + docs_examples()


def child_env() -> dict[str, str]:
    """The environment for a child Python that runs in another directory: PYTHONPATH made
    absolute, so a development build stays importable."""
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(
            str(Path(p).resolve()) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    return env
