// Grid geometry for Python: cell areas and display GeoJSON.
#include "core/geo/display.hpp"
#include "core/geo/grid.hpp"
#include "core/support/memory.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/interrupt.hpp"
#include "py/functions.hpp"
#include "py/json_bridge.hpp"
#include "py/profile.hpp"
#include "py/tree.hpp"

namespace kivet::py {

namespace {

// At its peak a collection costs about 3 KiB per feature and 512 bytes per
// position (the ring, the JSON value, its text and the Python objects). One
// that cannot fit is refused before anything is built, rather than left to
// the kernel's out-of-memory killer. Cid and profile errors are left to
// cells_geojson, which reports them in input order.
void check_collection_fits(std::span<const uint64_t> cids, const Profile& profile,
                           uint64_t n) {
  constexpr uint64_t kPerFeature = 3072, kPerPosition = 512;
  // Beyond this many points per edge no cell's ring fits anywhere.
  constexpr uint64_t kMaxEdgePoints = uint64_t(1) << 40;
  auto grid = make_grid(profile);
  if (!grid) return;
  Hierarchy h = profile.hierarchy();
  uint64_t bytes = 0;
  for (uint64_t cid : cids) {
    auto path = h.path(cid);
    if (!path) break;
    uint64_t size = grid->polygon_size(*path, std::min(n, kMaxEdgePoints));
    if (__builtin_add_overflow(bytes, kPerFeature + kPerPosition * size, &bytes))
      bytes = UINT64_MAX;
  }
  if (fits_in_memory(bytes, 1)) return;
  PyErr_Format(PyExc_MemoryError, "a collection of %llu cells cannot be allocated",
               (unsigned long long)cids.size());
  throw PyError{};
}

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

namespace {

// The display collection as JSON text, built without the interpreter lock.
Result<std::string> geojson_text(std::span<const uint64_t> cids, const Profile& profile,
                                 uint64_t n) {
  auto doc = cells_geojson(cids, profile, n);
  if (!doc) return std::unexpected(doc.error());
  return doc->dump();
}

}  // namespace

KIVET_FUNCTION(fn_cells_geojson) {
  return guard([&] {
    Args a("cells_geojson", {"cids", "profile", "n"}, 1, args, nargs, kwnames);
    Profile profile = to_profile(a[1]);
    uint64_t n = a[2] ? to_u64(a[2], "n") : 3;
    std::vector<uint64_t> cids = to_u64_list(a[0], "cids");
    check_collection_fits(cids, profile, n);
    return json_out_text(ok(interruptible([&] { return geojson_text(cids, profile, n); })));
  });
}

KIVET_METHOD(tree_geojson) {
  return guard([&] {
    Args a("geojson", {"n"}, 0, args, nargs, kwnames);
    uint64_t n = a[0] ? to_u64(a[0], "n") : 3;
    const Tree& tree = tree_value(self);
    const Profile& profile = tree_profile(self);
    std::vector<uint64_t> cids = interruptible([&] { return tree.cells(); });
    check_collection_fits(cids, profile, n);
    return json_out_text(ok(interruptible([&] { return geojson_text(cids, profile, n); })));
  });
}

}  // namespace kivet::py
