// The core's documents for the applying walk: JsonValues, changed in place. The adapter that
// apply_to_document, apply_nested, inverse_of and json_patch_of give the walk (apply_walk.h says
// what an adapter provides).
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/key_table.h"
#include "json_value/json_value.h"
#include "patch/array_addressing.h"
#include "walks/arrangement.h"

namespace quillfen {


// Removes the items at `positions` (sorted, distinct, each below the size) in one pass over the
// tail; the rest keep their order.
template <class T>
inline void remove_positions(std::vector<T>& items, const std::vector<std::size_t>& positions) {
  if (positions.empty()) return;
  std::size_t write = positions.front();
  std::size_t next = 0;
  for (std::size_t read = write; read < items.size(); ++read) {
    if (next < positions.size() && positions[next] == read) {
      ++next;
      continue;
    }
    items[write++] = std::move(items[read]);  // releases the removed item it overwrites, if any
  }
  items.erase(items.begin() + static_cast<std::ptrdiff_t>(write), items.end());
}

// The entries of one pass over an object. No member is added to or removed from the object's sorted
// vector until the pass ends: new members wait in a keyed table and removed ones are marked, so a
// pass with many new keys or deletions costs one merge and one compaction of the object instead of a
// shift of its tail for each. Every lookup sees the pending changes, so the outcome is that of
// taking the entries one by one, Move, Copy and repeated keys included.
class ValueObjectPass {
 public:
  explicit ValueObjectPass(JsonObject& object) noexcept : object_(object) {}

  // The member's current value, wherever it lives; stays put until the pass ends (new members are
  // never removed from `added_`, only marked, so their slots do not move while a Nested entry below
  // works on one of them).
  JsonValue* find(std::string_view key) {
    if (const std::size_t i = added_index_.find(key, added_key_of()); i != KeyTable::kNone)
      return added_live_[i] ? &added_[i].value : nullptr;
    std::optional<std::size_t> at = object_.position_of(key);
    return at && !is_removed(*at) ? &object_.members()[*at].value : nullptr;
  }

  // Inserts or replaces the member.
  void put(std::string_view key, JsonValue value) {
    if (std::optional<std::size_t> at = object_.position_of(key)) {
      if (is_removed(*at)) {
        removed_[*at] = false;
        --removed_count_;
      }
      object_.members()[*at].value = std::move(value);
      return;
    }
    if (added_.size() == added_.capacity()) added_.reserve(added_.size() * 2 + 4);  // before the table names it
    const std::size_t i = added_index_.insert(key, added_.size(), added_key_of());
    if (i < added_.size()) {
      added_[i].value = std::move(value);
      added_live_[i] = true;
      return;
    }
    added_live_.push_back(true);
    added_.push_back(JsonMember{std::string(key), std::move(value)});
  }

  // Removes the member, giving its value back.
  std::optional<JsonValue> take(std::string_view key) {
    if (std::optional<std::size_t> at = object_.position_of(key)) {
      if (is_removed(*at)) return std::nullopt;
      if (removed_.empty()) removed_.assign(object_.size(), false);
      removed_[*at] = true;
      ++removed_count_;
      return std::move(object_.members()[*at].value);
    }
    const std::size_t i = added_index_.find(key, added_key_of());
    if (i == KeyTable::kNone || !added_live_[i]) return std::nullopt;
    added_live_[i] = false;
    return std::move(added_[i].value);
  }

  // Makes pending additions and removals take effect.
  void finish() {
    if (removed_count_ > 0) {
      std::vector<std::size_t> positions;
      positions.reserve(removed_count_);
      for (std::size_t i = 0; i < removed_.size(); ++i)
        if (removed_[i]) positions.push_back(i);
      remove_positions(object_.members(), positions);
    }
    if (added_.empty()) return;
    std::vector<JsonMember> added;
    added.reserve(added_.size());
    for (std::size_t i = 0; i < added_.size(); ++i)
      if (added_live_[i]) added.push_back(std::move(added_[i]));
    object_.merge_members(std::move(added));  // none of these keys is held by the object
  }

 private:
  // The key of each new member, for the table that indexes them.
  struct AddedKeys {
    const std::vector<JsonMember>* added;
    std::string_view operator()(std::size_t i) const noexcept { return (*added)[i].key; }
  };
  AddedKeys added_key_of() const noexcept { return AddedKeys{&added_}; }
  bool is_removed(std::size_t position) const noexcept { return !removed_.empty() && removed_[position]; }

  JsonObject& object_;
  std::vector<bool> removed_;  // by position in the object as it was when the pass began; sized on first use
  std::size_t removed_count_ = 0;
  std::vector<JsonMember> added_;  // members under keys the object did not hold when the pass began
  std::vector<bool> added_live_;   // false once taken again
  KeyTable added_index_;
};

// The core's documents for the applying walk: JsonValues, changed in place. Nothing here can fail
// but by std::bad_alloc, so every operation reports success.
class ValueDocument {
 public:
  using Container = JsonValue*;
  using Member = const JsonValue*;
  using Value = JsonValue;
  using ObjectPass = ValueObjectPass;
  using ArrayPass = JsonValue*;

  static bool is_object(const Container& c) { return c->is_object(); }
  static ObjectPass begin_object(Container c) { return ValueObjectPass(c->as_object()); }

  static bool find(ObjectPass& pass, std::string_view key, Member& out) {
    out = pass.find(key);
    return true;
  }
  static bool put(ObjectPass& pass, std::string_view key, Value value) {
    pass.put(key, std::move(value));
    return true;
  }
  static bool remove(ObjectPass& pass, std::string_view key) {
    (void)pass.take(key);
    return true;
  }
  static bool move_member(ObjectPass& pass, std::string_view from, std::string_view to) {
    if (std::optional<JsonValue> value = pass.take(from)) pass.put(to, std::move(*value));
    return true;
  }
  static bool copy_member(ObjectPass& pass, std::string_view from, std::string_view to) {
    if (const JsonValue* value = pass.find(from)) pass.put(to, value->copy());  // copied before `put` changes anything
    return true;
  }
  static bool enter_member(ObjectPass& pass, std::string_view key, std::optional<Container>& out) {
    if (JsonValue* member = pass.find(key); member != nullptr && member->is_container()) out = member;
    return true;
  }
  // An object pass cut short by an error keeps the changes its entries made, as they would one by one.
  static bool end_object(ObjectPass& pass, bool) {
    pass.finish();
    return true;
  }

  static ArrayPass begin_array(Container c) { return c; }
  static std::size_t length(ArrayPass& c) { return c->as_array().size(); }
  static bool index_serials(ArrayPass& c, bool, SerialIndex& index) {
    const JsonArray& elements = c->as_array();
    for (std::size_t i = 0; i < elements.size(); ++i)
      if (const std::string* serial = serial_of(elements[i])) index.add(*serial, i);
    return true;
  }
  static bool element(ArrayPass& c, std::size_t position, Member& out) {
    out = &c->as_array()[position];
    return true;
  }
  static bool serial_at(ArrayPass& c, std::size_t position, std::optional<std::string>& out) {
    if (const std::string* serial = serial_of(c->as_array()[position])) out = *serial;
    return true;
  }
  static bool replace(ArrayPass& c, std::size_t position, Value value) {
    c->as_array()[position] = std::move(value);
    return true;
  }
  static bool enter_element(ArrayPass& c, std::size_t position, std::optional<Container>& out) {
    if (JsonValue& element = c->as_array()[position]; element.is_container()) out = &element;
    return true;
  }
  static bool remove_element(ArrayPass&, std::size_t) { return true; }  // removed when the pass ends
  static bool end_array(ArrayPass& c, const std::vector<std::size_t>& removals, std::vector<Value>& appends) {
    JsonArray& array = c->as_array();
    remove_positions(array, removals);
    array.reserve(array.size() + appends.size());
    std::move(appends.begin(), appends.end(), std::back_inserter(array));
    return true;
  }

  static bool end_array_arranged(ArrayPass& c, const std::vector<std::size_t>&, const std::vector<ArraySlot>& order,
                                 std::vector<Value>& fresh) {
    JsonArray& array = c->as_array();
    JsonArray arranged;
    arranged.reserve(order.size());
    for (const ArraySlot slot : order) arranged.push_back(std::move(slot.fresh ? fresh[slot.index] : array[slot.index]));
    array = std::move(arranged);  // what stays behind, the removed elements, goes with the old array
    return true;
  }

  static bool make(const JsonValue& value, Value& out) {
    out = value.copy();
    return true;
  }
  static bool make_stamped(const JsonValue& value, std::string_view serial, Value& out) {
    out = stamped_copy(value, serial);
    return true;
  }
  static bool changes_data() { return true; }
  static bool to_value(const Member& current, JsonValue& out) {
    out = current->copy();
    return true;
  }
  static int equals(const Member& current, const JsonValue& expected) { return *current == expected ? 1 : 0; }
  static bool text_of(const Member& current, std::string& out) {
    out = current->compact_text();
    return true;
  }
};

}  // namespace quillfen
