"""The ``kivet`` command: fingerprints, comparisons, cell columns, proofs and pictures.

Every command reads its areas from GeoJSON (a geometry, a Feature or a FeatureCollection,
from a file or standard input) and prints tab-separated rows or JSON on standard output.
Bad input ends the command with one line on standard error and exit status 2; ``verify``
exits 1 for a record that does not hold.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import sys
import tempfile
from collections.abc import Callable, Iterator, Sequence
from importlib import resources
from typing import IO, Any, NoReturn

import numpy as np

import _kivet
from kivet.geometry import coverage
from kivet._plot import plot
from kivet.trees import union_all

__all__ = ["main"]

_PROFILES = {"ogc": _kivet.Profile.ogc, "kivet_1": _kivet.Profile.kivet_1}
_CHUNK_ROWS = 65536


class CliError(Exception):
    """Bad input: reported as one line on standard error, exit status 2."""


class _Parser(argparse.ArgumentParser):
    # argparse prints the whole usage before its message; one line is easier to read in logs.
    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"{self.prog}: {message} (see {self.prog} --help)\n")
        raise SystemExit(2)


class Progress:
    """A one-line progress bar on standard error, drawn only when it is a terminal."""

    def __init__(self, label: str, total: float | None, quiet: bool) -> None:
        self.label = label
        self.total = total
        self.done = 0.0
        self.enabled = not quiet and sys.stderr.isatty()
        self._shown = ""

    def advance(self, amount: float = 1, done: float | None = None) -> None:
        self.done = self.done + amount if done is None else done
        if not self.enabled:
            return
        if self.total:
            frac = min(self.done / self.total, 1.0)
            bar = "#" * int(frac * 30)
            text = f"\r{self.label} [{bar:<30}] {frac:4.0%}"
        else:
            text = f"\r{self.label} {int(self.done):,}"
        if text != self._shown:
            sys.stderr.write(text)
            sys.stderr.flush()
            self._shown = text

    def close(self) -> None:
        if self.enabled and self._shown:
            sys.stderr.write("\r" + " " * (len(self._shown) - 1) + "\r")
            sys.stderr.flush()


# ---- reading areas ---------------------------------------------------------------------


class Area:
    """One feature of an input file: its index, display name and GeoJSON."""

    def __init__(self, index: int, name: str, geojson: Any) -> None:
        self.index = index
        self.name = name
        self.geojson = geojson


def _read_bytes(path: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise CliError(f"cannot read {path}: {e.strerror or e}") from None


def _feature_name(feature: dict[str, Any]) -> str:
    props = feature.get("properties")
    name = props.get("name") if isinstance(props, dict) else None
    if name is None:
        name = feature.get("id")
    return "" if name is None else str(name)


def _shown(path: str) -> str:
    return "standard input" if path == "-" else path


def _read_json(path: str) -> Any:
    try:
        return json.loads(_read_bytes(path))
    except (json.JSONDecodeError, UnicodeDecodeError) as e:
        raise CliError(f"{_shown(path)} is not JSON: {e}") from None


def read_areas(path: str) -> list[Area]:
    """The features of a GeoJSON file (``-`` for standard input), in document order."""
    shown = _shown(path)
    doc = _read_json(path)
    kind = doc.get("type") if isinstance(doc, dict) else None
    if kind == "FeatureCollection":
        features = doc.get("features")
        if not isinstance(features, list):
            raise CliError(f"{shown}: a FeatureCollection needs a list of features")
        areas = []
        for i, f in enumerate(features):
            if not isinstance(f, dict) or f.get("type") != "Feature":
                raise CliError(f"{shown}: feature {i} is not a GeoJSON Feature")
            areas.append(Area(i, _feature_name(f), f))
        return areas
    if kind == "Feature":
        return [Area(0, _feature_name(doc), doc)]
    if kind in ("Polygon", "MultiPolygon", "GeometryCollection"):
        return [Area(0, "", doc)]
    raise CliError(
        f"{shown}: unsupported GeoJSON type "
        f"{json.dumps(kind) if isinstance(kind, str) else 'none'}; "
        "need a Polygon, MultiPolygon, GeometryCollection, Feature or FeatureCollection"
    )


def _check_resolution(resolution: int) -> None:
    if not 0 <= resolution <= _kivet.MAX_RESOLUTION:
        raise CliError(f"resolution {resolution} is outside [0, {_kivet.MAX_RESOLUTION}]")


def _cover(area: Area, path: str, resolution: int, profile: _kivet.Profile) -> _kivet.Tree:
    try:
        return coverage(area.geojson, resolution, profile)
    except (TypeError, ValueError) as e:
        raise CliError(f"{_shown(path)}: feature {area.index}: {e}") from None


def cover_each(
    path: str, resolution: int, profile: _kivet.Profile, quiet: bool
) -> list[tuple[Area, _kivet.Tree]]:
    """Every feature of a file with its coverage at `resolution`."""
    _check_resolution(resolution)
    areas = read_areas(path)
    progress = Progress("covering", len(areas), quiet or len(areas) < 2)
    out = []
    for area in areas:
        out.append((area, _cover(area, path, resolution, profile)))
        progress.advance()
    progress.close()
    return out


def cover_all(path: str, resolution: int, profile: _kivet.Profile, quiet: bool) -> _kivet.Tree:
    """The union of a file's features at `resolution`: the area the whole file describes."""
    nothing = _kivet.Tree.from_cells([], resolution, profile)
    return union_all([nothing] + [t for _, t in cover_each(path, resolution, profile, quiet)])


def _area_km2(tree: _kivet.Tree, profile: _kivet.Profile) -> float:
    return float(tree.leaf_count() * _kivet.cell_area_m2(tree.depth, profile)) / 1e6


def _tsv_field(value: Any) -> str:
    # A tab or line break inside a name would split the row.
    return " ".join(str(value).split()) if isinstance(value, str) else str(value)


def _write_rows(rows: list[dict[str, Any]], fmt: str, out: IO[str]) -> None:
    if fmt == "json":
        json.dump(rows, out, indent=1, ensure_ascii=False)
        out.write("\n")
        return
    if rows:
        out.write("\t".join(rows[0]) + "\n")
    for row in rows:
        out.write("\t".join(_tsv_field(v) for v in row.values()) + "\n")


# ---- commands --------------------------------------------------------------------------


def cmd_fingerprint(args: argparse.Namespace) -> int:
    profile = _PROFILES[args.profile]()
    rows = []
    for area, tree in cover_each(args.file, args.resolution, profile, args.quiet):
        rows.append(
            {
                "index": area.index,
                "name": area.name,
                "root": tree.root_hex,
                "cells": len(tree.cells()),
                "area_km2": round(_area_km2(tree, profile), 6),
            }
        )
    _write_rows(rows, args.format, sys.stdout)
    return 0


def compare(a: _kivet.Tree, b: _kivet.Tree) -> dict[str, Any]:
    """Relation of `a` to `b`, the cells and areas shared and on one side only, divergences."""
    profile = a.profile
    shared, only_a, only_b = a.intersect(b), a.difference(b), b.difference(a)
    if a.root_hex == b.root_hex:
        relation = "equal"
    elif shared.is_empty():
        relation = "disjoint"
    elif only_a.is_empty():
        relation = "within"
    elif only_b.is_empty():
        relation = "contains"
    else:
        relation = "overlaps"
    return {
        "relation": relation,
        "shared_cells": shared.leaf_count(),
        "shared_km2": round(_area_km2(shared, profile), 6),
        "only_a_cells": only_a.leaf_count(),
        "only_a_km2": round(_area_km2(only_a, profile), 6),
        "only_b_cells": only_b.leaf_count(),
        "only_b_km2": round(_area_km2(only_b, profile), 6),
        "divergent_subtrees": len(a.divergence(b)),
        "root_a": a.root_hex,
        "root_b": b.root_hex,
        "_trees": (shared, only_a, only_b),
    }


def _pyplot() -> Any:
    try:
        import matplotlib
    except ImportError:
        raise CliError("pictures need matplotlib: pip install 'kivet[plot]'") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _save(fig: Any, out: str) -> None:
    try:
        fig.savefig(out, dpi=150, bbox_inches="tight")
    except OSError as e:
        raise CliError(f"cannot write {out}: {e.strerror or e}") from None
    except ValueError as e:  # an unknown picture format, named by its extension
        raise CliError(f"cannot write {out}: {e}") from None


def cmd_diff(args: argparse.Namespace) -> int:
    profile = _PROFILES[args.profile]()
    a = cover_all(args.a, args.resolution, profile, args.quiet)
    b = cover_all(args.b, args.resolution, profile, args.quiet)
    result = compare(a, b)
    trees = result.pop("_trees")
    if args.format == "json":
        json.dump(result, sys.stdout, indent=1)
        sys.stdout.write("\n")
    else:
        for key, value in result.items():
            sys.stdout.write(f"{key}\t{value}\n")
    if args.picture:
        from matplotlib.patches import Patch

        plt = _pyplot()
        colours = ["#7f7f7f", "#1f77b4", "#ff7f0e"]
        ax = plot(list(trees), color=colours)
        labels = ["shared", f"only in {args.a}", f"only in {args.b}"]
        ax.legend(
            handles=[Patch(color=c, label=t) for c, t in zip(colours, labels)], fontsize="small"
        )
        ax.set_title(f"{result['relation']} at resolution {args.resolution}")
        _save(ax.figure, args.picture)
        plt.close(ax.figure)
    return 0


def _column(header: list[str], name: str, option: str) -> int:
    try:
        return header.index(name)
    except ValueError:
        raise CliError(
            f"unknown column {name!r} for {option}; the columns are: {', '.join(header)}"
        ) from None


def _coordinates(
    rows: list[list[str]], lines: list[int], col: int, what: str, ncols: int
) -> np.ndarray:
    out = np.empty(len(rows))
    for i, row in enumerate(rows):
        if len(row) != ncols:
            raise CliError(f"line {lines[i]}: {len(row)} fields, the header has {ncols}")
        try:
            out[i] = float(row[col])
        except ValueError:
            raise CliError(f"line {lines[i]}: {what} {row[col]!r} is not a number") from None
    return out


def _cells_of_chunk(
    rows: list[list[str]],
    lines: list[int],
    lon_col: int,
    lat_col: int,
    ncols: int,
    level: int,
    profile: _kivet.Profile,
) -> tuple[np.ndarray, list[str]]:
    lon = _coordinates(rows, lines, lon_col, "longitude", ncols)
    lat = _coordinates(rows, lines, lat_col, "latitude", ncols)
    off = ~np.isfinite(lon) | ~(np.abs(lat) <= 90.0)
    if off.any():
        i = int(np.argmax(off))
        raise CliError(
            f"line {lines[i]}: ({rows[i][lon_col]}, {rows[i][lat_col]}) is not on the grid"
        )
    cids = _kivet._cells_from_lonlat(lon, lat, level, profile)
    return cids, [_kivet.cid_to_suid(c) for c in cids.tolist()]


def _chunks(reader: Any, size: int) -> Iterator[tuple[list[list[str]], list[int]]]:
    rows: list[list[str]] = []
    lines: list[int] = []
    for row in reader:
        if not row:
            continue  # a blank line is no record
        rows.append(row)
        lines.append(reader.line_num)
        if len(rows) == size:
            yield rows, lines
            rows, lines = [], []
    if rows:
        yield rows, lines


def cmd_cells(args: argparse.Namespace) -> int:
    profile = _PROFILES[args.profile]()
    _check_resolution(args.resolution)
    if args.chunk_rows < 1:
        raise CliError(f"--chunk-rows {args.chunk_rows} is not a positive count")
    shown = _shown(args.file)
    # utf-8-sig: a byte-order mark, as spreadsheet programs write, must not rename the first column.
    if args.file == "-":
        source: IO[str] = io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8-sig", newline="")
        size = None
    else:
        try:
            source = open(args.file, newline="", encoding="utf-8-sig")
            size = os.fstat(source.fileno()).st_size
        except OSError as e:
            raise CliError(f"cannot read {args.file}: {e.strerror or e}") from None
    target_dir = os.path.dirname(os.path.abspath(args.output)) if args.output else None
    tmp_path = None
    out: IO[str] = sys.stdout
    try:
        reader = csv.reader(source)
        try:
            header = next(reader)
        except StopIteration:
            raise CliError(f"{shown} is empty; a header row is needed") from None
        lon_col = _column(header, args.lon, "--lon")
        lat_col = _column(header, args.lat, "--lat")
        for added in ("cid", "suid"):
            if added in header:
                raise CliError(f"the input already has a column {added!r}")
        if args.output:
            # Written beside the target and renamed at the end: a failure leaves no half file.
            try:
                fd, tmp_path = tempfile.mkstemp(dir=target_dir, prefix=".kivet-", suffix=".csv")
            except OSError as e:
                raise CliError(f"cannot write {args.output}: {e.strerror or e}") from None
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(fd, 0o666 & ~umask)  # as an ordinary new file would be, not private
            out = os.fdopen(fd, "w", newline="", encoding="utf-8")
        else:
            out = sys.stdout
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow([*header, "cid", "suid"])
        progress = Progress("rows", size, args.quiet)
        raw = getattr(getattr(source, "buffer", None), "raw", None)
        for rows, lines in _chunks(reader, args.chunk_rows):
            cids, suids = _cells_of_chunk(
                rows, lines, lon_col, lat_col, len(header), args.resolution, profile
            )
            writer.writerows(
                [*row, cid, suid] for row, cid, suid in zip(rows, cids.tolist(), suids)
            )
            progress.advance(
                done=raw.tell() if raw is not None and size else progress.done + len(rows)
            )
        progress.close()
        if args.output:
            out.close()
            os.replace(tmp_path, args.output)  # type: ignore[arg-type]
            tmp_path = None
    except csv.Error as e:
        raise CliError(f"{shown} line {reader.line_num}: {e}") from None
    except UnicodeDecodeError as e:
        raise CliError(f"{shown} is not UTF-8 text: {e.reason}") from None
    finally:
        if args.file != "-":
            source.close()
        if out is not sys.stdout:
            out.close()
        if tmp_path is not None:
            try:
                os.unlink(tmp_path)
            except OSError:
                pass
    return 0


def cmd_prove(args: argparse.Namespace) -> int:
    profile = _PROFILES[args.profile]()
    a = cover_all(args.a, args.resolution, profile, args.quiet)
    b = cover_all(args.b, args.resolution, profile, args.quiet)
    proof = a.prove(b, args.op)
    _write_json(proof, args.output)
    sys.stdout.write(f"{args.op}\t{proof['root_a']}\t{proof['root_b']}\t{proof['root_c']}\n")
    return 0


def _write_json(doc: Any, path: str) -> None:
    try:
        with open(path, "w", encoding="utf-8") as f:
            json.dump(doc, f, separators=(",", ":"))
            f.write("\n")
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror or e}") from None


def cmd_verify(args: argparse.Namespace) -> int:
    shown = _shown(args.file)
    doc = _read_json(args.file)
    if isinstance(doc, dict) and "steps" in doc:
        kind, valid = "set-operation transcript", _kivet.verify_setop(doc)
        root = doc.get("root_c")
    elif isinstance(doc, dict) and "opening" in doc:
        kind, valid = "opening record", _kivet.verify_opening(doc)
        root = doc.get("root")
    else:
        raise CliError(f"{shown} is neither a set-operation transcript nor an opening record")
    sys.stdout.write(
        f"{'valid' if valid else 'invalid'}\t{kind}\t{root if isinstance(root, str) else ''}\n"
    )
    return 0 if valid else 1


def _draw(
    pairs: Sequence[tuple[Area, _kivet.Tree]], plane: bool, outline: Any, title: str, out: str
) -> None:
    plt = _pyplot()
    ax = plot([t for _, t in pairs], plane=plane, outline=outline)
    ax.figure.set_size_inches(8, 8)
    ax.set_title(title)
    if not plane:
        for area, tree in pairs:
            if area.name and not tree.is_empty():
                lon, lat = _kivet._cells_to_lonlat(
                    tree.cells_array(), tree.profile
                )
                ax.annotate(
                    area.name,
                    (float(np.median(lon)), float(np.median(lat))),
                    ha="center",
                    fontsize=7,
                )
    _save(ax.figure, out)
    plt.close(ax.figure)


def cmd_plot(args: argparse.Namespace) -> int:
    profile = _PROFILES[args.profile]()
    pairs = cover_each(args.file, args.resolution, profile, args.quiet)
    geometries = [a.geojson.get("geometry", a.geojson) for a, _ in pairs]
    outline = {"type": "GeometryCollection", "geometries": [g for g in geometries if g is not None]}
    _draw(
        pairs,
        args.plane,
        outline,
        f"{os.path.basename(args.file)} at resolution {args.resolution}",
        args.output,
    )
    return 0


def _halo(tree: _kivet.Tree) -> _kivet.Tree:
    """The cells at the tree's depth that touch it by an edge and are not in it."""
    leaves = tree.leaves_array()
    around = np.unique(_kivet._cell_neighbours(leaves, tree.profile))
    return _kivet.Tree.from_cells(around.tolist(), tree.depth, tree.profile).difference(tree)


def demo_rows(
    resolution: int, quiet: bool
) -> tuple[list[dict[str, Any]], list[tuple[Area, _kivet.Tree]]]:
    """Fingerprints of the bundled countries and, for each, the countries its halo meets."""
    profile = _kivet.Profile.ogc()
    data = resources.files("kivet") / "data" / "countries.geo.json"
    with resources.as_file(data) as path:
        pairs = cover_each(str(path), resolution, profile, quiet)
    index = _kivet.Index()
    for area, tree in pairs:
        index.add(area.name, tree)
    rows = []
    progress = Progress("neighbours", len(pairs), quiet)
    for area, tree in pairs:
        hits = index.query(_halo(tree))
        neighbours = sorted(h["key"] for h in hits if h["key"] != area.name)
        rows.append(
            {
                "name": area.name,
                "root": tree.root_hex,
                "cells": len(tree.cells()),
                "area_km2": round(_area_km2(tree, profile), 1),
                "neighbours": ",".join(neighbours),
            }
        )
        progress.advance()
    progress.close()
    return rows, pairs


def cmd_demo(args: argparse.Namespace) -> int:
    _check_resolution(args.resolution)
    rows, pairs = demo_rows(args.resolution, args.quiet)
    _write_rows(rows, "tsv", sys.stdout)
    if not args.no_picture:
        outline = {
            "type": "GeometryCollection",
            "geometries": [a.geojson["geometry"] for a, _ in pairs],
        }
        _draw(
            pairs,
            False,
            outline,
            f"kivet demo: {len(pairs)} countries at resolution {args.resolution}",
            args.output,
        )
        sys.stdout.write(f"wrote {args.output}\n")
    return 0


# ---- the parser ------------------------------------------------------------------------


def _common(p: argparse.ArgumentParser, resolution: bool = True, profile: bool = True) -> None:
    if resolution:
        p.add_argument(
            "-r",
            "--resolution",
            type=int,
            required=True,
            metavar="N",
            help=f"grid resolution, 0 to {_kivet.MAX_RESOLUTION} (cells of about 1 m² at 15)",
        )
    if profile:
        p.add_argument(
            "--profile",
            choices=sorted(_PROFILES),
            default="ogc",
            help="grid profile: ogc (prime meridian 50°, the default) "
            "or kivet_1 (prime meridian 0°)",
        )
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar")


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``kivet`` command."""
    parser = _Parser(
        prog="kivet",
        description="Canonical fingerprints of areas on the rHEALPix grid. "
        "Run `kivet demo` to see the main job.",
    )
    parser.add_argument("--version", action="version", version=f"kivet {_kivet.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser(
        "fingerprint",
        help="one fingerprint per feature of a GeoJSON file",
        description="One row per feature: index, name (properties.name, else id), root, "
        "canonical cell count and covered area in km².",
    )
    p.add_argument(
        "file",
        nargs="?",
        default="-",
        metavar="FILE",
        help="GeoJSON file, - for standard input (default)",
    )
    p.add_argument(
        "--format", choices=["tsv", "json"], default="tsv", help="output format (default tsv)"
    )
    _common(p)
    p.set_defaults(run=cmd_fingerprint)

    p = sub.add_parser(
        "diff",
        help="compare the areas of two GeoJSON files",
        description="Relation of A to B (equal, within, contains, overlaps, disjoint), "
        "cells and area "
        "shared, only in A and only in B, and the number of maximal subtrees where they differ.",
    )
    p.add_argument("a", metavar="A", help="GeoJSON file (all its features as one area)")
    p.add_argument("b", metavar="B", help="GeoJSON file (all its features as one area)")
    p.add_argument("--picture", metavar="OUT.png", help="also draw shared, only-A and only-B cells")
    p.add_argument(
        "--format", choices=["tsv", "json"], default="tsv", help="output format (default tsv)"
    )
    _common(p)
    p.set_defaults(run=cmd_diff)

    p = sub.add_parser(
        "cells",
        help="add cid and suid columns to a CSV of points",
        description="Copies a CSV file with a header row, adding the cid and suid of the cell "
        "holding each row's point. Streams in chunks, so files larger than memory work.",
    )
    p.add_argument(
        "file", metavar="FILE.csv", help="CSV file with a header row, - for standard input"
    )
    p.add_argument("--lon", required=True, metavar="COL", help="longitude column (degrees)")
    p.add_argument("--lat", required=True, metavar="COL", help="latitude column (degrees)")
    p.add_argument(
        "-o", "--output", metavar="OUT.csv", help="output file (default standard output)"
    )
    p.add_argument(
        "--chunk-rows",
        type=int,
        default=_CHUNK_ROWS,
        metavar="N",
        help=f"rows held in memory at once (default {_CHUNK_ROWS})",
    )
    _common(p)
    p.set_defaults(run=cmd_cells)

    p = sub.add_parser(
        "prove",
        help="write a proof of a set operation on two areas",
        description="Writes a transcript proving A op B that `kivet verify` checks "
        "from the three roots "
        "alone; prints the operation and the roots of A, B and the result.",
    )
    p.add_argument("a", metavar="A", help="GeoJSON file")
    p.add_argument("b", metavar="B", help="GeoJSON file")
    p.add_argument(
        "--op", required=True, choices=["union", "intersect", "difference"], help="set operation"
    )
    p.add_argument(
        "-o", "--output", required=True, metavar="PROOF.json", help="transcript file to write"
    )
    _common(p)
    p.set_defaults(run=cmd_prove)

    p = sub.add_parser(
        "verify",
        help="check a set-operation transcript or an opening record",
        description="Exit status 0 when the record holds, 1 when it does not.",
    )
    p.add_argument(
        "file", metavar="PROOF.json", help="transcript or opening record, - for standard input"
    )
    _common(p, resolution=False, profile=False)
    p.set_defaults(run=cmd_verify)

    p = sub.add_parser(
        "plot",
        help="draw the coverage of a GeoJSON file",
        description="Draws each feature's canonical cells (one colour each) with its outline.",
    )
    p.add_argument("file", metavar="FILE", help="GeoJSON file, - for standard input")
    p.add_argument("-o", "--output", required=True, metavar="OUT.png", help="picture to write")
    p.add_argument(
        "--plane", action="store_true", help="draw in the rHEALPix plane, where cells are squares"
    )
    _common(p)
    p.set_defaults(run=cmd_plot)

    p = sub.add_parser(
        "demo",
        help="the main job on eight bundled countries",
        description="Fingerprints eight neighbouring European countries shipped with kivet, "
        "finds each "
        "one's neighbours through a coverage index queried with its one-cell halo, prints the "
        "table and draws kivet-demo.png.",
    )
    p.add_argument(
        "-r", "--resolution", type=int, default=5, metavar="N", help="grid resolution (default 5)"
    )
    p.add_argument(
        "-o",
        "--output",
        default="kivet-demo.png",
        metavar="OUT.png",
        help="picture (default kivet-demo.png)",
    )
    p.add_argument("--no-picture", action="store_true", help="print the table only")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    p.set_defaults(run=cmd_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``kivet`` command; returns its exit status."""
    args = build_parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    prog = f"kivet {args.command}"
    try:
        return run(args)
    except CliError as e:
        sys.stderr.write(f"{prog}: {e}\n")
        return 2
    except MemoryError:
        sys.stderr.write(f"{prog}: not enough memory; try a lower resolution\n")
        return 2
    except KeyboardInterrupt:
        sys.stderr.write("\n")
        return 130
    except BrokenPipeError:
        # The reader went away (| head): stop quietly, without a traceback at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
