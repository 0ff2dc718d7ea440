"""Drawing a country's coverage at resolution 10, against the GeoJSON + geopandas route.

Both sides draw the same canonical cells into an Agg figure and render it to PNG bytes:

- kivet.plot: display rings from the array function, one compound path per tree;
- baseline: Tree.geojson() -> geopandas.GeoDataFrame.from_features -> GeoDataFrame.plot.

Prints the median time of each and the ratio (baseline / kivet.plot; > 1: kivet.plot is
faster). Reads ../shared/data/countries.geo.json beside the checkout (or in
$KIVET_DATA_DIR). Usage: python bench/plot.py [COUNTRY ...] [-r N]
"""

import argparse
import io
import json
import os
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import _kivet  # noqa: E402
import kivet  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import median_time  # noqa: E402

DATA = (
    Path(
        os.environ.get("KIVET_DATA_DIR")
        or Path(__file__).resolve().parents[1] / ".." / "shared" / "data"
    )
    / "countries.geo.json"
)


def render(fig):
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=100)
    plt.close(fig)
    return buffer


def with_kivet(tree):
    return render(kivet.plot(tree).figure)


def with_geopandas(tree):
    import geopandas

    frame = geopandas.GeoDataFrame.from_features(tree.geojson()["features"])
    return render(frame.plot().figure)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("countries", nargs="*", default=["France", "Japan"])
    parser.add_argument("-r", "--resolution", type=int, default=10)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    features = {f["properties"]["name"]: f for f in json.loads(DATA.read_text())["features"]}
    print(f"{'country':<12} {'cells':>8} {'kivet.plot s':>13} {'geojson+gpd s':>14} {'ratio':>7}")
    for name in args.countries:
        tree = _kivet.Tree.from_geojson(features[name], args.resolution)
        with_kivet(tree)  # first use: imports and font caches
        ours = median_time(lambda: with_kivet(tree), args.runs)
        base = median_time(lambda: with_geopandas(tree), args.runs)
        print(f"{name:<12} {len(tree.cells()):>8} {ours:>13.3f} {base:>14.3f} {base / ours:>7.1f}")


if __name__ == "__main__":
    main()
