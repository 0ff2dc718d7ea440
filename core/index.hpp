// The coverage index: text keys registered under coverage trees, queried by
// tree.
//
// Representation: `trees_` maps every root ever registered to one tree (the
// first with that root) and its leaf count; `keys_` maps each key, in byte
// order, to its current root. Invariants: every root in keys_ is in trees_;
// all stored trees share one hierarchy, depth and hasher (add() refuses
// others). The index only grows: re-registering a key re-points it and the
// earlier tree stays stored. The hash map's order never shows in results.
// A failed call changes nothing.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/support/sha256.hpp"
#include "core/tree.hpp"

namespace kivet {

enum class Relation : uint8_t {
  kDisjoint = 0,  // never reported
  kEqual = 1,
  kWithin = 2,    // the item lies inside the query
  kContains = 3,  // the item contains the query
  kOverlaps = 4,
};

// "disjoint", "equal", "within", "contains", "overlaps".
std::string_view relation_name(Relation r);

struct Hit {
  std::string key;
  Hash root;
  double fraction_of_query;  // shared / leaves of the query (0 when empty)
  double fraction_of_item;   // shared / leaves of the item (0 when empty)
  uint64_t shared_cells;     // leaves in both
  Relation relation;
};

// Ascending cids of one level with the number of keys touching each.
using Attention = std::vector<std::pair<uint64_t, uint64_t>>;

class Index {
 public:
  // Fails with "every tree in an index must share the hierarchy, depth and
  // hash" when the tree differs from the stored ones in any of those.
  [[nodiscard]] Result<void> add(std::string key, const Tree& tree);

  // Keys whose coverage meets `q`, by fraction of the query (largest first),
  // ties in key order. Incompatible queries fail with compatible()'s message,
  // stored tree first; an empty index answers [] without comparing.
  [[nodiscard]] Result<std::vector<Hit>> query(const Tree& q) const;

  // (key, root hex) in key order.
  std::vector<std::pair<std::string, std::string>> roots() const;

  // Every cell of `level` touched by a key's coverage, with the number of such
  // keys. Fails when `level` is deeper than the trees. Throws std::bad_alloc,
  // before building anything, when the cells could not be held in physical
  // memory (a full tree has A^level cells per base cell).
  [[nodiscard]] Result<Attention> attention(uint32_t level) const;
  // The number of cells attention(level) would return.
  [[nodiscard]] Result<uint64_t> attention_size(uint32_t level) const;

  // Stores `tree` under its root without naming a key, as add() does (same
  // check, same error); true when the root was new. Rebuilds saved indexes,
  // whose trees may have lost every key.
  [[nodiscard]] Result<bool> store(const Tree& tree);
  // The stored tree of `root`, or null.
  const Tree* find(const Hash& root) const;

  size_t size() const { return keys_.size(); }
  size_t distinct_roots() const { return trees_.size(); }

 private:
  struct Stored {
    Tree tree;
    uint64_t leaves;
  };
  struct RootHash {
    size_t operator()(const Hash& h) const {
      // Roots are SHA-256 digests: any 8 of their bytes are uniform.
      size_t v;
      static_assert(sizeof v <= sizeof(Hash));
      std::memcpy(&v, h.data(), sizeof v);
      return v;
    }
  };

  Result<void> check_level(uint32_t level) const;
  // A tree may join when it shares the stored trees' hierarchy, depth and hash.
  Result<void> check_fits(const Tree& tree) const;

  std::unordered_map<Hash, Stored, RootHash> trees_;
  std::map<std::string, Hash, std::less<>> keys_;
};

// The cids of `level` holding at least one covered leaf, ascending.
// REQUIRES: level <= t.depth().
std::vector<uint64_t> touched_cells(const Tree& t, uint32_t level);

}  // namespace kivet
