"""Node hashes are computed when first asked for: whatever was hashed before,
whoever asks first and however many threads ask at once, every root, opening
and proof equals that of a tree built afresh from the same leaves."""
import random
import threading

import numpy as np
import pytest

from _kivet import Profile, Tree
from reference import RefTree, random_cids

A = 9


def fresh(tree):
    """The same leaf set built again: new branches, none hashed yet."""
    return Tree.from_cells(tree.cells(), tree.depth)


def scattered(n, depth, seed):
    rng = np.random.default_rng(seed)
    return rng.integers(A * A**depth, (A + 6) * A**depth, n, dtype=np.uint64)


OPS = ("union", "intersect", "difference")


class TestDerivedTrees:
    @pytest.mark.parametrize("seed", range(6))
    def test_results_of_half_hashed_operands_match_the_model(self, seed):
        rng = random.Random(seed)
        depth = rng.randint(1, 4)
        xs = [random_cids(rng, depth, rng.randint(0, 30)) for _ in range(3)]
        a, b, c = (Tree.from_cells(x, depth) for x in xs)
        if seed % 2:
            a.root_hex  # only one operand hashed
        leaves = [set(t.leaves()) for t in (a, b, c)]
        law = {"union": set.__or__, "intersect": set.__and__, "difference": set.__sub__}
        for op in OPS:
            ab = getattr(a, op)(b)
            # A tree derived from an unhashed result, asked before its operand.
            abc = getattr(ab, op)(c)
            want = law[op](law[op](leaves[0], leaves[1]), leaves[2])
            assert abc.root_hex == RefTree(want, depth).root()
            assert ab.root_hex == RefTree(law[op](leaves[0], leaves[1]), depth).root()
            assert abc == fresh(abc) and hash(abc) == hash(fresh(abc))

    def test_shared_subtrees_hashed_through_either_tree(self):
        depth = 6
        base = Tree.from_cells(scattered(3000, depth, 1), depth)
        extra = Tree.from_cells(scattered(50, depth, 2), depth)
        # These share nearly every branch with `base`.
        grown, shrunk = base.union(extra), base.difference(extra)
        same = base.intersect(base)
        # Asked in an order where each root meets branches already hashed
        # through another tree.
        assert shrunk.root_hex == fresh(shrunk).root_hex
        assert same.root_hex == base.root_hex == fresh(base).root_hex
        assert grown.root_hex == fresh(grown).root_hex
        assert extra.root_hex == fresh(extra).root_hex

    def test_openings_and_proofs_of_unhashed_trees_match_fresh_ones(self):
        depth = 5
        a = Tree.from_cells(scattered(400, depth, 3), depth)
        b = Tree.from_cells(scattered(400, depth, 4), depth)
        u = a.union(b)
        cells = u.cells()
        # Opened before the root was ever asked for.
        opened = [u.open(cells[i]) for i in (0, len(cells) // 2, -1)]
        proof = a.prove(u, "difference")
        assert opened == [fresh(u).open(cells[i]) for i in (0, len(cells) // 2, -1)]
        assert proof == fresh(a).prove(fresh(u), "difference")
        div = b.divergence(fresh(u))
        assert div == fresh(b).divergence(fresh(u))

    def test_equal_unhashed_trees_compare_equal_after_set_operations(self):
        depth = 6
        cids = scattered(5000, depth, 5)
        a, b = Tree.from_cells(cids, depth), Tree.from_cells(cids[::-1], depth)
        # Equal but separately built: no hash is known, so the operations
        # must reach the same shapes by descending.
        assert a.difference(b).is_empty()
        assert a.union(b).cells() == a.cells() == a.intersect(b).cells()
        assert a.union(b) == b


def with_digits(base, digits):
    cid = A + base
    for d in digits:
        cid = cid * A + d
    return cid


class TestSeparatelyBuiltNearTwins:
    """Trees built apart share no branch, so set operations and == tell
    equal subtrees from different ones by their shapes alone. These pairs
    differ only where a summary of a shape that ignored a cell's height, its
    digit or the order of its digits would see none."""

    TWINS = [
        # A cell and its sibling.
        ([with_digits(0, [1, 2, 3])], [with_digits(0, [1, 2, 4])]),
        # The same two digits swapped between heights.
        ([with_digits(2, [5, 1, 7])], [with_digits(2, [1, 5, 7])]),
        # Digit sums and products alike, cells different.
        ([with_digits(1, [1, 4, 0]), with_digits(1, [2, 2, 0])],
         [with_digits(1, [2, 4, 0]), with_digits(1, [1, 2, 0])]),
        # One cell at two depths under the same parent.
        ([with_digits(3, [6, 6, 6])], [with_digits(3, [6, 6])]),
        # A deep difference under an otherwise equal dense subtree.
        ([with_digits(4, [d, e, 0]) for d in range(A) for e in range(A)],
         [with_digits(4, [d, e, 0]) for d in range(A) for e in range(A)][:-1]
         + [with_digits(4, [8, 8, 1])]),
    ]

    @pytest.mark.parametrize("xs, ys", TWINS)
    def test_operations_and_equality_see_the_difference(self, xs, ys):
        depth = 3
        a, b = Tree.from_cells(xs, depth), Tree.from_cells(ys, depth)
        sa, sb = set(a.leaves()), set(b.leaves())
        assert sa != sb
        assert a != b and hash(a) != hash(b)
        assert set(a.union(b).leaves()) == sa | sb
        assert set(a.intersect(b).leaves()) == sa & sb
        assert set(a.difference(b).leaves()) == sa - sb
        assert set((a ^ b).leaves()) == sa ^ sb
        # Rebuilt alike, the same trees again compare equal and cancel out.
        twin = Tree.from_cells(list(reversed(xs)), depth)
        assert a == twin and not a.difference(twin) and not (a ^ twin)


class TestLargeUnhashedOperands:
    @pytest.mark.parametrize("hashed", [False, True])
    def test_operations_on_dense_trees_are_the_set_laws(self, hashed):
        # Large enough for the top levels to be split over the pool.
        depth = 7
        xs = scattered(30000, depth, 7)
        ys = np.concatenate([xs[:29000], scattered(2000, depth, 8)])
        a, b = Tree.from_cells(xs, depth), Tree.from_cells(ys, depth)
        if hashed:
            a.root_hex
        law = {"union": np.union1d, "intersect": np.intersect1d, "difference": np.setdiff1d}
        for op, fn in law.items():
            got = getattr(a, op)(b)
            want = fn(np.unique(xs), np.unique(ys))
            assert got.leaves() == want.tolist()
            assert got.root_hex == Tree.from_cells(want, depth).root_hex


class TestConcurrentFirstRequests:
    @pytest.mark.parametrize("seed", range(3))
    def test_threads_asking_one_root_at_once_agree(self, seed):
        depth = 7
        cids = scattered(20000, depth, 10 + seed)
        want = Tree.from_cells(cids, depth).root_hex
        tree = Tree.from_cells(cids, depth)
        # Trees sharing most branches with `tree`, asked for at the same time.
        other = Tree.from_cells(
            np.concatenate([cids[:100], scattered(100, depth, 20 + seed)]), depth)
        derived = [tree.union(other), tree.difference(other), tree]
        wants = [fresh(t).root_hex for t in derived[:2]] + [want]
        start = threading.Barrier(8)
        got = [None] * 8

        def ask(i):
            start.wait()
            t = derived[i % 3]
            got[i] = (i % 3, t.root_hex, hash(t), t == tree)

        threads = [threading.Thread(target=ask, args=(i,)) for i in range(8)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        for k, root, h, equal in got:
            assert root == wants[k]
            assert h == hash(derived[k])
            assert equal == (k == 2)


class TestLeafRuns:
    @pytest.mark.parametrize("seed", range(8))
    def test_runs_of_consecutive_leaves_match_the_model(self, seed):
        # One run of leaves meets each node alone: it may start and end
        # inside children, cover whole children between, or cross bases.
        rng = random.Random(seed)
        depth = rng.randint(1, 4)
        first_leaf, end_leaf = A * A**depth, (A + 6) * A**depth
        leaves = set()
        for _ in range(rng.randint(1, 3)):
            start = rng.randrange(first_leaf, end_leaf)
            length = rng.choice([1, 2, A - 1, A + 1, A * A + 3, rng.randint(1, 3 * A**depth)])
            leaves.update(range(start, min(start + length, end_leaf)))
        t = Tree.from_cells(sorted(leaves), depth)
        ref = RefTree(leaves, depth)
        assert t.cells() == ref.cells
        assert t.root_hex == ref.root()


class TestSharedHeightOneNodes:
    """Height-1 nodes of small apertures, and height-2 nodes over one of them, are shared
    blocks, held by every tree with that pattern and never freed with any of them."""

    @pytest.mark.parametrize("aperture", [4, 9, 16])
    def test_trees_outlive_the_trees_they_share_with(self, aperture):
        profile = Profile(aperture=aperture)
        depth, a = 4, aperture
        rng = random.Random(aperture)
        first = a * a**depth  # leaves of base 0

        def leaves(seed):
            # Each parent of leaves gets a pattern from a small pool, so trees share them.
            r = random.Random(seed)
            pool = [r.sample(range(a), r.randint(1, a - 1)) for _ in range(3)]
            parents = r.sample(range(a**(depth - 1) * 6), 40)
            return {first + p * a + d for p in parents for d in r.choice(pool)}

        sets = [leaves(rng.random()) for _ in range(12)]
        trees = [None] * len(sets)

        def build(i):
            trees[i] = Tree.from_cells(sorted(sets[i]), depth, profile)

        for _ in range(3):  # built, half dropped, built again: counts stay right
            workers = [threading.Thread(target=build, args=(i,)) for i in range(len(sets))]
            for w in workers:
                w.start()
            for w in workers:
                w.join()
            trees[::2] = [None] * len(trees[::2])
        kept = trees[1::2]
        both = kept[0].union(kept[1]).difference(kept[2])
        want = (sets[1] | sets[3]) - sets[5]
        assert both.root_hex == RefTree(want, depth, a=a).root()
        for t, s in zip(kept, sets[1::2]):
            assert t.root_hex == RefTree(s, depth, a=a).root()
