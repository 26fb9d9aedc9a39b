// Shared declarations of the engine module: module-level objects bound at import
// and the Python-callable entry points implemented across the module's files.
#pragma once
#include <map>

#include "entry_table.h"
#include "numpy_api.h"

namespace orvane::tradeloom {

struct Module {
  PyObject* module = nullptr;            // borrowed: lives as long as the interpreter
  PyObject* dict = nullptr;              // the module's namespace, for by-name lookups
  PyObject* stock_operations = nullptr;  // owned; replaced at the end of every run
  entries::Bound analytics;
  double inf = 0.0;  // NumPy's inf, read at import
};

extern Module g;

PyObject* backtest_(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* get_stock_operations(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* normalize_weight(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* get_trade_stocks(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ioft(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace orvane::tradeloom
