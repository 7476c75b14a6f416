// The document form of a patch: the whole patch as one JsonValue object, so that it can travel as
// plain data. Set is its bare value, Delete is {"*": null}, Nested is an object of its children,
// Move and Copy are {"from", "to"}, Test is {"test"}.
#pragma once

#include "json_value/json_value.h"
#include "patch/patch.h"
#include "patch/patch_error.h"

namespace quillfen {

// Writes `patch` as an object with one member per top-level entry. Cannot fail, at any depth.
JsonValue write_document(const Patch& patch);

// Reads a patch back, using `document` up. A value that is not an object reads as an empty patch; a
// "*" member below the top level makes a Set of its value, or a Delete when it holds null; any other
// object a Nested.
Result<Patch> read_document(JsonValue document);

}  // namespace quillfen
