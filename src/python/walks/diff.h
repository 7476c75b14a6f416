// Computing a patch from two Python documents where they stand, by the diff's rules of the core.
#pragma once

#include <Python.h>

#include "patch/patch.h"

namespace quillfen::py {

// `QuillfenPatch.diff`: the patch that turns `old_document` into `new_document` (both borrowed) in
// `out`, the one diff_documents gives for the two converted, made without converting either. Where
// old and new hold the very same object, nothing below it is read. Values of no exact built-in type
// (subclasses, hooks) are converted, one place at a time; a root that is no exact dict or list, or
// whose top level holds a key that is no exact str, has both documents converted first.
//
// False with a Python exception set: the conversion's TypeError and RecursionError, or ValueError
// for a change no patch expresses, including two numbers at one place that differ but convert to
// one value (integers beyond 64 bits that round to one float, NaN or an infinity against 0).
bool diff_python(PyObject* old_document, PyObject* new_document, Patch& out);

}  // namespace quillfen::py
