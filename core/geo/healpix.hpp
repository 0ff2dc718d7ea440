// HEALPix on the unit sphere: the equal-area map of (λ, authalic ξ) onto the
// plane, four polar triangles per cap. Unit-plane coordinates (planar metres
// divided by the authalic radius R).
#pragma once

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/error.hpp"

namespace kivet {

// A point of the unit plane.
struct Unit {
  double x = 0, y = 0;
};

// Longitude relative to the prime meridian and a latitude, radians.
struct LamPhi {
  double lam = 0, phi = 0;
};

// The x of the centre of the polar triangle holding x.
inline double healpix_cap_centre(double x) {
  constexpr double kPi = std::numbers::pi;
  double c = std::clamp(std::floor(2 * x / kPi + 2), 0.0, 3.0);
  return c * (kPi / 2) - 3 * kPi / 4;
}

// asin(2/3): the authalic latitude of the caps' boundary.
inline const double kHealpixPhi0 = std::asin(2.0 / 3.0);

// Forward HEALPix of (λ, ξ), λ in [-π, π).
Unit healpix_sphere(double lam, double xi);
// The same with sin ξ supplied by the caller (inline: called per point).
inline Unit healpix_sphere(double lam, double xi, double sin_xi) {
  constexpr double kPi = std::numbers::pi;
  if (std::fabs(xi) <= kHealpixPhi0) return {lam, (3 * kPi / 8) * sin_xi};
  double xc = healpix_cap_centre(lam);
  double sigma = std::sqrt(3 * (1 - std::fabs(sin_xi)));
  double sign = xi > 0 ? 1.0 : (xi < 0 ? -1.0 : 0.0);
  return {xc + sigma * (lam - xc), sign * (kPi / 4) * (2 - sigma)};
}

// λ and the authalic ξ of a point of the HEALPix image, with sin ξ.
struct LamXi {
  double lam = 0, xi = 0, sin_xi = 0;
};

// (λ, ξ) of a point of the HEALPix image, or the projection error carrying
// (x, y) when the point is outside it. ξ is the arcsine of |sin ξ| with the
// sign put back (asin is odd), so that the array kernels can group their
// arcsines by argument.
Result<LamXi> healpix_sphere_inverse(double x, double y);

}  // namespace kivet
