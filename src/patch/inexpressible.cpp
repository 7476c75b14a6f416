#include "patch/inexpressible.h"

#include "json_value/json_value.h"

namespace quillfen {

std::string Inexpressible::message() const {
  // Keys may hold any byte: written as JSON strings, the path stays unambiguous.
  JsonArray keys;
  keys.reserve(path_.size());
  for (const std::string& key : path_) keys.emplace_back(key);
  return summary_ + " at " + JsonValue(std::move(keys)).compact_text() + ": " + reason_;
}

}  // namespace quillfen
