// normalize_weight: gross exposure above 1 scaled down by the reciprocal, then
// each weight clipped to +-position_limit. Host number semantics throughout,
// since callers may hand any mapping of any numbers.
#include "args.h"
#include "errors.h"
#include "pyref.h"
#include "tradeloom.h"

namespace orvane::tradeloom {

namespace {

constexpr const char* kParams[] = {"weights", "position_limit"};
constexpr Signature kSig{"normalize_weight", kParams, 2, 2};

// Unpacks a 2-item pair with the wording of compiled unpacking.
bool unpack_pair(PyObject* item, PyRef* first, PyRef* second) {
  auto too_few = [](Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    return false;
  };
  if (PyTuple_CheckExact(item)) {
    const Py_ssize_t n = PyTuple_GET_SIZE(item);
    if (n > 2) {
      PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
      return false;
    }
    if (n < 2) return too_few(n);
    *first = PyRef::borrow(PyTuple_GET_ITEM(item, 0));
    *second = PyRef::borrow(PyTuple_GET_ITEM(item, 1));
    return true;
  }
  PyRef it = PyRef::steal(PyObject_GetIter(item));
  if (!it) return false;
  PyRef* slots[2] = {first, second};
  for (Py_ssize_t i = 0; i < 2; ++i) {
    *slots[i] = PyRef::steal(PyIter_Next(it.get()));
    if (!*slots[i]) return PyErr_Occurred() ? false : too_few(i);
  }
  PyRef extra = PyRef::steal(PyIter_Next(it.get()));
  if (extra) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
    return false;
  }
  return !PyErr_Occurred();
}

// Calls f(key) for every key of the mapping, in its iteration order.
template <class F>
bool for_each_key(PyObject* weights, F&& f) {
  PyRef it = PyRef::steal(PyObject_GetIter(weights));
  if (!it) return false;
  while (PyRef key = PyRef::steal(PyIter_Next(it.get()))) {
    if (!f(key.get())) return false;
  }
  return !PyErr_Occurred();
}

PyObject* normalize_impl(PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  PyRef held[2];  // the mapping's and the numbers' own code runs throughout
  if (!bind_args(kSig, args, kwargs, a, held)) return nullptr;
  PyObject* weights = a[0];
  PyObject* position_limit = a[1];

  PyRef weight_sum = PyRef::steal(PyFloat_FromDouble(0.0));
  if (!weight_sum) return nullptr;
  PyRef items = PyRef::steal(PyObject_CallMethod(weights, "items", nullptr));
  if (!items) return nullptr;
  PyRef iter = PyRef::steal(PyObject_GetIter(items.get()));
  if (!iter) return nullptr;
  while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    PyRef sid, w;
    if (!unpack_pair(item.get(), &sid, &w)) return nullptr;
    PyRef absolute = PyRef::steal(PyNumber_Absolute(w.get()));
    if (!absolute) return nullptr;
    weight_sum = PyRef::steal(PyNumber_InPlaceAdd(weight_sum.get(), absolute.get()));
    if (!weight_sum) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;

  PyRef one = PyRef::steal(PyLong_FromLong(1));
  if (!one) return nullptr;
  const bool scaled = for_each_key(weights, [&](PyObject* key) {
    const int above = PyObject_RichCompareBool(weight_sum.get(), one.get(), Py_GT);
    if (above < 0) return false;
    if (!above) return true;
    PyRef reciprocal = PyRef::steal(PyNumber_TrueDivide(one.get(), weight_sum.get()));
    if (!reciprocal) return false;
    PyRef w = PyRef::steal(PyObject_GetItem(weights, key));
    if (!w) return false;
    PyRef product = PyRef::steal(PyNumber_InPlaceMultiply(w.get(), reciprocal.get()));
    return product && PyObject_SetItem(weights, key, product.get()) == 0;
  });
  if (!scaled) return nullptr;

  const bool clipped = for_each_key(weights, [&](PyObject* key) {
    PyRef w = PyRef::steal(PyObject_GetItem(weights, key));
    if (!w) return false;
    const int above = PyObject_RichCompareBool(w.get(), position_limit, Py_GT);
    if (above < 0) return false;
    if (above) return PyObject_SetItem(weights, key, position_limit) == 0;
    PyRef negated = PyRef::steal(PyNumber_Negative(position_limit));
    if (!negated) return false;
    const int below = PyObject_RichCompareBool(w.get(), negated.get(), Py_LT);
    if (below < 0) return false;
    return !below || PyObject_SetItem(weights, key, negated.get()) == 0;
  });
  if (!clipped) return nullptr;
  Py_INCREF(weights);
  return weights;
}

}  // namespace

PyObject* normalize_weight(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded("orvane.core.tradeloom.normalize_weight", [&] { return normalize_impl(args, kwargs); });
}

}  // namespace orvane::tradeloom
