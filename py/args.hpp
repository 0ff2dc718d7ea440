// The argument parser shared by every function and method.
//
// Entries use METH_FASTCALL | METH_KEYWORDS. Args matches positional and
// keyword arguments to the declared parameter names with the interpreter's
// usual errors (too many, missing, duplicate, unexpected keyword); converters
// then read each parameter in declaration order, naming it in every
// TypeError/OverflowError. Returned pointers are borrowed from the call.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/profile.hpp"
#include "py/errors.hpp"

namespace kivet::py {

class Args {
 public:
  // `names` are the parameters in order; the first `required` must be given.
  Args(const char* function, std::initializer_list<const char*> names,
       size_t required, PyObject* const* args, Py_ssize_t nargs,
       PyObject* kwnames);

  // The same for tp_new/tp_init style calls (a tuple and a dict).
  Args(const char* function, std::initializer_list<const char*> names,
       size_t required, PyObject* args, PyObject* kwargs);

  // The argument for parameter i, or nullptr when it was omitted.
  PyObject* operator[](size_t i) const { return values_[i]; }
  // Omitted or None.
  bool absent(size_t i) const { return !values_[i] || values_[i] == Py_None; }
  const char* name(size_t i) const { return names_[i]; }

 private:
  void match(const char* function, size_t required, PyObject* const* args,
             size_t positional, PyObject* kwnames);
  std::vector<const char*> names_;
  std::vector<PyObject*> values_;
};

// Integer conversions to the declared width (anything with __index__).
uint64_t to_u64(PyObject* o, const char* name);
uint32_t to_u32(PyObject* o, const char* name);
uint8_t to_u8(PyObject* o, const char* name);
int64_t to_i64(PyObject* o, const char* name);
// A str, as UTF-8.
std::string to_text(PyObject* o, const char* name);
// Exactly True or False.
bool to_bool(PyObject* o, const char* name);
// A sequence of ints (not a str), each converted to u64; errors name `name`.
std::vector<uint64_t> to_u64_list(PyObject* o, const char* name);

// A 1-D aligned contiguous native uint64 NumPy array copied in one go;
// nothing for any other object.
std::optional<std::vector<uint64_t>> copy_u64_array(PyObject* o);

// A list of ints.
Ref int_list(std::span<const uint64_t> values);

// A str from UTF-8 text.
Ref text_object(std::string_view s);

// An omitted or None profile is a fresh OGC preset; anything else must be a
// Profile (or subclass) and is copied out.
Profile to_profile(PyObject* o /* nullable */, const char* name = "profile");

[[noreturn]] void raise_type(const char* name, const char* expected, PyObject* got);

}  // namespace kivet::py
