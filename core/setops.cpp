#include "core/setops.hpp"

#include <cassert>

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

Node combine_nodes(const Node& na, const Node& nb, uint8_t op, uint32_t k,
                   const Ctx& ctx) {
  const Hash& ha = hash_at(na, k, ctx);
  const Hash& hb = hash_at(nb, k, ctx);
  if (auto r = rule(op, ha, hb, k, ctx)) {
    if (*r == ctx.ladders.empty[k]) return Node::empty();
    if (*r == ctx.ladders.full[k]) return Node::full();
    return *r == ha ? na : nb;
  }
  // Undecided only when a side is partial, so k >= 1.
  assert(k >= 1);
  uint32_t a = ctx.hierarchy.a;
  std::vector<Node> children;
  children.reserve(a);
  for (uint32_t i = 0; i < a; ++i)
    children.push_back(combine_nodes(na.child(i), nb.child(i), op, k - 1, ctx));
  return make_branch(children, k, ctx);
}

Result<Tree> combine(const Tree& a, const Tree& b, uint8_t op) {
  if (auto c = compatible(a, b); !c) return std::unexpected(c.error());
  const Ctx& ctx = *a.ctx();
  std::vector<Node> bases;
  bases.reserve(a.bases().size());
  for (size_t i = 0; i < a.bases().size(); ++i)
    bases.push_back(combine_nodes(a.bases()[i], b.bases()[i], op, a.depth(), ctx));
  return Tree::from_bases(std::move(bases), a.depth(), a.ctx());
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
  uint32_t a = ca.hierarchy.a;
  const Node* ea = na.branch().children();
  const Node* eb = nb.branch().children();
  for (uint32_t i = 0; i < a; ++i) walk(ea[i], eb[i], k - 1, cid * a + i, ca, cb, out);
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
