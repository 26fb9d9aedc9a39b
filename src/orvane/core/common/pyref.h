// Owning reference to a Python object: one Py_DECREF on destruction, move-only.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orvane {

class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = obj_;
      obj_ = other.obj_;
      other.obj_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  // Hand the reference to a call that steals it; only after that call succeeded.
  PyObject* release() noexcept {
    PyObject* o = obj_;
    obj_ = nullptr;
    return o;
  }
  // A new reference for the caller while keeping ours.
  PyObject* new_ref() const noexcept {
    Py_XINCREF(obj_);
    return obj_;
  }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) noexcept : obj_(o) {}
  PyObject* obj_ = nullptr;
};

}  // namespace orvane
