// The analytics module object: its per-process state, the three result lists,
// and the native entry table that the engine binds at its own import.
#define ORVANE_NUMPY_IMPORT
#include "numpy_api.h"

#include "entry_table.h"
#include "pyref.h"
#include "tidemark.h"

namespace orvane::tidemark {

State g;

namespace {

PyObject* zeros(npy_intp n, int typenum) { return PyArray_ZEROS(1, &n, typenum, 0); }

// Capsule names must outlive the capsules: they are the static signature strings.
bool publish(PyObject* table, const char* name, void* pointer, const char* signature) {
  PyRef cap = PyRef::steal(PyCapsule_New(pointer, signature, nullptr));
  if (!cap) return false;
  return PyDict_SetItemString(table, name, cap.get()) == 0;
}

bool add_object(PyObject* module, const char* name, PyObject* value) {
  Py_INCREF(value);
  if (PyModule_AddObject(module, name, value) < 0) {
    Py_DECREF(value);
    return false;
  }
  return true;
}

struct PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "orvane.core.tidemark",
    "Per-run trade bookkeeping and per-trade excursion records of the backtest engine.", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* init_module() {
  PyRef module = PyRef::steal(PyModule_Create(&kModuleDef));
  if (!module) return nullptr;
  PyRef np = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!np || !add_object(module.get(), "org_np", np.get())) return nullptr;

  npy_intp empty2[2] = {0, 0};
  g.price = PyArray_ZEROS(2, empty2, NPY_DOUBLE, 0);
  g.close = PyArray_ZEROS(2, empty2, NPY_DOUBLE, 0);
  g.entry = reinterpret_cast<PyArrayObject*>(zeros(0, NPY_INT64));
  g.position = reinterpret_cast<PyArrayObject*>(zeros(0, NPY_DOUBLE));
  g.entry_trasnaction = reinterpret_cast<PyArrayObject*>(zeros(0, NPY_INT64));
  g.trades = PyList_New(0);
  g.trade_positions = PyList_New(0);
  g.tidemark = PyList_New(0);
  if (!g.price || !g.close || !g.entry || !g.position || !g.entry_trasnaction || !g.trades || !g.trade_positions ||
      !g.tidemark)
    return nullptr;
  if (!add_object(module.get(), "trades", g.trades) || !add_object(module.get(), "trade_positions", g.trade_positions) ||
      !add_object(module.get(), "tidemark", g.tidemark))
    return nullptr;

  PyRef table = PyRef::steal(PyDict_New());
  if (!table) return nullptr;
  using namespace orvane::entries;
  if (!publish(table.get(), "entry", static_cast<void*>(&g.entry), kSigArraySlot) ||
      !publish(table.get(), "position", static_cast<void*>(&g.position), kSigArraySlot) ||
      !publish(table.get(), "start_analysis", reinterpret_cast<void*>(&start_analysis), kSigStartAnalysis) ||
      !publish(table.get(), "record_date", reinterpret_cast<void*>(&record_date), kSigRecordDate) ||
      !publish(table.get(), "record_entry", reinterpret_cast<void*>(&record_entry), kSigRecordEntry) ||
      !publish(table.get(), "record_exit", reinterpret_cast<void*>(&record_exit), kSigRecordExit) ||
      !publish(table.get(), "end_analysis", reinterpret_cast<void*>(&end_analysis), kSigEndAnalysis))
    return nullptr;
  if (!add_object(module.get(), kTableAttr, table.get())) return nullptr;
  PyRef extras = PyRef::steal(PyDict_New());
  if (!extras) return nullptr;
  if (!publish(extras.get(), "set_record_arrays", reinterpret_cast<void*>(&set_record_arrays),
               kSigSetRecordArrays) ||
      !publish(extras.get(), "record_arrays", reinterpret_cast<void*>(&record_arrays), kSigRecordArrays) ||
      !add_object(module.get(), kExtrasAttr, extras.get()))
    return nullptr;
  return module.release();
}

}  // namespace orvane::tidemark

PyMODINIT_FUNC PyInit_tidemark(void) {
  import_array();
  return orvane::tidemark::init_module();
}
