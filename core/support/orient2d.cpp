#include "core/support/orient2d.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

namespace kivet::detail {
namespace {

// ---------------------------------------------------------------------------
// Expansion arithmetic (Shewchuk 1997, section 2). An expansion is a sum of
// doubles, nonoverlapping and ordered by increasing magnitude; its sign is the
// sign of its last (largest) component.

constexpr double kEps = 0x1p-53;
constexpr double kResultErrBound = (3.0 + 8.0 * kEps) * kEps;
constexpr double kCcwErrBoundB = (2.0 + 12.0 * kEps) * kEps;
constexpr double kCcwErrBoundC = (9.0 + 64.0 * kEps) * kEps * kEps;

// x + y = a + b exactly, with |a| >= |b| or a = 0.
inline void fast_two_sum(double a, double b, double& x, double& y) {
  x = a + b;
  y = b - (x - a);
}

// x + y = a + b exactly.
inline void two_sum(double a, double b, double& x, double& y) {
  x = a + b;
  const double bvirt = x - a;
  const double avirt = x - bvirt;
  y = (a - avirt) + (b - bvirt);
}

// The rounding error of x = a - b.
inline double two_diff_tail(double a, double b, double x) {
  const double bvirt = a - x;
  const double avirt = x + bvirt;
  return (a - avirt) + (bvirt - b);
}

inline void two_diff(double a, double b, double& x, double& y) {
  x = a - b;
  y = two_diff_tail(a, b, x);
}

// x + y = a * b exactly (the fused multiply-add rounds once).
inline void two_product(double a, double b, double& x, double& y) {
  x = a * b;
  y = std::fma(a, b, -x);
}

// (a1 + a0) - (b1 + b0) as the four-component expansion x3..x0.
inline void two_two_diff(double a1, double a0, double b1, double b0, double x[4]) {
  double i, j, k;
  // (a1 + a0) - b0
  two_diff(a0, b0, i, x[0]);
  two_sum(a1, i, j, k);
  // (j + k) - b1
  two_diff(k, b1, i, x[1]);
  two_sum(j, i, x[3], x[2]);
}

// h = e + f with zero components removed; returns the length of h.
// REQUIRES: e and f nonoverlapping and increasing in magnitude; h has room
// for elen + flen components.
int fast_expansion_sum_zeroelim(int elen, const double* e, int flen, const double* f,
                                double* h) {
  int ei = 0, fi = 0, hi = 0;
  double q, qnew, hh;
  auto take_e = [&](double fnow, double enow) { return (fnow > enow) == (fnow > -enow); };
  if (take_e(f[0], e[0])) {
    q = e[ei++];
  } else {
    q = f[fi++];
  }
  if (ei < elen && fi < flen) {
    if (take_e(f[fi], e[ei])) {
      fast_two_sum(e[ei++], q, qnew, hh);
    } else {
      fast_two_sum(f[fi++], q, qnew, hh);
    }
    q = qnew;
    if (hh != 0) h[hi++] = hh;
    while (ei < elen && fi < flen) {
      if (take_e(f[fi], e[ei])) {
        two_sum(q, e[ei++], qnew, hh);
      } else {
        two_sum(q, f[fi++], qnew, hh);
      }
      q = qnew;
      if (hh != 0) h[hi++] = hh;
    }
  }
  while (ei < elen) {
    two_sum(q, e[ei++], qnew, hh);
    q = qnew;
    if (hh != 0) h[hi++] = hh;
  }
  while (fi < flen) {
    two_sum(q, f[fi++], qnew, hh);
    q = qnew;
    if (hh != 0) h[hi++] = hh;
  }
  if (q != 0 || hi == 0) h[hi++] = q;
  return hi;
}

inline int sign_of(double v) { return (v > 0) - (v < 0); }

// orient2dadapt: stages B, C and D of the published predicate.
int orient2d_adapt(double ax, double ay, double bx, double by, double px, double py,
                   double detsum) {
  const double acx = ax - px, bcx = bx - px, acy = ay - py, bcy = by - py;

  double detleft, detlefttail, detright, detrighttail;
  two_product(acx, bcy, detleft, detlefttail);
  two_product(acy, bcx, detright, detrighttail);
  double b[4];
  two_two_diff(detleft, detlefttail, detright, detrighttail, b);

  double det = b[0] + b[1] + b[2] + b[3];
  double errbound = kCcwErrBoundB * detsum;
  if (det >= errbound || -det >= errbound) return sign_of(det);

  const double acxtail = two_diff_tail(ax, px, acx);
  const double bcxtail = two_diff_tail(bx, px, bcx);
  const double acytail = two_diff_tail(ay, py, acy);
  const double bcytail = two_diff_tail(by, py, bcy);
  if (acxtail == 0 && acytail == 0 && bcxtail == 0 && bcytail == 0) return sign_of(det);

  errbound = kCcwErrBoundC * detsum + kResultErrBound * std::fabs(det);
  det += (acx * bcytail + bcy * acxtail) - (acy * bcxtail + bcx * acytail);
  if (det >= errbound || -det >= errbound) return sign_of(det);

  double s1, s0, t1, t0, u[4];
  double c1[8], c2[12], d[16];
  two_product(acxtail, bcy, s1, s0);
  two_product(acytail, bcx, t1, t0);
  two_two_diff(s1, s0, t1, t0, u);
  const int c1len = fast_expansion_sum_zeroelim(4, b, 4, u, c1);

  two_product(acx, bcytail, s1, s0);
  two_product(acy, bcxtail, t1, t0);
  two_two_diff(s1, s0, t1, t0, u);
  const int c2len = fast_expansion_sum_zeroelim(c1len, c1, 4, u, c2);

  two_product(acxtail, bcytail, s1, s0);
  two_product(acytail, bcxtail, t1, t0);
  two_two_diff(s1, s0, t1, t0, u);
  const int dlen = fast_expansion_sum_zeroelim(c2len, c2, 4, u, d);
  return sign_of(d[dlen - 1]);
}

// ---------------------------------------------------------------------------
// Exact integers for inputs of extreme magnitude. Every finite double is an
// integer multiple of 2^-1074 below 2^1024, so after scaling by 2^1074 the
// coordinates are integers of at most 2098 bits, their differences of 2099
// bits and the two products of 4198 bits.

constexpr int kLimbs = 66;  // 4224 bits

struct Big {
  std::array<uint64_t, kLimbs> mag{};
  int sign = 0;  // -1, 0, +1
};

Big from_double(double v) {
  Big out;
  if (v == 0) return out;
  const uint64_t bits = std::bit_cast<uint64_t>(v);
  const int biased = int((bits >> 52) & 0x7ff);
  uint64_t m = bits & ((uint64_t(1) << 52) - 1);
  int shift = 0;  // v = m * 2^(shift - 1074)
  if (biased != 0) {
    m |= uint64_t(1) << 52;
    shift = biased - 1;
  }
  const int limb = shift / 64, bit = shift % 64;
  out.mag[limb] = m << bit;
  if (bit != 0) out.mag[limb + 1] = m >> (64 - bit);
  out.sign = bits >> 63 ? -1 : 1;
  return out;
}

int compare_mag(const Big& a, const Big& b) {
  for (int i = kLimbs - 1; i >= 0; --i) {
    if (a.mag[i] != b.mag[i]) return a.mag[i] < b.mag[i] ? -1 : 1;
  }
  return 0;
}

// |a| - |b|, REQUIRES |a| >= |b|.
std::array<uint64_t, kLimbs> sub_mag(const Big& a, const Big& b) {
  std::array<uint64_t, kLimbs> out{};
  uint64_t borrow = 0;
  for (int i = 0; i < kLimbs; ++i) {
    const uint64_t x = a.mag[i], y = b.mag[i];
    const uint64_t d = x - y - borrow;
    borrow = (x < y) || (x - y < borrow) ? 1 : 0;
    out[i] = d;
  }
  return out;
}

std::array<uint64_t, kLimbs> add_mag(const Big& a, const Big& b) {
  std::array<uint64_t, kLimbs> out{};
  unsigned __int128 carry = 0;
  for (int i = 0; i < kLimbs; ++i) {
    carry += (unsigned __int128)a.mag[i] + b.mag[i];
    out[i] = uint64_t(carry);
    carry >>= 64;
  }
  return out;
}

Big subtract(const Big& a, const Big& b) {
  Big out;
  if (b.sign == 0) return a;
  if (a.sign == 0) {
    out = b;
    out.sign = -b.sign;
    return out;
  }
  if (a.sign != b.sign) {  // a - b = a + |b| with a's sign
    out.mag = add_mag(a, b);
    out.sign = a.sign;
    return out;
  }
  const int c = compare_mag(a, b);
  if (c == 0) return out;
  if (c > 0) {
    out.mag = sub_mag(a, b);
    out.sign = a.sign;
  } else {
    out.mag = sub_mag(b, a);
    out.sign = -a.sign;
  }
  return out;
}

// REQUIRES: both magnitudes below 2^(64 * kLimbs / 2).
Big multiply(const Big& a, const Big& b) {
  Big out;
  if (a.sign == 0 || b.sign == 0) return out;
  constexpr int kHalf = kLimbs / 2;
  for (int i = 0; i < kHalf; ++i) {
    if (a.mag[i] == 0) continue;
    unsigned __int128 carry = 0;
    for (int j = 0; j < kHalf; ++j) {
      carry += (unsigned __int128)a.mag[i] * b.mag[j] + out.mag[i + j];
      out.mag[i + j] = uint64_t(carry);
      carry >>= 64;
    }
    out.mag[i + kHalf] = uint64_t(carry);
  }
  out.sign = a.sign * b.sign;
  return out;
}

int orient2d_integer(double ax, double ay, double bx, double by, double px, double py) {
  const Big x = from_double(px), y = from_double(py);
  const Big left = multiply(subtract(from_double(ax), x), subtract(from_double(by), y));
  const Big right = multiply(subtract(from_double(ay), y), subtract(from_double(bx), x));
  return subtract(left, right).sign;
}

// Inside this range the expansion stages are exact: differences and their
// tails are multiples of 2^-537 below 2^501, so no product overflows and none
// loses bits to underflow.
inline bool in_expansion_range(double v) {
  const double m = std::fabs(v);
  return (m >= 0x1p-485 && m <= 0x1p500) || m == 0;
}

}  // namespace

int orient2d_exact(double ax, double ay, double bx, double by, double px, double py) {
  if (!(in_expansion_range(ax) && in_expansion_range(ay) && in_expansion_range(bx) &&
        in_expansion_range(by) && in_expansion_range(px) && in_expansion_range(py)))
    return orient2d_integer(ax, ay, bx, by, px, py);
  const double detleft = (ax - px) * (by - py);
  const double detright = (ay - py) * (bx - px);
  const double det = detleft - detright;
  const double detsum = std::fabs(detleft) + std::fabs(detright);
  // Stage A once more (the inline filter may have skipped it for range).
  const double errbound = 3.3306690621773724e-16 * detsum;
  if ((det > errbound || -det > errbound)) return sign_of(det);
  if (detsum == 0) return 0;  // both products exactly zero within the range
  return orient2d_adapt(ax, ay, bx, by, px, py, detsum);
}

}  // namespace kivet::detail
