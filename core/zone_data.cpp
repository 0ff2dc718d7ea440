#include "core/zone_data.hpp"

#include <algorithm>
#include <vector>

#include "core/hash.hpp"
#include "core/raster.hpp"
#include "core/support/cancel.hpp"
#include "core/support/memory.hpp"
#include "core/zone.hpp"

namespace kivet {

namespace {

constexpr uint64_t kMaxSubzones = uint64_t(1) << 30;

std::string names_list(std::span<const std::string> names) {
  std::string out = "[";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) out += ", ";
    out += quoted(names[i]);
  }
  return out + "]";
}

void debug_to(std::string& out, const Json& v) {
  if (v.is_null()) {
    out += "Null";
  } else if (v.is_bool()) {
    out += v.as_bool() ? "Bool(true)" : "Bool(false)";
  } else if (v.is_number()) {
    out += "Number(";
    v.dump_to(out);
    out += ')';
  } else if (v.is_string()) {
    out += "String(" + quoted(v.as_string()) + ")";
  } else if (v.is_array()) {
    out += "Array [";
    bool first = true;
    for (const Json& e : v.as_array()) {
      if (!first) out += ", ";
      first = false;
      debug_to(out, e);
    }
    out += ']';
  } else {
    out += "Object {";
    bool first = true;
    for (const auto& [key, e] : v.as_object()) {
      if (!first) out += ", ";
      first = false;
      out += quoted(key) + ": ";
      debug_to(out, e);
    }
    out += '}';
  }
}

// A JSON integer that is not negative: the only form a depth or a count takes.
std::optional<uint64_t> natural(const Json* v) {
  if (v && v->is_u64()) return v->as_u64();
  return std::nullopt;
}

bool is_rhealpix(const Hierarchy& h) { return h == Hierarchy{9, 6}; }

}  // namespace

Result<std::string> registered(const Profile& p) {
  if (auto v = p.validate(); !v) return std::unexpected(v.error());
  if (p.a_um == 6378137000000 && p.inv_f_nano == 298257223563 && p.aperture == 9 &&
      p.n_base == 6 && p.lon_0_udeg == 50000000 && p.north_square == 0 &&
      p.south_square == 0)
    return std::string(kRhealpixDggrsUri);
  return fail(cat("profile ", p.describe(),
                  " is not a registered DGGRS; its zone ids would be read against "
                  "another grid"));
}

Result<uint64_t> count_at(uint32_t d) {
  auto side = checked_pow(3, d);
  uint64_t count;
  if (!side || __builtin_mul_overflow(*side, *side, &count) || count > kMaxSubzones)
    return fail(cat("depth ", d, " has too many sub-zones"));
  return count;
}

Result<size_t> pick(std::string_view what, std::span<const std::string> names,
                    const std::optional<std::string>& wanted) {
  if (!wanted) {
    if (names.size() == 1) return 0;
    return fail(cat("the document has several ", what, "s ", names_list(names),
                    "; name one"));
  }
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == *wanted) return i;
  return fail(cat("no ", what, " ", quoted(*wanted), "; the document has ",
                  names_list(names)));
}

std::string debug_json(const Json& value) {
  std::string out;
  debug_to(out, value);
  return out;
}

Result<Json> to_dggs_json(const Tree& tree, const Profile& profile, uint64_t zone,
                          const std::string& field) {
  auto uri = registered(profile);
  if (!uri) return std::unexpected(uri.error());
  Hierarchy h = tree.hierarchy();
  if (!is_rhealpix(h) || !is_rhealpix(profile.hierarchy()))
    return fail("zone data needs the rHEALPix hierarchy");
  auto level = h.check(zone, true, tree.depth());
  if (!level) return std::unexpected(level.error());
  uint32_t d = tree.depth() - *level;
  auto count = count_at(d);
  if (!count) return std::unexpected(count.error());
  auto pos = position(h, zone);
  if (!pos) return std::unexpected(pos.error());
  uint64_t n = *count, side = *checked_pow(3, d);
  // The values become JSON values, then text, then Python objects.
  ensure_memory(n, sizeof(Json) + 16);

  // The zone's own node holds exactly its sub-zones; a uniform ancestor
  // stands for all of them.
  std::vector<uint8_t> covered(n);
  auto at = tree.node_at(zone);
  if (!at) return std::unexpected(at.error());
  if (at->exact)
    paint_block(at->node, d, 3, covered.data(), side);
  else if (at->node.is_full())
    std::fill(covered.begin(), covered.end(), uint8_t(1));

  JsonArray data;
  data.reserve(n);
  for (uint8_t c : covered) data.push_back(c ? Json(uint64_t(1)) : Json());
  auto suid = cid_to_suid(zone);
  if (!suid) return std::unexpected(suid.error());

  // Built by moves: a braced map would copy the data array at every level.
  JsonObject shape{{"count", Json(n)}, {"subZones", Json(n)}};
  JsonObject entry;
  entry.emplace("data", Json(std::move(data)));
  entry.emplace("depth", Json(d));
  entry.emplace("shape", Json(std::move(shape)));
  JsonArray entries;
  entries.emplace_back(std::move(entry));
  JsonObject values;
  values.emplace(field, Json(std::move(entries)));
  JsonObject out;
  out.emplace("depths", Json(JsonArray{Json(d)}));
  out.emplace("dggrs", Json(std::move(*uri)));
  out.emplace("values", Json(std::move(values)));
  out.emplace("zoneId", Json(std::move(*suid)));
  return Json(std::move(out));
}

Result<Tree> from_dggs_json(const Json& doc, const Profile& profile,
                            const std::optional<std::string>& field,
                            std::optional<uint32_t> wanted_depth, bool nonzero) {
  auto uri = registered(profile);
  if (!uri) return std::unexpected(uri.error());
  Hierarchy h = profile.hierarchy();
  if (!is_rhealpix(h)) return fail("zone data needs the rHEALPix hierarchy");

  const Json* dggrs = doc.find("dggrs");
  if (!dggrs || !dggrs->is_string() || dggrs->as_string() != *uri) {
    std::string found = dggrs && dggrs->is_string()
                            ? "Some(" + quoted(dggrs->as_string()) + ")"
                            : std::string("None");
    return fail(cat("document DGGRS ", found, " is not the profile's ", quoted(*uri)));
  }
  if (const Json* dims = doc.find("dimensions");
      dims && dims->is_array() && !dims->as_array().empty())
    return fail("zone data with extra dimensions has more than one value per sub-zone");

  const Json* zone_id = doc.find("zoneId");
  if (!zone_id || !zone_id->is_string()) return fail("missing zoneId");
  auto zone = suid_to_cid(zone_id->as_string());
  if (!zone) return std::unexpected(zone.error());

  const Json* values = doc.find("values");
  if (!values || !values->is_object()) return fail("missing values");
  std::vector<std::string> fields;
  std::vector<const Json*> field_values;
  for (const auto& [name, v] : values->as_object()) {
    fields.push_back(name);
    field_values.push_back(&v);
  }
  auto chosen_field = pick("field", fields, field);
  if (!chosen_field) return std::unexpected(chosen_field.error());
  const Json& entries = *field_values[*chosen_field];
  if (!entries.is_array()) return fail("a field's values must be an array");

  std::vector<uint64_t> listed;
  if (const Json* depths = doc.find("depths"); depths && depths->is_array())
    for (const Json& e : depths->as_array())
      if (auto v = natural(&e)) listed.push_back(*v);
  std::vector<std::string> depth_names;
  std::vector<uint64_t> entry_depths;
  for (const Json& e : entries.as_array()) {
    auto own = natural(e.find("depth"));
    if (!own && listed.size() != 1) return fail("a value entry names no depth");
    uint64_t v = own ? *own : listed[0];
    entry_depths.push_back(v);
    depth_names.push_back(cat(v));
  }
  std::optional<std::string> wanted;
  if (wanted_depth) wanted = cat(*wanted_depth);
  auto chosen = pick("depth", depth_names, wanted);
  if (!chosen) return std::unexpected(chosen.error());
  const Json& entry = entries.as_array()[*chosen];
  uint64_t d64 = entry_depths[*chosen];
  if (d64 > UINT32_MAX) return fail(cat("depth ", d64, " has too many sub-zones"));
  uint32_t d = uint32_t(d64);
  auto count = count_at(d);
  if (!count) return std::unexpected(count.error());
  uint64_t n = *count;

  if (const Json* shape = entry.find("shape")) {
    auto sub = natural(shape->find("subZones"));
    auto cnt = natural(shape->find("count"));
    if ((sub && *sub != n) || (cnt && *cnt != n))
      return fail(cat("shape Some(", debug_json(*shape), ") does not describe the ", n,
                      " sub-zones at depth ", d));
  }
  const Json* data = entry.find("data");
  if (!data || !data->is_array()) return fail("missing data");
  const JsonArray& items = data->as_array();
  if (items.size() != n)
    return fail(cat(items.size(), " values for the ", n, " sub-zones at depth ", d));
  std::vector<uint8_t> present(n);
  for (uint64_t i = 0; i < n; ++i) {
    if ((i & 4095) == 0) poll_cancel();
    const Json& v = items[i];
    if (v.is_null()) continue;
    if (!v.is_number())
      return fail(cat("zone data value ", v.dump(), " is not a number or null"));
    present[i] = !nonzero || v.as_f64() != 0.0;
  }

  auto pos = position(h, *zone);
  if (!pos) return std::unexpected(pos.error());
  uint32_t deepest = h.deepest();
  if (uint64_t(pos->level) + d > deepest)
    return fail(cat("depth ", d, " below a level-", pos->level,
                    " zone is deeper than the deepest level, ", deepest));
  uint32_t abs_depth = pos->level + d;
  auto ctx = make_ctx(profile, abs_depth);
  if (!ctx) return std::unexpected(ctx.error());
  auto tree = Tree::empty(h.a, h.b, abs_depth, *ctx);
  if (!tree) return tree;

  uint64_t side = *checked_pow(3, d);
  Node node = block_node(present.data(), side, 3, d, **ctx);
  // Lift the zone's node to its base cell: at each level it is the one
  // non-empty child of its parent.
  uint64_t cid = *zone;
  std::vector<Node> kids(h.a);
  for (uint32_t level = pos->level; level >= 1; --level) {
    for (Node& k : kids) k = Node::empty();
    kids[cid % h.a] = std::move(node);
    node = make_branch(kids, abs_depth - (level - 1), **ctx);
    cid /= h.a;
  }
  std::vector<Node> bases = tree->bases();
  bases[pos->base] = std::move(node);
  return Tree::from_bases(std::move(bases), abs_depth, std::move(*ctx));
}

}  // namespace kivet
