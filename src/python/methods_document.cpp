#include "patch/document_form.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/methods.h"

namespace quillfen::py {

PyObject* method_from_json(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "from_json");
  return nullptr;
}

PyObject* method_to_json(PyObject* self_obj, PyObject*) {
  return guarded([&]() -> PyObject* {
    JsonValue document;
    {
      Access access;
      if (!access.take_shared(reinterpret_cast<PatchObject*>(self_obj))) return nullptr;
      document = write_document(reinterpret_cast<PatchObject*>(self_obj)->patch);
    }  // the document shares nothing with the patch: converting it needs no access
    return value_to_python(document);
  });
}

PyObject* method_merge(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "merge");
  return nullptr;
}

}  // namespace quillfen::py
