// Patch: the unordered map from top-level key to one Operation.
//
// An open-addressing hash map of our own. Entries live in a dense vector; a power-of-two table of
// slots points into it. Iteration follows the table, so its order is neither insertion nor key
// order and differs between maps: every map hashes with its own seed, drawn from a per-process
// random seed. Lookup and insertion take constant time on average.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "operations/operation.h"

namespace quillfen {

// The map's keyed hash, for other tables of keys that must not let crafted keys pile up in one
// probe chain: a new seed for each table, and the hash of a key under that seed.
std::uint64_t new_key_seed() noexcept;
std::uint64_t keyed_hash(std::string_view key, std::uint64_t seed) noexcept;

class Patch {
 public:
  struct Entry {
    std::string key;
    Operation operation;
  };

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

  // Puts `operation` at `key`; gives back the operation it replaced, if any.
  std::optional<Operation> insert(std::string key, Operation operation);

  Operation* find(std::string_view key) noexcept;
  const Operation* find(std::string_view key) const noexcept;

  // Visits every entry once, in the map's own (unspecified) order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (std::uint32_t slot : slots_)
      if (slot != 0) visit(static_cast<const Entry&>(entries_[slot - 1]));
  }

  // Empties the patch, handing over its entries in the map's order.
  std::vector<Entry> take_entries() &&;

 private:
  std::size_t find_slot(std::string_view key, std::uint64_t hash) const noexcept;  // its slot, or the empty one to fill
  void grow();

  std::vector<Entry> entries_;
  std::vector<std::uint64_t> hashes_;  // hashes_[i] belongs to entries_[i]
  std::vector<std::uint32_t> slots_;   // 0 for an empty slot, else an index into entries_ plus one
  std::uint64_t seed_;
};

}  // namespace quillfen
