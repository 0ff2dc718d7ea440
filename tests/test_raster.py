import random
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import _kivet
from _kivet import Profile, Tree
from reference import random_cids
from test_leaks import assert_flat, swallow

SQUARES = [(ns, ss) for ns in range(4) for ss in range(4)]


def side_of(t):
    return int(round(t.profile.aperture ** 0.5))


def mask_of(t):
    n = side_of(t) ** t.depth
    return np.frombuffer(t.raster(), np.uint8).reshape(6, n, n)


def painted(t):
    """The mask painted naively from the canonical cells and their positions."""
    n = side_of(t) ** t.depth
    out = np.zeros((6, n, n), np.uint8)
    for c in t.cells():
        base, level, row, col = _kivet.position(c, t.profile)
        m = side_of(t) ** (t.depth - level)
        out[base, row * m:(row + 1) * m, col * m:(col + 1) * m] = 1
    return out


def cells_at(level, profile=None):
    n = 3**level
    return np.frombuffer(_kivet.raster_cells(level, profile), np.uint64).reshape(6, n, n)


def halo(level, width, profile=None):
    s = 3**level + 2 * width
    return np.frombuffer(_kivet.halo_index(level, width, profile), np.int64).reshape(6, s, s)


class TestRasterRoundTrip:
    @pytest.mark.parametrize("depth", range(7))
    @pytest.mark.parametrize("seed", range(3))
    def test_raster_paints_the_cells_and_reads_back_to_the_same_root(self, seed, depth):
        rng = random.Random(seed * 7 + depth)
        t = Tree.from_cells(random_cids(rng, depth, rng.randint(0, 30)), depth)
        mask = mask_of(t)
        assert np.array_equal(mask, painted(t))
        back = Tree.from_raster(mask.tobytes(), depth)
        assert back.root_hex == t.root_hex

    @pytest.mark.parametrize("aperture,depth", [(4, 3), (4, 7), (16, 2), (16, 4)])
    def test_other_square_apertures(self, aperture, depth):
        p = Profile(aperture=aperture)
        rng = random.Random(aperture + depth)
        cids = random_cids(rng, depth, 40, a=aperture) + [
            (aperture + 2) * aperture**depth + i for i in range(0, aperture**depth, 3)]
        t = Tree.from_cells(cids, depth, p)
        mask = mask_of(t)
        assert np.array_equal(mask, painted(t))
        assert Tree.from_raster(mask.tobytes(), depth, p).root_hex == t.root_hex

    @pytest.mark.parametrize("depth", range(4))
    def test_any_nonzero_byte_is_a_covered_cell(self, depth):
        rng = np.random.default_rng(depth)
        raw = rng.integers(0, 256, size=6 * 9**depth, dtype=np.uint8)
        raw[rng.random(raw.size) < 0.5] = 0
        if depth:  # uniform blocks and a full base cell must collapse
            raw[: 9**depth] = 7
            raw[9**depth: 9**depth + 9] = 0
        t = Tree.from_raster(raw.tobytes(), depth)
        covered = cells_at(depth).ravel()[raw != 0]
        assert t == Tree.from_cells(covered.tolist(), depth)
        assert np.array_equal(mask_of(t).ravel(), (raw != 0).astype(np.uint8))

    @pytest.mark.parametrize("depth", [2, 5, 6])
    def test_one_odd_cell_anywhere_is_found(self, depth):
        n = 3**depth
        for value in (0, 1):
            for base, row, col in [(0, 0, 0), (1, n - 1, n - 1), (2, 0, n - 1), (3, n - 1, 0),
                                   (4, n // 2, n // 3), (5, n - 1, n // 2)]:
                raw = np.full((6, n, n), value, np.uint8)
                raw[base, row, col] = 1 - value
                odd = _kivet.cell_at(base, depth, row, col)
                t = Tree.from_raster(raw.tobytes(), depth)
                if value:  # all but one leaf
                    assert t.leaf_count() == 6 * n * n - 1 and not t.covers(odd)
                else:
                    assert t.cells() == [odd]

    def test_depth_zero_is_one_byte_per_base_cell(self):
        t = Tree.from_raster(bytes([1, 0, 0, 0, 0, 0]), 0)
        assert t.cells() == [9]
        assert Tree.from_cells([10, 14], 0).raster() == bytes([0, 1, 0, 0, 0, 1])

    def test_from_raster_carries_the_profile(self):
        p = Profile.kivet_1()
        t = Tree.from_raster(bytes(54), 1, p)
        assert t.profile == p and t.is_empty() and t == Tree.from_cells([], 1)

    @pytest.mark.slow
    def test_disc_at_depth_7_survives_the_round_trip(self):
        n = 3**7
        y, x = np.mgrid[0:n, 0:n]
        disc = ((x - n / 2.3) ** 2 + (y - n / 1.7) ** 2 < (n / 3) ** 2).astype(np.uint8)
        mask = np.stack([disc, 1 - disc, disc, np.zeros_like(disc), disc.T, disc])
        t = Tree.from_raster(mask.tobytes(), 7)
        assert np.array_equal(mask_of(t), mask)
        assert Tree.from_raster(t.raster(), 7).root_hex == t.root_hex


class TestRasterErrors:
    def test_wrong_length(self):
        with pytest.raises(ValueError, match=re.escape("raster has 10 cells, depth 1 needs 54")):
            Tree.from_raster(bytes(10), 1)

    def test_depth_9_is_too_large_everywhere(self):
        text = re.escape("a raster at level 9 is too large")
        with pytest.raises(ValueError, match=text):
            Tree.from_raster(b"", 9)
        with pytest.raises(ValueError, match=text):
            _kivet.raster_cells(9)
        with pytest.raises(ValueError, match=text):
            Tree.from_cells([], 9).raster()
        with pytest.raises(ValueError, match=text):
            _kivet.raster_index([9 * 9**9])

    def test_context_errors_come_first(self):
        with pytest.raises(ValueError, match=re.escape("deeper than the deepest level, 18")):
            Tree.from_raster(b"", 19)

    def test_data_must_be_bytes(self):
        with pytest.raises(TypeError, match="data"):
            Tree.from_raster(bytearray(6), 0)
        with pytest.raises(TypeError, match="depth"):
            Tree.from_raster(bytes(6), "0")


class TestRasterCells:
    def test_level_one_is_scanline_per_base_cell(self):
        assert np.frombuffer(_kivet.raster_cells(1), np.uint64).tolist() == list(range(81, 135))

    @pytest.mark.parametrize("level", range(4))
    def test_every_position_holds_its_cell(self, level):
        cells = cells_at(level)
        for base, row, col in [(0, 0, 0), (5, 3**level - 1, 3**level - 1), (2, 0, 3**level - 1)]:
            assert cells[base, row, col] == _kivet.cell_at(base, level, row, col)
        assert [_kivet.position(int(c)) for c in cells.ravel()[::7]] == [
            (i // 9**level, level, i % 9**level // 3**level, i % 3**level)
            for i in range(0, 6 * 9**level, 7)
        ]

    @pytest.mark.parametrize("level", range(5))
    def test_raster_index_inverts_raster_cells(self, level):
        cells = cells_at(level).ravel()
        index = np.frombuffer(_kivet.raster_index(cells), np.int64)
        assert np.array_equal(index, np.arange(cells.size))
        some = cells[::5].tolist()[::-1]
        assert np.frombuffer(_kivet.raster_index(some), np.int64).tolist() == list(
            range(0, cells.size, 5))[::-1]

    def test_raster_index_errors(self):
        assert _kivet.raster_index([]) == b""
        with pytest.raises(ValueError, match=re.escape("cid 729 is at level 2, the first at 1")):
            _kivet.raster_index([81, 729])
        with pytest.raises(ValueError, match=re.escape("not a cid: 3")):
            _kivet.raster_index([3])
        with pytest.raises(TypeError, match="cids"):
            _kivet.raster_index("81")


class TestHaloIndex:
    def test_level_zero_names_the_neighbouring_base_cells(self):
        h = halo(0, 1)
        assert h[0].tolist() == [[-1, 3, -1], [4, 0, 2], [-1, 1, -1]]
        for b in range(6):
            nb = _kivet.neighbours(9 + b)
            assert [h[b, 0, 1], h[b, 1, 2], h[b, 2, 1], h[b, 1, 0]] == [
                nb[k] - 9 for k in ("up", "right", "down", "left")]

    @pytest.mark.parametrize("ns,ss", SQUARES)
    @pytest.mark.parametrize("level,width", [(1, 1), (1, 3), (2, 2)])
    def test_edges_agree_with_neighbours_and_continue_adjacently(self, ns, ss, level, width):
        p = Profile(north_square=ns, south_square=ss)
        n, w = 3**level, width
        h = halo(level, w, p)
        cells = cells_at(level, p).ravel()
        inside = np.zeros(h.shape[1:], bool)
        inside[w:w + n, w:w + n] = True
        corners = np.zeros_like(inside)
        for rs in (slice(0, w), slice(w + n, None)):
            for cs in (slice(0, w), slice(w + n, None)):
                corners[rs, cs] = True
        assert (h[:, corners] == -1).all()
        assert (h[:, ~corners] >= 0).all() and (h < 6 * n * n).all()
        assert np.array_equal(h[:, inside].ravel(), np.arange(6 * n * n))
        nbs = {int(c): _kivet.neighbours(int(c), p) for c in cells}
        for b in range(6):
            for i in range(n):
                edge = {  # one step beyond each edge, seen from the edge cell
                    "up": (w - 1, w + i, w, w + i),
                    "down": (w + n, w + i, w + n - 1, w + i),
                    "left": (w + i, w - 1, w + i, w),
                    "right": (w + i, w + n, w + i, w + n - 1),
                }
                for way, (r, c, r0, c0) in edge.items():
                    assert cells[h[b, r, c]] == nbs[int(cells[h[b, r0, c0]])][way]
        # Farther out, side by side positions hold adjacent cells.
        s = n + 2 * w
        for b in range(6):
            for r in range(s):
                for c in range(s):
                    for r2, c2 in ((r + 1, c), (r, c + 1)):
                        if r2 < s and c2 < s and h[b, r, c] >= 0 and h[b, r2, c2] >= 0:
                            x, y = int(cells[h[b, r, c]]), int(cells[h[b, r2, c2]])
                            assert y in nbs[x].values()

    @pytest.mark.parametrize("ns,ss", [(0, 0), (1, 3), (2, 1)])
    def test_five_point_stencil_matches_neighbour_sums(self, ns, ss):
        p = Profile(north_square=ns, south_square=ss)
        level, n = 2, 9
        rng = np.random.default_rng(ns * 4 + ss)
        values = rng.integers(-1000, 1000, size=(6, n, n))
        padded = values.ravel()[halo(level, 1, p)]
        stencil = (padded[:, 1:-1, 1:-1] + padded[:, :-2, 1:-1] + padded[:, 2:, 1:-1]
                   + padded[:, 1:-1, :-2] + padded[:, 1:-1, 2:])
        index = {int(c): i for i, c in enumerate(cells_at(level, p).ravel())}
        flat = values.ravel()
        expected = np.array([
            flat[i] + sum(flat[index[v]] for v in _kivet.neighbours(c, p).values())
            for c, i in index.items()
        ])
        assert np.array_equal(stencil.ravel(), expected)

    def test_width_zero_is_the_plain_raster(self):
        assert np.array_equal(halo(1, 0).ravel(), np.arange(54))

    def test_errors(self):
        with pytest.raises(ValueError, match=re.escape(
                "a halo of 4 is wider than a base cell of 3 at level 1")):
            _kivet.halo_index(1, 4)
        with pytest.raises(ValueError, match=re.escape("a halo index at level 9 is too large")):
            _kivet.halo_index(9)
        with pytest.raises(ValueError, match=re.escape("a halo index at level 8 is too large")):
            _kivet.halo_index(8, 3409)
        with pytest.raises(ValueError, match=re.escape("level 41 overflows")):
            _kivet.halo_index(41)
        with pytest.raises(ValueError, match=re.escape(
                "the rHEALPix layout has 6 base cells, the profile has 5")):
            _kivet.halo_index(1, 1, Profile(n_base=5))


@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc and caps RLIMIT_AS")
class TestOutOfMemory:
    def test_unservable_requests_raise_memory_error(self):
        # Address space capped just above what the interpreter already holds:
        # every large result must fail cleanly and leave the process usable.
        script = textwrap.dedent("""
            import resource
            import _kivet
            from _kivet import Tree
            vm = next(int(l.split()[1]) for l in open("/proc/self/status")
                      if l.startswith("VmSize")) * 1024
            full = Tree.from_cells(range(9, 15), 8)
            zone_tree = Tree.from_cells([81], 9)
            resource.setrlimit(resource.RLIMIT_AS, (vm + (96 << 20),) * 2)
            for call in (full.raster, lambda: _kivet.halo_index(8, 1),
                         lambda: _kivet.raster_cells(8),
                         lambda: zone_tree.to_dggs_json(9)):
                try:
                    call()
                except MemoryError:
                    print("MemoryError")
            print(Tree.from_raster(Tree.from_cells([9], 2).raster(), 2).cells())
        """)
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             cwd=Path(__file__).parent, timeout=120)
        assert out.returncode == 0, out.stderr
        assert out.stdout.split("\n") == ["MemoryError"] * 4 + ["[9]", ""]


_T3 = Tree.from_cells([100, 101, 12 * 81 + 7, 13], 3)
_DOC = _T3.to_dggs_json(12 * 81 + 7)

LEAK_FAMILIES = {
    "raster_both_ways": lambda: Tree.from_raster(_T3.raster(), 3),
    "raster_bad": swallow(lambda: Tree.from_raster(b"12", 3)),
    "raster_cells_index": lambda: _kivet.raster_index(np.frombuffer(_kivet.raster_cells(2),
                                                                    np.uint64)),
    "raster_index_bad": swallow(lambda: _kivet.raster_index([81, 729, "x"])),
    "halo": lambda: _kivet.halo_index(2, 3),
    "halo_bad": swallow(lambda: _kivet.halo_index(1, 9)),
    "dggs_json": lambda: Tree.from_dggs_json(_T3.to_dggs_json(12 * 81 + 7)),
    "dggs_json_bad": swallow(lambda: Tree.from_dggs_json(_DOC, field="x")),
}


@pytest.mark.parametrize("name", sorted(LEAK_FAMILIES))
def test_memory_stays_flat(name):
    assert_flat(LEAK_FAMILIES[name], n=10000)
