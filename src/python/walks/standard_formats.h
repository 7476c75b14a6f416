// The standard change formats on Python documents: JSON Patch operations and merge patches, applied
// through the core's walks to a normalised copy of the caller's data, or to the data itself through
// a CallerEdit.
#pragma once

#include <Python.h>

#include <vector>

#include "json_value/json_value.h"
#include "patch/json_patch.h"
#include "python/objects/py_ref.h"
#include "walks/json_patch_writer.h"

namespace quillfen::py {

// Operations read from Python: what each does, and the value each Add and Replace puts in, made as
// it is read (a Test compares by the JsonValue its operation holds). The walks take the values.
struct PythonOperations {
  std::vector<JsonPatchOperation> operations;
  std::vector<PyRef> values;  // one per operation; null but for Add and Replace
};

// Reads `operations`, a list of operation dicts, into `out`: of each operation the members it uses,
// its value converted as `set` converts a value. False with a Python exception set: TypeError
// "argument 'operations': ..." for no list, the conversion's TypeError or RecursionError for a
// value, ValueError for a malformed operation.
bool read_operations(PyObject* operations, PythonOperations& out);

// The normalised copy of `data` that the copying applications change: a new reference to a plain
// dict or list, or null with a Python exception set (the conversion's errors, then RuntimeError
// "Patch error: Can only patch objects and arrays", as `apply` raises them).
PyObject* document_copy(PyObject* data);

// Apply to `copy` (from document_copy, taken over) and return the result, a new reference that may
// be of any kind (the operations may replace the whole document), or null with a Python exception
// set: ValueError for a malformed operation, RuntimeError "Patch error: ..." for one that cannot
// be carried out, MemoryError. Nothing of the copy escapes a failure.
PyObject* json_patch_to_copy(PyRef copy, PythonOperations& operations);
PyObject* merge_patch_to_copy(PyRef copy, const JsonValue& merge_patch);

// Whether the caller's `data` reads as a dict or a list, as the in-place applications need it; false
// with a Python exception set: the conversion's TypeError, or RuntimeError "Patch error: Can only
// patch objects and arrays".
bool check_document(PyObject* data);

// Apply to the caller's `data` (which passed check_document) itself, atomically: on success it holds
// the result, on failure it is exactly as it was (key order and the identity of every container
// included). Only what the operations reach is read, by the conversion's rules, and changed; a
// container about to change that is referenced from elsewhere is replaced by a copy first. The root
// keeps its identity and its kind: replacing a dict by anything but a dict, or a list by anything
// but a list, is refused with RuntimeError. The errors are those of the copying forms. What the
// application takes out of `data` is moved into `released`. False with a Python exception set.
bool json_patch_in_place(PyObject* data, PythonOperations& operations, std::vector<PyRef>& released);
bool merge_patch_in_place(PyObject* data, const JsonValue& merge_patch, std::vector<PyRef>& released);

// The written operations as a new list of dicts {"op": ..., "path": ..., "value": ...} (no "value"
// for a removal), or null with a Python exception set.
PyObject* operations_to_python(const std::vector<WrittenOperation>& written);

}  // namespace quillfen::py
