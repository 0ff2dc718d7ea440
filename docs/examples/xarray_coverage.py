"""Draw the picture of docs/xarray.rst: a gridded field's cells and the coverage of its warm part.

Run from the repository root:  python docs/examples/xarray_coverage.py
"""

from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

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


def main() -> None:
    lon, lat, t = field()
    ds = from_points(lon, lat, {"t": t}, LEVEL)
    everything = ds.kivet.coverage()
    warm = ds.kivet.coverage(ds["t"] > 20)

    fig, ax = plt.subplots(figsize=(9, 4.8), dpi=110)
    kivet.plot([everything, warm], ax=ax, color=["#d7e3ef", "#d6604d"], edgecolor="white")
    ax.set_xlabel("longitude")
    ax.set_ylabel("latitude")
    ax.set_title(
        f"{ds.sizes['cells']} cells at level {LEVEL}; red: the {len(warm.cells())} canonical "
        f"cells of t > 20, root {warm.root_hex[:12]}…",
        fontsize=9,
    )
    out = Path(__file__).resolve().parent.parent / "_static" / "xarray_coverage.png"
    fig.savefig(out, bbox_inches="tight")
    print(out, len(warm.cells()), "canonical cells,", warm.leaf_count(), "leaves")


if __name__ == "__main__":
    main()
