// The front's own kernels: one-pass scans that tell the price checks a matrix is clean
// (the checks then skip their slower passes that name the faults), the trade records'
// sums of a summary (records.cpp) and a byte compare outside the GIL.
#define ORVANE_NUMPY_IMPORT
#include "numpy_api.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "args.h"
#include "errors.h"
#include "pyref.h"
#include "records.h"
#include "strided.h"

namespace orvane::kernels {

namespace {

// A 2-D float64 ndarray argument, or None where allowed.
bool float_matrix(PyObject* o, const char* name, bool optional, View2<double>* out) {
  if (optional && o == Py_None) return true;
  if (!PyArray_Check(o)) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 PyArray_Type.tp_name, Py_TYPE(o)->tp_name);
    return false;
  }
  if (!check_array_buffer(reinterpret_cast<PyArrayObject*>(o), 2, Elem::Float64, "double")) return false;
  *out = view2<double>(o);
  return true;
}

bool same_shape(const View2<double>& a, const View2<double>& b) {
  if (!b.present || (a.n0 == b.n0 && a.n1 == b.n1)) return true;
  PyErr_SetString(PyExc_ValueError, "the matrices must have one shape");
  return false;
}

// Calls f(i, j) on every cell in the order the matrix lies in memory; stops at the
// first true and returns it.
template <class F>
bool any_cell(const View2<double>& m, F f) {
  if (std::llabs(static_cast<long long>(m.s1)) <= std::llabs(static_cast<long long>(m.s0))) {
    for (npy_intp i = 0; i < m.n0; ++i)
      for (npy_intp j = 0; j < m.n1; ++j)
        if (f(i, j)) return true;
  } else {
    for (npy_intp j = 0; j < m.n1; ++j)
      for (npy_intp i = 0; i < m.n0; ++i)
        if (f(i, j)) return true;
  }
  return false;
}

// NumPy's minimum and maximum: NaN when either is.
inline double nan_min(double a, double b) { return std::isnan(a) || std::isnan(b) ? NAN : (a < b ? a : b); }
inline double nan_max(double a, double b) { return std::isnan(a) || std::isnan(b) ? NAN : (a > b ? a : b); }

// The matrices' contiguous lines, for loops the compiler can vectorise: rows (axis 1
// of unit stride) or columns (axis 0), when every matrix given lies that way, aligned.
struct Lines {
  bool ok = false;
  bool rows = true;
  npy_intp count = 0, length = 0;

  const double* line(const View2<double>& m, npy_intp k) const {
    return reinterpret_cast<const double*>(m.data + k * (rows ? m.s0 : m.s1));
  }
};

Lines lines_of(std::initializer_list<const View2<double>*> ms) {
  const View2<double>& first = **ms.begin();
  for (const bool rows : {true, false}) {
    bool all = true;
    for (const View2<double>* m : ms) {
      if (!m->present) continue;
      const npy_intp unit = rows ? m->s1 : m->s0;
      all = all && (unit == sizeof(double) || (rows ? m->n1 : m->n0) <= 1) &&
            reinterpret_cast<uintptr_t>(m->data) % alignof(double) == 0 && m->s0 % sizeof(double) == 0 &&
            m->s1 % sizeof(double) == 0;
    }
    if (all) return {true, rows, rows ? first.n0 : first.n1, rows ? first.n1 : first.n0};
  }
  return {};
}

// The scan loops get an AVX2 build where the loader can pick one at run time: the
// baseline x86-64 vector unit cannot turn their comparisons into flags (glibc: the
// pick needs its ifunc).
#if defined(__x86_64__) && defined(__GLIBC__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define ORVANE_SCAN_CLONES __attribute__((target_clones("avx2", "default")))
#endif
#endif
#ifndef ORVANE_SCAN_CLONES
#define ORVANE_SCAN_CLONES
#endif

// What the cells of a line give the price checks: per field (open, high, low, close)
// whether a value lies outside (0, inf), whether a bar breaks, whether a close jumps.
struct CellFaults {
  int64_t outside[4] = {0, 0, 0, 0};
  int64_t broken = 0, jump = 0;
};

inline int64_t outside_value(double v) {
  return static_cast<int64_t>(v == v) & ~(static_cast<int64_t>(v > 0) & static_cast<int64_t>(v < INFINITY));
}

// The price checks over cells [0, n) of a line, each cell read once (a line's fields do
// not all fit in the first-level cache): every field's values outside (0, inf), NaN
// aside; bars whose low lies above or high below the body (NaN in open or close skips
// the bar; without open the body is the close); with Moves, c[k] / prev[k] below down
// or above up. Flags are 64-bit like the doubles they come from, so the loop vectorises.
template <bool O, bool H, bool L, bool Moves>
ORVANE_SCAN_CLONES void scan_cells(const double* c, const double* o, const double* h, const double* l,
                                   const double* prev, npy_intp n, double bar_up, double bar_down, double down,
                                   double up, CellFaults* f) {
  int64_t bo = 0, bh = 0, bl = 0, bc = 0, broken = 0, jump = 0;
  for (npy_intp k = 0; k < n; ++k) {
    const double cc = c[k];
    const double oo = O ? o[k] : cc;
    bc |= outside_value(cc);
    if (O) bo |= outside_value(oo);
    // NaN in open or close skips the bar.
    const int64_t known = static_cast<int64_t>(cc == cc) & static_cast<int64_t>(oo == oo);
    if (L) {
      const double ll = l[k];
      bl |= outside_value(ll);
      broken |= static_cast<int64_t>(ll > (oo < cc ? oo : cc) * bar_up) & known;
    }
    if (H) {
      const double hh = h[k];
      bh |= outside_value(hh);
      broken |= static_cast<int64_t>(hh < (oo > cc ? oo : cc) * bar_down) & known;
    }
    if (Moves) {
      const double move = cc / prev[k];
      jump |= static_cast<int64_t>(move < down) | static_cast<int64_t>(move > up);
    }
  }
  f->outside[0] |= bo & 1;
  f->outside[1] |= bh & 1;
  f->outside[2] |= bl & 1;
  f->outside[3] |= bc & 1;
  f->broken |= broken != 0;
  f->jump |= jump != 0;
}

using ScanCells = void (*)(const double*, const double*, const double*, const double*, const double*, npy_intp,
                           double, double, double, double, CellFaults*);

template <bool Moves>
ScanCells scan_kernel(bool o, bool h, bool l) {
  if (o) {
    if (h) return l ? scan_cells<true, true, true, Moves> : scan_cells<true, true, false, Moves>;
    return l ? scan_cells<true, false, true, Moves> : scan_cells<true, false, false, Moves>;
  }
  if (h) return l ? scan_cells<false, true, true, Moves> : scan_cells<false, true, false, Moves>;
  return l ? scan_cells<false, false, true, Moves> : scan_cells<false, false, false, Moves>;
}

constexpr const char* kPositiveParams[] = {"values"};
constexpr Signature kPositiveSig{"positive_finite", kPositiveParams, 1, 1};

PyObject* positive_finite_impl(PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  if (!bind_args(kPositiveSig, args, kwargs, a)) return nullptr;
  View2<double> m;
  if (!float_matrix(a[0], "values", false, &m)) return nullptr;
  // NaN is a missing value; every other must lie in (0, inf).
  const Lines lines = lines_of({&m});
  if (lines.ok) {
    CellFaults f;
    for (npy_intp k = 0; k < lines.count && !f.outside[3]; ++k)
      scan_cells<false, false, false, false>(lines.line(m, k), nullptr, nullptr, nullptr, nullptr, lines.length, 0, 0,
                                             0, 0, &f);
    return PyBool_FromLong(!f.outside[3]);
  }
  const bool bad = any_cell(m, [&](npy_intp i, npy_intp j) {
    const double v = m(i, j);
    return !std::isnan(v) && !(v > 0 && v < INFINITY);
  });
  return PyBool_FromLong(!bad);
}

constexpr const char* kBarsParams[] = {"close", "open", "high", "low", "tolerance"};
constexpr Signature kBarsSig{"bars_hold", kBarsParams, 5, 5};

PyObject* bars_hold_impl(PyObject* args, PyObject* kwargs) {
  PyObject* a[5];
  if (!bind_args(kBarsSig, args, kwargs, a)) return nullptr;
  View2<double> c, o, h, l;
  double tol;
  if (!float_matrix(a[0], "close", false, &c) || !float_matrix(a[1], "open", true, &o) ||
      !float_matrix(a[2], "high", true, &h) || !float_matrix(a[3], "low", true, &l) || !to_double(a[4], &tol))
    return nullptr;
  if (!same_shape(c, o) || !same_shape(c, h) || !same_shape(c, l)) return nullptr;
  // As the check's array arithmetic: the body's ends times 1 + tol (low) and 1 - tol
  // (high), compared in double; a NaN anywhere compares false.
  const double up = 1 + tol, down = 1 - tol;
  const Lines lines = lines_of({&c, &o, &h, &l});
  if (lines.ok) {
    const ScanCells cells = scan_kernel<false>(o.present, h.present, l.present);
    CellFaults f;
    for (npy_intp k = 0; k < lines.count && !f.broken; ++k)
      cells(lines.line(c, k), o.present ? lines.line(o, k) : nullptr, h.present ? lines.line(h, k) : nullptr,
            l.present ? lines.line(l, k) : nullptr, nullptr, lines.length, up, down, 0, 0, &f);
    return PyBool_FromLong(!f.broken);
  }
  const bool bad = any_cell(c, [&](npy_intp i, npy_intp j) {
    const double cc = c(i, j);
    if (l.present) {
      const double body = (o.present ? nan_min(o(i, j), cc) : cc) * up;
      if (l(i, j) > body) return true;
    }
    if (h.present) {
      const double body = (o.present ? nan_max(o(i, j), cc) : cc) * down;
      if (h(i, j) < body) return true;
    }
    return false;
  });
  return PyBool_FromLong(!bad);
}

constexpr const char* kJumpParams[] = {"close", "down", "up"};
constexpr Signature kJumpSig{"has_jumps", kJumpParams, 3, 3};

PyObject* has_jumps_impl(PyObject* args, PyObject* kwargs) {
  PyObject* a[3];
  if (!bind_args(kJumpSig, args, kwargs, a)) return nullptr;
  View2<double> c;
  double down, up;
  if (!float_matrix(a[0], "close", false, &c) || !to_double(a[1], &down) || !to_double(a[2], &up)) return nullptr;
  // The move into row i from row i - 1; 0 before a price gives inf, a jump too.
  const Lines lines = lines_of({&c});
  if (lines.ok && c.n0 > 1) {
    const ScanCells moves = scan_cells<false, false, false, true>;
    CellFaults f;
    if (lines.rows) {
      for (npy_intp i = 1; i < c.n0 && !f.jump; ++i)
        moves(lines.line(c, i), nullptr, nullptr, nullptr, lines.line(c, i - 1), c.n1, 0, 0, down, up, &f);
    } else {
      for (npy_intp j = 0; j < c.n1 && !f.jump; ++j) {
        const double* col = lines.line(c, j);
        moves(col + 1, nullptr, nullptr, nullptr, col, c.n0 - 1, 0, 0, down, up, &f);
      }
    }
    return PyBool_FromLong(f.jump);
  }
  const bool jump = c.n0 > 1 && any_cell(c, [&](npy_intp i, npy_intp j) {
    if (i == 0) return false;
    const double move = c(i, j) / c(i - 1, j);
    return move < down || move > up;
  });
  return PyBool_FromLong(jump);
}

// Largest value of p[0, n), NaN skipped (NaN compares false); -inf without any.
ORVANE_SCAN_CLONES double line_max(const double* p, npy_intp n, double m) {
  // Four running maxima: one would wait on the last comparison at every value.
  double q[4] = {m, m, m, m};
  npy_intp k = 0;
  for (; k + 4 <= n; k += 4)
    for (int j = 0; j < 4; ++j) q[j] = p[k + j] > q[j] ? p[k + j] : q[j];
  for (; k < n; ++k) q[0] = p[k] > q[0] ? p[k] : q[0];
  for (int j = 1; j < 4; ++j) q[0] = q[j] > q[0] ? q[j] : q[0];
  return q[0];
}

// Whether p[0, n) holds a value that is not NaN (most lines: their first).
bool any_known(const double* p, npy_intp n) {
  for (npy_intp k = 0; k < n; ++k)
    if (p[k] == p[k]) return true;
  return false;
}

constexpr const char* kScanParams[] = {"close", "open", "high", "low", "tolerance", "down", "up"};
constexpr Signature kScanSig{"scan_prices", kScanParams, 7, 7};

// Every scan the price checks make, in one pass over the matrices: each line (a row or
// a column, as they lie) is read from memory once and its scans run on it in cache.
PyObject* scan_prices_impl(PyObject* args, PyObject* kwargs) {
  PyObject* a[7];
  if (!bind_args(kScanSig, args, kwargs, a)) return nullptr;
  View2<double> c, o, h, l;
  double tol, down, up;
  if (!float_matrix(a[0], "close", false, &c) || !float_matrix(a[1], "open", true, &o) ||
      !float_matrix(a[2], "high", true, &h) || !float_matrix(a[3], "low", true, &l) || !to_double(a[4], &tol) ||
      !to_double(a[5], &down) || !to_double(a[6], &up))
    return nullptr;
  if (!same_shape(c, o) || !same_shape(c, h) || !same_shape(c, l)) return nullptr;
  const Lines lines = lines_of({&c, &o, &h, &l});
  if (!lines.ok) Py_RETURN_NONE;  // the separate scans read any layout
  const View2<double>* fields[4] = {&o, &h, &l, &c};
  CellFaults faults;
  double top = -INFINITY;
  const ScanCells cells = scan_kernel<false>(o.present, h.present, l.present);
  const ScanCells cells_moving = scan_kernel<true>(o.present, h.present, l.present);
  const double bar_up = 1 + tol, bar_down = 1 - tol;
  npy_intp empty = 0;
  // Lying in columns, the rows without a close are those NaN in every column so far:
  // the first column's NaN rows, fewer with each column.
  std::vector<npy_intp> unknown;
  for (npy_intp k = 0; k < lines.count; ++k) {
    const double* cl = lines.line(c, k);
    const double* ol = o.present ? lines.line(o, k) : nullptr;
    const double* hl = h.present ? lines.line(h, k) : nullptr;
    const double* ll = l.present ? lines.line(l, k) : nullptr;
    const npy_intp n = lines.length;
    if (lines.rows) {
      // The move into this row from the row before it.
      if (k)
        cells_moving(cl, ol, hl, ll, lines.line(c, k - 1), n, bar_up, bar_down, down, up, &faults);
      else
        cells(cl, ol, hl, ll, nullptr, n, bar_up, bar_down, down, up, &faults);
      empty += !any_known(cl, n);
    } else {
      // Along the column: the first cell, then each one's move from the one before.
      if (n) cells(cl, ol, hl, ll, nullptr, 1, bar_up, bar_down, down, up, &faults);
      if (n > 1)
        cells_moving(cl + 1, ol ? ol + 1 : nullptr, hl ? hl + 1 : nullptr, ll ? ll + 1 : nullptr, cl, n - 1, bar_up,
                     bar_down, down, up, &faults);
      if (k == 0) {
        for (npy_intp i = 0; i < n; ++i)
          if (cl[i] != cl[i]) unknown.push_back(i);
      } else if (!unknown.empty()) {
        unknown.erase(std::remove_if(unknown.begin(), unknown.end(), [&](npy_intp i) { return cl[i] == cl[i]; }),
                      unknown.end());
      }
    }
    top = line_max(cl, n, top);
  }
  const bool broken = faults.broken, jumps = faults.jump;
  bool outside[4];
  for (int f = 0; f < 4; ++f) outside[f] = faults.outside[f];
  if (!lines.rows) empty = static_cast<npy_intp>(unknown.size());
  PyRef positive = PyRef::steal(PyTuple_New(4));
  if (!positive) return nullptr;
  for (int f = 0; f < 4; ++f) {
    PyObject* flag = Py_None;
    if (fields[f]->present) {
      flag = PyBool_FromLong(!outside[f]);
    } else {
      Py_INCREF(flag);
    }
    PyTuple_SET_ITEM(positive.get(), f, flag);
  }
  const double largest = top == -INFINITY ? NAN : top;
  return Py_BuildValue("(OOnOd)", positive.get(), broken ? Py_False : Py_True, empty, jumps ? Py_True : Py_False,
                       largest);
}

PyObject* scan_prices(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane._kernels.scan_prices", [&] { return scan_prices_impl(args, kwargs); });
}

constexpr const char* kSameParams[] = {"a", "b"};
constexpr Signature kSameSig{"same_bytes", kSameParams, 2, 2};

// A contiguous buffer held for the call.
struct Buffer {
  Py_buffer view{};
  bool held = false;
  bool get(PyObject* o) { return held = PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) == 0; }
  ~Buffer() {
    if (held) PyBuffer_Release(&view);
  }
};

// memcmp(a, b, n) == 0, a large compare split across up to four threads: one thread's
// compare runs well short of the memory's bandwidth (a sweep pool compares its whole
// market at every sweep). Without the GIL; a thread that cannot start leaves its part
// to this one.
bool equal_bytes(const char* a, const char* b, size_t n) noexcept {
  constexpr size_t kSplitFrom = size_t{32} << 20;
  constexpr unsigned kMost = 4;
  const unsigned cores = std::thread::hardware_concurrency();
  const unsigned parts = n >= kSplitFrom ? std::min(kMost, std::max(1u, cores)) : 1;
  const size_t step = n / parts;
  auto part_equal = [=](unsigned p) {
    const size_t from = p * step, to = p + 1 == parts ? n : from + step;
    return std::memcmp(a + from, b + from, to - from) == 0;
  };
  bool equal[kMost] = {true, true, true, true};
  std::thread helpers[kMost];
  unsigned started = 1;
  try {
    for (; started < parts; ++started)
      helpers[started] = std::thread([&, started] { equal[started] = part_equal(started); });
  } catch (...) {
  }
  for (unsigned p = started; p < parts; ++p) equal[p] = part_equal(p);
  equal[0] = part_equal(0);
  for (unsigned p = 1; p < started; ++p) helpers[p].join();
  return std::all_of(equal, equal + parts, [](bool e) { return e; });
}

PyObject* same_bytes_impl(PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  if (!bind_args(kSameSig, args, kwargs, a)) return nullptr;
  Buffer x, y;
  if (!x.get(a[0]) || !y.get(a[1])) return nullptr;
  bool same = x.view.len == y.view.len;
  if (same && x.view.len) {
    Py_BEGIN_ALLOW_THREADS;
    same = equal_bytes(static_cast<const char*>(x.view.buf), static_cast<const char*>(y.view.buf),
                       static_cast<size_t>(x.view.len));
    Py_END_ALLOW_THREADS;
  }
  return PyBool_FromLong(same);
}

PyObject* same_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane._kernels.same_bytes", [&] { return same_bytes_impl(args, kwargs); });
}

PyObject* positive_finite(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane._kernels.positive_finite", [&] { return positive_finite_impl(args, kwargs); });
}

PyObject* bars_hold(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane._kernels.bars_hold", [&] { return bars_hold_impl(args, kwargs); });
}

PyObject* has_jumps(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane._kernels.has_jumps", [&] { return has_jumps_impl(args, kwargs); });
}

PyMethodDef kMethods[] = {
    {"positive_finite", ORVANE_KW_FUNC(positive_finite), METH_VARARGS | METH_KEYWORDS,
     "positive_finite(values)\n--\n\n"
     "True when every value of the 2-D float64 array that is not NaN lies in\n"
     "(0, inf), in one pass without temporaries."},
    {"bars_hold", ORVANE_KW_FUNC(bars_hold), METH_VARARGS | METH_KEYWORDS,
     "bars_hold(close, open, high, low, tolerance)\n--\n\n"
     "True when no bar has low > min(open, close) * (1 + tolerance) or\n"
     "high < max(open, close) * (1 - tolerance) (close alone without open; a\n"
     "comparison with NaN is false). open, high and low may be None; every given\n"
     "matrix is 2-D float64 of close's shape. One pass."},
    {"has_jumps", ORVANE_KW_FUNC(has_jumps), METH_VARARGS | METH_KEYWORDS,
     "has_jumps(close, down, up)\n--\n\n"
     "True when some close[i, j] / close[i - 1, j] is below down or above up\n"
     "(2-D float64). One pass."},
    {"scan_prices", ORVANE_KW_FUNC(scan_prices), METH_VARARGS | METH_KEYWORDS,
     "scan_prices(close, open, high, low, tolerance, down, up)\n--\n\n"
     "The price scans in one pass (open, high, low may be None): ((open, high, low,\n"
     "close) each positive_finite or None when not given, bars_hold(close, open,\n"
     "high, low, tolerance), the number of rows without a close, has_jumps(close,\n"
     "down, up) over all rows, the largest close with NaN skipped or NaN). None when\n"
     "the matrices do not lie alike in memory; the separate scans read any layout."},
    {"record_stats", ORVANE_KW_FUNC(record_stats), METH_VARARGS | METH_KEYWORDS,
     "record_stats(money, ret, bars_held, mae, gmfe)\n--\n\n"
     "Of trade records (1-D float64 columns of one length): (records, known,\n"
     "winners, money won, money lost) and, unless bars_held, mae or gmfe is None,\n"
     "the means of ret for winners and losers, of bars_held, and of mae and gmfe\n"
     "for winners and losers. A record with money above 0 wins, with 0 or less\n"
     "loses; NaN money is neither and NaN values are left out of the means.\n"
     "Compensated sums, one pass."},
    {"group_records", ORVANE_KW_FUNC(group_records), METH_VARARGS | METH_KEYWORDS,
     "group_records(key, entry, short, exit)\n--\n\n"
     "(order, continues): the records sorted by key, then entry, ties in their\n"
     "order (np.lexsort((entry, key))), and for each in that order whether it\n"
     "continues the one before: same key and side, entered at the stamp that one\n"
     "exited (an exit of NaT's int64 never matches); continues is None when short\n"
     "and exit are. key, entry and exit are 1-D int64, short 1-D bool."},
    {"holding_sums", ORVANE_KW_FUNC(holding_sums), METH_VARARGS | METH_KEYWORDS,
     "holding_sums(key, entry, short, exit, ret, pnl, weight)\n--\n\n"
     "Of the holdings group_records finds (a record joined to the one it continues):\n"
     "(return, pnl, turnover): each holding's return compounding its records' in\n"
     "entry order, its pnl summed (None when pnl is None), and the sum of |weight|\n"
     "of each holding's first record. Holdings come in the order they end when each\n"
     "key's records are in entry order (one pass; open ones last, by key), else in\n"
     "group_records' order. ret, pnl and weight are 1-D float64."},
    {"same_bytes", ORVANE_KW_FUNC(same_bytes), METH_VARARGS | METH_KEYWORDS,
     "same_bytes(a, b)\n--\n\n"
     "Whether two buffers hold the same bytes: the same length and every byte\n"
     "equal (memcmp outside the GIL, split across threads from 32 MB on).\n"
     "BufferError for a buffer not contiguous."},
    {"bars_with_open", ORVANE_KW_FUNC(bars_with_open), METH_VARARGS | METH_KEYWORDS,
     "bars_with_open(start, stop, bars)\n--\n\n"
     "How many of bars 0..bars-1 have a record open: records open on bars\n"
     "start..stop-1 (1-D int64, 0 or more; positions past the end count as the end)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "orvane._kernels", "The front's native kernels: price scans, record sums, byte compares.", -1, kMethods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace orvane::kernels

PyMODINIT_FUNC PyInit__kernels(void) {
  import_array();
  orvane::PyRef module = orvane::PyRef::steal(PyModule_Create(&orvane::kernels::kModuleDef));
  if (!module || !orvane::publish_names(module.get(), "RECORD_STATS", orvane::kernels::kRecordStats)) return nullptr;
  return module.release();
}
