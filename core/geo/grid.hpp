// The planar layout of the rHEALPix grid for one profile.
//
// Six base squares of side (π/2)·R in the projection plane (metres on the
// authalic sphere): 0 the north polar square, 1..4 the equatorial band from
// x = -πR, 5 the south polar square. A cell of level L is a square of side
// (π/2)·R / N^L at (row, column) of its base cell, row 0 at the top. Immutable
// after construction and shared read-only across threads; the transcendental
// work is done once in from_profile.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <optional>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/geo/ellipsoid.hpp"
#include "core/profile.hpp"
#include "core/zone.hpp"

namespace kivet {

// Degrees: longitude in [-180, 180) (display polygons may shift east of 180).
struct LonLat {
  double lon = 0, lat = 0;
};

// Planar metres.
struct Planar {
  double x = 0, y = 0;
};

// Up to nine boundary sample points of a cell (9 polar, 8 equatorial).
struct BoundarySample {
  std::array<LonLat, 9> points{};
  size_t size = 0;
  const LonLat* begin() const { return points.data(); }
  const LonLat* end() const { return points.data() + size; }
};

// Into [-180, 180), touching only values outside it.
inline double normalise_lon_general(double lon) {
  if (lon >= -180 && lon < 180) return lon;
  // fmod(m, 360) is m itself when |m| < 360, so the call is skipped there.
  double m = std::fabs(lon) < 360 ? lon : std::fmod(lon, 360.0);
  if (m < 0) m += 360;
  if (m >= 180) m -= 360;
  return m;
}

class Grid;

// The kernels of core/geo/bulk.hpp reach the grid's tables through this.
struct GridKernel {
  // Grid::to_lonlat split where the latitude needs its arcsine.
  struct Pending {
    double lon;  // the result's longitude
    double arg;  // the latitude is geodetic(±asin(arg)), arg >= 0
    double key;  // the unit-plane ordinate the latitude depends on alone
    bool negate;
  };
  // kScattered: the points come from unrelated cells, so the triangle of
  // each is unpredictable.
  template <bool kScattered = false>
  static bool prepare(const Grid& g, double x, double y, bool rearrange, Pending& out);
  // `centre`: the point's cap centre when the turn tells it, else kNoCentre.
  static constexpr double kNoCentre = 1e300;
  template <bool kScattered = false>
  static bool turn_back(const Grid& g, double x, double y, bool rearrange, double& xu,
                        double& yu, double& centre);
  // turn_back in parts, from unit-plane (xu, yu): the image test and the
  // quarter turn that a point's tests select, then the turn itself.
  struct Turn {
    double cs, sn, from_x, to_x, cy;
    bool ok, turn;
  };
  template <bool kScattered = false>
  static Turn turn_case(const Grid& g, double xu, double yu, bool rearrange);
  static void turn_apply(const Turn& t, double xu, double yu, double& x_out, double& y_out,
                         double& centre);
  // The Turn of polar cell p's nucleus (whole = false) or of every point of
  // its square (whole = true), from which side of the square's diagonals its
  // row and column lie; nullptr when p is near enough a diagonal or an edge
  // for the tests to decide point by point.
  static const Turn* side_turn(const Grid& g, const Position& p, bool whole);
  static bool finish(const Grid& g, double xu, double yu, double centre, Pending& out);
  // finish() in two steps, around the division by τ.
  struct Midway {
    double xu, yu, xc, tau, band_arg;
    bool band;
  };
  static bool finish_first(const Grid& g, double xu, double yu, double centre, Midway& out);
  static void finish_second(const Grid& g, const Midway& m, Pending& out);
  // prepare() for a point of the equatorial band, without the turn.
  static bool prepare_band(const Grid& g, double x, double y, Pending& out);
  static bool finish_band(const Grid& g, double xu, double yu, Pending& out);
  // The latitude, degrees, of ξ = ±asin(arg), from ξ and s = sin ξ = ±arg.
  static double latitude_from(const Grid& g, double xi, double s);
  // The same for two, lane by lane.
  static Lanes2 latitude_pair(const Grid& g, Lanes2 xi, Lanes2 s);
};

class Grid {
 public:
  // REQUIRES: profile.validate() succeeded.
  static Grid from_profile(const Profile& profile);

  double semi_major = 0;       // a, metres
  double flattening = 0;       // f
  double eccentricity = 0;     // e
  double authalic_radius = 0;  // R, metres
  std::array<Planar, 6> ul_corners{};
  double lon_0_deg = 0;
  uint32_t north_square = 0;  // modulo 4
  uint32_t south_square = 0;  // modulo 4
  uint32_t n_side = 3;        // N = floor(sqrt(aperture))

  // Cell at `level` holding the point, or nothing (non-finite longitude,
  // |latitude| > 90 or NaN, N^level overflowing). Every other point has a
  // cell; one on the boundary parallel belongs to the band.
  std::optional<Position> cell_from_lonlat(uint32_t level, double lon, double lat) const;
  std::optional<Position> cell_from_planar(uint32_t level, double x, double y) const;

  // Longitude/latitude degrees to planar metres; nothing when not projectable.
  std::optional<Planar> to_plane(double lon, double lat) const;
  // Planar metres to degrees; the projection error when outside the image.
  Result<LonLat> to_lonlat(double x, double y, bool rearrange = true) const;

  // Side of a cell of `level`, metres.
  double cell_side(uint32_t level) const;
  // Planar upper-left vertex. REQUIRES: a valid path / position of this grid.
  Planar ul_vertex(std::span<const uint32_t> path) const;
  Planar ul_vertex(const Position& p) const;
  // Planar centre of the cell square.
  Planar nucleus_planar(const Position& p) const {
    double inv = p.level < inv_power_.size() ? inv_power_[p.level] : inv_power(p.level);
    double h = p.level < half_.size() ? half_[p.level] : side_ * inv * 0.5;
    Planar ul = ul_vertex_at(p, inv);
    return {ul.x + h, ul.y - h};
  }
  // The nucleus in degrees (inverse projection with rearrange).
  Result<LonLat> nucleus(std::span<const uint32_t> path) const;
  Result<LonLat> nucleus(const Position& p) const;

  // True for the polar cell that contains its pole.
  bool contains_pole(std::span<const uint32_t> path) const;
  bool contains_pole(const Position& p) const;

  // Closed ring, clockwise in the plane, max(n, 2) points per edge corners
  // included: 4(m - 1) + 1 points, the last an exact copy of the first.
  Result<std::vector<LonLat>> cell_ring(std::span<const uint32_t> path, size_t n) const;
  // Display polygon: counterclockwise, n points per edge on polar cells, the
  // four corners on equatorial ones, shifted east of 180° when crossing the
  // antimeridian, caps closed through the pole (k + 5 points).
  Result<std::vector<LonLat>> cell_polygon(std::span<const uint32_t> path, size_t n) const;
  // The number of points of cell_polygon(path, n); throws std::bad_alloc
  // when n is too large for any buffer.
  size_t polygon_size(std::span<const uint32_t> path, size_t n) const;
  size_t polygon_size(const Position& p, size_t n) const;
  // cell_polygon into a caller's buffer of exactly polygon_size(path, n)
  // points, for bulk output without an allocation per cell.
  Result<void> write_cell_polygon(std::span<const uint32_t> path, size_t n,
                                  std::span<LonLat> out) const;
  Result<void> write_cell_polygon(const Position& p, size_t n, std::span<LonLat> out) const;
  // Corners and edge midpoints in degrees; bounds the cell for polygon fill.
  Result<BoundarySample> boundary3(std::span<const uint32_t> path) const;

  // Area of every cell of `level`, m²: (2π/3)·R² / N^(2·level).
  double cell_area(uint32_t level) const;

  const Ellipsoid& ellipsoid() const { return ellipsoid_; }

 private:
  friend struct GridKernel;
  friend class PointCells;
  friend class CellNuclei;
  Grid() : ellipsoid_(0.0) {}
  // 1 / N^level.
  double inv_power(uint32_t level) const;
  // healpix_cap_centre(x) by a table: floor(v) clamped to [0, 3] is the
  // truncation of v clamped to [0, 3].
  double cap_centre(double x) const {
    constexpr double kPi = std::numbers::pi;
    double v = std::clamp(2 * x / kPi + 2, 0.0, 3.0);
    return cap_x_[unsigned(v) & 3];
  }
  // The upper-left vertex of p with `inv` = 1 / N^level.
  Planar ul_vertex_at(const Position& p, double inv) const {
    const Planar& c = ul_corners[p.base];
    return {c.x + side_ * (double(p.column) * inv), c.y - side_ * (double(p.row) * inv)};
  }
  Ellipsoid ellipsoid_;
  double edge_fraction_ = 0;  // 1 - 1/(2·N^K): where fx or fy == 1 is moved
  // Latitude of the parallel between the polar caps and the band, degrees:
  // the double nearest the geodetic latitude whose authalic one is asin(2/3).
  double boundary_lat_ = 0;
  // The base squares' bounds in metres, as cell_from_planar tests them.
  double y_band_ = 0, y_top_ = 0, x_north_lo_ = 0, x_north_hi_ = 0;
  double x_south_lo_ = 0, x_south_hi_ = 0, x_half_ = 0, x_full_ = 0, side_ = 0;
  // N^level for the levels where it fits in 64 bits (0 beyond).
  std::array<uint64_t, 65> powers_{};
  // Per level: 1 / N^level, and half a cell's side, (π/2)·R·(1 / N^level)·0.5.
  std::array<double, 65> inv_power_{}, half_{};
  double x_full_below_ = 0;  // the double below x_full_
  // triangle()'s offsets: [north] of h = x - tri_h_ and g = tri_g_ - x.
  double tri_h_[2] = {}, tri_g_[2] = {};
  // cap_x(c); the caps' centre ordinate and the sign of a cap, by [north];
  // cos and sin of k quarter turns.
  double cap_x_[4] = {}, cap_y_[2] = {}, sign_[2] = {-1.0, 1.0};
  double square_[2] = {};  // south_square, north_square as doubles
  uint32_t square_index_[2] = {};  // and as integers
  double turn_cos_[4] = {1, 0, -1, 0}, turn_sin_[4] = {0, 1, 0, -1};
  // side_turn's table: [north][(row > column) | (row + column > N^level - 1) << 1].
  GridKernel::Turn side_turn_[2][4]{};
  bool by_side_ = false;
};

// Validates the profile, then builds its grid.
Result<Grid> make_grid(const Profile& profile);

// Area of every cell of `level` of the grid, m².
inline double cell_area(const Grid& grid, uint32_t level) { return grid.cell_area(level); }

}  // namespace kivet
