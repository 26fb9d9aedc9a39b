// Marking the book to market at trading prices, the exit rules tested on each
// holding as it is marked, the pending close-rule exits, and the close valuation.
#include <cmath>

#include "errors.h"
#include "prefetch.h"
#include "pyref.h"
#include "select.h"
#include "tradeloom.h"

namespace orvane::tradeloom {

namespace {

constexpr const char* kValidate = "orvane.core.tradeloom.validate_trade_price";

// previous_price[c] with wrap-around; the wrapped column, or -1 with IndexError.
long long price_slot(const RunState& s, int sidprice) {
  long long c;
  if (!wrap_index(sidprice, static_cast<long long>(s.col.size()), &c)) {
    raise_buffer_bounds(0);
    return -1;
  }
  return c;
}

// Row d of a price matrix, for reads whose indexes are in range; the checked
// reads decide (and raise) everything else.
struct RowCells {
  const char* row = nullptr;
  npy_intp n1 = 0, s1 = 0;

  const char* cell(long long c) const { return row && c >= 0 && c < n1 ? row + c * s1 : nullptr; }
};

RowCells row_cells(const View2<double>& m, npy_intp d) {
  if (!m.present || d < 0 || d >= m.n0) return {};
  return {m.data + d * m.s0, m.n1, m.s1};
}

bool valid_trade_price(double v) { return std::isnan(v) || (v > 0 && std::isfinite(v)); }

// Trading price of a held stock on this row, checked: the price is read first,
// then the label's slot, then the value is validated.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
bool checked_trade_price_slow(RunState& s, int sid, int sidprice, double* out) {
  const auto price = s.price_values.at(s.d, sidprice);
  if (!price) return false;
  const auto label = s.pos_columns.checked(sid);
  if (!label) return false;
  if (!validate_trade_price(*price, *label, static_cast<int>(s.d))) return false;
  *out = *price;
  return true;
}

// The same, inline when the cell and the label's slot are in range and the price is valid.
inline bool checked_trade_price(RunState& s, const RowCells& prices, int sid, int sidprice, double* out) {
  const char* cell = prices.cell(sidprice);
  if (cell && s.pos_columns.present && sid >= 0 && sid < s.pos_columns.n) {
    const double v = load<double>(cell);
    if (valid_trade_price(v)) {
      *out = v;
      return true;
    }
  }
  return checked_trade_price_slow(s, sid, sidprice, out);
}

// close_values[d, sidprice], checked unless in range.
bool close_price(const RunState& s, const RowCells& closes, int sidprice, double* out) {
  if (const char* cell = closes.cell(sidprice)) {
    *out = load<double>(cell);
    return true;
  }
  const auto close = s.close_values.at(s.d, sidprice);
  if (!close) return false;
  *out = *close;
  return true;
}

struct Levels {
  double max_r, min_r;
};

// Both sides' levels are computed and one is selected: the side of the holdings
// met in sid order goes either way at random.
Levels exit_levels(const RunState& s, int sid, double entry_pos) {
  const RunState::Trackers& t = s.trk[sid];
  // Long: the stop, raised by the trailing stop once active.
  const double long_stop = 1 - s.stop_loss_abs, long_trail = t.maxcr - s.trail_stop_abs;
  const bool long_trails = t.maxcr >= 1 + s.trail_stop_activation_abs && long_trail > long_stop;
  // Short: the stop, lowered by the trailing stop once active.
  const double short_stop = 1 + s.stop_loss_abs, short_trail = t.mincr + s.trail_stop_abs;
  const bool short_trails = t.mincr <= 1 - s.trail_stop_activation_abs && short_trail < short_stop;
  const bool is_long = entry_pos > 0;
  Levels lv;
  lv.max_r = select(is_long, 1 + s.take_profit_abs, select(short_trails, short_trail, short_stop));
  lv.min_r = select(is_long, select(long_trails, long_trail, long_stop), 1 - s.take_profit_abs);
  return lv;
}

// Exit test of one freshly marked holding; `base` is this row's base of its
// column and `r` this row's return ratio.
bool test_exit(RunState& s, const RowCells& closes, int sid, double& value, int sidprice, double price, double base,
               double r) {
  const double entry_pos = value / s.trk[sid].cr;
  const Levels lv = exit_levels(s, sid, entry_pos);
  if (s.touched_exit) {
    const auto high = s.high_values.at(s.d, sidprice);
    if (!high) return false;
    const auto low = s.low_values.at(s.d, sidprice);
    if (!low) return false;
    const auto open = s.open_values.at(s.d, sidprice);
    if (!open) return false;
    const double before = s.trk[sid].cr / r;  // cumulative return before this row's move
    const double high_r = before * (*high / base);
    const double low_r = before * (*low / base);
    const double open_r = before * (*open / base);
    const bool touch_low = low_r <= lv.min_r;
    const bool touch_high = high_r >= lv.max_r;
    const bool touch_open = open_r >= lv.max_r || open_r <= lv.min_r;
    if (touch_open)
      value = entry_pos * open_r;
    else if (touch_high)
      value = entry_pos * lv.max_r;
    else if (touch_low)
      value = entry_pos * lv.min_r;
    if (touch_open || touch_high || touch_low) {
      const double exit_value = value;
      s.exited_stocks.push_back((touch_low && exit_value > 0) || (touch_high && exit_value < 0) ? -sid : sid);
      if (s.ledger) {
        // The price at which the cumulative return reaches the level touched.
        const double level = touch_high ? lv.max_r : lv.min_r;
        s.ledger->mark[sid] = touch_open ? *open : base * (level / before);
      }
      // Sold in place: the entry stays in the book at 0.0, so the walk is undisturbed.
      double cash;
      if (s.ex.on) {
        const double fill = touch_open ? *open : base * ((touch_high ? lv.max_r : lv.min_r) / before);
        cash = sell_on_exit(s, sid, exit_value, Slot::kHeldKeepZero, price / fill);
      } else {
        cash = set_position(s.pos, sid, 0.0, s.cash, s.fee_ratio, s.tax_ratio, Slot::kHeldKeepZero, s.ledger);
      }
      if (cash == -1.0 && PyErr_Occurred()) return false;
      s.cash = cash;
    }
    return true;
  }
  double close;
  if (!close_price(s, closes, sidprice, &close)) return false;
  const double cr_at_close = s.trk[sid].cr * close / price;
  if (cr_at_close >= lv.max_r)
    s.exit_stocks_temp.push_back(entry_pos > 0 ? sid : -sid);
  else if (cr_at_close < lv.min_r)
    s.exit_stocks_temp.push_back(entry_pos > 0 ? -sid : sid);
  return true;
}

// Out of line, so that the check of every valid price stays a few instructions.
[[gnu::noinline]] bool raise_invalid_price(double value, PyObject* symbol, int row) {
  PyRef label = PyRef::borrow(symbol);  // its str() runs Python code
  PyRef number = PyRef::steal(PyFloat_FromDouble(value));
  if (number) {
    PyRef message = PyRef::steal(PyUnicode_FromFormat(
        "Invalid trading price for %S at price row %d: %R. Expected a positive finite price; check the "
        "trading-price dataset.",
        label.get(), row, number.get()));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  }
  ORVANE_TRACEBACK(kValidate);
  return false;
}

}  // namespace

bool validate_trade_price(double value, PyObject* symbol, int row) {
  if (std::isnan(value) || (value > 0 && std::isfinite(value))) return true;
  return raise_invalid_price(value, symbol, row);
}

bool value_holdings(RunState& s) {
  ++s.walk_id;
  double* const mark = s.ledger ? s.ledger->mark.data() : nullptr;
  const npy_intp next = s.d + 1;
  const RowCells prices = row_cells(s.price_values, s.d), closes = row_cells(s.close_values, s.d);
  const RowCells next_prices = row_cells(s.price_values, next), next_closes = row_cells(s.close_values, next);
  return s.pos.all_of([&](int sid, double& value) {
    const int sidprice = price_column(s, sid);
    // The next row reads the same cells of this column (one row apart, a page or more).
    if (const char* cell = next_prices.cell(sidprice)) prefetch(cell);
    if (const char* cell = next_closes.cell(sidprice)) prefetch(cell);
    if (s.touched_exit) {
      prefetch_cell(s.high_values, next, sidprice);
      prefetch_cell(s.low_values, next, sidprice);
      prefetch_cell(s.open_values, next, sidprice);
    }
    double price;
    if (!checked_trade_price(s, prices, sid, sidprice, &price)) return false;
    const long long c = price_slot(s, sidprice);
    if (c < 0) return false;
    if (s.col[c].walk_stamp != s.walk_id) {
      s.col[c].walk_stamp = s.walk_id;
      s.col[c].walk_base = s.col[c].previous_price;
    }
    double base = s.col[c].walk_base;
    if (std::isnan(base)) {
      base = price;
      s.col[c].previous_price = price;
    }
    double r = price / base;
    if (std::isnan(r)) r = 1;
    if (!tracker_index(s, sid)) return false;
    value = value * r;
    s.trk[sid].cr = s.trk[sid].cr * r;
    // Selects (maxsd, minsd): a new high or low comes at random.
    s.trk[sid].maxcr = s.trk[sid].cr > s.trk[sid].maxcr ? s.trk[sid].cr : s.trk[sid].maxcr;
    s.trk[sid].mincr = s.trk[sid].cr < s.trk[sid].mincr ? s.trk[sid].cr : s.trk[sid].mincr;
    // An entry of 0.0 holds nothing: it is marked and checked but never exits again.
    if (mark && !std::isnan(price)) mark[sid] = price;
    if (value != 0.0 && !test_exit(s, closes, sid, value, sidprice, price, base, r)) return false;
    if (!std::isnan(price)) s.col[c].previous_price = price;
    return true;
  });
}

bool carry_out_pending_exits(RunState& s) {
  for (const int exit_s : s.exit_stocks) {
    const int abssid = exit_s < 0 ? -exit_s : exit_s;
    bool will_be_set_by_rebalance = false;
    if (s.should_rebalance) {
      const int stop = stop_trading(s);
      if (stop < 0) return false;
      if (!stop) {
        const auto target = s.pos_values.at(s.pos_id, abssid);
        if (!target) return false;
        will_be_set_by_rebalance = *target != 0;  // NaN counts as a target
      }
    }
    const double* held = s.pos.find(abssid);
    if (!held || !(*held != 0) || will_be_set_by_rebalance) continue;
    const double cash =
        s.ex.on ? sell_on_exit(s, abssid, *held, Slot::kHeldDropZero, 1.0)
                : set_position(s.pos, abssid, 0.0, s.cash, s.fee_ratio, s.tax_ratio, Slot::kHeldDropZero, s.ledger);
    if (cash == -1.0 && PyErr_Occurred()) return false;
    s.cash = cash;
    s.exited_stocks.push_back(exit_s);
    if (!tracker_index(s, abssid)) return false;
    reset_trackers(s, abssid);
    // Found again on this row but closed now: drop the new finding.
    for (auto t = s.exit_stocks_temp.begin(); t != s.exit_stocks_temp.end(); ++t) {
      if (*t == exit_s || *t == -exit_s) {
        s.exit_stocks_temp.erase(t);
        break;
      }
    }
  }
  s.exit_stocks = s.exit_stocks_temp;
  return true;
}

namespace {

// Sum of one side of the book, compensated (Neumaier): the engine's own
// rounding is booked into it exactly, so only the final rounding remains.
struct SideSum {
  double sum = 0.0, comp = 0.0;
  // Adds x, less what the engine's add of x rounded away.
  void add(double x, double lost) {
    const double t = sum + x;
    comp += (std::fabs(sum) >= std::fabs(x) ? (sum - t) + x : (x - t) + sum) - lost;
    sum = t;
  }
  double value() const { return sum + comp; }
};

// The close valuation into creturn[d]; recorded, it also splits each holding's
// contribution by side. Each contribution carries the rounding of the engine's
// add that took it in, so cash + long + short equals creturn[d] before long and
// short are rounded.
template <bool kRecorded>
bool close_valuation(RunState& s) {
  double balance = s.cash;
  SideSum long_side, short_side;
  int64_t held = 0;
  const RowCells prices = row_cells(s.price_values, s.d), closes = row_cells(s.close_values, s.d);
  const bool ok = s.pos.all_of([&](int k, double& v) {
    const int col = price_column(s, k);
    double trade_price, close;
    if (!checked_trade_price(s, prices, k, col, &trade_price)) return false;
    if (!close_price(s, closes, col, &close)) return false;
    const double c = std::isnan(trade_price) || std::isnan(close) ? v : (v * close) / trade_price;
    const double next = add_keep(c, balance);
    if constexpr (kRecorded) {
      // TwoSum: lost = (c + balance) - next exactly, what the add rounded away.
      const double bv = next - c;
      const double lost = (c - (next - bv)) + (balance - bv);
      if (v != 0) ++held;  // NaN counts as held
      if (c < 0)
        short_side.add(c, lost);
      else
        long_side.add(c, lost);
    }
    balance = next;
    return true;
  });
  if (!ok) return false;
  s.balance = balance;
  s.creturn[s.d] = balance;
  if constexpr (kRecorded) s.ledger->close_row(s.d, s.cash, long_side.value(), short_side.value(), held, balance);
  return true;
}

}  // namespace

bool value_at_close(RunState& s) { return s.ledger ? close_valuation<true>(s) : close_valuation<false>(s); }

}  // namespace orvane::tradeloom
