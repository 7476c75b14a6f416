#include "patch/diff.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/methods.h"

namespace quillfen::py {

PyObject* method_diff(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.diff()", 2, {"old", "new"}};
    PyObject* arg[2] = {nullptr, nullptr};
    if (!match_arguments(sig, args, nargsf, kwnames, arg)) return nullptr;
    // Both converted before anything is compared: a document that does not convert fails alike
    // whatever the other holds.
    JsonValue old_document;
    if (!python_to_value(arg[0], old_document)) return nullptr;
    JsonValue new_document;
    if (!python_to_value(arg[1], new_document)) return nullptr;
    Result<Patch, Inexpressible> patch = diff_documents(old_document, new_document);
    if (!patch.ok()) return raise_inexpressible(patch.error()), nullptr;
    return wrap_patch(std::move(patch).value());
  });
}

}  // namespace quillfen::py
