#include "json_value/json_value.h"

#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <string>
#include <vector>

#include "helpers.h"

namespace quillfen {
namespace {

using test_util::J;

JsonValue u(std::uint64_t v) { return JsonValue(JsonNumber::from_unsigned(v)); }
JsonValue i(std::int64_t v) { return JsonValue(JsonNumber::from_signed(v)); }
JsonValue d(double v) { return JsonValue(JsonNumber::from_double(v)); }

// A value nested `depth` arrays deep, built without recursion.
JsonValue deep_array(int depth) {
  JsonValue v = u(1);
  for (int level = 0; level < depth; ++level) {
    JsonArray a;
    a.push_back(std::move(v));
    v = JsonValue(std::move(a));
  }
  return v;
}

// Evaluated by the compiler, which refuses undefined behaviour such as reading a union member
// other than the one written.
static_assert(std::bit_cast<std::uint64_t>(JsonNumber::from_double(-0.0).as_double()) == 0x8000000000000000U);
static_assert(JsonNumber::from_double(0.0) == JsonNumber::from_double(-0.0));
static_assert(JsonNumber::from_double(1.0) != JsonNumber::from_unsigned(1));
static_assert(JsonNumber::from_signed(-1).as_negative() == -1 && JsonNumber::from_signed(-1).is_negative());

TEST(JsonNumber, SignRuleGivesOneRepresentationPerInteger) {
  EXPECT_TRUE(JsonNumber::from_signed(0).is_unsigned());
  EXPECT_TRUE(JsonNumber::from_signed(5).is_unsigned());
  EXPECT_TRUE(JsonNumber::from_signed(-5).is_negative());
  EXPECT_EQ(JsonNumber::from_signed(-5).as_negative(), -5);
  EXPECT_EQ(JsonNumber::from_signed(std::numeric_limits<std::int64_t>::min()).as_negative(),
            std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(JsonNumber::from_signed(7), JsonNumber::from_unsigned(7));
}

TEST(JsonValueEquality, NumberKindsStayApart) {
  EXPECT_NE(u(1), d(1.0));
  EXPECT_NE(u(5), i(-5));
  EXPECT_EQ(d(0.0), d(-0.0));
  EXPECT_NE(u(std::numeric_limits<std::uint64_t>::max()), i(-1));  // same bits, different kinds
  EXPECT_EQ(u(std::numeric_limits<std::uint64_t>::max()), u(std::numeric_limits<std::uint64_t>::max()));
}

TEST(JsonValueEquality, KindsNeverEqual) {
  EXPECT_NE(J("null"), J("false"));
  EXPECT_NE(J("0"), J("false"));
  EXPECT_NE(J("\"1\""), J("1"));
  EXPECT_NE(J("[]"), J("{}"));
  EXPECT_EQ(JsonValue(), JsonValue());
  EXPECT_NE(JsonValue(true), JsonValue(false));
}

TEST(JsonValueEquality, ObjectsByMembersArraysByPosition) {
  EXPECT_EQ(J(R"({"a":1,"b":2})"), J(R"({"b":2,"a":1})"));
  EXPECT_NE(J(R"({"a":1})"), J(R"({"a":1,"b":2})"));
  EXPECT_NE(J(R"({"a":1})"), J(R"({"b":1})"));
  EXPECT_NE(J("[1,2]"), J("[2,1]"));
  EXPECT_NE(J("[1]"), J("[1,1]"));
  EXPECT_NE(J("[[1]]"), J("[[1.0]]"));  // differs only deep down
}

TEST(JsonObject, IteratesInByteOrderWhateverTheInsertionOrder) {
  JsonObject o;
  for (const char* k : {"c", "a", "b", "B", "ab", "\xc3\xa9", "z", ""}) (void)o.insert(k, JsonValue());
  std::vector<std::string> keys;
  for (const JsonMember& m : o) keys.push_back(m.key);
  // Bytes, not code points: "é" (0xC3 0xA9) after "z"; "B" (0x42) before "a"; a prefix first.
  EXPECT_EQ(keys, (std::vector<std::string>{"", "B", "a", "ab", "b", "c", "z", "\xc3\xa9"}));
}

TEST(JsonObject, InsertReplacesAndGivesBackTheOldValue) {
  JsonObject o;
  EXPECT_FALSE(o.insert("k", u(1)).has_value());
  std::optional<JsonValue> old = o.insert("k", u(2));
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(*old, u(1));
  EXPECT_EQ(o.size(), 1u);
  EXPECT_EQ(*o.find("k"), u(2));
  std::optional<JsonValue> removed = o.remove("k");
  ASSERT_TRUE(removed.has_value());
  EXPECT_EQ(*removed, u(2));
  EXPECT_FALSE(o.remove("k").has_value());
  EXPECT_EQ(o.find("k"), nullptr);
}

TEST(JsonObject, FromMembersSortsAndLaterDuplicateWins) {
  EXPECT_EQ(J(R"({"b":1,"a":2,"b":3})").compact_text(), R"({"a":2,"b":3})");  // J builds through from_members
}

TEST(JsonObject, MergeMembersMatchesOneByOneInsertion) {
  JsonObject batched;
  JsonObject single;
  for (const char* k : {"d", "b", "f"}) {
    (void)batched.insert(k, u(0));
    (void)single.insert(k, u(0));
  }
  std::vector<JsonMember> incoming;
  int n = 0;
  for (const char* k : {"a", "f", "c", "g", "a"}) {
    incoming.push_back({k, u(++n)});
    (void)single.insert(k, u(n));
  }
  batched.merge_members(std::move(incoming));
  EXPECT_EQ(JsonValue(std::move(batched)), JsonValue(std::move(single)));
}

TEST(JsonValueCopy, DeepCopyIsIndependentAndKeepsNumberKinds) {
  JsonValue source = J(R"({"list":[18446744073709551615,-1,-0.0,2.0,"s"]})");
  const std::string text = source.compact_text();  // the text tells every number kind apart
  JsonValue copy = source.copy();
  EXPECT_EQ(copy.compact_text(), text);
  copy.as_object().find("list")->as_array().push_back(u(2));
  copy.as_object().find("list")->as_array()[4].as_string() += "x";
  EXPECT_EQ(source.compact_text(), text);
}

TEST(CompactText, WritesTheExactText) {
  const struct {
    JsonValue value;
    const char* text;
  } cases[] = {
      {JsonValue(), "null"},
      {JsonValue(true), "true"},
      {u(0), "0"},
      {u(18446744073709551615ULL), "18446744073709551615"},
      {i(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {d(1.0), "1.0"},
      {d(-0.0), "-0.0"},
      {d(2.5), "2.5"},
      {d(0.1), "0.1"},  // the shortest text that reads back as the same double
      {d(1e300), "1e+300"},
      {JsonValue("\"\\\b\t\n\f\r\x01\x1f/\xc3\xa9"), "\"\\\"\\\\\\b\\t\\n\\f\\r\\u0001\\u001f/\xc3\xa9\""},
      {J(R"({"b":[1,2.5],"a":null})"), R"({"a":null,"b":[1,2.5]})"},
      {J("{\"\n\":[],\"\":{}}"), R"({"":{},"\n":[]})"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.compact_text(), c.text);
}

TEST(JsonValueDepth, DeepValuesCopyCompareWriteAndDropWithoutRecursing) {
  constexpr int kDepth = 1000000;  // a recursive walk would run out of stack long before this
  JsonValue deep = deep_array(kDepth);
  JsonValue copy = deep.copy();
  EXPECT_EQ(deep, copy);
  const std::string text = copy.compact_text();
  EXPECT_EQ(text.size(), 2u * kDepth + 1);
  EXPECT_EQ(text.substr(kDepth - 1, 3), "[1]");
  EXPECT_NE(deep, deep_array(kDepth + 1));
  for (int level = 0; level < kDepth; ++level) {  // objects too
    JsonObject o;
    o.append_in_order("k", std::move(deep));
    deep = JsonValue(std::move(o));
  }
}

}  // namespace
}  // namespace quillfen
