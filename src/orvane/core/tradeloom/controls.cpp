// The opt-in controls of the rebalance: a gross limit other than 1, a no-trade band, a
// minimum trade and whole lots. Set for later runs; at their defaults a run is as without.
#include <cmath>

#include "args.h"
#include "errors.h"
#include "tradeloom.h"

namespace orvane::tradeloom {

namespace {

constexpr const char* kParams[] = {"max_gross", "band", "min_trade", "lot"};
constexpr Signature kSig{"set_book_controls", kParams, 4, 0};

PyObject* set_book_controls_impl(PyObject* args, PyObject* kwargs) {
  BookControls next;
  if (!parse_book_controls(args, kwargs, &next)) return nullptr;
  g.controls = next;
  Py_RETURN_NONE;
}

constexpr const char* kLotParams[] = {"target", "held", "price", "lot", "fee_ratio"};
constexpr Signature kLotSig{"whole_lots", kLotParams, 5, 5};

PyObject* whole_lots_impl(PyObject* args, PyObject* kwargs) {
  PyObject* a[5];
  if (!bind_args(kLotSig, args, kwargs, a)) return nullptr;
  double v[5];
  for (int i = 0; i < 5; ++i)
    if (!to_double(a[i], &v[i])) return nullptr;
  return PyFloat_FromDouble(whole_lots(v[0], v[1], v[2], v[3], v[4]));
}

}  // namespace

PyObject* whole_lots_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane.core.tradeloom.whole_lots", [&] { return whole_lots_impl(args, kwargs); });
}

bool publish_control_names(PyObject* module) { return publish_names(module, "BOOK_CONTROLS", kParams); }

bool parse_book_controls(PyObject* args, PyObject* kwargs, BookControls* out) {
  PyObject* a[4];
  if (!bind_args(kSig, args, kwargs, a)) return false;
  BookControls next;
  double* slots[4] = {&next.max_gross, &next.band, &next.min_trade, &next.lot};
  for (int i = 0; i < 4; ++i) {
    if (!a[i]) continue;
    if (!to_double(a[i], slots[i])) return false;
    // max_gross must be above 0, the others at least 0; all finite.
    const bool ok = std::isfinite(*slots[i]) && (i == 0 ? *slots[i] > 0 : *slots[i] >= 0);
    if (!ok) {
      PyErr_Format(PyExc_ValueError, "set_book_controls: %s must be a finite number %s, got %R", kParams[i],
                   i == 0 ? "above 0" : "of 0 or more", a[i]);
      return false;
    }
  }
  *out = next;
  return true;
}

PyObject* set_book_controls(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane.core.tradeloom.set_book_controls", [&] { return set_book_controls_impl(args, kwargs); });
}

}  // namespace orvane::tradeloom
