#include "patch/merge.h"

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "base/key_table.h"

namespace quillfen {

namespace {

// The keys of one `minor` list, each with the position of its first entry, and what the `major`
// list does with it. One merge reuses it for every level, so a merge of many short lists does not
// allocate a table for each of them.
class KeyIndex {
  auto key_of() const noexcept {
    return [this](std::size_t i) -> std::string_view { return (*minor_)[i].key; };
  }

 public:
  struct Key {
    bool in_major = false;        // the major list holds the key: minor's entries of it are dropped
    bool twice_in_major = false;  // two major entries share the key's partner
  };

  // Indexes `minor`, which must outlive every later call until the next `build`.
  void build(const ChildList& minor) {
    minor_ = &minor;
    table_.clear();
    table_.reserve(minor.size());
    first_of_.resize(minor.size());
    keys_.assign(minor.size(), Key{});
    for (std::size_t i = 0; i < minor.size(); ++i) first_of_[i] = table_.insert(minor[i].key, i, key_of());
  }

  // The position of the first minor entry under `key`, or KeyTable::kNone.
  std::size_t find(std::string_view key) const { return table_.find(key, key_of()); }

  // What the major list does with the key of the minor entry at `position`. Read without comparing
  // keys, so it holds even after that entry's key has been moved away.
  Key& key_at(std::size_t position) { return keys_[first_of_[position]]; }

 private:
  const ChildList* minor_ = nullptr;
  KeyTable table_;
  std::vector<std::size_t> first_of_;  // for each minor entry, the position of its key's first entry
  std::vector<Key> keys_;              // by the position of a key's first entry
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
      if (const std::size_t first = index_.find(entry.key); first != KeyTable::kNone) {
        KeyIndex::Key& key = index_.key_at(first);
        key.twice_in_major = key.in_major;
        key.in_major = true;
      }
    }

    for (ChildEntry& entry : major) {
      const std::size_t first = index_.find(entry.key);
      ChildEntry* partner = first == KeyTable::kNone ? nullptr : &minor[first];
      Nested* minor_nested = partner == nullptr ? nullptr : std::get_if<Nested>(&partner->operation);
      Nested* major_nested = std::get_if<Nested>(&entry.operation);
      if (!entry.placement && partner != nullptr && partner->placement && carries_placement(entry.operation))
        entry.placement = step.minor_owned && !index_.key_at(first).twice_in_major ? std::move(partner->placement)
                                                                                    : copy_placement(partner->placement);
      if (minor_nested == nullptr || major_nested == nullptr) {
        out.push_back(std::move(entry));
        continue;
      }
      out.push_back(ChildEntry{std::move(entry.key), Nested(), std::move(entry.placement)});
      pending_.push_back(Step{&minor_nested->children, &major_nested->children,
                              &std::get<Nested>(out.back().operation).children,
                              step.minor_owned && !index_.key_at(first).twice_in_major});
    }

    // Entries whose key `major` holds are dropped, and their children may still be read by the
    // steps just scheduled: only the others are moved.
    for (std::size_t i = 0; i < minor.size(); ++i) {
      if (index_.key_at(i).in_major) continue;
      ChildEntry& entry = minor[i];
      if (step.minor_owned)
        out.push_back(std::move(entry));
      else
        out.push_back(ChildEntry{entry.key, copy_operation(entry.operation), copy_placement(entry.placement)});
    }
  }

  std::vector<Step> pending_;
  KeyIndex index_;
};

}  // namespace

ChildList merge_children(ChildList minor, ChildList major) { return ChildListMerger().run(minor, major); }

Patch merge_patches(Patch minor, Patch major) {
  Patch result(minor.size() + major.size());
  for (Patch::Entry& entry : std::move(minor).take_entries()) result.insert(std::move(entry));
  ChildListMerger merger;
  for (Patch::Entry& entry : std::move(major).take_entries()) {
    Patch::Entry* held = result.find_entry(entry.key);
    Nested* minor_nested = held == nullptr ? nullptr : std::get_if<Nested>(&held->operation);
    Nested* major_nested = std::get_if<Nested>(&entry.operation);
    if (minor_nested != nullptr && major_nested != nullptr) {
      minor_nested->children = merger.run(minor_nested->children, major_nested->children);
      if (entry.placement) held->placement = std::move(entry.placement);
      continue;
    }
    if (!entry.placement && held != nullptr && held->placement && carries_placement(entry.operation))
      entry.placement = std::move(held->placement);
    result.insert(std::move(entry));
  }
  return result;
}

}  // namespace quillfen
