"""Raster throughput against a memory copy measured in the same run.

Coverage: a polygon (all countries of the shared data file as one
MultiPolygon, filled at the depth) when polygon fill is built and the file is
present; otherwise a raster mask of discs,
one per base cell, read with Tree.from_raster. The output says which.

baseline = numpy copying the same number of bytes into a new array (what
`raster` does: allocate a result and write every byte).
Goal: Tree.raster within 4x of the copy.

usage: python bench/rasters.py [--quick]
"""
import json
import sys
import time
from pathlib import Path

import numpy as np

import _kivet
from _kivet import Tree
from timing import median_time

RUNS = 5
DATA = Path(__file__).resolve().parents[1] / ".." / "shared" / "data" / "countries.geo.json"


def copy_time(nbytes, runs=RUNS):
    src = np.ones(nbytes, np.uint8)
    return median_time(lambda: src.copy(), runs)


def disc_coverage(depth):
    n = 3**depth
    y, x = np.mgrid[0:n, 0:n]
    masks = []
    for b in range(6):
        cx, cy, r = n * (0.3 + 0.08 * b), n * (0.6 - 0.05 * b), n * (0.2 + 0.04 * b)
        masks.append((x - cx) ** 2 + (y - cy) ** 2 < r * r)
    return Tree.from_raster(np.stack(masks).astype(np.uint8).tobytes(), depth)


def polygon_coverage(depth):
    if not hasattr(Tree, "from_geojson") or not DATA.exists():
        return None
    # Every country as one MultiPolygon: the land masses of the world.
    polygons = []
    for feature in json.loads(DATA.read_text())["features"]:
        g = feature["geometry"]
        polygons += [g["coordinates"]] if g["type"] == "Polygon" else g["coordinates"]
    return Tree.from_geojson({"type": "MultiPolygon", "coordinates": polygons}, depth)


def main():
    quick = "--quick" in sys.argv
    depths = [7] if quick else [7, 8]
    print(f"{'depth':>5} {'coverage':>8} {'MB':>8} {'copy MB/s':>10} {'raster MB/s':>12}"
          f" {'ratio':>6} {'from_raster MB/s':>17} {'ratio':>6}")
    for depth in depths:
        tree = polygon_coverage(depth)
        kind = "polygon"
        if tree is None:
            tree, kind = disc_coverage(depth), "discs"
        data = tree.raster()
        mb = len(data) / 1e6
        t_copy = copy_time(len(data))
        t_raster = median_time(tree.raster)
        t_from = median_time(lambda: Tree.from_raster(data, depth))
        assert Tree.from_raster(data, depth) == tree
        print(f"{depth:>5} {kind:>8} {mb:>8.1f} {mb / t_copy:>10.0f} {mb / t_raster:>12.0f}"
              f" {t_raster / t_copy:>6.2f} {mb / t_from:>17.0f} {t_from / t_copy:>6.2f}")

    level, width = (7, 1) if quick else (8, 1)
    runs = 3
    t_halo = median_time(lambda: _kivet.halo_index(level, width), runs)
    nbytes = 6 * (3**level + 2 * width) ** 2 * 8
    t_copy = copy_time(nbytes, runs)
    print(f"halo_index({level}, {width}): {nbytes / 1e6:.0f} MB in {t_halo * 1e3:.0f} ms,"
          f" copy {t_copy * 1e3:.0f} ms, ratio {t_halo / t_copy:.2f}")


if __name__ == "__main__":
    main()
