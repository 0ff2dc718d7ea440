"""Unions of many trees at once."""

from __future__ import annotations

import os
from collections.abc import Iterable

import numpy as np

import _kivet

__all__ = ["union_all"]

# From this many trees on, their cells are read on threads (the engine lets go of the
# interpreter lock while it walks a tree).
_THREADED_FROM = 4


def union_all(trees: Iterable[_kivet.Tree]) -> _kivet.Tree:
    """The union of every tree in `trees`, as one new `Tree` with the first tree's profile.

    Like folding ``Tree.union`` over them, but much cheaper for many trees: a running union
    copies the path to every cell it adds into an ever larger tree, while this reads each
    tree's canonical cells once and builds the result in one pass. It holds every tree's
    cells at once (8 bytes each) and keeps no subtree or hash of its inputs, so its root is
    computed afresh when asked. Two trees, or one, are joined by ``Tree.union``.

    Every tree must have the depth and grid of the first; otherwise the error is the one
    ``Tree.union`` raises. An empty iterable raises ``ValueError``, as there is no depth.
    """
    given = list(trees)
    for i, tree in enumerate(given):
        if not isinstance(tree, _kivet.Tree):
            raise TypeError(f"trees[{i}] must be a Tree, not {type(tree).__name__}")
    if not given:
        raise ValueError("union_all needs at least one tree: an empty union has no depth")
    first = given[0]
    # The same object twice adds nothing; equal trees are not looked for, as that hashes.
    distinct = list({id(tree): tree for tree in given}.values())
    mine = (first.depth, first.profile.aperture, first.profile.n_base, first.profile.hash)
    for tree in distinct[1:]:
        profile = tree.profile
        if (tree.depth, profile.aperture, profile.n_base, profile.hash) != mine:
            first.union(tree)  # refused before any work, with the pair's message
    if len(distinct) <= 2:
        result = first
        for tree in distinct[1:]:
            result = result.union(tree)
        return result
    if len(distinct) >= _THREADED_FROM and (os.cpu_count() or 1) > 1:
        from concurrent.futures import ThreadPoolExecutor

        workers = min(len(distinct), os.cpu_count() or 1)
        with ThreadPoolExecutor(workers) as pool:
            parts = list(pool.map(_kivet.Tree.cells_array, distinct))
    else:
        parts = [tree.cells_array() for tree in distinct]
    return _kivet.Tree.from_cells(np.concatenate(parts), first.depth, first.profile)
