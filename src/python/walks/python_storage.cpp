#include "python/walks/python_storage.h"

#include "python/objects/errors.h"

namespace quillfen::py {

bool cannot_patch() {
  return raise_patch_error("Patch error: ", PatchError::invalid_operation("Can only patch objects and arrays"));
}

PyRef PythonStorage::key(std::string_view text) {
  if (!last_key_ || text.data() != last_text_.data() || text.size() != last_text_.size()) {
    last_key_ = PyRef::steal(new_str(text));
    last_text_ = text;
  }
  return PyRef::borrow(last_key_.get());
}

bool PythonStorage::put(PyObject* dict, PyObject* key, std::string_view text, PyObject* value) {
  switch (kind_) {
    case Kind::Fresh: return PyDict_SetItem(dict, key, value) == 0;
    case Kind::InPlace: return edit_->put(dict, key, text, value);
    case Kind::Dry: break;
  }
  return true;
}

bool PythonStorage::remove(PyObject* dict, PyObject* key, std::string_view text) {
  switch (kind_) {
    case Kind::Fresh:  // the call's own objects, whose release runs no code
      if (PyDict_GetItemWithError(dict, key) == nullptr) return !PyErr_Occurred();
      return PyDict_DelItem(dict, key) == 0;
    case Kind::InPlace: return edit_->remove(dict, key, text);
    case Kind::Dry: break;
  }
  return true;
}

bool PythonStorage::own(const CallerEdit::Slot& slot, PyRef& container) {
  if (edit_ == nullptr || !(PyDict_Check(container.get()) || PyList_Check(container.get()))) return true;
  return edit_->own(slot, container);
}

bool PythonStorage::make(const JsonValue& value, PyRef& out) {
  out = kind_ == Kind::Dry ? PyRef::borrow(Py_None) : PyRef::steal(values_.convert(value));
  return static_cast<bool>(out);
}

bool PythonStorage::make_stamped(const JsonValue& value, std::string_view serial, PyRef& out) {
  out = kind_ == Kind::Dry ? PyRef::borrow(Py_None) : PyRef::steal(values_.convert_stamped(value, serial));
  return static_cast<bool>(out);
}

bool PythonStorage::text_of(PyObject* obj, std::string& out) const {
  JsonValue value;
  if (!to_value(obj, value)) return false;
  out = value.compact_text();
  return true;
}

}  // namespace quillfen::py
