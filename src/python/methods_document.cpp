#include "python/arguments.h"
#include "python/methods.h"

namespace quillfen::py {

PyObject* method_from_json(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "from_json");
  return nullptr;
}

PyObject* method_to_json(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "to_json");
  return nullptr;
}

PyObject* method_merge(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "merge");
  return nullptr;
}

}  // namespace quillfen::py
