#include "patch/diff.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/key_table.h"
#include "patch/array_addressing.h"
#include "patch/reserved_names.h"

namespace quillfen {

namespace {

Inexpressible cannot_express(std::vector<std::string> path, std::string reason) {
  return Inexpressible("Cannot express the change", std::move(path), std::move(reason));
}

std::string index_key(std::size_t position) { return std::string("[").append(std::to_string(position)).append("]"); }

// The serial of an element known to carry one.
std::string_view serial(const JsonValue& element) { return *serial_of(element); }

auto serials_of(const JsonArray& elements) {
  return [&elements](std::size_t i) { return serial(elements[i]); };
}

// Two arrays whose elements all carry serials, each unique in its array, with the position of
// every serial in each.
struct SerialPairing {
  SerialPairing(const JsonArray& old_array, const JsonArray& new_array) : old_elements(old_array), new_elements(new_array) {}

  std::size_t old_position(std::string_view s) const { return old_positions.find(s, serials_of(old_elements)); }
  std::size_t new_position(std::string_view s) const { return new_positions.find(s, serials_of(new_elements)); }

  const JsonArray& old_elements;
  const JsonArray& new_elements;
  KeyTable old_positions;
  KeyTable new_positions;
  std::size_t added = 0;  // elements of new whose serial old does not carry; they come last
};

// Indexes every element by its serial; false when two share one.
bool index_unique_serials(const JsonArray& elements, KeyTable& table) {
  table.reserve(elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i)
    if (table.insert(serial(elements[i]), i, serials_of(elements)) != i) return false;
  return true;
}

// The pairing of two arrays by serial, or null when replacing, deleting and appending elements by
// serial cannot turn one into the other: some element carries no serial or shares it, a kept
// element moved before another, or an added one comes before a kept one or out of byte order.
std::unique_ptr<SerialPairing> pair_by_serial(const JsonArray& old_array, const JsonArray& new_array) {
  auto carries_serial = [](const JsonValue& element) { return serial_of(element) != nullptr; };
  if (!std::all_of(old_array.begin(), old_array.end(), carries_serial) ||
      !std::all_of(new_array.begin(), new_array.end(), carries_serial))
    return nullptr;  // decided before any table is built: most arrays of other values stop at once
  auto pairing = std::make_unique<SerialPairing>(old_array, new_array);
  if (!index_unique_serials(old_array, pairing->old_positions) || !index_unique_serials(new_array, pairing->new_positions))
    return nullptr;
  std::size_t next_kept = 0;  // a kept element must stand after the one kept before it
  std::string_view last_added;
  for (const JsonValue& element : new_array) {
    const std::string_view s = serial(element);
    const std::size_t at = pairing->old_position(s);
    if (at == KeyTable::kNone) {
      if (pairing->added > 0 && !(last_added < s)) return nullptr;
      last_added = s;
      ++pairing->added;
    } else {
      if (pairing->added > 0 || at < next_kept) return nullptr;
      next_kept = at + 1;
    }
  }
  return pairing;
}

// Below the top level the element with serial "*" must be kept unchanged: any entry for it would
// be a child under "*".
bool star_element_unchanged(const SerialPairing& pairing) {
  const std::size_t was = pairing.old_position(kOperationMember);
  const std::size_t is = pairing.new_position(kOperationMember);
  if (was == KeyTable::kNone || is == KeyTable::kNone) return was == is;
  return pairing.old_elements[was] == pairing.new_elements[is];
}

// Whether a Nested between two objects can leave their members "*" alone: both absent or equal.
bool star_members_alike(const JsonObject& old_object, const JsonObject& new_object) {
  const JsonValue* was = old_object.find(kOperationMember);
  const JsonValue* is = new_object.find(kOperationMember);
  if (was == nullptr || is == nullptr) return was == is;
  return *was == *is;
}

// Works out changes below the root with a stack of frames, one per pair of objects or of paired
// arrays being walked, so that no depth of document reaches the call stack.
class Differ {
 public:
  // The operation that turns `old_value` into `new_value`, or none when they are equal. The caller
  // puts it where a Set of `new_value` is exact: at a member, an index key, or a serial that
  // `new_value` carries (its stamped copy is then the value itself).
  std::optional<Operation> change(const JsonValue& old_value, const JsonValue& new_value);

  // The entries that turn object `old_object` into `new_object`, in key order, leaving out the
  // member `alike`, which the caller found equal in both or absent from both.
  ChildList object_changes(const JsonValue& old_object, const JsonValue& new_object, std::string_view alike);

 private:
  struct Frame {
    Frame(const JsonValue& old_v, const JsonValue& new_v, std::string_view k, std::unique_ptr<SerialPairing> p,
          std::string_view same)
        : old_value(&old_v), new_value(&new_v), key(k), pairing(std::move(p)), alike(same) {}

    const JsonValue* old_value;
    const JsonValue* new_value;
    std::string_view key;                    // of this frame's change in its parent; in a document
    std::unique_ptr<SerialPairing> pairing;  // for a pair of arrays; null for a pair of objects
    std::string_view alike;                  // the member or serial known unchanged: no entry
    std::size_t old_cursor = 0;              // the next member or element of each side
    std::size_t new_cursor = 0;
    ChildList children;
  };

  // Puts the change of one pair into `children`, or pushes the frame that works it out. True when
  // a frame was pushed; `children` may then have moved.
  bool start(const JsonValue& old_value, const JsonValue& new_value, std::string_view key, ChildList& children);
  // Each walks its frame on until it pushes a frame (true) or is done (false).
  bool walk_objects(Frame& frame);
  bool walk_arrays(Frame& frame);
  // Runs the frames until the first one pushed is done, and gives its children, in key order.
  ChildList run();

  std::vector<Frame> stack_;
};

std::optional<Operation> Differ::change(const JsonValue& old_value, const JsonValue& new_value) {
  ChildList outcome;
  if (!start(old_value, new_value, std::string_view(), outcome)) {
    if (outcome.empty()) return std::nullopt;
    return std::move(outcome.front().operation);
  }
  ChildList children = run();
  if (children.empty()) return std::nullopt;
  return Operation(Nested(std::move(children)));
}

ChildList Differ::object_changes(const JsonValue& old_object, const JsonValue& new_object, std::string_view alike) {
  stack_.emplace_back(old_object, new_object, std::string_view(), nullptr, alike);
  return run();
}

bool Differ::start(const JsonValue& old_value, const JsonValue& new_value, std::string_view key, ChildList& children) {
  if (old_value.kind() == new_value.kind()) {
    if (new_value.is_object() && star_members_alike(old_value.as_object(), new_value.as_object())) {
      stack_.emplace_back(old_value, new_value, key, nullptr, kOperationMember);
      return true;
    }
    if (new_value.is_array()) {
      std::unique_ptr<SerialPairing> pairing = pair_by_serial(old_value.as_array(), new_value.as_array());
      if (pairing && star_element_unchanged(*pairing)) {
        stack_.emplace_back(old_value, new_value, key, std::move(pairing), kOperationMember);
        return true;
      }
    }
    // Scalars, and arrays that are set whole when they changed. Objects that reach this point
    // differ in their member "*".
    if (!new_value.is_object() && old_value == new_value) return false;
  }
  children.push_back(ChildEntry{std::string(key), Set{new_value.copy()}});
  return false;
}

bool Differ::walk_objects(Frame& frame) {
  const std::vector<JsonMember>& was = frame.old_value->as_object().members();
  const std::vector<JsonMember>& is = frame.new_value->as_object().members();
  // Both sides are in key order: one merge of the two finds every key once.
  while (frame.old_cursor < was.size() || frame.new_cursor < is.size()) {
    const bool old_left = frame.old_cursor < was.size();
    const bool new_left = frame.new_cursor < is.size();
    if (!new_left || (old_left && was[frame.old_cursor].key < is[frame.new_cursor].key)) {
      frame.children.push_back(ChildEntry{was[frame.old_cursor++].key, Delete{}});
    } else if (!old_left || is[frame.new_cursor].key < was[frame.old_cursor].key) {
      const JsonMember& member = is[frame.new_cursor++];
      frame.children.push_back(ChildEntry{member.key, Set{member.value.copy()}});
    } else {
      const JsonMember& before = was[frame.old_cursor++];
      const JsonMember& after = is[frame.new_cursor++];
      if (after.key != frame.alike && start(before.value, after.value, after.key, frame.children)) return true;
    }
  }
  return false;
}

bool Differ::walk_arrays(Frame& frame) {
  const SerialPairing& pairing = *frame.pairing;  // on the heap: stays put when the stack grows
  for (; frame.old_cursor < pairing.old_elements.size(); ++frame.old_cursor) {
    const std::string_view s = serial(pairing.old_elements[frame.old_cursor]);
    if (pairing.new_position(s) == KeyTable::kNone) frame.children.push_back(ChildEntry{std::string(s), Delete{}});
  }
  while (frame.new_cursor < pairing.new_elements.size()) {
    const JsonValue& element = pairing.new_elements[frame.new_cursor++];
    const std::string_view s = serial(element);
    const std::size_t at = pairing.old_position(s);
    if (at == KeyTable::kNone) {
      // Appended as the stamped copy for its own serial: the element as it is.
      frame.children.push_back(ChildEntry{std::string(s), Set{element.copy()}});
    } else if (s != frame.alike && start(pairing.old_elements[at], element, s, frame.children)) {
      return true;
    }
  }
  return false;
}

ChildList Differ::run() {
  const auto by_key = [](const ChildEntry& a, const ChildEntry& b) { return a.key < b.key; };
  for (;;) {
    Frame& frame = stack_.back();
    if (frame.pairing ? walk_arrays(frame) : walk_objects(frame)) continue;
    // Members come in key order already; an array's entries come in element order, which the
    // document form does not keep.
    ChildList children = std::move(frame.children);
    if (!std::is_sorted(children.begin(), children.end(), by_key)) std::sort(children.begin(), children.end(), by_key);
    const std::string_view key = frame.key;
    stack_.pop_back();
    if (stack_.empty()) return children;
    if (!children.empty()) stack_.back().children.push_back(ChildEntry{std::string(key), Nested(std::move(children))});
  }
}

Patch patch_of(std::vector<Patch::Entry> entries) {
  Patch patch(entries.size());
  for (Patch::Entry& entry : entries) patch.insert(std::move(entry.key), std::move(entry.operation));
  return patch;
}

Result<Patch, Inexpressible> diff_object_root(const JsonValue& old_root, const JsonValue& new_root) {
  const JsonValue* was = old_root.as_object().find(kSerialMember);
  const JsonValue* is = new_root.as_object().find(kSerialMember);
  if (was == nullptr ? is != nullptr : is == nullptr || *was != *is)
    return cannot_express({std::string(kSerialMember)},
                          "applying passes over the member \"_\" at the top level of an object");
  return patch_of(Differ().object_changes(old_root, new_root, kSerialMember));
}

// An array root changed by serial: the elements whose serial cannot be a top-level key are reached
// by their old position instead. At most one element is added.
std::vector<Patch::Entry> array_root_by_serial(const SerialPairing& pairing, Differ& differ) {
  const auto key_for = [](std::string_view s, std::size_t position) {
    return is_top_level_serial_key(s) ? std::string(s) : index_key(position);
  };
  std::vector<Patch::Entry> entries;
  for (std::size_t i = 0; i < pairing.old_elements.size(); ++i) {
    const std::string_view s = serial(pairing.old_elements[i]);
    if (pairing.new_position(s) == KeyTable::kNone) entries.push_back(Patch::Entry{key_for(s, i), Delete{}});
  }
  for (const JsonValue& element : pairing.new_elements) {
    const std::string_view s = serial(element);
    const std::size_t at = pairing.old_position(s);
    if (at == KeyTable::kNone)
      entries.push_back(Patch::Entry{std::string(s), Set{element.copy()}});
    else if (std::optional<Operation> op = differ.change(pairing.old_elements[at], element))
      entries.push_back(Patch::Entry{key_for(s, at), std::move(*op)});
  }
  return entries;
}

// The keys that append new_root[old_root.size()...] to an array root, or why there are none. The
// top level appends in no set order, so several elements can only be copies of one value that no
// stamp changes; an object is stamped with its key, which must then be its own serial and reach no
// old element.
std::optional<Inexpressible> append_keys(const JsonArray& old_root, const JsonArray& new_root,
                                         std::vector<std::string>& keys) {
  const std::size_t first = old_root.size();
  const JsonValue& added = new_root[first];
  std::vector<std::string> where{index_key(first)};
  const std::size_t count = new_root.size() - first;
  for (std::size_t i = first + 1; i < new_root.size(); ++i)
    if (added.is_object() || new_root[i] != added)
      return cannot_express(std::move(where), "the array root grows by " + std::to_string(count) +
                                                  " elements, and the top level of a patch appends in no set order");
  const SerialIndex old_serials = build_serial_index(old_root);
  if (added.is_object()) {
    const std::string* s = serial_of(added);
    if (s == nullptr)
      return cannot_express(std::move(where),
                            "an object is appended to an array root by its serial, and this one carries none");
    if (!is_top_level_serial_key(*s))
      return cannot_express(std::move(where),
                            "the added object's serial " + quoted(*s) + " is no serial key at the top level");
    if (old_serials.find(*s))
      return cannot_express(std::move(where), "the added object's serial " + quoted(*s) +
                                                  " is carried by an old element, which its key would reach instead");
    keys.push_back(*s);
    return std::nullopt;
  }
  // A value that is no object is appended unchanged under any key that reaches no element.
  for (std::size_t n = 1; keys.size() < count; ++n)
    if (std::string key = std::string("+").append(std::to_string(n)); !old_serials.find(key)) keys.push_back(std::move(key));
  return std::nullopt;
}

// An array root changed by position: positions kept from the start are changed in place, the rest
// deleted (before the longest unchanged tail, so that it stays), or the added tail appended.
Result<std::vector<Patch::Entry>, Inexpressible> array_root_by_position(const JsonArray& old_root, const JsonArray& new_root,
                                                                         Differ& differ) {
  const std::size_t old_size = old_root.size();
  const std::size_t new_size = new_root.size();
  std::vector<std::string> appended;
  if (new_size > old_size)
    if (std::optional<Inexpressible> refusal = append_keys(old_root, new_root, appended)) return std::move(*refusal);
  std::size_t same_tail = 0;
  if (new_size <= old_size)
    while (same_tail < new_size && old_root[old_size - 1 - same_tail] == new_root[new_size - 1 - same_tail]) ++same_tail;
  std::vector<Patch::Entry> entries;
  const std::size_t changed = std::min(old_size, new_size) - same_tail;
  for (std::size_t i = 0; i < changed; ++i)
    if (std::optional<Operation> op = differ.change(old_root[i], new_root[i]))
      entries.push_back(Patch::Entry{index_key(i), std::move(*op)});
  for (std::size_t i = changed; i + same_tail < old_size; ++i) entries.push_back(Patch::Entry{index_key(i), Delete{}});
  for (std::size_t k = 0; k < appended.size(); ++k)
    entries.push_back(Patch::Entry{std::move(appended[k]), Set{new_root[old_size + k].copy()}});
  return entries;
}

Result<Patch, Inexpressible> diff_array_root(const JsonArray& old_root, const JsonArray& new_root) {
  Differ differ;
  const std::unique_ptr<SerialPairing> pairing = pair_by_serial(old_root, new_root);
  if (pairing && (pairing->added == 0 || (pairing->added == 1 && is_top_level_serial_key(serial(new_root.back())))))
    return patch_of(array_root_by_serial(*pairing, differ));
  Result<std::vector<Patch::Entry>, Inexpressible> entries = array_root_by_position(old_root, new_root, differ);
  if (!entries.ok()) return entries.error();
  return patch_of(std::move(entries).value());
}

}  // namespace

Result<Patch, Inexpressible> diff_documents(const JsonValue& old_document, const JsonValue& new_document) {
  if (!old_document.is_container() || !new_document.is_container())
    return cannot_express({}, "only objects and arrays can be patched");
  if (old_document.kind() != new_document.kind())
    return cannot_express({}, old_document.is_object() ? "a patch cannot turn an object into an array"
                                                            : "a patch cannot turn an array into an object");
  if (old_document.is_object()) return diff_object_root(old_document, new_document);
  return diff_array_root(old_document.as_array(), new_document.as_array());
}

}  // namespace quillfen
