#include "patch/apply.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json_value/depth_guard.h"
#include "patch/array_addressing.h"

namespace quillfen {

namespace {

constexpr std::string_view kReservedKey = "_";  // passed over at the top level only

// The walk below returns only whether it may go on and leaves the error that stopped it here, so
// no Status travels through the frame of every level: frames stay small on any build, and deep
// documents fit the stack.
using Failure = std::optional<PatchError>;

[[gnu::noinline, gnu::cold]] bool fail(Failure& failure, PatchError error) {
  failure = std::move(error);
  return false;
}

[[gnu::noinline, gnu::cold]] bool refuse_depth(Failure& failure) { return fail(failure, PatchError::recursion_limit()); }

bool check_equal(const JsonValue& expected, const JsonValue& current, Failure& failure) {
  if (expected == current) return true;
  return fail(failure, PatchError::type_mismatch(expected.compact_text(), current.compact_text()));
}

bool apply_walk(JsonValue& target, const ChildList& children, int depth, Failure& failure);

bool moves_members(const Operation& op) noexcept {
  return std::holds_alternative<Move>(op) || std::holds_alternative<Copy>(op);
}

// Removes the items at `positions` (any order, each below the size) in one pass over the tail; the
// rest keep their order. A position recorded twice removes one item, not also its neighbour.
template <class T>
void remove_positions(std::vector<T>& items, std::vector<std::size_t>& positions) {
  if (positions.empty()) return;
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
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

std::optional<std::size_t> position_of(const JsonObject& object, std::string_view key) noexcept {
  const std::vector<JsonMember>& members = object.members();
  auto it = std::lower_bound(members.begin(), members.end(), key,
                             [](const JsonMember& m, std::string_view k) { return std::string_view(m.key) < k; });
  if (it == members.end() || it->key != key) return std::nullopt;
  return static_cast<std::size_t>(it - members.begin());
}

// The entries of one pass over an object. In batched mode no member is added or removed until
// `finish`, so many new keys or deletions cost one merge and one compaction of the object instead
// of a shift of its tail each. That gives the same result as taking the entries one by one only
// when no entry can see another's pending change: the keys must be distinct and no Move or Copy
// may take part. Otherwise every entry takes effect at once.
class ObjectPass {
 public:
  ObjectPass(JsonObject& object, bool batched) noexcept : object_(object), batched_(batched) {}

  // False when the entry failed, with the error in `failure`.
  bool apply(std::string_view key, const Operation& op, int depth, Failure& failure) {
    if (const Nested* nested = std::get_if<Nested>(&op)) {
      JsonValue* member = object_.find(key);
      return member == nullptr || apply_walk(*member, nested->children, depth + 1, failure);  // creates nothing
    }
    return change(key, op, failure);
  }
  // Makes pending additions and removals take effect. Runs after an error as well: the entries
  // handled before it keep their effect, as they would one by one.
  [[gnu::noinline]] void finish();

 private:
  // Every variant but Nested. Kept out of line: its frame stays off the recursion's path.
  [[gnu::noinline]] bool change(std::string_view key, const Operation& op, Failure& failure);

  JsonObject& object_;
  const bool batched_;
  std::vector<JsonMember> added_;
  std::vector<std::size_t> removed_;  // positions in the object as it was when the pass began
};

bool ObjectPass::change(std::string_view key, const Operation& op, Failure& failure) {
  if (const Set* set = std::get_if<Set>(&op)) {
    if (!batched_) {
      object_.insert(std::string(key), set->value.copy());
    } else if (std::optional<std::size_t> at = position_of(object_, key)) {
      object_.members()[*at].value = set->value.copy();
    } else {
      added_.push_back(JsonMember{std::string(key), set->value.copy()});
    }
    return true;
  }
  if (std::holds_alternative<Delete>(op)) {
    if (!batched_) {
      object_.remove(key);
    } else if (std::optional<std::size_t> at = position_of(object_, key)) {
      removed_.push_back(*at);
    }
    return true;
  }
  if (const Test* test = std::get_if<Test>(&op)) {
    const JsonValue* member = object_.find(key);
    if (member == nullptr) return fail(failure, PatchError::key_not_found(std::string(key)));
    return check_equal(test->value, *member, failure);
  }
  // Move or Copy: the entry's own key plays no part. From and to alike leave the object as it was.
  const bool is_move = std::holds_alternative<Move>(op);
  const std::string& from = is_move ? std::get<Move>(op).from : std::get<Copy>(op).from;
  const std::string& to = is_move ? std::get<Move>(op).to : std::get<Copy>(op).to;
  if (from == to) return true;
  if (is_move) {
    if (std::optional<JsonValue> value = object_.remove(from)) object_.insert(to, std::move(*value));
  } else if (const JsonValue* value = object_.find(from)) {
    JsonValue copy = value->copy();  // before the insertion moves the members
    object_.insert(to, std::move(copy));
  }
  return true;
}

void ObjectPass::finish() {
  if (!batched_) return;
  remove_positions(object_.members(), removed_);
  object_.merge_members(std::move(added_));
  added_.clear();
}

// One pass over an array. Its length stays fixed until `finish`: positions keep naming the
// elements that stood there when the pass began, and serials are looked up in the index built
// then.
class ArrayPass {
 public:
  ArrayPass(JsonArray& array, bool uses_serials)
      : array_(array), length_(array.size()), index_(uses_serials ? build_serial_index(array) : SerialIndex()) {}

  std::size_t length() const noexcept { return length_; }

  // An entry that reached the element at `position` (below the length): by an index key when
  // `serial` is null, else by that serial key.
  bool at_position(std::size_t position, const Operation& op, int depth, const std::string* serial, Failure& failure) {
    if (const Nested* nested = std::get_if<Nested>(&op)) return apply_walk(array_[position], nested->children, depth + 1, failure);
    return change_at(position, op, serial, failure);
  }
  // An entry at serial key `key`. A Delete of a serial that no element carries is an error at the
  // top level and removes nothing below it.
  bool by_serial(const std::string& key, const Operation& op, bool top_level, int depth, Failure& failure) {
    if (std::optional<std::size_t> position = index_.find(key)) return at_position(*position, op, depth, &key, failure);
    return change_absent(key, op, top_level, failure);
  }
  // Removes the pending deletions, then appends the pending appends. Only after success: a pass
  // cut short by an error drops both.
  [[gnu::noinline]] void finish();

 private:
  // Every case that does not recurse. Kept out of line: their frames stay off the recursion's path.
  [[gnu::noinline]] bool change_at(std::size_t position, const Operation& op, const std::string* serial, Failure& failure);
  [[gnu::noinline]] bool change_absent(std::string_view key, const Operation& op, bool top_level, Failure& failure);

  JsonArray& array_;
  const std::size_t length_;
  SerialIndex index_;
  std::vector<std::size_t> pending_deletes_;
  std::vector<JsonValue> pending_appends_;
};

bool ArrayPass::change_at(std::size_t position, const Operation& op, const std::string* serial, Failure& failure) {
  JsonValue& element = array_[position];
  if (const Set* set = std::get_if<Set>(&op)) {
    element = serial != nullptr ? stamped_copy(set->value, *serial) : set->value.copy();
    return true;
  }
  if (std::holds_alternative<Delete>(op)) {
    pending_deletes_.push_back(position);
    return true;
  }
  if (const Test* test = std::get_if<Test>(&op)) return check_equal(test->value, element, failure);
  return fail(failure, PatchError::invalid_operation(serial != nullptr ? "Operation not supported on array serials"
                                                                       : "Operation not supported on array indices"));
}

bool ArrayPass::change_absent(std::string_view key, const Operation& op, bool top_level, Failure& failure) {
  if (const Set* set = std::get_if<Set>(&op)) {
    pending_appends_.push_back(stamped_copy(set->value, key));
    return true;
  }
  if (!top_level && std::holds_alternative<Delete>(op)) return true;
  return fail(failure, PatchError::invalid_serial_key(std::string(key)));
}

void ArrayPass::finish() {
  remove_positions(array_, pending_deletes_);
  array_.reserve(array_.size() + pending_appends_.size());
  std::move(pending_appends_.begin(), pending_appends_.end(), std::back_inserter(array_));
  pending_appends_.clear();
}

// Whether a child list can be applied to an object in batched mode: distinct keys, no Move or Copy.
[[gnu::noinline]] bool can_batch(const ChildList& children) {
  if (std::any_of(children.begin(), children.end(), [](const ChildEntry& c) { return moves_members(c.operation); }))
    return false;
  // Lists read from the document form come in ascending key order: that proves them distinct.
  bool ascending = true;
  for (std::size_t i = 1; i < children.size() && ascending; ++i) ascending = children[i - 1].key < children[i].key;
  if (ascending) return true;
  std::vector<std::string_view> keys;
  keys.reserve(children.size());
  for (const ChildEntry& c : children) keys.emplace_back(c.key);
  std::sort(keys.begin(), keys.end());
  return std::adjacent_find(keys.begin(), keys.end()) == keys.end();
}

[[gnu::noinline]] bool apply_children(JsonObject& object, const ChildList& children, int depth, Failure& failure) {
  ObjectPass pass(object, can_batch(children));
  bool ok = true;
  for (auto child = children.begin(); ok && child != children.end(); ++child)
    ok = pass.apply(child->key, child->operation, depth, failure);
  pass.finish();
  return ok;
}

[[gnu::noinline]] bool apply_children(JsonArray& array, const ChildList& children, int depth, Failure& failure) {
  ArrayPass pass(array, !children.empty());
  for (const ChildEntry& child : children)
    if (!pass.by_serial(child.key, child.operation, false, depth, failure)) return false;
  pass.finish();
  return true;
}

bool apply_walk(JsonValue& target, const ChildList& children, int depth, Failure& failure) {
  if (!target.is_container()) return true;  // a Nested never turns a scalar into a container
  if (too_deep(depth)) return refuse_depth(failure);
  if (target.is_object()) return apply_children(target.as_object(), children, depth, failure);
  return apply_children(target.as_array(), children, depth, failure);
}

Status outcome(Failure& failure) {
  if (failure) return std::move(*failure);
  return Done{};
}

}  // namespace

Status apply_to_object(const Patch& patch, JsonObject& root) {
  bool batched = true;
  patch.for_each([&batched](const Patch::Entry& e) {
    if (moves_members(e.operation)) batched = false;
  });
  ObjectPass pass(root, batched);  // the patch's keys are distinct by construction
  Failure failure;
  patch.for_each([&](const Patch::Entry& e) {
    if (!failure && e.key != kReservedKey) pass.apply(e.key, e.operation, 0, failure);
  });
  pass.finish();
  return outcome(failure);
}

Status apply_to_array(const Patch& patch, JsonArray& root) {
  bool uses_serials = false;  // an index is built only when some key needs it
  patch.for_each([&uses_serials](const Patch::Entry& e) {
    if (e.key != kReservedKey && !parse_index_key(e.key)) uses_serials = true;
  });
  ArrayPass pass(root, uses_serials);
  Failure failure;
  patch.for_each([&](const Patch::Entry& e) {
    if (failure || e.key == kReservedKey) return;
    if (std::optional<std::uint64_t> position = parse_index_key(e.key)) {
      if (*position < pass.length()) pass.at_position(*position, e.operation, 0, nullptr, failure);
      return;  // beyond the end: passed over, whatever the operation
    }
    pass.by_serial(e.key, e.operation, true, 0, failure);
  });
  if (!failure) pass.finish();
  return outcome(failure);
}

Status apply_nested(JsonValue& target, const ChildList& children, int depth) {
  Failure failure;
  apply_walk(target, children, depth, failure);
  return outcome(failure);
}

Status apply_to_document(const Patch& patch, JsonValue& document) {
  if (document.is_object()) return apply_to_object(patch, document.as_object());
  if (document.is_array()) return apply_to_array(patch, document.as_array());
  return PatchError::invalid_operation("Can only patch objects and arrays");
}

}  // namespace quillfen
