#include "walks/inverse.h"

#include <optional>
#include <utility>

#include "walks/apply_walk.h"
#include "walks/value_document.h"

namespace quillfen {

Result<Patch, std::variant<PatchError, Inexpressible>> inverse_of(const Patch& patch, const JsonValue& document) {
  using Outcome = Result<Patch, std::variant<PatchError, Inexpressible>>;
  if (!document.is_container()) return Outcome(PatchError::invalid_operation("Can only patch objects and arrays"));
  JsonValue copy = document.copy();
  ValueDocument json;
  InverseBuilder<ValueDocument> inverse(json);
  if (std::optional<ApplyStop> stop = ApplyWalk<ValueDocument, InverseBuilder<ValueDocument>>(json, inverse).run(patch, &copy))
    return Outcome(std::get<PatchError>(std::move(*stop)));  // a ValueDocument never fails on its own
  Result<Patch, Inexpressible> undo = inverse.take();
  if (!undo.ok()) return Outcome(undo.error());
  return Outcome(std::move(undo).value());
}

}  // namespace quillfen
