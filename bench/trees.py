"""Tree.from_cells throughput against a floor measured in the same run, peak
memory per branch node, and set operations against a build.

floor = hashlib.sha256 over (branch count x 289) bytes, the preimages of
every branch node hashed once, + numpy.sort of the same cids.
Goals: build <= 2x floor; <= 128 bytes per branch; union/difference of two
10^6-cell trees differing in 1% >= 20x faster than building either tree.

usage: python bench/trees.py [--quick]
"""
import hashlib
import subprocess
import sys
import threading
import time

import numpy as np

import _kivet
from _kivet import Tree
from timing import median_time

A = 9
RUNS = 5


def random_cids(n, depth, seed=0):
    rng = np.random.default_rng(seed)
    return rng.integers(A * A**depth, (A + 6) * A**depth, n, dtype=np.uint64)


def branch_count(tree):
    """Branch nodes = distinct proper ancestors of the canonical cells."""
    cells = np.array(tree.cells(), dtype=np.uint64)
    powers = np.array([A**k for k in range(tree.depth + 3)], dtype=np.uint64)
    levels = np.searchsorted(powers, cells, side="right") - 2
    total = 0
    for lvl in range(tree.depth):
        deeper = levels > lvl
        shift = powers[levels[deeper] - lvl]
        total += np.unique(cells[deeper] // shift).size
    return total


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def peak_during(fn):
    """Peak resident memory above the starting point while fn runs (the build
    releases the interpreter lock, so a sampling thread can watch)."""
    base, peak, done = rss_bytes(), [0], threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], rss_bytes())
            time.sleep(0.0005)

    th = threading.Thread(target=sample)
    th.start()
    result = fn()
    done.set()
    th.join()
    return result, max(peak[0], rss_bytes()) - base, rss_bytes() - base


def memory_child(n, depth):
    cids = random_cids(n, depth)
    tree, peak, kept = peak_during(lambda: Tree.from_cells(cids, depth))
    print(peak, kept, branch_count(tree))


def build_case(n, depth, runs):
    cids = random_cids(n, depth)
    build = median_time(lambda: Tree.from_cells(cids, depth), runs)
    tree = Tree.from_cells(cids, depth)
    branches = branch_count(tree)
    del tree
    buffer = bytes(branches * 289)
    sha = median_time(lambda: hashlib.sha256(buffer).digest(), runs)
    del buffer
    sort = median_time(lambda: np.sort(cids), runs)
    floor = sha + sort
    out = subprocess.run([sys.executable, __file__, "--memory", str(n), str(depth)],
                         capture_output=True, text=True, check=True).stdout.split()
    peak, kept, _ = map(int, out)
    print(f"from_cells {n:>9,} cids, depth {depth:>2}: {build * 1e3:8.1f} ms "
          f"({n / build / 1e6:5.2f} M cids/s), {branches:,} branch nodes")
    print(f"  floor: sha256 over {branches:,} x 289 B {sha * 1e3:7.1f} ms + "
          f"np.sort {sort * 1e3:6.1f} ms = {floor * 1e3:7.1f} ms; "
          f"build/floor = {build / floor:.2f} (goal <= 2)")
    print(f"  memory: peak {peak / branches:6.1f} B per branch node, "
          f"{kept / branches:6.1f} B kept by the tree (goal <= 128)")
    return build


def setops_case(runs):
    n, depth = 10**6, 12
    cids = random_cids(n, depth, seed=1)
    other = cids.copy()
    other[: n // 100] = random_cids(n // 100, depth, seed=2)
    a, b = Tree.from_cells(cids, depth), Tree.from_cells(other, depth)
    build = median_time(lambda: Tree.from_cells(cids, depth), runs)
    for name in ("union", "difference"):
        t = median_time(lambda: getattr(a, name)(b), runs)
        print(f"{name:>10} of two 10^6-cell trees differing in 1%: {t * 1e3:7.1f} ms; "
              f"build/{name} = {build / t:5.1f}x (goal >= 20)")


def main():
    if sys.argv[1:2] == ["--memory"]:
        memory_child(int(sys.argv[2]), int(sys.argv[3]))
        return
    quick = "--quick" in sys.argv
    print(f"_kivet {_kivet.__version__}, numpy {np.__version__}, "
          f"{len(__import__('os').sched_getaffinity(0))} processors")
    build_case(10**5 if quick else 10**6, 12, 3 if quick else RUNS)
    build_case(10**6 if quick else 10**7, 9, 3)
    setops_case(3 if quick else RUNS)


if __name__ == "__main__":
    main()
