// Rasters for Python: masks to and from trees, raster cids and indices, halo
// gather indices. Every result is one bytes object, allocated once at its
// final size and filled in place.
#include <cstring>

#include "core/hash.hpp"
#include "core/raster.hpp"
#include "core/support/memory.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/interrupt.hpp"
#include "py/functions.hpp"
#include "py/numpy.hpp"
#include "py/tree.hpp"

namespace kivet::py {

namespace {

// An uninitialised bytes object of `size` bytes; MemoryError when the machine
// could not hold it.
Ref new_bytes(uint64_t size) {
  ensure_memory(size, 1);
  if (size > uint64_t(PY_SSIZE_T_MAX)) throw std::bad_alloc();
  Ref out = check(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(size)));
  advise_huge_pages(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get())), size);
  return out;
}

std::span<uint8_t> bytes_span(const Ref& b) {
  return {reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(b.get())),
          size_t(PyBytes_GET_SIZE(b.get()))};
}

// A 1-D aligned contiguous native uint64 array is copied whole; any other
// object is read as a sequence of ints.
std::vector<uint64_t> cid_list(PyObject* o, const char* name) {
  if (auto copied = copy_u64_array(o)) return std::move(*copied);
  return to_u64_list(o, name);
}

}  // namespace

KIVET_FUNCTION(fn_halo_index) {
  return guard([&] {
    Args a("halo_index", {"level", "width", "profile"}, 1, args, nargs, kwnames);
    uint32_t level = to_u32(a[0], "level");
    uint32_t width = a[1] ? to_u32(a[1], "width") : 1;
    Profile profile = to_profile(a[2]);
    HaloShape shape = ok(halo_shape(profile, level, width));
    Ref out = new_bytes(8 * shape.entries);
    auto bytes = bytes_span(out);
    interruptible([&] { return write_halo_index(shape, bytes), 0; });
    return out;
  });
}

KIVET_FUNCTION(fn_raster_index) {
  return guard([&] {
    Args a("raster_index", {"cids", "profile"}, 1, args, nargs, kwnames);
    Profile profile = to_profile(a[1]);
    std::vector<uint64_t> cids = cid_list(a[0], "cids");
    Ref out = new_bytes(8 * uint64_t(cids.size()));
    auto bytes = bytes_span(out);
    ok(interruptible([&] { return raster_index(profile.hierarchy(), cids, bytes); }));
    return out;
  });
}

KIVET_FUNCTION(fn_raster_cells) {
  return guard([&] {
    Args a("raster_cells", {"level", "profile"}, 1, args, nargs, kwnames);
    uint32_t level = to_u32(a[0], "level");
    Profile profile = to_profile(a[1]);
    Hierarchy h = profile.hierarchy();
    RasterShape shape = ok(raster_cells_shape(h, level));
    Ref out = new_bytes(8 * shape.cells);
    auto bytes = bytes_span(out);
    interruptible([&] { return write_raster_cells(h, level, shape, bytes), 0; });
    return out;
  });
}

KIVET_METHOD(tree_raster) {
  return guard([&] {
    Args a("raster", {}, 0, args, nargs, kwnames);
    const Tree& tree = tree_value(self);
    RasterShape shape = ok(raster_shape(tree.hierarchy(), tree.depth()));
    Ref out = new_bytes(shape.cells);
    auto bytes = bytes_span(out);
    interruptible([&] { return write_raster(tree, bytes), 0; });
    return out;
  });
}

// A class method: `self` is the type.
KIVET_METHOD(tree_from_raster) {
  return guard([&] {
    Args a("from_raster", {"data", "depth", "profile"}, 2, args, nargs, kwnames);
    if (!PyBytes_Check(a[0])) raise_type("data", "bytes", a[0]);
    uint32_t depth = to_u32(a[1], "depth");
    Profile profile = to_profile(a[2]);
    CtxRef ctx = ok(make_ctx(profile, depth));
    Ref data = Ref::borrow(a[0]);
    std::span<const uint8_t> mask = bytes_span(data);
    Tree tree = ok(interruptible(
        [&] { return from_raster(profile.aperture, profile.n_base, depth, mask, ctx); }));
    return new_tree(std::move(tree), profile);
  });
}

}  // namespace kivet::py
