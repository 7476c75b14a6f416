// Test helpers: build operations and documents in one expression, and show a patch as text that
// keeps every detail a test may compare (variant, child order, repeated keys, number kinds).
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "json_value/json_value.h"
#include "operations/operation.h"
#include "patch/patch.h"

namespace quillfen::test_util {

inline JsonValue num(long long v) { return JsonValue(JsonNumber::from_signed(v)); }

inline ChildEntry child(std::string key, Operation op) { return ChildEntry{std::move(key), std::move(op)}; }
inline Operation set(long long v) { return Set{num(v)}; }

// A Nested whose children are the arguments, in the order given (repeats allowed).
template <class... Entries>
Operation nested(Entries... entries) {
  ChildList list;
  (list.push_back(std::move(entries)), ...);
  return Nested(std::move(list));
}

inline JsonMember member(std::string key, JsonValue value) { return JsonMember{std::move(key), std::move(value)}; }

template <class... Members>
JsonValue object(Members... members) {
  std::vector<JsonMember> list;
  (list.push_back(std::move(members)), ...);
  return JsonValue(JsonObject::from_members(std::move(list)));
}

// "=" value, "-" for Delete, "{k:op,...}" for Nested in list order, move/copy/test by name.
inline std::string text(const Operation& op) {
  switch (op.index()) {
    case 0: return std::string("=").append(std::get<Set>(op).value.compact_text());
    case 1: return "-";
    case 2: {
      std::string out = "{";
      for (const ChildEntry& c : std::get<Nested>(op).children) {
        if (out.size() > 1) out += ",";
        out += c.key + ":" + text(c.operation);
      }
      return out + "}";
    }
    case 3: return "move(" + std::get<Move>(op).from + "," + std::get<Move>(op).to + ")";
    case 4: return "copy(" + std::get<Copy>(op).from + "," + std::get<Copy>(op).to + ")";
    default: return std::string("test(").append(std::get<Test>(op).value.compact_text()).append(")");
  }
}

// The top-level entries sorted by key, since the map itself has no order.
inline std::string text(const Patch& patch) {
  std::vector<std::string> entries;
  patch.for_each([&](const Patch::Entry& e) { entries.push_back(e.key + ":" + text(e.operation)); });
  std::sort(entries.begin(), entries.end());
  std::string out;
  for (const std::string& e : entries) out += (out.empty() ? "" : " ") + e;
  return out;
}

// A patch from (key, operation) pairs.
template <class... Entries>
Patch patch_of(Entries... entries) {
  Patch p;
  (p.insert(std::move(entries.key), std::move(entries.operation)), ...);
  return p;
}

}  // namespace quillfen::test_util
