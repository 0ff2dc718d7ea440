#include "core/opening.hpp"

namespace kivet {

namespace {

constexpr uint64_t kWordLimit = uint64_t(1) << 32;

Json hex_json(const Hash& h) { return Json(to_hex(h)); }

Result<uint32_t> wire_word(const Json& value, const char* key) {
  const Json* v = value.find(key);
  if (!v || !v->is_u64()) return fail(cat("missing ", key));
  if (v->as_u64() >= kWordLimit)
    return fail(cat(key, " = ", v->as_u64(), " is out of range"));
  return uint32_t(v->as_u64());
}

// Child i of `node` without touching reference counts; a uniform node
// stands for A children of its kind.
const Node& child_ref(const Node& node, uint32_t i) {
  return node.is_branch() ? node.children()[i] : node;
}

}  // namespace

uint64_t wire_version(const Json& value) {
  const Json* v = value.find("v");
  return v && v->is_u64() ? v->as_u64() : 0;
}

Result<Shape> wire_shape(const Json& value) {
  Shape s;
  auto a = wire_word(value, "A");
  if (!a) return std::unexpected(a.error());
  auto b = wire_word(value, "B");
  if (!b) return std::unexpected(b.error());
  auto d = wire_word(value, "D");
  if (!d) return std::unexpected(d.error());
  Hierarchy h{*a, *b};
  if (auto ok = h.validate(); !ok) return std::unexpected(ok.error());
  if (*d > h.deepest())
    return fail(cat("D = ", *d, " is deeper than the deepest level, ", h.deepest()));
  s.a = *a;
  s.b = *b;
  s.d = *d;
  return s;
}

bool valid_shape(uint32_t a, uint32_t b, uint32_t d) {
  Hierarchy h{a, b};
  return h.validate().has_value() && d <= h.deepest();
}

// ---- Opening ---------------------------------------------------------------

Json Opening::to_json() const {
  JsonObject o;
  if (claim) {
    o.emplace("claim", Json(*claim ? "full" : "empty"));
    return Json(std::move(o));
  }
  JsonArray list;
  list.reserve(entries.size());
  for (const Entry& e : entries)
    list.push_back(e.open ? e.open->to_json() : hex_json(e.hash));
  o.emplace("entries", Json(std::move(list)));
  return Json(std::move(o));
}

Result<Opening> Opening::from_json(const Json& value) {
  if (const Json* c = value.find("claim")) {
    if (c->is_string() && c->as_string() == "full") return of_claim(true);
    if (c->is_string() && c->as_string() == "empty") return of_claim(false);
    return fail("unknown claim " + c->dump());
  }
  const Json* list = value.find("entries");
  if (!list || !list->is_array()) return fail("an opening is a claim or entries");
  std::vector<Entry> entries;
  entries.reserve(list->as_array().size());
  for (const Json& item : list->as_array()) {
    if (item.is_string()) {
      auto h = unhex(item.as_string());
      if (!h) return fail("bad hash " + item.as_string());
      entries.push_back(Entry::of_hash(*h));
    } else {
      auto nested = from_json(item);
      if (!nested) return std::unexpected(nested.error());
      entries.push_back(Entry::of_opening(std::move(*nested)));
    }
  }
  return of_entries(std::move(entries));
}

// ---- OpeningRecord ---------------------------------------------------------

OpeningRecord OpeningRecord::of(const Tree& tree, Opening opening) {
  OpeningRecord r;
  r.hash = std::string(tree.ctx()->hasher_id());
  r.opening = std::move(opening);
  r.root = tree.root();
  r.a = tree.hierarchy().a;
  r.b = tree.hierarchy().b;
  r.d = tree.depth();
  return r;
}

void put_wire_shape(JsonObject& o, uint32_t a, uint32_t b, uint32_t d,
                    const std::string& hash) {
  o.emplace("A", Json(a));
  o.emplace("B", Json(b));
  o.emplace("D", Json(d));
  o.emplace("hash", Json(hash));
}

Json OpeningRecord::to_json() const {
  JsonObject o;
  put_wire_shape(o, a, b, d, hash);
  o.emplace("opening", opening.to_json());
  o.emplace("root", hex_json(root));
  o.emplace("v", Json(kOpeningVersion));
  return Json(std::move(o));
}

Result<OpeningRecord> OpeningRecord::from_json(const Json& value) {
  uint64_t version = wire_version(value);
  if (version != kOpeningVersion)
    return fail(cat("opening record is version v", version, "; this build reads v",
                    kOpeningVersion));
  auto shape = wire_shape(value);
  if (!shape) return std::unexpected(shape.error());
  OpeningRecord r;
  r.a = shape->a;
  r.b = shape->b;
  r.d = shape->d;
  const Json* root = value.find("root");
  std::optional<Hash> h;
  if (root && root->is_string()) h = unhex(root->as_string());
  if (!h) return fail("bad root");
  r.root = *h;
  if (const Json* name = value.find("hash"); name && name->is_string())
    r.hash = name->as_string();
  const Json* opening = value.find("opening");
  if (!opening) return fail("missing opening");
  auto o = Opening::from_json(*opening);
  if (!o) return std::unexpected(o.error());
  r.opening = std::move(*o);
  return r;
}

bool OpeningRecord::verify() const {
  if (hash != kHasherId) return false;
  if (!valid_shape(a, b, d)) return false;
  CtxRef ctx = make_ctx(Hierarchy{a, b}, d);
  return verify_opening(opening, root, d, *ctx);
}

// ---- Verification ----------------------------------------------------------

namespace {
// The hashes of a list of entries whose opened children sit at height k.
std::optional<std::vector<Hash>> entry_hashes(const std::vector<Entry>& entries,
                                              uint32_t k, const Ctx& ctx) {
  std::vector<Hash> hashes;
  hashes.reserve(entries.size());
  for (const Entry& e : entries) {
    if (!e.open) {
      hashes.push_back(e.hash);
      continue;
    }
    auto h = opening_hash(*e.open, k, ctx);
    if (!h) return std::nullopt;
    hashes.push_back(*h);
  }
  return hashes;
}
}  // namespace

std::optional<Hash> opening_hash(const Opening& opening, uint32_t k,
                                 const Ctx& ctx) {
  if (opening.claim)
    return *opening.claim ? ctx.ladders.full[k] : ctx.ladders.empty[k];
  // An entries list at height 0 would name children of a leaf.
  if (k == 0 || opening.entries.size() != ctx.hierarchy.a) return std::nullopt;
  auto hashes = entry_hashes(opening.entries, k - 1, ctx);
  if (!hashes) return std::nullopt;
  return node_hash(*hashes);
}

bool verify_opening(const Opening& opening, const Hash& root, uint32_t d,
                    const Ctx& ctx) {
  if (opening.claim || opening.entries.size() != ctx.hierarchy.b) return false;
  auto hashes = entry_hashes(opening.entries, d, ctx);
  return hashes && root_hash(*hashes) == root;
}

// ---- Opening a cell --------------------------------------------------------

std::optional<Opening> go(const Node& node, std::span<const uint32_t> digits,
                          uint32_t k, uint32_t a, const Ctx& ctx) {
  if (digits.empty()) {
    if (node.is_empty()) return Opening::of_claim(false);
    if (node.is_full()) return Opening::of_claim(true);
    return std::nullopt;
  }
  uint32_t d = digits.front();
  auto sub = go(child_ref(node, d), digits.subspan(1), k - 1, a, ctx);
  if (!sub) return std::nullopt;
  std::vector<Entry> entries;
  entries.reserve(a);
  for (uint32_t i = 0; i < a; ++i) {
    if (i == d)
      entries.push_back(Entry::of_opening(std::move(*sub)));
    else
      entries.push_back(Entry::of_hash(hash_at(child_ref(node, i), k - 1, ctx)));
  }
  return Opening::of_entries(std::move(entries));
}

Result<std::optional<Opening>> open_path(const Tree& tree, uint64_t cid) {
  Hierarchy h = tree.hierarchy();
  auto level = h.check(cid, true, tree.depth());
  if (!level) return std::unexpected(level.error());
  auto path = h.path(cid);
  if (!path) return std::unexpected(path.error());
  uint32_t base = (*path)[0];
  auto sub = go(tree.bases()[base], std::span(*path).subspan(1), tree.depth(), h.a,
                *tree.ctx());
  if (!sub) return std::optional<Opening>();
  std::vector<Hash> hashes = tree.base_hashes();
  std::vector<Entry> entries;
  entries.reserve(h.b);
  for (uint32_t i = 0; i < h.b; ++i) {
    if (i == base)
      entries.push_back(Entry::of_opening(std::move(*sub)));
    else
      entries.push_back(Entry::of_hash(hashes[i]));
  }
  return std::optional<Opening>(Opening::of_entries(std::move(entries)));
}

}  // namespace kivet
