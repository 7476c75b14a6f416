// PyRef: owns one strong reference to a Python object, or none.
//
// A build that checks invariants (the sanitizers', a debug build) makes sure the interpreter lock is
// held whenever a reference count changes: a reference touched from the wrong thread stops there.
#pragma once

#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace quillfen::py {

class PyRef {  // moves hand the reference on; nothing copies silently
 public:
  PyRef() = default;
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }  // p is a new reference (or null)
  static PyRef borrow(PyObject* p) noexcept {
    locked(p);
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
  ~PyRef() {
    locked(p_);
    Py_XDECREF(p_);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset(PyObject* p = nullptr) noexcept {  // install first: dropping the old may run __del__
    PyObject* old = std::exchange(p_, p);
    locked(old);
    Py_XDECREF(old);
  }

 private:
  static void locked([[maybe_unused]] PyObject* p) noexcept {
#ifdef QUILLFEN_CHECK_INVARIANTS
    if (p != nullptr && !PyGILState_Check()) {
      std::fprintf(stderr, "quillfen_patch: broken invariant: a reference count changed without the interpreter lock\n");
      std::abort();
    }
#endif
  }

  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace quillfen::py
