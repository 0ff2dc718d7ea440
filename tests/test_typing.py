"""The types users see: _kivet's stubs match the module, kivet passes mypy --strict, and so
do the examples of the README and the documentation."""

import subprocess
import sys
from pathlib import Path

import pytest

import _kivet
from examples import ROOT, all_examples, child_env

pytestmark = pytest.mark.slow
pytest.importorskip("mypy")

STUB = ROOT / "src" / "_kivet.pyi"
# [tool.mypy]: strict, and which third-party libraries ship no types.
CONFIG = ("--config-file", str(ROOT / "pyproject.toml"))
INSTALLED = Path(_kivet.__file__).parent
# An installed wheel carries the stubs beside the module; a development build
# (PYTHONPATH=build/dev:src) reads them, and the package, from the source tree.
IS_INSTALLED = (INSTALLED / "_kivet-stubs").is_dir()


def mypy(*args, cwd):
    env = child_env()
    env.pop("MYPYPATH", None)
    if not IS_INSTALLED:
        env["MYPYPATH"] = str(ROOT / "src")
    done = subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_stubs_match_the_module(tmp_path):
    mypy("mypy.stubtest", "--mypy-config-file", str(ROOT / "pyproject.toml"), "_kivet",
         cwd=tmp_path)


def test_installed_stubs_are_the_source_stubs():
    if not IS_INSTALLED:
        pytest.skip("_kivet is a development build")
    for shipped in [INSTALLED / "_kivet.pyi", INSTALLED / "_kivet-stubs" / "__init__.pyi"]:
        assert shipped.read_text() == STUB.read_text(), shipped
    assert (INSTALLED / "kivet" / "py.typed").is_file()


def test_package_passes_strict_mypy(tmp_path):
    mypy("mypy", *CONFIG, "--strict", "--cache-dir", str(tmp_path / "cache"),
         str(ROOT / "src" / "kivet"), str(STUB), cwd=tmp_path)


def test_examples_pass_strict_mypy(tmp_path):
    files = []
    for i, example in enumerate(all_examples()):
        path = tmp_path / f"example_{i}.py"
        path.write_text(f"# {example.where}\n{example.code}")
        files.append(str(path))
    mypy("mypy", *CONFIG, "--strict", "--cache-dir", str(tmp_path / "cache"), *files,
         cwd=tmp_path)


def test_types_reach_users(tmp_path):
    """What a user's checker infers: no Any where the stubs promise types."""
    (tmp_path / "user.py").write_text(
        "import kivet\n"
        "t = kivet.coverage({'type': 'Polygon', 'coordinates': []}, 3)\n"
        "reveal_type(t | t)\n"
        "reveal_type(t.leaves_array())\n"
        "reveal_type(kivet.fingerprints([], 3))\n"
        "reveal_type(kivet.resolutions()[0]['side_m'])\n"
        "reveal_type(kivet.neighbours(100)['up'])\n"
        "reveal_type(3 in t)\n"
    )
    out = mypy("mypy", *CONFIG, "--strict", "--cache-dir", str(tmp_path / "cache"),
               "user.py", cwd=tmp_path)
    revealed = [line.split("Revealed type is ")[1].replace("builtins.", "")
                for line in out.splitlines() if "Revealed type is" in line]
    assert revealed[0] == '"_kivet.Tree"'
    assert "numpy.unsignedinteger" in revealed[1] and "_64Bit" in revealed[1]
    assert revealed[2:] == ['"list[str]"', '"float"', '"int"', '"bool"']
