#include <utility>
#include <vector>

#include "python/objects/errors.h"
#include "python/objects/py_ref.h"
#include "python/shell/arguments.h"
#include "python/shell/methods.h"
#include "python/shell/patch_class.h"
#include "python/walks/applying.h"
#include "python/walks/inverse.h"

namespace quillfen::py {

namespace {

using InPlace = bool (*)(const Patch&, PyObject*, std::vector<PyRef>&);

// The in-place applications share their frame: one argument, shared access, None on success.
PyObject* apply_to_callers_data(const Signature& sig, InPlace body, PyObject* self, PyObject* const* args,
                                Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* data = nullptr;
  if (!match_arguments(sig, args, nargsf, kwnames, &data)) return nullptr;
  auto* patch = reinterpret_cast<PatchObject*>(self);
  // Declared before the access: what the call takes out of `data` is dropped after the access is
  // given back, since dropping it may run finalizers that call this instance.
  std::vector<PyRef> released;
  Access access;
  if (!access.take_shared(patch) || !body(patch->patch, data, released)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

PyObject* method_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.apply()", 1, {"data"}};
    PyObject* data = nullptr;
    if (!match_arguments(sig, args, nargsf, kwnames, &data)) return nullptr;
    auto* patch = reinterpret_cast<PatchObject*>(self);
    Access access;
    if (!access.take_shared(patch)) return nullptr;
    return apply_to_copy(patch->patch, data);
  });
}

PyObject* method_apply_inplace(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.apply_inplace()", 1, {"data"}};
    return apply_to_callers_data(sig, apply_in_place, self, args, nargsf, kwnames);
  });
}

PyObject* method_apply_touched(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.apply_touched()", 1, {"data"}};
    return apply_to_callers_data(sig, apply_touched, self, args, nargsf, kwnames);
  });
}



PyObject* method_inverse(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.inverse()", 1, {"data"}};
    PyObject* data = nullptr;
    if (!match_arguments(sig, args, nargsf, kwnames, &data)) return nullptr;
    auto* patch = reinterpret_cast<PatchObject*>(self);
    Access access;
    if (!access.take_shared(patch)) return nullptr;
    Patch undo;
    if (!undo_patch(patch->patch, data, undo)) return nullptr;
    return wrap_patch(std::move(undo));
  });
}

}  // namespace quillfen::py
