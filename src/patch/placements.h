// The exact form's table of placements. Placements have no place of their own in the document form
// (every member beside "*" is ignored, and every other object is a Nested), so the exact form
// carries them all in one top-level member "_":
//
//   {"*": null, "placements": [[path, after], ...]}
//
// `path` is the list of keys from the top level to the entry, `after` the serial the element is
// placed after, or null for first; rows come in byte order of their paths, key by key. The plain
// reader takes the member for a Delete at "_", which applying passes over: it reads the patch
// without its placements.
#pragma once

#include <optional>

#include "json_value/json_value.h"
#include "patch/inexpressible.h"
#include "patch/patch.h"
#include "patch/patch_error.h"

namespace quillfen {

// The table of `patch`'s placements, or none when no entry carries one. Children are visited in byte
// order of their keys; a child list must not repeat a key (the exact form refuses that anyway).
std::optional<JsonValue> placement_table(const Patch& patch);

// Whether `value`, found at the top-level key "_" of a document, is a table of placements: an object
// of two members, "*" holding null and "placements", which no other patch's exact form holds there.
bool is_placement_table(const JsonValue& value) noexcept;

// Gives the entries of `patch` the placements of `table` (an object that is_placement_table accepts).
// Refuses a table that is not a list of [path, after] rows, a path that leads to no entry (through
// Nested children, whose lists must be in byte order, as read_document makes them), and a placement
// of an entry other than a Set or Nested. Where a path repeats, its last row counts.
Result<Done, Inexpressible> read_placement_table(const JsonValue& table, Patch& patch);

}  // namespace quillfen
