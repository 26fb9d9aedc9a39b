// The position book: the only places that trade (move cash, charge fee and tax)
// and report entries and exits to the analytics; plus the rebalance and
// delisting stages of a row that drive them.
#include <cmath>
#include <cstring>

#include "errors.h"
#include "prefetch.h"
#include "pyref.h"
#include "tradeloom.h"

namespace orvane::tradeloom {

namespace {

constexpr const char* kSetPosition = "orvane.core.tradeloom.set_position";
constexpr const char* kRebalance = "orvane.core.tradeloom.rebalance";

// Module global looked up by name at each use and tested for truth; -1 on error.
// The key is interned once, so a lookup makes no string.
int module_flag(PyObject* key) {
  // Held: the truth test may rebind the attribute and drop the dict's reference.
  PyRef v = PyRef::borrow(PyDict_GetItem(g.dict, key));
  if (!v) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return -1;
  }
  return PyObject_IsTrue(v.get());
}

struct FlagKeys {
  PyObject *retain, *resample;
};

const FlagKeys* flag_keys() {
  static FlagKeys k{PyUnicode_InternFromString("RETAIN_COST_WHEN_REBALANCE"), PyUnicode_InternFromString("RESAMPLE")};
  return k.retain && k.resample ? &k : nullptr;
}

bool weight_of(double position, double balance, double* out) {
  if (balance == 0.0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
    return false;
  }
  *out = position / balance;
  return true;
}

bool report(int sid, double position, double balance) {
  double w;
  if (!weight_of(position, balance, &w)) return false;
  g.analytics.record_entry(sid, w, 1);
  return !PyErr_Occurred();
}

// Analytics events of a move from the old to the new position; false on error.
bool record_events(Book& p, int sid, double position, double balance, Ledger::Event* ev, bool continues) {
  const double* held = p.find(sid);
  const bool prev_has_position = held && *held != 0;  // NaN counts as held
  const bool next_has_position = position != 0;
  *ev = Ledger::Event::kNone;
  if (next_has_position && !prev_has_position) {
    *ev = Ledger::Event::kEntry;
    return report(sid, position, balance);
  }
  if (!next_has_position && prev_has_position) {
    *ev = Ledger::Event::kExit;
    g.analytics.record_exit(sid, 1);
    return !PyErr_Occurred();
  }
  if (next_has_position && prev_has_position) {
    // A slice of a trade the cap spread over bars goes on in the record its first cut.
    if (continues) return true;
    const FlagKeys* keys = flag_keys();
    if (!keys) return false;
    const int retain = module_flag(keys->retain);
    if (retain < 0) return false;
    if (retain) return true;
    const int resample = module_flag(keys->resample);
    if (resample < 0) return false;
    if (!resample) return true;
    // A rebalance that keeps the holding still cuts its trade record in two.
    *ev = Ledger::Event::kSplit;
    g.analytics.record_exit(sid, 0);
    if (PyErr_Occurred()) return false;
    double w;
    if (!weight_of(position, balance, &w)) return false;
    g.analytics.record_entry(sid, w, 0);
    return !PyErr_Occurred();
  }
  return true;
}

// NumPy's own abs-then-sum of a weight row, so the gross weight matches it bit for bit.
bool gross_weight(const std::vector<double>& newp, double* out) {
  npy_intp n = static_cast<npy_intp>(newp.size());
  PyRef row = PyRef::steal(PyArray_SimpleNewFromData(1, &n, NPY_DOUBLE, const_cast<double*>(newp.data())));
  if (!row) return false;
  PyRef absolute = PyRef::steal(PyNumber_Absolute(row.get()));
  if (!absolute) return false;
  PyRef sum = PyRef::steal(PyObject_CallMethod(absolute.get(), "sum", nullptr));
  if (!sum) return false;
  double v = PyFloat_AsDouble(sum.get());
  if (v == -1.0 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

}  // namespace

double whole(double lots) {
  const double near = std::nearbyint(lots);
  return std::fabs(lots - near) <= 1e-12 * std::fmax(1.0, std::fabs(near)) ? near : std::trunc(lots);
}

double whole_lots(double target, double held, double price, double lot, double fee_ratio) {
  if (!(price > 0) || !std::isfinite(price)) return target;  // no price: nothing is traded
  const double unit = lot * price;
  // A holding is whole lots, up to the rounding of its marks since it was bought.
  const double holds = std::nearbyint(held / unit);
  const double lots = whole(target / unit);
  if (lots == holds) return held;
  if (target > 0 && lots > holds) {
    // Only what is bought leaves room for its fee, which is paid from cash.
    if (holds <= 0) return whole((target / (1.0 + fee_ratio)) / unit) * unit;
    const double more = whole(((target - holds * unit) / (1.0 + fee_ratio)) / unit);
    return more > 0 ? (holds + more) * unit : held;
  }
  return lots * unit;
}

double set_position(Book& p, int sid, double position, double cash, double fee_ratio, double tax_ratio, Slot slot,
                    Ledger* ledger, double balance, bool costs_from_cash, const CostRates* rates,
                    bool continues) {
  const bool exist = slot == Slot::kLookUpDropZero ? p.contains(sid) : true;
  const bool drop_zero = slot != Slot::kHeldKeepZero;
  if (ledger) prefetch(&ledger->open[sid]);  // read after the analytics calls
  Ledger::Event ev;
  if (!record_events(p, sid, position, balance, &ev, continues)) {
    ORVANE_TRACEBACK(kSetPosition);
    return -1.0;
  }
  const double cash_before = cash;
  if (position == 0) {
    if (exist) {
      double& value = p.emplace(sid);
      const double v = value;
      // Execution costs come out of the proceeds as fee and tax do.
      const double extra = rates ? std::fabs(v) * rates->sum() : 0.0;
      if (rates)
        cash = add_keep((v - std::fabs(v) * (fee_ratio + tax_ratio)) - extra, cash);
      else
        cash = add_keep(v - std::fabs(v) * (fee_ratio + tax_ratio), cash);
      if (drop_zero)
        p.erase(sid);
      else
        value = 0.0;
      if (ledger)
        ledger->trade(sid, ev, v, 0.0, cash_before, cash, std::fabs(v), std::fabs(v) * fee_ratio,
                      std::fabs(v) * tax_ratio, std::fabs(v) * (fee_ratio + tax_ratio) + extra, false, 0.0,
                      rates);
    }
    return cash;
  }
  double& held = p.emplace(sid);
  const double old_value = held;
  const double amount = position - held;
  const bool buy = amount > 0;
  const bool is_entry = (position >= 0 && amount > 0) || (position <= 0 && amount < 0);
  double cost = is_entry ? std::fabs(amount) * fee_ratio : std::fabs(amount) * (fee_ratio + tax_ratio);
  if (rates) cost += std::fabs(amount) * rates->sum();
  if (buy && costs_from_cash) {
    cash = (cash - amount) - cost;
    held = add_keep(held, amount);
  } else if (buy) {
    cash = cash - amount;
    held = add_keep(held, amount - cost);  // buying costs come out of the position
  } else {
    cash = add_keep(-amount - cost, cash);
    held = add_keep(held, amount);
  }
  const double new_value = held;
  if (drop_zero && held == 0.0) p.erase(sid);
  if (ledger) {
    // Long to short or back in one trade: the fee on selling the old side closes its record.
    const bool flip = (old_value > 0 && position < 0) || (old_value < 0 && position > 0);
    double closing = 0.0;
    if (flip) closing = rates ? std::fabs(old_value) * (fee_ratio + rates->sum()) : std::fabs(old_value) * fee_ratio;
    ledger->trade(sid, ev, old_value, new_value, cash_before, cash, std::fabs(amount), std::fabs(amount) * fee_ratio,
                  is_entry ? 0.0 : std::fabs(amount) * tax_ratio, cost, flip, closing, rates);
  }
  return cash;
}

namespace {


// A resize (same side, neither from nor to 0) that the band or the minimum trade leaves alone.
bool left_alone(const BookControls& ctl, const double* held, double target, double balance) {
  if (!held || !(*held != 0) || target == 0 || (*held > 0) != (target > 0)) return false;
  const double diff = std::fabs(target - *held), scale = std::fabs(balance);
  return (ctl.band > 0 && diff <= ctl.band * scale) || diff < ctl.min_trade * scale;
}

}  // namespace

double rebalance(Book& p, const std::vector<double>& newp, double cash, double fee_ratio, double tax_ratio,
                 double position_limit, Ledger* ledger, const BookControls* ctl, RunState* s) {
  double balance = cash;
  p.for_each([&](int, double& v) { balance = add_keep(balance, v); });
  double gross;
  if (!gross_weight(newp, &gross)) {
    ORVANE_TRACEBACK(kRebalance);
    return -1.0;
  }
  // Above the limit a row is scaled down to it (gross itself at the default limit of 1).
  const double over = ctl ? gross / ctl->max_gross : gross;
  double ratio = balance / (1 > over ? 1.0 : over);  // a NaN gross survives the max
  if (std::isnan(ratio)) ratio = 1.0;
  // |balance|: a book worth less than nothing must not flip or open positions.
  const double cap = position_limit * std::fabs(balance);
  const bool lots = ctl && ctl->lot > 0 && s;
  const int n = static_cast<int>(newp.size());
  // sid's target, and whether it is traded (kTrade), left as it is (kKeep) or left
  // alone by the band or the minimum trade (kBanded); kFailed with an error set.
  enum Decision { kTrade, kKeep, kBanded, kFailed };
  auto decide = [&](int sid, bool band, double* out) -> Decision {
    double target = newp[sid] * ratio;
    if (std::fabs(target) > cap) target = cap * (target > 0 ? 1.0 : -1.0);
    *out = target;
    if (!ctl) return kTrade;
    const double* held = p.find(sid);
    if (lots && target != 0) {
      const auto price = s->price_values.at(s->d, price_column(*s, sid));
      if (!price) return kFailed;
      const double now = held ? *held : 0.0;
      *out = target = whole_lots(target, now, *price, ctl->lot, fee_ratio);
      // A holding whose target rounds to the lots it holds trades nothing.
      if (held && target == now) return kKeep;
    }
    return band && left_alone(*ctl, held, target, balance) ? kBanded : kTrade;
  };
  // Names left alone keep what they hold, which may be more than their targets: when
  // that would take the book above max_gross, they are traded too and the limit holds.
  bool band = ctl && (ctl->band > 0 || ctl->min_trade > 0);
  if (band) {
    double held_gross = 0.0;
    bool banded = false;
    for (int sid = 0; sid < n; ++sid) {
      double target;
      const Decision d = decide(sid, true, &target);
      if (d == kFailed) {
        ORVANE_TRACEBACK(kRebalance);
        return -1.0;
      }
      const double* held = p.find(sid);
      banded = banded || d == kBanded;
      held_gross += d == kTrade ? std::fabs(target) : held ? std::fabs(*held) : 0.0;
    }
    band = !(banded && held_gross > ctl->max_gross * std::fabs(balance));
  }
  for (int sid = 0; sid < n; ++sid) {
    double target;
    const Decision d = decide(sid, band, &target);
    if (d == kFailed) {
      ORVANE_TRACEBACK(kRebalance);
      return -1.0;
    }
    if (d != kTrade) continue;
    // A zero target for a stock not held records, books and changes nothing.
    if (target == 0 && !p.contains(sid)) continue;
    if (s && s->ex.on) {
      bool reached;
      cash = trade_toward(*s, sid, target, cash, balance, lots, Slot::kLookUpDropZero, &reached);
    } else {
      cash = set_position(p, sid, target, cash, fee_ratio, tax_ratio, Slot::kLookUpDropZero, ledger, balance, lots);
    }
    if (cash == -1.0 && PyErr_Occurred()) {
      ORVANE_TRACEBACK(kRebalance);
      return -1.0;
    }
  }
  return cash;
}

namespace {

// Copies row `row` of m into out (n1 elements). Only the first element is read
// checked: a bad row fails there, as element-wise checked reads would, and the
// other columns are then in range.
bool copy_row(const View2<double>& m, long long row, std::vector<double>* out) {
  out->resize(static_cast<size_t>(m.n1));
  if (m.n1 == 0) return true;
  const auto first = m.at(row, 0);
  if (!first) return false;
  const char* p = first.p;
  if (m.s1 == sizeof(double)) {
    std::memcpy(out->data(), p, static_cast<size_t>(m.n1) * sizeof(double));
    return true;
  }
  for (npy_intp k = 0; k < m.n1; ++k) std::memcpy(&(*out)[static_cast<size_t>(k)], p + k * m.s1, sizeof(double));
  return true;
}

}  // namespace

bool execute_rebalance(RunState& s) {
  const npy_intp ncols = s.pos_values.n1;
  if (!copy_row(s.pos_values, s.pos_id, &s.rebalance_row)) return false;
  if (s.retain_cost_when_rebalance) {
    for (npy_intp k = 0; k < ncols; ++k) {
      const double* pv = &s.rebalance_row[static_cast<size_t>(k)];
      if (*pv == 0) continue;
      const double* held = s.pos.find(static_cast<int>(k));
      if (!held || *held * *pv <= 0) {
        if (!tracker_index(s, k)) return false;
        reset_trackers(s, static_cast<int>(k));
      }
    }
  } else {
    std::fill(s.trk.begin(), s.trk.end(), RunState::Trackers{});
  }

  const int stop = stop_trading(s);
  if (stop < 0) return false;
  if (stop && !s.exited_stocks.empty()) {
    // Stocks stopped out since the last rebalance are not bought back now.
    for (int e : s.exited_stocks) {
      const long long k = e < 0 ? -static_cast<long long>(e) : e;
      if (k >= ncols) {
        raise_numpy_index(k, 0, ncols);
        return false;
      }
      s.rebalance_row[k] = 0;
    }
  }
  if (s.ex.on) {
    drop_carries(s);
    prefetch_liquidity(s, s.rebalance_row);
  }
  const double cash =
      rebalance(s.pos, s.rebalance_row, s.cash, s.fee_ratio, s.tax_ratio, s.position_limit, s.ledger, s.ctl, &s);
  if (cash == -1.0 && PyErr_Occurred()) return false;
  s.cash = cash;
  s.latest_rebalanced_pos = s.pos.sids();

  if (!copy_row(s.price_values, s.d, &s.price_row)) return false;
  for (size_t c = 0; c < s.price_row.size(); ++c) s.col[c].previous_price = s.price_row[c];
  s.exited_stocks.clear();
  s.current_position_id = s.pos_id;
  s.latest_rebalanced_row = s.rebalance_row;
  return true;
}

namespace {

// Sells the row's delisted stocks at book value and resets their trackers.
bool close_delisted(RunState& s) {
  for (int k : s.delisted_stocks) {
    // Never capped and never charged execution costs: it leaves at book value.
    if (s.ex.on) drop_carry(s, k);
    const double cash = set_position(s.pos, k, 0, s.cash, s.fee_ratio, s.tax_ratio, Slot::kHeldDropZero, s.ledger);
    if (cash == -1.0 && PyErr_Occurred()) return false;
    s.cash = cash;
    if (!tracker_index(s, k)) return false;
    reset_trackers(s, k);
  }
  return true;
}

}  // namespace

bool sell_delisted(RunState& s) {
  s.delisted_stocks.clear();
  if (s.delisting_by_row) {
    for (size_t i = s.delisted_from[s.d], end = s.delisted_from[s.d + 1]; i < end; ++i) {
      const int k = s.delisted_on[i];
      const double* v = s.pos.find(k);
      if (v && *v != 0) s.delisted_stocks.push_back(k);
    }
    return close_delisted(s);
  }
  const bool ok = s.pos.all_of([&](int k, double& v) {
    const auto bar = s.delisting_bars.checked(k);
    if (!bar) return false;
    if (*bar == s.d && v != 0) s.delisted_stocks.push_back(k);
    return true;
  });
  if (!ok) return false;
  return close_delisted(s);
}

}  // namespace orvane::tradeloom
