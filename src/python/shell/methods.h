// The methods of QuillfenPatch, one file per area; module initialisation puts them in the class.
#pragma once

#include <Python.h>

namespace quillfen::py {

// Vector-call methods. Each returns a new reference, or null with a Python exception set.
PyObject* method_set(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* method_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* method_place(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* method_from_json_exact(PyObject* unused, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);  // static
PyObject* method_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* method_apply_inplace(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* method_apply_touched(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* method_inverse(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* method_from_json(PyObject* unused, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);  // static
PyObject* method_to_json(PyObject* self, PyObject* unused);                                                 // no arguments
PyObject* method_merge(PyObject* unused, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);     // static
PyObject* method_diff(PyObject* unused, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);      // static
PyObject* method_compose(PyObject* unused, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);   // static
PyObject* method_to_json_exact(PyObject* self, PyObject* unused);                                           // no arguments
PyObject* method_apply_json_patch(PyObject* unused, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);  // static
PyObject* method_apply_merge_patch(PyObject* unused, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);  // static
PyObject* method_to_json_patch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace quillfen::py
