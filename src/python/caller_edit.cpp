#include "python/caller_edit.h"

#include <cstring>
#include <utility>

#include "python/convert.h"
#include "python/errors.h"

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

bool changed_under_edit() { return raise_fatal_error("the data changed while a patch was applied to it"); }

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
  if (old != nullptr && is_container(old)) ++held_[old];
}

void CallerEdit::log(Change change) noexcept { log_.push_back(std::move(change)); }  // room reserved

Py_ssize_t CallerEdit::own_references(PyObject* obj) const noexcept {
  const auto it = held_.find(obj);
  return it == held_.end() ? 0 : it->second;
}

bool CallerEdit::put(PyObject* dict, PyObject* key, std::string_view text, PyObject* value) {
  PyRef held = PyRef::borrow(dict);
  PyRef old;
  if (!lookup(dict, key, text, old)) return false;
  const std::size_t mark = removals_.find(dict, text);
  const bool cancels = mark != PendingRemovals::kNone && removals_.is_live(mark);
  if (cancels) old = PyRef::borrow(PyDict_GetItemWithError(dict, key));  // still there, only marked
  if (!old && PyErr_Occurred()) return false;
  reserve_change(old.get());
  if (!dict_set(dict, key, value)) return false;
  if (cancels) removals_.set_live(mark, false);
  log(Change{Kind::Put, std::move(held), PyRef::borrow(key), -1, std::move(old), cancels ? mark : PendingRemovals::kNone});
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
  log(Change{Kind::Mark, std::move(held), PyRef(), -1, std::move(old), mark});
  return true;
}

bool CallerEdit::replace_element(PyObject* list, Py_ssize_t index, PyObject* value) {
  PyRef held = PyRef::borrow(list);
  if (index >= PyList_GET_SIZE(list)) return changed_under_edit();
  PyRef old = PyRef::borrow(PyList_GET_ITEM(list, index));
  reserve_change(old.get());
  // The reservation may have run a finalizer: the element must still be the one read.
  if (index >= PyList_GET_SIZE(list) || PyList_GET_ITEM(list, index) != old.get()) return changed_under_edit();
  PyList_SetItem(list, index, PyRef::borrow(value).release());  // in bounds: cannot fail; `old` stays held
  log(Change{Kind::Element, std::move(held), PyRef(), index, std::move(old), PendingRemovals::kNone});
  return true;
}

bool CallerEdit::slot_holds(const Slot& slot, PyObject* expected) const {
  PyObject* parent = slot.parent.get();
  if (!slot.key) return slot.index < PyList_GET_SIZE(parent) && PyList_GET_ITEM(parent, slot.index) == expected;
  PyObject* value = PyDict_GetItemWithError(parent, slot.key.get());
  if (value == nullptr) PyErr_Clear();  // a failing lookup: the slot is not known to hold it
  return value == expected;
}

bool CallerEdit::replace_at(const Slot& slot, PyObject* expected, PyObject* value) {
  PyRef held = PyRef::borrow(slot.parent.get());
  PyRef old = PyRef::borrow(expected);
  reserve_change(expected);
  if (!slot_holds(slot, expected)) return changed_under_edit();
  if (!slot.key) {
    PyList_SetItem(held.get(), slot.index, PyRef::borrow(value).release());
    log(Change{Kind::Element, std::move(held), PyRef(), slot.index, std::move(old), PendingRemovals::kNone});
    return true;
  }
  if (!dict_set(held.get(), slot.key.get(), value)) return false;  // a key the dict holds: nothing to allocate
  log(Change{Kind::Put, std::move(held), PyRef::borrow(slot.key.get()), -1, std::move(old), PendingRemovals::kNone});
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
    if (PyDict_GET_SIZE(container) != size) return changed_under_edit(), nullptr;
  }
  return copy.release();
}

bool CallerEdit::own(const Slot& slot, PyRef& container) {
  PyObject* c = container.get();
  if (owned_.count(c) != 0) return true;
  room_for_one(owned_refs_);
  // One reference is the slot's, one is `container`'s; the rest, but those the edit holds itself,
  // come from outside.
  if (Py_REFCNT(c) - 2 - own_references(c) <= 0) {
    owned_.insert(c);
    owned_refs_.push_back(PyRef::borrow(c));
    return true;
  }
  PyRef copy = PyRef::steal(shallow_copy(c));
  if (!copy) return false;
  owned_.insert(copy.get());
  owned_refs_.push_back(PyRef::borrow(copy.get()));
  if (!replace_at(slot, c, copy.get())) return false;
  container = std::move(copy);
  return true;
}

void CallerEdit::adopt(PyObject* container) {
  room_for_one(owned_refs_);
  owned_.insert(container);
  owned_refs_.push_back(PyRef::borrow(container));
}

bool CallerEdit::set_root_list(PyObject* list, PyRef contents) {
  root_ = PyRef::borrow(list);
  root_size_ = PyList_GET_SIZE(list);
  root_previous_ = PyRef::steal(list_copy(list));
  if (!root_previous_) return false;
  if (PyList_GET_SIZE(list) != root_size_) return changed_under_edit();
  root_contents_ = std::move(contents);
  root_change_ = RootChange::ListReplace;
  return true;
}

bool CallerEdit::replace_contents(PyObject* data, PyObject* result) {
  if (PyList_Check(data)) return set_root_list(data, PyRef::borrow(result));
  if (!has_only_exact_str_keys(data)) {
    // Keys of other types (str subclasses, with their own equality) are never compared with the new
    // ones: the dict is emptied and filled again at commit.
    root_previous_ = PyRef::steal(dict_pairs(data));
    if (!root_previous_) return false;
    root_ = PyRef::borrow(data);
    root_contents_ = PyRef::borrow(result);
    root_change_ = RootChange::DictRefill;
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
    PyObject* pairs = root_previous_.get();
    for (Py_ssize_t i = 0; i + 1 < PyList_GET_SIZE(pairs); i += 2)
      if (!dict_set(dict, PyList_GET_ITEM(pairs, i), PyList_GET_ITEM(pairs, i + 1))) break;  // as far as memory allows
  }
  return false;
}

bool CallerEdit::commit(std::vector<PyRef>& released) {
  std::size_t compacted = 0;
  for (const Compaction& compaction : compactions_) compacted += compaction.removed.size();
  released.reserve(released.size() + log_.size() + owned_refs_.size() + compacted + 2);
  PyObject* root = root_.get();
  bool done = true;
  switch (root_change_) {
    case RootChange::None: break;
    case RootChange::ListReplace:
      if (PyList_GET_SIZE(root) != root_size_) {
        done = changed_under_edit();
        break;
      }
      // One slice assignment: it either fails before changing the list or changes it whole.
      done = PyList_SetSlice(root, 0, PY_SSIZE_T_MAX, root_contents_.get()) == 0;
      break;
    case RootChange::DictRefill: done = refill_dict(root, root_contents_.get()); break;
  }
  if (!done) {
    roll_back();
    return false;
  }
  // Taking out a key the dict holds allocates nothing (a split table of an instance's __dict__ on
  // 3.9 and 3.10 may: then the member stays, for want of memory).
  removals_.for_each_live([](PyObject* dict, PyObject* key) {
    if (!dict_del(dict, key)) PyErr_Clear();
  });
  for (Change& change : log_)
    if (change.old) released.push_back(std::move(change.old));
  for (Compaction& compaction : compactions_)
    for (PyRef& element : compaction.removed) released.push_back(std::move(element));
  for (PyRef& ref : owned_refs_) released.push_back(std::move(ref));
  released.push_back(std::move(root_previous_));
  released.push_back(std::move(root_contents_));
  log_.clear();
  committed_ = true;
  return true;
}

// The item array of a list is read and moved here directly, with no Python code running meanwhile:
// the interpreter's own removal may shrink the array, and putting an element back would then need
// memory.
namespace {

PyObject** items_of(PyObject* list) { return reinterpret_cast<PyListObject*>(list)->ob_item; }

// Takes the element at `index` out of `list`, handing over the list's reference to it.
PyObject* take_out(PyObject* list, Py_ssize_t index) {
  PyObject** items = items_of(list);
  const Py_ssize_t size = PyList_GET_SIZE(list);
  PyObject* element = items[index];
  std::memmove(items + index, items + index + 1, static_cast<std::size_t>(size - index - 1) * sizeof(PyObject*));
  Py_SET_SIZE(list, size - 1);
  return element;
}

}  // namespace

bool CallerEdit::insert_element(PyObject* list, Py_ssize_t index, PyObject* value) {
  PyRef held = PyRef::borrow(list);
  reserve_change(value);
  if (index > PyList_GET_SIZE(list)) return changed_under_edit();
  if (PyList_Insert(list, index, value) != 0) return false;  // growing the array runs no Python code
  log(Change{Kind::Inserted, std::move(held), PyRef(), index, PyRef::borrow(value), PendingRemovals::kNone});
  return true;
}

bool CallerEdit::remove_element(PyObject* list, Py_ssize_t index, PyRef& taken) {
  PyRef held = PyRef::borrow(list);
  if (index >= PyList_GET_SIZE(list)) return changed_under_edit();
  reserve_change(PyList_GET_ITEM(list, index));
  // The reservation may have run a finalizer.
  if (index >= PyList_GET_SIZE(list)) return changed_under_edit();
  PyRef element = PyRef::steal(take_out(list, index));  // the list's reference, now the log's
  taken = PyRef::borrow(element.get());
  log(Change{Kind::Removed, std::move(held), PyRef(), index, std::move(element), PendingRemovals::kNone});
  return true;
}

bool CallerEdit::remove_and_append(PyObject* list, const std::vector<std::size_t>& positions, PyObject* tail) {
  PyRef held = PyRef::borrow(list);
  const Py_ssize_t size = PyList_GET_SIZE(list);
  if (!positions.empty()) {
    // Everything the compaction needs is made first: nothing may fail once elements have moved.
    room_for_one(compactions_);
    if (log_.capacity() < log_.size() + 2) log_.reserve(log_.size() * 2 + 16);  // this entry and the append's
    Compaction compaction{positions, {}};
    compaction.removed.reserve(positions.size());
    if (PyList_GET_SIZE(list) != size || positions.back() >= static_cast<std::size_t>(size)) return changed_under_edit();
    PyObject** items = items_of(list);
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
    Py_SET_SIZE(list, static_cast<Py_ssize_t>(write));
    compactions_.push_back(std::move(compaction));
    log(Change{Kind::Compacted, PyRef::borrow(list), PyRef(), static_cast<Py_ssize_t>(compactions_.size() - 1), PyRef(),
               PendingRemovals::kNone});
  }
  if (tail == nullptr || PyList_GET_SIZE(tail) == 0) return true;
  reserve_change(nullptr);
  const Py_ssize_t end = PyList_GET_SIZE(list);
  if (PyList_SetSlice(list, end, end, tail) != 0) return false;  // the whole tail, or nothing
  log(Change{Kind::Appended, std::move(held), PyRef(), PyList_GET_SIZE(tail), PyRef(), PendingRemovals::kNone});
  return true;
}

void CallerEdit::roll_back() noexcept {
  if (committed_ || (log_.empty() && root_change_ == RootChange::None)) return;
  SavedError failure;  // the failure that stopped the edit is the one reported
  for (auto change = log_.rbegin(); change != log_.rend(); ++change) {
    PyObject* container = change->container.get();
    switch (change->kind) {
      case Kind::Put:
        // Putting back a value under a key the dict holds, or taking out a key it gained, allocates nothing.
        if (!(change->old ? dict_set(container, change->key.get(), change->old.get()) : dict_del(container, change->key.get())))
          PyErr_Clear();
        if (change->mark != PendingRemovals::kNone) removals_.set_live(change->mark, true);
        break;
      case Kind::Mark: removals_.set_live(change->mark, false); break;
      case Kind::Element:
        if (change->index < PyList_GET_SIZE(container)) PyList_SetItem(container, change->index, change->old.release());
        break;
      case Kind::Inserted:
        if (change->index < PyList_GET_SIZE(container) && PyList_GET_ITEM(container, change->index) == change->old.get())
          PyRef::steal(take_out(container, change->index));  // `old` still holds it: nothing is freed here
        break;
      case Kind::Appended: {
        // Taken off the end again; the array keeps its room, so nothing is freed or allocated.
        const Py_ssize_t size = PyList_GET_SIZE(container);
        if (change->index > size) break;
        PyObject** items = items_of(container);
        for (Py_ssize_t i = size - change->index; i < size; ++i) PyRef::steal(items[i]);  // the new elements are ours
        Py_SET_SIZE(container, size - change->index);
        break;
      }
      case Kind::Compacted: {
        // Spread back out from the end: each kept element moves up to its old place, each removed
        // one goes back to its own. The array never shrank, so it has the room.
        Compaction& compaction = compactions_[static_cast<std::size_t>(change->index)];
        const Py_ssize_t kept = PyList_GET_SIZE(container);
        const auto count = static_cast<Py_ssize_t>(compaction.removed.size());
        if (reinterpret_cast<PyListObject*>(container)->allocated < kept + count) break;
        PyObject** items = items_of(container);
        Py_ssize_t from = kept - 1;
        std::size_t gone = compaction.removed.size();
        for (Py_ssize_t to = kept + count - 1; gone > 0; --to) {
          if (compaction.positions[gone - 1] == static_cast<std::size_t>(to)) {
            items[to] = compaction.removed[--gone].release();
          } else {
            items[to] = items[from--];
          }
        }
        Py_SET_SIZE(container, kept + count);
        break;
      }
      case Kind::Removed: {
        const Py_ssize_t size = PyList_GET_SIZE(container);
        if (change->index > size || reinterpret_cast<PyListObject*>(container)->allocated <= size) break;
        PyObject** items = items_of(container);
        std::memmove(items + change->index + 1, items + change->index, static_cast<std::size_t>(size - change->index) * sizeof(PyObject*));
        items[change->index] = change->old.release();
        Py_SET_SIZE(container, size + 1);
        break;
      }
    }
  }
  log_.clear();
  root_change_ = RootChange::None;  // the root's change is made at commit only
}

}  // namespace quillfen::py
