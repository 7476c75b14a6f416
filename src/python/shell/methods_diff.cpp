#include "python/shell/arguments.h"
#include "python/objects/errors.h"
#include "python/shell/methods.h"
#include "python/walks/diff.h"

namespace quillfen::py {

PyObject* method_diff(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.diff()", 2, {"old", "new"}};
    PyObject* arg[2] = {nullptr, nullptr};
    if (!match_arguments(sig, args, nargsf, kwnames, arg)) return nullptr;
    Patch patch;
    if (!diff_python(arg[0], arg[1], patch)) return nullptr;
    return wrap_patch(std::move(patch));
  });
}

}  // namespace quillfen::py
