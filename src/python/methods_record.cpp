#include <string>
#include <string_view>
#include <utility>

#include "python/arguments.h"
#include "python/convert.h"
#include "python/methods.h"

namespace quillfen::py {

namespace {

// Records `operation` at the key given by `key_obj`. Exclusive access is taken before the key is
// read and before any value is converted, so a hook that calls back into this instance is refused.
// The entry goes in place only once everything has succeeded: a failed call leaves the patch as it
// was, and a successful one costs O(1) amortised whatever the patch's size.
template <class MakeOperation>
PyObject* record(PyObject* self_obj, PyObject* key_obj, MakeOperation&& make_operation) {
  auto* self = reinterpret_cast<PatchObject*>(self_obj);
  Access access;
  if (!access.take_exclusive(self)) return nullptr;
  std::string_view key;
  if (!key_argument(key_obj, key)) return nullptr;
  std::string key_text(key);
  Operation operation;
  if (!make_operation(operation)) return nullptr;
  self->patch.insert(std::move(key_text), std::move(operation));
  Py_RETURN_NONE;
}

}  // namespace

PyObject* method_set(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.set()", 2, {"key", "value"}};
    PyObject* argv[2];
    if (!match_arguments(sig, args, nargsf, kwnames, argv)) return nullptr;
    return record(self, argv[0], [&](Operation& operation) {
      JsonValue value;
      if (!python_to_value(argv[1], value)) return false;
      operation = Set{std::move(value)};
      return true;
    });
  });
}

PyObject* method_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.delete()", 1, {"key"}};
    PyObject* argv[1];
    if (!match_arguments(sig, args, nargsf, kwnames, argv)) return nullptr;
    return record(self, argv[0], [](Operation& operation) {
      operation = Delete{};
      return true;
    });
  });
}

}  // namespace quillfen::py
