"""The array functions: NumPy in, NumPy out, the same answers on any thread count."""

import inspect
import re

import numpy as np
import pytest

import _kivet
from test_leaks import assert_flat, swallow

NOT_CONTIGUOUS = "array is not contiguous: The given array is not contiguous or is misaligned."


def raises(text):
    return pytest.raises(ValueError, match="^" + re.escape(text) + "$")


def points(n, seed=0):
    rng = np.random.default_rng(seed)
    return rng.uniform(-180, 180, n), np.degrees(np.arcsin(rng.uniform(-1, 1, n)))


def cells(n, level=6, seed=0):
    return _kivet._cells_from_lonlat(*points(n, seed), level)


CID_FUNCTIONS = [
    lambda c, **kw: _kivet._cells_to_lonlat(c, **kw),
    lambda c, **kw: _kivet._cell_boundaries(c, **kw),
    lambda c, **kw: _kivet._cell_neighbours(c, **kw),
]


class TestResults:
    def test_cells_from_lonlat_agree_with_scalar_lookups(self):
        lon, lat = points(300)
        got = _kivet._cells_from_lonlat(lon, lat, 4)
        assert got.dtype == np.uint64 and got.shape == (300,)
        assert got.flags.owndata and got.flags.writeable
        for cid in got.tolist():
            assert _kivet.cell_at(*_kivet.position(cid)) == cid

    def test_neighbours_agree_with_scalar_function(self):
        c = cells(200, level=3)
        nb = _kivet._cell_neighbours(c)
        assert nb.shape == (200, 4) and nb.dtype == np.uint64
        for cid, row in zip(c.tolist(), nb.tolist()):
            assert row == list(_kivet.neighbours(cid).values())

    def test_boundaries_are_the_display_polygons(self):
        c = np.concatenate([cells(50, level=2), np.array([9, 14, 85], np.uint64)])
        coords, offsets = _kivet._cell_boundaries(c, 4)
        assert coords.shape == (offsets[-1], 2) and offsets.dtype == np.int64
        fc = _kivet.cells_geojson(c.tolist(), n=4)
        for i, f in enumerate(fc["features"]):
            ring = f["geometry"]["coordinates"][0]
            assert coords[offsets[i]:offsets[i + 1]].tolist() == ring

    def test_equatorial_ring_has_five_rows(self):
        coords, offsets = _kivet._cell_boundaries(np.array([100, 9], np.uint64))
        assert offsets.tolist() == [0, 5, 5 + 4 * (5 - 1) + 5]

    def test_nuclei_are_cell_centres(self):
        c = cells(500, level=9)
        lon, lat = _kivet._cells_to_lonlat(c)
        assert lon.dtype == lat.dtype == np.float64
        assert np.array_equal(_kivet._cells_from_lonlat(lon, lat, 9), c)
        assert (lon >= -180).all() and (lon < 180).all()

    def test_empty_inputs_give_empty_outputs(self):
        empty_f, empty_u = np.array([], np.float64), np.array([], np.uint64)
        assert _kivet._cells_from_lonlat(empty_f, empty_f, 3).shape == (0,)
        lon, lat = _kivet._cells_to_lonlat(empty_u)
        assert lon.shape == lat.shape == (0,)
        assert _kivet._cell_neighbours(empty_u).shape == (0, 4)
        coords, offsets = _kivet._cell_boundaries(empty_u)
        assert coords.shape == (0, 2) and offsets.tolist() == [0]

    def test_read_only_and_fortran_ordered_inputs_are_read_in_place(self):
        lon, lat = points(100)
        ro = np.frombuffer(lon.tobytes(), np.float64)
        assert not ro.flags.writeable
        expected = _kivet._cells_from_lonlat(lon, lat, 5)
        assert np.array_equal(_kivet._cells_from_lonlat(ro, np.asfortranarray(lat), 5),
                              expected)

    def test_profile_is_honoured(self):
        lon, lat = points(100)
        a = _kivet._cells_from_lonlat(lon, lat, 5)
        b = _kivet._cells_from_lonlat(lon, lat, 5, _kivet.KIVET_1)
        assert not np.array_equal(a, b)
        assert np.array_equal(a, _kivet._cells_from_lonlat(lon, lat, 5, None))


class TestThreads:
    @pytest.mark.parametrize("n", [16383, 16384, 40000])
    def test_every_thread_count_gives_identical_output(self, n):
        lon, lat = points(n, seed=n)
        ref = _kivet._cells_from_lonlat(lon, lat, 12, nthreads=1)
        c = cells(n, level=5, seed=n)
        refs = [f(c, nthreads=1) for f in CID_FUNCTIONS]
        for k in (0, 2, 4):
            assert np.array_equal(_kivet._cells_from_lonlat(lon, lat, 12, nthreads=k), ref)
            for f, r in zip(CID_FUNCTIONS, refs):
                got = f(c, nthreads=k)
                if isinstance(r, tuple):
                    assert all(np.array_equal(g, e) for g, e in zip(got, r))
                else:
                    assert np.array_equal(got, r)

    @pytest.mark.parametrize("k", [0, 1, 3])
    def test_a_failure_is_reported_at_its_index(self, k):
        lon, lat = points(50000)
        lat[31234] = 91.0
        with raises(f"point 31234 ({float(lon[31234])!r}, 91) is not on the grid"):
            _kivet._cells_from_lonlat(lon, lat, 7, nthreads=k)
        c = cells(50000)
        c[45678] = 5
        with raises("cell 45678: not a cid: 5"):
            _kivet._cell_neighbours(c, nthreads=k)

    @pytest.mark.parametrize("k", [0, 2, 4])
    def test_the_lowest_failing_index_wins_however_workers_run(self, k):
        # The first chunk's failure sits at its end, behind failures at the
        # start of every other chunk, which workers meet long before it.
        n, step = 200_000, 5000
        lon, lat = points(n)
        c = cells(n)
        late = np.arange(step, n, step)
        lat[late] = 91.0
        lat[step - 1] = 95.0
        c[late] = 5
        c[step - 1] = 7
        for _ in range(5):
            with raises(f"point {step - 1} ({float(lon[step - 1])!r}, 95) is not on the grid"):
                _kivet._cells_from_lonlat(lon, lat, 7, nthreads=k)
            for f in CID_FUNCTIONS:
                with pytest.raises(ValueError, match=f"^cell {step - 1}: not a cid: 7$"):
                    f(c, nthreads=k)

    def test_a_pool_that_cannot_be_built_is_an_error(self):
        lon, lat = points(20000)
        with pytest.raises(ValueError, match="^cannot build a pool of 5000 workers"):
            _kivet._cells_from_lonlat(lon, lat, 3, nthreads=5000)
        # Small inputs never build a pool.
        _kivet._cells_from_lonlat(lon[:100], lat[:100], 3, nthreads=5000)


class TestRefusals:
    def test_wrong_types_fail_argument_conversion(self):
        lon, lat = points(4)
        for bad in (lon.astype(np.float32), lon.tolist(), lon.reshape(2, 2),
                    lon.astype(">f8"), lon.astype(np.longdouble)):
            with pytest.raises(TypeError, match="lon"):
                _kivet._cells_from_lonlat(bad, lat, 3)
        with pytest.raises(TypeError, match="lat"):
            _kivet._cells_from_lonlat(lon, lat.astype(np.int64), 3)
        with pytest.raises(OverflowError, match="nthreads"):
            _kivet._cells_from_lonlat(lon, lat, 3, nthreads=-1)
        with pytest.raises(OverflowError, match="level"):
            _kivet._cells_from_lonlat(lon, lat, -3)
        c = cells(4)
        for f in CID_FUNCTIONS:
            for bad in (c.astype(np.int64), c.tolist(), c.reshape(2, 2), c.astype(float)):
                with pytest.raises(TypeError, match="cids"):
                    f(bad)

    def test_array_checks_come_before_other_arguments(self):
        with pytest.raises(TypeError, match="lon"):
            _kivet._cells_from_lonlat([1.0], np.zeros(1), 99)

    def test_strided_views_are_refused(self):
        lon, lat = points(10)
        with raises(NOT_CONTIGUOUS):
            _kivet._cells_from_lonlat(lon[::2], lat[::2], 3)
        with raises(NOT_CONTIGUOUS):
            _kivet._cells_from_lonlat(lon[:5], lat[::2], 3)
        for f in CID_FUNCTIONS:
            with raises(NOT_CONTIGUOUS):
                f(cells(10)[::2])
        # A strided view with no elements is simply empty.
        assert _kivet._cells_from_lonlat(lon[:0:2], lat[:0], 3).shape == (0,)

    def test_misaligned_arrays_are_refused(self):
        buf = np.zeros(8 * 4 + 1, np.uint8)[1:]
        lon = np.frombuffer(buf, np.float64)
        assert not lon.flags.aligned
        with raises(NOT_CONTIGUOUS):
            _kivet._cells_from_lonlat(lon, np.zeros(4), 3)

    def test_level_lengths_and_points(self):
        lon, lat = points(5)
        with raises("level 16 is above the maximum 15"):
            _kivet._cells_from_lonlat(lon, lat, 16)
        with raises("3 longitudes but 2 latitudes"):
            _kivet._cells_from_lonlat(lon[:3], lat[:2], 3)
        lon[:] = [1.5, 2, 3, 4, 10]
        lat[:] = [0, 0, 0, 0, 91]
        with raises("point 4 (10, 91) is not on the grid"):
            _kivet._cells_from_lonlat(lon, lat, 3)

    @pytest.mark.parametrize("lon,lat,text", [
        (np.nan, 0.0, "(NaN, 0)"), (np.inf, 0.0, "(inf, 0)"), (-np.inf, 1e-7, "(-inf, 0.0000001)"),
        (0.0, np.nan, "(0, NaN)"), (0.0, 90.5, "(0, 90.5)"), (0.0, -90.00000000000001,
                                                                "(0, -90.00000000000001)"),
    ])
    def test_points_off_the_grid(self, lon, lat, text):
        with raises(f"point 0 {text} is not on the grid"):
            _kivet._cells_from_lonlat(np.array([lon]), np.array([lat]), 0)

    def test_any_finite_longitude_is_on_the_grid(self):
        lon = np.array([1e300, -1e300, 540.0, -1e-300])
        assert _kivet._cells_from_lonlat(lon, np.zeros(4), 8).shape == (4,)

    def test_invalid_cids_are_reported_with_their_index(self):
        c = cells(10)
        c[7] = 5
        for f in CID_FUNCTIONS:
            with raises("cell 7: not a cid: 5"):
                f(c)
        c[7] = 15 * 9
        with raises("cell 7: cid 135 names base 6, outside [0, 6)"):
            _kivet._cells_to_lonlat(c)
        c[7] = 9**20
        for f in CID_FUNCTIONS:
            with raises(f"cell 7: cid {9**20} is at level 19, deeper than the deepest "
                        "level, 18"):
                f(c)

    def test_cells_beyond_the_six_squares_are_refused(self):
        # A hierarchy may have more base cells than the layout has squares;
        # those used to be placed from memory past the six squares' corners.
        p = _kivet.Profile(n_base=8)
        c = cells(10)
        np.testing.assert_array_equal(_kivet._cells_to_lonlat(c, p), _kivet._cells_to_lonlat(c))
        c[3] = _kivet.cell_at(7, 2, 1, 1, p)
        for f in CID_FUNCTIONS[:2]:
            with raises("cell 3: base 7 is outside the rHEALPix layout's 6 base cells"):
                f(c, profile=p)

    def test_cell_at_messages_pass_unchanged(self):
        one = np.array([150.0]), np.array([0.0])  # base cell R (4)
        with raises("base 4 out of range [0, 2)"):
            _kivet._cells_from_lonlat(*one, 3, _kivet.Profile(n_base=2))
        with raises("level 5 is deeper than the deepest level, 4"):
            _kivet._cells_from_lonlat(*one, 5, _kivet.Profile(aperture=4096))
        got = _kivet._cells_from_lonlat(*one, 4, _kivet.Profile(aperture=4096))
        assert _kivet.position(int(got[0]), _kivet.Profile(aperture=4096))[:2] == (4, 4)

    def test_neighbours_need_six_base_cells(self):
        p = _kivet.Profile(n_base=5)
        with raises("cell 0: the rHEALPix layout has 6 base cells, the profile has 5"):
            _kivet._cell_neighbours(np.array([9], np.uint64), p)

    def test_huge_n_is_a_memory_error_not_a_crash(self):
        with pytest.raises(MemoryError):
            _kivet._cell_boundaries(np.array([9], np.uint64), 2**62)
        # Refused up front, not by an allocator that may overcommit.
        with pytest.raises(MemoryError, match="^the rings' coordinates cannot be allocated$"):
            _kivet._cell_boundaries(np.array([100, 9], np.uint64), 2**40)
        _, offsets = _kivet._cell_boundaries(np.array([100], np.uint64), 2**64 - 1)
        assert offsets.tolist() == [0, 5]

    def test_signatures(self):
        sigs = {
            _kivet._cells_from_lonlat: "(lon, lat, level, profile=None, nthreads=0)",
            _kivet._cells_to_lonlat: "(cids, profile=None, nthreads=0)",
            _kivet._cell_boundaries: "(cids, n=5, profile=None, nthreads=0)",
            _kivet._cell_neighbours: "(cids, profile=None, nthreads=0)",
        }
        for fn, sig in sigs.items():
            assert str(inspect.signature(fn)) == sig
        assert _kivet._cells_from_lonlat.__doc__ == (
            "The cell at `level` containing each `(lon[i], lat[i])`, degrees.")
        assert _kivet._cells_to_lonlat.__doc__ == "The nucleus of each cell, `(lon, lat)` degrees."
        assert _kivet._cell_neighbours.__doc__ == (
            "The four edge neighbours of each cell, columns up, right, down, left.")


class TestMemoryStaysFlat:
    c = np.array([9, 100, 1000, 13 * 9**4 + 17], np.uint64)
    lon, lat = points(64)
    bad = np.array([9, 5], np.uint64)
    FAMILIES = {
        "from_lonlat": lambda s: _kivet._cells_from_lonlat(s.lon, s.lat, 9),
        "from_lonlat_bad": lambda s: _kivet._cells_from_lonlat(s.lon, s.lat[:3], 9),
        "to_lonlat": lambda s: _kivet._cells_to_lonlat(s.c),
        "boundaries": lambda s: _kivet._cell_boundaries(s.c),
        "neighbours_bad": lambda s: _kivet._cell_neighbours(s.bad),
        "geojson": lambda s: _kivet.cells_geojson(s.c.tolist()),
        "zone": lambda s: (_kivet.subzones(100, 2), _kivet.neighbours(100),
                           _kivet.position(100), _kivet.cell_area_m2(3)),
        "zone_bad": lambda s: _kivet.subzone_index(10, 81),
    }

    @pytest.mark.parametrize("name", sorted(FAMILIES))
    def test_calls_leave_memory_flat(self, name):
        fn = self.FAMILIES[name]
        assert_flat(swallow(lambda: fn(self)), n=5000)
