"""Throughput of the array functions, each goal printed as a ratio against a
baseline measured in the same run.

- _cells_to_lonlat, one thread, per cell / _cells_from_lonlat per point
  (goal <= 1), and its gain from the shared pool (goal: about 1.9x);
- _cells_from_lonlat, one thread, per point: at most 45 ns, and against NumPy
  sin + arcsin + arctan2 over the same arrays (45/13: 45 ns where NumPy took
  13 ns on the machine of the goal);
- _cell_boundaries at level 10 per cell / _cells_to_lonlat per cell (goal <= 6);
- with h3ronpy installed (bench-only peer): its array-wide
  coordinates_to_cells and cells_to_coordinates over the same points, and h3's
  one-call-per-cell functions on a subsample.

One-thread figures are the CPU time of the calling thread (time.thread_time),
which the other jobs on a shared machine disturb far less than wall time; the
pool's gain compares wall times, since its threads' CPU times add up. With
--against DIR the one-thread figures of another build of the extension (say,
the branch point's, built into DIR) are measured in a child process in the
same run and printed beside them.

usage: python bench/grid.py [--quick] [--against DIR]
"""

import glob
import json
import os
import subprocess
import sys
import time

import numpy as np

import _kivet
from timing import median_time, verdict

try:
    import h3
    import h3.api.basic_int as h3i
except ImportError:  # bench-only peer
    h3 = None
try:
    import h3ronpy.vector as h3v
except ImportError:  # bench-only peer
    h3v = None

H3_SAMPLE = 200_000


def median_cpu(fn, runs):
    """Median CPU time of the calling thread over `runs` calls of fn()."""
    return median_time(fn, runs, clock=time.thread_time)


def sample(points):
    rng = np.random.default_rng(2026)
    lon = rng.uniform(-180, 180, points)
    lat = np.degrees(np.arcsin(rng.uniform(-1, 1, points)))
    return lon, lat


def one_thread(lon, lat, runs):
    """CPU seconds of the three functions on one thread, and the cids."""
    cids = _kivet._cells_from_lonlat(lon, lat, 10)
    ring_cids = cids[: lon.size // 10]
    return {
        "from": median_cpu(lambda: _kivet._cells_from_lonlat(lon, lat, 10, nthreads=1), runs),
        "to": median_cpu(lambda: _kivet._cells_to_lonlat(cids, nthreads=1), runs),
        "rings": median_cpu(lambda: _kivet._cell_boundaries(ring_cids, nthreads=1), runs),
    }, cids


def child():
    points, runs = int(sys.argv[2]), int(sys.argv[3])
    times, _ = one_thread(*sample(points), runs)
    print(json.dumps(times))


def main():
    quick = "--quick" in sys.argv
    points = 1_000_000 if quick else 10_000_000
    runs = 3 if quick else 5
    lon, lat = sample(points)
    print(f"{points:,} random points, level 10, median of {runs} runs; "
          f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}; "
          "one thread in CPU time, pools in wall time")

    def per(t, n=points):
        return t / n * 1e9

    cpu, cids = one_thread(lon, lat, runs)
    from1, to1, rings = cpu["from"], cpu["to"], cpu["rings"]
    ring_cids = cids[: points // 10]
    wall_from1 = median_time(lambda: _kivet._cells_from_lonlat(lon, lat, 10, nthreads=1), runs)
    from0 = median_time(lambda: _kivet._cells_from_lonlat(lon, lat, 10, nthreads=0), runs)
    wall_to1 = median_time(lambda: _kivet._cells_to_lonlat(cids, nthreads=1), runs)
    to0 = median_time(lambda: _kivet._cells_to_lonlat(cids, nthreads=0), runs)
    x, y = np.radians(lon), np.radians(lat)
    s = np.sin(y)

    def numpy_trig():
        np.sin(x)
        np.arcsin(s)
        return np.arctan2(y, x)

    trig = median_cpu(numpy_trig, runs)

    print(f"_cells_from_lonlat, 1 thread: {per(from1):6.1f} ns/point (goal <= 45: "
          f"{verdict(per(from1) <= 45)}); NumPy sin+arcsin+arctan2 {per(trig):5.1f} ns/point; "
          f"ratio {from1 / trig:5.2f} (goal <= 3.46, 45 ns at 13: "
          f"{verdict(from1 <= 45 / 13 * trig)})")
    print(f"  shared pool: {per(from0):6.1f} ns/point wall, {wall_from1 / from0:4.2f}x one "
          "thread's wall time")
    print(f"_cells_to_lonlat,   1 thread: {per(to1):6.1f} ns/cell; / _cells_from_lonlat "
          f"{to1 / from1:5.2f} (goal <= 1: {verdict(to1 <= from1)})")
    print(f"  shared pool: {per(to0):6.1f} ns/cell wall, {wall_to1 / to0:4.2f}x one thread's "
          "wall time (goal ~1.9)")
    print(f"_cell_boundaries,   1 thread: {per(rings, ring_cids.size):6.1f} ns/cell; "
          f"/ _cells_to_lonlat {per(rings, ring_cids.size) / per(to1):5.2f} "
          f"(goal <= 6: {verdict(per(rings, ring_cids.size) <= 6 * per(to1))})")
    if "--against" in sys.argv:
        other = sys.argv[sys.argv.index("--against") + 1]
        # The other build first; drop the entries that hold this build.
        keep = [d for d in os.environ.get("PYTHONPATH", "").split(os.pathsep)
                if d and not glob.glob(os.path.join(d, "_kivet*.so"))]
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.abspath(other)] + keep))
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", str(points),
                              str(runs)], env=env, check=True, capture_output=True, text=True)
        old = json.loads(out.stdout)
        print(f"build in {other}, same points, 1 thread: "
              f"_cells_from_lonlat {per(old['from']):6.1f} ns ({old['from'] / from1:4.2f}x this), "
              f"_cells_to_lonlat {per(old['to']):6.1f} ns ({old['to'] / to1:4.2f}x), "
              f"_cell_boundaries {per(old['rings'], ring_cids.size):6.1f} ns "
              f"({old['rings'] / rings:4.2f}x)")
    neighbours = median_cpu(lambda: _kivet._cell_neighbours(ring_cids, nthreads=1), runs)
    print(f"_cell_neighbours,   1 thread: {per(neighbours, ring_cids.size):6.1f} ns/cell")

    if h3v is not None:
        import h3ronpy
        res = np.full(points, 9, dtype=np.uint8)
        peer_from = median_time(lambda: h3v.coordinates_to_cells(lat, lon, res), runs)
        hcells = h3v.coordinates_to_cells(lat, lon, res)
        peer_to = median_time(lambda: h3v.cells_to_coordinates(hcells), runs)
        print(f"h3ronpy {h3ronpy.__version__} (array-wide, its own threading), resolution 9, "
              "wall times against wall times:")
        print(f"  coordinates_to_cells {per(peer_from):6.1f} ns/point -> _cells_from_lonlat "
              f"{peer_from / wall_from1:4.2f}x as fast (1 thread), {peer_from / from0:4.2f}x "
              "(shared pool)")
        print(f"  cells_to_coordinates {per(peer_to):6.1f} ns/cell  -> _cells_to_lonlat "
              f"{peer_to / wall_to1:4.2f}x as fast (1 thread), {peer_to / to0:4.2f}x "
              "(shared pool)")
    else:
        print("h3ronpy not installed: no array-wide peer")

    if h3 is None:
        print("h3 not installed: no per-cell peer")
        return
    la, lo = lat[:H3_SAMPLE].tolist(), lon[:H3_SAMPLE].tolist()
    t = median_time(lambda: [h3i.latlng_to_cell(a, b, 9) for a, b in zip(la, lo)], 3)
    hc = [h3i.latlng_to_cell(a, b, 9) for a, b in zip(la, lo)]
    t_to = median_time(lambda: [h3i.cell_to_latlng(c) for c in hc], 3)
    t_ring = median_time(lambda: [h3i.cell_to_boundary(c) for c in hc], 3)
    print(f"h3 {h3.__version__}, one Python call per cell, {H3_SAMPLE:,} cells:")
    print(f"  latlng_to_cell {per(t, H3_SAMPLE):6.1f} ns, cell_to_latlng "
          f"{per(t_to, H3_SAMPLE):6.1f} ns, cell_to_boundary {per(t_ring, H3_SAMPLE):6.1f} ns")


if __name__ == "__main__":
    if "--child" in sys.argv:
        child()
    else:
        main()
