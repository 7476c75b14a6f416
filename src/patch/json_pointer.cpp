#include "patch/json_pointer.h"

#include <limits>

namespace quillfen {

std::optional<JsonPointer> parse_json_pointer(std::string_view text, PointerFault& fault) {
  JsonPointer pointer{std::string(text), {}};
  if (text.empty()) return pointer;
  if (text.front() != '/') {
    fault = PointerFault::NoLeadingSlash;
    return std::nullopt;
  }
  std::string* token = &pointer.tokens.emplace_back();
  // One pass, left to right: "~01" is "~" followed by "1", never "/".
  for (std::size_t i = 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '/') {
      token = &pointer.tokens.emplace_back();
    } else if (c != '~') {
      token->push_back(c);
    } else if (i + 1 < text.size() && (text[i + 1] == '0' || text[i + 1] == '1')) {
      token->push_back(text[++i] == '0' ? '~' : '/');
    } else {
      fault = PointerFault::BadEscape;
      return std::nullopt;
    }
  }
  return pointer;
}

void append_pointer_token(std::string& pointer, std::string_view token) {
  pointer.push_back('/');
  for (const char c : token) {
    if (c == '~') {
      pointer += "~0";
    } else if (c == '/') {
      pointer += "~1";
    } else {
      pointer.push_back(c);
    }
  }
}

std::string pointer_prefix(const JsonPointer& pointer, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count && i < pointer.tokens.size(); ++i) append_pointer_token(text, pointer.tokens[i]);
  return text;
}

bool is_inside(const JsonPointer& a, const JsonPointer& b) noexcept {
  if (a.tokens.size() <= b.tokens.size()) return false;
  for (std::size_t i = 0; i < b.tokens.size(); ++i)
    if (a.tokens[i] != b.tokens[i]) return false;
  return true;
}

ArrayIndex parse_array_index(std::string_view token) noexcept {
  if (token == "-") return ArrayIndex{ArrayIndex::Kind::End, 0};
  if (token.empty() || (token.size() > 1 && token.front() == '0')) return ArrayIndex{ArrayIndex::Kind::Malformed, 0};
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  std::size_t position = 0;
  for (const char c : token) {
    if (c < '0' || c > '9') return ArrayIndex{ArrayIndex::Kind::Malformed, 0};
    const auto digit = static_cast<std::size_t>(c - '0');
    position = position > (kMax - digit) / 10 ? kMax : position * 10 + digit;
  }
  return ArrayIndex{ArrayIndex::Kind::Position, position};
}

}  // namespace quillfen
