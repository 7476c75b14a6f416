// The JSON Patch operations that do to a document what a patch does, derived from the record of its
// application (change_record.h).
//
// Serials and positions are resolved by the walk itself, so the operations name what applying
// names, and the walk stops with what applying stops with. The operations follow the walk: the top
// level in byte order of its keys, the entries of a pass in their order. On an object a put becomes
// "add" (the member was absent) or "replace", a removal "remove". On an array, whose elements keep
// their positions until the pass ends, a replaced element becomes "replace" at its position, and
// when the pass closes come the removals ("remove", highest position first) and the appends ("add"
// at "-"); an element replaced at a serial gets that serial, as applying stamps it. A pass that
// placed elements closes instead with a "move" for each element placed and an "add" at its position
// for each new element, the positions resolved against the array as those operations leave it.
//
// The record needs no values. Made from a walk that does not write, it serves unless a member or
// element was reached by two entries of one pass (ChangeRecord::reached_twice), where what the
// second entry meets (whether it is a container to enter, say) depends on the first: the walk must
// then write. A change made by a move or copy (which Python does not build) is refused.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json_value/json_value.h"
#include "patch/inexpressible.h"
#include "patch/json_patch.h"
#include "patch/patch.h"
#include "patch/patch_error.h"
#include "walks/change_record.h"

namespace quillfen {

// One operation written: Add, Remove, Replace or Move at `path` (a Move's `from` says where the
// element stood). The value is the patch's own (it lives as long as the patch); `stamp`, when set,
// is the serial that an object value gets as its member "_", as a Set at a serial key puts it into
// an array.
struct WrittenOperation {
  JsonPatchOp op;
  std::string path;
  const JsonValue* value = nullptr;
  std::optional<std::string_view> stamp;
  std::string from = {};
};

// The operations of the application `record` tells of, or why there are none (a move or copy).
Result<std::vector<WrittenOperation>, Inexpressible> operations_of(const ChangeRecord& record);

// The operations as a JsonValue list of operation objects ({"op", "path", "value"}), each value a
// copy (stamped where the operation says so).
JsonValue written_operations(const std::vector<WrittenOperation>& written);

// The operations that do to `document` what `patch` does, as a JsonValue list. Fails with the
// PatchError that applying fails with, or as operations_of does.
Result<JsonValue, std::variant<PatchError, Inexpressible>> json_patch_of(const Patch& patch, const JsonValue& document);

}  // namespace quillfen
