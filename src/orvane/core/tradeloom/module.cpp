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

constexpr Signature kNoArgs{"get_stock_operations", nullptr, 0, 0};

PyObject* get_stock_operations_impl(PyObject* args, PyObject* kwargs) {
  if (!bind_args(kNoArgs, args, kwargs, nullptr)) return nullptr;
  return PyDict_Copy(g.stock_operations);
}

// Docstrings open with CPython's "name(signature)\n--\n\n" line, from which
// help() and inspect.signature read the parameters and their defaults.
PyMethodDef kMethods[] = {
    {"get_stock_operations", ORVANE_KW_FUNC(get_stock_operations), METH_VARARGS | METH_KEYWORDS,
     "get_stock_operations()\n--\n\n"
     "A shallow copy of the record of the last completed run: a new dict with the\n"
     "keys 'actions' (sid -> 'enter', 'exit', 'hold', 'tp', 'sl', 'tp_enter',\n"
     "'sl_enter', 'tp_' or 'sl_'), 'weights' and 'next_weights' (sid -> normalised\n"
     "weight now and after the next rebalance), 'weight_time' and\n"
     "'next_weight_time' (weight rows). Its values are shared with the record.\n"
     "Before the first run: {}."},
    {"normalize_weight", ORVANE_KW_FUNC(normalize_weight), METH_VARARGS | METH_KEYWORDS,
     "normalize_weight(weights, position_limit)\n--\n\n"
     "Make a mapping of weights holdable, in place, and return the same mapping.\n\n"
     "When the gross exposure (sum of absolute weights) is above 1, every weight is\n"
     "multiplied by 1 / gross exposure; then each weight is clipped to\n"
     "[-position_limit, position_limit]. Host arithmetic on the stored numbers;\n"
     "no rollback on error."},
    {"ioft", ORVANE_KW_FUNC(ioft), METH_VARARGS | METH_KEYWORDS,
     "ioft(v)\n--\n\n"
     "Nanoseconds since the Unix epoch (int, float or any number type) to a naive\n"
     "datetime in the process's local time: datetime.fromtimestamp(v / 1e9)."},
    {"backtest_", ORVANE_KW_FUNC(backtest_), METH_VARARGS | METH_KEYWORDS,
     "backtest_(price_values, close_values, high_values, low_values, open_values, price_index, price_columns, "
     "pos_values, pos_index, pos_columns, resample, fee_ratio=0.001425, tax_ratio=0.003, stop_loss=1.0, "
     "take_profit=org_np.inf, trail_stop=org_np.inf, trail_stop_activation=0.0, touched_exit=False, "
     "position_limit=1.0, retain_cost_when_rebalance=False, stop_trading_next_period=True, tidemark_window=0, "
     "tidemark_window_step=1, periodically_rebalance=True, delisting_bars=None)\n--\n\n"
     "Simulate a long/short portfolio over the price rows; return its value series.\n\n"
     "price_values, close_values, high_values, low_values, open_values: 2-D float64\n"
     "    [price row, price column]: trading, closing, high, low and open prices\n"
     "    (NaN: missing). Any strides, orders and alignments.\n"
     "price_index: 1-D int64 timestamps (ns) of the price rows, ascending.\n"
     "price_columns, pos_columns: 1-D object arrays of text labels; weight columns\n"
     "    are paired with price columns by their exact UTF-8 bytes.\n"
     "pos_values: 2-D float64 target weights [weight row, stock], fractions of the\n"
     "    portfolio value; pos_index: their 1-D int64 timestamps, ascending.\n"
     "resample: 1-D int64 timestamps of the scheduled rebalance dates.\n"
     "fee_ratio: fee on every traded value; tax_ratio: tax on top of it for\n"
     "    trades that reduce or close a holding.\n"
     "stop_loss, take_profit, trail_stop, trail_stop_activation: exit distances,\n"
     "    fractions of the entry price (absolute values used).\n"
     "touched_exit: true exits intrabar at the level touched; false exits on the\n"
     "    next row after a close beyond the level.\n"
     "position_limit: largest absolute position, a fraction of portfolio value.\n"
     "retain_cost_when_rebalance: holdings that keep their side at a rebalance\n"
     "    keep their return and trade records.\n"
     "stop_trading_next_period: stocks stopped out since the last rebalance are not\n"
     "    bought back at the next one (tested for truth at each use).\n"
     "tidemark_window, tidemark_window_step: look-ahead window (rows) and sampling\n"
     "    step of the per-trade excursion records.\n"
     "periodically_rebalance: a rebalance that keeps a holding cuts its trade\n"
     "    record in two.\n"
     "delisting_bars: None, or a 1-D int64 buffer: per stock the row at which it\n"
     "    is delisted and sold (negative: never).\n\n"
     "Returns creturn, 1-D float64: the portfolio value at each price row relative\n"
     "to a starting value of 1.0. Afterwards get_trade_stocks, get_stock_operations\n"
     "and the lists of orvane.core.tidemark hold the run's trades and records.\n"
     "One run at a time per process: a call made while a run is in progress\n"
     "(from a callback or another thread) raises RuntimeError."},
    {"get_trade_stocks", ORVANE_KW_FUNC(get_trade_stocks), METH_VARARGS | METH_KEYWORDS,
     "get_trade_stocks(pos_columns, price_index, touched_exit)\n--\n\n"
     "The last run's trades as rows, and its record.\n\n"
     "pos_columns: the run's 1-D object array of weight-column labels.\n"
     "price_index: the run's 1-D int64 price timestamps.\n"
     "touched_exit: the run's exit rule (taken by truth value).\n\n"
     "Returns (rows, stock_operations): one list per trade, [stock, entry_time,\n"
     "exit_time, entry_signal_time, exit_signal_time, position_size, period,\n"
     "entry_row, exit_row], -1 marking the exit fields of a trade still open;\n"
     "and the module's record itself (not a copy, see get_stock_operations)."},
    {"record_ledger", ORVANE_KW_FUNC(record_ledger), METH_VARARGS | METH_KEYWORDS,
     "record_ledger(on)\n--\n\n"
     "Switch the ledger of later backtest_ runs on or off (off at import); return\n"
     "the previous setting. Each run reads the switch once, when it starts.\n"
     "Recording leaves creturn and every other result of a run unchanged."},
    {"get_ledger", ORVANE_KW_FUNC(get_ledger), METH_VARARGS | METH_KEYWORDS,
     "get_ledger()\n--\n\n"
     "The ledger of the last backtest_ run, as a new dict of new 1-D arrays and\n"
     "one float, or None when that run recorded none (switch off) or did not\n"
     "complete (every run drops the previous ledger when it starts). Money is in\n"
     "fractions of the starting capital 1.0; notionals are unsigned.\n\n"
     "Per price row (rows before the first weight date hold cash 1.0 and zeros):\n"
     "  cash, long_value, short_value (float64): cash after the row and the book's\n"
     "    long and short sides at the close, as valued into creturn; short_value\n"
     "    <= 0. cash + long_value + short_value equals creturn up to the rounding\n"
     "    of long_value and short_value themselves.\n"
     "  fees, tax (float64): fees and tax paid on the row.\n"
     "  names_held (int64): holdings with a non-zero value at the close.\n"
     "  interest, borrow, dividends (float64): the row's financing flows into cash\n"
     "    (see set_financing; zeros without it); borrow <= 0, a short's dividend < 0.\n"
     "  dividends_paid (float64): the part of dividends the shorts paid (<= 0).\n"
     "Per trade record, aligned with tidemark.trades:\n"
     "  trade_sid (int32), entry_row, exit_row (int64; exit_row -1: still open).\n"
     "  entry_notional (float64): money traded at entry; 0 for a record that\n"
     "    continues a kept holding after a rebalance cut its record in two.\n"
     "  exit_notional (float64): money sold at exit; 0 for a cut or an open trade.\n"
     "  exit_price (float64): the price the exit filled at (the level or open\n"
     "    touched intrabar, else the trading price it was last marked at); for an\n"
     "    open trade the last close (its mark price when that bar has none).\n"
     "  costs (float64): every fee and tax the record paid: entry, resizes at\n"
     "    rebalances while it was open, exit.\n"
     "  pnl (float64): cash flows booked to the record plus its end value less\n"
     "    its start value, costs included; an open trade is valued at the last\n"
     "    close without exit costs.\n"
     "  financing (float64): the borrow fees and dividends booked to the record\n"
     "    (already in its pnl).\n"
     "  entry_value (float64): the position's signed value right after the trade\n"
     "    that opened (or cut) the record.\n"     "  flip (bool), ruin_pnl, ruin_costs, ruin_price, ruin_financing (float64):\n"
     "    a record closed by going straight to the other side; for the records open\n"
     "    at the close of the first row that left the book worth 0 or less, their\n"
     "    pnl, costs, mark and financing there (NaN for the others).\n"
     "unlisted_pnl (float): P&L of records the analytics never list (a holding\n"
     "  whose value reached exactly 0.0 without an exit); normally 0.0.\n"
     "sum(pnl) + unlisted_pnl + sum(interest) == creturn[-1] - 1.0, exactly in\n"
     "exact arithmetic."},
    {"set_financing", ORVANE_KW_FUNC(set_financing), METH_VARARGS | METH_KEYWORDS,
     "set_financing(cash=None, rebate=None, borrow=None, dividends=None)\n--\n\n"
     "Set the financing of later backtest_ runs (all None, at import: none); every\n"
     "array is float64 and is kept, by reference, until the next call. A run whose\n"
     "price rows or columns do not match an array raises ValueError. With every\n"
     "argument None a run is exactly as without this function.\n\n"
     "On each row d after the first the run trades, before it marks or trades, for\n"
     "the book as it stood at the close of row d - 1 (each holding valued as that\n"
     "row's creturn valued it, `c`; `shorts` the sum of the negative ones):\n"
     "  cash[d] (1-D, price rows): accrual factor (rate x year fraction of the\n"
     "    interval from row d - 1 to d) of cash; interest = cash[d] * cash held.\n"
     "  rebate[d] (1-D): accrual of the short proceeds (-shorts); given, interest =\n"
     "    cash[d] * (cash + shorts) + rebate[d] * (-shorts).\n"
     "  borrow[d, col] (2-D, price rows x price columns): accrual of each short's\n"
     "    fee; the holding pays c * borrow[d, col] (c < 0).\n"
     "  dividends[d, col] (2-D): cash per share going ex on row d; the holding\n"
     "    receives (c / close) * dividends[d, col] (a short pays), close being the\n"
     "    close of row d - 1, or the last trading price without one.\n"
     "NaN and 0.0 cells book nothing. The flows go to cash; borrow and dividends\n"
     "also to the holding's ledger record (pnl and financing). Exit rules keep\n"
     "testing price moves only."},
    {"set_book_controls", ORVANE_KW_FUNC(set_book_controls), METH_VARARGS | METH_KEYWORDS,
     "set_book_controls(max_gross=1.0, band=0.0, min_trade=0.0, lot=0.0)\n--\n\n"
     "Set the rebalance controls of later backtest_ runs; a call without arguments\n"
     "(or with these defaults) restores the documented rebalance exactly. Each run\n"
     "reads them once, when it starts. At a rebalance, with balance the book's value:\n"
     "  max_gross: a row whose gross weight exceeds it is scaled down to it (1.0: the\n"
     "    documented rule); the weights and next_weights records use the same limit\n"
     "    and are then only clipped to +-position_limit.\n"
     "  lot: money of one lot at price 1, as a fraction of the starting capital\n"
     "    (shares per lot / capital); above 0, each target (after position_limit) is\n"
     "    rounded toward zero to whole lots at the row's trading price, a buy's target\n"
     "    first divided by 1 + fee_ratio, and buying fees are paid from cash instead of\n"
     "    out of the position, so positions are whole lots.\n"
     "  band: a resize (a held position kept on its side, target not 0) whose target\n"
     "    is within band * |balance| of its value is not traded: no costs, no event,\n"
     "    its trade record goes on.\n"
     "  min_trade: a resize smaller than min_trade * |balance| is not traded either.\n"
     "Entries, exits and flips always trade. Raises ValueError for a non-finite\n"
     "value, max_gross <= 0 or a negative band, min_trade or lot."},
    {"get_trade_arrays", ORVANE_KW_FUNC(get_trade_arrays), METH_VARARGS | METH_KEYWORDS,
     "get_trade_arrays()\n--\n\n"
     "The lists of orvane.core.tidemark as new arrays, for readers that want\n"
     "columns: (trades, positions, records) with trades int64 [n, 3] (sid, entry\n"
     "row, exit row), positions float64 [n] and records float64 [n, record\n"
     "length], row k of each from entry k of trades, trade_positions and\n"
     "tidemark. The lists themselves are left as they are. Raises TypeError or\n"
     "ValueError when they do not hold what a run writes.\n\n"
     "After a run with record_arrays on, the run's own arrays instead: read-only,\n"
     "the same values, no copy (every call returns views of the same memory).\n"
     "A run that failed leaves what it recorded up to then, as the lists do;\n"
     "ValueError when it failed inside a record."},
    {"record_arrays", ORVANE_KW_FUNC(record_arrays), METH_VARARGS | METH_KEYWORDS,
     "record_arrays(on)\n--\n\n"
     "Switch array mode of later backtest_ runs on or off (off at import); return\n"
     "the previous setting. Each run reads the switch once, when it starts. In\n"
     "array mode the analytics keep each trade, its position and its excursion\n"
     "record in native arrays that get_trade_arrays returns, and make no Python\n"
     "object per trade: the lists of orvane.core.tidemark stay empty. creturn and\n"
     "every other result of a run are unchanged. A trade's excursion walk may wait\n"
     "behind a few later exits while its cells are fetched, so a walk that fails\n"
     "(on a zero price) fails the run a few exits later, with the same error."},
    {"run_", ORVANE_KW_FUNC(run_), METH_VARARGS | METH_KEYWORDS,
     "run_(switches, /, *args, **kwargs)\n--\n\n"
     "One backtest_ run with its switches given with it, and its results, in one\n"
     "call: no other run (another thread's, a callback's) can see the switches or\n"
     "replace the results before they are read. `switches` is a dict of optional\n"
     "keys: 'ledger' and 'arrays' (truth values, off when absent), 'financing' (a\n"
     "dict of set_financing's arguments) and 'controls' (a dict of\n"
     "set_book_controls' arguments), None or absent meaning none. The module's own\n"
     "switches are neither read nor changed. The remaining arguments are\n"
     "backtest_'s. Returns (creturn, trade_arrays, stock_operations, ledger):\n"
     "backtest_'s result, then what get_trade_arrays, get_stock_operations and\n"
     "get_ledger return right after it (ledger None with 'ledger' off); with\n"
     "'arrays' on, trade_arrays holds a fourth array: each trade's value at its\n"
     "exit, 1 + its return, after the exit's fee and tax at the exit bar's trading\n"
     "price (the last one seen when that bar has none) where the exit traded, and\n"
     "its exit block's close value where it did not (a cut record, an open one)."},
    {"whole_lots", ORVANE_KW_FUNC(whole_lots_py), METH_VARARGS | METH_KEYWORDS,
     "whole_lots(target, held, price, lot, fee_ratio)\n--\n\n"
     "The rebalance's rounding to whole lots under set_book_controls(lot=...): the\n"
     "money a holding worth `held` is taken to for a target of `target`, at `price`,\n"
     "in lots worth `lot` at price 1 (any one unit of money throughout). Toward zero\n"
     "to whole lots; a target that rounds to the lots held gives `held` (the run\n"
     "trades nothing); only the lots bought leave room for their fee, paid from\n"
     "cash. Without a positive finite price, `target` as given."},
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
  if (!publish_ledger_names(module.get()) || !publish_control_names(module.get()) ||
      !publish_execution_names(module.get()))
    return nullptr;
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
