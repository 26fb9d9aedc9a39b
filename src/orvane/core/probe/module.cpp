// Test-only extension (built with -Dtest_probe=true): drives the analytics
// module through its native entry table exactly as the engine does, so the
// test suite can exercise the analytics without Python-callable functions there.
#define ORVANE_NUMPY_IMPORT
#include "numpy_api.h"

#include <map>

#include "args.h"
#include "entry_table.h"
#include "errors.h"
#include "pyref.h"

namespace {

orvane::entries::Bound t;

PyObject* done() {
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

PyObject* start_analysis(PyObject*, PyObject* args) {
  PyObject *price, *close, *mapping;
  int nstocks, window, step;
  double fee, tax;
  if (!PyArg_ParseTuple(args, "OOO!iddii", &price, &close, &PyDict_Type, &mapping, &nstocks, &fee, &tax, &window,
                        &step))
    return nullptr;
  std::map<int, int> m;
  PyObject *k, *v;
  Py_ssize_t pos = 0;
  while (PyDict_Next(mapping, &pos, &k, &v)) {
    int kk, vv;
    if (!orvane::to_int32(k, &kk) || !orvane::to_int32(v, &vv)) return nullptr;
    m[kk] = vv;
  }
  t.start_analysis(reinterpret_cast<PyArrayObject*>(price), reinterpret_cast<PyArrayObject*>(close), m, nstocks, fee,
                   tax, window, step);
  return done();
}

PyObject* record_date(PyObject*, PyObject* args) {
  int d;
  if (!PyArg_ParseTuple(args, "i", &d)) return nullptr;
  t.record_date(d);
  return done();
}

PyObject* record_entry(PyObject*, PyObject* args) {
  int sid, flag;
  double size;
  if (!PyArg_ParseTuple(args, "idi", &sid, &size, &flag)) return nullptr;
  t.record_entry(sid, size, flag);
  return done();
}

PyObject* record_exit(PyObject*, PyObject* args) {
  int sid, flag;
  if (!PyArg_ParseTuple(args, "ii", &sid, &flag)) return nullptr;
  t.record_exit(sid, flag);
  return done();
}

PyObject* end_analysis(PyObject*, PyObject* args) {
  PyObject* mapping;
  if (!PyArg_ParseTuple(args, "O!", &PyDict_Type, &mapping)) return nullptr;
  std::map<int, double> book;
  PyObject *k, *v;
  Py_ssize_t pos = 0;
  while (PyDict_Next(mapping, &pos, &k, &v)) {
    int kk;
    double vv;
    if (!orvane::to_int32(k, &kk) || !orvane::to_double(v, &vv)) return nullptr;
    book[kk] = vv;
  }
  return t.end_analysis(book);
}

// The arrays the two data entries point at, as held by the analytics module now.
PyObject* slots(PyObject*, PyObject*) {
  return Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(*t.entry), reinterpret_cast<PyObject*>(*t.position));
}

PyMethodDef kMethods[] = {
    {"start_analysis", start_analysis, METH_VARARGS, nullptr},
    {"record_date", record_date, METH_VARARGS, nullptr},
    {"record_entry", record_entry, METH_VARARGS, nullptr},
    {"record_exit", record_exit, METH_VARARGS, nullptr},
    {"end_analysis", end_analysis, METH_VARARGS, nullptr},
    {"slots", slots, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {PyModuleDef_HEAD_INIT, "orvane.core._probe", nullptr, -1, kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__probe(void) {
  import_array();
  orvane::PyRef analytics = orvane::PyRef::steal(orvane::entries::bind(&t));
  if (!analytics) return nullptr;
  return PyModule_Create(&kModuleDef);
}
