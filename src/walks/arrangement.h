// The order of an array after a pass that places elements (see apply_walk.h for the rules): one
// rebuild of the whole order, in time linear in the array and the pass, without recursion.
#pragma once

#include <cstddef>
#include <vector>

namespace quillfen {

// An element of the array after the pass: one that stood at `index` when the pass began, or the
// pass's new element number `index` (a Set at a serial no element carried), when `fresh`.
struct ArraySlot {
  std::size_t index;
  bool fresh;
};

// One placement the pass met, in the pass's entry order. The anchor is resolved already: first, the
// element `anchor`, or missing (its serial names no element the array keeps).
struct PlacedElement {
  enum class Anchor { First, Element, Missing };
  ArraySlot element;
  Anchor kind;
  ArraySlot anchor;
};

// The array after the pass: its elements in order, and which of its old elements stand where a
// placement put them (by position, as it began; the others keep their order among themselves).
struct Arrangement {
  std::vector<ArraySlot> order;
  std::vector<bool> moved;
};

// The elements of the array after the pass, in order. `length` elements stood in the array; those at
// `removals` (ascending, distinct) go; `fresh` new elements came, in entry order; `placed` says where
// some of them stand:
// - an element placed twice stands where its later placement says;
// - an element whose anchor is missing, or that is the first placed (in entry order) of a loop of
//   elements each placed after the next, is not placed: an old element stays where it stood, a new
//   one follows the old ones, among the new elements in entry order;
// - the elements placed first come first, then the elements not placed; each is directly followed
//   by the elements placed after it, in entry order, each of those followed by its own (depth first).
Arrangement arrange(std::size_t length, const std::vector<std::size_t>& removals, std::size_t fresh,
                               const std::vector<PlacedElement>& placed);

}  // namespace quillfen
