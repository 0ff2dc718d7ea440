"""rHEALPix in xarray: an xdggs grid, the ``.kivet`` accessor and datasets built from points.

Importing this module registers the grid name ``"rhealpix"`` with xdggs and the accessor
``kivet`` on Datasets and DataArrays. A dataset whose ``cell_ids`` coordinate carries
``grid_name="rhealpix"`` and ``level=N`` (and optionally ``profile``, the ten profile fields)
decodes with ``ds.dggs.decode()``; every conversion then runs on kivet's array functions.

Requires the ``xarray`` extra (xarray and xdggs); Dask is used when the data is chunked.
"""

from __future__ import annotations

import numbers
import os
import pickle
from collections.abc import Callable, Hashable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt
try:
    import xarray as xr
    import xdggs
    from xarray.indexes import PandasIndex
    from xdggs.ellipsoid import Ellipsoid
except ImportError as exc:
    raise ImportError(
        f"kivet.xdggs needs xarray and xdggs 0.6 or later: pip install 'kivet[xarray]' ({exc})"
    ) from exc

import _kivet

from ._arrays import (
    as_cids,
    cell_boundaries,
    cell_neighbours,
    cells_from_lonlat,
    cells_to_lonlat,
    engine_ready,
)
from .geometry import coverage as _geometry_coverage
from ._typing import GeometryLike, ProfileLike

__all__ = ["KivetAccessor", "RHEALPixIndex", "RHEALPixInfo", "from_points"]

GRID_NAME = "rhealpix"
DIRECTIONS = ("up", "right", "down", "left")
AGGREGATIONS = ("mean", "median", "sum", "count", "min", "max")


def _check_profile(profile: Any) -> _kivet.Profile:
    if profile is None:
        return _kivet.Profile.ogc()
    if not isinstance(profile, _kivet.Profile):
        kind = type(profile).__name__
        raise TypeError(f"argument 'profile' must be a kivet.Profile or None, not {kind}")
    return profile


def _read_profile(value: Any) -> _kivet.Profile:
    """A profile from the coordinate attribute: a Profile, its dict, its field list or JSON text."""
    if isinstance(value, _kivet.Profile):
        return value
    if isinstance(value, np.ndarray):
        # netCDF readers hand a list attribute back as an array.
        value = value.tolist()
    return _kivet.Profile.from_dict(value)


def _check_level(level: Any, profile: _kivet.Profile, name: str = "level") -> int:
    if isinstance(level, bool) or not isinstance(level, numbers.Integral):
        raise TypeError(f"argument '{name}' must be an int, not {type(level).__name__}")
    value = int(level)
    if value < 0:
        raise ValueError(f"argument '{name}': {value} is negative, not a level")
    # The engine owns the deepest level of a profile's hierarchy and its message.
    _kivet.cell_at(0, value, 0, 0, profile)
    return value


def _check_cells(cids: npt.NDArray[np.uint64], level: int, profile: _kivet.Profile) -> None:
    """Refuse any cid that is not a cell of `level`, naming the first one by its index."""
    a, b = profile.aperture, profile.n_base
    low, high = a * a**level, (a + b) * a**level
    # Every integer in [A·A^L, (A+B)·A^L) is a cid of level L and nothing else is.
    bad = (cids < low) | (cids >= high)
    if not bad.any():
        return
    index = int(np.argmax(bad))
    cid = int(cids[index])
    try:
        own = int(_kivet.position(cid, profile)[1])
    except ValueError as exc:
        raise ValueError(f"cell {index}: {exc}") from None
    raise ValueError(f"cell {index}: cid {cid} is at level {own}, not the grid's level {level}")


def _available_bytes() -> int:
    try:
        with open("/proc/meminfo") as info:
            for line in info:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    try:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        return 1 << 62


def _ensure_memory(nbytes: int, what: str) -> None:
    # Filling an overcommitted array could bring the kernel's OOM killer instead of an error.
    if nbytes >= 64 << 20 and nbytes > _available_bytes():
        raise MemoryError(f"{what} cannot be allocated")


def _polygons_shapely(coords: npt.NDArray[np.float64], offsets: npt.NDArray[np.int64]) -> Any:
    import shapely

    parts = np.arange(offsets.size, dtype=np.int64)
    return shapely.from_ragged_array(shapely.GeometryType.POLYGON, coords, (offsets, parts))


def _polygons_geoarrow(coords: npt.NDArray[np.float64], offsets: npt.NDArray[np.int64]) -> Any:
    import json

    import pyproj
    from arro3.core import list_array

    if coords.shape[0] > np.iinfo(np.int32).max:
        raise ValueError(f"{coords.shape[0]} boundary points do not fit a geoarrow polygon array")
    parts = np.arange(offsets.size, dtype=np.int32)
    array = list_array(parts, list_array(offsets.astype(np.int32), coords))
    crs = pyproj.CRS.from_epsg(4326)
    return array.cast(
        array.field.with_metadata(
            {
                "ARROW:extension:name": "geoarrow.polygon",
                "ARROW:extension:metadata": json.dumps({"crs": crs.to_json_dict()}),
            }
        )
    )


_BACKENDS = {"shapely": _polygons_shapely, "geoarrow": _polygons_geoarrow}


@dataclass(frozen=True)
class RHEALPixInfo(xdggs.DGGSInfo):  # type: ignore[misc]
    """The rHEALPix grid at one level, read against one kivet `Profile`.

    Parameters
    ----------
    level : int
        The level of the cells, 0 (six base cells) to the profile's deepest level.
    profile : kivet.Profile, default: the OGC rHEALPix profile
        The grid's parameters. ``ellipsoid`` is derived from it.
    """

    level: int
    profile: _kivet.Profile = field(default_factory=_kivet.Profile.ogc)
    ellipsoid: Ellipsoid = field(init=False, compare=False, repr=False)

    def __post_init__(self) -> None:
        profile = _check_profile(self.profile)
        object.__setattr__(self, "profile", profile)
        object.__setattr__(self, "level", _check_level(self.level, profile))
        object.__setattr__(
            self,
            "ellipsoid",
            Ellipsoid(
                semimajor_axis=profile.to_dict()["a_um"] / 1e6,
                inverse_flattening=profile.to_dict()["inv_f_nano"] / 1e9,
            ),
        )

    def __hash__(self) -> int:
        return hash((self.level, self.profile))

    def __reduce__(self) -> tuple[Any, ...]:
        # Through the profile's dict: pickling and deep copies (``ds.copy(deep=True)``, Dask
        # workers) must not depend on the engine's objects pickling.
        return (_grid_info, (self.level, self.profile.to_dict()))

    @classmethod
    def from_dict(cls, mapping: Mapping[str, Any]) -> RHEALPixInfo:
        """The grid of a coordinate's attributes: ``level`` (or ``resolution``) and an optional
        ``profile`` (its dict, its ten-value list or JSON text). ``grid_name`` is ignored."""
        params: dict[str, Any] = {}
        for key, value in mapping.items():
            if key == "grid_name":
                continue
            name = "level" if key == "resolution" else key
            if name not in ("level", "profile"):
                raise ValueError(
                    f"unknown rhealpix grid parameter {key!r}; expected level and profile"
                )
            if name in params:
                raise ValueError("the rhealpix grid got both 'level' and 'resolution'")
            params[name] = _read_profile(value) if name == "profile" else value
        if "level" not in params:
            raise ValueError("the rhealpix grid needs a 'level' attribute")
        return cls(**params)

    def to_dict(self) -> dict[str, Any]:
        """The attributes of the cell ids coordinate: grid name, level and the profile's fields."""
        return {"grid_name": GRID_NAME, "level": self.level, "profile": self.profile.to_dict()}

    def check_cells(self, cell_ids: npt.ArrayLike) -> npt.NDArray[np.uint64]:
        """`cell_ids` as uint64 after checking that every one is a cell of this level."""
        cids = as_cids(cell_ids, "cell_ids")
        _check_cells(cids.reshape(-1), self.level, self.profile)
        return cids

    def cell_ids2geographic(
        self, cell_ids: npt.ArrayLike
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """The nucleus of each cell as ``(lon, lat)`` arrays, degrees."""
        lon, lat = cells_to_lonlat(self.check_cells(cell_ids), profile=self.profile)
        return np.asarray(lon), np.asarray(lat)

    def geographic2cell_ids(self, lon: npt.ArrayLike, lat: npt.ArrayLike) -> npt.NDArray[np.uint64]:
        """The cell of this level holding each point (degrees), as uint64 cids."""
        return np.asarray(
            cells_from_lonlat(lon, lat, self.level, profile=self.profile), dtype=np.uint64
        )

    def cell_boundaries(self, cell_ids: npt.ArrayLike, backend: str = "shapely") -> Any:
        """Each cell's polygon: closed, counterclockwise, densified on polar cells, shifted east
        of 180° where it crosses the antimeridian.

        ``backend="shapely"`` gives an array of shapely Polygons, ``"geoarrow"`` a geoarrow
        polygon array (what xdggs draws with).
        """
        make = _BACKENDS.get(backend)
        if make is None:
            raise ValueError(f"invalid backend: {backend!r}; expected 'shapely' or 'geoarrow'")
        cids = self.check_cells(cell_ids).reshape(-1)
        coords, offsets = cell_boundaries(cids, profile=self.profile)
        return make(coords, offsets)

    def zoom_to(self, cell_ids: npt.ArrayLike, level: int) -> npt.NDArray[np.uint64]:
        """The cells at `level`: each cell's ancestor (shape as `cell_ids`) for a coarser level,
        its descendants in digit order (one more axis) for a finer one."""
        target = _check_level(level, self.profile)
        cids = self.check_cells(cell_ids)
        a = int(self.profile.aperture)
        if target <= self.level:
            ancestors: npt.NDArray[np.uint64] = cids // np.uint64(a ** (self.level - target))
            return ancestors
        span = a ** (target - self.level)
        _ensure_memory(cids.size * span * 8, f"an array of {cids.size * span} children")
        first = cids[..., np.newaxis] * np.uint64(span)
        return first + np.arange(span, dtype=np.uint64)


def _grid_info(level: int, profile: dict[str, Any]) -> RHEALPixInfo:
    return RHEALPixInfo(level, _kivet.Profile.from_dict(profile))


@xdggs.register_dggs(GRID_NAME)
class RHEALPixIndex(xdggs.DGGSIndex):  # type: ignore[misc]
    """The xdggs index of rHEALPix cell ids; the cids are checked against the grid's level."""

    def __init__(self, cell_ids: Any, dim: Hashable, name: Hashable, grid_info: RHEALPixInfo):
        if not isinstance(grid_info, RHEALPixInfo):
            raise TypeError(f"grid_info must be a RHEALPixInfo, not {type(grid_info).__name__}")
        if not isinstance(cell_ids, xr.Index):
            cell_ids = grid_info.check_cells(np.asarray(cell_ids))
        super().__init__(cell_ids, dim, grid_info)
        self._name = name
        self._index.index.name = name

    @classmethod
    def from_variables(
        cls, variables: Mapping[Any, xr.Variable], *, options: Mapping[str, Any]
    ) -> RHEALPixIndex:
        """The index of the one cell ids variable, its grid read from its attributes."""
        if len(variables) != 1:
            raise ValueError(f"an rhealpix index takes one cell ids variable, got {len(variables)}")
        ((name, var),) = variables.items()
        if var.ndim != 1:
            raise ValueError(f"cell ids must be one-dimensional, got dims {var.dims}")
        grid_info = RHEALPixInfo.from_dict(dict(var.attrs) | dict(options))
        return cls(var.data, var.dims[0], name, grid_info)

    @classmethod
    def concat(
        cls,
        indexes: Sequence[RHEALPixIndex],
        dim: Hashable,
        positions: Iterable[Iterable[int]] | None = None,
    ) -> RHEALPixIndex:
        """The cells of several indexes of one grid, one after another (``xr.concat``)."""
        first = indexes[0]
        for other in indexes[1:]:
            if other.grid_info != first.grid_info:
                raise ValueError(
                    f"cannot concatenate rhealpix cells of different grids: "
                    f"{first.grid_info} and {other.grid_info}"
                )
        inner = PandasIndex.concat([index._index for index in indexes], dim, positions)
        return cls(inner, dim, first._name, first.grid_info)

    @property
    def grid_info(self) -> RHEALPixInfo:
        """The grid: level and profile."""
        grid: RHEALPixInfo = self._grid
        return grid

    def _replace(self, new_index: xr.Index) -> RHEALPixIndex:
        return type(self)(new_index, self._dim, self._name, self._grid)

    def _repr_inline_(self, max_width: int) -> str:
        return f"RHEALPixIndex(level={self._grid.level}, lon_0={self._grid.profile.lon_0:g})"


# --- the accessor -------------------------------------------------------------------------

Where: TypeAlias = "str | xr.DataArray | npt.ArrayLike | Callable[[Any], Any] | None"


def _canonical(tree: _kivet.Tree) -> npt.NDArray[np.uint64]:
    return tree.cells_array()


def _chunk_tree(
    cids: npt.NDArray[np.uint64],
    mask: npt.NDArray[np.bool_],
    depth: int,
    profile: dict[str, Any],
    as_cells: bool,
) -> Any:
    """The tree of one chunk's flagged cells (as its canonical cells when `as_cells`)."""
    chosen = engine_ready(cids, np.uint64)[np.asarray(mask, dtype=bool)]
    tree = _kivet.Tree.from_cells(chosen, depth, _kivet.Profile.from_dict(profile))
    return _canonical(tree) if as_cells else tree


def _meet(a: Any, b: Any, depth: int, profile: dict[str, Any], as_cells: bool) -> Any:
    """The union of two chunks' trees (given and returned as canonical cells when `as_cells`)."""
    if as_cells:
        grid = _kivet.Profile.from_dict(profile)
        a = _kivet.Tree.from_cells(engine_ready(a, np.uint64), depth, grid)
        b = _kivet.Tree.from_cells(engine_ready(b, np.uint64), depth, grid)
    tree = a.union(b)
    return _canonical(tree) if as_cells else tree


def _trees_travel() -> bool:
    """Whether the scheduler in force can hand trees themselves from task to task."""
    import dask.local
    import dask.threaded
    from dask.base import get_scheduler

    if get_scheduler() in (None, dask.threaded.get, dask.local.get_sync):
        return True  # one process: results are passed by reference
    try:
        pickle.dumps(_kivet.Tree.from_cells([], 0))
    except (TypeError, pickle.PicklingError):
        return False
    return True


def _dask_coverage(
    cids: npt.NDArray[np.uint64], mask: Any, depth: int, profile: _kivet.Profile
) -> _kivet.Tree:
    """One tree per chunk of `mask`, met pairwise by union, so no chunk waits for all.

    Where trees cannot cross between processes, a tree travels as its canonical cells, the
    coarsest form of the set, and is rebuilt on arrival.
    """
    import dask.array as da
    from dask.base import compute
    from dask.delayed import delayed

    as_cells = not _trees_travel()
    keys = da.from_array(cids, chunks=mask.chunks)
    build = delayed(_chunk_tree, pure=True)
    meet = delayed(_meet, pure=True)
    # The profile travels as its dict: plain data pickles and tokenizes everywhere.
    record = profile.to_dict()
    parts = [
        build(c, m, depth, record, as_cells)
        for c, m in zip(keys.to_delayed().ravel(), mask.to_delayed().ravel(), strict=True)
    ]
    while len(parts) > 1:
        pairs = [
            meet(parts[i], parts[i + 1], depth, record, as_cells)
            for i in range(0, len(parts) - 1, 2)
        ]
        parts = pairs + parts[len(parts) - len(parts) % 2 :]
    (result,) = compute(parts[0])
    if as_cells:
        return _kivet.Tree.from_cells(result, depth, profile)
    tree: _kivet.Tree = result
    return tree


def _cell_chunks(obj: xr.Dataset | xr.DataArray, dim: Hashable) -> tuple[int, ...] | None:
    try:
        chunks = obj.chunksizes
    except ValueError:  # variables chunked differently along the cells
        return None
    found = chunks.get(dim)
    return None if found is None else tuple(found)


@xr.register_dataset_accessor("kivet")
@xr.register_dataarray_accessor("kivet")
class KivetAccessor:
    """Coverage trees, fingerprints, polygon selection, neighbours and areas of decoded
    rHEALPix data (``ds.dggs.decode()`` first)."""

    def __init__(self, obj: xr.Dataset | xr.DataArray):
        self._obj = obj

    @property
    def _index(self) -> RHEALPixIndex:
        index = self._obj.dggs.index
        if not isinstance(index, RHEALPixIndex):
            kind = type(index).__name__
            raise ValueError(f"the kivet accessor needs rhealpix cell ids, not {kind}")
        return index

    @property
    def _dim(self) -> Hashable:
        dim: Hashable = self._index._dim
        return dim

    def _cids(self) -> npt.NDArray[np.uint64]:
        return np.asarray(self._index.values(), dtype=np.uint64)

    def _mask(self, where: Where) -> Any:
        """`where` as a one-dimensional boolean array along the cells (NumPy or Dask)."""
        obj, dim = self._obj, self._dim
        data: Any
        if callable(where) and not isinstance(where, xr.DataArray):
            where = where(obj)
        if isinstance(where, str):
            if where not in obj.variables and where not in obj.coords:
                raise ValueError(f"argument 'where': no variable named {where!r}")
            where = obj[where]
        if isinstance(where, xr.DataArray):
            if where.dims != (dim,):
                raise ValueError(
                    f"argument 'where' must lie along the cells only, dims ({dim!r},), got "
                    f"{where.dims}; reduce the other dimensions first, e.g. .any(...)"
                )
            name = obj.dggs._name
            if name in where.coords and not np.array_equal(where[name].values, self._cids()):
                raise ValueError("argument 'where' holds other cells than this object")
            data = where.data
        else:
            # A Dask array stays lazy; anything else is read as an array.
            lazy = hasattr(where, "to_delayed") and hasattr(where, "chunks")
            data = where if lazy else np.asarray(where)
            if data.ndim != 1:
                raise ValueError(
                    f"argument 'where' must be one-dimensional, got shape {data.shape}"
                )
        if data.shape != (obj.sizes[dim],):
            raise ValueError(
                f"argument 'where' has {data.shape[0] if data.ndim else 0} values for "
                f"{obj.sizes[dim]} cells"
            )
        if data.dtype != np.bool_:
            raise TypeError(f"argument 'where' must be boolean, not {data.dtype}")
        return data

    def coverage(self, where: Where = None) -> _kivet.Tree:
        """The canonical coverage `Tree` (depth = the grid's level) of the cells present, or of
        those where `where` holds.

        `where` is the name of a boolean variable, a boolean DataArray along the cells (an
        expression such as ``ds.t > 280``), an array of booleans, or a callable taking this
        object and returning one of those. A Dask-backed `where` is built chunk by chunk: one
        tree per chunk, met by union; nothing is loaded whole.
        """
        grid = self._index.grid_info
        cids = self._cids()
        if where is None:
            return _kivet.Tree.from_cells(cids, grid.level, grid.profile)
        mask = self._mask(where)
        if isinstance(mask, np.ndarray):
            return _kivet.Tree.from_cells(cids[mask], grid.level, grid.profile)
        return _dask_coverage(cids, mask, grid.level, grid.profile)

    def fingerprint(self, where: Where = None) -> str:
        """The hex root of :meth:`coverage`: equal for equal sets of cells, whatever their
        order, duplicates or chunking."""
        root: str = self.coverage(where).root_hex
        return root

    def polygon(self, geometry: GeometryLike) -> xr.Dataset | xr.DataArray:
        """The cells whose nucleus lies inside `geometry` (GeoJSON, shapely or geopandas),
        in their order here; the rule of polygon fill."""
        grid = self._index.grid_info
        area = _geometry_coverage(geometry, grid.level, grid.profile)
        cids = self._cids()
        present = _kivet.Tree.from_cells(cids, grid.level, grid.profile)
        # Leaves of the meet, not of the polygon: bounded by the data, however large the area.
        inside = present.intersect(area).leaves_array()
        return self._obj.isel({self._dim: np.flatnonzero(np.isin(cids, inside))})

    def _cell_array(
        self, name: str, values: Any, extra: dict[str, Any] | None = None
    ) -> xr.DataArray:
        coord = self._obj.dggs.coord
        dims = (self._dim, *(extra or {}))
        coords = {coord.name: coord, **(extra or {})}
        return xr.DataArray(values, coords=coords, dims=dims, name=name)

    def neighbours(self) -> xr.DataArray:
        """The four edge neighbours of every cell as a uint64 DataArray ``neighbours`` with a
        ``direction`` dimension (up, right, down, left); lazy when the data is chunked."""
        grid = self._index.grid_info
        cids = self._cids()
        chunks = _cell_chunks(self._obj, self._dim)
        if chunks is None:
            values: Any = cell_neighbours(cids, profile=grid.profile)
        else:
            import dask.array as da

            values = da.from_array(cids, chunks=(chunks,)).map_blocks(
                _neighbours_block, grid.profile.to_dict(), dtype=np.uint64, new_axis=1,
                chunks=(chunks, (len(DIRECTIONS),)),
            )
        return self._cell_array("neighbours", values, {"direction": list(DIRECTIONS)})

    def area_m2(self) -> xr.DataArray:
        """The area of every cell in m², a float64 DataArray ``area_m2`` (equal-area grid: one
        value, exact on the ellipsoid); lazy when the data is chunked."""
        grid = self._index.grid_info
        area = _kivet.cell_area_m2(grid.level, grid.profile)
        size = self._obj.sizes[self._dim]
        chunks = _cell_chunks(self._obj, self._dim)
        if chunks is None:
            values: Any = np.full(size, area)
        else:
            import dask.array as da

            values = da.full(size, area, chunks=(chunks,), dtype=np.float64)
        array = self._cell_array("area_m2", values)
        array.attrs["units"] = "m2"
        return array


def _neighbours_block(cids: npt.NDArray[np.uint64], profile: dict[str, Any]) -> Any:
    return cell_neighbours(cids, profile=_kivet.Profile.from_dict(profile))


# --- building a dataset -------------------------------------------------------------------


def _as_coordinates(values: Any, name: str) -> npt.NDArray[np.float64]:
    try:
        return np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"argument '{name}' must be numbers (degrees): {exc}") from None


def from_points(
    lon: npt.ArrayLike,
    lat: npt.ArrayLike,
    values: npt.ArrayLike | Mapping[str, npt.ArrayLike],
    level: int,
    *,
    agg: Literal["mean", "median", "sum", "count", "min", "max"] = "mean",
    profile: ProfileLike = None,
) -> xr.Dataset:
    """A decoded rHEALPix Dataset of `values` aggregated per cell of `level`.

    `lon` and `lat` (degrees) and each value array share one shape (points); or, for a raster,
    `lon` and `lat` are 1-D and each value array is 2-D with shape ``(lat.size, lon.size)``.
    `values` is one array (variable ``values``) or a mapping of names to arrays. Missing
    values (NaN) are skipped; a cell whose values are all missing gets NaN (``count``: 0).
    Returns the cells holding at least one point, sorted by cid, along dimension ``cells``.
    """
    import pandas as pd

    grid = RHEALPixInfo(level=level, profile=_check_profile(profile))
    if agg not in AGGREGATIONS:
        options = ", ".join(repr(a) for a in AGGREGATIONS)
        raise ValueError(f"argument 'agg' must be one of {options}, not {agg!r}")
    x, y = _as_coordinates(lon, "lon"), _as_coordinates(lat, "lat")
    columns = dict(values) if isinstance(values, Mapping) else {"values": values}
    arrays = {str(key): np.asarray(column) for key, column in columns.items()}
    if x.ndim == 1 and y.ndim == 1 and arrays and all(a.ndim == 2 for a in arrays.values()):
        raster = (y.size, x.size)
        for key, array in arrays.items():
            if array.shape != raster:
                raise ValueError(
                    f"raster values {key!r} have shape {array.shape}, expected (lat, lon) {raster}"
                )
        x, y = np.meshgrid(x, y)
    if x.shape != y.shape:
        raise ValueError(f"{x.size} longitudes but {y.size} latitudes")
    for key, array in arrays.items():
        if array.shape != x.shape:
            raise ValueError(f"values {key!r} have shape {array.shape}, the points {x.shape}")
    cids = np.asarray(
        cells_from_lonlat(x.reshape(-1), y.reshape(-1), grid.level, profile=grid.profile)
    )
    frame = pd.DataFrame(
        {key: array.reshape(-1) for key, array in arrays.items()}, index=pd.RangeIndex(cids.size)
    )
    groups = frame.groupby(cids, sort=True)
    if agg == "sum":
        table = groups.sum(min_count=1)
    else:
        table = getattr(groups, agg)()
    cells = np.unique(cids)
    table = table.reindex(cells)
    coords = {"cell_ids": ("cells", cells, grid.to_dict())}
    data = {key: ("cells", table[key].to_numpy()) for key in arrays}
    dataset: xr.Dataset = xr.Dataset(data, coords=coords).dggs.decode()
    return dataset
