// Writing a patch in its document form. The walks keep their own work lists, so a patch of any
// depth is written without recursion; only the exact form can refuse a patch.
#include <algorithm>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "base/key_table.h"
#include "patch/document_form.h"

namespace quillfen {

namespace {

constexpr std::string_view kOperationMember = "*";

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

// In the exact form a Set of an object is wrapped in {"*": value}; bare, it would read back as a Nested.
void write_form(const Operation& operation, bool exact, JsonValue& target, std::vector<Step>& pending) {
  std::visit(
      [&](const auto& op) {
        using Op = std::decay_t<decltype(op)>;
        if constexpr (std::is_same_v<Op, Set>) {
          const bool wrapped = exact && op.value.is_object();
          target = wrapped ? object_of(std::string(kOperationMember), op.value.copy()) : op.value.copy();
        } else if constexpr (std::is_same_v<Op, Delete>) {
          target = object_of(std::string(kOperationMember), JsonValue());
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

JsonValue write(const Patch& patch, bool exact) {
  std::vector<PendingMember> members;
  members.reserve(patch.size());
  patch.for_each([&members](const Patch::Entry& e) { members.push_back(PendingMember{&e.key, &e.operation}); });
  JsonValue document;
  std::vector<Step> pending;
  write_object(members, document, pending);
  while (!pending.empty()) {
    const Step step = pending.back();
    pending.pop_back();
    write_form(*step.operation, exact, *step.target, pending);
  }
  return document;
}

Inexpressible cannot_write(std::vector<std::string> path, std::string reason) {
  return Inexpressible("Cannot write the patch losslessly", std::move(path), std::move(reason));
}

std::string quoted(std::string_view text) { return JsonValue(text).compact_text(); }

// Why the exact form cannot carry an operation of this variant, or null.
const char* lossy_variant(const Operation& operation) {
  const bool lossy = std::holds_alternative<Move>(operation) || std::holds_alternative<Copy>(operation) ||
                     std::holds_alternative<Test>(operation);
  return lossy ? "a move, copy or test reads back as a nested change" : nullptr;
}

// Why the exact form cannot carry this child list as it is, or none. Reading builds a child list
// from an object: one child per key, in byte order, and a member "*" stands for the whole entry.
std::optional<std::string> lossy_children(const ChildList& children) {
  for (const ChildEntry& child : children)
    if (child.key == kOperationMember)
      return std::string("a child under \"*\" reads back as a set or delete of the whole entry");
  const auto not_ascending = [](const ChildEntry& a, const ChildEntry& b) { return !(a.key < b.key); };
  if (std::adjacent_find(children.begin(), children.end(), not_ascending) != children.end()) {  // a key may repeat
    KeyTable seen(children.size());
    const auto key_of = [&children](std::size_t i) -> std::string_view { return children[i].key; };
    for (std::size_t i = 0; i < children.size(); ++i)
      if (seen.insert(children[i].key, i, key_of) != i) return "the child key " + quoted(children[i].key) + " appears twice";
  }
  // Children at distinct keys act independently, except that Sets at serials an array lacks append
  // in list order.
  const std::string* last_set = nullptr;
  for (const ChildEntry& child : children) {
    if (!std::holds_alternative<Set>(child.operation)) continue;
    if (last_set != nullptr && child.key < *last_set)
      return "the child " + quoted(child.key) + " is set after " + quoted(*last_set) +
             ", and read back in byte order the two could append array elements in the other order";
    last_set = &child.key;
  }
  return std::nullopt;
}

// The first place, children in list order, where the exact form cannot carry `entry`, or none.
std::optional<Inexpressible> lossy_place(const Patch::Entry& entry) {
  std::vector<std::string> path{entry.key};
  if (const char* reason = lossy_variant(entry.operation)) return cannot_write(std::move(path), reason);
  const Nested* top = std::get_if<Nested>(&entry.operation);
  if (top == nullptr) return std::nullopt;
  if (std::optional<std::string> reason = lossy_children(top->children))
    return cannot_write(std::move(path), std::move(*reason));
  struct Level {
    const ChildList* children;
    std::size_t next;
  };
  std::vector<Level> levels{Level{&top->children, 0}};  // levels[i] holds the children of path[0..i]
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next == level.children->size()) {
      levels.pop_back();
      path.pop_back();
      continue;
    }
    const ChildEntry& child = (*level.children)[level.next++];
    path.push_back(child.key);
    if (const char* reason = lossy_variant(child.operation)) return cannot_write(std::move(path), reason);
    const Nested* nested = std::get_if<Nested>(&child.operation);
    if (nested == nullptr) {
      path.pop_back();
      continue;
    }
    if (std::optional<std::string> reason = lossy_children(nested->children))
      return cannot_write(std::move(path), std::move(*reason));
    levels.push_back(Level{&nested->children, 0});
  }
  return std::nullopt;
}

}  // namespace

JsonValue write_document(const Patch& patch) { return write(patch, false); }

Result<JsonValue, Inexpressible> write_document_exact(const Patch& patch) {
  std::optional<Inexpressible> refusal;
  patch.for_each([&refusal](const Patch::Entry& entry) {
    // The smallest key that holds a refusal reports it, whatever order the map visits them in.
    if (refusal && !(entry.key < refusal->path().front())) return;
    if (std::optional<Inexpressible> found = lossy_place(entry)) refusal = std::move(found);
  });
  if (refusal) return std::move(*refusal);
  return write(patch, true);
}

}  // namespace quillfen
