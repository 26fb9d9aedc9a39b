// get_trade_arrays: the analytics' three result lists of the last run copied into
// arrays in one pass, so readers that want columns skip a Python object per value.
// The lists stay the record of the run.
#include <cstdint>
#include <cstring>

#include "args.h"
#include "errors.h"
#include "pyref.h"
#include "tradeloom.h"
// After the NumPy headers tradeloom.h brings in.
#include <numpy/arrayscalars.h>

namespace orvane::tradeloom {

namespace {

constexpr Signature kSig{"get_trade_arrays", nullptr, 0, 0};
constexpr const char* kSwitchParams[] = {"on"};
constexpr Signature kSwitchSig{"record_arrays", kSwitchParams, 1, 1};

bool read_trade(PyObject* rec, int64_t* out, Py_ssize_t i) {
  if (!PyList_Check(rec) || PyList_GET_SIZE(rec) != 3) {
    PyErr_Format(PyExc_TypeError, "trades[%zd] must be a list [sid, entry, exit], got %.200s", i,
                 Py_TYPE(rec)->tp_name);
    return false;
  }
  for (Py_ssize_t k = 0; k < 3; ++k) {
    if (PyList_GET_SIZE(rec) != 3) {
      PyErr_Format(PyExc_RuntimeError, "trades[%zd] changed while it was read", i);
      return false;
    }
    PyObject* raw = PyList_GET_ITEM(rec, k);
    // The engine writes entry rows as int64 scalars: read them without a conversion.
    if (PyArray_IsScalar(raw, Int64)) {
      out[k] = PyArrayScalar_VAL(raw, Int64);
      continue;
    }
    PyRef item = PyRef::borrow(raw);
    long long v = PyLong_AsLongLong(item.get());
    if (v == -1 && PyErr_Occurred()) return false;
    out[k] = static_cast<int64_t>(v);
  }
  return true;
}

bool read_record(PyObject* rec, double* out, npy_intp width, Py_ssize_t i) {
  if (!PyArray_Check(rec)) {
    PyErr_Format(PyExc_TypeError, "tidemark[%zd] must be a numpy array, got %.200s", i, Py_TYPE(rec)->tp_name);
    return false;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(rec);
  if (PyArray_NDIM(a) != 1 || PyArray_TYPE(a) != NPY_DOUBLE || PyArray_DIM(a, 0) != width) {
    PyErr_Format(PyExc_ValueError, "tidemark[%zd] must be a 1-D float64 array of length %zd like the first",
                 i, static_cast<Py_ssize_t>(width));
    return false;
  }
  const char* src = static_cast<const char*>(PyArray_DATA(a));
  const npy_intp stride = PyArray_STRIDE(a, 0);
  if (stride == static_cast<npy_intp>(sizeof(double))) {
    std::memcpy(out, src, static_cast<size_t>(width) * sizeof(double));
  } else {
    for (npy_intp k = 0; k < width; ++k) std::memcpy(out + k, src + k * stride, sizeof(double));
  }
  return true;
}

bool same_length(PyObject* list, Py_ssize_t n) {
  if (PyList_GET_SIZE(list) == n) return true;
  PyErr_SetString(PyExc_RuntimeError, "the trade lists changed while they were read");
  return false;
}

// The analytics module's attribute `name`, which must be a list.
PyRef result_list(PyObject* analytics, const char* name) {
  PyRef list = PyRef::steal(PyObject_GetAttrString(analytics, name));
  if (list && !PyList_Check(list.get())) {
    PyErr_Format(PyExc_TypeError, "orvane.core.tidemark.%s must be a list, got %.200s", name,
                 Py_TYPE(list.get())->tp_name);
    return PyRef();
  }
  return list;
}

PyObject* build(PyObject* args, PyObject* kwargs) {
  if (!bind_args(kSig, args, kwargs, nullptr)) return nullptr;
  PyRef arrays = PyRef::steal(trade_arrays_of_last_run());
  if (!arrays) return nullptr;
  // The run's own arrays carry its exit values too, which run_ hands over.
  return PyTuple_GetSlice(arrays.get(), 0, 3);
}

PyObject* switch_arrays(PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  if (!bind_args(kSwitchSig, args, kwargs, a)) return nullptr;
  bool on;
  if (!to_truth(a[0], &on)) return nullptr;
  return PyBool_FromLong(g.analytics.set_record_arrays(on));
}

}  // namespace

PyObject* trade_arrays_of_last_run() {
  // A run that kept its records as arrays hands those over, without a copy.
  PyRef kept = PyRef::steal(g.analytics.record_arrays());
  if (!kept) return nullptr;
  if (kept.get() != Py_None) return kept.release();
  PyRef analytics = PyRef::steal(PyImport_ImportModule("orvane.core.tidemark"));
  if (!analytics) return nullptr;
  // Held for the whole call; a conversion that runs Python code may change the lists,
  // so their lengths are checked before every read.
  PyRef trades = result_list(analytics.get(), "trades");
  if (!trades) return nullptr;
  PyRef positions = result_list(analytics.get(), "trade_positions");
  if (!positions) return nullptr;
  PyRef marks = result_list(analytics.get(), "tidemark");
  if (!marks) return nullptr;
  const Py_ssize_t n = PyList_GET_SIZE(trades.get());
  if (PyList_GET_SIZE(positions.get()) != n || PyList_GET_SIZE(marks.get()) != n) {
    PyErr_Format(PyExc_ValueError, "trades, trade_positions and tidemark must have one entry per trade, got %zd, %zd and %zd",
                 n, PyList_GET_SIZE(positions.get()), PyList_GET_SIZE(marks.get()));
    return nullptr;
  }
  npy_intp width = 0;
  if (n > 0) {
    PyObject* first = PyList_GET_ITEM(marks.get(), 0);
    width = PyArray_Check(first) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(first)) == 1
                ? PyArray_DIM(reinterpret_cast<PyArrayObject*>(first), 0)
                : 0;
  }
  npy_intp shape_t[2] = {n, 3}, shape_p[1] = {n}, shape_m[2] = {n, width};
  PyRef t = PyRef::steal(PyArray_SimpleNew(2, shape_t, NPY_INT64));
  PyRef p = PyRef::steal(PyArray_SimpleNew(1, shape_p, NPY_DOUBLE));
  PyRef m = PyRef::steal(PyArray_SimpleNew(2, shape_m, NPY_DOUBLE));
  if (!t || !p || !m) return nullptr;
  auto* tv = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(t.get())));
  auto* pv = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(p.get())));
  auto* mv = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(m.get())));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!same_length(trades.get(), n)) return nullptr;
    PyRef rec = PyRef::borrow(PyList_GET_ITEM(trades.get(), i));
    if (!read_trade(rec.get(), tv + 3 * i, i)) return nullptr;
    if (!same_length(positions.get(), n)) return nullptr;
    PyObject* raw = PyList_GET_ITEM(positions.get(), i);
    if (PyFloat_Check(raw)) {  // the engine's float64 scalars are floats
      pv[i] = PyFloat_AS_DOUBLE(raw);
    } else {
      PyRef pos = PyRef::borrow(raw);
      pv[i] = PyFloat_AsDouble(pos.get());
      if (pv[i] == -1.0 && PyErr_Occurred()) return nullptr;
    }
    if (!same_length(marks.get(), n)) return nullptr;
    if (!read_record(PyList_GET_ITEM(marks.get(), i), mv + width * i, width, i)) return nullptr;
  }
  return PyTuple_Pack(3, t.get(), p.get(), m.get());
}

PyObject* record_arrays(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane.core.tradeloom.record_arrays", [&] { return switch_arrays(args, kwargs); });
}

PyObject* get_trade_arrays(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane.core.tradeloom.get_trade_arrays", [&] { return build(args, kwargs); });
}

}  // namespace orvane::tradeloom
