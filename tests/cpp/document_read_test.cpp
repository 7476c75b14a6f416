// Reading the document form, for what Python cannot build: Move, Copy and Test, child lists out of
// key order or with repeated keys, unsigned integers beyond the signed range, and depths past the
// conversion's limit. The reading rules themselves are tested from Python.
#include <gtest/gtest.h>

#include <string>

#include "helpers.h"
#include "patch/document_form.h"

namespace quillfen {
namespace {

using namespace test_util;

TEST(ReadDocument, WrittenFormsReadBackByTheReadingRules) {
  struct Case {
    const char* name;
    Operation operation;
    std::string expected;
  };
  Case cases[] = {
      {"Move reads as a Nested of two Sets", move("x", "y"), "{from:=\"x\",to:=\"y\"}"},
      {"Copy reads the same", copy("x", "y"), "{from:=\"x\",to:=\"y\"}"},
      {"Test reads as a Nested with one child", test("1"), "{test:=1}"},
      {"a null child is a Set, not a Delete", test("null"), "{test:=null}"},
      {"below the top level too", nested(at("m", move("a", "b")), at("t", test("\"v\""))),
       "{m:{from:=\"a\",to:=\"b\"},t:{test:=\"v\"}}"},
      {"children come back in key order", nested(at("b", set(1)), at("a", set(2))), "{a:=2,b:=1}"},
      {"a repeated key comes back once, with the last operation", nested(at("a", set(1)), at("a", del())), "{a:-}"},
      {"a Set of an object comes back as a Nested", set(R"({"x":1})"), "{x:=1}"},
      {"an unsigned integer keeps its kind", set("18446744073709551615"), "=18446744073709551615"},
  };
  for (Case& c : cases) {
    Result<Patch> read = read_document(write_document(patch_of(at("k", std::move(c.operation)))));
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(text(read.value()), "k:" + c.expected) << c.name;
  }
}

// A chain of `depth` objects, each the only member `key` of the one above, ending in `leaf`.
JsonValue chain(int depth, JsonValue leaf, const char* key = "k") {
  JsonValue value = std::move(leaf);
  for (int i = 0; i < depth; ++i) {
    JsonObject o;
    (void)o.insert(key, std::move(value));
    value = JsonValue(std::move(o));
  }
  return value;
}

TEST(ReadDocument, DeepDocumentsReadWithoutRecursing) {
  constexpr int kDepth = 200000;  // far past any recursion the stack could take
  Result<Patch> patch = read_document(chain(kDepth, J("7")));
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

  Result<Patch> star = read_document(chain(1, chain(1, chain(kDepth, JsonValue()), "*"), "a"));  // {"a":{"*":...}}
  ASSERT_TRUE(star.ok());
  EXPECT_TRUE(std::holds_alternative<Set>(*star.value().find("a")));
}

}  // namespace
}  // namespace quillfen
