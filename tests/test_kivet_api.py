"""The kivet package: array-likes in, the engine's results out, geometry objects accepted."""

import json

import numpy as np
import pytest

import _kivet
import kivet

pd = pytest.importorskip("pandas")
shapely = pytest.importorskip("shapely")
gpd = pytest.importorskip("geopandas")

BOX = {"type": "Polygon", "coordinates": [[[5, 45], [10, 45], [10, 50], [5, 50], [5, 45]]]}
SOUTH = {"type": "Polygon", "coordinates": [[[0, -3], [4, -3], [4, 2], [0, 2], [0, -3]]]}
OVERLAP = {"type": "Polygon", "coordinates": [[[8, 47], [14, 47], [14, 52], [8, 52], [8, 47]]]}
RNG = np.random.default_rng(7)
LON = RNG.uniform(-180, 180, 500)
LAT = RNG.uniform(-90, 90, 500)


class TestArrayFunctions:
    def reference(self, level=6):
        return _kivet._cells_from_lonlat(LON, LAT, level)

    @pytest.mark.parametrize(
        "convert",
        [
            list,
            tuple,
            pd.Series,
            lambda a: np.repeat(a, 2)[::2],
        ],
        ids=["list", "tuple", "series", "strided"],
    )
    def test_any_array_like_gives_the_engine_cells(self, convert):
        assert np.array_equal(kivet.cells_from_lonlat(convert(LON), convert(LAT), 6), self.reference())

    def test_float32_and_int_inputs_are_widened_not_refused(self):
        lon32, lat32 = LON.astype(np.float32), LAT.astype(np.float32)
        expected = _kivet._cells_from_lonlat(lon32.astype(np.float64), lat32.astype(np.float64), 5)
        assert np.array_equal(kivet.cells_from_lonlat(lon32, lat32, 5), expected)
        ints = np.array([5, 6, 7], dtype=np.int32)
        assert np.array_equal(
            kivet.cells_from_lonlat(ints, ints, 3),
            _kivet._cells_from_lonlat(ints.astype(np.float64), ints.astype(np.float64), 3),
        )

    def test_scalars_give_scalars_and_shapes_are_kept(self):
        cid = kivet.cells_from_lonlat(5.0, 45.0, 4)
        assert isinstance(cid, int)
        assert cid == int(_kivet._cells_from_lonlat(np.array([5.0]), np.array([45.0]), 4)[0])
        lon, lat = kivet.cells_to_lonlat(cid)
        assert isinstance(lon, float) and isinstance(lat, float)
        grid = kivet.cells_from_lonlat(LON[:6].reshape(2, 3), LAT[:6].reshape(2, 3), 4)
        assert grid.shape == (2, 3) and grid.dtype == np.uint64
        assert kivet.cell_neighbours(grid).shape == (2, 3, 4)
        assert kivet.cells_to_lonlat(grid)[0].shape == (2, 3)
        # A scalar pairs with every element of the other coordinate.
        row = kivet.cells_from_lonlat(LON[:4], 10.0, 4)
        assert np.array_equal(row, kivet.cells_from_lonlat(LON[:4], np.full(4, 10.0), 4))

    def test_cid_functions_match_the_engine(self):
        cids = self.reference(8)
        as_list = [int(c) for c in cids]
        lon, lat = kivet.cells_to_lonlat(as_list)
        elon, elat = _kivet._cells_to_lonlat(cids)
        assert np.array_equal(lon, elon) and np.array_equal(lat, elat)
        assert np.array_equal(kivet.cell_neighbours(pd.Series(cids)), _kivet._cell_neighbours(cids))
        coords, offsets = kivet.cell_boundaries(cids.astype(np.int64), 3)
        ecoords, eoffsets = _kivet._cell_boundaries(cids, 3)
        assert np.array_equal(coords, ecoords) and np.array_equal(offsets, eoffsets)
        ring = kivet.cell_boundaries(as_list[0], 3)
        assert np.array_equal(ring, ecoords[eoffsets[0] : eoffsets[1]])

    def test_misaligned_buffers_are_realigned(self):
        # What an array unpickled from a byte buffer can look like.
        raw = np.zeros(3 * 8 + 1, np.uint8)[1:].view(np.uint64)
        raw[:] = self.reference(3)[:3]
        assert not raw.flags.aligned
        assert np.array_equal(kivet.cell_neighbours(raw), _kivet._cell_neighbours(raw.copy()))
        floats = np.zeros(3 * 8 + 1, np.uint8)[1:].view(np.float64)
        floats[:] = LON[:3]
        assert np.array_equal(
            kivet.cells_from_lonlat(floats, LAT[:3], 4), _kivet._cells_from_lonlat(LON[:3], LAT[:3], 4)
        )

    def test_empty_inputs(self):
        assert kivet.cells_from_lonlat([], [], 3).shape == (0,)
        assert kivet.cells_to_lonlat([])[0].shape == (0,)
        assert kivet.cell_neighbours([]).shape == (0, 4)

    @pytest.mark.parametrize(
        "call, error, text",
        [
            (lambda: kivet.cells_from_lonlat(["a"], [1.0], 2), TypeError, "argument 'lon'"),
            (lambda: kivet.cells_from_lonlat([1.0], [{}], 2), TypeError, "argument 'lat'"),
            (lambda: kivet.cells_from_lonlat([1.0], [None], 2), ValueError,
             "point 0 (1, NaN) is not on the grid"),
            (lambda: kivet.cells_from_lonlat([1.0, 2, 3], [1.0, 2], 2), ValueError,
             "3 longitudes but 2 latitudes"),
            (lambda: kivet.cells_from_lonlat([1.0], [91.0], 2), ValueError,
             "point 0 (1, 91) is not on the grid"),
            (lambda: kivet.cells_to_lonlat([7, -1]), ValueError,
             "argument 'cids': -1 at index 1 is negative, not a cid"),
            (lambda: kivet.cells_to_lonlat([1.5]), TypeError,
             "argument 'cids' must be integers (cids), not float64"),
            (lambda: kivet.cells_to_lonlat([7, "N1"]), TypeError,
             "argument 'cids' must be integers, got str at index 1"),
            (lambda: kivet.cells_to_lonlat([7, 1 << 64]), ValueError, "outside [0, 2**64)"),
            (lambda: kivet.cell_neighbours([1]), ValueError, "cell 0: "),
        ],
    )
    def test_bad_input_names_the_problem(self, call, error, text):
        with pytest.raises(error) as info:
            call()
        assert text in str(info.value)


class TestCells:
    def test_level_parent_children_agree(self):
        cid = kivet.cells_from_lonlat(5.0, 45.0, 5)
        assert kivet.level(cid) == 5
        up = kivet.parent(cid)
        assert kivet.level(up) == 4 and cid in kivet.children(up)
        assert kivet.parent(cid, 0) == kivet.suid_to_cid(kivet.cid_to_suid(cid)[0])
        assert kivet.parent(cid, 5) == cid
        assert [kivet.parent(c) for c in kivet.children(cid)] == [cid] * 9

    def test_children_follow_the_aperture_of_the_profile(self):
        p4 = kivet.Profile("sha256", 4, 6, 50_000_000, 0, 0, 6378137000000, 298257223563, 1, 0)
        cid = kivet.cell_at(2, 1, 0, 1, p4)
        assert len(kivet.children(cid, p4)) == 4
        assert kivet.parent(kivet.children(cid, p4)[3], profile=p4) == cid

    @pytest.mark.parametrize(
        "call, error, text",
        [
            (lambda: kivet.parent(kivet.suid_to_cid("N")), ValueError, "is a base cell"),
            (lambda: kivet.parent(kivet.suid_to_cid("N12"), 3), ValueError,
             "argument 'level': 3 is outside [0, 2]"),
            (lambda: kivet.parent(kivet.suid_to_cid("N12"), 1.0), TypeError, "argument 'level'"),
            (lambda: kivet.children(kivet.suid_to_cid("S" + "8" * 18)), ValueError,
             "deepest level, 18"),
            (lambda: kivet.level(3), ValueError, "not a cid"),
        ],
    )
    def test_bad_cells(self, call, error, text):
        with pytest.raises(error, match=None) as info:
            call()
        assert text in str(info.value)

    def test_resolution_table(self):
        rows = kivet.resolutions()
        assert [r["level"] for r in rows] == list(range(kivet.MAX_RESOLUTION + 1))
        earth = rows[0]["cells"] * rows[0]["area_m2"]
        for row in rows:
            assert row["cells"] == 6 * 9 ** row["level"]
            assert row["cells"] * row["area_m2"] == pytest.approx(earth, rel=1e-12)
            assert row["side_m"] ** 2 == pytest.approx(row["area_m2"])


class TestGeometry:
    def test_every_form_of_one_polygon_gives_one_root(self):
        root = _kivet.fingerprint_polygon(BOX, 6)
        shape = shapely.geometry.shape(BOX)
        forms = [
            BOX,
            json.dumps(BOX),
            json.dumps(BOX).encode(),
            shape,
            {"type": "Feature", "geometry": BOX, "properties": {}},
            {"type": "FeatureCollection", "features": [{"type": "Feature", "geometry": BOX}]},
            gpd.GeoSeries([shape]),
            gpd.GeoDataFrame({"name": ["box"]}, geometry=[shape]),
        ]
        for form in forms:
            assert kivet.coverage(form, 6).root_hex == root

    def test_a_collection_covers_the_union_of_its_features(self):
        # Merged into one MultiPolygon the overlap would cancel; the union keeps it.
        fc = {"type": "FeatureCollection", "features": [
            {"type": "Feature", "geometry": g} for g in (BOX, OVERLAP, SOUTH)]}
        union = _kivet.Tree.from_geojson(BOX, 6).union(_kivet.Tree.from_geojson(OVERLAP, 6))
        union = union.union(_kivet.Tree.from_geojson(SOUTH, 6))
        assert kivet.coverage(fc, 6) == union
        collection = {"type": "GeometryCollection", "geometries": [BOX, OVERLAP, SOUTH]}
        assert kivet.coverage(collection, 6) == union
        assert set(kivet.polyfill(fc, 6).tolist()) == set(union.leaves())

    def test_polyfill_is_a_sorted_uint64_array(self):
        cids = kivet.polyfill(shapely.geometry.shape(BOX), 6)
        assert cids.dtype == np.uint64
        assert cids.tolist() == _kivet.polyfill(BOX, 6)
        empty = kivet.polyfill({"type": "FeatureCollection", "features": []}, 6)
        assert empty.dtype == np.uint64 and empty.size == 0

    def test_fingerprints_one_per_feature_in_order(self):
        shapes = [shapely.geometry.shape(g) for g in (BOX, SOUTH, OVERLAP)]
        expected = [_kivet.fingerprint_polygon(g, 5) for g in (BOX, SOUTH, OVERLAP)]
        frame = gpd.GeoDataFrame({"name": ["a", "b", "c"]}, geometry=shapes)
        assert kivet.fingerprints(frame, 5) == expected
        assert kivet.fingerprints(frame.geometry, 5) == expected
        assert kivet.fingerprints(iter(shapes), 5) == expected
        fc = {"type": "FeatureCollection", "features": [
            {"type": "Feature", "geometry": g} for g in (BOX, SOUTH, OVERLAP)]}
        assert kivet.fingerprints(json.dumps(fc), 5) == expected
        unlocated = {"type": "FeatureCollection", "features": [{"type": "Feature", "geometry": None}]}
        assert kivet.fingerprints(unlocated, 5) == [_kivet.Tree.from_cells([], 5).root_hex]

    @pytest.mark.parametrize(
        "call, error, text",
        [
            (lambda: kivet.coverage(3, 2), TypeError, "argument 'geometry' must be GeoJSON"),
            (lambda: kivet.coverage("{not json", 2), ValueError, "argument 'geometry' is not JSON"),
            (lambda: kivet.coverage({"type": "FeatureCollection"}, 2), ValueError,
             'a FeatureCollection needs a "features" list'),
            (lambda: kivet.coverage(shapely.Point(1, 2), 2), ValueError,
             'unsupported GeoJSON type "Point"'),
            (lambda: kivet.coverage({"type": "FeatureCollection", "features": []}, 16),
             ValueError, "resolution 16 out of range [0, 15]"),
            (lambda: kivet.fingerprints([BOX, {"type": "LineString", "coordinates": []}], 3),
             ValueError, 'feature 1: unsupported GeoJSON type "LineString"'),
            (lambda: kivet.fingerprints(5, 3), TypeError, "argument 'features' must be"),
        ],
    )
    def test_bad_geometry(self, call, error, text):
        with pytest.raises(error) as info:
            call()
        assert text in str(info.value)


def test_every_engine_function_is_public_under_its_own_name():
    engine = [n for n in dir(_kivet) if not n.startswith("_") and callable(getattr(_kivet, n))]
    for name in engine:
        assert hasattr(kivet, name), name
    for name in kivet.__all__:
        assert getattr(kivet, name) is not None


class TestUnionAll:
    @staticmethod
    def _trees(depth, profile=None, count=6, seed=3):
        a = (profile or _kivet.Profile.kivet_1()).aperture
        rng = np.random.default_rng(seed)
        trees = []
        for i in range(count):
            level = rng.integers(1, depth + 1, 40)  # cells of mixed levels, some nested
            cids = [int(rng.integers(a**k * a, a**k * (a + 6))) for k in level]
            trees.append(_kivet.Tree.from_cells(cids, depth, profile))
        return trees

    @pytest.mark.parametrize("profile", [None, _kivet.Profile(aperture=4)])
    def test_equals_the_running_union(self, profile):
        trees = self._trees(5, profile)
        # A cell completed only by the siblings held in different trees must merge.
        a = (profile or _kivet.Profile.kivet_1()).aperture
        parent = a * a + 2
        halves = [list(range(parent * a, parent * a + a // 2)),
                  list(range(parent * a + a // 2, parent * a + a))]
        trees += [_kivet.Tree.from_cells(h, 5, profile) for h in halves]
        trees.append(trees[0])  # the same tree twice
        running = trees[0]
        for t in trees[1:]:
            running = running.union(t)
        together = kivet.union_all(iter(trees))
        assert together == running and together.cells() == running.cells()
        assert together.covers(parent)
        for k in (1, 2, 3):
            part = kivet.union_all(trees[:k])
            expected = trees[0]
            for t in trees[1:k]:
                expected = expected.union(t)
            assert part == expected

    def test_profile_of_the_first_tree(self):
        ogc = _kivet.Tree.from_cells([100, 1000], 3, _kivet.Profile.ogc())
        others = self._trees(3, _kivet.Profile.kivet_1(), count=3)
        result = kivet.union_all([ogc, *others])
        assert result.profile == _kivet.Profile.ogc()
        assert kivet.union_all([*others, ogc]).profile == _kivet.Profile.kivet_1()
        assert result == kivet.union_all([*others, ogc])

    def test_the_cli_and_collections_agree_with_it(self):
        fc = {"type": "FeatureCollection", "features": [
            {"type": "Feature", "geometry": g} for g in (BOX, OVERLAP, SOUTH, BOX)]}
        pieces = [_kivet.Tree.from_geojson(g, 6) for g in (BOX, OVERLAP, SOUTH)]
        assert kivet.coverage(fc, 6) == kivet.union_all(pieces)

    @pytest.mark.parametrize(
        "trees, error, text",
        [
            ([], ValueError, "union_all needs at least one tree"),
            ([_kivet.Tree.from_cells([], 2), 5], TypeError, "trees[1] must be a Tree, not int"),
            ([_kivet.Tree.from_cells([], 2), _kivet.Tree.from_cells([], 2),
              _kivet.Tree.from_cells([], 3)], ValueError, "depth mismatch: 2 vs 3"),
            ([_kivet.Tree.from_cells([], 2), _kivet.Tree.from_cells([], 2),
              _kivet.Tree.from_cells([], 2, _kivet.Profile(aperture=4))], ValueError,
             "topology mismatch"),
        ],
    )
    def test_bad_input(self, trees, error, text):
        with pytest.raises(error) as info:
            kivet.union_all(trees)
        assert text in str(info.value)
