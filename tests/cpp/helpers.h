// Test helpers: build documents and operations in one expression, and show a patch as text that
// keeps every detail a test may compare (variant, child order, repeated keys, number kinds).
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json_value/json_value.h"
#include "operations/operation.h"
#include "patch/patch.h"

namespace quillfen::test_util {

// Reads the JSON text that the tests write, and the files in tests/data: whitespace between tokens,
// and in strings no escapes but \" and \\. A number with "." or "e" is a double, one with "-" a
// negative integer, any other an unsigned one.
inline void skip_space(std::string_view& s) { s.remove_prefix(std::min(s.find_first_not_of(" \t\r\n"), s.size())); }
inline JsonValue read_json(std::string_view& s) {
  skip_space(s);
  const char open = s.front();
  if (open == '[' || open == '{') {
    JsonArray items;
    std::vector<JsonMember> members;
    for (s.remove_prefix(1), skip_space(s); s.front() != ']' && s.front() != '}'; skip_space(s)) {
      if (s.front() == ',') s.remove_prefix(1);
      JsonValue value = read_json(s);
      if (open == '[') {
        items.push_back(std::move(value));
        continue;
      }
      skip_space(s);
      s.remove_prefix(1);  // ':'
      members.push_back(JsonMember{std::move(value.as_string()), read_json(s)});
    }
    s.remove_prefix(1);
    return open == '[' ? JsonValue(std::move(items)) : JsonValue(JsonObject::from_members(std::move(members)));
  }
  if (open == '"') {
    std::string text;
    std::size_t end = 1;
    for (; s[end] != '"'; ++end) text += s[end] == '\\' ? s[++end] : s[end];
    s.remove_prefix(end + 1);
    return JsonValue(std::move(text));
  }
  const std::size_t end = std::min(s.find_first_of(",]} \t\r\n"), s.size());
  const std::string token(s.substr(0, end));
  s.remove_prefix(end);
  if (token == "null") return JsonValue();
  if (token == "true" || token == "false") return JsonValue(token == "true");
  if (token.find_first_of(".e") != std::string::npos) return JsonValue(JsonNumber::from_double(std::stod(token)));
  if (open == '-') return JsonValue(JsonNumber::from_signed(std::stoll(token)));
  return JsonValue(JsonNumber::from_unsigned(std::stoull(token)));
}
inline JsonValue J(std::string_view text) { return read_json(text); }

// The prefix followed by the number (written so, since GCC 12 warns falsely about "k" + ...).
inline std::string numbered(std::string prefix, long long n) { return prefix += std::to_string(n); }

inline Operation set(std::string_view json) { return Set{J(json)}; }
inline Operation set(long long v) { return Set{JsonValue(JsonNumber::from_signed(v))}; }
inline Operation test(std::string_view json) { return Test{J(json)}; }
inline Operation del() { return Delete{}; }
inline Operation move(std::string from, std::string to) { return Move{std::move(from), std::move(to)}; }
inline Operation copy(std::string from, std::string to) { return Copy{std::move(from), std::move(to)}; }
inline ChildEntry at(std::string key, Operation op) { return ChildEntry{std::move(key), std::move(op)}; }

// A Nested whose children are the arguments, in the order given (repeats allowed).
template <class... Entries>
Operation nested(Entries... entries) {
  ChildList list;
  (list.push_back(std::move(entries)), ...);
  return Nested(std::move(list));
}

// A patch from at(key, operation) entries.
template <class... Entries>
Patch patch_of(Entries... entries) {
  Patch p;
  (p.insert(std::move(entries.key), std::move(entries.operation)), ...);
  return p;
}

inline std::string text(const Operation& op);

// An entry's operation, then its placement: "@" and the serial it stands after, or "@^" for first.
inline std::string text(const ChildEntry& entry) {
  std::string out = text(entry.operation);
  if (entry.placement) out += entry.placement->after ? "@" + *entry.placement->after : std::string("@^");
  return out;
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
        out += c.key + ":" + text(c);
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
  patch.for_each([&](const Patch::Entry& e) { entries.push_back(e.key + ":" + text(e)); });
  std::sort(entries.begin(), entries.end());
  std::string out;
  for (const std::string& e : entries) out += (out.empty() ? "" : " ") + e;
  return out;
}

}  // namespace quillfen::test_util
