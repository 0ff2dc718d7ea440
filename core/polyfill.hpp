// Areas given as GeoJSON, and their canonical cover by the nucleus rule.
//
// A MultiPolygon holds longitude/latitude degrees exactly as read: no
// wrapping, clamping, orientation rule or validity check. Every non-empty ring
// is closed (last position equal to the first). Coverage is decided by
// even-odd crossing parity per ring, so orientation never matters: a point is
// inside when it is inside the exterior ring and outside every hole of at
// least one polygon; overlapping polygons unite.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/geo/grid.hpp"
#include "core/hash.hpp"
#include "core/profile.hpp"
#include "core/support/json.hpp"
#include "core/tree.hpp"

namespace kivet {

// Positions are longitude (x) and latitude (y) in degrees.
using Ring = std::vector<LonLat>;

// Ring 0 is the exterior, rings 1..h the holes, in document order.
struct Polygon {
  std::vector<Ring> rings;
};

using MultiPolygon = std::vector<Polygon>;

// A GeoJSON Feature, Polygon or MultiPolygon object; the first malformed
// member, in document order, is the error.
[[nodiscard]] Result<MultiPolygon> geometry_from_geojson(const Json& value);
// One Polygon coordinate array (an array of rings); rings come back closed.
[[nodiscard]] Result<Polygon> polygon_from_json(const Json& value);
// One ring (an array of [lon, lat, ...] positions), as given (not closed).
[[nodiscard]] Result<Ring> ring_from_json(const Json& value);

// The checks of every polygon-fill entry, in order: the resolution bound
// (15), the profile's validity, six base cells, the hierarchy's deepest level.
[[nodiscard]] Result<void> check_cover_request(uint32_t resolution, const Profile& profile);

// The cells decided wholly covered, at levels 0..resolution, in walk order
// (ascending and disjoint). Walks the hierarchy from the base cells, dropping
// a cell whose longitude/latitude boxes lie wholly outside the area, taking
// one wholly inside whole, refining the rest; at `resolution` a cell is
// covered when its nucleus lies strictly inside (on the boundary is out).
// Cost grows with the boundary's length in cells, not with the area.
[[nodiscard]] Result<std::vector<uint64_t>> cover_nodes(const MultiPolygon& area,
                                                        uint32_t resolution,
                                                        const Profile& profile);

// The number of level-`resolution` leaves under `nodes` (disjoint cells of
// aperture `aperture`), saturating at UINT64_MAX.
uint64_t cover_leaf_count(std::span<const uint64_t> nodes, uint32_t aperture,
                          uint32_t resolution);

// Every covered cid at `resolution`, ascending. Throws std::bad_alloc, before
// listing anything, when the list could not be held in this machine's memory.
[[nodiscard]] Result<std::vector<uint64_t>> polyfill(const MultiPolygon& area,
                                                     uint32_t resolution,
                                                     const Profile& profile);

// The canonical coverage tree at depth `resolution`; `ctx` is the profile's
// hashing context for that depth. The base cells are built in parallel.
[[nodiscard]] Result<Tree> cover(const MultiPolygon& area, uint32_t resolution,
                                 const Profile& profile, CtxRef ctx);

// The root of cover(); never lists leaves, so any area at any resolution.
[[nodiscard]] Result<Hash> fingerprint_polygon(const MultiPolygon& area,
                                               uint32_t resolution,
                                               const Profile& profile);
[[nodiscard]] Result<Hash> fingerprint_geojson(const Json& value, uint32_t resolution,
                                               const Profile& profile);

}  // namespace kivet
