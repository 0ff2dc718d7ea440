#include "core/geo/grid.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>
#include <numbers>

#include "core/geo/bulk.hpp"
#include "core/geo/rhealpix.hpp"
#include "core/support/text.hpp"

namespace kivet {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kDegToRad = kPi / 180;
constexpr double kRadToDeg = 180 / kPi;

double normalise_lon(double lon) { return normalise_lon_general(lon); }

Position position_of(std::span<const uint32_t> path, uint32_t n) {
  Position p;
  p.base = path[0];
  p.level = uint32_t(path.size() - 1);
  for (size_t i = 1; i < path.size(); ++i) {
    p.row = p.row * n + path[i] / n;
    p.column = p.column * n + path[i] % n;
  }
  return p;
}

bool is_polar(uint32_t base) { return base == 0 || base == 5; }

// A hierarchy may have more base cells than the six squares of the layout;
// those cells have no place in the plane.
std::optional<Error> outside_layout(uint32_t base) {
  if (base < 6) return std::nullopt;
  return Error::message(cat("base ", base, " is outside the rHEALPix layout's 6 base cells"));
}

// N^level as a float: the exact 64-bit power while it fits (read from the
// grid's table, which holds 0 where it does not).
double power_of(const std::array<uint64_t, 65>& powers, uint32_t n, uint32_t level) {
  if (level < powers.size() && powers[level] != 0) return double(powers[level]);
  return std::pow(double(n), double(level));
}

// IEEE total order on doubles as a signed integer key.
int64_t total_order_key(double v) {
  auto bits = std::bit_cast<int64_t>(v);
  return bits ^ int64_t(uint64_t(bits >> 63) >> 1);
}

// 4(m - 1) + 1 ring points, or bad_alloc when that cannot be a vector size.
size_t ring_size(size_t m) {
  constexpr size_t kLimit = std::numeric_limits<ptrdiff_t>::max() / sizeof(LonLat) / 4;
  if (m - 1 > kLimit) throw std::bad_alloc();
  return 4 * (m - 1) + 1;
}

}  // namespace

Grid Grid::from_profile(const Profile& profile) {
  Grid g;
  g.semi_major = double(profile.a_um) / 1e6;
  g.flattening = 1 / (double(profile.inv_f_nano) / 1e9);
  g.eccentricity = kivet::eccentricity(g.flattening);
  g.authalic_radius = kivet::authalic_radius(g.semi_major, g.eccentricity);
  g.ellipsoid_ = Ellipsoid(g.eccentricity);
  g.lon_0_deg = double(profile.lon_0_udeg) / 1e6;
  g.north_square = profile.north_square % 4;
  g.south_square = profile.south_square % 4;
  g.n_side = uint32_t(std::sqrt(double(profile.aperture)));
  double r = g.authalic_radius;
  g.ul_corners = {{
      {(g.north_square * (kPi / 2) - kPi) * r, (3 * kPi / 4) * r},
      {-kPi * r, (kPi / 4) * r},
      {-(kPi / 2) * r, (kPi / 4) * r},
      {0, (kPi / 4) * r},
      {(kPi / 2) * r, (kPi / 4) * r},
      {(g.south_square * (kPi / 2) - kPi) * r, -(kPi / 4) * r},
  }};
  // K: the first level whose cells are at most a metre across; a point on a
  // base cell's bottom or right edge is moved half a level-K cell inside.
  double k = std::ceil(std::log((2 * kPi / 3) * r * r) / (2 * std::log(double(g.n_side))));
  g.edge_fraction_ = 1 - 1 / (2 * std::pow(double(g.n_side), k));
  g.boundary_lat_ = g.ellipsoid_.geodetic(std::asin(2.0 / 3.0)) * kRadToDeg;
  g.y_band_ = kPi / 4 * r;
  g.y_top_ = 3 * kPi / 4 * r;
  g.x_north_lo_ = (g.north_square * (kPi / 2) - kPi) * r;
  g.x_north_hi_ = (g.north_square * (kPi / 2) - kPi / 2) * r;
  g.x_south_lo_ = (g.south_square * (kPi / 2) - kPi) * r;
  g.x_south_hi_ = (g.south_square * (kPi / 2) - kPi / 2) * r;
  g.x_half_ = kPi / 2 * r;
  g.x_full_ = kPi * r;
  g.side_ = (kPi / 2) * r;
  for (uint32_t level = 0; level < g.powers_.size(); ++level)
    g.powers_[level] = checked_pow(g.n_side, level).value_or(0);
  // The same expressions as the general path, evaluated once.
  for (uint32_t level = 0; level < g.inv_power_.size(); ++level) {
    g.inv_power_[level] = 1 / power_of(g.powers_, g.n_side, level);
    g.half_[level] = (kPi / 2) * r * g.inv_power_[level] * 0.5;
  }
  g.x_full_below_ = std::nextafter(g.x_full_, 0.0);
  double ns = g.north_square, ss = g.south_square;
  g.tri_h_[1] = (ns - 1) * (kPi / 2) - 3 * kPi / 4;
  g.tri_g_[1] = (ns + 1) * (kPi / 2) - 3 * kPi / 4;
  g.tri_h_[0] = (ss + 1) * (kPi / 2) - 3 * kPi / 4;
  g.tri_g_[0] = (ss - 1) * (kPi / 2) - 3 * kPi / 4;
  for (uint32_t c = 0; c < 4; ++c) g.cap_x_[c] = cap_x(c);
  g.square_index_[0] = g.south_square;
  g.square_index_[1] = g.north_square;
  g.square_[0] = g.south_square;
  g.square_[1] = g.north_square;
  g.cap_y_[0] = -kPi / 2;
  g.cap_y_[1] = kPi / 2;
  // Each triangle of a polar square takes one quarter turn: the tests made
  // at a point deep inside it.
  g.by_side_ = true;
  for (uint32_t north = 0; north < 2; ++north) {
    const Planar& ul = g.ul_corners[north ? 0 : 5];
    double cx = ul.x + g.side_ / 2, cy = ul.y - g.side_ / 2, q = g.side_ / 4;
    const Planar at[4] = {{cx, cy + q}, {cx - q, cy}, {cx + q, cy}, {cx, cy - q}};
    for (uint32_t side = 0; side < 4; ++side) {
      auto t = GridKernel::turn_case<true>(g, at[side].x / r, at[side].y / r, true);
      g.side_turn_[north][side] = t;
      g.by_side_ = g.by_side_ && t.ok && t.turn;
    }
  }
  return g;
}

Result<Grid> make_grid(const Profile& profile) {
  if (auto v = profile.validate(); !v) return std::unexpected(v.error());
  return Grid::from_profile(profile);
}

std::optional<Planar> Grid::to_plane(double lon, double lat) const {
  if (!std::isfinite(lon) || !(std::fabs(lat) <= 90)) return std::nullopt;
  double lam = normalise_lon(lon - lon_0_deg);
  Unit u = rhealpix_ellipsoid(north_square, south_square, true, lam * kDegToRad,
                              lat * kDegToRad, ellipsoid_);
  return Planar{authalic_radius * u.x, authalic_radius * u.y};
}

Result<LonLat> Grid::to_lonlat(double x, double y, bool rearrange) const {
  auto lp = rhealpix_ellipsoid_inverse(north_square, south_square, rearrange,
                                       x / authalic_radius, y / authalic_radius,
                                       ellipsoid_);
  if (!lp) return std::unexpected(lp.error());
  return LonLat{normalise_lon(lp->lam * kRadToDeg + lon_0_deg), lp->phi * kRadToDeg};
}

std::optional<Position> Grid::cell_from_lonlat(uint32_t level, double lon,
                                               double lat) const {
  if (!std::isfinite(lon) || !(std::fabs(lat) <= 90)) return std::nullopt;
  double lam = normalise_lon(lon - lon_0_deg);
  Unit u = rhealpix_ellipsoid(north_square, south_square, false, lam * kDegToRad,
                              lat * kDegToRad, ellipsoid_);
  // Near the boundary parallel the projected y is rounded either side of
  // π/4, and a cap point turned into its polar square can land on (or an
  // ulp beyond) the square's open edge; near λ = π, x can round to the
  // band's open east end. Latitude decides the region: up to the boundary
  // parallel the point is in the band.
  if (std::fabs(lat) <= boundary_lat_ || std::fabs(u.y) <= kPi / 4) {
    double x = std::clamp(authalic_radius * u.x, -x_full_, std::nextafter(x_full_, 0.0));
    double y = std::clamp(authalic_radius * u.y, -y_band_, y_band_);
    return cell_from_planar(level, x, y);
  }
  Unit p = rearrange(north_square, south_square, u);
  double x = authalic_radius * p.x, y = authalic_radius * p.y;
  if (auto cell = cell_from_planar(level, x, y)) return cell;
  // A cap point on or past its square's edge by rounding: the nearest
  // point inside the square.
  bool north = y > 0;
  double lo = north ? x_north_lo_ : x_south_lo_, hi = north ? x_north_hi_ : x_south_hi_;
  x = std::clamp(x, std::nextafter(lo, INFINITY), std::nextafter(hi, -INFINITY));
  double inner = std::nextafter(y_band_, INFINITY), outer = std::nextafter(y_top_, 0.0);
  y = north ? std::clamp(y, inner, outer) : std::clamp(y, -outer, -inner);
  return cell_from_planar(level, x, y);
}

std::optional<Position> Grid::cell_from_planar(uint32_t level, double x, double y) const {
  // Bounds precomputed by from_profile with the same expressions: (π/4)·R,
  // (3π/4)·R, (north_square·π/2 - π)·R, ... Strict on the polar squares, the
  // band's edges included.
  uint32_t base;
  if (y_band_ < y && y < y_top_ && x_north_lo_ < x && x < x_north_hi_) {
    base = 0;
  } else if (-y_top_ < y && y < -y_band_ && x_south_lo_ < x && x < x_south_hi_) {
    base = 5;
  } else if (-y_band_ <= y && y <= y_band_) {
    if (-x_full_ <= x && x < -x_half_)
      base = 1;
    else if (-x_half_ <= x && x < 0)
      base = 2;
    else if (0 <= x && x < x_half_)
      base = 3;
    else if (x_half_ <= x && x < x_full_)
      base = 4;
    else
      return std::nullopt;
  } else {
    return std::nullopt;
  }
  if (level == 0) return Position{base, 0, 0, 0};
  double fy = std::fabs(y - ul_corners[base].y) / side_;
  double fx = std::fabs(x - ul_corners[base].x) / side_;
  if (fy == 1) fy = edge_fraction_;
  if (fx == 1) fx = edge_fraction_;
  uint64_t j = level < powers_.size() ? powers_[level] : 0;
  if (j == 0) return std::nullopt;  // N^level overflows
  double jd = double(j), ry = fy * jd, rx = fx * jd;
  if (!(ry < jd && rx < jd)) return std::nullopt;
  uint64_t row = uint64_t(ry), column = uint64_t(rx);
  if (row >= j || column >= j) return std::nullopt;
  return Position{base, level, row, column};
}

double Grid::cell_side(uint32_t level) const {
  if (level < inv_power_.size()) return side_ * inv_power_[level];
  return (kPi / 2) * authalic_radius * (1 / power_of(powers_, n_side, level));
}

double Grid::inv_power(uint32_t level) const {
  return 1 / power_of(powers_, n_side, level);
}

Planar Grid::ul_vertex(const Position& p) const {
  return ul_vertex_at(p, p.level < inv_power_.size() ? inv_power_[p.level] : inv_power(p.level));
}

Planar Grid::ul_vertex(std::span<const uint32_t> path) const {
  return ul_vertex(position_of(path, n_side));
}

Result<LonLat> Grid::nucleus(const Position& p) const {
  if (auto e = outside_layout(p.base)) return std::unexpected(*e);
  Planar c = nucleus_planar(p);
  return to_lonlat(c.x, c.y, true);
}

Result<LonLat> Grid::nucleus(std::span<const uint32_t> path) const {
  return nucleus(position_of(path, n_side));
}

bool Grid::contains_pole(const Position& p) const {
  if (!is_polar(p.base)) return false;
  if (p.level == 0) return true;
  if (n_side % 2 == 0) return false;
  // Every digit the centre one: row and column both (N^level - 1) / 2.
  uint64_t j = p.level < powers_.size() ? powers_[p.level] : 0;
  return j != 0 && p.row == (j - 1) / 2 && p.column == (j - 1) / 2;
}

bool Grid::contains_pole(std::span<const uint32_t> path) const {
  if (!is_polar(path[0])) return false;
  if (path.size() == 1) return true;
  if (n_side % 2 == 0) return false;
  uint32_t centre = (n_side * n_side - 1) / 2;
  return std::all_of(path.begin() + 1, path.end(),
                     [centre](uint32_t d) { return d == centre; });
}

namespace {

// Writes the closed ring of the cell with m points per edge into out, which
// holds exactly 4(m - 1) + 1 points.
Result<void> write_ring(const Grid& g, const Position& cell, size_t m, std::span<LonLat> out) {
  if (auto e = outside_layout(cell.base)) return std::unexpected(*e);
  Planar ul = g.ul_vertex(cell);
  double s = g.cell_side(cell.level);
  double step = s / double(m - 1);
  bool rearrange = is_polar(cell.base);
  // Clockwise from the upper-left corner; each point is its edge's first
  // corner plus i steps, so no drift accumulates.
  const Planar corners[4] = {
      {ul.x, ul.y}, {ul.x + s, ul.y}, {ul.x + s, ul.y - s}, {ul.x, ul.y - s}};
  static constexpr double kDx[4] = {1, 0, -1, 0}, kDy[4] = {0, -1, 0, 1};
  static constexpr double kSign[2] = {1.0, -1.0};
  if (m == 2 && !rearrange) {
    // The corners of a band cell: in the band a longitude depends on x
    // alone and a latitude on y alone, so two corners give all four.
    double x[4], y[4], d = step * 0.0;
    for (size_t e = 0; e < 4; ++e) {
      x[e] = corners[e].x + kDx[e] * d;
      y[e] = corners[e].y + kDy[e] * d;
    }
    auto same = [](double a, double b) {
      return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
    };
    GridKernel::Pending p, q;
    if (same(x[0], x[3]) && same(x[1], x[2]) && same(y[0], y[1]) && same(y[2], y[3]) &&
        GridKernel::prepare_band(g, x[0], y[0], p) &&
        GridKernel::prepare_band(g, x[2], y[2], q)) {
      bulk::V2 sign = {kSign[p.negate], kSign[q.negate]};
      bulk::V2 lat = GridKernel::latitude_pair(
          g, sign * bulk::V2{std::asin(p.arg), std::asin(q.arg)}, sign * bulk::V2{p.arg, q.arg});
      double top = lat[0], bottom = lat[1];
      out[0] = {p.lon, top};
      out[1] = {q.lon, top};
      out[2] = {q.lon, bottom};
      out[3] = {p.lon, bottom};
      out[4] = out[0];
      return {};
    }
  }
  // A polar cell away from the square's diagonals and edges: every point of
  // its ring takes the same quarter turn.
  const GridKernel::Turn* turn = rearrange ? GridKernel::side_turn(g, cell, true) : nullptr;
  // Points along a ring share ordinates, and a latitude depends on the
  // ordinate alone: each is computed once. The points go in chunks: first
  // the plane part of each, then the arcsines and the series of the
  // distinct ordinates, each in a loop of its own.
  constexpr size_t kChunk = 64, kLook = 8;
  size_t total = 4 * (m - 1);
  for (size_t start = 0; start < total; start += kChunk) {
    size_t count = std::min(kChunk, total - start), keys = 0;
    uint64_t key[kChunk];
    double xi[kChunk];
    bool negate[kChunk];
    uint8_t slot[kChunk];
    double x[kChunk], y[kChunk];
    // Point start + j is point i of edge e.
    for (size_t j = 0, e = start / (m - 1), i = start % (m - 1); j < count; ++j) {
      double d = step * double(i);
      x[j] = corners[e].x + kDx[e] * d;
      y[j] = corners[e].y + kDy[e] * d;
      if (++i == m - 1) {
        i = 0;
        ++e;
      }
    }
    // Point j's latitude goes to slot[j]: an ordinate seen among the last
    // few, or a new one.
    auto settle = [&](size_t j, const GridKernel::Pending& q) {
      out[start + j].lon = q.lon;
      // Equal bits, so that -0 and +0 stay apart.
      uint64_t bits = std::bit_cast<uint64_t>(q.key);
      size_t at = keys, low = keys > kLook ? keys - kLook : 0;
      for (size_t k = keys; k-- > low;)
        if (key[k] == bits) {
          at = k;
          break;
        }
      if (at == keys) {
        key[keys] = bits;
        xi[keys] = q.arg;
        negate[keys++] = q.negate;
      }
      slot[j] = uint8_t(at);
    };
    // The general path, for a point the kernels leave.
    auto general = [&](size_t j) -> Result<void> {
      auto p = g.to_lonlat(x[j], y[j], rearrange);
      if (!p) return std::unexpected(p.error());
      out[start + j] = *p;
      slot[j] = uint8_t(kChunk);
      return {};
    };
    if (!rearrange) {
      for (size_t j = 0; j < count; ++j) {
        GridKernel::Pending q;
        if (GridKernel::prepare_band(g, x[j], y[j], q) ||
            GridKernel::prepare(g, x[j], y[j], false, q))
          settle(j, q);
        else if (auto r = general(j); !r)
          return r;
      }
    } else {
      // The turn out of the square, then the rest, in two loops: each
      // point's chain of divisions is long, and shorter loop bodies let the
      // next points' chains start sooner.
      double xu[kChunk], yu[kChunk], centre[kChunk];
      bool turned[kChunk];
      if (turn) {
        for (size_t j = 0; j < count; ++j) {
          bulk::V2 xy = bulk::V2{x[j], y[j]} / bulk::V2{g.authalic_radius, g.authalic_radius};
          GridKernel::turn_apply(*turn, xy[0], xy[1], xu[j], yu[j], centre[j]);
          turned[j] = true;
        }
      } else {
        for (size_t j = 0; j < count; ++j)
          turned[j] = GridKernel::turn_back(g, x[j], y[j], true, xu[j], yu[j], centre[j]);
      }
      for (size_t j = 0; j < count; ++j) {
        GridKernel::Pending q;
        if (turned[j] && GridKernel::finish(g, xu[j], yu[j], centre[j], q))
          settle(j, q);
        else if (auto r = general(j); !r)
          return r;
      }
    }
    double a[kChunk];
    for (size_t k = 0; k < keys; ++k) a[k] = std::asin(xi[k]);
    size_t k = 0;
    for (; k + 2 <= keys; k += 2) {
      bulk::V2 sign = {kSign[negate[k]], kSign[negate[k + 1]]};
      bulk::V2 lat = GridKernel::latitude_pair(g, sign * bulk::V2{a[k], a[k + 1]},
                                               sign * bulk::V2{xi[k], xi[k + 1]});
      xi[k] = lat[0];
      xi[k + 1] = lat[1];
    }
    for (; k < keys; ++k) {
      double sign = kSign[negate[k]];
      xi[k] = GridKernel::latitude_from(g, sign * a[k], sign * xi[k]);
    }
    for (size_t j = 0; j < count; ++j)
      if (slot[j] != kChunk) out[start + j].lat = xi[slot[j]];
  }
  out[total] = out[0];
  return {};
}

Result<void> write_ring(const Grid& g, std::span<const uint32_t> path, size_t m,
                        std::span<LonLat> out) {
  return write_ring(g, position_of(path, g.n_side), m, out);
}

}  // namespace

Result<std::vector<LonLat>> Grid::cell_ring(std::span<const uint32_t> path,
                                            size_t n) const {
  size_t m = std::max<size_t>(n, 2);
  std::vector<LonLat> out(ring_size(m));
  if (auto r = write_ring(*this, path, m, out); !r) return std::unexpected(r.error());
  return out;
}

size_t Grid::polygon_size(std::span<const uint32_t> path, size_t n) const {
  return polygon_size(position_of(path, n_side), n);
}

size_t Grid::polygon_size(const Position& p, size_t n) const {
  if (!is_polar(p.base)) return 5;
  return ring_size(std::max<size_t>(n, 2)) + (contains_pole(p) ? 4 : 0);
}

Result<void> Grid::write_cell_polygon(std::span<const uint32_t> path, size_t n,
                                      std::span<LonLat> out) const {
  return write_cell_polygon(position_of(path, n_side), n, out);
}

Result<void> Grid::write_cell_polygon(const Position& cell, size_t n,
                                      std::span<LonLat> out) const {
  size_t m = is_polar(cell.base) ? std::max<size_t>(n, 2) : 2;
  size_t closed = ring_size(m);
  if (auto r = write_ring(*this, cell, m, out.first(closed)); !r) return r;
  auto ring = out.first(closed);
  std::reverse(ring.begin(), ring.end());
  if (!contains_pole(cell)) {
    double lo = INFINITY, hi = -INFINITY;
    for (const LonLat& p : ring) {
      if (std::isnan(p.lon)) continue;
      lo = std::min(lo, p.lon);
      hi = std::max(hi, p.lon);
    }
    if (hi - lo > 180)
      for (LonLat& p : ring)
        if (p.lon < 0) p.lon += 360;
    return {};
  }
  // A cap: its ring circles the pole, so draw it as the band between the
  // boundary and the pole, cut at the antimeridian. The k boundary points
  // move to out[1..k]; the cut and the pole fill both ends.
  size_t k = closed - 1;
  auto points = out.subspan(1, k);
  std::copy_backward(out.begin(), out.begin() + ptrdiff_t(k), points.end());
  std::stable_sort(points.begin(), points.end(), [](const LonLat& a, const LonLat& b) {
    return total_order_key(a.lon) < total_order_key(b.lon);
  });
  LonLat first = points.front(), last = points.back();
  double d = (first.lon + 360) - last.lon;
  double phi = d <= 0 ? last.lat
                      : last.lat + ((180 - last.lon) / d) * (first.lat - last.lat);
  double west = -180, east = 180, pole = 90;
  if (cell.base != 0) {
    std::reverse(points.begin(), points.end());
    std::swap(west, east);
    pole = -90;
  }
  out[0] = {west, phi};
  out[k + 1] = {east, phi};
  out[k + 2] = {east, pole};
  out[k + 3] = {west, pole};
  out[k + 4] = {west, phi};
  return {};
}

Result<std::vector<LonLat>> Grid::cell_polygon(std::span<const uint32_t> path,
                                               size_t n) const {
  std::vector<LonLat> out(polygon_size(path, n));
  if (auto r = write_cell_polygon(path, n, out); !r) return std::unexpected(r.error());
  return out;
}

Result<BoundarySample> Grid::boundary3(std::span<const uint32_t> path) const {
  if (auto e = outside_layout(path[0])) return std::unexpected(*e);
  Planar ul = ul_vertex(path);
  double s = cell_side(uint32_t(path.size() - 1)), h = s / 2;
  double x0 = ul.x, y0 = ul.y;
  BoundarySample out;
  if (is_polar(path[0])) {
    const Planar pts[9] = {{x0, y0},         {x0 + h, y0},     {x0 + s, y0},
                           {x0 + s, y0 - h}, {x0 + s, y0 - s}, {x0 + h, y0 - s},
                           {x0, y0 - s},     {x0, y0 - h},     {x0, y0}};
    for (const Planar& p : pts) {
      auto q = to_lonlat(p.x, p.y, true);
      if (!q) return std::unexpected(q.error());
      out.points[out.size++] = *q;
    }
    return out;
  }
  double lon[3], lat[3];
  const Planar along[3] = {{x0, y0}, {x0 + h, y0}, {x0 + s, y0}};
  const Planar down[3] = {{x0, y0}, {x0, y0 - h}, {x0, y0 - s}};
  for (int i = 0; i < 3; ++i) {
    auto q = to_lonlat(along[i].x, along[i].y, false);
    if (!q) return std::unexpected(q.error());
    lon[i] = q->lon;
  }
  for (int i = 0; i < 3; ++i) {
    auto q = to_lonlat(down[i].x, down[i].y, false);
    if (!q) return std::unexpected(q.error());
    lat[i] = q->lat;
  }
  out.points = {{{lon[0], lat[0]}, {lon[0], lat[2]}, {lon[1], lat[0]}, {lon[1], lat[2]},
                 {lon[2], lat[0]}, {lon[2], lat[2]}, {lon[0], lat[1]}, {lon[2], lat[1]},
                 {}}};
  out.size = 8;
  return out;
}

double Grid::cell_area(uint32_t level) const {
  double s = (kPi / 2) * authalic_radius * (1 / power_of(powers_, n_side, level));
  return s * s * 8 / (3 * kPi);
}

}  // namespace kivet
