"""Grid cells: areas and the display polygons of cells_geojson / Tree.geojson."""

import inspect
import math
import re

import numpy as np
import pytest

import _kivet
import rhealpix_model as model

CAP_N = _kivet.suid_to_cid("N")
CAP_S = _kivet.suid_to_cid("S")


def ring_of(cid, n=3, profile=None):
    (feature,) = _kivet.cells_geojson([cid], profile, n)["features"]
    (ring,) = feature["geometry"]["coordinates"]
    return ring


def signed_area(ring):
    return sum(a[0] * b[1] - b[0] * a[1] for a, b in zip(ring, ring[1:])) / 2


def cells_at(level, n=200, seed=0):
    rng = np.random.default_rng(seed)
    lon = rng.uniform(-180, 180, n)
    lat = np.degrees(np.arcsin(rng.uniform(-1, 1, n)))
    return _kivet._cells_from_lonlat(lon, lat, level).tolist()


class TestCellArea:
    def test_base_cells_share_the_authalic_sphere(self):
        assert _kivet.cell_area_m2(0) == pytest.approx(2 * math.pi / 3 * model.R**2, rel=1e-15)
        assert _kivet.cell_area_m2(0) == pytest.approx(8.50e13, rel=1e-3)

    def test_each_level_divides_by_the_aperture(self):
        for level in range(1, 30):
            ratio = _kivet.cell_area_m2(level - 1) / _kivet.cell_area_m2(level)
            assert ratio == pytest.approx(9, rel=1e-14)

    def test_levels_beyond_64_bit_powers_keep_shrinking(self):
        # 3^41 no longer fits in 64 bits; the area still follows the formula.
        for level in (40, 41, 60):
            assert _kivet.cell_area_m2(level) == pytest.approx(
                _kivet.cell_area_m2(0) / 9.0**level, rel=1e-12)
        assert _kivet.cell_area_m2(2**32 - 1) == 0.0

    def test_profile_method_matches_function(self):
        for p in (_kivet.Profile(), _kivet.Profile.kivet_1(),
                  _kivet.Profile(aperture=4, inv_f_nano=300 * 10**9)):
            for level in (0, 3, 15):
                assert p.area_m2(level) == _kivet.cell_area_m2(level, p)
        assert _kivet.cell_area_m2(5, None) == _kivet.cell_area_m2(5)

    def test_signatures_and_argument_errors(self):
        assert str(inspect.signature(_kivet.cell_area_m2)) == "(level, profile=None)"
        assert _kivet.Profile.area_m2.__doc__ == "Exact ellipsoidal cell area at `level`, m\u00b2."
        assert str(inspect.signature(_kivet.Profile.area_m2)) == "(self, /, level)"
        with pytest.raises(OverflowError, match="level"):
            _kivet.cell_area_m2(-1)
        with pytest.raises(OverflowError, match="level"):
            _kivet.Profile().area_m2(2**32)
        with pytest.raises(TypeError, match="level"):
            _kivet.cell_area_m2("3")
        with pytest.raises(TypeError, match="profile"):
            _kivet.cell_area_m2(3, profile=5)


class TestFeatureCollection:
    def test_empty_list_gives_empty_collection(self):
        assert _kivet.cells_geojson([]) == {"features": [], "type": "FeatureCollection"}
        assert list(_kivet.cells_geojson([])) == ["features", "type"]

    def test_features_follow_input_order_with_duplicates(self):
        cids = [100, 9, 100, 13 * 81 + 40]
        fc = _kivet.cells_geojson(cids)
        assert [f["properties"]["cid"] for f in fc["features"]] == cids
        assert [f["id"] for f in fc["features"]] == [str(c) for c in cids]

    def test_feature_shape_and_key_order(self):
        (f,) = _kivet.cells_geojson([CAP_N])["features"]
        assert list(f) == ["geometry", "id", "properties", "type"]
        assert f["type"] == "Feature" and f["id"] == "9"
        assert f["properties"] == {"cid": 9, "level": 0, "suid": "N"}
        assert list(f["properties"]) == ["cid", "level", "suid"]
        assert f["geometry"]["type"] == "Polygon"

    def test_suid_and_level(self):
        cid = _kivet.suid_to_cid("P0482")
        (f,) = _kivet.cells_geojson([cid])["features"]
        assert f["properties"] == {"cid": cid, "level": 4, "suid": "P0482"}

    def test_cid_errors_end_the_whole_call(self):
        with pytest.raises(ValueError, match=re.escape("not a cid: 5")):
            _kivet.cells_geojson([9, 5])
        with pytest.raises(ValueError, match=re.escape("cid 15 names base 6, outside [0, 6)")):
            _kivet.cells_geojson([15])

    def test_collections_that_cannot_fit_are_refused_before_building(self):
        with pytest.raises(MemoryError, match="^a collection of 2 cells cannot be allocated$"):
            _kivet.cells_geojson([100, CAP_N], n=2**40)
        with pytest.raises(MemoryError, match="^a collection of 1 cells cannot be allocated$"):
            _kivet.Tree.from_cells([CAP_S], 0).geojson(2**40)
        # n only densifies polar cells.
        assert len(ring_of(100, 2**64 - 1)) == 5

    def test_cells_of_other_hierarchies_have_no_suid(self):
        # Aperture 4: base cell 0 is cid 4, which is no rHEALPix cid.
        with pytest.raises(ValueError, match=re.escape("not a cid: 4")):
            _kivet.cells_geojson([4], _kivet.Profile(aperture=4))

    def test_argument_conversion(self):
        with pytest.raises(TypeError, match="cids"):
            _kivet.cells_geojson("9")
        with pytest.raises(OverflowError, match="cids"):
            _kivet.cells_geojson([-1])
        with pytest.raises(TypeError, match="n"):
            _kivet.cells_geojson([9], n=2.5)

        def failing():
            yield 9
            raise KeyError("source gone")
        with pytest.raises(KeyError, match="source gone"):
            _kivet.cells_geojson(failing())
        assert str(inspect.signature(_kivet.cells_geojson)) == "(cids, profile=None, n=3)"
        assert _kivet.cells_geojson.__doc__ == (
            "GeoJSON FeatureCollection of cell polygons for display: counterclockwise rings, "
            "`n` points\nper edge on polar cells (equatorial cells are their four corners), "
            "rings that cross the\nantimeridian shifted east of 180\u00b0 so tile maps draw "
            "them whole, and each polar cap closed\nthrough its pole. Properties: `cid`, "
            "`suid`, `level`; feature `id` is the cid as a string.")


class TestDisplayPolygon:
    def test_every_ring_closes_and_runs_counterclockwise(self):
        for level in (0, 1, 2, 5):
            for cid in cells_at(level, 100, seed=level) + [CAP_N, CAP_S]:
                ring = ring_of(cid)
                assert ring[0] == ring[-1]
                assert signed_area(ring) > 0, cid

    def test_every_corner_of_the_layout_inverts(self):
        # Outer corners of the polar squares, the band's edges and x = -π lie
        # on the image's boundary; the tolerances keep them inside.
        cells = np.array([c for b in range(9, 15) for c in range(b * 81, b * 81 + 81)],
                         np.uint64)
        for ns in range(4):
            for ss in range(4):
                p = _kivet.Profile(north_square=ns, south_square=ss)
                coords, _ = _kivet._cell_boundaries(cells, 2, p)
                assert np.isfinite(coords).all()

    def test_equatorial_cells_are_their_four_corners(self):
        for n in (2, 3, 10):
            for cid in [_kivet.suid_to_cid(s) for s in ("O", "P4", "Q888", "R0123")]:
                assert len(ring_of(cid, n)) == 5

    def test_polar_cells_have_n_points_per_edge(self):
        cid = _kivet.suid_to_cid("N0")
        assert len(ring_of(cid, 3)) == 9
        assert len(ring_of(cid, 10)) == 37
        assert len(ring_of(cid, 0)) == len(ring_of(cid, 2)) == 5

    def test_north_cap_runs_along_its_boundary_then_over_the_pole(self):
        ring = ring_of(CAP_N)
        assert len(ring) == 4 * (3 - 1) + 5
        phi = ring[0][1]
        assert ring[0] == [-180.0, phi] and ring[-4:] == [[180.0, phi], [180.0, 90.0],
                                                        [-180.0, 90.0], [-180.0, phi]]
        lons = [p[0] for p in ring[1:-4]]
        assert lons == sorted(lons) and -180 < lons[0] and lons[-1] < 180
        assert phi == pytest.approx(41.9378539, abs=1e-6)  # authalic asin(2/3)

    def test_south_cap_mirrors_it(self):
        ring = ring_of(CAP_S, 4)
        assert len(ring) == 4 * (4 - 1) + 5
        phi = ring[0][1]
        assert ring[0] == [180.0, phi] and ring[-4:] == [[-180.0, phi], [-180.0, -90.0],
                                                       [180.0, -90.0], [180.0, phi]]
        lons = [p[0] for p in ring[1:-4]]
        assert lons == sorted(lons, reverse=True)

    @pytest.mark.parametrize("level", [1, 2, 5])
    def test_pole_cells_are_caps_reaching_the_pole(self, level):
        centre = int("4" * level)
        for letter, pole in (("N", 90.0), ("S", -90.0)):
            ring = ring_of(_kivet.suid_to_cid(f"{letter}{centre}"))
            assert len(ring) == 13
            assert [pole, pole] == [p[1] for p in ring[-3:-1]]
            assert {-180.0, 180.0} <= {p[0] for p in ring}

    def test_cap_with_even_side_is_only_the_base_cell(self):
        # Aperture 4 has no centre child: only the base cell is a cap.
        p = _kivet.Profile(aperture=4)
        coords, offsets = _kivet._cell_boundaries(np.array([4, 16, 17, 18, 19], np.uint64),
                                                  3, p)
        assert np.diff(offsets).tolist() == [13, 9, 9, 9, 9]

    def test_rings_crossing_the_antimeridian_shift_east(self):
        # Cells straddling 180° in a 0°-centred grid: none of their longitudes
        # is negative, and they stay within one cell width.
        crossing = 0
        for cid in cells_at(3, 4000, seed=3):
            ring = ring_of(cid)
            lons = [p[0] for p in ring]
            if max(lons) > 180:
                crossing += 1
                assert min(lons) >= 0
            if abs(ring[-2][1]) != 90:  # caps span every longitude
                assert max(lons) - min(lons) <= 180
        assert crossing > 0

    def test_densified_points_lie_on_the_coarse_ring_corners(self):
        cid = _kivet.suid_to_cid("S18")
        coarse, fine = ring_of(cid, 2), ring_of(cid, 5)
        assert coarse[:-1] == fine[:-1:4]

    def test_corners_are_the_inverse_of_planar_corners(self):
        # Counterclockwise from the upper-left vertex: lower-left, lower-right,
        # upper-right (the planar ring reversed). Polar nuclei are checked by
        # the round trips of test_geo.
        for cid in cells_at(4, 60, seed=9) + [_kivet.suid_to_cid('R2888'), _kivet.suid_to_cid('O3000')]:
            base, level, row, col = _kivet.position(cid)
            ux, uy = model.upper_left(base)
            side = math.pi / 2 * model.R / 3**level
            ring = ring_of(cid, 2)
            if base in (0, 5):
                continue  # corners on the squares' diagonals have two images
            for (dc, dr), point in zip([(0, 0), (0, 1), (1, 1), (1, 0)], ring):
                x, y = model.forward(*point)
                wrap = 2 * math.pi * model.R  # the band's two ends are one meridian
                dx = (x - ux - (col + dc) * side + wrap / 2) % wrap - wrap / 2
                assert dx == pytest.approx(0, abs=1e-6)
                assert y == pytest.approx(uy - (row + dr) * side, abs=1e-6)


class TestTreeGeojson:
    def test_is_cells_geojson_of_the_canonical_cells(self):
        tree = _kivet.Tree.from_cells([81 + i for i in range(9)] + [100, 1000], 3)
        assert tree.geojson() == _kivet.cells_geojson(tree.cells())
        assert tree.geojson(7) == _kivet.cells_geojson(tree.cells(), n=7)
        assert [f["id"] for f in tree.geojson()["features"]] == ["9", "100", "1000"]

    def test_uses_the_trees_profile(self):
        p = _kivet.Profile.kivet_1()
        tree = _kivet.Tree.from_cells([100], 1, p)
        assert tree.geojson() == _kivet.cells_geojson([100], p)
        assert tree.geojson() != _kivet.cells_geojson([100])

    def test_empty_tree_gives_empty_collection(self):
        assert _kivet.Tree.from_cells([], 4).geojson() == {"features": [],
                                                           "type": "FeatureCollection"}

    def test_signature(self):
        assert str(inspect.signature(_kivet.Tree.geojson)) == "(self, /, n=3)"
        assert _kivet.Tree.geojson.__doc__ == (
            "GeoJSON of the canonical cells (see `cells_geojson`).")
