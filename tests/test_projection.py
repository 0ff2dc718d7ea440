"""The projection's core functions, through a small native program: the
authalic-latitude series against exact rational coefficients and the closed
form, forward/inverse round trips for every polar-square placement, the
triangle classification and the image boundary."""

import itertools
import math
import subprocess
from fractions import Fraction

import numpy as np
import pytest

from native import build

PI = math.pi
E_WGS84 = math.sqrt((1 / 298.257223563) * (2 - 1 / 298.257223563))

PROGRAM = r"""
#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>
#include "core/geo/ellipsoid.hpp"
#include "core/geo/grid.hpp"
#include "core/geo/healpix.hpp"
#include "core/geo/rhealpix.hpp"
using namespace kivet;

int main() {
  const Grid grid = Grid::from_profile(Profile::ogc());
  std::string cmd;
  while (std::cin >> cmd) {
    if (cmd == "coef") {
      int inverse; double n;
      std::cin >> inverse >> n;
      for (double c : auth_lat_coefficients(inverse, n)) std::printf("%.17g ", c);
    } else if (cmd == "auth") {
      int inverse; double angle, e;
      std::cin >> inverse >> angle >> e;
      std::printf("%.17g", auth_lat(inverse, angle, e));
    } else if (cmd == "from_sine") {
      // The geodetic latitude from s = sin ξ as the inverse projection takes
      // it, then the same series from asin(s) in long double.
      double s, e;
      std::cin >> s >> e;
      double xi = std::copysign(std::asin(std::fabs(s)), s);
      double r = std::sqrt(1 - e * e), n = (1 - r) / (r + 1);
      auto c = auth_lat_coefficients(true, n);
      long double x = std::asin((long double)s), phi = x;
      for (int k = 0; k < 6; ++k) phi += c[k] * std::sin(2 * (k + 1) * x);
      std::printf("%.17g %.21Lg", Ellipsoid(e).geodetic_from_sine(xi, s), phi);
    } else if (cmd == "fwd") {
      unsigned ns, ss; int re; double lam, phi, e;
      std::cin >> ns >> ss >> re >> lam >> phi >> e;
      Unit u = rhealpix_ellipsoid(ns, ss, re, lam, phi, e);
      std::printf("%.17g %.17g", u.x, u.y);
    } else if (cmd == "inv") {
      unsigned ns, ss; int re; double x, y, e;
      std::cin >> ns >> ss >> re >> x >> y >> e;
      auto r = rhealpix_ellipsoid_inverse(ns, ss, re, x, y, e);
      if (r) std::printf("%.17g %.17g", r->lam, r->phi);
      else std::printf("ERR %s", r.error().text().c_str());
    } else if (cmd == "cell") {  // planar point in units of the authalic radius
      unsigned level; double x, y;
      std::cin >> level >> x >> y;
      double r = grid.authalic_radius;
      auto c = grid.cell_from_planar(level, x * r, y * r);
      if (c) std::printf("%u %llu %llu", c->base, (unsigned long long)c->row,
                         (unsigned long long)c->column);
      else std::printf("none");
    } else if (cmd == "b3") {
      std::string suid;
      std::cin >> suid;
      auto b = grid.boundary3(*suid_to_path(suid));
      for (const LonLat& p : *b) std::printf("%.17g %.17g ", p.lon, p.lat);
    } else if (cmd == "tri") {
      unsigned ns, ss; double x, y;
      std::cin >> ns >> ss >> x >> y;
      auto t = triangle(ns, ss, x, y);
      if (t) std::printf("%s %u", t->north ? "N" : "S", t->cap);
      else std::printf("none");
    }
    std::printf("\n");
  }
}
"""

# The published coefficient tables, k = 1..6, lowest power first.
FORWARD = [
    ["-4/3", "-4/45", "88/315", "538/4725", "20824/467775", "-44732/2837835"],
    ["34/45", "8/105", "-2482/14175", "-37192/467775", "-12467764/212837625"],
    ["-1532/2835", "-898/14175", "54968/467775", "100320856/1915538625"],
    ["6007/14175", "24496/467775", "-5884124/70945875"],
    ["-23356/66825", "-839792/19348875"],
    ["570284222/1915538625"],
]
INVERSE = [
    ["4/3", "4/45", "-16/35", "-2582/14175", "60136/467775", "28112932/212837625"],
    ["46/45", "152/945", "-11966/14175", "-21016/51975", "251310128/638512875"],
    ["3044/2835", "3802/14175", "-94388/66825", "-8797648/10945935"],
    ["6059/4725", "41072/93555", "-1472637812/638512875"],
    ["768272/467775", "455935736/638512875"],
    ["4210684958/1915538625"],
]


@pytest.fixture(scope="module")
def native(tmp_path_factory):
    sources = [f"core/geo/{f}" for f in ("ellipsoid.cpp", "healpix.cpp", "rhealpix.cpp")]
    sources += ["core/geo/grid.cpp", "core/zone.cpp", "core/profile.cpp",
                "core/hierarchy.cpp", "core/error.cpp"]
    sources += [f"core/support/{f}" for f in ("text.cpp", "json.cpp", "sha256.cpp")]
    exe = build(tmp_path_factory.mktemp("proj"), PROGRAM, sources)

    def run(lines):
        out = subprocess.run([str(exe)], input="\n".join(lines) + "\n",
                             capture_output=True, text=True, check=True).stdout
        return out.split("\n")[:-1]
    return run


def f(v):
    """A float as the native program reads it."""
    return repr(float(v))


def floats(line):
    return [float(v) for v in line.split()]


def closed_form(phi, e):
    s = math.sin(phi)
    q = (1 - e * e) * s / (1 - e * e * s * s) - (1 - e * e) / (2 * e) * math.log(
        (1 - e * s) / (1 + e * s))
    qp = 1 - (1 - e * e) / (2 * e) * math.log((1 - e) / (1 + e))
    return math.asin(max(-1.0, min(1.0, q / qp)))


def ulps(a, b):
    return abs(a - b) / math.ulp(max(abs(a), abs(b)))


class TestAuthalicLatitude:
    @pytest.mark.parametrize("inverse,table", [(0, FORWARD), (1, INVERSE)])
    def test_coefficients_are_the_published_fractions(self, native, inverse, table):
        for n in (0.0016792203863837047, 0.01, 1e-5):
            (line,) = native([f"coef {inverse} {f(n)}"])
            exact_n = Fraction(n)
            for k, (got, row) in enumerate(zip(floats(line), table), start=1):
                exact = sum(Fraction(c) * exact_n**(k + j) for j, c in enumerate(row))
                assert ulps(got, float(exact)) <= 4, (k, n)

    def test_series_matches_closed_form_for_the_earth(self, native):
        # The closed form's asin loses digits as 1/cos φ near the poles.
        phis = np.linspace(-89, 89, 179) * (PI / 180)
        out = native([f"auth 0 {f(p)} {f(E_WGS84)}" for p in phis])
        for p, line in zip(phis, out):
            tolerance = 2e-15 / math.cos(p)
            assert float(line) == pytest.approx(closed_form(p, E_WGS84), abs=tolerance)

    def test_inverse_undoes_forward(self, native):
        phis = np.linspace(-PI / 2, PI / 2, 181)
        xis = native([f"auth 0 {f(p)} {f(E_WGS84)}" for p in phis])
        back = native([f"auth 1 {x} {f(E_WGS84)}" for x in xis])
        assert max(abs(float(b) - p) for b, p in zip(back, phis)) <= 1.5e-15
        assert native([f"auth 0 {f(PI / 2)} {f(E_WGS84)}"]) == [f(PI / 2)]

    def test_strong_flattening_uses_the_closed_form(self, native):
        e = math.sqrt((1 / 100) * (2 - 1 / 100))
        phis = np.linspace(-1.5, 1.5, 31)
        out = native([f"auth 0 {f(p)} {f(e)}" for p in phis])
        for p, line in zip(phis, out):
            assert ulps(float(line), closed_form(p, e)) <= 2

    @pytest.mark.parametrize("inv_f", [298.257223563, 100])
    def test_inverse_from_the_sine_is_accurate_to_the_poles(self, native, inv_f):
        # The inverse takes cos ξ from sin ξ: near the poles and the equator,
        # where a careless form loses half the digits or the sign.
        e = math.sqrt((1 / inv_f) * (2 - 1 / inv_f))
        near_one = [1 - k * 2.0**-53 for k in range(1, 40)] + [1 - 2.0**-j for j in range(1, 53)]
        rng = np.random.default_rng(5)
        sines = near_one + [1.0, 0.0, 1e-300, 5e-324, 2 / 3, 0.5, 0.75, 0.96875]
        sines += list(rng.uniform(-1, 1, 300)) + list(1 - rng.uniform(0, 1e-6, 100))
        sines += [-s for s in sines]
        out = native([f"from_sine {f(s)} {f(e)}" for s in sines])
        for s, line in zip(sines, out):
            got, want = line.split()
            got = float(got)
            # Within the arcsine's ulp and the last addition's rounding.
            assert abs(got - float(want)) <= 1.5 * math.ulp(got) or got == float(want), s
            assert math.copysign(1, got) == math.copysign(1, s), s

    def test_sphere_is_unchanged(self, native):
        assert native(["auth 0 0.7 0", "auth 1 0.7 0"]) == ["0.69999999999999996"] * 2


class TestProjection:
    @pytest.mark.parametrize("ns,ss", list(itertools.product(range(4), range(4))))
    def test_forward_then_inverse_returns_the_point(self, native, ns, ss):
        rng = np.random.default_rng(ns * 4 + ss)
        lam = rng.uniform(-PI, PI, 400)
        phi = np.arcsin(rng.uniform(-1, 1, 400)) * (89 / 90)
        fwd = native([f"fwd {ns} {ss} 1 {f(a)} {f(b)} {f(E_WGS84)}" for a, b in zip(lam, phi)])
        inv = native([f"inv {ns} {ss} 1 {line} {f(E_WGS84)}" for line in fwd])
        for a, b, line in zip(lam, phi, inv):
            got_lam, got_phi = floats(line)
            assert abs(got_phi - b) <= 1e-12 and abs(got_lam - a) <= 1e-12, (a, b)

    def test_landmarks(self, native):
        for ns, ss in itertools.product(range(4), range(4)):
            north, south, origin = native([
                f"fwd {ns} {ss} 1 0.3 {f(PI / 2)} {f(E_WGS84)}",
                f"fwd {ns} {ss} 1 -2 {f(-PI / 2)} {f(E_WGS84)}",
                f"fwd {ns} {ss} 1 0 0 {f(E_WGS84)}"])
            assert floats(north) == pytest.approx([ns * PI / 2 - 3 * PI / 4, PI / 2], abs=1e-15)
            assert floats(south) == pytest.approx([ss * PI / 2 - 3 * PI / 4, -PI / 2], abs=1e-15)
            assert floats(origin) == [0.0, 0.0]

    def test_without_rearrangement_it_is_healpix(self, native):
        (line,) = native([f"fwd 2 1 0 0.5 1.2 {f(E_WGS84)}"])
        x, y = floats(line)
        assert PI / 4 < y < PI / 2 and 0 < x < PI / 2  # in cap 2's triangle
        (back,) = native([f"inv 2 1 0 {f(x)} {f(y)} {f(E_WGS84)}"])
        assert floats(back) == pytest.approx([0.5, 1.2], abs=1e-14)

    def test_points_outside_the_image_fail_with_the_point(self, native):
        out = native(["inv 0 0 1 3.2 0 0.08", "inv 1 0 1 -2.5 2.0 0.08",
                      f"inv 0 0 1 -2.3 {f(3 * PI / 4 + 1e-9)} 0",
                      f"inv 0 3 0 {f(PI + 1e-9)} 0.1 0"])
        assert out[0] == ("ERR (3.20000000000000017764,0.00000000000000000000) is not a point"
                          " in the image of the projection")
        assert all(line.startswith("ERR (") for line in out)

    def test_the_image_boundary_inverts(self, native):
        corners = []
        for ns, ss in itertools.product(range(4), range(4)):
            for m, sign in ((ns, 1), (ss, -1)):
                for x in (m * PI / 2 - PI, (m + 1) * PI / 2 - PI):
                    corners.append((ns, ss, x, sign * 3 * PI / 4))
            corners += [(ns, ss, -PI, PI / 4), (ns, ss, -PI, -PI / 4), (ns, ss, -PI, 0.1)]
        out = native([f"inv {a} {b} 1 {f(x)} {f(y)} {f(E_WGS84)}" for a, b, x, y in corners])
        assert not [c for c, line in zip(corners, out) if line.startswith("ERR")]


class TestCellFromPlanar:
    def test_points_on_the_last_edges_fall_in_the_last_row_and_column(self, native):
        # fy = 1 exactly on the band's bottom edge; x just below -π/2 gives
        # fx = 1 in base O after rounding.
        lines = [f"cell {L} 0.1 {f(-PI / 4)}" for L in range(16)]
        lines += [f"cell {L} {f(math.nextafter(-PI / 2, -4))} 0.5" for L in range(16)]
        out = native(lines)
        for level, line in enumerate(out[:16]):
            base, row, col = map(int, line.split())
            assert (base, row) == (3, 3**level - 1)
        for level, line in enumerate(out[16:]):
            base, row, col = map(int, line.split())
            assert (base, col) == (1, 3**level - 1)

    def test_edges_of_the_layout(self, native):
        out = native([f"cell 3 {f(-PI)} 0", f"cell 3 {f(PI)} 0",  # band: closed west, open east
                      f"cell 3 {f(-PI / 2)} 0",  # base edge: eastern cell
                      f"cell 3 -2.3 {f(PI / 4)}", f"cell 3 -2.3 {f(3 * PI / 4)}",
                      f"cell 3 {f(-PI)} 1.0",  # the north square's edges are open
                      "cell 3 -2.3 1.3", "cell 3 -2.3 -1.3", "cell 3 0 1.3"])
        assert out[0].split()[:1] == ["1"] and out[1] == "none"
        assert out[2].split() == ["2", "13", "0"]
        assert out[3].split()[0] == "1" and out[4] == "none" and out[5] == "none"
        assert out[6].split()[0] == "0" and out[7].split()[0] == "5" and out[8] == "none"


class TestBoundarySamples:
    def test_polar_cells_sample_their_ring(self, native):
        (line,) = native(["b3 N48"])
        pts = floats(line)
        assert len(pts) == 18 and pts[:2] == pts[-2:]

    def test_equatorial_cells_sample_a_lonlat_rectangle(self, native):
        (line,) = native(["b3 Q0"])
        lon0, lat0, lon0b, lat2, lon1, lat0b, lon1b, lat2b, lon2, lat0c, lon2b, lat2c, \
            lon0c, lat1, lon2c, lat1b = floats(line)
        assert lon0 == lon0b == lon0c and lon2 == lon2b == lon2c and lon1 == lon1b
        assert lat0 == lat0b == lat0c and lat2 == lat2b == lat2c and lat1 == lat1b
        assert (lon0, lon1, lon2) == pytest.approx((50, 65, 80))
        assert lat0 > lat1 > lat2


class TestTriangle:
    @staticmethod
    def model(ns, ss, dx, dy, north):
        """The cap owning a point at (dx, dy) from a polar square's centre."""
        if north:  # bottom, east, top, west
            side = 0 if dy < -abs(dx) else 1 if dx > abs(dy) else 2 if dy > abs(dx) else 3
            return (ns + side) % 4
        side = 0 if dy > abs(dx) else 1 if dx > abs(dy) else 2 if dy < -abs(dx) else 3
        return (ss + side) % 4

    def test_each_triangle_names_its_cap(self, native):
        rng = np.random.default_rng(5)
        cases = []
        for ns, ss in itertools.product(range(4), range(4)):
            for dx, dy in rng.uniform(-PI / 4, PI / 4, (30, 2)):
                if abs(abs(dx) - abs(dy)) < 1e-9:
                    continue
                for north in (True, False):
                    s, cy = (ns, PI / 2) if north else (ss, -PI / 2)
                    cases.append((ns, ss, s * PI / 2 - 3 * PI / 4 + dx, cy + dy, north,
                                  self.model(ns, ss, dx, dy, north)))
        out = native([f"tri {ns} {ss} {f(x)} {f(y)}" for ns, ss, x, y, _, _ in cases])
        for (ns, ss, x, y, north, cap), line in zip(cases, out):
            assert line == f"{'N' if north else 'S'} {cap}", (ns, ss, x, y)

    def test_the_band_has_no_triangle(self, native):
        assert native(["tri 0 0 1 0.7853981633974483", "tri 3 1 -3 -0.5"]) == ["none"] * 2
