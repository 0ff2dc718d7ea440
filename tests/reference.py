"""Naive models of the coverage tree, for differential tests.

A set of leaves is canonicalised by repeatedly replacing A complete siblings
with their parent (a dict from parent to the children seen); hashes follow by
recursion over the canonical cells. Slow and obviously correct.
"""
import hashlib
from collections import defaultdict

A, B = 9, 6


def sha(data):
    return hashlib.sha256(data).digest()


def ladders(depth, a=A):
    empty, full = [sha(b"\x00")], [sha(b"\x01")]
    for _ in range(depth):
        empty.append(sha(b"\x02" + empty[-1] * a))
        full.append(sha(b"\x02" + full[-1] * a))
    return empty, full


def level(cid, a=A):
    digits = 0
    while cid:
        cid //= a
        digits += 1
    return digits - 2


def leaves_of(cids, depth, a=A):
    out = set()
    for c in cids:
        w = a ** (depth - level(c, a))
        out.update(range(c * w, (c + 1) * w))
    return out


class RefTree:
    def __init__(self, leaves, depth, a=A, b=B):
        self.a, self.b, self.depth = a, b, depth
        self.leaves = set(leaves)
        cells, current = set(), set(self.leaves)
        for _ in range(depth):
            by_parent = defaultdict(set)
            for c in current:
                by_parent[c // a].add(c)
            current = set()
            for parent, children in by_parent.items():
                if len(children) == a:
                    current.add(parent)
                else:
                    cells |= children
        self.cells = sorted(cells | current)
        self.full = set(self.cells)
        self.partial = set()
        for c in self.cells:
            c //= a
            while c >= a:
                self.partial.add(c)
                c //= a
        self.empty_hash, self.full_hash = ladders(depth, a)

    @classmethod
    def from_cells(cls, cids, depth):
        return cls(leaves_of(cids, depth), depth)

    def hash(self, cell, height):
        if cell in self.full:
            return self.full_hash[height]
        if cell in self.partial:
            return sha(b"\x02" + b"".join(self.hash(cell * self.a + i, height - 1)
                                          for i in range(self.a)))
        return self.empty_hash[height]

    def root(self):
        return sha(b"\x03" + b"".join(self.hash(self.a + i, self.depth)
                                      for i in range(self.b))).hex()


def random_cids(rng, depth, n, a=A, b=B):
    """Cids at mixed levels near `depth`, with duplicates and complete or
    nearly complete sibling groups."""
    out = []
    for _ in range(n):
        lvl = rng.randint(max(0, depth - 3), depth)
        c = a + rng.randrange(b)
        for _ in range(lvl):
            c = c * a + rng.randrange(a)
        kind = rng.random()
        if kind < 0.1 and lvl > 0:
            out.extend(c // a * a + i for i in range(a))
        elif kind < 0.2 and lvl > 0:
            skip = rng.randrange(a)
            out.extend(c // a * a + i for i in range(a) if i != skip)
        elif kind < 0.3:
            out.extend([c, c])
        else:
            out.append(c)
    rng.shuffle(out)
    return out
