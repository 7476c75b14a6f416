#include <vector>

#include "patch/json_patch.h"
#include "python/objects/convert.h"
#include "python/objects/errors.h"
#include "python/objects/py_ref.h"
#include "python/shell/arguments.h"
#include "python/shell/methods.h"
#include "python/shell/patch_class.h"
#include "python/walks/standard_formats.h"
#include "python/walks/to_json_patch.h"

namespace quillfen::py {

PyObject* method_apply_json_patch(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.apply_json_patch()", 3, {"data", "operations", "in_place"}, 1};
    PyObject* arg[3] = {nullptr, nullptr, nullptr};
    bool in_place = false;
    if (!match_arguments(sig, args, nargsf, kwnames, arg) || !flag_argument(arg[2], "in_place", false, in_place)) return nullptr;
    // The data first, then the operations: a document that does not convert fails alike whatever
    // the operations hold.
    PythonOperations operations;
    if (!in_place) {
      PyRef copy = PyRef::steal(document_copy(arg[0]));
      if (!copy || !read_operations(arg[1], operations)) return nullptr;
      return json_patch_to_copy(std::move(copy), operations);
    }
    std::vector<PyRef> released;  // dropped when the call ends, after the data is whole again
    if (!check_document(arg[0]) || !read_operations(arg[1], operations) || !json_patch_in_place(arg[0], operations, released))
      return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* method_apply_merge_patch(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.apply_merge_patch()", 3, {"data", "merge_patch", "in_place"}, 1};
    PyObject* arg[3] = {nullptr, nullptr, nullptr};
    bool in_place = false;
    if (!match_arguments(sig, args, nargsf, kwnames, arg) || !flag_argument(arg[2], "in_place", false, in_place)) return nullptr;
    JsonValue merge_patch;
    if (!in_place) {
      PyRef copy = PyRef::steal(document_copy(arg[0]));
      if (!copy || !python_to_value(arg[1], merge_patch)) return nullptr;
      return merge_patch_to_copy(std::move(copy), merge_patch);
    }
    std::vector<PyRef> released;
    if (!check_document(arg[0]) || !python_to_value(arg[1], merge_patch) || !merge_patch_in_place(arg[0], merge_patch, released))
      return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* method_to_json_patch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.to_json_patch()", 1, {"data"}};
    PyObject* data = nullptr;
    if (!match_arguments(sig, args, nargsf, kwnames, &data)) return nullptr;
    auto* patch = reinterpret_cast<PatchObject*>(self);
    Access access;
    if (!access.take_shared(patch)) return nullptr;
    return json_patch_operations(patch->patch, data);
  });
}

}  // namespace quillfen::py
