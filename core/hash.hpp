// Merkle hashing of coverage trees: tagged SHA-256, ladders and the context.
//
// Every preimage starts with a one-byte tag and is followed by 32-byte parts
// only: 0x00 empty leaf, 0x01 full leaf, 0x02 node (A child hashes, digit
// order), 0x03 root (B base hashes, base order). No lengths, no depth, no
// profile fields: the hierarchy implies the part count. Parts are streamed
// through one SHA-256 state; no preimage is assembled.
//
// Ladders hold the hash of a uniformly empty / full subtree of every height
// 0..D, so Empty and Full nodes of any height cost one lookup. A Ctx bundles
// ladders with the hierarchy they were built for; it is immutable and shared
// by every tree and branch built with it (CtxRef, atomic count).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/hierarchy.hpp"
#include "core/profile.hpp"
#include "core/support/sha256.hpp"

namespace kivet {

inline constexpr uint8_t kTagEmptyLeaf = 0x00;
inline constexpr uint8_t kTagFullLeaf = 0x01;
inline constexpr uint8_t kTagNode = 0x02;
inline constexpr uint8_t kTagRoot = 0x03;

// The identity text of the one hasher; compared by the set operations.
inline constexpr std::string_view kHasherId = "sha256";

// SHA-256(tag ‖ parts[0] ‖ parts[1] ‖ ...).
Hash sha_tagged(uint8_t tag, std::span<const Hash> parts);
Hash leaf_empty_hash();  // SHA-256(0x00)
Hash leaf_full_hash();   // SHA-256(0x01)
inline Hash node_hash(std::span<const Hash> children) {
  return sha_tagged(kTagNode, children);
}
inline Hash root_hash(std::span<const Hash> bases) {
  return sha_tagged(kTagRoot, bases);
}

// empty[k] / full[k]: hash of a height-k subtree with all leaves empty / full.
// Each holds depth + 1 entries. Costs 2·depth node hashes.
struct Ladders {
  std::vector<Hash> empty;
  std::vector<Hash> full;

  // REQUIRES: depth bounded by the caller (the hierarchy's deepest level);
  // memory and time grow linearly with it.
  static Ladders build(uint32_t aperture, uint32_t depth);
  // The deepest height the ladders reach (size - 1).
  uint32_t reach() const { return uint32_t(empty.size() - 1); }
};

struct Ctx {
  Ladders ladders;
  Hierarchy hierarchy;
  // SHA-256 states after the tag and j uniform children of height k, so a
  // node whose leading children are all Empty (or all Full) skips the blocks
  // they fill. Optional: an aggregate-built Ctx without them hashes in full.
  std::vector<Sha256> prefixes;

  // For A <= kMaxLeafParentAperture: the hash of every node of height 1,
  // indexed by the bit mask of its Full leaves (bit i = child i), shared by
  // all contexts of the aperture. Null when absent.
  const Hash* leaf_parents = nullptr;

  static constexpr uint32_t kMaxPrefix = 32;
  static constexpr uint32_t kMaxLeafParentAperture = 12;

  std::string_view hasher_id() const { return kHasherId; }

  // The state after hashing the tag and `run` copies of empty[k] (or
  // full[k]); `run` is clamped to what was precomputed.
  Sha256 node_prefix(bool full, uint32_t k, uint32_t& run) const;
};

using CtxRef = std::shared_ptr<const Ctx>;

// Validates the profile, refuses a depth beyond the hierarchy's deepest level
// ("depth D is deeper than the deepest level, L") before any ladder is built,
// then builds the context.
[[nodiscard]] Result<CtxRef> make_ctx(const Profile& profile, uint32_t depth);

// A context for a hierarchy without profile checks (verifiers).
// REQUIRES: h.validate() and depth <= h.deepest().
CtxRef make_ctx(Hierarchy h, uint32_t depth);

// 64 lowercase hex digits -> 32 bytes; anything else (upper case, odd or
// other length, non-hex characters) -> nothing.
std::optional<Hash> unhex(std::string_view text);

}  // namespace kivet
