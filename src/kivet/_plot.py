"""Pictures of coverages with matplotlib (the optional ``plot`` extra).

matplotlib is imported inside the functions, so ``import kivet`` never needs it.

A tree is drawn as its canonical cells, all of them in one compound path per tree: one
artist, no Python object per cell, so hundreds of thousands of cells draw in a fraction
of a second. Two views:

- longitude/latitude degrees: each cell's display ring; a ring that crosses the
  antimeridian is cut at 180° and its eastern part drawn again west of -180°, so the
  picture stays within [-180, 180]; polar caps arrive closed through their pole.
- ``plane=True``: the rHEALPix plane in metres on the authalic sphere, where every cell is
  a square. The six base squares, of side (π/2)·R, have their upper-left corners at
  N ((ns·π/2 - π)·R, 3π/4·R), O (-π·R, π/4·R), P (-π/2·R, π/4·R), Q (0, π/4·R),
  R (π/2·R, π/4·R) and S ((ss·π/2 - π)·R, -π/4·R), with ns and ss the profile's polar
  square positions; rows count down from the top edge, columns right from the left edge.
"""

from __future__ import annotations

import json
import math
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy as np

import _kivet

from ._typing import profile_or_default

__all__ = ["plot", "plane_squares", "lonlat_rings", "lonlat_to_plane"]

# Points per polar edge by cell level: coarse polar cells bend visibly, fine ones do not.
_POLAR_POINTS = {0: 33, 1: 17, 2: 9, 3: 5}
_FINE_POLAR_POINTS = 3
# Level of the cells used to place outline points in the plane: about a metre on the Earth,
# far below a pixel, and the deepest level the point lookup serves.
_OUTLINE_LEVEL = _kivet.MAX_RESOLUTION


def _side(profile: _kivet.Profile) -> tuple[int, int]:
    """(aperture, cells per side) of the profile, or ValueError when cells are not squares."""
    aperture = profile.to_dict()["aperture"]
    n = math.isqrt(aperture)
    if n * n != aperture:
        raise ValueError(f"aperture {aperture} is not a square; cells have no row and column")
    return aperture, n


def _levels(cids: np.ndarray, aperture: int) -> np.ndarray:
    """Level of each cid: the number of base-`aperture` digits minus 2."""
    powers = []
    p = aperture
    while p < 2**64:
        powers.append(p)
        p *= aperture
    # cid = (A + base)·A^L + digits lies in [A^(L+1), A^(L+2)).
    return np.searchsorted(np.array(powers, np.uint64), cids, side="right").astype(np.int64) - 1


def _positions(cids: np.ndarray, profile: _kivet.Profile) -> tuple[np.ndarray, ...]:
    """(base, level, row, col) of every cid, as `position` gives them, over whole arrays."""
    aperture, n = _side(profile)
    cids = np.asarray(cids, np.uint64)
    level = _levels(cids, aperture)
    rest = cids.copy()
    row = np.zeros(len(cids), np.uint64)
    col = np.zeros(len(cids), np.uint64)
    a, side, scale = np.uint64(aperture), np.uint64(n), np.uint64(1)
    for i in range(int(level.max(initial=0))):
        # Digits come off finest first; a cid with fewer digits keeps its value.
        active = level > i
        digit = np.where(active, rest % a, np.uint64(0))
        rest = np.where(active, rest // a, rest)
        row += digit // side * scale
        col += digit % side * scale
        scale *= side
    base = (rest - a).astype(np.int64)
    n_base = profile.to_dict()["n_base"]
    bad = (level < 0) | (base < 0) | (base >= n_base)
    if bad.any():
        raise ValueError(f"not a cid: {int(cids[np.argmax(bad)])}")
    return base, level, row, col


def _authalic_radius(profile: _kivet.Profile) -> float:
    d = profile.to_dict()
    a = float(d["a_um"]) / 1e6
    f = 1.0 / (float(d["inv_f_nano"]) / 1e9)
    e = math.sqrt(f * (2.0 - f))
    if e == 0.0:
        return a
    q_p = 1.0 - ((1.0 - e * e) / (2.0 * e)) * math.log((1.0 - e) / (1.0 + e))
    return a * math.sqrt(q_p / 2.0)


def _base_corners(profile: _kivet.Profile) -> np.ndarray:
    """Upper-left corner of each of the six base squares, metres, shape (6, 2)."""
    d = profile.to_dict()
    if d["n_base"] != 6:
        raise ValueError(f"the rHEALPix layout has 6 base cells, the profile has {d['n_base']}")
    r = _authalic_radius(profile)
    ns, ss = d["north_square"] % 4, d["south_square"] % 4
    pi = math.pi
    return r * np.array(
        [
            [ns * pi / 2 - pi, 3 * pi / 4],
            [-pi, pi / 4],
            [-pi / 2, pi / 4],
            [0.0, pi / 4],
            [pi / 2, pi / 4],
            [ss * pi / 2 - pi, -pi / 4],
        ]
    )


def plane_squares(cids: Any, profile: _kivet.Profile | None = None) -> np.ndarray:
    """The square of each cell in the rHEALPix plane, metres: shape ``(N, 4, 2)``.

    Corners run counterclockwise from the upper-left: upper-left, lower-left, lower-right,
    upper-right.
    """
    profile = profile_or_default(profile)
    cids = np.asarray(cids, np.uint64).reshape(-1)
    corners = _base_corners(profile)
    base, level, row, col = _positions(cids, profile)
    _, n = _side(profile)
    size = (math.pi / 2) * _authalic_radius(profile) / np.power(float(n), level)
    x = corners[base, 0] + col.astype(np.float64) * size
    y = corners[base, 1] - row.astype(np.float64) * size
    out = np.empty((len(cids), 4, 2))
    out[:, 0] = np.stack([x, y], axis=1)
    out[:, 1] = np.stack([x, y - size], axis=1)
    out[:, 2] = np.stack([x + size, y - size], axis=1)
    out[:, 3] = np.stack([x + size, y], axis=1)
    return out


def lonlat_to_plane(lon: Any, lat: Any, profile: _kivet.Profile | None = None) -> np.ndarray:
    """Points ``(lon, lat)`` in degrees placed in the rHEALPix plane, metres: shape ``(N, 2)``.

    Each point becomes the centre of the finest grid cell holding it (about a metre across on
    the Earth), so it agrees with the cells drawn by :func:`plot` by construction.
    """
    profile = profile_or_default(profile)
    lon = np.ascontiguousarray(lon, np.float64).reshape(-1)
    lat = np.ascontiguousarray(lat, np.float64).reshape(-1)
    cids = _kivet._cells_from_lonlat(lon, lat, _OUTLINE_LEVEL, profile)
    centres: np.ndarray = plane_squares(cids, profile)[:, [0, 2]].mean(axis=1)
    return centres


def _break_jumps(line: np.ndarray, profile: _kivet.Profile) -> np.ndarray:
    """Lift the pen where a plane line jumps: the plane is cut along base-square edges, so
    an edge across the cut lands far away and would streak across the picture."""
    limit = (math.pi / 8) * _authalic_radius(profile)
    jumps = np.flatnonzero(np.hypot(*np.diff(line, axis=0).T) > limit) + 1
    return np.insert(line, jumps, np.nan, axis=0)


def _clip_ring(ring: np.ndarray, west: bool) -> np.ndarray:
    """The part of a ring west (or east) of longitude 180, by one-plane polygon clipping."""
    x = ring[:, 0] - 180.0
    inside = x <= 0.0 if west else x >= 0.0
    out = []
    for i in range(len(ring) - 1):
        p, q = ring[i], ring[i + 1]
        if inside[i]:
            out.append(p)
        if inside[i] != inside[i + 1] and x[i] != x[i + 1]:
            t = x[i] / (x[i] - x[i + 1])
            out.append(np.array([180.0, p[1] + t * (q[1] - p[1])]))
    if len(out) < 3:
        return np.empty((0, 2))
    out.append(out[0])
    return np.array(out)


def lonlat_rings(cids: Any, profile: _kivet.Profile | None = None) -> tuple[np.ndarray, np.ndarray]:
    """Display rings of cells in degrees, cut at the antimeridian: ``(coords, offsets)``.

    Ring ``i`` is ``coords[offsets[i]:offsets[i + 1]]``; each is closed and counterclockwise.
    A cell crossing the antimeridian gives two rings, one each side of ±180°, both within
    [-180, 180]; the others give one. Rings are not in cell order, and may end with repeats
    of their closing point.
    """
    profile = profile_or_default(profile)
    cids = np.asarray(cids, np.uint64).reshape(-1)
    aperture = profile.to_dict()["aperture"]
    levels = _levels(cids, aperture)
    parts: list[np.ndarray] = []
    lengths: list[np.ndarray] = []
    pieces: list[np.ndarray] = []
    for level in np.unique(levels):
        group = np.ascontiguousarray(cids[levels == level])
        n = _POLAR_POINTS.get(int(level), _FINE_POLAR_POINTS)
        coords, offsets = _kivet._cell_boundaries(group, n, profile)
        east = np.maximum.reduceat(coords[:, 0], offsets[:-1]) > 180.0 if len(group) else None
        for i in np.flatnonzero(east) if east is not None else ():
            start, stop = offsets[i], offsets[i + 1]
            ring = coords[start:stop].copy()
            shifted = _clip_ring(ring, west=False)
            shifted[:, 0] -= 360.0
            pieces.append(shifted)
            west = _clip_ring(ring, west=True)
            if 0 < len(west) <= stop - start:
                # The western part takes the ring's own slot, padded with its closing point
                # (zero-length edges), so the other rings are never copied.
                coords[start:stop] = west[-1]
                coords[start : start + len(west)] = west
            else:
                pieces.append(west)
                coords[start:stop] = (180.0, ring[0, 1])  # an empty ring on the cut
        parts.append(coords)
        lengths.append(np.diff(offsets))
    for piece in pieces:
        if len(piece):
            parts.append(piece)
            lengths.append(np.array([len(piece)]))
    if not parts:
        return np.empty((0, 2)), np.zeros(1, np.int64)
    if len(parts) == 1:
        return parts[0], np.concatenate([[0], np.cumsum(lengths[0])]).astype(np.int64)
    coords = np.concatenate(parts).reshape(-1, 2)
    offsets = np.concatenate([[0], np.cumsum(np.concatenate(lengths))]).astype(np.int64)
    return coords, offsets


def _compound_path(coords: np.ndarray, offsets: np.ndarray) -> Any:
    """One matplotlib Path holding every ring (each closed by its last vertex)."""
    from matplotlib.path import Path

    codes = np.full(len(coords), Path.LINETO, dtype=Path.code_type)
    starts = offsets[:-1]
    codes[starts[np.diff(offsets) > 0]] = Path.MOVETO
    codes[offsets[1:][np.diff(offsets) > 0] - 1] = Path.CLOSEPOLY
    return Path(coords, codes)


def _trees(coverage: Any) -> list[_kivet.Tree]:
    if isinstance(coverage, _kivet.Tree):
        return [coverage]
    if isinstance(coverage, (str, bytes, Mapping)) or not isinstance(coverage, Iterable):
        raise TypeError(
            f"coverage must be a Tree or a list of Trees, not {type(coverage).__name__}"
        )
    trees = list(coverage)
    for i, t in enumerate(trees):
        if not isinstance(t, _kivet.Tree):
            raise TypeError(f"coverage[{i}] must be a Tree, not {type(t).__name__}")
    return trees


def _colours(color: Any, count: int, ax: Any) -> list[Any]:
    from matplotlib.colors import is_color_like

    if color is None:
        return [ax._get_lines.get_next_color() for _ in range(count)]
    if is_color_like(color):
        return [color] * count
    if isinstance(color, (str, bytes)) or not isinstance(color, Sequence):
        raise ValueError(f"color {color!r} is not a colour or a list of colours")
    colours = list(color)
    if len(colours) != count:
        raise ValueError(f"color has {len(colours)} colours for {count} trees")
    for c in colours:
        if not is_color_like(c):
            raise ValueError(f"color {c!r} is not a colour")
    return colours


def _outline_lines(geometry: Any) -> list[np.ndarray]:
    """Every ring or line of a GeoJSON geometry, Feature or FeatureCollection, degrees."""
    if hasattr(geometry, "__geo_interface__"):
        geometry = geometry.__geo_interface__
    if isinstance(geometry, str):
        try:
            geometry = json.loads(geometry)
        except json.JSONDecodeError as e:
            raise ValueError(f"outline is not JSON: {e}") from None
    if not isinstance(geometry, dict):
        raise TypeError(f"outline must be GeoJSON, not {type(geometry).__name__}")
    kind = geometry.get("type")
    if kind == "FeatureCollection":
        return [line for f in geometry.get("features") or [] for line in _outline_lines(f)]
    if kind == "Feature":
        g = geometry.get("geometry")
        return [] if g is None else _outline_lines(g)
    if kind == "GeometryCollection":
        return [line for g in geometry.get("geometries") or [] for line in _outline_lines(g)]
    coords = geometry.get("coordinates")
    nesting = {"LineString": 0, "Polygon": 1, "MultiLineString": 1, "MultiPolygon": 2}
    if kind in ("Point", "MultiPoint"):
        return []
    if kind not in nesting or coords is None:
        raise ValueError(f"outline has unsupported GeoJSON type {kind!r}")
    lines = [coords]
    for _ in range(nesting[kind]):
        lines = [inner for outer in lines for inner in outer]
    out = []
    for line in lines:
        a = np.asarray(line, np.float64)
        if a.ndim != 2 or a.shape[1] < 2:
            raise ValueError("outline has a malformed coordinate array")
        out.append(a[:, :2])
    return out


def plot(
    coverage: Any,
    ax: Any = None,
    *,
    plane: bool = False,
    color: Any = None,
    edgecolor: Any = None,
    outline: Any = None,
) -> Any:
    """Draw a `Tree` (or a list of trees, one colour each) as its canonical cells.

    ``plane=False`` draws in longitude/latitude degrees: cells crossing the antimeridian are
    cut there and drawn on both sides, polar caps close through their pole. ``plane=True``
    draws in the rHEALPix plane (metres), where every cell is a square. ``color`` is one
    colour for every tree or one per tree (default: the axes' colour cycle); ``edgecolor``
    strokes the cell edges (default: none). ``outline`` overlays a GeoJSON geometry, Feature
    or FeatureCollection (or any object with ``__geo_interface__``) as lines.

    Returns the matplotlib Axes drawn on (a new figure's when ``ax`` is None).
    """
    from matplotlib.patches import PathPatch

    trees = _trees(coverage)
    if ax is None:
        import matplotlib.pyplot as plt

        _, ax = plt.subplots()
        own_axes = True
    else:
        own_axes = False
    colours = _colours(color, len(trees), ax)
    lat_span: list[float] = []
    for tree, colour in zip(trees, colours):
        cids = tree.cells_array()
        if len(cids) == 0:
            continue
        if plane:
            squares = plane_squares(cids, tree.profile)
            closed = np.concatenate([squares, squares[:, :1]], axis=1)
            coords = closed.reshape(-1, 2)
            offsets = np.arange(0, len(coords) + 1, 5, dtype=np.int64)
        else:
            coords, offsets = lonlat_rings(cids, tree.profile)
            lat_span += [float(coords[:, 1].min()), float(coords[:, 1].max())]
        cells = PathPatch(
            _compound_path(coords, offsets),
            facecolor=colour,
            # Cells of one path are filled in one pass, so neighbours meet without seams and
            # need no edge stroke of their own.
            edgecolor="none" if edgecolor is None else edgecolor,
            linewidth=0.0 if edgecolor is None else 0.5,
        )
        # add_patch would walk the path segment by segment for the data limits; the corners
        # of the coordinates' bounding box give the same limits at once.
        ax.add_artist(cells)
        ax.update_datalim([np.fmin.reduce(coords, axis=0), np.fmax.reduce(coords, axis=0)])
    if outline is not None:
        profile = trees[0].profile if trees else _kivet.Profile()
        for line in _outline_lines(outline):
            if plane:
                line = _break_jumps(lonlat_to_plane(line[:, 0], line[:, 1], profile), profile)
            ax.plot(line[:, 0], line[:, 1], color="black", linewidth=0.8)
            if not plane:
                lat_span += [float(line[:, 1].min()), float(line[:, 1].max())]
    ax.autoscale_view()
    if own_axes:
        if plane:
            ax.set_aspect("equal")
            ax.set_xlabel("x (m)")
            ax.set_ylabel("y (m)")
        else:
            # Degrees of longitude shrink with latitude; keep shapes true at the middle.
            mid = 0.5 * (min(lat_span) + max(lat_span)) if lat_span else 0.0
            ax.set_aspect(1.0 / max(math.cos(math.radians(mid)), 0.1))
            ax.set_xlabel("longitude (°)")
            ax.set_ylabel("latitude (°)")
    return ax
