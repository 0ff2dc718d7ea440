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
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kivet {

// Two doubles, lane by lane: the array kernels take two latitudes at a time.
typedef double Lanes2 __attribute__((vector_size(16)));

inline double lane_sqrt(double v) { return std::sqrt(v); }
inline Lanes2 lane_sqrt(Lanes2 v) {
#if defined(__SSE2__)
  return Lanes2(_mm_sqrt_pd(__m128d(v)));
#else
  return Lanes2{std::sqrt(v[0]), std::sqrt(v[1])};
#endif
}

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
  Authalic authalic_with_sine(double phi) const {
    double s, c;
    ::sincos(phi, &s, &c);
    return authalic_from(phi, s, c);
  }
  // The same from s = sin φ and c = cos φ computed by the caller.
  inline Authalic authalic_from(double phi, double s, double c) const;
  // auth_lat(true, xi, e) with the precomputed coefficients.
  double geodetic(double xi) const {
    if (e_ == 0) return xi;
    return xi + sine_series(inverse_, xi);
  }
  // The same from s = sin ξ, which the inverse projection has in hand as
  // the arcsine's argument, so that no sine of 2ξ is needed: by the
  // double-angle identities the series is sin ξ·cos ξ·Q(sin² ξ), with
  // cos ξ = sqrt((1 - s)(1 + s)) >= 0 for |ξ| <= π/2. 1 - |s| is exact for
  // |s| >= 1/2, so nothing is lost near the poles.
  double geodetic_from_sine(double xi, double s) const {
    return e_ == 0 ? xi : xi + series_from_sine(s);
  }
  // The series alone, for a double or two lanes (the same operations).
  template <class T>
  T series_from_sine(T s) const;
  // Σ c[k-1]·sin(2k·x), k = 1..6, by Clenshaw's recurrence: one sine/cosine
  // pair instead of six sines.
  static double sine_series(const std::array<double, 6>& c, double x) {
    return clenshaw(c, std::sin(2 * x), std::cos(2 * x));
  }
  static double clenshaw(const std::array<double, 6>& c, double s, double cos2) {
    double t = 2 * cos2;
    double b1 = 0, b2 = 0;
    for (int k = 5; k >= 0; --k) {
      double b0 = c[k] + t * b1 - b2;
      b2 = b1;
      b1 = b0;
    }
    return b1 * s;
  }

 private:
  double e_;
  bool closed_form_;  // forward direction uses the closed form (|f| > 1/150)
  double one_minus_e2_, half_over_e_, q_p_;
  std::array<double, 6> forward_{}, inverse_{};
  // The forward series as sin 2φ · P(cos 2φ): sin 2kφ = sin 2φ·U_{k-1}(cos 2φ).
  std::array<double, 6> forward_poly_{};
  // The inverse series as sin ξ·cos ξ·Q(sin² ξ): Q(u) = 2·P(1 - 2u), with P
  // as above for the inverse coefficients.
  std::array<double, 6> inverse_poly_{};
};

template <class T>
T Ellipsoid::series_from_sine(T s) const {
  // Estrin's scheme, as forward.
  const auto& a = inverse_poly_;
  T u = s * s, u2 = u * u;
  T q = (a[0] + a[1] * u) + u2 * ((a[2] + a[3] * u) + u2 * (a[4] + a[5] * u));
  T c = lane_sqrt((1 - s) * (1 + s));
  return (s * c) * q;
}

// Inline: the array functions call it once per point.
Ellipsoid::Authalic Ellipsoid::authalic_from(double phi, double s, double c) const {
  if (e_ == 0) return {phi, s};
  if (closed_form_) {
    double xi = authalic(phi);
    return {xi, std::sin(xi)};
  }
  // ξ = φ + S with S the series; sin ξ = sin φ·cos S + cos φ·sin S, where
  // |S| < 0.003 (for |f| <= 1/150) makes short Taylor sums of sin S and
  // cos S exact to a fraction of an ulp.
  // Estrin's scheme keeps the dependency chain short.
  const auto& a = forward_poly_;
  double x = (c - s) * (c + s), x2 = x * x;
  double p = (a[0] + a[1] * x) + x2 * ((a[2] + a[3] * x) + x2 * (a[4] + a[5] * x));
  double series = p * (2 * s * c);
  double s2 = series * series;
  // Dropped terms: S^7/5040 and S^6/720, below 1e-17.
  constexpr double kSixth = 1.0 / 6, kOver120 = 1.0 / 120, kOver24 = 1.0 / 24;
  double sin_s = series * (1 - s2 * (kSixth - s2 * kOver120));
  double cos_s = 1 - s2 * (0.5 - s2 * kOver24);
  return {phi + series, s * cos_s + c * sin_s};
}

}  // namespace kivet
