#include <vector>

#include "patch/apply.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/methods.h"
#include "python/patch_object.h"
#include "python/py_ref.h"
#include "python/python_document.h"

namespace quillfen::py {

namespace {

// Converts `data` into `document` and applies the instance's patch to it. The caller holds shared
// access. Returns false with a Python exception set; `data` is never changed.
bool patch_document(PatchObject* self, PyObject* data, JsonValue& document) {
  if (!python_to_value(data, document)) return false;
  // The converted value is already independent of `data`: it is patched directly, not copied again.
  const Status status = apply_to_document(self->patch, document);
  if (status.ok()) return true;
  raise_patch_error("Patch error: ", status.error());
  return false;
}

// The former key/value pairs of a dict, held while its contents are replaced: nothing they own is
// released (so no finalizer runs) before the replacement is complete. A new list of 2n items, or
// null with a Python exception set.
PyObject* dict_pairs(PyObject* dict) {
  for (;;) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    PyRef pairs = PyRef::steal(PyList_New(2 * size));
    if (!pairs) return nullptr;
    if (PyDict_GET_SIZE(dict) != size) continue;  // a collection run by the allocation changed it
    Py_ssize_t pos = 0;
    Py_ssize_t i = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {  // runs no Python code
      Py_INCREF(key);
      PyList_SET_ITEM(pairs.get(), i++, key);
      Py_INCREF(value);
      PyList_SET_ITEM(pairs.get(), i++, value);
    }
    return pairs.release();
  }
}

// An OrderedDict keeps its own order beside the dict's table; the dict-level calls would leave the
// two out of step, so it is changed through its own C functions. `clear` is OrderedDict's own
// method, looked up on the base type so that a subclass's override never runs.
bool clear_dict(PyObject* dict) {
  if (!PyODict_Check(dict)) {
    PyDict_Clear(dict);
    return true;
  }
  PyRef clear = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyODict_Type), "clear"));
  if (!clear) return false;
  PyRef done = PyRef::steal(PyObject_CallFunctionObjArgs(clear.get(), dict, nullptr));
  return static_cast<bool>(done);
}

bool set_dict_item(PyObject* dict, PyObject* key, PyObject* value) {
  return (PyODict_Check(dict) ? PyODict_SetItem(dict, key, value) : PyDict_SetItem(dict, key, value)) == 0;
}

// Fills an emptied `dict` with the members of `result`, a plain dict with exact str keys, so
// neither hashing nor reading it runs Python code.
bool fill_dict(PyObject* dict, PyObject* result) {
  if (!PyODict_Check(dict)) return PyDict_Update(dict, result) == 0;  // the C-level merge, never a subclass's update
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(result, &pos, &key, &value))
    if (!set_dict_item(dict, key, value)) return false;
  return true;
}

bool remove_dict_item(PyObject* dict, PyObject* key) {
  return (PyODict_Check(dict) ? PyODict_DelItem(dict, key) : PyDict_DelItem(dict, key)) == 0;
}

bool has_only_exact_str_keys(PyObject* dict) {
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value))
    if (!PyUnicode_CheckExact(key)) return false;
  return true;
}

// Changes `dict`, whose keys are all exact strs, into `result` member by member: the members of
// `result` are put in, then the others taken out. Each change is logged first, and undoing one
// (putting a value back under a key the dict holds, or taking out a key it gained) needs no
// memory, so a failure half way leaves the dict exactly as it was, key order included. Comparing
// exact str keys runs no Python code.
bool update_dict(PyObject* dict, PyObject* result, std::vector<PyRef>& released) {
  std::vector<std::pair<PyRef, PyRef>> log;  // a key put, and the value it held before (null: none)
  log.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(result)));
  std::vector<PyRef> stale;  // the keys that `result` does not hold
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value))
    if (PyDict_GetItemWithError(result, key) == nullptr) stale.push_back(PyRef::borrow(key));
  if (PyErr_Occurred()) return false;
  released.reserve(released.size() + log.capacity() + stale.size());
  pos = 0;
  while (PyDict_Next(result, &pos, &key, &value)) {
    PyRef held = PyRef::borrow(PyDict_GetItemWithError(dict, key));
    if ((!held && PyErr_Occurred()) || !set_dict_item(dict, key, value)) {
      SavedError failure;
      for (auto it = log.rbegin(); it != log.rend(); ++it) {
        const bool undone = it->second ? set_dict_item(dict, it->first.get(), it->second.get()) : remove_dict_item(dict, it->first.get());
        if (!undone) PyErr_Clear();
      }
      return false;
    }
    log.emplace_back(PyRef::borrow(key), std::move(held));
  }
  for (const PyRef& k : stale) {
    released.push_back(PyRef::borrow(PyDict_GetItem(dict, k.get())));
    if (!remove_dict_item(dict, k.get())) PyErr_Clear();  // a key the dict holds: nothing to allocate
  }
  for (auto& [k, old] : log)
    if (old) released.push_back(std::move(old));
  return true;
}

// Puts the contents of `result` in place of the contents of `data` (a dict or list, or a subclass,
// of the same kind), through the C-level dict and list interfaces. What `data` held goes to
// `released`, for the caller to drop after it has given back its access. On failure `data` is put
// back as it was (as far as memory allows, for a dict with keys that are no exact str) and a Python
// exception is set.
bool replace_contents(PyObject* data, PyObject* result, std::vector<PyRef>& released) {
  if (PyList_Check(data)) {
    PyRef previous = PyRef::steal(PyList_GetSlice(data, 0, PY_SSIZE_T_MAX));
    if (!previous) return false;
    released.push_back(std::move(previous));
    // One slice assignment: it either fails before changing the list or replaces it whole.
    return PyList_SetSlice(data, 0, PY_SSIZE_T_MAX, result) == 0;
  }
  if (has_only_exact_str_keys(data)) return update_dict(data, result, released);
  // Keys of other types (str subclasses, with their own equality) are never compared with the new
  // ones: the dict is emptied and filled again.
  PyRef pairs = PyRef::steal(dict_pairs(data));
  if (!pairs) return false;
  released.reserve(released.size() + 1);  // nothing may fail once the dict has changed
  // Emptying an OrderedDict can fail after its members are gone (it makes a new node table last):
  // its members are put back then, as when filling fails.
  if (clear_dict(data) && fill_dict(data, result)) {
    released.push_back(std::move(pairs));
    return true;
  }
  SavedError first;  // the first failure is the one reported
  if (clear_dict(data)) {
    for (Py_ssize_t i = 0; i + 1 < PyList_GET_SIZE(pairs.get()); i += 2)
      if (!set_dict_item(data, PyList_GET_ITEM(pairs.get(), i), PyList_GET_ITEM(pairs.get(), i + 1))) break;
  }
  return false;
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
    PyObject* data = nullptr;
    if (!match_arguments(sig, args, nargsf, kwnames, &data)) return nullptr;
    auto* patch = reinterpret_cast<PatchObject*>(self);
    // Declared before the access: what the call takes out of `data` is dropped after the access is
    // given back, since dropping it may run finalizers that call this instance.
    std::vector<PyRef> released;
    Access access;
    if (!access.take_shared(patch)) return nullptr;
    switch (apply_in_place(patch->patch, data, released)) {
      case InPlace::Applied: Py_RETURN_NONE;
      case InPlace::Failed: return nullptr;
      case InPlace::NotItsOwn: break;
    }
    // Something in `data` does not convert to itself (a subclass, a hook, a big int, NaN...): convert
    // it whole, apply, and put the result's contents in place of data's. Everything that can fail
    // for a reason other than memory happens before `data` is touched.
    JsonValue document;
    if (!patch_document(patch, data, document)) return nullptr;
    PyRef result = PyRef::steal(value_to_python(document));
    if (!result || !replace_contents(data, result.get(), released)) return nullptr;
    Py_RETURN_NONE;
  });
}

}  // namespace quillfen::py
