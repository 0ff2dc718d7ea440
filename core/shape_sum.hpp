// Shape sums: a cheap, exact-when-different, almost surely
// exact-when-equal summary of a subtree, computed as branches are made.
//
// A canonical node stands for its Full cells. Give every (height, digit) pair
// an independent secret key x in GF(p), p = 2^61 - 1, and map a node to
//   Empty -> 0,  Full -> 1,  Branch at height h -> sum_i x[h][i] * sum(child i).
// Expanded, that is the sum over Full cells of the product of the keys along
// the cell's path: one distinct multilinear monomial per cell, so two
// different cell sets give different polynomials of degree at most the
// height. By Schwartz-Zippel they agree at the random keys with probability
// at most height / p; two independent lanes make that at most (64 / p)^2,
// about 2^-110, far below the hardware's own error rate.
//
// Equal sets always give equal sums, so differing sums prove
// two subtrees differ. The keys are drawn once per process from the system's
// entropy and never leave it (no serialised form carries a sum), so
// no input can be chosen to collide.
#pragma once

#include <cstdint>

namespace kivet {

struct ShapeSum {
  uint64_t lane[2] = {0, 0};
  friend bool operator==(const ShapeSum&, const ShapeSum&) = default;
};

namespace shape_sum {

inline constexpr uint64_t kPrime = (uint64_t(1) << 61) - 1;

inline uint64_t add(uint64_t x, uint64_t y) {
  uint64_t s = x + y;  // both < 2^61: no overflow
  return s >= kPrime ? s - kPrime : s;
}

inline uint64_t mul(uint64_t x, uint64_t y) {
  unsigned __int128 m = static_cast<unsigned __int128>(x) * y;
  uint64_t s = (uint64_t(m) & kPrime) + uint64_t(m >> 61);
  return s >= kPrime ? s - kPrime : s;
}

// Heights and digits below these come from a table; larger digits (apertures
// above 64) are derived on demand.
inline constexpr uint32_t kHeights = 64, kDigits = 64;

struct Keys {
  // [height][digit][lane]
  uint64_t table[kHeights][kDigits][2];
  uint64_t seed[2];
};

// The process's keys, drawn on first use.
const Keys& keys();

// The key pair of digit `i` under a node of height `h` (1 <= h < 64).
void key(uint32_t h, uint32_t i, uint64_t out[2]);

}  // namespace shape_sum
}  // namespace kivet
