#include <cstring>
#include <new>

#include "python/objects/errors.h"
#include "python/objects/py_ref.h"
#include "python/shell/arguments.h"
#include "python/shell/methods.h"
#include "python/shell/patch_class.h"

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
  // Instances of a heap type hold a reference to it: dropped once the instance is freed.
  PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
  self->patch.~Patch();
  reinterpret_cast<PyTypeObject*>(type.get())->tp_free(obj);
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

// The table wants the one-argument function type; the flags tell the interpreter the real one.
template <class Function>
PyCFunction as_table_entry(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef patch_methods[] = {
    {.ml_name = "set", .ml_meth = as_table_entry(method_set), .ml_flags = kFastcall, .ml_doc = "set($self, key, value)\n--\n\n"},
    {.ml_name = "delete", .ml_meth = as_table_entry(method_delete), .ml_flags = kFastcall, .ml_doc = "delete($self, key)\n--\n\n"},
    {.ml_name = "apply", .ml_meth = as_table_entry(method_apply), .ml_flags = kFastcall, .ml_doc = "apply($self, data)\n--\n\n"},
    {.ml_name = "apply_inplace",
     .ml_meth = as_table_entry(method_apply_inplace),
     .ml_flags = kFastcall,
     .ml_doc = "apply_inplace($self, data)\n--\n\n"},
    {.ml_name = "from_json",
     .ml_meth = as_table_entry(method_from_json),
     .ml_flags = kFastcall | METH_STATIC,
     .ml_doc = "from_json(data)\n--\n\n"},
    {.ml_name = "to_json", .ml_meth = method_to_json, .ml_flags = METH_NOARGS, .ml_doc = "to_json($self)\n--\n\n"},
    {.ml_name = "merge",
     .ml_meth = as_table_entry(method_merge),
     .ml_flags = kFastcall | METH_STATIC,
     .ml_doc = "merge(minor, major)\n--\n\n"},
    {.ml_name = "diff", .ml_meth = as_table_entry(method_diff), .ml_flags = kFastcall | METH_STATIC, .ml_doc = "diff(old, new)\n--\n\n"},
    {.ml_name = "compose",
     .ml_meth = as_table_entry(method_compose),
     .ml_flags = kFastcall | METH_STATIC,
     .ml_doc = "compose(first, second, *more, objects=False)\n--\n\n"},
    {.ml_name = "to_json_exact", .ml_meth = method_to_json_exact, .ml_flags = METH_NOARGS, .ml_doc = "to_json_exact($self)\n--\n\n"},
    {.ml_name = "apply_touched",
     .ml_meth = as_table_entry(method_apply_touched),
     .ml_flags = kFastcall,
     .ml_doc = "apply_touched($self, data)\n--\n\n"},
    {.ml_name = "inverse", .ml_meth = as_table_entry(method_inverse), .ml_flags = kFastcall, .ml_doc = "inverse($self, data)\n--\n\n"},
    {.ml_name = "apply_json_patch",
     .ml_meth = as_table_entry(method_apply_json_patch),
     .ml_flags = kFastcall | METH_STATIC,
     .ml_doc = "apply_json_patch(data, operations, in_place=False)\n--\n\n"},
    {.ml_name = "apply_merge_patch",
     .ml_meth = as_table_entry(method_apply_merge_patch),
     .ml_flags = kFastcall | METH_STATIC,
     .ml_doc = "apply_merge_patch(data, merge_patch, in_place=False)\n--\n\n"},
    {.ml_name = "to_json_patch", .ml_meth = as_table_entry(method_to_json_patch), .ml_flags = kFastcall, .ml_doc = "to_json_patch($self, data)\n--\n\n"},
    {.ml_name = "place", .ml_meth = as_table_entry(method_place), .ml_flags = kFastcall, .ml_doc = "place($self, key, after=None)\n--\n\n"},
    {.ml_name = "from_json_exact",
     .ml_meth = as_table_entry(method_from_json_exact),
     .ml_flags = kFastcall | METH_STATIC,
     .ml_doc = "from_json_exact(data)\n--\n\n"},
    {},
};

// The class name, its text signature and an empty description.
constexpr char kClassDoc[] = "QuillfenPatch()\n--\n\n";

}  // namespace

PyTypeObject* patch_type() noexcept { return the_type; }

PyObject* make_patch_type() {
  if (the_type != nullptr) return PyRef::borrow(reinterpret_cast<PyObject*>(the_type)).release();
  PyType_Slot slots[] = {
      {.slot = Py_tp_doc, .pfunc = const_cast<char*>(kClassDoc)},  // the type copies it
      {.slot = Py_tp_new, .pfunc = reinterpret_cast<void*>(patch_new)},
      {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(patch_dealloc)},
      {.slot = Py_tp_methods, .pfunc = patch_methods},
      {.slot = Py_sq_length, .pfunc = reinterpret_cast<void*>(patch_length)},
      {.slot = Py_nb_bool, .pfunc = reinterpret_cast<void*>(patch_bool)},
      {},
  };
  // No BASETYPE flag (no subclasses), no GC flag (an instance holds no Python object), and no
  // dict or weak-reference slot. The "builtins." prefix gives a __module__ of "builtins".
  PyType_Spec definition = {
      .name = "builtins.QuillfenPatch",
      .basicsize = static_cast<int>(sizeof(PatchObject)),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,
      .slots = slots,
  };
  PyRef type = PyRef::steal(PyType_FromSpec(&definition));
  if (!type) return nullptr;
#if PY_VERSION_HEX < 0x030A0000
  // 3.9 keeps only the description of the documentation given to PyType_FromSpec and so loses the
  // text signature: give the type the whole text back (it frees it with PyObject_Free, as its own).
  char* full_doc = static_cast<char*>(PyObject_Malloc(sizeof kClassDoc));
  if (full_doc == nullptr) return PyErr_NoMemory();
  std::memcpy(full_doc, kClassDoc, sizeof kClassDoc);
  auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
  PyObject_Free(const_cast<char*>(type_object->tp_doc));
  type_object->tp_doc = full_doc;
#endif
  // The process keeps one reference for good: the type is never released.
  the_type = reinterpret_cast<PyTypeObject*>(PyRef::borrow(type.get()).release());
  return type.release();
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
