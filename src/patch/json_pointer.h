// JsonPointer: a location in a document written as "/"-separated reference tokens, "~1" standing for
// "/" and "~0" for "~" inside a token. "" is the whole document; "/" is the member named "" of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillfen {

struct JsonPointer {
  std::string text;                 // as written, for messages
  std::vector<std::string> tokens;  // decoded; empty for the whole document

  bool is_root() const noexcept { return tokens.empty(); }
};

// Why a pointer text does not parse.
enum class PointerFault { NoLeadingSlash, BadEscape };

// Parses `text`: "" or "/"-led tokens, each "~" followed by "0" or "1". None on a fault, which
// `fault` then names.
std::optional<JsonPointer> parse_json_pointer(std::string_view text, PointerFault& fault);

// Appends "/" and `token`, escaped, to `pointer`.
void append_pointer_token(std::string& pointer, std::string_view token);

// The text of the pointer made of the first `count` tokens of `pointer`.
std::string pointer_prefix(const JsonPointer& pointer, std::size_t count);

// Whether `a` names a location strictly inside the one `b` names (b's tokens are a proper prefix of a's).
bool is_inside(const JsonPointer& a, const JsonPointer& b) noexcept;

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
