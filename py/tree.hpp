// The Python class Tree: one shared core tree and the Profile it was built
// with. No public constructor; trees come from the static constructors and
// from operations on trees.
//
// Members live in the files of their concerns: declare each method below with
// KIVET_METHOD and add its row to kTreeMethods in tree.cpp.
#pragma once

#include <memory>

#include "core/profile.hpp"
#include "core/tree.hpp"
#include "py/functions.hpp"
#include "py/ref.hpp"

// A METH_FASTCALL | METH_KEYWORDS method (or METH_STATIC: self is null).
#define KIVET_METHOD(name)                                                  \
  PyObject* name([[maybe_unused]] PyObject* self, PyObject* const* args, \
                 Py_ssize_t nargs, PyObject* kwnames)

namespace kivet::py {

// The type object, created on first use; borrowed (nullptr with an error set
// when creation failed).
PyTypeObject* tree_type();
// A new Tree object holding `tree` and a copy of `profile`.
Ref new_tree(Tree tree, const Profile& profile);
// REQUIRES: o is a Tree.
const Tree& tree_value(PyObject* o);
const Profile& tree_profile(PyObject* o);
// `o` as a Tree argument (borrowed), or TypeError naming the parameter.
PyObject* to_tree(PyObject* o, const char* name);

// tree.cpp (basic members)
KIVET_METHOD(tree_from_cells);
KIVET_METHOD(tree_cells);
KIVET_METHOD(tree_leaves);
KIVET_METHOD(tree_leaf_count);
KIVET_METHOD(tree_is_empty);
KIVET_METHOD(tree_covers);

// polyfill.cpp
KIVET_METHOD(tree_from_geojson);

// setops (tree.cpp)
KIVET_METHOD(tree_union);
KIVET_METHOD(tree_intersect);
KIVET_METHOD(tree_difference);
KIVET_METHOD(tree_divergence);

// raster.cpp
KIVET_METHOD(tree_raster);
KIVET_METHOD(tree_from_raster);

// zone_data.cpp
KIVET_METHOD(tree_to_dggs_json);
KIVET_METHOD(tree_from_dggs_json);

// grid.cpp
KIVET_METHOD(tree_geojson);

// tree_bytes.cpp
KIVET_METHOD(tree_to_bytes);
KIVET_METHOD(tree_from_bytes);
PyObject* tree_reduce(PyObject* self, PyObject*);
PyObject* tree_copy(PyObject* self, PyObject*);

}  // namespace kivet::py
