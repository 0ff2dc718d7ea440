"""Points on the parallels between the polar caps and the band, and on cell vertices."""

import itertools

import numpy as np
import pytest
import shapely

import _kivet

# The boundary parallel of the default ellipsoid, and its neighbours by ulps.
BOUNDARY = 41.93785391016014
SQUARES = list(itertools.product(range(4), range(4)))


def ulps(value, k):
    for _ in range(abs(k)):
        value = np.nextafter(value, np.inf if k > 0 else -np.inf)
    return float(value)


def profile(ns=0, ss=0, lon_0=50):
    return _kivet.Profile(north_square=ns, south_square=ss, lon_0_udeg=lon_0 * 10**6)


def longitudes(lon_0):
    sweep = np.linspace(-180, 180, 4801)
    special = [lon_0 + d for d in (-180, -90, -45, 0, 45, 90, 180)]
    edges = [180, -180, np.nextafter(180, 0), np.nextafter(-180, 0), np.nextafter(-180, -360)]
    return np.concatenate([sweep, special, edges])


def bases(cids, p):
    return np.array([_kivet.position(int(c), p)[0] for c in cids])


class TestBoundaryParallel:
    @pytest.mark.parametrize("ns, ss", SQUARES)
    def test_every_longitude_on_and_beside_it_has_a_cell(self, ns, ss):
        p = profile(ns, ss)
        lon = longitudes(50)
        for sign, k, level in itertools.product((1, -1), range(-2, 3), (0, 3)):
            lat = np.full(lon.size, sign * ulps(BOUNDARY, k))
            assert _kivet._cells_from_lonlat(lon, lat, level, p).size == lon.size

    @pytest.mark.parametrize("ns, ss", SQUARES)
    def test_points_on_it_belong_to_the_band_cell_just_inside(self, ns, ss):
        # Equatorial cells are longitude/latitude rectangles, so a point a
        # hair into the band has the same column and the band's edge row.
        p = profile(ns, ss)
        lon = longitudes(50)
        for sign, level in itertools.product((1, -1), (0, 2, 5)):
            on = _kivet._cells_from_lonlat(lon, np.full(lon.size, sign * BOUNDARY), level, p)
            inside = _kivet._cells_from_lonlat(
                lon, np.full(lon.size, sign * (BOUNDARY - 1e-7)), level, p)
            np.testing.assert_array_equal(on, inside)
            assert set(bases(on, p)) <= {1, 2, 3, 4}

    def test_points_beyond_it_stay_in_the_polar_cells(self):
        lon = longitudes(50)
        for sign in (1, -1):
            for lat in (BOUNDARY + 1e-7, ulps(BOUNDARY, 3) + 1e-9):
                cells = _kivet._cells_from_lonlat(lon, np.full(lon.size, sign * lat), 3)
                assert set(bases(cells, _kivet.OGC_RHEALPIX)) == {0 if sign > 0 else 5}

    @pytest.mark.parametrize("p", [_kivet.Profile(aperture=4, lon_0_udeg=0),
                                   _kivet.Profile(inv_f_nano=100 * 10**9, lon_0_udeg=0),
                                   _kivet.Profile(inv_f_nano=10**13, lon_0_udeg=0)],
                             ids=["aperture 4", "strong flattening", "nearly a sphere"])
    def test_other_grids_give_every_point_near_their_own_parallel_a_cell(self, p):
        def polar(lat):
            cell = _kivet._cells_from_lonlat(np.array([10.0]), np.array([lat]), 0, p)[0]
            return _kivet.position(int(cell), p)[0] == 0

        # Bisect to the last band latitude before the cap.
        lo, hi = 40.0, 43.0
        while np.nextafter(lo, hi) != hi:
            mid = (lo + hi) / 2
            lo, hi = (lo, mid) if polar(mid) else (mid, hi)
        lon = longitudes(0)
        for k, sign in itertools.product(range(-3, 4), (1, -1)):
            lat = np.full(lon.size, sign * ulps(lo, k))
            assert _kivet._cells_from_lonlat(lon, lat, 2, p).size == lon.size


def boundary_cells(level, p):
    """The cells along both boundary parallels: the polar squares' outer rings and
    the band's top and bottom rows."""
    n = 3**level
    out = set()
    for base in (0, 5):
        for i in range(n):
            for row, col in ((0, i), (n - 1, i), (i, 0), (i, n - 1)):
                out.add(_kivet.cell_at(base, level, row, col, p))
    for base in (1, 2, 3, 4):
        for i in range(n):
            out.add(_kivet.cell_at(base, level, 0, i, p))
            out.add(_kivet.cell_at(base, level, n - 1, i, p))
    return sorted(out)


def all_cells(level, p):
    n = 3**level
    return [_kivet.cell_at(b, level, r, c, p) for b in range(6) for r in range(n) for c in range(n)]


def assert_vertices_map_to_cells_holding_them(vertices, level, p):
    lon, lat = np.ascontiguousarray(vertices.T)
    cells = _kivet._cells_from_lonlat(lon, lat, level, p)
    coords, offsets = _kivet._cell_boundaries(cells, n=5, profile=p)
    polygons = np.array([shapely.Polygon(coords[offsets[i]:offsets[i + 1]]) for i in range(cells.size)])
    gap = np.min([shapely.distance(polygons, shapely.points(vertices[:, 0] + s, vertices[:, 1]))
                  for s in (-360, 0, 360)], axis=0)
    far = np.flatnonzero(gap > 1e-6)
    assert far.size == 0, [(tuple(vertices[i]), int(cells[i])) for i in far[:5]]


class TestVertices:
    @pytest.mark.parametrize("level", range(6))
    @pytest.mark.parametrize("ns, ss, lon_0", [(0, 0, 50), (1, 3, 0), (2, 1, -120)])
    def test_ring_vertices_map_back_to_a_cell_holding_them(self, level, ns, ss, lon_0):
        p = profile(ns, ss, lon_0)
        cids = all_cells(level, p) if level <= 2 else boundary_cells(level, p)
        coords, _ = _kivet._cell_boundaries(np.array(cids, np.uint64), n=5, profile=p)
        assert_vertices_map_to_cells_holding_them(coords, level, p)

    @pytest.mark.parametrize("level", range(4))
    def test_geojson_vertices_map_back_to_a_cell_holding_them(self, level):
        p = _kivet.OGC_RHEALPIX
        cids = all_cells(level, p) if level <= 2 else boundary_cells(level, p)
        features = _kivet.cells_geojson(cids, p)["features"]
        vertices = np.array([v for f in features for v in f["geometry"]["coordinates"][0]])
        assert_vertices_map_to_cells_holding_them(vertices, level, p)

    def test_reported_corner_of_q1(self):
        q1 = _kivet.suid_to_cid("Q1")
        ring = _kivet.cells_geojson([q1])["features"][0]["geometry"]["coordinates"][0]
        assert [80, BOUNDARY] in [[round(x, 9), y] for x, y in ring]
        cell = _kivet._cells_from_lonlat(np.array([80.0]), np.array([BOUNDARY]), 1)[0]
        assert _kivet.cid_to_suid(int(cell)) == "Q1"
