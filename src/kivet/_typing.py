"""Type aliases shared by the package's modules."""

from __future__ import annotations

from typing import Any, Protocol, TypeAlias

import _kivet


class GeoInterface(Protocol):
    """Anything exposing a GeoJSON-like mapping, as shapely and geopandas objects do."""

    @property
    def __geo_interface__(self) -> Any: ...


ProfileLike: TypeAlias = "_kivet.Profile | None"
GeometryLike: TypeAlias = "str | bytes | dict[str, Any] | GeoInterface"
