"""Coverage trees built on a Dask cluster.

Every partition becomes one `Tree` on the worker that holds it; the partition trees then meet in
a tree reduction by union. Union is associative and commutative and a tree's shape is canonical,
so the root is the same however the data were partitioned and whichever worker finished first:
it equals the root of the same points built in one process. Only trees cross the network, each
pickled as its binary form (about 2.25 bytes per branch node).

Needs the ``dask`` extra (``pip install 'kivet[dask]'``). Results are computed on the current
scheduler: a ``distributed.Client`` when one is active.
"""

from __future__ import annotations

import importlib
import re
from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np

import _kivet

from . import trees as _trees
from ._arrays import engine_ready
from ._typing import ProfileLike
from .geometry import coverage

try:
    import dask.array as da
    import dask.bag as db
    from dask.delayed import Delayed, delayed
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("kivet.dask needs the 'dask' extra: pip install 'kivet[dask]'") from exc

__all__ = ["coverages", "tree_from_lonlat", "tree_from_points", "union_all"]

_POINT_ERROR = re.compile(r"point (\d+) (.*)", re.DOTALL)


def _check_split_every(split_every: Any) -> int:
    if isinstance(split_every, bool) or not isinstance(split_every, int):
        raise TypeError(
            f"argument 'split_every' must be int, not {type(split_every).__name__}"
        )
    if split_every < 2:
        raise ValueError(f"argument 'split_every' must be at least 2, got {split_every}")
    return split_every


def _empty(depth: int, profile: ProfileLike) -> _kivet.Tree:
    # Checks depth and profile on the client, with the engine's own messages, before any
    # task is sent.
    return _kivet.Tree.from_cells(np.empty(0, np.uint64), depth, profile)


def _union(*trees: _kivet.Tree | None) -> _kivet.Tree | None:
    """The union of the trees given; None (a partition without trees) is skipped."""
    present = [tree for tree in trees if tree is not None]
    return _trees.union_all(present) if present else None


def _union_parts(*parts: Iterable[_kivet.Tree | None]) -> _kivet.Tree | None:
    """The union of every tree in the partitions given (lists, arrays or Series of trees)."""
    return _union(*(tree for part in parts for tree in part))


def _reduce(parts: list[Delayed], split_every: int, *, partitions: bool = True) -> Delayed:
    """A tree reduction over Delayed partitions of trees (or Delayed trees): groups of
    `split_every` joined per task, level by level, so ceil(log_split_every(len(parts)))
    levels of tasks (one when there is one partition)."""
    first = _union_parts if partitions else _union
    level: list[Delayed] = [
        delayed(first)(*parts[i : i + split_every])
        for i in range(0, len(parts), split_every)
    ]
    while len(level) > 1:
        level = [
            delayed(_union)(*level[i : i + split_every])
            for i in range(0, len(level), split_every)
        ]
    return level[0]


def _compute(value: Any) -> Any:
    """The value of a dask object on the current scheduler."""
    return value.compute()


def _points_tree(
    lon: Any, lat: Any, labels: Any, depth: int, profile: ProfileLike
) -> _kivet.Tree:
    """One partition's tree; a point off the grid is named by its label (frame index or
    global position)."""
    # Aligned too: a partition unpickled from the network may sit at an odd address.
    lon = engine_ready(lon, np.float64)
    lat = engine_ready(lat, np.float64)
    try:
        cids = _kivet._cells_from_lonlat(lon, lat, depth, profile)
    except ValueError as exc:
        found = _POINT_ERROR.fullmatch(str(exc))
        if found is None:
            raise
        label = labels[int(found.group(1))]
        raise ValueError(f"point {label} {found.group(2)}") from None
    # Sorted and deduplicated in place first: dense partitions (many points per cell) then
    # hand the builder a few cells rather than every point, which keeps a worker's memory
    # near the size of its partition.
    cids.sort()
    distinct = np.empty(cids.size, dtype=bool)
    distinct[:1] = True
    np.not_equal(cids[1:], cids[:-1], out=distinct[1:])
    return _kivet.Tree.from_cells(cids[distinct], depth, profile)


class _Labels:
    """Index labels of one partition's points, spelt only for the one that is needed."""

    def __init__(self, index: Any) -> None:
        self.index = index

    def __getitem__(self, i: int) -> str:
        return f"at index {self.index[i]!r}"


def _frame_tree(part: Any, lon: str, lat: str, depth: int, profile: ProfileLike) -> Any:
    """One partition's tree, as a one-item object Series (a blockwise result that dask fuses
    with whatever made the partition, so its points are built where they are made)."""
    pd = importlib.import_module("pandas")
    labels = _Labels(part.index)
    tree = _points_tree(part[lon].to_numpy(), part[lat].to_numpy(), labels, depth, profile)
    return pd.Series([tree], dtype=object)


class _Positions:
    """Global positions of one block's points, without a list per block."""

    def __init__(self, offset: int) -> None:
        self.offset = offset

    def __getitem__(self, i: int) -> int:
        return self.offset + i


def _block_tree(
    lon: Any, lat: Any, depth: int, profile: ProfileLike, block_info: Any = None
) -> Any:
    """One block's tree, as a one-item object array (fused with the blocks' producers)."""
    offset = block_info[0]["array-location"][0][0] if block_info else 0
    out = np.empty(1, dtype=object)
    out[0] = _points_tree(lon, lat, _Positions(offset), depth, profile)
    return out


def tree_from_points(
    frame: Any,
    depth: int,
    *,
    lon: str = "lon",
    lat: str = "lat",
    profile: ProfileLike = None,
    split_every: int = 8,
) -> _kivet.Tree:
    """The `Tree` of every point of a Dask DataFrame at `depth`, built on the workers.

    Columns `lon` and `lat` hold degrees. Each partition's points become cells and a tree on
    its worker; partition trees are joined by union in a tree reduction, `split_every` at a
    time. Returns the computed tree, equal (root included) to building all the points in one
    process. A point off the grid fails the computation with ``ValueError`` naming its index
    label and values.
    """
    split_every = _check_split_every(split_every)
    empty = _empty(depth, profile)
    for name, column in (("lon", lon), ("lat", lat)):
        if column not in frame.columns:
            raise ValueError(f"argument '{name}': the frame has no column {column!r}")
    pd = importlib.import_module("pandas")
    trees = frame[[lon, lat]].map_partitions(
        _frame_tree, lon, lat, depth, profile, meta=pd.Series([], dtype=object)
    )
    parts = trees.to_delayed()
    if not parts:
        return empty
    tree: _kivet.Tree = _compute(_reduce(parts, split_every))
    return tree


def _one_dimensional(values: Any, name: str) -> Any:
    if isinstance(values, da.Array):
        array = values
    else:
        array = da.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"argument '{name}' must be one-dimensional, got {array.ndim} dimensions")
    return array


def tree_from_lonlat(
    lon: Any,
    lat: Any,
    depth: int,
    *,
    profile: ProfileLike = None,
    split_every: int = 8,
) -> _kivet.Tree:
    """The `Tree` of the points ``(lon[i], lat[i])`` (degrees) of two Dask arrays at `depth`.

    As :func:`tree_from_points`, block by block: `lat` is rechunked to `lon`'s blocks. Returns
    the computed tree. A point off the grid fails with ``ValueError`` naming its position in
    the arrays and its values.
    """
    split_every = _check_split_every(split_every)
    empty = _empty(depth, profile)
    lon = _one_dimensional(lon, "lon")
    lat = _one_dimensional(lat, "lat")
    if lon.shape != lat.shape:
        raise ValueError(
            f"arguments 'lon' and 'lat' must have the same length, got {lon.shape[0]} "
            f"and {lat.shape[0]}"
        )
    lat = lat.rechunk(lon.chunks)
    blocks = len(lon.chunks[0])
    if blocks == 0:
        return empty
    trees = lon.map_blocks(
        _block_tree, lat, depth, profile, dtype=object, chunks=((1,) * blocks,)
    )
    tree: _kivet.Tree = _compute(_reduce(list(trees.to_delayed().ravel()), split_every))
    return tree


def _cover_many(
    geometries: Iterable[Any], where: Sequence[str], resolution: int, profile: ProfileLike
) -> list[_kivet.Tree]:
    trees = []
    for geometry, place in zip(geometries, where):
        try:
            trees.append(coverage(geometry, resolution, profile))
        except (TypeError, ValueError) as exc:
            raise type(exc)(f"geometry {place}: {exc}") from None
    return trees


def _cover_bag_partition(
    part: Iterable[Any], number: int, resolution: int, profile: ProfileLike
) -> list[_kivet.Tree]:
    items = list(part)
    where = [f"{i} of partition {number}" for i in range(len(items))]
    return _cover_many(items, where, resolution, profile)


def _cover_series_partition(part: Any, resolution: int, profile: ProfileLike) -> Any:
    pd = importlib.import_module("pandas")
    where = [f"at index {label!r}" for label in part.index]
    trees = _cover_many(list(part), where, resolution, profile)
    return pd.Series(trees, index=part.index, dtype=object, name=part.name)


def _is_series(value: Any) -> bool:
    try:
        import dask.dataframe as dd
    except ImportError:  # pragma: no cover - depends on the environment
        return False
    return isinstance(value, dd.Series)


def coverages(geometries: Any, resolution: int, profile: ProfileLike = None) -> Any:
    """One coverage `Tree` per geometry, computed on the workers; lazy.

    `geometries` is a Dask Bag or a Dask Series (a dask-geopandas GeoSeries is one) of
    anything :func:`kivet.coverage` takes. Returns a collection of the same kind holding the
    trees (a Series keeps its index), ready for :func:`union_all` or ``.compute()``. A bad
    geometry fails the computation with ``ValueError`` (or ``TypeError``) naming its place.
    """
    _empty(resolution, profile)
    if isinstance(geometries, db.Bag):
        parts = geometries.to_delayed()
        return db.from_delayed(
            [
                delayed(_cover_bag_partition)(part, number, resolution, profile)
                for number, part in enumerate(parts)
            ]
        )
    if _is_series(geometries):
        return geometries.map_partitions(
            _cover_series_partition, resolution, profile, meta=(geometries.name, object)
        )
    raise TypeError(
        f"argument 'geometries' must be a dask Bag or a dask Series, "
        f"not {type(geometries).__name__}"
    )


def union_all(trees: Any, split_every: int = 8) -> _kivet.Tree:
    """The union of every tree in a Dask collection, by tree reduction; computed.

    `trees` is a Dask Bag or Series of `Tree` (as :func:`coverages` returns) or a sequence of
    Delayed trees. Each partition is joined on its worker, then `split_every` partial unions
    per task. Returns the tree; ``ValueError`` when the collection holds no tree (there is then
    no depth or profile to give the empty one).
    """
    split_every = _check_split_every(split_every)
    if isinstance(trees, db.Bag) or _is_series(trees):
        parts, partitions = list(trees.to_delayed()), True
    elif isinstance(trees, (list, tuple)) and all(isinstance(t, Delayed) for t in trees):
        parts, partitions = list(trees), False
    else:
        raise TypeError(
            "argument 'trees' must be a dask Bag or Series of Tree, or a list of Delayed "
            f"trees, not {type(trees).__name__}"
        )
    result = _compute(_reduce(parts, split_every, partitions=partitions)) if parts else None
    if result is None:
        raise ValueError("argument 'trees' holds no tree")
    joined: _kivet.Tree = result
    return joined
