// The rHEALPix projection of the ellipsoid: authalic latitude, HEALPix, then
// the four triangles of each polar cap rearranged into one polar square placed
// above (north_square) and below (south_square) an equatorial square 0..3.
//
// Unit-plane image: the band -π <= x < π, |y| <= π/4, and two squares of side
// π/2. With rearrange = false the functions give plain HEALPix. Pure functions,
// reentrant, no allocation.
#pragma once

#include <cstdint>
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

// A plain HEALPix point moved into the layout: a cap point (|y| > π/4) is
// turned into its polar square, any other returned unchanged.
Unit rearrange(uint32_t north_square, uint32_t south_square, Unit p);

// Inverse projection of a unit-plane point to (λ, φ) radians, or the
// projection error for a point outside the image.
Result<LamPhi> rhealpix_ellipsoid_inverse(uint32_t north_square,
                                          uint32_t south_square, bool rearrange,
                                          double x, double y, const Ellipsoid& ell);
Result<LamPhi> rhealpix_ellipsoid_inverse(uint32_t north_square,
                                          uint32_t south_square, bool rearrange,
                                          double x, double y, double e);

}  // namespace kivet
