// Patch: the unordered map from top-level key to one Operation.
//
// Entries live in a dense vector, indexed by the keyed table of the ground floor. Iteration follows
// the table, so its order is neither insertion nor key order and differs between maps: every map
// hashes with its own seed. Lookup and insertion take constant time on average.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/key_table.h"
#include "operations/operation.h"

namespace quillfen {

class Patch {
 public:
  using Entry = ChildEntry;  // a key and its operation, like a child of a Nested entry

  Patch();                               // empty, with room for seven entries
  explicit Patch(std::size_t capacity);  // empty, with room for `capacity` entries
  Patch(Patch&&) noexcept = default;
  Patch& operator=(Patch&&) noexcept = default;
  Patch(const Patch&) = delete;
  Patch& operator=(const Patch&) = delete;

  // A deep copy: every key, operation and value; shares nothing with this patch.
  Patch copy() const;

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

  // Puts `operation` at `key`; gives back the operation it replaced, if any. An entry already at
  // `key` keeps its placement where `operation` can carry one (a Set or Nested).
  std::optional<Operation> insert(std::string key, Operation operation);
  // Puts `entry` in, placement and all, in place of any entry at its key.
  void insert(Entry entry);

  Operation* find(std::string_view key) noexcept;
  const Operation* find(std::string_view key) const noexcept;
  Entry* find_entry(std::string_view key) noexcept;
  const Entry* find_entry(std::string_view key) const noexcept;

  // Whether some entry, at any depth, carries a placement.
  bool has_placements() const;

  // Visits every entry once, in the map's own (unspecified) order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    index_.for_each([&](std::size_t i) { visit(static_cast<const Entry&>(entries_[i])); });
  }

  // Every entry once, in ascending byte order of the keys.
  std::vector<const Entry*> entries_in_key_order() const;

  // Empties the patch, handing over its entries in the map's order.
  std::vector<Entry> take_entries() &&;

 private:
  auto key_of() const noexcept {
    return [this](std::size_t i) -> std::string_view { return entries_[i].key; };
  }

  std::vector<Entry> entries_;
  KeyTable index_;
};

}  // namespace quillfen
