// SHA-256 (FIPS 180-4), streaming. Blocks are compressed with the SHA-NI
// instructions when the CPU has them (checked once at run time), else by the
// portable routine, so one build runs everywhere.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

namespace kivet {

using Hash = std::array<uint8_t, 32>;

class Sha256 {
 public:
  Sha256();
  void update(const void* data, size_t len);
  void update(uint8_t byte) { update(&byte, 1); }
  // The node and root hashes feed 32-byte parts: a fixed-size copy into the
  // block buffer.
  void update(const Hash& h) {
    if (buffered_ + 32 < 64) {
      std::memcpy(buffer_ + buffered_, h.data(), 32);
      buffered_ += 32;
      total_ += 32;
    } else {
      update_straddling(h.data());
    }
  }
  Hash finish();

 private:
  void update_straddling(const uint8_t* part);
  uint32_t state_[8];
  uint8_t buffer_[64];
  size_t buffered_ = 0;
  uint64_t total_ = 0;
};

Hash sha256(const void* data, size_t len);

// Which block routine is in use, and a switch to force the portable one
// (for tests comparing the two paths).
bool sha256_uses_hardware();
void sha256_force_portable(bool portable);

std::string to_hex(const Hash& h);

}  // namespace kivet
