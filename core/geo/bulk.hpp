// Per-element kernels of the array functions: the cell of a point and the
// nucleus of a cid for one grid, inline so the loops over arrays compile them
// in place.
//
// Each kernel repeats the general path's arithmetic operation for operation,
// so its results are the same bits; it only drops what is repeated per
// element (profile tables, Result plumbing, digit loops by division). Work
// goes in blocks of 64 elements: the library's sines and arcsines in loops
// of their own, ordered by argument size; the elements split by zone, so
// that branches go one way for long runs; long chains of divisions cut into
// several loops, so that successive elements overlap. Where an element needs
// anything beyond the common case (a clamp at an edge, an invalid cid) the
// kernel declines and the caller takes the general path, which also words
// the errors. Apertures other than 9 use the general encoder and decoder.
// tests/test_grid_kernels.py compares both paths bit for bit.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "core/geo/grid.hpp"
#include "core/geo/healpix.hpp"
#include "core/geo/rhealpix.hpp"
#include "core/hierarchy.hpp"
#include "core/zone.hpp"

namespace kivet {

namespace bulk {

inline constexpr double kPi = std::numbers::pi;
inline constexpr double kDegToRad = kPi / 180;
inline constexpr double kRadToDeg = 180 / kPi;

// Two lanes: a division of two independent values costs one.
typedef double V2 __attribute__((vector_size(16)));

// normalise_lon for |m| < 360: into [-180, 180) by the same single
// addition or subtraction of 360, without a branch on the side (random
// longitudes take both); m + 0 would turn -0 into +0, hence the test for 0.
inline double normalise_near(double m) {
  static constexpr double kShift[4] = {0.0, 0.0, -360.0, 360.0};
  unsigned outside = !(m >= -180 && m < 180);
  double r = m + kShift[outside * 2 + unsigned(m < 0)];
  return m == 0 ? m : r;
}

// The order in which to call a library function over v[0..n): values with
// |v| < split first, then the others. The results do not depend on the
// order; the library's own branches on the argument's range go one way for
// long runs instead of at random.
inline size_t order_by_size(const double* v, size_t n, double split, uint8_t* order) {
  uint8_t large[64];
  size_t small = 0, big = 0;
  for (size_t i = 0; i < n; ++i) {
    bool is_small = std::fabs(v[i]) < split;
    order[small] = uint8_t(i);
    large[big] = uint8_t(i);
    small += is_small;
    big += !is_small;
  }
  std::copy(large, large + big, order + small);
  return n;
}

// The order in which to take the arcsines of v[0..n), v >= 0: grouped by
// the ranges where the library's arcsine takes another branch (its
// thresholds 1/8, 1/4, 1/2, 3/4, 59/64, 61/64 and 31/32, as the leading
// word of the double). Within one group the branches go one way; mixed,
// they are mispredicted about every other call.
// The counts and positions of the 8 groups are bytes of one register
// (n <= 64 < 256), so no counter goes through memory.
inline void order_for_asin(const double* v, size_t n, uint8_t* order) {
  uint8_t shift[64];
  uint64_t count = 0;
  for (size_t i = 0; i < n; ++i) {
    uint32_t k = uint32_t(std::bit_cast<uint64_t>(v[i]) >> 32);
    uint32_t g = uint32_t(k >= 0x3fc00000) + uint32_t(k >= 0x3fd00000) +
                 uint32_t(k >= 0x3fe00000) + uint32_t(k >= 0x3fe80000) +
                 uint32_t(k >= 0x3fed8000) + uint32_t(k >= 0x3fee8000) +
                 uint32_t(k >= 0x3fef0000);
    shift[i] = uint8_t(8 * g);
    count += uint64_t(1) << (8 * g);
  }
  // Byte g of the product is the count of groups 0..g; shifted, the start of g.
  uint64_t start = (count * 0x0101010101010101) << 8;
  for (size_t i = 0; i < n; ++i) {
    order[(start >> shift[i]) & 0xff] = uint8_t(i);
    start += uint64_t(1) << shift[i];
  }
}

// v < 729 -> its six base-3 digits as base-9 digits.
inline constexpr std::array<uint32_t, 729> kSpread729 = [] {
  std::array<uint32_t, 729> t{};
  for (uint32_t v = 0; v < 729; ++v) {
    uint32_t s = 0, p = 1;
    for (uint32_t x = v; x != 0; x /= 3, p *= 9) s += (x % 3) * p;
    t[v] = s;
  }
  return t;
}();

// Σ (3·row_i + column_i)·9^i over the base-3 digits; REQUIRES row, column < 3^18.
inline uint64_t interleave3(uint64_t row, uint64_t column) {
  auto spread = [](uint64_t v) {
    uint64_t lo = v % 729, mid = (v / 729) % 729, hi = v / (729 * 729);
    return kSpread729[lo] + uint64_t(kSpread729[mid]) * 531441 +
           uint64_t(kSpread729[hi]) * (uint64_t(531441) * 531441);
  };
  return 3 * spread(row) + spread(column);
}


// The same as row | column << 32.
inline constexpr std::array<uint64_t, 729> kSplit729Packed = [] {
  std::array<uint64_t, 729> t{};
  for (uint32_t v = 0; v < 729; ++v) t[v] = kSplit729[v][0] | uint64_t(kSplit729[v][1]) << 32;
  return t;
}();

}  // namespace bulk

// The first half of Grid::to_lonlat(x, y, rearrange) in two steps: the image
// test and the turn out of the polar squares, then HEALPix's inverse up to
// the arcsine. False when the general path must decide (outside the image,
// on the pole, ...).
template <bool kScattered>
inline bool GridKernel::turn_back(const Grid& g, double x, double y, bool rearrange,
                                  double& x_out, double& y_out, double& centre) {
  bulk::V2 xy = bulk::V2{x, y} / bulk::V2{g.authalic_radius, g.authalic_radius};
  Turn t = turn_case<kScattered>(g, xy[0], xy[1], rearrange);
  turn_apply(t, xy[0], xy[1], x_out, y_out, centre);
  return t.ok;
}

template <bool kScattered>
inline GridKernel::Turn GridKernel::turn_case(const Grid& g, double xu, double yu,
                                              bool rearrange) {
  using namespace bulk;
  constexpr double kEps = 1e-15;
  // The tests are evaluated in full (& rather than &&): a point can take
  // either side of most of them.
  // rhealpix_ellipsoid_inverse's image test.
  double ayu = std::fabs(yu);
  double m = g.square_[yu > 0];
  bool polar_inside = (ayu < 3 * kPi / 4 + kEps) & (m * (kPi / 2) - kPi - kEps < xu) &
                      (xu < (m + 1) * (kPi / 2) - kPi + kEps);
  bool band_inside = std::fabs(xu) < kPi + kEps;
  bool polar_zone = ayu >= kPi / 4 + kEps;
  bool ok = (polar_zone & polar_inside) | (!polar_zone & band_inside);
  // triangle() and the turn back into the cap.
  bool north = yu > kPi / 4;
  bool turn = rearrange & (north | (yu < -kPi / 4));
  double h = xu - g.tri_h_[north], gg = g.tri_g_[north] - xu;
  uint32_t add, n = north;
  if constexpr (kScattered) {
    // Which of triangle()'s cases holds, by integer arithmetic on the tests:
    // the triangle of a random cell is random, and a chain of branches on it
    // is mispredicted most of the time.
    uint32_t s_ = n ^ 1;
    uint32_t c1 = (n & ((yu < h - kEps) & (yu >= gg - kEps))) |
                  (s_ & ((yu <= h + kEps) & (yu > gg + kEps)));
    uint32_t c2 = (n & ((yu >= h - kEps) & (yu > gg + kEps))) |
                  (s_ & ((yu < h - kEps) & (yu <= gg + kEps)));
    uint32_t c3 = (n & ((yu > h + kEps) & (yu <= gg + kEps))) |
                  (s_ & ((yu >= h - kEps) & (yu < gg - kEps)));
    add = c1 | (((c1 ^ 1) & c2) << 1) | ((((c1 | c2) ^ 1) & c3) * 3);
  } else {
    // Along a ring the case rarely changes: branches are cheaper.
    bool c1 = north ? (yu < h - kEps) & (yu >= gg - kEps) : (yu <= h + kEps) & (yu > gg + kEps);
    bool c2 = north ? (yu >= h - kEps) & (yu > gg + kEps) : (yu < h - kEps) & (yu <= gg + kEps);
    bool c3 = north ? (yu > h + kEps) & (yu <= gg + kEps) : (yu >= h - kEps) & (yu < gg - kEps);
    add = c1 ? 1 : c2 ? 2 : c3 ? 3 : 0;
  }
  uint32_t s = g.square_index_[north];
  uint32_t cap = (s + add) % 4;
  // (s + 4 - cap) % 4 north, (cap + 4 - s) % 4 south: -add or add, mod 4.
  uint32_t turns = ((add ^ (0 - n)) + n) % 4;
  return {g.turn_cos_[turns], g.turn_sin_[turns], g.cap_x_[s], g.cap_x_[cap], g.cap_y_[north],
          ok, turn};
}

inline void GridKernel::turn_apply(const Turn& t, double xu, double yu, double& x_out,
                                   double& y_out, double& centre) {
  using namespace bulk;
  double dx = xu - t.from_x, dy = yu - t.cy;
  // rotate_quarter(dx, dy, turns) by exact factors 0 and ±1: the one
  // product that is not ±0 is exact, and a zero's sign cannot show after
  // the nonzero centre is added.
  double rx = t.cs * dx - t.sn * dy;
  double tx = t.to_x + rx, ty = t.cy + (t.sn * dx + t.cs * dy);
  x_out = t.turn ? tx : xu;
  y_out = t.turn ? ty : yu;
  // A point turned to within π/4 - 1e-9 of its cap's centre line has that
  // centre as its cap_centre: 2x/π + 2 is then cap + 1/2 within
  // 1/2 - 6e-10, far beyond its few ulps of rounding.
  centre = t.turn && std::fabs(rx) < kPi / 4 - 1e-9 ? t.to_x : kNoCentre;
}

inline const GridKernel::Turn* GridKernel::side_turn(const Grid& g, const Position& p,
                                                     bool whole) {
  // A nucleus off both diagonals is at least 0.7 of a cell from them, and
  // half a cell inside the square; a whole cell two rows and columns off
  // them and off the edges keeps its boundary 0.7 of a cell away. Both are
  // far beyond the tests' 1e-15 while a cell is wider than 1e-12, that is
  // N^level < 2^40.
  // Without branches: the cells of an array come in random order.
  uint64_t last = p.level < g.powers_.size() ? g.powers_[p.level] - 1 : 0;
  uint64_t r = p.row, c = p.column, sum = r + c;
  uint64_t across = r > c ? r - c : c - r, along = sum > last ? sum - last : last - sum;
  uint64_t need = 1 + uint64_t(whole);
  bool edge = (r == 0) | (c == 0) | (r == last) | (c == last);
  bool ok = g.by_side_ & (last != 0) & (last < (uint64_t(1) << 40)) & (across >= need) &
            (along >= need) & !(whole & edge);
  const Turn* t = &g.side_turn_[p.base == 0][uint32_t(r > c) | uint32_t(sum > last) << 1];
  return ok ? t : nullptr;
}

inline bool GridKernel::finish_first(const Grid& g, double xu, double yu, double centre,
                                     Midway& out) {
  using namespace bulk;
  constexpr double kTol = 1e-10;
  // healpix_sphere_inverse.
  double ay = std::fabs(yu);
  double xc = centre != kNoCentre ? centre : g.cap_centre(xu);
  bool ok = (std::fabs(xu) < kPi + kTol) & (ay < kPi / 2 + kTol) &
        !((ay >= kPi / 4 + kTol) & (ay + std::fabs(xu - xc) >= kPi / 2 + kTol)) &
        !(ay >= kPi / 2);
  V2 q = V2{4 * ay, 8 * yu} / V2{kPi, 3 * kPi};
  out = {xu, yu, xc, 2 - q[0], q[1], ay <= kPi / 4};
  return ok;
}

inline void GridKernel::finish_second(const Grid& g, const Midway& m, Pending& out) {
  using namespace bulk;
  V2 r = V2{m.xu - m.xc, m.tau * m.tau} / V2{m.tau, 3};
  double cap_lam = std::clamp(m.xc + r[0], -kPi, kPi);
  double lam = m.band ? m.xu : cap_lam;
  out.arg = m.band ? std::fabs(m.band_arg) : 1 - r[1];
  out.negate = m.band ? std::signbit(m.band_arg) : m.yu <= 0;
  out.key = m.yu;
  double lon = lam * kRadToDeg + g.lon_0_deg;
  out.lon = std::fabs(lon) < 360 ? normalise_near(lon) : normalise_lon_general(lon);
}

inline bool GridKernel::finish(const Grid& g, double xu, double yu, double centre,
                               Pending& out) {
  Midway m;
  if (!finish_first(g, xu, yu, centre, m)) return false;
  finish_second(g, m, out);
  return true;
}

template <bool kScattered>
inline bool GridKernel::prepare(const Grid& g, double x, double y, bool rearrange,
                                Pending& out) {
  double xu, yu, centre;
  return turn_back<kScattered>(g, x, y, rearrange, xu, yu, centre) &&
         finish(g, xu, yu, centre, out);
}

// prepare() for a point of the equatorial band without the turn into the
// caps: false when it is not one.
inline bool GridKernel::prepare_band(const Grid& g, double x, double y, Pending& out) {
  bulk::V2 xy = bulk::V2{x, y} / bulk::V2{g.authalic_radius, g.authalic_radius};
  return finish_band(g, xy[0], xy[1], out);
}

// Its part after the division by R.
inline bool GridKernel::finish_band(const Grid& g, double xu, double yu, Pending& out) {
  using namespace bulk;
  constexpr double kEps = 1e-15;
  // Then the image test is |x| < π + ε, and HEALPix's equatorial branch
  // holds.
  if (!(std::fabs(yu) <= kPi / 4 && std::fabs(xu) < kPi + kEps)) return false;
  double s = 8 * yu / (3 * kPi);
  out.arg = std::fabs(s);
  out.negate = std::signbit(s);
  out.key = yu;
  double lon = xu * kRadToDeg + g.lon_0_deg;
  out.lon = std::fabs(lon) < 360 ? normalise_near(lon) : normalise_lon_general(lon);
  return true;
}

// The second half: the latitude in degrees from ξ = ±asin(arg) and
// sin ξ = ±arg.
inline double GridKernel::latitude_from(const Grid& g, double xi, double s) {
  return g.ellipsoid_.geodetic_from_sine(xi, s) * bulk::kRadToDeg;
}

inline Lanes2 GridKernel::latitude_pair(const Grid& g, Lanes2 xi, Lanes2 s) {
  if (g.ellipsoid_.e() == 0) return xi * bulk::kRadToDeg;
  return (xi + g.ellipsoid_.series_from_sine(s)) * bulk::kRadToDeg;
}

// The cells of points at one level as cids, for the common case.
class PointCells {
 public:
  PointCells(const Grid& grid, const Hierarchy& h, uint32_t level)
      : g_(&grid), level_(level), encode_(h, level) {
    uint64_t j = level < grid.powers_.size() ? grid.powers_[level] : 0;
    auto probe = encode_(0, 0, 0);
    // The quick path needs the level to exist.
    on_ = (level == 0 || j != 0) && probe.has_value();
    j_ = j;
    jd_ = double(j);
    three_ = grid.n_side == 3 && h.a == 9 && level <= 18;
    b_ = h.b;
    if (three_)
      for (uint32_t base = 0; base < 6; ++base) {
        uint64_t power = 1;
        for (uint32_t i = 0; i < level; ++i) power *= 9;
        lead_[base] = (9 + uint64_t(base)) * power;
      }
  }

  static constexpr size_t kBlock = 64;
  // The cids of points (lon[i], lat[i]), i < n <= kBlock, into out[i]:
  // Grid::cell_from_lonlat then CellEncoder, or 0 where the general path
  // must decide. The sines come
  // first in a loop of their own, so that successive calls overlap; then
  // the points are split by zone, so that each zone's loop meets branches
  // that go the same way every time.
  void block(const double* lon, const double* lat, uint64_t* out, size_t n) const {
    using namespace bulk;
    const Grid& g = *g_;
    double s[kBlock], c[kBlock], lam[kBlock], xi[kBlock], sin_xi[kBlock];
    uint8_t band[kBlock], cap[kBlock];
    size_t bands = 0, caps = 0;
    static_assert(kBlock <= 64);
    uint8_t order[kBlock];
    // About where the library's sine changes method (0.855 radians).
    order_by_size(lat, n, 49, order);
    for (size_t k = 0; k < n; ++k) {
      size_t i = order[k];
      ::sincos(lat[i] * kDegToRad, &s[i], &c[i]);
    }
    for (size_t i = 0; i < n; ++i) {
      double m = lon[i] - g.lon_0_deg;
      bool ok = on_ & (std::fabs(m) < 360) & (std::fabs(lat[i]) <= 90);
      lam[i] = normalise_near(m) * kDegToRad;
      auto a = g.ellipsoid_.authalic_from(lat[i] * kDegToRad, s[i], c[i]);
      xi[i] = a.xi;
      sin_xi[i] = a.sin_xi;
      bool equatorial = std::fabs(a.xi) <= kHealpixPhi0;
      out[i] = 0;
      band[bands] = uint8_t(i);
      cap[caps] = uint8_t(i);
      bands += ok & equatorial;
      caps += ok & !equatorial;
    }
    double r = g.authalic_radius;
    for (size_t k = 0; k < bands; ++k) {
      size_t i = band[k];
      // healpix_sphere's equatorial branch.
      Unit u{lam[i], (3 * kPi / 8) * sin_xi[i]};
      if (!(std::fabs(lat[i]) <= g.boundary_lat_ || std::fabs(u.y) <= kPi / 4)) continue;
      double x = std::clamp(r * u.x, -g.x_full_, g.x_full_below_);
      double y = std::clamp(r * u.y, -g.y_band_, g.y_band_);
      uint32_t base = 1 + uint32_t(x >= -g.x_half_) + uint32_t(x >= 0) + uint32_t(x >= g.x_half_);
      out[i] = encode(base, x, y);
    }
    // healpix_sphere's polar branch, then the turn into the polar square
    // and the cell, in two loops: shorter bodies overlap more points' chains
    // of division and square root.
    Unit u[kBlock];
    for (size_t k = 0; k < caps; ++k) {
      size_t i = cap[k];
      // lam is in [-π, π), so the floor of 2λ/π + 2 >= 0 is its truncation.
      double v = 2 * lam[i] / kPi + 2;
      int ci = int(v);
      double xc = g.cap_x_[ci > 3 ? 3 : ci];
      double sigma = std::sqrt(3 * (1 - std::fabs(sin_xi[i])));
      double sign = g.sign_[xi[i] > 0];
      u[k] = {xc + sigma * (lam[i] - xc), sign * (kPi / 4) * (2 - sigma)};
    }
    for (size_t k = 0; k < caps; ++k) {
      size_t i = cap[k];
      if (std::fabs(lat[i]) <= g.boundary_lat_ || std::fabs(u[k].y) <= kPi / 4) continue;
      // rearrange(), its turn by a table of exact quarter-turn factors.
      double ux = u[k].x, uy = u[k].y;
      uint32_t w = uint32_t(ux >= -kPi / 2) + uint32_t(ux >= 0) + uint32_t(ux >= kPi / 2);
      bool north = uy > kPi / 4;
      double cy = g.cap_y_[north];
      double dy = uy - cy, dx = ux - g.cap_x_[w];
      uint32_t turns = north ? (w + 4 - g.north_square) % 4 : (g.south_square + 4 - w) % 4;
      double cs = g.turn_cos_[turns], sn = g.turn_sin_[turns];
      double px = g.cap_x_[north ? g.north_square : g.south_square] + (cs * dx - sn * dy);
      double py = cy + (sn * dx + cs * dy);
      double x = r * px, y = r * py;
      bool in_north = (g.y_band_ < y) & (y < g.y_top_) & (g.x_north_lo_ < x) & (x < g.x_north_hi_);
      bool in_south =
          (-g.y_top_ < y) & (y < -g.y_band_) & (g.x_south_lo_ < x) & (x < g.x_south_hi_);
      bool north_y = y > 0;
      if (!(north_y ? in_north : in_south)) continue;
      out[i] = encode(north_y ? 0 : 5, x, y);
    }
  }

 private:
  // Grid::cell_from_planar's cell of a point inside base cell `base`, as a
  // cid; 0 when the general path must decide.
  uint64_t encode(uint32_t base, double x, double y) const {
    const Grid& g = *g_;
    uint64_t row = 0, column = 0;
    if (level_ != 0) {
      bulk::V2 f = bulk::V2{std::fabs(y - g.ul_corners[base].y),
                            std::fabs(x - g.ul_corners[base].x)} /
                   bulk::V2{g.side_, g.side_};
      double fy = f[0] == 1 ? g.edge_fraction_ : f[0];
      double fx = f[1] == 1 ? g.edge_fraction_ : f[1];
      double ry = fy * jd_, rx = fx * jd_;
      if (!(ry < jd_ && rx < jd_)) return 0;
      row = uint64_t(ry);
      column = uint64_t(rx);
      if (row >= j_ || column >= j_) return 0;
    }
    if (base >= b_) return 0;
    if (three_) return lead_[base] + bulk::interleave3(row, column);
    auto cid = encode_(base, row, column);
    return cid ? *cid : 0;
  }

  const Grid* g_;
  uint32_t level_;
  CellEncoder encode_;
  bool on_ = false, three_ = false;
  uint32_t b_ = 0;
  uint64_t j_ = 0;
  double jd_ = 0;
  std::array<uint64_t, 6> lead_{};
};

// The nuclei of cids, for the common case.
class CellNuclei {
 public:
  CellNuclei(const Grid& grid, const Hierarchy& h) : g_(&grid), decode_(h) {
    three_ = grid.n_side == 3 && h.a == 9;
    deepest_ = h.deepest();
    uint64_t p = 1;
    for (uint32_t k = 0; k < pow9_.size(); ++k, p *= 9) pow9_[k] = p;
    for (uint32_t bits = 1; bits <= 64; ++bits) {
      // floor(log9(2^(bits - 1))).
      uint64_t v = uint64_t(1) << (bits - 1);
      uint32_t e = 0;
      while (e + 1 < pow9_.size() && pow9_[e + 1] <= v) ++e;
      log9_[bits] = uint8_t(e);
    }
    for (uint32_t level = 0; level <= deepest_ && level + 1 < pow9_.size(); ++level)
      limit_[level] = (9 + uint64_t(std::min<uint32_t>(h.b, 6))) * pow9_[level];
  }

  // The cell of a cid, or false when the general decoder must decide.
  bool position(uint64_t cid, Position& p) const {
    if (!three_) {
      auto q = decode_.position(cid);
      if (!q) return false;
      p = *q;
      return true;
    }
    if (cid < 9) return false;
    uint32_t e = log9_[64 - std::countl_zero(cid)];
    e += uint32_t(cid >= pow9_[e + 1]);  // e <= 19 for 64 bits
    uint32_t level = e - 1;
    // Level 18 is the deepest of aperture 9 in 64 bits, and keeps the
    // packed row below 2^32.
    if (level > deepest_ || level > 18 || cid >= limit_[level]) return false;
    // Row and column side by side in one word (row < 3^18 < 2^32): one
    // multiplication per step serves both.
    uint64_t both = 0, scale = 1;
    uint32_t i = 0;
    for (; i + 3 <= level; i += 3) {
      both += bulk::kSplit729Packed[cid % 729] * scale;
      cid /= 729;
      scale *= 27;
    }
    for (; i < level; ++i) {
      uint64_t d = cid % 9;
      cid /= 9;
      both += ((d / 3) | (d % 3) << 32) * scale;
      scale *= 3;
    }
    p = Position{uint32_t(cid - 9), level, both & 0xffffffff, both >> 32};
    return true;
  }

  static constexpr size_t kBlock = 64;
  // The nuclei of cids[i], i < n <= kBlock, into lon[i] and lat[i]; returns
  // the mask of the cids left to the general path. Cells are split into
  // equatorial and polar ones, so that each loop's branches go one way; the
  // arcsines run in a loop of their own, grouped by argument range, and the
  // latitude series two cells at a time.
  uint64_t block(const uint64_t* cids, double* lon, double* lat, size_t n) const {
    using namespace bulk;
    const Grid& g = *g_;
    uint64_t declined = 0;
    double arg[kBlock];
    bool negate[kBlock];
    Position p[kBlock];
    uint8_t band[kBlock], polar[kBlock];
    size_t bands = 0, polars = 0;
    for (size_t i = 0; i < n; ++i) {
      bool ok = position(cids[i], p[i]);
      bool is_polar = p[i].base == 0 || p[i].base == 5;
      declined |= uint64_t(!ok) << i;
      arg[i] = 0;
      negate[i] = false;
      band[bands] = uint8_t(i);
      polar[polars] = uint8_t(i);
      bands += ok & !is_polar;
      polars += ok & is_polar;
    }
    // North cells first, then south ones: the cap's side then goes one way
    // for long runs.
    {
      uint8_t south[kBlock];
      size_t norths = 0, souths = 0;
      for (size_t k = 0; k < polars; ++k) {
        uint8_t i = polar[k];
        bool north = p[i].base == 0;
        polar[norths] = i;
        south[souths] = i;
        norths += north;
        souths += !north;
      }
      std::copy(south, south + souths, polar + norths);
    }
    // Each step in a loop of its own: a cell's chain of divisions is long,
    // and short loop bodies let the next cells' chains start sooner.
    double xu[kBlock], yu[kBlock], centre[kBlock];
    for (size_t k = 0; k < bands; ++k) {
      Planar c = g.nucleus_planar(p[band[k]]);
      V2 xy = V2{c.x, c.y} / V2{g.authalic_radius, g.authalic_radius};
      xu[k] = xy[0];
      yu[k] = xy[1];
    }
    for (size_t k = 0; k < bands; ++k) {
      size_t i = band[k];
      GridKernel::Pending q;
      if (!GridKernel::finish_band(g, xu[k], yu[k], q)) {
        declined |= uint64_t(1) << i;
        continue;
      }
      lon[i] = q.lon;
      arg[i] = q.arg;
      negate[i] = q.negate;
    }
    for (size_t k = 0; k < polars; ++k) {
      size_t i = polar[k];
      Planar c = g.nucleus_planar(p[i]);
      if (const GridKernel::Turn* t = GridKernel::side_turn(g, p[i], false)) {
        V2 xy = V2{c.x, c.y} / V2{g.authalic_radius, g.authalic_radius};
        GridKernel::turn_apply(*t, xy[0], xy[1], xu[k], yu[k], centre[k]);
      } else {
        bool ok = GridKernel::turn_back<true>(g, c.x, c.y, true, xu[k], yu[k], centre[k]);
        declined |= uint64_t(!ok) << i;
      }
    }
    GridKernel::Midway mid[kBlock];
    for (size_t k = 0; k < polars; ++k) {
      bool ok = GridKernel::finish_first(g, xu[k], yu[k], centre[k], mid[k]);
      declined |= uint64_t(!ok) << polar[k];
    }
    for (size_t k = 0; k < polars; ++k) {
      size_t i = polar[k];
      GridKernel::Pending q;
      GridKernel::finish_second(g, mid[k], q);
      lon[i] = q.lon;
      arg[i] = q.arg;
      negate[i] = q.negate;
    }
    double xi[kBlock];
    uint8_t order[kBlock];
    order_for_asin(arg, n, order);
    for (size_t k = 0; k < n; ++k) {
      size_t i = order[k];
      xi[i] = std::asin(arg[i]);
    }
    // The sign by a table: a branch on it would be mispredicted half the
    // time.
    static constexpr double kSign[2] = {1.0, -1.0};
    size_t i = 0;
    // Two at a time: the same operations as latitude_from, lane by lane.
    for (; i + 2 <= n; i += 2) {
      V2 sign = {kSign[negate[i]], kSign[negate[i + 1]]};
      V2 phi = GridKernel::latitude_pair(g, sign * V2{xi[i], xi[i + 1]},
                                         sign * V2{arg[i], arg[i + 1]});
      lat[i] = phi[0];
      lat[i + 1] = phi[1];
    }
    for (; i < n; ++i) {
      double sign = kSign[negate[i]];
      lat[i] = GridKernel::latitude_from(g, sign * xi[i], sign * arg[i]);
    }
    return declined;
  }

 private:
  const Grid* g_;
  CellDecoder decode_;
  bool three_ = false;
  uint32_t deepest_ = 0;
  std::array<uint64_t, 21> pow9_{};
  std::array<uint8_t, 65> log9_{};
  std::array<uint64_t, 20> limit_{};
};

}  // namespace kivet
