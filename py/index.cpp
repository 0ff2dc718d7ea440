// The Python class Index: one core Index behind a readers-writer lock, and
// conversion. add() holds the lock exclusively, readers share it, so each
// read sees the index before or after each add. Whoever holds the lock never
// waits for the interpreter lock: add() and the long readers release the
// interpreter lock before taking it, so the two can never deadlock.
#include "py/index.hpp"

#include <mutex>
#include <shared_mutex>

#include "core/index.hpp"
#include "py/interrupt.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/tree.hpp"

namespace kivet::py {

namespace {

struct Guarded {
  Index index;
  mutable std::shared_mutex lock;
};

struct IndexObject {
  PyObject_HEAD
  Guarded* value;
};

Guarded& self_value(PyObject* self) { return *reinterpret_cast<IndexObject*>(self)->value; }

// A short read under the shared lock, holding the interpreter lock: it waits
// at most for one add(), which never needs the interpreter lock.
template <class F>
auto read_now(PyObject* self, F&& f) {
  const Guarded& g = self_value(self);
  std::shared_lock lock(g.lock);
  return f(g.index);
}

void set_item(PyObject* dict, const char* key, Ref value) {
  check_status(PyDict_SetItemString(dict, key, value.get()));
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    Args("Index", {}, 0, args, kwargs);
    Ref obj = check(type->tp_alloc(type, 0));
    reinterpret_cast<IndexObject*>(obj.get())->value = new Guarded();
    return obj;
  });
}

void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<IndexObject*>(self)->value;
  type->tp_free(self);
  Py_DECREF(type);
}

Py_ssize_t index_len(PyObject* self) {
  return Py_ssize_t(read_now(self, [](const Index& i) { return i.size(); }));
}

KIVET_METHOD(index_add) {
  return guard([&] {
    Args a("add", {"key", "tree"}, 2, args, nargs, kwnames);
    std::string key = to_text(a[0], "key");
    PyObject* tree = to_tree(a[1], "tree");
    const Tree& value = tree_value(tree);
    Guarded& g = self_value(self);
    Result<void> added;
    {
      Unlocked unlocked;
      std::unique_lock lock(g.lock);
      added = g.index.add(std::move(key), value);
    }
    ok(std::move(added));
    return Ref::borrow(Py_None);
  });
}

KIVET_METHOD(index_query) {
  return guard([&] {
    Args a("query", {"tree"}, 1, args, nargs, kwnames);
    PyObject* tree = to_tree(a[0], "tree");
    const Tree& q = tree_value(tree);
    const Guarded& g = self_value(self);
    std::vector<Hit> hits = ok(interruptible([&] {
      std::shared_lock lock(g.lock);
      return g.index.query(q);
    }));
    Ref list = check(PyList_New(Py_ssize_t(hits.size())));
    for (size_t i = 0; i < hits.size(); ++i) {
      const Hit& h = hits[i];
      Ref d = check(PyDict_New());
      set_item(d.get(), "key", text_object(h.key));
      set_item(d.get(), "root", text_object(to_hex(h.root)));
      set_item(d.get(), "relation", text_object(relation_name(h.relation)));
      set_item(d.get(), "fraction_of_query",
               check(PyFloat_FromDouble(h.fraction_of_query)));
      set_item(d.get(), "fraction_of_item", check(PyFloat_FromDouble(h.fraction_of_item)));
      set_item(d.get(), "shared_cells",
               check(PyLong_FromUnsignedLongLong(h.shared_cells)));
      PyList_SET_ITEM(list.get(), Py_ssize_t(i), d.release());
      share_lock(i);
    }
    return list;
  });
}

KIVET_METHOD(index_roots) {
  return guard([&] {
    Args("roots", {}, 0, args, nargs, kwnames);
    const Guarded& g = self_value(self);
    std::vector<std::pair<std::string, std::string>> roots;
    {
      Unlocked unlocked;
      std::shared_lock lock(g.lock);
      roots = g.index.roots();
    }
    Ref list = check(PyList_New(Py_ssize_t(roots.size())));
    for (size_t i = 0; i < roots.size(); ++i) {
      Ref key = text_object(roots[i].first);
      Ref root = text_object(roots[i].second);
      Ref pair = check(PyTuple_Pack(2, key.get(), root.get()));
      PyList_SET_ITEM(list.get(), Py_ssize_t(i), pair.release());
    }
    return list;
  });
}

KIVET_METHOD(index_attention) {
  return guard([&] {
    Args a("attention", {"level"}, 1, args, nargs, kwnames);
    uint32_t level = to_u32(a[0], "level");
    const Guarded& g = self_value(self);
    Attention counts = ok(interruptible([&] {
      std::shared_lock lock(g.lock);
      return g.index.attention(level);
    }));
    Ref dict = check(PyDict_New());
    size_t at = 0;
    for (const auto& [cid, n] : counts) {
      Ref key = check(PyLong_FromUnsignedLongLong(cid));
      Ref value = check(PyLong_FromUnsignedLongLong(n));
      check_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
      share_lock(at++);
    }
    return dict;
  });
}

PyObject* get_distinct_roots(PyObject* self, void*) {
  return PyLong_FromSize_t(read_now(self, [](const Index& i) { return i.distinct_roots(); }));
}

#define FASTCALL KIVET_FASTCALL

PyMethodDef kMethods[] = {
    {"add", FASTCALL(index_add), METH_FASTCALL | METH_KEYWORDS,
     "add($self, key, tree)\n--\n\nRegister `key` under `tree`. Trees with the same root "
     "are stored once."},
    {"query", FASTCALL(index_query), METH_FASTCALL | METH_KEYWORDS,
     "query($self, tree)\n--\n\nKeys whose coverage meets `tree`: `[{\"key\", \"root\", "
     "\"relation\", \"fraction_of_query\",\n\"fraction_of_item\", \"shared_cells\"}, "
     "...]`, best coverage of the query first."},
    {"roots", FASTCALL(index_roots), METH_FASTCALL | METH_KEYWORDS,
     "roots($self)\n--\n\n`[(key, root_hex), ...]`."},
    {"attention", FASTCALL(index_attention), METH_FASTCALL | METH_KEYWORDS,
     "attention($self, level)\n--\n\n`{cid: count}` for every cell at `level` touched by "
     "an indexed key's coverage."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef kGetSet[] = {
    {"distinct_roots", get_distinct_roots, nullptr,
     "The number of distinct trees stored (one per root ever registered).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_mp_length, reinterpret_cast<void*>(index_len)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(
                    "Index()\n--\n\nA coverage index: register trees under keys, then "
                    "ask by tree. The catalog-side half.")},
    {0, nullptr}};

PyType_Spec kSpec = {"_kivet.Index", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT,
                     kSlots};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* index_type() {
  if (!g_type) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
  return g_type;
}

}  // namespace kivet::py
