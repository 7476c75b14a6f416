#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "python/objects/convert.h"
#include "python/objects/errors.h"
#include "python/shell/arguments.h"
#include "python/shell/methods.h"

namespace quillfen::py {

namespace {

// The steps set, delete and place share before their own: exclusive access, taken before the key is read
// and before any value is converted (so a hook that calls back into this instance is refused),
// then the key's text. False with the exception set.
bool start_recording(PyObject* self, PyObject* key_obj, Access& access, std::string& key) {
  if (!access.take_exclusive(reinterpret_cast<PatchObject*>(self))) return false;
  std::string_view text;
  if (!key_argument(key_obj, text)) return false;
  key.assign(text);
  return true;
}

// The entry goes in place only once everything else has succeeded, so a failed call leaves the
// patch as it was, and a successful one costs O(1) amortised whatever the patch's size. A set keeps
// the placement recorded at the key; a delete drops it (Patch::insert).
void record(PyObject* self, std::string key, Operation operation) {
  reinterpret_cast<PatchObject*>(self)->patch.insert(std::move(key), std::move(operation));
}

}  // namespace

PyObject* method_set(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.set()", 2, {"key", "value"}};
    PyObject* argv[2];
    if (!match_arguments(sig, args, nargsf, kwnames, argv)) return nullptr;
    Access access;
    std::string key;
    if (!start_recording(self, argv[0], access, key)) return nullptr;
    JsonValue value;
    if (!python_to_value(argv[1], value)) return nullptr;
    record(self, std::move(key), Set{std::move(value)});
    Py_RETURN_NONE;
  });
}

PyObject* method_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.delete()", 1, {"key"}};
    PyObject* argv[1];
    if (!match_arguments(sig, args, nargsf, kwnames, argv)) return nullptr;
    Access access;
    std::string key;
    if (!start_recording(self, argv[0], access, key)) return nullptr;
    record(self, std::move(key), Delete{});
    Py_RETURN_NONE;
  });
}

PyObject* method_place(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.place()", 2, {"key", "after"}, 1};
    PyObject* argv[2] = {nullptr, nullptr};
    if (!match_arguments(sig, args, nargsf, kwnames, argv)) return nullptr;
    Access access;
    std::string key;
    if (!start_recording(self, argv[0], access, key)) return nullptr;
    auto placement = std::make_unique<Placement>();
    if (argv[1] != nullptr && argv[1] != Py_None) {
      std::string_view after;
      if (!text_argument(argv[1], "after", after)) return nullptr;
      placement->after.emplace(after);
    }
    // A set or a change inside keeps its operation and gains the placement; anything else becomes a
    // move of the element alone.
    Patch& patch = reinterpret_cast<PatchObject*>(self)->patch;
    Patch::Entry* entry = patch.find_entry(key);
    if (entry == nullptr || !carries_placement(entry->operation)) {
      patch.insert(Patch::Entry{std::move(key), Nested(), std::move(placement)});
    } else {
      entry->placement = std::move(placement);
    }
    Py_RETURN_NONE;
  });
}

}  // namespace quillfen::py
