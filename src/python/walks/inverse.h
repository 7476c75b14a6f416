// `inverse` on Python data: the patch that undoes another, worked out by the core's inverse
// observer (walks/inverse.h) over the applying walk.
#pragma once

#include <Python.h>

#include "patch/patch.h"

namespace quillfen::py {

// The patch that undoes `patch` on `data`, in `out`. Reads only what `patch` reaches and never
// writes `data`. False with a Python exception set: the errors of apply_touched, or ValueError
// where no patch undoes the change.
bool undo_patch(const Patch& patch, PyObject* data, Patch& out);

}  // namespace quillfen::py
