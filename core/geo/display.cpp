#include "core/geo/display.hpp"

#include <cmath>

#include "core/geo/grid.hpp"
#include "core/hierarchy.hpp"
#include "core/support/cancel.hpp"

namespace kivet {

namespace {

// JSON has no infinities or NaN.
Json coordinate(double v) { return std::isfinite(v) ? Json(v) : Json(nullptr); }

}  // namespace

Result<Json> cells_geojson(std::span<const uint64_t> cids, const Profile& profile,
                           uint64_t n) {
  auto grid = make_grid(profile);
  if (!grid) return std::unexpected(grid.error());
  Hierarchy h = profile.hierarchy();
  JsonArray features;
  features.reserve(cids.size());
  for (uint64_t cid : cids) {
    poll_cancel();
    auto path = h.path(cid);
    if (!path) return std::unexpected(path.error());
    auto ring = grid->cell_polygon(*path, n);
    if (!ring) return std::unexpected(ring.error());
    auto suid = cid_to_suid(cid);
    if (!suid) return std::unexpected(suid.error());
    JsonArray positions;
    positions.reserve(ring->size());
    for (const LonLat& p : *ring)
      positions.emplace_back(JsonArray{coordinate(p.lon), coordinate(p.lat)});
    features.emplace_back(JsonObject{
        {"type", "Feature"},
        {"id", cat(cid)},
        {"properties",
         JsonObject{{"cid", cid}, {"suid", std::move(*suid)}, {"level", level_of(cid, h.a)}}},
        {"geometry", JsonObject{{"type", "Polygon"},
                                {"coordinates", JsonArray{Json(std::move(positions))}}}},
    });
  }
  return Json(JsonObject{{"type", "FeatureCollection"}, {"features", std::move(features)}});
}

}  // namespace kivet
