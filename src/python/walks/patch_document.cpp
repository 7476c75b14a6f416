#include "python/walks/patch_document.h"

#include "patch/reserved_names.h"
#include "python/objects/read_ahead.h"

namespace quillfen::py {

inline bool PythonDocument::serial_of(PyObject* element, std::string_view& text, std::string& storage, PyRef& holder, bool& has) const {
  has = false;
  if (!PyDict_CheckExact(element)) {
    bool container = false;
    if (!reads_as_container(element, container)) return false;
    if (!container || !PyDict_Check(element)) return true;
  }
  Member serial;
  if (!storage_.lookup(element, serial_member(), kSerialMember, serial)) return false;
  if (!serial) return true;
  if (PyUnicode_CheckExact(serial.get())) {
    switch (read_text(serial.get(), text)) {
      case Text::Read: break;
      case Text::NotEncodable: return raise_unsupported();  // the conversion refuses it too
      case Text::Failed: return false;
    }
    holder = std::move(serial);  // the text lives in the str: held while the caller reads it
    has = true;
    return true;
  }
  JsonValue value;  // a subclass or a hook: read as the conversion reads it
  if (!storage_.to_value(serial.get(), value)) return false;
  if (!value.is_string()) return true;
  storage = std::move(value.as_string());
  text = storage;
  has = true;
  return true;
}

bool PythonDocument::serial_at(ArrayPass& pass, std::size_t position, std::optional<std::string>& out) {
  if (!unchanged(pass)) return false;
  PyRef element = PyRef::borrow(PyList_GET_ITEM(pass.list.object.get(), static_cast<Py_ssize_t>(position)));
  std::string_view text;
  std::string storage;
  PyRef holder;
  bool has = false;
  if (!serial_of(element.get(), text, storage, holder, has)) return false;
  if (has) out.emplace(text);
  return true;
}

bool PythonDocument::index_serials(ArrayPass& pass, bool, SerialIndex& out) {
  PyObject* list = pass.list.object.get();
  std::string storage;
  for (Py_ssize_t i = 0; i < pass.length; ++i) {
    if (!unchanged(pass)) return false;  // a hook or a finalizer run by the last element changed it
    read_ahead_in_order(list, static_cast<std::size_t>(i));
    PyRef element = PyRef::borrow(PyList_GET_ITEM(list, i));
    PyTypeObject* type = Py_TYPE(element.get());
    if (type == &PyList_Type || type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
        type == &PyBool_Type || element.get() == Py_None)
      continue;  // an exact built-in that is no object carries no serial
    std::string_view text;
    PyRef holder;
    bool has = false;
    if (!serial_of(element.get(), text, storage, holder, has)) return false;
    if (has) out.add(text, static_cast<std::size_t>(i));  // runs no Python code: `text` stays valid
  }
  return true;
}

bool PythonDocument::end_array(ArrayPass& pass, const std::vector<std::size_t>& removals, std::vector<Value>& appends) {
  if (storage_.kind() == Kind::Dry || (removals.empty() && appends.empty())) return true;
  PyObject* list = pass.list.object.get();
  const Container& c = pass.list;
  if (!unchanged(pass)) return false;
  PyRef tail;
  if (!appends.empty()) {
    tail = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(appends.size())));
    if (!tail) return false;
    for (std::size_t i = 0; i < appends.size(); ++i) PyList_SET_ITEM(tail.get(), static_cast<Py_ssize_t>(i), appends[i].release());
  }
  if (storage_.kind() == Kind::InPlace) {
    // The allocation may have let a finalizer change the list: it must still hold what the pass saw.
    if (!unchanged(pass)) return false;
    for (const auto& [position, element] : pass.removed)
      if (PyList_GET_ITEM(list, static_cast<Py_ssize_t>(position)) != element.get())
        return raise_fatal_error("list changed while a patch was applied to it");
    return storage_.edit()->remove_and_append(list, removals, tail.get());
  }
  if (removals.empty()) {
    const Py_ssize_t end = PyList_GET_SIZE(list);
    return PyList_SetSlice(list, end, end, tail.get()) == 0;  // the whole tail, or nothing
  }
  const auto size = static_cast<std::size_t>(pass.length);
  PyRef result = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size - removals.size() + appends.size())));
  if (!result) return false;
  Py_ssize_t filled = 0;
  auto removal = removals.begin();
  for (std::size_t i = 0; i < size; ++i) {
    if (removal != removals.end() && *removal == i) {
      ++removal;
      continue;
    }
    PyList_SET_ITEM(result.get(), filled++, PyRef::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i))).release());
  }
  for (Py_ssize_t i = 0; tail && i < PyList_GET_SIZE(tail.get()); ++i)
    PyList_SET_ITEM(result.get(), filled++, PyRef::borrow(PyList_GET_ITEM(tail.get(), i)).release());
  return put_list(c, std::move(result));
}

bool PythonDocument::end_array_arranged(ArrayPass& pass, const std::vector<std::size_t>& removals, const std::vector<ArraySlot>& order,
                                        std::vector<Value>& fresh) {
  if (storage_.kind() == Kind::Dry) return true;
  PyObject* list = pass.list.object.get();
  if (!unchanged(pass)) return false;
  if (storage_.kind() == Kind::Fresh) {
    PyRef arranged = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(order.size())));
    if (!arranged) return false;
    for (std::size_t k = 0; k < order.size(); ++k) {
      const ArraySlot slot = order[k];
      PyObject* element = slot.fresh ? fresh[slot.index].release() : PyRef::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(slot.index))).release();
      PyList_SET_ITEM(arranged.get(), static_cast<Py_ssize_t>(k), element);
    }
    return put_list(pass.list, std::move(arranged));
  }
  std::vector<PyObject*> items;  // borrowed: the list's elements, and `fresh`, which the edit takes
  items.reserve(order.size());
  for (const ArraySlot slot : order)
    items.push_back(slot.fresh ? fresh[slot.index].get() : PyList_GET_ITEM(list, static_cast<Py_ssize_t>(slot.index)));
  // The allocation may have let a finalizer change the list: it must still hold what the pass saw.
  if (!unchanged(pass)) return false;
  for (const auto& [position, element] : pass.removed)
    if (PyList_GET_ITEM(list, static_cast<Py_ssize_t>(position)) != element.get())
      return raise_fatal_error("list changed while a patch was applied to it");
  return storage_.edit()->rearrange(list, items, removals, fresh);
}

bool PythonDocument::sort_keys(const Container& c) {
  PyObject* dict = c.object.get();
  std::vector<DictMember> members;
  members.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    PyRef held_key = PyRef::borrow(key);
    std::string_view text;
    if (!utf8_view(key, text)) return false;  // keys of a normalised document are strs that encode
    members.push_back(DictMember{text, std::move(held_key), PyRef::borrow(value)});
  }
  // A new dict in place of the old: the keys the old one held before the pass are in order and the
  // new ones follow in the order they came, so sorting costs little.
  PyRef sorted = PyRef::steal(dict_in_key_order(members.data(), members.data() + members.size()));
  if (!sorted) return false;
  if (!c.slot.parent) {
    root_ = std::move(sorted);
    return true;
  }
  if (c.slot.key) return PyDict_SetItem(c.slot.parent.get(), c.slot.key.get(), sorted.get()) == 0;
  PyList_SetItem(c.slot.parent.get(), c.slot.index, sorted.release());
  return true;
}

std::optional<ChangeRecord> observe_application(const Patch& patch, PyObject* data, bool keep_values) {
  {
    PythonDocument document(data, PythonDocument::Kind::Dry);
    ChangeRecorder<PythonDocument> recorder(document, keep_values);
    const std::optional<ApplyStop> stop = run_walk(patch, document, &recorder);
    if (!recorder.reached_twice()) {
      if (!stop) return recorder.take();
      raise_stop(*stop);
      return std::nullopt;
    }
    if (stop && !std::holds_alternative<PatchError>(*stop)) return std::nullopt;  // the adapter's failure, raised
  }
  CallerEdit edit(CallerEdit::Mode::Private);
  PyRef root;
  if (!edit.copy_root(data, root)) return std::nullopt;
  PythonDocument document(root.get(), edit);
  ChangeRecorder<PythonDocument> recorder(document, keep_values);
  if (!walk(patch, document, &recorder)) return std::nullopt;
  return recorder.take();
}

}  // namespace quillfen::py
