"""One cell at a time: its level, parent and children; the table of levels."""

from __future__ import annotations

import math
import operator
from typing import SupportsIndex, TypedDict

import _kivet

from ._typing import ProfileLike, profile_or_default

__all__ = ["Resolution", "children", "level", "parent", "resolutions"]


def level(cid: SupportsIndex, profile: ProfileLike = None) -> int:
    """The level of `cid`: 0 for a base cell, one more per subdivision."""
    return int(_kivet.position(cid, profile)[1])


def parent(
    cid: SupportsIndex, level: SupportsIndex | None = None, profile: ProfileLike = None
) -> int:
    """The cell at `level` holding `cid` (by default the cell one level up)."""
    own = int(_kivet.position(cid, profile)[1])
    if level is None:
        if own == 0:
            raise ValueError(f"cid {cid} is a base cell; it has no parent")
        level = own - 1
    else:
        try:
            level = operator.index(level)
        except TypeError:
            raise TypeError(
                f"argument 'level' must be an int or None, not {type(level).__name__}"
            ) from None
        if not 0 <= level <= own:
            raise ValueError(
                f"argument 'level': {level} is outside [0, {own}], the levels above cid {cid}"
            )
    aperture = profile_or_default(profile).aperture
    return int(cid) // int(aperture ** (own - level))


def children(cid: SupportsIndex, profile: ProfileLike = None) -> list[int]:
    """The cells one level below `cid`, in digit order (row by row from the top)."""
    own = int(_kivet.position(cid, profile)[1])
    aperture = profile_or_default(profile).aperture
    first = int(cid) * aperture
    kids = [first + digit for digit in range(aperture)]
    try:
        fits = kids[-1] < 1 << 64 and _kivet.position(kids[-1], profile)[1] == own + 1
    except ValueError:
        fits = False
    if not fits:
        raise ValueError(f"cid {cid} is at the deepest level, {own}; it has no children")
    return kids


class Resolution(TypedDict):
    """One row of :func:`resolutions`."""

    level: int
    cells: int
    area_m2: float
    side_m: float


def resolutions(profile: ProfileLike = None) -> list[Resolution]:
    """One row per level 0 to ``MAX_RESOLUTION``: the level, its cell count, the cell area in
    m² and the side in m of a square of that area."""
    grid = profile_or_default(profile)
    rows: list[Resolution] = []
    for lvl in range(_kivet.MAX_RESOLUTION + 1):
        area = _kivet.cell_area_m2(lvl, profile)
        rows.append(
            Resolution(
                level=lvl,
                cells=grid.n_base * grid.aperture**lvl,
                area_m2=area,
                side_m=math.sqrt(area),
            )
        )
    return rows
