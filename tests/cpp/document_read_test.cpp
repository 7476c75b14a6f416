#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "patch/document_form.h"
#include "patch_text.h"

namespace quillfen {
namespace {

using test_util::member;
using test_util::num;
using test_util::object;
using test_util::text;

std::string read_text(const JsonValue& document) {
  Result<Patch> patch = read_document(document);
  EXPECT_TRUE(patch.ok());
  return patch.ok() ? text(patch.value()) : "<error>";
}

TEST(ReadDocument, ValuesThatAreNoObjectReadAsEmptyPatch) {
  JsonArray array;
  array.push_back(object(member("a", num(1))));
  const JsonValue documents[] = {JsonValue(), JsonValue(true), num(0), JsonValue("a"), JsonValue(std::move(array))};
  for (const JsonValue& document : documents) {
    Result<Patch> patch = read_document(document);
    ASSERT_TRUE(patch.ok());
    EXPECT_TRUE(patch.value().empty()) << document.compact_text();
  }
}

TEST(ReadDocument, EachRuleOfOneMember) {
  struct Case {
    const char* name;
    JsonValue document;
    std::string expected;
  };
  Case cases[] = {
      {"top-level star is a key", object(member("*", JsonValue())), "*:=null"},
      {"null is a Set, not a Delete", object(member("k", JsonValue())), "k:=null"},
      {"star null is Delete", object(member("a", object(member("*", JsonValue())))), "a:-"},
      {"star value wins, siblings dropped", object(member("a", object(member("*", num(1)), member("b", num(2))))), "a:=1"},
      {"star null wins over siblings", object(member("a", object(member("*", JsonValue()), member("b", num(2))))), "a:-"},
      {"star object stays a Set", object(member("a", object(member("*", object(member("x", num(1))))))), "a:={\"x\":1}"},
      {"empty object is an empty Nested", object(member("a", object())), "a:{}"},
      {"from and to are ordinary children",
       object(member("a", object(member("from", JsonValue("x")), member("to", JsonValue("y"))))),
       "a:{from:=\"x\",to:=\"y\"}"},
      {"children in key order, each by the same rule",
       object(member("a", object(member("c", num(5)), member("b", object(member("*", JsonValue())))))), "a:{b:-,c:=5}"},
      {"star below a nested level", object(member("a", object(member("b", object(member("*", num(3))))))), "a:{b:=3}"},
      {"arrays are never looked into",
       object(member("a", JsonValue(JsonArray{}))), "a:=[]"},
      {"keys are kept verbatim", object(member("", num(1)), member("[0]", num(2)), member("_", num(3))),
       ":=1 [0]:=2 _:=3"},
  };
  for (const Case& c : cases) EXPECT_EQ(read_text(c.document), c.expected) << c.name;
}

TEST(ReadDocument, NumberKindsSurvive) {
  const JsonValue document = object(member("d", JsonValue(JsonNumber::from_double(1.0))),
                                    member("n", JsonValue(JsonNumber::from_signed(std::numeric_limits<long long>::min()))),
                                    member("u", JsonValue(JsonNumber::from_unsigned(std::numeric_limits<unsigned long long>::max()))));
  Result<Patch> patch = read_document(document);
  ASSERT_TRUE(patch.ok());
  EXPECT_EQ(std::get<Set>(*patch.value().find("d")).value, JsonValue(JsonNumber::from_double(1.0)));
  EXPECT_TRUE(std::get<Set>(*patch.value().find("n")).value.as_number().is_negative());
  EXPECT_EQ(std::get<Set>(*patch.value().find("u")).value.as_number().as_unsigned(),
            std::numeric_limits<unsigned long long>::max());
}

TEST(ReadDocument, LeavesTheDocumentUnchanged) {
  const JsonValue document =
      object(member("a", object(member("*", object(member("x", num(1)))))), member("b", object(member("c", num(2)))));
  const JsonValue before = document.copy();
  ASSERT_TRUE(read_document(document).ok());
  EXPECT_EQ(document, before);
}

TEST(ReadDocument, ChildListsAreAllocatedAtTheirFinalSize) {
  const JsonValue document = object(member("a", object(member("b", num(1)), member("c", object(member("d", num(2)),
                                                                                                  member("e", num(3)),
                                                                                                  member("f", num(4)))))));
  Result<Patch> patch = read_document(document);
  ASSERT_TRUE(patch.ok());
  const ChildList& top = std::get<Nested>(*patch.value().find("a")).children;
  EXPECT_EQ(top.capacity(), 2u);
  EXPECT_EQ(std::get<Nested>(top[1].operation).children.capacity(), 3u);
}

// A chain of `depth` objects, each the only member "k" of the one above, ending in `leaf`.
JsonValue chain(int depth, JsonValue leaf) {
  JsonValue value = std::move(leaf);
  for (int i = 0; i < depth; ++i) value = object(member("k", std::move(value)));
  return value;
}

TEST(ReadDocument, DeepDocumentsReadWithoutRecursing) {
  constexpr int kDepth = 200000;  // far past any recursion the stack could take
  Result<Patch> patch = read_document(chain(kDepth, num(7)));
  ASSERT_TRUE(patch.ok());
  const Operation* op = patch.value().find("k");
  int levels = 1;
  while (const Nested* n = std::get_if<Nested>(op)) {
    ASSERT_EQ(n->children.size(), 1u);
    op = &n->children[0].operation;
    ++levels;
  }
  EXPECT_EQ(levels, kDepth);
  EXPECT_EQ(text(*op), "=7");

  Result<Patch> star = read_document(object(member("a", object(member("*", chain(kDepth, JsonValue()))))));
  ASSERT_TRUE(star.ok());
  EXPECT_TRUE(std::holds_alternative<Set>(*star.value().find("a")));
}

}  // namespace
}  // namespace quillfen
