"""Trees built on a real two-process Dask cluster equal the trees built in one process."""

import logging
import os
import re
import sys
from functools import reduce

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")
shapely = pytest.importorskip("shapely")

import dask  # noqa: E402
import dask.array as da  # noqa: E402
import dask.bag as db  # noqa: E402
import dask.dataframe as dd  # noqa: E402

import _kivet  # noqa: E402
import kivet  # noqa: E402
import kivet.dask as kd  # noqa: E402

DEPTH = 9


@pytest.fixture(scope="module")
def client():
    # Worker processes import _kivet and kivet from wherever this process found them (the
    # development build or an installed package).
    saved = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    try:
        with distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True,
            dashboard_address=":0", silence_logs=logging.CRITICAL,
        ) as cluster, distributed.Client(cluster) as c:
            yield c
    finally:
        if saved is None:
            os.environ.pop("PYTHONPATH", None)
        else:
            os.environ["PYTHONPATH"] = saved


def points(n, seed):
    rng = np.random.default_rng(seed)
    return rng.uniform(-180, 180, n), np.degrees(np.arcsin(rng.uniform(-1, 1, n)))


def one_process(lon, lat, depth=DEPTH, profile=None):
    cids = _kivet._cells_from_lonlat(lon, lat, depth, profile)
    return _kivet.Tree.from_cells(cids, depth, profile)


def uneven_frame(lon, lat, sizes):
    """A Dask DataFrame whose partitions hold `sizes` rows (zeros give empty partitions)."""
    df = pd.DataFrame({"lon": lon, "lat": lat})
    bounds = np.concatenate([[0], np.cumsum(sizes)])
    pieces = [df.iloc[a:b] for a, b in zip(bounds[:-1], bounds[1:])]
    return dd.concat([dd.from_pandas(p, npartitions=1) for p in pieces])


def off_grid_message(label, lon, lat):
    """The engine's message for one bad point, relabelled as the module labels it."""
    with pytest.raises(ValueError) as info:
        _kivet._cells_from_lonlat(np.array([lon]), np.array([lat]), DEPTH)
    return str(info.value).replace("point 0 ", f"point {label} ", 1)


SIZES = [0, 1, 40_000, 0, 3, 120_000, 17, 0, 39_979]


class TestPoints:
    def test_uneven_and_empty_partitions_give_the_one_process_root(self, client):
        lon, lat = points(sum(SIZES), 1)
        frame = uneven_frame(lon, lat, SIZES)
        assert frame.map_partitions(len).compute().tolist() == SIZES
        expected = one_process(lon, lat)
        for split_every in (2, 3, 8):
            t = kd.tree_from_points(frame, DEPTH, split_every=split_every)
            assert t == expected and t.root_hex == expected.root_hex

    def test_columns_and_profile_are_taken_as_named(self, client):
        lon, lat = points(5000, 2)
        frame = dd.from_pandas(pd.DataFrame({"x": lon, "y": lat, "z": 1}), npartitions=3)
        t = kd.tree_from_points(frame, 6, lon="x", lat="y", profile=kivet.KIVET_1)
        assert t == one_process(lon, lat, 6, kivet.KIVET_1)
        assert t.profile == kivet.KIVET_1

    def test_dask_arrays_with_mismatched_chunks(self, client):
        lon, lat = points(60_000, 3)
        x = da.from_array(lon, chunks=((0, 25_000, 1, 34_999),))
        y = da.from_array(lat, chunks=7_000)
        assert kd.tree_from_lonlat(x, y, DEPTH) == one_process(lon, lat)

    def test_a_bad_point_fails_with_its_label_and_values(self, client):
        lon, lat = points(sum(SIZES), 4)
        lat[40_002] = np.nan
        frame = uneven_frame(lon, lat, SIZES)
        message = off_grid_message("at index 40002", lon[40_002], np.nan)
        with pytest.raises(ValueError, match=re.escape(message) + "$"):
            kd.tree_from_points(frame, DEPTH)
        lat[40_002] = 95.0
        message = off_grid_message(40_002, lon[40_002], 95.0)
        with pytest.raises(ValueError, match=re.escape(message) + "$"):
            kd.tree_from_lonlat(da.from_array(lon, chunks=9_000), da.from_array(lat), DEPTH)
        # The cluster is still serviceable after a failed computation.
        assert kd.tree_from_lonlat(da.from_array(lon[:10]), da.from_array(lat[:10]), 3)


def boxes(n):
    return [shapely.box(i * 3.0, -5.0 + i, i * 3.0 + 7.5, 4.0 + i) for i in range(n)]


class TestGeometries:
    def test_bag_coverages_are_the_local_coverages(self, client):
        geoms = boxes(11)
        trees = kd.coverages(db.from_sequence(geoms, npartitions=4), 6)
        assert trees.compute() == [kivet.coverage(g, 6) for g in geoms]
        joined = kd.union_all(trees, split_every=2)
        assert joined == reduce(_kivet.Tree.union, (kivet.coverage(g, 6) for g in geoms))

    def test_union_of_delayed_trees(self, client):
        geoms = boxes(5)
        trees = [dask.delayed(kivet.coverage)(g, 6) for g in geoms]
        assert kd.union_all(trees, split_every=2) == kd.union_all(trees) == reduce(
            _kivet.Tree.union, (kivet.coverage(g, 6) for g in geoms))

    def test_series_keeps_its_index(self, client):
        geoms = boxes(7)
        index = [f"g{i}" for i in range(7)]
        with dask.config.set({"dataframe.convert-string": False}):
            series = dd.from_pandas(pd.Series(geoms, index=index), npartitions=3)
        trees = kd.coverages(series, 5, kivet.KIVET_1).compute()
        assert trees.index.tolist() == index
        assert trees.tolist() == [kivet.coverage(g, 5, kivet.KIVET_1) for g in geoms]
        assert kd.union_all(kd.coverages(series, 5)) == kivet.coverage(shapely.union_all(geoms), 5)

    def test_a_bad_geometry_names_its_place(self, client):
        broken = {"type": "Point", "coordinates": [0.0, 0.0]}
        with pytest.raises(ValueError) as local:
            kivet.coverage(broken, 5)
        bag = db.from_sequence(boxes(5) + [broken], npartitions=2)
        message = f"geometry 2 of partition 1: {local.value}"
        with pytest.raises(ValueError, match=re.escape(message)):
            kd.union_all(kd.coverages(bag, 5))


class TestArguments:
    def test_client_side_errors(self):
        frame = dd.from_pandas(pd.DataFrame({"lon": [0.0], "lat": [0.0]}), npartitions=1)
        cases = [
            (lambda: kd.tree_from_points(frame, 5, split_every=1), ValueError,
             "argument 'split_every' must be at least 2, got 1"),
            (lambda: kd.tree_from_points(frame, 5, split_every=2.0), TypeError,
             "argument 'split_every' must be int, not float"),
            (lambda: kd.tree_from_points(frame, 5, lat="y"), ValueError,
             "argument 'lat': the frame has no column 'y'"),
            (lambda: kd.tree_from_points(frame, 19), ValueError,
             "depth 19 is deeper than the deepest level, 18"),
            (lambda: kd.tree_from_lonlat(da.zeros(3), da.zeros(4), 5), ValueError,
             "arguments 'lon' and 'lat' must have the same length, got 3 and 4"),
            (lambda: kd.tree_from_lonlat(da.zeros((2, 2)), da.zeros((2, 2)), 5), ValueError,
             "argument 'lon' must be one-dimensional, got 2 dimensions"),
            (lambda: kd.coverages([shapely.box(0, 0, 1, 1)], 5), TypeError,
             "argument 'geometries' must be a dask Bag or a dask Series, not list"),
            (lambda: kd.union_all(db.from_sequence([], npartitions=1)), ValueError,
             "argument 'trees' holds no tree"),
            (lambda: kd.union_all([1, 2]), TypeError,
             "argument 'trees' must be a dask Bag or Series of Tree, or a list of Delayed "
             "trees, not list"),
        ]
        for call, error, message in cases:
            with pytest.raises(error, match=re.escape(message) + "$"):
                call()
