// polyfill, fingerprint_polygon and Tree.from_geojson: an area given as
// GeoJSON (text or Python data) covered by the nucleus rule.
#include "core/polyfill.hpp"
#include "core/support/memory.hpp"


#include "core/hash.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/functions.hpp"
#include "py/interrupt.hpp"
#include "py/json_bridge.hpp"
#include "py/tree.hpp"

namespace kivet::py {
namespace {

struct Request {
  MultiPolygon area;
  uint32_t resolution;
  Profile profile;
};

// Scalars in parameter order, then the document.
Request read_request(const char* function, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  Args a(function, {"geojson", "resolution", "profile"}, 2, args, nargs, kwnames);
  uint32_t resolution = to_u32(a[1], "resolution");
  Profile profile = to_profile(a[2]);
  Json value = json_in(a[0]);
  return {ok(geometry_from_geojson(value)), resolution, std::move(profile)};
}

// A cid costs a PyLong (32 bytes) and a list slot; a list that cannot fit
// in memory is refused before anything is built.
bool cid_list_fits(uint64_t count) {
  return count <= uint64_t(PY_SSIZE_T_MAX) / sizeof(PyObject*) &&
         fits_in_memory(count, sizeof(PyObject*) + 32);
}

}  // namespace

KIVET_FUNCTION(fn_polyfill) {
  return guard([&] {
    Request r = read_request("polyfill", args, nargs, kwnames);
    std::vector<uint64_t> nodes =
        ok(interruptible([&] { return cover_nodes(r.area, r.resolution, r.profile); }));
    const uint32_t a = r.profile.aperture;
    const uint64_t count = cover_leaf_count(nodes, a, r.resolution);
    if (!cid_list_fits(count)) {
      PyErr_Format(PyExc_MemoryError, "a list of %llu cids cannot be allocated",
                   (unsigned long long)count);
      throw PyError{};
    }
    // The cover's cells are disjoint and ascending, so their leaf ranges,
    // written straight into the list, are sorted and distinct.
    Ref list = check(PyList_New(Py_ssize_t(count)));
    Py_ssize_t at = 0;
    for (uint64_t cid : nodes) {
      const uint64_t width = *checked_pow(a, r.resolution - level_of(cid, a));
      for (uint64_t leaf = cid * width, end = leaf + width; leaf < end; ++leaf) {
        PyList_SET_ITEM(list.get(), at, check(PyLong_FromUnsignedLongLong(leaf)).release());
        share_lock(size_t(at++));
      }
    }
    return list;
  });
}

KIVET_FUNCTION(fn_fingerprint_polygon) {
  return guard([&] {
    Request r = read_request("fingerprint_polygon", args, nargs, kwnames);
    const std::string hex = to_hex(ok(
        interruptible([&] { return fingerprint_polygon(r.area, r.resolution, r.profile); })));
    return text_object(hex);
  });
}

KIVET_METHOD(tree_from_geojson) {
  return guard([&] {
    Request r = read_request("from_geojson", args, nargs, kwnames);
    // The resolution is checked before the context is built, so every entry
    // refuses a bad resolution with the same message.
    ok(check_cover_request(r.resolution, r.profile));
    Tree tree = ok(interruptible([&]() -> Result<Tree> {
      auto ctx = make_ctx(r.profile, r.resolution);
      if (!ctx) return std::unexpected(ctx.error());
      return cover(r.area, r.resolution, r.profile, std::move(*ctx));
    }));
    return new_tree(std::move(tree), r.profile);
  });
}

}  // namespace kivet::py
