// Which weight row is in force and whether the next row rebalances, and the end
// of a run: closing the analysis run and building the stock_operations record.
#include <cmath>
#include <unordered_set>
#include <utility>
#include <vector>

#include "errors.h"
#include "pyref.h"
#include "tradeloom.h"

namespace orvane::tradeloom {

namespace {

bool set_new(PyObject* dict, long long key, PyObject* value) {
  PyRef k = PyRef::steal(PyLong_FromLongLong(key));
  PyRef v = PyRef::steal(value);
  return k && v && PyDict_SetItem(dict, k.get(), v.get()) == 0;
}

// Python's max(1, x): x only when it is greater than 1 (a NaN sum keeps 1).
double divisor(double sum) { return sum > 1 ? sum : 1.0; }

// The same for a run whose rows may hold up to max_gross (the sum itself at 1).
double divisor(const RunState& s, double sum) { return divisor(s.ctl ? sum / s.ctl->max_gross : sum); }

// Interned once: the same string objects serve every run.
PyObject* tag(const char* text) { return PyUnicode_InternFromString(text); }

struct Tags {
  PyObject *enter, *exit, *hold, *tp, *sl, *tp_enter, *sl_enter, *tp_, *sl_;
};

const Tags* tags() {
  static Tags t{tag("enter"), tag("exit"), tag("hold"), tag("tp"), tag("sl"),
                tag("tp_enter"), tag("sl_enter"), tag("tp_"), tag("sl_")};
  return t.sl_ ? &t : nullptr;
}

bool set_tag(PyObject* actions, int key, PyObject* value) {
  Py_INCREF(value);
  return set_new(actions, key, value);
}

// "weights": the last rebalance's weights of the stocks still held.
bool current_weights(RunState& s, PyObject* weights) {
  double latest_weight_sum = 0.0;
  std::vector<std::pair<int, double>> stored;
  stored.reserve(s.latest_rebalanced_pos.size());
  for (const int k : s.latest_rebalanced_pos) {
    const auto weight = s.pos_values.at(s.current_position_id, k);
    if (!weight) return false;
    const double* value = s.pos.find(k);
    const bool held = value && *value != 0.0;  // NaN counts as held
    stored.emplace_back(k, held ? *weight : 0.0);
    latest_weight_sum += std::fabs(*weight);
  }
  const double div = divisor(s, latest_weight_sum);
  for (const auto& [k, w] : stored) {
    if (!set_new(weights, k, PyFloat_FromDouble(w / div))) return false;
  }
  return true;
}

// "next_weights": the weights the next rebalance will trade, less stopped
// stocks. Each sid is stored as it is reached, so a truth test that fails
// part-way leaves the sids before it in the record; `stored` keeps them for
// the division that follows, and `total` is that division's sum.
bool next_weights(RunState& s, PyObject* out, std::vector<std::pair<int, double>>* stored, double* total) {
  std::vector<double> row;
  if (s.current_position_id == s.pos_id) {
    row = s.latest_rebalanced_row;
  } else {
    const npy_intp n = s.pos_values.n1;
    row.resize(static_cast<size_t>(n));
    for (npy_intp k = 0; k < n; ++k) {
      const auto v = s.pos_values.at(s.pos_id, k);
      if (!v) return false;
      row[k] = *v;
    }
  }
  std::unordered_set<int> exited, pending;
  for (int e : s.exited_stocks) exited.insert(e < 0 ? -e : e);
  for (int e : s.exit_stocks) pending.insert(e < 0 ? -e : e);

  double total_next_weight_sum = 0.0;
  for (size_t k = 0; k < row.size(); ++k) {
    const int sid = static_cast<int>(k);
    const double val1 = row[k];
    bool dropped = false, skip = false;
    const int stop = stop_trading(s);  // tested afresh for every sid
    if (stop < 0) return false;
    if (stop) {
      if (exited.count(sid)) {
        dropped = skip = true;
      } else if (pending.count(sid)) {
        const double* value = s.pos.find(sid);
        dropped = value && *value != 0;
        skip = true;
      }
    }
    if (!(dropped && s.should_rebalance)) total_next_weight_sum += std::fabs(val1);
    if (!skip && val1 != 0) {
      if (!set_new(out, sid, PyFloat_FromDouble(val1))) return false;
      stored->emplace_back(sid, val1);
    }
  }
  *total = total_next_weight_sum;
  return true;
}

// The stored next weights over max(1, total), in place (the keys keep their order).
bool divide_next_weights(const RunState& s, PyObject* out, const std::vector<std::pair<int, double>>& stored,
                         double total) {
  const double div = divisor(s, total);
  for (const auto& [k, w] : stored) {
    if (!set_new(out, k, PyFloat_FromDouble(w / div))) return false;
  }
  return true;
}

bool normalise(PyObject* record, const char* key, double position_limit) {
  PyRef f = PyRef::borrow(PyDict_GetItemString(g.dict, "normalize_weight"));
  if (!f) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'normalize_weight' is not defined");
    return false;
  }
  PyRef table = PyRef::borrow(PyDict_GetItemString(record, key));
  if (!table) {
    PyErr_SetString(PyExc_KeyError, key);
    return false;
  }
  PyRef limit = PyRef::steal(PyFloat_FromDouble(position_limit));
  if (!limit) return false;
  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(f.get(), table.get(), limit.get(), nullptr));
  if (!result) return false;
  return PyDict_SetItemString(record, key, result.get()) == 0;
}

// With book controls the weights may hold up to max_gross, which normalize_weight would
// scale back to 1: each is only clipped to +-position_limit, as that function clips.
bool clip_weights(PyObject* record, const char* key, double position_limit) {
  PyObject* table = PyDict_GetItemString(record, key);
  if (!table || !PyDict_Check(table)) {
    PyErr_SetString(PyExc_KeyError, key);
    return false;
  }
  PyObject *k, *v;
  Py_ssize_t pos = 0;
  while (PyDict_Next(table, &pos, &k, &v)) {
    const double w = PyFloat_AsDouble(v);
    if (w == -1.0 && PyErr_Occurred()) return false;
    const double clipped = w > position_limit ? position_limit : w < -position_limit ? -position_limit : w;
    if (clipped == w) continue;
    PyRef value = PyRef::steal(PyFloat_FromDouble(clipped));
    // Replacing the value of a present key does not resize the dict during the walk.
    if (!value || PyDict_SetItem(table, k, value.get()) < 0) return false;
  }
  return true;
}

bool actions_of(RunState& s, PyObject* record, PyObject* actions) {
  const Tags* t = tags();
  if (!t) return false;
  if (s.should_rebalance) {
    for (npy_intp k = 0; k < s.pos_values.n1; ++k) {
      const auto v = s.pos_values.at(s.pos_id, k);
      if (!v) return false;
      const double* value = s.pos.find(static_cast<int>(k));
      if (!value || *value == 0) {
        if (*v != 0 && !set_tag(actions, static_cast<int>(k), t->enter)) return false;
      } else if (!set_tag(actions, static_cast<int>(k), *v == 0 ? t->exit : t->hold)) {
        return false;
      }
    }
  }
  for (const int e : s.exit_stocks) {
    const int key = e < 0 ? -e : e;
    PyObject* close_tag = e > 0 ? t->tp : t->sl;
    const int stop = stop_trading(s);
    if (stop < 0) return false;
    if (stop) {
      if (!set_tag(actions, key, close_tag)) return false;
      continue;
    }
    const auto weight_date = s.pos_index.checked(s.pos_id);
    if (!weight_date) return false;
    if (s.date > *weight_date) {
      if (!set_tag(actions, key, close_tag)) return false;
      continue;
    }
    // Held: the membership test runs the mapping's own code, which may drop
    // the record's reference to it before the lookup below.
    PyRef nw = PyRef::borrow(PyDict_GetItemString(record, "next_weights"));
    if (!nw) continue;
    PyRef k = PyRef::steal(PyLong_FromLong(key));
    if (!k) return false;
    const int has = PySequence_Contains(nw.get(), k.get());
    if (has < 0) return false;
    if (!has) continue;
    PyRef w = PyRef::steal(PyObject_GetItem(nw.get(), k.get()));
    if (!w) return false;
    PyRef zero = PyRef::steal(PyLong_FromLong(0));
    if (!zero) return false;
    const int nonzero = PyObject_RichCompareBool(w.get(), zero.get(), Py_NE);
    if (nonzero < 0) return false;
    if (nonzero && !set_tag(actions, key, e > 0 ? t->tp_enter : t->sl_enter)) return false;
  }
  for (const int e : s.exited_stocks) {
    const int key = e < 0 ? -e : e;
    const int stop = stop_trading(s);
    if (stop < 0) return false;
    bool write = stop != 0;
    if (!write) {
      PyRef k = PyRef::steal(PyLong_FromLong(key));
      if (!k) return false;
      const int has = PyDict_Contains(actions, k.get());
      if (has < 0) return false;
      write = !has;
    }
    if (write && !set_tag(actions, key, e > 0 ? t->tp_ : t->sl_)) return false;
  }
  return true;
}

}  // namespace

void schedule_weights(RunState& s) {
  const npy_intp nrows = s.price_index.n;
  const bool bounded = s.d < nrows - 1;  // the last row has no upper bound
  const int64_t next_bar = bounded ? s.price_index(s.d + 1) : 0;
  const npy_intp npos = s.pos_index.present ? s.pos_index.n : 0;
  while (s.pos_id < npos - 1 && (!bounded || s.pos_index(s.pos_id + 1) < next_bar)) ++s.pos_id;
  s.should_rebalance = s.pos_id != s.current_position_id && s.date_rebalance[s.d] != 0;
}

bool finish_run(RunState& s) {
  std::map<int, double> held = s.pos.to_map();
  PyRef done = PyRef::steal(g.analytics.end_analysis(held));
  if (!done) return false;

  PyRef record = PyRef::steal(PyDict_New());
  PyRef actions = PyRef::steal(PyDict_New());
  PyRef weights = PyRef::steal(PyDict_New());
  PyRef next = PyRef::steal(PyDict_New());
  if (!record || !actions || !weights || !next) return false;
  if (PyDict_SetItemString(record.get(), "actions", actions.get()) < 0 ||
      PyDict_SetItemString(record.get(), "weights", weights.get()) < 0 ||
      PyDict_SetItemString(record.get(), "next_weights", next.get()) < 0)
    return false;
  // The record is replaced now: a failure below leaves it partly filled.
  PyObject* old = g.stock_operations;
  g.stock_operations = record.new_ref();
  Py_XDECREF(old);

  if (!current_weights(s, weights.get())) return false;
  std::vector<std::pair<int, double>> stored;
  double total_next_weight_sum = 0.0;
  if (!next_weights(s, next.get(), &stored, &total_next_weight_sum)) return false;
  PyRef weight_time = PyRef::steal(PyLong_FromLong(s.current_position_id));
  PyRef next_weight_time = PyRef::steal(PyLong_FromLong(s.pos_id));
  if (!weight_time || !next_weight_time ||
      PyDict_SetItemString(record.get(), "weight_time", weight_time.get()) < 0 ||
      PyDict_SetItemString(record.get(), "next_weight_time", next_weight_time.get()) < 0)
    return false;
  if (!divide_next_weights(s, next.get(), stored, total_next_weight_sum)) return false;
  if (s.ctl) {
    if (!clip_weights(record.get(), "weights", s.position_limit)) return false;
    if (!clip_weights(record.get(), "next_weights", s.position_limit)) return false;
  } else {
    if (!normalise(record.get(), "weights", s.position_limit)) return false;
    if (!normalise(record.get(), "next_weights", s.position_limit)) return false;
  }
  return actions_of(s, record.get(), actions.get());
}

}  // namespace orvane::tradeloom
