#include "core/polyfill.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "core/support/cancel.hpp"
#include "core/support/memory.hpp"
#include "core/support/orient2d.hpp"
#include "core/support/rtree.hpp"
#include "core/support/text.hpp"

namespace kivet {

// ---------------------------------------------------------------------------
// GeoJSON input

Result<Ring> ring_from_json(const Json& value) {
  if (!value.is_array()) return invalid<Ring>("ring must be an array");
  const JsonArray& positions = value.as_array();
  Ring ring;
  ring.reserve(positions.size() + 1);  // room for the closing position
  for (const Json& p : positions) {
    if (!p.is_array() || p.as_array().size() < 2)
      return invalid<Ring>("position must be [lon, lat]");
    const JsonArray& xy = p.as_array();
    if (!xy[0].is_number() || !xy[1].is_number())
      return invalid<Ring>("position must be numeric");
    ring.push_back({xy[0].as_f64(), xy[1].as_f64()});
  }
  return ring;
}

Result<Polygon> polygon_from_json(const Json& value) {
  if (!value.is_array()) return invalid<Polygon>("polygon must be an array of rings");
  const JsonArray& rings = value.as_array();
  if (rings.empty()) return invalid<Polygon>("polygon has no rings");
  Polygon polygon;
  polygon.rings.reserve(rings.size());
  for (const Json& r : rings) {
    Result<Ring> ring = ring_from_json(r);
    if (!ring) return std::unexpected(std::move(ring.error()));
    polygon.rings.push_back(std::move(*ring));
  }
  for (Ring& ring : polygon.rings) {
    if (!ring.empty() && (ring.back().lon != ring.front().lon || ring.back().lat != ring.front().lat)) ring.push_back(ring.front());
  }
  return polygon;
}

Result<MultiPolygon> geometry_from_geojson(const Json& value) {
  // A Feature may wrap another Feature; follow the chain without recursion.
  const Json* node = &value;
  for (;;) {
    const Json* type = node->find("type");
    std::string_view name =
        type && type->is_string() ? std::string_view(type->as_string()) : "";
    if (name == "Feature") {
      const Json* geometry = node->find("geometry");
      if (!geometry) return invalid<MultiPolygon>("feature without geometry");
      if (geometry->is_object()) {
        node = geometry;
        continue;
      }
      name = "";
    } else if (name == "Polygon") {
      const Json* coordinates = node->find("coordinates");
      if (!coordinates) return invalid<MultiPolygon>("missing coordinates");
      Result<Polygon> polygon = polygon_from_json(*coordinates);
      if (!polygon) return std::unexpected(std::move(polygon.error()));
      MultiPolygon out;
      out.push_back(std::move(*polygon));
      return out;
    } else if (name == "MultiPolygon") {
      const Json* coordinates = node->find("coordinates");
      if (!coordinates || !coordinates->is_array())
        return invalid<MultiPolygon>("missing coordinates");
      MultiPolygon out;
      out.reserve(coordinates->as_array().size());
      for (const Json& c : coordinates->as_array()) {
        Result<Polygon> polygon = polygon_from_json(c);
        if (!polygon) return std::unexpected(std::move(polygon.error()));
        out.push_back(std::move(*polygon));
      }
      return out;
    }
    return fail(cat("unsupported GeoJSON type ", quoted(name),
                    "; need Polygon or MultiPolygon"));
  }
}

// ---------------------------------------------------------------------------
// Cover

namespace {

constexpr uint32_t kMaxResolution = 15;
constexpr double kInf = std::numeric_limits<double>::infinity();

enum class Where { kInside, kOnBoundary, kOutside };

// One segment of a ring, a before b in ring order. Rings are numbered across
// the whole area, each polygon's exterior first and its holes right after.
struct Edge {
  LonLat a, b;
  uint32_t ring_id;
};

// The area prepared for queries: its edges in an R-tree by envelope. The
// scratch of positions() makes it single-threaded; the walk is.
class Indexed {
 public:
  explicit Indexed(const MultiPolygon& area) {
    std::vector<Box> envelopes;
    for (uint32_t i = 0; i < area.size(); ++i) {
      const Polygon& polygon = area[i];
      ring_base_.push_back(uint32_t(ring_polygon_.size()));
      for (const Ring& ring : polygon.rings) {
        const uint32_t id = uint32_t(ring_polygon_.size());
        ring_polygon_.push_back(i);
        for (size_t k = 0; k + 1 < ring.size(); ++k) {
          const LonLat& p = ring[k];
          const LonLat& q = ring[k + 1];
          if (p.lon == q.lon && p.lat == q.lat) continue;
          edges_.push_back({p, q, id});
          envelopes.push_back({std::min(p.lon, q.lon), std::min(p.lat, q.lat),
                               std::max(p.lon, q.lon), std::max(p.lat, q.lat)});
        }
      }
    }
    index_ = RTree(envelopes);
  }

  bool has_edges() const { return !edges_.empty(); }

  // Even-odd parity per ring along the eastward ray; a vertex at the ray's
  // height belongs to the edge leaving upward, so it counts once.
  Where position(double px, double py) {
    const LonLat p{px, py};
    Where out;
    positions({&p, 1}, {&out, 1});
    return out;
  }

  // position() of several points through one R-tree search (the children of
  // one cell lie close together). Edges outside a point's ray box are skipped
  // per point, so each point sees exactly the edges its own ray meets.
  void positions(std::span<const LonLat> points, std::span<Where> out) {
    flips_.clear();
    boundary_.assign(points.size(), 0);
    Box q{kInf, kInf, kInf, -kInf};
    for (const LonLat& p : points) {
      q.min_x = std::min(q.min_x, p.lon);
      q.min_y = std::min(q.min_y, p.lat);
      q.max_y = std::max(q.max_y, p.lat);
    }
    index_.search(q, [&](uint32_t i) {
      const Edge& e = edges_[i];
      const double xlo = std::min(e.a.lon, e.b.lon), xhi = std::max(e.a.lon, e.b.lon);
      const double ylo = std::min(e.a.lat, e.b.lat), yhi = std::max(e.a.lat, e.b.lat);
      for (size_t k = 0; k < points.size(); ++k) {
        const double px = points[k].lon, py = points[k].lat;
        if (py < ylo || py > yhi || px > xhi || boundary_[k]) continue;
        const int d = orient2d_sign(e.a.lon, e.a.lat, e.b.lon, e.b.lat, px, py);
        if (d == 0 && xlo <= px) {
          boundary_[k] = 1;
          continue;
        }
        const bool crosses =
            e.a.lat <= py ? (e.b.lat > py && d > 0) : (e.b.lat <= py && d < 0);
        if (crosses) flips_.push_back(uint64_t(k) << 32 | e.ring_id);
      }
      return false;
    });
    // Sorted by point, then ring: a ring is odd for a point when its run is.
    std::sort(flips_.begin(), flips_.end());
    size_t at = 0;
    for (size_t k = 0; k < points.size(); ++k) {
      odd_.clear();
      for (; at < flips_.size() && (flips_[at] >> 32) == k;) {
        size_t end = at;
        while (end < flips_.size() && flips_[end] == flips_[at]) ++end;
        if ((end - at) % 2 == 1) odd_.push_back(uint32_t(flips_[at]));
        at = end;
      }
      out[k] = boundary_[k] ? Where::kOnBoundary : Where::kOutside;
      if (boundary_[k]) continue;
      // Inside: the exterior of some polygon is odd and none of its holes
      // (the ring ids right after it) is.
      for (size_t j = 0; j < odd_.size(); ++j) {
        const uint32_t polygon = ring_polygon_[odd_[j]];
        if (odd_[j] != ring_base_[polygon]) continue;
        if (j + 1 == odd_.size() || ring_polygon_[odd_[j + 1]] != polygon) {
          out[k] = Where::kInside;
          break;
        }
      }
    }
  }

  // Whether some edge meets the closed box: its envelope meets the box and the
  // four corners are not all strictly on one side of its line.
  bool any_edge_touches(const Box& box) const {
    return index_.search(box, [&](uint32_t i) {
      const Edge& e = edges_[i];
      const int s0 = orient2d_sign(e.a.lon, e.a.lat, e.b.lon, e.b.lat, box.min_x, box.min_y);
      if (s0 == 0) return true;
      const double corners[3][2] = {
          {box.max_x, box.min_y}, {box.max_x, box.max_y}, {box.min_x, box.max_y}};
      for (const auto& c : corners) {
        if (orient2d_sign(e.a.lon, e.a.lat, e.b.lon, e.b.lat, c[0], c[1]) != s0)
          return true;
      }
      return false;
    });
  }

 private:
  std::vector<Edge> edges_;
  RTree index_;
  std::vector<uint32_t> ring_base_;     // per polygon: id of its exterior ring
  std::vector<uint32_t> ring_polygon_;  // per ring id: its polygon
  // Scratch of positions(), reused so queries do not allocate.
  std::vector<uint64_t> flips_;   // (point << 32 | ring id) per crossing
  std::vector<uint8_t> boundary_;  // per point: lies on an edge
  std::vector<uint32_t> odd_;      // ring ids crossed an odd number of times
};

// One or two closed boxes whose union holds a cell; two only across the
// antimeridian.
struct CellBoxes {
  Box box[2];
  int count = 0;
};

// Longitudes lo..hi (hi may exceed 180 after unwrapping) with a latitude
// range, split at the antimeridian.
CellBoxes boxes_for(double lo, double hi, double lat_lo, double lat_hi) {
  CellBoxes out;
  if (lat_lo > lat_hi) std::swap(lat_lo, lat_hi);
  if (hi > 180) {
    out.box[0] = {lo, lat_lo, 180, lat_hi};
    out.box[1] = {-180, lat_lo, hi - 360, lat_hi};
    out.count = 2;
  } else {
    out.box[0] = {lo, lat_lo, hi, lat_hi};
    out.count = 1;
  }
  return out;
}

// The longitude range of a cell from the longitudes of its extreme points:
// a span over 180° is read as crossing the antimeridian (negatives unwrapped
// by +360), and if it is still too wide the cell takes every longitude.
std::pair<double, double> lon_range(std::span<const double> lons) {
  auto [lo_it, hi_it] = std::minmax_element(lons.begin(), lons.end());
  const double lo = *lo_it, hi = *hi_it;
  if (hi - lo <= 180) return {lo, hi};
  double lo2 = kInf, hi2 = -kInf;
  for (double l : lons) {
    const double u = l < 0 ? l + 360 : l;
    lo2 = std::min(lo2, u);
    hi2 = std::max(hi2, u);
  }
  if (hi2 - lo2 <= 180) return {lo2, hi2};
  return {-180, 180};
}

// The facts about the grid the walk needs, computed once per call.
struct GridInfo {
  const Grid& grid;
  double cap_lat = 0;
  double centre_lon[4] = {};
  Planar north_centre, south_centre;

  static Result<GridInfo> make(const Grid& grid) {
    GridInfo info{grid, 0, {}, {}, {}};
    const uint32_t north[1] = {0};
    auto samples = grid.boundary3(north);
    if (!samples) return std::unexpected(samples.error());
    info.cap_lat = kInf;
    for (const LonLat& p : *samples) info.cap_lat = std::min(info.cap_lat, p.lat);
    const double s = grid.authalic_radius * 1.5707963267948966;
    for (uint32_t b = 1; b <= 4; ++b) {
      const Planar ul = grid.ul_corners[b];
      auto c = grid.to_lonlat(ul.x + s / 2, ul.y - s / 2);
      if (!c) return std::unexpected(c.error());
      info.centre_lon[b - 1] = c->lon;
    }
    info.north_centre = {grid.ul_corners[0].x + s / 2, grid.ul_corners[0].y - s / 2};
    info.south_centre = {grid.ul_corners[5].x + s / 2, grid.ul_corners[5].y - s / 2};
    return info;
  }

  Result<CellBoxes> cell_bbox(const Position& p) const {
    const bool north = p.base == 0;
    if (p.level == 0) {
      if (north) return boxes_for(-180, 180, cap_lat, 90);
      if (p.base == 5) return boxes_for(-180, 180, -90, -cap_lat);
      // The split applies here too: with lon_0 = 50 base cell 4 spans
      // [140, 230], which is [140, 180] and [-180, -130].
      double c = centre_lon[p.base - 1], lo = c - 45, hi = c + 45;
      if (lo < -180) lo += 360, hi += 360;
      return boxes_for(lo, hi, -cap_lat, cap_lat);
    }
    const Planar ul = grid.ul_vertex(p);
    const double side = grid.cell_side(p.level);
    if (p.base != 0 && p.base != 5) {
      // Equatorial cells are longitude/latitude rectangles (longitude linear
      // in x, latitude monotone in y): two opposite corners bound them.
      auto a = grid.to_lonlat(ul.x, ul.y, false);
      if (!a) return std::unexpected(a.error());
      auto b = grid.to_lonlat(ul.x + side, ul.y - side, false);
      if (!b) return std::unexpected(b.error());
      const double lons[2] = {a->lon, b->lon};
      auto [lo, hi] = lon_range(lons);
      return boxes_for(lo, hi, b->lat, a->lat);
    }
    // Polar cells: meridians are rays from the pole, and latitude falls with
    // the Chebyshev distance from it, so the corners bound the longitudes
    // and the lowest latitude, the point nearest the pole the highest.
    const Planar pole = north ? north_centre : south_centre;
    const double x0 = ul.x, x1 = ul.x + side, y0 = ul.y - side, y1 = ul.y;
    if (x0 < pole.x && pole.x < x1 && y0 < pole.y && pole.y < y1)
      return north ? boxes_for(-180, 180, cap_lat, 90) : boxes_for(-180, 180, -90, -cap_lat);
    const double xs[4] = {x0, x1, x1, x0}, ys[4] = {y1, y1, y0, y0};
    double lons[4], lat_lo = kInf, lat_hi = -kInf;
    for (int i = 0; i < 4; ++i) {
      auto c = grid.to_lonlat(xs[i], ys[i]);
      if (!c) return std::unexpected(c.error());
      lons[i] = c->lon;
      lat_lo = std::min(lat_lo, c->lat);
      lat_hi = std::max(lat_hi, c->lat);
    }
    auto n = grid.to_lonlat(std::clamp(pole.x, x0, x1), std::clamp(pole.y, y0, y1));
    if (!n) return std::unexpected(n.error());
    auto [lo, hi] = lon_range(lons);
    // The nearest point's latitude is the cell's highest exactly, so the box
    // stops there rather than at the pole: a box reaching the pole from every
    // cell above 60 degrees would meet any boundary further north and refine
    // the whole interior of northern areas down to the leaves.
    if (north) return boxes_for(lo, hi, lat_lo, n->lat);
    return boxes_for(lo, hi, n->lat, lat_hi);
  }
};

class Walk {
 public:
  Walk(const GridInfo& info, Indexed& area, uint32_t resolution, uint32_t aperture,
       std::vector<uint64_t>& out, std::vector<uint8_t>& levels)
      : info_(info), area_(area), resolution_(resolution), aperture_(aperture),
        n_(info.grid.n_side), out_(out), levels_(levels), nuclei_(aperture), diagonal_(info.grid.n_side), where_(aperture) {}

  Result<void> visit(const Position& p, uint64_t cid) {
    poll_cancel();
    if (p.level == resolution_) {  // resolution 0: the base cell is the leaf
      auto nucleus = info_.grid.nucleus(p);
      if (!nucleus) return std::unexpected(nucleus.error());
      if (area_.position(nucleus->lon, nucleus->lat) == Where::kInside) emit(cid, 0);
      return {};
    }
    auto boxes = info_.cell_bbox(p);
    if (!boxes) return std::unexpected(boxes.error());
    bool touched = false;
    for (int i = 0; i < boxes->count && !touched; ++i)
      touched = area_.any_edge_touches(boxes->box[i]);
    if (!touched) {
      // No edge meets a box, so each box lies wholly on one side of the
      // boundary and one corner tells which.
      bool all_in = true, all_out = true;
      for (int i = 0; i < boxes->count; ++i) {
        const Box& b = boxes->box[i];
        const bool in = area_.position(b.min_x, b.min_y) == Where::kInside;
        all_in = all_in && in;
        all_out = all_out && !in;
      }
      if (all_out) return {};
      if (all_in) {
        emit(cid, p.level);
        return {};
      }
    }
    if (p.level + 1 == resolution_) return visit_leaves(p, cid);
    for (uint32_t k = 0; k < aperture_; ++k) {
      if (auto r = visit(child(p, k), cid * aperture_ + k); !r) return r;
    }
    return {};
  }

 private:
  void emit(uint64_t cid, uint32_t level) {
    out_.push_back(cid);
    levels_.push_back(uint8_t(level));
  }

  Position child(const Position& p, uint32_t k) const {
    return {p.base, p.level + 1, p.row * n_ + k / n_, p.column * n_ + k % n_};
  }

  // The children of a refined cell at the resolution: each is covered when
  // its nucleus is inside. (Its boxes hold the nucleus, so a box test first
  // would only repeat the answer.)
  Result<void> visit_leaves(const Position& p, uint64_t cid) {
    if (p.base != 0 && p.base != 5) {
      // In the equatorial band longitude depends on x alone and latitude on
      // y alone, and children in one column (row) share their nucleus x (y)
      // bit for bit; so the N diagonal nuclei give all N² exactly.
      for (uint32_t r = 0; r < n_; ++r) {
        auto nucleus = info_.grid.nucleus(child(p, r * n_ + r));
        if (!nucleus) return std::unexpected(nucleus.error());
        diagonal_[r] = *nucleus;
      }
      for (uint32_t k = 0; k < aperture_; ++k)
        nuclei_[k] = {diagonal_[k % n_].lon, diagonal_[k / n_].lat};
    } else {
      for (uint32_t k = 0; k < aperture_; ++k) {
        auto nucleus = info_.grid.nucleus(child(p, k));
        if (!nucleus) return std::unexpected(nucleus.error());
        nuclei_[k] = *nucleus;
      }
    }
    area_.positions(nuclei_, where_);
    for (uint32_t k = 0; k < aperture_; ++k) {
      if (where_[k] == Where::kInside) emit(cid * aperture_ + k, resolution_);
    }
    return {};
  }

  const GridInfo& info_;
  Indexed& area_;
  uint32_t resolution_, aperture_, n_;
  std::vector<uint64_t>& out_;
  std::vector<uint8_t>& levels_;  // the level of each cid of out_
  std::vector<LonLat> nuclei_, diagonal_;  // scratch of visit_leaves()
  std::vector<Where> where_;
};

}  // namespace

Result<void> check_cover_request(uint32_t resolution, const Profile& profile) {
  if (resolution > kMaxResolution)
    return fail(cat("resolution ", resolution, " out of range [0, ", kMaxResolution, "]"));
  if (auto v = profile.validate(); !v) return v;
  const Hierarchy h = profile.hierarchy();
  if (h.b != 6)
    return fail(cat("polygon fill needs the 6 base cells of rHEALPix; H(", h.a, ",", h.b,
                    ") has ", h.b));
  if (resolution > h.deepest())
    return fail(cat("depth ", resolution, " is deeper than the deepest level, ",
                    h.deepest()));
  return {};
}

namespace {

// cover_nodes() with the level of each cell beside it.
Result<void> walk_cover(const MultiPolygon& area, uint32_t resolution, const Profile& profile,
                        std::vector<uint64_t>& cids, std::vector<uint8_t>& levels) {
  if (auto r = check_cover_request(resolution, profile); !r) return r;
  Indexed indexed(area);
  if (!indexed.has_edges()) return {};
  const Grid grid = Grid::from_profile(profile);
  auto info = GridInfo::make(grid);
  if (!info) return std::unexpected(info.error());
  const uint32_t a = profile.aperture;
  Walk walk(*info, indexed, resolution, a, cids, levels);
  for (uint32_t b = 0; b < profile.n_base; ++b) {
    if (auto r = walk.visit(Position{b, 0, 0, 0}, uint64_t(a) + b); !r) return r;
  }
  return {};
}

}  // namespace

Result<std::vector<uint64_t>> cover_nodes(const MultiPolygon& area, uint32_t resolution,
                                          const Profile& profile) {
  std::vector<uint64_t> cids;
  std::vector<uint8_t> levels;
  if (auto r = walk_cover(area, resolution, profile, cids, levels); !r)
    return std::unexpected(r.error());
  return cids;
}

uint64_t cover_leaf_count(std::span<const uint64_t> nodes, uint32_t aperture,
                          uint32_t resolution) {
  uint64_t total = 0;
  for (uint64_t cid : nodes) {
    auto n = checked_pow(aperture, resolution - level_of(cid, aperture));
    if (!n || *n > UINT64_MAX - total) return UINT64_MAX;
    total += *n;
  }
  return total;
}

Result<std::vector<uint64_t>> polyfill(const MultiPolygon& area, uint32_t resolution,
                                       const Profile& profile) {
  auto nodes = cover_nodes(area, resolution, profile);
  if (!nodes) return nodes;
  const uint32_t a = profile.aperture;
  const uint64_t count = cover_leaf_count(*nodes, a, resolution);
  ensure_memory(count, sizeof(uint64_t));
  std::vector<uint64_t> out;
  out.reserve(size_t(count));
  // The walk emits disjoint cells in ascending order, so their leaf ranges
  // come out sorted and without duplicates.
  for (uint64_t cid : *nodes) {
    const uint64_t n = *checked_pow(a, resolution - level_of(cid, a));
    for (uint64_t leaf = cid * n, end = leaf + n; leaf < end; ++leaf) out.push_back(leaf);
  }
  return out;
}

Result<Tree> cover(const MultiPolygon& area, uint32_t resolution, const Profile& profile,
                   CtxRef ctx) {
  std::vector<uint64_t> cids;
  std::vector<uint8_t> levels;
  if (auto r = walk_cover(area, resolution, profile, cids, levels); !r)
    return std::unexpected(r.error());
  const uint64_t a = profile.aperture;
  uint64_t width[kMaxResolution + 1];  // leaves under a cell, by its level
  width[resolution] = 1;
  for (uint32_t l = resolution; l-- > 0;) width[l] = width[l + 1] * a;
  // The cells come ascending and disjoint, so merging is one pass joining
  // ranges that touch.
  std::vector<Interval> ranges;
  ranges.reserve(cids.size());
  for (size_t i = 0; i < cids.size(); ++i) {
    const uint64_t w = width[levels[i]];
    const Interval next{cids[i] * w, (cids[i] + 1) * w};
    if (!ranges.empty() && ranges.back().hi >= next.lo) {
      ranges.back().hi = std::max(ranges.back().hi, next.hi);
    } else {
      ranges.push_back(next);
    }
  }
  return Tree::from_intervals(std::move(ranges), resolution, std::move(ctx));
}

Result<Hash> fingerprint_polygon(const MultiPolygon& area, uint32_t resolution,
                                 const Profile& profile) {
  if (auto r = check_cover_request(resolution, profile); !r) return std::unexpected(r.error());
  auto ctx = make_ctx(profile, resolution);
  if (!ctx) return std::unexpected(ctx.error());
  auto tree = cover(area, resolution, profile, std::move(*ctx));
  if (!tree) return std::unexpected(tree.error());
  return tree->root();
}

Result<Hash> fingerprint_geojson(const Json& value, uint32_t resolution,
                                 const Profile& profile) {
  auto area = geometry_from_geojson(value);
  if (!area) return std::unexpected(area.error());
  return fingerprint_polygon(*area, resolution, profile);
}

}  // namespace kivet
