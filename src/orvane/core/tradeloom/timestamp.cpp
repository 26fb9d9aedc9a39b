// ioft: nanoseconds since the epoch to a naive local datetime, through the host's
// own true division so every numeric type divides as it would in Python.
#include "args.h"
#include "errors.h"
#include "pyref.h"
#include "tradeloom.h"

namespace orvane::tradeloom {

namespace {

constexpr const char* kParams[] = {"v"};
constexpr Signature kSig{"ioft", kParams, 1, 1};

PyObject* ioft_impl(PyObject* args, PyObject* kwargs) {
  PyObject* v;
  PyRef held;
  if (!bind_args(kSig, args, kwargs, &v, &held)) return nullptr;
  PyRef billion = PyRef::steal(PyFloat_FromDouble(1e9));
  if (!billion) return nullptr;
  PyRef seconds = PyRef::steal(PyNumber_TrueDivide(v, billion.get()));
  if (!seconds) return nullptr;
  PyRef dt_module = PyRef::borrow(PyDict_GetItemString(g.dict, "datetime"));
  if (!dt_module) {
    PyErr_SetString(PyExc_NameError, "name 'datetime' is not defined");
    return nullptr;
  }
  PyRef cls = PyRef::steal(PyObject_GetAttrString(dt_module.get(), "datetime"));
  if (!cls) return nullptr;
  return PyObject_CallMethod(cls.get(), "fromtimestamp", "O", seconds.get());
}

}  // namespace

PyObject* ioft(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane.core.tradeloom.ioft", [&] { return ioft_impl(args, kwargs); });
}

}  // namespace orvane::tradeloom
