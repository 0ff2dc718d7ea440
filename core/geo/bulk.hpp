// Per-element kernels of the array functions: the cell of a point and the
// nucleus of a cid for one grid, inline so the loops over arrays compile them
// in place.
//
// Each kernel repeats the general path's arithmetic operation for operation,
// so its results are the same bits; it only drops what is repeated per
// element (profile tables, Result plumbing, digit loops by division) and
// turns unpredictable branches into selects. Where a point or cid needs
// anything beyond the common case (a clamp at an edge, an invalid cid, an
// aperture other than 9) the kernel declines and the caller takes the
// general path, which also words the errors.
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

// normalise_lon for |m| < 360 without branches: into [-180, 180) by the
// same additions.
inline double normalise_near(double m) {
  double t = m < 0 ? m + 360 : m;
  t = t >= 180 ? t - 360 : t;
  return (m >= -180 && m < 180) ? m : t;
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

// v < 729 (three base-9 digits) -> (row part, column part).
inline constexpr std::array<std::array<uint8_t, 2>, 729> kSplit729 = [] {
  std::array<std::array<uint8_t, 2>, 729> t{};
  for (uint32_t v = 0; v < 729; ++v) {
    uint32_t r = 0, c = 0, p = 1;
    for (uint32_t x = v, i = 0; i < 3; ++i, x /= 9, p *= 3) {
      r += (x % 9) / 3 * p;
      c += (x % 9) % 3 * p;
    }
    t[v] = {uint8_t(r), uint8_t(c)};
  }
  return t;
}();

// Remembers the latitudes of recent unit-plane ordinates: along a ring many
// points share theirs, and the latitude depends on nothing else.
struct LatitudeMemo {
  static constexpr int kSize = 8;
  uint64_t key[kSize];
  double lat[kSize];
  int count = 0, next = 0;
  bool find(double y, double& out) const {
    uint64_t k = std::bit_cast<uint64_t>(y);
    for (int i = 0; i < count; ++i)
      if (key[i] == k) {
        out = lat[i];
        return true;
      }
    return false;
  }
  void add(double y, double v) {
    key[next] = std::bit_cast<uint64_t>(y);
    lat[next] = v;
    next = (next + 1) % kSize;
    if (count < kSize) ++count;
  }
};

}  // namespace bulk

// Grid::to_lonlat(x, y, rearrange) for a point whose result it is; false
// when the general path must decide (outside the image, on the pole, ...).
inline bool GridKernel::to_lonlat(const Grid& g, double x, double y, bool rearrange,
                                  LonLat& out, bulk::LatitudeMemo* memo) {
  using namespace bulk;
  constexpr double kEps = 1e-15, kTol = 1e-10;
  double xu = x / g.authalic_radius, yu = y / g.authalic_radius;
  // rhealpix_ellipsoid_inverse's image test.
  double ayu = std::fabs(yu);
  double m = yu > 0 ? double(g.north_square) : double(g.south_square);
  bool polar_inside = ayu < 3 * kPi / 4 + kEps && m * (kPi / 2) - kPi - kEps < xu &&
                      xu < (m + 1) * (kPi / 2) - kPi + kEps;
  bool band_inside = std::fabs(xu) < kPi + kEps;
  if (!(ayu >= kPi / 4 + kEps ? polar_inside : band_inside)) return false;
  if (rearrange && (yu > kPi / 4 || yu < -kPi / 4)) {
    // triangle() and the turn back into the cap, as selects.
    bool north = yu > kPi / 4;
    double h = xu - g.tri_h_[north], gg = g.tri_g_[north] - xu;
    uint32_t add;
    if (north) {
      add = (yu < h - kEps && yu >= gg - kEps)   ? 1
            : (yu >= h - kEps && yu > gg + kEps) ? 2
            : (yu > h + kEps && yu <= gg + kEps) ? 3
                                                 : 0;
    } else {
      add = (yu <= h + kEps && yu > gg + kEps)   ? 1
            : (yu < h - kEps && yu <= gg + kEps) ? 2
            : (yu >= h - kEps && yu < gg - kEps) ? 3
                                                 : 0;
    }
    uint32_t s = north ? g.north_square : g.south_square;
    uint32_t cap = (s + add) % 4;
    uint32_t turns = north ? (s + 4 - cap) % 4 : (cap + 4 - s) % 4;
    double cy = north ? kPi / 2 : -kPi / 2;
    Unit d = rotate_quarter(xu - cap_x(s), yu - cy, turns);
    xu = cap_x(cap) + d.x;
    yu = cy + d.y;
  }
  // healpix_sphere_inverse.
  if (!(std::fabs(xu) < kPi + kTol && std::fabs(yu) < kPi / 2 + kTol)) return false;
  double ay = std::fabs(yu);
  double xc = healpix_cap_centre(xu);
  if (ay >= kPi / 4 + kTol && ay + std::fabs(xu - xc) >= kPi / 2 + kTol) return false;
  if (ay >= kPi / 2) return false;
  bool band = ay <= kPi / 4;
  double tau = 2 - 4 * ay / kPi;
  double cap_lam = std::clamp(xc + (xu - xc) / tau, -kPi, kPi);
  double lam = band ? xu : cap_lam;
  double lat;
  if (!memo || !memo->find(yu, lat)) {
    double arg = band ? 8 * yu / (3 * kPi) : 1 - tau * tau / 3;
    double xi = std::asin(arg);
    xi = !band && yu <= 0 ? -xi : xi;
    lat = g.ellipsoid_.geodetic(xi) * kRadToDeg;
    if (memo) memo->add(yu, lat);
  }
  double lon = lam * kRadToDeg + g.lon_0_deg;
  out.lon = std::fabs(lon) < 360 ? normalise_near(lon) : normalise_lon_general(lon);
  out.lat = lat;
  return true;
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

  // Grid::cell_from_lonlat then CellEncoder, or 0 when the general path
  // must decide.
  uint64_t operator()(double lon, double lat) const {
    using namespace bulk;
    const Grid& g = *g_;
    double m = lon - g.lon_0_deg;
    if (!on_ || !(std::fabs(m) < 360) || !(std::fabs(lat) <= 90)) return 0;
    double lam = normalise_near(m);
    // rhealpix_ellipsoid without the rearrangement, inline.
    auto a = g.ellipsoid_.authalic_with_sine(lat * kDegToRad);
    Unit u = healpix_sphere(lam * kDegToRad, a.xi, a.sin_xi);
    uint32_t base;
    double x, y;
    double r = g.authalic_radius;
    if (std::fabs(lat) <= g.boundary_lat_ || std::fabs(u.y) <= kPi / 4) {
      x = std::clamp(r * u.x, -g.x_full_, g.x_full_below_);
      y = std::clamp(r * u.y, -g.y_band_, g.y_band_);
      base = 1 + uint32_t(x >= -g.x_half_) + uint32_t(x >= 0) + uint32_t(x >= g.x_half_);
    } else {
      Unit p = rearrange(g.north_square, g.south_square, u);
      x = r * p.x;
      y = r * p.y;
      bool north = y > 0;
      bool in_north = g.y_band_ < y && y < g.y_top_ && g.x_north_lo_ < x && x < g.x_north_hi_;
      bool in_south = -g.y_top_ < y && y < -g.y_band_ && g.x_south_lo_ < x && x < g.x_south_hi_;
      if (!(north ? in_north : in_south)) return 0;
      base = north ? 0 : 5;
    }
    uint64_t row = 0, column = 0;
    if (level_ != 0) {
      double fy = std::fabs(y - g.ul_corners[base].y) / g.side_;
      double fx = std::fabs(x - g.ul_corners[base].x) / g.side_;
      fy = fy == 1 ? g.edge_fraction_ : fy;
      fx = fx == 1 ? g.edge_fraction_ : fx;
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

 private:
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
    if (e + 1 < pow9_.size() && cid >= pow9_[e + 1]) ++e;
    uint32_t level = e - 1;
    if (level > deepest_ || level >= limit_.size() || cid >= limit_[level]) return false;
    uint64_t row = 0, column = 0, scale = 1;
    uint32_t i = 0;
    for (; i + 3 <= level; i += 3) {
      const auto& rc = bulk::kSplit729[cid % 729];
      cid /= 729;
      row += rc[0] * scale;
      column += rc[1] * scale;
      scale *= 27;
    }
    for (; i < level; ++i) {
      uint64_t d = cid % 9;
      cid /= 9;
      row += d / 3 * scale;
      column += d % 3 * scale;
      scale *= 3;
    }
    p = Position{uint32_t(cid - 9), level, row, column};
    return true;
  }

  // Grid::nucleus of a decoded cell, or false for the general path.
  bool nucleus(const Position& p, LonLat& out) const {
    Planar c = g_->nucleus_planar(p);
    return GridKernel::to_lonlat(*g_, c.x, c.y, true, out, nullptr);
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
