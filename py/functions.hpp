// Module functions, each defined in the binding file of its concern and
// registered by lib.cpp in the module's fixed order.
#pragma once

#include "py/ref.hpp"

// A METH_FASTCALL | METH_KEYWORDS entry as the PyCFunction a table stores.
#define KIVET_FASTCALL(f) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))
#define KIVET_FUNCTION(name) \
  PyObject* name([[maybe_unused]] PyObject* self, PyObject* const* args, \
                 Py_ssize_t nargs, PyObject* kwnames)

namespace kivet::py {

// hierarchy.cpp
KIVET_FUNCTION(fn_cid_to_suid);
KIVET_FUNCTION(fn_suid_to_cid);

// proofs.cpp
KIVET_FUNCTION(fn_verify_opening);
KIVET_FUNCTION(fn_verify_setop);

}  // namespace kivet::py
