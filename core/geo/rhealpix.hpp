// The rHEALPix projection of the ellipsoid: authalic latitude, HEALPix, then
// the four triangles of each polar cap rearranged into one polar square placed
// above (north_square) and below (south_square) an equatorial square 0..3.
//
// Unit-plane image: the band -π <= x < π, |y| <= π/4, and two squares of side
// π/2. With rearrange = false the functions give plain HEALPix. Pure functions,
// reentrant, no allocation.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>

#include "core/error.hpp"
#include "core/geo/ellipsoid.hpp"
#include "core/geo/healpix.hpp"

namespace kivet {

// Which polar square a point lies in and the cap r (0..3) owning its triangle.
struct Triangle {
  bool north = true;
  uint32_t cap = 0;
};

// Nothing for a point of the equatorial band (|y| <= π/4).
std::optional<Triangle> triangle(uint32_t north_square, uint32_t south_square,
                                 double x, double y);

// Forward projection of (λ, φ) radians, λ relative to the prime meridian in
// [-π, π). Cannot fail.
Unit rhealpix_ellipsoid(uint32_t north_square, uint32_t south_square,
                        bool rearrange, double lam, double phi, const Ellipsoid& ell);
Unit rhealpix_ellipsoid(uint32_t north_square, uint32_t south_square,
                        bool rearrange, double lam, double phi, double e);

// (dx, dy) turned counterclockwise by k quarter turns.
inline Unit rotate_quarter(double dx, double dy, uint32_t k) {
  switch (k & 3) {
    case 0: return {dx, dy};
    case 1: return {-dy, dx};
    case 2: return {-dx, -dy};
    default: return {dy, -dx};
  }
}

// The x of the centre of square or cap c (0..3).
inline double cap_x(uint32_t c) {
  constexpr double kPi = std::numbers::pi;
  return c * (kPi / 2) - 3 * kPi / 4;
}

// A plain HEALPix point moved into the layout: a cap point (|y| > π/4) is
// turned into its polar square, any other returned unchanged.
inline Unit rearrange(uint32_t north_square, uint32_t south_square, Unit p) {
  constexpr double kPi = std::numbers::pi;
  if (p.y >= -kPi / 4 && p.y <= kPi / 4) return p;
  uint32_t w = p.x < -kPi / 2 ? 0 : p.x < 0 ? 1 : p.x < kPi / 2 ? 2 : 3;
  bool north = p.y > kPi / 4;
  double dy = p.y - (north ? kPi / 2 : -kPi / 2);
  double dx = p.x - cap_x(w);
  uint32_t k = north ? (w + 4 - north_square % 4) % 4 : (south_square % 4 + 4 - w) % 4;
  Unit d = rotate_quarter(dx, dy, k);
  uint32_t s = north ? north_square % 4 : south_square % 4;
  return {cap_x(s) + d.x, (north ? kPi / 2 : -kPi / 2) + d.y};
}

// Inverse projection of a unit-plane point to (λ, φ) radians, or the
// projection error for a point outside the image.
Result<LamPhi> rhealpix_ellipsoid_inverse(uint32_t north_square,
                                          uint32_t south_square, bool rearrange,
                                          double x, double y, const Ellipsoid& ell);
Result<LamPhi> rhealpix_ellipsoid_inverse(uint32_t north_square,
                                          uint32_t south_square, bool rearrange,
                                          double x, double y, double e);

}  // namespace kivet
