// Module initialisation: the module is made once per process, in one interpreter only.
#include <Python.h>

#include <cstdint>

#include "python/objects/convert.h"
#include "python/objects/errors.h"
#include "python/objects/py_ref.h"
#include "python/shell/patch_class.h"

namespace quillfen::py {

namespace {

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quillfen_patch",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The C++ runtime keeps each thread's exception state in thread-local storage, which the loader
// gives a thread on first use unless it is static. An exception's first use under memory pressure
// is a std::bad_alloc, and a failure to allocate that storage ends the process. One initial-exec
// access (below) makes this module's storage static: placed in every thread, running or to come,
// when the module is loaded. Linked in statically, the runtime's state is part of it.
[[gnu::tls_model("initial-exec")]] thread_local bool static_tls_anchor = false;

PyObject* the_module = nullptr;  // kept for the life of the process
std::int64_t first_interpreter = -1;

// Sets module.name = value and appends name to module.__all__, making the list on first use.
bool add_exported(PyObject* module, const char* name, PyObject* value) {
  PyRef key = PyRef::steal(PyUnicode_InternFromString(name));
  if (!key || PyObject_SetAttr(module, key.get(), value) < 0) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  return PyList_Append(all.get(), key.get()) == 0;
}

PyObject* init_module() {
  *static_cast<volatile bool*>(&static_tls_anchor) = true;  // an access the compiler keeps
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (first_interpreter == -1) first_interpreter = interpreter;
  if (interpreter != first_interpreter) {
    raise_text(PyExc_ImportError, "quillfen_patch can be loaded in one interpreter per process only");
    return nullptr;
  }
  if (the_module != nullptr) return PyRef::borrow(the_module).release();
  if (!make_shared_objects()) return nullptr;
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  PyRef type = PyRef::steal(make_patch_type());
  if (!type || !add_exported(module.get(), "QuillfenPatch", type.get())) return nullptr;
  PyRef version = PyRef::steal(PyUnicode_FromString(QUILLFEN_VERSION));
  if (!version || !add_exported(module.get(), "__version__", version.get())) return nullptr;
  the_module = PyRef::borrow(module.get()).release();  // the process's own reference, never dropped
  return module.release();
}

}  // namespace

}  // namespace quillfen::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quillfen_patch() {
  return quillfen::py::guarded([] { return quillfen::py::init_module(); });
}
