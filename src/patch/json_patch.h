// The standard change formats: JSON Patch operations (add, remove, replace, move, copy, test, each
// at a JsonPointer) and merge patches (a document whose nulls remove members). What an operation
// is, reading operations, their errors, and the value equality that `test` compares by. Applying
// them lives in walks/json_patch_walk.h (the rules) and walks/standard_formats.h (on JsonValues).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json_value/json_value.h"
#include "patch/json_pointer.h"
#include "patch/patch_error.h"

namespace quillfen {

enum class JsonPatchOp : std::uint8_t { Add, Remove, Replace, Move, Copy, Test };

struct JsonPatchOperation {
  JsonPatchOp op;
  JsonPointer path;
  JsonPointer from;  // Move and Copy only
  JsonValue value;   // Add, Replace and Test only; a reader may keep Add's and Replace's apart, in the
                     // document's own kind of value (the walk asks the document for it: value_of)
};

// Whether `op` carries a "value", and whether it carries a "from".
bool takes_value(JsonPatchOp op) noexcept;
bool takes_from(JsonPatchOp op) noexcept;
std::string_view op_name(JsonPatchOp op) noexcept;
// The op of that name, if there is one.
std::optional<JsonPatchOp> op_named(std::string_view name) noexcept;

// Why a list of operations was not applied, its message naming the operation's position in the
// list and its pointers. Malformed: an operation that breaks the format (an unknown "op", a missing
// member, a pointer that does not parse, a token that is no array index where an array is met),
// made by the readers and the applying walk. Failed: an operation that cannot be carried out on the
// document (a missing target, an index out of range, a failed test), made by the applying walk.
class JsonPatchError {
 public:
  enum class Kind : std::uint8_t { Malformed, Failed };

  static JsonPatchError malformed(std::string message) { return JsonPatchError(Kind::Malformed, std::move(message)); }
  static JsonPatchError failed(std::string message) { return JsonPatchError(Kind::Failed, std::move(message)); }

  Kind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }

 private:
  JsonPatchError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  Kind kind_;
  std::string message_;
};

// The members of one operation object that say what it does, as a reader finds them: "op", "path"
// and "from" each absent, of another kind than a string (or a string that cannot be read), or a
// string; and whether "value" is present. Every other member is ignored.
struct OperationMembers {
  enum class State : std::uint8_t { Absent, NotString, Text };
  struct Member {
    State state = State::Absent;
    std::string_view text;
  };
  Member op;
  Member path;
  Member from;
  bool has_value = false;
};

// Reads the operation at position `index` of a list into `out` (where it stays: an operation is
// large) from its members, without its value, which the reader converts and stores itself when
// takes_value(op). A Malformed error names the first fault, looking at "op", then "path", then
// "from", then "value"; `out` is then unspecified.
Result<Done, JsonPatchError> read_operation(std::size_t index, const OperationMembers& members, JsonPatchOperation& out);

// The Malformed error of an element of the list that is no object.
JsonPatchError not_an_operation(std::size_t index);

// "operation 3 (move from \"/a\" to \"/b\")": an operation and its pointers, as error messages start.
std::string operation_context(std::size_t index, const JsonPatchOperation& operation);

// Reads a JsonValue list of operation objects. A Malformed error for a document that is no array,
// an element that is no object, and what read_operation refuses.
Result<std::vector<JsonPatchOperation>, JsonPatchError> read_json_patch(const JsonValue& operations);

// What a merge patch value makes where it meets no object: a copy of it whose objects, at every
// depth that is reached through objects only, have lost their null members.
JsonValue merge_patch_value(const JsonValue& patch);

// Equality by JSON value, as `test` compares: numbers by their value whatever their representation
// (1 equals 1.0, and -0.0 equals 0), but true is no number; strings and arrays element by element;
// objects by their members, whatever their order. Keeps its own work list.
bool equal_by_value(const JsonValue& a, const JsonValue& b);

}  // namespace quillfen
