#include "python/arguments.h"
#include "python/methods.h"

namespace quillfen::py {

PyObject* method_set(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "set");
  return nullptr;
}

PyObject* method_delete(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "delete");
  return nullptr;
}

}  // namespace quillfen::py
