// The members an in-place edit has removed from the caller's dicts but not yet taken out.
//
// Taking a key out of a dict and putting it back would move the key to the end of the dict's
// order, and putting it back may need memory, so an edit that must be undoable leaves removed
// members where they are until it commits. Every read of the caller's data during the edit passes
// over them: the edit's own lookups, and the conversions given this list.
#pragma once

#include <Python.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "python/objects/hidden_members.h"
#include "python/objects/py_ref.h"

namespace quillfen::py {

// Room in `items` for one more, made before a change so that recording the change cannot fail;
// grows by doubling, so that n changes cost n, not n squared.
template <class T>
void room_for_one(std::vector<T>& items) {
  if (items.size() == items.capacity()) items.reserve(items.size() * 2 + 16);
}

class PendingRemovals final : public HiddenMembers {
 public:
  static constexpr std::size_t kNone = ~std::size_t{0};

  PendingRemovals() = default;
  PendingRemovals(const PendingRemovals&) = delete;
  PendingRemovals& operator=(const PendingRemovals&) = delete;

  // Whether any member of `dict` is pending removal: the conversions ask once per dict.
  bool any_in(PyObject* dict) const noexcept override {
    if (live_ == 0) return false;
    const auto it = live_per_dict_.find(dict);
    return it != live_per_dict_.end() && it->second > 0;
  }
  // Whether the member of `dict` whose key has the UTF-8 text `key` is pending removal.
  bool contains(PyObject* dict, std::string_view key) const override {
    const std::size_t i = find(dict, key);
    return i != kNone && removals_[i].live;
  }

  // The entry of (dict, key), live or not, or kNone.
  std::size_t find(PyObject* dict, std::string_view key) const {
    if (removals_.empty()) return kNone;
    const auto it = index_.find(KeyView{dict, key});
    return it == index_.end() ? kNone : it->second;
  }
  // A new entry for (dict, key), not yet live; holds both. May allocate: made before the change.
  std::size_t add(PyObject* dict, PyObject* key, std::string_view text) {
    room_for_one(removals_);
    live_per_dict_.try_emplace(dict, 0);
    const std::size_t i = removals_.size();
    index_.emplace(Key{dict, std::string(text)}, i);
    removals_.push_back(Removal{PyRef::borrow(dict), PyRef::borrow(key), false});
    return i;
  }
  // Makes entry `i` live or not. Allocates nothing, so undoing an edit can call it.
  void set_live(std::size_t i, bool live) noexcept {
    Removal& r = removals_[i];
    if (r.live == live) return;
    r.live = live;
    std::size_t& count = live_per_dict_.find(r.dict.get())->second;  // made by add()
    count += live ? 1 : std::size_t(-1);
    live_ += live ? 1 : std::size_t(-1);
  }
  bool is_live(std::size_t i) const noexcept { return removals_[i].live; }

  // Visits (dict, key) of every live entry, in the order they were added.
  template <class Visit>
  void for_each_live(Visit&& visit) const {
    for (const Removal& r : removals_)
      if (r.live) visit(r.dict.get(), r.key.get());
  }

 private:
  struct Removal {
    PyRef dict;
    PyRef key;
    bool live;
  };
  // An entry is found by the dict's address and the key's text: the edit's keys are strs it made,
  // equal to the caller's by value, not by identity. Addresses order nothing anyone can see.
  struct Key {
    PyObject* dict;
    std::string text;
  };
  struct KeyView {
    PyObject* dict;
    std::string_view text;
  };
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(const KeyView& k) const noexcept {
      return std::hash<std::string_view>()(k.text) ^ (std::hash<const void*>()(k.dict) * 31);
    }
    std::size_t operator()(const Key& k) const noexcept { return (*this)(KeyView{k.dict, k.text}); }
  };
  struct Equal {
    using is_transparent = void;
    static KeyView view(const Key& k) noexcept { return KeyView{k.dict, k.text}; }
    static KeyView view(const KeyView& k) noexcept { return k; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const noexcept {
      return view(a).dict == view(b).dict && view(a).text == view(b).text;
    }
  };

  std::vector<Removal> removals_;
  std::unordered_map<Key, std::size_t, Hash, Equal> index_;
  std::unordered_map<PyObject*, std::size_t> live_per_dict_;
  std::size_t live_ = 0;
};

}  // namespace quillfen::py
