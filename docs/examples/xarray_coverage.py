"""Draw the picture of docs/xarray.rst: a gridded field's cells and the coverage of its warm part.

Run from the repository root:  python docs/examples/xarray_coverage.py
"""

from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.collections import PolyCollection  # noqa: E402

import kivet  # noqa: E402
from kivet.xdggs import from_points  # noqa: E402

LEVEL = 3


def field() -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """A 1° raster of a smooth made-up temperature: warm at the equator, a warm tongue east."""
    lon = np.arange(-179.5, 180, 1.0)
    lat = np.arange(-89.5, 90, 1.0)
    x, y = np.meshgrid(np.radians(lon), np.radians(lat))
    t = 28 * np.cos(y) ** 2 + 6 * np.sin(2 * x) * np.cos(y) - 2
    return lon, lat, t


def polygons(cids: np.ndarray, values: np.ndarray | None = None):
    """Each cell's ring and value, plus a copy shifted west for rings drawn east of 180°."""
    coords, offsets = kivet.cell_boundaries(np.asarray(cids, dtype=np.uint64), n=8)
    rings, colours = [], []
    for i in range(len(offsets) - 1):
        ring = coords[offsets[i] : offsets[i + 1]]
        copies = [ring, ring - [360.0, 0.0]] if ring[:, 0].max() > 180 else [ring]
        rings.extend(copies)
        if values is not None:
            colours.extend([values[i]] * len(copies))
    return rings, np.asarray(colours)


def main() -> None:
    lon, lat, t = field()
    ds = from_points(lon, lat, {"t": t}, LEVEL)
    warm = ds.kivet.coverage(ds["t"] > 20)

    fig, ax = plt.subplots(figsize=(9, 4.8), dpi=110)
    rings, colours = polygons(ds["cell_ids"].values, ds["t"].values)
    cells = PolyCollection(
        rings, array=colours, cmap="coolwarm", edgecolors="white", linewidths=0.2
    )
    ax.add_collection(cells)
    outline = PolyCollection(
        polygons(np.asarray(warm.cells()))[0], facecolors="none", edgecolors="black", linewidths=0.9
    )
    ax.add_collection(outline)
    fig.colorbar(cells, ax=ax, label="t (made-up °C)", shrink=0.8)
    ax.set_xlim(-180, 180)
    ax.set_ylim(-90, 90)
    ax.set_aspect("equal")
    ax.set_xlabel("longitude")
    ax.set_ylabel("latitude")
    ax.set_title(
        f"{ds.sizes['cells']} cells at level {LEVEL}; black: the canonical cells of t > 20, "
        f"root {warm.root_hex[:12]}…",
        fontsize=9,
    )
    out = Path(__file__).resolve().parent.parent / "_static" / "xarray_coverage.png"
    fig.savefig(out, bbox_inches="tight")
    print(out, len(warm.cells()), "canonical cells,", warm.leaf_count(), "leaves")


if __name__ == "__main__":
    main()
