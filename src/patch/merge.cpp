#include "patch/merge.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace quillfen {

namespace {

// The keys of one `minor` list, each with the position of its first entry, and what the `major`
// list does with it. An open-addressing table that one merge reuses for every level, so a merge of
// many short lists does not allocate a table for each of them. Keys hash with the patch map's
// keyed hash, so crafted keys cannot turn the lookups back into scans.
class KeyIndex {
 public:
  struct Slot {
    std::uint64_t hash = 0;
    std::size_t first = kEmpty;     // position of the key's first entry in the minor list
    bool in_major = false;          // the major list holds the key: minor's entries of it are dropped
    bool twice_in_major = false;    // two major entries share the key's partner
  };

  // Indexes `minor`, which must outlive every later call until the next `build`.
  void build(const ChildList& minor) {
    minor_ = &minor;
    std::size_t size = 8;
    while (size < minor.size() * 2) size *= 2;  // at most half full
    slots_.assign(size, Slot{});
    slot_of_.resize(minor.size());
    for (std::size_t i = 0; i < minor.size(); ++i) {
      const std::uint64_t hash = keyed_hash(minor[i].key, seed_);
      const std::size_t s = find_slot(minor[i].key, hash);
      if (slots_[s].first == kEmpty) slots_[s] = Slot{hash, i};
      slot_of_[i] = s;
    }
  }

  // The slot of `key`, or null when the minor list does not hold it.
  Slot* find(std::string_view key) {
    const std::size_t s = find_slot(key, keyed_hash(key, seed_));
    return slots_[s].first == kEmpty ? nullptr : &slots_[s];
  }

  // The slot of the minor list's entry at `position`; read without comparing keys, so it holds
  // even after that entry's key has been moved away.
  const Slot& slot_of(std::size_t position) const { return slots_[slot_of_[position]]; }

 private:
  static constexpr std::size_t kEmpty = ~std::size_t{0};

  std::size_t find_slot(std::string_view key, std::uint64_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t s = hash & mask;; s = (s + 1) & mask) {
      const Slot& slot = slots_[s];
      if (slot.first == kEmpty || (slot.hash == hash && (*minor_)[slot.first].key == key)) return s;
    }
  }

  const std::uint64_t seed_ = new_key_seed();
  const ChildList* minor_ = nullptr;
  std::vector<Slot> slots_;
  std::vector<std::size_t> slot_of_;
};

// Merges child lists level by level from a work list, so the depth of the inputs never reaches
// the stack. Entries are moved out of the inputs; the one exception is a minor entry that two
// major entries of the same key each merge with, which is copied each time.
class ChildListMerger {
 public:
  ChildList run(ChildList& minor, ChildList& major) {
    ChildList out;
    pending_.push_back(Step{&minor, &major, &out, true});
    while (!pending_.empty()) {
      const Step step = pending_.back();
      pending_.pop_back();
      merge_level(step);
    }
    return out;
  }

 private:
  // One pair of lists still to merge into `out`, an empty list that belongs to an entry of a list
  // already reserved at its final size, so the pointer holds until the step is done.
  struct Step {
    ChildList* minor;
    ChildList* major;
    ChildList* out;
    bool minor_owned;  // false: `minor` is read by another step too, so it is copied, not moved
  };

  void merge_level(const Step& step) {
    ChildList& minor = *step.minor;
    ChildList& major = *step.major;
    ChildList& out = *step.out;
    out.reserve(minor.size() + major.size());
    if (minor.empty()) {
      for (ChildEntry& entry : major) out.push_back(std::move(entry));
      return;
    }

    index_.build(minor);
    for (const ChildEntry& entry : major) {
      if (KeyIndex::Slot* slot = index_.find(entry.key)) {
        slot->twice_in_major = slot->in_major;
        slot->in_major = true;
      }
    }

    for (ChildEntry& entry : major) {
      const KeyIndex::Slot* slot = index_.find(entry.key);
      Nested* minor_nested = slot == nullptr ? nullptr : std::get_if<Nested>(&minor[slot->first].operation);
      Nested* major_nested = std::get_if<Nested>(&entry.operation);
      if (minor_nested == nullptr || major_nested == nullptr) {
        out.push_back(std::move(entry));
        continue;
      }
      out.push_back(ChildEntry{std::move(entry.key), Nested()});
      pending_.push_back(Step{&minor_nested->children, &major_nested->children,
                              &std::get<Nested>(out.back().operation).children,
                              step.minor_owned && !slot->twice_in_major});
    }

    // Entries whose key `major` holds are dropped, and their children may still be read by the
    // steps just scheduled: only the others are moved.
    for (std::size_t i = 0; i < minor.size(); ++i) {
      if (index_.slot_of(i).in_major) continue;
      ChildEntry& entry = minor[i];
      if (step.minor_owned)
        out.push_back(std::move(entry));
      else
        out.push_back(ChildEntry{entry.key, copy_operation(entry.operation)});
    }
  }

  std::vector<Step> pending_;
  KeyIndex index_;
};

}  // namespace

ChildList merge_children(ChildList minor, ChildList major) { return ChildListMerger().run(minor, major); }

Patch merge_patches(Patch minor, Patch major) {
  Patch result(minor.size() + major.size());
  for (Patch::Entry& entry : std::move(minor).take_entries()) result.insert(std::move(entry.key), std::move(entry.operation));
  ChildListMerger merger;
  for (Patch::Entry& entry : std::move(major).take_entries()) {
    Operation* held = result.find(entry.key);
    Nested* minor_nested = held == nullptr ? nullptr : std::get_if<Nested>(held);
    Nested* major_nested = std::get_if<Nested>(&entry.operation);
    if (minor_nested != nullptr && major_nested != nullptr)
      minor_nested->children = merger.run(minor_nested->children, major_nested->children);
    else
      result.insert(std::move(entry.key), std::move(entry.operation));
  }
  return result;
}

}  // namespace quillfen
