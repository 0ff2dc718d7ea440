// Tree.union / intersect / difference / divergence.
#include "core/setops.hpp"

#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/interrupt.hpp"
#include "py/tree.hpp"

namespace kivet::py {

namespace {

// The result carries self's profile whatever profile `other` has.
PyObject* combine_method(const char* name, uint8_t op, PyObject* self,
                         PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args a(name, {"other"}, 1, args, nargs, kwnames);
    PyObject* other = to_tree(a[0], "other");
    const Tree &x = tree_value(self), &y = tree_value(other);
    Tree result = ok(interruptible([&] { return combine(x, y, op); }));
    return new_tree(std::move(result), tree_profile(self));
  });
}

Ref hex_object(const Hash& h) {
  return text_object(to_hex(h));
}

}  // namespace

KIVET_METHOD(tree_union) {
  return combine_method("union", kOpUnion, self, args, nargs, kwnames);
}
KIVET_METHOD(tree_intersect) {
  return combine_method("intersect", kOpIntersect, self, args, nargs, kwnames);
}
KIVET_METHOD(tree_difference) {
  return combine_method("difference", kOpDifference, self, args, nargs, kwnames);
}

KIVET_METHOD(tree_divergence) {
  return guard([&] {
    Args a("divergence", {"other"}, 1, args, nargs, kwnames);
    PyObject* other = to_tree(a[0], "other");
    const Tree &x = tree_value(self), &y = tree_value(other);
    std::vector<Divergence> found = ok(interruptible([&] { return divergence(x, y); }));
    // Every suid first: a failure returns no list.
    std::vector<std::string> suids;
    suids.reserve(found.size());
    for (const Divergence& d : found) suids.push_back(ok(cid_to_suid(d.cid)));
    Ref list = check(PyList_New(Py_ssize_t(found.size())));
    for (size_t i = 0; i < found.size(); ++i) {
      Ref item = check(PyDict_New());
      Ref cid = check(PyLong_FromUnsignedLongLong(found[i].cid));
      Ref suid = text_object(suids[i]);
      check_status(PyDict_SetItemString(item.get(), "cid", cid.get()));
      check_status(PyDict_SetItemString(item.get(), "suid", suid.get()));
      check_status(PyDict_SetItemString(item.get(), "hash_a",
                                        hex_object(found[i].hash_a).get()));
      check_status(PyDict_SetItemString(item.get(), "hash_b",
                                        hex_object(found[i].hash_b).get()));
      PyList_SET_ITEM(list.get(), Py_ssize_t(i), item.release());
      share_lock(i, 1 << 12);
    }
    return list;
  });
}

}  // namespace kivet::py
