#include "python/arguments.h"


#include "python/convert.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace quillfen::py {

namespace {

// Which parameter `keyword` names, or -1. Names are compared by their text, so a keyword built at
// run time matches like a literal one.
int parameter_index(const Signature& sig, PyObject* keyword) {
  std::string_view text;
  if (!PyUnicode_Check(keyword) || !utf8_view(keyword, text)) {
    PyErr_Clear();
    return -1;
  }
  for (std::size_t i = 0; i < sig.count; ++i)
    if (text == sig.names[i]) return static_cast<int>(i);
  return -1;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.full_name, sig.count, given,
               given == 1 ? "was" : "were");
  return false;
}

// Fills the parameter named by `keyword`, or raises the keyword's error.
bool take_keyword(const Signature& sig, PyObject* keyword, PyObject* value, PyObject** out) {
  const int i = parameter_index(sig, keyword);
  if (i < 0) {
    // A call through the type passes its keyword dict unchecked, so a name may be no str at all:
    // %U would read it as one.
    const char* format = PyUnicode_Check(keyword) ? "%s got an unexpected keyword argument '%U'"
                                                  : "%s got an unexpected keyword argument '%S'";
    PyErr_Format(PyExc_TypeError, format, sig.full_name, keyword);
    return false;
  }
  if (out[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name, sig.names[i]);
    return false;
  }
  out[i] = value;
  return true;
}

bool check_missing(const Signature& sig, PyObject** out) {
  const char* missing[2] = {nullptr, nullptr};
  std::size_t n = 0;
  for (std::size_t i = 0; i < sig.count; ++i)
    if (out[i] == nullptr) missing[n++] = sig.names[i];
  if (n == 0) return true;
  if (n == 1) {
    PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", sig.full_name, missing[0]);
  } else {
    PyErr_Format(PyExc_TypeError, "%s missing 2 required positional arguments: '%s' and '%s'", sig.full_name, missing[0],
                 missing[1]);
  }
  return false;
}

}  // namespace

bool match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs > static_cast<Py_ssize_t>(sig.count)) return too_many_positional(sig, nargs);
  for (std::size_t i = 0; i < sig.count; ++i) out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
      if (!take_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
  }
  return check_missing(sig, out);
}

bool match_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
  if (nargs > static_cast<Py_ssize_t>(sig.count)) return too_many_positional(sig, nargs);
  for (std::size_t i = 0; i < sig.count; ++i) out[i] = i < static_cast<std::size_t>(nargs) ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    // The dict is the call's own and no Python code runs while it is read.
    while (PyDict_Next(kwargs, &pos, &keyword, &value))
      if (!take_keyword(sig, keyword, value, out)) return false;
  }
  return check_missing(sig, out);
}

bool key_argument(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, "PyString");
    return prefix_argument_name("key");
  }
  if (!utf8_view(obj, out)) return prefix_argument_name("key");  // an encoding error is no TypeError: it passes unchanged
  return true;
}

PatchObject* patch_argument(PyObject* obj, const char* name) {
  if (Py_TYPE(obj) == patch_type()) return reinterpret_cast<PatchObject*>(obj);
  raise_cannot_convert(obj, "QuillfenPatch");
  prefix_argument_name(name);
  return nullptr;
}

}  // namespace quillfen::py
