#include "python/walks/inverse.h"

#include <utility>

#include "python/walks/patch_document.h"
#include "walks/inverse.h"

namespace quillfen::py {

bool undo_patch(const Patch& patch, PyObject* data, Patch& out) {
  bool container = false;
  if (!reads_as_container(data, container)) return false;
  if (!container) return cannot_patch();
  auto undo = observe_application(patch, data, [](PythonDocument& document) { return InverseBuilder<PythonDocument>(document); });
  if (!undo) return false;
  if (!undo->ok()) return raise_inexpressible(undo->error());
  out = std::move(*undo).value();
  return true;
}

}  // namespace quillfen::py
