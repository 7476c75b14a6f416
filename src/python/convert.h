// Conversion between Python objects and JsonValue. Both directions are deep copies.
#pragma once

#include <Python.h>

#include "json_value/json_value.h"

namespace quillfen::py {

// Converts `obj` (borrowed) into `out`. May run Python code of the object (its __index__,
// __float__, a numpy bool's truth slot). Returns false with a Python exception set; `out` is then
// unspecified and nothing else has changed.
bool python_to_value(PyObject* obj, JsonValue& out);

// A new Python object (dict keys in ascending byte order); a new reference, or null with a Python
// exception set.
PyObject* value_to_python(const JsonValue& value);

}  // namespace quillfen::py
