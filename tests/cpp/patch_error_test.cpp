#include <gtest/gtest.h>

#include "patch/patch_error.h"

namespace quillfen {
namespace {

// Payloads are joined exactly as they are: no quoting, trimming or full stop.
TEST(PatchErrorMessage, JoinsPiecesAndPayloadsVerbatim) {
  const struct {
    PatchError error;
    const char* message;
  } cases[] = {
      {PatchError::invalid_operation(""), "Invalid patch operation: "},
      {PatchError::invalid_operation("Can only patch objects and arrays"),
       "Invalid patch operation: Can only patch objects and arrays"},
      {PatchError::type_mismatch("1", "2"), "Type mismatch: expected 1, found 2"},
      {PatchError::type_mismatch("{\"a\":[1,2.0]}", "\"x\""), "Type mismatch: expected {\"a\":[1,2.0]}, found \"x\""},
      {PatchError::key_not_found(""), "Key '' not found"},
      {PatchError::key_not_found("it's"), "Key 'it's' not found"},
      {PatchError::invalid_serial_key(" [x] "), "Invalid serial key:  [x] "},
      {PatchError::json_error({"unexpected end", std::nullopt}), "JSON error: unexpected end"},
      {PatchError::json_error({"bad", std::make_pair(std::size_t{3}, std::size_t{14})}), "JSON error: bad at line 3 column 14"},
      {PatchError::invalid_array_index("-1"), "Invalid array index: -1"},
      {PatchError::recursion_limit(), "Recursion depth limit exceeded"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.message(), c.message);
}

}  // namespace
}  // namespace quillfen
