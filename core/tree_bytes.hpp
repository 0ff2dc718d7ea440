// The binary form of a tree: what a tree is when it leaves the process.
//
// Layout (integers big-endian, signed ones in two's complement):
//   magic "KVTR" | version 1 | the profile's ten fields (a length byte and
//   the hash name, then the nine integers, as in the identity preimage) |
//   depth u32 | branch count n u64 | shape | root (32 bytes).
// The shape is B + A·n two-bit codes (0 Empty, 1 Full, 2 Branch), four to a
// byte from the low bits up, zero-padded: the B base codes, then for every
// Branch in depth-first order (base order, then digit order) the codes of its
// A children, each Branch's codes followed by its Branch children's.
// A tree of n branches takes 2A·n bits plus a fixed part (106 + ceil(B/4)
// bytes for the default profile).
//
// Reading trusts nothing: every field is checked, the shape must be
// canonical (no Branch of all-Empty or all-Full children, none at height 0),
// nodes are made by make_branch() alone and the recomputed root must equal
// the stored one. Errors name what was wrong and its byte offset.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/profile.hpp"
#include "core/tree.hpp"

namespace kivet {

inline constexpr uint8_t kTreeBytesVersion = 1;

// REQUIRES: profile.hierarchy() == tree.hierarchy(), profile valid.
std::vector<uint8_t> tree_to_bytes(const Tree& tree, const Profile& profile);

struct TreeWithProfile {
  Tree tree;
  Profile profile;
};

// The tree and profile of a binary form, or "bad tree bytes at byte K: ...".
// Large shapes are rebuilt in parallel on the shared pool.
[[nodiscard]] Result<TreeWithProfile> tree_from_bytes(std::span<const uint8_t> data);

}  // namespace kivet
