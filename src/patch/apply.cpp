#include "patch/apply.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/depth_guard.h"
#include "patch/array_addressing.h"
#include "patch/patch.h"

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

// Hashes keys with the patch map's keyed hash, so crafted keys cannot make the table quadratic.
struct KeyHash {
  using is_transparent = void;
  std::uint64_t seed = new_key_seed();
  std::size_t operator()(std::string_view key) const noexcept { return keyed_hash(key, seed); }
};

// The entries of one pass over an object. No member is added to or removed from the object's sorted
// vector until `finish`: new members wait in a hash table and removed ones are marked, so a pass
// with many new keys or deletions costs one merge and one compaction of the object instead of a
// shift of its tail for each. Every lookup sees the pending changes, so the outcome is that of
// taking the entries one by one, Move, Copy and repeated keys included.
class ObjectPass {
 public:
  explicit ObjectPass(JsonObject& object) noexcept : object_(object) {}

  // False when the entry failed, with the error in `failure`.
  bool apply(std::string_view key, const Operation& op, int depth, Failure& failure) {
    if (const Nested* nested = std::get_if<Nested>(&op)) {
      JsonValue* member = find(key);
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

  // The member's current value, wherever it lives; stays put until `finish`.
  JsonValue* find(std::string_view key);
  // Inserts or replaces the member.
  void put(std::string_view key, JsonValue value);
  // Removes the member, giving its value back.
  std::optional<JsonValue> take(std::string_view key);

  bool is_removed(std::size_t position) const noexcept { return !removed_.empty() && removed_[position]; }

  JsonObject& object_;
  std::vector<bool> removed_;  // by position in the object as it was when the pass began; sized on first use
  std::size_t removed_count_ = 0;
  // Members under keys the object did not hold when the pass began.
  std::unordered_map<std::string, JsonValue, KeyHash, std::equal_to<>> added_;
};

JsonValue* ObjectPass::find(std::string_view key) {
  if (!added_.empty())
    if (auto it = added_.find(key); it != added_.end()) return &it->second;
  std::optional<std::size_t> at = position_of(object_, key);
  return at && !is_removed(*at) ? &object_.members()[*at].value : nullptr;
}

void ObjectPass::put(std::string_view key, JsonValue value) {
  if (std::optional<std::size_t> at = position_of(object_, key)) {
    if (is_removed(*at)) {
      removed_[*at] = false;
      --removed_count_;
    }
    object_.members()[*at].value = std::move(value);
    return;
  }
  added_.insert_or_assign(std::string(key), std::move(value));  // one hash: new keys are the rule
}

std::optional<JsonValue> ObjectPass::take(std::string_view key) {
  if (std::optional<std::size_t> at = position_of(object_, key)) {
    if (is_removed(*at)) return std::nullopt;
    if (removed_.empty()) removed_.assign(object_.size(), false);
    removed_[*at] = true;
    ++removed_count_;
    return std::move(object_.members()[*at].value);
  }
  auto it = added_.find(key);
  if (it == added_.end()) return std::nullopt;
  JsonValue value = std::move(it->second);
  added_.erase(it);
  return value;
}

bool ObjectPass::change(std::string_view key, const Operation& op, Failure& failure) {
  if (const Set* set = std::get_if<Set>(&op)) {
    put(key, set->value.copy());
    return true;
  }
  if (std::holds_alternative<Delete>(op)) {
    (void)take(key);
    return true;
  }
  if (const Test* test = std::get_if<Test>(&op)) {
    const JsonValue* member = find(key);
    if (member == nullptr) return fail(failure, PatchError::key_not_found(std::string(key)));
    return check_equal(test->value, *member, failure);
  }
  // Move or Copy: the entry's own key plays no part. From and to alike leave the object as it was.
  const bool is_move = std::holds_alternative<Move>(op);
  const std::string& from = is_move ? std::get<Move>(op).from : std::get<Copy>(op).from;
  const std::string& to = is_move ? std::get<Move>(op).to : std::get<Copy>(op).to;
  if (from == to) return true;
  if (is_move) {
    if (std::optional<JsonValue> value = take(from)) put(to, std::move(*value));
  } else if (const JsonValue* value = find(from)) {
    put(to, value->copy());  // copied before `put` changes anything
  }
  return true;
}

void ObjectPass::finish() {
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
  while (!added_.empty()) {
    auto node = added_.extract(added_.begin());  // hands over the key without copying it
    added.push_back(JsonMember{std::move(node.key()), std::move(node.mapped())});
  }
  object_.merge_members(std::move(added));  // none of these keys is held by the object
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

[[gnu::noinline]] bool apply_children(JsonObject& object, const ChildList& children, int depth, Failure& failure) {
  ObjectPass pass(object);
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
  ObjectPass pass(root);
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
