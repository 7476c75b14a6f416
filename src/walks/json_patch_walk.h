// The rules of applying JSON Patch operations and merge patches, written once for any kind of
// document: which locations must exist, what "-" and an index equal to the length mean, that `add`
// on a member replaces it and in an array inserts, move's refusal to move a value into its own
// child, and every error text. The Document adapter holds the storage. The core instantiates the
// walks for JsonValue documents (standard_formats.cpp); the binding for Python objects.
//
// Neither walk recurses: a pointer is followed token by token from the root, and the merge walk
// keeps its own stack, so no depth of document or patch exhausts the thread's stack.
//
// A Document adapter D provides (every operation that returns bool returns false only when the
// adapter itself failed, having recorded why; the walk then stops with AdapterFailed):
//
//   using Node;   // a handle on a value of the document. It stays valid across changes made inside
//                 // the value, not across changes to the container that holds it.
//   using Value;  // an owned value about to enter the document
//
//   Node root()
//   bool kind(const Node&, NodeKind& out)
//   bool member(const Node& object, key, bool for_write, std::optional<Node>& out)  // empty: absent
//   bool length(const Node& array, std::size_t& out)
//   bool element(const Node& array, index, bool for_write, Node& out)              // index < length
//        // for_write: the walk is about to change the value found or something inside it
//   bool put(const Node& object, key, Value)                       // inserts or replaces
//   bool remove_member(const Node& object, key, Value* taken)      // the member is present
//   bool insert(const Node& array, index, Value)                   // index <= length
//   bool replace(const Node& array, index, Value)                  // index < length
//   bool remove_element(const Node& array, index, Value* taken)    // index < length
//   bool replace_root(Value, bool& refused)  // refused: the document cannot become that value, and
//                                            // nothing changed (in place, a root of another kind)
//   bool make(const JsonValue&, Value& out)                        // a copy of a value that outlives the walk
//   bool value_of(std::size_t i, const JsonPatchOperation&, Value& out)  // what Add or Replace `i` puts in:
//                                                                        // asked for once per application
//   bool copy(const Node&, Value& out)                             // a deep copy
//   int equals(const Node&, const JsonValue&)                      // by value: 1 equal, 0 not, -1 failed
//   bool text_of(const Node&, std::string& out)                    // its compact text
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "json_value/json_value.h"
#include "patch/json_patch.h"
#include "patch/json_pointer.h"
#include "walks/apply_walk.h"

namespace quillfen {

enum class NodeKind : std::uint8_t { Object, Array, Scalar };

// Why an application stopped: a JsonPatchError, or the adapter's own failure, reported its own way.
using FormatStop = std::variant<JsonPatchError, AdapterFailed>;

inline constexpr std::string_view kKindChangeRefused = "in place, the document cannot become another kind of value";

template <class Document>
class JsonPatchWalk {
  using Node = typename Document::Node;
  using Value = typename Document::Value;

 public:
  explicit JsonPatchWalk(Document& document) : doc_(document) {}

  // Applies `operations` in order; empty on success. The first that fails stops the walk, and what
  // the operations before it did is the adapter's business.
  std::optional<FormatStop> run(const std::vector<JsonPatchOperation>& operations) {
    for (std::size_t i = 0; i < operations.size(); ++i) {
      index_ = i;
      operation_ = &operations[i];
      if (!apply(operations[i])) return std::move(stop_);
    }
    return std::nullopt;
  }

 private:
  bool apply(const JsonPatchOperation& op) {
    switch (op.op) {
      case JsonPatchOp::Add:
      case JsonPatchOp::Replace: {
        Value value;
        if (!doc_.value_of(index_, op, value)) return adapter_failed();
        return op.op == JsonPatchOp::Add ? add(op.path, std::move(value)) : replace(op.path, std::move(value));
      }
      case JsonPatchOp::Remove: return remove(op.path, nullptr);
      case JsonPatchOp::Move: return move(op.from, op.path);
      case JsonPatchOp::Copy: {
        Value value;
        {
          Node source;
          if (!locate(op.from, source)) return false;
          if (!doc_.copy(source, value)) return adapter_failed();
        }
        return add(op.path, std::move(value));
      }
      case JsonPatchOp::Test: {
        Node target;
        return locate(op.path, target) && check(target, op.value);
      }
    }
    return true;
  }

  // An object member is put, in place of any it had; into an array the value is inserted before
  // the element at the index, or after the last for "-" and an index equal to the length.
  bool add(const JsonPointer& path, Value value) {
    if (path.is_root()) return replace_root(std::move(value));
    Node parent;
    NodeKind kind;
    if (!parent_of(path, parent, kind)) return false;
    const std::string_view last = path.back();
    if (kind == NodeKind::Object) return doc_.put(parent, last, std::move(value)) || adapter_failed();
    const ArrayIndex index = parse_array_index(last);
    if (index.kind == ArrayIndex::Kind::Malformed) return malformed(not_an_index(path, path.size() - 1));
    std::size_t length = 0;
    if (!doc_.length(parent, length)) return adapter_failed();
    if (index.kind == ArrayIndex::Kind::Position && index.position > length)
      return failed(quoted(path.text()) + " is beyond the end of the array (" + elements(length) + ")");
    const std::size_t at = index.kind == ArrayIndex::Kind::End ? length : index.position;
    return doc_.insert(parent, at, std::move(value)) || adapter_failed();
  }

  bool remove(const JsonPointer& path, Value* taken) {
    if (path.is_root()) return failed("the whole document cannot be removed");
    Node parent;
    NodeKind kind;
    if (!parent_of(path, parent, kind)) return false;
    const std::string_view last = path.back();
    if (kind == NodeKind::Object) {
      if (!member_present(parent, path)) return false;
      return doc_.remove_member(parent, last, taken) || adapter_failed();
    }
    std::size_t position = 0;
    return element_position(parent, path, path.size() - 1, position) &&
           (doc_.remove_element(parent, position, taken) || adapter_failed());
  }

  bool replace(const JsonPointer& path, Value value) {
    if (path.is_root()) return replace_root(std::move(value));
    Node parent;
    NodeKind kind;
    if (!parent_of(path, parent, kind)) return false;
    const std::string_view last = path.back();
    if (kind == NodeKind::Object)
      return member_present(parent, path) && (doc_.put(parent, last, std::move(value)) || adapter_failed());
    std::size_t position = 0;
    return element_position(parent, path, path.size() - 1, position) &&
           (doc_.replace(parent, position, std::move(value)) || adapter_failed());
  }

  // A remove followed by an add. "from" must exist even when it is the path, and a value cannot
  // go inside itself.
  bool move(const JsonPointer& from, const JsonPointer& path) {
    if (same_tokens(from, path)) {
      Node source;
      return locate(from, source);
    }
    if (is_inside(path, from)) return failed("a value cannot be moved into its own child");
    Value value;
    return remove(from, &value) && add(path, std::move(value));
  }

  bool check(const Node& target, const JsonValue& expected) {
    const int equal = doc_.equals(target, expected);
    if (equal < 0) return adapter_failed();
    if (equal > 0) return true;
    std::string found;
    if (!doc_.text_of(target, found)) return adapter_failed();
    return failed("test failed: expected " + expected.compact_text() + ", found " + found);
  }

  bool replace_root(Value value) {
    bool refused = false;
    if (!doc_.replace_root(std::move(value), refused)) return adapter_failed();
    return !refused || failed(std::string(kKindChangeRefused));
  }

  // The value at `pointer`, which must exist.
  bool locate(const JsonPointer& pointer, Node& out) { return descend(pointer, pointer.size(), false, out); }

  // The container that holds the last token of `path` (not the root), ready to be changed.
  bool parent_of(const JsonPointer& path, Node& parent, NodeKind& kind) {
    const std::size_t depth = path.size() - 1;
    if (!descend(path, depth, true, parent)) return false;
    if (!doc_.kind(parent, kind)) return adapter_failed();
    return kind != NodeKind::Scalar || failed(quoted(pointer_prefix(path, depth)) + " is neither an object nor an array");
  }

  // Follows the first `count` tokens of `pointer` from the root.
  bool descend(const JsonPointer& pointer, std::size_t count, bool for_write, Node& node) {
    node = doc_.root();
    for (std::size_t i = 0; i < count; ++i) {
      NodeKind kind;
      if (!doc_.kind(node, kind)) return adapter_failed();
      if (kind == NodeKind::Scalar) return failed(quoted(pointer_prefix(pointer, i)) + " is neither an object nor an array");
      if (kind == NodeKind::Object) {
        std::optional<Node> child;
        if (!doc_.member(node, pointer.token(i), for_write, child)) return adapter_failed();
        if (!child) return failed(quoted(pointer_prefix(pointer, i + 1)) + " does not exist");
        node = std::move(*child);
        continue;
      }
      std::size_t position = 0;
      if (!element_position(node, pointer, i, position)) return false;
      Node child;
      if (!doc_.element(node, position, for_write, child)) return adapter_failed();
      node = std::move(child);
    }
    return true;
  }

  bool member_present(const Node& object, const JsonPointer& path) {
    std::optional<Node> existing;
    if (!doc_.member(object, path.back(), false, existing)) return adapter_failed();
    return existing.has_value() || failed(quoted(path.text()) + " does not exist");
  }

  // The element that token `i` of `pointer` names in `array`: a position below the length.
  bool element_position(const Node& array, const JsonPointer& pointer, std::size_t i, std::size_t& out) {
    const ArrayIndex index = parse_array_index(pointer.token(i));
    if (index.kind == ArrayIndex::Kind::Malformed) return malformed(not_an_index(pointer, i));
    if (index.kind == ArrayIndex::Kind::End)
      return failed(quoted(pointer_prefix(pointer, i + 1)) + " names no element: \"-\" is the end of the array");
    std::size_t length = 0;
    if (!doc_.length(array, length)) return adapter_failed();
    if (index.position >= length)
      return failed(quoted(pointer_prefix(pointer, i + 1)) + " does not exist (the array has " + elements(length) + ")");
    out = index.position;
    return true;
  }

  static std::string not_an_index(const JsonPointer& pointer, std::size_t i) {
    return quoted(pointer_prefix(pointer, i + 1)) + ": " + quoted(pointer.token(i)) + " is not an array index";
  }
  static std::string elements(std::size_t n) { return std::to_string(n) + (n == 1 ? " element" : " elements"); }

  bool failed(std::string reason) { return stop(JsonPatchError::failed(context() + ": " + reason)); }
  bool malformed(std::string reason) { return stop(JsonPatchError::malformed(context() + ": " + reason)); }
  std::string context() const { return operation_context(index_, *operation_); }
  bool stop(JsonPatchError error) {
    stop_ = std::move(error);
    return false;
  }
  bool adapter_failed() {
    stop_ = AdapterFailed{};
    return false;
  }

  Document& doc_;
  std::size_t index_ = 0;
  const JsonPatchOperation* operation_ = nullptr;
  std::optional<FormatStop> stop_;
};

// Merges a merge patch into the document: the patch's members one by one, depth first, each object
// member that meets an object merging into it.
template <class Document>
class MergePatchWalk {
  using Node = typename Document::Node;
  using Value = typename Document::Value;

 public:
  explicit MergePatchWalk(Document& document) : doc_(document) {}

  // Empty on success. A stop leaves what was merged before it to the adapter.
  std::optional<FormatStop> run(const JsonValue& patch) {
    if (!patch.is_object()) return replace_root(patch);
    Node root = doc_.root();
    NodeKind kind;
    if (!doc_.kind(root, kind)) return AdapterFailed{};
    if (kind != NodeKind::Object) return replace_root(kept(merge_patch_value(patch)));  // merged into a new object
    frames_.push_back(Frame{std::move(root), &patch.as_object(), 0});
    while (!frames_.empty()) {
      if (!step()) return AdapterFailed{};
    }
    return std::nullopt;
  }

 private:
  // An object of the document and the patch object merging into it. The object's node stays valid:
  // while a frame is open, only its own object and those inside it change.
  struct Frame {
    Node object;
    const JsonObject* patch;
    std::size_t next;
  };

  // Merges the next member of the innermost frame, or closes it. False when the adapter failed.
  bool step() {
    Frame& frame = frames_.back();
    if (frame.next == frame.patch->size()) {
      frames_.pop_back();
      return true;
    }
    const JsonMember& member = frame.patch->members()[frame.next++];
    if (member.value.is_null()) {
      std::optional<Node> existing;
      if (!doc_.member(frame.object, member.key, false, existing)) return false;
      return !existing || doc_.remove_member(frame.object, member.key, nullptr);
    }
    Value value;
    if (!member.value.is_object()) return doc_.make(member.value, value) && doc_.put(frame.object, member.key, std::move(value));
    // Found for reading first: a member that is about to be replaced need not be made the data's own.
    std::optional<Node> existing;
    if (!doc_.member(frame.object, member.key, false, existing)) return false;
    NodeKind kind = NodeKind::Scalar;
    if (existing && !doc_.kind(*existing, kind)) return false;
    if (kind == NodeKind::Object) {
      existing.reset();
      if (!doc_.member(frame.object, member.key, true, existing)) return false;
      if (existing) {  // (a finalizer may have taken it away meanwhile)
        frames_.push_back(Frame{std::move(*existing), &member.value.as_object(), 0});  // `frame` is stale now
        return true;
      }
    }
    return doc_.make(kept(merge_patch_value(member.value)), value) && doc_.put(frames_.back().object, member.key, std::move(value));
  }

  // A value made here for the adapter, kept as long as the walk (its parts stay where they are when
  // the list grows).
  const JsonValue& kept(JsonValue value) {
    kept_.push_back(std::move(value));
    return kept_.back();
  }

  std::optional<FormatStop> replace_root(const JsonValue& value) {
    Value made;
    bool refused = false;
    if (!doc_.make(value, made) || !doc_.replace_root(std::move(made), refused)) return AdapterFailed{};
    if (refused) return JsonPatchError::failed(std::string(kKindChangeRefused));
    return std::nullopt;
  }

  Document& doc_;
  std::vector<Frame> frames_;
  std::vector<JsonValue> kept_;
};

}  // namespace quillfen
