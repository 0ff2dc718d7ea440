// Opening records: Merkle paths proving, against a root alone, that one cell
// is wholly covered (claim full) or wholly uncovered (claim empty).
//
// An Opening is either a claim or one entry per child (per base cell at the
// top); an entry is the child's hash or the child opened further. The cell is
// implicit: it is the path of open entries. A record carries its own shape
// (A, B, D) and hasher name, so verifying needs nothing else. Records are
// plain values; the nesting depth of one read from JSON is bounded by the
// parser's depth limit, and the verifier's by D (heights only decrease).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/hash.hpp"
#include "core/support/json.hpp"
#include "core/support/sha256.hpp"
#include "core/tree.hpp"

namespace kivet {

inline constexpr uint64_t kOpeningVersion = 1;

struct Opening;

// One child of an opened node: its hash, or (when `open` is set) its opening.
struct Entry {
  Hash hash{};
  std::unique_ptr<Opening> open;

  static Entry of_hash(const Hash& h);
  static Entry of_opening(Opening o);
};

struct Opening {
  std::optional<bool> claim;   // full (true) / empty (false); else entries
  std::vector<Entry> entries;  // digit order (base order at the top)

  static Opening of_claim(bool full) { return Opening{full, {}}; }
  static Opening of_entries(std::vector<Entry> e) {
    return Opening{std::nullopt, std::move(e)};
  }

  Json to_json() const;
  // {"claim": ...} wins over {"entries": ...}; entry counts are left to the
  // verifier.
  [[nodiscard]] static Result<Opening> from_json(const Json& value);
};

inline Entry Entry::of_hash(const Hash& h) { return Entry{h, nullptr}; }
inline Entry Entry::of_opening(Opening o) {
  return Entry{Hash{}, std::make_unique<Opening>(std::move(o))};
}

// A record's shape: aperture, base cells, depth.
struct Shape {
  uint32_t a = 0, b = 0, d = 0;
};

// "A", "B", "D" of a record, each below 2^32, then the hierarchy rules, then
// D within the deepest level. Shared with the set-operation transcripts.
[[nodiscard]] Result<Shape> wire_shape(const Json& value);
// The same rules, without messages.
bool valid_shape(uint32_t a, uint32_t b, uint32_t d);
// Writes "A", "B", "D" and "hash", the members every record starts with.
void put_wire_shape(JsonObject& o, uint32_t a, uint32_t b, uint32_t d,
                    const std::string& hash);

// The record's "v": an unsigned integer member, else 0.
uint64_t wire_version(const Json& value);

struct OpeningRecord {
  std::string hash;  // hasher identity
  Opening opening;   // top level: entries over the B base cells
  Hash root{};
  uint32_t a = 0, b = 0, d = 0;

  // The record of `opening` (as open_path made it) under the tree's root.
  static OpeningRecord of(const Tree& tree, Opening opening);

  Json to_json() const;
  [[nodiscard]] static Result<OpeningRecord> from_json(const Json& value);
  // False at the first defect; cost bounded by the record and its D.
  bool verify() const;
};

// The opening of cell `cid` (top-level entries), nothing when the cell's node
// is partial, or the cid's error (not a cell, or deeper than the tree).
[[nodiscard]] Result<std::optional<Opening>> open_path(const Tree& tree,
                                                       uint64_t cid);

// The opening of the cell reached from `node` (height k) by `digits`, or
// nothing when that cell is partial. A uniform node stands for A children of
// its kind, so the claim always sits at the cell's own level.
std::optional<Opening> go(const Node& node, std::span<const uint32_t> digits,
                          uint32_t k, uint32_t a, const Ctx& ctx);

// The root over the top-level entries equals `root`. REQUIRES: ladders reach D.
bool verify_opening(const Opening& opening, const Hash& root, uint32_t d,
                    const Ctx& ctx);

// The hash of a node of height k from its opening; nothing on a defect.
std::optional<Hash> opening_hash(const Opening& opening, uint32_t k,
                                 const Ctx& ctx);

}  // namespace kivet
