// Zones of a square aperture: a cell's place in its base cell's N^L x N^L
// array, sub-zones in scanline order, and edge neighbours across base cells.
//
// N = sqrt(A); digit d is the child at row d / N, column d % N of its parent,
// row 0 at the top. All integer arithmetic with overflow tests; nothing here
// allocates except subzones().
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/error.hpp"
#include "core/hierarchy.hpp"
#include "core/profile.hpp"

namespace kivet {

// Where a cell sits: its base cell, level, and row/column within the base cell.
struct Position {
  uint32_t base = 0;
  uint32_t level = 0;
  uint64_t row = 0;
  uint64_t column = 0;

  friend bool operator==(const Position&, const Position&) = default;
};

// Edge neighbours in the cell's planar frame, in this order.
struct Neighbours {
  uint64_t up = 0, right = 0, down = 0, left = 0;
};

// N, or "aperture {A} is not a square; cells have no row and column".
Result<uint32_t> side(const Hierarchy& h);
// N^depth, or "level {depth} overflows".
Result<uint64_t> span(const Hierarchy& h, uint32_t depth);

Result<Position> position(const Hierarchy& h, uint64_t cid);
Result<uint64_t> cell_at(const Hierarchy& h, uint32_t base, uint32_t level,
                         uint64_t row, uint64_t column);
Result<uint64_t> cell_at(const Hierarchy& h, const Position& p);

// cell_at for many cells of one level: the level checks are made once, so
// each call is the base check and the digit interleave. Same results and
// messages as cell_at.
class CellEncoder {
 public:
  CellEncoder(const Hierarchy& h, uint32_t level);
  Result<uint64_t> operator()(uint32_t base, uint64_t row, uint64_t column) const;

 private:
  Hierarchy h_;
  uint32_t level_, n_ = 0;
  uint64_t span_ = 0;
  std::optional<Error> level_error_;
};

// position() and cell_at() for bulk use on one hierarchy: validity is read
// from tables of powers instead of by repeated division, and the digits of
// aperture 9 by constant division, three levels per table step. Same results
// and messages as position(); encode() skips cell_at's checks.
// REQUIRES: a valid hierarchy with a square aperture.
class CellDecoder {
 public:
  explicit CellDecoder(const Hierarchy& h);
  Result<Position> position(uint64_t cid) const;
  // REQUIRES: p within the hierarchy (level <= deepest, base < b, row and
  // column < N^level).
  uint64_t encode(const Position& p) const;
  const Hierarchy& hierarchy() const { return h_; }
  uint32_t side() const { return n_; }

 private:
  Hierarchy h_;
  uint32_t n_ = 0, deepest_ = 0;
  std::array<uint64_t, 66> power_{};  // A^k while it fits, else 0
  std::array<uint64_t, 66> limit_{};  // (A + B)·A^L: first cid past level L
};

Result<uint64_t> subzone_at(const Hierarchy& h, uint64_t ancestor,
                            uint32_t depth, uint64_t index);
// All N^depth x N^depth sub-zones, scanline order; at most 2^30 of them.
Result<std::vector<uint64_t>> subzones(const Hierarchy& h, uint64_t ancestor,
                                       uint32_t depth);
Result<uint64_t> subzone_index(const Hierarchy& h, uint64_t ancestor, uint64_t cid);

// Validates the profile (its errors pass through) and needs 6 base cells.
Result<Neighbours> neighbours(const Profile& profile, uint64_t cid);
// The same without the profile checks, for bulk use.
// REQUIRES: h.b == 6 and h valid; squares taken modulo 4.
Result<Neighbours> neighbours(const Hierarchy& h, uint32_t north_square,
                              uint32_t south_square, uint64_t cid);
Result<Neighbours> neighbours(const CellDecoder& cells, uint32_t north_square,
                              uint32_t south_square, uint64_t cid);

// (cid mod 729) -> (row part, column part) of its three base-9 digits.
inline constexpr std::array<std::array<uint8_t, 2>, 729> kSplit729 = [] {
  std::array<std::array<uint8_t, 2>, 729> t{};
  for (uint32_t v = 0; v < 729; ++v) {
    uint32_t r = 0, c = 0, p = 1;
    for (uint32_t x = v, i = 0; i < 3; ++i, x /= 9, p *= 3) {
      r += (x % 9) / 3 * p;
      c += (x % 9) % 3 * p;
    }
    t[v] = {uint8_t(r), uint8_t(c)};
  }
  return t;
}();

}  // namespace kivet
