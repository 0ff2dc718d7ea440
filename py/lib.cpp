// Module entry: multi-phase init registering the classes, the module functions
// in their fixed order, and the constants.
#define KIVET_IMPORT_NUMPY
#include "py/numpy.hpp"

#include "py/functions.hpp"
#include "py/errors.hpp"
#include "py/index.hpp"
#include "py/profile.hpp"
#include "py/tree.hpp"

namespace kivet::py {
namespace {

#define ENTRY(name, fn, doc) \
  {name, KIVET_FASTCALL(fn), METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef kFunctions[] = {
    ENTRY("verify_opening", fn_verify_opening,
          "verify_opening(record)\n--\n\nVerify an opening record (as returned by "
          "`Tree.open`). `False` on any defect; never raises."),
    ENTRY("verify_setop", fn_verify_setop,
          "verify_setop(proof)\n--\n\nVerify a set-operation transcript (as returned "
          "by `Tree.prove`)."),
    ENTRY("suid_to_cid", fn_suid_to_cid, "suid_to_cid(suid)\n--\n\n"),
    ENTRY("cid_to_suid", fn_cid_to_suid, "cid_to_suid(cid)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr}};

int add_type(PyObject* module, PyTypeObject* type) {
  if (!type) return -1;
  return PyModule_AddType(module, type);
}

int add_object(PyObject* module, const char* name, PyObject* value) {
  if (!value) return -1;
  if (PyModule_AddObject(module, name, value) < 0) {
    Py_DECREF(value);
    return -1;
  }
  return 0;
}

int exec_module(PyObject* module) {
  if (PyArray_ImportNumPyAPI() < 0) return -1;
  if (add_type(module, profile_type()) < 0) return -1;
  if (add_type(module, tree_type()) < 0) return -1;
  if (add_type(module, index_type()) < 0) return -1;
  if (PyModule_AddFunctions(module, kFunctions) < 0) return -1;
  PyObject* ogc = guard([] { return new_profile(Profile::ogc()); });
  if (add_object(module, "OGC_RHEALPIX", ogc) < 0) return -1;
  PyObject* k1 = guard([] { return new_profile(Profile::kivet_1()); });
  if (add_object(module, "KIVET_1", k1) < 0) return -1;
  if (add_object(module, "MAX_RESOLUTION", PyLong_FromLong(15)) < 0) return -1;
  if (add_object(module, "__version__", PyUnicode_FromString("0.2.0")) < 0) return -1;
  return 0;
}

PyModuleDef_Slot kSlots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)},
                             {0, nullptr}};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_kivet", "", 0, nullptr, kSlots,
                       nullptr, nullptr, nullptr};

}  // namespace
}  // namespace kivet::py

PyMODINIT_FUNC PyInit__kivet() { return PyModuleDef_Init(&kivet::py::kModule); }
