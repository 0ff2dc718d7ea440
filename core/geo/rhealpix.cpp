#include "core/geo/rhealpix.hpp"

#include <cmath>
#include <numbers>

namespace kivet {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kEps = 1e-15;

}  // namespace

std::optional<Triangle> triangle(uint32_t north_square, uint32_t south_square,
                                 double x, double y) {
  if (y > kPi / 4) {
    double ns = north_square;
    double h = x - ((ns - 1) * (kPi / 2) - 3 * kPi / 4);
    double g = ((ns + 1) * (kPi / 2) - 3 * kPi / 4) - x;
    uint32_t r = north_square;
    if (y < h - kEps && y >= g - kEps)
      r += 1;  // east
    else if (y >= h - kEps && y > g + kEps)
      r += 2;  // top
    else if (y > h + kEps && y <= g + kEps)
      r += 3;  // west
    return Triangle{true, r % 4};
  }
  if (y < -kPi / 4) {
    double ss = south_square;
    double h = x - ((ss + 1) * (kPi / 2) - 3 * kPi / 4);
    double g = ((ss - 1) * (kPi / 2) - 3 * kPi / 4) - x;
    uint32_t r = south_square;
    if (y <= h + kEps && y > g + kEps)
      r += 1;
    else if (y < h - kEps && y <= g + kEps)
      r += 2;
    else if (y >= h - kEps && y < g - kEps)
      r += 3;
    return Triangle{false, r % 4};
  }
  return std::nullopt;
}

Unit rhealpix_ellipsoid(uint32_t north_square, uint32_t south_square,
                        bool rearrange, double lam, double phi, const Ellipsoid& ell) {
  auto a = ell.authalic_with_sine(phi);
  Unit p = healpix_sphere(lam, a.xi, a.sin_xi);
  return rearrange ? kivet::rearrange(north_square, south_square, p) : p;
}

Unit rhealpix_ellipsoid(uint32_t north_square, uint32_t south_square,
                        bool rearrange, double lam, double phi, double e) {
  return rhealpix_ellipsoid(north_square, south_square, rearrange, lam, phi,
                            Ellipsoid(e));
}

Result<LamPhi> rhealpix_ellipsoid_inverse(uint32_t north_square,
                                          uint32_t south_square, bool rearrange,
                                          double x, double y, const Ellipsoid& ell) {
  north_square %= 4;
  south_square %= 4;
  // Negated so that NaN is outside.
  bool inside;
  if (std::fabs(y) >= kPi / 4 + kEps) {
    double m = y > 0 ? north_square : south_square;
    inside = std::fabs(y) < 3 * kPi / 4 + kEps &&
             m * (kPi / 2) - kPi - kEps < x && x < (m + 1) * (kPi / 2) - kPi + kEps;
  } else {
    inside = std::fabs(x) < kPi + kEps;
  }
  if (!inside) return std::unexpected(Error::outside_projection(x, y));
  if (rearrange) {
    if (auto t = triangle(north_square, south_square, x, y)) {
      uint32_t s = t->north ? north_square : south_square;
      uint32_t turns = t->north ? (north_square + 4 - t->cap) % 4
                                : (t->cap + 4 - south_square) % 4;
      double cy = t->north ? kPi / 2 : -kPi / 2;
      Unit d = rotate_quarter(x - cap_x(s), y - cy, turns);
      x = cap_x(t->cap) + d.x;
      y = cy + d.y;
    }
  }
  auto sphere = healpix_sphere_inverse(x, y);
  if (!sphere) return std::unexpected(sphere.error());
  return LamPhi{sphere->lam, ell.geodetic_from_sine(sphere->xi, sphere->sin_xi)};
}

Result<LamPhi> rhealpix_ellipsoid_inverse(uint32_t north_square,
                                          uint32_t south_square, bool rearrange,
                                          double x, double y, double e) {
  return rhealpix_ellipsoid_inverse(north_square, south_square, rearrange, x, y,
                                    Ellipsoid(e));
}

}  // namespace kivet
