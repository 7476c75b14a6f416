// PythonDocument: the adapter through which the core's applying walk (walks/apply_walk.h) reads and
// changes Python dicts and lists, and the helpers that run the walk over it. Used by applying,
// inverse and to_json_patch.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "json_value/json_value.h"
#include "patch/array_addressing.h"
#include "patch/patch.h"
#include "python/edit/caller_edit.h"
#include "python/walks/python_storage.h"
#include "python/objects/convert.h"
#include "python/objects/errors.h"
#include "python/objects/py_ref.h"
#include "walks/apply_walk.h"
#include "walks/change_record.h"

namespace quillfen::py {

// The patch language's document: Python dicts and lists, patched where they stand, kept in a
// PythonStorage (python_storage.h says what its three kinds are). Fresh, a dict that gained keys has
// them put back in byte order when its pass ends. In place, nothing of the data is checked or
// normalised beyond what the patch reaches: a value a Nested entry reaches is read by the
// conversion's rules (a subclass of dict or list is a container, changed through the C-level calls;
// a hook runs), a Test converts the member it compares, and the values written are the patch's own.
// Dry serves an observer that needs only what each change would replace, on a patch that reaches no
// member or element twice in one pass; values are not even made.
//
// A list found changed in length under a pass, or an element due for removal found gone from its
// place, ends the call with the module's fatal error.
class PythonDocument {
 public:
  using Slot = CallerEdit::Slot;
  struct Container {
    PyRef object;
    Slot slot;
  };
  using Member = PyRef;
  using Value = PyRef;
  struct ObjectPass {
    Container dict;
    bool added = false;  // Fresh: a key the dict did not hold was put in
  };
  struct ArrayPass {
    Container list;
    Py_ssize_t length;  // when the pass began: positions name the elements that stood there then
    std::unordered_map<std::size_t, PyRef> removed;  // in place: each position due for removal, and its element
  };
  using Kind = PythonStorage::Kind;

  explicit PythonDocument(PyObject* root, Kind kind = Kind::Fresh) : storage_(kind), root_(PyRef::borrow(root)) {}
  PythonDocument(PyObject* root, CallerEdit& edit) : storage_(edit), root_(PyRef::borrow(root)) {}
  PythonDocument(const PythonDocument&) = delete;
  PythonDocument& operator=(const PythonDocument&) = delete;

  Container root() const { return Container{PyRef::borrow(root_.get()), Slot{}}; }
  PyObject* take_root() { return root_.release(); }

  // The operations the applying walk asks for.

  static bool is_object(const Container& c) { return PyDict_Check(c.object.get()); }
  static ObjectPass begin_object(Container c) { return ObjectPass{std::move(c), false}; }

  bool find(ObjectPass& pass, std::string_view key, Member& out) {
    PyRef k = storage_.key(key);
    return k && storage_.lookup(pass.dict.object.get(), k.get(), key, out);
  }

  bool put(ObjectPass& pass, std::string_view key, Value value) {
    PyRef k = storage_.key(key);
    return k && put_member(pass, k.get(), key, value.get());
  }

  bool remove(ObjectPass& pass, std::string_view key) {
    PyRef k = storage_.key(key);
    return k && storage_.remove(pass.dict.object.get(), k.get(), key);
  }

  bool move_member(ObjectPass& pass, std::string_view from, std::string_view to) {
    PyRef from_key, to_key;
    Member value;
    if (!source_member(pass, from, to, from_key, to_key, value)) return false;
    return !value || (storage_.remove(pass.dict.object.get(), from_key.get(), from) && put_member(pass, to_key.get(), to, value.get()));
  }

  bool copy_member(ObjectPass& pass, std::string_view from, std::string_view to) {
    PyRef from_key, to_key;
    Member value;
    if (!source_member(pass, from, to, from_key, to_key, value)) return false;
    if (!value) return true;
    PyRef copy = PyRef::steal(normalized_copy(value.get(), storage_.hidden()));
    return copy && put_member(pass, to_key.get(), to, copy.get());
  }

  bool enter_member(ObjectPass& pass, std::string_view key, std::optional<Container>& out) {
    PyRef k = storage_.key(key);
    Member value;
    if (!k || !storage_.lookup(pass.dict.object.get(), k.get(), key, value)) return false;
    if (!value) return true;
    bool container = false;
    if (!reads_as_container(value.get(), container)) return false;
    if (!container) return true;  // a scalar: a Nested changes nothing
    return enter(Slot{PyRef::borrow(pass.dict.object.get()), std::move(k), -1}, std::move(value), out);
  }

  bool end_object(ObjectPass& pass, bool completed) {
    if (storage_.kind() == Kind::Fresh && completed && pass.added) return sort_keys(pass.dict);
    return true;
  }

  static ArrayPass begin_array(Container c) {
    const Py_ssize_t length = PyList_GET_SIZE(c.object.get());
    return ArrayPass{std::move(c), length, {}};
  }
  static std::size_t length(ArrayPass& pass) { return static_cast<std::size_t>(pass.length); }

  bool index_serials(ArrayPass& pass, bool top, SerialIndex& out);

  bool element(ArrayPass& pass, std::size_t position, Member& out) {
    if (!unchanged(pass)) return false;
    out = PyRef::borrow(PyList_GET_ITEM(pass.list.object.get(), static_cast<Py_ssize_t>(position)));
    return true;
  }

  bool replace(ArrayPass& pass, std::size_t position, Value value) {
    if (!unchanged(pass)) return false;
    PyObject* list = pass.list.object.get();
    const auto index = static_cast<Py_ssize_t>(position);
    switch (storage_.kind()) {
      case Kind::Dry: return true;
      case Kind::Fresh: PyList_SetItem(list, index, value.release()); return true;  // in bounds: cannot fail
      case Kind::InPlace: break;
    }
    if (!storage_.edit()->replace_element(list, index, value.get())) return false;
    note_replaced(pass, position, value.get());
    return true;
  }

  // The serial of the element at `position`, read by the conversion's rules (none where it has none).
  bool serial_at(ArrayPass& pass, std::size_t position, std::optional<std::string>& out);

  bool enter_element(ArrayPass& pass, std::size_t position, std::optional<Container>& out) {
    Member element;
    if (!this->element(pass, position, element)) return false;
    bool container = false;
    if (!reads_as_container(element.get(), container)) return false;
    if (!container) return true;
    PyObject* found = element.get();
    Slot slot{PyRef::borrow(pass.list.object.get()), PyRef(), static_cast<Py_ssize_t>(position)};
    if (!enter(std::move(slot), std::move(element), out)) return false;
    if (out->object.get() != found) note_replaced(pass, position, out->object.get());  // a copy stands there now
    return true;
  }

  bool remove_element(ArrayPass& pass, std::size_t position) {
    if (storage_.kind() != Kind::InPlace) return true;
    if (!unchanged(pass)) return false;
    pass.removed.try_emplace(position, PyRef::borrow(PyList_GET_ITEM(pass.list.object.get(), static_cast<Py_ssize_t>(position))));
    return true;
  }

  bool end_array(ArrayPass& pass, const std::vector<std::size_t>& removals, std::vector<Value>& appends);
  bool end_array_arranged(ArrayPass& pass, const std::vector<std::size_t>& removals, const std::vector<ArraySlot>& order,
                          std::vector<Value>& fresh);

  bool make(const JsonValue& value, Value& out) { return storage_.make(value, out); }
  bool make_stamped(const JsonValue& value, std::string_view serial, Value& out) { return storage_.make_stamped(value, serial, out); }
  bool changes_data() const { return storage_.kind() != Kind::Dry; }
  bool to_value(const Member& current, JsonValue& out) const { return storage_.to_value(current.get(), out); }
  int equals(const Member& current, const JsonValue& expected) const {
    JsonValue value;
    if (!storage_.to_value(current.get(), value)) return -1;
    return value == expected ? 1 : 0;
  }
  bool text_of(const Member& current, std::string& out) const { return storage_.text_of(current.get(), out); }

 private:
  // The keys of a Move or Copy, and the member under `from` (empty when absent).
  bool source_member(ObjectPass& pass, std::string_view from, std::string_view to, PyRef& from_key, PyRef& to_key,
                     Member& value) {
    from_key = PyRef::steal(new_str(from));
    to_key = PyRef::steal(new_str(to));
    return from_key && to_key && storage_.lookup(pass.dict.object.get(), from_key.get(), from, value);
  }

  // Fresh: notes a key the dict did not hold, for its pass to sort the keys when it ends.
  bool put_member(ObjectPass& pass, PyObject* key, std::string_view text, PyObject* value) {
    PyObject* dict = pass.dict.object.get();
    if (storage_.kind() == Kind::Fresh && !pass.added) {
      if (PyDict_GetItemWithError(dict, key) == nullptr) {
        if (PyErr_Occurred()) return false;
        pass.added = true;
      }
    }
    return storage_.put(dict, key, text, value);
  }

  // Enters a container found at `slot`; in place, one referenced from elsewhere is first replaced
  // there by a copy of its own.
  bool enter(Slot slot, PyRef container, std::optional<Container>& out) {
    if (!storage_.own(slot, container)) return false;
    out = Container{std::move(container), std::move(slot)};
    return true;
  }

  // Whether the pass's list still has the length it had when the pass began.
  static bool unchanged(const ArrayPass& pass) {
    return PyList_GET_SIZE(pass.list.object.get()) == pass.length || raise_list_resized();
  }

  // The element due for removal at `position`, if any, is now `element`.
  static void note_replaced(ArrayPass& pass, std::size_t position, PyObject* element) {
    if (pass.removed.empty()) return;
    if (auto it = pass.removed.find(position); it != pass.removed.end()) it->second = PyRef::borrow(element);
  }

  // The serial `element` carries, read by the conversion's rules: `has` is false for an element
  // that is no object or whose "_" is no str. The text lives in the str that `holder` holds, or, for
  // a serial that had to be converted, in `storage`. Always inlined: index_serials calls it for every
  // element of a long list.
  [[gnu::always_inline]] inline bool serial_of(PyObject* element, std::string_view& text, std::string& storage, PyRef& holder,
                                               bool& has) const;

  // Fresh: the new list, in place of the old, at its slot or as the root.
  bool put_list(const Container& c, PyRef list) {
    if (!c.slot.parent) {
      root_ = std::move(list);
      return true;
    }
    if (c.slot.key) return PyDict_SetItem(c.slot.parent.get(), c.slot.key.get(), list.get()) == 0;
    PyList_SetItem(c.slot.parent.get(), c.slot.index, list.release());  // our own list, in bounds
    return true;
  }
  // Fresh: puts the dict's keys back in byte order after a pass added some.
  bool sort_keys(const Container& c);

  PythonStorage storage_;
  PyRef root_;
};

// Runs the walk, with `observer` if one is given: empty when it completed, else why it stopped. A
// patch error is not raised yet; the adapter's own failure is.
template <class Observer = NoObserver>
std::optional<ApplyStop> run_walk(const Patch& patch, PythonDocument& document, Observer* observer = nullptr) {
  return observer != nullptr ? ApplyWalk<PythonDocument, Observer>(document, *observer).run(patch, document.root())
                             : ApplyWalk<PythonDocument>(document).run(patch, document.root());
}

// Raises the patch error a stop of the walk holds (the adapter's own failure is raised already).
inline void raise_stop(const ApplyStop& stop) {
  if (const PatchError* error = std::get_if<PatchError>(&stop)) raise_patch_error("Patch error: ", *error);
}

// Runs the walk, with `observer` if one is given; true when it completed, else false with the
// Python exception set.
template <class Observer = NoObserver>
bool walk(const Patch& patch, PythonDocument& document, Observer* observer = nullptr) {
  const std::optional<ApplyStop> stop = run_walk(patch, document, observer);
  if (stop) raise_stop(*stop);
  return !stop;
}

// The record of applying `patch` to `data` (walks/change_record.h), with the values each change
// replaced when `keep_values`; `data` is never written. First without writing: each change is seen
// against the data as it was, which is exact while no member or element is reached twice in one
// pass. Where one is, it sees what the first change made of it, and so does every entry after it,
// whose patch error the dry walk may then get wrong: the application runs again on a private copy,
// made container by container as the walk changes them, so the caller's data, and any code of the
// data that runs meanwhile, sees nothing of it. Empty when the walk failed, with the Python
// exception set.
std::optional<ChangeRecord> observe_application(const Patch& patch, PyObject* data, bool keep_values);

}  // namespace quillfen::py
