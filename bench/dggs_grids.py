"""The rHEALPix grid in xdggs against xdggs's own HEALPix grid, on the same number of cells.

For N random cells of each grid (rHEALPix level 7, 5.9 km² cells; HEALPix level 11, 10.2 km²
cells) it times, through the xdggs accessor, decoding, cell centres, cell boundaries as shapely
polygons, the point lookup of sel_latlon's first step and the move to the parent level, and
prints each operation's median time and the ratio HEALPix / rHEALPix (above 1: kivet is
faster). Then it times the fingerprint of a flag on the same data in memory and in 16 chunks
and prints their ratio, for the synchronous and the threaded scheduler, with the cells in cid
order and shuffled.
"""

import os

import dask
import numpy as np
import xarray as xr

import kivet
import kivet.xdggs
from timing import median_time

N = 200_000
RUNS = 5


def unique_cells(cids, n):
    cids = np.unique(cids)
    return np.random.default_rng(1).permutation(cids)[:n]


def main():
    rng = np.random.default_rng(0)
    lon = rng.uniform(-180, 180, 3 * N)
    lat = np.degrees(np.arcsin(rng.uniform(-1, 1, 3 * N)))
    rh = unique_cells(kivet.cells_from_lonlat(lon, lat, 7), N)
    hp = unique_cells(rng.integers(0, 12 * 4**11, 3 * N, dtype=np.uint64), rh.size)
    n = min(rh.size, hp.size)
    rh, hp = rh[:n], hp[:n]
    grids = {
        "rhealpix": (rh, {"grid_name": "rhealpix", "level": 7}),
        "healpix": (hp, {"grid_name": "healpix", "level": 11, "indexing_scheme": "nested"}),
    }
    raw = {
        name: xr.Dataset(
            {"v": ("cells", rng.random(n))}, coords={"cell_ids": ("cells", cids, attrs)}
        )
        for name, (cids, attrs) in grids.items()
    }
    decoded = {name: ds.dggs.decode() for name, ds in raw.items()}
    plon, plat = lon[:n], lat[:n]
    operations = {
        "decode": lambda name: raw[name].dggs.decode(),
        "cell_centers": lambda name: decoded[name].dggs.cell_centers(),
        "cell_boundaries": lambda name: decoded[name].dggs.cell_boundaries(),
        "lookup": lambda name: decoded[name].dggs.grid_info.geographic2cell_ids(plon, plat),
        "zoom_to parent": lambda name: decoded[name].dggs.zoom_to(
            decoded[name].dggs.grid_info.level - 1
        ),
    }
    print(f"{n} cells per grid, median of {RUNS} runs, {os.cpu_count()} processors")
    for op, fn in operations.items():
        t_rh = median_time(lambda: fn("rhealpix"), RUNS)
        t_hp = median_time(lambda: fn("healpix"), RUNS)
        print(f"{op:16s} rhealpix {t_rh * 1e3:8.1f} ms   healpix {t_hp * 1e3:8.1f} ms   "
              f"healpix/rhealpix {t_hp / t_rh:6.2f}")

    # Chunks of cells in cid order cover disjoint parts of the grid and their trees meet
    # cheaply; shuffled cells make every chunk's tree span the globe, the costly case.
    shuffled = decoded["rhealpix"]
    for order, ds in (("cid order", shuffled.sortby("cell_ids")), ("shuffled", shuffled)):
        lazy = ds.chunk({"cells": -(-n // 16)})
        t_mem = median_time(lambda: ds.kivet.fingerprint(ds.v > 0.5), RUNS)
        for scheduler in ("sync", "threads"):
            with dask.config.set(scheduler=scheduler):
                assert lazy.kivet.fingerprint(lazy.v > 0.5) == ds.kivet.fingerprint(ds.v > 0.5)
                t_lazy = median_time(lambda: lazy.kivet.fingerprint(lazy.v > 0.5), RUNS)
            print(f"fingerprint, {order:9s}: in memory {t_mem * 1e3:6.1f} ms, 16 chunks "
                  f"({scheduler:7s}) {t_lazy * 1e3:6.1f} ms, chunked/in-memory "
                  f"{t_lazy / t_mem:5.2f}")

if __name__ == "__main__":
    main()
