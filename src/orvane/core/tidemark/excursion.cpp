// Per-trade excursion record: one pass over the walked rows keeping six running
// statistics per row, then sampled into 6-value blocks (window blocks + exit block).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "errors.h"
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

struct Walk {
  std::vector<double> returns, cummax, cummin, mdd, profit_period;
  std::vector<int64_t> cummin_i;

  void reserve(size_t n) {
    returns.reserve(n);
    cummax.reserve(n);
    cummin.reserve(n);
    cummin_i.reserve(n);
    mdd.reserve(n);
    profit_period.reserve(n);
  }
  void block(size_t k, double* out) const {
    out[0] = cummin[k] - 1;
    out[1] = cummax[k] - 1;
    out[2] = cummax[static_cast<size_t>(cummin_i[k])] - 1;
    out[3] = mdd[k];
    out[4] = profit_period[k];
    out[5] = returns[k] - 1;
  }
};

PyObject* analyse(int sid, int i_entry, int i_exit, bool is_long, int i_entry_trasnaction, int i_exit_trasnaction) {
  const int pid = g.pos2price[sid];  // an unmapped sid reads (and inserts) column 0

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
  Walk w;
  w.reserve(static_cast<size_t>(walked));

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
  w.returns.push_back(v);
  w.cummax.push_back(1 > v ? 1 : v);
  w.cummin.push_back(v > 1 ? 1 : v);
  w.cummin_i.push_back(0);
  w.mdd.push_back(v - 1 < 0 ? v - 1 : 0);
  w.profit_period.push_back(v > 1 ? 1 : 0);

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
    double cmax;
    if (v > w.cummax[i]) {
      w.cummax.push_back(v);
      cmax = v;
    } else {
      cmax = w.cummax[i];
      w.cummax.push_back(cmax);
    }
    if (w.cummin[i] > v) {
      w.cummin.push_back(v);
      w.cummin_i.push_back(i);
    } else {
      w.cummin.push_back(w.cummin[i]);
      w.cummin_i.push_back(w.cummin_i[i]);
    }
    if (cmax == 0) {
      raise_float_division();
      return false;
    }
    const double newmdd = v / cmax - 1;
    w.mdd.push_back(w.mdd[i] > newmdd ? newmdd : w.mdd[i]);
    w.profit_period.push_back(valid && v > 1 ? w.profit_period[i] + 1 : w.profit_period[i]);
    w.returns.push_back(v);
    return true;
  };
  const long long first = static_cast<long long>(i_entry) + 1;
  long long col;
  if (first >= 0 && i_exit_max < close.v.n0 && wrap_index(pid, close.v.n1, &col)) {
    // Every walked row is inside the close matrix: read the column directly.
    const char* column = close.v.data + col * close.v.s1;
    for (long long row = first; row <= i_exit_max; ++row) {
      if (!step(row - first, load<double>(column + row * close.v.s0))) return nullptr;
    }
  } else {
    for (long long row = first; row <= i_exit_max; ++row) {
      double p;
      if (!close.read(row, pid, &p) || !step(row - first, p)) return nullptr;
    }
  }
  const size_t n = w.returns.size();

  if (i_exit_trasnaction != 0) {
    double& last = w.returns[n - 1];
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

  // min(n, window) compared as unsigned: a negative window counts as larger than n.
  const uint64_t limit = std::min<uint64_t>(n, static_cast<uint64_t>(static_cast<int64_t>(g.window)));
  if (g.window_step > 0) {
    long long k = 0;
    double block[6];
    for (uint64_t off = 0; off < limit; off += static_cast<uint64_t>(g.window_step), k += 6) {
      w.block(static_cast<size_t>(off), block);
      for (int s = 0; s < 6; ++s) {
        if (k + s >= arsize) {
          raise_buffer_bounds(0);
          return nullptr;
        }
        out[k + s] = block[s];
      }
    }
  }

  const uint64_t gap = static_cast<uint64_t>(static_cast<long long>(i_exit) - i_entry);
  const size_t e = static_cast<size_t>(std::min<uint64_t>(n - 1, gap));
  double block[6];
  w.block(e, block);
  for (int s = 0; s < 6; ++s) {
    if (!store_item(out, arsize, arsize - 6 + s, block[s])) return nullptr;
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
