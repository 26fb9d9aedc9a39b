// Per-trade excursion record: one pass over the walked rows keeping six running
// statistics per row, then sampled into 6-value blocks (window blocks + exit block).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "errors.h"
#include "prefetch.h"
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

PyObject* analyse(int sid, int i_entry, int i_exit, bool is_long, int i_entry_trasnaction, int i_exit_trasnaction) {
  const int pid = price_column(sid);

  if (g.price == Py_None) {
    PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%.400s'", Py_TYPE(g.price)->tp_name,
                 "shape");
    return nullptr;
  }
  // Held while their views are read (see close_trade for why).
  PyRef hold_price = PyRef::borrow(g.price), hold_close = PyRef::borrow(g.close);
  const Matrix price{g.price, view2<double>(g.price)};
  const Matrix close{g.close, view2<double>(g.close)};

  // 64-bit index arithmetic: no int32 overflow for any argument values.
  long long i_exit_max = i_exit;
  if (static_cast<long long>(i_entry) + g.window > i_exit_max) i_exit_max = static_cast<long long>(i_entry) + g.window;
  const long long nrows = price.v.n0;
  if (i_exit_max >= nrows) i_exit_max = nrows - 1;

  const long long walked = i_exit_max - i_entry + 1;
  if (walked < 0) {
    PyErr_SetString(PyExc_OverflowError, "can't convert negative value to size_t");
    return nullptr;
  }
  const size_t n = 1 + static_cast<size_t>(i_exit_max > i_entry ? i_exit_max - i_entry : 0);  // entry row + steps
  // Rows whose block the result keeps: every window_step-th row below
  // min(n, window) (compared as unsigned: a negative window counts as larger
  // than n), and row e, the exit's row or the last.
  const uint64_t limit = std::min<uint64_t>(n, static_cast<uint64_t>(static_cast<int64_t>(g.window)));
  const uint64_t sample_step = g.window_step > 0 ? static_cast<uint64_t>(g.window_step) : 0;
  const uint64_t nsamples = sample_step && limit ? (limit - 1) / sample_step + 1 : 0;
  const uint64_t gap = static_cast<uint64_t>(static_cast<long long>(i_exit) - i_entry);
  const size_t e = static_cast<size_t>(std::min<uint64_t>(n - 1, gap));
  SamplesLease lease;
  std::vector<double>& samples = (*lease).blocks;
  if (samples.size() < 6 * nsamples) samples.resize(static_cast<size_t>(6 * nsamples));
  double e_block[6];
  auto sampled = [&](uint64_t k) { return sample_step && k < limit && k % sample_step == 0; };
  uint64_t next_sample = nsamples ? 0 : UINT64_MAX;  // the next row sampled, counted up without a division
  double* next_block = samples.data();
  auto keep = [&](uint64_t k, const Stats& st) {
    if (k == next_sample) {
      st.block(next_block);
      next_block += 6;
      next_sample = next_sample + sample_step < limit ? next_sample + sample_step : UINT64_MAX;
    }
    if (k == e) st.block(e_block);
  };

  // Ask for every cell this trade reads before the first one is needed: the
  // misses then overlap instead of queueing behind each other.
  long long col;
  const bool direct = i_entry >= 0 && i_exit_max < close.v.n0 && g.price != Py_None && price.v.n0 == close.v.n0 &&
                      wrap_index(pid, close.v.n1, &col) && pid < price.v.n1 && pid >= -price.v.n1;
  constexpr long long kAhead = 32;  // rows requested before they are read
  if (direct) {
    const char* column = close.v.data + col * close.v.s1;
    const long long pcol = pid < 0 ? pid + price.v.n1 : pid;
    prefetch(price.v.data + i_entry * price.v.s0 + pcol * price.v.s1);
    prefetch(price.v.data + i_exit_max * price.v.s0 + pcol * price.v.s1);
    for (long long row = i_entry; row <= i_exit_max && row <= i_entry + kAhead; ++row)
      prefetch(column + row * close.v.s0);
  }

  double entry_price, entry_close;
  if (!price.read(i_entry, pid, &entry_price) || !close.read(i_entry, pid, &entry_close)) return nullptr;
  if (entry_price == 0) {
    raise_float_division();
    return nullptr;
  }
  double price_ratio = is_long ? entry_close / entry_price : 2 - entry_close / entry_price;
  if (i_entry_trasnaction != 0) price_ratio = (1 - g.fee_ratio) * price_ratio;
  double v = price_ratio;

  // Entry row; NaN makes each comparison false, which picks the branch noted.
  Stats st;
  st.ret = v;
  st.cummax = 1 > v ? 1 : v;
  st.cummin = v > 1 ? 1 : v;
  st.cummax_at_min = st.cummax;
  st.mdd = v - 1 < 0 ? v - 1 : 0;
  st.profit_period = v > 1 ? 1 : 0;
  keep(0, st);

  double pv;
  if (!close.read(i_entry, pid, &pv)) return nullptr;

  // One step of the walk at offset i with the row's close p; false on error.
  auto step = [&](long long i, double p) {
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
    const double previous_max = st.cummax;
    if (v > st.cummax) st.cummax = v;
    if (st.cummin > v) {
      st.cummin = v;
      st.cummax_at_min = previous_max;  // the minimum is indexed by the row before
    }
    if (st.cummax == 0) {
      raise_float_division();
      return false;
    }
    const double newmdd = v / st.cummax - 1;
    if (st.mdd > newmdd) st.mdd = newmdd;
    if (valid && v > 1) st.profit_period = st.profit_period + 1;
    st.ret = v;
    keep(static_cast<uint64_t>(i) + 1, st);
    return true;
  };
  const long long first = static_cast<long long>(i_entry) + 1;
  if (first >= 0 && i_exit_max < close.v.n0 && wrap_index(pid, close.v.n1, &col)) {
    // Every walked row is inside the close matrix: read the column directly.
    const char* column = close.v.data + col * close.v.s1;
    for (long long row = first; row <= i_exit_max; ++row) {
      if (row + kAhead <= i_exit_max) prefetch(column + (row + kAhead) * close.v.s0);
      if (!step(row - first, load<double>(column + row * close.v.s0))) return nullptr;
    }
  } else {
    for (long long row = first; row <= i_exit_max; ++row) {
      double p;
      if (!close.read(row, pid, &p) || !step(row - first, p)) return nullptr;
    }
  }

  if (i_exit_trasnaction != 0) {
    double last = st.ret;  // the last row's return, which is what st holds now
    if (i_entry != i_exit_max) {
      double lp, lc;
      if (!price.read(i_exit_max, pid, &lp) || !close.read(i_exit_max, pid, &lc)) return nullptr;
      if (lc == 0) {
        raise_float_division();
        return nullptr;
      }
      const double x = last;
      last = is_long ? (lp / lc) * x : 2 - ((2 - x) * lp) / lc;
    }
    const double f = (1 - g.fee_ratio) - g.tax_ratio;
    last = f * last;
    // The exit's costs change the last row's return, in every block kept of it.
    if (sampled(n - 1)) samples[static_cast<size_t>(6 * ((n - 1) / sample_step) + 5)] = last - 1;
    if (e == n - 1) e_block[5] = last - 1;
  }

  if (g.window_step == 0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
    return nullptr;
  }
  const long long num = static_cast<long long>(g.window) - 1;
  const long long den = g.window_step;
  long long q = num / den;
  if (num % den != 0 && ((num < 0) != (den < 0))) q -= 1;  // floor, not truncation
  const long long arsize = 6 * q + 12;

  npy_intp dims[1] = {static_cast<npy_intp>(arsize)};
  PyRef ret = PyRef::steal(PyArray_EMPTY(1, dims, NPY_DOUBLE, 0));
  if (!ret) return nullptr;
  double* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(ret.get())));
  for (long long k = 0; k < arsize; ++k) out[k] = -1;

  for (uint64_t j = 0; j < nsamples; ++j) {
    const long long k = static_cast<long long>(6 * j);
    for (int s = 0; s < 6; ++s) {
      if (k + s >= arsize) {
        raise_buffer_bounds(0);
        return nullptr;
      }
      out[k + s] = samples[static_cast<size_t>(k + s)];
    }
  }
  for (int s = 0; s < 6; ++s) {
    if (!store_item(out, arsize, arsize - 6 + s, e_block[s])) return nullptr;
  }
  return ret.release();
}

}  // namespace

PyObject* tidemark_analysis(int sid, int i_entry, int i_exit, bool is_long, int i_entry_trasnaction,
                            int i_exit_trasnaction) {
  PyObject* r = nullptr;
  try {
    r = analyse(sid, i_entry, i_exit, is_long, i_entry_trasnaction, i_exit_trasnaction);
  } catch (...) {
    set_from_cpp_exception();
    r = nullptr;
  }
  if (!r) ORVANE_TRACEBACK(kQualname);
  return r;
}

}  // namespace orvane::tidemark
