"""Coverages of GeoJSON and of objects with ``__geo_interface__`` (shapely, geopandas).

A FeatureCollection covers the union of its features. Features are unioned as trees, each
read on its own, so no feature's rings or holes act on another's.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Iterator, Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

import _kivet

from ._typing import GeometryLike, ProfileLike
from .trees import union_all

__all__ = ["coverage", "fingerprints", "polyfill"]

_POLYGONAL = ("Polygon", "MultiPolygon")
_NOTHING = {"type": "MultiPolygon", "coordinates": []}


def _as_mapping(geometry: Any, name: str) -> Any:
    """GeoJSON as Python data: JSON text parsed, ``__geo_interface__`` read."""
    if isinstance(geometry, (str, bytes, bytearray)):
        try:
            return json.loads(geometry)
        except json.JSONDecodeError as exc:
            raise ValueError(f"argument '{name}' is not JSON: {exc}") from None
    interface = getattr(type(geometry), "__geo_interface__", None)
    if interface is not None:
        return geometry.__geo_interface__
    if isinstance(geometry, Mapping):
        return geometry
    raise TypeError(
        f"argument '{name}' must be GeoJSON (a dict or JSON text) or have __geo_interface__, "
        f"not {type(geometry).__name__}"
    )


def _parts(value: Any, name: str) -> Iterator[Any]:
    """The polygonal geometries whose union `value` covers; None stands for nothing."""
    kind = value.get("type") if isinstance(value, Mapping) else None
    if kind == "FeatureCollection":
        features = value.get("features")
        if not isinstance(features, (list, tuple)):
            raise ValueError(f"argument '{name}': a FeatureCollection needs a \"features\" list")
        for feature in features:
            yield from _parts(feature, name)
    elif kind == "Feature":
        geometry = value.get("geometry", ...)
        if geometry is None:
            return  # an unlocated feature covers nothing
        if geometry is ...:
            raise ValueError(f"argument '{name}': feature without geometry")
        yield from _parts(geometry, name)
    elif kind == "GeometryCollection":
        for member in value.get("geometries") or ():
            yield from _parts(member, name)
    else:
        # Polygons, and everything the engine refuses with its own message.
        yield value


def _empty(resolution: int, profile: ProfileLike) -> _kivet.Tree:
    # Through the polygon reader, so the resolution and profile are checked as for any area.
    return _kivet.Tree.from_geojson(_NOTHING, resolution, profile)


def _cover(value: Any, resolution: int, profile: ProfileLike, name: str) -> _kivet.Tree:
    pieces = [_kivet.Tree.from_geojson(part, resolution, profile) for part in _parts(value, name)]
    return union_all(pieces) if pieces else _empty(resolution, profile)


def coverage(
    geometry: GeometryLike, resolution: int, profile: ProfileLike = None
) -> _kivet.Tree:
    """The canonical coverage `Tree` of `geometry` at `resolution`.

    `geometry` is a GeoJSON Polygon, MultiPolygon, Feature, FeatureCollection (the union of
    its features) or GeometryCollection, as a dict or JSON text, or any object with
    ``__geo_interface__`` such as a shapely geometry or a geopandas GeoSeries/GeoDataFrame.
    A cell is covered when its nucleus lies inside the area.
    """
    return _cover(_as_mapping(geometry, "geometry"), resolution, profile, "geometry")


def polyfill(
    geometry: GeometryLike, resolution: int, profile: ProfileLike = None
) -> npt.NDArray[np.uint64]:
    """The sorted cids at `resolution` whose nucleus lies inside `geometry`, as uint64.

    `geometry` takes every form :func:`coverage` takes.
    """
    return coverage(geometry, resolution, profile).leaves_array()


def _features(features: Any) -> Iterable[Any]:
    if isinstance(features, (str, bytes, bytearray)) or isinstance(features, Mapping):
        value = _as_mapping(features, "features")
    elif getattr(type(features), "__geo_interface__", None) is not None:
        value = features.__geo_interface__
    else:
        try:
            items: Iterable[Any] = iter(features)
        except TypeError:
            raise TypeError(
                "argument 'features' must be a FeatureCollection, a GeoSeries or GeoDataFrame, "
                f"or an iterable of geometries, not {type(features).__name__}"
            ) from None
        return items
    if isinstance(value, Mapping) and value.get("type") == "FeatureCollection":
        members = value.get("features")
        if not isinstance(members, (list, tuple)):
            raise ValueError("argument 'features': a FeatureCollection needs a \"features\" list")
        return members
    return [value]


def fingerprints(
    features: Any, resolution: int, profile: ProfileLike = None
) -> list[str]:
    """One hex root per feature, in order.

    `features` is a FeatureCollection (dict or JSON text), a geopandas GeoSeries or
    GeoDataFrame, or an iterable of geometries in any form :func:`coverage` takes. A feature
    without geometry gets the root of the empty coverage.
    """
    roots = []
    for index, feature in enumerate(_features(features)):
        if feature is None:
            roots.append(_empty(resolution, profile).root_hex)
            continue
        try:
            value = _as_mapping(feature, "features")
            if isinstance(value, Mapping) and value.get("type") in _POLYGONAL:
                roots.append(_kivet.fingerprint_polygon(value, resolution, profile))
            else:
                roots.append(_cover(value, resolution, profile, "features").root_hex)
        except (TypeError, ValueError) as exc:
            raise type(exc)(f"feature {index}: {exc}") from exc
    return roots
