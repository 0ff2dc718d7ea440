"""Polygon fill by the nucleus rule, against a brute-force oracle.

The oracle lists every cell of a resolution, takes its nucleus from
_cells_to_lonlat and keeps it when the nucleus is strictly inside the area by
an even-odd ray test in exact rational arithmetic: a nucleus on any edge is
out; inside means inside the exterior and outside every hole of some polygon.
"""

import json
import math
import random
import re
from fractions import Fraction

import numpy as np
import pytest

import _kivet
from _kivet import Profile, Tree, fingerprint_polygon, polyfill


def all_cells(res, a=9):
    return np.arange(a * a ** res, (a + 6) * a ** res, dtype=np.uint64)


def closed(ring):
    return ring if not ring or ring[0] == ring[-1] else ring + [ring[0]]


def polygons_of(geojson):
    g = geojson
    while g["type"] == "Feature":
        g = g["geometry"]
    polys = [g["coordinates"]] if g["type"] == "Polygon" else g["coordinates"]
    return [[closed([tuple(map(float, p[:2])) for p in ring]) for ring in poly]
            for poly in polys]


def where(polys, px, py):
    """'in', 'on' or 'out' for the point, exactly."""
    fx, fy = Fraction(px), Fraction(py)
    odd = []
    for poly in polys:
        odd.append([])
        for ring in poly:
            crossings = 0
            for (ax, ay), (bx, by) in zip(ring, ring[1:]):
                if (ax, ay) == (bx, by):
                    continue
                if min(ax, bx) <= px <= max(ax, bx) and min(ay, by) <= py <= max(ay, by):
                    a, b = (Fraction(ax), Fraction(ay)), (Fraction(bx), Fraction(by))
                    if (a[0] - fx) * (b[1] - fy) == (a[1] - fy) * (b[0] - fx):
                        return "on"
                if (ay <= py < by) or (by <= py < ay):
                    # x where the edge meets the ray's height
                    x = Fraction(ax) + (fy - Fraction(ay)) * (Fraction(bx) - Fraction(ax)) / (
                        Fraction(by) - Fraction(ay))
                    crossings += x > fx
            odd[-1].append(crossings % 2 == 1)
    return "in" if any(o[0] and not any(o[1:]) for o in odd if o) else "out"


def oracle(geojson, res, profile=None):
    polys = polygons_of(geojson)
    pts = [p for poly in polys for ring in poly for p in ring]
    if not pts:
        return []
    x0, x1 = min(p[0] for p in pts), max(p[0] for p in pts)
    y0, y1 = min(p[1] for p in pts), max(p[1] for p in pts)
    cids = all_cells(res, (profile or Profile()).aperture)
    lon, lat = _kivet._cells_to_lonlat(cids, profile)
    near = np.nonzero((lon >= x0) & (lon <= x1) & (lat >= y0) & (lat <= y1))[0]
    return [int(cids[i]) for i in near if where(polys, float(lon[i]), float(lat[i])) == "in"]


def poly(*rings):
    return {"type": "Polygon", "coordinates": [list(map(list, r)) for r in rings]}


def multi(*polys):
    return {"type": "MultiPolygon", "coordinates": [p["coordinates"] for p in polys]}


def nucleus(cid):
    lon, lat = _kivet._cells_to_lonlat(np.array([cid], dtype=np.uint64))
    return float(lon[0]), float(lat[0])


def rect(x0, y0, x1, y1):
    return [(x0, y0), (x1, y0), (x1, y1), (x0, y1)]


def through_nuclei():
    # Corners at level-3 nuclei of one row and one column of base cell P: the
    # edges run exactly through the nuclei between them (one row shares one
    # latitude, one column one longitude).
    def at(row, col):
        return _kivet.cell_at(1, 3, row, col)

    c = [nucleus(at(r, k)) for r, k in ((5, 4), (5, 20), (20, 20), (20, 4))]
    return poly(c)


AREAS = {
    "convex": poly([(10, 5), (60, -20), (80, 30), (20, 40)]),
    "concave": poly([(-40, -30), (30, -30), (30, 40), (10, 40), (10, -10), (-20, -10),
                     (-20, 40), (-40, 40)]),
    "holes": poly(rect(-60, -40, 60, 40), rect(-50, -30, -10, 30), [(0, 0), (40, -20), (40, 20)]),
    "overlapping": multi(poly(rect(-30, -30, 20, 20)), poly(rect(0, 0, 50, 50)),
                         poly(rect(100, 10, 120, 30))),
    "antimeridian": poly([(170, -20), (-170, -20), (-170, 20), (170, 20)]),
    "beyond_180": poly([(150, -20), (200, -20), (200, 20), (150, 20)]),
    "west_of_r": poly(rect(-175, -30, -135, 30)),
    "north_cap": poly([(-180, 55), (-60, 65), (60, 55), (180, 65), (180, 90), (-180, 90)]),
    "south_pole_ring": poly([(-180, -60), (180, -60), (180, -90), (-180, -90)]),
    "tiny": poly([(4.99, -0.01), (5.01, -0.01), (5.0, 0.02)]),
    "feature": {"type": "Feature", "properties": {"name": "x"},
                "geometry": poly([(-100, 50), (-60, 20), (-30, 70)])},
}


class TestMatchesTheOracle:
    @pytest.mark.parametrize("name", sorted(AREAS))
    @pytest.mark.parametrize("res", range(5))
    def test_polyfill_is_the_nucleus_rule(self, name, res):
        area = AREAS[name]
        assert polyfill(area, res) == oracle(area, res)

    @pytest.mark.parametrize("seed", range(16))
    def test_random_star_polygons_anywhere(self, seed):
        # Polar and antimeridian cells have the least obvious boxes; random
        # stars centred anywhere, poles included, exercise them.
        rng = random.Random(seed)
        cx, cy = rng.uniform(-180, 180), rng.choice([rng.uniform(-90, 90), 88.0, -85.0])
        n = rng.randint(3, 12)
        ring = []
        for i in range(n):
            t = 2 * math.pi * (i + rng.random() * 0.8) / n
            r = rng.uniform(1, 45)
            ring.append((cx + r * math.cos(t), max(-90.0, min(90.0, cy + r * math.sin(t)))))
        area = poly(ring)
        res = 3 + seed % 2
        assert polyfill(area, res) == oracle(area, res)

    @pytest.mark.parametrize("res", range(5))
    def test_edges_and_vertices_through_nuclei(self, res):
        area = through_nuclei()
        assert polyfill(area, res) == oracle(area, res)

    def test_nuclei_on_edges_and_vertices_are_not_covered(self):
        area = through_nuclei()
        cells = set(polyfill(area, 3))
        row5 = [_kivet.cell_at(1, 3, 5, k) for k in range(4, 21)]
        col4 = [_kivet.cell_at(1, 3, r, 4) for r in range(5, 21)]
        assert cells and not cells & set(row5 + col4)
        assert _kivet.cell_at(1, 3, 6, 5) in cells

    @pytest.mark.parametrize("lon_0", [0, 100, -179.5, 137.25])
    @pytest.mark.parametrize("name", ["west_of_r", "antimeridian", "north_cap"])
    def test_other_prime_meridians(self, lon_0, name):
        # lon_0 = 100 puts base cell Q across the antimeridian at level 0
        profile = Profile(lon_0_udeg=int(lon_0 * 1e6), north_square=1, south_square=3)
        area = AREAS[name]
        for res in range(4):
            assert polyfill(area, res, profile) == oracle(area, res, profile)


class TestCellBoxesAcrossTheAntimeridian:
    def test_area_between_minus_180_and_minus_130_is_found(self):
        # Base cell R spans [140, 230] with lon_0 = 50; its box must be split
        # at 180 or everything west of -130 is lost at level 0.
        got = polyfill(AREAS["west_of_r"], 2)
        assert got and all(_kivet.cid_to_suid(c)[0] == "R" for c in got)
        assert len(polyfill(AREAS["west_of_r"], 4)) > 9 * len(got) - 9 * 4


class TestIdentities:
    @pytest.mark.parametrize("name", ["concave", "holes", "overlapping", "north_cap"])
    def test_polyfill_tree_and_fingerprint_agree(self, name):
        area = AREAS[name]
        tree = Tree.from_geojson(area, 5)
        leaves = polyfill(area, 5)
        assert tree.leaves() == leaves
        assert tree.leaf_count() == len(leaves)
        assert fingerprint_polygon(area, 5) == tree.root_hex
        assert tree == Tree.from_cells(leaves, 5)
        assert tree.depth == 5

    def test_large_area_is_held_by_coarse_cells(self):
        tree = Tree.from_geojson(AREAS["holes"], 6)
        levels = {len(_kivet.cid_to_suid(c)) - 1 for c in tree.cells()}
        assert min(levels) <= 3 and max(levels) == 6

    @pytest.mark.parametrize("name", ["convex", "concave", "holes", "north_cap"])
    def test_ring_orientation_does_not_matter(self, name):
        area = AREAS[name]
        flipped = {"type": "Polygon",
                   "coordinates": [r[::-1] for r in area["coordinates"]]}
        assert polyfill(flipped, 4) == polyfill(area, 4)
        assert fingerprint_polygon(flipped, 6) == fingerprint_polygon(area, 6)

    def test_text_and_python_data_agree(self):
        area = AREAS["overlapping"]
        assert polyfill(json.dumps(area), 4) == polyfill(area, 4)
        assert fingerprint_polygon(json.dumps(area), 5) == fingerprint_polygon(area, 5)
        assert Tree.from_geojson(json.dumps(area), 5) == Tree.from_geojson(area, 5)

    def test_empty_areas_cover_nothing(self):
        for area in ({"type": "MultiPolygon", "coordinates": []},
                     {"type": "Polygon", "coordinates": [[]]}):
            assert polyfill(area, 3) == []
            tree = Tree.from_geojson(area, 3)
            assert tree.is_empty()
            assert fingerprint_polygon(area, 3) == Tree.from_cells([], 3).root_hex


WORLD = poly(rect(-1000, -1000, 1000, 1000))


class TestResolutionBounds:
    def test_resolution_0_is_base_cells_by_nucleus(self):
        # nuclei of N, O, P, Q, R, S: (-130, 90), (-85, 0), (5, 0), (95, 0), (-175, 0), (., -90)
        assert polyfill(poly(rect(-90, -10, 10, 10)), 0) == [10, 11]
        assert polyfill(WORLD, 0) == list(range(9, 15))

    def test_resolution_15_is_accepted(self):
        lon, lat = nucleus(_kivet.cell_at(2, 15, 1000, 2000))
        eps = 1e-7
        area = poly(rect(lon - eps, lat - eps, lon + eps, lat + eps))
        assert _kivet.cell_at(2, 15, 1000, 2000) in polyfill(area, 15)

    @pytest.mark.parametrize("entry", [polyfill, fingerprint_polygon, Tree.from_geojson])
    @pytest.mark.parametrize("res", [16, 19, 2 ** 32 - 1])
    def test_resolution_above_15_is_refused(self, entry, res):
        with pytest.raises(ValueError, match=re.escape(f"resolution {res} out of range [0, 15]")):
            entry(AREAS["tiny"], res)

    def test_whole_earth_at_15_refuses_the_list_but_not_the_tree(self):
        with pytest.raises(MemoryError):
            polyfill(WORLD, 15)
        tree = Tree.from_geojson(WORLD, 15)
        assert tree.leaf_count() == 6 * 9 ** 15
        assert tree.cells() == list(range(9, 15))
        assert fingerprint_polygon(WORLD, 15) == Tree.from_cells(range(9, 15), 15).root_hex


class TestProfiles:
    @pytest.mark.parametrize("entry", [polyfill, fingerprint_polygon, Tree.from_geojson])
    def test_other_base_cell_counts_are_refused(self, entry):
        with pytest.raises(ValueError, match=re.escape(
                "polygon fill needs the 6 base cells of rHEALPix; H(9,5) has 5")):
            entry(AREAS["tiny"], 2, Profile(n_base=5))

    @pytest.mark.parametrize("entry", [polyfill, fingerprint_polygon, Tree.from_geojson])
    def test_resolution_beyond_the_hierarchy_is_refused(self, entry):
        # (16 + 6)·16^15 does not fit in 64 bits
        with pytest.raises(ValueError, match=re.escape(
                "depth 15 is deeper than the deepest level, 14")):
            entry(AREAS["tiny"], 15, Profile(aperture=16))
        micro = poly(rect(5, 0, 5 + 1e-6, 1e-6))
        assert len(polyfill(micro, 14, Profile(aperture=16))) > 0

    def test_aperture_4_covers_by_nucleus(self):
        p = Profile(aperture=4)
        area = AREAS["concave"]
        for res in range(6):
            cells = polyfill(area, res, p)
            assert cells == oracle(area, res, p)
            assert Tree.from_geojson(area, res, p).leaves() == cells


class TestNoLeaks:
    @pytest.mark.parametrize("call", [
        lambda: polyfill(AREAS["tiny"], 4),
        lambda: fingerprint_polygon(AREAS["tiny"], 3),
        lambda: Tree.from_geojson(AREAS["tiny"], 3).root_hex,
        lambda: pytest.raises(ValueError, polyfill, {"type": "Polygon", "coordinates": [[[0, "x"]]]}, 2),
        lambda: pytest.raises(ValueError, fingerprint_polygon, AREAS["tiny"], 16),
    ], ids=["polyfill", "fingerprint", "from_geojson", "bad_geometry", "bad_resolution"])
    def test_memory_stays_flat(self, call):
        from test_leaks import assert_flat
        assert_flat(call, n=10000)
