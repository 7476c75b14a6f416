#include "python/shell/arguments.h"

#include <string_view>

#include "python/objects/convert.h"
#include "python/objects/errors.h"
#include "python/objects/py_ref.h"

namespace quillfen::py {

namespace {

constexpr int kNoParameter = -1;
constexpr int kFailed = -2;  // a Python exception is set

// Which parameter `keyword` names, or kNoParameter. Names are compared by their text, so a keyword
// built at run time matches like a literal one. A name that cannot be encoded names none; kFailed
// when its text cannot be made for want of memory.
int parameter_index(const Signature& sig, PyObject* keyword) {
  if (!PyUnicode_Check(keyword)) return kNoParameter;
  std::string_view text;
  switch (read_text(keyword, text)) {
    case Text::Read: break;
    case Text::NotEncodable: return kNoParameter;
    case Text::Failed: return kFailed;
  }
  for (std::size_t i = 0; i < sig.count; ++i)
    if (text == sig.names[i]) return static_cast<int>(i);
  return kNoParameter;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.optional > 0)
    return raise_format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given", sig.full_name,
                        sig.count - sig.optional, sig.count, given, verb);
  return raise_format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.full_name, sig.count, given, verb);
}

// Fills the parameter named by `keyword`, or raises the keyword's error.
bool take_keyword(const Signature& sig, PyObject* keyword, PyObject* value, PyObject** out) {
  const int i = parameter_index(sig, keyword);
  if (i == kFailed) return false;
  if (i == kNoParameter) {
    // A call through the type passes its keyword dict unchecked, so a name may be no str at all:
    // %U would read it as one.
    const char* format = PyUnicode_Check(keyword) ? "%s got an unexpected keyword argument '%U'"
                                                  : "%s got an unexpected keyword argument '%S'";
    return raise_format(PyExc_TypeError, format, sig.full_name, keyword);
  }
  if (out[i] != nullptr) return raise_format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.full_name, sig.names[i]);
  out[i] = value;
  return true;
}

bool check_missing(const Signature& sig, PyObject** out) {
  const char* missing[3] = {nullptr, nullptr, nullptr};
  std::size_t n = 0;
  for (std::size_t i = 0; i + sig.optional < sig.count; ++i)
    if (out[i] == nullptr) missing[n++] = sig.names[i];
  if (n == 0) return true;
  if (n == 1) return raise_format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", sig.full_name, missing[0]);
  if (n == 2)
    return raise_format(PyExc_TypeError, "%s missing 2 required positional arguments: '%s' and '%s'", sig.full_name, missing[0],
                        missing[1]);
  return raise_format(PyExc_TypeError, "%s missing 3 required positional arguments: '%s', '%s', and '%s'", sig.full_name,
                      missing[0], missing[1], missing[2]);
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

bool match_arguments(const Signature& sig, std::size_t named, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out,
                     std::vector<PyObject*>& more) {
  const std::size_t nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  for (std::size_t i = 0; i < sig.count; ++i) out[i] = i < named && i < nargs ? args[i] : nullptr;
  if (nargs > named) more.assign(args + named, args + nargs);
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

bool key_argument(PyObject* obj, std::string_view& out) { return text_argument(obj, "key", out); }

bool text_argument(PyObject* obj, const char* name, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, "PyString");
    return prefix_argument_name(name);
  }
  if (!utf8_view(obj, out)) return prefix_argument_name(name);  // an encoding error is no TypeError: it passes unchanged
  return true;
}

PatchObject* patch_argument(PyObject* obj, const char* name) {
  if (Py_TYPE(obj) == patch_type()) return reinterpret_cast<PatchObject*>(obj);
  raise_cannot_convert(obj, "QuillfenPatch");
  prefix_argument_name(name);
  return nullptr;
}

bool flag_argument(PyObject* obj, const char* name, bool fallback, bool& out) {
  out = obj == nullptr ? fallback : obj == Py_True;
  if (obj == nullptr || PyBool_Check(obj)) return true;  // bool cannot be subclassed: no hook runs
  raise_cannot_convert(obj, "PyBool");
  return prefix_argument_name(name);
}

}  // namespace quillfen::py
