#include "core/setops.hpp"

#include <array>
#include <cassert>
#include <new>
#include <span>

#include "core/support/pool.hpp"

namespace kivet {

Result<void> compatible(const Tree& a, const Tree& b) {
  if (a.hierarchy() != b.hierarchy())
    return fail(cat("topology mismatch: ", a.hierarchy().debug(), " vs ",
                    b.hierarchy().debug()));
  if (a.depth() != b.depth())
    return fail(cat("depth mismatch: ", a.depth(), " vs ", b.depth(),
                    "; depth is part of a root's identity"));
  if (a.ctx()->hasher_id() != b.ctx()->hasher_id()) return fail("hash mismatch");
  return {};
}

std::optional<Hash> rule(uint8_t op, const Hash& ha, const Hash& hb, uint32_t k,
                         const Ctx& ctx) {
  const Hash& e = ctx.ladders.empty[k];
  const Hash& f = ctx.ladders.full[k];
  if (ha == hb) return op == kOpUnion || op == kOpIntersect ? ha : e;
  if (op == kOpUnion) {
    if (ha == f || hb == f) return f;
    if (ha == e) return hb;
    if (hb == e) return ha;
    return std::nullopt;
  }
  if (op == kOpIntersect) {
    if (ha == e || hb == e) return e;
    if (ha == f) return hb;
    if (hb == f) return ha;
    return std::nullopt;
  }
  if (ha == e || hb == f) return e;
  if (hb == e) return ha;
  return std::nullopt;
}

namespace {

void prefetch_children(const Node& n) {
  if (!n.is_branch()) return;
  const Branch& b = n.branch();
  const Node* c = b.branch_children();
  for (uint32_t i = 0, k = b.branches(); i < k; ++i) __builtin_prefetch(&c[i].branch());
}

// A node's children in digit order; a uniform node stands for A copies of
// itself. Walks the compact children without ranking each one anew.
class ChildCursor {
 public:
  explicit ChildCursor(const Node& n) : node_(n), branch_(n.is_branch()) {
    if (branch_) {
      it_ = n.children().begin();
      sums_ = n.branch().child_sums();
    }
  }
  const Node& node() const { return branch_ ? *it_ : node_; }
  // REQUIRES: node() is a Branch.
  const ShapeSum& shape_sum() const { return it_.shape_sum(sums_); }
  void advance() {
    if (branch_) ++it_;
  }
  const Node& next() {
    const Node& c = node();
    advance();
    return c;
  }

 private:
  const Node& node_;
  bool branch_;
  Node::Children::iterator it_;
  const ShapeSum* sums_ = nullptr;
};

// Two Branches holding the same leaves, read from the nodes themselves.
bool twins(const Node& x, const Node& y) {
  return x.is_branch() && y.is_branch() && x.same_leaves(y);
}

}  // namespace

namespace {

// What one pair of nodes gives: one of the operands, a uniform node, or a node
// built anew. Naming an operand instead of copying it spares the count
// updates (a cache miss each) on the many subtrees that come out unchanged.
struct Outcome {
  enum Kind : uint8_t { kA, kB, kEmpty, kFull, kNew };
  Kind kind = kEmpty;
  Node node;  // kNew only
};

const Node& resolve(const Outcome& o, const Node& x, const Node& y) {
  switch (o.kind) {
    case Outcome::kA: return x;
    case Outcome::kB: return y;
    case Outcome::kEmpty: return kEmptyNode;
    case Outcome::kFull: return kFullNode;
    default: return o.node;
  }
}

Node to_node(Outcome o, const Node& x, const Node& y) {
  return o.kind == Outcome::kNew ? std::move(o.node) : resolve(o, x, y);
}

// The A child outcomes of one node.
using OutcomeBuffer = ChildBuffer<Outcome>;

// Which node the child outcomes, seen so far, amount to.
struct Tally {
  bool as_a, as_b, empty = true, full = true;
  Tally(const Node& na, const Node& nb) : as_a(na.is_branch()), as_b(nb.is_branch()) {}
  void add(const Outcome& o, const Node& x, const Node& y) {
    const Node& r = resolve(o, x, y);
    as_a = as_a && r.same(x);
    as_b = as_b && r.same(y);
    empty = empty && r.is_empty();
    full = full && r.is_full();
  }
};

// The node of height k over the children's outcomes: an operand when every
// child came out as that operand's child (equal subtrees unhashed so far end
// here, with nothing allocated), else a new canonical node.
Outcome assemble(const Node& na, const Node& nb, std::span<Outcome> outs,
                 const Tally& t, uint32_t k, const Ctx& ctx) {
  if (t.as_a) return {Outcome::kA, {}};
  if (t.as_b) return {Outcome::kB, {}};
  if (t.empty) return {Outcome::kEmpty, {}};
  if (t.full) return {Outcome::kFull, {}};
  uint32_t a = uint32_t(outs.size());
  // Every operand child kept takes a count, a locked update that waits for
  // its line: fetch the lines first so the misses overlap.
  {
    ChildCursor ca(na), cb(nb);
    for (uint32_t i = 0; i < a; ++i) {
      const Node& x = ca.next();
      const Node& y = cb.next();
      const Node& r = resolve(outs[i], x, y);
      if (r.is_branch() && outs[i].kind != Outcome::kNew) __builtin_prefetch(&r.branch(), 1);
    }
  }
  NodeBuffer children(a);
  ChildCursor ca(na), cb(nb);
  for (uint32_t i = 0; i < a; ++i) {
    const Node& x = ca.next();
    const Node& y = cb.next();
    children[i] = to_node(std::move(outs[i]), x, y);
  }
  return {Outcome::kNew, make_branch(children.span(), k, ctx)};
}

// The rule read by node kinds: in canonical trees a node's hash is E_k exactly
// when it is Empty and F_k exactly when it is Full, so only two Branches need
// comparing, and their shape sums stand in for the hashes, which may not be
// computed yet.
// Nothing when the pair must descend.
// `same`: both are Branches with the same leaves.
std::optional<Outcome::Kind> decide(const Node& na, const Node& nb, uint8_t op, bool same) {
  bool union_op = op == kOpUnion, intersect_op = op == kOpIntersect;
  if (na.is_branch() && nb.is_branch()) {
    if (same)
      return union_op || intersect_op ? Outcome::kA : Outcome::kEmpty;
    return std::nullopt;
  }
  if (union_op) {
    if (na.is_full() || nb.is_full()) return Outcome::kFull;
    return na.is_empty() ? Outcome::kB : Outcome::kA;
  }
  if (intersect_op) {
    if (na.is_empty() || nb.is_empty()) return Outcome::kEmpty;
    return na.is_full() ? Outcome::kB : Outcome::kA;
  }
  if (na.is_empty() || nb.is_full()) return Outcome::kEmpty;
  if (nb.is_empty()) return Outcome::kA;
  return std::nullopt;  // Full minus a Branch: descend into the complement.
}

Outcome combine_pair(const Node& na, const Node& nb, uint8_t op, uint32_t k,
                     const Ctx& ctx, bool same) {
  if (auto kind = decide(na, nb, op, same)) return {*kind, {}};
  assert(k >= 1);
  if (k >= 2) poll_cancel();
  uint32_t a = ctx.hierarchy.a;
  // Each child pair of two Branches reads both headers, one cache miss per
  // side: ask for all of them at once rather than one after another.
  prefetch_children(na);
  prefetch_children(nb);
  OutcomeBuffer buffer(a);
  std::span<Outcome> outs = buffer.span();
  ChildCursor ca(na), cb(nb);
  Tally tally(na, nb);
  for (uint32_t i = 0; i < a; ++i) {
    const Node& x = ca.node();
    const Node& y = cb.node();
    // The parents keep their Branch children's shape sums: comparing them
    // there spares a cache miss per child on each side.
    bool same = x.is_branch() && y.is_branch() &&
                (x.same(y) || ca.shape_sum() == cb.shape_sum());
    outs[i] = combine_pair(x, y, op, k - 1, ctx, same);
    tally.add(outs[i], x, y);
    ca.advance();
    cb.advance();
  }
  return assemble(na, nb, outs, tally, k, ctx);
}

}  // namespace

Node combine_nodes(const Node& na, const Node& nb, uint8_t op, uint32_t k,
                   const Ctx& ctx) {
  return to_node(combine_pair(na, nb, op, k, ctx, twins(na, nb)), na, nb);
}

namespace {

// Dense pairs (on average half the children Branches on both sides, enough
// height below) near the top of large trees are split into pool tasks; sparse
// or small trees never pay for waking workers.
constexpr uint32_t kParallelMinHeight = 4;
constexpr int kParallelLevels = 2;

bool dense_pair(const Node& na, const Node& nb, uint32_t k, uint32_t a) {
  return k >= kParallelMinHeight && na.is_branch() && nb.is_branch() &&
         !na.same_leaves(nb) && na.branch().branches() + nb.branch().branches() >= a;
}

Outcome combine_split(const Node& na, const Node& nb, uint8_t op, uint32_t k,
                      const Ctx& ctx, int levels) {
  uint32_t a = ctx.hierarchy.a;
  if (levels == 0 || !dense_pair(na, nb, k, a))
    return combine_pair(na, nb, op, k, ctx, twins(na, nb));
  if (auto kind = decide(na, nb, op, twins(na, nb))) return {*kind, {}};
  OutcomeBuffer buffer(a);
  std::span<Outcome> outs = buffer.span();
  parallel_for(Pool::shared(), a, [&](size_t i) {
    outs[i] = combine_split(na.child(uint32_t(i)), nb.child(uint32_t(i)), op, k - 1, ctx,
                            levels - 1);
  });
  Tally tally(na, nb);
  for (uint32_t i = 0; i < a; ++i) tally.add(outs[i], na.child(i), nb.child(i));
  return assemble(na, nb, outs, tally, k, ctx);
}

// How many base pairs are large and dense enough to split over the pool.
uint32_t dense_bases(const Tree& a, const Tree& b) {
  uint32_t dense = 0;
  for (uint32_t i = 0; i < a.hierarchy().b; ++i)
    dense += dense_pair(a.bases()[i], b.bases()[i], a.depth(), a.hierarchy().a);
  return dense;
}

}  // namespace

Result<Tree> combine(const Tree& a, const Tree& b, uint8_t op) {
  if (auto c = compatible(a, b); !c) return std::unexpected(c.error());
  const Ctx& ctx = *a.ctx();
  uint32_t nbases = a.hierarchy().b, depth = a.depth();
  std::vector<Node> bases(nbases);
  uint32_t dense = dense_bases(a, b);
  if (dense >= 2) {
    parallel_for(Pool::shared(), nbases, [&](size_t i) {
      bases[i] = to_node(
          combine_split(a.bases()[i], b.bases()[i], op, depth, ctx, kParallelLevels),
          a.bases()[i], b.bases()[i]);
    });
  } else {
    for (uint32_t i = 0; i < nbases; ++i)
      bases[i] = to_node(
          combine_split(a.bases()[i], b.bases()[i], op, depth, ctx, kParallelLevels),
          a.bases()[i], b.bases()[i]);
  }
  return Tree::from_bases(std::move(bases), depth, a.ctx());
}

namespace {

void walk(const Node& na, const Node& nb, uint32_t k, uint64_t cid, const Ctx& ca,
          const Ctx& cb, std::vector<Divergence>& out) {
  const Hash& ha = hash_at(na, k, ca);
  const Hash& hb = hash_at(nb, k, cb);
  if (ha == hb) return;
  if (k == 0 || !na.is_branch() || !nb.is_branch()) {
    out.push_back({ha, hb, cid});
    return;
  }
  if (k >= 2) poll_cancel();
  uint32_t a = ca.hierarchy.a;
  prefetch_children(na);
  prefetch_children(nb);
  auto ea = na.children().begin();
  auto eb = nb.children().begin();
  for (uint32_t i = 0; i < a; ++i, ++ea, ++eb)
    walk(*ea, *eb, k - 1, cid * a + i, ca, cb, out);
}

}  // namespace

Result<std::vector<Divergence>> divergence(const Tree& a, const Tree& b) {
  if (auto c = compatible(a, b); !c) return std::unexpected(c.error());
  std::vector<Divergence> out;
  uint32_t arity = a.hierarchy().a;
  for (size_t i = 0; i < a.bases().size(); ++i)
    walk(a.bases()[i], b.bases()[i], a.depth(), uint64_t(arity) + i, *a.ctx(),
         *b.ctx(), out);
  return out;
}

// Symmetric difference ----------------------------------------------------

namespace {

Node xor_nodes(const Node& na, const Node& nb, uint32_t k, const Ctx& ctx) {
  if (na.is_empty()) return nb;
  if (nb.is_empty()) return na;
  if (twins(na, nb)) return Node::empty();
  // Full against anything else is the complement of the other side.
  if (na.is_full()) return combine_nodes(na, nb, kOpDifference, k, ctx);
  if (nb.is_full()) return combine_nodes(nb, na, kOpDifference, k, ctx);
  assert(k >= 1);
  if (k >= 2) poll_cancel();
  uint32_t a = ctx.hierarchy.a;
  prefetch_children(na);
  prefetch_children(nb);
  NodeBuffer children(a);
  ChildCursor ca(na), cb(nb);
  for (uint32_t i = 0; i < a; ++i) {
    const Node& x = ca.next();
    const Node& y = cb.next();
    children[i] = xor_nodes(x, y, k - 1, ctx);
  }
  return make_branch(children.span(), k, ctx);
}

// Dense pairs near the top become pool tasks, as in combine().
Node xor_split(const Node& na, const Node& nb, uint32_t k, const Ctx& ctx, int levels) {
  uint32_t a = ctx.hierarchy.a;
  if (levels == 0 || !dense_pair(na, nb, k, a)) return xor_nodes(na, nb, k, ctx);
  NodeBuffer children(a);
  parallel_for(Pool::shared(), a, [&](size_t i) {
    children[i] = xor_split(na.child(uint32_t(i)), nb.child(uint32_t(i)), k - 1, ctx,
                            levels - 1);
  });
  return make_branch(children.span(), k, ctx);
}

}  // namespace

Result<Tree> symmetric_difference(const Tree& a, const Tree& b) {
  if (auto c = compatible(a, b); !c) return std::unexpected(c.error());
  const Ctx& ctx = *a.ctx();
  uint32_t nbases = a.hierarchy().b, depth = a.depth();
  std::vector<Node> bases(nbases);
  uint32_t dense = dense_bases(a, b);
  auto one = [&](size_t i) {
    bases[i] = xor_split(a.bases()[i], b.bases()[i], depth, ctx, kParallelLevels);
  };
  if (dense >= 2) {
    parallel_for(Pool::shared(), nbases, one);
  } else {
    for (uint32_t i = 0; i < nbases; ++i) one(i);
  }
  return Tree::from_bases(std::move(bases), depth, a.ctx());
}

}  // namespace kivet
