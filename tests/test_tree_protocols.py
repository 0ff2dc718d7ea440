"""Trees as Python sets: arrays of cells and leaves, truth, membership, operators."""
import random
import re

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from _kivet import KIVET_1, OGC_RHEALPIX, Profile, Tree
from reference import RefTree, leaves_of, random_cids

BASES = list(range(9, 15))


@st.composite
def cid_lists(draw, depth=3):
    rng = random.Random(draw(st.integers(0, 2**32)))
    return random_cids(rng, depth, draw(st.integers(0, 25)))


class TestArrays:
    @pytest.mark.parametrize("seed,depth", [(s, d) for d in (0, 1, 3, 5) for s in range(3)])
    def test_arrays_equal_the_lists(self, seed, depth):
        t = Tree.from_cells(random_cids(random.Random(seed), depth, 40), depth)
        cells, leaves = t.cells_array(), t.leaves_array()
        for array, listed in [(cells, t.cells()), (leaves, t.leaves())]:
            assert array.dtype == np.uint64 and array.ndim == 1
            assert array.tolist() == listed

    def test_cells_sorted_by_value_when_levels_mix(self):
        # 102 lies in base 2 and 14 is base 5: path order puts 102 first.
        t = Tree.from_cells([14, 102], 2)
        assert t.cells_array().tolist() == [14, 102]

    def test_empty_tree_gives_empty_arrays(self):
        t = Tree.from_cells([], 4)
        for array in (t.cells_array(), t.leaves_array()):
            assert array.shape == (0,) and array.dtype == np.uint64

    def test_large_fill_is_every_leaf_in_order(self):
        # Above the size where the fill runs without the interpreter lock.
        depth = 6
        t = Tree.from_cells([10, 12 * 9 + 4], depth)
        width = 9**depth
        expected = np.concatenate([np.arange(10 * width, 11 * width, dtype=np.uint64),
                                   np.arange((12 * 9 + 4) * width // 9,
                                             (12 * 9 + 5) * width // 9, dtype=np.uint64)])
        assert np.array_equal(t.leaves_array(), expected)
        assert t.cells_array().tolist() == [10, 12 * 9 + 4]

    def test_leaves_too_many_to_hold_raise_memory_error(self):
        t = Tree.from_cells(BASES, 18)
        n = 6 * 9**18
        with pytest.raises(MemoryError, match=f"^an array of {n} leaves cannot be allocated$"):
            t.leaves_array()
        assert t.cells_array().tolist() == BASES

    def test_arrays_own_their_data(self):
        t = Tree.from_cells([10], 1)
        a, b = t.leaves_array(), t.leaves_array()
        a[0] = 0
        assert b[0] == 90 and t.leaves()[0] == 90


class TestTruthAndMembership:
    def test_bool_is_false_exactly_when_empty(self):
        assert not Tree.from_cells([], 3)
        assert Tree.from_cells([9 * 9**3], 3)  # one leaf
        t = Tree.from_cells([10], 2)
        assert not (t - t) and t | t

    @pytest.mark.parametrize("seed", range(4))
    def test_in_equals_covers(self, seed):
        depth = 3
        rng = random.Random(seed)
        t = Tree.from_cells(random_cids(rng, depth, 30), depth)
        probes = random_cids(rng, depth, 60) + BASES + [c // 9 for c in t.cells() if c > 14]
        for cid in probes:
            assert (cid in t) == t.covers(cid)

    def test_in_refuses_what_covers_refuses(self):
        t = Tree.from_cells([10], 1)
        for bad in ["10", 10.0, None]:
            with pytest.raises(TypeError, match="^argument 'cid': "):
                bad in t
        with pytest.raises(OverflowError, match="'cid'"):
            -1 in t
        for bad in [5, 10 * 81]:  # no base cell; deeper than the tree
            with pytest.raises(ValueError) as covers:
                t.covers(bad)
            with pytest.raises(ValueError, match=f"^{re.escape(str(covers.value))}$"):
                bad in t


class TestOperators:
    @given(cid_lists(), cid_lists())
    def test_operators_are_set_algebra_on_leaves(self, ca, cb):
        depth = 3
        a, b = Tree.from_cells(ca, depth), Tree.from_cells(cb, depth)
        la, lb = leaves_of(ca, depth), leaves_of(cb, depth)
        for result, expected in [(a | b, la | lb), (a & b, la & lb), (a - b, la - lb),
                                 (a ^ b, la ^ lb)]:
            assert set(result.leaves()) == expected
            assert result.root_hex == RefTree(expected, depth).root()

    @given(cid_lists(), cid_lists())
    def test_operators_agree_with_the_named_methods(self, ca, cb):
        a, b = Tree.from_cells(ca, 3), Tree.from_cells(cb, 3)
        assert a | b == a.union(b)
        assert a & b == a.intersect(b)
        assert a - b == a.difference(b)
        assert a ^ b == (a - b) | (b - a) == b ^ a

    def test_symmetric_difference_of_large_dense_trees(self):
        # Dense enough that the walk is split over the thread pool.
        rng = np.random.default_rng(5)
        depth = 6
        cids = rng.integers(9 * 9**depth, 15 * 9**depth, 30000, dtype=np.uint64)
        more = rng.integers(9 * 9**depth, 15 * 9**depth, 10000, dtype=np.uint64)
        a = Tree.from_cells(cids, depth)
        b = Tree.from_cells(np.concatenate([cids[::2], more, more[:500] // 81]), depth)
        x = a ^ b
        assert np.array_equal(x.leaves_array(), np.setxor1d(a.leaves_array(), b.leaves_array()))
        assert x == (a - b) | (b - a) == b ^ a

    def test_symmetric_difference_of_full_and_partial_is_the_complement(self):
        full, part = Tree.from_cells([12], 2), Tree.from_cells([12 * 81 + 40], 2)
        assert full ^ part == part ^ full == full - part
        assert (full ^ full).is_empty()
        # Equal subtrees built apart cancel out.
        again = Tree.from_cells([12 * 81 + 40], 2)
        assert (part ^ again).is_empty()

    def test_in_place_forms_rebind_to_new_trees(self):
        a, b = Tree.from_cells([10], 2), Tree.from_cells([11], 2)
        for op, expected in [("|=", [10, 11]), ("&=", []), ("-=", [10]), ("^=", [10, 11])]:
            scope = {"t": a, "b": b}
            exec(f"t {op} b", scope)
            assert scope["t"] is not a and scope["t"].cells() == expected
        assert a.cells() == [10]

    def test_result_keeps_the_shared_profile(self):
        a = Tree.from_cells([10], 2, KIVET_1)
        b = Tree.from_cells([11], 2, KIVET_1)
        for t in (a | b, a & b, a - b, a ^ b):
            assert t.profile == KIVET_1

    def test_other_operands_are_refused_by_python(self):
        t = Tree.from_cells([10], 2)
        for other in [1, {10}, [10], None, "10"]:
            for expr in ("t | o", "o | t", "t & o", "t - o", "o - t", "t ^ o"):
                with pytest.raises(TypeError, match="unsupported operand type"):
                    eval(expr, {"t": t, "o": other})

    def test_profiles_differ(self):
        a, b = Tree.from_cells([10], 2), Tree.from_cells([10], 2, KIVET_1)
        text = f"profiles differ: {OGC_RHEALPIX.describe()} vs {KIVET_1.describe()}"
        assert text == (
            "profiles differ: H(9,6) rhealpix lon_0=50 ns=0 ss=0 a=6378137 "
            "1/f=298.257223563 hash=sha256 tick=1us epoch=0 vs H(9,6) rhealpix lon_0=0 "
            "ns=0 ss=0 a=6378137 1/f=298.257223563 hash=sha256 tick=1us epoch=0")
        for expr in ("a | b", "a & b", "a - b", "a ^ b"):
            with pytest.raises(ValueError, match=f"^{re.escape(text)}$"):
                eval(expr, {"a": a, "b": b})
        # Profiles differing in a field the hierarchy does not show.
        c = Tree.from_cells([10], 2, Profile(tick_us=2))
        with pytest.raises(ValueError, match="^profiles differ: .* tick=1us .* vs .* tick=2us"):
            a ^ c

    def test_depths_differ(self):
        a, b = Tree.from_cells([10], 2), Tree.from_cells([10], 3)
        for expr in ("a | b", "a ^ b"):
            with pytest.raises(ValueError, match="^depth mismatch: 2 vs 3; "):
                eval(expr, {"a": a, "b": b})


class TestMemoryStaysFlat:
    A = Tree.from_cells([100, 101, 12 * 81 + 7, 13], 3)
    B = Tree.from_cells([100, 12 * 81 + 8, 14 * 729 + 3], 3)
    C = Tree.from_cells([100], 3, KIVET_1)

    @pytest.mark.parametrize("family", ["arrays", "operators", "membership", "refusals"])
    def test_calls_leave_memory_flat(self, family):
        from test_leaks import assert_flat

        a, b, c = self.A, self.B, self.C

        def refused():
            for expr in ("a | c", "a ^ 1", "'x' in a", "5 in a"):
                try:
                    eval(expr, {"a": a, "c": c})
                except (TypeError, ValueError):
                    pass

        call = {
            "arrays": lambda: (a.cells_array(), a.leaves_array()),
            "operators": lambda: (a | b, a & b, a - b, a ^ b),
            "membership": lambda: (100 in a, bool(a), 12 * 81 + 8 in b),
            "refusals": refused,
        }[family]
        assert_flat(call, n=5000)
