#include "python/walks/applying.h"

#include <cmath>
#include <utility>

#include "python/objects/read_ahead.h"
#include "python/walks/patch_document.h"
#include "walks/apply.h"

namespace quillfen::py {

namespace {

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
  const auto encodes = [](PyObject* key) {
    std::string_view text;
    switch (read_text(key, text)) {
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
    } else {
      ExactScalar scalar;
      switch (read_exact_scalar(v, scalar)) {
        case ScalarRead::Read:
          if (scalar.changed) return Check::No;
          break;
        case ScalarRead::Refused:
        case ScalarRead::Other: return Check::No;
        case ScalarRead::Failed: return Check::Failed;
      }
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
