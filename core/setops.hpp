// Set operations and divergence on canonical trees, node by node.
//
// The rule decides a pair of node hashes without descending whenever it can:
// the result is then E_k, F_k or one of the operands, shared by reference.
// Only pairs of different partial nodes descend. The same rule drives proof
// transcripts and the index's relation test.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/error.hpp"
#include "core/hash.hpp"
#include "core/tree.hpp"

namespace kivet {

// Operation codes, stored as one byte in proofs.
inline constexpr uint8_t kOpUnion = 0;
inline constexpr uint8_t kOpIntersect = 1;
inline constexpr uint8_t kOpDifference = 2;

// Nothing, or "topology mismatch: ...", "depth mismatch: ...", "hash mismatch".
[[nodiscard]] Result<void> compatible(const Tree& a, const Tree& b);

// The decided hash for (op, ha, hb) at height k, or nothing (descend).
// Codes other than 0 and 1 follow the difference branch.
std::optional<Hash> rule(uint8_t op, const Hash& ha, const Hash& hb, uint32_t k,
                         const Ctx& ctx);

// The canonical node of height k for `op` over na and nb: what rule() gives
// for their hashes, descending where it gives nothing. REQUIRES: both
// canonical.
Node combine_nodes(const Node& na, const Node& nb, uint8_t op, uint32_t k,
                   const Ctx& ctx);

// a op b with a's context, hierarchy and depth.
[[nodiscard]] Result<Tree> combine(const Tree& a, const Tree& b, uint8_t op);

// One maximal differing subtree.
struct Divergence {
  Hash hash_a;
  Hash hash_b;
  uint64_t cid;
};

// Maximal differing subtrees in depth-first pre-order (ascending paths).
[[nodiscard]] Result<std::vector<Divergence>> divergence(const Tree& a, const Tree& b);

// The cells in exactly one of a and b, with a's context, hierarchy and depth.
// One walk instead of (a - b) | (b - a); it has no operation code because no
// proof covers it.
[[nodiscard]] Result<Tree> symmetric_difference(const Tree& a, const Tree& b);

}  // namespace kivet
