// DGGS-JSON zone data: a tree written as the values of the sub-zones of one
// zone at one relative depth (1 covered, null not), and such a document read
// back into a canonical tree.
//
// Only the registered DGGRS qualifies: the OGC rHEALPix grid on WGS 84 with
// prime meridian 50° and both polar squares at 0 (tick and epoch aside), whose
// zone ids are suids. Values follow the scanline sub-zone order of the zone.
// At most 9^9 sub-zones (relative depth 9) are written or read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/profile.hpp"
#include "core/support/json.hpp"
#include "core/tree.hpp"

namespace kivet {

// 50 characters; both directions compare and write this one constant.
inline constexpr std::string_view kRhealpixDggrsUri =
    "https://www.opengis.net/def/dggrs/OGC/1.0/rHEALPix";

// The DGGRS URI of the profile, or why its zone ids would be misread.
[[nodiscard]] Result<std::string> registered(const Profile& profile);

// 9^d sub-zones, or "depth {d} has too many sub-zones" beyond 2^30.
[[nodiscard]] Result<uint64_t> count_at(uint32_t d);

// The index of the option named `wanted`, or of the only option when nothing
// is wanted. `what` is "field" or "depth" and names them in the messages.
[[nodiscard]] Result<size_t> pick(std::string_view what,
                                  std::span<const std::string> names,
                                  const std::optional<std::string>& wanted);

// The Debug-style rendering used in the shape message: Null, Bool(true),
// Number(10), String("x"), Array [..], Object {"k": ..}.
std::string debug_json(const Json& value);

// The document for the sub-zones of `zone` at the tree's depth.
[[nodiscard]] Result<Json> to_dggs_json(const Tree& tree, const Profile& profile,
                                        uint64_t zone, const std::string& field);

// The coverage the document describes: the sub-zones of its zone at one depth
// whose value in the chosen field is present (a number; with `nonzero`, a
// number other than zero).
[[nodiscard]] Result<Tree> from_dggs_json(const Json& doc, const Profile& profile,
                                          const std::optional<std::string>& field,
                                          std::optional<uint32_t> depth, bool nonzero);

}  // namespace kivet
