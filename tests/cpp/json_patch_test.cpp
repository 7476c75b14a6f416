// The standard formats on JsonValue documents: the core's instantiation of the generic walks. The
// JSON Patch corners are shared with the Python tests, which hold the binding's two instantiations
// to them, on a copy and in place.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "helpers.h"
#include "patch/json_patch.h"
#include "walks/apply.h"
#include "walks/json_patch_writer.h"
#include "walks/standard_formats.h"

namespace quillfen {
namespace {

using namespace test_util;

// The document's compact text after applying, or the error's kind and message.
std::string outcome(const JsonValue& doc, const JsonValue& operations) {
  Result<std::vector<JsonPatchOperation>, JsonPatchError> read = read_json_patch(operations);
  if (!read.ok()) return "malformed: " + read.error().message();
  JsonValue d = doc.copy();
  Result<Done, JsonPatchError> applied = apply_json_patch(d, read.value());
  if (applied.ok()) return d.compact_text();
  return (applied.error().kind() == JsonPatchError::Kind::Malformed ? "malformed: " : "failed: ") + applied.error().message();
}

// Each case of tests/data/json_patch_cases.json holds a document, its operations, and the "result",
// or the message of the error, under its kind: "failed" or "malformed".
TEST(JsonPatch, Corners) {
  std::ifstream file(QUILLFEN_TEST_DATA "/json_patch_cases.json");
  ASSERT_TRUE(file.is_open()) << QUILLFEN_TEST_DATA;
  const JsonValue all = J(std::string(std::istreambuf_iterator<char>(file), {}));
  const JsonArray& cases = all.as_object().find("cases")->as_array();
  ASSERT_FALSE(cases.empty());
  for (const JsonValue& c : cases) {
    const JsonObject& fields = c.as_object();
    const JsonValue* result = fields.find("result");
    const JsonValue* failed = fields.find("failed");
    const std::string expected = result ? result->compact_text()
                                 : failed ? "failed: " + failed->as_string()
                                          : "malformed: " + fields.find("malformed")->as_string();
    const JsonValue& operations = *fields.find("operations");
    EXPECT_EQ(outcome(*fields.find("document"), operations), expected) << operations.compact_text();
  }
}

// Tokens read where they stand, or from the decoded copy where the text escapes a character; past
// the few kept inline; copies and moves of a pointer read the same tokens.
TEST(JsonPointer, TokensSurviveEscapesLengthAndMoves) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"", {}},
      {"/", {""}},
      {"//a/", {"", "a", ""}},
      {"/a/b/c/d/e/f", {"a", "b", "c", "d", "e", "f"}},
      {"/a/b/c/d/e~1f/~0~01", {"a", "b", "c", "d", "e/f", "~~1"}},
      {"/a very long member name that no short string holds/x", {"a very long member name that no short string holds", "x"}},
  };
  for (const auto& [text, tokens] : cases) {
    JsonPointer parsed;
    ASSERT_FALSE(parse_json_pointer(text, parsed).has_value()) << text;
    JsonPointer copied = parsed;
    JsonPointer moved = std::move(parsed);
    for (const JsonPointer* pointer : {&copied, &moved}) {
      EXPECT_EQ(pointer->text(), text);
      ASSERT_EQ(pointer->size(), tokens.size()) << text;
      for (std::size_t i = 0; i < tokens.size(); ++i) EXPECT_EQ(pointer->token(i), tokens[i]) << text << " token " << i;
      EXPECT_EQ(pointer_prefix(*pointer, pointer->size()), text);  // every escape here is the one written back
    }
    EXPECT_TRUE(same_tokens(copied, moved));
  }
  JsonPointer faulty;
  EXPECT_EQ(parse_json_pointer("a", faulty), PointerFault::NoLeadingSlash);
  EXPECT_EQ(parse_json_pointer("/a/b/c/d/e/~2", faulty), PointerFault::BadEscape);
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
