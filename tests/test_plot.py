"""Pictures of coverages: Agg renders checked pixel by pixel, the plane layout against the
cell lookup and against PROJ, and the antimeridian cut."""

import math

import numpy as np
import pytest

import _kivet
import kivet

matplotlib = pytest.importorskip("matplotlib")
from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402

from kivet._plot import _positions, lonlat_rings, lonlat_to_plane, plane_squares  # noqa: E402

RED = (1.0, 0.0, 0.0)
BLUE = (0.0, 0.0, 1.0)
SQUARE = {"type": "Polygon", "coordinates": [[[5, 45], [10, 45], [10, 50], [5, 50], [5, 45]]]}


def new_axes():
    fig = Figure(figsize=(4, 4), dpi=100)
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    ax.set_axis_off()  # no frame over the pixels looked at
    return ax


def pixel(ax, x, y):
    """RGB (0..1) of the rendered pixel under the data point (x, y)."""
    fig = ax.figure
    fig.canvas.draw()
    px, py = ax.transData.transform((x, y))
    image = np.asarray(fig.canvas.buffer_rgba())
    row = image.shape[0] - 1 - int(round(py))
    return tuple(image[row, int(round(px)), :3] / 255.0)


def darkest(ax, x, y):
    """The darkest channel value among the 3x3 pixels around the data point (x, y)."""
    fig = ax.figure
    fig.canvas.draw()
    px, py = ax.transData.transform((x, y))
    image = np.asarray(fig.canvas.buffer_rgba())[:, :, :3] / 255.0
    row, col = image.shape[0] - 1 - int(round(py)), int(round(px))
    return float(image[row - 1 : row + 2, col - 1 : col + 2].max(axis=2).min())


def close(a, b):
    return all(abs(u - v) < 0.02 for u, v in zip(a, b))


def ring_area(ring):
    x, y = ring[:, 0], ring[:, 1]
    return 0.5 * float(np.sum(x[:-1] * y[1:] - x[1:] * y[:-1]))


def crossing_cell(level=2):
    """A polar cell of the default grid whose display ring crosses the antimeridian."""
    cells = [c for base in (9, 14) for c in _kivet.subzones(base, level)]
    coords, offsets = _kivet._cell_boundaries(np.array(cells, np.uint64), 3)
    for i, c in enumerate(cells):
        ring = coords[offsets[i] : offsets[i + 1]]
        if ring[:, 0].max() > 180 and -89 < ring[:, 1].min() and ring[:, 1].max() < 89:
            return c
    raise AssertionError("no crossing cell")


class TestPixels:
    def test_fill_inside_and_none_outside(self):
        tree = _kivet.Tree.from_geojson(SQUARE, 6)
        ax = kivet.plot(tree, new_axes(), color=RED)
        ax.set_xlim(0, 20)
        ax.set_ylim(40, 55)
        assert close(pixel(ax, 7.5, 47.5), RED)
        assert close(pixel(ax, 15, 47.5), (1, 1, 1))
        assert close(pixel(ax, 7.5, 52.5), (1, 1, 1))

    def test_crossing_cell_is_drawn_on_both_sides(self):
        cell = crossing_cell()
        coords, offsets = lonlat_rings([cell])
        west, east = (coords[offsets[i] : offsets[i + 1] - 1].mean(axis=0) for i in range(2))
        if west[0] < 0:
            west, east = east, west
        tree = _kivet.Tree.from_cells([cell], 4)
        ax = kivet.plot(tree, new_axes(), color=RED)
        ax.set_xlim(170, 190)
        ax.set_ylim(35, 60)
        assert close(pixel(ax, *west), RED)
        assert close(pixel(ax, east[0] + 360, east[1]), (1, 1, 1))  # nothing east of 180
        ax.set_xlim(-190, -170)
        assert close(pixel(ax, *east), RED)
        assert close(pixel(ax, west[0] - 360, west[1]), (1, 1, 1))

    @pytest.mark.parametrize("base, lat", [(9, 88.0), (14, -88.0)])
    def test_polar_caps_close_through_their_pole(self, base, lat):
        ax = kivet.plot(_kivet.Tree.from_cells([base], 2), new_axes(), color=RED)
        ax.set_xlim(-180, 180)
        ax.set_ylim(-90, 90)
        for lon in (-170.0, -60.0, 0.0, 100.0, 170.0):
            assert close(pixel(ax, lon, lat), RED)
        assert close(pixel(ax, 0.0, -lat), (1, 1, 1))

    def test_trees_take_one_colour_each_and_outline_is_drawn(self):
        a = _kivet.Tree.from_geojson(SQUARE, 5)
        east = {
            "type": "Polygon",
            "coordinates": [[[12, 45], [17, 45], [17, 50], [12, 50], [12, 45]]],
        }
        b = _kivet.Tree.from_geojson(east, 5)
        ax = kivet.plot([a, b], new_axes(), color=[RED, BLUE], outline=SQUARE)
        ax.set_xlim(0, 20)
        ax.set_ylim(40, 55)
        assert close(pixel(ax, 7.5, 47.5), RED)
        assert close(pixel(ax, 14.5, 47.5), BLUE)
        assert darkest(ax, 5.0, 52.5) > 0.9  # no outline off the line
        assert darkest(ax, 7.5, 50.0) < 0.3  # the outline's north edge, in black

    def test_plane_fills_the_square_of_a_cell(self):
        cell = _kivet.cell_at(3, 3, 13, 13)
        ax = kivet.plot(_kivet.Tree.from_cells([cell], 3), new_axes(), plane=True, color=RED)
        (x0, y0), _, (x1, y1), _ = plane_squares([cell])[0]
        pad = 2 * (x1 - x0)
        ax.set_xlim(x0 - pad, x1 + pad)
        ax.set_ylim(y1 - pad, y0 + pad)
        assert close(pixel(ax, 0.5 * (x0 + x1), 0.5 * (y0 + y1)), RED)
        assert close(pixel(ax, x1 + pad / 2, 0.5 * (y0 + y1)), (1, 1, 1))

    def test_empty_tree_draws_nothing_and_returns_axes(self):
        ax = new_axes()
        assert kivet.plot(_kivet.Tree.from_cells([], 3), ax) is ax
        ax.figure.canvas.draw()
        assert np.asarray(ax.figure.canvas.buffer_rgba()).min() == 255


class TestGeometry:
    def test_positions_agree_with_position(self):
        rng = np.random.default_rng(7)
        cids = [
            _kivet.cell_at(int(b), int(lv), int(r), int(c))
            for b, lv in zip(rng.integers(0, 6, 300), rng.integers(0, 19, 300))
            for r, c in [rng.integers(0, 3 ** int(lv), 2, dtype=np.uint64)]
        ]
        got = np.stack(_positions(np.array(cids, np.uint64), _kivet.Profile()), axis=1)
        assert got.astype(np.int64).tolist() == [list(_kivet.position(c)) for c in cids]

    @pytest.mark.parametrize("profile", [_kivet.Profile(), _kivet.Profile.kivet_1()])
    def test_plane_square_holds_its_nucleus(self, profile):
        cids = np.array([c for b in range(9, 15) for c in _kivet.subzones(b, 2)], np.uint64)
        squares = plane_squares(cids, profile)
        lon, lat = _kivet._cells_to_lonlat(cids, profile)
        centre = lonlat_to_plane(lon, lat, profile)
        assert np.allclose(squares.mean(axis=1), centre, rtol=0, atol=10.0)

    def test_plane_agrees_with_proj(self):
        pyproj = pytest.importorskip("pyproj")
        to_plane = pyproj.Transformer.from_crs(
            "EPSG:4326",
            "+proj=rhealpix +ellps=WGS84 +lon_0=50 +north_square=0 +south_square=0",
            always_xy=True,
        )
        lon = np.array([10.0, 60.0, -170.0, 100.0, 20.0, -100.0, 179.9])
        lat = np.array([45.0, -10.0, 70.0, -80.0, 89.0, 0.0, -45.0])
        assert np.allclose(
            lonlat_to_plane(lon, lat), np.array(to_plane.transform(lon, lat)).T, atol=5.0
        )

    def test_antimeridian_cut_keeps_area_and_range(self):
        cell = crossing_cell(4)  # fine enough to keep 3 points per edge when drawn
        coords, offsets = _kivet._cell_boundaries(np.array([cell], np.uint64), 3)
        cut, cut_offsets = lonlat_rings([cell])
        assert len(cut_offsets) == 3
        assert -180 <= cut[:, 0].min() and cut[:, 0].max() <= 180
        pieces = [cut[cut_offsets[i] : cut_offsets[i + 1]] for i in range(2)]
        assert all(ring_area(p) > 0 for p in pieces)  # still counterclockwise
        assert math.isclose(sum(map(ring_area, pieces)), ring_area(coords), rel_tol=1e-9)

    def test_mixed_levels_give_one_ring_each(self):
        tree = _kivet.Tree.from_geojson(SQUARE, 6)
        coords, offsets = lonlat_rings(tree.cells())
        assert len(offsets) == len(tree.cells()) + 1
        assert np.all(coords[offsets[:-1]] == coords[offsets[1:] - 1])


class TestErrors:
    def test_coverage_must_be_trees(self):
        with pytest.raises(TypeError, match="coverage must be a Tree or a list of Trees, not dict"):
            kivet.plot(SQUARE, new_axes())
        with pytest.raises(TypeError, match=r"coverage\[1\] must be a Tree, not int"):
            kivet.plot([_kivet.Tree.from_cells([9], 1), 5], new_axes())

    def test_colour_count_must_match(self):
        tree = _kivet.Tree.from_cells([9], 1)
        with pytest.raises(ValueError, match="color has 1 colours for 2 trees"):
            kivet.plot([tree, tree], new_axes(), color=["red"])

    def test_outline_must_be_lines_or_areas(self):
        with pytest.raises(ValueError, match="outline has unsupported GeoJSON type 'Circle'"):
            kivet.plot(_kivet.Tree.from_cells([9], 1), new_axes(), outline={"type": "Circle"})
