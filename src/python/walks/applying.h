// Applying a patch to Python objects directly, through the applying rules of the core: `apply` on a
// normalised copy, the in-place applications on the caller's own dicts and lists.
#pragma once

#include <Python.h>

#include <vector>

#include "patch/patch.h"
#include "python/objects/py_ref.h"

namespace quillfen::py {

// `apply`: the patched normalised copy of `data` (what converting it, applying the patch and
// converting back gives), built in one walk and patched in place. A new reference, or null with a
// Python exception set: the conversion's errors, then RuntimeError "Patch error: ..." as applying a
// JsonValue document raises it.
PyObject* apply_to_copy(const Patch& patch, PyObject* data);

// In-place applications change the caller's `data` atomically: on success it holds the result, on
// failure it is exactly as it was (key order and the identity of every container included). What
// they take out of `data` is moved into `released`, for the caller to drop once it has given back
// its access (dropping may run finalizers that call the patch). False with a Python exception set.

// `apply_touched`: reads and changes only what the patch reaches. Values it reaches are read by
// the conversion's rules; values it does not reach are neither checked nor normalised. A container
// about to change that is referenced from elsewhere is replaced by a copy first, so a change never
// shows at another place.
bool apply_touched(const Patch& patch, PyObject* data, std::vector<PyRef>& released);

// `apply_inplace`: leaves `data` equal to what apply_to_copy returns. Data that converts to itself
// everywhere (exact built-in types, ints in the signed 64-bit range, finite floats, strs that
// encode, str keys) is checked in one read-only pass and then changed as apply_touched changes it;
// any other is converted whole, and its contents replaced by the result's.
bool apply_in_place(const Patch& patch, PyObject* data, std::vector<PyRef>& released);

}  // namespace quillfen::py
