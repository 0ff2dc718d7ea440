#include "core/index.hpp"


#include <algorithm>
#include <new>
#include <span>

#include "core/setops.hpp"
#include "core/support/cancel.hpp"
#include "core/support/memory.hpp"

namespace kivet {

namespace {

// Bytes one attention cell may cost here and in the caller's mapping of it
// (a Python dict entry and its int key come to about 100).
constexpr uint64_t kAttentionCellBytes = 128;

struct Weighted {
  const Node* node;  // never Empty
  uint64_t weight;   // keys under this node's tree
};

// Walks several trees at once down to `level`, calling sink.cell(cid, w) for
// a touched cell and sink.range(lo, hi, w) for the cells [lo, hi) of `level`
// below a node that is Full in every tree touching it; w is the total weight
// of the trees touching the cell. Output is in ascending cid order.
template <class Sink>
class Walk {
 public:
  Walk(uint32_t a, uint32_t level, Sink& sink)
      : a_(a), level_(level), sink_(sink), scratch_(level + 1) {}

  void run(std::span<const Weighted> nodes, uint64_t cid, uint32_t current) {
    if (nodes.empty()) return;
    uint64_t weight = 0;
    bool all_full = true;
    for (const Weighted& n : nodes) {
      weight += n.weight;
      all_full = all_full && n.node->is_full();
    }
    if (current == level_) {
      sink_.cell(cid, weight);
      return;
    }
    if (current + 2 <= level_) poll_cancel();
    if (all_full) {
      // Cannot overflow: the cells of `level` are cids of the hierarchy.
      uint64_t span = *checked_pow(a_, level_ - current);
      sink_.range(cid * span, (cid + 1) * span, weight);
      return;
    }
    std::vector<Weighted>& below = scratch_[current + 1];
    for (uint32_t j = 0; j < a_; ++j) {
      below.clear();
      for (const Weighted& n : nodes) {
        const Node* child = n.node->is_full() ? n.node : &n.node->children()[j];
        if (!child->is_empty()) below.push_back({child, n.weight});
      }
      run(below, cid * a_ + j, current + 1);
      // run() leaves scratch_[current + 1] alone, so `below` is still ours.
    }
  }

 private:
  uint32_t a_, level_;
  Sink& sink_;
  std::vector<std::vector<Weighted>> scratch_;
};

struct CountSink {
  uint64_t cells = 0;
  void cell(uint64_t, uint64_t) { ++cells; }
  void range(uint64_t lo, uint64_t hi, uint64_t) { cells += hi - lo; }
};

struct ListSink {
  Attention& out;
  void cell(uint64_t cid, uint64_t w) { out.emplace_back(cid, w); }
  void range(uint64_t lo, uint64_t hi, uint64_t w) {
    for (uint64_t c = lo; c < hi; ++c) out.emplace_back(c, w);
  }
};

struct CidSink {
  std::vector<uint64_t>& out;
  void cell(uint64_t cid, uint64_t) { out.push_back(cid); }
  void range(uint64_t lo, uint64_t hi, uint64_t) {
    for (uint64_t c = lo; c < hi; ++c) out.push_back(c);
  }
};

// Walks base by base over the given trees with their weights.
template <class Sink>
void walk_trees(const std::vector<std::pair<const Tree*, uint64_t>>& trees,
                uint32_t level, Sink& sink) {
  if (trees.empty()) return;
  Hierarchy h = trees.front().first->hierarchy();
  Walk<Sink> walk(h.a, level, sink);
  std::vector<Weighted> nodes;
  for (uint32_t i = 0; i < h.b; ++i) {
    nodes.clear();
    for (const auto& [t, w] : trees) {
      const Node& n = t->bases()[i];
      if (!n.is_empty()) nodes.push_back({&n, w});
    }
    walk.run(nodes, uint64_t(h.a) + i, 0);
  }
}

// Leaves in both of two nodes, without building their intersection: the
// same decisions as the intersection rule (an Empty side gives nothing, a
// Full side gives the other, equal hashes give either), with counts for
// results.
class SharedLeaves {
 public:
  SharedLeaves(uint32_t a, uint32_t depth) : a_(a), span_(depth + 1, 1) {
    for (uint32_t k = 1; k <= depth; ++k) span_[k] = span_[k - 1] * a;
  }

  uint64_t count(const Node& n, uint32_t k) const {
    if (n.is_empty()) return 0;
    if (n.is_full()) return span_[k];
    if (k >= 2) poll_cancel();
    uint64_t total = 0;
    for (const Node& c : n.children()) total += count(c, k - 1);
    return total;
  }

  uint64_t shared(const Node& x, const Node& y, uint32_t k) const {
    if (x.is_empty() || y.is_empty()) return 0;
    if (x.is_full()) return count(y, k);
    if (y.is_full() || x.same_leaves(y))
      return count(x, k);
    if (k >= 2) poll_cancel();
    uint64_t total = 0;
    for (uint32_t i = 0; i < a_; ++i) total += shared(x.child(i), y.child(i), k - 1);
    return total;
  }

 private:
  uint32_t a_;
  std::vector<uint64_t> span_;  // A^k: leaves under a node of height k
};

}  // namespace

std::string_view relation_name(Relation r) {
  switch (r) {
    case Relation::kDisjoint: return "disjoint";
    case Relation::kEqual: return "equal";
    case Relation::kWithin: return "within";
    case Relation::kContains: return "contains";
    case Relation::kOverlaps: return "overlaps";
  }
  return "disjoint";
}

std::vector<uint64_t> touched_cells(const Tree& t, uint32_t level) {
  std::vector<uint64_t> out;
  CidSink sink{out};
  walk_trees({{&t, 1}}, level, sink);
  return out;
}

Result<void> Index::check_fits(const Tree& tree) const {
  if (!trees_.empty()) {
    const Tree& stored = trees_.begin()->second.tree;
    if (stored.hierarchy() != tree.hierarchy() || stored.depth() != tree.depth() ||
        stored.ctx()->hasher_id() != tree.ctx()->hasher_id())
      return fail("every tree in an index must share the hierarchy, depth and hash");
  }
  return {};
}

Result<void> Index::add(std::string key, const Tree& tree) {
  if (auto ok = check_fits(tree); !ok) return std::unexpected(ok.error());
  Hash root = tree.root();
  auto [it, inserted] = trees_.try_emplace(root, Stored{tree, 0});
  try {
    if (inserted) it->second.leaves = tree.leaf_count();
    keys_.insert_or_assign(std::move(key), root);
  } catch (...) {
    if (inserted) trees_.erase(it);
    throw;
  }
  return {};
}

Result<std::vector<Hit>> Index::query(const Tree& q) const {
  std::vector<Hit> hits;
  if (trees_.empty()) return hits;
  struct Found {
    uint64_t shared;
    uint64_t item;
    Relation relation;
  };
  uint64_t qn = q.leaf_count();
  SharedLeaves counter(q.hierarchy().a, q.depth());
  std::unordered_map<Hash, Found, RootHash> found;
  for (const auto& [root, stored] : trees_) {
    const Tree& t = stored.tree;
    if (auto ok = compatible(t, q); !ok) return std::unexpected(ok.error());
    // |t ∩ q| by the intersection's own rule, without building it.
    uint64_t shared = 0;
    for (size_t i = 0; i < t.bases().size(); ++i)
      shared += counter.shared(t.bases()[i], q.bases()[i], t.depth());
    if (shared == 0) continue;
    // t ⊆ q exactly when they share all of t's leaves, and likewise for q:
    // the two differences are settled by counts.
    bool item_only_empty = shared == stored.leaves;
    bool query_only_empty = shared == qn;
    Relation r = item_only_empty && query_only_empty ? Relation::kEqual
                 : item_only_empty                   ? Relation::kWithin
                 : query_only_empty                  ? Relation::kContains
                                                     : Relation::kOverlaps;
    found.emplace(root, Found{shared, stored.leaves, r});
  }
  for (const auto& [key, root] : keys_) {
    auto it = found.find(root);
    if (it == found.end()) continue;
    const Found& f = it->second;
    hits.push_back(Hit{key, root, qn ? double(f.shared) / double(qn) : 0.0,
                       f.item ? double(f.shared) / double(f.item) : 0.0, f.shared,
                       f.relation});
  }
  // Stable: equal fractions keep key order.
  std::stable_sort(hits.begin(), hits.end(), [](const Hit& x, const Hit& y) {
    return x.fraction_of_query > y.fraction_of_query;
  });
  return hits;
}

std::vector<std::pair<std::string, std::string>> Index::roots() const {
  std::vector<std::pair<std::string, std::string>> out;
  out.reserve(keys_.size());
  for (const auto& [key, root] : keys_) out.emplace_back(key, to_hex(root));
  return out;
}

Result<void> Index::check_level(uint32_t level) const {
  if (trees_.empty()) return {};
  uint32_t depth = trees_.begin()->second.tree.depth();
  if (depth < level)
    return fail(cat("attention level ", level, " is deeper than the trees (", depth,
                    ")"));
  return {};
}

namespace {

// The distinct trees keys refer to, each weighted by its number of keys, in
// the order of their first key (the walk's output does not depend on it).
template <class Trees, class Keys>
std::vector<std::pair<const Tree*, uint64_t>> weighted_trees(const Trees& trees,
                                                             const Keys& keys) {
  std::vector<std::pair<const Tree*, uint64_t>> out;
  std::unordered_map<const Tree*, size_t> slot;
  for (const auto& [key, root] : keys) {
    const Tree* t = &trees.at(root).tree;
    auto [it, inserted] = slot.try_emplace(t, out.size());
    if (inserted)
      out.emplace_back(t, 1);
    else
      ++out[it->second].second;
  }
  return out;
}

}  // namespace

Result<uint64_t> Index::attention_size(uint32_t level) const {
  if (auto ok = check_level(level); !ok) return std::unexpected(ok.error());
  CountSink sink;
  walk_trees(weighted_trees(trees_, keys_), level, sink);
  return sink.cells;
}

Result<Attention> Index::attention(uint32_t level) const {
  auto n = attention_size(level);
  if (!n) return std::unexpected(n.error());
  ensure_memory(*n, kAttentionCellBytes);
  Attention out;
  out.reserve(*n);
  ListSink sink{out};
  walk_trees(weighted_trees(trees_, keys_), level, sink);
  return out;
}

Result<bool> Index::store(const Tree& tree) {
  if (auto ok = check_fits(tree); !ok) return std::unexpected(ok.error());
  Hash root = tree.root();
  if (trees_.contains(root)) return false;
  uint64_t leaves = tree.leaf_count();
  trees_.try_emplace(root, Stored{tree, leaves});
  return true;
}

const Tree* Index::find(const Hash& root) const {
  auto it = trees_.find(root);
  return it == trees_.end() ? nullptr : &it->second.tree;
}

}  // namespace kivet
