// Opt-in execution by size and liquidity: slippage, half the spread and market impact
// charged as the fee is, a cap on each name's share of its money ADV, and the targets the
// cap leaves unfilled, carried to later rows. The caller computes every per-row figure
// from bars before that row; the engine only applies them.
#include <cmath>
#include <limits>

#include "args.h"
#include "errors.h"
#include "prefetch.h"
#include "pyref.h"
#include "tradeloom.h"

namespace orvane::tradeloom {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

enum Array { kAdv, kSigma, kSpread, kSlippage, kArrays };
constexpr const char* kParams[] = {"adv", "sigma", "spread", "slippage", "impact", "impact_exponent",
                                   "max_participation", "capital", "unfilled", "cap_exits"};
constexpr Signature kSig{"execution", kParams, 10, 0};

bool refuse(const char* name, const char* what, PyObject* got) {
  PyErr_Format(PyExc_ValueError, "run_: execution: %s must be %s, got %R", name, what, got);
  return false;
}

// m[row, col] when in range, else NaN (the row and column were read by the trade's price).
double at(const View2<double>& m, npy_intp row, int col) {
  if (!m.present || row < 0 || row >= m.n0 || col < 0 || col >= m.n1) return kNaN;
  return m(row, col);
}

// A per-row figure that may be missing: NaN costs nothing (the caller warns of it).
double or_zero(double v) { return std::isnan(v) ? 0.0 : v; }

void record_shortfall(RunState& s, int sid, double weight) {
  if (s.ex.unfilled[sid] == weight) return;
  s.ex.unfilled[sid] = weight;
  if (!s.ledger) return;
  s.ledger->shortfall_row.push_back(s.d);
  s.ledger->shortfall_sid.push_back(sid);
  s.ledger->shortfall.push_back(weight);
}

void carry(RunState& s, int sid, double weight) {
  if (std::isnan(s.ex.carry_w[sid])) s.ex.carried.push_back(sid);
  s.ex.carry_w[sid] = weight;
}

}  // namespace

bool parse_execution(PyObject* given, Execution* out) {
  PyRef none = PyRef::steal(PyTuple_New(0));
  if (!none) return false;
  PyObject* a[10] = {};
  if (!bind_args(kSig, none.get(), given, a)) return false;
  Execution x;
  for (int i = 0; i < kArrays; ++i) {
    if (!a[i] || a[i] == Py_None) continue;
    if (!check_ndarray_or_none(a[i], kParams[i])) return false;
    if (!check_array_buffer(reinterpret_cast<PyArrayObject*>(a[i]), 2, Elem::Float64, "double")) return false;
    x.arrays[i] = a[i];
  }
  double* reals[] = {&x.impact, &x.exponent, &x.max_participation, &x.capital};
  for (int i = 0; i < 4; ++i) {
    PyObject* v = a[kArrays + i];
    if (!v || v == Py_None) continue;
    if (!to_double(v, reals[i])) return false;
    const double r = *reals[i];
    const bool ok = std::isfinite(r) && (i == 0 ? r >= 0 : r > 0);
    if (!ok) return refuse(kParams[kArrays + i], i == 0 ? "a finite number of 0 or more" : "a finite number above 0", v);
  }
  if (PyObject* v = a[8]; v && v != Py_None) {
    const bool carry = PyUnicode_Check(v) && PyUnicode_CompareWithASCIIString(v, "carry") == 0;
    const bool cancel = PyUnicode_Check(v) && PyUnicode_CompareWithASCIIString(v, "cancel") == 0;
    if (!carry && !cancel) return refuse("unfilled", "'carry' or 'cancel'", v);
    x.carry = carry;
  }
  if (a[9] && !to_truth(a[9], &x.cap_exits)) return false;
  const bool sized = x.impact > 0 || x.max_participation > 0;
  if (sized && !x.arrays[kAdv]) {
    PyErr_SetString(PyExc_ValueError, "run_: execution: impact and max_participation need adv");
    return false;
  }
  if (sized && !(x.capital > 0)) {
    PyErr_SetString(PyExc_ValueError, "run_: execution: impact and max_participation need capital");
    return false;
  }
  if (x.impact > 0 && !x.arrays[kSigma]) {
    PyErr_SetString(PyExc_ValueError, "run_: execution: impact needs sigma");
    return false;
  }
  x.on = true;
  *out = x;
  return true;
}

bool bind_execution(RunState& s, const RunSwitches& sw, npy_intp nrows, npy_intp nprices) {
  const Execution& x = sw.execution;
  if (!x.on) return true;
  if (!s.ledger) {
    PyErr_SetString(PyExc_ValueError, "run_: the execution switch needs the ledger switch on");
    return false;
  }
  View2<double>* views[] = {&s.ex.adv, &s.ex.sigma, &s.ex.spread, &s.ex.slippage};
  for (int i = 0; i < kArrays; ++i) {
    PyObject* arr = x.arrays[i];
    if (!arr) continue;
    auto* a = reinterpret_cast<PyArrayObject*>(arr);
    if (PyArray_DIM(a, 0) != nrows || PyArray_DIM(a, 1) != nprices) {
      PyErr_Format(PyExc_ValueError, "run_: execution: %s is %zd x %zd, the run's prices are %zd x %zd", kParams[i],
                   PyArray_DIM(a, 0), PyArray_DIM(a, 1), nrows, nprices);
      return false;
    }
    *views[i] = view2<double>(arr);
  }
  s.ex.x = x;
  s.ex.on = true;
  s.ex.cap = x.max_participation > 0;
  s.ex.needs_adv = s.ex.cap || x.impact > 0;
  const size_t nsids = s.trk.size();
  s.ex.carry_w.assign(nsids, kNaN);
  s.ex.unfilled.assign(nsids, 0.0);
  s.ex.exit_row.assign(nsids, -1);
  s.ex.carried.clear();
  return true;
}

bool publish_execution_names(PyObject* module) { return publish_names(module, "EXECUTION", kParams); }

namespace {

// The costs of trading `traded` of column `col` on the current row, whose money ADV is `adv`.
CostRates rates_at(const RunState& s, int col, double traded, double adv) {
  const RunState::Exec& e = s.ex;
  CostRates r;
  r.slippage = or_zero(at(e.slippage, s.d, col));
  r.spread = or_zero(at(e.spread, s.d, col)) * 0.5;  // the full spread is quoted; half is paid
  r.participation = adv > 0 && std::isfinite(adv) ? traded * e.x.capital / adv : kNaN;
  if (e.x.impact > 0 && traded > 0 && r.participation > 0) {
    // The average cost over a trade whose marginal impact grows as participation^exponent.
    const double sigma = or_zero(at(e.sigma, s.d, col));
    const double grows = e.x.exponent == 0.5 ? std::sqrt(r.participation) : std::pow(r.participation, e.x.exponent);
    r.impact = e.x.impact * sigma * grows / (1.0 + e.x.exponent);
  }
  return r;
}

}  // namespace

CostRates execution_rates(const RunState& s, int sid, double traded) {
  const int col = price_column(const_cast<RunState&>(s), sid);
  return rates_at(s, col, traded, at(s.ex.adv, s.d, col));
}

double exit_allowance(const RunState& s, int sid, double value) {
  const RunState::Exec& e = s.ex;
  if (!e.on || !e.cap || !e.x.cap_exits) return std::fabs(value);
  const double adv = at(e.adv, s.d, price_column(const_cast<RunState&>(s), sid));
  if (!(adv > 0) || !std::isfinite(adv)) return 0.0;
  const double allowed = e.x.max_participation * adv / e.x.capital;
  return allowed < std::fabs(value) ? allowed : std::fabs(value);
}

double sell_on_exit(RunState& s, int sid, double value, Slot slot, double fill_scale) {
  RunState::Exec& e = s.ex;
  double allowed = exit_allowance(s, sid, value);
  const bool lots = s.ctl && s.ctl->lot > 0;
  if (allowed < std::fabs(value) && lots) {
    // Whole lots at the fill's price, toward zero, as a capped rebalance slice.
    const double unit = s.ctl->lot * (at(s.price_values, s.d, price_column(s, sid)) / fill_scale);
    allowed = unit > 0 && std::isfinite(unit) ? whole(allowed / unit) * unit : 0.0;
  }
  if (allowed >= std::fabs(value)) {
    drop_carry(s, sid);
    CostRates r = execution_rates(s, sid, std::fabs(value));
    return set_position(s.pos, sid, 0.0, s.cash, s.fee_ratio, s.tax_ratio, slot, s.ledger, 1.0, false, &r);
  }
  // Capped: what the cap allows is sold now, the rest is carried to later rows.
  CostRates r = execution_rates(s, sid, allowed);
  r.capped = true;
  const double rest = value > 0 ? value - allowed : value + allowed;
  // A book of whole lots pays a partial cover's costs from cash, as its buys do.
  const double cash =
      set_position(s.pos, sid, rest, s.cash, s.fee_ratio, s.tax_ratio, slot, s.ledger, 1.0, lots, &r, true);
  if (cash == -1.0 && PyErr_Occurred()) return -1.0;
  // The rest was valued at the exit's fill: it is held on at this row's trading price,
  // and marked there for what trades it later on this row.
  if (double* held = s.pos.find(sid)) *held = *held * fill_scale;
  if (s.ledger && fill_scale != 1.0) s.ledger->mark[sid] = at(s.price_values, s.d, price_column(s, sid));
  carry(s, sid, 0.0);
  e.exit_row[sid] = s.d;
  if (s.balance != 0) record_shortfall(s, sid, -rest * fill_scale / s.balance);
  return cash;
}

double trade_toward(RunState& s, int sid, double target, double cash, double balance, bool lots, Slot slot,
                    bool* reached, bool continues) {
  RunState::Exec& e = s.ex;
  const double* held = s.pos.find(sid);
  const double now = held ? *held : 0.0;
  const double distance = target - now;
  *reached = true;
  double position = target;
  bool capped = false;
  const int col = price_column(s, sid);
  const double adv = at(e.adv, s.d, col);
  if (e.needs_adv && distance != 0) {
    if (!(adv > 0) || !std::isfinite(adv)) {
      // No volume up to the signal bar: never traded at a zero or infinite cost.
      if (s.ledger) {
        s.ledger->stalled_row.push_back(s.d);
        s.ledger->stalled_sid.push_back(sid);
      }
      *reached = false;
      position = now;
    } else if (e.cap) {
      double allowed = e.x.max_participation * adv / e.x.capital;
      if (std::fabs(distance) > allowed) {
        if (lots) {
          // Whole lots round the capped quantity toward zero.
          const double price = at(s.price_values, s.d, col);
          const double unit = s.ctl->lot * price;
          allowed = unit > 0 && std::isfinite(unit) ? whole(allowed / unit) * unit : 0.0;
        }
        position = now + (distance > 0 ? allowed : -allowed);
        capped = true;
        *reached = false;
      }
    }
  }
  if (!*reached && e.x.carry && !std::isnan(balance) && balance != 0) carry(s, sid, target / balance);
  if (position == now && !*reached) {
    if (balance != 0) record_shortfall(s, sid, distance / balance);
    return cash;
  }
  CostRates r = rates_at(s, col, std::fabs(position - now), adv);
  r.capped = capped;
  cash = set_position(s.pos, sid, position, cash, s.fee_ratio, s.tax_ratio, slot, s.ledger, balance, lots, &r,
                      continues);
  if (cash == -1.0 && PyErr_Occurred()) return -1.0;
  if (balance != 0) record_shortfall(s, sid, *reached ? 0.0 : (target - position) / balance);
  return cash;
}

void prefetch_liquidity(const RunState& s, const std::vector<double>& targets) {
  const RunState::Exec& e = s.ex;
  if (!e.needs_adv) return;
  // A rebalance reads one cell per traded name from a row of each matrix no walk has
  // touched: asked for at once, the misses overlap instead of queueing one by one.
  for (size_t sid = 0; sid < targets.size(); ++sid) {
    if (targets[sid] == 0 && !s.pos.contains(static_cast<int>(sid))) continue;
    const int col = price_column(const_cast<RunState&>(s), static_cast<int>(sid));
    prefetch_cell<2>(e.adv, s.d, col);
    prefetch_cell<2>(e.sigma, s.d, col);
  }
}

void drop_carry(RunState& s, int sid) {
  s.ex.carry_w[sid] = kNaN;
  record_shortfall(s, sid, 0.0);
}

void drop_carries(RunState& s) {
  for (int sid : s.ex.carried) s.ex.carry_w[sid] = kNaN;
  s.ex.carried.clear();
  // Shortfalls left by "cancel" last until the next rebalance.
  for (size_t sid = 0; sid < s.ex.unfilled.size(); ++sid)
    if (s.ex.unfilled[sid] != 0.0) record_shortfall(s, static_cast<int>(sid), 0.0);
}

bool execute_carries(RunState& s) {
  RunState::Exec& e = s.ex;
  if (e.carried.empty()) return true;
  double balance = s.cash;
  s.pos.for_each([&](int, double& v) { balance = add_keep(balance, v); });
  const bool lots = s.ctl && s.ctl->lot > 0;
  for (int sid : e.carried) {
    const int col = price_column(s, sid);
    prefetch_cell<2>(e.adv, s.d, col);
    prefetch_cell<2>(e.sigma, s.d, col);
  }
  size_t kept = 0;
  for (size_t i = 0; i < e.carried.size(); ++i) {
    const int sid = e.carried[i];
    const double w = e.carry_w[sid];
    if (std::isnan(w)) continue;
    const int col = price_column(s, sid);
    const bool gone = s.delisting_bars.present && sid < s.delisting_bars.n && s.delisting_bars(sid) >= 0 &&
                      s.delisting_bars(sid) <= s.d;
    if (gone) {
      drop_carry(s, sid);
      continue;
    }
    const double price = at(s.price_values, s.d, col);
    e.carried[kept++] = sid;
    if (std::isnan(price)) continue;  // not trading on this row: the target waits
    if (!validate_trade_price(price, s.pos_columns.present && sid < s.pos_columns.n ? s.pos_columns(sid) : Py_None,
                              static_cast<int>(s.d)))
      return false;
    double target = w * balance;
    const double limit = s.position_limit * std::fabs(balance);
    if (std::fabs(target) > limit) target = limit * (target > 0 ? 1.0 : -1.0);
    const double* held = s.pos.find(sid);
    const double now = held ? *held : 0.0;
    if (lots && target != 0) target = whole_lots(target, now, price, s.ctl->lot, s.fee_ratio);
    if (e.exit_row[sid] == s.d) continue;  // a capped stop sold its share of this row already
    bool reached;
    const double cash = trade_toward(s, sid, target, s.cash, balance, lots, Slot::kLookUpDropZero, &reached, true);
    if (cash == -1.0 && PyErr_Occurred()) return false;
    s.cash = cash;
    if (reached) {
      e.carry_w[sid] = kNaN;
      --kept;
    } else {
      e.carry_w[sid] = w;  // the weight row's target, not this row's rounding of it
    }
  }
  e.carried.resize(kept);
  return true;
}

}  // namespace orvane::tradeloom
