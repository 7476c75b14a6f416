// Operation: one recorded change, in six variants. A Nested operation holds an ordered list of
// child entries, each a key and an operation of its own (and, for a Set or Nested, maybe a
// placement), to any depth.
//
// Operations own everything in them and are move-only; `copy_operation` and `copy_children` make
// deep copies. Copying keeps its own work list and releasing takes the tree apart in place, so any
// depth is safe, and releasing never allocates.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "json_value/json_value.h"

namespace quillfen {

struct ChildEntry;
using ChildList = std::vector<ChildEntry>;

// The value at the key becomes `value`, inserted if absent.
struct Set {
  JsonValue value;
};

// The member or element at the key is removed.
struct Delete {};

// The children are applied, in list order, to the value found at the key.
struct Nested {
  ChildList children;

  Nested() = default;
  explicit Nested(ChildList c) noexcept;
  Nested(Nested&&) noexcept;
  Nested& operator=(Nested&&) noexcept;
  ~Nested();  // frees the whole subtree without recursing or allocating
};

// The member `from` of the object being patched is taken out and put under `to`.
struct Move {
  std::string from;
  std::string to;
};

// A copy of the member `from` of the object being patched is put under `to`.
struct Copy {
  std::string from;
  std::string to;
};

// The value at the key must equal `value`.
struct Test {
  JsonValue value;
};

using Operation = std::variant<Set, Delete, Nested, Move, Copy, Test>;

// Where an element reached by serial stands when its array pass ends: right after the element that
// carries the serial `after`, or first when `after` is none. apply_walk.h has the rules.
struct Placement {
  std::optional<std::string> after;
};

struct ChildEntry {
  std::string key;  // stored verbatim, like a top-level key
  Operation operation;
  // A Set's or Nested's placement, or null. It counts only where the entry reaches an array element
  // by serial; everywhere else it changes nothing.
  std::unique_ptr<Placement> placement = nullptr;
};

// Whether an entry of `operation` may carry a placement: a Set or a Nested.
inline bool carries_placement(const Operation& operation) noexcept {
  return std::holds_alternative<Set>(operation) || std::holds_alternative<Nested>(operation);
}

// A copy of a placement, or null.
std::unique_ptr<Placement> copy_placement(const std::unique_ptr<Placement>& placement);

// Deep copies: the result shares nothing with the source.
Operation copy_operation(const Operation& op);
ChildList copy_children(const ChildList& children);

}  // namespace quillfen
