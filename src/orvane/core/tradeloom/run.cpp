// backtest_: argument binding and checks, the set-up of the run state, and the
// row loop that runs each row's stages in order.
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

#include "args.h"
#include "errors.h"
#include "pyref.h"
#include "tradeloom.h"

namespace orvane::tradeloom {

namespace {

// Positions of backtest_'s parameters, in the order of kParams.
enum Param {
  kPriceValues, kCloseValues, kHighValues, kLowValues, kOpenValues,
  kPriceIndex, kPriceColumns, kPosValues, kPosIndex, kPosColumns,
  kResample, kFeeRatio, kTaxRatio, kStopLoss, kTakeProfit,
  kTrailStop, kTrailStopActivation, kTouchedExit, kPositionLimit, kRetainCostWhenRebalance,
  kStopTradingNextPeriod, kTidemarkWindow, kTidemarkWindowStep, kPeriodicallyRebalance,
  kDelistingBars,
  kParamCount,
};
constexpr const char* kParams[] = {
    "price_values", "close_values", "high_values", "low_values", "open_values",
    "price_index", "price_columns", "pos_values", "pos_index", "pos_columns",
    "resample", "fee_ratio", "tax_ratio", "stop_loss", "take_profit",
    "trail_stop", "trail_stop_activation", "touched_exit", "position_limit", "retain_cost_when_rebalance",
    "stop_trading_next_period", "tidemark_window", "tidemark_window_step", "periodically_rebalance",
    "delisting_bars",
};
static_assert(sizeof(kParams) / sizeof(kParams[0]) == kParamCount);
constexpr int kArrays = kFeeRatio;  // the leading ndarray parameters, all required
constexpr Signature kSig{"backtest_", kParams, kParamCount, kArrays};

Elem array_elem(int i) {
  switch (i) {
    case kPriceIndex:
    case kPosIndex:
    case kResample: return Elem::Int64;
    case kPriceColumns:
    case kPosColumns: return Elem::Object;
    default: return Elem::Float64;
  }
}

const char* elem_name(Elem e) {
  switch (e) {
    case Elem::Int64: return "int64_t";
    case Elem::Object: return "object";
    default: return "double";
  }
}

struct BufferGuard {
  Py_buffer view{};
  bool held = false;
  ~BufferGuard() {
    if (held) PyBuffer_Release(&view);
  }
};

struct Settings {
  double fee_ratio = 0.001425, tax_ratio = 0.003, stop_loss = 1.0;
  double take_profit, trail_stop;
  double trail_stop_activation = 0.0, position_limit = 1.0;
  bool touched_exit = false, retain_cost_when_rebalance = false, periodically_rebalance = true;
  PyObject* stop_trading_next_period = Py_True;
  int tidemark_window = 0, tidemark_window_step = 1;
};

// In parameter order, so that the first bad setting is the one reported.
bool convert_settings(PyObject** a, Settings* st, BufferGuard* delisting, View1<int64_t>* bars) {
  const std::pair<Param, double*> reals[] = {
      {kFeeRatio, &st->fee_ratio},     {kTaxRatio, &st->tax_ratio},
      {kStopLoss, &st->stop_loss},     {kTakeProfit, &st->take_profit},
      {kTrailStop, &st->trail_stop},   {kTrailStopActivation, &st->trail_stop_activation},
  };
  for (const auto& [param, out] : reals)
    if (a[param] && !to_double(a[param], out)) return false;
  if (a[kTouchedExit] && !to_truth(a[kTouchedExit], &st->touched_exit)) return false;
  if (a[kPositionLimit] && !to_double(a[kPositionLimit], &st->position_limit)) return false;
  if (a[kRetainCostWhenRebalance] && !to_truth(a[kRetainCostWhenRebalance], &st->retain_cost_when_rebalance))
    return false;
  if (a[kStopTradingNextPeriod]) st->stop_trading_next_period = a[kStopTradingNextPeriod];
  if (a[kTidemarkWindow] && !to_int32(a[kTidemarkWindow], &st->tidemark_window)) return false;
  if (a[kTidemarkWindowStep] && !to_int32(a[kTidemarkWindowStep], &st->tidemark_window_step)) return false;
  if (a[kPeriodicallyRebalance] && !to_truth(a[kPeriodicallyRebalance], &st->periodically_rebalance)) return false;
  if (a[kDelistingBars] && a[kDelistingBars] != Py_None) {
    if (!acquire_int64_buffer(a[kDelistingBars], &delisting->view, bars)) return false;
    delisting->held = true;
  }
  return true;
}

bool check_arrays(PyObject** a) {
  for (int i = 0; i < kArrays; ++i) {
    // The run reads these two element counts unconditionally: None is refused here.
    const bool required = i == kPriceIndex || i == kResample;
    if (required && a[i] == Py_None) {
      PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                   kParams[i], PyArray_Type.tp_name, Py_TYPE(a[i])->tp_name);
      return false;
    }
    if (!check_ndarray_or_none(a[i], kParams[i])) return false;
  }
  for (int i = 0; i < kArrays; ++i) {
    if (a[i] == Py_None) continue;
    const int ndim = (i <= kOpenValues || i == kPosValues) ? 2 : 1;
    const Elem e = array_elem(i);
    if (!check_array_buffer(reinterpret_cast<PyArrayObject*>(a[i]), ndim, e, elem_name(e))) return false;
  }
  return true;
}

bool publish_settings(const Settings& st) {
  return PyDict_SetItemString(g.dict, "RETAIN_COST_WHEN_REBALANCE",
                              st.retain_cost_when_rebalance ? Py_True : Py_False) == 0 &&
         PyDict_SetItemString(g.dict, "RESAMPLE", st.periodically_rebalance ? Py_True : Py_False) == 0;
}

// len(m[0]) of a 2-D argument, with the host's errors for None or no rows.
bool first_row_length(const View2<double>& m, npy_intp* out) {
  if (!m.present) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return false;
  }
  if (m.n0 == 0) {
    raise_numpy_index(0, 0, 0);
    return false;
  }
  *out = m.n1;
  return true;
}

void build_schedule(RunState& s) {
  const npy_intp n = s.price_index.n;
  s.date_rebalance.assign(static_cast<size_t>(n), 0);
  if (n == 0) return;  // nothing to mark on an empty calendar
  npy_intp ptr = 0;
  for (npy_intp j = 0; j < s.resample.n; ++j) {
    const int64_t t = s.resample(j);
    while (ptr + 1 < n && s.price_index(ptr + 1) <= t) ++ptr;
    s.date_rebalance[ptr] = 1;
  }
}

void bucket_delistings(RunState& s, npy_intp nsids) {
  if (s.delisting_bars.n < nsids) return;  // a held sid may lie outside: keep the checked scan
  const npy_intp nrows = s.price_index.n;
  s.delisted_from.assign(static_cast<size_t>(nrows) + 1, 0);
  for (npy_intp k = 0; k < nsids; ++k) {
    const int64_t bar = s.delisting_bars(k);
    if (bar >= 0 && bar < nrows) ++s.delisted_from[static_cast<size_t>(bar) + 1];
  }
  for (size_t r = 1; r < s.delisted_from.size(); ++r) s.delisted_from[r] += s.delisted_from[r - 1];
  s.delisted_on.resize(s.delisted_from.back());
  std::vector<size_t> next(s.delisted_from.begin(), s.delisted_from.end() - 1);
  for (npy_intp k = 0; k < nsids; ++k) {
    const int64_t bar = s.delisting_bars(k);
    if (bar >= 0 && bar < nrows) s.delisted_on[next[static_cast<size_t>(bar)]++] = static_cast<int>(k);
  }
  s.delisting_by_row = true;
}

bool simulate_row(RunState& s) {
  g.analytics.record_date(static_cast<int>(s.d));
  if (PyErr_Occurred()) return false;
  s.exit_stocks_temp.clear();
  if (s.fin.on) accrue_financing(s);
  if (!value_holdings(s)) return false;
  if (!carry_out_pending_exits(s)) return false;
  if (s.should_rebalance) {
    if (!execute_rebalance(s)) return false;
  } else if (s.ex.on && !execute_carries(s)) {
    return false;
  }
  if (s.has_delisting && !sell_delisted(s)) return false;
  if (!value_at_close(s)) return false;
  schedule_weights(s);
  return true;
}

PyObject* run_backtest(PyObject* args, PyObject* kwargs, std::unique_ptr<Ledger> ledger, const RunSwitches& sw) {
  PyObject* a[kParamCount];
  PyRef held[kParamCount];  // callbacks run throughout the run
  if (!bind_args(kSig, args, kwargs, a, held)) return nullptr;
  Settings st;
  st.take_profit = st.trail_stop = g.inf;
  BufferGuard delisting;
  RunState s;
  if (!convert_settings(a, &st, &delisting, &s.delisting_bars)) return nullptr;
  if (!check_arrays(a)) return nullptr;
  if (!publish_settings(st)) return nullptr;

  s.price_values = view2<double>(a[kPriceValues]);
  s.close_values = view2<double>(a[kCloseValues]);
  s.high_values = view2<double>(a[kHighValues]);
  s.low_values = view2<double>(a[kLowValues]);
  s.open_values = view2<double>(a[kOpenValues]);
  s.price_index = view1<int64_t>(a[kPriceIndex]);
  s.pos_values = view2<double>(a[kPosValues]);
  s.pos_index = view1<int64_t>(a[kPosIndex]);
  s.pos_columns = view1<PyObject*>(a[kPosColumns]);
  s.resample = view1<int64_t>(a[kResample]);
  s.fee_ratio = st.fee_ratio;
  s.tax_ratio = st.tax_ratio;
  s.position_limit = st.position_limit;
  s.touched_exit = st.touched_exit;
  s.retain_cost_when_rebalance = st.retain_cost_when_rebalance;
  s.stop_trading_next_period = st.stop_trading_next_period;

  if (!map_columns(a[kPriceColumns], a[kPosColumns], &s.pos2price)) return nullptr;
  npy_intp nrows = s.price_index.n;
  PyRef creturn = PyRef::steal(PyArray_EMPTY(1, &nrows, NPY_DOUBLE, 0));
  if (!creturn) return nullptr;
  s.creturn = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(creturn.get())));
  npy_intp nsids, nprices;
  if (!first_row_length(s.pos_values, &nsids)) return nullptr;
  s.trk.assign(static_cast<size_t>(nsids), RunState::Trackers{});
  s.pos.reset(static_cast<size_t>(nsids));
  s.sid_col.assign(static_cast<size_t>(nsids), 0);
  for (const auto& [sid, col] : s.pos2price)
    if (sid >= 0 && sid < nsids) s.sid_col[sid] = col;
  if (!first_row_length(s.price_values, &nprices)) return nullptr;
  if (!bind_financing(s, sw, nrows, nprices)) return nullptr;
  s.controls = sw.controls;
  if (s.controls.on()) s.ctl = &s.controls;
  if (ledger) s.ledger = ledger.get();
  if (!bind_execution(s, sw, nrows, nprices)) return nullptr;
  if (ledger) ledger->start(s, static_cast<size_t>(nrows), static_cast<size_t>(nsids));
  s.col.assign(static_cast<size_t>(nprices), RunState::ColumnBase{});
  if (s.delisting_bars.present) {
    for (npy_intp k = 0; k < s.delisting_bars.n && !s.has_delisting; ++k)
      s.has_delisting = s.delisting_bars(k) >= 0;  // negative: never delisted
  }
  build_schedule(s);
  if (s.has_delisting) bucket_delistings(s, nsids);

  const npy_intp nstocks = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(a[kPosColumns]));
  if (nstocks > std::numeric_limits<int>::max()) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return nullptr;
  }
  // The analytics read their array mode once, here: a run's own mode is set only
  // around this call, so no other run ever sees it.
  const bool arrays_were = sw.arrays < 0 ? false : g.analytics.set_record_arrays(sw.arrays > 0);
  g.analytics.start_analysis(reinterpret_cast<PyArrayObject*>(a[kPriceValues]),
                             reinterpret_cast<PyArrayObject*>(a[kCloseValues]),
                             s.pos2price, static_cast<int>(nstocks), s.fee_ratio, s.tax_ratio, st.tidemark_window,
                             st.tidemark_window_step);
  if (sw.arrays >= 0) g.analytics.set_record_arrays(arrays_were);
  if (PyErr_Occurred()) return nullptr;

  s.stop_loss_abs = std::fabs(st.stop_loss);
  s.take_profit_abs = std::fabs(st.take_profit);
  s.trail_stop_abs = std::fabs(st.trail_stop);
  s.trail_stop_activation_abs = std::fabs(st.trail_stop_activation);

  for (s.d = 0; s.d < nrows; ++s.d) {
    s.date = s.price_index(s.d);
    const auto first_weight = s.pos_index.checked(0);
    if (!first_weight) return nullptr;
    if (s.date < *first_weight) {
      s.creturn[s.d] = 1.0;
      continue;
    }
    if (!simulate_row(s)) return nullptr;
  }
  if (!finish_run(s)) return nullptr;
  if (ledger && s.ex.on) {
    for (int sid : s.ex.carried) {
      if (std::isnan(s.ex.carry_w[sid])) continue;
      ledger->carried_sid.push_back(sid);
      ledger->carried_weight.push_back(s.ex.carry_w[sid]);
    }
  }
  if (ledger) {
    ledger->finish();
    g.ledger = std::move(ledger);
  }
  return creturn.release();
}


// Published only by a run that completes: a failed run leaves no ledger. A
// recording run reuses the last one's storage, whose pages are mapped.
std::unique_ptr<Ledger> take_ledger(bool record) {
  std::unique_ptr<Ledger> ledger = std::move(g.ledger);
  if (!record)
    ledger.reset();
  else if (!ledger)
    ledger = std::make_unique<Ledger>();
  return ledger;
}

bool refuse_if_busy(const char* name) {
  if (!g.busy) return false;
  PyErr_Format(PyExc_RuntimeError, "%s() cannot start: a run is already in progress in this process", name);
  return true;
}

constexpr const char* kSwitchKeys[] = {"ledger", "arrays", "financing", "controls", "execution"};

// run_'s first argument: a dict of the switches, each key optional.
bool parse_switches(PyObject* given, RunSwitches* sw, bool* ledger) {
  if (!PyDict_Check(given)) {
    PyErr_Format(PyExc_TypeError, "run_() takes a dict of the run's switches first, got %.200s",
                 Py_TYPE(given)->tp_name);
    return false;
  }
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(given, &pos, &key, &value)) {
    bool known = false;
    for (const char* k : kSwitchKeys) known = known || (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, k) == 0);
    if (!known) {
      PyErr_Format(PyExc_TypeError, "run_() got an unknown switch %R (known: ledger, arrays, financing, controls, execution)", key);
      return false;
    }
  }
  PyObject* v = PyDict_GetItemString(given, "ledger");
  if (v && !to_truth(v, ledger)) return false;
  v = PyDict_GetItemString(given, "arrays");
  bool arrays = false;
  if (v && !to_truth(v, &arrays)) return false;
  sw->arrays = arrays ? 1 : 0;
  PyRef none = PyRef::steal(PyTuple_New(0));
  if (!none) return false;
  for (const char* k : {"financing", "controls"}) {
    v = PyDict_GetItemString(given, k);
    if (!v || v == Py_None) continue;
    if (!PyDict_Check(v)) {
      PyErr_Format(PyExc_TypeError, "run_(): switch '%s' must be a dict or None, got %.200s", k, Py_TYPE(v)->tp_name);
      return false;
    }
    const bool ok = k[0] == 'f' ? parse_financing(none.get(), v, sw->financing)
                                : parse_book_controls(none.get(), v, &sw->controls);
    if (!ok) return false;
  }
  v = PyDict_GetItemString(given, "execution");
  if (v && v != Py_None) {
    if (!PyDict_Check(v)) {
      PyErr_Format(PyExc_TypeError, "run_(): switch 'execution' must be a dict or None, got %.200s",
                   Py_TYPE(v)->tp_name);
      return false;
    }
    if (!parse_execution(v, &sw->execution)) return false;
  }
  sw->who = "run_: financing";
  return true;
}

}  // namespace

PyObject* backtest_(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane.core.tradeloom.backtest_", [&]() -> PyObject* {
    if (refuse_if_busy("backtest_")) return nullptr;  // before anything is read or written
    RunInProgress running;
    RunSwitches sw;
    for (int i = 0; i < 4; ++i) sw.financing[i] = g.financing[i];
    sw.controls = g.controls;
    return run_backtest(args, kwargs, take_ledger(g.record_ledger), sw);
  });
}

PyObject* run_(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane.core.tradeloom.run_", [&]() -> PyObject* {
    if (refuse_if_busy("run_")) return nullptr;
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (nargs < 1) {
      PyErr_SetString(PyExc_TypeError, "run_() takes a dict of the run's switches first, got no argument");
      return nullptr;
    }
    RunSwitches sw;
    bool ledger = false;
    // The switch arrays are borrowed from the dicts: held by the argument tuple.
    if (!parse_switches(PyTuple_GET_ITEM(args, 0), &sw, &ledger)) return nullptr;
    PyRef rest = PyRef::steal(PyTuple_GetSlice(args, 1, nargs));
    if (!rest) return nullptr;
    // Held until every result is read: no other run can start and replace them.
    RunInProgress running;
    PyRef creturn = PyRef::steal(run_backtest(rest.get(), kwargs, take_ledger(ledger), sw));
    if (!creturn) return nullptr;
    PyRef trades = PyRef::steal(trade_arrays_of_last_run());
    if (!trades) return nullptr;
    PyRef operations = PyRef::steal(PyDict_Copy(g.stock_operations));
    if (!operations) return nullptr;
    PyRef book = PyRef::steal(ledger_of_last_run());
    if (!book) return nullptr;
    return PyTuple_Pack(4, creturn.get(), trades.get(), operations.get(), book.get());
  });
}

}  // namespace orvane::tradeloom
