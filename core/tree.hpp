// The canonical coverage tree: an immutable set of level-D cells.
//
// A Node is Empty, Full or a Branch of exactly A children with its stored
// node hash. Representation: one tagged word (0 = Empty, 1 = Full, otherwise a
// pointer to a Branch with an intrusive atomic count), so a branch of
// aperture 9 is a single 112-byte block: count, arity, hash, 9 words.
// Branches are immutable and shared between trees.
//
// Canonical invariants, established only by make_branch():
//  - no Branch has A Empty or A Full children;
//  - nodes at height 0 are Empty or Full.
// Hence one set of leaves has one shape and one root.
//
// A Tree is B base nodes (base b is cell A + b at height D), the shared
// hashing context, the hierarchy and the depth. It never changes after
// construction; copying it copies B words and one shared_ptr.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/hash.hpp"
#include "core/hierarchy.hpp"

namespace kivet {

class Node;

struct Branch {
  mutable std::atomic<uint32_t> refs;
  uint32_t arity;
  Hash hash;
  // `arity` Node words follow the header.
  Node* children() { return reinterpret_cast<Node*>(this + 1); }
  const Node* children() const { return reinterpret_cast<const Node*>(this + 1); }
};

class Node {
 public:
  enum class Kind : uint8_t { kEmpty, kFull, kBranch };

  Node() = default;  // Empty
  static Node empty() { return Node(); }
  static Node full() { return Node(kFullWord); }

  Node(const Node& o) : word_(o.word_) { retain(); }
  Node(Node&& o) noexcept : word_(std::exchange(o.word_, kEmptyWord)) {}
  Node& operator=(const Node& o) {
    if (word_ != o.word_) {
      o.retain();
      release();
      word_ = o.word_;
    }
    return *this;
  }
  Node& operator=(Node&& o) noexcept {
    if (this != &o) {
      release();
      word_ = std::exchange(o.word_, kEmptyWord);
    }
    return *this;
  }
  ~Node() { release(); }

  Kind kind() const {
    return word_ == kEmptyWord  ? Kind::kEmpty
           : word_ == kFullWord ? Kind::kFull
                                : Kind::kBranch;
  }
  bool is_empty() const { return word_ == kEmptyWord; }
  bool is_full() const { return word_ == kFullWord; }
  bool is_branch() const { return word_ > kFullWord; }

  // REQUIRES: is_branch().
  const Branch& branch() const { return *reinterpret_cast<const Branch*>(word_); }
  const Hash& stored_hash() const { return branch().hash; }
  std::span<const Node> children() const {
    return {branch().children(), branch().arity};
  }
  // Child i; an Empty or Full node stands for A children of its own kind.
  Node child(uint32_t i) const {
    return is_branch() ? branch().children()[i] : *this;
  }

  // Same form and, for a branch, the same shared block (not a hash compare).
  bool same(const Node& o) const { return word_ == o.word_; }

 private:
  friend Node make_branch(std::span<Node>, uint32_t, const Ctx&);
  static constexpr uintptr_t kEmptyWord = 0, kFullWord = 1;
  explicit Node(uintptr_t word) : word_(word) {}
  void retain() const {
    if (is_branch()) branch().refs.fetch_add(1, std::memory_order_relaxed);
  }
  void release() {
    if (is_branch() && branch().refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
      destroy(reinterpret_cast<Branch*>(word_));
  }
  static void destroy(Branch* b);

  uintptr_t word_ = kEmptyWord;
};

// The hash of `node` at `height`: ladder entry for Empty / Full, else the
// stored hash. REQUIRES: height <= ctx.ladders.reach().
inline const Hash& hash_at(const Node& node, uint32_t height, const Ctx& ctx) {
  switch (node.kind()) {
    case Node::Kind::kEmpty: return ctx.ladders.empty[height];
    case Node::Kind::kFull: return ctx.ladders.full[height];
    default: return node.stored_hash();
  }
}

// The canonical node over A children of height `height` - 1: Empty if all are
// Empty, Full if all are Full, else a new Branch hashed once. The only place
// that makes branches. Moves out of `children`.
// REQUIRES: children.size() == ctx.hierarchy.a, 1 <= height <= reach.
Node make_branch(std::span<Node> children, uint32_t height, const Ctx& ctx);

// A half-open range of level-D leaf cids.
struct Interval {
  uint64_t lo;
  uint64_t hi;
  friend bool operator==(const Interval&, const Interval&) = default;
};

// Sorts by start and merges overlapping or touching intervals in place; the
// result is sorted, disjoint and non-touching.
void merge_intervals(std::vector<Interval>& intervals);

// The canonical node covering [lo, hi) (height h, so hi - lo = A^h) built
// from sorted merged intervals. Subtrees reached by 4096 or more intervals
// split their children into tasks on the shared pool.
Node build_node(std::span<const Interval> merged, uint64_t lo, uint64_t hi,
                uint32_t height, const Ctx& ctx);

// What node_at() finds: the node holding the cid, its height, and whether all
// of the cid's digits were consumed (false: a uniform ancestor holds it).
struct NodeAt {
  Node node;
  uint32_t height;
  bool exact;
};

class Tree {
 public:
  // B Empty bases. Errors, in order: context hierarchy differs, ladders too
  // short, depth deeper than the hierarchy's deepest level.
  [[nodiscard]] static Result<Tree> empty(uint32_t a, uint32_t b, uint32_t depth,
                                          CtxRef ctx);
  // Every cid (any level <= depth, any order, duplicates allowed); the first
  // invalid cid in input order is the error. Bases are built in parallel.
  [[nodiscard]] static Result<Tree> from_cells(std::span<const uint64_t> cids,
                                               uint32_t depth, CtxRef ctx);
  // From merged leaf intervals (see merge_intervals) of this hierarchy at
  // `depth`; an interval may span base cells. Shared by the polygon cover.
  // REQUIRES: every interval inside the leaf space of the bases.
  [[nodiscard]] static Result<Tree> from_intervals(std::vector<Interval> merged,
                                                   uint32_t depth, CtxRef ctx);
  // Assembles a tree from B canonical base nodes of height `depth`.
  // REQUIRES: bases.size() == B, every base canonical, depth <= reach.
  static Tree from_bases(std::vector<Node> bases, uint32_t depth, CtxRef ctx);

  const std::vector<Node>& bases() const { return bases_; }
  const CtxRef& ctx() const { return ctx_; }
  Hierarchy hierarchy() const { return hierarchy_; }
  uint32_t depth() const { return depth_; }

  std::vector<Hash> base_hashes() const;
  // Recomputed on each call: one hash over 1 + 32·B bytes.
  Hash root() const;
  std::string root_hex() const { return to_hex(root()); }

  // Canonical (coarsest) cells, ascending: one per Full node. Numeric order
  // differs from path order when levels mix (14 < 102 though base 5 follows
  // base 2), hence the sort.
  std::vector<uint64_t> cells() const;
  // Every Full node as (cid, height) in path order: base order, then digits.
  // Their leaf ranges follow one another in ascending order.
  void visit_full(const std::function<void(uint64_t cid, uint32_t height)>& f) const;
  // Every level-D leaf, ascending. Throws std::bad_alloc when the list cannot
  // be held; callers facing users check leaf_count() first.
  std::vector<uint64_t> leaves() const;
  uint64_t leaf_count() const;
  bool is_empty() const;

  // The node holding `cid` (validated with level bound D).
  [[nodiscard]] Result<NodeAt> node_at(uint64_t cid) const;
  // The cell or an ancestor is Full.
  [[nodiscard]] Result<bool> covers(uint64_t cid) const;

  // Same hierarchy, depth and root.
  friend bool operator==(const Tree& x, const Tree& y);
  // "Tree(H(9,6), D=3, root=<64 hex>)"
  std::string display() const;

  // Debug aid for tests: every branch has the stored arity, is not uniform,
  // sits above height 0 and carries the hash of its children.
  bool is_canonical() const;

 private:
  Tree(std::vector<Node> bases, CtxRef ctx, Hierarchy h, uint32_t depth)
      : bases_(std::move(bases)), ctx_(std::move(ctx)), hierarchy_(h), depth_(depth) {}

  std::vector<Node> bases_;
  CtxRef ctx_;
  Hierarchy hierarchy_;
  uint32_t depth_ = 0;
};

}  // namespace kivet
