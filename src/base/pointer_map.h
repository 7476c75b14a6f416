// The open-addressing map from object addresses to small values that the in-place edits keep of
// the objects they have met: a lookup is a multiplication and a short probe, an entry allocates
// nothing of its own. It offers no iteration: an order of addresses must never decide anything a
// user can see.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace quillfen {

template <class V>
class PointerMap {
  static_assert(std::is_trivially_copyable_v<V>, "values move with their slots as the table grows");

 public:
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // The value under `key` (never null), or null where there is none.
  V* find(const void* key) noexcept { return const_cast<V*>(std::as_const(*this).find(key)); }
  const V* find(const void* key) const noexcept {
    if (size_ == 0) return nullptr;
    const Slot& slot = slots_[probe(slots_, key)];
    return slot.key != nullptr ? &slot.value : nullptr;
  }
  bool contains(const void* key) const noexcept { return find(key) != nullptr; }

  // The value under `key`, made `initial` where there was none (`added` then true). May allocate.
  V& try_emplace(const void* key, V initial, bool& added) {
    if ((size_ + 1) * 2 > slots_.size()) grow();
    Slot& slot = slots_[probe(slots_, key)];
    added = slot.key == nullptr;
    if (added) {
      slot = Slot{key, initial};
      ++size_;
    }
    return slot.value;
  }
  V& try_emplace(const void* key, V initial = V{}) {
    bool added = false;
    return try_emplace(key, initial, added);
  }

 private:
  struct Slot {
    const void* key = nullptr;  // null: empty
    V value{};
  };

  // The slot of `key`, or the empty one where it would go. Objects are aligned, so the low bits of
  // an address say little: the multiplication spreads the high ones over the whole word.
  static std::size_t probe(const std::vector<Slot>& slots, const void* key) noexcept {
    const std::size_t mask = slots.size() - 1;
    const std::uint64_t mixed = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key)) * 0x9E3779B97F4A7C15ull;
    for (std::size_t s = static_cast<std::size_t>(mixed >> 32) & mask;; s = (s + 1) & mask)
      if (slots[s].key == key || slots[s].key == nullptr) return s;
  }

  void grow() {
    std::vector<Slot> slots(slots_.empty() ? 16 : slots_.size() * 2);
    for (const Slot& old : slots_)
      if (old.key != nullptr) slots[probe(slots, old.key)] = old;
    slots_ = std::move(slots);
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

}  // namespace quillfen
