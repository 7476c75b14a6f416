// Conversion between Python objects and JsonValue. Both directions are deep copies.
#pragma once

#include <Python.h>

#include "json_value/json_value.h"

namespace quillfen::py {

// Converts `obj` (borrowed) into `out`. May run Python code of the object (its __index__,
// __float__, a numpy bool's truth slot), which may change the containers being read: lists are
// read only up to their current length, and a dict that changes under the walk stops it with the
// fatal-error exception. Returns false with a Python exception set: TypeError for what does not
// convert, RecursionError for nesting deeper than the walk allows; `out` is then unspecified and
// nothing else has changed.
bool python_to_value(PyObject* obj, JsonValue& out);

// A new Python object (dict keys in ascending byte order, unsigned integers from 2**63 up as
// float); a new reference, or null with a Python exception set (MemoryError, or RecursionError
// for nesting deeper than the walk allows). Runs no Python code of its own.
PyObject* value_to_python(const JsonValue& value);

}  // namespace quillfen::py
