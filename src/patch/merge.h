// Merging two patches into a third: wherever both hold an entry at one key, `major`'s prevails,
// except that two Nested entries have their child lists merged, level by level. An entry of the
// result has `major`'s placement, or where that entry has none and is a Set or Nested, `minor`'s.
//
// Both operations take their inputs by value and use them up, moving entries into the result
// rather than copying them; a caller that keeps its patches hands in copies. Neither can fail:
// both keep their own work list, so inputs of any depth merge without exhausting the stack.
#pragma once

#include "operations/operation.h"
#include "patch/patch.h"

namespace quillfen {

// The top-level merge. The result holds every key of either input once: `minor`'s entry where
// `major` has none, the child-list merge where both hold a Nested, and `major`'s entry otherwise.
// It is built with room for both inputs' entries.
Patch merge_patches(Patch minor, Patch major);

// The child-list merge: every entry of `major`, in `major`'s order, each merged with the first
// entry of `minor` of the same key when both are Nested; then every entry of `minor` whose key
// `major` does not hold, in `minor`'s order. Keys match byte for byte. Partners are found through
// a hash of `minor`'s keys, so the cost grows with the sum of the lengths, not their product.
ChildList merge_children(ChildList minor, ChildList major);

}  // namespace quillfen
