#include "walks/standard_formats.h"

#include <optional>
#include <utility>
#include <variant>

#include "walks/json_patch_walk.h"

namespace quillfen {

namespace {

class JsonDocument {
 public:
  using Node = JsonValue*;
  using Value = JsonValue;

  explicit JsonDocument(JsonValue& root) : root_(&root) {}

  Node root() const { return root_; }
  static bool kind(const Node& node, NodeKind& out) {
    out = node->is_object() ? NodeKind::Object : node->is_array() ? NodeKind::Array : NodeKind::Scalar;
    return true;
  }
  static bool member(const Node& object, std::string_view key, bool, std::optional<Node>& out) {
    if (JsonValue* value = object->as_object().find(key)) out = value;
    return true;
  }
  static bool length(const Node& array, std::size_t& out) {
    out = array->as_array().size();
    return true;
  }
  static bool element(const Node& array, std::size_t index, bool, Node& out) {
    out = &array->as_array()[index];
    return true;
  }
  static bool put(const Node& object, std::string_view key, Value value) {
    object->as_object().insert(std::string(key), std::move(value));
    return true;
  }
  static bool remove_member(const Node& object, std::string_view key, Value* taken) {
    std::optional<JsonValue> old = object->as_object().remove(key);
    if (taken != nullptr && old) *taken = std::move(*old);
    return true;
  }
  static bool insert(const Node& array, std::size_t index, Value value) {
    JsonArray& items = array->as_array();
    items.insert(items.begin() + static_cast<std::ptrdiff_t>(index), std::move(value));
    return true;
  }
  static bool replace(const Node& array, std::size_t index, Value value) {
    array->as_array()[index] = std::move(value);
    return true;
  }
  static bool remove_element(const Node& array, std::size_t index, Value* taken) {
    JsonArray& items = array->as_array();
    if (taken != nullptr) *taken = std::move(items[index]);
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
  }
  bool replace_root(Value value, bool&) {
    *root_ = std::move(value);
    return true;
  }
  static bool make(const JsonValue& value, Value& out) {
    out = value.copy();
    return true;
  }
  static bool value_of(std::size_t, const JsonPatchOperation& operation, Value& out) { return make(operation.value, out); }
  static bool copy(const Node& node, Value& out) {
    out = node->copy();
    return true;
  }
  static int equals(const Node& node, const JsonValue& expected) { return equal_by_value(*node, expected) ? 1 : 0; }
  static bool text_of(const Node& node, std::string& out) {
    out = node->compact_text();
    return true;
  }

 private:
  JsonValue* root_;
};

}  // namespace

Result<Done, JsonPatchError> apply_json_patch(JsonValue& document, const std::vector<JsonPatchOperation>& operations) {
  JsonDocument json(document);
  std::optional<FormatStop> stop = JsonPatchWalk<JsonDocument>(json).run(operations);
  if (!stop) return Done{};
  return std::get<JsonPatchError>(std::move(*stop));  // a JsonDocument never fails on its own
}

void apply_merge_patch(JsonValue& document, const JsonValue& merge_patch) {
  JsonDocument json(document);
  (void)MergePatchWalk<JsonDocument>(json).run(merge_patch);  // a JsonDocument refuses no root
}

}  // namespace quillfen
