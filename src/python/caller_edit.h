// CallerEdit: the one owner of every write into dicts and lists that the caller owns.
//
// Whatever changes the caller's data in place (applying a patch in place, on either of its paths,
// and every later in-place feature) writes through one CallerEdit, which makes the change atomic:
// - Before each change it reserves what logging the change needs, so logging never fails.
// - Every change is logged with what it replaced, and undoing one allocates nothing: a value goes
//   back under a key the dict still holds, a key the dict gained is taken out, an element goes back
//   to its position.
// - A removal from a dict waits until the edit commits (see PendingRemovals); reads through the
//   edit, and conversions given `removals()`, see the member as gone.
// - Lists change in structure where they stand (elements inserted, removed, compacted, appended),
//   and keep their identity; their item array is moved directly and never shrinks, so an element
//   taken out goes back to its place without allocating. Where an application is replaced whole (the
//   fallback that converts the data), the root's new contents are put in at commit, first of all, by
//   one call that changes the list whole or not at all; a dict root whose keys are not all exact
//   strs is emptied and filled again there.
// - A container that is referenced from outside the edit is replaced by a copy of its own before it
//   changes, so a change never shows at another place. Only references from outside count: those the
//   edit holds itself (its log, what it replaced) do not.
// Python code can run during an edit: an allocation may let the collector run a finalizer that
// changes the caller's data. Positions and lengths are checked again after anything that can
// allocate, and a caller container found changed under the edit ends the call with the module's
// fatal error. The edit holds a strong reference to everything it touches.
//
// Dict subclasses are changed through the C-level dict calls, never through their overridden
// methods; an OrderedDict through its own C functions, so that its order stays in step.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "python/pending_removals.h"
#include "python/py_ref.h"

namespace quillfen::py {

class CallerEdit {
 public:
  // Where a container sits in its parent: a dict member (`key`, its text `text`) or a list element
  // (`index`). The root has no parent.
  struct Slot {
    PyRef parent;
    PyRef key;
    Py_ssize_t index = -1;
  };

  CallerEdit() = default;
  CallerEdit(const CallerEdit&) = delete;
  CallerEdit& operator=(const CallerEdit&) = delete;
  // Undoes every change that was not committed.
  ~CallerEdit() { roll_back(); }

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
  // Puts `value` where `slot` holds `expected`; a slot that no longer holds it is a fatal error.
  bool replace_at(const Slot& slot, PyObject* expected, PyObject* value);

  // Makes `container`, found at `slot`, one that only the caller's data at `slot` refers to: when
  // anything outside the edit refers to it too, it is replaced at `slot` by a shallow copy (a plain
  // dict or list, without the members pending removal), which `container` then holds. A container
  // that the edit made, or found its own once, is not looked at again.
  bool own(const Slot& slot, PyRef& container);
  // Marks `container`, made by the caller of the edit and put into the data, as the edit's own.
  void adopt(PyObject* container);

  // The root list `list` gets `contents` (a list) in place of its elements at commit. Its elements are
  // held until the edit's references are released, so none is dropped while the call is under way.
  bool set_root_list(PyObject* list, PyRef contents);
  // The fallback of applying in place: `data` (a dict or list, or a subclass) gets the contents of
  // `result`, a plain dict or list of the same kind whose dicts have exact str keys only.
  bool replace_contents(PyObject* data, PyObject* result);

  // Makes the edit final: the root's new contents go in (the one step that can fail: the edit is
  // then undone and false returned, with a Python exception set), then the pending removals are
  // taken out. What the edit replaced or removed is moved into `released`, for the caller to drop
  // once it has given back its access to the patch (dropping may run finalizers that call it).
  bool commit(std::vector<PyRef>& released);
  // Undoes every change made and not committed, latest first; allocates nothing and keeps the
  // pending Python exception, if any. Called by the destructor.
  void roll_back() noexcept;

  // Changes of a list's structure, made where the list stands and logged like the others, so that
  // an element inserted or removed costs what the list's own insert or removal costs. Undoing one
  // allocates nothing: a removal here never lets the list's item array shrink, so a removed element
  // goes back to its place, and an inserted one is taken out the same way. A position beyond the
  // list's current length is a change under the edit (the fatal error); undoing checks the
  // position, and the element there, first, and leaves a list that was changed under it alone.
  // Puts `value` at `index`, at most the length. False with a Python exception set, nothing changed.
  bool insert_element(PyObject* list, Py_ssize_t index, PyObject* value);
  // Takes the element at `index`, below the length, out into `taken`.
  bool remove_element(PyObject* list, Py_ssize_t index, PyRef& taken);
  // The end of an array pass, where the list stands: the elements at `positions` (ascending,
  // distinct, each below the length) are taken out in one pass over the list, the others keeping
  // their order, and then `tail`'s elements (a list, or null) are put after them. The removed
  // elements are held until the edit's references are released. False with a Python exception
  // set and nothing changed.
  bool remove_and_append(PyObject* list, const std::vector<std::size_t>& positions, PyObject* tail);

 private:
  enum class Kind : unsigned char { Put, Mark, Element, Inserted, Removed, Compacted, Appended };
  // One logged change. Put: `container[key]` held `old` (null: the key was absent), and `mark` is
  // the pending removal it cancelled (PendingRemovals::kNone: none). Mark: the removal `mark` went
  // live. Element: `container[index]` held `old`. Inserted: `old` was put at `index`. Removed: `old`
  // was taken out from `index`. Compacted: the elements of compactions_[index] were taken out.
  // Appended: `index` elements were put at the end.
  struct Change {
    Kind kind;
    PyRef container;
    PyRef key;
    Py_ssize_t index;
    PyRef old;
    std::size_t mark;
  };

  // Room for one more change, and for counting `old` among the edit's own references.
  void reserve_change(PyObject* old);
  void log(Change change) noexcept;
  bool slot_holds(const Slot& slot, PyObject* expected) const;
  // A shallow copy of `container` as the edit sees it: a new reference, or null with an exception.
  PyObject* shallow_copy(PyObject* container) const;
  // The references to `obj` the edit holds itself.
  Py_ssize_t own_references(PyObject* obj) const noexcept;
  bool refill_dict(PyObject* dict, PyObject* result);

  // The elements one compaction took out, and where each stood (ascending).
  struct Compaction {
    std::vector<std::size_t> positions;
    std::vector<PyRef> removed;
  };

  PendingRemovals removals_;
  std::vector<Change> log_;
  std::vector<Compaction> compactions_;
  // Containers the edit holds as `old` in its log: each counts once per entry.
  std::unordered_map<PyObject*, Py_ssize_t> held_;
  // Containers known to be referred to only from their place in the data.
  std::unordered_set<PyObject*> owned_;
  std::vector<PyRef> owned_refs_;  // keeps each address from being reused while the set names it
  // The root's change made at commit.
  PyRef root_;
  PyRef root_contents_;
  PyRef root_previous_;  // the root list's elements, or a dict root's pairs, held until released
  enum class RootChange : unsigned char { None, ListReplace, DictRefill } root_change_ = RootChange::None;
  Py_ssize_t root_size_ = 0;  // the root list's length when its change was made ready
  bool committed_ = false;
};

}  // namespace quillfen::py
