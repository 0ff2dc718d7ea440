#include "py/tree.hpp"

#include "core/hash.hpp"
#include "core/support/memory.hpp"
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/interrupt.hpp"
#include "py/numpy.hpp"
#include "py/profile.hpp"
#include "py/proofs.hpp"

namespace kivet::py {

namespace {

struct TreeValue {
  Tree tree;
  Profile profile;
};

struct TreeObject {
  PyObject_HEAD
  TreeValue* value;
};

TreeValue& self_value(PyObject* self) {
  return *reinterpret_cast<TreeObject*>(self)->value;
}


// A 1-D aligned contiguous native uint64 array is copied in one go; anything
// else is iterated, the interpreter's own conversion errors left unchanged.
std::vector<uint64_t> read_cids(PyObject* o) {
  if (auto copied = copy_u64_array(o)) return std::move(*copied);
  Ref iter = check(PyObject_GetIter(o));
  std::vector<uint64_t> out;
  Py_ssize_t hint = PyObject_LengthHint(o, 0);
  if (hint < 0) throw PyError{};
  out.reserve(size_t(hint));
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    Ref index = check(PyNumber_Index(item.get()));
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == (unsigned long long)-1 && PyErr_Occurred()) throw PyError{};
    out.push_back(v);
  }
  if (PyErr_Occurred()) throw PyError{};
  return out;
}

// The root without the interpreter lock: its first request may hash the
// whole tree.
Hash root_unlocked(const Tree& tree) {
  Unlocked unlocked;
  return tree.root();
}

PyObject* tree_repr(PyObject* self) {
  return guard([&] { return text_object(self_value(self).tree.display()); });
}

PyObject* tree_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, tree_type()))
    Py_RETURN_NOTIMPLEMENTED;
  const Tree& x = self_value(self).tree;
  const Tree& y = self_value(other).tree;
  bool equal = x.hierarchy() == y.hierarchy() && x.depth() == y.depth() &&
               root_unlocked(x) == root_unlocked(y);
  return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

// Equal trees have equal roots, so the root's leading bytes are a hash
// consistent with ==.
Py_hash_t tree_hash(PyObject* self) {
  Hash root = root_unlocked(self_value(self).tree);
  uint64_t h = 0;
  for (int i = 0; i < 8; ++i) h = h << 8 | root[i];
  Py_hash_t out = Py_hash_t(h >> 1);
  return out == -1 ? -2 : out;
}

void tree_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Freeing a large tree takes a while; other threads need not wait.
  auto* value = reinterpret_cast<TreeObject*>(self)->value;
  Py_BEGIN_ALLOW_THREADS
  delete value;
  Py_END_ALLOW_THREADS
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* get_root_hex(PyObject* self, void*) {
  return guard([&] { return text_object(to_hex(root_unlocked(self_value(self).tree))); });
}
PyObject* get_depth(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(self_value(self).tree.depth());
}
PyObject* get_profile(PyObject* self, void*) {
  return guard([&] { return new_profile(self_value(self).profile); });
}

// Leaves take a PyLong (32 bytes) and a list slot each. A list that cannot
// fit is refused before anything is allocated, rather than left to the
// allocator or the kernel's out-of-memory killer.
bool leaf_list_fits(uint64_t count) {
  return count <= uint64_t(PY_SSIZE_T_MAX) / sizeof(PyObject*) &&
         fits_in_memory(count, sizeof(PyObject*) + 32);
}

#define FASTCALL KIVET_FASTCALL
#define METHOD(name, fn, doc) {name, FASTCALL(fn), METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef kTreeMethods[] = {
    {"from_cells", FASTCALL(tree_from_cells), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_cells(cids, depth, profile=None)\n--\n\nCover every cid (any levels up to "
     "`depth`, any order, duplicates allowed)."},
    METHOD("cells", tree_cells,
           "cells($self)\n--\n\nThe canonical (coarsest) covered cids, sorted."),
    METHOD("leaves", tree_leaves,
           "leaves($self)\n--\n\nEvery covered leaf at `depth`, sorted."),
    METHOD("leaf_count", tree_leaf_count,
           "leaf_count($self)\n--\n\nThe number of covered leaves."),
    METHOD("is_empty", tree_is_empty,
           "is_empty($self)\n--\n\nWhether no cell is covered."),
    METHOD("covers", tree_covers,
           "covers($self, cid)\n--\n\nWhether the cell `cid` (its whole subtree) is "
           "covered."),
    {"from_geojson", FASTCALL(tree_from_geojson), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_geojson(geojson, resolution, profile=None)\n--\n\nThe canonical coverage of a "
     "GeoJSON Polygon/MultiPolygon at `resolution` (nucleus rule)."},
    // Set operations (setops.cpp).
    METHOD("union", tree_union,
           "union($self, other)\n--\n\nA new tree of the cells in either tree (`self | "
           "other`, which also\nchecks that the profiles agree)."),
    METHOD("intersect", tree_intersect,
           "intersect($self, other)\n--\n\nA new tree of the cells in both trees "
           "(`self & other`)."),
    METHOD("difference", tree_difference,
           "difference($self, other)\n--\n\nA new tree of the cells of `self` not in "
           "`other` (`self - other`)."),
    METHOD("divergence", tree_divergence,
           "divergence($self, other)\n--\n\nMaximal subtrees where two coverages "
           "differ: `[{\"cid\", \"suid\", \"hash_a\", \"hash_b\"}, ...]`."),
    // Rasters (raster.cpp).
    METHOD("raster", tree_raster,
           "raster($self)\n--\n\nThe covered leaves as six base-cell rasters at `depth`, "
           "`uint8`, shape `(6, n, n)` with\n`n = 3**depth`, base-major then scanline: "
           "`numpy.frombuffer(t.raster(), numpy.uint8)`."),
    {"from_raster", FASTCALL(tree_from_raster), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_raster($type, data, depth, profile=None)\n--\n\nThe canonical tree of a "
     "raster laid out as `raster` returns it (any nonzero byte is\ncovered), e.g. "
     "`Tree.from_raster(mask.astype(numpy.uint8).tobytes(), depth)`."},
    // DGGS-JSON zone data (zone_data.cpp).
    METHOD("to_dggs_json", tree_to_dggs_json,
           "to_dggs_json($self, zone, field=\"coverage\")\n--\n\nDGGS-JSON zone data for "
           "the sub-zones of `zone` at `depth`, in the DGGRS's sub-zone\norder: 1 where "
           "covered, null elsewhere. The tree's profile must be the registered OGC\n"
           "rHEALPix DGGRS (the default profile is)."),
    {"from_dggs_json", FASTCALL(tree_from_dggs_json),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_dggs_json(doc, field=None, depth=None, nonzero=False, profile=None)\n--\n\n"
     "The coverage a DGGS-JSON zone-data document describes: the sub-zones of its zone "
     "whose\nvalue in `field` is present (not null, and not zero if `nonzero`); `field` "
     "and `depth` may be\nomitted when the document has only one. `doc` is JSON text or "
     "Python data."},
    // Display (grid.cpp).
    METHOD("geojson", tree_geojson,
           "geojson($self, n=3)\n--\n\nGeoJSON of the canonical cells (see "
           "`cells_geojson`)."),
    // Proofs (proofs.cpp).
    METHOD("prove", tree_prove,
           "prove($self, other, op)\n--\n\nA transcript proving `self \u2295 other` for "
           "`op` in `\"union\" | \"intersect\" | \"difference\"`."),
    METHOD("open", tree_open,
           "open($self, cid)\n--\n\nA self-describing opening record for `cid` "
           "(membership or non-membership), or `None`\nif `cid` is a partial node."),
    // Arrays (tree_protocols.cpp).
    METHOD("cells_array", tree_cells_array,
           "cells_array($self)\n--\n\nThe canonical (coarsest) covered cids, sorted, as a "
           "`uint64` NumPy array."),
    METHOD("leaves_array", tree_leaves_array,
           "leaves_array($self)\n--\n\nEvery covered leaf at `depth`, sorted, as a `uint64` "
           "NumPy array."),
    // Binary form, pickling and copies (tree_bytes.cpp).
    METHOD("to_bytes", tree_to_bytes,
           "to_bytes($self)\n--\n\nThe self-contained binary form: profile, depth, "
           "canonical shape and root, as `bytes`."),
    {"from_bytes", FASTCALL(tree_from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_bytes($type, data)\n--\n\nThe tree of a binary form written by `to_bytes` "
     "(any bytes-like `data`), checked\nthroughout: malformed data raises `ValueError` "
     "naming the fault and its byte offset."},
    {"__reduce__", tree_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles as the binary form."},
    {"__copy__", tree_copy, METH_NOARGS,
     "__copy__($self)\n--\n\nThe tree itself: trees are immutable."},
    {"__deepcopy__", tree_copy, METH_O,
     "__deepcopy__($self, memo)\n--\n\nThe tree itself: trees are immutable."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef kGetSet[] = {
    {"root_hex", get_root_hex, nullptr, "The root as 64 lowercase hex digits.", nullptr},
    {"depth", get_depth, nullptr, "The level D of the leaves.", nullptr},
    {"profile", get_profile, nullptr, "A copy of the profile the tree was built with.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(tree_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(tree_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(tree_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(tree_hash)},
    {Py_tp_methods, kTreeMethods},
    {Py_tp_getset, kGetSet},
    // Truth, membership and set operators (tree_protocols.cpp).
    {Py_nb_bool, reinterpret_cast<void*>(tree_bool)},
    {Py_sq_contains, reinterpret_cast<void*>(tree_contains)},
    {Py_nb_or, reinterpret_cast<void*>(tree_or)},
    {Py_nb_and, reinterpret_cast<void*>(tree_and)},
    {Py_nb_subtract, reinterpret_cast<void*>(tree_sub)},
    {Py_nb_xor, reinterpret_cast<void*>(tree_xor)},
    {Py_tp_doc, const_cast<char*>("An immutable canonical coverage tree: a set of "
                                  "equal-area cells and its 32-byte root.")},
    {0, nullptr}};

PyType_Spec kSpec = {"_kivet.Tree", sizeof(TreeObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kSlots};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* tree_type() {
  if (!g_type) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
  return g_type;
}

Ref new_tree(Tree tree, const Profile& profile) {
  PyTypeObject* type = tree_type();
  if (!type) throw PyError{};
  auto value = std::make_unique<TreeValue>(TreeValue{std::move(tree), profile});
  Ref obj = check(type->tp_alloc(type, 0));
  reinterpret_cast<TreeObject*>(obj.get())->value = value.release();
  return obj;
}

const Tree& tree_value(PyObject* o) { return self_value(o).tree; }
const Profile& tree_profile(PyObject* o) { return self_value(o).profile; }

PyObject* to_tree(PyObject* o, const char* name) {
  PyTypeObject* type = tree_type();
  if (!type) throw PyError{};
  if (!PyObject_TypeCheck(o, type)) raise_type(name, "Tree", o);
  return o;
}

KIVET_METHOD(tree_from_cells) {
  return guard([&] {
    Args a("from_cells", {"cids", "depth", "profile"}, 2, args, nargs, kwnames);
    uint32_t depth = to_u32(a[1], "depth");
    Profile profile = to_profile(a[2]);
    std::vector<uint64_t> cids = read_cids(a[0]);
    CtxRef ctx = ok(make_ctx(profile, depth));
    Result<Tree> built =
        interruptible([&] { return Tree::from_cells(cids, depth, std::move(ctx)); });
    return new_tree(ok(std::move(built)), profile);
  });
}

KIVET_METHOD(tree_cells) {
  return guard([&] {
    Args("cells", {}, 0, args, nargs, kwnames);
    const Tree& tree = tree_value(self);
    std::vector<uint64_t> cells = interruptible([&] { return tree.cells(); });
    return int_list(cells);
  });
}

KIVET_METHOD(tree_leaves) {
  return guard([&] {
    Args("leaves", {}, 0, args, nargs, kwnames);
    const Tree& tree = tree_value(self);
    uint64_t count = interruptible([&] { return tree.leaf_count(); });
    if (!leaf_list_fits(count)) {
      PyErr_Format(PyExc_MemoryError, "a list of %llu leaves cannot be allocated",
                   (unsigned long long)count);
      throw PyError{};
    }
    // Expanded from the Full nodes straight into the list: no second copy of
    // the leaves.
    Hierarchy h = tree.hierarchy();
    Ref list = check(PyList_New(Py_ssize_t(count)));
    Py_ssize_t at = 0;
    tree.visit_full([&](uint64_t cell, uint32_t height) {
      uint64_t width = *checked_pow(h.a, height);
      uint64_t first = cell * width;
      for (uint64_t i = 0; i < width; ++i) {
        PyList_SET_ITEM(list.get(), at,
                        check(PyLong_FromUnsignedLongLong(first + i)).release());
        share_lock(size_t(at++));
      }
    });
    return list;
  });
}

KIVET_METHOD(tree_leaf_count) {
  return guard([&] {
    Args("leaf_count", {}, 0, args, nargs, kwnames);
    return check(PyLong_FromUnsignedLongLong(tree_value(self).leaf_count()));
  });
}

KIVET_METHOD(tree_is_empty) {
  return guard([&] {
    Args("is_empty", {}, 0, args, nargs, kwnames);
    return Ref::borrow(tree_value(self).is_empty() ? Py_True : Py_False);
  });
}

KIVET_METHOD(tree_covers) {
  return guard([&] {
    Args a("covers", {"cid"}, 1, args, nargs, kwnames);
    uint64_t cid = to_u64(a[0], "cid");
    return Ref::borrow(ok(tree_value(self).covers(cid)) ? Py_True : Py_False);
  });
}

}  // namespace kivet::py
