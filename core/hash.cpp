#include "core/hash.hpp"

#include <algorithm>
#include <atomic>
#include <memory>

namespace kivet {

Hash sha_tagged(uint8_t tag, std::span<const Hash> parts) {
  Sha256 s;
  s.update(tag);
  for (const Hash& h : parts) s.update(h);
  return s.finish();
}

Hash leaf_empty_hash() { return sha_tagged(kTagEmptyLeaf, {}); }
Hash leaf_full_hash() { return sha_tagged(kTagFullLeaf, {}); }

Ladders Ladders::build(uint32_t aperture, uint32_t depth) {
  Ladders l;
  l.empty.reserve(size_t(depth) + 1);
  l.full.reserve(size_t(depth) + 1);
  l.empty.push_back(leaf_empty_hash());
  l.full.push_back(leaf_full_hash());
  std::vector<Hash> parts(aperture);
  for (uint32_t k = 1; k <= depth; ++k) {
    parts.assign(aperture, l.empty.back());
    l.empty.push_back(node_hash(parts));
    parts.assign(aperture, l.full.back());
    l.full.push_back(node_hash(parts));
  }
  return l;
}

namespace {

uint32_t prefix_span(const Ctx& ctx) {
  return std::min(ctx.hierarchy.a, Ctx::kMaxPrefix) + 1;
}

}  // namespace

Sha256 Ctx::node_prefix(bool full, uint32_t k, uint32_t& run) const {
  uint32_t span = prefix_span(*this);
  if (prefixes.empty() || run == 0) {
    run = 0;
    Sha256 s;
    s.update(kTagNode);
    return s;
  }
  run = std::min(run, span - 1);
  return prefixes[(size_t(k) * 2 + full) * span + run];
}

namespace {

// Process-wide, one per aperture, computed on first use. Published with a
// compare-exchange rather than a lock, so a fork at any moment leaves no lock
// held; a thread that loses the race frees its copy.
std::atomic<const Hash*> g_leaf_parents[Ctx::kMaxLeafParentAperture + 1];

const Hash* leaf_parent_hashes(uint32_t a) {
  if (a > Ctx::kMaxLeafParentAperture) return nullptr;
  if (const Hash* t = g_leaf_parents[a].load(std::memory_order_acquire)) return t;
  const Hash leaves[2] = {leaf_empty_hash(), leaf_full_hash()};
  auto table = std::make_unique<Hash[]>(size_t(1) << a);
  for (uint32_t mask = 0; mask < (1u << a); ++mask) {
    Sha256 s;
    s.update(kTagNode);
    for (uint32_t i = 0; i < a; ++i) s.update(leaves[(mask >> i) & 1]);
    table[mask] = s.finish();
  }
  const Hash* expected = nullptr;
  if (g_leaf_parents[a].compare_exchange_strong(expected, table.get(),
                                                std::memory_order_acq_rel))
    return table.release();
  return expected;
}

}  // namespace

CtxRef make_ctx(Hierarchy h, uint32_t depth) {
  Ctx ctx{Ladders::build(h.a, depth), h, {}};
  if (depth >= 1) ctx.leaf_parents = leaf_parent_hashes(h.a);
  uint32_t span = prefix_span(ctx);
  ctx.prefixes.reserve(size_t(depth) * 2 * span);
  // Heights 0 .. depth - 1: the children of nodes up to the depth.
  for (uint32_t k = 0; k < depth; ++k) {
    for (const Hash* uniform : {&ctx.ladders.empty[k], &ctx.ladders.full[k]}) {
      Sha256 s;
      s.update(kTagNode);
      for (uint32_t j = 0; j < span; ++j) {
        ctx.prefixes.push_back(s);
        s.update(*uniform);
      }
    }
  }
  return std::make_shared<const Ctx>(std::move(ctx));
}

Result<CtxRef> make_ctx(const Profile& profile, uint32_t depth) {
  if (auto v = profile.validate(); !v) return std::unexpected(v.error());
  Hierarchy h = profile.hierarchy();
  // Ladders grow with the depth: refuse an impossible one before building.
  if (uint32_t deepest = h.deepest(); depth > deepest)
    return fail(cat("depth ", depth, " is deeper than the deepest level, ", deepest));
  return make_ctx(h, depth);
}

std::optional<Hash> unhex(std::string_view text) {
  if (text.size() != 64) return std::nullopt;
  Hash out;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (size_t i = 0; i < 32; ++i) {
    int hi = digit(text[2 * i]), lo = digit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out[i] = uint8_t(hi << 4 | lo);
  }
  return out;
}

}  // namespace kivet
