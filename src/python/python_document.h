// Applying a patch to Python objects directly, through the applying rules of the core: `apply` on a
// normalised copy, `apply_inplace` on the caller's own dicts and lists.
#pragma once

#include <Python.h>

#include <vector>

#include "patch/patch.h"
#include "python/py_ref.h"

namespace quillfen::py {

// `apply`: the patched normalised copy of `data` (what converting it, applying the patch and
// converting back gives), built in one walk and patched in place. A new reference, or null with a
// Python exception set: the conversion's errors, then RuntimeError "Patch error: ..." as applying a
// JsonValue document raises it.
PyObject* apply_to_copy(const Patch& patch, PyObject* data);

enum class InPlace {
  Applied,      // `data` now equals what apply_to_copy returns
  NotItsOwn,    // `data` holds something that does not convert to itself; nothing was done or raised
  Failed,       // a Python exception is set; `data` is exactly as it was
};

// `apply_inplace` for a dict or list whose every value converts to itself (exact built-in types,
// ints in the signed 64-bit range, finite floats, strs that encode, str keys): changes only what
// the patch touches, atomically. A container that is about to change and is referenced from
// elsewhere is replaced by a copy first, so a change never shows at another place. What the change
// removed from `data` is moved into `released`, for the caller to drop once it has given back its
// access (dropping it may run finalizers that call the patch).
InPlace apply_in_place(const Patch& patch, PyObject* data, std::vector<PyRef>& released);

}  // namespace quillfen::py
