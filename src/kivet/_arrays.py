"""Array functions over anything array-like: lists, scalars, pandas objects, any dtype or stride.

Each input is converted once to the exact contiguous dtype the engine reads, so the engine's
own element loop (threaded, without the interpreter lock) does all the work.
"""

from __future__ import annotations

from typing import Any, TypeAlias, TypeVar, overload

import numpy as np
import numpy.typing as npt

import _kivet

from ._typing import ProfileLike

__all__ = ["cell_boundaries", "cell_neighbours", "cells_from_lonlat", "cells_to_lonlat"]

# A scalar in gives a scalar out; these are the scalars a checker can tell apart from arrays.
_Degrees: TypeAlias = "float | np.floating[Any] | np.integer[Any]"
_Cid: TypeAlias = "int | np.integer[Any]"


def _coordinates(values: Any, name: str) -> npt.NDArray[np.float64]:
    try:
        array = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"argument '{name}' must be numbers (degrees): {exc}") from None
    return array


_Scalar = TypeVar("_Scalar", bound=np.generic)


def engine_ready(array: npt.ArrayLike, dtype: type[_Scalar]) -> npt.NDArray[_Scalar]:
    # Arrays unpickled from a buffer may be contiguous yet misaligned; the engine needs both.
    return np.require(array, dtype, ["C_CONTIGUOUS", "ALIGNED"])


def as_cids(values: Any, name: str = "cids") -> npt.NDArray[np.uint64]:
    """`values` as a contiguous uint64 array, refusing what is not a whole non-negative number."""
    array = np.asarray(values)
    if array.dtype == np.uint64:
        return engine_ready(array, np.uint64)
    if array.dtype.kind == "i":
        if array.size and array.min() < 0:
            index = int(np.argmax(array.reshape(-1) < 0))
            raise ValueError(
                f"argument '{name}': {int(array.reshape(-1)[index])} at index {index} "
                "is negative, not a cid"
            )
        return engine_ready(array, np.uint64)
    if array.dtype.kind == "u":
        return engine_ready(array, np.uint64)
    if array.size == 0 and array.dtype != object:
        # An empty list comes out of NumPy as float64; it holds no cid to misread.
        return np.zeros(array.shape, dtype=np.uint64)
    if array.dtype.kind in "OSU":
        # Read Python sequences item by item, so the index of the bad item is its own.
        if not isinstance(values, np.ndarray):
            array = np.array(values, dtype=object)
        flat = array.astype(object).reshape(-1)
        out = np.empty(flat.shape, dtype=np.uint64)
        for i, item in enumerate(flat):
            try:
                value = item.__index__()
            except (AttributeError, TypeError):
                raise TypeError(
                    f"argument '{name}' must be integers, got {type(item).__name__} at index {i}"
                ) from None
            if not 0 <= value < 1 << 64:
                raise ValueError(
                    f"argument '{name}': {value} at index {i} is outside [0, 2**64), not a cid"
                )
            out[i] = value
        return out.reshape(array.shape)
    raise TypeError(f"argument '{name}' must be integers (cids), not {array.dtype}")


@overload
def cells_from_lonlat(  # type: ignore[overload-overlap, unused-ignore]
    lon: _Degrees, lat: _Degrees, level: int, *, nthreads: int = 0, profile: ProfileLike = None
) -> int: ...
@overload
def cells_from_lonlat(
    lon: npt.ArrayLike,
    lat: npt.ArrayLike,
    level: int,
    *,
    nthreads: int = 0,
    profile: ProfileLike = None,
) -> npt.NDArray[np.uint64]: ...
def cells_from_lonlat(
    lon: npt.ArrayLike,
    lat: npt.ArrayLike,
    level: int,
    *,
    nthreads: int = 0,
    profile: ProfileLike = None,
) -> int | npt.NDArray[np.uint64]:
    """The cell at `level` holding each point (`lon`, `lat` in degrees).

    `lon` and `lat` are array-likes of one shape (a scalar pairs with every element of the
    other). Returns a uint64 array of that shape, or one `int` cid when both are scalars.
    `nthreads`: 0 uses the shared thread pool, 1 the calling thread, k a pool of k threads.
    """
    x = _coordinates(lon, "lon")
    y = _coordinates(lat, "lat")
    if x.shape != y.shape:
        if x.ndim == 0 or y.ndim == 0:
            x, y = np.broadcast_arrays(x, y)
        else:
            raise ValueError(f"{x.size} longitudes but {y.size} latitudes")
    shape = x.shape
    cids = _kivet._cells_from_lonlat(
        engine_ready(x.reshape(-1), np.float64),
        engine_ready(y.reshape(-1), np.float64),
        level,
        profile=profile,
        nthreads=nthreads,
    )
    if not shape:
        return int(cids[0])
    return cids.reshape(shape)


@overload
def cells_to_lonlat(  # type: ignore[overload-overlap, unused-ignore]
    cids: _Cid, *, nthreads: int = 0, profile: ProfileLike = None
) -> tuple[float, float]: ...
@overload
def cells_to_lonlat(
    cids: npt.ArrayLike, *, nthreads: int = 0, profile: ProfileLike = None
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def cells_to_lonlat(
    cids: npt.ArrayLike, *, nthreads: int = 0, profile: ProfileLike = None
) -> tuple[float, float] | tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The nucleus (centre) of each cell as `(lon, lat)` in degrees.

    Returns two float64 arrays shaped like `cids`, or two floats for one cid.
    """
    array = as_cids(cids)
    lon, lat = _kivet._cells_to_lonlat(array.reshape(-1), profile=profile, nthreads=nthreads)
    if not array.shape:
        return float(lon[0]), float(lat[0])
    return lon.reshape(array.shape), lat.reshape(array.shape)


@overload
def cell_boundaries(  # type: ignore[overload-overlap, unused-ignore]
    cids: _Cid, n: int = 5, *, nthreads: int = 0, profile: ProfileLike = None
) -> npt.NDArray[np.float64]: ...
@overload
def cell_boundaries(
    cids: npt.ArrayLike, n: int = 5, *, nthreads: int = 0, profile: ProfileLike = None
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]: ...
def cell_boundaries(
    cids: npt.ArrayLike, n: int = 5, *, nthreads: int = 0, profile: ProfileLike = None
) -> npt.NDArray[np.float64] | tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """The polygon of each cell, closed and counterclockwise, `(lon, lat)` rows in degrees.

    For many cids returns `(coords, offsets)`: coords float64 of shape (M, 2) holding every
    ring in turn, offsets int64 of length N + 1, cell i being ``coords[offsets[i]:offsets[i+1]]``.
    For one cid returns its ring alone, shape (k, 2). Polar cells get `n` points per edge.
    """
    array = as_cids(cids)
    coords, offsets = _kivet._cell_boundaries(
        array.reshape(-1), n, profile=profile, nthreads=nthreads
    )
    if not array.shape:
        return coords
    return coords, offsets


def cell_neighbours(
    cids: npt.ArrayLike, *, nthreads: int = 0, profile: ProfileLike = None
) -> npt.NDArray[np.uint64]:
    """The four edge neighbours of each cell, in the order up, right, down, left.

    Returns a uint64 array of shape ``cids.shape + (4,)``; for one cid, shape (4,).
    """
    array = as_cids(cids)
    out = _kivet._cell_neighbours(array.reshape(-1), profile=profile, nthreads=nthreads)
    return out.reshape(array.shape + (4,))
