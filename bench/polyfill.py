"""Polygon fill on real country outlines, against H3 in the same run.

For each country and resolution 5..11: the time of fingerprint_polygon, of
polyfill and its cells/s, and h3.polygon_to_cells (via h3.geo_to_cells) at the
H3 resolution whose mean cell area is nearest, with the per-cell speed ratio
(> 1: kivet lists cells faster than h3). fingerprint_polygon should grow with
the boundary (about x3 per level), not with the area (x9); the ratio of its
time to the previous level is printed as "fp x".

Reads ../shared/data/countries.geo.json beside the checkout (or in
$KIVET_DATA_DIR); h3 is optional
(pip install h3) and not a dependency of the package.
"""

import json
import math
import os
import statistics
import sys
import time
from pathlib import Path

import _kivet

# Beside the checkout; KIVET_DATA_DIR points elsewhere (a worktree, say).
DATA = Path(os.environ.get("KIVET_DATA_DIR") or
            Path(__file__).resolve().parents[1] / ".." / "shared" / "data") / "countries.geo.json"
COUNTRIES = ["Luxembourg", "Brazil", "Russia", "Antarctica"]
RESOLUTIONS = range(5, 12)
LIST_LIMIT = 4_000_000  # larger cid lists are skipped: memory and patience


def median_time(fn, samples=5, budget=2.0):
    """Median seconds per call; short calls are looped so each sample lasts
    at least 20 ms, long ones run fewer times within the budget."""
    t = time.perf_counter()
    out = fn()
    first = time.perf_counter() - t
    number = max(1, int(0.02 / first)) if first > 0 else 1000
    times = []
    spent = first
    while len(times) < samples and (spent < budget or len(times) < 1):
        t = time.perf_counter()
        for _ in range(number):
            fn()
        dt = time.perf_counter() - t
        spent += dt
        times.append(dt / number)
    return statistics.median(times), out


def nearest_h3_res(h3, area):
    return min(range(16), key=lambda r: abs(math.log(h3.average_hexagon_area(r, "m^2") / area)))


def main():
    if not DATA.exists():
        print(f"skipped: {DATA} not found")
        return 0
    try:
        import h3
    except ImportError:
        h3 = None
        print("h3 not installed: its columns are left empty (pip install h3)")

    features = {f["properties"]["name"]: f for f in json.loads(DATA.read_text())["features"]}
    header = (f"{'country':<11}{'res':>4}{'fp ms':>10}{'fp x':>6}{'cells':>11}"
              f"{'fill ms':>10}{'Mcells/s':>9}{'h3res':>6}{'h3 cells':>11}{'h3 ms':>10}"
              f"{'h3 Mc/s':>9}{'speed':>7}")
    print(header)
    for name in COUNTRIES:
        feature = features[name]
        geometry = feature["geometry"]
        prev_fp = prev_count = None
        for res in RESOLUTIONS:
            fp_t, _ = median_time(lambda: _kivet.fingerprint_polygon(feature, res))
            growth = f"{fp_t / prev_fp:6.1f}" if prev_fp else f"{'':>6}"
            prev_fp = fp_t
            row = f"{name:<11}{res:>4}{fp_t * 1e3:>10.2f}{growth}"
            # Counts grow about 9x a level; past the limit the list is skipped.
            if prev_count is None or prev_count * 9 <= LIST_LIMIT:
                prev_count = count = _kivet.Tree.from_geojson(feature, res).leaf_count()
            else:
                prev_count = count = prev_count * 9
            if count > LIST_LIMIT:
                print(row + f"{'(list skipped)':>21}")
                continue
            row += f"{count:>11}"
            fill_t, cells = median_time(lambda: _kivet.polyfill(feature, res))
            assert len(cells) == count
            rate = count / fill_t if fill_t else math.inf
            row += f"{fill_t * 1e3:>10.2f}{rate / 1e6:>9.2f}"
            if h3 is not None:
                hres = nearest_h3_res(h3, _kivet.cell_area_m2(res))
                try:
                    h3_t, hcells = median_time(lambda: h3.geo_to_cells(geometry, hres))
                except Exception as e:  # h3 refuses some rings (around a pole)
                    print(row + f"{hres:>6}  h3 failed: {type(e).__name__}")
                    continue
                hrate = len(hcells) / h3_t if hcells else 0.0
                speed = rate / hrate if hrate else math.inf
                row += f"{hres:>6}{len(hcells):>11}{h3_t * 1e3:>10.2f}{hrate / 1e6:>9.2f}{speed:>7.2f}"
            print(row)
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
