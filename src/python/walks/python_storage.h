// PythonStorage: where a walk over Python dicts and lists keeps its document, and the operations on
// it that both applying walks share (the patch language's adapter, patch_document.h, and the
// standard formats' adapter, standard_formats.cpp). Three kinds:
// - Fresh: the call's own normalised copy of the caller's data (exact dicts and lists, exact
//   immutable scalars, exact str keys), owned by nobody else and changed directly.
// - In place: the caller's own data, written through a CallerEdit (edit/caller_edit.h), which logs
//   every change and undoes them all if the walk stops. A value the walk reaches is read by the
//   conversion's rules; members the edit has removed are hidden from every read.
// - Dry: the caller's own data, never written: every read sees it as it was.
//
// Python code may run during a walk (a hook of the data, a key's own __eq__, or a finalizer that an
// allocation lets the collector run): every operation holds what it uses.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "json_value/json_value.h"
#include "python/edit/caller_edit.h"
#include "python/objects/convert.h"
#include "python/objects/hidden_members.h"
#include "python/objects/py_ref.h"

namespace quillfen::py {

// The errors the walks over Python objects raise of their own; each returns false.
// RuntimeError "Patch error: Invalid patch operation: Can only patch objects and arrays".
bool cannot_patch();

class PythonStorage {
 public:
  enum class Kind { Fresh, InPlace, Dry };

  explicit PythonStorage(Kind kind = Kind::Fresh) : kind_(kind) {}  // Fresh or Dry
  explicit PythonStorage(CallerEdit& edit) : kind_(Kind::InPlace), edit_(&edit) {}
  PythonStorage(const PythonStorage&) = delete;
  PythonStorage& operator=(const PythonStorage&) = delete;

  Kind kind() const noexcept { return kind_; }
  // In place only: the edit that writes the data; null for the other kinds.
  CallerEdit* edit() const noexcept { return edit_; }
  // What reads pass over: the members the edit has removed. Null when nothing is hidden.
  const HiddenMembers* hidden() const noexcept { return edit_ != nullptr ? &edit_->removals() : nullptr; }

  // The str of `text`. A walk looks a key up and then changes the member under it: the str made last
  // is given again for the same text (the same bytes at the same place: the walks pass the texts of
  // operations and patches that outlive the call). Null with a Python exception set.
  PyRef key(std::string_view text);

  // The member of `dict` under `key` (whose text is `text`), or an empty `out` where the dict does
  // not hold it or the edit removed it. A key of the caller's with its own __eq__ may run Python code
  // here (Dry and in place), so the caller holds a strong reference to `dict`. False with a Python
  // exception set. Inline: every serial an array pass indexes is looked up here.
  bool lookup(PyObject* dict, PyObject* key, std::string_view text, PyRef& out) const {
    if (edit_ != nullptr) return edit_->lookup(dict, key, text, out);
    out = PyRef();
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr) return !PyErr_Occurred();
    out = PyRef::borrow(value);
    return true;
  }
  // Puts `value` under `key`, inserting or replacing; Dry: nothing.
  bool put(PyObject* dict, PyObject* key, std::string_view text, PyObject* value);
  // Removes the member under `key`, where there is one; Dry: nothing.
  bool remove(PyObject* dict, PyObject* key, std::string_view text);
  // In place: a container about to change, or to have something inside it changed, found at `slot`,
  // becomes the data's own (CallerEdit::own); `container` then holds what stands there. Nothing for
  // the other kinds, and for a value that is no container.
  bool own(const CallerEdit::Slot& slot, PyRef& container);

  // A new Python value of the patch's `value` (an object stamped with `serial`, when one is given);
  // Dry: None, which is never written. False with a Python exception set.
  bool make(const JsonValue& value, PyRef& out);
  bool make_stamped(const JsonValue& value, std::string_view serial, PyRef& out);

  // The value `obj` of the document as the conversion reads it, passing over hidden members; false
  // with the conversion's exception set.
  bool to_value(PyObject* obj, JsonValue& out) const { return python_to_value(obj, out, hidden()); }
  // Its compact text, for the message of a failed comparison.
  bool text_of(PyObject* obj, std::string& out) const;

 private:
  Kind kind_;
  CallerEdit* edit_ = nullptr;
  ToPython values_;  // makes the patch's values; they share one str per key (the patch outlives it)
  PyRef last_key_;   // key()'s last str, and the text it was made of
  std::string_view last_text_;
};

}  // namespace quillfen::py
