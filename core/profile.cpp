#include "core/profile.hpp"

#include <cmath>
#include <limits>

namespace kivet {

Profile Profile::ogc() { return Profile{}.with_hash("sha256"); }

Profile Profile::kivet_1() {
  Profile p;
  p.lon_0_udeg = 0;
  return p.with_hash("sha256");
}

Profile Profile::with_hash(std::string name) const {
  Profile p = *this;
  p.hash = std::move(name);
  return p;
}

Result<void> Profile::validate() const {
  if (auto h = hierarchy().validate(); !h) return h;
  if (hash != "sha256") return fail(cat("unknown hash id ", quoted(hash)));
  if (lon_0_udeg < -180000000 || lon_0_udeg > 180000000)
    return fail(cat("lon_0 ", lon_0_udeg,
                    " micro-degrees outside [-180, 180] degrees"));
  if (north_square > 3 || south_square > 3)
    return fail("north_square/south_square must be in 0..3");
  if (a_um == 0 || inv_f_nano == 0)
    return fail("ellipsoid a and inv_f must be positive");
  if (tick_us == 0) return fail("tick_us must be >= 1");
  auto s = static_cast<uint64_t>(std::sqrt(static_cast<double>(aperture)));
  if (s * s != aperture)
    return fail(cat("aperture ", aperture, " is not a square; no rHEALPix N_side"));
  return {};
}

namespace {
template <class T>
void put_be(std::vector<uint8_t>& out, T value) {
  auto u = static_cast<std::make_unsigned_t<T>>(value);
  for (int shift = 8 * (sizeof(T) - 1); shift >= 0; shift -= 8)
    out.push_back(uint8_t(u >> shift));
}
}  // namespace

std::vector<uint8_t> Profile::id_preimage() const {
  static constexpr std::string_view kTag = "KIVET-PROFILE-1";
  std::vector<uint8_t> out(kTag.begin(), kTag.end());
  // The hash name is at most a few bytes for any valid profile; the length
  // byte keeps the low byte of longer (invalid) names.
  out.push_back(uint8_t(hash.size()));
  out.insert(out.end(), hash.begin(), hash.end());
  put_be(out, aperture);
  put_be(out, n_base);
  put_be(out, lon_0_udeg);
  put_be(out, north_square);
  put_be(out, south_square);
  put_be(out, a_um);
  put_be(out, inv_f_nano);
  put_be(out, tick_us);
  put_be(out, epoch_us);
  return out;
}

Hash Profile::id() const {
  auto pre = id_preimage();
  return sha256(pre.data(), pre.size());
}

std::string Profile::id_hex() const { return to_hex(id()); }

std::string Profile::describe() const {
  return cat("H(", aperture, ",", n_base, ") rhealpix lon_0=",
             plain(double(lon_0_udeg) / 1e6), " ns=", int(north_square),
             " ss=", int(south_square), " a=", plain(double(a_um) / 1e6),
             " 1/f=", plain(double(inv_f_nano) / 1e9), " hash=", hash,
             " tick=", tick_us, "us epoch=", epoch_us);
}

Json Profile::to_json() const {
  JsonObject o;
  o["hash"] = Json(hash);
  o["aperture"] = Json(aperture);
  o["n_base"] = Json(n_base);
  o["lon_0_udeg"] = Json(lon_0_udeg);
  o["north_square"] = Json(uint64_t(north_square));
  o["south_square"] = Json(uint64_t(south_square));
  o["a_um"] = Json(a_um);
  o["inv_f_nano"] = Json(inv_f_nano);
  o["tick_us"] = Json(tick_us);
  o["epoch_us"] = Json(epoch_us);
  return Json(std::move(o));
}

namespace {

// How a decoder names a value it did not expect.
std::string unexpected(const Json& v) {
  if (v.is_null()) return "null";
  if (v.is_bool()) return cat("boolean `", v.as_bool() ? "true" : "false", "`");
  if (v.is_u64()) return cat("integer `", v.as_u64(), "`");
  if (v.is_i64()) return cat("integer `", v.as_i64(), "`");
  if (v.is_f64()) {
    double d = v.as_f64();
    return cat("floating point `", std::isfinite(d) ? shortest(d) : plain(d), "`");
  }
  if (v.is_string()) return cat("string ", quoted(v.as_string()));
  if (v.is_array()) return "sequence";
  return "map";
}

enum class Kind { kText, kU8, kU32, kU64, kI64 };

struct Field {
  const char* name;
  Kind kind;
};

constexpr Field kFields[10] = {
    {"hash", Kind::kText},       {"aperture", Kind::kU32},
    {"n_base", Kind::kU32},      {"lon_0_udeg", Kind::kI64},
    {"north_square", Kind::kU8}, {"south_square", Kind::kU8},
    {"a_um", Kind::kU64},        {"inv_f_nano", Kind::kU64},
    {"tick_us", Kind::kU64},     {"epoch_us", Kind::kI64}};

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::kText: return "a string";
    case Kind::kU8: return "u8";
    case Kind::kU32: return "u32";
    case Kind::kU64: return "u64";
    case Kind::kI64: return "i64";
  }
  return "";
}

Result<void> decode_field(Profile& p, size_t index, const Json& v) {
  Kind kind = kFields[index].kind;
  auto wrong_type = [&] {
    return fail(cat("invalid type: ", unexpected(v), ", expected ", kind_name(kind)));
  };
  auto wrong_value = [&] {
    return fail(cat("invalid value: ", unexpected(v), ", expected ", kind_name(kind)));
  };
  if (kind == Kind::kText) {
    if (!v.is_string()) return wrong_type();
    p.hash = v.as_string();
    return {};
  }
  if (!v.is_u64() && !v.is_i64()) return wrong_type();
  if (kind == Kind::kI64) {
    int64_t x;
    if (v.is_i64()) {
      x = v.as_i64();
    } else {
      if (v.as_u64() > uint64_t(std::numeric_limits<int64_t>::max())) return wrong_value();
      x = int64_t(v.as_u64());
    }
    (index == 3 ? p.lon_0_udeg : p.epoch_us) = x;
    return {};
  }
  if (v.is_i64()) return wrong_value();
  uint64_t u = v.as_u64();
  uint64_t limit = kind == Kind::kU8    ? 0xFF
                   : kind == Kind::kU32 ? 0xFFFFFFFFu
                                        : std::numeric_limits<uint64_t>::max();
  if (u > limit) return wrong_value();
  switch (index) {
    case 1: p.aperture = uint32_t(u); break;
    case 2: p.n_base = uint32_t(u); break;
    case 4: p.north_square = uint8_t(u); break;
    case 5: p.south_square = uint8_t(u); break;
    case 6: p.a_um = u; break;
    case 7: p.inv_f_nano = u; break;
    case 8: p.tick_us = u; break;
    default: p.epoch_us = int64_t(u); break;
  }
  return {};
}

}  // namespace

Result<Profile> Profile::from_json(const Json& value) {
  Profile p;
  if (value.is_array()) {
    const auto& items = value.as_array();
    for (size_t i = 0; i < items.size() && i < 10; ++i)
      if (auto r = decode_field(p, i, items[i]); !r) return std::unexpected(r.error());
    if (items.size() < 10)
      return fail(cat("invalid length ", items.size(),
                      ", expected struct Profile with 10 elements"));
    if (items.size() > 10)
      return fail(cat("invalid length ", items.size(),
                      ", expected fewer elements in array"));
    return p;
  }
  if (!value.is_object())
    return fail(cat("invalid type: ", unexpected(value), ", expected struct Profile"));
  // Members are decoded in the order the record lists them (ascending keys);
  // missing fields are named afterwards, in field order.
  bool seen[10] = {};
  for (const auto& [key, v] : value.as_object()) {
    for (size_t i = 0; i < 10; ++i) {
      if (key != kFields[i].name) continue;
      if (auto r = decode_field(p, i, v); !r) return std::unexpected(r.error());
      seen[i] = true;
    }
  }
  for (size_t i = 0; i < 10; ++i)
    if (!seen[i]) return fail(cat("missing field `", kFields[i].name, "`"));
  return p;
}

}  // namespace kivet
