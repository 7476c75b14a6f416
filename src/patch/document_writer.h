// Writing a patch in its document form, written once for any kind of output.
//
// `DocumentWriter<Builder>` holds the rules: one member per top-level entry; a Set is its bare value
// (in the exact form, a Set of an object is {"*": value}); a Delete is {"*": null}; a Nested is an
// object of its children's forms, in byte order of their keys, the later of two children with one
// key winning; a Move or Copy is {"from", "to"}; a Test is {"test": value}; the exact form adds the
// table of placements at the top-level key "_" (patch/placements.h). The Builder makes the
// output: JsonValues in the core (document_write.cpp), Python objects in the binding. Members are
// added to each object in key order, and an object is filled after its parent, from a list of
// objects still to fill: a patch of any depth is written without recursion.
//
// A Builder B provides (each returns false only when the builder itself failed, having said why):
//   using Object;                                         // an object being filled (cheap to copy)
//   bool root(std::size_t room, Object& out)              // the document, with room for `room` members
//   bool object(Object, key, std::size_t room, Object& out)   // a member holding a new object
//   bool value(Object, key, const JsonValue&)             // a member holding a copy of the value
//   bool starred(Object, key, const JsonValue* value)     // a member holding {"*": value}, or {"*": null}
//   bool pair(Object, key, std::string_view from, std::string_view to)   // {"from": from, "to": to}
//   bool test(Object, key, const JsonValue&)              // {"test": value}
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "json_value/json_value.h"
#include "operations/operation.h"
#include "patch/patch.h"
#include "patch/placements.h"
#include "patch/reserved_names.h"

namespace quillfen {

template <class Builder>
class DocumentWriter {
  using Object = typename Builder::Object;

 public:
  explicit DocumentWriter(Builder& builder) : builder_(builder) {}

  // Writes `patch` through the builder. False when the builder failed.
  bool write(const Patch& patch, bool exact) {
    std::vector<Member> members;
    members.reserve(patch.size());
    patch.for_each([&members](const Patch::Entry& e) { members.push_back(Member::of(e)); });
    // The exact form's placements, in one top-level member "_" (patch/placements.h).
    const std::optional<JsonValue> table = exact ? placement_table(patch) : std::nullopt;
    Object document{};
    if (!builder_.root(patch.size() + (table ? 1 : 0), document) || !fill(members, document, exact, table ? &*table : nullptr))
      return false;
    while (!pending_.empty()) {
      const Step step = pending_.back();
      pending_.pop_back();
      members.clear();
      for (const ChildEntry& child : *step.children) members.push_back(Member::of(child));
      if (!fill(members, step.object, exact)) return false;
    }
    return true;
  }

 private:
  struct Member {
    std::uint64_t prefix;  // the key's first eight bytes, big-endian: most comparisons end here
    const std::string* key;
    const Operation* operation;

    static Member of(const ChildEntry& entry) {
      std::uint64_t prefix = 0;
      for (std::size_t i = 0; i < 8; ++i)
        prefix = prefix << 8 | (i < entry.key.size() ? static_cast<unsigned char>(entry.key[i]) : 0);
      return Member{prefix, &entry.key, &entry.operation};
    }
    // Byte order of the keys: a shorter key sorts first where it is a prefix of the other.
    friend bool operator<(const Member& a, const Member& b) {
      if (a.prefix != b.prefix) return a.prefix < b.prefix;
      return *a.key < *b.key;
    }
  };
  // An object written already, empty, whose members are the forms of these children.
  struct Step {
    const ChildList* children;
    Object object;
  };

  // Adds the forms of `members` (in their source order) to `object`, in key order, the later of two
  // equal keys winning. Nested members get an empty object, filled later. `table`, when given, goes
  // in at "_", a key no member has then.
  bool fill(std::vector<Member>& members, Object object, bool exact, const JsonValue* table = nullptr) {
    if (!std::is_sorted(members.begin(), members.end())) std::stable_sort(members.begin(), members.end());
    const std::string table_key(kSerialMember);
    for (auto it = members.begin(); it != members.end(); ++it) {
      auto next = it + 1;
      if (next != members.end() && *next->key == *it->key) continue;  // a later child of the key replaces it
      if (table != nullptr && table_key < *it->key) {
        if (!builder_.value(object, table_key, *table)) return false;
        table = nullptr;
      }
      if (!add(object, *it->key, *it->operation, exact)) return false;
    }
    return table == nullptr || builder_.value(object, table_key, *table);
  }

  bool add(Object object, const std::string& key, const Operation& operation, bool exact) {
    return std::visit(
        [&](const auto& op) -> bool {
          using Op = std::decay_t<decltype(op)>;
          if constexpr (std::is_same_v<Op, Set>) {
            // Bare, a Set of an object would read back as a Nested; the exact form wraps it.
            return exact && op.value.is_object() ? builder_.starred(object, key, &op.value) : builder_.value(object, key, op.value);
          } else if constexpr (std::is_same_v<Op, Delete>) {
            return builder_.starred(object, key, nullptr);
          } else if constexpr (std::is_same_v<Op, Nested>) {
            Object child{};
            if (!builder_.object(object, key, op.children.size(), child)) return false;
            if (!op.children.empty()) pending_.push_back(Step{&op.children, child});
            return true;
          } else if constexpr (std::is_same_v<Op, Move> || std::is_same_v<Op, Copy>) {
            return builder_.pair(object, key, op.from, op.to);
          } else {
            static_assert(std::is_same_v<Op, Test>);
            return builder_.test(object, key, op.value);
          }
        },
        operation);
  }

  Builder& builder_;
  std::vector<Step> pending_;
};

}  // namespace quillfen
