"""Type aliases shared by the package's modules."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Protocol, TypeAlias

import _kivet


class GeoInterface(Protocol):
    """Anything exposing a GeoJSON-like mapping, as shapely and geopandas objects do."""

    @property
    def __geo_interface__(self) -> Any: ...


ProfileLike: TypeAlias = "_kivet.Profile | None"


def profile_or_default(profile: ProfileLike) -> _kivet.Profile:
    """`profile`, or the default grid where it is None, as the engine reads it."""
    return _kivet.OGC_RHEALPIX if profile is None else profile
GeometryLike: TypeAlias = "str | bytes | bytearray | Mapping[str, Any] | GeoInterface"
