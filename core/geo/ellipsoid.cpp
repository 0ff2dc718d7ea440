#include "core/geo/ellipsoid.hpp"

#include <cmath>

namespace kivet {

namespace {

constexpr double kFlatteningThreshold = 1.0 / 150.0;

// n^k·P(n) where P's highest term may be given as num·n/den (the factor
// written that way keeps the same rounding as the published table).
double term(double n, int k, double p) {
  double nk = n;
  for (int i = 1; i < k; ++i) nk *= n;
  return nk * p;
}

double third_flattening(double e) {
  double f = 1 - std::sqrt(1 - e * e);
  return f / (std::sqrt(1 - e * e) + 1);
}

}  // namespace

std::array<double, 6> auth_lat_coefficients(bool inverse, double n) {
  if (!inverse) {
    return {
        term(n, 1, -4.0 / 3 + n * (-4.0 / 45 + n * (88.0 / 315 + n * (538.0 / 4725 +
                    n * (20824.0 / 467775 + n * (-44732.0 / 2837835)))))),
        term(n, 2, 34.0 / 45 + n * (8.0 / 105 + n * (-2482.0 / 14175 +
                    n * (-37192.0 / 467775 + n * (-12467764.0 / 212837625))))),
        term(n, 3, -1532.0 / 2835 + n * (-898.0 / 14175 + n * (54968.0 / 467775 +
                    n * 100320856.0 / 1915538625))),
        term(n, 4, 6007.0 / 14175 + n * (24496.0 / 467775 + n * (-5884124.0 / 70945875))),
        term(n, 5, -23356.0 / 66825 + n * (-839792.0 / 19348875)),
        term(n, 5, n * 570284222.0 / 1915538625),
    };
  }
  return {
      term(n, 1, 4.0 / 3 + n * (4.0 / 45 + n * (-16.0 / 35 + n * (-2582.0 / 14175 +
                  n * (60136.0 / 467775 + n * 28112932.0 / 212837625))))),
      term(n, 2, 46.0 / 45 + n * (152.0 / 945 + n * (-11966.0 / 14175 +
                  n * (-21016.0 / 51975 + n * 251310128.0 / 638512875)))),
      term(n, 3, 3044.0 / 2835 + n * (3802.0 / 14175 + n * (-94388.0 / 66825 +
                  n * (-8797648.0 / 10945935)))),
      term(n, 4, 6059.0 / 4725 + n * (41072.0 / 93555 + n * (-1472637812.0 / 638512875))),
      term(n, 5, 768272.0 / 467775 + n * 455935736.0 / 638512875),
      term(n, 5, n * 4210684958.0 / 1915538625),
  };
}

double eccentricity(double f) { return std::sqrt(f * (2 - f)); }

double authalic_radius(double a, double e) {
  if (e == 0) return a;
  double q_p = 1 - ((1 - e * e) / (2 * e)) * std::log((1 - e) / (1 + e));
  return a * std::sqrt(q_p / 2);
}

Ellipsoid::Ellipsoid(double e) : e_(e) {
  double f = 1 - std::sqrt(1 - e * e);
  closed_form_ = e != 0 && std::fabs(f) > kFlatteningThreshold;
  one_minus_e2_ = 1 - e * e;
  half_over_e_ = e == 0 ? 0 : one_minus_e2_ / (2 * e);
  q_p_ = e == 0 ? 2 : 1 - half_over_e_ * std::log((1 - e) / (1 + e));
  if (e != 0) {
    double n = third_flattening(e);
    forward_ = auth_lat_coefficients(false, n);
    inverse_ = auth_lat_coefficients(true, n);
    const auto& c = forward_;
    forward_poly_ = {c[0] - c[2] + c[4], 2 * c[1] - 4 * c[3] + 6 * c[5],
                     4 * c[2] - 12 * c[4],  8 * c[3] - 32 * c[5],
                     16 * c[4],             32 * c[5]};
    // Σ c_k·U_{k-1}(x) at x = 1 - 2u, by U_k = 2x·U_{k-1} - U_{k-2} on
    // coefficient arrays in u.
    std::array<double, 6> prev{}, cur{1}, sum{};
    for (int k = 0; k < 6; ++k) {
      for (int j = 0; j < 6; ++j) sum[j] += inverse_[k] * cur[j];
      std::array<double, 6> next{};
      for (int j = 0; j < 6; ++j) {
        next[j] += 2 * cur[j] - prev[j];
        if (j + 1 < 6) next[j + 1] -= 4 * cur[j];
      }
      prev = cur;
      cur = next;
    }
    for (int j = 0; j < 6; ++j) inverse_poly_[j] = 2 * sum[j];
  }
}

double Ellipsoid::authalic(double phi) const {
  if (e_ == 0) return phi;
  if (closed_form_) {
    double s = std::sin(phi);
    double q = one_minus_e2_ * s / (1 - e_ * e_ * s * s) -
               half_over_e_ * std::log((1 - e_ * s) / (1 + e_ * s));
    double t = q / q_p_;
    if (std::fabs(t) > 1) t = std::copysign(1.0, t);
    return std::asin(t);
  }
  return phi + Ellipsoid::sine_series(forward_, phi);
}

double auth_lat(bool inverse, double angle, double e) {
  Ellipsoid ell(e);
  return inverse ? ell.geodetic(angle) : ell.authalic(angle);
}

}  // namespace kivet
