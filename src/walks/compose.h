// Composing two patches into one that does what they do one after the other.
//
// A patch does not say what kind of container each of its levels meets: the same entries change an
// object's members or, by serial, an array's elements, and the two readings part where an element
// set to a value that is no object loses its serial, where a Nested or a top-level Delete fails at a
// serial no element carries, where a serial is carried twice, and where order counts. So composing
// takes a reading: for any data, the composite is exact on every document and refuses wherever the
// readings part; for objects, it is exact on data whose containers that the patches reach by key
// are objects (values the first patch sets are read as they are, lists and all).
#pragma once

#include <optional>

#include "patch/inexpressible.h"
#include "patch/patch.h"
#include "patch/patch_error.h"

namespace quillfen {

enum class ComposeReading {
  AnyData,  // every document: dicts and lists at every level
  Objects,  // documents whose containers that the patches reach by key are objects
};

// The patch c such that, on every document the reading admits, applying c succeeds where applying
// `first` and then `second` succeeds, with an equal result (the order of members added to an object
// aside), and fails where that fails. Neither input changes; the result shares nothing with them.
//
// Level by level: where only one patch has an entry, it is kept; a Set or Delete of the second
// replaces what the first did; a Nested of the second on the first's Set is applied to the set
// value now, on its Delete changes nothing; two Nested compose their children. A composed entry
// carries the second's placement, else the first's. The top-level key "_", which applying passes
// over, keeps the second's entry, else the first's.
//
// Refuses with Inexpressible, naming the key path, where no patch has that property under the
// reading; compose.cpp lists every case. Costs time in proportion to the two patches (and the set
// values that the second changes inside), whatever the data; keeps its own work list, so any depth.
Result<Patch, Inexpressible> compose_patches(const Patch& first, const Patch& second, ComposeReading reading);

// The same in place: `first` becomes the composite, or on a refusal stays as it was. Costs time in
// proportion to `second` and to the levels of `first` that `second` reaches, so that folding a long
// history into one patch costs what the history costs.
std::optional<Inexpressible> compose_into(Patch& first, const Patch& second, ComposeReading reading);

}  // namespace quillfen
