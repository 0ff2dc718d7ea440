"""The array functions' per-element kernels give the general path's bits.

The kernels (core/geo/bulk.hpp) repeat the projection's arithmetic in blocks,
with the points split by zone and the library calls reordered, and leave the
uncommon cases to the general path. A native program compares both paths
element by element, bit for bit, on seeded random inputs mixed with the
points where the zones, squares and cells meet.
"""
import pytest

from native import build

PROGRAM = r"""
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <random>
#include <vector>
#include "core/geo/bulk.hpp"
using namespace kivet;

static bool same(double a, double b) {
  return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

static double ulps(double v, int k) {
  for (; k > 0; --k) v = std::nextafter(v, INFINITY);
  for (; k < 0; ++k) v = std::nextafter(v, -INFINITY);
  return v;
}

int main() {
  std::string cmd;
  Profile pr;
  while (std::cin >> cmd) {
    unsigned a, ns, ss; long long lon0; unsigned long long invf;
    std::cin >> a >> ns >> ss >> lon0 >> invf;
    pr.aperture = a; pr.north_square = ns; pr.south_square = ss;
    pr.lon_0_udeg = lon0; pr.inv_f_nano = invf;
    Grid g = Grid::from_profile(pr);
    Hierarchy h = pr.hierarchy();
    std::mt19937_64 rng(2026);
    std::uniform_real_distribution<double> unit(-1, 1), deg(-180, 180);
    long mismatches = 0, declined = 0, total = 0, edges = 0;
    if (cmd == "points") {
      unsigned level; size_t count;
      std::cin >> level >> count;
      std::vector<double> lon, lat;
      for (size_t i = 0; i < count; ++i) {
        lon.push_back(deg(rng));
        lat.push_back(std::asin(unit(rng)) * 180 / M_PI);
      }
      // The last band latitude at this longitude, by the general path.
      double lo = 40, hi = 43;
      while (std::nextafter(lo, hi) != hi) {
        double mid = (lo + hi) / 2;
        (g.cell_from_lonlat(0, 10, mid)->base == 0 ? hi : lo) = mid;
      }
      double l0 = lon0 / 1e6;
      std::vector<double> lons = {180, -180, std::nextafter(180, 0), std::nextafter(-180, 0),
                                  0, -0.0, 359.999, -540};
      for (int d = -180; d <= 180; d += 45)
        for (int k = -2; k <= 2; ++k) lons.push_back(ulps(l0 + d, k));
      std::vector<double> lats = {90, -90, ulps(90, -1), ulps(-90, 1), 0, -0.0};
      for (double b : {lo, 41.93785391016014})
        for (int k = -3; k <= 3; ++k) {
          lats.push_back(ulps(b, k));
          lats.push_back(-ulps(b, k));
        }
      edges = long(lons.size() * lats.size());
      for (double x : lons)
        for (double y : lats) {
          // Mixed in at random places among the random points.
          size_t at = rng() % (lon.size() + 1);
          lon.insert(lon.begin() + long(at), x);
          lat.insert(lat.begin() + long(at), y);
        }
      PointCells quick(g, h, level);
      CellEncoder encode(h, level);
      std::vector<uint64_t> out(lon.size());
      for (size_t b = 0; b < lon.size(); b += PointCells::kBlock)
        quick.block(&lon[b], &lat[b], &out[b], std::min(PointCells::kBlock, lon.size() - b));
      for (size_t i = 0; i < lon.size(); ++i) {
        ++total;
        auto cell = g.cell_from_lonlat(level, lon[i], lat[i]);
        uint64_t want = 0;
        if (cell)
          if (auto c = encode(cell->base, cell->row, cell->column)) want = *c;
        if (out[i] == 0) {
          ++declined;
          continue;
        }
        if (out[i] != want && mismatches++ == 0)
          std::printf("point %.17g %.17g: %llu, general %llu\n", lon[i], lat[i],
                      (unsigned long long)out[i], (unsigned long long)want);
      }
    } else if (cmd == "nuclei") {
      size_t count;
      std::cin >> count;
      CellDecoder decoder(h);
      uint32_t n = *side(h), deepest = std::min(h.deepest(), 15u);
      std::vector<uint64_t> cids;
      for (size_t i = 0; i < count; ++i) {
        uint32_t level = uint32_t(rng() % (deepest + 1)), base = uint32_t(rng() % 6);
        uint64_t span = *checked_pow(n, level);
        cids.push_back(*cell_at(h, base, level, rng() % span, rng() % span));
        if (i % 50 == 0) cids.push_back(rng() >> (rng() % 64));  // mostly invalid
      }
      std::vector<double> lon(cids.size()), lat(cids.size());
      for (size_t b = 0; b < cids.size(); b += CellNuclei::kBlock) {
        size_t m = std::min(CellNuclei::kBlock, cids.size() - b);
        CellNuclei quick(g, h);
        uint64_t left = quick.block(&cids[b], &lon[b], &lat[b], m);
        for (size_t i = b; i < b + m; ++i) {
          ++total;
          auto p = decoder.position(cids[i]);
          Result<LonLat> want = std::unexpected(Error::message("not a cid"));
          if (p) want = g.nucleus(*p);
          if (left >> (i - b) & 1) {
            ++declined;
            continue;
          }
          if ((!want || !same(want->lon, lon[i]) || !same(want->lat, lat[i])) &&
              mismatches++ == 0)
            std::printf("cid %llu: %.17g %.17g\n", (unsigned long long)cids[i], lon[i], lat[i]);
        }
      }
    } else if (cmd == "rings") {
      unsigned level; size_t count, m;
      std::cin >> level >> count >> m;
      uint32_t n = *side(h);
      uint64_t span = *checked_pow(n, level);
      for (size_t c = 0; c < count; ++c) {
        // Every polar cell of level 1 first (the caps' centres), then random ones.
        uint32_t base = c < 2 * n * n ? (c < n * n ? 0 : 5) : uint32_t(rng() % 6);
        uint64_t row = c < 2 * n * n ? (c % (n * n)) / n : rng() % span;
        uint64_t col = c < 2 * n * n ? c % n : rng() % span;
        uint32_t lv = c < 2 * n * n ? 1 : level;
        std::vector<uint32_t> path(lv + 1);
        path[0] = base;
        for (uint32_t i = lv, r = 0; i >= 1; --i, ++r) {
          path[i] = uint32_t(n * (row % n) + col % n);
          row /= n;
          col /= n;
        }
        auto ring = g.cell_ring(path, m);
        Planar ul = g.ul_vertex(path);
        double s = g.cell_side(lv), step = s / double(m - 1);
        const Planar corners[4] = {
            {ul.x, ul.y}, {ul.x + s, ul.y}, {ul.x + s, ul.y - s}, {ul.x, ul.y - s}};
        const double dx[4] = {1, 0, -1, 0}, dy[4] = {0, -1, 0, 1};
        size_t k = 0;
        for (size_t e = 0; e < 4; ++e)
          for (size_t i = 0; i + 1 < m; ++i, ++k) {
            ++total;
            double d = step * double(i);
            auto want = g.to_lonlat(corners[e].x + dx[e] * d, corners[e].y + dy[e] * d,
                                    base == 0 || base == 5);
            bool ok = want && ring && same(want->lon, (*ring)[k].lon) &&
                      same(want->lat, (*ring)[k].lat);
            if (!ok && mismatches++ == 0)
              std::printf("cell %u/%u point %zu differs\n", base, lv, k);
          }
      }
    }
    std::printf("%ld %ld %ld %ld\n", mismatches, declined, total, edges);
    std::fflush(stdout);
  }
}
"""

SOURCES = [f"core/geo/{f}" for f in ("ellipsoid.cpp", "healpix.cpp", "rhealpix.cpp",
                                     "grid.cpp")]
SOURCES += ["core/zone.cpp", "core/profile.cpp", "core/hierarchy.cpp", "core/error.cpp"]
SOURCES += [f"core/support/{f}" for f in ("text.cpp", "json.cpp", "sha256.cpp")]

# aperture, north_square, south_square, lon_0 (micro-degrees), 1/f (nano)
PROFILES = {
    "ogc": "9 0 0 50000000 298257223563",
    "squares": "9 1 3 0 298257223563",
    "west": "9 2 1 -120000000 298257223563",
    "aperture 4": "4 3 2 1000000 298257223563",
    "aperture 16": "16 0 1 0 298257223563",
    "strong flattening": "9 0 0 0 100000000000",
    "nearly a sphere": "9 0 0 180000000 10000000000000",
}


@pytest.fixture(scope="module")
def compare(tmp_path_factory):
    import subprocess
    exe = build(tmp_path_factory.mktemp("kernels"), PROGRAM, SOURCES)

    def run(line):
        out = subprocess.run([str(exe)], input=line + "\n", capture_output=True, text=True,
                             check=True).stdout.split("\n")
        *first, counts = [s for s in out if s]
        mismatches, declined, total, edges = map(int, counts.split())
        return mismatches, declined, total, edges, first
    return run


@pytest.mark.parametrize("profile", PROFILES.values(), ids=PROFILES.keys())
@pytest.mark.parametrize("level", [0, 3, 10])
def test_cells_of_points(compare, profile, level):
    mismatches, declined, total, edges, first = compare(f"points {profile} {level} 20000")
    assert mismatches == 0, first
    # The general path takes some of the points on the edges, not the bulk.
    assert declined < edges + (total - edges) // 100


@pytest.mark.parametrize("profile", PROFILES.values(), ids=PROFILES.keys())
def test_nuclei(compare, profile):
    mismatches, declined, total, _, first = compare(f"nuclei {profile} 20000")
    assert mismatches == 0, first
    assert declined < total * 0.05


@pytest.mark.parametrize("profile", PROFILES.values(), ids=PROFILES.keys())
@pytest.mark.parametrize("level, m", [(2, 2), (5, 5), (10, 9)])
def test_rings(compare, profile, level, m):
    mismatches, _, total, _, first = compare(f"rings {profile} {level} 300 {m}")
    assert mismatches == 0 and total > 0, first
