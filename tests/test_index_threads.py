"""An Index shared by threads: adds interleaved with reads never tear or crash."""
import copy
import pickle
import threading

import numpy as np

import _kivet

N = 24


def trees(n=N, depth=6, seed=0):
    rng = np.random.default_rng(seed)
    out = []
    for i in range(n):
        size = int(rng.integers(200, 3000))
        lon, lat = rng.uniform(-180, 180, size), rng.uniform(-70, 70, size)
        out.append(_kivet.Tree.from_cells(_kivet._cells_from_lonlat(lon, lat, depth), depth))
    return out


TREES = trees()
QUERY = TREES[0].union(TREES[5])
KEYS = [f"k{i:02d}" for i in range(N)]


def snapshot(index):
    # Keys are sorted, so each result is a plain value to compare.
    return (len(index), index.roots(), index.query(QUERY), index.attention(2))


def prefixes():
    """Every state a single writer adding KEYS in order can leave."""
    index = _kivet.Index()
    states = [snapshot(index)]
    for key, tree in zip(KEYS, TREES):
        index.add(key, tree)
        states.append(snapshot(index))
    return states


class TestConcurrentIndex:
    def test_each_read_sees_the_index_between_two_adds(self):
        expected = prefixes()
        index = _kivet.Index()
        seen, errors = [], []
        writing = threading.Event()

        def writer():
            try:
                for key, tree in zip(KEYS, TREES):
                    index.add(key, tree)
            finally:
                writing.set()

        def reader(kind):
            try:
                while not writing.is_set():
                    if kind == 0:
                        seen.append(("roots", index.roots()))
                    elif kind == 1:
                        seen.append(("query", index.query(QUERY)))
                    else:
                        seen.append(("attention", index.attention(2)))
            except BaseException as e:  # noqa: B036 - reported below
                errors.append(e)

        threads = [threading.Thread(target=reader, args=(k % 3,)) for k in range(6)]
        threads.append(threading.Thread(target=writer))
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        states = {"roots": [s[1] for s in expected], "query": [s[2] for s in expected],
                  "attention": [s[3] for s in expected]}
        for kind, value in seen:
            assert value in states[kind]
        assert snapshot(index) == expected[-1]

    def test_many_writers_leave_every_key_and_tree(self):
        index = _kivet.Index()

        def writer(part):
            for i in range(part, N, 4):
                index.add(KEYS[i], TREES[i])
                len(index), index.distinct_roots

        threads = [threading.Thread(target=writer, args=(p,)) for p in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert snapshot(index) == prefixes()[-1]
        assert index.distinct_roots == len({t.root_hex for t in TREES})

    def test_copies_and_pickles_taken_during_adds_are_whole_states(self):
        expected = prefixes()
        index = _kivet.Index()
        taken = []

        def writer():
            for key, tree in zip(KEYS, TREES):
                index.add(key, tree)

        t = threading.Thread(target=writer)
        t.start()
        while t.is_alive():
            taken.append(copy.copy(index))
            taken.append(pickle.loads(pickle.dumps(index)))
        t.join()
        for other in taken:
            assert snapshot(other) in expected

    def test_refused_add_on_a_busy_index_changes_nothing(self):
        index = _kivet.Index()
        for key, tree in zip(KEYS[:4], TREES[:4]):
            index.add(key, tree)
        before = snapshot(index)
        other = _kivet.Tree.from_cells([100], 3)
        results = []

        def bad():
            try:
                index.add("bad", other)
            except ValueError as e:
                results.append(str(e))

        threads = [threading.Thread(target=bad) for _ in range(4)]
        threads += [threading.Thread(target=lambda: results.append(index.query(QUERY)))
                    for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert results.count(
            "every tree in an index must share the hierarchy, depth and hash") == 4
        assert snapshot(index) == before
