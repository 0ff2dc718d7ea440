#include "py/json_bridge.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "py/errors.hpp"

namespace kivet::py {

namespace {

Ref json_module() { return check(PyImport_ImportModule("json")); }

// Only the conversion's own failures mean "not JSON"; anything else (an
// interrupt, MemoryError, an error raised by the caller's own code) passes.
[[noreturn]] void raise_not_serialisable() {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
      !PyErr_ExceptionMatches(PyExc_OverflowError) &&
      !PyErr_ExceptionMatches(PyExc_RecursionError))
    throw PyError{};
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
  Ref name = check(PyObject_GetAttrString(t.get(), "__qualname__"));
  Ref text = check(PyObject_Str(v.get()));
  PyErr_Format(PyExc_ValueError, "not JSON (%U: %U); a missing value is null, not NaN",
               name.get(), text.get());
  throw PyError{};
}

// Reads JSON text straight into Python objects, giving what json.loads gives
// for the same text, but sharing the interpreter lock as it goes so signal
// handlers run and other threads get a turn. Nesting lives on a heap stack,
// not the C stack. Text it does not take (invalid JSON, NaN literals) is left
// to json.loads, so errors read exactly as before.
class Reader {
 public:
  explicit Reader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  // Null when the text is not for this reader (no Python error set).
  Ref read() {
    Ref keys_memo = check(PyDict_New());
    memo_ = keys_memo.get();
    Ref value;
    for (;;) {
      // A value starts here.
      skip_ws();
      if (p_ == end_) return {};
      char c = *p_;
      if (c == '{' || c == '[') {
        ++p_;
        bool object = c == '{';
        stack_.push_back({check(object ? PyDict_New() : PyList_New(0)), {}, object});
        skip_ws();
        if (p_ != end_ && *p_ == (object ? '}' : ']')) {
          ++p_;
          value = pop();
        } else {
          if (object && !read_key()) return {};
          continue;
        }
      } else {
        value = scalar();
        if (!value) return {};
      }
      // A value is complete: hand it to its container, closing containers
      // whose last value it was.
      for (;;) {
        share_lock(++count_, 4096);
        if (stack_.empty()) {
          skip_ws();
          if (p_ != end_) return {};
          return value;
        }
        Frame& top = stack_.back();
        if (top.object)
          check_status(PyDict_SetItem(top.container.get(), top.key.get(), value.get()));
        else
          check_status(PyList_Append(top.container.get(), value.get()));
        value = Ref();
        skip_ws();
        if (p_ == end_) return {};
        if (*p_ == ',') {
          ++p_;
          if (top.object && !read_key()) return {};
          break;
        }
        if (*p_ != (top.object ? '}' : ']')) return {};
        ++p_;
        value = pop();
      }
    }
  }

 private:
  struct Frame {
    Ref container;
    Ref key;
    bool object;
  };

  Ref pop() {
    Ref done = std::move(stack_.back().container);
    stack_.pop_back();
    return done;
  }

  void skip_ws() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }

  // `"key" :`, the key shared with its earlier copies as json.loads does.
  bool read_key() {
    skip_ws();
    if (p_ == end_ || *p_ != '"') return false;
    Ref key = string();
    if (!key) return false;
    skip_ws();
    if (p_ == end_ || *p_ != ':') return false;
    ++p_;
    PyObject* shared = PyDict_SetDefault(memo_, key.get(), key.get());
    if (!shared) throw PyError{};
    stack_.back().key = Ref::borrow(shared);
    return true;
  }

  bool literal(std::string_view word) {
    if (size_t(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word) return false;
    p_ += word.size();
    return true;
  }

  Ref scalar() {
    char c = *p_;
    if (c == '"') return string();
    if (c == 'n') return literal("null") ? Ref::borrow(Py_None) : Ref();
    if (c == 't') return literal("true") ? Ref::borrow(Py_True) : Ref();
    if (c == 'f') return literal("false") ? Ref::borrow(Py_False) : Ref();
    if (c == '-' || (c >= '0' && c <= '9')) return number();
    return {};
  }

  static bool digit(char c) { return c >= '0' && c <= '9'; }

  Ref number() {
    const char* start = p_;
    if (*p_ == '-') ++p_;
    if (p_ == end_ || !digit(*p_)) return {};
    if (*p_ == '0') {
      ++p_;
      if (p_ != end_ && digit(*p_)) return {};
    } else {
      while (p_ != end_ && digit(*p_)) ++p_;
    }
    bool whole = true;
    if (p_ != end_ && *p_ == '.') {
      whole = false;
      ++p_;
      if (p_ == end_ || !digit(*p_)) return {};
      while (p_ != end_ && digit(*p_)) ++p_;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      whole = false;
      ++p_;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !digit(*p_)) return {};
      while (p_ != end_ && digit(*p_)) ++p_;
    }
    std::string_view text(start, size_t(p_ - start));
    if (whole && text.size() <= 18) {
      bool negative = text[0] == '-';
      long long v = 0;
      for (char d : text.substr(negative ? 1 : 0)) v = v * 10 + (d - '0');
      return check(PyLong_FromLongLong(negative ? -v : v));
    }
    std::string copy(text);  // the C-API readers want a terminated string
    if (whole) return check(PyLong_FromString(copy.c_str(), nullptr, 10));
    double v = PyOS_string_to_double(copy.c_str(), nullptr, nullptr);
    if (v == -1.0 && PyErr_Occurred()) throw PyError{};
    return check(PyFloat_FromDouble(v));
  }

  static int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // Four hex digits after "\u", or -1.
  long unit() {
    if (end_ - p_ < 4) return -1;
    long v = 0;
    for (int i = 0; i < 4; ++i) {
      int h = hex(p_[i]);
      if (h < 0) return -1;
      v = v * 16 + h;
    }
    p_ += 4;
    return v;
  }

  // Raw text must be strict UTF-8, as decoding the whole text required.
  // False (no error set) when it is not.
  static bool valid_utf8(const char* s, size_t n) {
    bool ascii = true;
    for (size_t i = 0; i < n && ascii; ++i) ascii = static_cast<unsigned char>(s[i]) < 0x80;
    if (ascii) return true;
    PyObject* decoded = PyUnicode_DecodeUTF8(s, Py_ssize_t(n), nullptr);
    if (decoded) {
      Py_DECREF(decoded);
      return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PyError{};
    PyErr_Clear();
    return false;
  }

  // A code point of the basic plane, surrogates excluded.
  static void put_utf8(std::string& out, long cp) {
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  }

  Ref string() {
    ++p_;  // the opening quote
    const char* run = p_;
    while (p_ != end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20)
      ++p_;
    if (p_ == end_) return {};
    if (*p_ == '"') {
      size_t n = size_t(p_ - run);
      ++p_;
      PyObject* s = PyUnicode_DecodeUTF8(run, Py_ssize_t(n), nullptr);
      if (s) return Ref::steal(s);
      if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PyError{};
      PyErr_Clear();
      return {};
    }
    // With escapes: the string is rebuilt as UTF-8.
    std::string out;
    for (;;) {
      if (!valid_utf8(run, size_t(p_ - run))) return {};
      out.append(run, size_t(p_ - run));
      if (p_ == end_ || static_cast<unsigned char>(*p_) < 0x20) return {};
      if (*p_ == '"') {
        ++p_;
        break;
      }
      ++p_;  // the backslash
      if (p_ == end_) return {};
      char e = *p_++;
      if (e == 'u') {
        // Surrogate escapes (never written by the core) are left to json.loads.
        long cp = unit();
        if (cp < 0 || (cp >= 0xD800 && cp < 0xE000)) return {};
        put_utf8(out, cp);
      } else if (char plain = unescape_letter(e)) {
        out += plain;
      } else {
        return {};
      }
      run = p_;
      while (p_ != end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20)
        ++p_;
    }
    return check(PyUnicode_DecodeUTF8(out.data(), Py_ssize_t(out.size()), nullptr));
  }

  const char* p_;
  const char* end_;
  PyObject* memo_ = nullptr;
  std::vector<Frame> stack_;
  size_t count_ = 0;
};

}  // namespace

Json json_in(PyObject* obj) {
  Ref text;
  if (PyUnicode_Check(obj)) {
    text = Ref::borrow(obj);
  } else {
    Ref json = json_module();
    Ref dumps = check(PyObject_GetAttrString(json.get(), "dumps"));
    Ref args = check(PyTuple_Pack(1, obj));
    Ref kwargs = check(Py_BuildValue("{s:O}", "allow_nan", Py_False));
    text = Ref::steal(PyObject_Call(dumps.get(), args.get(), kwargs.get()));
    if (!text) raise_not_serialisable();
    if (!PyUnicode_Check(text.get())) {
      PyErr_Format(PyExc_TypeError, "json.dumps returned %.200s, not str",
                   Py_TYPE(text.get())->tp_name);
      throw PyError{};
    }
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (!utf8) throw PyError{};
  auto parsed = parse_json(std::string_view(utf8, size_t(size)));
  if (!parsed) raise(PyExc_ValueError, "not JSON: " + parsed.error().text());
  return std::move(*parsed);
}

Ref json_out(const Json& value) { return json_out_text(value.dump()); }

Ref json_out_text(std::string_view text) {
  if (Ref value = Reader(text).read()) return value;
  // Not JSON the reader takes: json.loads gives the value or the error.
  Ref json = json_module();
  Ref s = check(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
  return check(PyObject_CallMethod(json.get(), "loads", "O", s.get()));
}

}  // namespace kivet::py
