// PyRef: owns one strong reference to a Python object, or none.
#pragma once

#include <Python.h>

#include <utility>

namespace quillfen::py {

class PyRef {  // moves hand the reference on; nothing copies silently
 public:
  PyRef() = default;
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }  // p is a new reference (or null)
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(PyRef&& o) noexcept : p_(o.release()) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset(PyObject* p = nullptr) noexcept {  // install first: dropping the old may run __del__
    PyObject* old = std::exchange(p_, p);
    Py_XDECREF(old);
  }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace quillfen::py
