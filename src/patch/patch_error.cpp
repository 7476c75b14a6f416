#include "patch/patch_error.h"

namespace quillfen {

PatchError PatchError::json_error(JsonReadError error) {
  std::string text = std::move(error.message);
  if (error.line_column) {
    text += " at line ";
    text += std::to_string(error.line_column->first);
    text += " column ";
    text += std::to_string(error.line_column->second);
  }
  return PatchError(Kind::JsonError, std::move(text));
}

std::string PatchError::message() const {
  switch (kind_) {
    case Kind::InvalidOperation: return "Invalid patch operation: " + first_;
    case Kind::TypeMismatch: return "Type mismatch: expected " + first_ + ", found " + second_;
    case Kind::KeyNotFound: return "Key '" + first_ + "' not found";
    case Kind::InvalidSerialKey: return "Invalid serial key: " + first_;
    case Kind::JsonError: return "JSON error: " + first_;
    case Kind::InvalidArrayIndex: return "Invalid array index: " + first_;
    case Kind::RecursionLimit: return "Recursion depth limit exceeded";
  }
  return std::string();
}

}  // namespace quillfen
