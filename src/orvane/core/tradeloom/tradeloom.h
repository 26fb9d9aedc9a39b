// Shared declarations of the engine module: module-level objects bound at import,
// the run state of one backtest, and the stage functions the row loop calls.
#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include "entry_table.h"
#include "numpy_api.h"
#include "strided.h"

namespace orvane::tradeloom {

struct Module {
  PyObject* module = nullptr;            // borrowed: lives as long as the interpreter
  PyObject* dict = nullptr;              // the module's namespace, for by-name lookups
  PyObject* stock_operations = nullptr;  // owned; replaced at the end of every run
  entries::Bound analytics;
  double inf = 0.0;  // NumPy's inf, read at import
  int busy = 0;      // a run, or a read of its trades, is in progress
};

extern Module g;

// Held by backtest_ and by get_trade_stocks while it iterates: the analytics
// state, the module attributes and the record are per process, so a run
// started from a callback (or another thread) meanwhile would mix two runs.
struct RunInProgress {
  RunInProgress() { ++g.busy; }
  ~RunInProgress() { --g.busy; }
  RunInProgress(const RunInProgress&) = delete;
  RunInProgress& operator=(const RunInProgress&) = delete;
};

using Book = std::map<int, double>;

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
  std::vector<double> cr, maxcr, mincr;
  std::vector<double> previous_price;
  std::vector<int> exit_stocks, exit_stocks_temp, exited_stocks, delisted_stocks;
  bool has_delisting = false;
  std::vector<int64_t> date_rebalance;
  double stop_loss_abs = 0.0, take_profit_abs = 0.0, trail_stop_abs = 0.0, trail_stop_activation_abs = 0.0;
  int pos_id = 0;
  int current_position_id = -1;
  bool should_rebalance = false;
  Book latest_rebalanced_pos;
  std::vector<double> latest_rebalanced_row;
  std::vector<double> rebalance_row;

  // Base of each price column as the row's walk found it, so that sids sharing
  // a column all move against the same base (stamped by walk number).
  std::vector<double> walk_base;
  std::vector<int64_t> walk_stamp;
  int64_t walk_id = 0;

  npy_intp d = 0;  // current row
  int64_t date = 0;
};

// Book operations: return the new cash, or -1.0 with a Python error set.
double set_position(Book& p, int sid, double position, double cash, double fee_ratio, double tax_ratio,
                    bool check_null = true, bool set_null = false, double balance = 1.0);
double rebalance(Book& p, const std::vector<double>& newp, double cash, double fee_ratio, double tax_ratio,
                 double position_limit);

// Row stages: false with a Python error set on failure.
bool validate_trade_price(double value, PyObject* symbol, int row);
bool value_holdings(RunState& s);
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

// cr/maxcr/mincr are indexed by sid: checked, with NumPy's IndexError text.
inline bool tracker_index(const RunState& s, long long sid) {
  if (sid < 0 || static_cast<size_t>(sid) >= s.cr.size()) {
    raise_numpy_index(sid, 0, static_cast<long long>(s.cr.size()));
    return false;
  }
  return true;
}

inline void reset_trackers(RunState& s, int sid) { s.cr[sid] = s.maxcr[sid] = s.mincr[sid] = 1.0; }

// Truth of the run's stop_trading_next_period; -1 with an error set.
inline int stop_trading(const RunState& s) { return PyObject_IsTrue(s.stop_trading_next_period); }

PyObject* backtest_(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* get_stock_operations(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* normalize_weight(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* get_trade_stocks(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ioft(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace orvane::tradeloom
