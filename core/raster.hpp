// Six-base-cell rasters: coverage masks, the cid at every position, raster
// positions of cids, and halo gather indices across the folded base-cell edges.
//
// Layout at depth d of a hierarchy with A = N² and B base cells: n = N^d,
// B·n·n entries, base-major then row-major, so (base, row, col) (row 0 at the
// top) is at base·n² + row·n + col. A raster holds at most 2^30 cells; a halo
// index at most 6·178956970 entries (below 2^33 bytes). Results are written
// into caller-owned buffers, so the binding allocates each bytes object once;
// integers are stored little-endian whatever the host.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/hash.hpp"
#include "core/hierarchy.hpp"
#include "core/profile.hpp"
#include "core/tree.hpp"

namespace kivet {

inline constexpr uint64_t kMaxRasterCells = uint64_t(1) << 30;
// (n + 2w)² must stay below this, keeping a halo index under 2^33 bytes.
inline constexpr uint64_t kMaxHaloSquare = 178956971;

struct RasterShape {
  uint32_t side = 0;   // N
  uint64_t n = 0;      // cells along a base cell's side
  uint64_t cells = 0;  // B·n²
};

// N, n = N^depth and B·n², or the square / "level {d} overflows" / "a raster
// at level {d} is too large" message.
[[nodiscard]] Result<RasterShape> raster_shape(const Hierarchy& h, uint32_t depth);

// Asks the kernel to back a large, not yet touched buffer with huge pages:
// filling a fresh mapping page by page otherwise costs more than the fill.
void advise_huge_pages(uint8_t* p, uint64_t size);

// The mask of `tree` at its depth: 1 covered, 0 not. Every byte is written
// once. REQUIRES: out.size() == raster_shape(tree.hierarchy(), depth).cells.
void write_raster(const Tree& tree, std::span<uint8_t> out);

// Writes the leaves of `node` (height `height`) as 1/0 bytes into the
// N^height × N^height block at `top_left`, rows `stride` bytes apart.
void paint_block(const Node& node, uint32_t height, uint32_t side, uint8_t* top_left,
                 uint64_t stride);

// The canonical node of the N^height × N^height block of a byte mask whose
// top-left leaf is at `top_left`, rows `stride` bytes apart; any nonzero byte
// is a covered leaf. Uniform blocks are recognised by scanning bytes, the rest
// combined through make_branch, so the node is canonical as it is built.
// REQUIRES: height <= ctx.ladders.reach(), ctx.hierarchy.a == side².
Node block_node(const uint8_t* top_left, uint64_t stride, uint32_t side,
                uint32_t height, const Ctx& ctx);

// The tree of a mask laid out as write_raster writes it.
[[nodiscard]] Result<Tree> from_raster(uint32_t a, uint32_t b, uint32_t depth,
                                       std::span<const uint8_t> mask, CtxRef ctx);

// The cid at every raster position, as 8 little-endian bytes each.
// raster_cells_shape checks the size and that the cells exist; fill writes.
[[nodiscard]] Result<RasterShape> raster_cells_shape(const Hierarchy& h, uint32_t level);
void write_raster_cells(const Hierarchy& h, uint32_t level, const RasterShape& shape,
                        std::span<uint8_t> out);

// The flat raster index of each cid (all at the level of the first), as
// 8 little-endian bytes each. REQUIRES: out.size() == 8·cids.size().
[[nodiscard]] Result<void> raster_index(const Hierarchy& h,
                                        std::span<const uint64_t> cids,
                                        std::span<uint8_t> out);

struct HaloShape {
  uint64_t n = 0;        // base-cell side at the level
  uint64_t width = 0;    // w
  uint64_t padded = 0;   // s = n + 2w
  uint64_t entries = 0;  // 6·s²
  uint32_t north_square = 0;
  uint32_t south_square = 0;
};

// Validates the profile and the request, in the documented order.
[[nodiscard]] Result<HaloShape> halo_shape(const Profile& profile, uint32_t level,
                                           uint32_t width);
// Little-endian int64 entries. REQUIRES: out.size() == 8·shape.entries.
void write_halo_index(const HaloShape& shape, std::span<uint8_t> out);

}  // namespace kivet
