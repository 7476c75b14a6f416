// The members an in-place edit has removed from the caller's dicts but not yet taken out.
//
// Taking a key out of a dict and putting it back would move the key to the end of the dict's
// order, and putting it back may need memory, so an edit that must be undoable leaves removed
// members where they are until it commits. Every read of the caller's data during the edit passes
// over them: the edit's own lookups, and the conversions given this list.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/key_table.h"
#include "base/pointer_map.h"
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
    const std::size_t* d = dict_index_.find(dict);
    return d != nullptr && dicts_[*d].live > 0;
  }
  // Whether the member of `dict` whose key has the UTF-8 text `key` is pending removal.
  bool contains(PyObject* dict, std::string_view key) const override {
    if (live_ == 0) return false;
    const std::size_t i = find(dict, key);
    return i != kNone && removals_[i].live;
  }

  // The entry of (dict, key), live or not, or kNone.
  std::size_t find(PyObject* dict, std::string_view key) const {
    const std::size_t* d = dict_index_.find(dict);
    return d == nullptr ? kNone : dicts_[*d].keys.find(key, TextOf{&removals_});
  }
  // A new entry for (dict, key), not yet live; holds both. May allocate: made before the change.
  std::size_t add(PyObject* dict, PyObject* key, std::string_view text) {
    room_for_one(removals_);
    room_for_one(dicts_);
    bool added = false;
    std::size_t& d = dict_index_.try_emplace(dict, dicts_.size(), added);
    if (added) dicts_.emplace_back();
    const std::size_t i = removals_.size();
    removals_.push_back(Removal{PyRef::borrow(dict), PyRef::borrow(key), std::string(text), d, false});
    dicts_[d].keys.insert(text, i, TextOf{&removals_});
    return i;
  }
  // Makes entry `i` live or not. Allocates nothing, so undoing an edit can call it.
  void set_live(std::size_t i, bool live) noexcept {
    Removal& r = removals_[i];
    if (r.live == live) return;
    r.live = live;
    dicts_[r.dict_index].live += live ? 1 : std::size_t(-1);
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
  // An entry is found by the dict's address and the key's text: the edit's keys are strs it made,
  // equal to the caller's by value, not by identity.
  struct Removal {
    PyRef dict;
    PyRef key;
    std::string text;
    std::size_t dict_index;  // into dicts_
    bool live;
  };
  // The entries of one dict, by their keys' texts, and how many of them are live.
  struct Dict {
    KeyTable keys;
    std::size_t live = 0;
  };
  struct TextOf {
    const std::vector<Removal>* removals;
    std::string_view operator()(std::size_t i) const noexcept { return (*removals)[i].text; }
  };

  std::vector<Removal> removals_;
  std::vector<Dict> dicts_;
  PointerMap<std::size_t> dict_index_;  // a dict's place in dicts_
  std::size_t live_ = 0;
};

}  // namespace quillfen::py
