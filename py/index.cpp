// The Python class Index: one core Index and its registry behind a
// readers-writer lock, and conversion. Writers hold the lock exclusively,
// readers share it, so each read sees the index before or after each add.
// Whoever holds the lock never waits for the interpreter lock (long readers
// take it back only to run signal handlers, and readers never exclude one
// another), and writers release the interpreter lock before taking it: the
// two locks cannot deadlock.
#include "py/index.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "core/hash.hpp"
#include "core/index.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/interrupt.hpp"
#include "py/tree.hpp"

namespace kivet::py {

namespace {

// Every root the index stored, in registration order, with the profile of
// the tree first registered under it: what a pickled index carries, since the
// core index keeps neither.
using Registry = std::vector<std::pair<Hash, Profile>>;

struct Guarded {
  Index index;
  Registry registry;
  mutable std::shared_mutex lock;
};

struct IndexObject {
  PyObject_HEAD
  Guarded* value;
};

Guarded& self_value(PyObject* self) { return *reinterpret_cast<IndexObject*>(self)->value; }

// A short read under the shared lock, holding the interpreter lock: it waits
// at most for a writer, which never needs the interpreter lock.
template <class F>
auto read_now(PyObject* self, F&& f) {
  const Guarded& g = self_value(self);
  std::shared_lock lock(g.lock);
  return f(g);
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
  return Py_ssize_t(read_now(self, [](const Guarded& g) { return g.index.size(); }));
}

KIVET_METHOD(index_add) {
  return guard([&] {
    Args a("add", {"key", "tree"}, 2, args, nargs, kwnames);
    std::string key = to_text(a[0], "key");
    PyObject* tree = to_tree(a[1], "tree");
    const Tree& value = tree_value(tree);
    const Profile& profile = tree_profile(tree);
    Guarded& g = self_value(self);
    Result<void> added;
    {
      Unlocked unlocked;
      std::unique_lock lock(g.lock);
      g.registry.reserve(g.registry.size() + 1);  // no throw once the index has changed
      size_t before = g.index.distinct_roots();
      added = g.index.add(std::move(key), value);
      if (added && g.index.distinct_roots() != before)
        g.registry.emplace_back(value.root(), profile);
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
      share_lock(i, 1 << 12);
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
      share_lock(at++, 1 << 14);
    }
    return dict;
  });
}

PyObject* get_distinct_roots(PyObject* self, void*) {
  return PyLong_FromSize_t(
      read_now(self, [](const Guarded& g) { return g.index.distinct_roots(); }));
}

// (Index, (), (trees in registration order, [(key, tree position), ...])):
// each stored tree once, so keys sharing a root still share it when read back.
PyObject* index_reduce(PyObject* self, PyObject*) {
  return guard([&] {
    // A consistent copy first (the trees share their nodes), then the objects.
    const Guarded& g = self_value(self);
    Index index;
    Registry registry;
    {
      Unlocked unlocked;
      std::shared_lock lock(g.lock);
      index = g.index;
      registry = g.registry;
    }
    Ref trees = check(PyList_New(Py_ssize_t(registry.size())));
    std::map<Hash, size_t> position;
    for (size_t i = 0; i < registry.size(); ++i) {
      const auto& [root, profile] = registry[i];
      const Tree* tree = index.find(root);
      if (!tree) raise(PyExc_RuntimeError, "index registry out of step with its trees");
      PyList_SET_ITEM(trees.get(), Py_ssize_t(i), new_tree(*tree, profile).release());
      position.emplace(root, i);
    }
    auto roots = index.roots();
    Ref keys = check(PyList_New(Py_ssize_t(roots.size())));
    for (size_t i = 0; i < roots.size(); ++i) {
      Ref key = text_object(roots[i].first);
      Ref at = check(PyLong_FromSize_t(position.at(*unhex(roots[i].second))));
      PyList_SET_ITEM(keys.get(), Py_ssize_t(i), check(PyTuple_Pack(2, key.get(), at.get())).release());
    }
    Ref state = check(PyTuple_Pack(2, trees.get(), keys.get()));
    Ref no_args = check(PyTuple_New(0));
    return check(PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), no_args.get(),
                              state.get()));
  });
}

// Replaces the contents with a state from __reduce__; on any fault the index
// is left as it was.
PyObject* index_setstate(PyObject* self, PyObject* state) {
  return guard([&] {
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 2)
      raise_type("state", "a (trees, keys) tuple", state);
    Ref trees = check(PySequence_Fast(PyTuple_GET_ITEM(state, 0), "argument 'state': "
                                      "expected a sequence of Tree first"));
    Ref keys = check(PySequence_Fast(PyTuple_GET_ITEM(state, 1), "argument 'state': "
                                     "expected a sequence of (key, position) pairs second"));
    auto index = std::make_unique<Index>();
    auto registry = std::make_unique<Registry>();
    Py_ssize_t n = PySequence_Fast_GET_SIZE(trees.get());
    PyObject** tree_items = PySequence_Fast_ITEMS(trees.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* tree = to_tree(tree_items[i], "state");
      registry->reserve(registry->size() + 1);
      if (ok(index->store(tree_value(tree))))
        registry->emplace_back(tree_value(tree).root(), tree_profile(tree));
    }
    Py_ssize_t m = PySequence_Fast_GET_SIZE(keys.get());
    PyObject** key_items = PySequence_Fast_ITEMS(keys.get());
    for (Py_ssize_t i = 0; i < m; ++i) {
      PyObject* pair = key_items[i];
      if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
        raise_type("state", "a (key, position) tuple", pair);
      std::string key = to_text(PyTuple_GET_ITEM(pair, 0), "state");
      uint64_t at = to_u64(PyTuple_GET_ITEM(pair, 1), "state");
      if (at >= uint64_t(n))
        raise(PyExc_ValueError,
              cat("index state: key ", quoted(key), " names tree ", at, " of ", n));
      ok(index->add(std::move(key), tree_value(tree_items[at])));
    }
    Guarded& g = self_value(self);
    {
      Unlocked unlocked;
      std::unique_lock lock(g.lock);
      std::swap(g.index, *index);
      std::swap(g.registry, *registry);
    }
    return Ref::borrow(Py_None);
  });
}

// A new index with the same keys and stored trees; the trees themselves are
// immutable and shared, so shallow and deep copies are the same.
PyObject* index_copy(PyObject* self, PyObject*) {
  return guard([&] {
    const Guarded& g = self_value(self);
    auto copy = std::make_unique<Guarded>();
    {
      Unlocked unlocked;
      std::shared_lock lock(g.lock);
      copy->index = g.index;
      copy->registry = g.registry;
    }
    PyTypeObject* type = Py_TYPE(self);
    Ref obj = check(type->tp_alloc(type, 0));
    reinterpret_cast<IndexObject*>(obj.get())->value = copy.release();
    return obj;
  });
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
    {"__reduce__", index_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles the stored trees (as binary forms) and the keys."},
    {"__setstate__", index_setstate, METH_O,
     "__setstate__($self, state)\n--\n\nReplaces the contents with a state from "
     "`__reduce__`."},
    {"__copy__", index_copy, METH_NOARGS,
     "__copy__($self)\n--\n\nAn independent index with the same keys, sharing the "
     "immutable trees."},
    {"__deepcopy__", index_copy, METH_O,
     "__deepcopy__($self, memo)\n--\n\nAs `__copy__`: the trees are immutable."},
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
