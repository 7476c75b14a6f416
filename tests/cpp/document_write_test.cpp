#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// The exact form: a Set of an object is wrapped at every depth, and what reads back is the patch.
TEST(WriteDocumentExact, WrapsSetsOfObjectsAndReadsBackTheSamePatch) {
  const Patch p = patch_of(at("a", set(R"({"x":1})")), at("b", set("[{}]")), at("c", del()),
                           at("d", nested(at("e", set("{}")), at("f", nested(at("g", set("null")), at("h", del()))))),
                           at("*", set(R"({"*":null})")));
  Result<JsonValue, Inexpressible> written = write_document_exact(p);
  ASSERT_TRUE(written.ok());
  EXPECT_EQ(written.value().compact_text(),
            R"({"*":{"*":{"*":null}},"a":{"*":{"x":1}},"b":[{}],"c":{"*":null},"d":{"e":{"*":{}},"f":{"g":null,"h":{"*":null}}}})");
  EXPECT_EQ(text(read_document(std::move(written).value()).value()), text(p));
}

// Children whose order could change a result must be in byte order; others may come in any order.
TEST(WriteDocumentExact, RefusesWhatNoDocumentCarries) {
  struct Row {
    Operation operation;
    const char* expected;  // the refusal, or null when the form is written
  };
  Row rows[] = {
      {nested(at("x", nested(at("*", set(1))))), R"(Cannot write the patch losslessly at ["k","x"]: a child under "*" reads back as a set or delete of the whole entry)"},
      {nested(at("x", del()), at("y", set(1)), at("x", set(2))), R"(Cannot write the patch losslessly at ["k"]: the child key "x" appears twice)"},
      {nested(at("y", set(1)), at("a", nested()), at("x", set(2))),
       R"(Cannot write the patch losslessly at ["k"]: the child "x" is set after "y", and read back in byte order the two could append array elements in the other order)"},
      {nested(at("y", set(1)), at("x", nested()), at("w", del())), nullptr},
      {nested(at("y", nested()), at("x", nested())), nullptr},
      {move("a", "b"), R"(Cannot write the patch losslessly at ["k"]: a move, copy or test reads back as a nested change)"},
      {nested(at("x", nested(at("y", test("1"))))), R"(Cannot write the patch losslessly at ["k","x","y"]: a move, copy or test reads back as a nested change)"},
  };
  for (Row& row : rows) {
    Result<JsonValue, Inexpressible> written = write_document_exact(patch_of(at("k", std::move(row.operation))));
    EXPECT_EQ(written.ok() ? "written" : written.error().message(), row.expected ? row.expected : "written");
  }
}

TEST(WriteDocumentExact, TheSmallestRefusedKeyReportsWhateverTheMapOrder) {
  for (int seed = 0; seed < 20; ++seed) {  // each patch hashes its keys with a seed of its own
    Patch p;
    for (int k = 0; k < 10; ++k) p.insert(numbered("k", k), k % 3 == 1 ? copy("a", "b") : set(k));
    Result<JsonValue, Inexpressible> written = write_document_exact(p);
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error().path(), std::vector<std::string>{"k1"});
  }
}

}  // namespace
}  // namespace quillfen
