// `to_json_patch` on Python data: the JSON Patch operations that do what a patch does, worked out
// by the core's writer (walks/json_patch_writer.h) over the applying walk.
#pragma once

#include <Python.h>

#include "patch/patch.h"

namespace quillfen::py {

// `to_json_patch`: the JSON Patch operations that do to `data` what `patch` does, as a new list of
// operation dicts. Reads only what the patch reaches, as inverse does, and changes nothing. Null
// with a Python exception set: the errors of apply_touched.
PyObject* json_patch_operations(const Patch& patch, PyObject* data);

}  // namespace quillfen::py
