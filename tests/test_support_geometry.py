"""The exact orientation predicate and the packed R-tree, checked through a
small native driver compiled against the core sources (skipped without a
C++ compiler), against exact rationals and brute force."""

import math
import os
import random
import shutil
import subprocess
from fractions import Fraction
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.fixture(scope="module")
def driver(tmp_path_factory):
    cxx = os.environ.get("CXX") or shutil.which("g++") or shutil.which("clang++")
    if not cxx:
        pytest.skip("no C++ compiler to build the native driver")
    exe = tmp_path_factory.mktemp("native") / "support_driver"
    sources = [
        ROOT / "tests" / "native" / "support_driver.cpp",
        ROOT / "core" / "support" / "orient2d.cpp",
        ROOT / "core" / "support" / "rtree.cpp",
    ]
    cmd = [cxx, "-std=c++23", "-O2", "-I", str(ROOT), *map(str, sources), "-o", str(exe)]
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"native driver does not build here: {done.stderr[:500]}")

    def run(lines):
        out = subprocess.run([str(exe)], input="\n".join(lines) + "\n",
                             capture_output=True, text=True, check=True)
        return out.stdout.splitlines()

    return run


def exact_sign(a, b, p):
    ax, ay, bx, by, px, py = map(Fraction, (*a, *b, *p))
    d = (ax - px) * (by - py) - (ay - py) * (bx - px)
    return (d > 0) - (d < 0)


def orient(driver, triples):
    lines = ["o " + " ".join(float(v).hex() for v in (*a, *b, *p)) for a, b, p in triples]
    return [int(s) for s in driver(lines)]


def nudge(v, steps):
    for _ in range(abs(steps)):
        v = math.nextafter(v, math.inf if steps > 0 else -math.inf)
    return v


class TestOrient2dIsExact:
    def test_random_points_at_many_scales(self, driver):
        rng = random.Random(7)
        triples = []
        for _ in range(3000):
            scale = 10.0 ** rng.randint(-20, 20)
            triples.append(tuple((rng.uniform(-1, 1) * scale, rng.uniform(-1, 1) * scale)
                                 for _ in range(3)))
        assert orient(driver, triples) == [exact_sign(*t) for t in triples]

    def test_points_on_a_segment_perturbed_by_ulps(self, driver):
        rng = random.Random(11)
        triples = []
        for _ in range(4000):
            if rng.random() < 0.5:
                a = (rng.uniform(-180, 180), rng.uniform(-90, 90))
                b = (rng.uniform(-180, 180), rng.uniform(-90, 90))
                t = rng.random()
            else:  # dyadic points, so the point can sit exactly on the line
                a = (rng.randint(-1440, 1440) / 8, rng.randint(-720, 720) / 8)
                b = (rng.randint(-1440, 1440) / 8, rng.randint(-720, 720) / 8)
                t = rng.randint(0, 16) / 16
            p = (a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1]))
            p = (nudge(p[0], rng.randint(-3, 3)), nudge(p[1], rng.randint(-3, 3)))
            triples.append((a, b, p))
        got = orient(driver, triples)
        want = [exact_sign(*t) for t in triples]
        assert got == want
        # the sample must really exercise all three outcomes near the line
        assert {-1, 0, 1} <= set(want)

    def test_collinear_points_with_inexact_differences(self, driver):
        # On y = ±2^k x every point is exactly collinear, yet the differences
        # of coordinates of unlike magnitude round: only the last, fully
        # exact stage can decide these.
        rng = random.Random(5)
        triples = []
        for _ in range(3000):
            slope = rng.choice([-1, 1]) * 2.0 ** rng.randint(-3, 3)
            xs = [rng.uniform(-1, 1) * 10.0 ** rng.randint(-12, 3) for _ in range(3)]
            pts = [(x, slope * x) for x in xs]
            k = rng.randrange(3)
            pts[k] = (pts[k][0], nudge(pts[k][1], rng.choice([-1, 0, 0, 1])))
            triples.append(tuple(pts))
        got = orient(driver, triples)
        want = [exact_sign(*t) for t in triples]
        assert got == want
        assert {-1, 0, 1} <= set(want)

    def test_extreme_magnitudes_are_exact(self, driver):
        tiny, sub, huge = 1e-300, 5e-324, 1e300
        rng = random.Random(3)
        pool = [0.0, tiny, -tiny, sub, -sub, 3 * sub, huge, -huge, 1.7e308, -1.7e308,
                1.0, -1.0, 2.0 ** -500, 2.0 ** 501]
        triples = [tuple((rng.choice(pool), rng.choice(pool)) for _ in range(3))
                   for _ in range(2000)]
        # products that underflow or overflow in plain floats
        triples += [((0, 0), (tiny, tiny), (tiny, nudge(tiny, 1))),
                    ((sub, 0), (0, sub), (sub, sub)),
                    ((huge, -huge), (-huge, huge), (1.7e308, -1.7e308)),
                    ((0, 0), (1, 0), (0.5, -tiny * tiny))]
        assert orient(driver, triples) == [exact_sign(*t) for t in triples]


def brute_hits(boxes, q):
    return [i for i, (x0, y0, x1, y1) in enumerate(boxes)
            if x0 <= q[2] and q[0] <= x1 and y0 <= q[3] and q[1] <= y1]


class TestRTreeFindsEveryMeetingBox:
    @pytest.mark.parametrize("n", [0, 1, 15, 16, 17, 257, 3000])
    def test_matches_brute_force(self, driver, n):
        rng = random.Random(n)
        boxes = []
        for _ in range(n):
            # segment envelopes: many thin, some degenerate (points, flat edges)
            x, y = rng.uniform(-180, 180), rng.uniform(-90, 90)
            w = rng.choice([0.0, rng.expovariate(1.0), rng.uniform(0, 60)])
            h = rng.choice([0.0, rng.expovariate(1.0)])
            boxes.append((x, y, x + w, y + h))
        queries = []
        for _ in range(200):
            x, y = rng.uniform(-200, 200), rng.uniform(-100, 100)
            kind = rng.randrange(3)
            if kind == 0:  # eastward ray
                queries.append((x, y, math.inf, y))
            elif kind == 1:
                queries.append((x, y, x + rng.uniform(0, 30), y + rng.uniform(0, 30)))
            elif boxes:  # touching a box exactly at its corner (closed boxes)
                bx = rng.choice(boxes)
                queries.append((bx[2], bx[3], bx[2] + 1, bx[3] + 1))
        lines = [f"t {n}"] + [" ".join(v.hex() for v in b) for b in boxes]
        lines += ["q " + " ".join(float(v).hex() for v in q) for q in queries]
        got = driver(lines)
        assert got == [" ".join(map(str, brute_hits(boxes, q))) for q in queries]
