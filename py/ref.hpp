// Ownership of PyObject* in the binding.
//
// Rules:
//  - A Ref owns exactly one strong reference, or nothing. It is move-only.
//  - Ref::steal(p) takes over a new reference (the result of most C-API calls);
//    Ref::borrow(p) adds a reference to a borrowed pointer.
//  - Functions return a Ref (new reference) or a bare pointer that is borrowed;
//    never a bare new reference. release() hands the reference to CPython at
//    the boundary.
//  - A null from the C API means a Python error is set: use check() to turn it
//    into a PyError throw, which guard() (errors.hpp) lets pass through.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kivet::py {

// Thrown when a Python exception is already set; guard() returns NULL for it.
struct PyError {};

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// A new reference from the C API, or a throw when it failed.
inline Ref check(PyObject* p) {
  if (!p) throw PyError{};
  return Ref::steal(p);
}

// For C-API calls that return -1 on failure.
inline int check_status(int status) {
  if (status < 0) throw PyError{};
  return status;
}

}  // namespace kivet::py
