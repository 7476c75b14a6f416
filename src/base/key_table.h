// The keyed hash and the one open-addressing table that every map of keys in the system uses: the
// patch's top level, the serial index of an array, the partners of a merge, the new members of an
// object pass.
//
// Every table hashes with a seed of its own, stretched from one random seed per process, so keys
// crafted to collide cannot pile up in one probe chain, and iteration order differs between tables.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace quillfen {

// A new seed for a table of keys.
std::uint64_t new_key_seed() noexcept;
// The hash of `key`'s bytes under `seed`.
std::uint64_t keyed_hash(std::string_view key, std::uint64_t seed) noexcept;

// A table from keys to indexes into a sequence that its owner keeps: the table holds only the
// index and the hash of each key; `key_of(i)` gives the owner's key of index i. Keys
// are unique; lookup and insertion take constant time on average. The table is kept at most half
// full, and grows without looking at a key again.
class KeyTable {
 public:
  static constexpr std::size_t kNone = ~std::size_t{0};

  KeyTable() noexcept : seed_(new_key_seed()) {}
  // Room for `expected` keys before it first grows.
  explicit KeyTable(std::size_t expected) : KeyTable() { reserve(expected); }
  KeyTable(KeyTable&&) noexcept = default;
  KeyTable& operator=(KeyTable&&) noexcept = default;
  KeyTable(const KeyTable&) = delete;
  KeyTable& operator=(const KeyTable&) = delete;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // The index stored under `key`, or kNone.
  template <class KeyOf>
  std::size_t find(std::string_view key, const KeyOf& key_of) const {
    if (slots_.empty()) return kNone;
    const std::size_t s = probe(key, hash_of(key), key_of);
    return slots_[s].index_plus_one == 0 ? kNone : slots_[s].index_plus_one - 1;
  }

  // The index stored under `key`; where there is none, stores `index` under it and gives it back.
  // The owner's key of `index` need not exist yet when the key is new.
  template <class KeyOf>
  std::size_t insert(std::string_view key, std::size_t index, const KeyOf& key_of) {
    if ((size_ + 1) * 2 > slots_.size()) grow();
    const std::uint64_t hash = hash_of(key);
    const std::size_t s = probe(key, hash, key_of);
    if (slots_[s].index_plus_one != 0) return slots_[s].index_plus_one - 1;
    slots_[s] = Slot{index + 1, hash};
    ++size_;
    return index;
  }

  // Makes room for `expected` keys in all; only an empty table can be sized (growing a filled one
  // needs its keys, which `insert` has at hand).
  void reserve(std::size_t expected) {
    if (size_ == 0 && expected * 2 > slots_.size()) slots_.assign(slots_for(expected), Slot{});
  }

  // Visits every stored index once, in the table's own order.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (const Slot& slot : slots_)
      if (slot.index_plus_one != 0) visit(slot.index_plus_one - 1);
  }

  // Forgets every key, keeping the room.
  void clear() noexcept {
    for (Slot& slot : slots_) slot = Slot{};
    size_ = 0;
  }

 private:
  // The index is as wide as a position can be, so no sequence is too long for the table; the hash
  // is whole, so it places keys in a table of any size.
  struct Slot {
    std::size_t index_plus_one = 0;  // 0: empty
    std::uint64_t hash = 0;          // places the key, and spares comparing keys that differ
  };

  std::uint64_t hash_of(std::string_view key) const noexcept { return keyed_hash(key, seed_); }
  static std::size_t slots_for(std::size_t keys) noexcept {
    std::size_t n = 8;
    while (n < keys * 2) n *= 2;
    return n;
  }

  // The slot that holds `key`, or the empty slot where it would go.
  template <class KeyOf>
  std::size_t probe(std::string_view key, std::uint64_t hash, const KeyOf& key_of) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t s = hash & mask;; s = (s + 1) & mask) {
      const Slot& slot = slots_[s];
      if (slot.index_plus_one == 0) return s;
      if (slot.hash == hash && std::string_view(key_of(slot.index_plus_one - 1)) == key) return s;
    }
  }

  void grow() {
    std::vector<Slot> slots(slots_for(std::max<std::size_t>(size_ + 1, slots_.size() / 2 + 1)), Slot{});
    const std::size_t mask = slots.size() - 1;
    for (const Slot& old : slots_) {
      if (old.index_plus_one == 0) continue;
      std::size_t s = old.hash & mask;
      while (slots[s].index_plus_one != 0) s = (s + 1) & mask;
      slots[s] = old;
    }
    slots_ = std::move(slots);
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  std::uint64_t seed_;
};

}  // namespace quillfen
