// The opt-in financing of a run: interest on cash and on short-sale proceeds,
// borrow fees on shorts and dividends, booked as cash flows before each row
// trades. The caller turns rates into per-row accrual factors; the engine only
// multiplies them by what the book held at the previous row's close.
#include <cmath>
#include <limits>

#include "args.h"
#include "errors.h"
#include "pyref.h"
#include "tradeloom.h"

namespace orvane::tradeloom {

namespace {

enum Slot { kCash, kRebate, kBorrow, kDividends, kSlots };
constexpr const char* kNames[] = {"cash", "rebate", "borrow", "dividends"};
constexpr int kDims[] = {1, 1, 2, 2};
constexpr Signature kSig{"set_financing", kNames, kSlots, 0};

// m[row, col], or NaN outside m (a held sid's column was read by the previous
// row's close valuation, so this is in range whenever it matters).
double cell_or_nan(const View2<double>& m, npy_intp row, int col) {
  if (row < 0 || row >= m.n0 || col < 0 || col >= m.n1) return std::numeric_limits<double>::quiet_NaN();
  return m(row, col);
}

PyObject* set_financing_impl(PyObject* args, PyObject* kwargs) {
  PyObject* a[kSlots] = {nullptr, nullptr, nullptr, nullptr};
  // Checked in full before anything is replaced: a bad call leaves the last setting.
  if (!parse_financing(args, kwargs, a)) return nullptr;
  for (int i = 0; i < kSlots; ++i) {
    Py_XINCREF(a[i]);
    PyObject* old = g.financing[i];
    g.financing[i] = a[i];
    Py_XDECREF(old);
  }
  Py_RETURN_NONE;
}

}  // namespace

bool parse_financing(PyObject* args, PyObject* kwargs, PyObject* out[4]) {
  PyObject* a[kSlots] = {nullptr, nullptr, nullptr, nullptr};
  if (!bind_args(kSig, args, kwargs, a)) return false;
  for (int i = 0; i < kSlots; ++i) {
    if (a[i] == Py_None) a[i] = nullptr;
    if (!a[i]) continue;
    if (!check_ndarray_or_none(a[i], kNames[i])) return false;
    if (!check_array_buffer(reinterpret_cast<PyArrayObject*>(a[i]), kDims[i], Elem::Float64, "double"))
      return false;
  }
  for (int i = 0; i < kSlots; ++i) out[i] = a[i];
  return true;
}

bool bind_financing(RunState& s, const RunSwitches& sw, npy_intp nrows, npy_intp nprices) {
  RunState::Financing& f = s.fin;
  for (int i = 0; i < kSlots; ++i) {
    PyObject* arr = sw.financing[i];
    if (!arr) continue;
    auto* a = reinterpret_cast<PyArrayObject*>(arr);
    const bool rows_ok = PyArray_DIM(a, 0) == nrows;
    const bool cols_ok = kDims[i] == 1 || PyArray_DIM(a, 1) == nprices;
    if (!rows_ok || !cols_ok) {
      if (kDims[i] == 1)
        PyErr_Format(PyExc_ValueError, "%s: %s has %zd rows, the run has %zd price rows", sw.who, kNames[i],
                     PyArray_DIM(a, 0), nrows);
      else
        PyErr_Format(PyExc_ValueError, "%s: %s is %zd x %zd, the run's prices are %zd x %zd", sw.who,
                     kNames[i], PyArray_DIM(a, 0), PyArray_DIM(a, 1), nrows, nprices);
      return false;
    }
    f.held[i] = PyRef::borrow(arr);
    f.on = true;
  }
  if (!f.on) return true;
  f.cash = view1<double>(f.held[kCash].get());
  f.rebate = view1<double>(f.held[kRebate].get());
  f.borrow = view2<double>(f.held[kBorrow].get());
  f.dividends = view2<double>(f.held[kDividends].get());
  return true;
}

void accrue_financing(RunState& s) {
  RunState::Financing& f = s.fin;
  // The first row the book trades has held nothing overnight.
  if (!f.started) {
    f.started = true;
    return;
  }
  const npy_intp d = s.d, p = d - 1;
  double shorts = 0.0, borrowed = 0.0, paid_out = 0.0, shorts_paid = 0.0;
  // Interest on cash alone needs no walk of the book.
  const bool walk = f.rebate.present || f.borrow.present || f.dividends.present;
  if (walk) s.pos.for_each([&](int sid, double& v) {
    if (v == 0.0) return;
    const int col = price_column(s, sid);
    const double trade_price = cell_or_nan(s.price_values, p, col), close = cell_or_nan(s.close_values, p, col);
    const bool priced = !(std::isnan(trade_price) || std::isnan(close));
    // The holding's value at the previous close, as that row's valuation took it.
    const double c = priced ? (v * close) / trade_price : v;
    double fee = 0.0, dividend = 0.0;
    if (c < 0) {
      shorts += c;
      if (f.borrow.present) {
        const double rate = cell_or_nan(f.borrow, d, col);
        if (rate != 0.0 && !std::isnan(rate)) fee = c * rate;
      }
    }
    if (f.dividends.present) {
      const double per_share = cell_or_nan(f.dividends, d, col);
      // Shares are the value over the price it was marked at: that close, or
      // without one the last trading price the value moved with.
      const double last = priced                              ? close
                          : static_cast<size_t>(col) < s.col.size() ? s.col[static_cast<size_t>(col)].previous_price
                                                                  : std::numeric_limits<double>::quiet_NaN();
      if (per_share != 0.0 && !std::isnan(per_share) && last > 0.0 && std::isfinite(last))
        dividend = (c / last) * per_share;
    }
    if (fee == 0.0 && dividend == 0.0) return;
    borrowed += fee;
    paid_out += dividend;
    if (dividend < 0) shorts_paid += dividend;
    if (s.ledger) s.ledger->finance(sid, fee, dividend);
  });
  const double cash_rate = f.cash.present ? f.cash(d) : 0.0;
  // Proceeds of the shorts (-shorts) earn the rebate; the rest of cash, positive
  // or negative, the cash rate. Without a rebate all cash earns the cash rate.
  const double interest =
      f.rebate.present ? cash_rate * (s.cash + shorts) - f.rebate(d) * shorts : cash_rate * s.cash;
  s.cash = ((s.cash + interest) + borrowed) + paid_out;
  if (s.ledger) s.ledger->financing_row(d, interest, borrowed, paid_out, shorts_paid);
}

PyObject* set_financing(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane.core.tradeloom.set_financing", [&] { return set_financing_impl(args, kwargs); });
}

}  // namespace orvane::tradeloom
