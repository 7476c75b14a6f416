#include "walks/apply.h"

#include <optional>
#include <utility>

#include "walks/apply_walk.h"
#include "walks/value_document.h"

namespace quillfen {

namespace {

Status outcome(std::optional<ApplyStop> stop) {
  if (!stop) return Done{};
  return std::get<PatchError>(std::move(*stop));  // a ValueDocument never fails on its own
}

}  // namespace

Status apply_to_document(const Patch& patch, JsonValue& document) {
  if (!document.is_container()) return PatchError::invalid_operation("Can only patch objects and arrays");
  ValueDocument json;
  return outcome(ApplyWalk<ValueDocument>(json).run(patch, &document));
}

Status apply_nested(JsonValue& target, const ChildList& children) {
  if (!target.is_container()) return Done{};  // a Nested never turns a scalar into a container
  ValueDocument json;
  return outcome(ApplyWalk<ValueDocument>(json).run(children, &target));
}

}  // namespace quillfen
