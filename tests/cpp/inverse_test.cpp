// The undo patch, worked out by the applying walk's observer on JsonValue documents: applied to the
// result it gives the document back, and the cases no patch undoes are refused with the key path.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "helpers.h"
#include "walks/apply.h"
#include "walks/inverse.h"

namespace quillfen {
namespace {

using namespace test_util;

// The undo patch as text, checked to give `document` back; or the refusal's message.
std::string undo(const char* document, const Patch& patch) {
  const JsonValue before = J(document);
  auto inverse = inverse_of(patch, before);
  if (!inverse.ok()) {
    const auto& why = inverse.error();
    if (const PatchError* error = std::get_if<PatchError>(&why)) return "error: " + error->message();
    return std::get<Inexpressible>(why).message();
  }
  JsonValue after = before.copy();
  EXPECT_TRUE(apply_to_document(patch, after).ok());
  EXPECT_TRUE(apply_to_document(inverse.value(), after).ok());
  EXPECT_EQ(after, before) << after.compact_text();
  return text(inverse.value());
}

TEST(Inverse, UndoesLevelByLevel) {
  EXPECT_EQ(undo(R"({"a":1,"b":{"c":2}})", patch_of(at("a", set("2")), at("n", del()), at("b", nested(at("c", del()), at("d", set("1")))))),
            R"(a:=1 b:{c:=2,d:-})");
  EXPECT_EQ(undo(R"({"a":1,"b":2})", patch_of(at("x", move("a", "b")), at("y", copy("b", "c")))), "a:=1 b:=2 c:-");
  EXPECT_EQ(undo(R"([{"_":"r","v":1},5])", patch_of(at("r", set(R"({"v":2})")), at("[1]", set("6")), at("s", set("7")))), R"([1]:=5 [2]:- r:={"_":"r","v":1})");
  EXPECT_EQ(undo(R"({"l":[{"_":"a","v":1},{"_":"b"}]})", patch_of(at("l", nested(at("a", nested(at("v", set("2")))), at("c", set("{}")))))),
            R"(l:{a:{v:=1},c:-})");
  EXPECT_EQ(undo(R"({"l":[{"_":"a","v":1},{"_":"b"}]})", patch_of(at("l", nested(at("a", del()), at("b", nested(at("w", set("1")))))))),
            R"(l:{a:={"_":"a","v":1}@^,b:{w:-}})");  // set back after nothing, by its serial
  EXPECT_EQ(undo(R"({"l":[{"_":"a","v":1},2]})", patch_of(at("l", nested(at("a", del()))))), R"(l:=[{"_":"a","v":1},2])");  // 2 has none
  // A root that lost an element: the element is set back after its old predecessor.
  EXPECT_EQ(undo(R"([{"_":"a"},{"_":"b","v":1}])", patch_of(at("b", del()), at("n", set("{}")))), R"([1]:- b:={"_":"b","v":1}@a)");
}

TEST(Inverse, RefusesWhatNoPatchUndoes) {
  EXPECT_EQ(undo("[1,2]", patch_of(at("[0]", del()))),
            R"(Cannot undo the change at ["[0]"]: an element without a serial of its own cannot be put back at its position)");
  EXPECT_EQ(undo(R"([{"_":"a"},{"_":"b"}])", patch_of(at("a", set("1")), at("b", del()))),
            R"(Cannot undo the change at ["b"]: the element before it has no serial of its own to put it back after)");
  EXPECT_EQ(undo(R"([{"_":"a"}])", patch_of(at("[0]", nested(at("v", set("1")))), at("a", nested(at("w", set("1")))))),
            R"(Cannot undo the change at ["a"]: the element is reached by two entries)");
  EXPECT_EQ(undo(R"({"a":1})", patch_of(at("a", test("2")))), "error: Type mismatch: expected 2, found 1");
}

}  // namespace
}  // namespace quillfen
