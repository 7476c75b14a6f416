// Reading the document form, for what Python cannot build: Move, Copy and Test, child lists out of
// key order or with repeated keys, unsigned integers beyond the signed range, and depths past the
// conversion's limit. The reading rules themselves are tested from Python.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "patch/document_form.h"
#include "patch_text.h"

namespace quillfen {
namespace {

using test_util::child;
using test_util::member;
using test_util::nested;
using test_util::num;
using test_util::object;
using test_util::patch_of;
using test_util::set;
using test_util::text;

// The patch that reading the written form of `patch` gives, as text.
std::string written_and_read(const Patch& patch) {
  Result<Patch> read = read_document(write_document(patch));
  EXPECT_TRUE(read.ok());
  return read.ok() ? text(read.value()) : "<error>";
}

TEST(ReadDocument, WrittenFormsReadBackByTheReadingRules) {
  struct Case {
    const char* name;
    Operation operation;
    std::string expected;
  };
  Case cases[] = {
      {"Move reads as a Nested of two Sets", Move{"x", "y"}, "{from:=\"x\",to:=\"y\"}"},
      {"Copy reads the same", Copy{"x", "y"}, "{from:=\"x\",to:=\"y\"}"},
      {"Test reads as a Nested with one child", quillfen::Test{num(1)}, "{test:=1}"},
      {"a null child is a Set, not a Delete", quillfen::Test{JsonValue()}, "{test:=null}"},
      {"below the top level too", nested(child("m", Move{"a", "b"}), child("t", quillfen::Test{JsonValue("v")})),
       "{m:{from:=\"a\",to:=\"b\"},t:{test:=\"v\"}}"},
      {"children come back in key order", nested(child("b", set(1)), child("a", set(2))), "{a:=2,b:=1}"},
      {"a repeated key comes back once, with the last operation", nested(child("a", set(1)), child("a", Delete{})),
       "{a:-}"},
      {"a Set of an object comes back as a Nested", Set{object(member("x", num(1)))}, "{x:=1}"},
  };
  for (Case& c : cases) EXPECT_EQ(written_and_read(patch_of(child("k", std::move(c.operation)))), "k:" + c.expected) << c.name;
}

TEST(ReadDocument, UnsignedBeyondSignedRangeKeepsItsKind) {
  constexpr auto kMax = std::numeric_limits<unsigned long long>::max();
  Result<Patch> patch = read_document(object(member("u", JsonValue(JsonNumber::from_unsigned(kMax)))));
  ASSERT_TRUE(patch.ok());
  const JsonNumber n = std::get<Set>(*patch.value().find("u")).value.as_number();
  EXPECT_TRUE(n.is_unsigned());
  EXPECT_EQ(n.as_unsigned(), kMax);
}

TEST(ReadDocument, ChildListsAreAllocatedAtTheirFinalSize) {
  const JsonValue document = object(member(
      "a", object(member("b", num(1)), member("c", object(member("d", num(2)), member("e", num(3)), member("f", num(4)))))));
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
