// quillfen_alloc_faults: a test helper of the fault-injection build. It wraps the interpreter's three
// allocators (raw, mem, object), through which that build's module also makes its C++ allocations
// (route_allocations.cpp), counts the allocations of one call and makes the N-th of them fail, or
// the N-th and every later one. It also keeps the number of live blocks, for leak checks, and the
// module's frames at the failed allocation, to tell the allocation sites apart.
//
//   install(module_path)               wraps the allocators; the module's frames are told by its path
//   run(n, persistent, fn, args)       fn(*args) with the n-th allocation failing (n >= 1);
//                                      gives (result or exception, allocations seen, whether one
//                                      failed, the module-relative return addresses at the failure)
//   live_blocks()                      blocks allocated through the wrappers and not yet freed
#include <Python.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace {

constexpr int kMaxFrames = 48;

struct Wrapped {
  PyMemAllocatorDomain domain;
  PyMemAllocatorEx original;
};
Wrapped wrapped[] = {{PYMEM_DOMAIN_RAW, {}}, {PYMEM_DOMAIN_MEM, {}}, {PYMEM_DOMAIN_OBJ, {}}};

bool installed = false;
std::atomic<long long> live{0};

// The armed call's state; touched only by the thread that armed it.
bool armed = false;
pthread_t armed_thread;
long target = 0;  // the allocation to fail, counted from 1
bool persistent = false;
long seen = 0;
bool injected = false;
void* frames[kMaxFrames];
int frame_count = 0;
std::uintptr_t module_base = 0;

bool fail_this_one() {
  if (!armed || !pthread_equal(pthread_self(), armed_thread)) return false;
  ++seen;
  if (seen < target || (seen > target && !persistent)) return false;
  if (!injected) {
    injected = true;
    frame_count = backtrace(frames, kMaxFrames);  // allocates nothing once warmed (install)
  }
  return true;
}

void* wrapped_malloc(void* ctx, size_t size) {
  auto* w = static_cast<Wrapped*>(ctx);
  if (fail_this_one()) return nullptr;
  void* p = w->original.malloc(w->original.ctx, size);
  if (p != nullptr) live.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void* wrapped_calloc(void* ctx, size_t count, size_t size) {
  auto* w = static_cast<Wrapped*>(ctx);
  if (fail_this_one()) return nullptr;
  void* p = w->original.calloc(w->original.ctx, count, size);
  if (p != nullptr) live.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void* wrapped_realloc(void* ctx, void* old, size_t size) {
  auto* w = static_cast<Wrapped*>(ctx);
  if (fail_this_one()) return nullptr;
  void* p = w->original.realloc(w->original.ctx, old, size);
  if (p != nullptr && old == nullptr) live.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void wrapped_free(void* ctx, void* p) {
  auto* w = static_cast<Wrapped*>(ctx);
  if (p != nullptr) live.fetch_sub(1, std::memory_order_relaxed);
  w->original.free(w->original.ctx, p);
}

PyObject* install(PyObject*, PyObject* arg) {
  if (installed) Py_RETURN_NONE;
  const char* path = PyUnicode_AsUTF8(arg);
  if (path == nullptr) return nullptr;
  void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  void* init = handle != nullptr ? dlsym(handle, "PyInit_quillfen_patch") : nullptr;
  Dl_info info;
  if (init == nullptr || dladdr(init, &info) == 0) {
    if (handle != nullptr) dlclose(handle);
    PyErr_Format(PyExc_RuntimeError, "quillfen_patch is not loaded from %s", path);
    return nullptr;
  }
  module_base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  dlclose(handle);
  frame_count = backtrace(frames, kMaxFrames);  // the first call loads the unwinder
  for (Wrapped& w : wrapped) {
    PyMem_GetAllocator(w.domain, &w.original);
    PyMemAllocatorEx hook = {&w, wrapped_malloc, wrapped_calloc, wrapped_realloc, wrapped_free};
    PyMem_SetAllocator(w.domain, &hook);
  }
  installed = true;
  Py_RETURN_NONE;
}

PyObject* run(PyObject*, PyObject* args) {
  long n = 0;
  int all_later = 0;
  PyObject* fn = nullptr;
  PyObject* fn_args = nullptr;
  if (!PyArg_ParseTuple(args, "lpOO!", &n, &all_later, &fn, &PyTuple_Type, &fn_args)) return nullptr;
  if (!installed || n < 1) {
    PyErr_SetString(PyExc_RuntimeError, "install() first; n counts from 1");
    return nullptr;
  }
  target = n;
  persistent = all_later != 0;
  seen = 0;
  injected = false;
  frame_count = 0;
  armed_thread = pthread_self();
  armed = true;
  PyObject* result = PyObject_Call(fn, fn_args, nullptr);
  armed = false;

  PyObject* outcome = result;
  if (outcome == nullptr) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value == nullptr) {
      PyErr_SetString(PyExc_SystemError, "the call failed without an exception");
      return nullptr;
    }
    outcome = value;
    Py_XDECREF(type);
    Py_XDECREF(traceback);
  }
  PyObject* offsets = PyList_New(0);
  for (int i = 0; offsets != nullptr && i < frame_count; ++i) {
    Dl_info info;
    if (dladdr(frames[i], &info) == 0 || reinterpret_cast<std::uintptr_t>(info.dli_fbase) != module_base) continue;
    PyObject* offset = PyLong_FromSize_t(reinterpret_cast<std::uintptr_t>(frames[i]) - module_base);
    if (offset == nullptr || PyList_Append(offsets, offset) < 0) Py_CLEAR(offsets);
    Py_XDECREF(offset);
  }
  if (offsets == nullptr) {
    Py_DECREF(outcome);
    return nullptr;
  }
  return Py_BuildValue("NlON", outcome, seen, injected ? Py_True : Py_False, offsets);
}

PyObject* live_blocks(PyObject*, PyObject*) { return PyLong_FromLongLong(live.load()); }

PyMethodDef methods[] = {
    {"install", install, METH_O, nullptr},
    {"run", run, METH_VARARGS, nullptr},
    {"live_blocks", live_blocks, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT, .m_name = "quillfen_alloc_faults", .m_doc = nullptr, .m_size = -1, .m_methods = methods,
    .m_slots = nullptr, .m_traverse = nullptr, .m_clear = nullptr, .m_free = nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quillfen_alloc_faults() { return PyModule_Create(&module_def); }
