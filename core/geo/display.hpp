// Display GeoJSON of cells: one Polygon feature per cid, in input order, with
// the grid's display polygons (counterclockwise, antimeridian-shifted, caps
// closed through the pole).
#pragma once

#include <cstdint>
#include <span>

#include "core/error.hpp"
#include "core/profile.hpp"
#include "core/support/json.hpp"

namespace kivet {

// The FeatureCollection, or the first cid or projection error. `n` is the
// number of points per edge on polar cells (at least 2 are used).
Result<Json> cells_geojson(std::span<const uint64_t> cids, const Profile& profile,
                           uint64_t n);

}  // namespace kivet
