// Argument matching and typed arguments: the steps every callable of QuillfenPatch runs before its
// body.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

#include "python/shell/patch_class.h"

namespace quillfen::py {

// A callable's parameters: all positional-or-keyword, and required but for the last `optional`.
struct Signature {
  const char* full_name;  // "QuillfenPatch.set()", as error texts show it
  std::size_t count;
  std::array<const char*, 3> names;
  std::size_t optional = 0;
};

// Matches a vector call's arguments to `sig`, filling out[0..sig.count) with borrowed references
// (the caller's arguments outlive the call); an optional parameter not given is left null. Returns
// false with TypeError set.
bool match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out);
// The same for a callable that takes its first `named` parameters by position or keyword, the rest
// of them by keyword only, and any further positional arguments into `more` (borrowed, in order).
bool match_arguments(const Signature& sig, std::size_t named, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out,
                     std::vector<PyObject*>& more);
// The same for a call that passes a tuple and a dict (the constructor).
bool match_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Reads the typed argument `key` (a str or subclass) as UTF-8. The text lives as long as `obj`.
// Returns false with the exception set: TypeError "argument 'key': ..." or the encoding error.
bool key_argument(PyObject* obj, std::string_view& out);
// The same for the str parameter `name`.
bool text_argument(PyObject* obj, const char* name, std::string_view& out);

// Checks that `obj`, the parameter `name`, is a QuillfenPatch. Returns null with TypeError set.
PatchObject* patch_argument(PyObject* obj, const char* name);

// Reads the optional flag `name` (null when not given: `fallback`). Only True and False are flags:
// anything else, truthy or not, raises TypeError "argument '<name>': '<type>' object cannot be
// converted to 'PyBool'".
bool flag_argument(PyObject* obj, const char* name, bool fallback, bool& out);

}  // namespace quillfen::py
