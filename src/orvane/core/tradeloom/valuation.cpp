// Marking the book to market at trading prices, the exit rules tested on each
// holding as it is marked, the pending close-rule exits, and the close valuation.
#include <cmath>

#include "errors.h"
#include "pyref.h"
#include "tradeloom.h"

namespace orvane::tradeloom {

namespace {

constexpr const char* kValidate = "orvane.core.tradeloom.validate_trade_price";

// previous_price[c] with wrap-around; the wrapped column, or -1 with IndexError.
long long price_slot(const RunState& s, int sidprice) {
  long long c;
  if (!wrap_index(sidprice, static_cast<long long>(s.previous_price.size()), &c)) {
    raise_buffer_bounds(0);
    return -1;
  }
  return c;
}

// Trading price of a held stock on this row, checked: the price is read first,
// then the label's slot, then the value is validated.
bool checked_trade_price(RunState& s, int sid, int sidprice, double* out) {
  const auto price = s.price_values.at(s.d, sidprice);
  if (!price) return false;
  const auto label = s.pos_columns.checked(sid);
  if (!label) return false;
  if (!validate_trade_price(*price, *label, static_cast<int>(s.d))) return false;
  *out = *price;
  return true;
}

struct Levels {
  double max_r, min_r;
};

Levels exit_levels(const RunState& s, int sid, double entry_pos) {
  Levels lv;
  if (entry_pos > 0) {
    const bool trail_stop_active = s.maxcr[sid] >= 1 + s.trail_stop_activation_abs;
    lv.max_r = 1 + s.take_profit_abs;
    lv.min_r = 1 - s.stop_loss_abs;
    if (trail_stop_active && s.maxcr[sid] - s.trail_stop_abs > lv.min_r) lv.min_r = s.maxcr[sid] - s.trail_stop_abs;
  } else {
    const bool trail_stop_active = s.mincr[sid] <= 1 - s.trail_stop_activation_abs;
    lv.max_r = 1 + s.stop_loss_abs;
    if (trail_stop_active && s.mincr[sid] + s.trail_stop_abs < lv.max_r) lv.max_r = s.mincr[sid] + s.trail_stop_abs;
    lv.min_r = 1 - s.take_profit_abs;
  }
  return lv;
}

// Exit test of one freshly marked holding; `base` is this row's base of its
// column and `r` this row's return ratio.
bool test_exit(RunState& s, Book::iterator it, int sidprice, double price, double base, double r) {
  const int sid = it->first;
  const double entry_pos = it->second / s.cr[sid];
  const Levels lv = exit_levels(s, sid, entry_pos);
  if (s.touched_exit) {
    const auto high = s.high_values.at(s.d, sidprice);
    if (!high) return false;
    const auto low = s.low_values.at(s.d, sidprice);
    if (!low) return false;
    const auto open = s.open_values.at(s.d, sidprice);
    if (!open) return false;
    const double before = s.cr[sid] / r;  // cumulative return before this row's move
    const double high_r = before * (*high / base);
    const double low_r = before * (*low / base);
    const double open_r = before * (*open / base);
    const bool touch_low = low_r <= lv.min_r;
    const bool touch_high = high_r >= lv.max_r;
    const bool touch_open = open_r >= lv.max_r || open_r <= lv.min_r;
    if (touch_open)
      it->second = entry_pos * open_r;
    else if (touch_high)
      it->second = entry_pos * lv.max_r;
    else if (touch_low)
      it->second = entry_pos * lv.min_r;
    if (touch_open || touch_high || touch_low) {
      const double exit_value = it->second;
      s.exited_stocks.push_back((touch_low && exit_value > 0) || (touch_high && exit_value < 0) ? -sid : sid);
      // Sold in place: the entry stays in the book at 0.0, so the walk is undisturbed.
      const double cash = set_position(s.pos, sid, 0.0, s.cash, s.fee_ratio, s.tax_ratio, false, false);
      if (cash == -1.0 && PyErr_Occurred()) return false;
      s.cash = cash;
    }
    return true;
  }
  const auto close = s.close_values.at(s.d, sidprice);
  if (!close) return false;
  const double cr_at_close = s.cr[sid] * *close / price;
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
  for (auto it = s.pos.begin(); it != s.pos.end(); ++it) {
    const int sid = it->first;
    const int sidprice = price_column(s, sid);
    double price;
    if (!checked_trade_price(s, sid, sidprice, &price)) return false;
    const long long c = price_slot(s, sidprice);
    if (c < 0) return false;
    if (s.walk_stamp[c] != s.walk_id) {
      s.walk_stamp[c] = s.walk_id;
      s.walk_base[c] = s.previous_price[c];
    }
    double base = s.walk_base[c];
    if (std::isnan(base)) {
      base = price;
      s.previous_price[c] = price;
    }
    double r = price / base;
    if (std::isnan(r)) r = 1;
    if (!tracker_index(s, sid)) return false;
    it->second = it->second * r;
    s.cr[sid] = s.cr[sid] * r;
    if (s.cr[sid] > s.maxcr[sid]) s.maxcr[sid] = s.cr[sid];
    if (s.cr[sid] < s.mincr[sid]) s.mincr[sid] = s.cr[sid];
    // An entry of 0.0 holds nothing: it is marked and checked but never exits again.
    if (it->second != 0.0 && !test_exit(s, it, sidprice, price, base, r)) return false;
    if (!std::isnan(price)) s.previous_price[c] = price;
  }
  return true;
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
    auto it = s.pos.find(abssid);
    if (it == s.pos.end() || !(it->second != 0) || will_be_set_by_rebalance) continue;
    const double cash = set_position(s.pos, abssid, 0.0, s.cash, s.fee_ratio, s.tax_ratio, false, true);
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

bool value_at_close(RunState& s) {
  double balance = s.cash;
  for (const auto& [k, v] : s.pos) {
    const int col = price_column(s, k);
    double trade_price;
    if (!checked_trade_price(s, k, col, &trade_price)) return false;
    const auto close_price = s.close_values.at(s.d, col);
    if (!close_price) return false;
    if (std::isnan(trade_price) || std::isnan(*close_price))
      balance += v;
    else
      balance += (v * *close_price) / trade_price;
  }
  s.balance = balance;
  s.creturn[s.d] = balance;
  return true;
}

}  // namespace orvane::tradeloom
