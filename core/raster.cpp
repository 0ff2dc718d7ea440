#include "core/raster.hpp"

#include <sys/mman.h>

#include <bit>
#include <cassert>
#include <cstring>
#include <new>

#include "core/support/cancel.hpp"
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
    uint32_t i = 0;
    if (height == 1) {
      for (const Node& kid : node.children()) {
        p[(i / side) * stride + i % side] = kid.is_full();
        ++i;
      }
      return;
    }
    uint64_t sub = pow[height - 1];
    for (const Node& kid : node.children()) {
      paint(kid, p + (i / side) * sub * stride + (i % side) * sub, height - 1);
      ++i;
    }
  }
};

// ---- mask to tree ----------------------------------------------------------

// The smallest and largest byte of a run, folded into lo and hi: a block is
// all zero when hi is 0, all covered when lo is not. Written as plain
// reductions, which the compiler turns into vector min/max.
inline void fold_run(const uint8_t* p, uint64_t m, uint8_t& lo, uint8_t& hi) {
  uint8_t l = lo, h = hi;
  for (uint64_t i = 0; i < m; ++i) {
    l = p[i] < l ? p[i] : l;
    h = p[i] > h ? p[i] : h;
  }
  lo = l;
  hi = h;
}

// Smallest and largest byte of a block.
struct ByteRange {
  uint8_t lo = 0xff, hi = 0;
  void fold(ByteRange o) {
    lo = o.lo < lo ? o.lo : lo;
    hi = o.hi > hi ? o.hi : hi;
  }
  bool mixed() const { return lo == 0 && hi != 0; }
};

// Builds canonical nodes from a mask bottom-up. Blocks of side at least 64
// bytes (the "summary height" H) are judged from a pyramid of per-block byte
// ranges filled by one streaming pass over the rows, so uniform regions cost
// one sequential read and no recursion; only blocks that hold both values are
// descended. Below H a block is scanned before it is split: short strided
// rows are latency-bound, and only boundary blocks get there.
class MaskBuilder {
 public:
  MaskBuilder(uint64_t stride, uint32_t side, uint32_t height, const Ctx& ctx)
      : stride_(stride), side_(side), a_(side * side), height_(height), ctx_(ctx),
        pow_(powers(side, height)), scratch_(size_t(a_) * (height + 1)) {
    summary_ = 0;
    while (summary_ < height && pow_[summary_] < 64) ++summary_;
    if (summary_ < height) {
      pyramid_.resize(height - summary_ + 1);
      for (uint32_t k = 0; k < pyramid_.size(); ++k) {
        uint64_t g = pow_[height - summary_ - k];
        pyramid_[k].resize(g * g);
      }
    }
  }

  // The node of the whole N^height block at `top_left`.
  Node build(const uint8_t* top_left) {
    if (pyramid_.empty()) return scan_build(top_left, height_);
    summarize(top_left);
    return pyramid_build(top_left, height_, 0, 0);
  }

 private:
  void summarize(const uint8_t* top_left) {
    const uint64_t m = pow_[summary_], g = pow_[height_ - summary_];
    std::vector<ByteRange>& base = pyramid_[0];
    std::fill(base.begin(), base.end(), ByteRange{});
    for (uint64_t r = 0; r < pow_[height_]; ++r) {
      const uint8_t* row = top_left + r * stride_;
      ByteRange* cells = base.data() + (r / m) * g;
      for (uint64_t j = 0; j < g; ++j) fold_run(row + j * m, m, cells[j].lo, cells[j].hi);
    }
    for (uint32_t k = 1; k < pyramid_.size(); ++k) {
      uint64_t gc = pow_[height_ - summary_ - k + 1], gp = gc / side_;
      for (uint64_t i = 0; i < gp; ++i)
        for (uint64_t j = 0; j < gp; ++j) {
          ByteRange s;
          for (uint32_t d = 0; d < a_; ++d)
            s.fold(pyramid_[k - 1][(i * side_ + d / side_) * gc + j * side_ + d % side_]);
          pyramid_[k][i * gp + j] = s;
        }
    }
  }

  // (bi, bj): the block's row and column among the blocks of its height.
  Node pyramid_build(const uint8_t* p, uint32_t height, uint64_t bi, uint64_t bj) {
    uint32_t k = height - summary_;
    ByteRange s = pyramid_[k][bi * pow_[height_ - height] + bj];
    if (!s.mixed()) return s.hi == 0 ? Node::empty() : Node::full();
    Node* kids = scratch_.data() + size_t(a_) * height;
    uint64_t sub = pow_[height - 1];
    for (uint32_t i = 0; i < a_; ++i) {
      const uint8_t* q = p + (i / side_) * sub * stride_ + (i % side_) * sub;
      kids[i] = k == 0 ? scan_build(q, height - 1)
                       : pyramid_build(q, height - 1, bi * side_ + i / side_,
                                       bj * side_ + i % side_);
    }
    return make_branch(std::span<Node>(kids, a_), height, ctx_);
  }

  Node scan_build(const uint8_t* p, uint32_t height) {
    uint64_t m = pow_[height];
    ByteRange s;
    for (uint64_t r = 0; r < m && !s.mixed(); ++r) fold_run(p + r * stride_, m, s.lo, s.hi);
    if (!s.mixed()) return s.hi == 0 ? Node::empty() : Node::full();
    Node* kids = scratch_.data() + size_t(a_) * height;
    if (height == 1) {
      for (uint32_t i = 0; i < a_; ++i)
        kids[i] = p[(i / side_) * stride_ + i % side_] ? Node::full() : Node::empty();
    } else {
      uint64_t sub = pow_[height - 1];
      for (uint32_t i = 0; i < a_; ++i)
        kids[i] = scan_build(p + (i / side_) * sub * stride_ + (i % side_) * sub, height - 1);
    }
    return make_branch(std::span<Node>(kids, a_), height, ctx_);
  }

  uint64_t stride_;
  uint32_t side_, a_, height_;
  const Ctx& ctx_;
  std::vector<uint64_t> pow_;
  std::vector<Node> scratch_;  // a children per height, reused
  uint32_t summary_;           // H
  std::vector<std::vector<ByteRange>> pyramid_;  // [k]: blocks of height H + k
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
  auto nside = side(h);
  if (!nside) return std::unexpected(nside.error());
  auto n = span(h, depth);
  if (!n) return std::unexpected(n.error());
  uint64_t square, cells;
  if (__builtin_mul_overflow(*n, *n, &square) ||
      __builtin_mul_overflow(square, uint64_t(h.b), &cells) || cells > kMaxRasterCells)
    return fail(cat("a raster at level ", depth, " is too large"));
  return RasterShape{*nside, *n, cells};
}

void advise_huge_pages(uint8_t* p, uint64_t size) {
#ifdef MADV_HUGEPAGE
  constexpr uint64_t kHuge = uint64_t(2) << 20;
  if (size < 2 * kHuge) return;
  auto first = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~uintptr_t(kHuge - 1);
  auto last = (reinterpret_cast<uintptr_t>(p) + size) & ~uintptr_t(kHuge - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)p;
  (void)size;
#endif
}

void write_raster(const Tree& tree, std::span<uint8_t> out) {
  Hierarchy h = tree.hierarchy();
  uint32_t nside = *side(h);
  uint32_t d = tree.depth();
  std::vector<uint64_t> pow = powers(nside, d);
  uint64_t n = pow[d];
  assert(out.size() == h.b * n * n);
  Painter painter{n, nside, pow.data()};
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
  return MaskBuilder(stride, side, height, ctx).build(top_left);
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
    bases[base] = builder.build(mask.data() + base * n * n);
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
  uint64_t n = shape.n, nside = shape.side, a = h.a;
  assert(out.size() == 8 * shape.cells);
  // cid(base, row, col) = (A + base)·A^L + rows[row] + cols[col]: the digits
  // interleave, row digits scaled by N, column digits not.
  std::vector<uint64_t> rows(n), cols(n);
  for (uint64_t i = 0; i < n; ++i) {
    if ((i & 4095) == 0) poll_cancel();
    uint64_t rest = i, weight = 1, part = 0;
    for (uint32_t k = 0; k < level; ++k) {
      part += (rest % nside) * weight;
      rest /= nside;
      weight *= a;
    }
    cols[i] = part;
    rows[i] = part * nside;
  }
  uint64_t top = *checked_pow(a, level);
  uint8_t* p = out.data();
  for (uint32_t b = 0; b < h.b; ++b) {
    uint64_t lead = (a + b) * top;
    for (uint64_t r = 0; r < n; ++r) {
      poll_cancel();
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
    if ((i & 4095) == 0) poll_cancel();
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
  auto nside = side(h);
  if (!nside) return std::unexpected(nside.error());
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
      poll_cancel();
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
