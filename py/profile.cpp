#include "py/profile.hpp"

#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/functions.hpp"
#include "py/json_bridge.hpp"

namespace kivet::py {

namespace {

struct ProfileObject {
  PyObject_HEAD
  Profile* value;
};

Profile& self_value(PyObject* self) {
  return *reinterpret_cast<ProfileObject*>(self)->value;
}

PyObject* profile_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    Args a("Profile",
           {"hash", "aperture", "n_base", "lon_0_udeg", "north_square",
            "south_square", "a_um", "inv_f_nano", "tick_us", "epoch_us"},
           0, args, kwargs);
    Profile p;
    if (a[0]) p.hash = to_text(a[0], "hash");
    if (a[1]) p.aperture = to_u32(a[1], "aperture");
    if (a[2]) p.n_base = to_u32(a[2], "n_base");
    if (a[3]) p.lon_0_udeg = to_i64(a[3], "lon_0_udeg");
    if (a[4]) p.north_square = to_u8(a[4], "north_square");
    if (a[5]) p.south_square = to_u8(a[5], "south_square");
    if (a[6]) p.a_um = to_u64(a[6], "a_um");
    if (a[7]) p.inv_f_nano = to_u64(a[7], "inv_f_nano");
    if (a[8]) p.tick_us = to_u64(a[8], "tick_us");
    if (a[9]) p.epoch_us = to_i64(a[9], "epoch_us");
    ok(p.validate());
    Ref obj = check(type->tp_alloc(type, 0));
    reinterpret_cast<ProfileObject*>(obj.get())->value = new Profile(std::move(p));
    return obj;
  });
}

void profile_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ProfileObject*>(self)->value;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* profile_repr(PyObject* self) {
  return guard([&] {
    std::string text = "Profile(" + self_value(self).describe() + ")";
    return text_object(text);
  });
}

PyObject* profile_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, profile_type()))
    Py_RETURN_NOTIMPLEMENTED;
  bool equal = self_value(self) == self_value(other);
  return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

Py_hash_t profile_hash(PyObject* self) {
  Hash id = self_value(self).id();
  uint64_t h = 0;
  for (int i = 0; i < 8; ++i) h = h << 8 | id[i];
  Py_hash_t out = Py_hash_t(h >> 1);
  return out == -1 ? -2 : out;
}

PyObject* profile_ogc(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return guard([&] {
    Args("ogc", {}, 0, args, nargs, kw);
    return new_profile(Profile::ogc());
  });
}

PyObject* profile_kivet_1(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kw) {
  return guard([&] {
    Args("kivet_1", {}, 0, args, nargs, kw);
    return new_profile(Profile::kivet_1());
  });
}

PyObject* profile_from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kw) {
  return guard([&] {
    Args a("from_dict", {"d"}, 1, args, nargs, kw);
    Json value = json_in(a[0]);
    auto p = Profile::from_json(value);
    if (!p) raise(PyExc_ValueError, "bad profile record: " + p.error().text());
    ok(p->validate());
    return new_profile(*p);
  });
}

PyObject* profile_to_dict(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kw) {
  return guard([&] {
    Args("to_dict", {}, 0, args, nargs, kw);
    return json_out(self_value(self).to_json());
  });
}


PyObject* profile_id_hex(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kw) {
  return guard([&] {
    Args("id_hex", {}, 0, args, nargs, kw);
    return text_object(self_value(self).id_hex());
  });
}

PyObject* profile_describe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kw) {
  return guard([&] {
    Args("describe", {}, 0, args, nargs, kw);
    return text_object(self_value(self).describe());
  });
}

PyObject* get_hash(PyObject* self, void*) {
  return guard([&] { return text_object(self_value(self).hash); });
}
PyObject* get_aperture(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(self_value(self).aperture);
}
PyObject* get_n_base(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(self_value(self).n_base);
}
PyObject* get_lon_0(PyObject* self, void*) {
  return PyFloat_FromDouble(double(self_value(self).lon_0_udeg) / 1e6);
}

// (type, the ten fields in constructor order): unpickling validates again.
PyObject* profile_reduce(PyObject* self, PyObject*) {
  return guard([&] {
    const Profile& p = self_value(self);
    Ref hash = text_object(p.hash);
    Ref fields = check(Py_BuildValue(
        "(OkkLBBKKKL)", hash.get(), (unsigned long)p.aperture, (unsigned long)p.n_base,
        (long long)p.lon_0_udeg, (unsigned char)p.north_square,
        (unsigned char)p.south_square, (unsigned long long)p.a_um,
        (unsigned long long)p.inv_f_nano, (unsigned long long)p.tick_us,
        (long long)p.epoch_us));
    return check(PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self)), fields.get()));
  });
}

#define FASTCALL KIVET_FASTCALL

PyMethodDef kMethods[] = {
    {"ogc", FASTCALL(profile_ogc), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "ogc()\n--\n\nThe OGC API-DGGS Annex B rHEALPix grid (lon_0 = 50), SHA-256. The "
     "default."},
    {"kivet_1", FASTCALL(profile_kivet_1), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "kivet_1()\n--\n\nrHEALPix with a 0\u00b0 prime meridian (lon_0 = 0), SHA-256."},
    {"from_dict", FASTCALL(profile_from_dict),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_dict(d)\n--\n\nA profile from its dict form, its ten-element list in field "
     "order, or\nthe JSON text of either; validated."},
    {"to_dict", FASTCALL(profile_to_dict), METH_FASTCALL | METH_KEYWORDS,
     "to_dict($self)\n--\n\nThe ten fields as a dict, keys in ascending order."},
    {"id_hex", FASTCALL(profile_id_hex), METH_FASTCALL | METH_KEYWORDS,
     "id_hex($self)\n--\n\nThe identity: SHA-256 of the tagged field preimage, 64 "
     "lowercase hex digits."},
    {"describe", FASTCALL(profile_describe), METH_FASTCALL | METH_KEYWORDS,
     "describe($self)\n--\n\nA one-line description of every field."},
    {"area_m2", FASTCALL(method_profile_area_m2), METH_FASTCALL | METH_KEYWORDS,
     "area_m2($self, level)\n--\n\nExact ellipsoidal cell area at `level`, m\u00b2."},
    {"__reduce__", profile_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\nPickles (and copies) as the ten fields."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef kGetSet[] = {
    {"hash", get_hash, nullptr, "The hash algorithm name.", nullptr},
    {"aperture", get_aperture, nullptr, "Children per cell.", nullptr},
    {"n_base", get_n_base, nullptr, "Number of base cells.", nullptr},
    {"lon_0", get_lon_0, nullptr, "Prime meridian, degrees.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(profile_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(profile_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(profile_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(profile_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(profile_hash)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(
         "Profile(hash=\"sha256\", aperture=9, n_base=6, lon_0_udeg=50000000, "
         "north_square=0, south_square=0, a_um=6378137000000, "
         "inv_f_nano=298257223563, tick_us=1, epoch_us=0)\n--\n\n"
         "The parameters a cell identifier and a root are read against. Integers "
         "only; the identity\n(`id_hex`) is derived from them and never transmitted.")},
    {0, nullptr}};

PyType_Spec kSpec = {"_kivet.Profile", sizeof(ProfileObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, kSlots};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* profile_type() {
  if (!g_type) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec));
  return g_type;
}

Ref new_profile(const Profile& p) {
  PyTypeObject* type = profile_type();
  if (!type) throw PyError{};
  Ref obj = check(type->tp_alloc(type, 0));
  reinterpret_cast<ProfileObject*>(obj.get())->value = new Profile(p);
  return obj;
}

const Profile& profile_value(PyObject* o) { return self_value(o); }

}  // namespace kivet::py
