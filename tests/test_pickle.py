"""Trees, profiles and indexes cross process boundaries: pickling, copies and
a spawned process pool."""

import copy
import multiprocessing
import pickle
import random
import re
from concurrent.futures import ProcessPoolExecutor
from functools import reduce

import pytest

from _kivet import KIVET_1, Index, Profile, Tree
from reference import random_cids
from test_leaks import assert_flat, swallow

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)


class OwnProfile(Profile):
    pass


def roundtrip(x, protocol):
    return pickle.loads(pickle.dumps(x, protocol))


def sample_trees(seed, depth=4, n=5):
    rng = random.Random(seed)
    return [Tree.from_cells(random_cids(rng, depth, rng.randint(0, 30)), depth)
            for _ in range(n)]


class TestTree:
    @pytest.mark.parametrize("protocol", PROTOCOLS)
    def test_pickle_gives_an_equal_tree_with_its_profile(self, protocol):
        p = Profile(lon_0_udeg=12345, epoch_us=-1)
        for t in sample_trees(1) + [Tree.from_cells([9, 1000], 5, p)]:
            u = roundtrip(t, protocol)
            assert u == t and u.profile == t.profile and u.cells() == t.cells()

    def test_pickle_carries_the_binary_form(self):
        t = sample_trees(2)[0]
        assert t.to_bytes() in pickle.dumps(t, 5)

    def test_copies_are_equal_and_survive_containers(self):
        t = sample_trees(3)[0]
        assert copy.copy(t) == t and copy.deepcopy(t) == t
        nested = copy.deepcopy({"a": [t, t], "b": (t,)})
        assert nested["a"] == [t, t] and nested["b"][0] == t


class TestProfile:
    @pytest.mark.parametrize("protocol", PROTOCOLS)
    def test_every_field_travels(self, protocol):
        for p in (Profile(), KIVET_1,
                  Profile(aperture=4, n_base=12, lon_0_udeg=-180000000, north_square=3,
                          south_square=2, a_um=2**64 - 1, inv_f_nano=1,
                          tick_us=2**64 - 1, epoch_us=-2**63)):
            q = roundtrip(p, protocol)
            assert q == p and q.id_hex() == p.id_hex() and type(q) is Profile

    def test_subclass_and_copies_keep_their_type(self):
        p = OwnProfile(lon_0_udeg=7)
        for q in (roundtrip(p, 5), copy.copy(p), copy.deepcopy(p)):
            assert type(q) is OwnProfile and q == p


def filled_index():
    """Keys sharing roots, one tree whose only key moved on, and two
    profiles with an equal root (the first registered is the one kept)."""
    a, b, c, d = sample_trees(4, depth=3, n=4)
    ix = Index()
    ix.add("k1", a)
    ix.add("k2", a)
    ix.add("moved", b)
    ix.add("moved", c)  # b keeps being stored, under no key
    ix.add("zz", Tree.from_cells(d.cells(), 3))
    ix.add("yy", Tree.from_cells(d.cells(), 3, KIVET_1))
    return ix, (a, b, c, d)


def state_of(ix):
    trees, keys = ix.__reduce__()[2]
    return [(t.root_hex, t.profile) for t in trees], keys


class TestIndex:
    @pytest.mark.parametrize("protocol", PROTOCOLS)
    def test_keys_trees_and_answers_travel(self, protocol):
        ix, trees = filled_index()
        jx = roundtrip(ix, protocol)
        assert jx.roots() == ix.roots() and len(jx) == len(ix)
        assert jx.distinct_roots == ix.distinct_roots == 4
        for q in trees:
            assert jx.query(q) == ix.query(q)
        assert jx.attention(2) == ix.attention(2)

    def test_trees_keep_registration_order_and_first_profiles(self):
        ix, _ = filled_index()
        assert state_of(roundtrip(ix, 5)) == state_of(ix)
        assert state_of(copy.copy(ix)) == state_of(ix)
        profiles = [p for _, p in state_of(ix)[0]]
        assert profiles[-1] == Profile()  # "zz" came first with the OGC profile

    def test_shared_and_orphaned_trees_stay_shared(self):
        ix, (a, b, _, _) = filled_index()
        jx = roundtrip(ix, 4)
        jx.add("again", b)  # the orphan is still stored: no new root
        jx.add("k3", a)
        assert jx.distinct_roots == 4
        trees, keys = jx.__reduce__()[2]
        assert len(trees) == 4 and len({pos for _, pos in keys}) == 4

    @pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy])
    def test_copies_are_independent(self, duplicate):
        ix, (a, b, c, d) = filled_index()
        jx = duplicate(ix)
        jx.add("new", Tree.from_cells([14], 3))
        ix.add("k1", c)
        assert (len(jx), len(ix), jx.distinct_roots, ix.distinct_roots) == (6, 5, 5, 4)
        assert dict(jx.roots())["k1"] == a.root_hex and dict(ix.roots())["k1"] == c.root_hex
        assert "new" not in dict(ix.roots())

    def test_empty_index(self):
        jx = roundtrip(Index(), 5)
        assert len(jx) == 0 and jx.distinct_roots == 0 and jx.query(Tree.from_cells([9], 2)) == []


class TestIndexStateErrors:
    def bad(self, state, error, message):
        ix, _ = filled_index()
        before = state_of(ix)
        with pytest.raises(error, match=re.escape(message)):
            ix.__setstate__(state)
        assert state_of(ix) == before  # unchanged

    def test_malformed_states(self):
        t3, t4 = Tree.from_cells([9], 3), Tree.from_cells([9], 4)
        self.bad([[], []], TypeError,
                 "argument 'state': expected a (trees, keys) tuple, got list")
        self.bad(([t3, "x"], []), TypeError, "argument 'state': expected Tree, got str")
        self.bad(([t3], [("k", 0, 1)]), TypeError,
                 "argument 'state': expected a (key, position) tuple, got tuple")
        self.bad(([t3], [("k", 1)]), ValueError, 'index state: key "k" names tree 1 of 1')
        self.bad(([t3], [("k", -1)]), OverflowError, "state")
        self.bad(([t3, t4], []), ValueError,
                 "every tree in an index must share the hierarchy, depth and hash")


def union_all(trees):
    return reduce(Tree.union, trees)


class TestSpawnedProcesses:
    def test_process_pool_builds_and_returns_trees(self):
        rng = random.Random(8)
        cids = random_cids(rng, 6, 3000)
        chunks = [cids[i::4] for i in range(4)] + [[]]
        context = multiprocessing.get_context("spawn")
        with ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
            parts = list(pool.map(Tree.from_cells, chunks, [6] * len(chunks)))
            joined = pool.submit(union_all, parts).result()
        assert joined == union_all(parts) == Tree.from_cells(cids, 6)
        assert joined.profile == Profile()


_INDEX = filled_index()[0]
_TREE = sample_trees(5)[1]


@pytest.mark.parametrize("call", [
    lambda: pickle.loads(pickle.dumps(_TREE)),
    lambda: pickle.loads(pickle.dumps(Profile(lon_0_udeg=3))),
    lambda: pickle.loads(pickle.dumps(_INDEX)),
    lambda: copy.deepcopy(_INDEX),
    swallow(lambda: Index().__setstate__(([_TREE], [("k", 5)]))),
    swallow(lambda: Index().__setstate__(([_TREE, "x"], []))),
], ids=["tree", "profile", "index", "index_copy", "index_bad_position", "index_bad_tree"])
def test_memory_stays_flat(call):
    assert_flat(call)
