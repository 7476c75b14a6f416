// Writing a patch in its document form. The walk keeps its own work list, so a patch of any depth
// is written without recursion, and writing cannot fail.
#include <algorithm>
#include <numeric>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "patch/document_form.h"

namespace quillfen {

namespace {

// An operation whose form is still to be written into `target`. Each target is a member value
// inside an object that was made at its final size, so it never moves while the walk runs.
struct Step {
  const Operation* operation;
  JsonValue* target;
};

// One member of an object being written, with the operation whose form becomes its value.
struct PendingMember {
  const std::string* key;
  const Operation* operation;
};

bool key_less(const PendingMember& a, const PendingMember& b) noexcept { return *a.key < *b.key; }

// Makes `target` the object of `members`, sorted by key, the later of two equal keys winning; each
// member's value is left for the work list. `members` must hold them in their source order.
void write_object(std::vector<PendingMember>& members, JsonValue& target, std::vector<Step>& pending) {
  if (!std::is_sorted(members.begin(), members.end(), key_less))
    std::stable_sort(members.begin(), members.end(), key_less);
  auto last = members.begin();
  for (auto it = members.begin(); it != members.end(); ++it) {
    auto next = it + 1;
    if (next != members.end() && *next->key == *it->key) continue;  // a later child of the key replaces it
    *last++ = *it;
  }
  members.erase(last, members.end());

  std::vector<JsonMember> out;
  out.reserve(members.size());
  for (const PendingMember& m : members) out.push_back(JsonMember{*m.key, JsonValue()});
  target = JsonValue(JsonObject::from_members(std::move(out)));  // already in order: taken as it is
  std::vector<JsonMember>& written = target.as_object().members();
  for (std::size_t i = 0; i < members.size(); ++i) pending.push_back(Step{members[i].operation, &written[i].value});
}

JsonValue object_of(std::string key, JsonValue value) {
  std::vector<JsonMember> members;
  members.reserve(1);
  members.push_back(JsonMember{std::move(key), std::move(value)});
  return JsonValue(JsonObject::from_members(std::move(members)));
}

void write_form(const Operation& operation, JsonValue& target, std::vector<Step>& pending) {
  std::visit(
      [&](const auto& op) {
        using Op = std::decay_t<decltype(op)>;
        if constexpr (std::is_same_v<Op, Set>) {
          target = op.value.copy();
        } else if constexpr (std::is_same_v<Op, Delete>) {
          target = object_of("*", JsonValue());
        } else if constexpr (std::is_same_v<Op, Nested>) {
          std::vector<PendingMember> members;
          members.reserve(op.children.size());
          for (const ChildEntry& child : op.children) members.push_back(PendingMember{&child.key, &child.operation});
          write_object(members, target, pending);
        } else if constexpr (std::is_same_v<Op, Move> || std::is_same_v<Op, Copy>) {
          std::vector<JsonMember> members;  // "from" sorts before "to"
          members.reserve(2);
          members.push_back(JsonMember{"from", JsonValue(op.from)});
          members.push_back(JsonMember{"to", JsonValue(op.to)});
          target = JsonValue(JsonObject::from_members(std::move(members)));
        } else {
          static_assert(std::is_same_v<Op, Test>);
          target = object_of("test", op.value.copy());
        }
      },
      operation);
}

}  // namespace

JsonValue write_document(const Patch& patch) {
  std::vector<PendingMember> members;
  members.reserve(patch.size());
  patch.for_each([&members](const Patch::Entry& e) { members.push_back(PendingMember{&e.key, &e.operation}); });
  JsonValue document;
  std::vector<Step> pending;
  write_object(members, document, pending);
  while (!pending.empty()) {
    const Step step = pending.back();
    pending.pop_back();
    write_form(*step.operation, *step.target, pending);
  }
  return document;
}

}  // namespace quillfen
