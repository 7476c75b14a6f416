#include <optional>
#include <string_view>
#include <vector>

#include "patch/document_form.h"
#include "patch/document_writer.h"
#include "patch/merge.h"
#include "patch/reserved_names.h"
#include "python/objects/convert.h"
#include "python/objects/errors.h"
#include "python/objects/py_ref.h"
#include "python/shell/arguments.h"
#include "python/shell/methods.h"
#include "python/shell/patch_class.h"
#include "walks/compose.h"

namespace quillfen::py {

namespace {

// Builds the document form as Python objects, straight from the patch. Members come in key order,
// each dict is made at its final size, and the strs of the keys are shared within the document.
class PythonBuilder {
 public:
  using Object = PyObject*;  // a dict of the document being built, held by its parent

  PyObject* take() { return document_.release(); }

  bool root(std::size_t room, Object& out) {
    document_ = PyRef::steal(new_dict(static_cast<Py_ssize_t>(room)));
    out = document_.get();
    return out != nullptr;
  }
  bool object(Object parent, const std::string& key, std::size_t room, Object& out) {
    PyRef dict = PyRef::steal(new_dict(static_cast<Py_ssize_t>(room)));
    out = dict.get();
    return put(parent, key, std::move(dict));
  }
  bool value(Object parent, const std::string& key, const JsonValue& value) {
    return put(parent, key, PyRef::steal(values_.convert(value)));
  }
  bool starred(Object parent, const std::string& key, const JsonValue* value) {
    return put(parent, key, value != nullptr ? PyRef::steal(values_.convert(*value)) : PyRef::borrow(Py_None), kOperationMember);
  }
  bool pair(Object parent, const std::string& key, std::string_view from, std::string_view to) {
    PyRef dict = PyRef::steal(new_dict(2));
    return dict && put(dict.get(), kFromMember, PyRef::steal(new_str(from))) && put(dict.get(), kToMember, PyRef::steal(new_str(to))) &&
           put(parent, key, std::move(dict));
  }
  bool test(Object parent, const std::string& key, const JsonValue& value) {
    return put(parent, key, PyRef::steal(values_.convert(value)), kTestMember);
  }

 private:
  // Puts `value` under `key` in `dict`, inside a one-member dict under `wrapper` when one is given.
  bool put(PyObject* dict, std::string_view key, PyRef value, std::string_view wrapper = {}) {
    if (!value) return false;
    if (!wrapper.empty()) {
      PyRef wrapped = PyRef::steal(new_dict(1));
      if (!wrapped || !put(wrapped.get(), wrapper, std::move(value))) return false;
      value = std::move(wrapped);
    }
    // The top level's keys are the patch's own, each once: sharing their strs would gain nothing.
    PyRef top_key;
    PyObject* key_str = nullptr;
    if (dict == document_.get()) {
      top_key = PyRef::steal(new_str(key));
      key_str = top_key.get();
    } else {
      key_str = values_.key(key);
    }
    return key_str != nullptr && PyDict_SetItem(dict, key_str, value.get()) == 0;
  }

  ToPython values_;  // every key it meets is the patch's (which outlives it) or a literal
  PyRef document_;
};

// The document form of `patch` as a new Python dict; a new reference, or null with a Python
// exception set. The caller holds shared access for the whole walk: the patch is read throughout.
PyObject* write_to_python(const Patch& patch, bool exact) {
  PythonBuilder builder;
  if (!DocumentWriter<PythonBuilder>(builder).write(patch, exact)) return nullptr;
  return builder.take();
}

}  // namespace

PyObject* method_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.from_json()", 1, {"data"}};
    PyObject* data = nullptr;
    if (!match_arguments(sig, args, nargsf, kwnames, &data)) return nullptr;
    // Converted first, so data that does not convert fails the same way whatever its shape.
    JsonValue document;
    if (!python_to_value(data, document, nullptr, kMaxDocumentDepth)) return nullptr;
    // Read by copying: a patch built from moved pieces of the converted document would hold memory
    // scattered through the allocator's heap, and repeated reads then slow down.
    Result<Patch> patch = read_document(document);
    if (!patch.ok()) {
      raise_patch_error("Parse error: ", patch.error());
      return nullptr;
    }
    return wrap_patch(std::move(patch).value());
  });
}

PyObject* method_from_json_exact(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.from_json_exact()", 1, {"data"}};
    PyObject* data = nullptr;
    if (!match_arguments(sig, args, nargsf, kwnames, &data)) return nullptr;
    JsonValue document;
    if (!python_to_value(data, document, nullptr, kMaxDocumentDepth)) return nullptr;
    Result<Patch, Inexpressible> patch = read_document_exact(document);
    if (!patch.ok()) return raise_inexpressible(patch.error()), nullptr;
    return wrap_patch(std::move(patch).value());
  });
}

PyObject* method_to_json(PyObject* self_obj, PyObject*) {
  return guarded([&]() -> PyObject* {
    Access access;
    if (!access.take_shared(reinterpret_cast<PatchObject*>(self_obj))) return nullptr;
    return write_to_python(reinterpret_cast<PatchObject*>(self_obj)->patch, false);
  });
}

PyObject* method_to_json_exact(PyObject* self_obj, PyObject*) {
  return guarded([&]() -> PyObject* {
    Access access;
    if (!access.take_shared(reinterpret_cast<PatchObject*>(self_obj))) return nullptr;
    const Patch& patch = reinterpret_cast<PatchObject*>(self_obj)->patch;
    if (std::optional<Inexpressible> refusal = exact_form_refusal(patch)) return raise_inexpressible(*refusal), nullptr;
    return write_to_python(patch, true);
  });
}

PyObject* method_merge(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static const Signature sig{"QuillfenPatch.merge()", 2, {"minor", "major"}};
    PyObject* arg[2] = {nullptr, nullptr};
    if (!match_arguments(sig, args, nargsf, kwnames, arg)) return nullptr;
    // `minor` is taken first, so when both arguments are wrong its error is the one raised. One
    // instance may be both: shared accesses add up.
    PatchObject* minor = patch_argument(arg[0], "minor");
    if (minor == nullptr) return nullptr;
    Access minor_access;
    if (!minor_access.take_shared(minor)) return nullptr;
    PatchObject* major = patch_argument(arg[1], "major");
    if (major == nullptr) return nullptr;
    Access major_access;
    if (!major_access.take_shared(major)) return nullptr;
    // The merge uses up what it is given, so it gets copies: both arguments keep their patches, and
    // the result shares nothing with them.
    return wrap_patch(merge_patches(minor->patch.copy(), major->patch.copy()));
  });
}

PyObject* method_compose(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    // compose(first, second, *more, objects=False)
    static const Signature sig{"QuillfenPatch.compose()", 3, {"first", "second", "objects"}, 1};
    PyObject* arg[3] = {nullptr, nullptr, nullptr};
    std::vector<PyObject*> patches;
    if (!match_arguments(sig, 2, args, nargsf, kwnames, arg, patches)) return nullptr;
    bool objects = false;
    if (!flag_argument(arg[2], "objects", false, objects)) return nullptr;
    patches.insert(patches.begin(), {arg[0], arg[1]});
    // Every argument is checked before any is read, so a wrong one fails the call at once.
    for (std::size_t i = 0; i < patches.size(); ++i)
      if (patch_argument(patches[i], i == 0 ? "first" : i == 1 ? "second" : "more") == nullptr) return nullptr;
    const ComposeReading reading = objects ? ComposeReading::Objects : ComposeReading::AnyData;
    // The composite grows in a patch of its own, left to right; no Python code runs meanwhile, so
    // each argument is held only while it is read.
    Patch composed;
    for (std::size_t i = 0; i < patches.size(); ++i) {
      PatchObject* patch = reinterpret_cast<PatchObject*>(patches[i]);
      Access access;
      if (!access.take_shared(patch)) return nullptr;
      if (i == 0) {
        composed = patch->patch.copy();
      } else if (std::optional<Inexpressible> refusal = compose_into(composed, patch->patch, reading)) {
        return raise_inexpressible(*refusal), nullptr;
      }
    }
    return wrap_patch(std::move(composed));
  });
}

}  // namespace quillfen::py
