#include "core/zone.hpp"

#include <array>
#include <cmath>

namespace kivet {

namespace {

constexpr uint64_t kMaxSubzones = uint64_t(1) << 30;

// For N = 3, three levels at a time: (row mod 27, column mod 27) -> the
// interleaved base-9 value of their three digit pairs.
constexpr std::array<uint16_t, 27 * 27> kInterleave27 = [] {
  std::array<uint16_t, 27 * 27> t{};
  for (uint32_t r = 0; r < 27; ++r)
    for (uint32_t c = 0; c < 27; ++c) {
      uint32_t v = 0, p = 1;
      for (uint32_t rr = r, cc = c, i = 0; i < 3; ++i, rr /= 3, cc /= 3, p *= 9)
        v += (3 * (rr % 3) + cc % 3) * p;
      t[r * 27 + c] = uint16_t(v);
    }
  return t;
}();

// Division by literals compiles to multiplications, which keeps the common
// rHEALPix grid fast in bulk calls.
inline void interleave3(uint64_t row, uint64_t column, uint32_t level, uint64_t& low,
                        uint64_t& power) {
  low = 0;
  power = 1;
  uint32_t i = 0;
  for (; i + 3 <= level; i += 3) {
    low += kInterleave27[(row % 27) * 27 + column % 27] * power;
    row /= 27;
    column /= 27;
    power *= 729;
  }
  for (; i < level; ++i) {
    low += (3 * (row % 3) + column % 3) * power;
    row /= 3;
    column /= 3;
    power *= 9;
  }
}

// The digits below the leading block of the cell at (row, column) of a
// level-`level` array: Σ (N·row_i + column_i)·A^i over the base-N digits of
// row and column, least significant first. Returns that sum and A^level.
inline void interleave(uint32_t n, uint64_t row, uint64_t column, uint32_t level,
                       uint64_t& low, uint64_t& power) {
  if (n == 3) return interleave3(row, column, level, low, power);
  uint64_t a = uint64_t(n) * n;
  low = 0;
  power = 1;
  for (uint32_t i = 0; i < level; ++i) {
    low += (n * (row % n) + column % n) * power;
    row /= n;
    column /= n;
    power *= a;
  }
}


// Row and column of the `level` digits below the leading block; returns the
// leading block.
inline uint64_t split9(uint64_t cid, uint32_t level, uint64_t& row, uint64_t& column) {
  uint64_t scale = 1;
  uint32_t i = 0;
  for (; i + 3 <= level; i += 3) {
    const auto& rc = kSplit729[cid % 729];
    cid /= 729;
    row += rc[0] * scale;
    column += rc[1] * scale;
    scale *= 27;
  }
  for (; i < level; ++i) {
    uint64_t d = cid % 9;
    cid /= 9;
    row += d / 3 * scale;
    column += d % 3 * scale;
    scale *= 3;
  }
  return cid;
}

// A cell of the six-square layout, with row or column possibly one step
// outside [0, n).
struct Step {
  uint32_t base;
  int64_t r, c;
};

// Crosses the base-cell edge that `s` stepped over; the gluing follows the
// polar-square rearrangement of the projection.
Step glue(Step s, int64_t n, uint32_t ns, uint32_t ss) {
  auto eq = [](uint32_t q) { return q % 4 + 1; };
  int64_t r = s.r, c = s.c;
  if (s.base == 0) {
    if (r == n) return {eq(ns), 0, c};
    if (c == n) return {eq(ns + 1), 0, n - 1 - r};
    if (r == -1) return {eq(ns + 2), 0, n - 1 - c};
    return {eq(ns + 3), 0, r};
  }
  if (s.base == 5) {
    if (r == -1) return {eq(ss), n - 1, c};
    if (c == n) return {eq(ss + 1), n - 1, r};
    if (r == n) return {eq(ss + 2), n - 1, n - 1 - c};
    return {eq(ss + 3), n - 1, n - 1 - r};
  }
  uint32_t q = s.base - 1;
  if (c == -1) return {eq(q + 3), r, n - 1};
  if (c == n) return {eq(q + 1), r, 0};
  if (r == -1) {
    switch ((q + 4 - ns) % 4) {
      case 0: return {0, n - 1, c};
      case 1: return {0, n - 1 - c, n - 1};
      case 2: return {0, 0, n - 1 - c};
      default: return {0, c, 0};
    }
  }
  switch ((q + 4 - ss) % 4) {
    case 0: return {5, 0, c};
    case 1: return {5, c, n - 1};
    case 2: return {5, n - 1, n - 1 - c};
    default: return {5, n - 1 - c, 0};
  }
}

}  // namespace

Result<uint32_t> side(const Hierarchy& h) {
  auto n = uint32_t(std::lround(std::sqrt(double(h.a))));
  if (uint64_t(n) * n != h.a)
    return fail(cat("aperture ", h.a, " is not a square; cells have no row and column"));
  return n;
}

Result<uint64_t> span(const Hierarchy& h, uint32_t depth) {
  auto n = side(h);
  if (!n) return std::unexpected(n.error());
  auto m = checked_pow(*n, depth);
  if (!m) return fail(cat("level ", depth, " overflows"));
  return *m;
}

Result<Position> position(const Hierarchy& h, uint64_t cid) {
  auto n = side(h);
  if (!n) return std::unexpected(n.error());
  auto level = h.check(cid);
  if (!level) return std::unexpected(level.error());
  Position p;
  p.level = *level;
  uint64_t scale = 1;
  for (uint32_t i = 0; i < *level; ++i) {
    uint64_t d = cid % h.a;
    cid /= h.a;
    p.row += (d / *n) * scale;
    p.column += (d % *n) * scale;
    scale *= *n;
  }
  p.base = uint32_t(cid - h.a);
  return p;
}

Result<uint64_t> cell_at(const Hierarchy& h, uint32_t base, uint32_t level,
                         uint64_t row, uint64_t column) {
  uint32_t deepest = h.deepest();
  if (level > deepest)
    return fail(cat("level ", level, " is deeper than the deepest level, ", deepest));
  auto n = side(h);
  if (!n) return std::unexpected(n.error());
  auto m = checked_pow(*n, level);
  if (!m) return fail(cat("level ", level, " overflows"));
  if (base >= h.b) return fail(cat("base ", base, " out of range [0, ", h.b, ")"));
  if (row >= *m || column >= *m)
    return fail(cat("(", row, ", ", column, ") outside a ", *m, "x", *m,
                    " base cell at level ", level));
  uint64_t low, power;
  interleave(*n, row, column, level, low, power);
  return (uint64_t(h.a) + base) * power + low;
}

Result<uint64_t> cell_at(const Hierarchy& h, const Position& p) {
  return cell_at(h, p.base, p.level, p.row, p.column);
}

CellEncoder::CellEncoder(const Hierarchy& h, uint32_t level) : h_(h), level_(level) {
  // Base 0 always exists, so only the level checks can refuse this cell;
  // they refuse every cell of the level or none.
  auto probe = cell_at(h, 0, level, 0, 0);
  if (!probe) {
    level_error_ = probe.error();
    return;
  }
  n_ = *side(h);
  span_ = *checked_pow(n_, level);
}

Result<uint64_t> CellEncoder::operator()(uint32_t base, uint64_t row,
                                         uint64_t column) const {
  if (level_error_) return std::unexpected(*level_error_);
  if (base >= h_.b) return fail(cat("base ", base, " out of range [0, ", h_.b, ")"));
  if (row >= span_ || column >= span_)
    return cell_at(h_, base, level_, row, column);
  uint64_t low, power;
  interleave(n_, row, column, level_, low, power);
  return (uint64_t(h_.a) + base) * power + low;
}

CellDecoder::CellDecoder(const Hierarchy& h) : h_(h), n_(*kivet::side(h)) {
  deepest_ = h.deepest();
  for (uint32_t k = 0; k < power_.size(); ++k) {
    auto p = checked_pow(h.a, k);
    if (!p) break;
    power_[k] = *p;
    if (k <= deepest_) limit_[k] = (uint64_t(h.a) + h.b) * *p;
  }
}

Result<Position> CellDecoder::position(uint64_t cid) const {
  // Level L: the cid has L + 2 base-A digits, A^(L+1) <= cid < A^(L+2).
  uint32_t level = 0;
  while (level < deepest_ && power_[level + 2] != 0 && power_[level + 2] <= cid) ++level;
  // Valid when its leading block is in [A, A + B): cid < (A + B)·A^L. That
  // bound is at most A^(L+2), so cids deeper than the deepest level fail too.
  if (cid < h_.a || cid >= limit_[level]) {
    // Not a cid of this hierarchy: the general check names the reason.
    auto checked = h_.check(cid);
    if (!checked) return std::unexpected(checked.error());
    return kivet::position(h_, cid);
  }
  Position p;
  p.level = level;
  uint64_t lead;
  if (h_.a == 9) {
    lead = split9(cid, level, p.row, p.column);
  } else {
    uint64_t scale = 1;
    for (uint32_t i = 0; i < level; ++i) {
      uint64_t d = cid % h_.a;
      cid /= h_.a;
      p.row += (d / n_) * scale;
      p.column += (d % n_) * scale;
      scale *= n_;
    }
    lead = cid;
  }
  p.base = uint32_t(lead - h_.a);
  return p;
}

uint64_t CellDecoder::encode(const Position& p) const {
  uint64_t low, power;
  interleave(n_, p.row, p.column, p.level, low, power);
  return (uint64_t(h_.a) + p.base) * power + low;
}

Result<uint64_t> subzone_at(const Hierarchy& h, uint64_t ancestor, uint32_t depth,
                            uint64_t index) {
  auto pa = position(h, ancestor);
  if (!pa) return std::unexpected(pa.error());
  auto m = span(h, depth);
  if (!m) return std::unexpected(m.error());
  uint64_t count;
  if (__builtin_mul_overflow(*m, *m, &count)) count = UINT64_MAX;
  if (index >= count)
    return fail(cat("index ", index, " outside the ", count, " sub-zones at depth ", depth));
  uint64_t row0, column0;
  if (__builtin_mul_overflow(pa->row, *m, &row0) ||
      __builtin_mul_overflow(pa->column, *m, &column0))
    return fail(cat("depth ", depth, " below level ", pa->level, " overflows"));
  return cell_at(h, pa->base, pa->level + depth, row0 + index / *m, column0 + index % *m);
}

Result<std::vector<uint64_t>> subzones(const Hierarchy& h, uint64_t ancestor,
                                       uint32_t depth) {
  auto m = span(h, depth);
  if (!m) return std::unexpected(m.error());
  uint64_t count;
  if (__builtin_mul_overflow(*m, *m, &count) || count > kMaxSubzones)
    return fail(cat("depth ", depth, " has too many sub-zones"));
  // Every index meets the same checks, so the first one decides success.
  auto first = subzone_at(h, ancestor, depth, 0);
  if (!first) return std::unexpected(first.error());
  // Sub-zone (i, j) = ancestor·A^depth + N·spread(i) + spread(j), spread
  // placing the base-N digits of its argument at base-A positions.
  uint32_t n = *side(h);
  std::vector<uint64_t> spread(*m);
  for (uint64_t j = 0; j < *m; ++j) {
    uint64_t low, power;
    interleave(n, 0, j, depth, low, power);
    spread[j] = low;
  }
  std::vector<uint64_t> out;
  out.reserve(count);
  for (uint64_t i = 0; i < *m; ++i) {
    uint64_t row_part = *first + n * spread[i];
    for (uint64_t j = 0; j < *m; ++j) out.push_back(row_part + spread[j]);
  }
  return out;
}

Result<uint64_t> subzone_index(const Hierarchy& h, uint64_t ancestor, uint64_t cid) {
  if (auto c = h.check(ancestor); !c) return std::unexpected(c.error());
  if (auto c = h.check(cid); !c) return std::unexpected(c.error());
  if (!h.is_ancestor(ancestor, cid))
    return fail(cat(ancestor, " is not an ancestor of ", cid));
  auto pa = position(h, ancestor);
  if (!pa) return std::unexpected(pa.error());
  auto pc = position(h, cid);
  if (!pc) return std::unexpected(pc.error());
  auto m = span(h, pc->level - pa->level);
  if (!m) return std::unexpected(m.error());
  return (pc->row - pa->row * *m) * *m + (pc->column - pa->column * *m);
}

Result<Neighbours> neighbours(const Profile& profile, uint64_t cid) {
  if (auto v = profile.validate(); !v) return std::unexpected(v.error());
  if (profile.n_base != 6)
    return fail(cat("the rHEALPix layout has 6 base cells, the profile has ",
                    profile.n_base));
  return neighbours(Hierarchy{profile.aperture, 6}, profile.north_square,
                    profile.south_square, cid);
}

Result<Neighbours> neighbours(const Hierarchy& h, uint32_t north_square,
                              uint32_t south_square, uint64_t cid) {
  if (auto n = side(h); !n) return std::unexpected(n.error());
  return neighbours(CellDecoder(h), north_square, south_square, cid);
}

Result<Neighbours> neighbours(const CellDecoder& cells, uint32_t north_square,
                              uint32_t south_square, uint64_t cid) {
  auto p = cells.position(cid);
  if (!p) return std::unexpected(p.error());
  // A valid level's N^L always fits: N^L <= sqrt(A^L).
  auto n = int64_t(*checked_pow(cells.side(), p->level));
  static constexpr int kDr[4] = {-1, 0, 1, 0};
  static constexpr int kDc[4] = {0, 1, 0, -1};
  uint64_t out[4];
  for (int d = 0; d < 4; ++d) {
    Step s{p->base, int64_t(p->row) + kDr[d], int64_t(p->column) + kDc[d]};
    if (s.r < 0 || s.r >= n || s.c < 0 || s.c >= n)
      s = glue(s, n, north_square % 4, south_square % 4);
    out[d] = cells.encode({s.base, p->level, uint64_t(s.r), uint64_t(s.c)});
  }
  return Neighbours{out[0], out[1], out[2], out[3]};
}

}  // namespace kivet
