#include "python/walks/to_json_patch.h"

#include "python/walks/patch_document.h"
#include "python/walks/standard_formats.h"
#include "walks/json_patch_writer.h"

namespace quillfen::py {

PyObject* json_patch_operations(const Patch& patch, PyObject* data) {
  bool container = false;
  if (!reads_as_container(data, container)) return nullptr;
  if (!container) return cannot_patch(), nullptr;
  // The operations come from the patch's entries; the data only tells which members were there.
  std::optional<ChangeRecord> record = observe_application(patch, data, false);
  if (!record) return nullptr;
  Result<std::vector<WrittenOperation>, Inexpressible> written = operations_of(*record);
  if (!written.ok()) return raise_inexpressible(written.error()), nullptr;
  return operations_to_python(written.value());
}

}  // namespace quillfen::py
