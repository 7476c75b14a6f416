#include <optional>

#include "patch/document_form.h"
#include "patch/merge.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/methods.h"

namespace quillfen::py {

PyObject* method_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.from_json()", 1, {"data"}};
    PyObject* data = nullptr;
    if (!match_arguments(sig, args, nargsf, kwnames, &data)) return nullptr;
    // Converted first, so data that does not convert fails the same way whatever its shape.
    JsonValue document;
    if (!python_to_value(data, document)) return nullptr;
    Result<Patch> patch = read_document(std::move(document));
    if (!patch.ok()) {
      raise_patch_error("Parse error: ", patch.error());
      return nullptr;
    }
    return wrap_patch(std::move(patch).value());
  });
}

PyObject* method_to_json(PyObject* self_obj, PyObject*) {
  return guarded([&]() -> PyObject* {
    JsonValue document;
    {
      Access access;
      if (!access.take_shared(reinterpret_cast<PatchObject*>(self_obj))) return nullptr;
      document = write_document(reinterpret_cast<PatchObject*>(self_obj)->patch);
    }  // the document shares nothing with the patch: converting it needs no access
    return value_to_python(document);
  });
}

PyObject* method_to_json_exact(PyObject* self_obj, PyObject*) {
  return guarded([&]() -> PyObject* {
    std::optional<Result<JsonValue, Inexpressible>> document;
    {
      Access access;
      if (!access.take_shared(reinterpret_cast<PatchObject*>(self_obj))) return nullptr;
      document.emplace(write_document_exact(reinterpret_cast<PatchObject*>(self_obj)->patch));
    }  // as for to_json: converting needs no access
    if (!document->ok()) return raise_inexpressible(document->error()), nullptr;
    return value_to_python(document->value());
  });
}

PyObject* method_merge(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.merge()", 2, {"minor", "major"}};
    PyObject* arg[2] = {nullptr, nullptr};
    if (!match_arguments(sig, args, nargsf, kwnames, arg)) return nullptr;
    // `minor` is taken first, so when both arguments are wrong its error is the one raised. One
    // instance may be both: shared accesses add up.
    PatchObject* minor = patch_argument(arg[0], "minor");
    if (minor == nullptr) return nullptr;
    Access minor_access;
    if (!minor_access.take_shared(minor)) return nullptr;
    PatchObject* major = patch_argument(arg[1], "major");
    if (major == nullptr) return nullptr;
    Access major_access;
    if (!major_access.take_shared(major)) return nullptr;
    // The merge uses up what it is given, so it gets copies: both arguments keep their patches, and
    // the result shares nothing with them.
    return wrap_patch(merge_patches(minor->patch.copy(), major->patch.copy()));
  });
}

}  // namespace quillfen::py
