"""Zone navigation: positions, sub-zones in scanline order, edge neighbours."""

import inspect
import itertools
import math
import re

import numpy as np
import pytest

import _kivet

SQUARES = list(itertools.product(range(4), range(4)))


def position_model(cid):
    """(base, level, row, col) from the base-9 digits of the cid."""
    digits = []
    while cid >= 81:
        digits.append(cid % 9)
        cid //= 9
    digits.reverse()
    row = col = 0
    for d in digits:
        row, col = row * 3 + d // 3, col * 3 + d % 3
    return cid - 9, len(digits), row, col


def all_cells(level):
    return [c for base in range(9, 15) for c in range(base * 9**level, (base + 1) * 9**level)]


def raises(text):
    return pytest.raises(ValueError, match="^" + re.escape(text) + "$")


class TestPosition:
    def test_known_positions(self):
        assert _kivet.position(9) == (0, 0, 0, 0)
        assert _kivet.position(81) == (0, 1, 0, 0)
        assert _kivet.position(89) == (0, 1, 2, 2)
        assert _kivet.position(85) == (0, 1, 1, 1)

    def test_matches_digit_model_and_inverts_cell_at(self):
        rng = np.random.default_rng(1)
        for level in range(19):
            lo, hi = 9 * 9**level, 15 * 9**level
            for cid in rng.integers(lo, hi, 50, dtype=np.uint64).tolist():
                p = _kivet.position(cid)
                assert p == position_model(cid)
                assert _kivet.cell_at(*p) == cid

    def test_other_square_apertures(self):
        p = _kivet.Profile(aperture=16, n_base=6)
        cid = (16 + 2) * 16**2 + 7 * 16 + 9  # digits 7 (1, 3) and 9 (2, 1)
        assert _kivet.position(cid, p) == (2, 2, 6, 13)
        assert _kivet.cell_at(2, 2, 6, 13, p) == cid

    def test_cid_errors(self):
        with raises("not a cid: 5"):
            _kivet.position(5)
        with raises("cid 15 names base 6, outside [0, 6)"):
            _kivet.position(15)


class TestCellAt:
    def test_known_cells(self):
        assert _kivet.cell_at(0, 1, 2, 2) == 89
        assert _kivet.cell_at(5, 0, 0, 0) == 14

    def test_messages_in_check_order(self):
        with raises("(3, 0) outside a 3x3 base cell at level 1"):
            _kivet.cell_at(0, 1, 3, 0)
        with raises("(0, 9) outside a 9x9 base cell at level 2"):
            _kivet.cell_at(0, 2, 0, 9)
        with raises("base 6 out of range [0, 6)"):
            _kivet.cell_at(6, 0, 0, 0)
        with raises("base 6 out of range [0, 6)"):
            _kivet.cell_at(6, 1, 5, 5)  # base before row and column
        with raises("level 19 is deeper than the deepest level, 18"):
            _kivet.cell_at(9, 19, 99, 0)  # level before base

    def test_argument_widths(self):
        with pytest.raises(OverflowError, match="base"):
            _kivet.cell_at(2**32, 0, 0, 0)
        with pytest.raises(OverflowError, match="row"):
            _kivet.cell_at(0, 0, -1, 0)
        with pytest.raises(TypeError, match="col"):
            _kivet.cell_at(0, 0, 0, "0")


class TestSubzones:
    def test_children_are_the_first_depth(self):
        assert _kivet.subzones(9, 1) == list(range(81, 90))
        assert _kivet.subzones(9, 0) == [9]

    def test_depth_two_runs_across_child_rows(self):
        assert _kivet.subzones(9, 2)[:4] == [729, 730, 731, 738]

    @pytest.mark.parametrize("ancestor,depth", [(9, 2), (100, 3), (_kivet.suid_to_cid("S8"), 4)])
    def test_scanline_order_matches_positions(self, ancestor, depth):
        zones = _kivet.subzones(ancestor, depth)
        m = 3**depth
        assert len(zones) == m * m
        _, level, row0, col0 = _kivet.position(ancestor)
        expected = sorted(
            (c for c in range(ancestor * 9**depth, (ancestor + 1) * 9**depth)),
            key=lambda c: _kivet.position(c)[2:])
        assert zones == expected
        assert _kivet.position(zones[0])[2:] == (row0 * m, col0 * m)
        for i, c in enumerate(zones):
            assert _kivet.subzone_index(ancestor, c) == i
            assert _kivet.subzone_at(ancestor, depth, i) == c

    def test_index_of_the_cell_itself_is_zero(self):
        assert _kivet.subzone_index(100, 100) == 0

    def test_messages(self):
        with raises("depth 10 has too many sub-zones"):
            _kivet.subzones(9, 10)
        with raises("level 41 overflows"):
            _kivet.subzones(9, 41)
        with raises("level 41 overflows"):
            _kivet.subzone_at(9, 41, 0)
        with raises("index 9 outside the 9 sub-zones at depth 1"):
            _kivet.subzone_at(9, 1, 9)
        with raises("index 18446744073709551615 outside the 18446744073709551615 "
                    "sub-zones at depth 40"):
            _kivet.subzone_at(9, 40, 2**64 - 1)
        with raises("depth 40 below level 1 overflows"):
            _kivet.subzone_at(87, 40, 0)  # row 2 times 3^40
        with raises("level 19 is deeper than the deepest level, 18"):
            _kivet.subzone_at(9 * 9**17, 2, 0)
        with raises("level 19 is deeper than the deepest level, 18"):
            _kivet.subzones(9 * 9**17, 2)
        with raises("10 is not an ancestor of 81"):
            _kivet.subzone_index(10, 81)
        with raises("81 is not an ancestor of 9"):
            _kivet.subzone_index(81, 9)
        with raises("not a cid: 5"):
            _kivet.subzone_index(5, 81)
        with raises("not a cid: 5"):
            _kivet.subzones(5, 1)


class TestNeighbours:
    def test_base_cells(self):
        assert _kivet.neighbours(9) == {"up": 12, "right": 11, "down": 10, "left": 13}
        assert _kivet.neighbours(10) == {"up": 9, "right": 11, "down": 14, "left": 13}
        assert list(_kivet.neighbours(100)) == ["up", "right", "down", "left"]

    def test_inside_a_base_cell_steps_one_row_or_column(self):
        cid = _kivet.cell_at(3, 3, 10, 20)
        n = _kivet.neighbours(cid)
        assert [_kivet.position(n[k])[2:] for k in ("up", "right", "down", "left")] == [
            (9, 20), (10, 21), (11, 20), (10, 19)]

    @pytest.mark.parametrize("ns,ss", SQUARES)
    def test_adjacency_is_symmetric(self, ns, ss):
        p = _kivet.Profile(north_square=ns, south_square=ss)
        for level in range(5):
            cells = np.array(all_cells(level), dtype=np.uint64)
            nb = _kivet._cell_neighbours(cells, p)
            back = nb[np.searchsorted(cells, nb)]  # neighbours of each neighbour
            assert (back == cells[:, None, None]).any(axis=2).all()
            assert (nb != cells[:, None]).all()

    @pytest.mark.parametrize("ns,ss", SQUARES)
    def test_neighbours_share_an_edge_on_the_sphere(self, ns, ss):
        # Independent of the gluing table: two edge neighbours have two ring
        # corners in common.
        p = _kivet.Profile(north_square=ns, south_square=ss)
        cells = np.array(all_cells(1), dtype=np.uint64)
        coords, offsets = _kivet._cell_boundaries(cells, 2, p)

        def corners(i):
            ring = coords[offsets[i]:offsets[i + 1]]
            return {(round(lon % 360, 6) % 360, round(lat, 6)) for lon, lat in ring
                    if abs(lat) != 90 and abs(lon) != 180}

        index = {c: i for i, c in enumerate(cells.tolist())}
        for i, c in enumerate(cells.tolist()):
            for d in _kivet.neighbours(c, p).values():
                assert len(corners(i) & corners(index[d])) >= 2, (c, d)

    def test_layout_needs_six_base_cells(self):
        with raises("the rHEALPix layout has 6 base cells, the profile has 5"):
            _kivet.neighbours(9, _kivet.Profile(n_base=5))

    def test_cid_errors(self):
        with raises("not a cid: 0"):
            _kivet.neighbours(0)


class TestSignatures:
    @pytest.mark.parametrize("fn,sig,doc", [
        (_kivet.cell_at, "(base, level, row, col, profile=None)",
         "The cid at `(row, col)` of base cell `base` at `level`."),
        (_kivet.position, "(cid, profile=None)",
         "`(base, level, row, col)`: where `cid` sits in its base cell (row 0 at the top)."),
        (_kivet.subzones, "(ancestor, depth, profile=None)",
         "Every sub-zone of `ancestor` at relative `depth`, in scanline order (the OGC API"
         " - DGGS\nsub-zone order for rHEALPix)."),
        (_kivet.subzone_at, "(ancestor, depth, index, profile=None)",
         "The sub-zone of `ancestor` at relative `depth` with scanline index `index`."),
        (_kivet.subzone_index, "(ancestor, cid, profile=None)",
         "The scanline index of `cid` among the sub-zones of `ancestor`."),
        (_kivet.neighbours, "(cid, profile=None)",
         "The four edge neighbours of `cid`, keyed `up`, `right`, `down`, `left` in the "
         "cell's planar\nframe; base-cell edges are crossed as the grid folds."),
    ])
    def test_signature_and_docstring(self, fn, sig, doc):
        assert str(inspect.signature(fn)) == sig
        assert fn.__doc__ == doc

    def test_profile_must_be_a_profile(self):
        with pytest.raises(TypeError, match="profile"):
            _kivet.position(9, profile=_kivet.Tree.from_cells([], 1))
