#include "core/support/sha256.hpp"

#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define KIVET_SHA_NI 1
#endif

namespace kivet {

namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1,
    0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3,
    0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
    0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
    0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
    0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
    0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress_portable(uint32_t state[8], const uint8_t* block, size_t blocks) {
  for (; blocks; --blocks, block += 64) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = uint32_t(block[4 * i]) << 24 | uint32_t(block[4 * i + 1]) << 16 |
             uint32_t(block[4 * i + 2]) << 8 | uint32_t(block[4 * i + 3]);
    for (int i = 16; i < 64; ++i) {
      uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
      uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) +
                    ((e & f) ^ (~e & g)) + kRound[i] + w[i];
      uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) +
                    ((a & b) ^ (a & c) ^ (b & c));
      h = g; g = f; f = e; e = d + t1;
      d = c; c = b; b = a; a = t1 + t2;
    }
    state[0] += a; state[1] += b; state[2] += c; state[3] += d;
    state[4] += e; state[5] += f; state[6] += g; state[7] += h;
  }
}

#ifdef KIVET_SHA_NI
// The same compression with the SHA extensions; compiled for them alone so
// the rest of the build needs no CPU flags, and called only when cpuid
// reports them.
__attribute__((target("sha,sse4.1"))) void compress_hardware(uint32_t state[8],
                                                             const uint8_t* block,
                                                             size_t blocks) {
  const __m128i kByteSwap =
      _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i cdgh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  tmp = _mm_shuffle_epi32(tmp, 0xB1);        // CDAB
  cdgh = _mm_shuffle_epi32(cdgh, 0x1B);      // EFGH
  __m128i abef = _mm_alignr_epi8(tmp, cdgh, 8);
  cdgh = _mm_blend_epi16(cdgh, tmp, 0xF0);
  for (; blocks; --blocks, block += 64) {
    const __m128i abef_in = abef, cdgh_in = cdgh;
    __m128i w[4];
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) {
      __m128i& m = w[i & 3];
      if (i < 4) {
        m = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i)),
            kByteSwap);
      } else {
        // W[t] = σ1(W[t-2]) + W[t-7] + σ0(W[t-15]) + W[t-16], four at a time.
        __m128i x = _mm_sha256msg1_epu32(m, w[(i + 1) & 3]);
        x = _mm_add_epi32(x, _mm_alignr_epi8(w[(i + 3) & 3], w[(i + 2) & 3], 4));
        m = _mm_sha256msg2_epu32(x, w[(i + 3) & 3]);
      }
      __m128i k = _mm_add_epi32(
          m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * i)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, k);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(k, 0x0E));
    }
    abef = _mm_add_epi32(abef, abef_in);
    cdgh = _mm_add_epi32(cdgh, cdgh_in);
  }
  tmp = _mm_shuffle_epi32(abef, 0x1B);       // FEBA
  cdgh = _mm_shuffle_epi32(cdgh, 0xB1);      // DCHG
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(tmp, cdgh, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(cdgh, tmp, 8));
}

bool cpu_has_sha() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return ssse3 && sse41 && (b & (1u << 29));
}
#endif

using Compress = void (*)(uint32_t*, const uint8_t*, size_t);

Compress best_compress() {
#ifdef KIVET_SHA_NI
  if (cpu_has_sha()) return compress_hardware;
#endif
  return compress_portable;
}

// Read on every block; atomic only because tests may switch it while other
// threads hash.
std::atomic<Compress> g_compress{best_compress()};

inline void compress(uint32_t* state, const uint8_t* block, size_t blocks) {
  Compress f = g_compress.load(std::memory_order_relaxed);
  // Null only while static initialisers of other files run.
  (f ? f : compress_portable)(state, block, blocks);
}

}  // namespace

bool sha256_uses_hardware() {
  return g_compress.load(std::memory_order_relaxed) != compress_portable;
}
void sha256_force_portable(bool portable) {
  g_compress.store(portable ? compress_portable : best_compress(),
                   std::memory_order_relaxed);
}

Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f,
             0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::update(const void* data, size_t len) {
  auto p = static_cast<const uint8_t*>(data);
  total_ += len;
  if (buffered_) {
    size_t take = std::min(len, 64 - buffered_);
    std::memcpy(buffer_ + buffered_, p, take);
    buffered_ += take;
    p += take;
    len -= take;
    if (buffered_ < 64) return;
    compress(state_, buffer_, 1);
    buffered_ = 0;
  }
  if (len >= 64) {
    compress(state_, p, len / 64);
    p += len / 64 * 64;
    len %= 64;
  }
  std::memcpy(buffer_, p, len);
  buffered_ = len;
}

void Sha256::update_straddling(const uint8_t* part) {
  size_t first = 64 - buffered_;
  std::memcpy(buffer_ + buffered_, part, first);
  compress(state_, buffer_, 1);
  std::memcpy(buffer_, part + first, 32 - first);
  buffered_ = 32 - first;
  total_ += 32;
}

Hash Sha256::finish() {
  uint64_t bits = total_ * 8;
  buffer_[buffered_++] = 0x80;
  if (buffered_ > 56) {
    std::memset(buffer_ + buffered_, 0, 64 - buffered_);
    compress(state_, buffer_, 1);
    buffered_ = 0;
  }
  std::memset(buffer_ + buffered_, 0, 56 - buffered_);
  for (int i = 0; i < 8; ++i) buffer_[56 + i] = uint8_t(bits >> (56 - 8 * i));
  compress(state_, buffer_, 1);
  buffered_ = 0;
  Hash out;
  for (int i = 0; i < 8; ++i) {
    uint32_t be = __builtin_bswap32(state_[i]);
    std::memcpy(out.data() + 4 * i, &be, 4);
  }
  return out;
}

Hash sha256(const void* data, size_t len) {
  Sha256 s;
  s.update(data, len);
  return s.finish();
}

std::string to_hex(const Hash& h) {
  static const char* kHex = "0123456789abcdef";
  std::string s(64, '0');
  for (size_t i = 0; i < 32; ++i) {
    s[2 * i] = kHex[h[i] >> 4];
    s[2 * i + 1] = kHex[h[i] & 15];
  }
  return s;
}

}  // namespace kivet
