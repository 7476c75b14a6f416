#include <cstring>
#include <new>
#include <string>

#include "python/arguments.h"
#include "python/errors.h"
#include "python/methods.h"
#include "python/patch_object.h"
#include "python/py_ref.h"

namespace quillfen::py {

namespace {

PyTypeObject* the_type = nullptr;  // made once per process, never released

// Makes an instance of `type` around `patch`; a new reference, or null with an exception set.
PyObject* new_instance(PyTypeObject* type, Patch patch) {
  PyObject* obj = PyType_GenericAlloc(type, 0);
  if (obj == nullptr) return nullptr;
  auto* self = reinterpret_cast<PatchObject*>(obj);
  new (&self->patch) Patch(std::move(patch));
  new (&self->access) std::atomic<std::size_t>(0);
  return obj;
}

PyObject* patch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.__new__()", 0, {}};
    if (!match_arguments(sig, args, kwargs, nullptr)) return nullptr;
    return new_instance(type, Patch());
  });
}

void patch_dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<PatchObject*>(obj);
  PyTypeObject* type = Py_TYPE(obj);
  self->patch.~Patch();
  type->tp_free(obj);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

Py_ssize_t patch_length(PyObject* obj) {
  auto* self = reinterpret_cast<PatchObject*>(obj);
  Access access;
  if (!access.take_shared(self)) return -1;
  return static_cast<Py_ssize_t>(self->patch.size());
}

int patch_bool(PyObject* obj) {
  auto* self = reinterpret_cast<PatchObject*>(obj);
  Access access;
  if (!access.take_shared(self)) return -1;
  return self->patch.empty() ? 0 : 1;
}

PyMethodDef patch_methods[] = {
    {"set", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_set)), METH_FASTCALL | METH_KEYWORDS,
     "set($self, key, value)\n--\n\n"},
    {"delete", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_delete)), METH_FASTCALL | METH_KEYWORDS,
     "delete($self, key)\n--\n\n"},
    {"apply", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_apply)), METH_FASTCALL | METH_KEYWORDS,
     "apply($self, data)\n--\n\n"},
    {"apply_inplace", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_apply_inplace)),
     METH_FASTCALL | METH_KEYWORDS, "apply_inplace($self, data)\n--\n\n"},
    {"from_json", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_from_json)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_json(data)\n--\n\n"},
    {"to_json", method_to_json, METH_NOARGS, "to_json($self)\n--\n\n"},
    {"merge", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_merge)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "merge(minor, major)\n--\n\n"},
    {"diff", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_diff)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "diff(old, new)\n--\n\n"},
    {"to_json_exact", method_to_json_exact, METH_NOARGS, "to_json_exact($self)\n--\n\n"},
    {"apply_touched", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_apply_touched)),
     METH_FASTCALL | METH_KEYWORDS, "apply_touched($self, data)\n--\n\n"},
    {"inverse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_inverse)), METH_FASTCALL | METH_KEYWORDS,
     "inverse($self, data)\n--\n\n"},
    {"apply_json_patch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_apply_json_patch)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "apply_json_patch(data, operations, in_place=False)\n--\n\n"},
    {"apply_merge_patch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_apply_merge_patch)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "apply_merge_patch(data, merge_patch, in_place=False)\n--\n\n"},
    {"to_json_patch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_to_json_patch)),
     METH_FASTCALL | METH_KEYWORDS, "to_json_patch($self, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* patch_type() noexcept { return the_type; }

PyObject* make_patch_type() {
  if (the_type != nullptr) {
    Py_INCREF(the_type);
    return reinterpret_cast<PyObject*>(the_type);
  }
  // The documentation is the class name, its text signature and an empty description; the type
  // copies it, so a function-local string is enough.
  static const std::string doc = std::string("QuillfenPatch") + "()" + "\n--\n\n";
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc.c_str())},
      {Py_tp_new, reinterpret_cast<void*>(patch_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(patch_dealloc)},
      {Py_tp_methods, patch_methods},
      {Py_sq_length, reinterpret_cast<void*>(patch_length)},
      {Py_nb_bool, reinterpret_cast<void*>(patch_bool)},
      {0, nullptr},
  };
  // No BASETYPE flag (no subclasses), no GC flag (an instance holds no Python object), and no
  // dict or weak-reference slot. The "builtins." prefix gives a __module__ of "builtins".
  PyType_Spec definition = {"builtins.QuillfenPatch", static_cast<int>(sizeof(PatchObject)), 0, Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&definition);
  if (type == nullptr) return nullptr;
#if PY_VERSION_HEX < 0x030A0000
  // 3.9 keeps only the description of the documentation given to PyType_FromSpec and so loses the
  // text signature: give the type the whole text back (it frees it with PyObject_Free, as its own).
  char* full_doc = static_cast<char*>(PyObject_Malloc(doc.size() + 1));
  if (full_doc == nullptr) {
    Py_DECREF(type);
    return PyErr_NoMemory();
  }
  std::memcpy(full_doc, doc.c_str(), doc.size() + 1);
  PyObject_Free(const_cast<char*>(reinterpret_cast<PyTypeObject*>(type)->tp_doc));
  reinterpret_cast<PyTypeObject*>(type)->tp_doc = full_doc;
#endif
  Py_INCREF(type);  // the process keeps one reference for good
  the_type = reinterpret_cast<PyTypeObject*>(type);
  return type;
}

PyObject* wrap_patch(Patch patch) { return new_instance(the_type, std::move(patch)); }

bool Access::take_shared(PatchObject* self) noexcept {
  std::size_t word = self->access.load(std::memory_order_acquire);
  do {
    if (word == kExclusive) {
      return raise_text(PyExc_RuntimeError, "Already mutably borrowed");
    }
  } while (!self->access.compare_exchange_weak(word, word + 1, std::memory_order_acq_rel, std::memory_order_acquire));
  self_ = self;
  exclusive_ = false;
  return true;
}

bool Access::take_exclusive(PatchObject* self) noexcept {
  std::size_t expected = 0;
  if (!self->access.compare_exchange_strong(expected, kExclusive, std::memory_order_acq_rel)) {
    return raise_text(PyExc_RuntimeError, "Already borrowed");
  }
  self_ = self;
  exclusive_ = true;
  return true;
}

void Access::give_back() noexcept {
  if (self_ == nullptr) return;
  if (exclusive_)
    self_->access.store(0, std::memory_order_release);
  else
    self_->access.fetch_sub(1, std::memory_order_acq_rel);
  self_ = nullptr;
}

}  // namespace quillfen::py
