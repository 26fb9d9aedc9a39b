// The engine module object: binds the analytics entry table first, then builds
// the namespace in its documented order and adds the Python-callable functions.
#define ORVANE_NUMPY_IMPORT
#include "numpy_api.h"

#include "args.h"
#include "errors.h"
#include "pyref.h"
#include "tradeloom.h"

namespace orvane::tradeloom {

Module g;

namespace {


#define ORVANE_KW_FUNC(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

constexpr Signature kNoArgs{"get_stock_operations", nullptr, 0, 0};

PyObject* get_stock_operations_impl(PyObject* args, PyObject* kwargs) {
  if (!bind_args(kNoArgs, args, kwargs, nullptr)) return nullptr;
  return PyDict_Copy(g.stock_operations);
}

PyMethodDef kMethods[] = {
    {"get_stock_operations", ORVANE_KW_FUNC(get_stock_operations), METH_VARARGS | METH_KEYWORDS,
     "get_stock_operations()\n--\n\nA shallow copy of the last completed run's record."},
    {"normalize_weight", ORVANE_KW_FUNC(normalize_weight), METH_VARARGS | METH_KEYWORDS,
     "normalize_weight(weights, position_limit)\n--\n\nScale gross exposure down to 1, then clip to "
     "+-position_limit, in place; returns weights."},
    {"ioft", ORVANE_KW_FUNC(ioft), METH_VARARGS | METH_KEYWORDS,
     "ioft(v)\n--\n\nNanoseconds since the epoch to a naive local datetime."},
    {"backtest_", ORVANE_KW_FUNC(backtest_), METH_VARARGS | METH_KEYWORDS,
     "backtest_(price_values, close_values, high_values, low_values, open_values, price_index, price_columns, "
     "pos_values, pos_index, pos_columns, resample, fee_ratio=0.001425, tax_ratio=0.003, stop_loss=1.0, "
     "take_profit=inf, trail_stop=inf, trail_stop_activation=0.0, touched_exit=False, position_limit=1.0, "
     "retain_cost_when_rebalance=False, stop_trading_next_period=True, tidemark_window=0, "
     "tidemark_window_step=1, periodically_rebalance=True, delisting_bars=None)\n--\n\n"
     "Simulate the portfolio over the price rows; returns the value series creturn."},
    {"get_trade_stocks", ORVANE_KW_FUNC(get_trade_stocks), METH_VARARGS | METH_KEYWORDS,
     "get_trade_stocks(pos_columns, price_index, touched_exit)\n--\n\n"
     "The last run's trades as nine-field rows, and its stock_operations record."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "orvane.core.tradeloom", "The backtest engine.", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
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

PyObject* get_stock_operations(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane.core.tradeloom.get_stock_operations",
                 [&] { return get_stock_operations_impl(args, kwargs); });
}

}  // namespace orvane::tradeloom

PyMODINIT_FUNC PyInit_tradeloom(void) {
  import_array();
  return orvane::tradeloom::init_module();
}
