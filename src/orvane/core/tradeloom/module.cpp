// The engine module object: binds the analytics entry table first, then builds
// the namespace in its documented order and adds the Python-callable functions.
#define ORVANE_NUMPY_IMPORT
#include "numpy_api.h"

#include "errors.h"
#include "pyref.h"
#include "tradeloom.h"

namespace orvane::tradeloom {

Module g;

namespace {


#define ORVANE_KW_FUNC(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

PyMethodDef kMethods[] = {
    {"ioft", ORVANE_KW_FUNC(ioft), METH_VARARGS | METH_KEYWORDS,
     "ioft(v)\n--\n\nNanoseconds since the epoch to a naive local datetime."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "orvane.core.tradeloom", "The backtest engine.", -1, nullptr,
};

bool set_attr(PyObject* module, const char* name, PyObject* value) {
  return PyObject_SetAttrString(module, name, value) == 0;
}

PyObject* init_module() {
  // The analytics entries come first: the engine never exists without them.
  PyRef analytics = PyRef::steal(entries::bind(&g.analytics));
  if (!analytics) return nullptr;

  PyRef module = PyRef::steal(PyModule_Create(&kModuleDef));
  if (!module) return nullptr;
  PyRef np = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!np || !set_attr(module.get(), "org_np", np.get())) return nullptr;
  if (!set_attr(module.get(), "tidemark", analytics.get())) return nullptr;
  PyRef datetime = PyRef::steal(PyImport_ImportModule("datetime"));
  if (!datetime || !set_attr(module.get(), "datetime", datetime.get())) return nullptr;
  if (!set_attr(module.get(), "RETAIN_COST_WHEN_REBALANCE", Py_False)) return nullptr;
  if (!set_attr(module.get(), "RESAMPLE", Py_None)) return nullptr;

  PyRef inf = PyRef::steal(PyObject_GetAttrString(np.get(), "inf"));
  if (!inf) return nullptr;
  g.inf = PyFloat_AsDouble(inf.get());
  if (g.inf == -1.0 && PyErr_Occurred()) return nullptr;

  g.stock_operations = PyDict_New();
  if (!g.stock_operations) return nullptr;
  if (PyModule_AddFunctions(module.get(), kMethods) < 0) return nullptr;
  g.module = module.get();
  g.dict = PyModule_GetDict(module.get());
  return module.release();
}

}  // namespace

}  // namespace orvane::tradeloom

PyMODINIT_FUNC PyInit_tradeloom(void) {
  import_array();
  return orvane::tradeloom::init_module();
}
