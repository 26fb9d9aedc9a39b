// Shared declarations of the engine module: module-level objects bound at import,
// the run state of one backtest, and the stage functions the row loop calls.
#pragma once
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <vector>

#include "entry_table.h"
#include "numpy_api.h"
#include "pyref.h"
#include "strided.h"

namespace orvane::tradeloom {

struct Ledger;

// Opt-in controls of the rebalance (set_book_controls); the defaults are today's book.
struct BookControls {
  double max_gross = 1.0;  // rows above this gross are scaled down to it
  double band = 0.0;       // a resize within band x |equity| of its target is not traded
  double min_trade = 0.0;  // nor one smaller than min_trade x |equity|
  double lot = 0.0;        // money of one lot at price 1 (lot / capital); 0: no rounding
  bool on() const { return max_gross != 1.0 || band != 0.0 || min_trade != 0.0 || lot != 0.0; }
};

// Opt-in execution by size and liquidity (run_'s "execution" switch): per row and price
// column, the money ADV, the volatility, the full spread and the slippage (each from bars
// before that row), and the participation cap's rules. Arrays are borrowed from the call.
struct Execution {
  PyObject* arrays[4] = {nullptr, nullptr, nullptr, nullptr};  // adv, sigma, spread, slippage
  double impact = 0.0, exponent = 0.5, max_participation = 0.0, capital = 0.0;  // cap 0: none
  bool carry = true, cap_exits = false, on = false;
};

// What one trade pays beyond fee and tax, as fractions of the money it trades, and its
// share of the name's money ADV (NaN without an ADV).
struct CostRates {
  double slippage = 0.0, spread = 0.0, impact = 0.0, participation = 0.0;
  bool capped = false;
  double sum() const { return (slippage + spread) + impact; }
};

struct Module {
  PyObject* module = nullptr;            // borrowed: lives as long as the interpreter
  PyObject* dict = nullptr;              // the module's namespace, for by-name lookups
  PyObject* stock_operations = nullptr;  // owned; replaced at the end of every run
  entries::Bound analytics;
  double inf = 0.0;  // NumPy's inf, read at import
  int busy = 0;      // a run, or a read of its trades, is in progress
  bool record_ledger = false;      // read once at the start of each run
  std::unique_ptr<Ledger> ledger;  // the last run's, when it completed with the switch on
  // set_financing's arrays (owned; all null: off), in kFinancingNames order.
  PyObject* financing[4] = {nullptr, nullptr, nullptr, nullptr};
  BookControls controls;
};

extern Module g;

// The opt-in switches one run reads when it starts: the module's (backtest_), or
// those given with the run itself (run_), which no other run can see.
struct RunSwitches {
  PyObject* financing[4] = {nullptr, nullptr, nullptr, nullptr};  // borrowed; null: none
  BookControls controls;
  int arrays = -1;  // -1: the module's record_arrays setting; 0 or 1: this run's
  Execution execution;
  const char* who = "set_financing";  // names the financing in a shape error
};

// Held by backtest_ and by get_trade_stocks while it iterates: the analytics
// state, the module attributes and the record are per process, so a run
// started from a callback (or another thread) meanwhile would mix two runs.
struct RunInProgress {
  RunInProgress() { ++g.busy; }
  ~RunInProgress() { --g.busy; }
  RunInProgress(const RunInProgress&) = delete;
  RunInProgress& operator=(const RunInProgress&) = delete;
};


// The position book: money value per sid, negative when short. Values are held
// densely by sid with a presence bitmap, so finds are O(1) and a walk visits the
// held sids in ascending order by scanning the bitmap, never a tree.
class Book {
 public:
  void reset(size_t nsids) {
    values_.assign(nsids, 0.0);
    bits_.assign((nsids + 63) / 64, 0);
    count_ = 0;
  }
  bool contains(int sid) const { return (bits_[word(sid)] >> bit(sid)) & 1u; }
  // The value slot of a held sid, or nullptr.
  double* find(int sid) { return contains(sid) ? &values_[sid] : nullptr; }
  // The slot of sid, inserted with 0.0 when absent.
  double& emplace(int sid) {
    if (!contains(sid)) {
      bits_[word(sid)] |= uint64_t{1} << bit(sid);
      values_[sid] = 0.0;
      ++count_;
    }
    return values_[sid];
  }
  void erase(int sid) {
    if (!contains(sid)) return;
    bits_[word(sid)] &= ~(uint64_t{1} << bit(sid));
    --count_;
  }
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  // f(sid, value&) for each held sid in ascending order. f must not insert or
  // erase sids; it may change values.
  template <class F>
  void for_each(F&& f) {
    for (size_t w = 0; w < bits_.size(); ++w) {
      for (uint64_t b = bits_[w]; b; b &= b - 1) {
        const int sid = static_cast<int>(w * 64 + static_cast<size_t>(__builtin_ctzll(b)));
        f(sid, values_[sid]);
      }
    }
  }
  // As for_each, stopping at (and returning) the first false from f.
  template <class F>
  bool all_of(F&& f) {
    for (size_t w = 0; w < bits_.size(); ++w) {
      for (uint64_t b = bits_[w]; b; b &= b - 1) {
        const int sid = static_cast<int>(w * 64 + static_cast<size_t>(__builtin_ctzll(b)));
        if (!f(sid, values_[sid])) return false;
      }
    }
    return true;
  }
  std::vector<int> sids() {
    std::vector<int> out;
    out.reserve(count_);
    for_each([&](int sid, double&) { out.push_back(sid); });
    return out;
  }
  // The ordered map that the analytics entry table takes.
  std::map<int, double> to_map() {
    std::map<int, double> out;
    for_each([&](int sid, double& v) { out.emplace_hint(out.end(), sid, v); });
    return out;
  }

 private:
  static size_t word(int sid) { return static_cast<size_t>(sid) >> 6; }
  static unsigned bit(int sid) { return static_cast<unsigned>(sid) & 63u; }
  std::vector<double> values_;
  std::vector<uint64_t> bits_;
  size_t count_ = 0;
};

struct RunState;

// Money accounting of one run, kept only when the module's switch is on: per
// bar the book split by side, cash and costs; per trade record (in the
// analytics' order) its notionals, exit fill price, costs and P&L.
//
// A trade's P&L is (cash flows booked to it) + (value at its end) - (value at
// its start). Every cash flow goes to the record open for that sid when
// set_position moves cash, and a split hands the record's value to the next
// one, so the P&L of all records sums to the final value less 1.0.
struct Ledger {
  // What set_position told the analytics, decided before it trades.
  enum class Event { kNone, kEntry, kExit, kSplit };

  // Empties the ledger for a run (keeping its storage) and binds it to the run.
  void start(RunState& run, size_t nrows, size_t nsids);

  // Per bar. interest, borrow and dividends are money into the book (borrow <= 0).
  // dividends_paid is the shorts' part of dividends (<= 0).
  std::vector<double> cash, long_value, short_value, fees, tax, interest, borrow, dividends, dividends_paid;
  // Execution costs per bar by kind (money), kept with the execution switch.
  std::vector<double> slippage, spread, impact;
  std::vector<int64_t> names_held;
  // Per trade record, one row each (split into columns when handed out).
  struct TradeRow {
    int64_t entry_row, exit_row;
    double entry_notional, exit_notional, exit_price, pnl, costs;
    double financing;  // borrow and dividends booked while it was open, also in pnl
    double entry_value;  // the position's value right after the trade that opened it
    int32_t sid;
    bool flip;  // closed by going straight to the other side (it paid its exit fee)
    // Open at the close of the first row the book was worth 0 or less: its P&L, costs,
    // the close it was marked at and the financing booked to it there (NaN for the
    // other records).
    double ruin_pnl, ruin_costs, ruin_price, ruin_financing;
    // Execution costs booked to it by kind, the largest share of ADV one of its trades
    // took (NaN: none measured), and whether the cap cut one of its trades.
    double slippage, spread, impact, participation;
    bool capped;
    double end_value;  // its value when it ended: 0 after an exit, the last close's if open
  };
  std::vector<TradeRow> trades;

  // Per sid: the record being accumulated, and the price its value was last
  // marked at (the exit fill price).
  struct Record {
    double start_value = 0.0, flows = 0.0, costs = 0.0, entry_notional = 0.0, financing = 0.0,
           entry_value = 0.0, slippage = 0.0, spread = 0.0, impact = 0.0,
           participation = std::numeric_limits<double>::quiet_NaN();
    bool capped = false;
    int64_t entry_row = 0;  // kept after the close, as the analytics keep theirs
  };
  std::vector<Record> open;
  std::vector<double> mark;
  // In mark: not marked since the entry, so the entry row's trading price
  // (marked prices are valid trading prices or levels, all positive).
  static constexpr double kMarkedAtEntry = -1.0;

  // Fees, tax and execution costs of the row in progress.
  double row_fees = 0.0, row_tax = 0.0, row_slippage = 0.0, row_spread = 0.0, row_impact = 0.0;
  // The execution's events: the weight the cap (or a missing ADV) left unfilled per
  // (row, sid), 0 once reached, replaced or dropped; names that could not trade for want
  // of an ADV; and the targets still carried after the last row.
  // Every trade the book made, in order: its row, sid, money traded (signed: bought > 0),
  // fill price, and fee, tax and all costs paid (money).
  std::vector<int64_t> fill_row;
  std::vector<int32_t> fill_sid;
  std::vector<double> fill_value, fill_price, fill_fee, fill_tax, fill_costs;
  std::vector<int64_t> shortfall_row, stalled_row;
  std::vector<int32_t> shortfall_sid, stalled_sid, carried_sid;
  std::vector<double> shortfall, carried_weight;
  // The first row whose close left the book worth 0 or less (-1: none yet), and per
  // sid the record open there, marked at that close, until that record is listed.
  int64_t ruin_row = -1;
  std::vector<Record> at_ruin;
  std::vector<double> ruin_mark;
  std::vector<char> ruin_open;
  // P&L of records the analytics never list; sum(pnl) + unlisted_pnl is the run's P&L.
  double unlisted_pnl = 0.0;

  // One set_position call: its event, the sid's value before and after, cash
  // before and after, the money traded and what it paid; when the position
  // flipped sides, `closing_fee` is the part of `cost` that sold the old side.
  // `rates`: the trade's execution costs (nullptr: none), in `cost` already.
  void trade(int sid, Event ev, double old_value, double new_value, double cash_before, double cash_after,
             double notional, double fee, double tax_paid, double cost, bool flip = false,
             double closing_fee = 0.0, const CostRates* rates = nullptr);
  // A borrow fee (<= 0) or dividend (signed) of one holding, booked to its record.
  void finance(int sid, double borrow_flow, double dividend) {
    Record& rec = open[sid];
    rec.flows += borrow_flow + dividend;
    rec.financing += borrow_flow + dividend;
  }
  void financing_row(npy_intp d, double interest_flow, double borrow_flow, double dividend_flow,
                     double shorts_paid) {
    interest[d] = interest_flow;
    borrow[d] = borrow_flow;
    dividends[d] = dividend_flow;
    dividends_paid[d] = shorts_paid;
  }
  void close_row(npy_intp d, double cash_now, double long_now, double short_now, int64_t held, double balance);
  // After the last row: the records end_analysis closes, valued at the last
  // close; the ledger then no longer refers to the run.
  void finish();

 private:
  void close_record(int sid, double end_value, double sold, double price, int64_t row, bool flip = false);
  void book_execution(Record& rec, const CostRates& r, double traded);
  void mark_ruin(npy_intp d);
  double trading_price(int sid, npy_intp row) const;
  double closing_price(int sid, npy_intp row) const;
  double marked_price(int sid) const;
  RunState* run_ = nullptr;
};

// Everything one backtest_ call works on; released when the call returns or fails.
struct RunState {
  // Inputs (views into the caller's arrays; never written).
  View2<double> price_values, close_values, high_values, low_values, open_values, pos_values;
  View1<int64_t> price_index, pos_index, resample, delisting_bars;
  View1<PyObject*> pos_columns;
  double fee_ratio = 0.0, tax_ratio = 0.0, position_limit = 1.0;
  bool touched_exit = false;
  bool retain_cost_when_rebalance = false;
  PyObject* stop_trading_next_period = nullptr;  // tested for truth where used

  std::map<int, int> pos2price;
  // pos2price flattened per sid (unmapped sids read column 0, as the map's
  // insert-on-read gives), so the row loop does no tree walk per holding.
  std::vector<int> sid_col;
  Book pos;
  double cash = 1.0;
  double balance = 1.0;
  double* creturn = nullptr;
  // Per sid: cr, maxcr, mincr side by side, one cache line for a holding's update.
  struct Trackers {
    double cr = 1.0, maxcr = 1.0, mincr = 1.0;
  };
  std::vector<Trackers> trk;
  // Per price column: previous_price, and the base of the column as the row's
  // walk found it, so that sids sharing a column all move against the same base
  // (stamped by walk number).
  struct ColumnBase {
    double previous_price = 1.0, walk_base = 1.0;
    int64_t walk_stamp = 0;
  };
  std::vector<ColumnBase> col;
  std::vector<int> exit_stocks, exit_stocks_temp, exited_stocks, delisted_stocks;
  bool has_delisting = false;
  // When delisting_bars covers every sid: the sids delisted on row d are
  // delisted_on[delisted_from[d] .. delisted_from[d + 1]), ascending, so a row
  // looks at its own delistings instead of scanning the book.
  bool delisting_by_row = false;
  std::vector<size_t> delisted_from;
  std::vector<int> delisted_on;
  std::vector<int64_t> date_rebalance;
  double stop_loss_abs = 0.0, take_profit_abs = 0.0, trail_stop_abs = 0.0, trail_stop_activation_abs = 0.0;
  int pos_id = 0;
  int current_position_id = -1;
  bool should_rebalance = false;
  std::vector<int> latest_rebalanced_pos;  // the sids held right after the last rebalance
  std::vector<double> latest_rebalanced_row;
  std::vector<double> rebalance_row;
  std::vector<double> price_row;  // scratch: the trading prices of a rebalance row

  int64_t walk_id = 0;
  Ledger* ledger = nullptr;  // nullptr: not recording

  // The financing of this run, when set_financing was given arrays.
  struct Financing {
    PyRef held[4];  // the run's own references: a callback may replace the module's
    View1<double> cash, rebate;
    View2<double> borrow, dividends;
    bool on = false, started = false;
  };
  Financing fin;
  // The run's execution by size and liquidity, when switched on.
  struct Exec {
    Execution x;
    View2<double> adv, sigma, spread, slippage;
    bool on = false, cap = false, needs_adv = false;
    std::vector<double> carry_w;   // per sid: the carried target weight; NaN: none
    std::vector<double> unfilled;  // per sid: the shortfall last recorded
    std::vector<int> carried;      // sids that may hold a carried target
    std::vector<npy_intp> exit_row;  // per sid: the last row a capped stop sold on
  };
  Exec ex;
  // The module's book controls as the run started, or nullptr when at their defaults.
  BookControls controls;
  const BookControls* ctl = nullptr;

  npy_intp d = 0;  // current row
  int64_t date = 0;
};

// How set_position treats the sid's slot in the book: whether the sid is
// looked up or taken as held, and whether a slot that ends at exactly 0.0
// leaves the book or stays in it.
enum class Slot {
  kLookUpDropZero,  // a rebalance target: the sid may be absent
  kHeldDropZero,    // a sale of a held stock
  kHeldKeepZero,    // a sale during a walk of the book, which must not erase
};

// Book operations: return the new cash, or -1.0 with a Python error set.
// `ledger` may be nullptr.
// `costs_from_cash`: a buy's fee is paid from cash, not out of the position (whole lots
// stay whole).
// `rates`: execution costs of this trade (nullptr: none), charged as the fee is.
// `continues`: a later slice of a trade the cap spread over bars, which never cuts the
// holding's trade record.
double set_position(Book& p, int sid, double position, double cash, double fee_ratio, double tax_ratio, Slot slot,
                    Ledger* ledger, double balance = 1.0, bool costs_from_cash = false,
                    const CostRates* rates = nullptr, bool continues = false);
// `s` is read only with controls, for the trading prices whole lots are rounded at.
double rebalance(Book& p, const std::vector<double>& newp, double cash, double fee_ratio, double tax_ratio,
                 double position_limit, Ledger* ledger, const BookControls* ctl = nullptr, RunState* s = nullptr);

// A target rounded toward zero to whole lots of `lot` (money at price 1) at `price`,
// for a holding worth `held`: a target that rounds to the lots held returns `held`
// (nothing to trade), and only the lots bought leave room for their fee (paid from
// cash), so rounding never takes cash below what the targets did.
double whole_lots(double target, double held, double price, double lot, double fee_ratio);
// Whole lots in a quotient, toward zero; a quotient a float rounding away from a whole
// number is that number (a book worth 1 - 1 ulp still buys its 250 lots, not 249).
double whole(double lots);

// Execution by size and liquidity (execution.cpp).
bool parse_execution(PyObject* given, Execution* out);
bool bind_execution(RunState& s, const RunSwitches& sw, npy_intp nrows, npy_intp nprices);
bool publish_execution_names(PyObject* module);
// The costs of trading `traded` (book money) of sid on the current row.
CostRates execution_rates(const RunState& s, int sid, double traded);
// Trades sid from what it holds toward `target` (book money) under the cap and with the
// execution's costs, `balance` being the book's value the target was sized from;
// records what is left unfilled. Returns the new cash, or -1.0 with an error set.
double trade_toward(RunState& s, int sid, double target, double cash, double balance, bool lots, Slot slot,
                    bool* reached, bool continues = false);
// Sells a holding worth `value` on a stop or take-profit with the execution's costs, all
// of it or, under cap_exits, what the cap allows (the rest, scaled by `fill_scale` from the
// fill to this row's trading price, is carried). Returns the new cash, or -1.0.
double sell_on_exit(RunState& s, int sid, double value, Slot slot, double fill_scale);
// Asks for the ADV and volatility cells a rebalance to `targets` will read.
void prefetch_liquidity(const RunState& s, const std::vector<double>& targets);
// A new weight row replaces every carried target.
void drop_carries(RunState& s);
void drop_carry(RunState& s, int sid);
bool execute_carries(RunState& s);
// The money a stop may sell of a holding worth `value` on this row under cap_exits.
double exit_allowance(const RunState& s, int sid, double value);

// Row stages: false with a Python error set on failure.
bool validate_trade_price(double value, PyObject* symbol, int row);
bool value_holdings(RunState& s);
// Binds the run's financing arrays to a run of nrows x nprices; false with an error set.
bool bind_financing(RunState& s, const RunSwitches& sw, npy_intp nrows, npy_intp nprices);
// set_financing's and set_book_controls' checks, into `out` (financing: borrowed
// references, null for None); false with an error set, `out` then untouched.
bool parse_financing(PyObject* args, PyObject* kwargs, PyObject* out[4]);
bool parse_book_controls(PyObject* args, PyObject* kwargs, BookControls* out);
// The last run's results as get_trade_arrays and get_ledger return them.
PyObject* trade_arrays_of_last_run();
// The names the module publishes for the front to read: its ledger's columns and money
// flows, and its book controls' slots. False with an error set.
bool publish_ledger_names(PyObject* module);
bool publish_control_names(PyObject* module);
PyObject* ledger_of_last_run();
// Books the flows of the interval since the previous row, before the row trades.
void accrue_financing(RunState& s);
bool carry_out_pending_exits(RunState& s);
bool execute_rebalance(RunState& s);
bool sell_delisted(RunState& s);
bool value_at_close(RunState& s);
void schedule_weights(RunState& s);
bool finish_run(RunState& s);

// Sid -> price column pairing by UTF-8 label; false with an error set.
bool map_columns(PyObject* price_columns, PyObject* pos_columns, std::map<int, int>* out);

inline int price_column(RunState& s, int sid) {
  if (sid >= 0 && static_cast<size_t>(sid) < s.sid_col.size()) return s.sid_col[sid];
  return s.pos2price[sid];
}

// a + b keeping a's NaN when both are NaN. The compiler may swap the operands of
// a commutative add, and the swap picks the other NaN's sign and payload; these
// adds run in the operand order that the run's results have always carried.
inline double add_keep(double a, double b) {
#if defined(__GNUC__) && defined(__x86_64__)
  __asm__("addsd %1, %0" : "+x"(a) : "xm"(b));
  return a;
#else
  return a + b;
#endif
}

// cr/maxcr/mincr are indexed by sid: checked, with NumPy's IndexError text.
inline bool tracker_index(const RunState& s, long long sid) {
  if (sid < 0 || static_cast<size_t>(sid) >= s.trk.size()) {
    raise_numpy_index(sid, 0, static_cast<long long>(s.trk.size()));
    return false;
  }
  return true;
}

inline void reset_trackers(RunState& s, int sid) { s.trk[sid] = RunState::Trackers{}; }

// Truth of the run's stop_trading_next_period; -1 with an error set.
inline int stop_trading(const RunState& s) { return PyObject_IsTrue(s.stop_trading_next_period); }

PyObject* backtest_(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* get_stock_operations(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* normalize_weight(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* get_trade_stocks(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ioft(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* record_ledger(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* record_arrays(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* get_ledger(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* get_trade_arrays(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* set_financing(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* set_book_controls(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* run_(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* whole_lots_py(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace orvane::tradeloom
