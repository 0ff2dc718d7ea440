// Cell identifiers (cids) and the hierarchy they are read against.
//
// For base cell b and digits d1..dL (coarsest first) of a hierarchy with
// aperture A: cid = (A + b)·A^L + d1·A^(L-1) + ... + dL. In base A a cid is a
// two-digit leading block A + b followed by one digit per level, so
// parent = cid / A, child i = cid·A + i, and level = digits - 2. Hierarchy is a
// plain record, copied by value; nothing here allocates except path().
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace kivet {

inline constexpr uint32_t kMaxAperture = 4096;

// Base-cell index followed by the digits, coarsest first.
using Path = std::vector<uint32_t>;

// base^exp, or nothing when it does not fit in 64 bits (repeated squaring).
std::optional<uint64_t> checked_pow(uint64_t base, uint64_t exp);

// Level by digit counting without validation (0 counts as level 0).
uint32_t level_of(uint64_t cid, uint32_t a);

struct Hierarchy {
  uint32_t a = 9;  // aperture: children per cell
  uint32_t b = 6;  // number of base cells

  friend bool operator==(const Hierarchy&, const Hierarchy&) = default;

  // 2 <= A <= 4096, 1 <= B <= A(A-1), with the two fixed messages.
  Result<void> validate() const;
  // The largest L with (A + B)·A^L below 2^64.
  uint32_t deepest() const;
  // The cid's level, or the first failed rule. With `bounded`, cids deeper
  // than max_level are refused too.
  Result<uint32_t> check(uint64_t cid, bool bounded = false,
                         uint32_t max_level = 0) const;
  Result<Path> path(uint64_t cid) const;
  Result<uint64_t> cid(std::span<const uint32_t> path) const;
  // True when a is b or an ancestor of b; no validation.
  bool is_ancestor(uint64_t a_cid, uint64_t b_cid) const;
  // "Hierarchy { a: 9, b: 6 }"
  std::string debug() const;
};

inline constexpr Hierarchy kRhealpix{9, 6};

// suid text ("N", "P02", ...) of the fixed rHEALPix hierarchy.
std::string path_to_suid(std::span<const uint32_t> path);
Result<Path> suid_to_path(std::string_view text);
Result<std::string> cid_to_suid(uint64_t cid);
Result<uint64_t> suid_to_cid(std::string_view text);

}  // namespace kivet
