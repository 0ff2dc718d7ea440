"""kivet: canonical fingerprints of areas on the rHEALPix discrete global grid.

An area becomes a set of equal-area cells held as a canonical tree, so one set of cells always
yields one 32-byte SHA-256 root: its fingerprint. Start with :func:`coverage` (a `Tree` from
GeoJSON, shapely or geopandas), :func:`fingerprints` (one root per feature) and
:func:`cells_from_lonlat` (the cell of each point, array-wide).
"""

from _kivet import (
    KIVET_1,
    MAX_RESOLUTION,
    OGC_RHEALPIX,
    Index,
    Profile,
    Tree,
    __version__,
    cell_area_m2,
    cell_at,
    cells_geojson,
    cid_to_suid,
    fingerprint_polygon,
    halo_index,
    neighbours,
    position,
    raster_cells,
    raster_index,
    subzone_at,
    subzone_index,
    subzones,
    suid_to_cid,
    verify_opening,
    verify_setop,
)

from ._arrays import cell_boundaries, cell_neighbours, cells_from_lonlat, cells_to_lonlat
from .cells import Resolution, children, level, parent, resolutions
from .geometry import coverage, fingerprints, polyfill
from .trees import union_all

__all__ = [
    "KIVET_1",
    "MAX_RESOLUTION",
    "OGC_RHEALPIX",
    "Index",
    "Profile",
    "Resolution",
    "Tree",
    "__version__",
    "cell_area_m2",
    "cell_at",
    "cell_boundaries",
    "cell_neighbours",
    "cells_from_lonlat",
    "cells_geojson",
    "cells_to_lonlat",
    "children",
    "cid_to_suid",
    "coverage",
    "fingerprint_polygon",
    "fingerprints",
    "halo_index",
    "level",
    "neighbours",
    "parent",
    "polyfill",
    "position",
    "raster_cells",
    "raster_index",
    "resolutions",
    "subzone_at",
    "subzone_index",
    "subzones",
    "suid_to_cid",
    "union_all",
    "verify_opening",
    "verify_setop",
]

# Pictures: matplotlib is imported only when kivet.plot is called.
from ._plot import plot  # noqa: E402

__all__ += ["plot"]
