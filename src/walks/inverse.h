// The patch that undoes another, derived from the record of its application (change_record.h).
//
// What the undo patch holds, level by level:
// - on an object, a member the patch replaced or removed is set back to its old value, and one it
//   added is deleted; a member it changed inside gets a nested undo;
// - on the array root, an element is set back, or changed back inside, at its serial where that
//   serial still reaches it afterwards, else at its position ("[3]"); an appended element is deleted
//   at its serial, or at its new position when it carries none. Where any element gained or changed
//   a serial, every element is reached at its position. Elements removed from the root cannot be put
//   back at their positions: that refusal is the only one;
// - below the top level, where elements are reached by serial only, an array is changed back element
//   by element when that is exact (each element set back or changed back at its serial, each
//   appended object deleted at its serial); where an element was removed, reached twice, given a
//   value that no longer carries its serial, or had its serial changed, or a value that carries none
//   was appended, the undo sets the whole array back instead.
// Every Nested of the undo patch lists its children in key order, with no key twice and none under
// "*", so the exact document form carries it unchanged.
//
// The record must keep values (ChangeRecorder's keep_values). Made from a walk that did not write,
// it is exact unless some member or element was reached twice in one pass (ChangeRecord::
// reached_twice): the walk must then write, for the record to see what the first change made.
#pragma once

#include <variant>

#include "json_value/json_value.h"
#include "patch/inexpressible.h"
#include "patch/patch.h"
#include "patch/patch_error.h"
#include "walks/change_record.h"

namespace quillfen {

// The undo patch of the application `record` tells of, or why no patch undoes it: an element removed
// from the array root; a member or element that two entries of one pass reach, where the first
// changed it inside.
Result<Patch, Inexpressible> undo_of(ChangeRecord record);

// The patch that undoes `patch` on `document`: applied to what `patch` makes of `document`, it gives
// `document` back. Fails with the PatchError that applying `patch` fails with, or as undo_of does.
Result<Patch, std::variant<PatchError, Inexpressible>> inverse_of(const Patch& patch, const JsonValue& document);

}  // namespace quillfen
