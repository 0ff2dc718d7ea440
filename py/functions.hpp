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

// polyfill.cpp
KIVET_FUNCTION(fn_polyfill);
KIVET_FUNCTION(fn_fingerprint_polygon);

// hierarchy.cpp
KIVET_FUNCTION(fn_cid_to_suid);
KIVET_FUNCTION(fn_suid_to_cid);

// grid.cpp
KIVET_FUNCTION(fn_cell_area_m2);
KIVET_FUNCTION(fn_cells_geojson);
KIVET_FUNCTION(method_profile_area_m2);  // Profile.area_m2

// zone.cpp
KIVET_FUNCTION(fn_position);
KIVET_FUNCTION(fn_cell_at);
KIVET_FUNCTION(fn_subzone_index);
KIVET_FUNCTION(fn_subzone_at);
KIVET_FUNCTION(fn_subzones);
KIVET_FUNCTION(fn_neighbours);

// raster.cpp
KIVET_FUNCTION(fn_halo_index);
KIVET_FUNCTION(fn_raster_index);
KIVET_FUNCTION(fn_raster_cells);

// vector.cpp
KIVET_FUNCTION(fn_cells_from_lonlat);
KIVET_FUNCTION(fn_cells_to_lonlat);
KIVET_FUNCTION(fn_cell_boundaries);
KIVET_FUNCTION(fn_cell_neighbours);
// proofs.cpp
KIVET_FUNCTION(fn_verify_opening);
KIVET_FUNCTION(fn_verify_setop);

}  // namespace kivet::py
