#include "py/args.hpp"

#include <cstring>

#include "py/numpy.hpp"
#include "py/profile.hpp"

namespace kivet::py {

Args::Args(const char* function, std::initializer_list<const char*> names,
           size_t required, PyObject* const* args, Py_ssize_t nargs,
           PyObject* kwnames)
    : names_(names), values_(names.size(), nullptr) {
  match(function, required, args, size_t(PyVectorcall_NARGS(nargs)), kwnames);
}

Args::Args(const char* function, std::initializer_list<const char*> names,
           size_t required, PyObject* args, PyObject* kwargs)
    : names_(names), values_(names.size(), nullptr) {
  std::vector<PyObject*> flat;
  Py_ssize_t positional = PyTuple_GET_SIZE(args);
  for (Py_ssize_t i = 0; i < positional; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
  Ref kwnames;
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    kwnames = check(PyTuple_New(PyDict_GET_SIZE(kwargs)));
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SET_ITEM(kwnames.get(), k++, key);
      flat.push_back(value);
    }
  }
  match(function, required, flat.data(), size_t(positional), kwnames.get());
}

void Args::match(const char* function, size_t required, PyObject* const* args,
                 size_t positional, PyObject* kwnames) {
  size_t n = names_.size();
  if (positional > n) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zu given)",
                 function, n, n == 1 ? "" : "s", positional);
    throw PyError{};
  }
  for (size_t i = 0; i < positional; ++i) values_[i] = args[i];
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      const char* kname = PyUnicode_AsUTF8(key);
      if (!kname) throw PyError{};
      size_t i = 0;
      while (i < n && std::string_view(names_[i]) != kname) ++i;
      if (i == n) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'",
                     function, kname);
        throw PyError{};
      }
      if (values_[i]) {
        PyErr_Format(PyExc_TypeError,
                     "argument for %s() given by name ('%s') and position (%zu)",
                     function, kname, i + 1);
        throw PyError{};
      }
      values_[i] = args[positional + size_t(k)];
    }
  }
  for (size_t i = 0; i < required; ++i) {
    if (!values_[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                   function, names_[i], i + 1);
      throw PyError{};
    }
  }
}

void raise_type(const char* name, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %.200s", name,
               expected, Py_TYPE(got)->tp_name);
  throw PyError{};
}

namespace {

// Re-raises the pending exception with the parameter's name in front.
[[noreturn]] void rename_error(const char* name) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
  Ref text = v ? Ref::steal(PyObject_Str(v.get())) : Ref();
  if (!text) PyErr_Clear();
  Ref message = check(text ? PyUnicode_FromFormat("argument '%s': %U", name, text.get())
                           : PyUnicode_FromFormat("argument '%s'", name));
  PyObject* kind = t ? t.get() : PyExc_TypeError;
  Ref renamed = Ref::steal(PyObject_CallOneArg(kind, message.get()));
  if (!renamed || !PyExceptionInstance_Check(renamed.get())) {
    // Some kinds cannot be built from a message alone (UnicodeEncodeError,
    // from a str holding a lone surrogate): raise the plain kind it belongs
    // to, caused by the original.
    PyErr_Clear();
    kind = PyErr_GivenExceptionMatches(kind, PyExc_ValueError) ? PyExc_ValueError
                                                               : PyExc_TypeError;
    renamed = check(PyObject_CallOneArg(kind, message.get()));
    if (v) PyException_SetCause(renamed.get(), v.release());
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(renamed.get())), renamed.get());
  throw PyError{};
}

[[noreturn]] void out_of_range(const char* name, const char* width) {
  PyErr_Format(PyExc_OverflowError, "argument '%s': out of range for %s", name, width);
  throw PyError{};
}

Ref index_of(PyObject* o, const char* name) {
  PyObject* i = PyNumber_Index(o);
  if (!i) rename_error(name);
  return Ref::steal(i);
}

}  // namespace

uint64_t to_u64(PyObject* o, const char* name) {
  Ref i = index_of(o, name);
  unsigned long long v = PyLong_AsUnsignedLongLong(i.get());
  if (v == (unsigned long long)-1 && PyErr_Occurred()) {
    PyErr_Clear();
    out_of_range(name, "an unsigned 64-bit integer");
  }
  return v;
}

uint32_t to_u32(PyObject* o, const char* name) {
  Ref i = index_of(o, name);
  unsigned long long v = PyLong_AsUnsignedLongLong(i.get());
  if ((v == (unsigned long long)-1 && PyErr_Occurred()) || v > 0xFFFFFFFFull) {
    PyErr_Clear();
    out_of_range(name, "an unsigned 32-bit integer");
  }
  return uint32_t(v);
}

uint8_t to_u8(PyObject* o, const char* name) {
  Ref i = index_of(o, name);
  unsigned long long v = PyLong_AsUnsignedLongLong(i.get());
  if ((v == (unsigned long long)-1 && PyErr_Occurred()) || v > 0xFF) {
    PyErr_Clear();
    out_of_range(name, "an unsigned 8-bit integer");
  }
  return uint8_t(v);
}

int64_t to_i64(PyObject* o, const char* name) {
  Ref i = index_of(o, name);
  long long v = PyLong_AsLongLong(i.get());
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    out_of_range(name, "a signed 64-bit integer");
  }
  return v;
}

std::string to_text(PyObject* o, const char* name) {
  if (!PyUnicode_Check(o)) raise_type(name, "str", o);
  Py_ssize_t size;
  const char* s = PyUnicode_AsUTF8AndSize(o, &size);
  if (!s) rename_error(name);
  return std::string(s, size_t(size));
}

bool to_bool(PyObject* o, const char* name) {
  if (!PyBool_Check(o)) raise_type(name, "bool", o);
  return o == Py_True;
}

std::vector<uint64_t> to_u64_list(PyObject* o, const char* name) {
  if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o))
    raise_type(name, "a sequence of int", o);
  Ref seq = Ref::steal(PySequence_Fast(o, ""));
  if (!seq) {
    // Not iterable; an error raised while iterating passes unchanged.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyError{};
    PyErr_Clear();
    raise_type(name, "a sequence of int", o);
  }
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  std::vector<uint64_t> out;
  out.reserve(size_t(n));
  PyObject** items = PySequence_Fast_ITEMS(seq.get());
  for (Py_ssize_t i = 0; i < n; ++i) out.push_back(to_u64(items[i], name));
  return out;
}

Profile to_profile(PyObject* o, const char* name) {
  if (!o || o == Py_None) return Profile::ogc();
  if (!PyObject_TypeCheck(o, profile_type())) raise_type(name, "Profile or None", o);
  return profile_value(o);
}

std::optional<std::vector<uint64_t>> copy_u64_array(PyObject* o) {
  if (!PyArray_Check(o)) return std::nullopt;
  auto* arr = reinterpret_cast<PyArrayObject*>(o);
  if (PyArray_NDIM(arr) != 1 || PyArray_DESCR(arr)->kind != 'u' ||
      PyArray_ITEMSIZE(arr) != 8 || !PyArray_ISNOTSWAPPED(arr) ||
      !PyArray_ISALIGNED(arr) || !PyArray_IS_C_CONTIGUOUS(arr))
    return std::nullopt;
  std::vector<uint64_t> out(size_t(PyArray_DIM(arr, 0)));
  if (!out.empty())
    std::memcpy(out.data(), PyArray_DATA(arr), out.size() * sizeof(uint64_t));
  return out;
}

Ref int_list(std::span<const uint64_t> values) {
  Ref list = check(PyList_New(Py_ssize_t(values.size())));
  for (size_t i = 0; i < values.size(); ++i) {
    PyList_SET_ITEM(list.get(), Py_ssize_t(i),
                    check(PyLong_FromUnsignedLongLong(values[i])).release());
    share_lock(i);
  }
  return list;
}

Ref text_object(std::string_view s) {
  return check(PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size())));
}

}  // namespace kivet::py
