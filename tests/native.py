"""Compiles a small C++ program against the core, for tests of core pieces
that have no Python surface. Skips when there is no compiler."""
import shutil
import subprocess
from pathlib import Path

import pytest

import _kivet

ROOT = Path(__file__).resolve().parents[1]


def build(tmp, program, sources):
    compiler = shutil.which("g++") or shutil.which("c++")
    if not compiler:
        pytest.skip("no C++ compiler")
    (tmp / "main.cpp").write_text(program)
    # A development build leaves the core library beside the module; an
    # installed one does not, and the named sources are compiled instead.
    library = Path(_kivet.__file__).parent / "libkivet_core.a"
    inputs = [library] if library.exists() else [ROOT / s for s in sources]
    exe = tmp / "main"
    subprocess.run([compiler, "-std=c++23", "-O0", "-pthread", f"-I{ROOT}",
                    str(tmp / "main.cpp"), *map(str, inputs), "-o", str(exe)], check=True)
    return exe
