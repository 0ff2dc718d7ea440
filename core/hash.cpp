#include "core/hash.hpp"

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

CtxRef make_ctx(Hierarchy h, uint32_t depth) {
  return std::make_shared<const Ctx>(Ctx{Ladders::build(h.a, depth), h});
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
