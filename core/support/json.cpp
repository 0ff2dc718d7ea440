#include "core/support/json.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace kivet {

double Json::as_f64() const {
  if (is_u64()) return double(as_u64());
  if (is_i64()) return double(as_i64());
  return std::get<double>(v_);
}

const Json* Json::find(std::string_view key) const {
  if (!is_object()) return nullptr;
  const auto& o = as_object();
  auto it = o.find(std::string(key));
  return it == o.end() ? nullptr : &it->second;
}

char unescape_letter(char letter) {
  switch (letter) {
    case '"': return '"';
    case '\\': return '\\';
    case '/': return '/';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return 0;
  }
}

void write_json_string(std::string& out, std::string_view s) {
  static const char* kHex = "0123456789abcdef";
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void Json::dump_to(std::string& out) const {
  struct Writer {
    std::string& out;
    void operator()(std::nullptr_t) const { out += "null"; }
    void operator()(bool b) const { out += b ? "true" : "false"; }
    void operator()(uint64_t u) const { detail::append(out, u); }
    void operator()(int64_t i) const { detail::append(out, i); }
    void operator()(double d) const {
      if (std::isfinite(d))
        out += shortest(d);
      else
        out += "null";
    }
    void operator()(const detail::Box<std::string>& s) const {
      write_json_string(out, *s);
    }
    void operator()(const detail::Box<JsonArray>& boxed) const {
      const JsonArray& a = *boxed;
      out += '[';
      for (size_t i = 0; i < a.size(); ++i) {
        if (i) out += ',';
        a[i].dump_to(out);
      }
      out += ']';
    }
    void operator()(const detail::Box<JsonObject>& boxed) const {
      const JsonObject& o = *boxed;
      out += '{';
      bool first = true;
      for (const auto& [k, v] : o) {
        if (!first) out += ',';
        first = false;
        write_json_string(out, k);
        out += ':';
        v.dump_to(out);
      }
      out += '}';
    }
  };
  std::visit(Writer{out}, v_);
}

std::string Json::dump() const {
  std::string out;
  dump_to(out);
  return out;
}

namespace {

constexpr int kMaxDepth = 128;

// Recursive descent over the text. Positions follow one rule: an error is
// reported after consuming the offending byte, so the column is that byte's
// 1-based column (at the end of input, the number of bytes on the last line).
class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  Result<Json> parse_document() {
    auto v = parse_value();
    if (!v) return v;
    skip_ws();
    if (pos_ < s_.size()) {
      next();
      return error("trailing characters");
    }
    return v;
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
  size_t line_ = 1, col_ = 0;
  int depth_ = kMaxDepth;

  bool eof() const { return pos_ >= s_.size(); }
  unsigned char peek() const { return s_[pos_]; }
  unsigned char next() {
    unsigned char c = s_[pos_++];
    if (c == '\n') {
      ++line_;
      col_ = 0;
    } else {
      ++col_;
    }
    return c;
  }
  std::unexpected<Error> error(std::string_view what) const {
    return fail(cat(what, " at line ", line_, " column ", col_));
  }
  void skip_ws() {
    while (!eof()) {
      unsigned char c = peek();
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
      next();
    }
  }

  Result<Json> parse_value() {
    skip_ws();
    if (eof()) return error("EOF while parsing a value");
    unsigned char c = peek();
    switch (c) {
      case 'n': return literal("null", Json(nullptr));
      case 't': return literal("true", Json(true));
      case 'f': return literal("false", Json(false));
      case '"': {
        next();
        std::string str;
        if (auto r = parse_string(str); !r) return std::unexpected(r.error());
        return Json(std::move(str));
      }
      case '[': return parse_array();
      case '{': return parse_object();
      default:
        if (c == '-' || (c >= '0' && c <= '9')) return parse_number();
        next();
        return error("expected value");
    }
  }

  Result<Json> literal(std::string_view word, Json value) {
    for (char w : word) {
      if (eof()) return error("EOF while parsing a value");
      if (next() != static_cast<unsigned char>(w)) return error("expected ident");
    }
    return value;
  }

  Result<Json> parse_number() {
    size_t start = pos_;
    bool negative = false, integral = true;
    if (peek() == '-') {
      negative = true;
      next();
    }
    if (eof()) return error("EOF while parsing a value");
    unsigned char c = next();
    if (c == '0') {
      if (!eof() && peek() >= '0' && peek() <= '9') {
        next();
        return error("invalid number");
      }
    } else if (c >= '1' && c <= '9') {
      while (!eof() && peek() >= '0' && peek() <= '9') next();
    } else {
      return error("invalid number");
    }
    if (!eof() && peek() == '.') {
      integral = false;
      next();
      if (eof()) return error("EOF while parsing a value");
      if (!(peek() >= '0' && peek() <= '9')) {
        next();
        return error("invalid number");
      }
      while (!eof() && peek() >= '0' && peek() <= '9') next();
    }
    if (!eof() && (peek() == 'e' || peek() == 'E')) {
      integral = false;
      next();
      if (!eof() && (peek() == '+' || peek() == '-')) next();
      if (eof()) return error("EOF while parsing a value");
      if (!(peek() >= '0' && peek() <= '9')) {
        next();
        return error("invalid number");
      }
      while (!eof() && peek() >= '0' && peek() <= '9') next();
    }
    const char* first = s_.data() + start;
    const char* last = s_.data() + pos_;
    if (integral) {
      if (negative) {
        int64_t v;
        auto r = std::from_chars(first, last, v);
        if (r.ec == std::errc() && r.ptr == last) return Json(v);
      } else {
        uint64_t v;
        auto r = std::from_chars(first, last, v);
        if (r.ec == std::errc() && r.ptr == last) return Json(v);
      }
    }
    double d;
    auto r = std::from_chars(first, last, d);
    if (r.ec == std::errc::result_out_of_range) {
      // Underflow reads as zero or a subnormal; overflow has no JSON value.
      d = std::strtod(std::string(first, last).c_str(), nullptr);
      if (std::isinf(d)) return error("number out of range");
      return Json(d);
    }
    if (r.ec != std::errc() || r.ptr != last) return error("invalid number");
    return Json(d);
  }

  Result<uint32_t> hex4() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      if (eof()) return error("EOF while parsing a string");
      unsigned char c = next();
      v <<= 4;
      if (c >= '0' && c <= '9') v |= c - '0';
      else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
      else return error("invalid escape");
    }
    return v;
  }

  static void put_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | (cp >> 18));
      out += char(0x80 | ((cp >> 12) & 0x3F));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  }

  // Reads a string body after its opening quote. The text reaching us is
  // UTF-8 (it came from a Python str), so only escapes need decoding.
  Result<void> parse_string(std::string& out) {
    while (true) {
      if (eof()) return error("EOF while parsing a string");
      unsigned char c = next();
      if (c == '"') return {};
      if (c < 0x20)
        return error("control character (\\u0000-\\u001F) found while parsing a string");
      if (c != '\\') {
        out += char(c);
        continue;
      }
      if (eof()) return error("EOF while parsing a string");
      c = next();
      if (c != 'u') {
        char plain = unescape_letter(char(c));
        if (!plain) return error("invalid escape");
        out += plain;
        continue;
      }
      auto cp = hex4();
      if (!cp) return std::unexpected(cp.error());
      uint32_t v = *cp;
      if (v >= 0xDC00 && v <= 0xDFFF)
        return error("lone leading surrogate in hex escape");
      if (v >= 0xD800 && v <= 0xDBFF) {
        if (eof()) return error("EOF while parsing a string");
        if (next() != '\\') return error("unexpected end of hex escape");
        if (eof()) return error("EOF while parsing a string");
        if (next() != 'u') return error("unexpected end of hex escape");
        auto lo = hex4();
        if (!lo) return std::unexpected(lo.error());
        if (*lo < 0xDC00 || *lo > 0xDFFF)
          return error("lone leading surrogate in hex escape");
        v = 0x10000 + ((v - 0xD800) << 10) + (*lo - 0xDC00);
      }
      put_utf8(out, v);
    }
  }

  Result<Json> parse_array() {
    next();  // '['
    if (--depth_ == 0) return error("recursion limit exceeded");
    JsonArray items;
    skip_ws();
    if (eof()) return error("EOF while parsing a list");
    if (peek() == ']') {
      next();
      ++depth_;
      return Json(std::move(items));
    }
    while (true) {
      auto v = parse_value();
      if (!v) return v;
      items.push_back(std::move(*v));
      skip_ws();
      if (eof()) return error("EOF while parsing a list");
      unsigned char c = next();
      if (c == ']') break;
      if (c != ',') return error("expected `,` or `]`");
      skip_ws();
      if (!eof() && peek() == ']') {
        next();
        return error("trailing comma");
      }
    }
    ++depth_;
    return Json(std::move(items));
  }

  Result<Json> parse_object() {
    next();  // '{'
    if (--depth_ == 0) return error("recursion limit exceeded");
    JsonObject members;
    skip_ws();
    if (eof()) return error("EOF while parsing an object");
    if (peek() == '}') {
      next();
      ++depth_;
      return Json(std::move(members));
    }
    while (true) {
      skip_ws();
      if (eof()) return error("EOF while parsing an object");
      unsigned char c = next();
      if (c == '}') return error("trailing comma");
      if (c != '"') return error("key must be a string");
      std::string key;
      if (auto r = parse_string(key); !r) return std::unexpected(r.error());
      skip_ws();
      if (eof()) return error("EOF while parsing an object");
      if (next() != ':') return error("expected `:`");
      auto v = parse_value();
      if (!v) return v;
      // A repeated key keeps its last value, as most readers do.
      members.insert_or_assign(std::move(key), std::move(*v));
      skip_ws();
      if (eof()) return error("EOF while parsing an object");
      c = next();
      if (c == '}') break;
      if (c != ',') return error("expected `,` or `}`");
    }
    ++depth_;
    return Json(std::move(members));
  }
};

}  // namespace

Result<Json> parse_json(std::string_view text) {
  return Parser(text).parse_document();
}

}  // namespace kivet
