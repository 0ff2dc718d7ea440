// Trees leaving the process: the binary form, pickling and copies.
#include <cstring>

#include "core/tree_bytes.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/tree.hpp"

namespace kivet::py {

namespace {

// The bytes of a bytes-like object. A bytes object is immutable and read in
// place; anything else is copied first, so a writer on another thread cannot
// change the data while the lock is released.
class ByteInput {
 public:
  ByteInput(PyObject* o, const char* name) {
    if (PyBytes_Check(o)) {
      held_ = Ref::borrow(o);
      data_ = {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(o)),
               size_t(PyBytes_GET_SIZE(o))};
      return;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) < 0) {
      PyErr_Clear();
      raise_type(name, "a contiguous bytes-like object", o);
    }
    const auto* p = static_cast<const uint8_t*>(view.buf);
    try {
      copy_.assign(p, p + view.len);
    } catch (...) {
      PyBuffer_Release(&view);
      throw;
    }
    PyBuffer_Release(&view);
    data_ = copy_;
  }
  std::span<const uint8_t> data() const { return data_; }

 private:
  Ref held_;
  std::vector<uint8_t> copy_;
  std::span<const uint8_t> data_;
};

}  // namespace

KIVET_METHOD(tree_to_bytes) {
  return guard([&] {
    Args("to_bytes", {}, 0, args, nargs, kwnames);
    const Tree& tree = tree_value(self);
    const Profile& profile = tree_profile(self);
    std::vector<uint8_t> out;
    {
      Unlocked unlocked;
      out = kivet::tree_to_bytes(tree, profile);
    }
    return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                           Py_ssize_t(out.size())));
  });
}

// A class method: `self` is the type.
KIVET_METHOD(tree_from_bytes) {
  return guard([&] {
    Args a("from_bytes", {"data"}, 1, args, nargs, kwnames);
    ByteInput input(a[0], "data");
    std::optional<Result<TreeWithProfile>> read;
    {
      Unlocked unlocked;
      read.emplace(kivet::tree_from_bytes(input.data()));
    }
    TreeWithProfile t = ok(std::move(*read));
    return new_tree(std::move(t.tree), t.profile);
  });
}

// Pickled as its binary form, rebuilt by Tree.from_bytes.
PyObject* tree_reduce(PyObject* self, PyObject*) {
  return guard([&] {
    Ref rebuild = check(PyObject_GetAttrString(
        reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_bytes"));
    Ref data = check(tree_to_bytes(self, nullptr, 0, nullptr));
    Ref call_args = check(PyTuple_Pack(1, data.get()));
    return check(PyTuple_Pack(2, rebuild.get(), call_args.get()));
  });
}

// Trees are immutable: a copy, shallow or deep, is the tree itself.
PyObject* tree_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

}  // namespace kivet::py
