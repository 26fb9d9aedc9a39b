// Module-global state of the analytics module and the functions its files share.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "numpy_api.h"

namespace orvane::tidemark {

// One run's records kept natively instead of in the three lists: trades as
// (sid, entry row, exit row) triples, positions, and the excursion records back to
// back, `width` values each. Shared with the arrays handed out, which outlive the run.
struct RecordArrays {
  // A closed trade whose excursion walk waits in `pending`: its cells are fetched
  // while the trades before it are walked, so the misses overlap.
  struct Pending {
    int sid, entry_row, exit_row, entry_cost, exit_cost;
    bool is_long;
  };
  static constexpr size_t kDepth = 32;

  std::vector<int64_t> trades;
  std::vector<double> positions;
  std::vector<double> marks;
  // Each trade's value at its exit, 1 + its return: after the exit's costs at the exit
  // bar's trading price where the exit traded, at the exit bar's close where it did not
  // (a cut record, an open one).
  std::vector<double> exits;
  long long width = -1;  // set by the first record
  size_t complete = 0;   // records whose every value was written
  bool handed_out = false;  // arrays view the buffers: they must never move again
  Pending pending[kDepth];  // oldest at `first`, walked in the order closed
  size_t first = 0, waiting = 0;
};

struct State {
  PyObject* price = nullptr;  // 2-D float64 ndarray or None, owned
  PyObject* close = nullptr;
  std::map<int, int> pos2price;
  // pos2price flattened for sids 0..n-1 (unmapped ones read column 0, as the
  // map's insert-on-read gives), so a trade's column costs no tree walk.
  std::vector<int> sid_col;
  PyArrayObject* entry = nullptr;  // per sid: entry row (int64)
  PyArrayObject* position = nullptr;  // per sid: signed size at entry (float64)
  PyArrayObject* entry_trasnaction = nullptr;  // per sid: 1 when the entry paid costs (int64)
  double fee_ratio = 0.0;
  double tax_ratio = 0.0;
  int window = 0;
  int window_step = 0;
  int date = 0;
  PyObject* trades = nullptr;
  PyObject* trade_positions = nullptr;
  PyObject* tidemark = nullptr;
  bool arrays_on = false;               // the switch, read by start_analysis
  std::shared_ptr<RecordArrays> arrays;  // the run's records when it kept arrays
  size_t arrays_hint[2] = {0, 0};        // the last array run's records and excursion values
};

extern State g;

void start_analysis(PyArrayObject* price_, PyArrayObject* close_, std::map<int, int> pos2price_, int nstocks,
                    double fee_ratio_, double tax_ratio_, int window_, int window_step_);
void record_date(int d);
void record_entry(int sid, double position_sid, int has_entry_trasnaction);
void record_exit(int sid, int has_exit_trasnaction);
PyObject* end_analysis(std::map<int, double>& pos);

// The excursion record of one trade: a new 1-D float64 array, or nullptr with an error set.
PyObject* tidemark_analysis(int sid, int i_entry, int i_exit, bool is_long, int i_entry_trasnaction,
                            int i_exit_trasnaction);
// The same record appended to `out` (its length `width` checked against the run's
// first); false with an error set, `out` then unchanged.
bool tidemark_analysis_into(int sid, int i_entry, int i_exit, bool is_long, int i_entry_trasnaction,
                            int i_exit_trasnaction, RecordArrays& out);

// Whether the trade's walk may wait: it reads only cells inside the matrices and
// its record has a valid size, so it can fail only on a zero price. Asks for the
// cells it reads first when it may.
bool deferrable(int sid, int i_entry, int i_exit);

bool set_record_arrays(bool on);
PyObject* record_arrays();

}  // namespace orvane::tidemark
