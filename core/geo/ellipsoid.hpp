// The ellipsoid of a profile and its authalic (equal-area) latitude.
//
// The rHEALPix projection is equal-area because geodetic latitudes are first
// replaced by authalic latitudes on a sphere of the same area, radius R. For
// flattening up to 1/150 (the Earth) both directions use the sixth-order
// series in the third flattening n; stronger flattening uses the closed form
// forward. Ellipsoid precomputes everything per profile, so a conversion costs
// one sine/cosine pair and a Clenshaw sum. Plain value, copied freely.
#pragma once

#include <array>

namespace kivet {

// C1..C6 of the authalic series (forward: geodetic to authalic; inverse:
// authalic to geodetic), each n^k times a Horner polynomial in n.
std::array<double, 6> auth_lat_coefficients(bool inverse, double n);

// Authalic latitude from geodetic (inverse = false) or geodetic from
// authalic (inverse = true), radians. e = 0 returns the angle unchanged.
double auth_lat(bool inverse, double angle, double e);

// Eccentricity from flattening: sqrt(f(2 - f)).
double eccentricity(double f);

// Authalic radius of the ellipsoid (a, e): a when e = 0, else a·sqrt(q_p/2).
double authalic_radius(double a, double e);

class Ellipsoid {
 public:
  // REQUIRES: 0 <= e < 1.
  explicit Ellipsoid(double e);

  double e() const { return e_; }
  // auth_lat(false, phi, e) with the precomputed coefficients.
  double authalic(double phi) const;
  // The authalic latitude and its sine from one sine/cosine pair of phi.
  struct Authalic {
    double xi, sin_xi;
  };
  Authalic authalic_with_sine(double phi) const;
  // auth_lat(true, xi, e) with the precomputed coefficients.
  double geodetic(double xi) const;

 private:
  double e_;
  bool closed_form_;  // forward direction uses the closed form (|f| > 1/150)
  double one_minus_e2_, half_over_e_, q_p_;
  std::array<double, 6> forward_{}, inverse_{};
  // The forward series as sin 2φ · P(cos 2φ): sin 2kφ = sin 2φ·U_{k-1}(cos 2φ).
  std::array<double, 6> forward_poly_{};
};

}  // namespace kivet
