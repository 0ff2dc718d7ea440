#include "core/polyfill.hpp"

#include <string>
#include <utility>

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
    if (!ring.empty() && !(ring.back() == ring.front())) ring.push_back(ring.front());
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

}  // namespace kivet
