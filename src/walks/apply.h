// Applying a patch to a JsonValue document: the patch is only read, the document is changed in place.
//
// The rules live in apply_walk.h, written once for any kind of document; these are the core's own
// entry points, on JsonValues. The top-level entries are visited in the patch map's own order;
// results depend on it only where two entries reach the same member or element. On an array,
// removals and appends wait until the end of the pass over that array, so positions keep meaning the
// elements that stood there when the pass began. An error stops the application at once and nothing
// is rolled back: changes made before it stay, and the array passes it cuts short drop their
// pending removals and appends. No depth of patch or document exhausts the stack.
#pragma once

#include "json_value/json_value.h"
#include "operations/operation.h"
#include "patch/patch.h"
#include "patch/patch_error.h"

namespace quillfen {

// Applies `patch` to an object or array `document`; any other kind of document is refused with
// InvalidOperation "Can only patch objects and arrays" and left as it was. On an object root the
// top-level key "_" is passed over; on an array root index keys ("[3]") address positions
// (positions at or beyond the length are passed over) and every other key but "_" is a serial key.
Status apply_to_document(const Patch& patch, JsonValue& document);

// Applies a Nested entry's children, in order, to `target`. A target that is no object or array is
// left alone. Below the top level every key on an array is a serial key.
Status apply_nested(JsonValue& target, const ChildList& children);

}  // namespace quillfen
