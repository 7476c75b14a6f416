#include "walks/json_patch_writer.h"

#include <optional>
#include <utility>

#include "patch/array_addressing.h"
#include "walks/apply_walk.h"
#include "walks/value_document.h"

namespace quillfen {

JsonValue written_operations(const std::vector<WrittenOperation>& written) {
  JsonArray operations;
  operations.reserve(written.size());
  for (const WrittenOperation& w : written) {
    std::vector<JsonMember> members;
    members.push_back(JsonMember{"op", JsonValue(op_name(w.op))});
    members.push_back(JsonMember{"path", JsonValue(w.path)});
    if (w.value != nullptr) members.push_back(JsonMember{"value", w.stamp ? stamped_copy(*w.value, *w.stamp) : w.value->copy()});
    operations.emplace_back(JsonObject::from_members(std::move(members)));
  }
  return JsonValue(std::move(operations));
}

Result<JsonValue, std::variant<PatchError, Inexpressible>> json_patch_of(const Patch& patch, const JsonValue& document) {
  using Outcome = Result<JsonValue, std::variant<PatchError, Inexpressible>>;
  if (!document.is_container()) return Outcome(PatchError::invalid_operation("Can only patch objects and arrays"));
  JsonValue copy = document.copy();  // the walk writes: this adapter has no kind that only reads
  ValueDocument json;
  JsonPatchWriter<ValueDocument> writer(patch);
  if (std::optional<ApplyStop> stop = ApplyWalk<ValueDocument, JsonPatchWriter<ValueDocument>>(json, writer).run(patch, &copy))
    return Outcome(std::get<PatchError>(std::move(*stop)));  // a ValueDocument never fails on its own
  Result<std::vector<WrittenOperation>, Inexpressible> written = writer.take();
  if (!written.ok()) return Outcome(written.error());
  return Outcome(written_operations(written.value()));
}

}  // namespace quillfen
