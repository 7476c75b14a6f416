// HiddenMembers: members of the caller's dicts that a reader passes over as if they were gone.
//
// An in-place edit that removes a member leaves it where it is until the edit commits (see
// edit/pending_removals.h); the conversions that read the caller's data meanwhile are given the
// edit's list of them, through this view, and pass over what it names.
#pragma once

#include <Python.h>

#include <string_view>

namespace quillfen::py {

class HiddenMembers {
 public:
  // Whether any member of `dict` is hidden: asked once per dict, so that a dict with none costs
  // nothing more.
  virtual bool any_in(PyObject* dict) const noexcept = 0;
  // Whether the member of `dict` whose key has the UTF-8 text `key` is hidden.
  virtual bool contains(PyObject* dict, std::string_view key) const = 0;

 protected:
  HiddenMembers() = default;
  HiddenMembers(const HiddenMembers&) = default;
  HiddenMembers& operator=(const HiddenMembers&) = default;
  ~HiddenMembers() = default;
};

}  // namespace quillfen::py
