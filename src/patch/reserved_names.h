// The names the patch language gives a meaning, written once for the core and the binding.
#pragma once

#include <string_view>

namespace quillfen {

// The member of an element object that carries its serial. At the top level of a patch the key
// "_" is passed over, on an object root and an array root alike.
inline constexpr std::string_view kSerialMember = "_";

// In the document form, an object with this member is an operation on its own: {"*": null} deletes,
// {"*": value} sets the value. Below the top level a child under this key cannot be written.
inline constexpr std::string_view kOperationMember = "*";

// The members of the document form of a Move or Copy ({"from": ..., "to": ...}) and of a Test.
inline constexpr std::string_view kFromMember = "from";
inline constexpr std::string_view kToMember = "to";
inline constexpr std::string_view kTestMember = "test";

// The exact form's table of placements, in the top-level member "_" (patch/placements.h).
inline constexpr std::string_view kPlacementsMember = "placements";

}  // namespace quillfen
