import random
import re

import numpy as np
import pytest

import _kivet
from _kivet import Profile, Tree
from reference import RefTree, ladders, leaves_of, random_cids, sha


def cid(base, *digits):
    c = 9 + base
    for d in digits:
        c = c * 9 + d
    return c


CASES = [(seed, depth) for depth in range(7) for seed in range(4)]


class TestAgreesWithModel:
    @pytest.mark.parametrize("seed,depth", CASES)
    def test_root_cells_leaves_match_the_model(self, seed, depth):
        rng = random.Random(seed * 31 + depth)
        cids = random_cids(rng, depth, rng.randint(0, 40))
        t = Tree.from_cells(cids, depth)
        ref = RefTree.from_cells(cids, depth)
        assert t.root_hex == ref.root()
        assert t.cells() == ref.cells
        assert t.leaves() == sorted(ref.leaves)
        assert t.leaf_count() == len(ref.leaves)
        assert t.is_empty() == (not ref.leaves)

    @pytest.mark.parametrize("seed", range(3))
    def test_covers_matches_the_model(self, seed):
        rng = random.Random(seed)
        depth = 3
        cids = random_cids(rng, depth, 30)
        t, leaves = Tree.from_cells(cids, depth), leaves_of(cids, depth)
        for _ in range(200):
            probe = random_cids(rng, depth, 1)[0]
            assert t.covers(probe) == (leaves_of([probe], depth) <= leaves)


class TestCanonicalShape:
    def test_order_and_duplicates_do_not_matter(self):
        rng = random.Random(5)
        cids = random_cids(rng, 5, 60)
        shuffled = cids * 2
        rng.shuffle(shuffled)
        assert Tree.from_cells(cids, 5).root_hex == Tree.from_cells(shuffled, 5).root_hex

    def test_complete_children_collapse_into_their_parent(self):
        parent = cid(2, 4, 7)
        t = Tree.from_cells([parent * 9 + i for i in range(9)], 3)
        assert t.cells() == [parent]
        assert t == Tree.from_cells([parent], 3)

    def test_all_bases_give_full_bases(self):
        for depth in (0, 1, 4, 18):
            t = Tree.from_cells(range(9, 15), depth)
            assert t.cells() == list(range(9, 15))
            assert t.leaf_count() == 6 * 9 ** depth

    def test_eight_of_nine_children(self):
        parent = cid(1, 3)
        t = Tree.from_cells([parent * 9 + i for i in range(8)], 2)
        assert not t.covers(parent)
        assert all(t.covers(parent * 9 + i) for i in range(8))
        assert not t.covers(parent * 9 + 8)
        with pytest.raises(ValueError, match=re.escape(
                f"cid {parent * 81} is at level 3, deeper than 2")):
            t.covers(parent * 81)

    def test_intervals_spanning_base_cells_split(self):
        # Cells of two neighbouring bases give the same tree in any grouping.
        both = [cid(0, 8), cid(1, 0)]
        assert Tree.from_cells(both, 2) == Tree.from_cells([both[0]], 2).union(
            Tree.from_cells([both[1]], 2))

    def test_empty_tree_depends_on_depth(self):
        t = Tree.from_cells([], 5)
        assert t.is_empty() and t.cells() == [] and t.leaves() == [] and t.leaf_count() == 0
        assert t.root_hex != Tree.from_cells([], 4).root_hex
        empty, _ = ladders(5)
        assert t.root_hex == sha(b"\x03" + empty[5] * 6).hex()

    def test_ladders_follow_the_recurrence(self):
        empty, full = ladders(3)
        assert empty[0] == sha(b"\x00") and full[0] == sha(b"\x01")
        assert Tree.from_cells([], 2).root_hex == sha(
            b"\x03" + sha(b"\x02" + sha(b"\x02" + sha(b"\x00") * 9) * 9) * 6).hex()
        assert Tree.from_cells(range(9, 15), 3).root_hex == sha(b"\x03" + full[3] * 6).hex()
        assert len({*empty, *full}) == 8


class TestInputs:
    CIDS = [cid(0, 1, 2), cid(5), cid(3, 8, 8, 8)]

    @pytest.mark.parametrize("make", [
        list, tuple, set, iter,
        lambda c: np.array(c, dtype=np.uint64),
        lambda c: np.array(c + c, dtype=np.uint64)[::2],         # strided
        lambda c: np.array(c, dtype=np.int64),
        lambda c: np.array(c, dtype=np.dtype(">u8")),            # byte-swapped
        lambda c: (x for x in c),
    ])
    def test_any_iterable_of_integers(self, make):
        assert Tree.from_cells(make(self.CIDS), 4) == Tree.from_cells(self.CIDS, 4)

    def test_large_array_matches_list(self):
        rng = np.random.default_rng(1)
        cids = rng.integers(9 * 9**6, 15 * 9**6, 100_000, dtype=np.uint64)
        a = Tree.from_cells(cids, 6)
        assert a == Tree.from_cells(cids.tolist(), 6)
        assert a.leaf_count() == len(np.unique(cids))

    @pytest.mark.parametrize("cids,exc,text", [
        (5, TypeError, "'int' object is not iterable"),
        ([10, "x"], TypeError, "'str' object cannot be interpreted as an integer"),
        ([10, 1.5], TypeError, "'float' object cannot be interpreted as an integer"),
        ([10, -1], OverflowError, "can't convert negative int to unsigned"),
        ([10, 2**64], OverflowError, "int too big to convert"),
        (np.array([10, -1], dtype=np.int64), OverflowError,
         "can't convert negative int to unsigned"),
    ])
    def test_item_errors_are_the_interpreters(self, cids, exc, text):
        with pytest.raises(exc, match="^" + re.escape(text) + "$"):
            Tree.from_cells(cids, 3)

    @pytest.mark.parametrize("cids,depth,text", [
        ([cid(0, 1, 2, 3)], 2, f"cid {cid(0, 1, 2, 3)} is at level 3, deeper than 2"),
        ([10, 15, 3], 2, "cid 15 names base 6, outside [0, 6)"),
        ([10, 3, 15], 2, "not a cid: 3"),
        ([], 19, "depth 19 is deeper than the deepest level, 18"),
        ([], 2**32 - 1, "depth 4294967295 is deeper than the deepest level, 18"),
    ])
    def test_bad_cids_and_depths(self, cids, depth, text):
        with pytest.raises(ValueError, match="^" + re.escape(text) + "$"):
            Tree.from_cells(cids, depth)

    def test_first_bad_cid_wins_in_large_arrays(self):
        cids = np.full(300_000, cid(2, 1), dtype=np.uint64)
        cids[200_001] = 3
        cids[250_000] = 15
        with pytest.raises(ValueError, match="^not a cid: 3$"):
            Tree.from_cells(cids, 3)

    def test_invalid_profile_is_refused(self):
        with pytest.raises(TypeError, match="profile"):
            Tree.from_cells([], 2, profile=Tree.from_cells([], 2))

    def test_scalar_arguments_are_converted_first(self):
        with pytest.raises(OverflowError, match="depth"):
            Tree.from_cells("not cids", -1)


class TestCellsOfOneLevel:
    """Cids all of one level take their own way in: sorted as cids, or not at
    all when they ascend, and merged as runs of consecutive cids."""

    @pytest.mark.parametrize("depth,count,span", [
        (3, 70_000, None),      # dense: long runs, duplicates, complete parents
        (10, 300_000, None),    # scattered over every base
        (18, 100_000, None),    # the widest cids: every digit of the sort varies
        (10, 100_000, 5000),    # a narrow range, across bases 4 and 5
    ])
    def test_leaves_are_the_unique_cids_in_any_order(self, depth, count, span):
        rng = np.random.default_rng(depth + count)
        lo, hi = 9 * 9**depth, 15 * 9**depth
        if span is not None:
            lo = 14 * 9**depth - span // 2
            hi = lo + span
        cids = rng.integers(lo, hi, count, dtype=np.uint64)
        unique = np.unique(cids)
        half = len(unique) // 2
        # Ascending in each half but not across them: the pass that finds
        # ascending input works in chunks, and must join them.
        halves = np.concatenate([unique[half:], unique[:half]])
        trees = [Tree.from_cells(c, depth) for c in (cids, unique, unique[::-1], halves)]
        assert np.array_equal(np.array(trees[0].leaves(), dtype=np.uint64), unique)
        assert all(t == trees[0] for t in trees[1:])
        # The same leaves with one coarser cell already inside them take the
        # way of mixed levels.
        parent = unique[:1] // np.uint64(9)
        children = parent * np.uint64(9) + np.arange(9, dtype=np.uint64)
        assert Tree.from_cells(np.concatenate([cids, parent, children]), depth) == \
            Tree.from_cells(np.concatenate([cids, children]), depth)

    def test_runs_across_parents_and_bases_match_the_model(self):
        last_of_base_0 = cid(0, 8, 8)
        cids = list(range(last_of_base_0 - 20, last_of_base_0 + 15))
        cids += [cid(3, 4, i) for i in range(9)] + [cid(5, 8, 8)] * 3
        shuffled = cids[:]
        random.Random(1).shuffle(shuffled)
        ref = RefTree.from_cells(cids, 2)
        for order in (cids, sorted(cids), shuffled):
            t = Tree.from_cells(order, 2)
            assert t.root_hex == ref.root()
            assert t.cells() == ref.cells


class TestClass:
    def test_no_public_constructor(self):
        with pytest.raises(TypeError):
            Tree()
        with pytest.raises(TypeError):
            Tree.__new__(Tree)

    def test_repr(self):
        t = Tree.from_cells([cid(1, 2)], 3)
        assert repr(t) == f"Tree(H(9,6), D=3, root={t.root_hex})"

    def test_profile_takes_no_part_in_equality(self):
        a = Tree.from_cells([cid(4, 4)], 3)
        b = Tree.from_cells([cid(4, 4)], 3, Profile.kivet_1())
        assert a == b and a.root_hex == b.root_hex and hash(a) == hash(b)
        assert a.profile == Profile.ogc() and b.profile == Profile.kivet_1()
        assert a.profile is not a.profile

    def test_equality_with_other_objects(self):
        t = Tree.from_cells([], 1)
        assert t != "tree" and not (t == 1) and t != Tree.from_cells([10], 1)
        assert t != Tree.from_cells([], 2)
        for op in ("__lt__", "__le__", "__gt__", "__ge__"):
            with pytest.raises(TypeError):
                getattr(__import__("operator"), op.strip("_"))(t, t)

    def test_other_hierarchies(self):
        p = Profile(aperture=4, n_base=3)
        t = Tree.from_cells([4 * 16 + 5], 2, p)
        assert repr(t).startswith("Tree(H(4,3), D=2, root=")
        ref = RefTree(leaves_of([4 * 16 + 5], 2, a=4), 2, a=4, b=3)
        assert t.root_hex == ref.root()
        assert t.leaves() == sorted(ref.leaves)
        assert t != Tree.from_cells([], 2)

    def test_members(self):
        t = Tree.from_cells([], 7)
        assert t.depth == 7 and isinstance(t.depth, int)
        with pytest.raises(AttributeError):
            t.depth = 3
        with pytest.raises(OverflowError, match="cid"):
            t.covers(-1)
        with pytest.raises(ValueError, match="^not a cid: 2$"):
            t.covers(2)


class TestLeaves:
    def test_unlistable_leaves_raise_memory_error_before_allocating(self):
        t = Tree.from_cells(range(9, 15), 18)
        with pytest.raises(MemoryError, match="cannot be allocated"):
            t.leaves()
        assert t.leaf_count() == 6 * 9**18
