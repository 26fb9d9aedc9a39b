// Per-trade excursion record: one pass over the walked rows keeping six running
// statistics per row, then sampled into 6-value blocks (window blocks + exit block).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "errors.h"
#include "prefetch.h"
#include "select.h"
#include "pyref.h"
#include "strided.h"
#include "tidemark.h"

namespace orvane::tidemark {

namespace {

constexpr const char* kQualname = "orvane.core.tidemark.tidemark_analysis";

// m[row][col] as chained NumPy indexing: both failures name axis 0 of the array indexed.
struct Matrix {
  PyObject* obj;
  View2<double> v;

  bool read(long long row, long long col, double* out) const {
    if (obj == Py_None) {
      PyErr_Format(PyExc_TypeError, "'%.200s' object is not subscriptable", Py_TYPE(obj)->tp_name);
      return false;
    }
    long long r, c;
    if (!wrap_index(row, v.n0, &r)) {
      raise_numpy_index(row, 0, v.n0);
      return false;
    }
    if (!wrap_index(col, v.n1, &c)) {
      raise_numpy_index(col, 0, v.n1);
      return false;
    }
    *out = v(r, c);
    return true;
  }
};

// Whether m has the cell (row, col), both counted from 0.
bool in_matrix(const View2<double>& m, long long row, long long col) {
  return m.present && row >= 0 && row < m.n0 && col >= 0 && col < m.n1;
}

// Python item assignment ret[i] = x on a 1-D float64 array.
bool store_item(double* ret, long long len, long long i, double x) {
  long long k;
  if (!wrap_index(i, len, &k)) {
    raise_numpy_index(i, 0, len);
    return false;
  }
  ret[k] = x;
  return true;
}

// The running statistics of a walk after one row: enough for that row's block.
struct Stats {
  double ret, cummax, cummin, cummax_at_min, mdd, profit_period;
  // cummax_at_min: the running maximum as it stood at the row the minimum is
  // indexed by (the row before the one that set it).

  void block(double* out) const {
    out[0] = cummin - 1;
    out[1] = cummax - 1;
    out[2] = cummax_at_min - 1;
    out[3] = mdd;
    out[4] = profit_period;
    out[5] = ret - 1;
  }
};

// Blocks of the sampled rows, reused from trade to trade, so a trade allocates
// nothing but its result.
struct Samples {
  std::vector<double> blocks;
  bool busy = false;
};

Samples shared_samples;

// The shared scratch, or a private one when a trade is analysed while another
// is (the result allocation can run Python code that starts a new analysis).
class SamplesLease {
 public:
  SamplesLease() : w_(shared_samples.busy ? &own_ : &shared_samples) { w_->busy = true; }
  ~SamplesLease() {
    if (w_ == &shared_samples) shared_samples.busy = false;
  }
  Samples& operator*() { return *w_; }

 private:
  Samples own_;
  Samples* w_;
};

int price_column(int sid) {
  if (sid >= 0 && static_cast<size_t>(sid) < g.sid_col.size()) return g.sid_col[static_cast<size_t>(sid)];
  return g.pos2price[sid];  // an unmapped sid reads (and inserts) column 0
}

// The last row a trade walks: its exit, or the end of the look-ahead window when
// that is later, cut at the last row of the matrix. n counts the entry row and
// the steps after it.
bool walk_end(int i_entry, int i_exit, long long nrows, long long* i_exit_max, size_t* n) {
  // 64-bit index arithmetic: no int32 overflow for any argument values.
  long long last = i_exit;
  if (static_cast<long long>(i_entry) + g.window > last) last = static_cast<long long>(i_entry) + g.window;
  if (last >= nrows) last = nrows - 1;
  const long long walked = last - i_entry + 1;
  if (walked < 0) {
    PyErr_SetString(PyExc_OverflowError, "can't convert negative value to size_t");
    return false;
  }
  *i_exit_max = last;
  *n = 1 + static_cast<size_t>(last > i_entry ? last - i_entry : 0);
  return true;
}

// Rows whose block the result keeps: every window_step-th row below
// min(n, window) (compared as unsigned: a negative window counts as larger
// than n), and row e, the exit's row or the last.
class Sampler {
 public:
  Sampler(size_t n, int i_entry, int i_exit, std::vector<double>& blocks)
      : n_(n),
        limit_(std::min<uint64_t>(n, static_cast<uint64_t>(static_cast<int64_t>(g.window)))),
        step_(g.window_step > 0 ? static_cast<uint64_t>(g.window_step) : 0),
        count_(step_ && limit_ ? (limit_ - 1) / step_ + 1 : 0),
        e_(static_cast<size_t>(
            std::min<uint64_t>(n - 1, static_cast<uint64_t>(static_cast<long long>(i_exit) - i_entry)))),
        blocks_(blocks) {
    if (blocks_.size() < 6 * count_) blocks_.resize(static_cast<size_t>(6 * count_));
    next_ = count_ ? 0 : UINT64_MAX;
    next_block_ = blocks_.data();
  }

  // Row k of the walk, whose statistics are st, in the order the rows come.
  void keep(uint64_t k, const Stats& st) {
    if (k == next_) {
      st.block(next_block_);
      next_block_ += 6;
      next_ = next_ + step_ < limit_ ? next_ + step_ : UINT64_MAX;  // counted up without a division
    }
    if (k == e_) st.block(e_block_);
  }

  // The exit's costs change the last row's return, in every block kept of it.
  void set_last_return(double last) {
    if (sampled(n_ - 1)) blocks_[static_cast<size_t>(6 * ((n_ - 1) / step_) + 5)] = last - 1;
    if (e_ == n_ - 1) e_block_[5] = last - 1;
  }

  uint64_t count() const { return count_; }
  double block_value(size_t i) const { return blocks_[i]; }
  const double* exit_block() const { return e_block_; }

 private:
  bool sampled(uint64_t k) const { return step_ && k < limit_ && k % step_ == 0; }

  size_t n_;
  uint64_t limit_, step_, count_;
  size_t e_;
  std::vector<double>& blocks_;
  uint64_t next_;
  double* next_block_;
  double e_block_[6];
};

constexpr long long kAhead = 32;  // rows requested before they are read

// Asks for every cell the trade reads before the first one is needed: the
// misses then overlap instead of queueing behind each other.
template <int Locality = 3>
void prefetch_trade(const Matrix& price, const Matrix& close, int pid, int i_entry, long long i_exit_max) {
  long long col;
  const bool direct = i_entry >= 0 && i_exit_max < close.v.n0 && g.price != Py_None && price.v.n0 == close.v.n0 &&
                      wrap_index(pid, close.v.n1, &col) && pid < price.v.n1 && pid >= -price.v.n1;
  if (!direct) return;
  const char* column = close.v.data + col * close.v.s1;
  const long long pcol = pid < 0 ? pid + price.v.n1 : pid;
  prefetch<Locality>(price.v.data + i_entry * price.v.s0 + pcol * price.v.s1);
  prefetch<Locality>(price.v.data + i_exit_max * price.v.s0 + pcol * price.v.s1);
  for (long long row = i_entry; row <= i_exit_max && row <= i_entry + kAhead; ++row)
    prefetch<Locality>(column + row * close.v.s0);
}

// The trade's value on its entry row: close over trading price (mirrored for a
// short), less the fee when the entry traded.
bool entry_value(const Matrix& price, const Matrix& close, int pid, int i_entry, bool is_long,
                 int i_entry_trasnaction, double* out) {
  double entry_price, entry_close;
  if (!price.read(i_entry, pid, &entry_price) || !close.read(i_entry, pid, &entry_close)) return false;
  if (entry_price == 0) {
    raise_float_division();
    return false;
  }
  double price_ratio = is_long ? entry_close / entry_price : 2 - entry_close / entry_price;
  if (i_entry_trasnaction != 0) price_ratio = (1 - g.fee_ratio) * price_ratio;
  *out = price_ratio;
  return true;
}

// The walk's running state: the trade's value v, the last valid close pv, and
// the statistics so far (st.ret is v after each row).
struct Walk {
  bool is_long;
  double v = 0.0, pv = 0.0;
  Stats st{};

  // Entry row; NaN makes each comparison false, which picks the branch noted.
  void start(double value) {
    v = value;
    st.ret = v;
    st.cummax = 1 > v ? 1 : v;
    st.cummin = v > 1 ? 1 : v;
    st.cummax_at_min = st.cummax;
    st.mdd = v - 1 < 0 ? v - 1 : 0;
    st.profit_period = v > 1 ? 1 : 0;
  }

  // One step with the row's close p; false on error.
  bool step(double p) {
    const bool valid = !std::isnan(p);
    if (valid) {
      if (pv == 0) {
        raise_float_division();
        return false;
      }
      const double r = p / pv;
      if (!std::isnan(r)) v = is_long ? r * v : 2 - r * (2 - v);
      pv = p;
    }
    // Selects, not branches: on a random walk each comparison goes either way and a
    // mispredicted branch costs more than the step. Each select keeps the old value
    // when the comparison is false, NaN included, as the branches did.
    const double previous_max = st.cummax;
    st.cummax = v > st.cummax ? v : st.cummax;
    const bool lower = st.cummin > v;
    st.cummax_at_min = select(lower, previous_max, st.cummax_at_min);  // indexed by the row before
    st.cummin = select(lower, v, st.cummin);
    if (st.cummax == 0) {
      raise_float_division();
      return false;
    }
    const double newmdd = v / st.cummax - 1;
    st.mdd = newmdd < st.mdd ? newmdd : st.mdd;
    st.profit_period = st.profit_period + (valid && v > 1 ? 1.0 : 0.0);
    st.ret = v;
    return true;
  }
};

// Steps the walk over the closes after the entry row up to i_exit_max.
bool walk_closes(const Matrix& close, int pid, int i_entry, long long i_exit_max, Walk& w, Sampler& samples) {
  if (!close.read(i_entry, pid, &w.pv)) return false;
  const long long first = static_cast<long long>(i_entry) + 1;
  long long col;
  if (first >= 0 && i_exit_max < close.v.n0 && wrap_index(pid, close.v.n1, &col)) {
    // Every walked row is inside the close matrix: read the column directly.
    const char* column = close.v.data + col * close.v.s1;
    Walk local = w;  // in registers: w itself may alias what the loop writes
    for (long long row = first; row <= i_exit_max; ++row) {
      if (row + kAhead <= i_exit_max) prefetch(column + (row + kAhead) * close.v.s0);
      if (!local.step(load<double>(column + row * close.v.s0))) {
        w = local;
        return false;
      }
      samples.keep(static_cast<uint64_t>(row - first) + 1, local.st);
    }
    w = local;
    return true;
  }
  for (long long row = first; row <= i_exit_max; ++row) {
    double p;
    if (!close.read(row, pid, &p) || !w.step(p)) return false;
    samples.keep(static_cast<uint64_t>(row - first) + 1, w.st);
  }
  return true;
}

// The last row's return `last` after the exit's costs: moved from that row's
// close to its trading price (unless the trade never left its entry row), then
// less fee and tax.
bool exit_return(const Matrix& price, const Matrix& close, int pid, int i_entry, long long i_exit_max, bool is_long,
                 double last, double* out) {
  if (i_entry != i_exit_max) {
    double lp, lc;
    if (!price.read(i_exit_max, pid, &lp) || !close.read(i_exit_max, pid, &lc)) return false;
    if (lc == 0) {
      raise_float_division();
      return false;
    }
    const double x = last;
    last = is_long ? (lp / lc) * x : 2 - ((2 - x) * lp) / lc;
  }
  const double f = (1 - g.fee_ratio) - g.tax_ratio;
  *out = f * last;
  return true;
}

// The result's length: 6 * floor((window - 1) / window_step) + 12 values.
bool record_size(long long* arsize) {
  if (g.window_step == 0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
    return false;
  }
  const long long num = static_cast<long long>(g.window) - 1;
  const long long den = g.window_step;
  long long q = num / den;
  if (num % den != 0 && ((num < 0) != (den < 0))) q -= 1;  // floor, not truncation
  *arsize = 6 * q + 12;
  return true;
}

// The result's values into out[0, arsize): -1 where no sampled block falls, the
// exit's block last.
bool fill_blocks(const Sampler& samples, double* out, long long arsize) {
  for (long long k = 0; k < arsize; ++k) out[k] = -1;
  for (uint64_t j = 0; j < samples.count(); ++j) {
    const long long k = static_cast<long long>(6 * j);
    for (int s = 0; s < 6; ++s) {
      if (k + s >= arsize) {
        raise_buffer_bounds(0);
        return false;
      }
      out[k + s] = samples.block_value(static_cast<size_t>(k + s));
    }
  }
  for (int s = 0; s < 6; ++s) {
    if (!store_item(out, arsize, arsize - 6 + s, samples.exit_block()[s])) return false;
  }
  return true;
}

PyObject* result_blocks(const Sampler& samples, double) {
  long long arsize;
  if (!record_size(&arsize)) return nullptr;
  npy_intp dims[1] = {static_cast<npy_intp>(arsize)};
  PyRef ret = PyRef::steal(PyArray_EMPTY(1, dims, NPY_DOUBLE, 0));
  if (!ret) return nullptr;
  double* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(ret.get())));
  if (!fill_blocks(samples, out, arsize)) return nullptr;
  return ret.release();
}

// Appended to the run's arrays, with the trade's exit value: no Python object per trade.
bool append_blocks(const Sampler& samples, double exit_value, RecordArrays& out) {
  long long arsize;
  if (!record_size(&arsize)) return false;
  if (arsize < 0) {
    PyErr_SetString(PyExc_ValueError, "negative dimensions are not allowed");
    return false;
  }
  if (out.width < 0) out.width = arsize;
  if (arsize != out.width) {
    PyErr_Format(PyExc_ValueError, "an excursion record of %lld values after records of %lld", arsize, out.width);
    return false;
  }
  const size_t at = out.marks.size();
  out.marks.resize(at + static_cast<size_t>(arsize));
  if (!fill_blocks(samples, out.marks.data() + at, arsize)) {
    out.marks.resize(at);
    return false;
  }
  out.exits.push_back(exit_value);
  ++out.complete;
  return true;
}

// m[row, col] at the last row from `first` to `last` that has a value (NaN when none
// has): the price a holding was last marked at when its exit bar has none.
double last_known(const View2<double>& m, long long col, long long first, long long last) {
  long long row = last;
  while (row > first && std::isnan(m(row, col))) --row;
  return m(row, col);
}

// A trade's value at its exit, 1 + return, read from its exit block (`at_exit`, the
// walk's value at the exit row's close, or after the exit's costs when the walk ended
// there). A trade the walk carried past its exit, or whose exit bar has no price, is
// valued as the engine sold it: at the exit bar's trading price, or the last one it
// saw, less fee and tax. A cut record or an open trade keeps its close value.
bool exit_value(const Matrix& price, const Matrix& close, int pid, int i_entry, int i_exit, long long i_exit_max,
                bool is_long, int i_entry_trasnaction, int i_exit_trasnaction, double at_exit, double* out) {
  double value = at_exit + 1.0;  // as the record holds it
  const double f = (1.0 - g.fee_ratio) - g.tax_ratio;
  if (i_exit_trasnaction == 0) {
    *out = value;
    return true;
  }
  if (i_exit_max != i_exit) {
    double lp, lc;
    if (!price.read(i_exit, pid, &lp) || !close.read(i_exit, pid, &lc)) return false;
    const double rebased = is_long ? (lp / lc) * value : 2.0 - ((2.0 - value) * lp) / lc;
    value = f * rebased;
  }
  if (std::isnan(value)) {
    long long col;
    const bool inside = wrap_index(pid, close.v.n1, &col) && in_matrix(price.v, i_entry, col) &&
                        in_matrix(price.v, i_exit, col) && in_matrix(close.v, i_entry, col) &&
                        in_matrix(close.v, i_exit, col);
    if (!inside) {
      *out = value;
      return true;
    }
    // Rebuilt from the entry: the walk's value at the last close telescopes to last
    // close / entry close.
    const double lp = last_known(price.v, col, i_entry, i_exit), lc = last_known(close.v, col, i_entry, i_exit);
    const double c0 = close.v(i_entry, col);
    const double ratio = c0 / price.v(i_entry, col);
    double v = is_long ? ratio : 2.0 - ratio;
    if (i_entry_trasnaction != 0) v = (1.0 - g.fee_ratio) * v;
    const double x = is_long ? (lc / c0) * v : 2.0 - (lc / c0) * (2.0 - v);
    const double rebased = is_long ? (lp / lc) * x : 2.0 - ((2.0 - x) * lp) / lc;
    value = f * rebased;
  }
  *out = value;
  return true;
}

// Walks the trade and hands its samples to `finish`, which makes the result.
// `valued`: the exit value is wanted (array mode), else NaN is handed on.
template <class Finish>
auto analyse(int sid, int i_entry, int i_exit, bool is_long, int i_entry_trasnaction, int i_exit_trasnaction,
             bool valued, Finish finish) -> decltype(finish(std::declval<const Sampler&>(), 0.0)) {
  using Result = decltype(finish(std::declval<const Sampler&>(), 0.0));
  const int pid = price_column(sid);

  if (g.price == Py_None) {
    PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%.400s'", Py_TYPE(g.price)->tp_name,
                 "shape");
    return Result{};
  }
  // Held while their views are read (see close_trade for why).
  PyRef hold_price = PyRef::borrow(g.price), hold_close = PyRef::borrow(g.close);
  const Matrix price{g.price, view2<double>(g.price)};
  const Matrix close{g.close, view2<double>(g.close)};

  long long i_exit_max;
  size_t n;
  if (!walk_end(i_entry, i_exit, price.v.n0, &i_exit_max, &n)) return Result{};
  SamplesLease lease;
  Sampler samples(n, i_entry, i_exit, (*lease).blocks);
  prefetch_trade(price, close, pid, i_entry, i_exit_max);

  Walk w{is_long};
  double v;
  if (!entry_value(price, close, pid, i_entry, is_long, i_entry_trasnaction, &v)) return Result{};
  w.start(v);
  samples.keep(0, w.st);
  if (!walk_closes(close, pid, i_entry, i_exit_max, w, samples)) return Result{};

  if (i_exit_trasnaction != 0) {
    double last;
    if (!exit_return(price, close, pid, i_entry, i_exit_max, is_long, w.st.ret, &last)) return Result{};
    samples.set_last_return(last);
  }
  double exit_at = std::numeric_limits<double>::quiet_NaN();
  if (valued && i_exit <= i_exit_max &&
      !exit_value(price, close, pid, i_entry, i_exit, i_exit_max, is_long, i_entry_trasnaction, i_exit_trasnaction,
                  samples.exit_block()[5], &exit_at))
    return Result{};
  return finish(samples, exit_at);
}

}  // namespace

bool deferrable(int sid, int i_entry, int i_exit) {
  if (g.price == Py_None || g.close == Py_None || g.window_step <= 0) return false;
  long long arsize;
  if (!record_size(&arsize)) {
    PyErr_Clear();  // raised again by the walk itself
    return false;
  }
  if (arsize < 12) return false;
  const Matrix price{g.price, view2<double>(g.price)};
  const Matrix close{g.close, view2<double>(g.close)};
  long long last;
  size_t n;
  if (!walk_end(i_entry, i_exit, price.v.n0, &last, &n)) {
    PyErr_Clear();
    return false;
  }
  const int pid = price_column(sid);
  if (!(in_matrix(price.v, i_entry, pid) && in_matrix(close.v, i_entry, pid) && in_matrix(price.v, last, pid) &&
        in_matrix(close.v, last, pid) && i_entry <= last))
    return false;
  prefetch_trade<2>(price, close, pid, i_entry, last);
  return true;
}

PyObject* tidemark_analysis(int sid, int i_entry, int i_exit, bool is_long, int i_entry_trasnaction,
                            int i_exit_trasnaction) {
  PyObject* r = nullptr;
  try {
    r = analyse(sid, i_entry, i_exit, is_long, i_entry_trasnaction, i_exit_trasnaction, false, result_blocks);
  } catch (...) {
    set_from_cpp_exception();
    r = nullptr;
  }
  if (!r) ORVANE_TRACEBACK(kQualname);
  return r;
}

bool tidemark_analysis_into(int sid, int i_entry, int i_exit, bool is_long, int i_entry_trasnaction,
                            int i_exit_trasnaction, RecordArrays& out) {
  bool ok = false;
  try {
    ok = analyse(sid, i_entry, i_exit, is_long, i_entry_trasnaction, i_exit_trasnaction, true,
                 [&out](const Sampler& samples, double exit_at) { return append_blocks(samples, exit_at, out); });
  } catch (...) {
    set_from_cpp_exception();
    ok = false;
  }
  if (!ok) ORVANE_TRACEBACK(kQualname);
  return ok;
}

}  // namespace orvane::tidemark
