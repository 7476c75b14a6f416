// Applying the standard change formats to JsonValue documents: the core's own entry points. The
// rules live in json_patch_walk.h, written once for any kind of document.
#pragma once

#include <vector>

#include "json_value/json_value.h"
#include "patch/json_patch.h"
#include "patch/patch_error.h"

namespace quillfen {

// Applies `operations` in order to `document` (of any kind: the whole document may be replaced).
// The first that fails stops the application and nothing is rolled back: the operations before it
// stay applied.
Result<Done, JsonPatchError> apply_json_patch(JsonValue& document, const std::vector<JsonPatchOperation>& operations);

// Merges `merge_patch` into `document`: where the patch is an object, its null members remove
// members, its object members merge into the members they name (made objects where they are absent
// or no object), its other members replace; any other patch replaces the document. Cannot fail.
void apply_merge_patch(JsonValue& document, const JsonValue& merge_patch);

}  // namespace quillfen
