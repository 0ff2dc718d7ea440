#include "core/hierarchy.hpp"

namespace kivet {

std::optional<uint64_t> checked_pow(uint64_t base, uint64_t exp) {
  uint64_t result = 1;
  while (true) {
    if ((exp & 1) && __builtin_mul_overflow(result, base, &result))
      return std::nullopt;
    exp >>= 1;
    if (!exp) return result;
    // A higher bit remains, so it will use this square.
    if (__builtin_mul_overflow(base, base, &base)) return std::nullopt;
  }
}

uint32_t level_of(uint64_t cid, uint32_t a) {
  uint32_t divisions = 0;
  while (cid >= a) {
    cid /= a;
    ++divisions;
  }
  return divisions == 0 ? 0 : divisions - 1;
}

Result<void> Hierarchy::validate() const {
  if (a < 2 || a > kMaxAperture || b == 0)
    return fail(cat("need 2 <= A <= ", kMaxAperture, " and B >= 1, got A=", a,
                    ", B=", b));
  uint64_t limit = uint64_t(a) * (a - 1);
  if (b > limit)
    return fail(cat("B=", b, " > A(A-1)=", limit,
                    ": the leading block would not be two digits"));
  return {};
}

uint32_t Hierarchy::deepest() const {
  if (a < 2) return 0;
  uint64_t v;
  if (__builtin_mul_overflow(uint64_t(a) + b, uint64_t(a), &v)) return 0;
  uint32_t d = 1;
  while (!__builtin_mul_overflow(v, uint64_t(a), &v)) ++d;
  return d;
}

Result<uint32_t> Hierarchy::check(uint64_t cid, bool bounded,
                                  uint32_t max_level) const {
  if (cid < a) return fail(cat("not a cid: ", cid));
  uint32_t level = level_of(cid, a);
  // A^level <= cid, so it cannot overflow.
  uint64_t lead = cid / *checked_pow(a, level);
  if (lead < a || lead >= uint64_t(a) + b)
    return fail(cat("cid ", cid, " names base ", int64_t(lead) - int64_t(a),
                    ", outside [0, ", b, ")"));
  uint32_t d = deepest();
  if (level > d)
    return fail(cat("cid ", cid, " is at level ", level,
                    ", deeper than the deepest level, ", d));
  if (bounded && level > max_level)
    return fail(cat("cid ", cid, " is at level ", level, ", deeper than ",
                    max_level));
  return level;
}

Result<Path> Hierarchy::path(uint64_t cid) const {
  auto level = check(cid);
  if (!level) return std::unexpected(level.error());
  Path p(*level + 1);
  for (uint32_t i = *level; i >= 1; --i) {
    p[i] = uint32_t(cid % a);
    cid /= a;
  }
  p[0] = uint32_t(cid - a);
  return p;
}

Result<uint64_t> Hierarchy::cid(std::span<const uint32_t> path) const {
  if (path.empty()) return fail("empty path");
  uint32_t base = path[0];
  if (base >= b) return fail(cat("base ", base, " out of range [0, ", b, ")"));
  uint64_t k = path.size() - 1;
  uint32_t d = deepest();
  if (k > d)
    return fail(cat("path of ", k, " digits is deeper than the deepest level, ", d));
  uint64_t value = uint64_t(a) + base;
  for (size_t i = 1; i < path.size(); ++i) {
    if (path[i] >= a)
      return fail(cat("digit ", path[i], " out of range [0, ", a, ")"));
    value = value * a + path[i];
  }
  return value;
}

bool Hierarchy::is_ancestor(uint64_t a_cid, uint64_t b_cid) const {
  uint32_t la = level_of(a_cid, a), lb = level_of(b_cid, a);
  if (lb < la) return false;
  if (lb == la) return a_cid == b_cid;
  auto p = checked_pow(a, lb - la);
  return p && a_cid == b_cid / *p;
}

std::string Hierarchy::debug() const {
  return cat("Hierarchy { a: ", a, ", b: ", b, " }");
}

std::string path_to_suid(std::span<const uint32_t> path) {
  std::string s;
  s.reserve(path.size());
  s += "NOPQRS"[path[0]];
  for (size_t i = 1; i < path.size(); ++i) s += char('0' + path[i]);
  return s;
}

namespace {
// The byte as the character of that code point, UTF-8 encoded.
std::string quoted_char(unsigned char c) {
  std::string s = "'";
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else {
    s += static_cast<char>(0xC0 | (c >> 6));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  s += "'";
  return s;
}
}  // namespace

Result<Path> suid_to_path(std::string_view text) {
  if (text.empty()) return fail("empty suid");
  unsigned char first = text[0];
  if (first < 'N' || first > 'S')
    return fail(cat("unknown base cell ", quoted_char(first)));
  Path p;
  p.reserve(text.size());
  p.push_back(first - 'N');
  for (size_t i = 1; i < text.size(); ++i) {
    unsigned char c = text[i];
    if (c < '0' || c > '9') return fail(cat("bad suid digit ", quoted_char(c)));
    p.push_back(c - '0');
  }
  return p;
}

Result<std::string> cid_to_suid(uint64_t cid) {
  auto p = kRhealpix.path(cid);
  if (!p) return std::unexpected(p.error());
  return path_to_suid(*p);
}

Result<uint64_t> suid_to_cid(std::string_view text) {
  auto p = suid_to_path(text);
  if (!p) return std::unexpected(p.error());
  return kRhealpix.cid(*p);
}

}  // namespace kivet
