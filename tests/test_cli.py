"""The kivet command, run as users run it: in a subprocess, checking exit codes, output rows
and error lines."""

import csv
import io
import json
import os
import pty
import subprocess
import sys

import numpy as np
import pytest

import _kivet

SQUARE = {"type": "Polygon", "coordinates": [[[5, 45], [10, 45], [10, 50], [5, 50], [5, 45]]]}
INNER = {"type": "Polygon", "coordinates": [[[6, 46], [8, 46], [8, 48], [6, 48], [6, 46]]]}
POINT = {"type": "Point", "coordinates": [1, 2]}
EAST = {"type": "Polygon", "coordinates": [[[8, 45], [13, 45], [13, 50], [8, 50], [8, 45]]]}


def environment():
    """This environment, with PYTHONPATH made absolute so commands may run elsewhere."""
    env = os.environ.copy()
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep)
        )
    return env


def kivet(*args, stdin=None, cwd=None, stderr=subprocess.PIPE):
    """Run the command as a user would, in this environment (installed or PYTHONPATH)."""
    return subprocess.run(
        [sys.executable, "-m", "kivet", *map(str, args)],
        input=stdin,
        stdout=subprocess.PIPE,
        stderr=stderr,
        text=True,
        cwd=cwd,
        env=environment(),
        timeout=300,
    )


def feature(geometry, **extra):
    return {"type": "Feature", "properties": {}, "geometry": geometry, **extra}


@pytest.fixture
def files(tmp_path):
    def write(name, doc):
        path = tmp_path / name
        path.write_text(doc if isinstance(doc, str) else json.dumps(doc))
        return path

    return write


def rows(text):
    return list(csv.reader(io.StringIO(text), delimiter="\t"))


@pytest.mark.parametrize(
    "command", ["", "fingerprint", "diff", "cells", "prove", "verify", "plot", "demo"]
)
def test_every_command_has_help(command):
    result = kivet(*([command] if command else []), "--help")
    assert result.returncode == 0
    assert result.stdout.startswith(f"usage: kivet {command}".rstrip())


class TestFingerprint:
    def test_one_row_per_feature_with_name_root_cells_and_area(self, files):
        doc = {
            "type": "FeatureCollection",
            "features": [
                {**feature(SQUARE), "properties": {"name": "square\twith tab"}, "id": "ignored"},
                feature(INNER, id=7),
                feature(EAST),
                feature(None, properties={"name": "unlocated"}),
            ],
        }
        result = kivet("fingerprint", files("areas.json", doc), "-r", 6)
        assert result.returncode == 0, result.stderr
        table = rows(result.stdout)
        assert table[0] == ["index", "name", "root", "cells", "area_km2"]
        assert [r[:2] for r in table[1:]] == [
            ["0", "square with tab"],
            ["1", "7"],
            ["2", ""],
            ["3", "unlocated"],
        ]
        assert table[4][2:] == [_kivet.Tree.from_cells([], 6).root_hex, "0", "0.0"]
        for row, geometry in zip(table[1:], (SQUARE, INNER, EAST)):
            tree = _kivet.Tree.from_geojson(geometry, 6)
            assert row[2] == tree.root_hex
            assert int(row[3]) == len(tree.cells())
            area = tree.leaf_count() * _kivet.cell_area_m2(6) / 1e6
            assert float(row[4]) == pytest.approx(area, rel=1e-9)

    def test_standard_input_json_and_profile(self):
        result = kivet(
            "fingerprint",
            "-r",
            5,
            "--format",
            "json",
            "--profile",
            "kivet_1",
            stdin=json.dumps(SQUARE),
        )
        assert result.returncode == 0, result.stderr
        (row,) = json.loads(result.stdout)
        tree = _kivet.Tree.from_geojson(SQUARE, 5, _kivet.Profile.kivet_1())
        assert row["index"] == 0 and row["name"] == "" and row["root"] == tree.root_hex
        assert row["cells"] == len(tree.cells())


class TestErrors:
    @pytest.mark.parametrize(
        "args, stdin, message",
        [
            (
                ["fingerprint", "missing.json", "-r", "5"],
                None,
                "kivet fingerprint: cannot read missing.json: No such file or directory",
            ),
            (
                ["fingerprint", "-r", "5"],
                "{not json",
                "kivet fingerprint: standard input is not JSON: Expecting property name enclosed "
                "in double quotes: line 1 column 2 (char 1)",
            ),
            (
                ["fingerprint", "-r", "5"],
                '{"type": "Point", "coordinates": [1, 2]}',
                'kivet fingerprint: standard input: unsupported GeoJSON type "Point"; '
                "need a Polygon, MultiPolygon, GeometryCollection, Feature or FeatureCollection",
            ),
            (
                ["fingerprint", "-r", "5"],
                json.dumps({"type": "FeatureCollection", "features": [feature(POINT)]}),
                "kivet fingerprint: standard input: feature 0: "
                'unsupported GeoJSON type "Point"; need Polygon or MultiPolygon',
            ),
            (
                ["fingerprint", "-r", "16"],
                json.dumps(SQUARE),
                "kivet fingerprint: resolution 16 is outside [0, 15]",
            ),
            (
                ["fingerprint", "-r", "-1"],
                json.dumps(SQUARE),
                "kivet fingerprint: resolution -1 is outside [0, 15]",
            ),
            (
                ["fingerprint"],
                json.dumps(SQUARE),
                "kivet fingerprint: the following arguments are required: -r/--resolution "
                "(see kivet fingerprint --help)",
            ),
            (
                ["cells", "-", "--lon", "lng", "--lat", "lat", "-r", "5"],
                "lon,lat\n1,2\n",
                "kivet cells: unknown column 'lng' for --lon; the columns are: lon, lat",
            ),
            (
                ["cells", "-", "--lon", "lon", "--lat", "lat", "-r", "5"],
                "lon,lat\n1,2\n3,x\n",
                "kivet cells: line 3: latitude 'x' is not a number",
            ),
            (
                ["cells", "-", "--lon", "lon", "--lat", "lat", "-r", "5"],
                "lon,lat\n1,2\n3,91\n",
                "kivet cells: line 3: (3, 91) is not on the grid",
            ),
            (
                ["cells", "-", "--lon", "lon", "--lat", "lat", "-r", "5"],
                "lon,lat\n1,2,3\n",
                "kivet cells: line 2: 3 fields, the header has 2",
            ),
            (
                ["cells", "-", "--lon", "lon", "--lat", "cid", "-r", "5"],
                "lon,cid\n1,2\n",
                "kivet cells: the input already has a column 'cid'",
            ),
            (
                ["verify", "-"],
                '{"A": 9}',
                "kivet verify: standard input is neither a set-operation transcript "
                "nor an opening record",
            ),
        ],
    )
    def test_bad_input_is_one_line_and_exit_2(self, args, stdin, message):
        result = kivet(*args, stdin=stdin)
        assert result.returncode == 2
        assert result.stderr == message + "\n"
        if args[0] != "cells":  # cells streams its rows; the others print nothing on failure
            assert result.stdout == ""


class TestDiff:
    def test_counts_follow_the_set_algebra(self, files):
        result = kivet("diff", files("a.json", SQUARE), files("b.json", EAST), "-r", 6)
        assert result.returncode == 0, result.stderr
        got = dict(rows(result.stdout))
        a, b = _kivet.Tree.from_geojson(SQUARE, 6), _kivet.Tree.from_geojson(EAST, 6)
        assert got["relation"] == "overlaps"
        assert int(got["shared_cells"]) == a.intersect(b).leaf_count()
        assert int(got["only_a_cells"]) == a.difference(b).leaf_count()
        assert int(got["only_b_cells"]) == b.difference(a).leaf_count()
        assert int(got["divergent_subtrees"]) == len(a.divergence(b))
        assert float(got["shared_km2"]) == pytest.approx(
            int(got["shared_cells"]) * _kivet.cell_area_m2(6) / 1e6
        )

    @pytest.mark.parametrize(
        "a, b, relation",
        [
            (INNER, SQUARE, "within"),
            (SQUARE, INNER, "contains"),
            (SQUARE, SQUARE, "equal"),
            (
                INNER,
                {"type": "Polygon", "coordinates": [[[20, 0], [21, 0], [21, 1], [20, 0]]]},
                "disjoint",
            ),
        ],
    )
    def test_relation_of_a_to_b(self, files, a, b, relation):
        result = kivet("diff", files("a.json", a), files("b.json", b), "-r", 5, "--format", "json")
        assert json.loads(result.stdout)["relation"] == relation

    def test_a_file_is_the_union_of_its_features(self, files):
        both = {"type": "FeatureCollection", "features": [feature(INNER), feature(EAST)]}
        result = kivet(
            "diff", files("a.json", both), files("b.json", SQUARE), "-r", 5, "--format", "json"
        )
        union = _kivet.Tree.from_geojson(INNER, 5).union(_kivet.Tree.from_geojson(EAST, 5))
        assert json.loads(result.stdout)["root_a"] == union.root_hex

    def test_picture_shows_shared_and_one_sided_cells(self, files, tmp_path):
        pytest.importorskip("matplotlib")
        from matplotlib.image import imread

        out = tmp_path / "d.png"
        result = kivet(
            "diff", files("a.json", SQUARE), files("b.json", EAST), "-r", 5, "--picture", out
        )
        assert result.returncode == 0, result.stderr
        pixels = {
            tuple(p)
            for p in (imread(out)[:, :, :3] * 255).round().astype(int).reshape(-1, 3).tolist()
        }
        assert {(127, 127, 127), (31, 119, 180), (255, 127, 14)} <= pixels


class TestCells:
    def test_rows_gain_cid_and_suid_across_chunks(self, tmp_path):
        rng = np.random.default_rng(3)
        lon, lat = rng.uniform(-180, 180, 10).tolist(), rng.uniform(-90, 90, 10).tolist()
        src = tmp_path / "points.csv"
        with open(src, "w", newline="", encoding="utf-8-sig") as f:  # as spreadsheets save
            w = csv.writer(f)
            w.writerow(["id", "lat", "note", "lon"])
            for i in range(10):
                w.writerow([i, repr(lat[i]), f'a, "quoted"\nnote {i}', repr(lon[i])])
        out = tmp_path / "out.csv"
        result = kivet(
            "cells", src, "--lon", "lon", "--lat", "lat", "-r", 9, "-o", out, "--chunk-rows", 3
        )
        assert result.returncode == 0, result.stderr
        with open(out, newline="") as f:
            table = list(csv.reader(f))
        assert table[0] == ["id", "lat", "note", "lon", "cid", "suid"]
        expected = _kivet._cells_from_lonlat(np.array(lon), np.array(lat), 9)
        assert [r[:4] for r in table[1:]] == [
            [str(i), repr(lat[i]), f'a, "quoted"\nnote {i}', repr(lon[i])] for i in range(10)
        ]
        assert [int(r[4]) for r in table[1:]] == expected.tolist()
        assert [r[5] for r in table[1:]] == [_kivet.cid_to_suid(int(c)) for c in expected]
        umask = os.umask(0)
        os.umask(umask)
        assert out.stat().st_mode & 0o777 == 0o666 & ~umask

    def test_failure_leaves_no_output_file(self, tmp_path):
        src = tmp_path / "points.csv"
        src.write_text("lon,lat\n" + "1,2\n" * 10 + "1,x\n")
        out = tmp_path / "out.csv"
        result = kivet(
            "cells", src, "--lon", "lon", "--lat", "lat", "-r", 5, "-o", out, "--chunk-rows", 4
        )
        assert result.returncode == 2
        assert sorted(p.name for p in tmp_path.iterdir()) == ["points.csv"]


class TestProofs:
    @pytest.mark.parametrize("op", ["union", "intersect", "difference"])
    def test_prove_then_verify(self, files, tmp_path, op):
        proof = tmp_path / "proof.json"
        result = kivet(
            "prove",
            files("a.json", SQUARE),
            files("b.json", EAST),
            "--op",
            op,
            "-r",
            5,
            "-o",
            proof,
        )
        assert result.returncode == 0, result.stderr
        a, b = _kivet.Tree.from_geojson(SQUARE, 5), _kivet.Tree.from_geojson(EAST, 5)
        c = {"union": a.union, "intersect": a.intersect, "difference": a.difference}[op](b)
        assert result.stdout.split() == [op, a.root_hex, b.root_hex, c.root_hex]
        verified = kivet("verify", proof)
        assert (verified.returncode, verified.stdout.split()[0]) == (0, "valid")

    def test_tampered_transcript_and_opening_records(self, files, tmp_path):
        proof = tmp_path / "proof.json"
        kivet(
            "prove",
            files("a.json", SQUARE),
            files("b.json", EAST),
            "--op",
            "union",
            "-r",
            4,
            "-o",
            proof,
        )
        doc = json.loads(proof.read_text())
        doc["root_c"] = "0" * 64
        result = kivet("verify", "-", stdin=json.dumps(doc))
        assert (result.returncode, result.stdout.split()[0]) == (1, "invalid")

        tree = _kivet.Tree.from_geojson(SQUARE, 4)
        record = tree.open(tree.cells()[0])
        assert kivet("verify", files("open.json", record)).returncode == 0
        record["root"] = "f" * 64
        result = kivet("verify", files("bad.json", record))
        assert result.returncode == 1 and result.stdout.startswith("invalid\topening record")


class TestPictures:
    @pytest.mark.parametrize("plane", [False, True])
    def test_plot_writes_a_picture(self, files, tmp_path, plane):
        pytest.importorskip("matplotlib")
        out = tmp_path / "p.png"
        result = kivet(
            "plot", files("a.json", SQUARE), "-r", 5, "-o", out, *(["--plane"] if plane else [])
        )
        assert result.returncode == 0, result.stderr
        assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    def test_demo_finds_neighbours_and_draws(self, tmp_path):
        pytest.importorskip("matplotlib")
        result = kivet("demo", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        table = {r[0]: r for r in rows("\n".join(lines[:-1]))[1:]}
        assert len(table) == 8
        assert table["Luxembourg"][4] == "Belgium,France,Germany"
        assert table["Netherlands"][4] == "Belgium,Germany"
        assert lines[-1] == "wrote kivet-demo.png"
        assert (tmp_path / "kivet-demo.png").read_bytes()[:4] == b"\x89PNG"


class TestProgress:
    def run_on_terminal(self, files, *extra):
        doc = {
            "type": "FeatureCollection",
            "features": [feature(SQUARE), feature(INNER), feature(EAST)],
        }
        path = files("three.json", doc)
        leader, follower = pty.openpty()
        try:
            result = kivet("fingerprint", path, "-r", 5, *extra, stderr=follower)
            os.close(follower)
            follower = None
            seen = b""
            while True:
                try:
                    chunk = os.read(leader, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                seen += chunk
        finally:
            if follower is not None:
                os.close(follower)
            os.close(leader)
        assert result.returncode == 0
        return seen.decode()

    def test_bar_on_a_terminal_only_unless_quiet(self, files):
        assert "covering [" in self.run_on_terminal(files)
        assert self.run_on_terminal(files, "--quiet") == ""
        result = kivet(
            "fingerprint",
            "-r",
            5,
            stdin=json.dumps({"type": "FeatureCollection", "features": [feature(SQUARE)] * 3}),
        )
        assert result.stderr == ""


def test_import_needs_no_matplotlib():
    code = "import sys, kivet; assert callable(kivet.plot); assert 'matplotlib' not in sys.modules"
    assert subprocess.run([sys.executable, "-c", code], env=environment()).returncode == 0
