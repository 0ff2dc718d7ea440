"""rHEALPix in xarray: the xdggs grid, the `.kivet` accessor and datasets built from points."""

import json
import pickle
import re
import subprocess
import sys

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
xdggs = pytest.importorskip("xdggs")
da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")
shapely = pytest.importorskip("shapely")

import kivet  # noqa: E402
import kivet.xdggs  # noqa: E402
from kivet.xdggs import RHEALPixIndex, RHEALPixInfo, from_points  # noqa: E402


def raises(kind, text):
    return pytest.raises(kind, match="^" + re.escape(text) + "$")


def random_points(n, seed=0):
    rng = np.random.default_rng(seed)
    return rng.uniform(-180, 180, n), np.degrees(np.arcsin(rng.uniform(-1, 1, n)))


def dataset(cids, level, profile=None, **variables):
    attrs = {"grid_name": "rhealpix", "level": level}
    if profile is not None:
        attrs["profile"] = profile.to_dict()
    data = {k: ("cells", v) for k, v in variables.items()}
    return xr.Dataset(data, coords={"cell_ids": ("cells", cids, attrs)}).dggs.decode()


@pytest.fixture
def sample():
    """Level-3 cells in shuffled order with a value and a flag per cell."""
    cids = np.unique(kivet.cells_from_lonlat(*random_points(3000), 3))
    rng = np.random.default_rng(7)
    cids = rng.permutation(cids)
    value = rng.normal(size=cids.size)
    return dataset(cids, 3, value=value, wet=value > 0.3)


class TestRegistration:
    def test_grid_name_maps_to_the_index(self):
        from xdggs.utils import GRID_REGISTRY

        assert GRID_REGISTRY["rhealpix"] is RHEALPixIndex

    def test_plain_import_leaves_xarray_alone(self):
        code = "import sys, kivet; print('xarray' in sys.modules or 'xdggs' in sys.modules)"
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert out.stdout.strip() == "False", out.stderr


class TestGridInfo:
    @pytest.mark.parametrize("profile", [kivet.OGC_RHEALPIX, kivet.KIVET_1])
    def test_attributes_round_trip(self, profile):
        info = RHEALPixInfo(level=5, profile=profile)
        attrs = info.to_dict()
        assert attrs["grid_name"] == "rhealpix" and attrs["profile"] == profile.to_dict()
        assert RHEALPixInfo.from_dict(attrs) == info
        # netCDF keeps no nested attributes: JSON text and the ten-value list read back too.
        text = attrs | {"profile": json.dumps(attrs["profile"])}
        assert RHEALPixInfo.from_dict(text) == info
        assert hash(RHEALPixInfo.from_dict(text)) == hash(info)

    def test_defaults_and_aliases(self):
        info = RHEALPixInfo.from_dict({"grid_name": "rhealpix", "resolution": np.int64(4)})
        assert info == RHEALPixInfo(4, kivet.Profile.ogc()) and type(info.level) is int
        assert info.ellipsoid.semimajor_axis == 6378137.0
        assert info.ellipsoid.inverse_flattening == 298.257223563
        assert RHEALPixInfo(4) != RHEALPixInfo(4, kivet.KIVET_1)

    @pytest.mark.parametrize(
        "attrs, kind, text",
        [
            ({"level": 19}, ValueError, "level 19 is deeper than the deepest level, 18"),
            ({"level": -1}, ValueError, "argument 'level': -1 is negative, not a level"),
            ({"level": 2.0}, TypeError, "argument 'level' must be an int, not float"),
            ({"level": True}, TypeError, "argument 'level' must be an int, not bool"),
            ({}, ValueError, "the rhealpix grid needs a 'level' attribute"),
            ({"level": 1, "resolution": 1}, ValueError,
             "the rhealpix grid got both 'level' and 'resolution'"),
            ({"level": 1, "ellipsoid": "WGS84"}, ValueError,
             "unknown rhealpix grid parameter 'ellipsoid'; expected level and profile"),
            ({"level": 1, "profile": {"aperture": 9}}, ValueError,
             "bad profile record: missing field `hash`"),
        ],
    )
    def test_bad_attributes(self, attrs, kind, text):
        with raises(kind, text):
            RHEALPixInfo.from_dict({"grid_name": "rhealpix"} | attrs)

    def test_profile_must_be_a_profile(self):
        with raises(TypeError, "argument 'profile' must be a kivet.Profile or None, not dict"):
            RHEALPixInfo(2, profile={})


class TestDecoded:
    @pytest.mark.parametrize("profile", [None, kivet.KIVET_1])
    def test_centres_and_boundaries_are_kivets(self, profile):
        cids = np.unique(kivet.cells_from_lonlat(*random_points(200), 2, profile=profile))
        ds = dataset(cids, 2, profile)
        centres = ds.dggs.cell_centers()
        lon, lat = kivet.cells_to_lonlat(cids, profile=profile)
        np.testing.assert_array_equal(centres["longitude"], lon)
        np.testing.assert_array_equal(centres["latitude"], lat)
        coords, offsets = kivet.cell_boundaries(cids, profile=profile)
        polygons = ds.dggs.cell_boundaries()
        for i, polygon in enumerate(polygons.values):
            ring = np.asarray(polygon.exterior.coords)
            np.testing.assert_array_equal(ring, coords[offsets[i] : offsets[i + 1]])
        arrow = ds.dggs.grid_info.cell_boundaries(cids, backend="geoarrow")
        assert len(arrow) == cids.size
        with raises(ValueError, "invalid backend: 'wkt'; expected 'shapely' or 'geoarrow'"):
            ds.dggs.grid_info.cell_boundaries(cids, backend="wkt")

    def test_profile_reaches_the_conversions(self):
        cids = np.array([8375, 8165], dtype=np.uint64)
        ogc, zero = dataset(cids, 3), dataset(cids, 3, kivet.KIVET_1)
        shift = ogc.dggs.cell_centers()["longitude"] - zero.dggs.cell_centers()["longitude"]
        np.testing.assert_allclose(shift, 50.0)

    def test_sel_latlon_selects_the_cells_of_the_points(self, sample):
        cids = sample["cell_ids"].values
        lon, lat = kivet.cells_to_lonlat(cids[:5])
        picked = sample.dggs.sel_latlon(latitude=lat, longitude=lon)
        np.testing.assert_array_equal(picked["cell_ids"], cids[:5])
        np.testing.assert_array_equal(picked["value"], sample["value"][:5])

    def test_level_changes_are_parents_and_children(self, sample):
        cids = sample["cell_ids"].values[:20]
        small = sample.isel(cells=slice(0, 20))
        assert [int(c) for c in small.dggs.zoom_to(1)] == [kivet.parent(int(c), 1) for c in cids]
        assert np.array_equal(small.dggs.zoom_to(3), cids)
        kids = small.dggs.zoom_to(4)
        assert kids.dims == ("cells", "children") and kids.dtype == np.uint64
        assert kids.values.tolist() == [kivet.children(int(c)) for c in cids]
        grand = small.dggs.zoom_to(5).values
        assert grand.shape == (20, 81)
        assert grand[:, 9:18].tolist() == [kivet.children(k) for k in kids.values[:, 1].tolist()]
        with raises(ValueError, "level 19 is deeper than the deepest level, 18"):
            small.dggs.zoom_to(19)
        base = RHEALPixInfo(0)
        with raises(MemoryError, "an array of 45753584909922 children cannot be allocated"):
            base.zoom_to([9, 10], 14)

    @pytest.mark.parametrize(
        "cids, text",
        [
            ([729, 5], "cell 1: not a cid: 5"),
            ([729, 15 * 81], "cell 1: cid 1215 names base 6, outside [0, 6)"),
            ([729, 81], "cell 1: cid 81 is at level 1, not the grid's level 2"),
            ([6561], "cell 0: cid 6561 is at level 3, not the grid's level 2"),
        ],
    )
    def test_decode_refuses_cells_of_other_levels(self, cids, text):
        with raises(ValueError, text):
            dataset(np.array(cids, dtype=np.uint64), 2)

    def test_copies_and_pickles_keep_the_grid(self, sample):
        kivet_1 = dataset(sample["cell_ids"].values, 3, kivet.KIVET_1)
        for ds in (sample, kivet_1):
            for copied in (ds.copy(deep=True), pickle.loads(pickle.dumps(ds))):
                assert copied.dggs.grid_info == ds.dggs.grid_info
                xr.testing.assert_identical(copied, ds)

    def test_concat_keeps_the_grid_and_refuses_another(self, sample):
        halves = sample.isel(cells=slice(0, 50)), sample.isel(cells=slice(50, None))
        joined = xr.concat(halves, dim="cells")
        xr.testing.assert_identical(joined, sample)
        assert isinstance(joined.dggs.index, RHEALPixIndex)
        other = dataset(sample["cell_ids"].values[:5], 3, kivet.KIVET_1)
        different = "^cannot concatenate rhealpix cells of different grids"
        with pytest.raises(ValueError, match=different):
            xr.concat([sample, other], dim="cells")

    def test_encode_and_decode_again(self, sample):
        encoded = sample.dggs.encode("xdggs").drop_indexes("cell_ids")
        again = encoded.dggs.decode()
        assert again.dggs.grid_info == sample.dggs.grid_info
        assert again.kivet.fingerprint() == sample.kivet.fingerprint()

    def test_sel_latlon_above_the_lookup_maximum_uses_kivets_message(self):
        ds = dataset(np.array([9 * 9**16], dtype=np.uint64), 16)
        with raises(ValueError, "level 16 is above the maximum 15"):
            ds.dggs.sel_latlon(latitude=[0.0], longitude=[0.0])


class TestCoverage:
    def test_coverage_is_the_tree_of_the_cells(self, sample):
        cids = sample["cell_ids"].values
        assert sample.kivet.coverage() == kivet.Tree.from_cells(cids, 3)
        wet = kivet.Tree.from_cells(cids[sample["wet"].values], 3)
        for where in ["wet", sample["wet"], sample["value"] > 0.3, lambda d: d["value"] > 0.3,
                      sample["wet"].values]:
            assert sample.kivet.coverage(where) == wet
        assert sample["value"].kivet.fingerprint() == sample.kivet.fingerprint()
        assert sample.sortby("cell_ids").kivet.fingerprint() == sample.kivet.fingerprint()
        doubled = xr.concat([sample, sample], dim="cells")
        assert doubled.kivet.fingerprint("wet") == sample.kivet.fingerprint("wet")

    @pytest.mark.parametrize("travel", ["trees", "cells"])
    @pytest.mark.parametrize("chunks", [7, 100, 10_000, (3, 500, 1, 2000)])
    def test_chunked_fingerprint_equals_in_memory(self, sample, chunks, travel, monkeypatch):
        if isinstance(chunks, tuple):
            chunks = (*chunks[:-1], sample.sizes["cells"] - sum(chunks[:-1]))
        lazy = sample.chunk({"cells": chunks})
        largest = max(lazy.chunksizes["cells"])
        seen = []

        def chunk_tree(cids, mask, depth, profile, as_cells):
            seen.append(mask.size)
            return build(cids, mask, depth, profile, as_cells)

        build = kivet.xdggs._chunk_tree
        monkeypatch.setattr(kivet.xdggs, "_chunk_tree", chunk_tree)
        monkeypatch.setattr(kivet.xdggs, "_trees_travel", lambda: travel == "trees")
        # Trees are built in-process: the threaded scheduler hands them on without pickling.
        with dask.config.set(scheduler="threads"):
            assert lazy.kivet.fingerprint() == sample.kivet.fingerprint()
            assert lazy.kivet.fingerprint("wet") == sample.kivet.fingerprint("wet")
            assert lazy.kivet.fingerprint(lazy["value"] > 0.3) == sample.kivet.fingerprint("wet")
            assert sample.kivet.fingerprint(lazy["wet"].data) == sample.kivet.fingerprint("wet")
            nothing = kivet.Tree.from_cells([], 3).root_hex
            assert lazy.kivet.fingerprint(lazy["value"] > 9) == nothing
        # Each chunk is read on its own, never the whole flag array.
        assert seen and max(seen) == largest

    def test_chunks_cross_worker_processes(self, sample):
        distributed = pytest.importorskip("distributed")
        lazy = sample.chunk({"cells": 400})
        with distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, dashboard_address=None,
            worker_dashboard_address=None,
        ) as cluster, distributed.Client(cluster) as client:
            assert lazy.kivet.fingerprint(lazy["value"] > 0.3) == sample.kivet.fingerprint("wet")
            neighbours = lazy.kivet.neighbours().compute()
            # A decoded dataset travels whole to a worker, its grid and index with it.
            remote = client.submit(lambda ds: ds.kivet.fingerprint("wet"), sample).result()
        assert remote == sample.kivet.fingerprint("wet")
        np.testing.assert_array_equal(neighbours, sample.kivet.neighbours())

    @pytest.mark.parametrize(
        "where, kind, text",
        [
            ("value", TypeError, "argument 'where' must be boolean, not float64"),
            ("nothing", ValueError, "argument 'where': no variable named 'nothing'"),
            (np.ones(3, bool), ValueError, "argument 'where' has 3 values for {n} cells"),
            (np.ones((2, 2), bool), ValueError,
             "argument 'where' must be one-dimensional, got shape (2, 2)"),
        ],
    )
    def test_bad_where(self, sample, where, kind, text):
        with raises(kind, text.format(n=sample.sizes["cells"])):
            sample.kivet.coverage(where)

    def test_where_with_other_dimensions_is_refused(self, sample):
        flags = xr.concat([sample["wet"]] * 2, dim="time")
        with pytest.raises(ValueError, match=r"^argument 'where' must lie along the cells only"):
            sample.kivet.coverage(flags)
        assert sample.kivet.coverage(flags.any("time")) == sample.kivet.coverage("wet")

    def test_other_grids_are_refused(self):
        attrs = {"grid_name": "healpix", "level": 1, "indexing_scheme": "nested"}
        ds = xr.Dataset(coords={"cell_ids": ("cells", [0, 1], attrs)}).dggs.decode()
        with raises(ValueError, "the kivet accessor needs rhealpix cell ids, not HealpixIndex"):
            ds.kivet.coverage()


class TestCellVariables:
    BOX = {"type": "Polygon", "coordinates": [[[0, -30], [60, -30], [60, 40], [0, 40], [0, -30]]]}

    @pytest.mark.parametrize("shape", [BOX, shapely.geometry.shape(BOX)])
    def test_polygon_is_polyfill_within_the_data(self, sample, shape):
        picked = sample.kivet.polygon(shape)
        inside = set(kivet.polyfill(self.BOX, 3).tolist())
        expected = [c for c in sample["cell_ids"].values.tolist() if c in inside]
        assert 0 < len(expected) < sample.sizes["cells"]
        assert picked["cell_ids"].values.tolist() == expected
        assert isinstance(picked.dggs.index, RHEALPixIndex)
        xr.testing.assert_identical(sample["value"].kivet.polygon(shape), picked["value"])

    def test_polygon_above_the_fill_maximum_uses_kivets_message(self):
        ds = dataset(np.array([9 * 9**16], dtype=np.uint64), 16)
        with raises(ValueError, "resolution 16 out of range [0, 15]"):
            ds.kivet.polygon(self.BOX)

    def test_neighbours_and_areas_eager_and_lazy(self, sample):
        cids = sample["cell_ids"].values
        eager = sample.kivet.neighbours()
        assert eager.dims == ("cells", "direction")
        assert eager["direction"].values.tolist() == ["up", "right", "down", "left"]
        np.testing.assert_array_equal(eager, kivet.cell_neighbours(cids))
        lazy = sample.chunk({"cells": 100})
        neighbours, area = lazy.kivet.neighbours(), lazy.kivet.area_m2()
        assert isinstance(neighbours.data, da.Array) and isinstance(area.data, da.Array)
        with dask.config.set(scheduler="threads"):
            np.testing.assert_array_equal(neighbours.compute(), eager)
            np.testing.assert_array_equal(area.compute(), sample.kivet.area_m2())
        # Equal-area cells: the 54 cells of level 1 share out the WGS 84 surface, 510065621.7 km².
        whole = dataset(np.arange(81, 135, dtype=np.uint64), 1)
        assert whole.kivet.area_m2().sum().item() == pytest.approx(510065621.7e6, rel=1e-9)
        assert "neighbours" in sample.assign(neighbours=eager).data_vars


class TestFromPoints:
    def test_mean_per_cell_matches_a_plain_grouping(self):
        lon, lat = random_points(5000, seed=3)
        values = np.random.default_rng(3).normal(size=5000)
        values[::17] = np.nan
        ds = from_points(lon, lat, values, 2)
        assert isinstance(ds.dggs.index, RHEALPixIndex) and ds.dggs.grid_info.level == 2
        cids = kivet.cells_from_lonlat(lon, lat, 2)
        groups = {}
        for c, v in zip(cids.tolist(), values):
            groups.setdefault(c, []).append(v)
        assert ds["cell_ids"].values.tolist() == sorted(groups)
        expected = [np.nanmean(groups[c]) if not np.isnan(groups[c]).all() else np.nan
                    for c in sorted(groups)]
        np.testing.assert_allclose(ds["values"], expected, equal_nan=True)

    def test_other_aggregations_and_variables(self):
        lon, lat = [9.3, 9.5, 80.0, 80.0], [4.6, 4.8, -60.0, -60.0]
        columns = {"a": [1.0, 3.0, np.nan, np.nan], "b": [1, 2, 3, 4]}
        ds = from_points(lon, lat, columns, 4, agg="max")
        assert ds["a"].values.tolist()[0] == 3.0 and np.isnan(ds["a"].values[1])
        assert ds["b"].values.tolist() == [2, 4]
        counted = from_points(lon, lat, {"a": [1.0, 3.0, np.nan, np.nan]}, 4, agg="count")
        assert counted["a"].values.tolist() == [2, 0]
        summed = from_points(lon, lat, {"a": [1.0, 3.0, np.nan, np.nan]}, 4, agg="sum")
        assert summed["a"].values[0] == 4.0 and np.isnan(summed["a"].values[1])

    def test_raster_equals_its_points(self):
        lon, lat = np.linspace(-170, 170, 35), np.linspace(-80, 80, 17)
        grid = np.random.default_rng(5).random((17, 35))
        raster = from_points(lon, lat, grid, 2, profile=kivet.KIVET_1)
        x, y = np.meshgrid(lon, lat)
        points = from_points(x.ravel(), y.ravel(), grid.ravel(), 2, profile=kivet.KIVET_1)
        xr.testing.assert_identical(raster, points)
        assert raster.dggs.grid_info.profile == kivet.KIVET_1

    @pytest.mark.parametrize(
        "args, kwargs, kind, text",
        [
            (([0.0], [0.0], [1.0], 16), {}, ValueError, "level 16 is above the maximum 15"),
            (([0.0], [0.0], [1.0], 2), {"agg": "mode"}, ValueError,
             "argument 'agg' must be one of 'mean', 'median', 'sum', 'count', 'min', 'max', "
             "not 'mode'"),
            (([0.0, 1.0], [0.0], [1.0], 2), {}, ValueError, "2 longitudes but 1 latitudes"),
            (([0.0], [0.0], [1.0, 2.0], 2), {}, ValueError,
             "values 'values' have shape (2,), the points (1,)"),
            (([0.0, 1.0], [0.0], np.ones((2, 2)), 2), {}, ValueError,
             "raster values 'values' have shape (2, 2), expected (lat, lon) (1, 2)"),
            (([0.0], [95.0], [1.0], 2), {}, ValueError, "point 0 (0, 95) is not on the grid"),
            ((["x"], [0.0], [1.0], 2), {}, TypeError,
             "argument 'lon' must be numbers (degrees): could not convert string to float: 'x'"),
        ],
    )
    def test_bad_input(self, args, kwargs, kind, text):
        with raises(kind, text):
            from_points(*args, **kwargs)
