"""How long calls share the interpreter: heartbeat gaps and time to KeyboardInterrupt.

For each long call: the longest gap a 1 ms heartbeat thread sees while the
call runs (goal: under 20 ms), and the time from SIGINT to KeyboardInterrupt
in the calling thread (goal: under 100 ms). The heartbeat's longest gap with
the interpreter idle (the main thread asleep) is measured in the same run as
the baseline; "x idle" is the ratio to it, so a loaded machine shows as a
high baseline rather than as a fault of the calls.

Reads ../shared/data/countries.geo.json beside the checkout (or in
$KIVET_DATA_DIR) for Russia; without it a synthetic wavy ring stands in.
Run on the main thread: signals reach only it.
"""

import json
import math
import os
import signal
import threading
import time
from pathlib import Path

import numpy as np

import _kivet

DATA = Path(os.environ.get("KIVET_DATA_DIR") or
            Path(__file__).resolve().parents[1] / ".." / "shared" / "data") / "countries.geo.json"
SIGNAL_AFTER = 0.3  # s into the call
HEARTBEAT_LIMIT = 3.0  # s of a call watched by the heartbeat; then it is interrupted


def area():
    if DATA.exists():
        doc = json.loads(DATA.read_text())
        for f in doc["features"]:
            if f["properties"].get("name") == "Russia":
                return "Russia", f["geometry"], 11
    pts = []
    for i in range(4000):
        t = 2 * math.pi * i / 4000
        r = 25 + 5 * math.sin(37 * t)
        pts.append([60 + 1.5 * r * math.cos(t), 50 + 0.8 * r * math.sin(t)])
    pts.append(pts[0])
    return "wavy ring", {"type": "Polygon", "coordinates": [pts]}, 11


class Heartbeat:
    """A thread ticking every millisecond; records the longest gap between ticks."""

    def __init__(self):
        self.worst = 0.0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        last = time.perf_counter()
        while not self._stop.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            self.worst = max(self.worst, now - last)
            last = now

    def __enter__(self):
        self._thread.start()
        time.sleep(0.01)
        self.worst = 0.0
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def interrupt_after(delay):
    """Sends SIGINT after `delay`; returns a list that receives the send time."""
    sent = []

    def fire():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(delay, fire)
    timer.start()
    return timer, sent


def heartbeat_gap(call):
    """Longest heartbeat gap over the call (or its first HEARTBEAT_LIMIT s), and
    the call's time ("> limit" when it was stopped there)."""
    timer, _ = interrupt_after(HEARTBEAT_LIMIT)
    start = time.perf_counter()
    with Heartbeat() as hb:
        try:
            call()
            run = f"{time.perf_counter() - start:.2f}"
            timer.cancel()
        except KeyboardInterrupt:
            run = f">{HEARTBEAT_LIMIT:.1f}"
    timer.join()
    return hb.worst, run


def interrupt_latency(call):
    """Seconds from SIGINT to KeyboardInterrupt; None when the call ended first."""
    timer, sent = interrupt_after(SIGNAL_AFTER)
    try:
        call()
        caught = None
    except KeyboardInterrupt:
        caught = time.perf_counter()
    try:
        timer.join()
        time.sleep(0.05)  # a signal that came after the call lands here
    except KeyboardInterrupt:
        pass
    return caught - sent[0] if caught is not None and sent else None


def main():
    name, geometry, res = area()
    rng = np.random.default_rng(0)
    lon, lat = rng.uniform(-180, 180, 2_000_000), rng.uniform(-80, 80, 2_000_000)
    cids = _kivet._cells_from_lonlat(lon, lat, 12)
    a = _kivet.Tree.from_cells(cids, 12)
    b = _kivet.Tree.from_cells(cids[::3], 12)
    cover = _kivet.Tree.from_geojson(geometry, 8)
    index = _kivet.Index()
    for i in range(8):
        index.add(f"k{i}", _kivet.Tree.from_cells(cids[i::8], 12))

    calls = [
        (f"fingerprint_polygon({name}, {res})", lambda: _kivet.fingerprint_polygon(geometry, res)),
        (f"polyfill({name}, 9)", lambda: _kivet.polyfill(geometry, 9)),
        (f"Tree.from_geojson({name}, {res})", lambda: _kivet.Tree.from_geojson(geometry, res)),
        ("Tree.from_cells(2e6 cids, 12)", lambda: _kivet.Tree.from_cells(cids, 12)),
        ("Tree.union", lambda: a.union(b)),
        ("Tree.difference", lambda: a.difference(b)),
        ("Tree.divergence", lambda: a.divergence(b)),
        ("Tree.prove(union)", lambda: a.prove(b, "union")),
        ("Tree.cells", lambda: a.cells()),
        ("Tree.geojson (depth-8 cover)", lambda: cover.geojson()),
        ("Tree.raster (depth-8 cover)", lambda: cover.raster()),
        ("raster_cells(8)", lambda: _kivet.raster_cells(8)),
        ("Index.query", lambda: index.query(a)),
        ("Index.attention(8)", lambda: index.attention(8)),
    ]

    with Heartbeat() as idle:
        time.sleep(1.0)
    print(f"heartbeat, interpreter idle: longest gap {idle.worst * 1e3:.1f} ms (baseline)")
    print(f"{'call':42s} {'run s':>7s} {'gap ms':>7s} {'x idle':>7s} {'SIGINT->KI ms':>14s}")
    for label, call in calls:
        gap, run = heartbeat_gap(call)
        long_enough = run.startswith(">") or float(run) > SIGNAL_AFTER
        latency = interrupt_latency(call) if long_enough else None
        lat = f"{latency * 1e3:14.1f}" if latency is not None else f"{'(ends first)':>14s}"
        print(f"{label:42s} {run:>7s} {gap * 1e3:7.1f} {gap / idle.worst:7.1f} {lat}",
              flush=True)


if __name__ == "__main__":
    main()
