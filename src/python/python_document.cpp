#include "python/python_document.h"

#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "patch/apply.h"
#include "patch/apply_walk.h"
#include "patch/inverse.h"
#include "patch/json_patch_writer.h"
#include "patch/reserved_names.h"
#include "python/caller_edit.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/patch_object.h"
#include "python/python_json_patch.h"
#include "python/read_ahead.h"

namespace quillfen::py {

namespace {

bool list_changed_size() { return raise_fatal_error("list changed size while a patch was applied to it"); }

bool cannot_patch() {
  return raise_patch_error("Patch error: ", PatchError::invalid_operation("Can only patch objects and arrays"));
}

// A document of Python dicts and lists, patched where it stands. Three kinds:
// - Fresh: the document is the call's own normalised copy of the caller's data (exact dicts and
//   lists, exact immutable scalars), owned by nobody else. It is changed directly; a dict that
//   gained keys has them put back in byte order when its pass ends.
// - In place: the document is the caller's own, changed through a CallerEdit, which logs every
//   change and undoes them all if the application fails. Nothing of the data is checked or
//   normalised beyond what the patch reaches: a value a Nested entry reaches is read by the
//   conversion's rules (a subclass of dict or list is a container, changed through the C-level
//   calls; a hook runs), a Test converts the member it compares, and the values written are the
//   patch's own.
// - Dry: the document is the caller's own and nothing is written at all: every read sees the data as
//   it was. For an observer that needs only what each change would replace (the undo patch), on a
//   patch that reaches no member or element twice in one pass; values are not even made.
//
// Python code may run during an application (a hook, or a finalizer that an allocation lets the
// collector run) and change the caller's data: every access holds what it uses, and a list found
// changed in length, or an element due for removal found gone from its place, ends the call with
// the module's fatal error.
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

  enum class Kind { Fresh, InPlace, Dry };

  explicit PythonDocument(PyObject* root) : root_(PyRef::borrow(root)) {}
  PythonDocument(PyObject* root, CallerEdit& edit) : kind_(Kind::InPlace), edit_(&edit), root_(PyRef::borrow(root)) {}
  PythonDocument(PyObject* root, Kind kind) : kind_(kind), root_(PyRef::borrow(root)) {}
  PythonDocument(const PythonDocument&) = delete;
  PythonDocument& operator=(const PythonDocument&) = delete;

  Container root() const { return Container{PyRef::borrow(root_.get()), Slot{}}; }
  PyObject* take_root() { return root_.release(); }

  // The operations the applying walk asks for.

  static bool is_object(const Container& c) { return PyDict_Check(c.object.get()); }
  static ObjectPass begin_object(Container c) { return ObjectPass{std::move(c), false}; }

  bool find(ObjectPass& pass, std::string_view key, Member& out) {
    PyRef k = PyRef::steal(new_str(key));
    return k && lookup(pass.dict.object.get(), k.get(), key, out);
  }

  bool put(ObjectPass& pass, std::string_view key, Value value) {
    PyRef k = PyRef::steal(new_str(key));
    return k && put_member(pass, k.get(), key, value.get());
  }

  bool remove(ObjectPass& pass, std::string_view key) {
    PyRef k = PyRef::steal(new_str(key));
    return k && remove_member(pass, k.get(), key);
  }

  bool move_member(ObjectPass& pass, std::string_view from, std::string_view to) {
    PyRef from_key, to_key;
    Member value;
    if (!source_member(pass, from, to, from_key, to_key, value)) return false;
    return !value || (remove_member(pass, from_key.get(), from) && put_member(pass, to_key.get(), to, value.get()));
  }

  bool copy_member(ObjectPass& pass, std::string_view from, std::string_view to) {
    PyRef from_key, to_key;
    Member value;
    if (!source_member(pass, from, to, from_key, to_key, value)) return false;
    if (!value) return true;
    PyRef copy = PyRef::steal(normalized_copy(value.get(), removals()));
    return copy && put_member(pass, to_key.get(), to, copy.get());
  }

  bool enter_member(ObjectPass& pass, std::string_view key, std::optional<Container>& out) {
    PyRef k = PyRef::steal(new_str(key));
    Member value;
    if (!k || !lookup(pass.dict.object.get(), k.get(), key, value)) return false;
    if (!value) return true;
    bool container = false;
    if (!reads_as_container(value.get(), container)) return false;
    if (!container) return true;  // a scalar: a Nested changes nothing
    return enter(Slot{PyRef::borrow(pass.dict.object.get()), std::move(k), -1}, std::move(value), out);
  }

  bool end_object(ObjectPass& pass, bool completed) {
    if (kind_ == Kind::Fresh && completed && pass.added) return sort_keys(pass.dict);
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
    if (kind_ == Kind::Dry) return true;
    if (kind_ == Kind::Fresh) {
      PyList_SetItem(list, index, value.release());  // in bounds: cannot fail
      return true;
    }
    if (!edit_->replace_element(list, index, value.get())) return false;
    note_replaced(pass, position, value.get());
    return true;
  }

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
    if (kind_ != Kind::InPlace) return true;
    if (!unchanged(pass)) return false;
    pass.removed.try_emplace(position, PyRef::borrow(PyList_GET_ITEM(pass.list.object.get(), static_cast<Py_ssize_t>(position))));
    return true;
  }

  bool end_array(ArrayPass& pass, const std::vector<std::size_t>& removals, std::vector<Value>& appends);

  bool make(const JsonValue& value, Value& out) {
    out = kind_ == Kind::Dry ? PyRef::borrow(Py_None) : PyRef::steal(values_.convert(value));  // Dry: never written
    return static_cast<bool>(out);
  }
  bool make_stamped(const JsonValue& value, std::string_view serial, Value& out) {
    out = kind_ == Kind::Dry ? PyRef::borrow(Py_None) : PyRef::steal(values_.convert_stamped(value, serial));
    return static_cast<bool>(out);
  }
  bool changes_data() const { return kind_ != Kind::Dry; }
  bool to_value(const Member& current, JsonValue& out) const { return python_to_value(current.get(), out, removals()); }
  int equals(const Member& current, const JsonValue& expected) const {
    JsonValue value;
    if (!python_to_value(current.get(), value, removals())) return -1;
    return value == expected ? 1 : 0;
  }
  bool text_of(const Member& current, std::string& out) const {
    JsonValue value;
    if (!python_to_value(current.get(), value, removals())) return false;
    out = value.compact_text();
    return true;
  }

 private:
  const PendingRemovals* removals() const { return edit_ != nullptr ? &edit_->removals() : nullptr; }

  // The member of `dict` under `key` (text `text`), or an empty `out` when absent or removed. Fresh,
  // the dict is the call's normalised copy, whose keys are exact strs: no code runs. Dry, it is the
  // caller's, held by the pass: a key of the caller's with its own __eq__ may run it, and may raise.
  bool lookup(PyObject* dict, PyObject* key, std::string_view text, Member& out) const {
    if (edit_ != nullptr) return edit_->lookup(dict, key, text, out);
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr) return !PyErr_Occurred();
    out = PyRef::borrow(value);
    return true;
  }

  // The keys of a Move or Copy, and the member under `from` (empty when absent).
  bool source_member(ObjectPass& pass, std::string_view from, std::string_view to, PyRef& from_key, PyRef& to_key,
                     Member& value) {
    from_key = PyRef::steal(new_str(from));
    to_key = PyRef::steal(new_str(to));
    return from_key && to_key && lookup(pass.dict.object.get(), from_key.get(), from, value);
  }

  bool put_member(ObjectPass& pass, PyObject* key, std::string_view text, PyObject* value) {
    PyObject* dict = pass.dict.object.get();
    if (kind_ == Kind::Dry) return true;
    if (edit_ != nullptr) return edit_->put(dict, key, text, value);
    if (!pass.added) {
      if (PyDict_GetItemWithError(dict, key) == nullptr) {
        if (PyErr_Occurred()) return false;
        pass.added = true;
      }
    }
    return PyDict_SetItem(dict, key, value) == 0;
  }

  bool remove_member(ObjectPass& pass, PyObject* key, std::string_view text) {
    PyObject* dict = pass.dict.object.get();
    if (kind_ == Kind::Dry) return true;
    if (edit_ != nullptr) return edit_->remove(dict, key, text);
    if (PyDict_GetItemWithError(dict, key) == nullptr) return !PyErr_Occurred();
    return PyDict_DelItem(dict, key) == 0;
  }

  // Enters a container found at `slot`; in place, one referenced from elsewhere is first replaced
  // there by a copy of its own.
  bool enter(Slot slot, PyRef container, std::optional<Container>& out) {
    if (edit_ != nullptr && !edit_->own(slot, container)) return false;
    out = Container{std::move(container), std::move(slot)};
    return true;
  }

  // Whether the pass's list still has the length it had when the pass began.
  static bool unchanged(const ArrayPass& pass) {
    return PyList_GET_SIZE(pass.list.object.get()) == pass.length || list_changed_size();
  }

  // The element due for removal at `position`, if any, is now `element`.
  static void note_replaced(ArrayPass& pass, std::size_t position, PyObject* element) {
    if (pass.removed.empty()) return;
    if (auto it = pass.removed.find(position); it != pass.removed.end()) it->second = PyRef::borrow(element);
  }

  // The serial `element` carries, read by the conversion's rules: `has` is false for an element
  // that is no object or whose "_" is no str. `storage` keeps the text of a serial that had to be
  // converted.
  bool serial_of(PyObject* element, std::string_view& text, std::string& storage, bool& has) const;

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

  Kind kind_ = Kind::Fresh;
  CallerEdit* edit_ = nullptr;  // InPlace only
  PyRef root_;
  ToPython values_;  // makes the patch's values; they share one str per key (the patch outlives it)
};

bool PythonDocument::serial_of(PyObject* element, std::string_view& text, std::string& storage, bool& has) const {
  has = false;
  if (!PyDict_CheckExact(element)) {
    bool container = false;
    if (!reads_as_container(element, container)) return false;
    if (!container || !PyDict_Check(element)) return true;
  }
  Member serial;
  if (!lookup(element, serial_member(), kSerialMember, serial)) return false;
  if (!serial) return true;
  if (PyUnicode_CheckExact(serial.get())) {
    switch (read_text(serial.get(), text)) {
      case Text::Read: break;
      case Text::NotEncodable: return raise_unsupported();  // the conversion refuses it too
      case Text::Failed: return false;
    }
    storage.assign(text);  // the str may go when the element changes; the index copies what it keeps
    text = storage;
    has = true;
    return true;
  }
  JsonValue value;  // a subclass or a hook: read as the conversion reads it
  if (!python_to_value(serial.get(), value, removals())) return false;
  if (!value.is_string()) return true;
  storage = std::move(value.as_string());
  text = storage;
  has = true;
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
    bool has = false;
    if (!serial_of(element.get(), text, storage, has)) return false;
    if (has) out.add(text, static_cast<std::size_t>(i));
  }
  return true;
}

bool PythonDocument::end_array(ArrayPass& pass, const std::vector<std::size_t>& removals, std::vector<Value>& appends) {
  if (kind_ == Kind::Dry || (removals.empty() && appends.empty())) return true;
  PyObject* list = pass.list.object.get();
  const Container& c = pass.list;
  if (!unchanged(pass)) return false;
  PyRef tail;
  if (!appends.empty()) {
    tail = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(appends.size())));
    if (!tail) return false;
    for (std::size_t i = 0; i < appends.size(); ++i) PyList_SET_ITEM(tail.get(), static_cast<Py_ssize_t>(i), appends[i].release());
  }
  if (kind_ == Kind::InPlace) {
    // The allocation may have let a finalizer change the list: it must still hold what the pass saw.
    if (!unchanged(pass)) return false;
    for (const auto& [position, element] : pass.removed)
      if (PyList_GET_ITEM(list, static_cast<Py_ssize_t>(position)) != element.get())
        return raise_fatal_error("list changed while a patch was applied to it");
    return edit_->remove_and_append(list, removals, tail.get());
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

// Runs the walk, with `observer` if one is given: empty when it completed, else why it stopped. A
// patch error is not raised yet; the adapter's own failure is.
template <class Observer = NoObserver>
std::optional<ApplyStop> run_walk(const Patch& patch, PythonDocument& document, Observer* observer = nullptr) {
  return observer != nullptr ? ApplyWalk<PythonDocument, Observer>(document, *observer).run(patch, document.root())
                             : ApplyWalk<PythonDocument>(document).run(patch, document.root());
}

// Raises the patch error a stop of the walk holds (the adapter's own failure is raised already).
void raise_stop(const ApplyStop& stop) {
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

enum class Check { Yes, No, Failed };

// Whether `root`, an exact dict or list, converts to itself: exact built-in types only, ints in the
// signed 64-bit range, finite floats, strs (keys included) that encode, no deeper than the
// conversion accepts. Reads only, by exact type and never by lookup, so no Python code of the data
// runs; reading a str's UTF-8 may allocate, so everything read is held. Failed: an exception that
// must end the call (MemoryError) is set.
Check converts_to_itself(PyObject* root) {
  struct Frame {
    PyRef container;
    Py_ssize_t next;
  };
  const auto encodes = [](PyObject* str) {
    std::string_view text;
    switch (read_text(str, text)) {
      case Text::Read: return Check::Yes;
      case Text::NotEncodable: return Check::No;
      case Text::Failed: break;
    }
    return Check::Failed;
  };
  std::vector<Frame> frames;
  frames.push_back(Frame{PyRef::borrow(root), 0});
  while (!frames.empty()) {
    Frame& frame = frames.back();
    PyObject* container = frame.container.get();
    PyRef value;
    if (PyList_CheckExact(container)) {
      if (frame.next >= PyList_GET_SIZE(container)) {
        frames.pop_back();
        continue;
      }
      read_ahead_in_order(container, static_cast<std::size_t>(frame.next));
      value = PyRef::borrow(PyList_GET_ITEM(container, frame.next++));
    } else {
      PyObject* key = nullptr;
      PyObject* borrowed = nullptr;
      if (!PyDict_Next(container, &frame.next, &key, &borrowed)) {
        frames.pop_back();
        continue;
      }
      PyRef held_key = PyRef::borrow(key);
      value = PyRef::borrow(borrowed);
      if (!PyUnicode_CheckExact(key)) return Check::No;
      if (const Check k = encodes(key); k != Check::Yes) return k;
    }
    PyObject* v = value.get();
    PyTypeObject* type = Py_TYPE(v);
    if (type == &PyDict_Type || type == &PyList_Type) {
      if (frames.size() >= static_cast<std::size_t>(kMaxInputDepth)) return Check::No;
      frames.push_back(Frame{std::move(value), 0});
    } else if (type == &PyUnicode_Type) {
      if (const Check s = encodes(v); s != Check::Yes) return s;
    } else if (type == &PyLong_Type) {
      int overflow = 0;
      (void)PyLong_AsLongLongAndOverflow(v, &overflow);
      if (overflow != 0) return Check::No;
    } else if (type == &PyFloat_Type) {
      if (!std::isfinite(PyFloat_AS_DOUBLE(v))) return Check::No;
    } else if (v != Py_None && type != &PyBool_Type) {
      return Check::No;
    }
  }
  return Check::Yes;
}

}  // namespace

PyObject* apply_to_copy(const Patch& patch, PyObject* data) {
  PyRef copy = PyRef::steal(normalized_copy(data));
  if (!copy) return nullptr;
  if (!PyDict_CheckExact(copy.get()) && !PyList_CheckExact(copy.get())) return cannot_patch(), nullptr;
  PythonDocument document(copy.get());
  copy.reset();
  if (!walk(patch, document)) return nullptr;
  return document.take_root();
}

bool apply_touched(const Patch& patch, PyObject* data, std::vector<PyRef>& released) {
  bool container = false;
  if (!reads_as_container(data, container)) return false;  // as converting it would fail
  if (!container) return cannot_patch();
  CallerEdit edit;  // undoes every change if the application stops
  PythonDocument document(data, edit);
  return walk(patch, document) && edit.commit(released);
}

// What an observer of the applying walk, made by `make` for the document, records of `patch` on
// `data`, which it never writes. First without writing: each change is seen against the data as it
// was, which is exact while no member or element is reached twice in one pass. Where one is, it
// sees what the first change made of it, and so does every entry after it, whose patch error the
// dry walk may then get wrong: the application runs again on a private copy, made container by
// container as the walk changes them, so the caller's data, and any code of the data that runs
// meanwhile, sees nothing of it. Empty when the walk failed, with the Python exception set.
template <class Make>
auto observe_application(const Patch& patch, PyObject* data, const Make& make)
    -> std::optional<decltype(make(std::declval<PythonDocument&>()).take())> {
  {
    PythonDocument document(data, PythonDocument::Kind::Dry);
    auto observer = make(document);
    const std::optional<ApplyStop> stop = run_walk(patch, document, &observer);
    if (!observer.reached_twice()) {
      if (!stop) return observer.take();
      raise_stop(*stop);
      return std::nullopt;
    }
    if (stop && !std::holds_alternative<PatchError>(*stop)) return std::nullopt;  // the adapter's failure, raised
  }
  CallerEdit edit(CallerEdit::Mode::Private);
  PyRef root;
  if (!edit.copy_root(data, root)) return std::nullopt;
  PythonDocument document(root.get(), edit);
  auto observer = make(document);
  if (!walk(patch, document, &observer)) return std::nullopt;
  return observer.take();
}

PyObject* undo_patch(const Patch& patch, PyObject* data) {
  bool container = false;
  if (!reads_as_container(data, container)) return nullptr;
  if (!container) return cannot_patch(), nullptr;
  auto undo = observe_application(patch, data, [](PythonDocument& document) { return InverseBuilder<PythonDocument>(document); });
  if (!undo) return nullptr;
  if (!undo->ok()) return raise_inexpressible(undo->error()), nullptr;
  return wrap_patch(std::move(*undo).value());
}

PyObject* json_patch_operations(const Patch& patch, PyObject* data) {
  bool container = false;
  if (!reads_as_container(data, container)) return nullptr;
  if (!container) return cannot_patch(), nullptr;
  // The operations come from the patch's entries; the data only tells which members were there.
  auto written = observe_application(patch, data, [&patch](PythonDocument&) { return JsonPatchWriter<PythonDocument>(patch); });
  if (!written) return nullptr;
  if (!written->ok()) return raise_inexpressible(written->error()), nullptr;
  return operations_to_python(written->value());
}

bool apply_in_place(const Patch& patch, PyObject* data, std::vector<PyRef>& released) {
  if (PyDict_CheckExact(data) || PyList_CheckExact(data)) {
    switch (converts_to_itself(data)) {
      case Check::Yes: return apply_touched(patch, data, released);
      case Check::Failed: return false;
      case Check::No: break;
    }
  }
  // Something in `data` does not convert to itself (a subclass, a hook, a big int, NaN...): convert
  // it whole, apply, and put the result's contents in place of data's. Everything that can fail for
  // a reason other than memory happens before `data` is touched.
  JsonValue document;
  if (!python_to_value(data, document)) return false;
  // The converted value is already independent of `data`: it is patched directly, not copied again.
  if (const Status status = apply_to_document(patch, document); !status.ok())
    return raise_patch_error("Patch error: ", status.error());
  PyRef result = PyRef::steal(value_to_python(document));
  if (!result) return false;
  CallerEdit edit;
  return edit.replace_contents(data, result.get()) && edit.commit(released);
}

}  // namespace quillfen::py
