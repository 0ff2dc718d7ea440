#include "core/geo/healpix.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kivet {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTol = 1e-10;

}  // namespace

Unit healpix_sphere(double lam, double xi) { return healpix_sphere(lam, xi, std::sin(xi)); }

Result<LamXi> healpix_sphere_inverse(double x, double y) {
  // Written so that NaN fails every test.
  if (!(std::fabs(x) < kPi + kTol && std::fabs(y) < kPi / 2 + kTol))
    return std::unexpected(Error::outside_projection(x, y));
  double ay = std::fabs(y);
  if (ay >= kPi / 4 + kTol) {
    double xc = healpix_cap_centre(x);
    if (ay + std::fabs(x - xc) >= kPi / 2 + kTol)
      return std::unexpected(Error::outside_projection(x, y));
  }
  if (ay <= kPi / 4) {
    double s = 8 * y / (3 * kPi);
    return LamXi{x, std::copysign(std::asin(std::fabs(s)), s), s};
  }
  if (ay >= kPi / 2) return LamXi{-kPi, std::copysign(kPi / 2, y), std::copysign(1.0, y)};
  double xc = healpix_cap_centre(x);
  double tau = 2 - 4 * ay / kPi;
  double lam = std::clamp(xc + (x - xc) / tau, -kPi, kPi);
  double s = 1 - tau * tau / 3;
  double xi = std::asin(s);
  return y <= 0 ? LamXi{lam, -xi, -s} : LamXi{lam, xi, s};
}

}  // namespace kivet
