#include "python/python_json_patch.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "patch/json_patch_walk.h"
#include "python/caller_edit.h"
#include "python/convert.h"
#include "python/errors.h"

namespace quillfen::py {

namespace {

bool changed_under_call() { return raise_fatal_error("the data changed while a patch was applied to it"); }
bool list_changed_size() { return raise_fatal_error("list changed size while a patch was applied to it"); }

bool cannot_patch() {
  return raise_patch_error("Patch error: ", PatchError::invalid_operation("Can only patch objects and arrays"));
}

bool is_container(PyObject* obj) { return PyDict_Check(obj) || PyList_Check(obj); }

// The documents of the format walks: Python dicts and lists, patched where they stand. Two kinds:
// - Fresh: the call's own normalised copy (exact dicts and lists, exact immutable scalars), owned by
//   nobody else, changed directly. The whole document may become another value.
// - In place: the caller's data, written through a CallerEdit, which undoes everything if the walk
//   stops. What a walk reaches is read by the conversion's rules; a container about to change (or
//   to have something inside it changed) is first made the data's own (CallerEdit::own). A list
//   changed in structure is changed as a private copy (CallerEdit::private_list). The root list
//   keeps its identity: appends wait in a tail of new elements, and the first other change of
//   structure makes a private copy of all of it; either is put in at commit, while reads of the root
//   go to it meanwhile.
//
// Python code may run during a walk (a hook of the data, or a finalizer that an allocation lets the
// collector run) and change the caller's data: every access holds what it uses and checks lengths
// and positions again, and data found changed under the call ends it with the module's fatal error.
class FormatDocument {
 public:
  using Slot = CallerEdit::Slot;
  struct Node {
    PyRef object;
    Slot slot;  // where it sits, for making it the data's own; the root has no parent
    bool root = false;
  };
  using Value = PyRef;

  explicit FormatDocument(PyRef copy) : root_(std::move(copy)) {}
  FormatDocument(PyObject* data, CallerEdit& edit)
      : edit_(&edit), root_(PyRef::borrow(data)), root_list_(PyList_Check(data)), root_length_(root_list_ ? PyList_GET_SIZE(data) : 0) {}
  FormatDocument(const FormatDocument&) = delete;
  FormatDocument& operator=(const FormatDocument&) = delete;

  PyObject* take_root() { return root_.release(); }

  // In place: puts the root list's new contents in and commits the edit.
  bool commit(std::vector<PyRef>& released) {
    if (root_list_) {
      if (!root_unchanged()) return false;
      if (mode_ == RootList::Tail && !edit_->set_root_list(root_.get(), std::move(tail_), true)) return false;
      if (mode_ == RootList::Private && !edit_->set_root_list(root_.get(), std::move(private_), false)) return false;
    }
    released.reserve(released.size() + kept_.size());
    for (PyRef& ref : kept_) released.push_back(std::move(ref));
    return edit_->commit(released);
  }

  // The operations the walks ask for.

  Node root() const { return Node{PyRef::borrow(root_.get()), Slot{}, true}; }

  static bool kind(const Node& node, NodeKind& out) {
    PyObject* obj = node.object.get();
    bool container = false;
    if (!reads_as_container(obj, container)) return false;
    out = !container ? NodeKind::Scalar : PyDict_Check(obj) ? NodeKind::Object : NodeKind::Array;
    return true;
  }

  bool member(const Node& node, std::string_view key, bool for_write, std::optional<Node>& out) {
    PyObject* dict = node.object.get();
    if (!PyDict_Check(dict)) return changed_under_call();
    PyRef k = key_str(key);
    PyRef value;
    if (!k || !lookup(dict, k.get(), key, value)) return false;
    if (!value) return true;
    Slot slot{PyRef::borrow(dict), std::move(k), -1};
    if (for_write && !make_own(slot, value)) return false;
    out = Node{std::move(value), std::move(slot), false};
    return true;
  }

  bool length(const Node& node, std::size_t& out) {
    if (node.root && root_list_) {
      if (!root_unchanged()) return false;
      out = static_cast<std::size_t>(root_elements());
      return true;
    }
    if (!PyList_Check(node.object.get())) return changed_under_call();
    out = static_cast<std::size_t>(PyList_GET_SIZE(node.object.get()));
    return true;
  }

  bool element(const Node& node, std::size_t index, bool for_write, Node& out) {
    PyObject* list = nullptr;
    Py_ssize_t i = 0;
    if (!place(node, index, list, i)) return false;
    PyRef item = PyRef::borrow(PyList_GET_ITEM(list, i));
    Slot slot{PyRef::borrow(list), PyRef(), i};
    if (for_write && !make_own(slot, item)) return false;
    out = Node{std::move(item), std::move(slot), false};
    return true;
  }

  bool put(const Node& node, std::string_view key, Value value) {
    PyObject* dict = node.object.get();
    if (!PyDict_Check(dict)) return changed_under_call();
    PyRef k = key_str(key);
    if (!k) return false;
    if (edit_ != nullptr) return edit_->put(dict, k.get(), key, value.get());
    return PyDict_SetItem(dict, k.get(), value.get()) == 0;
  }

  bool remove_member(const Node& node, std::string_view key, Value* taken) {
    PyObject* dict = node.object.get();
    if (!PyDict_Check(dict)) return changed_under_call();
    PyRef k = key_str(key);
    if (!k) return false;
    if (taken != nullptr) {
      if (!lookup(dict, k.get(), key, *taken)) return false;
      if (!*taken) return changed_under_call();  // the walk found it present
    }
    if (edit_ != nullptr) return edit_->remove(dict, k.get(), key);
    return PyDict_DelItem(dict, k.get()) == 0;  // Fresh: the call's own objects, whose release runs no code
  }

  bool insert(const Node& node, std::size_t index, Value value) {
    PyRef list;
    if (node.root && root_list_) return root_insert(index, std::move(value));
    if (!restructured(node, list)) return false;
    if (static_cast<Py_ssize_t>(index) > PyList_GET_SIZE(list.get())) return list_changed_size();
    return PyList_Insert(list.get(), static_cast<Py_ssize_t>(index), value.get()) == 0;
  }

  bool replace(const Node& node, std::size_t index, Value value) {
    PyObject* list = nullptr;
    Py_ssize_t i = 0;
    if (!place(node, index, list, i)) return false;
    if (edit_ == nullptr || edit_->is_private(list) || list == tail_.get() || list == private_.get()) return set_item(list, i, std::move(value));
    return edit_->replace_element(list, i, value.get());  // the caller's list, made the data's own on the way down
  }

  bool remove_element(const Node& node, std::size_t index, Value* taken) {
    PyRef list;
    if (node.root && root_list_) {
      if (!make_root_private()) return false;
      list = PyRef::borrow(private_.get());
    } else if (!restructured(node, list)) {
      return false;
    }
    const auto i = static_cast<Py_ssize_t>(index);
    if (i >= PyList_GET_SIZE(list.get())) return list_changed_size();
    PyRef item = PyRef::borrow(PyList_GET_ITEM(list.get(), i));
    if (PyList_SetSlice(list.get(), i, i + 1, nullptr) != 0) return false;
    if (taken == nullptr) return keep(std::move(item));
    *taken = std::move(item);
    return true;
  }

  bool replace_root(Value value, bool& refused) {
    if (edit_ == nullptr) {
      root_ = std::move(value);
      return true;
    }
    PyObject* v = value.get();
    bool container = false;
    if (!reads_as_container(v, container)) return false;
    const bool dict_root = PyDict_Check(root_.get());
    if (!container || (dict_root ? !PyDict_Check(v) : !PyList_Check(v))) {
      refused = true;
      return true;
    }
    if (dict_root) return replace_members(v);
    if (!root_unchanged()) return false;
    private_ = PyRef::steal(edit_->private_list(v));
    tail_.reset();
    mode_ = RootList::Private;
    return static_cast<bool>(private_);
  }

  bool make(const JsonValue& value, Value& out) {
    out = PyRef::steal(values_.convert(value));
    return static_cast<bool>(out);
  }

  bool copy(const Node& node, Value& out) {
    PyRef source;
    if (!view(node, source)) return false;
    out = PyRef::steal(normalized_copy(source.get(), removals()));
    return static_cast<bool>(out);
  }

  int equals(const Node& node, const JsonValue& expected) {
    JsonValue value;
    if (!read(node, value)) return -1;
    return equal_by_value(value, expected) ? 1 : 0;
  }

  bool text_of(const Node& node, std::string& out) {
    JsonValue value;
    if (!read(node, value)) return false;
    out = value.compact_text();
    return true;
  }

 private:
  enum class RootList : std::uint8_t { Direct, Tail, Private };

  const PendingRemovals* removals() const { return edit_ != nullptr ? &edit_->removals() : nullptr; }

  // The str of `key`. An operation looks a key up and then changes the member under it: the last
  // str made is kept for the same text, which the walks pass from their operations and patches,
  // alive for the whole call. A new reference, or null with a Python exception set.
  PyRef key_str(std::string_view key) {
    if (!last_key_ || key.data() != last_text_.data() || key.size() != last_text_.size()) {
      last_key_ = PyRef::steal(new_str(key));
      last_text_ = key;
    }
    return PyRef::borrow(last_key_.get());
  }

  bool lookup(PyObject* dict, PyObject* key, std::string_view text, PyRef& out) const {
    if (edit_ != nullptr) return edit_->lookup(dict, key, text, out);
    PyObject* value = PyDict_GetItemWithError(dict, key);  // a normalised copy: exact str keys only
    if (value == nullptr) return !PyErr_Occurred();
    out = PyRef::borrow(value);
    return true;
  }

  // In place: a container about to change, found at `slot`, becomes the data's own.
  bool make_own(const Slot& slot, PyRef& value) { return edit_ == nullptr || !is_container(value.get()) || edit_->own(slot, value); }

  // Holds what a change took out of the document until the call ends: dropping it now could run a
  // finalizer in the middle of the walk.
  bool keep(PyRef old) {
    if (edit_ != nullptr) kept_.push_back(std::move(old));
    return true;
  }

  bool set_item(PyObject* list, Py_ssize_t i, PyRef value) {
    if (i >= PyList_GET_SIZE(list)) return list_changed_size();
    PyRef old = PyRef::borrow(PyList_GET_ITEM(list, i));
    PyList_SetItem(list, i, value.release());  // in bounds: cannot fail
    return keep(std::move(old));
  }

  // The list that holds element `index` of the array `node`, and its position there, checked
  // against the list's current length.
  bool place(const Node& node, std::size_t index, PyObject*& list, Py_ssize_t& i) {
    list = node.object.get();
    i = static_cast<Py_ssize_t>(index);
    if (node.root && root_list_) {
      if (!root_unchanged()) return false;
      if (mode_ == RootList::Private) {
        list = private_.get();
      } else if (mode_ == RootList::Tail && i >= root_length_) {
        list = tail_.get();
        i -= root_length_;
      }
    } else if (!PyList_Check(list)) {
      return changed_under_call();
    }
    return i < PyList_GET_SIZE(list) || list_changed_size();
  }

  // The list of `node` (no root) ready for a change of structure: in place, a private copy.
  bool restructured(const Node& node, PyRef& out) {
    PyObject* list = node.object.get();
    if (!PyList_Check(list)) return changed_under_call();
    if (edit_ == nullptr || edit_->is_private(list)) {
      out = PyRef::borrow(list);
      return true;
    }
    PyRef copy = PyRef::steal(edit_->private_list(list));
    if (!copy || !edit_->replace_at(node.slot, list, copy.get())) return false;
    out = std::move(copy);
    return true;
  }

  // In place: the number of elements the root list has in this edit.
  Py_ssize_t root_elements() const {
    switch (mode_) {
      case RootList::Direct: break;
      case RootList::Tail: return root_length_ + PyList_GET_SIZE(tail_.get());
      case RootList::Private: return PyList_GET_SIZE(private_.get());
    }
    return root_length_;
  }

  // Whether the caller's root list still has its length: its new contents go in at commit.
  bool root_unchanged() const { return PyList_GET_SIZE(root_.get()) == root_length_ || list_changed_size(); }

  bool root_insert(std::size_t index, PyRef value) {
    if (!root_unchanged()) return false;
    if (mode_ != RootList::Private && index == static_cast<std::size_t>(root_elements())) {
      if (!tail_) tail_ = PyRef::steal(PyList_New(0));
      if (!tail_ || PyList_Append(tail_.get(), value.get()) != 0) return false;
      mode_ = RootList::Tail;
      return true;
    }
    if (!make_root_private()) return false;
    if (static_cast<Py_ssize_t>(index) > PyList_GET_SIZE(private_.get())) return list_changed_size();
    return PyList_Insert(private_.get(), static_cast<Py_ssize_t>(index), value.get()) == 0;
  }

  // The root list's contents from now on: its elements, then the tail.
  bool make_root_private() {
    if (mode_ == RootList::Private) return true;
    PyRef copy = PyRef::steal(edit_->private_list(root_.get()));
    if (!copy || !root_unchanged()) return false;
    if (mode_ == RootList::Tail) {
      const Py_ssize_t end = PyList_GET_SIZE(copy.get());
      if (PyList_SetSlice(copy.get(), end, end, tail_.get()) != 0) return false;
      tail_.reset();
    }
    private_ = std::move(copy);
    mode_ = RootList::Private;
    return true;
  }

  // The object that holds what `node` reads as: for the root list in place, its contents in this edit.
  bool view(const Node& node, PyRef& out) {
    if (node.root && root_list_ && mode_ != RootList::Direct) {
      if (!make_root_private()) return false;
      out = PyRef::borrow(private_.get());
      return true;
    }
    out = PyRef::borrow(node.object.get());
    return true;
  }

  bool read(const Node& node, JsonValue& out) {
    PyRef source;
    return view(node, source) && python_to_value(source.get(), out, removals());
  }

  // In place: the root dict gets the members of `dict` (as the edit sees them) in place of its own.
  bool replace_members(PyObject* dict);

  CallerEdit* edit_ = nullptr;  // null: Fresh
  PyRef root_;
  // In place, for a root list: how its new contents are kept until commit.
  bool root_list_ = false;
  RootList mode_ = RootList::Direct;
  Py_ssize_t root_length_ = 0;  // the caller's root list's length, which nothing may change
  PyRef tail_;                  // Tail: the elements appended after the root's own
  PyRef private_;               // Private: the root's whole new contents
  std::vector<PyRef> kept_;     // In place: what changes of private lists took out
  ToPython values_;             // makes the values written; they share one str per key
  PyRef last_key_;              // key_str's last str, and the text it was made of
  std::string_view last_text_;
};

// A dict member read for copying: the key, its text (alive as long as the key) and the value.
struct ReadMember {
  PyRef key;
  std::string_view text;
  PyRef value;
};

// The members of `dict` that the edit has not removed. A key that is no str is refused as the
// conversion refuses it. False with a Python exception set.
bool read_members(PyObject* dict, const PendingRemovals& removals, std::vector<ReadMember>& out) {
  PyRef held = PyRef::borrow(dict);
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  out.reserve(static_cast<std::size_t>(size));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    ReadMember member{PyRef::borrow(key), {}, PyRef::borrow(value)};
    if (!PyUnicode_Check(key)) return raise_cannot_convert(key, "PyString");
    if (!utf8_view(key, member.text)) return false;
    if (PyDict_GET_SIZE(dict) != size) return changed_under_call();  // encoding may have allocated
    if (!removals.contains(dict, member.text)) out.push_back(std::move(member));
  }
  return true;
}

bool FormatDocument::replace_members(PyObject* dict) {
  PyObject* root = root_.get();
  std::vector<ReadMember> wanted;
  std::vector<ReadMember> held;
  if (!read_members(dict, edit_->removals(), wanted) || !read_members(root, edit_->removals(), held)) return false;
  std::unordered_set<std::string_view> kept;
  for (const ReadMember& m : wanted) kept.insert(m.text);
  for (ReadMember& m : wanted) {
    PyRef key = PyUnicode_CheckExact(m.key.get()) ? PyRef::borrow(m.key.get()) : PyRef::steal(new_str(m.text));
    if (!key || !edit_->put(root, key.get(), m.text, m.value.get())) return false;
  }
  for (ReadMember& m : held)
    if (kept.count(m.text) == 0 && !edit_->remove(root, m.key.get(), m.text)) return false;
  return true;
}

// Raises what stopped a walk, unless the adapter raised it already. True when nothing did.
bool finished(const std::optional<FormatStop>& stop) {
  if (!stop) return true;
  if (const JsonPatchError* error = std::get_if<JsonPatchError>(&*stop)) raise_json_patch_error(*error);
  return false;
}

// The keys of an operation dict, made on first use and kept for the process (the module lives in
// one interpreter); null with a Python exception set where making them failed.
struct OperationKeys {
  PyObject* op;
  PyObject* path;
  PyObject* from;
  PyObject* value;
};
const OperationKeys* operation_keys() {
  static OperationKeys keys{};
  for (auto [slot, text] : {std::pair{&keys.op, "op"}, {&keys.path, "path"}, {&keys.from, "from"}, {&keys.value, "value"}})
    if (*slot == nullptr && (*slot = PyUnicode_InternFromString(text)) == nullptr) return nullptr;
  return &keys;
}

// The member `key` of an operation dict, held in `held`, and what it is for read_operation.
bool operation_member(PyObject* operation, PyObject* key, PyRef& held, OperationMembers::Member& out) {
  PyObject* found = PyDict_GetItemWithError(operation, key);  // a key of the caller's may run its __eq__
  if (found == nullptr) return !PyErr_Occurred();
  held = PyRef::borrow(found);
  if (!PyUnicode_Check(found)) {
    out.state = OperationMembers::State::NotString;
    return true;
  }
  switch (read_text(found, out.text)) {
    case Text::Read: out.state = OperationMembers::State::Text; return true;
    case Text::NotEncodable: out.state = OperationMembers::State::NotString; return true;
    case Text::Failed: return false;
  }
  return false;
}

}  // namespace

bool read_operations(PyObject* operations, std::vector<JsonPatchOperation>& out) {
  if (!PyList_Check(operations)) {
    raise_cannot_convert(operations, "PyList");
    return prefix_argument_name("operations");
  }
  const OperationKeys* keys = operation_keys();
  if (keys == nullptr) return false;
  PyRef list = PyRef::borrow(operations);
  out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(operations)));
  // The length is read again each time: converting a value may run a hook that changes the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(operations); ++i) {
    const auto index = static_cast<std::size_t>(i);
    PyRef operation = PyRef::borrow(PyList_GET_ITEM(operations, i));
    if (!PyDict_Check(operation.get())) return raise_json_patch_error(not_an_operation(index));
    OperationMembers members;
    PyRef op, path, from;
    if (!operation_member(operation.get(), keys->op, op, members.op) || !operation_member(operation.get(), keys->path, path, members.path) ||
        !operation_member(operation.get(), keys->from, from, members.from))
      return false;
    PyRef value = PyRef::borrow(PyDict_GetItemWithError(operation.get(), keys->value));
    if (!value && PyErr_Occurred()) return false;
    members.has_value = static_cast<bool>(value);
    Result<JsonPatchOperation, JsonPatchError> read = read_operation(index, members);
    if (!read.ok()) return raise_json_patch_error(read.error());
    JsonPatchOperation& taken = out.emplace_back(std::move(read).value());
    if (takes_value(taken.op) && !python_to_value(value.get(), taken.value)) return false;
  }
  return true;
}

PyObject* document_copy(PyObject* data) {
  PyRef copy = PyRef::steal(normalized_copy(data));
  if (!copy) return nullptr;
  if (!PyDict_CheckExact(copy.get()) && !PyList_CheckExact(copy.get())) return cannot_patch(), nullptr;
  return copy.release();
}

PyObject* json_patch_to_copy(PyRef copy, const std::vector<JsonPatchOperation>& operations) {
  FormatDocument document(std::move(copy));
  if (!finished(JsonPatchWalk<FormatDocument>(document).run(operations))) return nullptr;
  return document.take_root();
}

PyObject* merge_patch_to_copy(PyRef copy, const JsonValue& merge_patch) {
  FormatDocument document(std::move(copy));
  if (!finished(MergePatchWalk<FormatDocument>(document).run(merge_patch))) return nullptr;
  return document.take_root();
}

bool check_document(PyObject* data) {
  bool container = false;
  if (!reads_as_container(data, container)) return false;  // as converting it would fail
  return container || cannot_patch();
}

bool json_patch_in_place(PyObject* data, const std::vector<JsonPatchOperation>& operations, std::vector<PyRef>& released) {
  CallerEdit edit;  // undoes every change if the walk stops
  FormatDocument document(data, edit);
  return finished(JsonPatchWalk<FormatDocument>(document).run(operations)) && document.commit(released);
}

bool merge_patch_in_place(PyObject* data, const JsonValue& merge_patch, std::vector<PyRef>& released) {
  CallerEdit edit;
  FormatDocument document(data, edit);
  return finished(MergePatchWalk<FormatDocument>(document).run(merge_patch)) && document.commit(released);
}

PyObject* operations_to_python(const std::vector<WrittenOperation>& written) {
  const OperationKeys* keys = operation_keys();
  if (keys == nullptr) return nullptr;
  PyRef names[3] = {PyRef::steal(new_str(op_name(JsonPatchOp::Add))), PyRef::steal(new_str(op_name(JsonPatchOp::Remove))),
                    PyRef::steal(new_str(op_name(JsonPatchOp::Replace)))};
  for (const PyRef& name : names)
    if (!name) return nullptr;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(written.size())));
  if (!list) return nullptr;
  ToPython values;  // the values are the patch's, which outlives the call
  for (std::size_t i = 0; i < written.size(); ++i) {
    const WrittenOperation& w = written[i];
    PyRef operation = PyRef::steal(new_dict(w.value != nullptr ? 3 : 2));
    PyRef path = PyRef::steal(new_str(w.path));
    if (!operation || !path) return nullptr;
    PyObject* name = names[w.op == JsonPatchOp::Add ? 0 : w.op == JsonPatchOp::Remove ? 1 : 2].get();
    if (PyDict_SetItem(operation.get(), keys->op, name) != 0 || PyDict_SetItem(operation.get(), keys->path, path.get()) != 0)
      return nullptr;
    if (w.value != nullptr) {
      PyRef value = PyRef::steal(w.stamp ? values.convert_stamped(*w.value, *w.stamp) : values.convert(*w.value));
      if (!value || PyDict_SetItem(operation.get(), keys->value, value.get()) != 0) return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), operation.release());
  }
  return list.release();
}

}  // namespace quillfen::py
