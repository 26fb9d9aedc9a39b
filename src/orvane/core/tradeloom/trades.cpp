// get_trade_stocks: the analytics' raw trade records as nine-field rows, read by
// ordinary indexing of the caller's arrays, together with the run's record.
#include "args.h"
#include "errors.h"
#include "pyref.h"
#include "tradeloom.h"

namespace orvane::tradeloom {

namespace {

constexpr const char* kParams[] = {"pos_columns", "price_index", "touched_exit"};
constexpr Signature kSig{"get_trade_stocks", kParams, 3, 3};

PyObject* analytics_list(const char* name) {
  PyRef module = PyRef::borrow(PyDict_GetItemString(g.dict, "tidemark"));
  if (!module) {
    PyErr_SetString(PyExc_NameError, "name 'tidemark' is not defined");
    return nullptr;
  }
  return PyObject_GetAttrString(module.get(), name);
}

PyObject* item(PyObject* seq, Py_ssize_t i) { return PySequence_GetItem(seq, i); }

PyObject* index(PyObject* arr, PyObject* key) { return PyObject_GetItem(arr, key); }

// -1 for an open trade (compared by value), else the value made by f().
template <class F>
PyObject* unless_open(PyObject* exit_row, PyObject* minus_one, F&& f) {
  const int open = PyObject_RichCompareBool(exit_row, minus_one, Py_EQ);
  if (open < 0) return nullptr;
  if (open) {
    Py_INCREF(minus_one);
    return minus_one;
  }
  return f();
}

PyObject* trade_row(PyObject* t, Py_ssize_t k, PyObject* pos_columns, PyObject* price_index, bool touched,
                    PyObject* minus_one, PyObject* one) {
  PyRef fields[9];
  {
    PyRef sid = PyRef::steal(item(t, 0));
    if (!sid) return nullptr;
    fields[0] = PyRef::steal(index(pos_columns, sid.get()));
    if (!fields[0]) return nullptr;
  }
  {
    PyRef entry = PyRef::steal(item(t, 1));
    if (!entry) return nullptr;
    fields[1] = PyRef::steal(index(price_index, entry.get()));
    if (!fields[1]) return nullptr;
  }
  {
    PyRef exit_row = PyRef::steal(item(t, 2));
    if (!exit_row) return nullptr;
    fields[2] = PyRef::steal(unless_open(exit_row.get(), minus_one, [&]() -> PyObject* {
      PyRef e = PyRef::steal(item(t, 2));
      return e ? index(price_index, e.get()) : nullptr;
    }));
    if (!fields[2]) return nullptr;
  }
  {
    PyRef entry = PyRef::steal(item(t, 1));
    if (!entry) return nullptr;
    PyRef before = PyRef::steal(PyNumber_Subtract(entry.get(), one));
    if (!before) return nullptr;
    fields[3] = PyRef::steal(index(price_index, before.get()));  // row 0 reads the last date
    if (!fields[3]) return nullptr;
  }
  {
    PyRef exit_row = PyRef::steal(item(t, 2));
    if (!exit_row) return nullptr;
    fields[4] = PyRef::steal(unless_open(exit_row.get(), minus_one, [&]() -> PyObject* {
      PyRef e = PyRef::steal(item(t, 2));
      if (!e) return nullptr;
      if (touched) return index(price_index, e.get());
      PyRef signal = PyRef::steal(PyNumber_Subtract(e.get(), one));
      return signal ? index(price_index, signal.get()) : nullptr;
    }));
    if (!fields[4]) return nullptr;
  }
  {
    PyRef positions = PyRef::steal(analytics_list("trade_positions"));
    if (!positions) return nullptr;
    PyRef kk = PyRef::steal(PyLong_FromSsize_t(k));
    if (!kk) return nullptr;
    fields[5] = PyRef::steal(PyObject_GetItem(positions.get(), kk.get()));
    if (!fields[5]) return nullptr;
  }
  {
    PyRef exit_row = PyRef::steal(item(t, 2));
    if (!exit_row) return nullptr;
    const int open = PyObject_RichCompareBool(exit_row.get(), minus_one, Py_EQ);
    if (open < 0) return nullptr;
    PyRef entry = PyRef::steal(item(t, 1));
    if (!entry) return nullptr;
    if (open) {
      const Py_ssize_t len = PyObject_Length(price_index);
      if (len < 0) return nullptr;
      PyRef length = PyRef::steal(PyLong_FromSsize_t(len));
      if (!length) return nullptr;
      fields[6] = PyRef::steal(PyNumber_Subtract(length.get(), entry.get()));
    } else {
      PyRef e = PyRef::steal(item(t, 2));
      if (!e) return nullptr;
      fields[6] = PyRef::steal(PyNumber_Subtract(e.get(), entry.get()));
    }
    if (!fields[6]) return nullptr;
  }
  fields[7] = PyRef::steal(item(t, 1));
  if (!fields[7]) return nullptr;
  fields[8] = PyRef::steal(item(t, 2));
  if (!fields[8]) return nullptr;

  PyObject* row = PyList_New(9);
  if (!row) return nullptr;
  for (Py_ssize_t i = 0; i < 9; ++i) PyList_SET_ITEM(row, i, fields[i].release());
  return row;
}

PyObject* get_trade_stocks_impl(PyObject* args, PyObject* kwargs) {
  PyObject* a[3];
  PyRef held[3];  // indexing the arrays runs Python code
  if (!bind_args(kSig, args, kwargs, a, held)) return nullptr;
  bool touched;
  if (!to_truth(a[2], &touched)) return nullptr;
  if (!check_ndarray_or_none(a[0], "pos_columns") || !check_ndarray_or_none(a[1], "price_index")) return nullptr;
  if (a[0] != Py_None &&
      !check_array_buffer(reinterpret_cast<PyArrayObject*>(a[0]), 1, Elem::Object, "unicode object"))
    return nullptr;
  if (a[1] != Py_None && !check_array_buffer(reinterpret_cast<PyArrayObject*>(a[1]), 1, Elem::Int64, "int64_t"))
    return nullptr;

  RunInProgress reading;
  PyRef trades = PyRef::steal(analytics_list("trades"));
  if (!trades) return nullptr;
  PyRef rows = PyRef::steal(PyList_New(0));
  PyRef minus_one = PyRef::steal(PyLong_FromLong(-1));
  PyRef one = PyRef::steal(PyLong_FromLong(1));
  if (!rows || !minus_one || !one) return nullptr;
  PyRef it = PyRef::steal(PyObject_GetIter(trades.get()));
  if (!it) return nullptr;
  Py_ssize_t k = 0;
  while (PyRef t = PyRef::steal(PyIter_Next(it.get()))) {
    PyRef row = PyRef::steal(trade_row(t.get(), k, a[0], a[1], touched, minus_one.get(), one.get()));
    if (!row || PyList_Append(rows.get(), row.get()) < 0) return nullptr;
    ++k;
  }
  if (PyErr_Occurred()) return nullptr;
  return PyTuple_Pack(2, rows.get(), g.stock_operations);
}

}  // namespace

PyObject* get_trade_stocks(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane.core.tradeloom.get_trade_stocks", [&] { return get_trade_stocks_impl(args, kwargs); });
}

}  // namespace orvane::tradeloom
