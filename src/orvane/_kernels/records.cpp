// Sums over trade records for the summaries of the Python layer: each a pass over the
// records' columns without temporaries (a sweep computes them after every run).
#include "numpy_api.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

#include "args.h"
#include "errors.h"
#include "pyref.h"
#include "records.h"
#include "select.h"
#include "strided.h"

namespace orvane::kernels {

namespace {

constexpr int64_t kNaT = INT64_MIN;

// A sum kept in blocks of 128 plain additions, the blocks' sums added compensated
// (Neumaier): as exact as NumPy's pairwise sum or better, at one addition a value.
struct Sum {
  static constexpr int kBlock = 128;
  double s = 0, c = 0, part = 0;
  int k = 0;
  void add(double x) {
    part += x;
    if (++k == kBlock) flush();
  }
  // add(x) if take, else nothing (the blocks counted by what is added).
  void add_if(bool take, double x) {
    part = select(take, part + x, part);
    k += take;
    if (k == kBlock) flush();
  }
  // Kept if keep, else emptied.
  void keep_if(bool keep) {
    s = select(keep, s, 0.0);
    c = select(keep, c, 0.0);
    part = select(keep, part, 0.0);
    k = keep ? k : 0;
  }
  void flush() {
    const double t = s + part;
    c += select(std::fabs(s) >= std::fabs(part), (s - t) + part, (part - t) + s);
    s = t;
    part = 0;
    k = 0;
  }
  double value() const {
    Sum done = *this;
    done.flush();
    return select(std::isfinite(done.s), done.s + done.c, done.s);
  }
};

// x where c holds, else 0.0, by a mask: a branch on whether a record won would be
// mispredicted half the time.
inline double pick(bool c, double x) { return select(c, x, 0.0); }

// Mean of the values taken: NaN skipped, NaN without any.  Every value offered adds to
// the sum (0.0 if not taken); the caller flushes it every Sum::kBlock values.
struct Mean {
  Sum sum;
  npy_intp n = 0;
  void take(double x, bool taken) {
    taken = taken & (x == x);
    sum.part += pick(taken, x);
    n += taken;
  }
  double value() const { return n ? sum.value() / static_cast<double>(n) : NAN; }
};

// A 1-D ndarray of the given kind ('f', 'i' or 'b') and item size, or None where allowed.
bool vector_arg(PyObject* o, const char* name, char kind, int size, bool optional, View1<char>* out) {
  if (optional && o == Py_None) return true;
  if (!PyArray_Check(o)) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 PyArray_Type.tp_name, Py_TYPE(o)->tp_name);
    return false;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  PyArray_Descr* d = PyArray_DESCR(a);
  if (PyArray_NDIM(a) != 1 || d->kind != kind || PyDataType_ELSIZE(d) != size || !PyArray_ISNOTSWAPPED(a)) {
    const char* what = kind == 'f' ? "float64" : kind == 'i' ? "int64" : "bool";
    PyErr_Format(PyExc_ValueError, "%s must be a 1-D %s array", name, what);
    return false;
  }
  *out = view1<char>(o);
  return true;
}

template <class T>
inline T at(const View1<char>& v, npy_intp i) {
  return load<T>(v.data + i * v.stride);
}

bool same_length(std::initializer_list<const View1<char>*> vs) {
  const npy_intp n = (*vs.begin())->n;
  for (const View1<char>* v : vs) {
    if (v->present && v->n != n) {
      PyErr_SetString(PyExc_ValueError, "the record columns must have one length");
      return false;
    }
  }
  return true;
}

PyObject* new_vector(npy_intp n, int type) {
  return PyArray_SimpleNew(1, &n, type);
}

constexpr const char* kStatsParams[] = {"money", "ret", "bars_held", "mae", "gmfe"};
constexpr Signature kStatsSig{"record_stats", kStatsParams, 5, 5};

PyObject* record_stats_impl(PyObject* args, PyObject* kwargs) {
  PyObject* a[5];
  if (!bind_args(kStatsSig, args, kwargs, a)) return nullptr;
  View1<char> money, ret, bars, mae, gmfe;
  if (!vector_arg(a[0], "money", 'f', 8, false, &money) || !vector_arg(a[1], "ret", 'f', 8, false, &ret) ||
      !vector_arg(a[2], "bars_held", 'f', 8, true, &bars) || !vector_arg(a[3], "mae", 'f', 8, true, &mae) ||
      !vector_arg(a[4], "gmfe", 'f', 8, true, &gmfe))
    return nullptr;
  if (!same_length({&money, &ret, &bars, &mae, &gmfe})) return nullptr;
  const bool means = bars.present && mae.present && gmfe.present;
  npy_intp known = 0, wins = 0;
  Sum gains, lost;
  Mean avg_win, avg_loss, avg_bars, mae_win, mfe_win, mae_loss, mfe_loss;
  // Every sum takes a value (0.0 when the record is not its) on every record, so all
  // their blocks end together: a block of plain additions, then every sum flushed.
  for (npy_intp start = 0; start < money.n; start += Sum::kBlock) {
    const npy_intp stop = std::min(money.n, start + Sum::kBlock);
    for (npy_intp i = start; i < stop; ++i) {
      const double m = at<double>(money, i);
      // A record wins with money above 0 and loses with 0 or less; NaN is neither.
      const bool win = m > 0, loss = m <= 0;
      known += win | loss;
      wins += win;
      gains.part += pick(win, m);
      lost.part += pick(loss, m);
      if (!means) continue;
      avg_bars.take(at<double>(bars, i), true);
      const double r = at<double>(ret, i), lo = at<double>(mae, i), up = at<double>(gmfe, i);
      avg_win.take(r, win);
      avg_loss.take(r, loss);
      mae_win.take(lo, win);
      mfe_win.take(up, win);
      mae_loss.take(lo, loss);
      mfe_loss.take(up, loss);
    }
    if (stop - start < Sum::kBlock) break;  // a part block is flushed by value()
    for (Sum* s : {&gains, &lost, &avg_win.sum, &avg_loss.sum, &avg_bars.sum, &mae_win.sum, &mfe_win.sum,
                   &mae_loss.sum, &mfe_loss.sum})
      s->flush();
  }
  // In the order of kRecordStats.
  if (!means) {
    return Py_BuildValue("(nnndd)", money.n, known, wins, gains.value(), lost.value());
  }
  return Py_BuildValue("(nnnddddddddd)", money.n, known, wins, gains.value(), lost.value(), avg_win.value(),
                       avg_loss.value(), avg_bars.value(), mae_win.value(), mfe_win.value(), mae_loss.value(),
                       mfe_loss.value());
}

// Ticker numbers a table indexed by key can hold.
bool small_keys(const View1<char>& key, int64_t* hi) {
  int64_t lo = 0;
  *hi = -1;
  for (npy_intp i = 0; i < key.n; ++i) {
    const int64_t k = at<int64_t>(key, i);
    lo = i ? std::min(lo, k) : k;
    *hi = i ? std::max(*hi, k) : k;
  }
  return key.n && lo >= 0 && *hi < 4 * static_cast<int64_t>(key.n) + 65536;
}

// By key, then entry; ties keep the records' order (np.lexsort((entry, key))).  A
// counting sort when the keys are few (ticker numbers), each key's records usually
// already in entry order.
void sort_records(const View1<char>& key, const View1<char>& entry, int64_t* ord) {
  const npy_intp n = key.n;
  auto by_entry = [&](int64_t x, int64_t y) { return at<int64_t>(entry, x) < at<int64_t>(entry, y); };
  int64_t hi;
  if (small_keys(key, &hi)) {
    std::vector<npy_intp> start(static_cast<size_t>(hi) + 2, 0);
    for (npy_intp i = 0; i < n; ++i) ++start[static_cast<size_t>(at<int64_t>(key, i)) + 1];
    std::partial_sum(start.begin(), start.end(), start.begin());
    std::vector<npy_intp> next(start.begin(), start.end() - 1);
    for (npy_intp i = 0; i < n; ++i) ord[next[static_cast<size_t>(at<int64_t>(key, i))]++] = i;
    for (size_t k = 0; k + 1 < start.size(); ++k) {
      int64_t* first = ord + start[k];
      int64_t* last = ord + start[k + 1];
      if (!std::is_sorted(first, last, by_entry)) std::stable_sort(first, last, by_entry);
    }
  } else {
    std::iota(ord, ord + n, int64_t{0});
    std::stable_sort(ord, ord + n, [&](int64_t x, int64_t y) {
      const int64_t kx = at<int64_t>(key, x), ky = at<int64_t>(key, y);
      return kx != ky ? kx < ky : by_entry(x, y);
    });
  }
}

// Whether record i continues record p: same ticker and side, entered on the bar p left
// (a position a rebalance split).
inline bool continues_from(const View1<char>& key, const View1<char>& side, const View1<char>& entry,
                           const View1<char>& exit, npy_intp i, npy_intp p) {
  const int64_t left = at<int64_t>(exit, p);
  return (at<int64_t>(key, i) == at<int64_t>(key, p)) & (at<npy_bool>(side, i) == at<npy_bool>(side, p)) &
         (at<int64_t>(entry, i) == left) & (left != kNaT);
}

bool grouping_args(PyObject** a, View1<char>* key, View1<char>* entry, View1<char>* side, View1<char>* exit,
                   bool optional) {
  if (!vector_arg(a[0], "key", 'i', 8, false, key) || !vector_arg(a[1], "entry", 'i', 8, false, entry) ||
      !vector_arg(a[2], "short", 'b', 1, optional, side) || !vector_arg(a[3], "exit", 'i', 8, optional, exit))
    return false;
  if (!same_length({key, side, entry, exit})) return false;
  if (side->present != exit->present) {
    PyErr_SetString(PyExc_ValueError, "short and exit must both be given or both be None");
    return false;
  }
  return true;
}

constexpr const char* kGroupParams[] = {"key", "entry", "short", "exit"};
constexpr Signature kGroupSig{"group_records", kGroupParams, 4, 4};

PyObject* group_records_impl(PyObject* args, PyObject* kwargs) {
  PyObject* a[4];
  View1<char> key, entry, side, exit;
  if (!bind_args(kGroupSig, args, kwargs, a) || !grouping_args(a, &key, &entry, &side, &exit, true))
    return nullptr;
  const npy_intp n = key.n;
  PyRef order = PyRef::steal(new_vector(n, NPY_INT64));
  if (!order) return nullptr;
  auto* ord = static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(order.get())));
  sort_records(key, entry, ord);
  if (!side.present) return Py_BuildValue("(OO)", order.get(), Py_None);
  PyRef continues = PyRef::steal(new_vector(n, NPY_BOOL));
  if (!continues) return nullptr;
  auto* cont = static_cast<npy_bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(continues.get())));
  if (n) cont[0] = false;
  for (npy_intp r = 1; r < n; ++r) cont[r] = continues_from(key, side, entry, exit, ord[r], ord[r - 1]);
  return Py_BuildValue("(OO)", order.get(), continues.get());
}

// A ticker's holding in progress and its last record, for the pass in the records'
// order: its growth and money so far.
struct Last {
  double growth = 1.0;
  Sum money;
  int64_t entry = 0, exit = kNaT;
  npy_bool side = 0, open = false;
};

// The holdings' sums, written in place into arrays of n + 1 rows: at most one holding a
// record, and a row to spare for the store of a holding that is not kept.
struct Out {
  double* ret;
  double* pnl;  // nullptr without pnl
  npy_intp count = 0;

  // Writes h's sums at the next row, kept there only if `keep` (a store either way,
  // so that whether a holding ends, which goes either way at random, is no branch).
  void finish_if(bool keep, const Last& h) {
    ret[count] = h.growth - 1.0;
    if (pnl) pnl[count] = h.money.value();
    count += keep;
  }
};

PyRef float_rows(npy_intp n) { return PyRef::steal(new_vector(n, NPY_FLOAT64)); }

// The array cut to its first `rows` rows, in place.
bool shrink(PyRef& a, npy_intp rows) {
  npy_intp dims[1] = {rows};
  PyArray_Dims shape = {dims, 1};
  PyObject* done = PyArray_Resize(reinterpret_cast<PyArrayObject*>(a.get()), &shape, 0, NPY_CORDER);
  if (!done) return false;
  Py_DECREF(done);
  return true;
}

double* rows_of(const PyRef& a) {
  return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())));
}

constexpr const char* kHoldParams[] = {"key", "entry", "short", "exit", "ret", "pnl", "weight"};
constexpr Signature kHoldSig{"holding_sums", kHoldParams, 7, 7};

PyObject* holding_sums_impl(PyObject* args, PyObject* kwargs) {
  PyObject* a[7];
  View1<char> key, entry, side, exit, ret, pnl, weight;
  if (!bind_args(kHoldSig, args, kwargs, a) || !grouping_args(a, &key, &entry, &side, &exit, false) ||
      !vector_arg(a[4], "ret", 'f', 8, false, &ret) || !vector_arg(a[5], "pnl", 'f', 8, true, &pnl) ||
      !vector_arg(a[6], "weight", 'f', 8, false, &weight) || !same_length({&key, &ret, &pnl, &weight}))
    return nullptr;
  const npy_intp n = key.n;
  auto money_of = [&](npy_intp i) { return pnl.present ? at<double>(pnl, i) : 0.0; };
  PyRef hret = float_rows(n + 1);
  PyRef hpnl = pnl.present ? float_rows(n + 1) : PyRef::borrow(Py_None);
  if (!hret || !hpnl) return nullptr;
  Out out{rows_of(hret), pnl.present ? rows_of(hpnl) : nullptr};
  Sum turnover;
  // One pass in the records' order with each ticker's holding at hand (a small table),
  // while every ticker's records come in entry order (the engine's do): a record
  // continues the one before it of its ticker, as in group_records' order.
  int64_t hi;
  bool in_order = small_keys(key, &hi);
  if (in_order) {
    std::vector<Last> last(static_cast<size_t>(hi) + 1);
    for (npy_intp i = 0; i < n && in_order; ++i) {
      Last& l = last[static_cast<size_t>(at<int64_t>(key, i))];
      const int64_t e = at<int64_t>(entry, i);
      const npy_bool sd = at<npy_bool>(side, i);
      in_order = !l.open || l.entry <= e;
      // Whether a record continues its ticker's holding goes either way at random:
      // both outcomes are computed and selected.
      const bool cont = l.open & (sd == l.side) & (e == l.exit) & (l.exit != kNaT);
      out.finish_if(l.open & !cont, l);
      turnover.add_if(!cont, std::fabs(at<double>(weight, i)));
      l.growth = select(cont, l.growth, 1.0) * (1.0 + at<double>(ret, i));
      l.money.keep_if(cont);
      l.money.add(money_of(i));
      l.entry = e;
      l.exit = at<int64_t>(exit, i);
      l.side = sd;
      l.open = true;
    }
    for (const Last& l : last) out.finish_if(l.open, l);
  }
  if (!in_order) {
    out.count = 0;
    turnover = Sum{};
    std::vector<int64_t> ord(static_cast<size_t>(n));
    sort_records(key, entry, ord.data());
    Last h;
    for (npy_intp r = 0; r < n; ++r) {
      const npy_intp i = ord[r];
      if (!(r && continues_from(key, side, entry, exit, i, ord[r - 1]))) {
        out.finish_if(r, h);
        h = Last{};
        turnover.add(std::fabs(at<double>(weight, i)));
      }
      h.growth *= 1.0 + at<double>(ret, i);
      h.money.add(money_of(i));
    }
    out.finish_if(n, h);
  }
  if (!shrink(hret, out.count) || (pnl.present && !shrink(hpnl, out.count))) return nullptr;
  return Py_BuildValue("(OOd)", hret.get(), hpnl.get(), turnover.value());
}

constexpr const char* kOpenParams[] = {"start", "stop", "bars"};
constexpr Signature kOpenSig{"bars_with_open", kOpenParams, 3, 3};

PyObject* bars_with_open_impl(PyObject* args, PyObject* kwargs) {
  PyObject* a[3];
  if (!bind_args(kOpenSig, args, kwargs, a)) return nullptr;
  View1<char> start, stop;
  long long bars;
  if (!vector_arg(a[0], "start", 'i', 8, false, &start) || !vector_arg(a[1], "stop", 'i', 8, false, &stop) ||
      !to_int64(a[2], &bars))
    return nullptr;
  if (!same_length({&start, &stop})) return nullptr;
  if (bars < 0) {
    PyErr_SetString(PyExc_ValueError, "bars must be 0 or more");
    return nullptr;
  }
  // Records open on bars start..stop-1: +1 at start, -1 at stop, then a running count.
  std::vector<int64_t> opened(static_cast<size_t>(bars) + 1, 0);
  for (npy_intp i = 0; i < start.n; ++i) {
    const int64_t s = at<int64_t>(start, i), e = at<int64_t>(stop, i);
    if (s < 0 || e < 0) {
      PyErr_SetString(PyExc_ValueError, "start and stop must be bar positions (0 or more)");
      return nullptr;
    }
    ++opened[static_cast<size_t>(std::min<int64_t>(s, bars))];
    --opened[static_cast<size_t>(std::min<int64_t>(e, bars))];
  }
  int64_t running = 0;
  long long count = 0;
  for (long long b = 0; b < bars; ++b) {
    running += opened[static_cast<size_t>(b)];
    count += running > 0;
  }
  return PyLong_FromLongLong(count);
}

}  // namespace

PyObject* record_stats(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane._kernels.record_stats", [&] { return record_stats_impl(args, kwargs); });
}

PyObject* group_records(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane._kernels.group_records", [&] { return group_records_impl(args, kwargs); });
}

PyObject* holding_sums(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane._kernels.holding_sums", [&] { return holding_sums_impl(args, kwargs); });
}

PyObject* bars_with_open(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane._kernels.bars_with_open", [&] { return bars_with_open_impl(args, kwargs); });
}

}  // namespace orvane::kernels
