// Zone navigation for Python: positions, sub-zones and neighbours.
#include "core/support/memory.hpp"
#include "core/zone.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/interrupt.hpp"
#include "py/functions.hpp"

namespace kivet::py {

namespace {

Ref u64(uint64_t v) { return check(PyLong_FromUnsignedLongLong(v)); }

}  // namespace

KIVET_FUNCTION(fn_position) {
  return guard([&] {
    Args a("position", {"cid", "profile"}, 1, args, nargs, kwnames);
    uint64_t cid = to_u64(a[0], "cid");
    Profile profile = to_profile(a[1]);
    Position p = ok(position(profile.hierarchy(), cid));
    return check(Py_BuildValue("(IIKK)", p.base, p.level, (unsigned long long)p.row,
                               (unsigned long long)p.column));
  });
}

KIVET_FUNCTION(fn_cell_at) {
  return guard([&] {
    Args a("cell_at", {"base", "level", "row", "col", "profile"}, 4, args, nargs,
           kwnames);
    uint32_t base = to_u32(a[0], "base");
    uint32_t level = to_u32(a[1], "level");
    uint64_t row = to_u64(a[2], "row");
    uint64_t col = to_u64(a[3], "col");
    Profile profile = to_profile(a[4]);
    return u64(ok(cell_at(profile.hierarchy(), base, level, row, col)));
  });
}

KIVET_FUNCTION(fn_subzone_index) {
  return guard([&] {
    Args a("subzone_index", {"ancestor", "cid", "profile"}, 2, args, nargs, kwnames);
    uint64_t ancestor = to_u64(a[0], "ancestor");
    uint64_t cid = to_u64(a[1], "cid");
    Profile profile = to_profile(a[2]);
    return u64(ok(subzone_index(profile.hierarchy(), ancestor, cid)));
  });
}

KIVET_FUNCTION(fn_subzone_at) {
  return guard([&] {
    Args a("subzone_at", {"ancestor", "depth", "index", "profile"}, 3, args, nargs,
           kwnames);
    uint64_t ancestor = to_u64(a[0], "ancestor");
    uint32_t depth = to_u32(a[1], "depth");
    uint64_t index = to_u64(a[2], "index");
    Profile profile = to_profile(a[3]);
    return u64(ok(subzone_at(profile.hierarchy(), ancestor, depth, index)));
  });
}

KIVET_FUNCTION(fn_subzones) {
  return guard([&] {
    Args a("subzones", {"ancestor", "depth", "profile"}, 2, args, nargs, kwnames);
    uint64_t ancestor = to_u64(a[0], "ancestor");
    uint32_t depth = to_u32(a[1], "depth");
    Profile profile = to_profile(a[2]);
    // Up to 2^30 sub-zones are allowed: a cid, a list slot and an int each.
    // Refuse a list that cannot be held before building it; larger counts
    // get the core's own message.
    auto m = span(profile.hierarchy(), depth);
    if (m && *m <= (uint64_t(1) << 15))
      ensure_memory(*m * *m, sizeof(uint64_t) + sizeof(PyObject*) + 32);
    std::vector<uint64_t> cells =
        ok(interruptible([&] { return subzones(profile.hierarchy(), ancestor, depth); }));
    return int_list(cells);
  });
}

KIVET_FUNCTION(fn_neighbours) {
  return guard([&] {
    Args a("neighbours", {"cid", "profile"}, 1, args, nargs, kwnames);
    uint64_t cid = to_u64(a[0], "cid");
    Profile profile = to_profile(a[1]);
    Neighbours n = ok(neighbours(profile, cid));
    Ref dict = check(PyDict_New());
    const std::pair<const char*, uint64_t> items[] = {
        {"up", n.up}, {"right", n.right}, {"down", n.down}, {"left", n.left}};
    for (const auto& [key, value] : items)
      check_status(PyDict_SetItemString(dict.get(), key, u64(value).get()));
    return dict;
  });
}

}  // namespace kivet::py
