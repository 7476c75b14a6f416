// The standard formats on JsonValue documents: the core's instantiation of the generic walks. The
// Python tests hold the binding's two instantiations to the full table of corners.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "helpers.h"
#include "patch/json_patch.h"
#include "walks/apply.h"
#include "walks/json_patch_writer.h"
#include "walks/standard_formats.h"

namespace quillfen {
namespace {

using namespace test_util;

// The document's compact text after applying, or the error's kind and message.
std::string outcome(std::string_view doc, std::string_view operations) {
  Result<std::vector<JsonPatchOperation>, JsonPatchError> read = read_json_patch(J(operations));
  if (!read.ok()) return "malformed: " + read.error().message();
  JsonValue d = J(doc);
  Result<Done, JsonPatchError> applied = apply_json_patch(d, read.value());
  if (applied.ok()) return d.compact_text();
  return (applied.error().kind() == JsonPatchError::Kind::Malformed ? "malformed: " : "failed: ") + applied.error().message();
}

TEST(JsonPatch, Corners) {
  struct Case {
    const char* doc;
    const char* operations;
    const char* expected;
  };
  const Case cases[] = {
      {R"({"a/b":1,"m~n":2})", R"([{"op":"remove","path":"/a~1b"},{"op":"replace","path":"/m~0n","value":3}])", R"({"m~n":3})"},
      {R"({"~1":1})", R"([{"op":"remove","path":"/~01"}])", "{}"},  // "~01" is "~" then "1", never "/"
      {R"({"":1})", R"([{"op":"replace","path":"/","value":2}])", R"({"":2})"},
      {R"({"a":1})", R"([{"op":"replace","path":"","value":[1]}])", "[1]"},
      {R"([1,2])", R"([{"op":"add","path":"/1","value":9},{"op":"add","path":"/3","value":8},{"op":"add","path":"/-","value":7}])",
       "[1,9,2,8,7]"},
      {R"({"a":1})", R"([{"op":"add","path":"/a","value":2}])", R"({"a":2})"},
      {R"({"a":{"b":[1,{"c":2}]}})", R"([{"op":"move","from":"/a/b/1","path":"/c"}])", R"({"a":{"b":[1]},"c":{"c":2}})"},
      {R"([1,2,3])", R"([{"op":"move","from":"/0","path":"/2"}])", "[2,3,1]"},  // the path is read after the removal
      {R"({"a":{"b":1}})", R"([{"op":"copy","from":"/a","path":"/a/c"}])", R"({"a":{"b":1,"c":{"b":1}}})"},
      {R"({"a":[1.0,{"x":true}]})", R"([{"op":"test","path":"/a","value":[1,{"x":true}]}])", R"({"a":[1.0,{"x":true}]})"},
      {R"({"a":1})", R"([{"op":"move","from":"/a","path":"/a"}])", R"({"a":1})"},
      {R"({"a":1})", R"([{"op":"move","from":"/x","path":"/x"}])", R"(failed: operation 0 (move from "/x" to "/x"): "/x" does not exist)"},
      {R"({"a":{"b":1}})", R"([{"op":"move","from":"/a","path":"/a/b/c"}])",
       R"(failed: operation 0 (move from "/a" to "/a/b/c"): a value cannot be moved into its own child)"},
      {R"({"a":1})", R"([{"op":"add","path":"/x/y","value":1}])", R"(failed: operation 0 (add "/x/y"): "/x" does not exist)"},
      {R"({"a":1})", R"([{"op":"add","path":"/a/y","value":1}])", R"(failed: operation 0 (add "/a/y"): "/a" is neither an object nor an array)"},
      {"[1]", R"([{"op":"add","path":"/2","value":1}])", R"(failed: operation 0 (add "/2"): "/2" is beyond the end of the array (1 element))"},
      {"[1]", R"([{"op":"replace","path":"/1","value":1}])", R"(failed: operation 0 (replace "/1"): "/1" does not exist (the array has 1 element))"},
      {"[1]", R"([{"op":"remove","path":"/-"}])", R"(failed: operation 0 (remove "/-"): "/-" names no element: "-" is the end of the array)"},
      {"[1]", R"([{"op":"remove","path":"/01"}])", R"(malformed: operation 0 (remove "/01"): "/01": "01" is not an array index)"},
      {R"({"01":1})", R"([{"op":"remove","path":"/01"}])", "{}"},  // on an object "01" is a member name
      {"[1]", R"([{"op":"test","path":"/0","value":true}])", "failed: operation 0 (test \"/0\"): test failed: expected true, found 1"},
      {"[1]", R"([{"op":"remove","path":""}])", R"(failed: operation 0 (remove ""): the whole document cannot be removed)"},
      {"[1]", R"([{"op":"frob","path":"/0"}])", R"(malformed: operation 0 ("/0"): unknown op "frob")"},
      {"[1]", R"([{"op":"add","path":"0","value":1}])", R"(malformed: operation 0 (add "0"): "path" must be empty or start with "/")"},
      {"[1]", R"([{"op":"add","path":"/~2","value":1}])", R"(malformed: operation 0 (add "/~2"): "path" has a "~" that is not followed by 0 or 1)"},
      {"[1]", R"([{"op":"copy","path":"/0"}])", R"(malformed: operation 0 (copy "/0"): "from" is missing)"},
      {"[1]", R"([{"op":"test","path":"/0","value":1},{"op":"add","path":"/0"}])", R"(malformed: operation 1 (add "/0"): "value" is missing)"},
      {"[1]", R"([{"op":"add","path":"/0","value":null,"from":5,"extra":[]}])", "[null,1]"},  // what add does not use is ignored
  };
  for (const Case& c : cases) EXPECT_EQ(outcome(c.doc, c.operations), c.expected) << c.operations;
}

TEST(JsonPatch, EqualityByValue) {
  const char* equal[][2] = {
      {"1", "1.0"}, {"0", "-0.0"}, {"18446744073709551615", "18446744073709551615"}, {"-9223372036854775808", "-9.223372036854775808e18"},
      {R"({"a":1,"b":[2]})", R"({"b":[2.0],"a":1})"},
  };
  const char* different[][2] = {
      {"true", "1"}, {"0", "false"}, {"null", "0"}, {"1", "1.5"}, {"9007199254740993", "9007199254740992.0"},  // 2^53 + 1 is no double
      {"18446744073709551615", "1.8446744073709552e19"}, {"[1]", "[1,1]"}, {R"({"a":1})", R"({"b":1})"}, {"\"1\"", "1"},
  };
  for (const auto& p : equal) EXPECT_TRUE(equal_by_value(J(p[0]), J(p[1]))) << p[0] << " " << p[1];
  for (const auto& p : different) EXPECT_FALSE(equal_by_value(J(p[0]), J(p[1]))) << p[0] << " " << p[1];
}

TEST(MergePatch, MergesRemovesAndReplaces) {
  const char* cases[][3] = {
      {R"({"a":{"b":1,"c":2},"d":3})", R"({"a":{"b":null,"e":{"f":null,"g":4}},"d":null})", R"({"a":{"c":2,"e":{"g":4}}})"},
      {R"({"a":[1]})", R"({"a":{"b":[null]}})", R"({"a":{"b":[null]}})"},  // a list is no object; nulls in lists stay
      {R"({"a":1})", "[2]", "[2]"},
      {"[1]", R"({"a":null,"b":1})", R"({"b":1})"},
      {R"({"a":1})", "{}", R"({"a":1})"},
  };
  for (const auto& c : cases) {
    JsonValue d = J(c[0]);
    apply_merge_patch(d, J(c[1]));
    EXPECT_EQ(d.compact_text(), c[2]) << c[1];
  }
}

TEST(MergePatch, DeepPatchNeedsNoStack) {
  JsonValue patch = J("null");
  for (int i = 0; i < 100000; ++i) patch = JsonValue(JsonObject::from_members([&] {
    std::vector<JsonMember> m;
    m.push_back(JsonMember{"k", std::move(patch)});
    return m;
  }()));
  JsonValue d = J("{}");
  apply_merge_patch(d, patch);
  EXPECT_TRUE(equal_by_value(d, merge_patch_value(patch)));
}

TEST(JsonPatchOf, WritesWhatApplyingDoes) {
  const Patch p = patch_of(at("a", set("[1]")), at("rows", nested(at("s2", del()), at("s1", nested(at("v", set(2)))), at("s9", set("{}")))),
                           at("~x", del()));
  const JsonValue doc = J(R"({"rows":[{"_":"s1","v":1},{"_":"s2"}],"~x":0})");
  Result<JsonValue, std::variant<PatchError, Inexpressible>> written = json_patch_of(p, doc);
  ASSERT_TRUE(written.ok());
  EXPECT_EQ(written.value().compact_text(),
            R"([{"op":"add","path":"/a","value":[1]},{"op":"replace","path":"/rows/0/v","value":2},{"op":"remove","path":"/rows/1"},)"
            R"({"op":"add","path":"/rows/-","value":{"_":"s9"}},{"op":"remove","path":"/~0x"}])");  // removals when the pass ends
  JsonValue expected = doc.copy();
  ASSERT_TRUE(apply_to_document(p, expected).ok());
  JsonValue replayed = doc.copy();
  Result<std::vector<JsonPatchOperation>, JsonPatchError> read = read_json_patch(written.value());
  ASSERT_TRUE(read.ok() && apply_json_patch(replayed, read.value()).ok());
  EXPECT_EQ(replayed, expected);
  // A move has no counterpart: the walk's events for it match no entry.
  EXPECT_FALSE(json_patch_of(patch_of(at("k", move("a", "b"))), J(R"({"a":1})")).ok());
}

}  // namespace
}  // namespace quillfen
