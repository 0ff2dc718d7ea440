#include "core/support/rtree.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace kivet {
namespace {

Box unite(const Box& a, const Box& b) {
  return {std::min(a.min_x, b.min_x), std::min(a.min_y, b.min_y),
          std::max(a.max_x, b.max_x), std::max(a.max_y, b.max_y)};
}

}  // namespace

RTree::RTree(std::span<const Box> items) {
  const size_t n = items.size();
  if (n == 0) return;

  // Sort-tile-recursive: sort by centre x, cut into S vertical slices of S
  // leaves each (S = ceil(sqrt(leaves))), sort each slice by centre y; runs
  // of kFanout consecutive items then form compact leaves.
  ids_.resize(n);
  std::iota(ids_.begin(), ids_.end(), 0u);
  auto cx = [&](uint32_t i) { return items[i].min_x + items[i].max_x; };
  auto cy = [&](uint32_t i) { return items[i].min_y + items[i].max_y; };
  std::sort(ids_.begin(), ids_.end(), [&](uint32_t a, uint32_t b) {
    return cx(a) < cx(b) || (cx(a) == cx(b) && a < b);
  });
  const size_t leaves = (n + kFanout - 1) / kFanout;
  const size_t slices = size_t(std::ceil(std::sqrt(double(leaves))));
  const size_t per_slice = slices * kFanout;
  for (size_t start = 0; start < n; start += per_slice) {
    auto first = ids_.begin() + ptrdiff_t(start);
    auto last = ids_.begin() + ptrdiff_t(std::min(n, start + per_slice));
    std::sort(first, last, [&](uint32_t a, uint32_t b) {
      return cy(a) < cy(b) || (cy(a) == cy(b) && a < b);
    });
  }

  size_t total = n;
  for (size_t count = n; count > 1;) {
    count = (count + kFanout - 1) / kFanout;
    total += count;
  }
  boxes_.reserve(total);
  for (uint32_t id : ids_) boxes_.push_back(items[id]);
  levels_.push_back({0, uint32_t(n)});

  // Upper levels: one node per run of kFanout consecutive boxes below.
  while (levels_.back().count > 1) {
    const Level below = levels_.back();
    const uint32_t offset = uint32_t(boxes_.size());
    for (uint32_t i = 0; i < below.count; i += kFanout) {
      const uint32_t end = std::min(below.count, i + kFanout);
      Box b = boxes_[below.offset + i];
      for (uint32_t j = i + 1; j < end; ++j) b = unite(b, boxes_[below.offset + j]);
      boxes_.push_back(b);
    }
    levels_.push_back({offset, uint32_t(boxes_.size()) - offset});
  }
}

}  // namespace kivet
