"""Throughput of the array functions against the h3 library on the same points.

Prints points/s (or cells/s) for each operation, the median of several runs, and
the ratio to h3's latlng_to_cell at resolution 9 (cells of similar size to
level 10: 0.105 km² against 0.081 km²) measured in the same run.
"""

import statistics
import sys
import time

import numpy as np

import _kivet

try:
    import h3
    import h3.api.basic_int
except ImportError:  # bench-only peer
    h3 = None

POINTS = 10_000_000
RUNS = 5


def median_time(fn, runs=RUNS):
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def h3_rate(lon, lat):
    """Points/s of h3.latlng_to_cell at resolution 9, one thread.

    h3's Python API converts one point per call; its C core is what a vectorised
    wrapper would reach, so both the per-call Python rate and an estimate of the
    C core alone (the Python call overhead of a no-op builtin subtracted) are
    reported.
    """
    n = 200_000
    la, lo = lat[:n].tolist(), lon[:n].tolist()
    f = h3.api.basic_int.latlng_to_cell
    t = median_time(lambda: [f(a, b, 9) for a, b in zip(la, lo)], 3)
    g = max
    overhead = median_time(lambda: [g(a, b, 9) for a, b in zip(la, lo)], 3)
    return n / t, n / max(t - overhead, 1e-9)


def main():
    rng = np.random.default_rng(2026)
    lon = rng.uniform(-180, 180, POINTS)
    lat = np.degrees(np.arcsin(rng.uniform(-1, 1, POINTS)))
    print(f"{POINTS} random points, level 10, median of {RUNS} runs")

    rates = {}
    for nthreads in (1, 0):
        t = median_time(lambda: _kivet._cells_from_lonlat(lon, lat, 10, nthreads=nthreads))
        rates[nthreads] = POINTS / t
        print(f"_cells_from_lonlat nthreads={nthreads}: {POINTS / t / 1e6:8.2f} M points/s")
    cids = _kivet._cells_from_lonlat(lon, lat, 10)
    for name, fn, count in (
        ("_cells_to_lonlat", lambda c: _kivet._cells_to_lonlat(c, nthreads=1), POINTS),
        ("_cell_neighbours", lambda c: _kivet._cell_neighbours(c, nthreads=1), POINTS),
        ("_cell_boundaries", lambda c: _kivet._cell_boundaries(c, nthreads=1), POINTS // 10),
    ):
        sub = cids[:count]
        t = median_time(lambda: fn(sub), 3)
        print(f"{name} nthreads=1: {count / t / 1e6:8.2f} M cells/s")
    print(f"two-core speed-up of _cells_from_lonlat: {rates[0] / rates[1]:.2f}x")

    if h3 is None:
        print("h3 not installed: pip install h3 for the comparison")
        return
    per_call, core = h3_rate(lon, lat)
    print(f"h3 {h3.__version__} latlng_to_cell res 9 (Python loop): {per_call / 1e6:8.2f} M points/s")
    print(f"h3 latlng_to_cell, call overhead removed (C core):  {core / 1e6:8.2f} M points/s")
    print(f"ratio one thread vs h3 loop: {rates[1] / per_call:6.1f}x; vs h3 C core: {rates[1] / core:5.1f}x")
    print(f"ratio nthreads=0 vs h3 loop: {rates[0] / per_call:6.1f}x; vs h3 C core: {rates[0] / core:5.1f}x")


if __name__ == "__main__":
    sys.exit(main())
