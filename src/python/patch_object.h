// The QuillfenPatch instance layout, its type, and the entry-point guard shared by every method.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <new>

#include "patch/patch.h"
#include "patch/patch_error.h"

namespace quillfen::py {

struct PatchObject {
  PyObject_HEAD
  Patch patch;                      // the instance's own patch, never shared
  std::atomic<std::size_t> access;  // 0 free; kExclusive; else the number of shared accesses
};

// The class, made once per process by module initialisation; a borrowed reference.
PyTypeObject* patch_type() noexcept;
// Makes the class; a new reference, or null with a Python exception set.
PyObject* make_patch_type();

// A new instance that owns `patch`; a new reference, or null with a Python exception set.
PyObject* wrap_patch(Patch patch);

// Raises RuntimeError with `prefix` ("Patch error: " or "Parse error: ") and the error's message;
// RecursionError (a RuntimeError) for a depth the walk refused.
void raise_patch_error(const char* prefix, const PatchError& error);

// The fatal-error exception (a direct subclass of BaseException) for faults such as a dict that
// changes size while it is converted; a borrowed reference, or null with a Python exception set.
PyObject* fatal_error_type();
// Raises the fatal-error exception with `text`.
void raise_fatal_error(const char* text);

// Runs one Python entry point: a C++ allocation failure becomes MemoryError, nothing else escapes.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected internal failure");
  }
  return decltype(body())();
}

}  // namespace quillfen::py
