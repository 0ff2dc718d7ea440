// A JSON value with sorted-key objects, a strict parser and a compact writer.
//
// Numbers are held as u64 (non-negative integers that fit), i64 (negative
// integers that fit) or f64 (everything else). Objects are std::map, so keys
// iterate in ascending byte order and occur once. The parser accepts exactly
// one RFC 8259 value followed by whitespace, nests at most 127 deep, and
// reports "<problem> at line L column C". The writer prints floats in the
// shortest round-trip form and non-finite floats as null.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/error.hpp"

namespace kivet {

class Json;
using JsonArray = std::vector<Json>;
using JsonObject = std::map<std::string, Json>;

namespace detail {
// A heap value with value semantics: keeps Json at 16 bytes, so large arrays
// of numbers and nulls stay compact.
template <class T>
class Box {
 public:
  explicit Box(T v) : p_(new T(std::move(v))) {}
  Box(const Box& o) : p_(new T(*o.p_)) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& o) {
    if (this != &o) p_.reset(new T(*o.p_));
    return *this;
  }
  Box& operator=(Box&&) noexcept = default;
  T& operator*() { return *p_; }
  const T& operator*() const { return *p_; }
  friend bool operator==(const Box& a, const Box& b) { return *a.p_ == *b.p_; }

 private:
  std::unique_ptr<T> p_;
};
}  // namespace detail

class Json {
 public:
  using Value = std::variant<std::nullptr_t, bool, uint64_t, int64_t, double,
                             detail::Box<std::string>, detail::Box<JsonArray>,
                             detail::Box<JsonObject>>;

  Json() : v_(nullptr) {}
  Json(std::nullptr_t) : v_(nullptr) {}
  Json(bool b) : v_(b) {}
  Json(uint64_t u) : v_(u) {}
  Json(uint32_t u) : v_(uint64_t(u)) {}
  Json(int64_t i) { set_int(i); }
  Json(int i) { set_int(i); }
  Json(double d) : v_(d) {}
  Json(std::string s) : v_(detail::Box<std::string>(std::move(s))) {}
  Json(const char* s) : Json(std::string(s)) {}
  Json(JsonArray a) : v_(detail::Box<JsonArray>(std::move(a))) {}
  Json(JsonObject o) : v_(detail::Box<JsonObject>(std::move(o))) {}

  bool is_null() const { return std::holds_alternative<std::nullptr_t>(v_); }
  bool is_bool() const { return std::holds_alternative<bool>(v_); }
  bool is_u64() const { return std::holds_alternative<uint64_t>(v_); }
  bool is_i64() const { return std::holds_alternative<int64_t>(v_); }
  bool is_f64() const { return std::holds_alternative<double>(v_); }
  bool is_number() const { return is_u64() || is_i64() || is_f64(); }
  bool is_string() const { return std::holds_alternative<detail::Box<std::string>>(v_); }
  bool is_array() const { return std::holds_alternative<detail::Box<JsonArray>>(v_); }
  bool is_object() const { return std::holds_alternative<detail::Box<JsonObject>>(v_); }

  bool as_bool() const { return std::get<bool>(v_); }
  uint64_t as_u64() const { return std::get<uint64_t>(v_); }
  int64_t as_i64() const { return std::get<int64_t>(v_); }
  // Any number as a double (integers by ordinary conversion).
  double as_f64() const;
  const std::string& as_string() const { return *std::get<detail::Box<std::string>>(v_); }
  const JsonArray& as_array() const { return *std::get<detail::Box<JsonArray>>(v_); }
  JsonArray& as_array() { return *std::get<detail::Box<JsonArray>>(v_); }
  const JsonObject& as_object() const { return *std::get<detail::Box<JsonObject>>(v_); }
  JsonObject& as_object() { return *std::get<detail::Box<JsonObject>>(v_); }

  // Member of an object, or nullptr when absent or this is not an object.
  const Json* find(std::string_view key) const;

  const Value& value() const { return v_; }

  // Compact text, keys ascending, shortest floats.
  std::string dump() const;
  void dump_to(std::string& out) const;

  friend bool operator==(const Json&, const Json&) = default;

 private:
  void set_int(int64_t i) {
    if (i >= 0)
      v_ = uint64_t(i);
    else
      v_ = i;
  }
  Value v_;
};

// Parses exactly one JSON value from the text.
Result<Json> parse_json(std::string_view text);

// Writes a string as a JSON string literal.
void write_json_string(std::string& out, std::string_view s);

// The character a one-letter string escape stands for (\" \\ \/ \b \f \n \r \t),
// or 0 for any other letter.
char unescape_letter(char letter);

}  // namespace kivet
