// Grid geometry for Python: cell areas and display GeoJSON.
#include "core/geo/display.hpp"
#include "core/geo/grid.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/functions.hpp"
#include "py/json_bridge.hpp"
#include "py/profile.hpp"
#include "py/tree.hpp"

namespace kivet::py {

namespace {

Ref area_of(const Profile& profile, uint32_t level) {
  Grid grid = ok(make_grid(profile));
  return check(PyFloat_FromDouble(grid.cell_area(level)));
}

}  // namespace

KIVET_FUNCTION(fn_cell_area_m2) {
  return guard([&] {
    Args a("cell_area_m2", {"level", "profile"}, 1, args, nargs, kwnames);
    uint32_t level = to_u32(a[0], "level");
    Profile profile = to_profile(a[1]);
    return area_of(profile, level);
  });
}

KIVET_FUNCTION(method_profile_area_m2) {
  return guard([&] {
    Args a("area_m2", {"level"}, 1, args, nargs, kwnames);
    uint32_t level = to_u32(a[0], "level");
    return area_of(profile_value(self), level);
  });
}

KIVET_FUNCTION(fn_cells_geojson) {
  return guard([&] {
    Args a("cells_geojson", {"cids", "profile", "n"}, 1, args, nargs, kwnames);
    Profile profile = to_profile(a[1]);
    uint64_t n = a[2] ? to_u64(a[2], "n") : 3;
    std::vector<uint64_t> cids = to_u64_list(a[0], "cids");
    return json_out(ok(cells_geojson(cids, profile, n)));
  });
}

KIVET_METHOD(tree_geojson) {
  return guard([&] {
    Args a("geojson", {"n"}, 0, args, nargs, kwnames);
    uint64_t n = a[0] ? to_u64(a[0], "n") : 3;
    std::vector<uint64_t> cids = tree_value(self).cells();
    return json_out(ok(cells_geojson(cids, tree_profile(self), n)));
  });
}

}  // namespace kivet::py
