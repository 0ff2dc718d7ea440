"""Parallel builds give the sequential result, from any thread, and after fork."""
import os
import threading
import warnings

import numpy as np
import pytest

from _kivet import Tree


def many_intervals(seed, n=20_000, depth=7):
    # Isolated cells of one base: far more than 4096 merged intervals reach
    # the base and several of its children, so the build splits into tasks.
    rng = np.random.default_rng(seed)
    first = 11 * 9**depth
    return rng.integers(first, first + 9**depth, n, dtype=np.uint64), depth


def sequential(cids, depth):
    # Pieces below the threshold are built on one thread; the union never
    # spawns tasks.
    trees = [Tree.from_cells(cids[i:i + 2000], depth) for i in range(0, len(cids), 2000)]
    out = trees[0]
    for t in trees[1:]:
        out = out.union(t)
    return out


class TestParallelBuild:
    @pytest.mark.parametrize("seed", range(3))
    def test_parallel_and_sequential_builds_agree(self, seed):
        cids, depth = many_intervals(seed)
        t = Tree.from_cells(cids, depth)
        assert t == sequential(cids, depth)
        assert t.leaf_count() == len(np.unique(cids))

    def test_spread_over_every_base(self):
        rng = np.random.default_rng(9)
        cids = rng.integers(9 * 9**6, 15 * 9**6, 200_000, dtype=np.uint64)
        assert Tree.from_cells(cids, 6) == sequential(cids, 6)

    def test_from_cells_from_many_threads_at_once(self):
        cids, depth = many_intervals(4)
        expected = Tree.from_cells(cids, depth).root_hex
        results, barrier = [None] * 8, threading.Barrier(8)

        def build(i):
            barrier.wait()
            results[i] = [Tree.from_cells(cids, depth).root_hex for _ in range(3)]

        threads = [threading.Thread(target=build, args=(i,)) for i in range(8)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        assert results == [[expected] * 3] * 8

    def test_a_forked_child_builds_trees(self):
        cids, depth = many_intervals(5)
        expected = Tree.from_cells(cids, depth).root_hex  # the parent's pool exists
        read, write = os.pipe()
        with warnings.catch_warnings():
            # The interpreter warns about forking a process with threads; the
            # pool is built for exactly that.
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
        if pid == 0:
            try:
                os.write(write, Tree.from_cells(cids, depth).root_hex.encode())
            finally:
                os._exit(0)
        os.close(write)
        with os.fdopen(read) as f:
            root = f.read()
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert root == expected
