"""Proof transcripts and index queries.

Two depth-10 trees of 10^5 leaves in one region, differing in 1% of them:
for each operation, the time of the operation itself, of proving (core walk
plus conversion to Python data), of the JSON round trip of the transcript
alone (json.dumps + json.loads, the floor of any Python-data result of that
size) and of verifying, with the transcript's size. Then Index.query over
1,000 registered trees.
"""

import json
import random
import statistics
import time

from _kivet import Index, Tree, verify_setop

A = 9
DEPTH = 10
CELLS = 100_000
RUNS = 5


def median_time(fn, runs=RUNS):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def pair(rng):
    # Leaves drawn from a window of base cell 0 three times their number, so
    # the trees have partial nodes at every level.
    first = 9 * A**DEPTH
    window = range(first, first + 3 * CELLS)
    a = rng.sample(window, CELLS)
    b = list(a)
    changed = rng.sample(range(CELLS), CELLS // 100)
    taken = set(a)
    for i in changed:
        while (c := rng.choice(window)) in taken:
            pass
        taken.add(c)
        b[i] = c
    return Tree.from_cells(a, DEPTH), Tree.from_cells(b, DEPTH)


def count_steps(steps):
    return sum(1 + count_steps(s.get("children", [])) for s in steps)


def bench_proofs(rng):
    a, b = pair(rng)
    print(f"two depth-{DEPTH} trees of {CELLS} leaves, {CELLS // 100} differ; "
          f"median of {RUNS}")
    print(f"{'op':<11}{'setop ms':>10}{'prove ms':>10}{'json ms':>9}"
          f"{'prove/(setop+json)':>20}{'verify ms':>11}{'steps':>8}{'bytes':>11}"
          f"{'verify us/step':>16}")
    for op in ["union", "intersect", "difference"]:
        setop = median_time(lambda: getattr(a, op)(b))
        proof = a.prove(b, op)
        assert verify_setop(proof)
        text = json.dumps(proof, separators=(",", ":"))
        prove = median_time(lambda: a.prove(b, op))
        convert = median_time(lambda: json.loads(json.dumps(proof)))
        verify = median_time(lambda: verify_setop(proof))
        steps = count_steps(proof["steps"])
        print(f"{op:<11}{setop * 1e3:>10.2f}{prove * 1e3:>10.1f}{convert * 1e3:>9.1f}"
              f"{prove / (setop + convert):>20.2f}{verify * 1e3:>11.1f}{steps:>8}"
              f"{len(text):>11}{verify / steps * 1e6:>16.2f}")


def bench_index(rng):
    depth = 8
    first = 9 * A**depth
    span = 6 * A**depth
    ix = Index()
    trees = []
    starts = []
    for i in range(1000):
        # A patch: a run of level-6 cells somewhere on the globe.
        start = rng.randrange(0, span - 81 * 40)
        starts.append(start)
        cells = [(first + start) // 81 + j for j in range(rng.randint(5, 40))]
        trees.append(Tree.from_cells(cells, depth))
        ix.add(f"key{i:04d}", trees[-1])
    # Queries: three level-4 cells around a registered patch, so each meets
    # at least one key.
    queries = []
    for _ in range(50):
        cell = (first + rng.choice(starts)) // A**4
        queries.append(Tree.from_cells([cell - 1, cell, cell + 1], depth))
    hits = sum(len(ix.query(q)) for q in queries)
    elapsed = median_time(lambda: [ix.query(q) for q in queries], runs=3)
    # Baseline: the same intersections and counts as a Python loop over trees.
    loop = median_time(lambda: [[t.intersect(q).leaf_count() for t in trees]
                                for q in queries[:10]], runs=3) * len(queries) / 10
    print(f"\nIndex.query over {len(ix)} trees at depth {depth}: "
          f"{len(queries) / elapsed:,.0f} queries/s "
          f"({hits / len(queries):.1f} hits per query); "
          f"{loop / elapsed:.1f}x a Python loop of Tree.intersect + leaf_count")


def main():
    rng = random.Random(20261208)
    bench_proofs(rng)
    bench_index(rng)


if __name__ == "__main__":
    main()
