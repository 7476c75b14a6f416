#include "patch/patch.h"

#include <algorithm>
#include <utility>

namespace quillfen {

Patch::Patch() : Patch(7) {}

Patch::Patch(std::size_t capacity) : index_(capacity) { entries_.reserve(capacity); }

Patch Patch::copy() const {
  Patch out(entries_.size());
  for_each([&out](const Entry& e) { out.insert(Entry{e.key, copy_operation(e.operation), copy_placement(e.placement)}); });
  return out;
}

std::optional<Operation> Patch::insert(std::string key, Operation operation) {
  // Room in the vector first: an allocation failure must not leave the table naming a missing entry.
  if (entries_.size() == entries_.capacity()) entries_.reserve(entries_.size() * 2 + 1);
  const std::size_t at = index_.insert(key, entries_.size(), key_of());
  if (at < entries_.size()) {
    if (!carries_placement(operation)) entries_[at].placement.reset();
    return std::exchange(entries_[at].operation, std::move(operation));
  }
  entries_.push_back(Entry{std::move(key), std::move(operation)});
  return std::nullopt;
}

void Patch::insert(Entry entry) {
  if (entries_.size() == entries_.capacity()) entries_.reserve(entries_.size() * 2 + 1);
  const std::size_t at = index_.insert(entry.key, entries_.size(), key_of());
  if (at < entries_.size())
    entries_[at] = std::move(entry);
  else
    entries_.push_back(std::move(entry));
}

Patch::Entry* Patch::find_entry(std::string_view key) noexcept {
  const std::size_t at = index_.find(key, key_of());
  return at == KeyTable::kNone ? nullptr : &entries_[at];
}

const Patch::Entry* Patch::find_entry(std::string_view key) const noexcept {
  const std::size_t at = index_.find(key, key_of());
  return at == KeyTable::kNone ? nullptr : &entries_[at];
}

bool Patch::has_placements() const {
  std::vector<const ChildList*> pending;
  for (const Entry& e : entries_) {
    if (e.placement) return true;
    if (const Nested* n = std::get_if<Nested>(&e.operation); n != nullptr && !n->children.empty()) pending.push_back(&n->children);
  }
  while (!pending.empty()) {
    const ChildList* children = pending.back();
    pending.pop_back();
    for (const ChildEntry& c : *children) {
      if (c.placement) return true;
      if (const Nested* n = std::get_if<Nested>(&c.operation); n != nullptr && !n->children.empty()) pending.push_back(&n->children);
    }
  }
  return false;
}

const Operation* Patch::find(std::string_view key) const noexcept {
  const std::size_t at = index_.find(key, key_of());
  return at == KeyTable::kNone ? nullptr : &entries_[at].operation;
}

Operation* Patch::find(std::string_view key) noexcept {
  return const_cast<Operation*>(static_cast<const Patch*>(this)->find(key));
}

std::vector<const Patch::Entry*> Patch::entries_in_key_order() const {
  std::vector<const Entry*> out;
  out.reserve(entries_.size());
  for (const Entry& e : entries_) out.push_back(&e);
  // Entries are held in the order they came, and a patch read from its document form comes in key
  // order: most need no sorting.
  const auto by_key = [](const Entry* a, const Entry* b) { return a->key < b->key; };
  if (!std::is_sorted(out.begin(), out.end(), by_key)) std::sort(out.begin(), out.end(), by_key);
  return out;
}

std::vector<Patch::Entry> Patch::take_entries() && {
  std::vector<Entry> out;
  out.reserve(entries_.size());
  index_.for_each([&](std::size_t i) { out.push_back(std::move(entries_[i])); });
  entries_.clear();
  index_.clear();
  return out;
}

}  // namespace quillfen
