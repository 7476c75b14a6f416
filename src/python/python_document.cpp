#include "python/python_document.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "patch/apply_walk.h"
#include "python/convert.h"
#include "python/errors.h"

namespace quillfen::py {

namespace {

// The UTF-8 of a str, or none (with the error cleared) when it does not encode.
std::optional<std::string_view> utf8_of(PyObject* str) {
  std::string_view text;
  if (utf8_view(str, text)) return text;
  PyErr_Clear();
  return std::nullopt;
}

bool is_container(PyObject* obj) { return PyDict_CheckExact(obj) || PyList_CheckExact(obj); }

// A document of exact dicts and lists, patched where it stands. Two modes:
// - Fresh: the document is the caller's normalised copy, owned by nobody else. Removals happen at
//   once; a dict that gained keys has them put back in byte order when its pass ends.
// - InPlace: the document is the caller's own. Every change is logged and undone if the application
//   fails, so the caller's data is left exactly as it was, key order included: a removed member is
//   first only marked (its value becomes the deletion marker, which walks pass over), and removed
//   for good once everything has succeeded, when nothing can fail any more. A container reachable
//   from elsewhere (reference count above one) is replaced by a copy before it changes.
//
// The walk only ever enters exact dicts and lists. Python code may still run during an application
// (a finalizer that an allocation lets the collector run) and change the document; every access is
// therefore checked against the current state and holds what it uses.
class PythonDocument {
 public:
  enum class Mode { Fresh, InPlace };

  // Where a container sits in its parent, so that it can be replaced: a dict member (`key`) or a
  // list element (`index`); no parent for the root.
  struct Slot {
    PyRef parent;
    PyRef key;
    Py_ssize_t index = -1;
  };
  struct Container {
    PyRef object;
    Slot slot;
  };
  using Member = PyRef;
  using Value = PyRef;
  struct ObjectPass {
    Container dict;
    bool added = false;  // a key the dict did not hold was put in
  };

  PythonDocument(Mode mode, PyObject* root) : mode_(mode), root_(PyRef::borrow(root)) {}
  PythonDocument(const PythonDocument&) = delete;
  PythonDocument& operator=(const PythonDocument&) = delete;
  ~PythonDocument() {
    if (mode_ == Mode::InPlace && !committed_) roll_back();
  }

  Container root() const { return Container{PyRef::borrow(root_.get()), Slot{}}; }
  PyObject* take_root() { return root_.release(); }
  void use_root_index(SerialIndex index) { root_index_ = std::move(index); }

  // InPlace: makes the pending removals final. What the application replaced or removed goes to
  // `released`. Cannot fail.
  void commit(std::vector<PyRef>& released) noexcept;

  // The operations the applying walk asks for.

  static bool is_object(const Container& c) { return PyDict_CheckExact(c.object.get()); }
  static ObjectPass begin_object(Container c) { return ObjectPass{std::move(c), false}; }

  bool find(ObjectPass& pass, std::string_view key, Member& out) {
    PyRef k = PyRef::steal(new_str(key));
    return k && lookup(pass.dict.object.get(), k.get(), out);
  }

  bool put(ObjectPass& pass, std::string_view key, Value value) {
    PyRef k = PyRef::steal(new_str(key));
    return k && put_member(pass, k.get(), value.get());
  }

  bool remove(ObjectPass& pass, std::string_view key) {
    PyRef k = PyRef::steal(new_str(key));
    return k && remove_member(pass, k.get());
  }

  bool move_member(ObjectPass& pass, std::string_view from, std::string_view to) {
    PyRef from_key, to_key;
    Member value;
    if (!source_member(pass, from, to, from_key, to_key, value)) return false;
    return !value || (remove_member(pass, from_key.get()) && put_member(pass, to_key.get(), value.get()));
  }

  bool copy_member(ObjectPass& pass, std::string_view from, std::string_view to) {
    PyRef from_key, to_key;
    Member value;
    if (!source_member(pass, from, to, from_key, to_key, value)) return false;
    if (!value) return true;
    PyRef copy = PyRef::steal(normalized_copy(value.get()));
    return copy && put_member(pass, to_key.get(), copy.get());
  }

  bool enter_member(ObjectPass& pass, std::string_view key, std::optional<Container>& out) {
    PyRef k = PyRef::steal(new_str(key));
    Member value;
    if (!k || !lookup(pass.dict.object.get(), k.get(), value)) return false;
    if (!value || !is_container(value.get())) return true;
    Slot slot{PyRef::borrow(pass.dict.object.get()), std::move(k), -1};
    return enter(std::move(slot), std::move(value), out);
  }

  bool end_object(ObjectPass& pass, bool completed) {
    if (mode_ == Mode::Fresh && completed && pass.added) return sort_keys(pass.dict);
    return true;
  }

  static std::size_t length(Container& c) { return static_cast<std::size_t>(PyList_GET_SIZE(c.object.get())); }

  bool index_serials(Container& c, bool top, SerialIndex& out);

  bool element(Container& c, std::size_t position, Member& out) {
    PyObject* list = c.object.get();
    if (!in_bounds(list, position)) return false;
    out = PyRef::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(position)));
    return true;
  }

  bool replace(Container& c, std::size_t position, Value value) {
    return set_element(c.object.get(), static_cast<Py_ssize_t>(position), std::move(value));
  }

  bool enter_element(Container& c, std::size_t position, std::optional<Container>& out) {
    Member element;
    if (!this->element(c, position, element)) return false;
    if (!is_container(element.get())) return true;
    Slot slot{PyRef::borrow(c.object.get()), PyRef(), static_cast<Py_ssize_t>(position)};
    return enter(std::move(slot), std::move(element), out);
  }

  bool end_array(Container& c, const std::vector<std::size_t>& removals, std::vector<Value>& appends);

  bool make(const JsonValue& value, Value& out) {
    out = PyRef::steal(values_.convert(value));
    return static_cast<bool>(out);
  }
  bool make_stamped(const JsonValue& value, std::string_view serial, Value& out) {
    out = PyRef::steal(values_.convert_stamped(value, serial));
    return static_cast<bool>(out);
  }
  static int equals(const Member& current, const JsonValue& expected) {
    JsonValue value;
    if (!python_to_value(current.get(), value)) return -1;
    return value == expected ? 1 : 0;
  }
  static bool text_of(const Member& current, std::string& out) {
    JsonValue value;
    if (!python_to_value(current.get(), value)) return false;
    out = value.compact_text();
    return true;
  }

 private:
  // One logged change: `container[key]` (a dict) or `container[index]` (a list) held kept_[old]
  // before; kNoOld in a dict means the key was absent.
  static constexpr std::size_t kNoOld = ~std::size_t{0};
  struct Change {
    PyRef container;
    PyRef key;
    Py_ssize_t index;
    std::size_t old;
  };

  // The member under `key`, or an empty `out` when absent (or only marked removed).
  static bool lookup(PyObject* dict, PyObject* key, Member& out) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr) return !PyErr_Occurred();
    if (value != deletion_marker()) out = PyRef::borrow(value);
    return true;
  }

  // The keys of a Move or Copy, and the member under `from` (empty when absent).
  static bool source_member(ObjectPass& pass, std::string_view from, std::string_view to, PyRef& from_key, PyRef& to_key,
                            Member& value) {
    from_key = PyRef::steal(new_str(from));
    to_key = PyRef::steal(new_str(to));
    return from_key && to_key && lookup(pass.dict.object.get(), from_key.get(), value);
  }
  bool put_member(ObjectPass& pass, PyObject* key, PyObject* value);
  bool remove_member(ObjectPass& pass, PyObject* key);
  // Enters a container found at `slot`; InPlace, one referenced from elsewhere is first replaced
  // there by a copy of its own.
  bool enter(Slot slot, PyRef container, std::optional<Container>& out);
  // Puts `value` at `slot` of its parent, logged.
  bool put_at(const Slot& slot, PyRef value);
  bool set_element(PyObject* list, Py_ssize_t index, PyRef value);
  // Appends to a list the walk owns (Fresh), or to the caller's root list as the last change of all.
  static bool append_all(Container& c, std::vector<Value>& appends);
  // Fresh: puts the dict's keys back in byte order after a pass added some.
  bool sort_keys(const Container& c);

  static bool in_bounds(PyObject* list, std::size_t position) {
    if (position < static_cast<std::size_t>(PyList_GET_SIZE(list))) return true;
    return raise_fatal_error("list changed size while a patch was applied to it");
  }

  // Room for one more logged change, made before the change so that logging it cannot fail.
  void reserve_change() {
    if (undo_.size() == undo_.capacity()) undo_.reserve(undo_.size() * 2 + 16);
    reserve_kept(1);
  }
  void reserve_kept(std::size_t more) {
    if (kept_.size() + more > kept_.capacity()) kept_.reserve(std::max(kept_.size() * 2 + 16, kept_.size() + more));
  }
  void log(PyObject* container, PyObject* key, Py_ssize_t index, PyRef old) noexcept {
    std::size_t at = kNoOld;
    if (old) {
      at = kept_.size();
      kept_.push_back(std::move(old));
    }
    undo_.push_back(Change{PyRef::borrow(container), PyRef::borrow(key), index, at});
  }

  void roll_back() noexcept;

  Mode mode_;
  PyRef root_;
  ToPython values_;  // makes the patch's values; they share one str per key (the patch outlives it)
  bool committed_ = false;
  std::optional<SerialIndex> root_index_;
  // InPlace only:
  std::vector<Change> undo_;                     // every change, in the order made
  std::vector<PyRef> kept_;                      // what the changes replaced or removed, held until the end
  std::vector<std::pair<PyRef, PyRef>> marked_;  // (dict, key) whose value is the deletion marker
};

bool PythonDocument::put_member(ObjectPass& pass, PyObject* key, PyObject* value) {
  PyObject* dict = pass.dict.object.get();
  PyObject* held = PyDict_GetItemWithError(dict, key);
  if (held == nullptr && PyErr_Occurred()) return false;
  if (held == nullptr) pass.added = true;
  if (mode_ == Mode::Fresh) return PyDict_SetItem(dict, key, value) == 0;
  PyRef old = PyRef::borrow(held);
  reserve_change();
  if (PyDict_SetItem(dict, key, value) != 0) return false;
  log(dict, key, -1, std::move(old));
  return true;
}

bool PythonDocument::remove_member(ObjectPass& pass, PyObject* key) {
  PyObject* dict = pass.dict.object.get();
  PyObject* held = PyDict_GetItemWithError(dict, key);
  if (held == nullptr) return !PyErr_Occurred();
  if (mode_ == Mode::Fresh) return PyDict_DelItem(dict, key) == 0;
  if (held == deletion_marker()) return true;
  PyRef old = PyRef::borrow(held);
  reserve_change();
  if (marked_.size() == marked_.capacity()) marked_.reserve(marked_.size() * 2 + 16);
  if (PyDict_SetItem(dict, key, deletion_marker()) != 0) return false;  // the key is held: nothing to allocate
  log(dict, key, -1, std::move(old));
  marked_.emplace_back(PyRef::borrow(dict), PyRef::borrow(key));
  return true;
}

bool PythonDocument::enter(Slot slot, PyRef container, std::optional<Container>& out) {
  // One reference is the parent's; `container` holds another.
  if (mode_ == Mode::InPlace && Py_REFCNT(container.get()) > 2) {
    PyRef copy;
    if (PyDict_CheckExact(container.get())) {
      copy = PyRef::steal(PyDict_Copy(container.get()));
      // Members this application marked removed are not carried into the copy, which then stands
      // where the marked dict stood: the marks stay behind with the original.
      if (copy && !marked_.empty()) {
        std::vector<PyRef> marked_keys;
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(copy.get(), &pos, &key, &value))
          if (value == deletion_marker()) marked_keys.push_back(PyRef::borrow(key));
        for (const PyRef& k : marked_keys)
          if (PyDict_DelItem(copy.get(), k.get()) != 0) return false;
      }
    } else {
      copy = PyRef::steal(PyList_GetSlice(container.get(), 0, PY_SSIZE_T_MAX));
    }
    if (!copy || !put_at(slot, PyRef::borrow(copy.get()))) return false;
    container = std::move(copy);
  }
  out = Container{std::move(container), std::move(slot)};
  return true;
}

bool PythonDocument::put_at(const Slot& slot, PyRef value) {
  PyObject* parent = slot.parent.get();
  if (slot.key) {
    PyObject* held = PyDict_GetItemWithError(parent, slot.key.get());
    if (held == nullptr && PyErr_Occurred()) return false;
    if (mode_ == Mode::Fresh) return PyDict_SetItem(parent, slot.key.get(), value.get()) == 0;
    PyRef old = PyRef::borrow(held);
    reserve_change();
    if (PyDict_SetItem(parent, slot.key.get(), value.get()) != 0) return false;
    log(parent, slot.key.get(), -1, std::move(old));
    return true;
  }
  return set_element(parent, slot.index, std::move(value));
}

bool PythonDocument::set_element(PyObject* list, Py_ssize_t index, PyRef value) {
  if (!in_bounds(list, static_cast<std::size_t>(index))) return false;
  if (mode_ == Mode::InPlace) {
    reserve_change();
    log(list, nullptr, index, PyRef::borrow(PyList_GET_ITEM(list, index)));  // held: SetItem drops the list's reference
  }
  PyList_SetItem(list, index, value.release());  // cannot fail for an index in bounds
  return true;
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
    std::optional<std::string_view> text = utf8_of(key);  // keys of a normalised document are strs that encode
    if (!text) return raise_unsupported();
    members.push_back(DictMember{*text, std::move(held_key), PyRef::borrow(value)});
  }
  // A new dict in place of the old: the keys the old one held before the pass are in order and the
  // new ones follow in the order they came, so sorting costs little.
  PyRef sorted = PyRef::steal(dict_in_key_order(members.data(), members.data() + members.size()));
  if (!sorted) return false;
  if (!c.slot.parent) {
    root_ = std::move(sorted);
    return true;
  }
  return put_at(c.slot, std::move(sorted));
}

bool PythonDocument::index_serials(Container& c, bool top, SerialIndex& out) {
  if (top && root_index_) {  // built by the check of the caller's document
    out = std::move(*root_index_);
    root_index_.reset();
    return true;
  }
  PyObject* list = c.object.get();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* element = PyList_GET_ITEM(list, i);
    if (!PyDict_CheckExact(element)) continue;
    PyObject* serial = PyDict_GetItemWithError(element, serial_member());  // str keys: no Python code runs
    if (serial == nullptr) {
      if (PyErr_Occurred()) return false;
      continue;
    }
    if (!PyUnicode_CheckExact(serial)) continue;
    std::string_view text;
    if (!utf8_view(serial, text)) return false;
    out.add(text, static_cast<std::size_t>(i));
  }
  return true;
}

bool PythonDocument::end_array(Container& c, const std::vector<std::size_t>& removals, std::vector<Value>& appends) {
  if (removals.empty() && appends.empty()) return true;
  PyObject* list = c.object.get();
  const auto size = static_cast<std::size_t>(PyList_GET_SIZE(list));
  if (!removals.empty() && !in_bounds(list, removals.back())) return false;
  if (removals.empty() && (mode_ == Mode::Fresh || !c.slot.parent)) return append_all(c, appends);
  PyRef result = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size - removals.size() + appends.size())));
  if (!result) return false;
  Py_ssize_t filled = 0;
  auto removal = removals.begin();
  for (std::size_t i = 0; i < size; ++i) {
    if (removal != removals.end() && *removal == i) {
      ++removal;
      continue;
    }
    PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
    Py_INCREF(item);
    PyList_SET_ITEM(result.get(), filled++, item);
  }
  for (Value& value : appends) PyList_SET_ITEM(result.get(), filled++, value.release());
  if (c.slot.parent) return put_at(c.slot, std::move(result));  // InPlace, logged: undone by putting the old list back
  if (mode_ == Mode::Fresh) {
    root_ = std::move(result);
    return true;
  }
  // The caller's own list, changed last of all: nothing fails after this. The elements it loses are
  // held until the caller has given back its access.
  reserve_kept(removals.size());
  const std::size_t kept = kept_.size();
  for (std::size_t i : removals) kept_.push_back(PyRef::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i))));
  if (PyList_SetSlice(list, 0, PY_SSIZE_T_MAX, result.get()) == 0) return true;
  kept_.resize(kept);
  return false;
}

bool PythonDocument::append_all(Container& c, std::vector<Value>& appends) {
  PyRef tail = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(appends.size())));
  if (!tail) return false;
  for (std::size_t i = 0; i < appends.size(); ++i) PyList_SET_ITEM(tail.get(), static_cast<Py_ssize_t>(i), appends[i].release());
  const Py_ssize_t size = PyList_GET_SIZE(c.object.get());
  return PyList_SetSlice(c.object.get(), size, size, tail.get()) == 0;  // the whole tail, or nothing
}

void PythonDocument::commit(std::vector<PyRef>& released) noexcept {
  for (const auto& [dict, key] : marked_) {
    // Removing a key allocates nothing; one no longer marked was put back by a later entry.
    PyObject* value = PyDict_GetItemWithError(dict.get(), key.get());
    if (value == deletion_marker() && PyDict_DelItem(dict.get(), key.get()) != 0) PyErr_Clear();
    if (value == nullptr) PyErr_Clear();
  }
  released = std::move(kept_);
  committed_ = true;
}

void PythonDocument::roll_back() noexcept {
  SavedError failure;  // the failure that stopped the application is the one reported
  for (auto change = undo_.rbegin(); change != undo_.rend(); ++change) {
    PyObject* container = change->container.get();
    if (change->key) {
      // Putting back a value under a key the dict holds, or removing a key it gained, allocates nothing.
      const int rc = change->old != kNoOld ? PyDict_SetItem(container, change->key.get(), kept_[change->old].get())
                                           : PyDict_DelItem(container, change->key.get());
      if (rc != 0) PyErr_Clear();
    } else if (change->index < PyList_GET_SIZE(container)) {
      PyList_SetItem(container, change->index, kept_[change->old].release());
    }
  }
  undo_.clear();
  kept_.clear();
}

}  // namespace

PyObject* apply_to_copy(const Patch& patch, PyObject* data) {
  PyRef copy = PyRef::steal(normalized_copy(data));
  if (!copy) return nullptr;
  if (!is_container(copy.get())) {
    raise_patch_error("Patch error: ", PatchError::invalid_operation("Can only patch objects and arrays"));
    return nullptr;
  }
  PythonDocument document(PythonDocument::Mode::Fresh, copy.get());
  copy.reset();
  if (std::optional<ApplyStop> stop = ApplyWalk<PythonDocument>(document).run(patch, document.root())) {
    if (const PatchError* error = std::get_if<PatchError>(&*stop)) raise_patch_error("Patch error: ", *error);
    return nullptr;
  }
  return document.take_root();
}

namespace {

// Whether `root`, an exact dict or list, converts to itself: exact built-in types only, ints in the
// signed 64-bit range, finite floats, strs (keys included) that encode, no deeper than the
// conversion accepts. Reads only; runs no Python code. For a list root, the serials of its elements
// go into `index` on the way.
bool converts_to_itself(PyObject* root, SerialIndex& index) {
  struct Frame {
    PyObject* container;  // borrowed: nothing runs that could drop it
    Py_ssize_t next;
  };
  std::vector<Frame> frames{{root, 0}};
  const bool wants_serials = PyList_CheckExact(root) && !index.looks_for_nothing();
  while (!frames.empty()) {
    Frame& frame = frames.back();
    PyObject* value = nullptr;
    if (PyList_CheckExact(frame.container)) {
      if (frame.next == PyList_GET_SIZE(frame.container)) {
        frames.pop_back();
        continue;
      }
      value = PyList_GET_ITEM(frame.container, frame.next++);
      if (wants_serials && frames.size() == 1 && PyDict_CheckExact(value)) {  // an element of the root list: its serial
        PyObject* serial = PyDict_GetItemWithError(value, serial_member());  // str keys: no Python code runs
        if (serial == nullptr && PyErr_Occurred()) {
          PyErr_Clear();
          return false;
        }
        if (serial != nullptr && PyUnicode_CheckExact(serial)) {
          std::optional<std::string_view> text = utf8_of(serial);
          if (!text) return false;
          index.add(*text, static_cast<std::size_t>(frame.next - 1));
        }
      }
    } else {
      PyObject* key = nullptr;
      if (!PyDict_Next(frame.container, &frame.next, &key, &value)) {
        frames.pop_back();
        continue;
      }
      if (!PyUnicode_CheckExact(key) || !utf8_of(key)) return false;
    }
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyDict_Type || type == &PyList_Type) {
      if (frames.size() >= static_cast<std::size_t>(kMaxInputDepth)) return false;
      frames.push_back(Frame{value, 0});
    } else if (type == &PyUnicode_Type) {
      if (!utf8_of(value)) return false;
    } else if (type == &PyLong_Type) {
      int overflow = 0;
      (void)PyLong_AsLongLongAndOverflow(value, &overflow);
      if (overflow != 0) return false;
    } else if (type == &PyFloat_Type) {
      if (!std::isfinite(PyFloat_AS_DOUBLE(value))) return false;
    } else if (value != Py_None && type != &PyBool_Type) {
      return false;
    }
  }
  return true;
}

}  // namespace

InPlace apply_in_place(const Patch& patch, PyObject* data, std::vector<PyRef>& released) {
  if (!is_container(data)) return InPlace::NotItsOwn;
  const std::vector<std::string_view> serial_keys = ApplyWalk<PythonDocument>::top_serial_keys(patch);
  SerialIndex index(serial_keys);
  if (!converts_to_itself(data, index)) return InPlace::NotItsOwn;
  PythonDocument document(PythonDocument::Mode::InPlace, data);
  if (PyList_CheckExact(data)) document.use_root_index(std::move(index));
  if (std::optional<ApplyStop> stop = ApplyWalk<PythonDocument>(document).run(patch, document.root())) {
    if (const PatchError* error = std::get_if<PatchError>(&*stop)) raise_patch_error("Patch error: ", *error);
    return InPlace::Failed;  // the document rolls the changes back as it goes
  }
  document.commit(released);
  return InPlace::Applied;
}

}  // namespace quillfen::py
