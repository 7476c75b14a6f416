#include <gtest/gtest.h>

#include <string>

#include "helpers.h"
#include "walks/compose.h"

namespace quillfen {
namespace {

using namespace test_util;

std::string composed(const Patch& first, const Patch& second, ComposeReading reading) {
  Result<Patch, Inexpressible> result = compose_patches(first, second, reading);
  return result.ok() ? text(result.value()) : result.error().message();
}

// Moves, copies and tests, which only the core builds: kept where one patch alone reaches a level,
// refused beside the other's changes; so is a child list that holds a key twice.
TEST(Compose, MovesCopiesAndTestsStandAlone) {
  for (ComposeReading reading : {ComposeReading::AnyData, ComposeReading::Objects}) {
    const Patch moving = patch_of(at("a", nested(at("m", move("x", "y")), at("t", test("1")))));
    EXPECT_EQ(composed(moving, patch_of(at("b", set(1))), reading), text(patch_of(at("a", nested(at("m", move("x", "y")), at("t", test("1")))), at("b", set(1)))));
    EXPECT_EQ(composed(moving, patch_of(at("a", nested(at("x", set("{}"))))), reading),
              R"(Cannot compose the patches at ["a","m"]: a move, copy or test, which compose does not take beside other changes)");
    const Patch twice = patch_of(at("a", nested(at("k", set(1)), at("k", set(2)))));
    EXPECT_EQ(composed(twice, twice, reading), R"(Cannot compose the patches at ["a","k"]: a patch holds this key twice at one level)");
  }
}

// In place: the composite where it succeeds, the first patch untouched where it refuses, even after
// levels below were composed.
TEST(Compose, IntoLeavesTheFirstAsItWasOnARefusal) {
  Patch first = patch_of(at("a", nested(at("b", set("{}")))), at("z", set(1)));
  const Patch refused = patch_of(at("a", nested(at("b", set(2)))), at("z", set(3)));
  const std::string before = text(first);
  ASSERT_TRUE(compose_into(first, refused, ComposeReading::AnyData).has_value());
  EXPECT_EQ(text(first), before);
  ASSERT_FALSE(compose_into(first, refused, ComposeReading::Objects).has_value());
  EXPECT_EQ(text(first), text(patch_of(at("a", nested(at("b", set(2)))), at("z", set(3)))));
}

}  // namespace
}  // namespace quillfen
