#include "core/raster.hpp"

#include <unistd.h>

#include <bit>
#include <cassert>
#include <cstring>
#include <new>

#include "core/zone.hpp"

namespace kivet {

namespace {

inline void store_le64(uint8_t* p, uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
  std::memcpy(p, &v, sizeof v);
}

// N^0 ... N^height; every entry fits because N^height does.
std::vector<uint64_t> powers(uint32_t side, uint32_t height) {
  std::vector<uint64_t> pow(height + 1, 1);
  for (uint32_t k = 1; k <= height; ++k) pow[k] = pow[k - 1] * side;
  return pow;
}

// ---- tree to mask ----------------------------------------------------------

struct Painter {
  uint64_t stride;
  uint32_t side;
  const uint64_t* pow;

  void fill(uint8_t* p, uint64_t m, uint8_t value) const {
    for (uint64_t r = 0; r < m; ++r) std::memset(p + r * stride, value, m);
  }

  void paint(const Node& node, uint8_t* p, uint32_t height) const {
    if (!node.is_branch()) return fill(p, pow[height], node.is_full());
    std::span<const Node> kids = node.children();
    if (height == 1) {
      for (uint32_t i = 0; i < kids.size(); ++i)
        p[(i / side) * stride + i % side] = kids[i].is_full();
      return;
    }
    uint64_t sub = pow[height - 1];
    for (uint32_t i = 0; i < kids.size(); ++i)
      paint(kids[i], p + (i / side) * sub * stride + (i % side) * sub, height - 1);
  }
};

// ---- mask to tree ----------------------------------------------------------

constexpr unsigned kSawZero = 1, kSawSet = 2, kMixed = 3;

inline unsigned scan_word(uint64_t x) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  unsigned bits = x != 0 ? kSawSet : 0;
  // Nonzero exactly when some byte of x is zero.
  if ((x - kOnes) & ~x & kHighs) bits |= kSawZero;
  return bits;
}

inline unsigned scan_run(const uint8_t* p, uint64_t m) {
  unsigned bits = 0;
  if (m < 8) {
    for (uint64_t i = 0; i < m; ++i) bits |= p[i] ? kSawSet : kSawZero;
    return bits;
  }
  uint64_t x, i = 0;
  for (; i + 8 <= m; i += 8) {
    std::memcpy(&x, p + i, 8);
    bits |= scan_word(x);
  }
  if (i < m) {  // the last 8 bytes, overlapping what was read
    std::memcpy(&x, p + m - 8, 8);
    bits |= scan_word(x);
  }
  return bits;
}

// Blocks up to this many bytes are scanned before descending: a uniform block
// is decided by one pass over its bytes, a mixed one stops at the row that
// shows both values.
constexpr uint64_t kScanBytes = 1024;

struct MaskBuilder {
  uint64_t stride;
  uint32_t side;
  uint32_t a;
  const Ctx& ctx;
  std::vector<uint64_t> pow;
  std::vector<Node> scratch;  // a children per height, reused

  MaskBuilder(uint64_t stride_, uint32_t side_, uint32_t height, const Ctx& ctx_)
      : stride(stride_), side(side_), a(side_ * side_), ctx(ctx_),
        pow(powers(side_, height)), scratch(size_t(a) * (height + 1)) {}

  unsigned classify(const uint8_t* p, uint64_t m) const {
    unsigned bits = 0;
    for (uint64_t r = 0; r < m && bits != kMixed; ++r) bits |= scan_run(p + r * stride, m);
    return bits;
  }

  Node build(const uint8_t* p, uint32_t height) {
    uint64_t m = pow[height];
    if (m * m <= kScanBytes) {
      unsigned bits = classify(p, m);
      if (bits == kSawZero) return Node::empty();
      if (bits == kSawSet) return Node::full();
    }
    Node* kids = scratch.data() + size_t(a) * height;
    if (height == 1) {
      for (uint32_t i = 0; i < a; ++i)
        kids[i] = p[(i / side) * stride + i % side] ? Node::full() : Node::empty();
    } else {
      uint64_t sub = pow[height - 1];
      for (uint32_t i = 0; i < a; ++i)
        kids[i] = build(p + (i / side) * sub * stride + (i % side) * sub, height - 1);
    }
    return make_branch(std::span<Node>(kids, a), height, ctx);
  }
};

// ---- halo ------------------------------------------------------------------

struct Spot {
  uint32_t base;
  int64_t r, c;
};

inline uint32_t equatorial(uint32_t q) { return q % 4 + 1; }

// Continues base cell `base` across the one edge that (r, c) lies beyond, by
// the folding of the six-square layout: the north square's bottom, right, top
// and left triangles cap equatorial squares ns, ns+1, ns+2, ns+3; the south
// square's top, right, bottom and left ones cap ss, ss+1, ss+2, ss+3. One step
// beyond an edge this is the neighbour gluing; REQUIRES -n <= r, c < 2n.
Spot carry(uint32_t base, int64_t r, int64_t c, int64_t n, uint32_t ns, uint32_t ss) {
  if (base == 0) {
    if (r >= n) return {equatorial(ns), r - n, c};
    if (c >= n) return {equatorial(ns + 1), c - n, n - 1 - r};
    if (r < 0) return {equatorial(ns + 2), -r - 1, n - 1 - c};
    return {equatorial(ns + 3), -c - 1, r};
  }
  if (base == 5) {
    if (r < 0) return {equatorial(ss), n + r, c};
    if (c >= n) return {equatorial(ss + 1), 2 * n - 1 - c, r};
    if (r >= n) return {equatorial(ss + 2), 2 * n - 1 - r, n - 1 - c};
    return {equatorial(ss + 3), n + c, n - 1 - r};
  }
  uint32_t q = base - 1;
  if (c < 0) return {equatorial(q + 3), r, c + n};
  if (c >= n) return {equatorial(q + 1), r, c - n};
  if (r < 0) {
    switch ((q + 4 - ns) % 4) {
      case 0: return {0, n + r, c};
      case 1: return {0, n - 1 - c, n + r};
      case 2: return {0, -r - 1, n - 1 - c};
      default: return {0, c, -r - 1};
    }
  }
  switch ((q + 4 - ss) % 4) {
    case 0: return {5, r - n, c};
    case 1: return {5, c, 2 * n - 1 - r};
    case 2: return {5, 2 * n - 1 - r, n - 1 - c};
    default: return {5, n - 1 - c, r - n};
  }
}

}  // namespace

Result<RasterShape> raster_shape(const Hierarchy& h, uint32_t depth) {
  auto side_ = side(h);
  if (!side_) return std::unexpected(side_.error());
  auto n = span(h, depth);
  if (!n) return std::unexpected(n.error());
  uint64_t square, cells;
  if (__builtin_mul_overflow(*n, *n, &square) ||
      __builtin_mul_overflow(square, uint64_t(h.b), &cells) || cells > kMaxRasterCells)
    return fail(cat("a raster at level ", depth, " is too large"));
  return RasterShape{*side_, *n, cells};
}

void ensure_memory(uint64_t bytes) {
  long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && page > 0 && bytes / uint64_t(page) > uint64_t(pages))
    throw std::bad_alloc();
}

void write_raster(const Tree& tree, std::span<uint8_t> out) {
  Hierarchy h = tree.hierarchy();
  uint32_t side_ = *side(h);
  uint32_t d = tree.depth();
  std::vector<uint64_t> pow = powers(side_, d);
  uint64_t n = pow[d];
  assert(out.size() == h.b * n * n);
  Painter painter{n, side_, pow.data()};
  for (uint32_t b = 0; b < h.b; ++b) painter.paint(tree.bases()[b], out.data() + b * n * n, d);
}

void paint_block(const Node& node, uint32_t height, uint32_t side, uint8_t* top_left,
                 uint64_t stride) {
  std::vector<uint64_t> pow = powers(side, height);
  Painter{stride, side, pow.data()}.paint(node, top_left, height);
}

Node block_node(const uint8_t* top_left, uint64_t stride, uint32_t side,
                uint32_t height, const Ctx& ctx) {
  assert(ctx.hierarchy.a == side * side && height <= ctx.ladders.reach());
  MaskBuilder builder(stride, side, height, ctx);
  return builder.build(top_left, height);
}

Result<Tree> from_raster(uint32_t a, uint32_t b, uint32_t depth,
                         std::span<const uint8_t> mask, CtxRef ctx) {
  auto shape = raster_shape(Hierarchy{a, b}, depth);
  if (!shape) return std::unexpected(shape.error());
  if (mask.size() != shape->cells)
    return fail(cat("raster has ", mask.size(), " cells, depth ", depth, " needs ",
                    shape->cells));
  // Building cannot fail; the context is checked first so that the builder
  // only ever reads ladders of the right hierarchy.
  auto tree = Tree::empty(a, b, depth, ctx);
  if (!tree) return tree;
  uint64_t n = shape->n;
  MaskBuilder builder(n, shape->side, depth, *ctx);
  std::vector<Node> bases(b);
  for (uint32_t base = 0; base < b; ++base)
    bases[base] = builder.build(mask.data() + base * n * n, depth);
  return Tree::from_bases(std::move(bases), depth, std::move(ctx));
}

Result<RasterShape> raster_cells_shape(const Hierarchy& h, uint32_t level) {
  auto shape = raster_shape(h, level);
  if (!shape) return shape;
  // The last cell of the raster stands for all: the level's own errors
  // (deeper than the hierarchy allows) are those of cell_at.
  auto last = cell_at(h, h.b - 1, level, shape->n - 1, shape->n - 1);
  if (!last) return std::unexpected(last.error());
  return shape;
}

void write_raster_cells(const Hierarchy& h, uint32_t level, const RasterShape& shape,
                        std::span<uint8_t> out) {
  uint64_t n = shape.n, side_ = shape.side, a = h.a;
  assert(out.size() == 8 * shape.cells);
  // cid(base, row, col) = (A + base)·A^L + rows[row] + cols[col]: the digits
  // interleave, row digits scaled by N, column digits not.
  std::vector<uint64_t> rows(n), cols(n);
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t rest = i, weight = 1, part = 0;
    for (uint32_t k = 0; k < level; ++k) {
      part += (rest % side_) * weight;
      rest /= side_;
      weight *= a;
    }
    cols[i] = part;
    rows[i] = part * side_;
  }
  uint64_t top = *checked_pow(a, level);
  uint8_t* p = out.data();
  for (uint32_t b = 0; b < h.b; ++b) {
    uint64_t lead = (a + b) * top;
    for (uint64_t r = 0; r < n; ++r) {
      uint64_t row_base = lead + rows[r];
      for (uint64_t c = 0; c < n; ++c, p += 8) store_le64(p, row_base + cols[c]);
    }
  }
}

Result<void> raster_index(const Hierarchy& h, std::span<const uint64_t> cids,
                          std::span<uint8_t> out) {
  assert(out.size() == 8 * cids.size());
  if (cids.empty()) return {};
  auto first = h.check(cids[0]);
  if (!first) return std::unexpected(first.error());
  uint32_t level = *first;
  auto shape = raster_shape(h, level);
  if (!shape) return std::unexpected(shape.error());
  uint64_t n = shape->n;
  for (size_t i = 0; i < cids.size(); ++i) {
    auto p = position(h, cids[i]);
    if (!p) return std::unexpected(p.error());
    if (p->level != level)
      return fail(cat("cid ", cids[i], " is at level ", p->level, ", the first at ", level));
    store_le64(out.data() + 8 * i, p->base * n * n + p->row * n + p->column);
  }
  return {};
}

Result<HaloShape> halo_shape(const Profile& profile, uint32_t level, uint32_t width) {
  if (auto v = profile.validate(); !v) return std::unexpected(v.error());
  if (profile.n_base != 6)
    return fail(cat("the rHEALPix layout has 6 base cells, the profile has ",
                    profile.n_base));
  Hierarchy h = profile.hierarchy();
  auto side_ = side(h);
  if (!side_) return std::unexpected(side_.error());
  auto n = span(h, level);
  if (!n) return std::unexpected(n.error());
  if (*n < width)
    return fail(cat("a halo of ", width, " is wider than a base cell of ", *n,
                    " at level ", level));
  uint64_t s, square;
  if (__builtin_add_overflow(*n, 2 * uint64_t(width), &s) ||
      __builtin_mul_overflow(s, s, &square) || square >= kMaxHaloSquare)
    return fail(cat("a halo index at level ", level, " is too large"));
  return HaloShape{*n, width, s, 6 * square, profile.north_square,
                   profile.south_square};
}

void write_halo_index(const HaloShape& shape, std::span<uint8_t> out) {
  assert(out.size() == 8 * shape.entries);
  // Below 2^31 after the size check, so signed arithmetic is exact.
  const int64_t n = int64_t(shape.n), w = int64_t(shape.width), s = int64_t(shape.padded);
  const int64_t nn = n * n;
  uint8_t* p = out.data();
  auto put = [&](int64_t v) {
    store_le64(p, uint64_t(v));
    p += 8;
  };
  auto carried = [&](uint32_t base, int64_t r, int64_t c) {
    Spot t = carry(base, r, c, n, shape.north_square, shape.south_square);
    return int64_t(t.base) * nn + t.r * n + t.c;
  };
  for (uint32_t base = 0; base < 6; ++base) {
    for (int64_t row = 0; row < s; ++row) {
      int64_t r = row - w;
      bool inside = r >= 0 && r < n;
      for (int64_t c = -w; c < 0; ++c) put(inside ? carried(base, r, c) : -1);
      if (inside) {
        int64_t first = int64_t(base) * nn + r * n;
        for (int64_t c = 0; c < n; ++c) put(first + c);
      } else {
        for (int64_t c = 0; c < n; ++c) put(carried(base, r, c));
      }
      for (int64_t c = n; c < n + w; ++c) put(inside ? carried(base, r, c) : -1);
    }
  }
}

}  // namespace kivet
