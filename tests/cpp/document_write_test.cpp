#include <gtest/gtest.h>

#include <string>

#include "helpers.h"
#include "patch/document_form.h"

namespace quillfen {
namespace {

using namespace test_util;

// One row per form: a wrong member name, a missing member, a wrapped value or a duplicate key shows.
TEST(WriteDocument, EachOperationHasItsForm) {
  struct Row {
    Operation operation;
    const char* expected;
  };
  Row rows[] = {
      {set("null"), "null"},
      {set(R"({"x":1})"), R"({"x":1})"},  // not wrapped
      {del(), R"({"*":null})"},
      {move("a", "b"), R"({"from":"a","to":"b"})"},
      {copy("c", "d"), R"({"from":"c","to":"d"})"},
      {test("[]"), R"({"test":[]})"},
      {nested(), "{}"},
      {nested(at("b", set(1)), at("a", set(2)), at("b", del()), at("a", set(3))), R"({"a":3,"b":{"*":null}})"},
  };
  for (Row& row : rows) {
    const std::string expected = std::string(R"({"k":)") + row.expected + "}";
    EXPECT_EQ(write_document(patch_of(at("k", std::move(row.operation)))).compact_text(), expected);
  }
}

TEST(WriteDocument, TopLevelKeysInByteOrderWithEveryFormBelow) {
  const Patch p = patch_of(at("\xc3\xa9", set(-1)), at("z", nested(at("m", move("x", "y")), at("t", nested(at("u", test("5")))))),
                           at("", del()), at("B", copy("p", "q")));
  EXPECT_EQ(write_document(p).compact_text(),
            "{\"\":{\"*\":null},\"B\":{\"from\":\"p\",\"to\":\"q\"},"
            "\"z\":{\"m\":{\"from\":\"x\",\"to\":\"y\"},\"t\":{\"u\":{\"test\":5}}},\"\xc3\xa9\":-1}");
}

TEST(WriteDocument, DeepNestingDoesNotOverflowTheStack) {
  constexpr int kDepth = 200000;
  Operation op = set(7);
  for (int i = 0; i < kDepth; ++i) op = nested(at("k", std::move(op)));
  const JsonValue doc = write_document(patch_of(at("k", std::move(op))));
  const JsonValue* v = &doc;
  int depth = 0;
  for (; v->is_object(); ++depth) v = v->as_object().find("k");
  EXPECT_EQ(depth, kDepth + 1);
  EXPECT_EQ(v->compact_text(), "7");
}

}  // namespace
}  // namespace quillfen
