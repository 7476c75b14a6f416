#include "python/walks/inverse.h"

#include <optional>
#include <utility>

#include "python/walks/patch_document.h"
#include "walks/inverse.h"

namespace quillfen::py {

bool undo_patch(const Patch& patch, PyObject* data, Patch& out) {
  bool container = false;
  if (!reads_as_container(data, container)) return false;
  if (!container) return cannot_patch();
  std::optional<ChangeRecord> record = observe_application(patch, data, true);
  if (!record) return false;
  Result<Patch, Inexpressible> undo = undo_of(std::move(*record));
  if (!undo.ok()) return raise_inexpressible(undo.error());
  out = std::move(undo).value();
  return true;
}

}  // namespace quillfen::py
