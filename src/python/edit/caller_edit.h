// CallerEdit: the one owner of every write into dicts and lists that the caller owns.
//
// Whatever changes the caller's data in place (applying a patch in place, on either of its paths,
// the standard formats in place, and every later in-place feature) writes through one CallerEdit,
// which makes the change atomic by construction: everything an undo needs is secured before the
// change it undoes.
// - Before each change it reserves what logging the change needs, so logging never fails, and it
//   holds a strong reference to everything the change puts in or takes out, so undoing it frees
//   nothing and runs no finalizer.
// - A list is changed in its structure (elements inserted, removed, compacted, appended, all
//   replaced) by this class alone, on the list's item array directly: the array grows here before
//   a change that needs room, and never shrinks while the edit is open, so every undo finds the room
//   it needs. No interpreter call that may resize a list runs on a list the edit has changed.
// - After each change the edit notes the list's length and item array; before changing it again,
//   and before undoing, it checks them. A list that Python code changed meanwhile (a hook, or a
//   finalizer that an allocation let the collector run) is a change under the edit: the call ends
//   with the module's fatal error, and a rollback leaves that list as it found it.
// - A removal from a dict waits until the edit commits (see PendingRemovals); reads through the
//   edit, and conversions given `removals()`, see the member as gone.
// - A container that is referenced from outside the edit is replaced by a copy of its own before it
//   changes, so a change never shows at another place. Only references from outside count: those the
//   edit holds itself (its log, what it replaced) do not. In the private mode every container of the
//   caller's is copied before it changes: the edit then works on a private copy of the root, and
//   the caller's data is never written.
// - Putting a value back into a dict, or taking out a key at commit, compares keys, and a key of the
//   caller's with its own __eq__ may raise there. Such a step is tried twice; what it raises is
//   never dropped: it ends the call, in place of the error that stopped the edit (which becomes its
//   context). The data is then as promised except at that one member.
//
// Dict subclasses are changed through the C-level dict calls, never through their overridden
// methods; an OrderedDict through its own C functions, so that its order stays in step.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>
#include <vector>

#include "base/pointer_map.h"
#include "python/edit/pending_removals.h"
#include "python/objects/py_ref.h"

namespace quillfen::py {

class CallerEdit {
 public:
  // Where a container sits in its parent: a dict member (`key`) or a list element (`index`). The root
  // has no parent.
  struct Slot {
    PyRef parent;
    PyRef key;
    Py_ssize_t index = -1;
  };

  enum class Mode : unsigned char {
    InPlace,  // the caller's data itself
    Private,  // a private copy of the root: every container of the caller's is copied before it changes
  };

  explicit CallerEdit(Mode mode = Mode::InPlace) : mode_(mode) {}
  CallerEdit(const CallerEdit&) = delete;
  CallerEdit& operator=(const CallerEdit&) = delete;
  // Undoes every change that was not committed (in the private mode there is nothing to undo).
  ~CallerEdit() {
    if (mode_ == Mode::InPlace) roll_back();
  }

  // What the edit has removed and not yet taken out; conversions of the caller's data pass over it.
  const PendingRemovals& removals() const noexcept { return removals_; }

  // The member of `dict` under `key` (whose UTF-8 text is `text`), or an empty `out` when the dict
  // does not hold it or the edit removed it. A key of the caller's with its own equality may run
  // Python code. False with a Python exception set.
  bool lookup(PyObject* dict, PyObject* key, std::string_view text, PyRef& out) const;

  // Each of these makes one logged change, or returns false with a Python exception set and nothing
  // changed. `dict` and `list` are the caller's (or ones the edit put there).

  // Puts `value` under `key`, inserting or replacing; a removal of the key pending is cancelled.
  bool put(PyObject* dict, PyObject* key, std::string_view text, PyObject* value);
  // Removes the member under `key`; nothing when absent.
  bool remove(PyObject* dict, PyObject* key, std::string_view text);
  // Replaces the element at `index`, which must be below the list's length.
  bool replace_element(PyObject* list, Py_ssize_t index, PyObject* value);

  // Makes `container`, found at `slot`, one that only the caller's data at `slot` refers to: when
  // anything outside the edit refers to it too (in the private mode: whenever the edit did not make
  // it), it is replaced at `slot` by a shallow copy (a plain dict or list, without the members
  // pending removal), which `container` then holds. A container that the edit made, or found its own
  // once, is not looked at again.
  bool own(const Slot& slot, PyRef& container);
  // Marks `container`, made by the caller of the edit and put into the data, as the edit's own.
  void adopt(PyObject* container);
  // The private mode's root: `out` gets a shallow copy of the caller's `root` (a dict or list, or a
  // subclass), the edit's own, for the walk to change in its place. False with a Python exception set.
  bool copy_root(PyObject* root, PyRef& out);

  // Changes of a list's structure, made where the list stands, at the cost of the list's own insert
  // or removal. A position beyond the list's length, or a list changed since the edit last changed
  // it, is a change under the edit (the fatal error).
  // Puts `value` at `index`, at most the length.
  bool insert_element(PyObject* list, Py_ssize_t index, PyObject* value);
  // Takes the element at `index`, below the length, out into `taken`.
  bool remove_element(PyObject* list, Py_ssize_t index, PyRef& taken);
  // The end of an array pass: the elements at `positions` (ascending, distinct, each below the
  // length) are taken out in one pass over the list, the others keeping their order, and then
  // `tail`'s elements (a list the edit's caller made, or null) are put after them.
  bool remove_and_append(PyObject* list, const std::vector<std::size_t>& positions, PyObject* tail);
  // `list` gets the elements of `elements` (a list the edit's caller made) in place of its own.
  bool set_elements(PyObject* list, PyObject* elements);
  // The end of an array pass that placed elements: `list` becomes `items`, each an element of the
  // list that is not at `removals` (ascending, distinct, below the length) or one of `fresh` (the
  // edit takes them), in one pass and without touching the references of the elements it keeps.
  bool rearrange(PyObject* list, const std::vector<PyObject*>& items, const std::vector<std::size_t>& removals, std::vector<PyRef>& fresh);
  // Whether `list` has the length and item array the edit's last change of it left (true for a list
  // the edit has not changed).
  bool intact(PyObject* list) const noexcept;

  // The fallback of applying in place: `data` (a dict or list, or a subclass) gets the contents of
  // `result`, a plain dict or list of the same kind whose dicts have exact str keys only.
  bool replace_contents(PyObject* data, PyObject* result);

  // Makes the edit final: a dict root's new contents go in (the one step that can fail for want of
  // memory: the edit is then undone), then the pending removals are taken out. What the edit
  // replaced or removed is moved into `released`, for the caller to drop once it has given back its
  // access to the patch (dropping may run finalizers that call it). False with a Python exception
  // set: the edit is undone, or, where a key of the caller's raised while a removal was taken out,
  // the edit is final but for that member.
  bool commit(std::vector<PyRef>& released);
  // Undoes every change made and not committed, latest first; allocates nothing unless a step
  // fails. The exception that stopped the edit stays pending, unless a step raised (see above) or
  // found a list changed under the edit (the fatal error): that exception is then pending, with the
  // first as its context. Called by the destructor.
  void roll_back() noexcept;

 private:
  enum class Kind : unsigned char { Put, Mark, Element, Inserted, Removed, Compacted, Appended, Rearranged };
  // One logged change. Put: `container[key]` held `old` (null: the key was absent) and now holds
  // `now`; `mark` is the pending removal it cancelled (PendingRemovals::kNone: none). Mark: the
  // removal `mark` went live. Element: `container[index]` held `old` and now holds `now`. Inserted:
  // `now` was put at `index`. Removed: `old` was taken out from `index`. Compacted: the elements of
  // compactions_[index] were taken out. Appended: the elements of the list `now` were put at the end.
  // Rearranged: the list's items were those of rearrangements_[index].
  struct Change {
    Kind kind;
    PyRef container;
    PyRef key;
    Py_ssize_t index;
    PyRef old;
    PyRef now;
    std::size_t mark;
  };

  // A list the edit has changed: its length and item array after the edit's last change of it.
  struct ListState {
    PyRef list;
    PyObject** items;
    Py_ssize_t size;
    Py_ssize_t allocated;
    bool abandoned;  // roll_back: found changed under the edit, left as it is
  };

  // The elements one compaction took out, and where each stood (ascending).
  struct Compaction {
    std::vector<std::size_t> positions;
    std::vector<PyRef> removed;
  };

  // A list's item array before a rearrangement (the references of the elements kept stay the
  // list's), the references of the elements it took out, and the edit's own references to the
  // elements it put in.
  struct Rearrangement {
    std::vector<PyObject*> previous;
    std::vector<PyRef> removed;
    std::vector<PyRef> fresh;
  };

  // Room for one more change, and for counting `old` among the edit's own references.
  void reserve_change(PyObject* old);
  void log(Change change) noexcept;
  // Whether `slot` holds `expected`: 1 yes, 0 no, -1 a key's comparison raised.
  int slot_holds(const Slot& slot, PyObject* expected) const;
  // Puts `value` where `slot` holds `expected`; a slot that no longer holds it is a fatal error.
  bool replace_at(const Slot& slot, PyObject* expected, PyObject* value);
  // A shallow copy of `container` as the edit sees it: a new reference, or null with an exception.
  PyObject* shallow_copy(PyObject* container) const;
  // The references to `obj` the edit holds itself.
  Py_ssize_t own_references(PyObject* obj) const noexcept;
  bool refill_dict(PyObject* dict, PyObject* result);

  // The state of `list` before the edit's next change of it: noted on first sight, else checked.
  // Null, with the fatal error raised, for a list changed under the edit.
  ListState* track(PyObject* list);
  // Room in `state`'s item array for `needed` elements. Grows it when short, never shrinks it.
  static bool make_room(ListState& state, Py_ssize_t needed);
  // Notes the list's state after a change.
  static void noted(ListState& state) noexcept;
  static bool matches(const ListState& state) noexcept;
  // Undoes one change of a list's structure or element. False where the list was changed under the
  // edit (and is left alone from then on) or lacks the room the edit secured for it.
  bool undo_list_change(Change& change, bool& broken) noexcept;
  // Undoes one change of a dict, trying twice; false with the exception the second try raised.
  static bool undo_put(Change& change) noexcept;

  Mode mode_;
  PendingRemovals removals_;
  std::vector<Change> log_;
  std::vector<Compaction> compactions_;
  std::vector<Rearrangement> rearrangements_;
  std::vector<ListState> lists_;      // in the order the edit first changed them
  PointerMap<std::size_t> list_index_;  // a list's place in lists_
  // Containers the edit holds as `old` in its log: each counts once per entry.
  PointerMap<Py_ssize_t> held_;
  // Containers known to be referred to only from their place in the data.
  PointerMap<bool> owned_;
  std::vector<PyRef> owned_refs_;  // keeps each address from being reused while the set names it
  // A dict root whose keys are not all exact strs: emptied and filled again at commit.
  PyRef refill_;
  PyRef refill_contents_;
  PyRef refill_previous_;  // its pairs, held until released
  bool committed_ = false;
};

}  // namespace quillfen::py
