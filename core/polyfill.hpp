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
#include <vector>

#include "core/error.hpp"
#include "core/support/json.hpp"

namespace kivet {

struct LonLat {
  double x = 0;  // longitude, degrees
  double y = 0;  // latitude, degrees
  friend bool operator==(const LonLat&, const LonLat&) = default;
};

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

}  // namespace kivet
