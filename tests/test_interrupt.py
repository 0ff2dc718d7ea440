"""Long calls stop on a signal whose handler raises, run without the interpreter
lock, and leave the module usable."""
import copy
import math
import os
import signal
import sys
import threading

import numpy as np
import pytest

import _kivet


def star(n=4000, cx=60.0, cy=50.0):
    """A wavy ring about 50 degrees across: long boundaries make fill slow."""
    pts = []
    for i in range(n):
        t = 2 * math.pi * i / n
        r = 25 + 5 * math.sin(37 * t)
        pts.append([cx + 1.5 * r * math.cos(t), cy + 0.8 * r * math.sin(t)])
    pts.append(pts[0])
    return {"type": "Polygon", "coordinates": [pts]}


BIG = star()
SMALL = star(200, 10.0, 5.0)
# Deep enough that finishing would take minutes; the signal comes long before.
DEEP = 13


class Stop(Exception):
    pass


def interrupted(call, handler=None, after=0.3):
    """Sends SIGINT to this (main) thread while `call` runs. Returns the
    exception raised, if any, and the call's own profile events: "c_exception"
    when the call itself raised (rather than returning and the handler running
    afterwards)."""
    # Python's own handler unless told otherwise: a runner started in the
    # background may have set SIGINT to be ignored.
    old = signal.signal(signal.SIGINT, handler or signal.default_int_handler)
    events = []
    target = call.func if isinstance(call, Call) else None

    def profile(frame, event, arg):
        if event in ("c_return", "c_exception") and arg is target:
            events.append(event)

    timer = threading.Timer(after, os.kill, (os.getpid(), signal.SIGINT))
    error = None
    try:
        try:
            timer.start()
            sys.setprofile(profile)
            try:
                call()
            finally:
                sys.setprofile(None)
            timer.join()
        except BaseException as e:  # noqa: B036 - KeyboardInterrupt is the point
            error = e
        timer.join()
    finally:
        signal.signal(signal.SIGINT, old)
    return error, events


class Call:
    """A C function with its arguments, so the profiler can tell its events."""

    def __init__(self, func, *args):
        self.func, self.args = func, args

    def __call__(self):
        return self.func(*self.args)


def trees():
    # Two unrelated point sets: no subtree is shared or equal, so set
    # operations walk and build throughout instead of skipping equal parts.
    rng = np.random.default_rng(0)
    made = []
    for _ in range(2):
        lon, lat = rng.uniform(-180, 180, 300_000), rng.uniform(-80, 80, 300_000)
        made.append(_kivet.Tree.from_cells(_kivet._cells_from_lonlat(lon, lat, 12), 12))
    return made


class TestInterrupt:
    @pytest.mark.parametrize("make", [
        lambda: Call(_kivet.fingerprint_polygon, BIG, DEEP),
        lambda: Call(_kivet.polyfill, BIG, DEEP),
        lambda: Call(_kivet.Tree.from_geojson, BIG, DEEP),
    ], ids=["fingerprint_polygon", "polyfill", "from_geojson"])
    def test_polygon_fill_stops_and_the_module_stays_usable(self, make):
        before = _kivet.fingerprint_polygon(SMALL, 6)
        doc = copy.deepcopy(BIG)
        error, events = interrupted(make())
        assert isinstance(error, KeyboardInterrupt)
        assert events == ["c_exception"]
        assert doc == BIG
        assert _kivet.fingerprint_polygon(SMALL, 6) == before
        assert _kivet.Tree.from_geojson(SMALL, 6).root_hex == before

    def test_a_raising_handler_of_our_own_is_what_surfaces(self):
        def handler(signum, frame):
            raise Stop("stop")

        error, events = interrupted(Call(_kivet.fingerprint_polygon, BIG, DEEP), handler)
        assert isinstance(error, Stop) and events == ["c_exception"]

    def test_a_handler_that_returns_lets_the_work_finish(self):
        seen = []
        got = None

        def handler(signum, frame):
            seen.append(signum)

        def call():
            nonlocal got
            got = _kivet.fingerprint_polygon(SMALL, 9)

        error, _ = interrupted(call, handler, after=0.05)
        assert error is None and seen == [signal.SIGINT]
        assert got == _kivet.fingerprint_polygon(SMALL, 9)

    def test_set_operations_stop_and_leave_their_trees_unchanged(self):
        a, b = trees()
        roots = a.root_hex, b.root_hex
        expected = a.difference(b).root_hex
        for call in (Call(a.union, b), Call(a.difference, b), Call(a.divergence, b)):
            # Repeated until one signal lands inside the call, whatever its speed.
            tried = []
            for k in range(60):
                error, events = interrupted(call, after=0.002 * (k % 30))
                tried.append((type(error).__name__, events))
                if events == ["c_exception"]:
                    break
            assert isinstance(error, KeyboardInterrupt) and events == ["c_exception"], tried
            assert (a.root_hex, b.root_hex) == roots
        assert a.difference(b).root_hex == expected


    @pytest.mark.parametrize("nthreads", [0, 1, 2])
    def test_array_functions_stop_on_any_thread_count(self, nthreads):
        rng = np.random.default_rng(1)
        lon, lat = rng.uniform(-180, 180, 4_000_000), rng.uniform(-90, 90, 4_000_000)
        cids = _kivet._cells_from_lonlat(lon[:1000], lat[:1000], 15)
        for call in (Call(_kivet._cells_from_lonlat, lon, lat, 15, None, nthreads),
                     Call(_kivet._cell_boundaries, np.resize(cids, 1_000_000), 5, None,
                          nthreads)):
            tried = []
            for k in range(30):
                error, events = interrupted(call, after=0.01 * (k % 10))
                tried.append((type(error).__name__, events))
                if events == ["c_exception"]:
                    break
            assert isinstance(error, KeyboardInterrupt) and events == ["c_exception"], tried
        np.testing.assert_array_equal(_kivet._cells_from_lonlat(lon[:1000], lat[:1000], 15),
                                      cids)


class TestWithoutTheLock:
    def test_other_threads_run_during_polygon_fill(self):
        ticks = []
        done = threading.Event()

        def beat():
            while not done.is_set():
                ticks.append(1)
                done.wait(0.001)

        t = threading.Thread(target=beat)
        t.start()
        try:
            start = len(ticks)
            _kivet.fingerprint_polygon(BIG, 9)
            during = len(ticks) - start
        finally:
            done.set()
            t.join()
        # With the lock held throughout the heartbeat would not tick at all.
        assert during > 10

    def test_calls_from_many_threads_agree(self):
        expected = _kivet.fingerprint_polygon(SMALL, 8)
        got = []

        def work():
            got.append(_kivet.fingerprint_polygon(SMALL, 8))

        threads = [threading.Thread(target=work) for _ in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert got == [expected] * 6
