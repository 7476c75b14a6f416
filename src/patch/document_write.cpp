// Writing a patch in its document form, through the writer that the binding shares, and checking
// that the exact form can carry a patch. No walk here recurses; only the exact form refuses a patch.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/key_table.h"
#include "patch/document_form.h"
#include "patch/document_writer.h"
#include "patch/reserved_names.h"

namespace quillfen {

namespace {


// Builds the document as JsonValues. Members come in key order, so each is appended. An object
// member holds its JsonObject on the heap, which stays put while later members are appended to
// its parent. Nothing here fails but by std::bad_alloc.
class JsonBuilder {
 public:
  using Object = JsonObject*;

  JsonValue take() { return std::move(document_); }

  bool root(std::size_t room, Object& out) {
    document_ = JsonValue(JsonObject());
    out = &document_.as_object();
    out->reserve(room);
    return true;
  }
  static bool object(Object parent, const std::string& key, std::size_t room, Object& out) {
    parent->append_in_order(key, JsonValue(JsonObject()));
    out = &parent->members().back().value.as_object();
    out->reserve(room);
    return true;
  }
  static bool value(Object parent, const std::string& key, const JsonValue& value) {
    parent->append_in_order(key, value.copy());
    return true;
  }
  static bool starred(Object parent, const std::string& key, const JsonValue* value) {
    parent->append_in_order(key, object_of(std::string(kOperationMember), value != nullptr ? value->copy() : JsonValue()));
    return true;
  }
  static bool pair(Object parent, const std::string& key, std::string_view from, std::string_view to) {
    std::vector<JsonMember> members;  // "from" sorts before "to"
    members.reserve(2);
    members.push_back(JsonMember{std::string(kFromMember), JsonValue(from)});
    members.push_back(JsonMember{std::string(kToMember), JsonValue(to)});
    parent->append_in_order(key, JsonValue(JsonObject::from_members(std::move(members))));
    return true;
  }
  static bool test(Object parent, const std::string& key, const JsonValue& value) {
    parent->append_in_order(key, object_of(std::string(kTestMember), value.copy()));
    return true;
  }

 private:
  static JsonValue object_of(std::string key, JsonValue value) {
    JsonObject object;
    object.append_in_order(std::move(key), std::move(value));
    return JsonValue(std::move(object));
  }

  JsonValue document_;
};

JsonValue write(const Patch& patch, bool exact) {
  JsonBuilder builder;
  (void)DocumentWriter<JsonBuilder>(builder).write(patch, exact);  // a JsonBuilder never fails
  return builder.take();
}

Inexpressible cannot_write(std::vector<std::string> path, std::string reason) {
  return Inexpressible("Cannot write the patch losslessly", std::move(path), std::move(reason));
}


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
  // in list order, and placements after one element, or in a loop, take effect in list order.
  const ChildEntry* last = nullptr;
  for (const ChildEntry& child : children) {
    if (!std::holds_alternative<Set>(child.operation) && !child.placement) continue;
    if (last != nullptr && child.key < last->key) {
      if (child.placement || last->placement)
        return "the child " + quoted(child.key) + " is placed or set after " + quoted(last->key) +
               ", and read back in byte order the two could stand in the other order";
      return "the child " + quoted(child.key) + " is set after " + quoted(last->key) +
             ", and read back in byte order the two could append array elements in the other order";
    }
    last = &child;
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

std::optional<Inexpressible> exact_form_refusal(const Patch& patch) {
  std::optional<Inexpressible> refusal;
  if (patch.find(kSerialMember) != nullptr && patch.has_placements())
    return cannot_write({std::string(kSerialMember)}, "this form carries the placements in the top-level member \"_\"");
  patch.for_each([&refusal](const Patch::Entry& entry) {
    // The smallest key that holds a refusal reports it, whatever order the map visits them in.
    if (refusal && !(entry.key < refusal->path().front())) return;
    if (std::optional<Inexpressible> found = lossy_place(entry)) refusal = std::move(found);
  });
  return refusal;
}

Result<JsonValue, Inexpressible> write_document_exact(const Patch& patch) {
  if (std::optional<Inexpressible> refusal = exact_form_refusal(patch)) return std::move(*refusal);
  return write(patch, true);
}

}  // namespace quillfen
