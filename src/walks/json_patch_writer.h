// The JSON Patch operations that do to a document what a patch does, worked out while the patch is
// applied to it: an observer of the applying walk (apply_walk.h), written once for any kind of
// document.
//
// Serials and positions are resolved by the walk itself, so the operations name what applying
// names, and the walk stops with what applying stops with. The operations follow the walk: the top
// level in byte order of its keys, the entries of a pass in their order. On an object a put becomes
// "add" (the member was absent) or "replace", a removal "remove". On an array, whose elements keep
// their positions until the pass ends, a replaced element becomes "replace" at its position, and
// when the pass closes come the removals ("remove", highest position first) and the appends ("add"
// at "-"); an element replaced at a serial gets that serial, as applying stamps it.
//
// The observer matches each change it hears of with the entry that made it (the entries of a pass
// come in the walk's order, and the walk tells of each change as it makes it), so it needs nothing
// from the document: a walk that does not write serves, unless a member or element is reached by
// two entries of one pass, where what the second entry sees (whether it is a container to enter,
// say) depends on the first; reached_twice() then tells the caller to run the walk again, writing. A patch holding a move or copy (which
// Python does not build) is refused.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "json_value/json_value.h"
#include "operations/operation.h"
#include "patch/array_addressing.h"
#include "patch/inexpressible.h"
#include "patch/json_patch.h"
#include "patch/json_pointer.h"
#include "patch/patch.h"
#include "patch/patch_error.h"

namespace quillfen {

// One operation written: Add, Remove or Replace at `path`. The value is the patch's own (it lives
// as long as the patch); `stamp`, when set, is the serial that an object value gets as its member
// "_", as a Set at a serial key puts it into an array.
struct WrittenOperation {
  JsonPatchOp op;
  std::string path;
  const JsonValue* value = nullptr;
  std::optional<std::string_view> stamp;
};

// The operations as a JsonValue list of operation objects ({"op", "path", "value"}), each value a
// copy (stamped where the operation says so).
JsonValue written_operations(const std::vector<WrittenOperation>& written);

// The operations that do to `document` what `patch` does, as a JsonValue list. Fails with the
// PatchError that applying fails with, or Inexpressible for a patch holding a move or copy. Defined
// in json_patch_writer.cpp, over the core's adapter (value_document.h).
Result<JsonValue, std::variant<PatchError, Inexpressible>> json_patch_of(const Patch& patch, const JsonValue& document);

template <class Document>
class JsonPatchWriter {
  using Member = typename Document::Member;
  using ObjectPass = typename Document::ObjectPass;
  using ArrayPass = typename Document::ArrayPass;

 public:
  explicit JsonPatchWriter(const Patch& patch) : top_(patch.entries_in_key_order()) {}

  // After the walk completed: the operations, or why the patch has none.
  Result<std::vector<WrittenOperation>, Inexpressible> take() {
    if (refusal_) return std::move(*refusal_);
    return std::move(written_);
  }

  // Whether a member or an element was reached by two entries of one pass: a walk that does not
  // write must then be run again, writing.
  bool reached_twice() const noexcept { return reached_twice_; }

  // The walk's observer.

  bool opened_object(ObjectPass&) {
    push();
    return true;
  }
  bool opened_array(ArrayPass&, bool) {
    push();
    return true;
  }

  bool entering_member(ObjectPass&, std::string_view key) {
    Frame& frame = frames_.back();
    reach_member(frame, key);
    enter(frame, match(frame, [key](const ChildEntry& e) { return e.key == key && std::holds_alternative<Nested>(e.operation); }),
          key, std::string(key));
    return true;
  }

  bool reaching_again(ArrayPass&, std::size_t) {
    reached_twice_ = true;
    return true;
  }

  bool entering_element(ArrayPass&, std::size_t position, const std::string* serial) {
    Frame& frame = frames_.back();
    const auto names = [position, serial](const ChildEntry& e) {
      if (!std::holds_alternative<Nested>(e.operation)) return false;
      return serial != nullptr ? e.key == *serial : parse_index_key(e.key) == std::optional<std::uint64_t>(position);
    };
    const std::string index = std::to_string(position);
    enter(frame, match(frame, names), index, serial != nullptr ? std::string(*serial) : "[" + index + "]");
    return true;
  }

  bool changing_member(ObjectPass&, std::string_view key, const Member& old) {
    Frame& frame = frames_.back();
    reach_member(frame, key);
    const ChildEntry* entry = match(frame, [key](const ChildEntry& e) {
      return e.key == key && (std::holds_alternative<Set>(e.operation) || std::holds_alternative<Delete>(e.operation));
    });
    if (entry == nullptr) return true;
    if (const Set* set = std::get_if<Set>(&entry->operation))
      written_.push_back(WrittenOperation{old ? JsonPatchOp::Replace : JsonPatchOp::Add, at(frame, key), &set->value, {}});
    else
      written_.push_back(WrittenOperation{JsonPatchOp::Remove, at(frame, key), nullptr, {}});
    return true;
  }

  bool replacing_element(ArrayPass&, std::size_t position, const std::string* serial, const Member&, const JsonValue& value) {
    Frame& frame = frames_.back();
    std::optional<std::string_view> stamp;
    if (serial != nullptr) stamp = *serial;
    written_.push_back(WrittenOperation{JsonPatchOp::Replace, at(frame, std::to_string(position)), &value, stamp});
    return true;
  }

  bool removing_element(ArrayPass&, std::size_t position, const std::string*) {
    frames_.back().removed.push_back(position);
    return true;
  }

  bool appending(ArrayPass&, std::string_view key, const JsonValue& value) {
    frames_.back().appended.emplace_back(key, &value);
    return true;
  }

  bool closing_object(ObjectPass&) {
    frames_.pop_back();
    return true;
  }

  bool closing_array(ArrayPass&) {
    Frame& frame = frames_.back();
    std::sort(frame.removed.rbegin(), frame.removed.rend());  // each removal leaves the next position valid
    frame.removed.erase(std::unique(frame.removed.begin(), frame.removed.end()), frame.removed.end());
    for (std::size_t position : frame.removed)
      written_.push_back(WrittenOperation{JsonPatchOp::Remove, at(frame, std::to_string(position)), nullptr, {}});
    for (const auto& [key, value] : frame.appended) written_.push_back(WrittenOperation{JsonPatchOp::Add, at(frame, "-"), value, key});
    frames_.pop_back();
    return true;
  }

  void stopped() { frames_.clear(); }

 private:
  // One pass: where it is (as a pointer, and as the patch keys that lead there), its entries in the
  // walk's order (the top level's, or the children of the Nested entry that opened it), and the
  // first not yet matched with a change.
  struct Frame {
    std::string pointer;
    std::vector<std::string> keys;
    const ChildEntry* const* top = nullptr;
    const ChildEntry* children = nullptr;
    std::size_t count = 0;
    std::size_t next = 0;
    std::set<std::string_view> members_reached;  // object passes
    std::vector<std::size_t> removed;
    std::vector<std::pair<std::string_view, const JsonValue*>> appended;

    const ChildEntry& entry(std::size_t i) const { return top != nullptr ? *top[i] : children[i]; }
  };
  // The pass about to open below the current one.
  struct Entering {
    std::string pointer;
    std::vector<std::string> keys;
    const ChildEntry* children;
    std::size_t count;
  };

  static std::string at(const Frame& frame, std::string_view token) {
    std::string pointer = frame.pointer;
    append_pointer_token(pointer, token);
    return pointer;
  }

  void push() {
    Frame& frame = frames_.emplace_back();
    if (frames_.size() == 1) {
      frame.top = top_.data();
      frame.count = top_.size();
      return;
    }
    frame.pointer = std::move(entering_.pointer);
    frame.keys = std::move(entering_.keys);
    frame.children = entering_.children;
    frame.count = entering_.count;
  }

  void enter(const Frame& frame, const ChildEntry* entry, std::string_view token, std::string key) {
    const ChildList* children = entry != nullptr ? &std::get<Nested>(entry->operation).children : nullptr;
    entering_ = Entering{at(frame, token), frame.keys, children != nullptr ? children->data() : nullptr, children != nullptr ? children->size() : 0};
    entering_.keys.push_back(std::move(key));
  }

  // The next entry of the pass that `made` names: the one whose change the walk tells of. Null, with
  // the patch refused, where a move or copy comes first (or, failing that, there is none).
  template <class Made>
  const ChildEntry* match(Frame& frame, Made made) {
    for (; frame.next < frame.count; ++frame.next) {
      const ChildEntry& entry = frame.entry(frame.next);
      if (std::holds_alternative<Move>(entry.operation) || std::holds_alternative<Copy>(entry.operation)) break;
      if (made(entry)) return &frame.entry(frame.next++);
    }
    if (!refusal_) refusal_ = Inexpressible("Cannot write the change as JSON Patch", frame.keys, "a move or copy has no counterpart here");
    return nullptr;
  }

  // What a walk that does not write sees wrongly: a member after a change at it.
  void reach_member(Frame& frame, std::string_view key) {
    if (!frame.members_reached.insert(key).second) reached_twice_ = true;
  }

  std::vector<const ChildEntry*> top_;
  std::vector<Frame> frames_;
  Entering entering_{std::string(), {}, nullptr, 0};
  std::vector<WrittenOperation> written_;
  std::optional<Inexpressible> refusal_;
  bool reached_twice_ = false;
};

}  // namespace quillfen
