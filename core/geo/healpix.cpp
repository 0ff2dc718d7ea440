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

Result<LamPhi> healpix_sphere_inverse(double x, double y) {
  // Written so that NaN fails every test.
  if (!(std::fabs(x) < kPi + kTol && std::fabs(y) < kPi / 2 + kTol))
    return std::unexpected(Error::outside_projection(x, y));
  double ay = std::fabs(y);
  if (ay >= kPi / 4 + kTol) {
    double xc = healpix_cap_centre(x);
    if (ay + std::fabs(x - xc) >= kPi / 2 + kTol)
      return std::unexpected(Error::outside_projection(x, y));
  }
  if (ay <= kPi / 4) return LamPhi{x, std::asin(8 * y / (3 * kPi))};
  if (ay >= kPi / 2) return LamPhi{-kPi, std::copysign(kPi / 2, y)};
  double xc = healpix_cap_centre(x);
  double tau = 2 - 4 * ay / kPi;
  double lam = std::clamp(xc + (x - xc) / tau, -kPi, kPi);
  double xi = std::asin(1 - tau * tau / 3);
  return LamPhi{lam, y <= 0 ? -xi : xi};
}

}  // namespace kivet
