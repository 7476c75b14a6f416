// The QuillfenPatch instance layout, its type, and the access that every call takes on an instance.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>

#include "patch/patch.h"

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

// Access to one instance, given back when the guard goes: shared for the calls that read the patch,
// exclusive for those that replace it. Taking it never waits: a conflicting access (from a hook that
// calls back into the instance, or another thread meanwhile) is refused with RuntimeError ("Already
// mutably borrowed" / "Already borrowed"), and the guard then holds nothing.
class Access {
 public:
  static constexpr std::size_t kExclusive = ~std::size_t{0};

  Access() = default;
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;
  ~Access() { give_back(); }

  bool take_shared(PatchObject* self) noexcept;
  bool take_exclusive(PatchObject* self) noexcept;
  void give_back() noexcept;

 private:
  PatchObject* self_ = nullptr;
  bool exclusive_ = false;
};

}  // namespace quillfen::py
