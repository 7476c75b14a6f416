// Computing the patch that turns one document into another.
//
// Object members are matched by name. Array elements are paired by serial where that can express
// the change; a changed array that cannot be paired is set whole, except at the top level of an
// array root, where index keys reach every position.
#pragma once

#include <optional>

#include "json_value/json_value.h"
#include "operations/operation.h"
#include "patch/inexpressible.h"
#include "patch/patch.h"
#include "patch/patch_error.h"

namespace quillfen {

// The patch that, applied to `old_document`, gives a document equal to `new_document` as
// JsonValue's equality sees it (kinds kept apart: true, 1 and 1.0 differ); empty when the two are
// equal. It holds only Set, Delete and Nested entries. A member or element that did not change has
// no entry; one whose old and new values are both objects gets a Nested of what changed below it.
//
// Two arrays are changed element by element when every element of both is an object with a serial
// unique in its array, the kept elements keep their relative order, and the added ones follow them
// in ascending byte order of their serials (the order in which a Nested read back from the document
// form appends them): kept elements that changed get their change, gone ones a Delete and added
// ones a Set, each at its serial. Every Nested lists its children in ascending byte order of their
// keys and has none under "*", so the exact document form carries the patch unchanged.
//
// Refuses with Inexpressible, always at the top level, where no such patch makes the change: a root
// that is not an object or an array, or that changes kind; a top-level member "_" of an object root
// that changes (applying passes over it); an array root that grows by objects that no top-level
// keys append as they are (the top level appends in ascending byte order of its keys, and stamps an
// object with its key), or by objects and other values together.
//
// Costs time in proportion to the size of both documents, plus sorting the entries of each array
// whose changed serials are not in byte order already. Keeps its own work list: any depth. The rules
// live in diff_walk.h, shared with the binding's walk over Python objects.
Result<Patch, Inexpressible> diff_documents(const JsonValue& old_document, const JsonValue& new_document);

// The operation that turns `old_value` into `new_value`, a member or an element below the top level
// of a diff, by the same rules; none when they are equal. The binding's diff leaves here the values
// that it converts first.
std::optional<Operation> diff_values(const JsonValue& old_value, const JsonValue& new_value);

}  // namespace quillfen
