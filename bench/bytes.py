"""The binary form: its size per branch node, and Tree.from_bytes against
building the same tree with Tree.from_cells from a sorted uint64 array (root
included in both), measured in the same run.

Goals: at most 2.5 bytes per branch node plus a fixed header;
from_bytes at least as fast as from_cells (ratio from_cells / from_bytes >= 1).

usage: python bench/bytes.py [--quick]
"""
import pickle
import sys

import numpy as np

from _kivet import Tree
from timing import median_time
from trees import branch_count

A, B = 9, 6
FIXED = 74 + 32  # default profile: the header before the shape, the root after it




def scattered(n, depth, seed=0):
    rng = np.random.default_rng(seed)
    return np.sort(rng.integers(A * A**depth, (A + B) * A**depth, n, dtype=np.uint64))


def clustered(n, depth, seed=0):
    """Runs of consecutive leaves inside one base cell: the shape of real areas."""
    rng = np.random.default_rng(seed)
    starts = rng.integers(A * A**depth, (A + 1) * A**depth - 1000, n // 500, dtype=np.uint64)
    runs = (starts[:, None] + np.arange(500, dtype=np.uint64)).ravel()
    return np.unique(runs)


def main():
    quick = "--quick" in sys.argv
    sizes = [10**4, 10**5] if quick else [10**4, 10**5, 10**6]
    runs = 3 if quick else 5
    print(f"{'case':>24} {'branches':>9} {'bytes':>10} {'B/branch':>8} "
          f"{'from_cells':>10} {'from_bytes':>10} {'ratio':>6} {'to_bytes':>9}")
    for name, make, depth in (("scattered", scattered, 12), ("clustered", clustered, 12)):
        for n in sizes:
            cids = make(n, depth)
            tree = Tree.from_cells(cids, depth)
            data = tree.to_bytes()
            branches = branch_count(tree)
            assert int.from_bytes(data[66:74], "big") == branches
            assert Tree.from_bytes(data) == tree and pickle.loads(pickle.dumps(tree)) == tree
            per_branch = (len(data) - FIXED) / max(branches, 1)
            build = median_time(lambda: Tree.from_cells(cids, depth).root_hex, runs)
            read = median_time(lambda: Tree.from_bytes(data).root_hex, runs)
            write = median_time(tree.to_bytes, runs)
            print(f"{name + ' ' + format(n, '.0e'):>24} {branches:>9} {len(data):>10} "
                  f"{per_branch:>8.3f} {build * 1e3:>8.2f}ms {read * 1e3:>8.2f}ms "
                  f"{build / read:>6.2f} {write * 1e3:>7.2f}ms")
    print("goals: B/branch <= 2.5 (plus the fixed 108 bytes); ratio = from_cells / from_bytes >= 1")


if __name__ == "__main__":
    main()
