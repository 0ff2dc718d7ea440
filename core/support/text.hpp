// Text building for messages and records: cat() joins strings and integers;
// floats always go through one of the named renderings below, because each
// message fixes how its numbers look.
#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

namespace kivet {

namespace detail {
inline void append(std::string& out, std::string_view s) { out.append(s); }
inline void append(std::string& out, const char* s) { out.append(s); }
inline void append(std::string& out, const std::string& s) { out.append(s); }
inline void append(std::string& out, char c) { out.push_back(c); }
template <std::integral I>
  requires(!std::same_as<I, char> && !std::same_as<I, bool>)
void append(std::string& out, I v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}
}  // namespace detail

// Concatenates strings, characters and integers (decimal). Floats are refused
// at compile time: pick shortest(), plain() or fixed20().
template <class... A>
std::string cat(const A&... parts) {
  std::string out;
  (detail::append(out, parts), ...);
  return out;
}

// Shortest text that reads back to the same double, as JSON writes it: a
// decimal point or exponent is always present ("2.0", "1e+20"), so the value
// reads back as a float. Not for non-finite values.
std::string shortest(double v);

// Shortest round-trip decimal without exponent and without a trailing ".0"
// ("50", "298.257223563", "0.000001"); "NaN", "inf", "-inf" for non-finite.
std::string plain(double v);

// Fixed notation with exactly 20 digits after the decimal point.
std::string fixed20(double v);

// A quoted string literal: double quotes around the text, with backslash
// escapes for '"', '\\' and control characters.
std::string quoted(std::string_view s);

}  // namespace kivet
