// Profile: the integer-only parameters a cid and a root are read against.
//
// A plain aggregate copied by value. Every Profile handed out by the binding
// has passed validate() (the presets are valid by construction). Its identity
// is SHA-256 over a tagged big-endian preimage; it is reported, never stored
// in any record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/hierarchy.hpp"
#include "core/support/json.hpp"
#include "core/support/sha256.hpp"

namespace kivet {

struct Profile {
  std::string hash = "sha256";
  uint32_t aperture = 9;
  uint32_t n_base = 6;
  int64_t lon_0_udeg = 50000000;
  uint8_t north_square = 0;
  uint8_t south_square = 0;
  uint64_t a_um = 6378137000000;
  uint64_t inv_f_nano = 298257223563;
  uint64_t tick_us = 1;
  int64_t epoch_us = 0;

  friend bool operator==(const Profile&, const Profile&) = default;

  static Profile ogc();      // all defaults, prime meridian 50°
  static Profile kivet_1();  // prime meridian 0°

  Profile with_hash(std::string name) const;
  Hierarchy hierarchy() const { return {aperture, n_base}; }

  // The eight rules in order; the first failing one is the error.
  Result<void> validate() const;

  std::vector<uint8_t> id_preimage() const;
  Hash id() const;
  std::string id_hex() const;
  // "H(9,6) rhealpix lon_0=50 ns=0 ss=0 a=6378137 1/f=298.257223563 ..."
  std::string describe() const;

  Json to_json() const;
  // Decodes the object or ten-element array form (no validation); the error
  // is the bare reason, without the "bad profile record: " prefix.
  static Result<Profile> from_json(const Json& value);
};

}  // namespace kivet
