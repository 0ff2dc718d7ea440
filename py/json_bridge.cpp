#include "py/json_bridge.hpp"

#include "py/errors.hpp"

namespace kivet::py {

namespace {

Ref json_module() { return check(PyImport_ImportModule("json")); }

// Only the conversion's own failures mean "not JSON"; anything else (an
// interrupt, MemoryError, an error raised by the caller's own code) passes.
[[noreturn]] void raise_not_serialisable() {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
      !PyErr_ExceptionMatches(PyExc_OverflowError) &&
      !PyErr_ExceptionMatches(PyExc_RecursionError))
    throw PyError{};
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
  Ref name = check(PyObject_GetAttrString(t.get(), "__qualname__"));
  Ref text = check(PyObject_Str(v.get()));
  PyErr_Format(PyExc_ValueError, "not JSON (%U: %U); a missing value is null, not NaN",
               name.get(), text.get());
  throw PyError{};
}

}  // namespace

Json json_in(PyObject* obj) {
  Ref text;
  if (PyUnicode_Check(obj)) {
    text = Ref::borrow(obj);
  } else {
    Ref json = json_module();
    Ref dumps = check(PyObject_GetAttrString(json.get(), "dumps"));
    Ref args = check(PyTuple_Pack(1, obj));
    Ref kwargs = check(Py_BuildValue("{s:O}", "allow_nan", Py_False));
    text = Ref::steal(PyObject_Call(dumps.get(), args.get(), kwargs.get()));
    if (!text) raise_not_serialisable();
    if (!PyUnicode_Check(text.get())) {
      PyErr_Format(PyExc_TypeError, "json.dumps returned %.200s, not str",
                   Py_TYPE(text.get())->tp_name);
      throw PyError{};
    }
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (!utf8) throw PyError{};
  auto parsed = parse_json(std::string_view(utf8, size_t(size)));
  if (!parsed) raise(PyExc_ValueError, "not JSON: " + parsed.error().text());
  return std::move(*parsed);
}

Ref json_out(const Json& value) { return json_out_text(value.dump()); }

Ref json_out_text(std::string_view text) {
  Ref json = json_module();
  Ref s = check(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
  return check(PyObject_CallMethod(json.get(), "loads", "O", s.get()));
}

}  // namespace kivet::py
