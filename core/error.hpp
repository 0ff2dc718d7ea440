// The one error type of the core, and Result<T>.
//
// An Error is either a message (the text is the whole error) or a point outside
// the image of the projection (two floats, rendered on demand). Every fallible
// core operation returns Result<T>; the binding turns an Error into ValueError
// with exactly text(). Messages are built with cat() beside the check that
// raises them, so each text lives in one place.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "core/support/text.hpp"

namespace kivet {

class Error {
 public:
  static Error message(std::string text) { return Error(std::move(text)); }
  static Error outside_projection(double x, double y) { return Error(x, y); }

  // The display text: the message itself, or the point form with both
  // coordinates in fixed notation with 20 decimals.
  std::string text() const;

  bool is_projection() const { return projection_; }
  double x() const { return x_; }
  double y() const { return y_; }

 private:
  explicit Error(std::string text) : text_(std::move(text)) {}
  Error(double x, double y) : projection_(true), x_(x), y_(y) {}

  std::string text_;
  bool projection_ = false;
  double x_ = 0, y_ = 0;
};

template <class T>
using Result = std::expected<T, Error>;

// A failed result carrying a message; converts to any Result<T>.
inline std::unexpected<Error> fail(std::string text) {
  return std::unexpected<Error>(Error::message(std::move(text)));
}

// Wraps a fixed text into a failed Result<T>.
template <class T>
Result<T> invalid(std::string_view text) {
  return fail(std::string(text));
}

}  // namespace kivet
