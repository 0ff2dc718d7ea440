// Tree as Python users handle sets: cells and leaves as uint64 arrays, truth,
// membership and the set operators.
//
// The operators take Tree operands only (anything else is NotImplemented, so
// Python raises its own TypeError) and refuse trees of different profiles,
// which the named methods accept for compatibility. There are no in-place
// slots: `t |= u` falls back to `t | u` and rebinds t to the new tree, as
// trees never change.
#include <algorithm>

#include "core/setops.hpp"
#include "core/support/memory.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/interrupt.hpp"
#include "py/numpy.hpp"
#include "py/tree.hpp"

namespace kivet::py {

namespace {

// Below this many elements a fill is quicker than handing the lock over.
constexpr uint64_t kUnlockFrom = 1 << 16;

// A new 1-D uint64 array of n elements, refused with MemoryError (naming
// what it would hold) when the machine cannot hold it.
Ref new_u64_array(uint64_t n, const char* what) {
  if (n > uint64_t(PY_SSIZE_T_MAX) / 8 || !fits_in_memory(n, 8)) {
    PyErr_Format(PyExc_MemoryError, "an array of %llu %s cannot be allocated",
                 (unsigned long long)n, what);
    throw PyError{};
  }
  npy_intp shape[1] = {npy_intp(n)};
  return check(PyArray_SimpleNew(1, shape, NPY_UINT64));
}

uint64_t* u64_data(const Ref& array) {
  return static_cast<uint64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

// Runs f off the interpreter lock (and stoppable by a signal) when `work` is
// large enough.
template <class F>
void maybe_unlocked(uint64_t work, F&& f) {
  if (work < kUnlockFrom) {
    f();
    return;
  }
  interruptible([&] { return f(), 0; });
}

bool is_tree(PyObject* o) {
  PyTypeObject* type = tree_type();
  return type && PyObject_TypeCheck(o, type);
}

// a op b for two Trees of one profile; NotImplemented for other operands.
template <class Op>
PyObject* tree_operator(PyObject* a, PyObject* b, Op op) {
  if (!is_tree(a) || !is_tree(b)) {
    PyErr_Clear();  // tree_type() may have failed; the operand is still not a Tree
    Py_RETURN_NOTIMPLEMENTED;
  }
  return guard([&] {
    const Profile& pa = tree_profile(a);
    const Profile& pb = tree_profile(b);
    if (!(pa == pb))
      raise(PyExc_ValueError, "profiles differ: " + pa.describe() + " vs " + pb.describe());
    // Trees are immutable and both operands are held by the caller.
    const Tree &x = tree_value(a), &y = tree_value(b);
    return new_tree(ok(interruptible([&] { return op(x, y); })), pa);
  });
}

}  // namespace

KIVET_METHOD(tree_cells_array) {
  return guard([&] {
    Args("cells_array", {}, 0, args, nargs, kwnames);
    const Tree& tree = tree_value(self);
    // One walk: the count is not known before it, and a second walk would
    // cost as much as the first.
    std::vector<uint64_t> cells = interruptible([&] { return tree.cells(); });
    Ref array = new_u64_array(cells.size(), "cells");
    std::copy(cells.begin(), cells.end(), u64_data(array));
    return array;
  });
}

KIVET_METHOD(tree_leaves_array) {
  return guard([&] {
    Args("leaves_array", {}, 0, args, nargs, kwnames);
    const Tree& tree = tree_value(self);
    uint64_t count = tree.leaf_count();
    Ref array = new_u64_array(count, "leaves");
    uint64_t* out = u64_data(array);
    uint32_t a = tree.hierarchy().a;
    maybe_unlocked(count, [&] {
      // Full nodes come in path order, whose leaf ranges ascend.
      uint64_t at = 0;
      tree.visit_full([&](uint64_t cell, uint32_t height) {
        uint64_t width = *checked_pow(a, height);
        uint64_t first = cell * width;
        for (uint64_t i = 0; i < width; ++i) out[at++] = first + i;
      });
    });
    return array;
  });
}

int tree_bool(PyObject* self) {
  return tree_value(self).is_empty() ? 0 : 1;
}

int tree_contains(PyObject* self, PyObject* cid) {
  PyObject* found = guard([&] {
    uint64_t c = to_u64(cid, "cid");
    return Ref::borrow(ok(tree_value(self).covers(c)) ? Py_True : Py_False);
  });
  if (!found) return -1;
  int result = found == Py_True;
  Py_DECREF(found);
  return result;
}

PyObject* tree_or(PyObject* a, PyObject* b) {
  return tree_operator(a, b, [](const Tree& x, const Tree& y) {
    return combine(x, y, kOpUnion);
  });
}
PyObject* tree_and(PyObject* a, PyObject* b) {
  return tree_operator(a, b, [](const Tree& x, const Tree& y) {
    return combine(x, y, kOpIntersect);
  });
}
PyObject* tree_sub(PyObject* a, PyObject* b) {
  return tree_operator(a, b, [](const Tree& x, const Tree& y) {
    return combine(x, y, kOpDifference);
  });
}
PyObject* tree_xor(PyObject* a, PyObject* b) {
  return tree_operator(a, b, [](const Tree& x, const Tree& y) {
    return symmetric_difference(x, y);
  });
}

}  // namespace kivet::py
