// JsonPointer: a location in a document written as "/"-separated reference tokens, "~1" standing for
// "/" and "~0" for "~" inside a token. "" is the whole document; "/" is the member named "" of it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillfen {

// Why a pointer text does not parse.
enum class PointerFault { NoLeadingSlash, BadEscape };

class JsonPointer;
std::optional<PointerFault> parse_json_pointer(std::string_view text, JsonPointer& out);

// A parsed pointer. Its tokens are read where they stand in the text, or, where the text escapes a
// character, in one decoded copy: reading a pointer allocates nothing for a short text of a few
// tokens. A token's bytes stay where they are as long as the pointer is neither changed nor moved.
class JsonPointer {
 public:
  JsonPointer() = default;

  const std::string& text() const noexcept { return text_; }  // as written, for messages
  std::size_t size() const noexcept { return count_; }        // the number of tokens
  bool is_root() const noexcept { return count_ == 0; }        // "": the whole document
  std::string_view token(std::size_t i) const noexcept {     // decoded; i < size()
    const Span s = i < kInline ? inline_[i] : more_[i - kInline];
    return std::string_view(escaped_ ? decoded_ : text_).substr(s.start, s.size);
  }
  std::string_view back() const noexcept { return token(count_ - 1); }

 private:
  friend std::optional<PointerFault> parse_json_pointer(std::string_view text, JsonPointer& out);
  struct Span {
    std::size_t start;
    std::size_t size;
  };
  static constexpr std::size_t kInline = 4;
  void add(Span span);

  std::string text_;
  std::array<Span, kInline> inline_{};
  std::vector<Span> more_;  // the tokens after the first kInline
  std::string decoded_;     // the tokens one after another, where the text escapes a character
  bool escaped_ = false;
  std::size_t count_ = 0;
};

// Parses `text` into `out`: "" or "/"-led tokens, each "~" followed by "0" or "1". The fault, where
// there is one; `out` is then unspecified.
std::optional<PointerFault> parse_json_pointer(std::string_view text, JsonPointer& out);

// Appends "/" and `token`, escaped, to `pointer`.
void append_pointer_token(std::string& pointer, std::string_view token);

// The text of the pointer made of the first `count` tokens of `pointer`.
std::string pointer_prefix(const JsonPointer& pointer, std::size_t count);

// Whether `a` names a location strictly inside the one `b` names (b's tokens are a proper prefix of a's).
bool is_inside(const JsonPointer& a, const JsonPointer& b) noexcept;
// Whether `a` and `b` have the same tokens, however written.
bool same_tokens(const JsonPointer& a, const JsonPointer& b) noexcept;

// What a token names in an array: a position ("0", or digits without a leading zero), the end
// ("-", the place after the last element), or nothing it could name (a sign, a leading zero, any
// other character: a malformed index). A position too large for the type saturates, which no array
// reaches.
struct ArrayIndex {
  enum class Kind : std::uint8_t { Position, End, Malformed };
  Kind kind;
  std::size_t position;
};
ArrayIndex parse_array_index(std::string_view token) noexcept;

}  // namespace quillfen
