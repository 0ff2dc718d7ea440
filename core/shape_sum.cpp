#include "core/shape_sum.hpp"

#include <chrono>
#include <random>

namespace kivet::shape_sum {

namespace {

// SplitMix64: spreads one secret seed into independent-looking keys.
uint64_t mix(uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint64_t derive(uint64_t seed, uint32_t h, uint32_t i) {
  // Rejection keeps the key uniform below p.
  for (uint64_t n = 0;; ++n) {
    uint64_t v = mix(seed ^ mix((uint64_t(h) << 40) ^ (uint64_t(i) << 8) ^ n)) >> 3;
    if (v < kPrime) return v;
  }
}

Keys draw() {
  Keys k{};
  try {
    std::random_device device;
    for (uint64_t& s : k.seed) s = (uint64_t(device()) << 32) ^ device();
  } catch (...) {
    // No entropy device: the clock and an address still keep keys unguessable
    // enough for a structural shortcut.
    uint64_t t = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    k.seed[0] = mix(t ^ reinterpret_cast<uintptr_t>(&k));
    k.seed[1] = mix(k.seed[0] ^ uint64_t(std::chrono::system_clock::now().time_since_epoch().count()));
  }
  for (uint32_t h = 0; h < kHeights; ++h)
    for (uint32_t i = 0; i < kDigits; ++i)
      for (int lane = 0; lane < 2; ++lane) k.table[h][i][lane] = derive(k.seed[lane], h, i);
  return k;
}

}  // namespace

const Keys& keys() {
  static const Keys k = draw();
  return k;
}

void key(uint32_t h, uint32_t i, uint64_t out[2]) {
  const Keys& k = keys();
  for (int lane = 0; lane < 2; ++lane)
    out[lane] = i < kDigits ? k.table[h][i][lane] : derive(k.seed[lane], h, i);
}

}  // namespace kivet::shape_sum
