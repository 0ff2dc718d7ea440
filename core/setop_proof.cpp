#include "core/setop_proof.hpp"

#include "core/opening.hpp"
#include "core/setops.hpp"
#include "core/support/cancel.hpp"
#include "core/support/sha256.hpp"

namespace kivet {

namespace {

constexpr std::string_view kOpNames[] = {"union", "intersect", "difference"};

// Node hash over one field of the child steps, streamed: no list is built.
template <class Field>
Hash children_hash(const std::vector<Step>& children, Field field) {
  Sha256 s;
  s.update(kTagNode);
  for (const Step& child : children) s.update(child.*field);
  return s.finish();
}

template <class Field>
Hash steps_root(const std::vector<Step>& steps, Field field) {
  Sha256 s;
  s.update(kTagRoot);
  for (const Step& step : steps) s.update(step.*field);
  return s.finish();
}

Result<Hash> read_hash(const Json& value, const char* key, const char* message) {
  const Json* v = value.find(key);
  std::optional<Hash> h;
  if (v && v->is_string()) h = unhex(v->as_string());
  if (!h) return fail(message);
  return *h;
}

// Child i without touching reference counts (see Node::child).
const Node& child_ref(const Node& node, uint32_t i) {
  return node.is_branch() ? node.children()[i] : node;
}

void write_hex(std::string& out, const Hash& h) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (uint8_t byte : h) {
    out += kHex[byte >> 4];
    out += kHex[byte & 15];
  }
  out += '"';
}

void write_step(std::string& out, const Step& step) {
  out += "{\"a\":";
  write_hex(out, step.a);
  out += ",\"b\":";
  write_hex(out, step.b);
  out += ",\"c\":";
  write_hex(out, step.c);
  if (step.children) {
    out += ",\"children\":[";
    bool first = true;
    for (const Step& child : *step.children) {
      if (!first) out += ',';
      first = false;
      write_step(out, child);
    }
    out += ']';
  }
  out += '}';
}

// Steps in the transcript, for reserving its text.
size_t count_steps(const std::vector<Step>& steps) {
  size_t n = steps.size();
  for (const Step& s : steps)
    if (s.children) n += count_steps(*s.children);
  return n;
}

}  // namespace

std::string_view op_name(uint8_t op) {
  return op < 3 ? kOpNames[op] : std::string_view("difference");
}

std::optional<uint8_t> op_code(std::string_view name) {
  for (uint8_t i = 0; i < 3; ++i)
    if (kOpNames[i] == name) return i;
  return std::nullopt;
}

// ---- Steps -----------------------------------------------------------------

Json Step::to_json() const {
  JsonObject o;
  o.emplace("a", Json(to_hex(a)));
  o.emplace("b", Json(to_hex(b)));
  o.emplace("c", Json(to_hex(c)));
  if (children) {
    JsonArray list;
    list.reserve(children->size());
    for (const Step& child : *children) list.push_back(child.to_json());
    o.emplace("children", Json(std::move(list)));
  }
  return Json(std::move(o));
}

Result<Step> Step::from_json(const Json& value) {
  Step step;
  if (const Json* list = value.find("children")) {
    if (!list->is_array()) return fail("children must be an array");
    std::vector<Step> children;
    children.reserve(list->as_array().size());
    for (const Json& item : list->as_array()) {
      auto child = from_json(item);
      if (!child) return std::unexpected(child.error());
      children.push_back(std::move(*child));
    }
    step.children = std::move(children);
  }
  auto a = read_hash(value, "a", "bad step hash a");
  if (!a) return std::unexpected(a.error());
  auto b = read_hash(value, "b", "bad step hash b");
  if (!b) return std::unexpected(b.error());
  auto c = read_hash(value, "c", "bad step hash c");
  if (!c) return std::unexpected(c.error());
  step.a = *a;
  step.b = *b;
  step.c = *c;
  return step;
}

// ---- Transcripts -----------------------------------------------------------

Json SetOpProof::to_json() const {
  JsonObject o;
  put_wire_shape(o, a, b, d, hash);
  o.emplace("op", Json(std::string(op_name(op))));
  o.emplace("root_a", Json(to_hex(root_a)));
  o.emplace("root_b", Json(to_hex(root_b)));
  o.emplace("root_c", Json(to_hex(root_c)));
  JsonArray list;
  list.reserve(steps.size());
  for (const Step& step : steps) list.push_back(step.to_json());
  o.emplace("steps", Json(std::move(list)));
  o.emplace("v", Json(kSetOpProofVersion));
  return Json(std::move(o));
}

std::string SetOpProof::dump() const {
  std::string out;
  // A step without children is 215 bytes; descended ones add 14.
  out.reserve(256 + count_steps(steps) * 230);
  out += cat("{\"A\":", a, ",\"B\":", b, ",\"D\":", d, ",\"hash\":");
  write_json_string(out, hash);
  out += ",\"op\":";
  write_json_string(out, op_name(op));
  out += ",\"root_a\":";
  write_hex(out, root_a);
  out += ",\"root_b\":";
  write_hex(out, root_b);
  out += ",\"root_c\":";
  write_hex(out, root_c);
  out += ",\"steps\":[";
  bool first = true;
  for (const Step& step : steps) {
    if (!first) out += ',';
    first = false;
    write_step(out, step);
  }
  out += cat("],\"v\":", kSetOpProofVersion, "}");
  return out;
}

Result<SetOpProof> SetOpProof::from_json(const Json& value) {
  uint64_t version = wire_version(value);
  if (version != kSetOpProofVersion)
    return fail(cat("set-operation proof is version v", version,
                    "; this build reads v", kSetOpProofVersion));
  SetOpProof p;
  const Json* op = value.find("op");
  std::optional<uint8_t> code;
  if (op && op->is_string()) code = op_code(op->as_string());
  if (!code) return fail("bad op");
  p.op = *code;
  auto shape = wire_shape(value);
  if (!shape) return std::unexpected(shape.error());
  p.a = shape->a;
  p.b = shape->b;
  p.d = shape->d;
  const Json* steps = value.find("steps");
  if (!steps || !steps->is_array()) return fail("missing steps");
  p.steps.reserve(steps->as_array().size());
  for (const Json& item : steps->as_array()) {
    auto step = Step::from_json(item);
    if (!step) return std::unexpected(step.error());
    p.steps.push_back(std::move(*step));
  }
  if (const Json* name = value.find("hash"); name && name->is_string())
    p.hash = name->as_string();
  auto ra = read_hash(value, "root_a", "bad root_a");
  if (!ra) return std::unexpected(ra.error());
  auto rb = read_hash(value, "root_b", "bad root_b");
  if (!rb) return std::unexpected(rb.error());
  auto rc = read_hash(value, "root_c", "bad root_c");
  if (!rc) return std::unexpected(rc.error());
  p.root_a = *ra;
  p.root_b = *rb;
  p.root_c = *rc;
  return p;
}

bool check(const Step& step, uint32_t k, uint8_t op, const Ctx& ctx) {
  if (auto r = rule(op, step.a, step.b, k, ctx))
    return !step.children && step.c == *r;
  if (k == 0 || !step.children || step.children->size() != ctx.hierarchy.a)
    return false;
  if (k >= 2) poll_cancel();
  for (const Step& child : *step.children)
    if (!check(child, k - 1, op, ctx)) return false;
  return children_hash(*step.children, &Step::a) == step.a &&
         children_hash(*step.children, &Step::b) == step.b &&
         children_hash(*step.children, &Step::c) == step.c;
}

bool SetOpProof::verify() const {
  if (hash != kHasherId) return false;
  if (!valid_shape(a, b, d)) return false;
  if (steps.size() != b) return false;
  CtxRef ctx = make_ctx(Hierarchy{a, b}, d);
  for (const Step& step : steps)
    if (!check(step, d, op, *ctx)) return false;
  return steps_root(steps, &Step::a) == root_a &&
         steps_root(steps, &Step::b) == root_b &&
         steps_root(steps, &Step::c) == root_c;
}

// ---- Proving ---------------------------------------------------------------

Step build(const Node& na, const Node& nb, uint32_t k, uint8_t op, const Ctx& ctx) {
  Step step;
  step.a = hash_at(na, k, ctx);
  step.b = hash_at(nb, k, ctx);
  if (auto r = rule(op, step.a, step.b, k, ctx)) {
    step.c = *r;
    return step;
  }
  if (k >= 2) poll_cancel();
  uint32_t a = ctx.hierarchy.a;
  std::vector<Step> children;
  children.reserve(a);
  for (uint32_t i = 0; i < a; ++i)
    children.push_back(build(child_ref(na, i), child_ref(nb, i), k - 1, op, ctx));
  step.c = children_hash(children, &Step::c);
  step.children = std::move(children);
  return step;
}

Result<SetOpProof> prove(const Tree& a, const Tree& b, uint8_t op) {
  if (auto ok = compatible(a, b); !ok) return std::unexpected(ok.error());
  SetOpProof p;
  const Ctx& ctx = *a.ctx();
  p.steps.reserve(a.hierarchy().b);
  for (uint32_t i = 0; i < a.hierarchy().b; ++i)
    p.steps.push_back(build(a.bases()[i], b.bases()[i], a.depth(), op, ctx));
  p.root_c = steps_root(p.steps, &Step::c);
  p.hash = std::string(ctx.hasher_id());
  p.op = op;
  p.a = a.hierarchy().a;
  p.b = a.hierarchy().b;
  p.d = a.depth();
  p.root_a = a.root();
  p.root_b = b.root();
  return p;
}

}  // namespace kivet
