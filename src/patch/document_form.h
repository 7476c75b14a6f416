// The document form of a patch: the whole patch as one JsonValue object, so that it can travel as
// plain data. Set is its bare value, Delete is {"*": null}, Nested is an object of its children,
// Move and Copy are {"from", "to"}, Test is {"test"}. Only the exact form carries placements.
#pragma once

#include <optional>

#include "json_value/json_value.h"
#include "patch/inexpressible.h"
#include "patch/patch.h"
#include "patch/patch_error.h"

namespace quillfen {

// Writes `patch` as an object with one member per top-level entry. Cannot fail, at any depth.
JsonValue write_document(const Patch& patch);

// Writes `patch` as `write_document` does, except that a Set of an object is written {"*": value},
// so that the document reads back as a patch that applies like `patch`: the same result wherever it
// succeeds (where it fails at several places, either may be reported). Refuses, with the key path
// of the first top-level key in byte order that holds one, a patch that no document carries so:
// a Move, Copy or Test (they read back as Nested); a Nested with a child under "*" (it reads back
// as a Set or Delete), or with a key twice, or with two Set children out of byte order (read back
// in key order, they could append array elements in the other order, and likewise a child with a
// placement out of order with a Set or another such child), and a patch with placements that holds
// an entry at the top-level key "_", where the exact form puts its table of placements.
Result<JsonValue, Inexpressible> write_document_exact(const Patch& patch);

// Why the exact form cannot carry `patch` unchanged (the refusal write_document_exact gives), or none.
std::optional<Inexpressible> exact_form_refusal(const Patch& patch);

// Reads a patch back. A value that is not an object reads as an empty patch; a
// "*" member below the top level makes a Set of its value, or a Delete when it holds null; any other
// object a Nested.
Result<Patch> read_document(const JsonValue& document);

// Reads what write_document_exact writes, placements included (patch/placements.h): as
// read_document, except that a table of placements at the top-level key "_" gives them to the
// entries. Refuses a table that names no entry or is malformed.
Result<Patch, Inexpressible> read_document_exact(const JsonValue& document);

}  // namespace quillfen
