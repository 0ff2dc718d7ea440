import random
import re

import pytest

from _kivet import Profile, Tree
from reference import RefTree, ladders, leaves_of, random_cids


def pair(seed, depth, n=30):
    rng = random.Random(seed)
    a, b = random_cids(rng, depth, n), random_cids(rng, depth, n)
    # Share some cells so that equal partial subtrees occur.
    b += rng.sample(a, len(a) // 2)
    return a, b


def tree_of(leaves, depth):
    return Tree.from_cells(sorted(leaves), depth)


CASES = [(seed, depth) for depth in range(1, 6) for seed in range(4)]


class TestSetAlgebra:
    @pytest.mark.parametrize("seed,depth", CASES)
    def test_operations_are_set_algebra_on_leaves(self, seed, depth):
        ca, cb = pair(seed, depth)
        a, b = Tree.from_cells(ca, depth), Tree.from_cells(cb, depth)
        la, lb = leaves_of(ca, depth), leaves_of(cb, depth)
        for result, expected in [(a.union(b), la | lb), (a.intersect(b), la & lb),
                                 (a.difference(b), la - lb)]:
            assert set(result.leaves()) == expected
            assert result.root_hex == RefTree(expected, depth).root()

    @pytest.mark.parametrize("seed", range(4))
    def test_any_route_gives_the_same_root(self, seed):
        depth = 4
        rng = random.Random(seed)
        cids = random_cids(rng, depth, 80)
        direct = Tree.from_cells(cids, depth)
        parts = [Tree.from_cells(cids[i::3], depth) for i in range(3)]
        assert parts[0].union(parts[1]).union(parts[2]) == direct
        everything = Tree.from_cells(range(9, 15), depth)
        complement = everything.difference(direct)
        assert everything.difference(complement) == direct
        assert complement.union(direct) == everything
        assert complement.intersect(direct).is_empty()

    def test_identities(self):
        t = Tree.from_cells(random_cids(random.Random(9), 4, 40), 4)
        empty = Tree.from_cells([], 4)
        assert t.union(t) == t and t.intersect(t) == t
        assert t.difference(t) == empty
        assert t.union(empty) == t and empty.union(t) == t
        assert t.intersect(empty) == empty
        assert empty.difference(t) == empty and t.difference(empty) == t

    def test_partial_halves_make_a_full_base(self):
        base = 11
        children = [base * 9 + i for i in range(9)]
        a = Tree.from_cells(children[:4] + [children[4] * 9 + 1], 2)
        b = Tree.from_cells(children[4:], 2)
        u = a.union(b)
        assert u.cells() == [base]
        assert u == Tree.from_cells([base], 2)

    def test_full_minus_partial_is_the_complement(self):
        hole = 12 * 81 + 40
        d = Tree.from_cells([12], 2).difference(Tree.from_cells([hole], 2))
        assert d.leaf_count() == 80 and not d.covers(hole)
        assert d == Tree.from_cells([12 * 81 + i for i in range(81) if i != 40], 2)


class TestCompatibility:
    def test_depth_mismatch(self):
        with pytest.raises(ValueError, match="^" + re.escape(
                "depth mismatch: 3 vs 4; depth is part of a root's identity") + "$"):
            Tree.from_cells([], 3).union(Tree.from_cells([], 4))

    def test_topology_mismatch(self):
        other = Tree.from_cells([], 3, Profile(aperture=4))
        for method in ("union", "intersect", "difference", "divergence"):
            with pytest.raises(ValueError, match="^" + re.escape(
                    "topology mismatch: Hierarchy { a: 9, b: 6 } vs Hierarchy { a: 4, b: 6 }")
                    + "$"):
                getattr(Tree.from_cells([], 3), method)(other)

    def test_profiles_differing_in_longitude_combine(self):
        a = Tree.from_cells([10], 2)
        b = Tree.from_cells([11], 2, Profile.kivet_1())
        assert a.union(b).profile == Profile.ogc()
        assert b.union(a).profile == Profile.kivet_1()
        assert a.union(b) == b.union(a)

    @pytest.mark.parametrize("method", ["union", "intersect", "difference", "divergence"])
    def test_other_must_be_a_tree(self, method):
        t = Tree.from_cells([], 1)
        with pytest.raises(TypeError, match="other"):
            getattr(t, method)(Profile())
        with pytest.raises(TypeError):
            getattr(t, method)()


class TestDivergence:
    @pytest.mark.parametrize("seed,depth", CASES)
    def test_reports_maximal_disjoint_differences(self, seed, depth):
        ca, cb = pair(seed, depth)
        a, b = Tree.from_cells(ca, depth), Tree.from_cells(cb, depth)
        ra, rb = RefTree.from_cells(ca, depth), RefTree.from_cells(cb, depth)
        found = a.divergence(b)
        cids = [d["cid"] for d in found]
        covered = set()
        for d in found:
            c = d["cid"]
            assert list(d) == ["cid", "suid", "hash_a", "hash_b"]
            h = depth - (len(d["suid"]) - 1)
            assert d["hash_a"] == ra.hash(c, h).hex() and d["hash_b"] == rb.hash(c, h).hex()
            assert d["hash_a"] != d["hash_b"]
            # Maximal: a leaf, or one side uniform there.
            assert h == 0 or c not in ra.partial or c not in rb.partial
            mine = leaves_of([c], depth)
            assert not covered & mine
            covered |= mine
        assert (ra.leaves ^ rb.leaves) <= covered
        # Pre-order over paths: ascending by the path's digits.
        assert cids == sorted(cids, key=lambda c: [int(x) for x in str(_path(c))])

    def test_equal_trees_do_not_diverge(self):
        t = Tree.from_cells([100, 12], 3)
        assert t.divergence(Tree.from_cells([12, 100], 3, Profile.kivet_1())) == []

    def test_against_the_empty_tree(self):
        t = Tree.from_cells([10 * 9 + 3, 13], 3)
        empty, _ = ladders(3)
        found = t.divergence(Tree.from_cells([], 3))
        assert [(d["cid"], d["suid"]) for d in found] == [(10, "O"), (13, "R")]
        assert all(d["hash_b"] == empty[3].hex() for d in found)

    def test_one_leaf_deep_inside(self):
        base = [12 * 81 + i for i in range(0, 81, 2)]
        a = Tree.from_cells(base, 2)
        b = Tree.from_cells(base + [12 * 81 + 1], 2)
        assert [(d["cid"], d["suid"]) for d in a.divergence(b)] == [(12 * 81 + 1, "Q01")]


def _path(c):
    digits = []
    while c >= 9:
        digits.append(c % 9)
        c //= 9
    return "".join(map(str, reversed(digits)))
