#include "python/edit/caller_edit.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "python/objects/convert.h"
#include "python/objects/errors.h"

namespace quillfen::py {

namespace {

bool is_container(PyObject* obj) { return PyDict_Check(obj) || PyList_Check(obj); }

// An OrderedDict keeps its own order beside the dict's table, and the plain dict calls would leave
// the two out of step: it is changed through its own C functions.
bool dict_set(PyObject* dict, PyObject* key, PyObject* value) {
  return (PyODict_Check(dict) ? PyODict_SetItem(dict, key, value) : PyDict_SetItem(dict, key, value)) == 0;
}

bool dict_del(PyObject* dict, PyObject* key) {
  return (PyODict_Check(dict) ? PyODict_DelItem(dict, key) : PyDict_DelItem(dict, key)) == 0;
}

// Runs `step` (false with a Python exception set), and once more when it fails: a step that compares
// a caller's keys (putting a value back, taking a key out) is not left undone by an exception that
// a key's __eq__ raised once. Whether the step got done; the first try's exception, if any, is
// left pending either way, so that it does not vanish.
template <class Step>
bool twice(Step step) noexcept {
  if (step()) return true;
  SavedError first;
  if (step()) return true;
  PyErr_Clear();  // the second try's: the first is the one reported
  return false;
}

// `clear` is OrderedDict's own method, looked up on the base type so that a subclass's override
// never runs.
bool clear_dict(PyObject* dict) {
  if (!PyODict_Check(dict)) {
    PyDict_Clear(dict);
    return true;
  }
  PyRef clear = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyODict_Type), "clear"));
  if (!clear) return false;
  PyRef done = PyRef::steal(PyObject_CallFunctionObjArgs(clear.get(), dict, nullptr));
  return static_cast<bool>(done);
}

// The key/value pairs of a dict, as a new list of 2n items, or null with a Python exception set.
PyObject* dict_pairs(PyObject* dict) {
  for (;;) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    PyRef pairs = PyRef::steal(PyList_New(2 * size));
    if (!pairs) return nullptr;
    if (PyDict_GET_SIZE(dict) != size) continue;  // a collection run by the allocation changed it
    Py_ssize_t pos = 0;
    Py_ssize_t i = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {  // runs no Python code
      PyList_SET_ITEM(pairs.get(), i++, PyRef::borrow(key).release());
      PyList_SET_ITEM(pairs.get(), i++, PyRef::borrow(value).release());
    }
    return pairs.release();
  }
}

// A new plain list of the elements of `list` (or a subclass), or null with a Python exception set.
// The interpreter's own slicing reads the elements after allocating the copy, and the allocation
// may let a finalizer shorten the list: here the length is read again after it.
PyObject* list_copy(PyObject* list) {
  for (;;) {
    const Py_ssize_t size = PyList_GET_SIZE(list);
    PyRef copy = PyRef::steal(PyList_New(size));
    if (!copy) return nullptr;
    if (PyList_GET_SIZE(list) != size) continue;
    for (Py_ssize_t i = 0; i < size; ++i) PyList_SET_ITEM(copy.get(), i, PyRef::borrow(PyList_GET_ITEM(list, i)).release());
    return copy.release();
  }
}

bool has_only_exact_str_keys(PyObject* dict) {
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value))
    if (!PyUnicode_CheckExact(key)) return false;
  return true;
}

// The item array of a list is read and moved here, and only here, directly: no interpreter call
// that may resize a list runs on one the edit has changed, so the room the edit secured stays.
PyListObject* as_list(PyObject* list) { return reinterpret_cast<PyListObject*>(list); }

}  // namespace

bool CallerEdit::lookup(PyObject* dict, PyObject* key, std::string_view text, PyRef& out) const {
  out = PyRef();
  if (removals_.contains(dict, text)) return true;
  PyRef held = PyRef::borrow(dict);  // a key's own __eq__ may drop the caller's references to it
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (value == nullptr) return !PyErr_Occurred();
  out = PyRef::borrow(value);
  return true;
}

void CallerEdit::reserve_change(PyObject* old) {
  room_for_one(log_);
  if (old != nullptr && is_container(old)) ++held_.try_emplace(old, 0);
}

void CallerEdit::log(Change change) noexcept { log_.push_back(std::move(change)); }  // room reserved

Py_ssize_t CallerEdit::own_references(PyObject* obj) const noexcept {
  const Py_ssize_t* held = held_.find(obj);
  return held == nullptr ? 0 : *held;
}

bool CallerEdit::put(PyObject* dict, PyObject* key, std::string_view text, PyObject* value) {
  PyRef held = PyRef::borrow(dict);  // a key's own __eq__ may drop the caller's references to it
  const std::size_t mark = removals_.find(dict, text);
  const bool cancels = mark != PendingRemovals::kNone && removals_.is_live(mark);
  // A member pending removal is still there, only marked: it is what the put replaces all the same.
  PyRef old = PyRef::borrow(PyDict_GetItemWithError(dict, key));
  if (!old && PyErr_Occurred()) return false;
  reserve_change(old.get());
  if (!dict_set(dict, key, value)) return false;
  if (cancels) removals_.set_live(mark, false);
  log(Change{Kind::Put, std::move(held), PyRef::borrow(key), -1, std::move(old), PyRef::borrow(value),
             cancels ? mark : PendingRemovals::kNone});
  return true;
}

bool CallerEdit::remove(PyObject* dict, PyObject* key, std::string_view text) {
  PyRef held = PyRef::borrow(dict);
  PyRef old;
  if (!lookup(dict, key, text, old)) return false;
  if (!old) return true;  // absent, or removed already
  reserve_change(old.get());
  std::size_t mark = removals_.find(dict, text);
  if (mark == PendingRemovals::kNone) mark = removals_.add(dict, key, text);
  removals_.set_live(mark, true);
  log(Change{Kind::Mark, std::move(held), PyRef(), -1, std::move(old), PyRef(), mark});
  return true;
}

bool CallerEdit::replace_element(PyObject* list, Py_ssize_t index, PyObject* value) {
  PyRef held = PyRef::borrow(list);
  ListState* state = track(list);
  if (state == nullptr) return false;
  if (index >= PyList_GET_SIZE(list)) return raise_data_changed();
  reserve_change(PyList_GET_ITEM(list, index));
  // The list's reference to the old element becomes the log's.
  PyRef old = PyRef::steal(std::exchange(as_list(list)->ob_item[index], PyRef::borrow(value).release()));
  log(Change{Kind::Element, std::move(held), PyRef(), index, std::move(old), PyRef::borrow(value), PendingRemovals::kNone});
  return true;
}

int CallerEdit::slot_holds(const Slot& slot, PyObject* expected) const {
  PyObject* parent = slot.parent.get();
  if (!slot.key) return slot.index < PyList_GET_SIZE(parent) && PyList_GET_ITEM(parent, slot.index) == expected ? 1 : 0;
  PyObject* value = PyDict_GetItemWithError(parent, slot.key.get());  // a caller's key may raise: passed on
  if (value == nullptr && PyErr_Occurred()) return -1;
  return value == expected ? 1 : 0;
}

bool CallerEdit::replace_at(const Slot& slot, PyObject* expected, PyObject* value) {
  PyRef held = PyRef::borrow(slot.parent.get());
  if (!slot.key) {
    if (track(held.get()) == nullptr) return false;
    const int holds = slot_holds(slot, expected);
    if (holds <= 0) return holds == 0 && raise_data_changed();
    return replace_element(held.get(), slot.index, value);
  }
  PyRef old = PyRef::borrow(expected);
  reserve_change(expected);
  const int holds = slot_holds(slot, expected);
  if (holds <= 0) return holds == 0 && raise_data_changed();
  if (!dict_set(held.get(), slot.key.get(), value)) return false;  // a caller's key may raise here too
  log(Change{Kind::Put, std::move(held), PyRef::borrow(slot.key.get()), -1, std::move(old), PyRef::borrow(value),
             PendingRemovals::kNone});
  return true;
}

PyObject* CallerEdit::shallow_copy(PyObject* container) const {
  if (PyList_Check(container)) return list_copy(container);
  // Read pair by pair, never through a subclass's own iteration.
  const Py_ssize_t size = PyDict_GET_SIZE(container);
  PyRef copy = PyRef::steal(new_dict(size));
  if (!copy) return nullptr;
  const bool skips = removals_.any_in(container);
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(container, &pos, &key, &value)) {
    PyRef k = PyRef::borrow(key);
    PyRef v = PyRef::borrow(value);
    if (skips && PyUnicode_Check(key)) {
      std::string_view text;
      const Text read = read_text(key, text);
      if (read == Text::Failed) return nullptr;
      if (read == Text::Read && removals_.contains(container, text)) continue;
    }
    if (PyDict_SetItem(copy.get(), k.get(), v.get()) != 0) return nullptr;
    if (PyDict_GET_SIZE(container) != size) return raise_data_changed(), nullptr;
  }
  return copy.release();
}

bool CallerEdit::own(const Slot& slot, PyRef& container) {
  PyObject* c = container.get();
  if (owned_.contains(c)) return true;
  room_for_one(owned_refs_);
  // One reference is the slot's, one is `container`'s; the rest, but those the edit holds itself,
  // come from outside.
  if (mode_ == Mode::InPlace && Py_REFCNT(c) - 2 - own_references(c) <= 0) {
    owned_.try_emplace(c);
    owned_refs_.push_back(PyRef::borrow(c));
    return true;
  }
  PyRef copy = PyRef::steal(shallow_copy(c));
  if (!copy) return false;
  owned_.try_emplace(copy.get());
  owned_refs_.push_back(PyRef::borrow(copy.get()));
  if (!replace_at(slot, c, copy.get())) return false;
  container = std::move(copy);
  return true;
}

void CallerEdit::adopt(PyObject* container) {
  room_for_one(owned_refs_);
  owned_.try_emplace(container);
  owned_refs_.push_back(PyRef::borrow(container));
}

bool CallerEdit::copy_root(PyObject* root, PyRef& out) {
  out = PyRef::steal(shallow_copy(root));
  if (!out) return false;
  adopt(out.get());
  return true;
}

// --- Lists ----------------------------------------------------------------------------------------

bool CallerEdit::matches(const ListState& state) noexcept {
  PyListObject* list = as_list(state.list.get());
  return Py_SIZE(list) == state.size && list->ob_item == state.items && list->allocated == state.allocated;
}

void CallerEdit::noted(ListState& state) noexcept {
  PyListObject* list = as_list(state.list.get());
  state.size = Py_SIZE(list);
  state.items = list->ob_item;
  state.allocated = list->allocated;
}

bool CallerEdit::intact(PyObject* list) const noexcept {
  const std::size_t* i = list_index_.find(list);
  return i == nullptr || matches(lists_[*i]);
}

CallerEdit::ListState* CallerEdit::track(PyObject* list) {
  room_for_one(lists_);
  bool added = false;
  const std::size_t i = list_index_.try_emplace(list, lists_.size(), added);
  if (added) {
    ListState& state = lists_.emplace_back(ListState{PyRef::borrow(list), nullptr, 0, 0, false});
    noted(state);
    return &state;
  }
  if (!matches(lists_[i])) {
    raise_data_changed();
    return nullptr;
  }
  return &lists_[i];
}

bool CallerEdit::make_room(ListState& state, Py_ssize_t needed) {
  PyListObject* list = as_list(state.list.get());
  if (list->allocated >= needed) return true;
  // As the interpreter grows a list: a little over what is needed, so growing n times costs n.
  const Py_ssize_t room = needed + (needed >> 3) + 6;
  if (room > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject*))) return PyErr_NoMemory(), false;
  // Raw memory: no collection runs, so no Python code changes the list meanwhile.
  auto* items = static_cast<PyObject**>(PyMem_Realloc(list->ob_item, static_cast<std::size_t>(room) * sizeof(PyObject*)));
  if (items == nullptr) return PyErr_NoMemory(), false;
  list->ob_item = items;
  list->allocated = room;
  noted(state);
  return true;
}

bool CallerEdit::insert_element(PyObject* list, Py_ssize_t index, PyObject* value) {
  PyRef held = PyRef::borrow(list);
  ListState* state = track(list);
  if (state == nullptr) return false;
  const Py_ssize_t size = PyList_GET_SIZE(list);
  if (index > size) return raise_data_changed();
  reserve_change(nullptr);
  if (!make_room(*state, size + 1)) return false;
  PyObject** items = as_list(list)->ob_item;
  std::memmove(items + index + 1, items + index, static_cast<std::size_t>(size - index) * sizeof(PyObject*));
  items[index] = PyRef::borrow(value).release();
  Py_SET_SIZE(list, size + 1);
  noted(*state);
  log(Change{Kind::Inserted, std::move(held), PyRef(), index, PyRef(), PyRef::borrow(value), PendingRemovals::kNone});
  return true;
}

bool CallerEdit::remove_element(PyObject* list, Py_ssize_t index, PyRef& taken) {
  PyRef held = PyRef::borrow(list);
  ListState* state = track(list);
  if (state == nullptr) return false;
  const Py_ssize_t size = PyList_GET_SIZE(list);
  if (index >= size) return raise_data_changed();
  reserve_change(PyList_GET_ITEM(list, index));
  PyObject** items = as_list(list)->ob_item;
  PyRef element = PyRef::steal(items[index]);  // the list's reference, now the log's
  std::memmove(items + index, items + index + 1, static_cast<std::size_t>(size - index - 1) * sizeof(PyObject*));
  Py_SET_SIZE(list, size - 1);
  noted(*state);
  taken = PyRef::borrow(element.get());
  log(Change{Kind::Removed, std::move(held), PyRef(), index, std::move(element), PyRef(), PendingRemovals::kNone});
  return true;
}

bool CallerEdit::remove_and_append(PyObject* list, const std::vector<std::size_t>& positions, PyObject* tail) {
  PyRef held = PyRef::borrow(list);
  const Py_ssize_t appended = tail != nullptr ? PyList_GET_SIZE(tail) : 0;
  if (positions.empty() && appended == 0) return true;
  ListState* state = track(list);
  if (state == nullptr) return false;
  const Py_ssize_t size = PyList_GET_SIZE(list);
  if (!positions.empty() && positions.back() >= static_cast<std::size_t>(size)) return raise_data_changed();
  // Everything both changes need is made first: nothing may fail once elements have moved.
  room_for_one(compactions_);
  if (log_.capacity() < log_.size() + 2) log_.reserve(log_.size() * 2 + 16);  // the compaction's entry and the append's
  Compaction compaction{positions, {}};
  compaction.removed.reserve(positions.size());
  const Py_ssize_t kept = size - static_cast<Py_ssize_t>(positions.size());
  if (!make_room(*state, kept + appended)) return false;
  PyObject** items = as_list(list)->ob_item;
  if (!positions.empty()) {
    std::size_t write = positions.front();
    std::size_t next = 0;
    for (std::size_t read = write; read < static_cast<std::size_t>(size); ++read) {
      if (next < positions.size() && positions[next] == read) {
        compaction.removed.push_back(PyRef::steal(items[read]));  // the list's reference, now the edit's
        ++next;
        continue;
      }
      items[write++] = items[read];
    }
    Py_SET_SIZE(list, kept);
    compactions_.push_back(std::move(compaction));
    log(Change{Kind::Compacted, PyRef::borrow(list), PyRef(), static_cast<Py_ssize_t>(compactions_.size() - 1), PyRef(), PyRef(),
               PendingRemovals::kNone});
  }
  if (appended > 0) {
    for (Py_ssize_t i = 0; i < appended; ++i) items[kept + i] = PyRef::borrow(PyList_GET_ITEM(tail, i)).release();
    Py_SET_SIZE(list, kept + appended);
    log(Change{Kind::Appended, std::move(held), PyRef(), appended, PyRef(), PyRef::borrow(tail), PendingRemovals::kNone});
  }
  noted(*state);
  return true;
}

bool CallerEdit::rearrange(PyObject* list, const std::vector<PyObject*>& items, const std::vector<std::size_t>& removals,
                           std::vector<PyRef>& fresh) {
  PyRef held = PyRef::borrow(list);
  ListState* state = track(list);
  if (state == nullptr) return false;
  const Py_ssize_t size = PyList_GET_SIZE(list);
  if (!removals.empty() && removals.back() >= static_cast<std::size_t>(size)) return raise_data_changed();
  // Everything the change and its undo need is made first: nothing may fail once items have moved.
  room_for_one(rearrangements_);
  room_for_one(log_);
  Rearrangement rearrangement;
  rearrangement.previous.reserve(static_cast<std::size_t>(size));
  rearrangement.removed.reserve(removals.size());
  if (!make_room(*state, std::max(size, static_cast<Py_ssize_t>(items.size())))) return false;
  PyObject** now = as_list(list)->ob_item;
  rearrangement.previous.assign(now, now + size);
  for (const std::size_t position : removals) rearrangement.removed.push_back(PyRef::steal(now[position]));  // the list's, now the edit's
  for (const PyRef& element : fresh) (void)PyRef::borrow(element.get()).release();  // the list's own; the edit keeps `fresh`
  std::copy(items.begin(), items.end(), now);
  Py_SET_SIZE(list, static_cast<Py_ssize_t>(items.size()));
  rearrangement.fresh = std::move(fresh);
  rearrangements_.push_back(std::move(rearrangement));
  log(Change{Kind::Rearranged, std::move(held), PyRef(), static_cast<Py_ssize_t>(rearrangements_.size() - 1), PyRef(), PyRef(),
             PendingRemovals::kNone});
  noted(*state);
  return true;
}

bool CallerEdit::set_elements(PyObject* list, PyObject* elements) {
  std::vector<std::size_t> all(static_cast<std::size_t>(PyList_GET_SIZE(list)));
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
  return remove_and_append(list, all, elements);
}

// --- Replacing the contents whole ------------------------------------------------------------------

bool CallerEdit::replace_contents(PyObject* data, PyObject* result) {
  if (PyList_Check(data)) return set_elements(data, result);
  if (!has_only_exact_str_keys(data)) {
    // Keys of other types (str subclasses, with their own equality) are never compared with the new
    // ones: the dict is emptied and filled again at commit.
    refill_previous_ = PyRef::steal(dict_pairs(data));
    if (!refill_previous_) return false;
    refill_ = PyRef::borrow(data);
    refill_contents_ = PyRef::borrow(result);
    return true;
  }
  // Member by member: the members of `result` are put in, then the others taken out. Comparing
  // exact str keys runs no Python code.
  std::vector<PyRef> stale;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(data, &pos, &key, &value)) {
    if (PyDict_GetItemWithError(result, key) != nullptr) continue;
    if (PyErr_Occurred()) return false;
    stale.push_back(PyRef::borrow(key));
  }
  pos = 0;
  while (PyDict_Next(result, &pos, &key, &value)) {  // `result` is the call's own: nothing changes it
    std::string_view text;
    if (!utf8_view(key, text) || !put(data, key, text, value)) return false;
  }
  for (const PyRef& k : stale) {
    std::string_view text;
    if (!utf8_view(k.get(), text) || !remove(data, k.get(), text)) return false;
  }
  return true;
}

bool CallerEdit::refill_dict(PyObject* dict, PyObject* result) {
  // Emptying an OrderedDict can fail after its members are gone (it makes a new node table last):
  // its members are put back then, as when filling fails.
  if (clear_dict(dict)) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    bool filled = true;
    while (filled && PyDict_Next(result, &pos, &key, &value)) filled = dict_set(dict, key, value);
    if (filled) return true;
  }
  SavedError first;  // the first failure is the one reported
  if (clear_dict(dict)) {
    PyObject* pairs = refill_previous_.get();
    for (Py_ssize_t i = 0; i + 1 < PyList_GET_SIZE(pairs); i += 2)
      if (!dict_set(dict, PyList_GET_ITEM(pairs, i), PyList_GET_ITEM(pairs, i + 1))) break;  // as far as memory allows
  }
  return false;
}

// --- Commit and roll-back ---------------------------------------------------------------------------

bool CallerEdit::commit(std::vector<PyRef>& released) {
  std::size_t compacted = 0;
  for (const Compaction& compaction : compactions_) compacted += compaction.removed.size();
  for (const Rearrangement& rearrangement : rearrangements_) compacted += rearrangement.removed.size() + rearrangement.fresh.size();
  released.reserve(released.size() + 2 * log_.size() + owned_refs_.size() + compacted + lists_.size() + 3);
  if (refill_ && !refill_dict(refill_.get(), refill_contents_.get())) {
    roll_back();
    return false;
  }
  committed_ = true;
  // Taking out a key the dict holds allocates nothing (a split table of an instance's __dict__ on
  // 3.9 and 3.10 may: then the member stays, for want of memory, and MemoryError ends the call).
  // A caller's key compared on the way may raise: the other removals still go, and the first
  // exception ends the call.
  {
    SavedError failed;
    removals_.for_each_live([&failed](PyObject* dict, PyObject* key) {
      twice([&] { return dict_del(dict, key); });
      failed.take_raised();
    });
  }
  const bool clean = !PyErr_Occurred();
  // A list that the edit shortened keeps the room its undo would have needed: given back now, as
  // the interpreter gives it back when a list shrinks to under half its room (where memory is short,
  // the list keeps it).
  for (ListState& state : lists_) {
    PyListObject* l = as_list(state.list.get());
    const Py_ssize_t size = Py_SIZE(l);
    if (!matches(state) || l->allocated <= 2 * size + 16) continue;
    const Py_ssize_t room = size + (size >> 3) + 6;
    if (auto* items = static_cast<PyObject**>(PyMem_Realloc(l->ob_item, static_cast<std::size_t>(room) * sizeof(PyObject*)))) {
      l->ob_item = items;
      l->allocated = room;
    }
  }
  for (Change& change : log_) {
    if (change.old) released.push_back(std::move(change.old));
    if (change.now) released.push_back(std::move(change.now));
  }
  for (Compaction& compaction : compactions_)
    for (PyRef& element : compaction.removed) released.push_back(std::move(element));
  for (Rearrangement& rearrangement : rearrangements_) {
    for (PyRef& element : rearrangement.removed) released.push_back(std::move(element));
    for (PyRef& element : rearrangement.fresh) released.push_back(std::move(element));
  }
  for (PyRef& ref : owned_refs_) released.push_back(std::move(ref));
  for (ListState& state : lists_) released.push_back(std::move(state.list));
  released.push_back(std::move(refill_previous_));
  released.push_back(std::move(refill_contents_));
  log_.clear();
  return clean;
}

bool CallerEdit::undo_put(Change& change) noexcept {
  PyObject* dict = change.container.get();
  PyObject* key = change.key.get();
  PyObject* old = change.old.get();
  // A value goes back under a key the dict holds, or a key it gained is taken out: no memory needed.
  return twice([&] { return old != nullptr ? dict_set(dict, key, old) : dict_del(dict, key); });
}

bool CallerEdit::undo_list_change(Change& change, bool& broken) noexcept {
  const std::size_t* i = list_index_.find(change.container.get());  // noted before the change was made
  if (i == nullptr) {
    broken = true;
    return false;
  }
  ListState& state = lists_[*i];
  if (state.abandoned) return false;
  if (!matches(state)) {
    state.abandoned = true;
    return false;
  }
  PyListObject* list = as_list(state.list.get());
  PyObject** items = list->ob_item;
  const Py_ssize_t size = Py_SIZE(list);
  // The room every undo needs was secured before the change, and the array has not shrunk since; a
  // list that matches what the edit left holds, at each position it logged, what it logged there.
  const auto changed = [&] {  // by Python code run during the call
    state.abandoned = true;
    return false;
  };
  const auto broke = [&] {  // the edit's own invariant
    broken = true;
    return changed();
  };
  const auto room_for = [&](Py_ssize_t needed) { return list->allocated >= needed || broke(); };
  switch (change.kind) {
    case Kind::Element: {
      if (change.index >= size) return broke();
      if (items[change.index] != change.now.get()) return changed();
      PyRef::steal(std::exchange(items[change.index], change.old.release()));  // `now` holds it still: nothing is freed
      break;
    }
    case Kind::Inserted:
      if (change.index >= size) return broke();
      if (items[change.index] != change.now.get()) return changed();
      PyRef::steal(items[change.index]);  // `now` holds it still
      std::memmove(items + change.index, items + change.index + 1, static_cast<std::size_t>(size - change.index - 1) * sizeof(PyObject*));
      Py_SET_SIZE(list, size - 1);
      break;
    case Kind::Removed:
      if (change.index > size) return broke();
      if (!room_for(size + 1)) return false;
      std::memmove(items + change.index + 1, items + change.index, static_cast<std::size_t>(size - change.index) * sizeof(PyObject*));
      items[change.index] = change.old.release();
      Py_SET_SIZE(list, size + 1);
      break;
    case Kind::Appended:
      if (change.index > size) return broke();
      for (Py_ssize_t i = size - change.index; i < size; ++i) PyRef::steal(items[i]);  // `now`, the tail, holds them
      Py_SET_SIZE(list, size - change.index);
      break;
    case Kind::Compacted: {
      // Spread back out from the end: each kept element moves up to its old place, each removed one
      // goes back to its own.
      Compaction& compaction = compactions_[static_cast<std::size_t>(change.index)];
      const auto count = static_cast<Py_ssize_t>(compaction.removed.size());
      if (!room_for(size + count)) return false;
      Py_ssize_t from = size - 1;
      std::size_t gone = compaction.removed.size();
      for (Py_ssize_t to = size + count - 1; gone > 0; --to) {
        if (compaction.positions[gone - 1] == static_cast<std::size_t>(to)) {
          items[to] = compaction.removed[--gone].release();
        } else {
          items[to] = items[from--];
        }
      }
      Py_SET_SIZE(list, size + count);
      break;
    }
    case Kind::Rearranged: {
      // The list drops its references to the elements put in (the edit holds them still), and gets
      // its old item array back, with the references of the elements taken out.
      Rearrangement& rearrangement = rearrangements_[static_cast<std::size_t>(change.index)];
      if (!room_for(static_cast<Py_ssize_t>(rearrangement.previous.size()))) return false;
      for (const PyRef& element : rearrangement.fresh) PyRef::steal(element.get());
      std::copy(rearrangement.previous.begin(), rearrangement.previous.end(), items);
      for (PyRef& element : rearrangement.removed) (void)element.release();
      Py_SET_SIZE(list, static_cast<Py_ssize_t>(rearrangement.previous.size()));
      break;
    }
    case Kind::Put:
    case Kind::Mark: break;
  }
  noted(state);
  return true;
}

void CallerEdit::roll_back() noexcept {
  if (committed_ || log_.empty()) return;
  SavedError failure;  // the failure that stopped the edit, unless undoing raises too
  bool changed = false;
  bool broken = false;
  for (auto change = log_.rbegin(); change != log_.rend(); ++change) {
    switch (change->kind) {
      case Kind::Put:
        undo_put(*change);
        failure.take_raised();
        if (change->mark != PendingRemovals::kNone) removals_.set_live(change->mark, true);
        break;
      case Kind::Mark: removals_.set_live(change->mark, false); break;
      default:
        if (!undo_list_change(*change, broken)) changed = true;
        break;
    }
  }
  log_.clear();
  if (broken) {
    raise_broken_invariant("an in-place edit could not undo a change of a list");
    failure.take_raised();
  } else if (changed) {
    // Python code run during the call (a hook, a finalizer) changed a list the edit had changed: it
    // is left as that code left it.
    raise_data_changed();
    failure.take_raised();
  }
}

}  // namespace quillfen::py
