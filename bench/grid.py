"""Throughput of the array functions against the h3 library on the same points.

Prints points/s (or cells/s) for each operation, the median of several runs,
and the ratio to h3 doing the same work in the same run: latlng_to_cell at
resolution 9 (cells of 0.105 km², against 0.081 km² at level 10),
cell_to_latlng, grid_disk(cell, 1) for neighbours and cell_to_boundary.
h3's Python API takes one cell per call, so it runs as a loop over a
subsample; the figures are scaled to rates.
"""

import os
import time

import numpy as np

import _kivet
from timing import median_time

try:
    import h3
    import h3.api.basic_int as h3i
except ImportError:  # bench-only peer
    h3 = None

POINTS = 10_000_000
H3_SAMPLE = 200_000
RUNS = 5


def main():
    rng = np.random.default_rng(2026)
    lon = rng.uniform(-180, 180, POINTS)
    lat = np.degrees(np.arcsin(rng.uniform(-1, 1, POINTS)))
    print(f"{POINTS} random points, level 10, median of {RUNS} runs; "
          f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}")

    ours = {}
    for nthreads in (1, 0):
        t = median_time(lambda: _kivet._cells_from_lonlat(lon, lat, 10, nthreads=nthreads))
        ours["from", nthreads] = POINTS / t
        print(f"_cells_from_lonlat nthreads={nthreads}: {POINTS / t / 1e6:7.2f} M points/s")
    print(f"  nthreads=0 / nthreads=1: {ours['from', 0] / ours['from', 1]:.2f}x")
    cids = _kivet._cells_from_lonlat(lon, lat, 10)
    for name, fn, count in (
        ("_cells_to_lonlat", _kivet._cells_to_lonlat, POINTS),
        ("_cell_neighbours", _kivet._cell_neighbours, POINTS),
        ("_cell_boundaries", _kivet._cell_boundaries, POINTS // 10),
    ):
        sub = cids[:count]
        t = median_time(lambda: fn(sub, nthreads=1), 3)
        ours[name] = count / t
        print(f"{name} nthreads=1: {count / t / 1e6:7.2f} M cells/s")

    if h3 is None:
        print("h3 not installed (pip install h3) : no peer comparison")
        return
    la, lo = lat[:H3_SAMPLE].tolist(), lon[:H3_SAMPLE].tolist()
    t = median_time(lambda: [h3i.latlng_to_cell(a, b, 9) for a, b in zip(la, lo)], 3)
    h3_from = H3_SAMPLE / t
    hcells = [h3i.latlng_to_cell(a, b, 9) for a, b in zip(la, lo)]
    peers = {}
    for name, fn in (("_cells_to_lonlat", h3i.cell_to_latlng),
                     ("_cell_neighbours", lambda c: h3i.grid_disk(c, 1)),
                     ("_cell_boundaries", h3i.cell_to_boundary)):
        t = median_time(lambda: [fn(c) for c in hcells], 3)
        peers[name] = H3_SAMPLE / t
    print(f"h3 {h3.__version__}, one call per cell, {H3_SAMPLE} cells:")
    print(f"  latlng_to_cell res 9: {h3_from / 1e6:7.2f} M points/s -> _cells_from_lonlat "
          f"{ours['from', 1] / h3_from:5.1f}x (1 thread), {ours['from', 0] / h3_from:5.1f}x "
          "(nthreads=0)")
    for name, peer in (("_cells_to_lonlat", "cell_to_latlng"),
                       ("_cell_neighbours", "grid_disk k=1"),
                       ("_cell_boundaries", "cell_to_boundary")):
        print(f"  {peer:20s}: {peers[name] / 1e6:7.2f} M cells/s -> {name} "
              f"{ours[name] / peers[name]:5.1f}x")


if __name__ == "__main__":
    main()
