#include "patch/json_pointer.h"

#include <limits>

namespace quillfen {

namespace {

// Whether the first `count` tokens of `a` and `b`, which both have as many, are the same.
bool same_start(const JsonPointer& a, const JsonPointer& b, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i)
    if (a.token(i) != b.token(i)) return false;
  return true;
}

}  // namespace

void JsonPointer::add(Span span) {
  if (count_ < kInline) {
    inline_[count_] = span;
  } else {
    more_.push_back(span);
  }
  ++count_;
}

std::optional<PointerFault> parse_json_pointer(std::string_view text, JsonPointer& out) {
  out = JsonPointer();
  out.text_.assign(text);
  if (text.empty()) return std::nullopt;
  if (text.front() != '/') return PointerFault::NoLeadingSlash;
  if (text.find('~') == std::string_view::npos) {  // the tokens stand in the text as they are
    std::size_t start = 1;
    for (std::size_t slash; (slash = text.find('/', start)) != std::string_view::npos; start = slash + 1) out.add({start, slash - start});
    out.add({start, text.size() - start});
    return std::nullopt;
  }
  out.escaped_ = true;
  std::string& decoded = out.decoded_;
  decoded.reserve(text.size());
  std::size_t start = 0;
  // One pass, left to right: "~01" is "~" followed by "1", never "/".
  for (std::size_t i = 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '/') {
      out.add({start, decoded.size() - start});
      start = decoded.size();
    } else if (c != '~') {
      decoded.push_back(c);
    } else if (i + 1 < text.size() && (text[i + 1] == '0' || text[i + 1] == '1')) {
      decoded.push_back(text[++i] == '0' ? '~' : '/');
    } else {
      return PointerFault::BadEscape;
    }
  }
  out.add({start, decoded.size() - start});
  return std::nullopt;
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
  for (std::size_t i = 0; i < count && i < pointer.size(); ++i) append_pointer_token(text, pointer.token(i));
  return text;
}

bool is_inside(const JsonPointer& a, const JsonPointer& b) noexcept {
  return a.size() > b.size() && same_start(a, b, b.size());
}

bool same_tokens(const JsonPointer& a, const JsonPointer& b) noexcept { return a.size() == b.size() && same_start(a, b, a.size()); }

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
