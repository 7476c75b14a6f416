// Every Python exception the binding raises, in one place: the texts of the conversion and argument
// rules, patch errors, the fatal error for internal faults, the guard that keeps C++ failures from
// escaping an entry point, and the one way to set a pending exception aside and bring it back.
#pragma once

#include <Python.h>

#include <new>

#include "patch/inexpressible.h"
#include "patch/json_patch.h"
#include "patch/patch_error.h"

namespace quillfen::py {

// Each raiser sets the exception and returns false (or null, for the pointer-returning forms), so a
// failing step reads `return raise_...;`.

// `type` with the text `text`, or with the text PyUnicode_FromFormat makes of `format`. Where the
// text cannot be made, the MemoryError of making it stays: the interpreter's PyErr_SetString and
// PyErr_Format would replace it by `type` with no text. Every raiser of the binding uses these.
bool raise_text(PyObject* type, const char* text);
bool raise_format(PyObject* type, const char* format, ...);

// TypeError "Unsupported type for JSON conversion".
bool raise_unsupported();
// RecursionError "Recursion depth limit exceeded", for nesting deeper than a walk accepts.
bool raise_too_deep();
// TypeError "'" + the qualified name of obj's type + "' object cannot be converted to '" + target + "'".
// A MemoryError met while reading the name passes unchanged.
bool raise_cannot_convert(PyObject* obj, const char* target);
// Replaces a pending TypeError by "argument '<name>': <its text>", keeping its cause; any other
// pending exception passes unchanged. Returns false.
bool prefix_argument_name(const char* name);
// RuntimeError with `prefix` ("Patch error: " or "Parse error: ") and the error's message;
// RecursionError (a RuntimeError) for a depth the walk refused.
bool raise_patch_error(const char* prefix, const PatchError& error);
// ValueError with the message of what a patch or its document form cannot express.
bool raise_inexpressible(const Inexpressible& error);
// ValueError with the message of a malformed JSON Patch operation; RuntimeError "Patch error: " and
// the message of one that could not be carried out.
bool raise_json_patch_error(const JsonPatchError& error);
// The fatal-error exception (a direct subclass of BaseException) with `text`, for faults such as a
// dict that changes size while it is converted.
bool raise_fatal_error(const char* text);
// The fatal error for data that Python code (a hook, a finalizer) changed while a patch was applied
// to it: "the data changed while a patch was applied to it", or, for a list whose length changed
// under a pass, "list changed size while a patch was applied to it".
bool raise_data_changed();
bool raise_list_resized();

// Holds the pending exception (if any) aside while cleanup that may call the interpreter runs, and
// puts it back when it goes, so the first failure is the one reported. Cleanup whose own failure
// must not vanish (an interruption raised in a key's __eq__ while data is put back) hands it over
// with take_raised(): that exception is then the one reported, with the first as its context.
class SavedError {
 public:
  SavedError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  ~SavedError();

  // Takes the exception pending now, if any: the first one taken is reported, later ones are dropped.
  void take_raised() noexcept;

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
  PyObject* raised_type_ = nullptr;
  PyObject* raised_value_ = nullptr;
  PyObject* raised_traceback_ = nullptr;
};

// A broken invariant of the module's own (never the caller's doing): a checking build (the
// sanitizers') stops the process at once with `text`; any other raises the fatal error with it.
bool raise_broken_invariant(const char* text);

// Runs one Python entry point: a C++ allocation failure becomes MemoryError, nothing else escapes.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    raise_text(PyExc_SystemError, "unexpected internal failure");
  }
  return decltype(body())();
}

}  // namespace quillfen::py
