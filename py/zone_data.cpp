// DGGS-JSON zone data for Python: Tree.to_dggs_json and Tree.from_dggs_json.
#include "core/zone_data.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/interrupt.hpp"
#include "py/json_bridge.hpp"
#include "py/tree.hpp"

namespace kivet::py {

KIVET_METHOD(tree_to_dggs_json) {
  return guard([&] {
    Args a("to_dggs_json", {"zone", "field"}, 1, args, nargs, kwnames);
    uint64_t zone = to_u64(a[0], "zone");
    std::string field = a[1] ? to_text(a[1], "field") : std::string("coverage");
    const Tree& tree = tree_value(self);
    const Profile& profile = tree_profile(self);
    std::string text = ok(interruptible([&]() -> Result<std::string> {
      auto doc = to_dggs_json(tree, profile, zone, field);
      if (!doc) return std::unexpected(doc.error());
      return doc->dump();
    }));
    return json_out_text(text);
  });
}

// A static method: `self` is null.
KIVET_METHOD(tree_from_dggs_json) {
  return guard([&] {
    Args a("from_dggs_json", {"doc", "field", "depth", "nonzero", "profile"}, 1, args,
           nargs, kwnames);
    std::optional<std::string> field;
    if (!a.absent(1)) field = to_text(a[1], "field");
    std::optional<uint32_t> depth;
    if (!a.absent(2)) depth = to_u32(a[2], "depth");
    bool nonzero = a[3] ? to_bool(a[3], "nonzero") : false;
    Profile profile = to_profile(a[4]);
    Json doc = json_in(a[0]);
    Tree tree =
        ok(interruptible([&] { return from_dggs_json(doc, profile, field, depth, nonzero); }));
    return new_tree(std::move(tree), profile);
  });
}

}  // namespace kivet::py
