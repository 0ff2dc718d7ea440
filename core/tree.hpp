// The canonical coverage tree: an immutable set of level-D cells.
//
// A Node is Empty, Full or a Branch of exactly A children. Representation:
// one tagged word (0 = Empty, 1 = Full, otherwise a pointer to a Branch with
// an intrusive atomic count). A Branch stores its children compactly: two
// bits per child (Empty, Full, Branch) and words only for the Branch
// children, in digit order. A branch of aperture 9 is 64 bytes plus 24 per
// Branch child (its word and its shape sum). Branches are immutable and shared by trees.
//
// Every branch carries its shape sum (core/shape_sum.hpp),
// computed as it is made from its children's: set operations tell equal
// subtrees of separately built trees apart without hashing them.
//
// A Branch's node hash is computed the first time something asks for it
// (hash_at), once, and kept in the branch: building and set operations only
// need the shape, and most callers never ask. The hash depends only on the
// children, the height and the aperture, so any context of the hierarchy
// gives the same bytes.
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
#include <cassert>
#include <bit>
#include <cstdint>
#include <functional>
#include <iterator>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/shape_sum.hpp"
#include "core/hash.hpp"
#include "core/hierarchy.hpp"

namespace kivet {

class Node;

struct Branch {
  // Where `hash` stands. One thread moves kNone to kBusy and computes; others
  // that need it meanwhile mark kWaited and sleep until kReady.
  enum : uint16_t { kNone, kBusy, kWaited, kReady };

  mutable std::atomic<uint32_t> refs;
  uint16_t arity;  // A <= 4096
  mutable std::atomic<uint16_t> state;
  ShapeSum sum;
  mutable Hash hash_;  // meaningful once state is kReady (read with acquire)
  // Followed by kind_words(arity) words of 2-bit child kinds (0 Empty,
  // 1 Full, 2 Branch; child i at bits 2i mod 64 of word i / 32), then
  // branches() Node words: the Branch children in digit order, then their
  // shape sums (a walk comparing two nodes' children reads them here, not
  // from each child's header, a cache miss apiece). The hash stays in the
  // header, beside the state read with it: a parent's hash reads both from
  // every child.

  static constexpr uint32_t kind_words(uint32_t arity) { return (arity + 31) / 32; }
  static constexpr size_t bytes(uint32_t arity, uint32_t branches) {
    return sizeof(Branch) + 8 * size_t(kind_words(arity)) +
           (sizeof(uint64_t) + sizeof(ShapeSum)) * branches;
  }
  const uint64_t* kinds() const { return reinterpret_cast<const uint64_t*>(this + 1); }
  uint64_t* kinds() { return reinterpret_cast<uint64_t*>(this + 1); }
  const Node* branch_children() const {
    return reinterpret_cast<const Node*>(kinds() + kind_words(arity));
  }
  Node* branch_children() {
    return reinterpret_cast<Node*>(kinds() + kind_words(arity));
  }
  uint32_t kind(uint32_t i) const { return uint32_t(kinds()[i / 32] >> (2 * (i % 32))) & 3; }
  // How many children are Branches (the high bit of a kind marks one).
  uint32_t branches() const {
    uint32_t n = 0;
    for (uint32_t j = 0; j < kind_words(arity); ++j)
      n += std::popcount(kinds()[j] & 0xAAAAAAAAAAAAAAAAull);
    return n;
  }
  bool hash_ready() const { return state.load(std::memory_order_acquire) == kReady; }
  // The Branch children's shape sums, in digit order.
  const ShapeSum* child_sums() const {
    return reinterpret_cast<const ShapeSum*>(kinds() + kind_words(arity) + branches());
  }
  ShapeSum* child_sums() {
    return reinterpret_cast<ShapeSum*>(kinds() + kind_words(arity) + branches());
  }
  Hash& hash() const { return hash_; }
  // Child i; Empty and Full children are the shared constants below.
  const Node& child(uint32_t i) const;
};
static_assert(sizeof(Branch) == 56);

// Small branches near the leaves are never allocated for apertures up to
// kSharedAperture: height-1 ones (each a mask of Full leaves), and above them
// ones whose only nonempty child is one such shared branch, a chain, up to
// height 2 (3 for the grid's apertures 4 and 9). Each possible one is a block
// of a static table, shared by every tree and never counted or freed. A
// scattered cell ends in a chain, so this spares most blocks of such a tree,
// and their hashes are computed once per process.
inline constexpr uint32_t kSharedAperture = 9;

// Where the table of aperture a and height h (1-based) lies in the static
// block array: blocks are 64 bytes at height 1 and 88 above; entry
// digit * count(h - 1) + index(child) at h >= 2, the Full mask at h = 1 (the
// first and last entry of each height unused).
struct SharedTable {
  size_t offset = 0, count = 0, stride = 0;
};
inline constexpr uint32_t kSharedHeights = 3;
constexpr uint32_t shared_height(uint32_t a) {
  return a < 2 || a > kSharedAperture ? 0 : a == 4 || a == 9 ? 3 : 2;
}
struct SharedLayout {
  SharedTable table[kSharedAperture + 1][kSharedHeights + 1];
  size_t bytes = 0;
  constexpr SharedLayout() {
    for (uint32_t a = 2; a <= kSharedAperture; ++a) {
      size_t count = size_t(1) << a;
      for (uint32_t h = 1; h <= shared_height(a); ++h) {
        size_t stride = h == 1 ? 64 : 88;
        table[a][h] = {bytes, count, stride};
        bytes += count * stride;
        count *= a;
      }
    }
  }
};
inline constexpr SharedLayout kShared{};
alignas(64) extern unsigned char g_shared_blocks[kShared.bytes];
inline bool is_shared_block(uintptr_t word) {
  return word - reinterpret_cast<uintptr_t>(g_shared_blocks) < sizeof(g_shared_blocks);
}
// Fills aperture a's tables, once; new_branch() calls it before handing a
// block out. REQUIRES: shared_height(a) > 0.
void fill_shared_blocks(uint32_t a);
// The node of height `height` over the one leaf at `leaf` (its offset in the
// node): a shared block. REQUIRES: 1 <= height <= shared_height(a),
// leaf < a^height.
Node shared_leaf_chain(uint32_t a, uint32_t height, uint64_t leaf);

class Node {
 public:
  enum class Kind : uint8_t { kEmpty, kFull, kBranch };

  constexpr Node() = default;  // Empty
  static constexpr Node empty() { return Node(); }
  static constexpr Node full() { return Node(kFullWord); }

  Node(const Node& o) : word_(o.word_) { retain(); }
  constexpr Node(Node&& o) noexcept : word_(std::exchange(o.word_, kEmptyWord)) {}
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
  constexpr ~Node() {
    if (word_ > kFullWord) release();
  }

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
  // Whether this Branch's hash has been computed (hash_at computes it).
  bool hash_ready() const { return branch().hash_ready(); }
  // The computed hash. REQUIRES: is_branch() && hash_ready().
  const Hash& stored_hash() const {
    assert(hash_ready());
    return branch().hash();
  }

  // The A children in digit order, as const Node& (index or iterate).
  // REQUIRES: is_branch().
  class Children;
  Children children() const;
  // Child i; an Empty or Full node stands for A children of its own kind.
  const Node& child(uint32_t i) const { return is_branch() ? branch().child(i) : *this; }

  // Same form and, for a branch, the same shared block (not a hash compare).
  bool same(const Node& o) const { return word_ == o.word_; }
  // Two Branches with the same leaves; false proves they differ, true is
  // wrong with probability below 2^-110 (see core/shape_sum.hpp).
  bool same_leaves(const Node& o) const {
    return word_ == o.word_ || branch().sum == o.branch().sum;
  }
  // REQUIRES: is_branch().
  const ShapeSum& shape_sum() const { return branch().sum; }

 private:
  friend Node make_branch(std::span<Node>, uint32_t, const Ctx&);
  friend Node new_branch(uint32_t, uint32_t, const uint64_t*, Node*, uint32_t);
  friend void fill_shared_blocks(uint32_t);
  friend Node shared_leaf_chain(uint32_t, uint32_t, uint64_t);
  static constexpr uintptr_t kEmptyWord = 0, kFullWord = 1;
  constexpr explicit Node(uintptr_t word) : word_(word) {}
  bool counted() const { return is_branch() && !is_shared_block(word_); }
  void retain() const {
    if (counted()) branch().refs.fetch_add(1, std::memory_order_relaxed);
  }
  void release() {
    if (counted() && branch().refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
      destroy(reinterpret_cast<Branch*>(word_));
  }
  static void destroy(Branch* b);

  uintptr_t word_ = kEmptyWord;
};

// The shared Empty and Full nodes that compact branches hand out.
inline constexpr Node kEmptyNode{};
inline constexpr Node kFullNode = Node::full();

inline const Node& Branch::child(uint32_t i) const {
  uint32_t k = kind(i);
  if (k == 0) return kEmptyNode;
  if (k == 1) return kFullNode;
  // Rank among the Branch children: the high bits of the kinds before i.
  constexpr uint64_t kHigh = 0xAAAAAAAAAAAAAAAAull;
  const uint64_t* w = kinds();
  uint32_t rank = 0;
  for (uint32_t j = 0; j < i / 32; ++j) rank += std::popcount(w[j] & kHigh);
  uint64_t below = (i % 32) ? w[i / 32] & (~0ull >> (64 - 2 * (i % 32))) : 0;
  rank += std::popcount(below & kHigh);
  return branch_children()[rank];
}

class Node::Children {
 public:
  class iterator {
   public:
    using value_type = Node;
    using difference_type = std::ptrdiff_t;
    using reference = const Node&;
    iterator() = default;
    iterator(const Branch* b, uint32_t i) : b_(b), i_(i) {}
    const Node& operator*() const {
      uint32_t k = b_->kind(i_);
      return k == 0 ? kEmptyNode : k == 1 ? kFullNode : b_->branch_children()[rank_];
    }
    // The current child's shape sum as its parent keeps it.
    // REQUIRES: the current child is a Branch.
    const ShapeSum& shape_sum(const ShapeSum* sums) const { return sums[rank_]; }
    iterator& operator++() {
      rank_ += b_->kind(i_) == 2;
      ++i_;
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    bool operator==(const iterator& o) const { return i_ == o.i_; }

   private:
    const Branch* b_ = nullptr;
    uint32_t i_ = 0, rank_ = 0;
  };

  explicit Children(const Branch* b) : b_(b) {}
  iterator begin() const { return {b_, 0}; }
  iterator end() const { return {b_, b_->arity}; }
  size_t size() const { return b_->arity; }
  const Node& operator[](size_t i) const { return b_->child(uint32_t(i)); }

 private:
  const Branch* b_;
};

inline Node::Children Node::children() const { return Children(&branch()); }

// Computes, or waits for another thread computing, a Branch's hash.
const Hash& compute_branch_hash(const Branch& b, uint32_t height, const Ctx& ctx);

// The hash of `node` at `height`: ladder entry for Empty / Full, else the
// branch's hash, computed on first request (children first) and then kept.
// Safe from several threads at once. REQUIRES: height <= ctx.ladders.reach(),
// and `height` is the node's true height in its tree.
inline const Hash& hash_at(const Node& node, uint32_t height, const Ctx& ctx) {
  switch (node.kind()) {
    case Node::Kind::kEmpty: return ctx.ladders.empty[height];
    case Node::Kind::kFull: return ctx.ladders.full[height];
    default: {
      const Branch& b = node.branch();
      return b.hash_ready() ? b.hash() : compute_branch_hash(b, height, ctx);
    }
  }
}

// The canonical node over A children of height `height` - 1: Empty if all are
// Empty, Full if all are Full, else a new Branch, its hash left for later.
// The only place that makes branches. Moves out of `children`.
// REQUIRES: children.size() == ctx.hierarchy.a, 1 <= height <= reach.
Node make_branch(std::span<Node> children, uint32_t height, const Ctx& ctx);

// The node make_branch() gives for A children that are Empty before `first`
// and after `last`, Full strictly between, `low` at `first` and `high` at
// `last` (`high` unused when first == last): what one interval makes, at
// `height`. Moves out of `low` and `high`. REQUIRES: first <= last < a <= 32.
Node make_run_branch(uint32_t a, uint32_t height, uint32_t first, uint32_t last, Node low,
                     Node high);

// Room for A default-made values, one per child of a node: on the stack for
// apertures up to 16, so walking or building a node allocates nothing more.
template <class T>
class ChildBuffer {
 public:
  explicit ChildBuffer(uint32_t a) : size_(a) {
    if (a > kInline) {
      heap_.resize(a);
      data_ = heap_.data();
    } else {
      data_ = reinterpret_cast<T*>(raw_);
      for (uint32_t i = 0; i < a; ++i) new (data_ + i) T();
    }
  }
  ~ChildBuffer() {
    if (size_ <= kInline)
      for (uint32_t i = 0; i < size_; ++i) data_[i].~T();
  }
  ChildBuffer(const ChildBuffer&) = delete;
  ChildBuffer& operator=(const ChildBuffer&) = delete;
  std::span<T> span() { return {data_, size_}; }
  T& operator[](size_t i) { return data_[i]; }

 private:
  static constexpr uint32_t kInline = 16;
  uint32_t size_;
  T* data_;
  alignas(T) unsigned char raw_[kInline * sizeof(T)];
  std::vector<T> heap_;
};

// The A children of one node, Empty to start with.
using NodeBuffer = ChildBuffer<Node>;

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

  // Computes the missing branch hashes first, over the pool when there are
  // many.
  std::vector<Hash> base_hashes() const;
  // One hash over 1 + 32·B bytes, recomputed on each call; the base hashes
  // are kept in their branches.
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
  // sits above height 0 and, where its hash is known, carries the hash of
  // its children.
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
