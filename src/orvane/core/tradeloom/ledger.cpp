// The opt-in ledger: per-bar and per-trade money accounting kept while a run
// trades, and the module switch and accessor that expose it.
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "args.h"
#include "errors.h"
#include "pyref.h"
#include "tradeloom.h"

namespace orvane::tradeloom {

void Ledger::start(RunState& run, size_t nrows, size_t nsids) {
  // assign and clear keep the capacity of a reused ledger.
  cash.assign(nrows, 1.0);
  long_value.assign(nrows, 0.0);
  short_value.assign(nrows, 0.0);
  fees.assign(nrows, 0.0);
  tax.assign(nrows, 0.0);
  interest.assign(nrows, 0.0);
  borrow.assign(nrows, 0.0);
  dividends.assign(nrows, 0.0);
  dividends_paid.assign(nrows, 0.0);
  for (auto* v : {&slippage, &spread, &impact}) {
    if (run.ex.on)
      v->assign(nrows, 0.0);
    else
      v->clear();
  }
  row_slippage = row_spread = row_impact = 0.0;
  fill_row.clear();
  fill_sid.clear();
  for (auto* v : {&fill_value, &fill_price, &fill_fee, &fill_tax, &fill_costs}) v->clear();
  for (auto* v : {&shortfall_row, &stalled_row}) v->clear();
  for (auto* v : {&shortfall_sid, &stalled_sid, &carried_sid}) v->clear();
  shortfall.clear();
  carried_weight.clear();
  names_held.assign(nrows, 0);
  trades.clear();
  open.assign(nsids, Record{});
  mark.assign(nsids, std::numeric_limits<double>::quiet_NaN());
  row_fees = row_tax = unlisted_pnl = 0.0;
  ruin_row = -1;
  at_ruin.clear();
  ruin_mark.clear();
  ruin_open.clear();
  run_ = &run;
}

namespace {

// m[row, col] when in range, else NaN: the engine has already read (and
// checked) every cell the ledger asks for, so this never raises.
double cell(const View2<double>& m, npy_intp row, int col) {
  if (!m.present || row < 0 || row >= m.n0 || col < 0 || col >= m.n1) return std::numeric_limits<double>::quiet_NaN();
  return m(row, col);
}

}  // namespace

double Ledger::trading_price(int sid, npy_intp row) const {
  return cell(run_->price_values, row, price_column(*run_, sid));
}

double Ledger::closing_price(int sid, npy_intp row) const {
  return cell(run_->close_values, row, price_column(*run_, sid));
}

double Ledger::marked_price(int sid) const {
  return mark[sid] == kMarkedAtEntry ? trading_price(sid, open[sid].entry_row) : mark[sid];
}

void Ledger::book_execution(Record& rec, const CostRates& r, double traded) {
  const double slip = traded * r.slippage, half = traded * r.spread, imp = traded * r.impact;
  rec.slippage += slip;
  rec.spread += half;
  rec.impact += imp;
  if (!(rec.participation >= r.participation)) rec.participation = r.participation;  // NaN yields
  rec.capped = rec.capped || r.capped;
}

void Ledger::trade(int sid, Event ev, double old_value, double new_value, double cash_before, double cash_after,
                   double notional, double fee, double tax_paid, double cost, bool flip,
                   double closing_fee, const CostRates* rates) {
  row_fees += fee;
  row_tax += tax_paid;
  if (notional != 0) {
    // A buy takes cash, a sale brings it; the price is the fill's (an intrabar exit's level
    // or the row's trading price, which the walk marked), or the row's for a new holding.
    const bool held = old_value != 0;
    fill_row.push_back(run_->d);
    fill_sid.push_back(sid);
    fill_value.push_back(cash_after < cash_before ? notional : -notional);
    fill_price.push_back(held ? marked_price(sid) : trading_price(sid, run_->d));
    fill_fee.push_back(fee);
    fill_tax.push_back(tax_paid);
    fill_costs.push_back(cost);
  }
  Record& rec = open[sid];
  // Without a cut (splits off) one record holds both sides, and so the whole cost.
  if (ev != Event::kSplit) flip = false;
  if (!flip) closing_fee = 0.0;
  // The part of the traded money that sold the old side of a flip.
  const double closing_traded = flip ? std::fabs(old_value) : 0.0;
  if (rates) {
    row_slippage += notional * rates->slippage;
    row_spread += notional * rates->spread;
    row_impact += notional * rates->impact;
    if (flip) book_execution(rec, *rates, closing_traded);
  }
  if (ev == Event::kSplit) {
    // The record ends at its value and the next starts from it. A plain cut trades
    // nothing; a flip sold the old side, and that fee belongs to the record it closes.
    rec.flows -= closing_fee;
    rec.costs += closing_fee;
    close_record(sid, old_value, flip ? std::fabs(old_value) : 0.0, marked_price(sid), run_->d, flip);
    rec.start_value = old_value;
    rec.entry_row = run_->d;
  } else if (ev == Event::kEntry) {
    // Added, not set: an entry over a record the analytics never closed (its
    // value went to 0.0 without an exit) carries that record's money on.
    rec.start_value += old_value;
    rec.entry_notional = notional;
    rec.entry_row = run_->d;
    // Read only if the holding leaves before it is marked: a read of the price
    // matrix here would miss the cache on nearly every entry.
    mark[sid] = kMarkedAtEntry;
  }
  if (ev == Event::kEntry || ev == Event::kSplit) rec.entry_value = new_value;
  if (rates) book_execution(rec, *rates, notional - closing_traded);
  rec.flows += (cash_after - cash_before) + closing_fee;
  rec.costs += cost - closing_fee;
  if (ev == Event::kExit) close_record(sid, new_value, notional, marked_price(sid), run_->d);
}

void Ledger::close_record(int sid, double end_value, double sold, double price, int64_t row, bool flip) {
  Record& rec = open[sid];
  const double nan = std::numeric_limits<double>::quiet_NaN();
  TradeRow out{rec.entry_row, row, rec.entry_notional, sold, price,
               (rec.flows + end_value) - rec.start_value, rec.costs, rec.financing, rec.entry_value, sid, flip,
               nan, nan, nan, nan, rec.slippage, rec.spread, rec.impact, rec.participation, rec.capped,
               end_value};
  // The first record listed for a sid after the ruin is the one open at it.
  if (ruin_row >= 0 && ruin_open[sid]) {
    const Record& then = at_ruin[sid];
    out.ruin_pnl = then.flows - then.start_value;
    out.ruin_costs = then.costs;
    out.ruin_price = ruin_mark[sid];
    out.ruin_financing = then.financing;
    ruin_open[sid] = 0;
  }
  trades.push_back(out);
  const int64_t entered = rec.entry_row;
  rec = Record{};
  rec.entry_row = entered;
}

void Ledger::close_row(npy_intp d, double cash_now, double long_now, double short_now, int64_t held,
                       double balance) {
  if (ruin_row < 0 && balance <= 0.0) mark_ruin(d);
  cash[d] = cash_now;
  long_value[d] = long_now;
  short_value[d] = short_now;
  fees[d] = row_fees;
  tax[d] = row_tax;
  names_held[d] = held;
  row_fees = row_tax = 0.0;
  if (!slippage.empty()) {
    slippage[d] = row_slippage;
    spread[d] = row_spread;
    impact[d] = row_impact;
    row_slippage = row_spread = row_impact = 0.0;
  }
}

void Ledger::mark_ruin(npy_intp d) {
  RunState& s = *run_;
  ruin_row = d;
  at_ruin.assign(open.size(), Record{});
  ruin_mark.assign(open.size(), std::numeric_limits<double>::quiet_NaN());
  ruin_open.assign(open.size(), 0);
  // Each record as if sold at this close, without exit costs; flows then carry its value.
  s.pos.for_each([&](int sid, double& v) {
    const double trade_price = trading_price(sid, d), close = closing_price(sid, d);
    const bool priced = !(std::isnan(trade_price) || std::isnan(close));
    at_ruin[sid] = open[sid];
    at_ruin[sid].flows += priced ? (v * close) / trade_price : v;
    ruin_mark[sid] = priced ? close : marked_price(sid);
    ruin_open[sid] = 1;
  });
}

void Ledger::finish() {
  RunState& s = *run_;
  const npy_intp last = s.price_index.n - 1;
  // In ascending sid and skipping 0.0 entries, as end_analysis closes them.
  s.pos.for_each([&](int sid, double& v) {
    if (v == 0.0) return;
    const double trade_price = trading_price(sid, last), close = closing_price(sid, last);
    // The close valuation of the last row: book value when either price is missing.
    if (std::isnan(trade_price) || std::isnan(close))
      close_record(sid, v, 0.0, marked_price(sid), -1);
    else
      close_record(sid, (v * close) / trade_price, 0.0, close, -1);
  });
  // What is left was booked to records the analytics never closed: a holding
  // whose value reached exactly 0.0 without an exit (a fee ratio of 1, or a
  // resize the arithmetic rounds to nothing) and was not entered again.
  for (const Record& rec : open) unlisted_pnl += rec.flows - rec.start_value;
  run_ = nullptr;
}

namespace {

// The ledger's columns as get_ledger lists them, published as LEDGER_ROWS (per price
// row) and LEDGER_TRADES (per trade record); FLOWS are the row columns of money that
// financing pays into cash (dividends_paid is the shorts' part of dividends).
constexpr const char* kLedgerRows[] = {"cash", "long_value", "short_value", "fees", "tax", "names_held",
                                       "interest", "borrow", "dividends", "dividends_paid"};
constexpr size_t kNamesHeld = 5;
constexpr const char* kFlows[] = {kLedgerRows[6], kLedgerRows[7], kLedgerRows[8]};
constexpr const char* kLedgerTrades[] = {"trade_sid", "entry_row", "exit_row", "entry_notional", "exit_notional",
                                         "exit_price", "pnl", "costs", "financing", "entry_value", "flip",
                                         "ruin_pnl", "ruin_costs", "ruin_price", "ruin_financing",
                                         "slippage_cost", "spread_cost", "impact_cost", "participation",
                                         "capped", "end_value"};
// With the execution switch: the row columns of its costs by kind (COST_KINDS, money, in
// `costs` of the trades already), and its events (shortfall per row and sid as it changes,
// names not traded for want of an ADV, targets still carried after the last row).
constexpr const char* kCostKinds[] = {"slippage", "spread", "impact"};
// Every trade of the run (the ledger's "fills"): row, sid, money traded (bought > 0), price,
// fee, tax and all costs.
constexpr const char* kLedgerFills[] = {"fill_row", "fill_sid", "fill_value", "fill_price", "fill_fee",
                                        "fill_tax", "fill_costs"};
constexpr const char* kExecutionEvents[] = {"shortfall_row", "shortfall_sid", "shortfall", "stalled_row",
                                            "stalled_sid", "carried_sid", "carried_weight"};

constexpr const char* kSwitchParams[] = {"on"};
constexpr Signature kSwitchSig{"record_ledger", kSwitchParams, 1, 1};
constexpr Signature kGetSig{"get_ledger", nullptr, 0, 0};

template <class T>
bool put(PyObject* dict, const char* key, const std::vector<T>& v, int typenum) {
  npy_intp n = static_cast<npy_intp>(v.size());
  PyRef a = PyRef::steal(PyArray_SimpleNew(1, &n, typenum));
  if (!a) return false;
  if (n) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())), v.data(), v.size() * sizeof(T));
  return PyDict_SetItemString(dict, key, a.get()) == 0;
}

// A new 1-D array of n values, and where its values go.
template <class T>
PyObject* new_column(npy_intp n, int typenum, T** data) {
  PyObject* a = PyArray_SimpleNew(1, &n, typenum);
  if (a) *data = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)));
  return a;
}

// The trade rows' columns as new arrays, filled in one pass over the rows: each row
// is read from memory once, not once per column.
bool put_trade_columns(PyObject* d, const std::vector<Ledger::TradeRow>& rows) {
  const npy_intp n = static_cast<npy_intp>(rows.size());
  // Set by new_column; null until then (the rows are written only once all are set).
  int32_t* sid = nullptr;
  int64_t *entry_row = nullptr, *exit_row = nullptr;
  double *entry_notional = nullptr, *exit_notional = nullptr, *exit_price = nullptr, *pnl = nullptr,
         *costs = nullptr, *financing = nullptr, *entry_value = nullptr, *ruin_pnl = nullptr,
         *ruin_costs = nullptr, *ruin_price = nullptr, *ruin_financing = nullptr, *slippage = nullptr,
         *spread = nullptr, *impact = nullptr, *participation = nullptr, *end_value = nullptr;
  bool *flip = nullptr, *capped = nullptr;
  // In the order the dict lists them.
  // In the order of kLedgerTrades.
  const PyRef columns[] = {
      PyRef::steal(new_column(n, NPY_INT32, &sid)),
      PyRef::steal(new_column(n, NPY_INT64, &entry_row)),
      PyRef::steal(new_column(n, NPY_INT64, &exit_row)),
      PyRef::steal(new_column(n, NPY_DOUBLE, &entry_notional)),
      PyRef::steal(new_column(n, NPY_DOUBLE, &exit_notional)),
      PyRef::steal(new_column(n, NPY_DOUBLE, &exit_price)),
      PyRef::steal(new_column(n, NPY_DOUBLE, &pnl)),
      PyRef::steal(new_column(n, NPY_DOUBLE, &costs)),
      PyRef::steal(new_column(n, NPY_DOUBLE, &financing)),
      PyRef::steal(new_column(n, NPY_DOUBLE, &entry_value)),
      PyRef::steal(new_column(n, NPY_BOOL, &flip)),
      PyRef::steal(new_column(n, NPY_DOUBLE, &ruin_pnl)),
      PyRef::steal(new_column(n, NPY_DOUBLE, &ruin_costs)),
      PyRef::steal(new_column(n, NPY_DOUBLE, &ruin_price)),
      PyRef::steal(new_column(n, NPY_DOUBLE, &ruin_financing)),
      PyRef::steal(new_column(n, NPY_DOUBLE, &slippage)),
      PyRef::steal(new_column(n, NPY_DOUBLE, &spread)),
      PyRef::steal(new_column(n, NPY_DOUBLE, &impact)),
      PyRef::steal(new_column(n, NPY_DOUBLE, &participation)),
      PyRef::steal(new_column(n, NPY_BOOL, &capped)),
      PyRef::steal(new_column(n, NPY_DOUBLE, &end_value)),
  };
  static_assert(sizeof(columns) / sizeof(columns[0]) == sizeof(kLedgerTrades) / sizeof(kLedgerTrades[0]));
  for (const auto& column : columns)
    if (!column) return false;
  for (npy_intp i = 0; i < n; ++i) {
    const Ledger::TradeRow& r = rows[static_cast<size_t>(i)];
    sid[i] = r.sid;
    entry_row[i] = r.entry_row;
    exit_row[i] = r.exit_row;
    entry_notional[i] = r.entry_notional;
    exit_notional[i] = r.exit_notional;
    exit_price[i] = r.exit_price;
    pnl[i] = r.pnl;
    costs[i] = r.costs;
    financing[i] = r.financing;
    entry_value[i] = r.entry_value;
    flip[i] = r.flip;
    ruin_pnl[i] = r.ruin_pnl;
    ruin_costs[i] = r.ruin_costs;
    ruin_price[i] = r.ruin_price;
    ruin_financing[i] = r.ruin_financing;
    slippage[i] = r.slippage;
    spread[i] = r.spread;
    impact[i] = r.impact;
    participation[i] = r.participation;
    capped[i] = r.capped;
    end_value[i] = r.end_value;
  }
  for (size_t i = 0; i < sizeof(columns) / sizeof(columns[0]); ++i)
    if (PyDict_SetItemString(d, kLedgerTrades[i], columns[i].get()) < 0) return false;
  return true;
}

PyObject* record_ledger_impl(PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  if (!bind_args(kSwitchSig, args, kwargs, a)) return nullptr;
  bool on;
  if (!to_truth(a[0], &on)) return nullptr;
  const bool was = g.record_ledger;
  g.record_ledger = on;
  return PyBool_FromLong(was);
}

PyObject* get_ledger_impl(PyObject* args, PyObject* kwargs) {
  if (!bind_args(kGetSig, args, kwargs, nullptr)) return nullptr;
  return ledger_of_last_run();
}

}  // namespace

PyObject* ledger_of_last_run() {
  if (!g.ledger) Py_RETURN_NONE;
  const Ledger& l = *g.ledger;
  PyRef out = PyRef::steal(PyDict_New());
  if (!out) return nullptr;
  PyObject* d = out.get();
  const std::vector<double>* money[] = {&l.cash, &l.long_value, &l.short_value, &l.fees, &l.tax,
                                        &l.interest, &l.borrow, &l.dividends, &l.dividends_paid};
  static_assert(sizeof(money) / sizeof(money[0]) + 1 == sizeof(kLedgerRows) / sizeof(kLedgerRows[0]));
  bool ok = true;
  for (size_t i = 0, k = 0; ok && i < sizeof(kLedgerRows) / sizeof(kLedgerRows[0]); ++i)
    ok = i == kNamesHeld ? put(d, kLedgerRows[i], l.names_held, NPY_INT64)
                         : put(d, kLedgerRows[i], *money[k++], NPY_DOUBLE);
  if (!ok || !put_trade_columns(d, l.trades)) return nullptr;
  ok = put(d, kLedgerFills[0], l.fill_row, NPY_INT64) && put(d, kLedgerFills[1], l.fill_sid, NPY_INT32);
  const std::vector<double>* fills[] = {&l.fill_value, &l.fill_price, &l.fill_fee, &l.fill_tax, &l.fill_costs};
  for (size_t i = 0; ok && i < 5; ++i) ok = put(d, kLedgerFills[2 + i], *fills[i], NPY_DOUBLE);
  if (!ok) return nullptr;
  if (!l.slippage.empty()) {
    const std::vector<double>* kinds[] = {&l.slippage, &l.spread, &l.impact};
    for (size_t i = 0; ok && i < 3; ++i) ok = put(d, kCostKinds[i], *kinds[i], NPY_DOUBLE);
    ok = ok && put(d, kExecutionEvents[0], l.shortfall_row, NPY_INT64) &&
         put(d, kExecutionEvents[1], l.shortfall_sid, NPY_INT32) && put(d, kExecutionEvents[2], l.shortfall, NPY_DOUBLE) &&
         put(d, kExecutionEvents[3], l.stalled_row, NPY_INT64) && put(d, kExecutionEvents[4], l.stalled_sid, NPY_INT32) &&
         put(d, kExecutionEvents[5], l.carried_sid, NPY_INT32) &&
         put(d, kExecutionEvents[6], l.carried_weight, NPY_DOUBLE);
    if (!ok) return nullptr;
  }
  PyRef unlisted = PyRef::steal(PyFloat_FromDouble(l.unlisted_pnl));
  if (!unlisted || PyDict_SetItemString(d, "unlisted_pnl", unlisted.get()) < 0) return nullptr;
  return out.release();
}

bool publish_ledger_names(PyObject* module) {
  return publish_names(module, "LEDGER_ROWS", kLedgerRows) && publish_names(module, "LEDGER_TRADES", kLedgerTrades) &&
         publish_names(module, "FLOWS", kFlows) && publish_names(module, "COST_KINDS", kCostKinds) &&
         publish_names(module, "EXECUTION_EVENTS", kExecutionEvents) &&
         publish_names(module, "LEDGER_FILLS", kLedgerFills);
}

PyObject* record_ledger(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane.core.tradeloom.record_ledger", [&] { return record_ledger_impl(args, kwargs); });
}

PyObject* get_ledger(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane.core.tradeloom.get_ledger", [&] { return get_ledger_impl(args, kwargs); });
}

}  // namespace orvane::tradeloom
