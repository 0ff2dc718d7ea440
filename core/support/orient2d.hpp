// Shewchuk's adaptive-precision orientation predicate ("Adaptive Precision
// Floating-Point Arithmetic and Fast Robust Geometric Predicates", 1997).
//
// orient2d(a, b, p) has the sign of (ax - px)(by - py) - (ay - py)(bx - px):
// positive when a, b, p turn counterclockwise, negative when clockwise, zero
// when collinear. The sign is exact for every finite input. A cheap filter
// decides almost every call; only near-degenerate inputs pay for the exact
// expansion stages. Inputs of extreme magnitude (beyond 2^500, or nonzero
// below 2^-485, where products could overflow or lose bits in underflow) are
// decided by exact integer arithmetic instead.
//
// REQUIRES: round-to-nearest-even double arithmetic (IEEE 754, no x87).
#pragma once

#include <cmath>

namespace kivet {

// Exact sign of the orientation determinant: -1, 0 or +1.
int orient2d_sign(double ax, double ay, double bx, double by, double px, double py);

namespace detail {
// The adaptive stages, for the calls the inline filter cannot decide.
int orient2d_exact(double ax, double ay, double bx, double by, double px, double py);
}  // namespace detail

// The filter, inline so the common case costs two products and a compare.
inline int orient2d_sign(double ax, double ay, double bx, double by, double px,
                         double py) {
  const double acx = ax - px, bcy = by - py, acy = ay - py, bcx = bx - px;
  const double detleft = acx * bcy;
  const double detright = acy * bcx;
  const double det = detleft - detright;
  // (3 + 16 eps) eps with eps = 2^-53: the bound on the rounding error of det.
  const double errbound = 3.3306690621773724e-16 * (std::fabs(detleft) +
                                                     std::fabs(detright));
  // The bound assumes no overflow and no product lost to underflow; a
  // difference of 0 or between 2^-485 and 2^500 keeps both away.
  auto moderate = [](double d) {
    const double m = std::fabs(d);
    return (m >= 0x1p-485 && m < 0x1p500) || m == 0;
  };
  if (moderate(acx) && moderate(bcy) && moderate(acy) && moderate(bcx)) {
    if (det > errbound) return 1;
    if (-det > errbound) return -1;
    if (errbound == 0) return 0;  // both products exactly zero
  }
  return detail::orient2d_exact(ax, ay, bx, by, px, py);
}

}  // namespace kivet
