// The analysis run: start, clock, trade entries and exits, and the close of the
// trades still open. Failures leave a Python error set; nothing is rolled back.
#include <cstdint>
#include <memory>

#include "errors.h"
#include "pyref.h"
#include "strided.h"
#include "tidemark.h"

namespace orvane::tidemark {

namespace {

constexpr const char* kStart = "orvane.core.tidemark.start_analysis";
constexpr const char* kRecordEntry = "orvane.core.tidemark.record_entry";
constexpr const char* kRecordExit = "orvane.core.tidemark.record_exit";
constexpr const char* kEndAnalysis = "orvane.core.tidemark.end_analysis";

bool check_matrix(PyArrayObject* a) {
  PyObject* o = reinterpret_cast<PyObject*>(a);
  if (o == Py_None) return true;
  if (!PyArray_Check(o)) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to numpy.ndarray", Py_TYPE(o)->tp_name);
    return false;
  }
  return check_array_buffer(a, 2, Elem::Float64, "double");
}

void replace(PyObject** slot, PyObject* value) {
  Py_INCREF(value);
  PyObject* old = *slot;
  *slot = value;
  Py_XDECREF(old);
}

// Element address of a per-sid slot array with NumPy's indexing rules.
char* slot_ptr(PyArrayObject* a, long long sid) {
  const long long n = PyArray_DIM(a, 0);
  long long k;
  if (!wrap_index(sid, n, &k)) {
    raise_numpy_index(sid, 0, n);
    return nullptr;
  }
  return static_cast<char*>(PyArray_DATA(a)) + k * PyArray_STRIDE(a, 0);
}

bool append_new(PyObject* list, PyObject* item) {
  if (!item) return false;
  int rc = PyList_Append(list, item);
  Py_DECREF(item);
  return rc == 0;
}

// Walks the oldest waiting trade into `out`. A failure fails the run: the walks
// still waiting are dropped, and its records stay incomplete.
bool walk_oldest(RecordArrays& out) {
  const RecordArrays::Pending t = out.pending[out.first];
  out.first = (out.first + 1) % RecordArrays::kDepth;
  --out.waiting;
  if (tidemark_analysis_into(t.sid, t.entry_row, t.exit_row, t.is_long, t.entry_cost, t.exit_cost, out))
    return true;
  out.waiting = 0;
  return false;
}

// Walks every waiting trade, oldest first; stops at the first failure.
bool walk_waiting(RecordArrays& out) {
  while (out.waiting)
    if (!walk_oldest(out)) return false;
  return true;
}

// The array mode's close_trade: the same values, appended natively. The walk
// waits until kDepth more trades are closed, its cells asked for meanwhile; the
// records keep their order.
bool close_trade_into(RecordArrays& out, int sid, long long exit_row, int has_exit_trasnaction) {
  char* e = slot_ptr(g.entry, sid);
  if (!e) return false;
  const int64_t entry_row = *reinterpret_cast<int64_t*>(e);
  out.trades.insert(out.trades.end(), {static_cast<int64_t>(sid), entry_row, static_cast<int64_t>(exit_row)});
  char* p = slot_ptr(g.position, sid);
  if (!p) return false;
  const double size = *reinterpret_cast<double*>(p);
  out.positions.push_back(size);
  char* t = slot_ptr(g.entry_trasnaction, sid);
  if (!t) return false;
  const int64_t entry_cost = *reinterpret_cast<int64_t*>(t);
  if (!deferrable(sid, static_cast<int>(entry_row), g.date)) {
    // Walked now, after those waiting: its failure is raised where it happens.
    if (!walk_waiting(out)) return false;
    return tidemark_analysis_into(sid, static_cast<int>(entry_row), g.date, size > 0, static_cast<int>(entry_cost),
                                  has_exit_trasnaction, out);
  }
  if (out.waiting == RecordArrays::kDepth && !walk_oldest(out)) return false;
  const RecordArrays::Pending trade{sid,
                                    static_cast<int>(entry_row),
                                    g.date,
                                    static_cast<int>(entry_cost),
                                    has_exit_trasnaction,
                                    size > 0};
  out.pending[(out.first + out.waiting) % RecordArrays::kDepth] = trade;
  ++out.waiting;
  return true;
}

// Appends one trade to the three lists; exit_row -1 marks a trade still open.
bool close_trade(int sid, long long exit_row, int has_exit_trasnaction) {
  if (g.arrays) {
    // Records read while the run goes on (from a callback) keep what they saw:
    // the run goes on in a copy.
    if (g.arrays->handed_out) g.arrays = std::make_shared<RecordArrays>(*g.arrays), g.arrays->handed_out = false;
    // Not held (an atomic count each way, per trade): appending runs no Python code,
    // so no other run can start and replace them meanwhile.
    return close_trade_into(*g.arrays, sid, exit_row, has_exit_trasnaction);
  }
  // Held for the whole call: the allocations below may run arbitrary code that
  // starts another analysis run and replaces the module's arrays.
  PyRef hold[3] = {PyRef::borrow(reinterpret_cast<PyObject*>(g.entry)),
                   PyRef::borrow(reinterpret_cast<PyObject*>(g.position)),
                   PyRef::borrow(reinterpret_cast<PyObject*>(g.entry_trasnaction))};
  PyArrayObject* entry = g.entry;
  PyArrayObject* position = g.position;
  PyArrayObject* entry_trasnaction = g.entry_trasnaction;
  char* e = slot_ptr(entry, sid);
  if (!e) return false;
  PyRef entry_scalar = PyRef::steal(PyArray_Scalar(e, PyArray_DESCR(entry), hold[0].get()));
  if (!entry_scalar) return false;
  PyRef sid_obj = PyRef::steal(PyLong_FromLong(sid));
  PyRef exit_obj = PyRef::steal(PyLong_FromLongLong(exit_row));
  if (!sid_obj || !exit_obj) return false;
  PyObject* rec = PyList_New(3);
  if (!rec) return false;
  PyList_SET_ITEM(rec, 0, sid_obj.release());
  PyList_SET_ITEM(rec, 1, entry_scalar.new_ref());
  PyList_SET_ITEM(rec, 2, exit_obj.release());
  if (!append_new(g.trades, rec)) return false;

  char* p = slot_ptr(position, sid);
  if (!p) return false;
  if (!append_new(g.trade_positions, PyArray_Scalar(p, PyArray_DESCR(position), hold[1].get()))) return false;
  char* t = slot_ptr(entry_trasnaction, sid);
  if (!t) return false;
  const int64_t entry_row = *reinterpret_cast<int64_t*>(e);
  const double size = *reinterpret_cast<double*>(p);
  const int64_t entry_cost = *reinterpret_cast<int64_t*>(t);
  return append_new(g.tidemark, tidemark_analysis(sid, static_cast<int>(entry_row), g.date, size > 0,
                                                  static_cast<int>(entry_cost), has_exit_trasnaction));
}

}  // namespace

void start_analysis(PyArrayObject* price_, PyArrayObject* close_, std::map<int, int> pos2price_, int nstocks,
                    double fee_ratio_, double tax_ratio_, int window_, int window_step_) {
  try {
    if (!check_matrix(price_) || !check_matrix(close_)) {
      ORVANE_TRACEBACK(kStart);
      return;
    }
    // Walks a failed run left waiting read matrices about to be replaced: dropped.
    if (g.arrays) g.arrays->waiting = 0;
    replace(&g.price, reinterpret_cast<PyObject*>(price_));
    replace(&g.close, reinterpret_cast<PyObject*>(close_));
    g.pos2price = std::move(pos2price_);
    g.sid_col.assign(nstocks > 0 ? static_cast<size_t>(nstocks) : 0, 0);
    for (const auto& [sid, col] : g.pos2price)
      if (sid >= 0 && sid < nstocks) g.sid_col[static_cast<size_t>(sid)] = col;
    g.window = window_;
    g.window_step = window_step_;
    PyObject* lists[3] = {g.trades, g.trade_positions, g.tidemark};
    for (PyObject* list : lists) {
      if (PyList_SetSlice(list, 0, PY_SSIZE_T_MAX, nullptr) < 0) {
        ORVANE_TRACEBACK(kStart);
        return;
      }
    }
    npy_intp n = nstocks;
    PyObject* fresh[3] = {PyArray_ZEROS(1, &n, NPY_INT64, 0), nullptr, nullptr};
    if (fresh[0]) fresh[1] = PyArray_ZEROS(1, &n, NPY_DOUBLE, 0);
    if (fresh[1]) fresh[2] = PyArray_ZEROS(1, &n, NPY_INT64, 0);
    if (!fresh[2]) {
      Py_XDECREF(fresh[0]);
      Py_XDECREF(fresh[1]);
      ORVANE_TRACEBACK(kStart);
      return;
    }
    PyArrayObject** slots[3] = {&g.entry, &g.position, &g.entry_trasnaction};
    for (int i = 0; i < 3; ++i) {
      PyArrayObject* old = *slots[i];
      *slots[i] = reinterpret_cast<PyArrayObject*>(fresh[i]);
      Py_XDECREF(old);
    }
    g.fee_ratio = fee_ratio_;
    g.tax_ratio = tax_ratio_;
    if (g.arrays) g.arrays_hint[0] = g.arrays->positions.size(), g.arrays_hint[1] = g.arrays->marks.size();
    g.arrays = g.arrays_on ? std::make_shared<RecordArrays>() : nullptr;
    if (g.arrays) {
      // Sized as the last run's: a sweep's runs close about as many trades, and a
      // vector that doubles its way up copies its records on the way.
      g.arrays->trades.reserve(3 * g.arrays_hint[0]);
      g.arrays->positions.reserve(g.arrays_hint[0]);
      g.arrays->exits.reserve(g.arrays_hint[0]);
      g.arrays->marks.reserve(g.arrays_hint[1]);
    }
  } catch (...) {
    set_from_cpp_exception();
    ORVANE_TRACEBACK(kStart);
  }
}

void record_date(int d) { g.date = d; }

void record_entry(int sid, double position_sid, int has_entry_trasnaction) {
  char* e = slot_ptr(g.entry, sid);
  if (e) {
    *reinterpret_cast<int64_t*>(e) = g.date;
    char* p = slot_ptr(g.position, sid);
    if (p) {
      *reinterpret_cast<double*>(p) = position_sid;
      char* t = slot_ptr(g.entry_trasnaction, sid);
      if (t) {
        *reinterpret_cast<int64_t*>(t) = has_entry_trasnaction;
        return;
      }
    }
  }
  ORVANE_TRACEBACK(kRecordEntry);
}

void record_exit(int sid, int has_exit_trasnaction) {
  bool ok;
  try {
    ok = close_trade(sid, g.date, has_exit_trasnaction);
  } catch (...) {
    set_from_cpp_exception();
    ok = false;
  }
  if (!ok) ORVANE_TRACEBACK(kRecordExit);
}

PyObject* end_analysis(std::map<int, double>& pos) {
  try {
    for (const auto& [sid, value] : pos) {
      if (value == 0.0) continue;  // NaN is not skipped: it compares unequal
      if (!close_trade(sid, -1, 0)) {
        ORVANE_TRACEBACK(kEndAnalysis);
        return nullptr;
      }
    }
    if (g.arrays && !walk_waiting(*g.arrays)) {
      ORVANE_TRACEBACK(kEndAnalysis);
      return nullptr;
    }
  } catch (...) {
    set_from_cpp_exception();
    ORVANE_TRACEBACK(kEndAnalysis);
    return nullptr;
  }
  Py_RETURN_NONE;
}

bool set_record_arrays(bool on) {
  const bool was = g.arrays_on;
  g.arrays_on = on;
  return was;
}

namespace {

void release_records(PyObject* capsule) {
  delete static_cast<std::shared_ptr<RecordArrays>*>(PyCapsule_GetPointer(capsule, "orvane.tidemark.records"));
}

// A read-only array over `data`, kept alive by a reference to the run's records.
template <class T>
PyObject* view(const std::shared_ptr<RecordArrays>& owner, T* data, int nd, npy_intp* dims, int typenum) {
  // An empty vector may have no buffer: NumPy needs a pointer all the same.
  static T none[1] = {};
  PyRef a = PyRef::steal(PyArray_New(&PyArray_Type, nd, dims, typenum, nullptr, data ? data : none, 0,
                                     NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
  if (!a) return nullptr;
  auto* hold = new std::shared_ptr<RecordArrays>(owner);
  PyObject* base = PyCapsule_New(hold, "orvane.tidemark.records", release_records);
  if (!base) {
    delete hold;
    return nullptr;
  }
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(a.get()), base) < 0) return nullptr;  // steals base
  return a.release();
}

}  // namespace

PyObject* record_arrays() {
  try {
    if (!g.arrays) Py_RETURN_NONE;
    std::shared_ptr<RecordArrays> r = g.arrays;
    // Read during the run (from a callback): the trades closed so far are walked now.
    if (!walk_waiting(*r)) return nullptr;
    const npy_intp n = static_cast<npy_intp>(r->positions.size());
    const npy_intp width = n > 0 && r->width > 0 ? static_cast<npy_intp>(r->width) : 0;
    if (static_cast<npy_intp>(r->trades.size()) != 3 * n || static_cast<npy_intp>(r->complete) != n ||
        static_cast<npy_intp>(r->marks.size()) != n * width || static_cast<npy_intp>(r->exits.size()) != n) {
      PyErr_Format(PyExc_ValueError,
                   "the last run's records are incomplete (%zd trades, %zd positions, %zd excursion values): "
                   "it failed before it finished",
                   static_cast<Py_ssize_t>(r->trades.size() / 3), static_cast<Py_ssize_t>(n),
                   static_cast<Py_ssize_t>(r->marks.size()));
      return nullptr;
    }
    r->handed_out = true;
    npy_intp shape_t[2] = {n, 3}, shape_p[1] = {n}, shape_m[2] = {n, width};
    PyRef t = PyRef::steal(view(r, r->trades.data(), 2, shape_t, NPY_INT64));
    if (!t) return nullptr;
    PyRef p = PyRef::steal(view(r, r->positions.data(), 1, shape_p, NPY_DOUBLE));
    if (!p) return nullptr;
    PyRef m = PyRef::steal(view(r, r->marks.data(), 2, shape_m, NPY_DOUBLE));
    if (!m) return nullptr;
    PyRef x = PyRef::steal(view(r, r->exits.data(), 1, shape_p, NPY_DOUBLE));
    if (!x) return nullptr;
    return PyTuple_Pack(4, t.get(), p.get(), m.get(), x.get());
  } catch (...) {
    set_from_cpp_exception();
    return nullptr;
  }
}

}  // namespace orvane::tidemark
