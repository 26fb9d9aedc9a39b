// Pairing of weight columns with price columns by the exact UTF-8 bytes of their
// labels; the last occurrence of a repeated price label wins.
#include <climits>
#include <string>

#include "errors.h"
#include "pyref.h"
#include "tradeloom.h"

namespace orvane::tradeloom {

namespace {

constexpr const char* kQualname = "orvane.core.tradeloom.map_columns";

// label.encode("UTF-8") as bytes; exact str takes the direct route to the same bytes.
bool encode_label(PyObject* label, std::string* out) {
  if (PyUnicode_CheckExact(label)) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(label, &size);
    if (!utf8) return false;
    out->assign(utf8, static_cast<size_t>(size));
    return true;
  }
  PyRef encoded = PyRef::steal(PyObject_CallMethod(label, "encode", "s", "UTF-8"));
  if (!encoded) return false;
  if (PyBytes_Check(encoded.get())) {
    out->assign(PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
    return true;
  }
  if (PyByteArray_Check(encoded.get())) {
    out->assign(PyByteArray_AS_STRING(encoded.get()), static_cast<size_t>(PyByteArray_GET_SIZE(encoded.get())));
    return true;
  }
  PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(encoded.get())->tp_name);
  return false;
}

// Walks any iterable, calling f(counter, bytes) per label.
template <class F>
bool walk_labels(PyObject* labels, F&& f) {
  PyRef it = PyRef::steal(PyObject_GetIter(labels));
  if (!it) return false;
  long long counter = 0;
  std::string key;
  while (PyRef label = PyRef::steal(PyIter_Next(it.get()))) {
    if (counter > INT_MAX) {
      PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
      return false;
    }
    if (!encode_label(label.get(), &key)) return false;
    f(static_cast<int>(counter), key);
    ++counter;
  }
  return !PyErr_Occurred();
}

}  // namespace

bool map_columns(PyObject* price_columns, PyObject* pos_columns, std::map<int, int>* out) {
  std::map<std::string, int> table;
  std::map<int, int> result;
  bool ok = walk_labels(price_columns, [&](int c, const std::string& k) { table[k] = c; }) &&
            walk_labels(pos_columns, [&](int sid, const std::string& k) {
              auto found = table.find(k);
              if (found != table.end()) result[sid] = found->second;
            });
  if (!ok) {
    ORVANE_TRACEBACK(kQualname);
    return false;
  }
  *out = std::move(result);
  return true;
}

}  // namespace orvane::tradeloom
