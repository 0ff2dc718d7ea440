"""The coverage index: keys registered under trees, asked by tree."""

import re
from collections import Counter

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _kivet import Index, Profile, Tree
from reference import level as level_of

A, B = 9, 6
DEPTH = 2


def t(*cells, depth=DEPTH, profile=None):
    return Tree.from_cells(list(cells), depth, profile)


def block(start, n, depth=DEPTH):
    """n consecutive leaves of base cell 0 from `start`."""
    return Tree.from_cells([9 * A**depth + start + i for i in range(n)], depth)


def by_key(hits):
    return {h["key"]: h for h in hits}


class TestQueryRelations:
    def test_relation_table(self):
        ix = Index()
        ix.add("equal", block(0, 20))
        ix.add("within", block(5, 10))
        ix.add("contains", block(0, 40))
        ix.add("overlaps", block(10, 30))
        ix.add("disjoint", block(60, 5))
        hits = by_key(ix.query(block(0, 20)))
        assert {k: h["relation"] for k, h in hits.items()} == {
            "equal": "equal", "within": "within", "contains": "contains",
            "overlaps": "overlaps"}
        assert hits["contains"]["fraction_of_query"] == 1.0
        assert hits["contains"]["fraction_of_item"] == 0.5
        assert hits["within"]["fraction_of_query"] == 0.5
        assert hits["within"]["fraction_of_item"] == 1.0
        assert hits["overlaps"]["shared_cells"] == 10

    def test_hit_layout(self):
        ix = Index()
        tree = block(0, 9)
        ix.add("k", tree)
        assert ix.query(tree) == [{
            "key": "k", "root": tree.root_hex, "relation": "equal",
            "fraction_of_query": 1.0, "fraction_of_item": 1.0, "shared_cells": 9}]
        assert list(ix.query(tree)[0]) == ["key", "root", "relation",
                                           "fraction_of_query", "fraction_of_item",
                                           "shared_cells"]

    def test_order_by_fraction_then_key(self):
        ix = Index()
        ix.add("c", block(0, 10))
        ix.add("b", block(0, 20))
        ix.add("a", block(30, 10))
        ix.add("\u00e9", block(0, 10))
        ix.add("B", block(30, 10))
        hits = ix.query(block(0, 40))
        assert [(h["key"], h["fraction_of_query"]) for h in hits] == [
            ("b", 0.5), ("B", 0.25), ("a", 0.25), ("c", 0.25), ("\u00e9", 0.25)]

    def test_two_keys_one_tree(self):
        ix = Index()
        tree = block(3, 7)
        ix.add("y", tree)
        ix.add("x", block(3, 7))
        assert (len(ix), ix.distinct_roots) == (2, 1)
        hits = ix.query(tree)
        assert [h["key"] for h in hits] == ["x", "y"]
        assert all(h["relation"] == "equal" and h["shared_cells"] == 7 for h in hits)

    def test_empty_index_and_empty_query(self):
        assert Index().query(block(0, 3)) == []
        assert Index().query(t(depth=7)) == []
        ix = Index()
        ix.add("k", block(0, 3))
        assert ix.query(t()) == []

    @settings(derandomize=True, max_examples=40, deadline=None,
              suppress_health_check=[HealthCheck.too_slow])
    @given(st.lists(st.sets(st.integers(0, 80), max_size=30), min_size=1, max_size=6),
           st.sets(st.integers(0, 80), max_size=30))
    def test_against_leaf_sets(self, items, query):
        ix = Index()
        base = 9 * A**DEPTH
        for i, leaves in enumerate(items):
            ix.add(f"k{i}", Tree.from_cells([base + x for x in leaves], DEPTH))
        hits = ix.query(Tree.from_cells([base + x for x in query], DEPTH))
        expected = []
        for i, leaves in enumerate(items):
            shared = len(leaves & query)
            if not shared:
                continue
            relation = ("equal" if leaves == query else "within" if leaves < query
                        else "contains" if leaves > query else "overlaps")
            expected.append((f"k{i}", relation, shared, shared / len(query),
                             shared / len(leaves)))
        expected.sort(key=lambda e: (-e[3], e[0]))
        assert [(h["key"], h["relation"], h["shared_cells"], h["fraction_of_query"],
                 h["fraction_of_item"]) for h in hits] == expected


class TestRegistration:
    def test_readding_same_tree_changes_nothing(self):
        ix = Index()
        ix.add("k", block(0, 5))
        ix.add("k", block(0, 5))
        assert (len(ix), ix.distinct_roots) == (1, 1)

    def test_repointed_key_keeps_old_tree_stored(self):
        ix = Index()
        first, second = block(0, 5), block(40, 5)
        ix.add("k", first)
        ix.add("k", second)
        assert ix.roots() == [("k", second.root_hex)]
        assert (len(ix), ix.distinct_roots) == (1, 2)
        assert ix.query(first) == []
        assert set(ix.attention(DEPTH)) == set(second.leaves())
        ix.add("j", first)
        assert ix.distinct_roots == 2

    def test_roots_in_key_order(self):
        ix = Index()
        for key in ["b", "a", "c"]:
            ix.add(key, block(0, 1 + ord(key) - ord("a")))
        assert [k for k, _ in ix.roots()] == ["a", "b", "c"]

    def test_incompatible_tree_is_refused_and_changes_nothing(self):
        ix = Index()
        ix.add("k", block(0, 5))
        message = "every tree in an index must share the hierarchy, depth and hash"
        other = Tree.from_cells([], 3)
        with pytest.raises(ValueError, match=re.escape(message)):
            ix.add("new", other)
        assert (len(ix), ix.distinct_roots) == (1, 1)
        with pytest.raises(ValueError, match=re.escape(
                "depth mismatch: 2 vs 3; depth is part of a root's identity")):
            ix.query(other)
        fresh = Index()
        fresh.add("new", other)
        assert len(fresh) == 1

    def test_other_longitude_is_compatible(self):
        ix = Index()
        ix.add("k", block(0, 5))
        ix.add("j", t(9 * 81, profile=Profile.kivet_1()))
        assert len(ix) == 2

    def test_argument_types(self):
        ix = Index()
        with pytest.raises(TypeError, match="key"):
            ix.add(1, block(0, 1))
        with pytest.raises(TypeError, match="tree"):
            ix.add("k", "tree")
        with pytest.raises(TypeError):
            Index(1)
        with pytest.raises(OverflowError, match="level"):
            ix.attention(-1)


class TestAttention:
    @settings(derandomize=True, max_examples=30, deadline=None,
              suppress_health_check=[HealthCheck.too_slow])
    @given(st.lists(st.lists(st.integers(0, 6 * A**3 - 1), max_size=8), max_size=5),
           st.integers(0, 3), st.data())
    def test_counts_match_leaves(self, items, level, data):
        depth = 3
        ix = Index()
        keyed = []
        for i, cells in enumerate(items):
            # Coarse cells too, so that Full nodes above `level` are expanded.
            cids = [A * A**depth + c for c in cells]
            cids += [c // A**data.draw(st.integers(0, depth)) for c in cids[:2]]
            tree = Tree.from_cells(cids, depth)
            keyed.append(tree)
            ix.add(f"k{i}", tree)
            if data.draw(st.booleans()):
                keyed.append(tree)
                ix.add(f"again{i}", tree)
        expected = Counter()
        for tree in keyed:
            expected.update({leaf // A ** (depth - level) for leaf in tree.leaves()})
        got = ix.attention(level)
        assert got == dict(expected)
        assert list(got) == sorted(got)

    def test_levels_zero_and_depth(self):
        ix = Index()
        ix.add("a", t(10, 9 * 81 + 4))
        ix.add("b", t(9 * 81 + 4))
        assert ix.attention(0) == {9: 2, 10: 1}
        leaves = ix.attention(DEPTH)
        assert leaves[9 * 81 + 4] == 2 and len(leaves) == 82
        assert all(level_of(c) == DEPTH for c in leaves)

    def test_empty(self):
        assert Index().attention(5) == {}

    def test_level_deeper_than_trees(self):
        ix = Index()
        ix.add("k", block(0, 1))
        with pytest.raises(ValueError, match=re.escape(
                "attention level 3 is deeper than the trees (2)")):
            ix.attention(3)

    def test_too_large_to_hold_is_memory_error(self):
        ix = Index()
        ix.add("all", Tree.from_cells(range(9, 15), 18))
        with pytest.raises(MemoryError):
            ix.attention(18)
        assert len(ix.attention(2)) == 6 * 81


def test_surface():
    assert Index.__text_signature__ == "()"
    assert Index.add.__text_signature__ == "($self, key, tree)"
    assert Index.attention.__text_signature__ == "($self, level)"
