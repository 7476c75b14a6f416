#include "python/walks/standard_formats.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "python/edit/caller_edit.h"
#include "python/objects/convert.h"
#include "python/objects/errors.h"
#include "python/walks/python_storage.h"
#include "walks/json_patch_walk.h"

namespace quillfen::py {

namespace {

// The documents of the format walks: Python dicts and lists, patched where they stand, kept in a
// PythonStorage, Fresh or in place (python_storage.h). Fresh, the whole document may become another
// value. In place, a container about to change (or to have something inside it changed) is first
// made the data's own, and lists, the root's too, are changed in their structure where they stand
// (CallerEdit::insert_element, remove_element, set_elements), at the cost of the list's own insert or
// removal. Lengths and positions are checked again after Python code may have run, and data found
// changed under the call ends it with the module's fatal error.
class FormatDocument {
 public:
  using Slot = CallerEdit::Slot;
  struct Node {
    PyRef object;
    Slot slot;  // where it sits, for making it the data's own; the root has no parent
  };
  using Value = PyRef;

  // `values`, when given, are those of the operations a walk applies: each is taken as it is put in.
  explicit FormatDocument(PyRef copy, std::vector<PyRef>* values = nullptr) : root_(std::move(copy)), values_(values) {}
  FormatDocument(PyObject* data, CallerEdit& edit, std::vector<PyRef>* values = nullptr)
      : storage_(edit), root_(PyRef::borrow(data)), values_(values) {}
  FormatDocument(const FormatDocument&) = delete;
  FormatDocument& operator=(const FormatDocument&) = delete;

  PyObject* take_root() { return root_.release(); }

  // In place: makes the edit final.
  bool commit(std::vector<PyRef>& released) { return storage_.edit()->commit(released); }

  // The operations the walks ask for.

  Node root() const { return Node{PyRef::borrow(root_.get()), Slot{}}; }

  static bool kind(const Node& node, NodeKind& out) {
    PyObject* obj = node.object.get();
    bool container = false;
    if (!reads_as_container(obj, container)) return false;
    out = !container ? NodeKind::Scalar : PyDict_Check(obj) ? NodeKind::Object : NodeKind::Array;
    return true;
  }

  bool member(const Node& node, std::string_view key, bool for_write, std::optional<Node>& out) {
    PyObject* dict = node.object.get();
    if (!PyDict_Check(dict)) return raise_data_changed();
    PyRef k = storage_.key(key);
    PyRef value;
    if (!k || !storage_.lookup(dict, k.get(), key, value)) return false;
    if (!value) return true;
    Slot slot{PyRef::borrow(dict), std::move(k), -1};
    if (for_write && !storage_.own(slot, value)) return false;
    out = Node{std::move(value), std::move(slot)};
    return true;
  }

  bool length(const Node& node, std::size_t& out) const {
    if (!PyList_Check(node.object.get())) return raise_data_changed();
    if (!unchanged(node.object.get())) return false;
    out = static_cast<std::size_t>(PyList_GET_SIZE(node.object.get()));
    return true;
  }

  bool element(const Node& node, std::size_t index, bool for_write, Node& out) {
    PyObject* list = node.object.get();
    const auto i = static_cast<Py_ssize_t>(index);
    if (!in_list(list, i)) return false;
    PyRef item = PyRef::borrow(PyList_GET_ITEM(list, i));
    Slot slot{PyRef::borrow(list), PyRef(), i};
    if (for_write && !storage_.own(slot, item)) return false;
    out = Node{std::move(item), std::move(slot)};
    return true;
  }

  bool put(const Node& node, std::string_view key, Value value) {
    PyObject* dict = node.object.get();
    if (!PyDict_Check(dict)) return raise_data_changed();
    PyRef k = storage_.key(key);
    return k && storage_.put(dict, k.get(), key, value.get());
  }

  bool remove_member(const Node& node, std::string_view key, Value* taken) {
    PyObject* dict = node.object.get();
    if (!PyDict_Check(dict)) return raise_data_changed();
    PyRef k = storage_.key(key);
    if (!k) return false;
    if (taken != nullptr) {
      if (!storage_.lookup(dict, k.get(), key, *taken)) return false;
      if (!*taken) return raise_data_changed();  // the walk found it present
    }
    return storage_.remove(dict, k.get(), key);
  }

  bool insert(const Node& node, std::size_t index, Value value) {
    PyObject* list = node.object.get();
    const auto i = static_cast<Py_ssize_t>(index);
    if (!PyList_Check(list)) return raise_data_changed();
    CallerEdit* edit = storage_.edit();
    if (edit == nullptr) return i <= PyList_GET_SIZE(list) && PyList_Insert(list, i, value.get()) == 0;
    return unchanged(list) && edit->insert_element(list, i, value.get());
  }

  bool replace(const Node& node, std::size_t index, Value value) {
    PyObject* list = node.object.get();
    const auto i = static_cast<Py_ssize_t>(index);
    if (!in_list(list, i)) return false;
    if (CallerEdit* edit = storage_.edit()) return edit->replace_element(list, i, value.get());  // made the data's own on the way down
    PyList_SetItem(list, i, value.release());  // Fresh, in bounds: cannot fail
    return true;
  }

  bool remove_element(const Node& node, std::size_t index, Value* taken) {
    PyObject* list = node.object.get();
    const auto i = static_cast<Py_ssize_t>(index);
    if (!in_list(list, i)) return false;
    PyRef element;
    if (CallerEdit* edit = storage_.edit()) {
      if (!edit->remove_element(list, i, element)) return false;
    } else {
      element = PyRef::borrow(PyList_GET_ITEM(list, i));
      if (PyList_SetSlice(list, i, i + 1, nullptr) != 0) return false;
    }
    if (taken != nullptr) *taken = std::move(element);
    return true;
  }

  bool replace_root(Value value, bool& refused) {
    if (storage_.edit() == nullptr) {
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
    return dict_root ? replace_members(v) : replace_elements(v);
  }

  bool make(const JsonValue& value, Value& out) { return storage_.make(value, out); }

  bool value_of(std::size_t index, const JsonPatchOperation&, Value& out) {
    out = std::move((*values_)[index]);  // each operation is applied once
    return true;
  }

  bool copy(const Node& node, Value& out) {
    out = PyRef::steal(normalized_copy(node.object.get(), storage_.hidden()));
    return static_cast<bool>(out);
  }

  int equals(const Node& node, const JsonValue& expected) const {
    JsonValue value;
    if (!storage_.to_value(node.object.get(), value)) return -1;
    return equal_by_value(value, expected) ? 1 : 0;
  }

  bool text_of(const Node& node, std::string& out) const { return storage_.text_of(node.object.get(), out); }

 private:
  // Whether `list` is a list holding position `i`: the walk checked the position against the
  // length, which Python code run since (a finalizer) may have changed.
  bool in_list(PyObject* list, Py_ssize_t i) const {
    if (!PyList_Check(list)) return raise_data_changed();
    return unchanged(list) && (i < PyList_GET_SIZE(list) || raise_list_resized());
  }

  // In place: whether `list` is as the edit's last change of it left it.
  bool unchanged(PyObject* list) const { return storage_.edit() == nullptr || storage_.edit()->intact(list) || raise_list_resized(); }

  // In place: the root dict gets the members of `dict` (as the edit sees them) in place of its own.
  bool replace_members(PyObject* dict);
  // In place: the root list gets the elements of `list` in place of its own.
  bool replace_elements(PyObject* list);

  PythonStorage storage_;  // Fresh, or in place
  PyRef root_;
  std::vector<PyRef>* values_;
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
    if (PyDict_GET_SIZE(dict) != size) return raise_data_changed();  // encoding may have allocated
    if (!removals.contains(dict, member.text)) out.push_back(std::move(member));
  }
  return true;
}

bool FormatDocument::replace_elements(PyObject* list) {
  // The new elements are read first: `list` may be the root itself, or hold elements of it.
  PyRef elements = PyRef::steal(PyList_New(0));
  if (!elements) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)  // an append may let a finalizer shorten it
    if (PyList_Append(elements.get(), PyList_GET_ITEM(list, i)) != 0) return false;
  return unchanged(root_.get()) && storage_.edit()->set_elements(root_.get(), elements.get());
}

bool FormatDocument::replace_members(PyObject* dict) {
  PyObject* root = root_.get();
  std::vector<ReadMember> wanted;
  std::vector<ReadMember> held;
  if (!read_members(dict, storage_.edit()->removals(), wanted) || !read_members(root, storage_.edit()->removals(), held)) return false;
  std::unordered_set<std::string_view> kept;
  for (const ReadMember& m : wanted) kept.insert(m.text);
  for (ReadMember& m : wanted) {
    PyRef key = PyUnicode_CheckExact(m.key.get()) ? PyRef::borrow(m.key.get()) : PyRef::steal(new_str(m.text));
    if (!key || !storage_.edit()->put(root, key.get(), m.text, m.value.get())) return false;
  }
  for (ReadMember& m : held)
    if (kept.count(m.text) == 0 && !storage_.edit()->remove(root, m.key.get(), m.text)) return false;
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
  // A str that does not encode (a lone surrogate) raises the interpreter's encoding error, as a key
  // given to `set` does.
  if (!utf8_view(found, out.text)) return false;
  out.state = OperationMembers::State::Text;
  return true;
}

}  // namespace

bool read_operations(PyObject* operations, PythonOperations& out) {
  if (!PyList_Check(operations)) {
    raise_cannot_convert(operations, "PyList");
    return prefix_argument_name("operations");
  }
  const OperationKeys* keys = operation_keys();
  if (keys == nullptr) return false;
  PyRef list = PyRef::borrow(operations);
  out.operations.reserve(static_cast<std::size_t>(PyList_GET_SIZE(operations)));
  out.values.reserve(static_cast<std::size_t>(PyList_GET_SIZE(operations)));
  NormalizedCopies copies;
  // The length is read again each time: converting a value may run a hook that changes the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(operations); ++i) {
    const auto index = static_cast<std::size_t>(i);
    PyRef operation = PyRef::borrow(PyList_GET_ITEM(operations, i));
    if (!PyDict_Check(operation.get())) return raise_json_patch_error(not_an_operation(index));
    OperationMembers members;
    PyRef op, path, from, value;
    if (!operation_member(operation.get(), keys->op, op, members.op) || !operation_member(operation.get(), keys->path, path, members.path))
      return false;
    // "from" and "value" are looked up only for the ops that read them: the others ignore them.
    const std::optional<JsonPatchOp> named = members.op.state == OperationMembers::State::Text ? op_named(members.op.text) : std::nullopt;
    if (named && takes_from(*named) && !operation_member(operation.get(), keys->from, from, members.from)) return false;
    if (named && takes_value(*named)) {
      value = PyRef::borrow(PyDict_GetItemWithError(operation.get(), keys->value));
      if (!value && PyErr_Occurred()) return false;
      members.has_value = static_cast<bool>(value);
    }
    JsonPatchOperation& taken = out.operations.emplace_back();
    Result<Done, JsonPatchError> read = read_operation(index, members, taken);
    if (!read.ok()) return raise_json_patch_error(read.error());
    PyRef& made = out.values.emplace_back();
    if (taken.op == JsonPatchOp::Test) {
      if (!python_to_value(value.get(), taken.value)) return false;
    } else if (takes_value(taken.op)) {
      made = PyRef::steal(copies.copy(value.get()));
      if (!made) return false;
    }
  }
  return true;
}

PyObject* document_copy(PyObject* data) {
  PyRef copy = PyRef::steal(normalized_copy(data));
  if (!copy) return nullptr;
  if (!PyDict_CheckExact(copy.get()) && !PyList_CheckExact(copy.get())) return cannot_patch(), nullptr;
  return copy.release();
}

PyObject* json_patch_to_copy(PyRef copy, PythonOperations& operations) {
  FormatDocument document(std::move(copy), &operations.values);
  if (!finished(JsonPatchWalk<FormatDocument>(document).run(operations.operations))) return nullptr;
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

bool json_patch_in_place(PyObject* data, PythonOperations& operations, std::vector<PyRef>& released) {
  CallerEdit edit;  // undoes every change if the walk stops
  FormatDocument document(data, edit, &operations.values);
  return finished(JsonPatchWalk<FormatDocument>(document).run(operations.operations)) && document.commit(released);
}

bool merge_patch_in_place(PyObject* data, const JsonValue& merge_patch, std::vector<PyRef>& released) {
  CallerEdit edit;
  FormatDocument document(data, edit);
  return finished(MergePatchWalk<FormatDocument>(document).run(merge_patch)) && document.commit(released);
}

PyObject* operations_to_python(const std::vector<WrittenOperation>& written) {
  const OperationKeys* keys = operation_keys();
  if (keys == nullptr) return nullptr;
  PyRef names[4] = {PyRef::steal(new_str(op_name(JsonPatchOp::Add))), PyRef::steal(new_str(op_name(JsonPatchOp::Remove))),
                    PyRef::steal(new_str(op_name(JsonPatchOp::Replace))), PyRef::steal(new_str(op_name(JsonPatchOp::Move)))};
  for (const PyRef& name : names)
    if (!name) return nullptr;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(written.size())));
  if (!list) return nullptr;
  ToPython values;  // the values are the patch's, which outlives the call
  for (std::size_t i = 0; i < written.size(); ++i) {
    const WrittenOperation& w = written[i];
    const bool move = w.op == JsonPatchOp::Move;
    PyRef operation = PyRef::steal(new_dict(w.value != nullptr || move ? 3 : 2));
    PyRef path = PyRef::steal(new_str(w.path));
    if (!operation || !path) return nullptr;
    PyObject* name = names[w.op == JsonPatchOp::Add ? 0 : w.op == JsonPatchOp::Remove ? 1 : move ? 3 : 2].get();
    if (PyDict_SetItem(operation.get(), keys->op, name) != 0) return nullptr;
    if (move) {
      PyRef from = PyRef::steal(new_str(w.from));
      if (!from || PyDict_SetItem(operation.get(), keys->from, from.get()) != 0) return nullptr;
    }
    if (PyDict_SetItem(operation.get(), keys->path, path.get()) != 0) return nullptr;
    if (w.value != nullptr) {
      PyRef value = PyRef::steal(w.stamp ? values.convert_stamped(*w.value, *w.stamp) : values.convert(*w.value));
      if (!value || PyDict_SetItem(operation.get(), keys->value, value.get()) != 0) return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), operation.release());
  }
  return list.release();
}

}  // namespace quillfen::py
