"""JSON results handed to Python: the same objects json.loads gives, built interruptibly."""
import gc
import json
import signal
import sys
import threading

import numpy as np
import pytest

import _kivet
from _kivet import Profile, Tree
from test_leaks import assert_flat


def assert_same(got, want, path="$"):
    """Equality that also holds types (1 is not 1.0, True is not 1) and dict key order."""
    assert type(got) is type(want), (path, type(got), type(want))
    if isinstance(want, dict):
        assert list(got) == list(want), path
        for k in want:
            assert_same(got[k], want[k], f"{path}.{k}")
    elif isinstance(want, list):
        assert len(got) == len(want), path
        for i, (g, w) in enumerate(zip(got, want)):
            assert_same(g, w, f"{path}[{i}]")
    else:
        assert got == want, (path, got, want)


def round_trip(value):
    return json.loads(json.dumps(value, ensure_ascii=False))


def tree(n, level, seed=0):
    rng = np.random.default_rng(seed)
    cids = _kivet._cells_from_lonlat(rng.uniform(-180, 180, n), rng.uniform(-89, 89, n), level)
    return Tree.from_cells(cids, level), cids


A, A_CIDS = tree(3000, 6)
B = Tree.from_cells(A_CIDS[::3], 6)

OUTPUTS = {
    "geojson": lambda: A.geojson(),
    "geojson_n1": lambda: A.geojson(1),
    "cells_geojson": lambda: _kivet.cells_geojson([int(c) for c in A_CIDS[:200]], Profile(), 4),
    "prove": lambda: [A.prove(B, op) for op in ("union", "intersect", "difference")],
    "open": lambda: [A.open(int(c)) for c in A_CIDS[:30]] + [A.open(int(A_CIDS[0]) // 9**4)],
    "to_dggs_json": lambda: A.to_dggs_json(int(A_CIDS[0]) // 9**4),
    "profile": lambda: Profile(aperture=4, lon_0_udeg=-7).to_dict(),
}


class TestSameObjectsAsJsonLoads:
    @pytest.mark.parametrize("name", sorted(OUTPUTS))
    def test_outputs_survive_a_json_round_trip_unchanged(self, name):
        out = OUTPUTS[name]()
        assert_same(out, round_trip(out))

    def test_numbers_keep_their_kind(self):
        fc = A.geojson()
        ring = fc["features"][0]["geometry"]["coordinates"][0]
        assert all(type(x) is float for point in ring for x in point)
        assert ring[0] == ring[-1]
        # Cell ids beyond 2^53 stay exact ints.
        big = Tree.from_cells([int(A_CIDS[0]) * 9**10 + 12345], 16)
        record = big.open(big.cells()[0])
        assert_same(record, round_trip(record))

    @pytest.mark.parametrize("field", [
        "coverage", "é ü 中", "\U0001F600 outside the basic plane", 'quote " back \\ slash /',
        "controls \x00\x01\x1f\b\f\n\r\t", "line\u2028sep\u2029 \x7f", "",
    ])
    def test_names_with_escapes_and_any_characters_come_back_as_given(self, field):
        doc = A.to_dggs_json(int(A_CIDS[0]) // 9**4, field)
        assert list(doc["values"]) == [field]
        assert_same(doc, round_trip(doc))
        assert Tree.from_dggs_json(doc, field) is not None

    def test_a_large_output_matches_and_repeats(self):
        big, _ = tree(40000, 9, seed=3)
        first = big.geojson()
        assert len(first["features"]) == len(big.cells())
        assert_same(first, round_trip(first))
        assert_same(big.geojson(), first)


class Stop(Exception):
    pass


class TestInterrupt:
    def test_a_handler_raising_while_objects_are_built_stops_the_call(self):
        """The handler raises only once the call has built many Python objects, that is,
        while the result is being converted; it must run then, not after the result is done."""
        big, _ = tree(40000, 9, seed=4)
        start = sys.getallocatedblocks()
        want = big.geojson(1)
        full = sys.getallocatedblocks() - start
        state = {}

        def handler(signum, frame):
            grown = sys.getallocatedblocks() - state.get("start", sys.maxsize)
            if grown > 200_000 and "grown" not in state:
                state["grown"] = grown
                raise Stop

        old = signal.signal(signal.SIGALRM, handler)
        # A collection could run the handler inside a gc callback (some libraries install
        # one), where its exception is only reported.
        gc.disable()
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
            state["start"] = sys.getallocatedblocks()
            with pytest.raises(Stop):
                big.geojson(1)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0, 0)
            signal.signal(signal.SIGALRM, old)
            gc.enable()
        assert full > 800_000
        assert state["grown"] < full // 2
        assert_same(big.geojson(1), want)

    def test_other_threads_run_while_a_result_is_built(self):
        big, _ = tree(40000, 9, seed=5)
        beats, done = [], threading.Event()

        def beat():
            while not done.is_set():
                beats.append(sys.getallocatedblocks())
                done.wait(0.001)

        t = threading.Thread(target=beat)
        start = sys.getallocatedblocks()
        t.start()
        try:
            out = big.geojson(1)
        finally:
            done.set()
            t.join()
        final = sys.getallocatedblocks() - start
        assert len(out["features"]) == len(big.cells())
        # A beat that saw part of the result, not none and not all of it, ran mid-conversion.
        assert any(200_000 < b - start < final - 100_000 for b in beats)


@pytest.mark.parametrize("name", ["geojson", "prove", "open", "to_dggs_json"])
def test_memory_stays_flat(name):
    small = Tree.from_cells(A_CIDS[:20], 6)
    other = Tree.from_cells(A_CIDS[:30:2], 6)
    zone = int(A_CIDS[0]) // 9**4
    call = {
        "geojson": lambda: small.geojson(),
        "prove": lambda: small.prove(other, "difference"),
        "open": lambda: small.open(int(A_CIDS[0])),
        "to_dggs_json": lambda: small.to_dggs_json(zone, "f\u00e9\\\n"),
    }[name]
    assert_flat(call, n=2000)
