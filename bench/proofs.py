"""Proof transcripts and index queries.

Two depth-10 trees of 10^5 leaves in one region, differing in 1% of them
(and, to show verification scales with the transcript, 10^4): for each
operation, the time of the operation itself, of proving (core walk plus
conversion to Python data), of the JSON round trip of the transcript alone
(json.dumps + json.loads, the floor of any Python-data result of that size)
and of verifying, with the transcript's size. Then Index.query over 1,000
registered trees against a Python loop doing the same intersections.
"""

import json
import random
import time

from _kivet import Index, Tree, verify_setop
from timing import median_time

A = 9
DEPTH = 10
CELLS = 100_000
RUNS = 5


def pair(rng, cells):
    # Leaves drawn from a window of base cell 0 three times their number, so
    # the trees have partial nodes at every level.
    first = 9 * A**DEPTH
    window = range(first, first + 3 * cells)
    a = rng.sample(window, cells)
    b = list(a)
    taken = set(a)
    for i in rng.sample(range(cells), cells // 100):
        while (c := rng.choice(window)) in taken:
            pass
        taken.add(c)
        b[i] = c
    return Tree.from_cells(a, DEPTH), Tree.from_cells(b, DEPTH)


def count_steps(steps):
    return sum(1 + count_steps(s.get("children", [])) for s in steps)


def bench_proofs(rng, cells):
    a, b = pair(rng, cells)
    print(f"\ntwo depth-{DEPTH} trees of {cells} leaves, {cells // 100} differ; "
          f"median of {RUNS}")
    print(f"{'op':<11}{'setop ms':>9}{'prove ms':>9}{'json ms':>8}"
          f"{'prove/(setop+json)':>19}{'verify ms':>10}{'from text':>10}"
          f"{'steps':>7}{'bytes':>9}{'us/step':>8}")
    for op in ["union", "intersect", "difference"]:
        setop = median_time(lambda: getattr(a, op)(b))
        proof = a.prove(b, op)
        text = json.dumps(proof, separators=(",", ":"))
        assert verify_setop(proof) and verify_setop(text)
        prove = median_time(lambda: a.prove(b, op))
        convert = median_time(lambda: json.loads(json.dumps(proof)))
        verify = median_time(lambda: verify_setop(proof))
        verify_text = median_time(lambda: verify_setop(text))
        steps = count_steps(proof["steps"])
        print(f"{op:<11}{setop * 1e3:>9.2f}{prove * 1e3:>9.1f}{convert * 1e3:>8.1f}"
              f"{prove / (setop + convert):>19.2f}{verify * 1e3:>10.1f}"
              f"{verify_text * 1e3:>10.1f}{steps:>7}{len(text):>9}"
              f"{verify_text / steps * 1e6:>8.2f}")


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
    print("prove: Tree.prove, to Python data; json: json.loads(json.dumps(t)) of "
          "the transcript t;\nverify: verify_setop(t); from text: verify_setop of "
          "its JSON text; us/step: from text per step")
    for cells in (CELLS // 10, CELLS):
        bench_proofs(rng, cells)
    bench_index(rng)


if __name__ == "__main__":
    main()
