// A static R-tree over axis-aligned boxes, bulk-loaded by sort-tile-recursive
// packing (Leutenegger, Lopez, Edgington 1997).
//
// Representation: level 0 holds the item boxes in packed order (with their
// input indices); each higher level holds one box per node, the union of up
// to kFanout consecutive boxes of the level below, so children are found by
// arithmetic and no pointers are stored. The root is the single box of the
// top level. Immutable after construction; queries allocate nothing and may
// run concurrently.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kivet {

// A closed box; max_x may be +infinity (a ray to the east).
struct Box {
  double min_x, min_y, max_x, max_y;

  bool meets(const Box& o) const {
    return min_x <= o.max_x && o.min_x <= max_x && min_y <= o.max_y && o.min_y <= max_y;
  }
};

class RTree {
 public:
  static constexpr uint32_t kFanout = 16;

  RTree() = default;
  // REQUIRES: fewer than 2^32 items, no NaN coordinates.
  explicit RTree(std::span<const Box> items);

  size_t size() const { return ids_.size(); }

  // Calls visit(i) with the input index i of every item whose box meets the
  // closed box q, in no fixed order, until visit returns true. Returns
  // whether a visit stopped the search.
  template <class F>
  bool search(const Box& q, F&& visit) const {
    if (ids_.empty()) return false;
    return search_node(uint32_t(levels_.size() - 1), 0, q, visit);
  }

 private:
  struct Level {
    uint32_t offset;  // first box of the level in boxes_
    uint32_t count;   // boxes in the level
  };

  template <class F>
  bool search_node(uint32_t level, uint32_t index, const Box& q, F& visit) const {
    const Level& l = levels_[level];
    if (!boxes_[l.offset + index].meets(q)) return false;
    if (level == 0) return visit(ids_[index]);
    const Level& below = levels_[level - 1];
    const uint32_t first = index * kFanout;
    const uint32_t last = first + kFanout < below.count ? first + kFanout : below.count;
    if (level == 1) {
      // Leaves inline: the common case, with no call per item.
      for (uint32_t i = first; i < last; ++i) {
        if (boxes_[i].meets(q) && visit(ids_[i])) return true;
      }
      return false;
    }
    for (uint32_t i = first; i < last; ++i) {
      if (search_node(level - 1, i, q, visit)) return true;
    }
    return false;
  }

  std::vector<Box> boxes_;      // all levels, leaves first
  std::vector<uint32_t> ids_;   // input index of each leaf box
  std::vector<Level> levels_;   // levels_[0] = items, back() = root
};

}  // namespace kivet
