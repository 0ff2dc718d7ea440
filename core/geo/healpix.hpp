// HEALPix on the unit sphere: the equal-area map of (λ, authalic ξ) onto the
// plane, four polar triangles per cap. Unit-plane coordinates (planar metres
// divided by the authalic radius R).
#pragma once

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

// Forward HEALPix of (λ, ξ), λ in [-π, π).
Unit healpix_sphere(double lam, double xi);
// The same with sin ξ supplied by the caller.
Unit healpix_sphere(double lam, double xi, double sin_xi);

// (λ, ξ) of a point of the HEALPix image, or the projection error carrying
// (x, y) when the point is outside it.
Result<LamPhi> healpix_sphere_inverse(double x, double y);

}  // namespace kivet
