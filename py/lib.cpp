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
    ENTRY("polyfill", fn_polyfill,
          "polyfill(geojson, resolution, profile=None)\n--\n\n"
          "Sorted depth-`resolution` cids whose nucleus the GeoJSON polygon contains."),
    ENTRY("fingerprint_polygon", fn_fingerprint_polygon,
          "fingerprint_polygon(geojson, resolution, profile=None)\n--\n\n"
          "Hex root of the canonical coverage of a GeoJSON polygon at `resolution`."),
    ENTRY("verify_opening", fn_verify_opening,
          "verify_opening(record)\n--\n\nVerify an opening record (as returned by "
          "`Tree.open`): `True` when it proves\nits cell covered or not covered under its "
          "root, `False` on any defect of the record.\nOnly an argument that cannot be read "
          "as JSON raises."),
    ENTRY("verify_setop", fn_verify_setop,
          "verify_setop(proof)\n--\n\nVerify a set-operation transcript (as returned "
          "by `Tree.prove`): `True` when it\nproves its result root from its two operand "
          "roots, `False` on any defect of the record.\nOnly an argument that cannot be "
          "read as JSON raises."),
    ENTRY("cell_area_m2", fn_cell_area_m2,
          "cell_area_m2(level, profile=None)\n--\n\n"
          "The area of every cell at `level`, m\u00b2 (exact on the ellipsoid; all cells of a "
          "level are equal)."),
    ENTRY("cells_geojson", fn_cells_geojson,
          "cells_geojson(cids, profile=None, n=3)\n--\n\n"
          "GeoJSON FeatureCollection of cell polygons for display: counterclockwise "
          "rings, `n` points\nper edge on polar cells (equatorial cells are their four "
          "corners), rings that cross the\nantimeridian shifted east of 180\u00b0 so tile "
          "maps draw them whole, and each polar cap closed\nthrough its pole. "
          "Properties: `cid`, `suid`, `level`; feature `id` is the cid as a string."),
    ENTRY("suid_to_cid", fn_suid_to_cid,
          "suid_to_cid(suid)\n--\n\nThe cid of a suid such as `\"N0\"` (a base-cell "
          "letter and one digit per level)."),
    ENTRY("cid_to_suid", fn_cid_to_suid,
          "cid_to_suid(cid)\n--\n\nThe suid of `cid`: its base-cell letter "
          "(`N`, `O`, `P`, `Q`, `R`, `S`) and one digit per level."),
    ENTRY("position", fn_position,
          "position(cid, profile=None)\n--\n\n"
          "`(base, level, row, col)`: where `cid` sits in its base cell (row 0 at the top)."),
    ENTRY("cell_at", fn_cell_at,
          "cell_at(base, level, row, col, profile=None)\n--\n\n"
          "The cid at `(row, col)` of base cell `base` at `level`."),
    ENTRY("subzone_index", fn_subzone_index,
          "subzone_index(ancestor, cid, profile=None)\n--\n\n"
          "The scanline index of `cid` among the sub-zones of `ancestor`."),
    ENTRY("subzone_at", fn_subzone_at,
          "subzone_at(ancestor, depth, index, profile=None)\n--\n\n"
          "The sub-zone of `ancestor` at relative `depth` with scanline index `index`."),
    ENTRY("subzones", fn_subzones,
          "subzones(ancestor, depth, profile=None)\n--\n\n"
          "Every sub-zone of `ancestor` at relative `depth`, in scanline order (the OGC "
          "API - DGGS\nsub-zone order for rHEALPix)."),
    ENTRY("neighbours", fn_neighbours,
          "neighbours(cid, profile=None)\n--\n\n"
          "The four edge neighbours of `cid`, keyed `up`, `right`, `down`, `left` in the "
          "cell's planar\nframe; base-cell edges are crossed as the grid folds."),
    ENTRY("halo_index", fn_halo_index,
          "halo_index(level, width=1, profile=None)\n--\n\n"
          "A gather index padding each base-cell raster at `level` with `width` halo "
          "cells, `int64`\nlittle-endian, shape `(6, n + 2w, n + 2w)`; each entry "
          "indexes the flat `(6, n, n)` raster, or\nis -1 beyond a base cell's corners: "
          "`padded = values.ravel()[idx]` (mask where `idx < 0`)."),
    ENTRY("_cells_from_lonlat", fn_cells_from_lonlat,
          "_cells_from_lonlat(lon, lat, level, profile=None, nthreads=0)\n--\n\n"
          "The cell at `level` containing each `(lon[i], lat[i])`, degrees."),
    ENTRY("_cells_to_lonlat", fn_cells_to_lonlat,
          "_cells_to_lonlat(cids, profile=None, nthreads=0)\n--\n\n"
          "The nucleus of each cell, `(lon, lat)` degrees."),
    ENTRY("_cell_boundaries", fn_cell_boundaries,
          "_cell_boundaries(cids, n=5, profile=None, nthreads=0)\n--\n\n"
          "Each cell's display polygon (the ring `cells_geojson` draws: closed, "
          "counterclockwise, `n`\npoints per polar edge) as the ragged pair `coords` of "
          "shape `(M, 2)` holding every ring in\nturn and `offsets` of length `N + 1`, so "
          "that cell `i` is `coords[offsets[i]:offsets[i + 1]]`."),
    ENTRY("_cell_neighbours", fn_cell_neighbours,
          "_cell_neighbours(cids, profile=None, nthreads=0)\n--\n\n"
          "The four edge neighbours of each cell, columns up, right, down, left."),
    ENTRY("raster_index", fn_raster_index,
          "raster_index(cids, profile=None)\n--\n\n"
          "The raster index of each cid (all at one level), `int64` little-endian:\n"
          "`values_raster.ravel()[numpy.frombuffer(raster_index(cids), numpy.int64)] = "
          "values`."),
    ENTRY("raster_cells", fn_raster_cells,
          "raster_cells(level, profile=None)\n--\n\n"
          "The cid at every position of the raster at `level`, `uint64` little-endian, "
          "shape `(6, n, n)`."),
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
