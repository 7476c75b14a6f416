#include "python/arguments.h"
#include "python/methods.h"

namespace quillfen::py {

PyObject* method_apply(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "apply");
  return nullptr;
}

PyObject* method_apply_inplace(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "apply_inplace");
  return nullptr;
}

}  // namespace quillfen::py
