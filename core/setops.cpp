#include "core/setops.hpp"

#include <cassert>
#include <cstring>

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

bool same_hash(const Hash& x, const Hash& y) {
  uint64_t a[4], b[4];
  std::memcpy(a, x.data(), 32);
  std::memcpy(b, y.data(), 32);
  return ((a[0] ^ b[0]) | (a[1] ^ b[1]) | (a[2] ^ b[2]) | (a[3] ^ b[3])) == 0;
}

void prefetch_children(const Node& n) {
  if (!n.is_branch()) return;
  const Branch& b = n.branch();
  const Node* c = b.branch_children();
  for (uint32_t i = 0; i < b.branches; ++i) __builtin_prefetch(&c[i].stored_hash());
}

}  // namespace

// The rule read by node kinds: in canonical trees a node's hash is E_k exactly
// when it is Empty and F_k exactly when it is Full, so only two Branches need
// their stored hashes compared.
Node combine_nodes(const Node& na, const Node& nb, uint8_t op, uint32_t k,
                   const Ctx& ctx) {
  bool union_op = op == kOpUnion, intersect_op = op == kOpIntersect;
  if (na.is_branch() && nb.is_branch()) {
    if (na.same(nb) || same_hash(na.stored_hash(), nb.stored_hash()))
      return union_op || intersect_op ? na : Node::empty();
  } else if (union_op) {
    if (na.is_full() || nb.is_full()) return Node::full();
    return na.is_empty() ? nb : na;
  } else if (intersect_op) {
    if (na.is_empty() || nb.is_empty()) return Node::empty();
    return na.is_full() ? nb : na;
  } else {
    if (na.is_empty() || nb.is_full()) return Node::empty();
    if (nb.is_empty()) return na;
    // Full minus a Branch: descend into the complement.
  }
  assert(k >= 1);
  if (k >= 2) poll_cancel();
  uint32_t a = ctx.hierarchy.a;
  // Each child pair of two Branches compares stored hashes, one cache miss
  // per side: ask for all of them at once rather than one after another.
  prefetch_children(na);
  prefetch_children(nb);
  NodeBuffer children(a);
  for (uint32_t i = 0; i < a; ++i)
    children[i] = combine_nodes(na.child(i), nb.child(i), op, k - 1, ctx);
  return make_branch(children.span(), k, ctx);
}

namespace {

// Dense pairs (on average half the children Branches on both sides, enough
// height below) near the top of large trees are split into pool tasks; sparse
// or small trees never pay for waking workers.
constexpr uint32_t kParallelMinHeight = 4;
constexpr int kParallelLevels = 2;

bool dense_pair(const Node& na, const Node& nb, uint32_t k, uint32_t a) {
  return k >= kParallelMinHeight && na.is_branch() && nb.is_branch() &&
         !na.same(nb) && na.branch().branches + nb.branch().branches >= a;
}

Node combine_split(const Node& na, const Node& nb, uint8_t op, uint32_t k,
                   const Ctx& ctx, int levels) {
  uint32_t a = ctx.hierarchy.a;
  if (levels == 0 || !dense_pair(na, nb, k, a)) return combine_nodes(na, nb, op, k, ctx);
  NodeBuffer children(a);
  parallel_for(Pool::shared(), a, [&](size_t i) {
    children[i] = combine_split(na.child(uint32_t(i)), nb.child(uint32_t(i)), op, k - 1,
                                ctx, levels - 1);
  });
  return make_branch(children.span(), k, ctx);
}

}  // namespace

Result<Tree> combine(const Tree& a, const Tree& b, uint8_t op) {
  if (auto c = compatible(a, b); !c) return std::unexpected(c.error());
  const Ctx& ctx = *a.ctx();
  uint32_t nbases = a.hierarchy().b, depth = a.depth();
  std::vector<Node> bases(nbases);
  uint32_t dense = 0;
  for (uint32_t i = 0; i < nbases; ++i)
    dense += dense_pair(a.bases()[i], b.bases()[i], depth, a.hierarchy().a);
  if (dense >= 2) {
    parallel_for(Pool::shared(), nbases, [&](size_t i) {
      bases[i] = combine_split(a.bases()[i], b.bases()[i], op, depth, ctx, kParallelLevels);
    });
  } else {
    for (uint32_t i = 0; i < nbases; ++i)
      bases[i] = combine_split(a.bases()[i], b.bases()[i], op, depth, ctx, kParallelLevels);
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

}  // namespace kivet
