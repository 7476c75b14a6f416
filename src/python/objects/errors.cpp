#include "python/objects/errors.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "python/objects/py_ref.h"

namespace quillfen::py {

namespace {

// The fatal-error exception type, made on first use and kept for the life of the process; a
// borrowed reference, or null with a Python exception set.
PyObject* fatal_error_type() {
  static PyObject* type = nullptr;
  if (type == nullptr)
    type = PyErr_NewExceptionWithDoc("quillfen_patch.FatalError",
                                     "An internal fault that ends the call; never raised for bad input.", PyExc_BaseException,
                                     nullptr);
  return type;
}

}  // namespace

bool raise_text(PyObject* type, const char* text) {
  PyRef message = PyRef::steal(PyUnicode_FromString(text));
  if (message) PyErr_SetObject(type, message.get());
  return false;
}

bool raise_format(PyObject* type, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  PyRef message = PyRef::steal(PyUnicode_FromFormatV(format, args));
  va_end(args);
  if (message) PyErr_SetObject(type, message.get());
  return false;
}

bool raise_unsupported() { return raise_text(PyExc_TypeError, "Unsupported type for JSON conversion"); }

bool raise_too_deep() { return raise_text(PyExc_RecursionError, "Recursion depth limit exceeded"); }

bool raise_cannot_convert(PyObject* obj, const char* target) {
  PyRef qualname = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  // A name that cannot be read gives way to a stand-in, but an interruption or MemoryError met
  // while reading it ends the call.
  if (!qualname && (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))) return false;
  if (!qualname || !PyUnicode_Check(qualname.get())) {
    PyErr_Clear();
    return raise_format(PyExc_TypeError, "'<failed to extract type name>' object cannot be converted to '%s'", target);
  }
  return raise_format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), target);
}

bool prefix_argument_name(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (!PyErr_GivenExceptionMatches(type, PyExc_TypeError)) {  // making the TypeError failed: that error stays
    PyErr_Restore(type, value, traceback);
    return false;
  }
  PyRef first_type = PyRef::steal(type);
  PyRef first = PyRef::steal(value);
  PyRef first_traceback = PyRef::steal(traceback);
  PyRef text = PyRef::steal(PyObject_Str(first.get()));
  if (!text) return false;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return false;
  PyRef replacement = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return false;
  if (PyObject* cause = PyException_GetCause(first.get())) PyException_SetCause(replacement.get(), cause);  // steals cause
  PyErr_SetObject(PyExc_TypeError, replacement.get());
  return false;
}

bool raise_patch_error(const char* prefix, const PatchError& error) {
  const std::string text = prefix + error.message();
  // RecursionError is a RuntimeError: callers that catch RuntimeError still see every patch error.
  PyObject* type = error.kind() == PatchError::Kind::RecursionLimit ? PyExc_RecursionError : PyExc_RuntimeError;
  // Keys are whole byte strings: the text is decoded with its length, so a NUL in a key stays.
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
  return false;
}

bool raise_inexpressible(const Inexpressible& error) {
  const std::string text = error.message();
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return false;
}

bool raise_json_patch_error(const JsonPatchError& error) {
  const bool malformed = error.kind() == JsonPatchError::Kind::Malformed;
  const std::string text = (malformed ? "" : "Patch error: ") + error.message();
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(malformed ? PyExc_ValueError : PyExc_RuntimeError, message.get());
  return false;
}

bool raise_fatal_error(const char* text) {
  if (PyObject* type = fatal_error_type()) raise_text(type, text);
  return false;
}

bool raise_data_changed() { return raise_fatal_error("the data changed while a patch was applied to it"); }

bool raise_list_resized() { return raise_fatal_error("list changed size while a patch was applied to it"); }

bool raise_broken_invariant(const char* text) {
#ifdef QUILLFEN_CHECK_INVARIANTS
  std::fprintf(stderr, "quillfen_patch: broken invariant: %s\n", text);
  std::abort();
#else
  return raise_fatal_error(text);
#endif
}

void SavedError::take_raised() noexcept {
  if (!PyErr_Occurred()) return;
  if (raised_type_ != nullptr) {
    PyErr_Clear();
    return;
  }
  PyErr_Fetch(&raised_type_, &raised_value_, &raised_traceback_);
}

SavedError::~SavedError() {
  if (raised_type_ == nullptr) {
    PyErr_Restore(type_, value_, traceback_);
    return;
  }
  if (type_ != nullptr) {
    PyErr_NormalizeException(&type_, &value_, &traceback_);
    PyErr_NormalizeException(&raised_type_, &raised_value_, &raised_traceback_);
    if (value_ != nullptr && raised_value_ != nullptr && raised_value_ != value_ && PyExceptionInstance_Check(value_) &&
        PyExceptionInstance_Check(raised_value_)) {
      if (traceback_ != nullptr) PyException_SetTraceback(value_, traceback_);
      PyException_SetContext(raised_value_, std::exchange(value_, nullptr));  // takes the reference
    }
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
  }
  PyErr_Restore(raised_type_, raised_value_, raised_traceback_);
}

}  // namespace quillfen::py
