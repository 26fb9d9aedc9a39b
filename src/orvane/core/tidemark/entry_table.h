// The analytics module's native entry table: entry names, their exact signature
// strings, and the import-time binding used by the modules that drive it.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <map>

#include "numpy_api.h"
#include "pyref.h"

namespace orvane::entries {

using StartAnalysisFn = void (*)(PyArrayObject*, PyArrayObject*, std::map<int, int>, int, double, double, int, int);
using RecordDateFn = void (*)(int);
using RecordEntryFn = void (*)(int, double, int);
using RecordExitFn = void (*)(int, int);
using EndAnalysisFn = PyObject* (*)(std::map<int, double>&);
using SetRecordArraysFn = bool (*)(bool);
using RecordArraysFn = PyObject* (*)();

inline constexpr const char* kModule = "orvane.core.tidemark";
inline constexpr const char* kTableAttr = "_native_entries";
// Entries beyond the seven: the records kept as arrays (an opt-in mode).
inline constexpr const char* kExtrasAttr = "_native_extras";

inline constexpr const char* kSigArraySlot = "PyArrayObject *";
inline constexpr const char* kSigStartAnalysis =
    "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)";
inline constexpr const char* kSigRecordDate = "void (int)";
inline constexpr const char* kSigRecordEntry = "void (int, double, int)";
inline constexpr const char* kSigRecordExit = "void (int, int)";
inline constexpr const char* kSigEndAnalysis = "PyObject *(std::map<int,double>  &)";
inline constexpr const char* kSigSetRecordArrays = "bool (bool)";
inline constexpr const char* kSigRecordArrays = "PyObject *(void)";

struct Bound {
  PyArrayObject** entry = nullptr;
  PyArrayObject** position = nullptr;
  StartAnalysisFn start_analysis = nullptr;
  RecordDateFn record_date = nullptr;
  RecordEntryFn record_entry = nullptr;
  RecordExitFn record_exit = nullptr;
  EndAnalysisFn end_analysis = nullptr;
  SetRecordArraysFn set_record_arrays = nullptr;
  RecordArraysFn record_arrays = nullptr;
};

namespace detail {

inline void* bind_one(PyObject* table, const char* name, const char* sig, bool is_function) {
  PyObject* cap = PyDict_Check(table) ? PyDict_GetItemString(table, name) : nullptr;
  if (!cap) {
    PyErr_Format(PyExc_ImportError, is_function ? "%.200s does not export expected C function %.200s"
                                                : "%.200s does not export expected C variable %.200s",
                 kModule, name);
    return nullptr;
  }
  if (!PyCapsule_IsValid(cap, sig)) {
    const char* got = PyCapsule_CheckExact(cap) ? PyCapsule_GetName(cap) : Py_TYPE(cap)->tp_name;
    if (!got) got = "(null)";
    PyErr_Format(PyExc_TypeError,
                 is_function ? "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)"
                             : "C variable %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                 kModule, name, sig, got);
    return nullptr;
  }
  return PyCapsule_GetPointer(cap, sig);
}

}  // namespace detail

// Imports the analytics module and binds all seven entries, or fails with the
// pending error. The module object is returned (new reference) on success.
inline PyObject* bind(Bound* out) {
  PyRef module = PyRef::steal(PyImport_ImportModule(kModule));
  if (!module) return nullptr;
  PyRef table = PyRef::steal(PyObject_GetAttrString(module.get(), kTableAttr));
  if (!table) return nullptr;
  PyObject* t = table.get();
  Bound b;
  void* p;
  if (!(p = detail::bind_one(t, "entry", kSigArraySlot, false))) return nullptr;
  b.entry = static_cast<PyArrayObject**>(p);
  if (!(p = detail::bind_one(t, "position", kSigArraySlot, false))) return nullptr;
  b.position = static_cast<PyArrayObject**>(p);
  if (!(p = detail::bind_one(t, "start_analysis", kSigStartAnalysis, true))) return nullptr;
  b.start_analysis = reinterpret_cast<StartAnalysisFn>(p);
  if (!(p = detail::bind_one(t, "record_date", kSigRecordDate, true))) return nullptr;
  b.record_date = reinterpret_cast<RecordDateFn>(p);
  if (!(p = detail::bind_one(t, "record_entry", kSigRecordEntry, true))) return nullptr;
  b.record_entry = reinterpret_cast<RecordEntryFn>(p);
  if (!(p = detail::bind_one(t, "record_exit", kSigRecordExit, true))) return nullptr;
  b.record_exit = reinterpret_cast<RecordExitFn>(p);
  if (!(p = detail::bind_one(t, "end_analysis", kSigEndAnalysis, true))) return nullptr;
  b.end_analysis = reinterpret_cast<EndAnalysisFn>(p);
  PyRef extras = PyRef::steal(PyObject_GetAttrString(module.get(), kExtrasAttr));
  if (!extras) return nullptr;
  if (!(p = detail::bind_one(extras.get(), "set_record_arrays", kSigSetRecordArrays, true))) return nullptr;
  b.set_record_arrays = reinterpret_cast<SetRecordArraysFn>(p);
  if (!(p = detail::bind_one(extras.get(), "record_arrays", kSigRecordArrays, true))) return nullptr;
  b.record_arrays = reinterpret_cast<RecordArraysFn>(p);
  *out = b;
  return module.release();
}

}  // namespace orvane::entries
