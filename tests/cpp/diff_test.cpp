#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "helpers.h"
#include "patch/document_form.h"
#include "walks/apply.h"
#include "walks/diff.h"

namespace quillfen {
namespace {

using namespace test_util;

struct Row {
  const char* old_doc;
  const char* new_doc;
  const char* expected;  // the patch's text, or the refusal's message
};

// Every patch must turn old into new, and survive the exact document form unchanged.
std::string diff_text(const Row& row) {
  const JsonValue old_doc = J(row.old_doc);
  const JsonValue new_doc = J(row.new_doc);
  Result<Patch, Inexpressible> patch = diff_documents(old_doc, new_doc);
  if (!patch.ok()) return patch.error().message();
  JsonValue applied = old_doc.copy();
  EXPECT_TRUE(apply_to_document(patch.value(), applied).ok()) << row.new_doc;
  EXPECT_TRUE(applied == new_doc) << applied.compact_text() << " != " << row.new_doc;
  Result<JsonValue, Inexpressible> written = write_document_exact(patch.value());
  if (written.ok()) {
    EXPECT_EQ(text(read_document_exact(std::move(written).value()).value()), text(patch.value())) << row.new_doc;
  } else {
    ADD_FAILURE() << written.error().message();
  }
  return text(patch.value());
}

void run(const std::vector<Row>& rows) {
  for (const Row& row : rows) EXPECT_EQ(diff_text(row), row.expected) << row.old_doc << " -> " << row.new_doc;
}

TEST(DiffObjects, OnlyWhatChangedWithKindsApart) {
  run({
      {R"({"a":1,"b":[1,{"c":2}]})", R"({"b":[1,{"c":2}],"a":1})", ""},
      {R"({"a":1,"b":true,"c":0.0,"d":"x","e":2})", R"({"a":1.0,"b":1,"c":-0.0,"d":"x","f":null})", R"(a:=1.0 b:=1 e:- f:=null)"},
      {R"({"a":{"x":1,"y":{"z":[1]},"w":2}})", R"({"a":{"x":1,"y":{"z":[2]},"v":{}}})", R"(a:{v:={},w:-,y:{z:=[2]}})"},
      // Below the top level "_" is an ordinary member; at the top level "*" is an ordinary key.
      {R"({"a":{"_":1}})", R"({"a":{"_":2}})", R"(a:{_:=2})"},
      {R"({"*":{"k":1}})", R"({"*":{"k":2}})", R"(*:{k:=2})"},
      // A child under "*" would read back as a Set or Delete of the whole: the object is set instead.
      {R"({"a":{"*":1,"k":1}})", R"({"a":{"*":1,"k":2}})", R"(a:{k:=2})"},
      {R"({"a":{"*":1,"k":1}})", R"({"a":{"*":2,"k":1}})", R"(a:={"*":2,"k":1})"},
      {R"({"a":{"k":1}})", R"({"a":{"*":null,"k":1}})", R"(a:={"*":null,"k":1})"},
  });
}

TEST(DiffArrays, PairedBySerialWhereThatExpressesTheChange) {
  const char* old_doc = R"({"l":[{"_":"a","v":1},{"_":"b","v":2},{"_":"c","v":3}]})";
  run({
      {old_doc, old_doc, ""},
      {old_doc, R"({"l":[{"_":"a","v":1},{"_":"c","v":4},{"_":"d"},{"_":"e","v":5}]})",
       R"(l:{b:-,c:{v:=4},d:={"_":"d"},e:={"_":"e","v":5}})"},
      {old_doc, R"({"l":[{"_":"a","v":[]},{"_":"b","v":2},{"_":"c","v":3}]})", R"(l:{a:{v:=[]}})"},
      // Entries come in key order whatever the element order.
      {R"({"l":[{"_":"z"},{"_":"y","v":1},{"_":"x"}]})", R"({"l":[{"_":"y","v":2}]})", R"(l:{x:-,y:{v:=2},z:-})"},
      // Placements where the order changed: the longest run of kept elements in order stays, the
      // trailing new ones in byte order are appended, every other element goes after its predecessor.
      {old_doc, R"({"l":[{"_":"b","v":2},{"_":"a","v":1},{"_":"c","v":3}]})", R"(l:{b:{}@^})"},  // reordered
      {old_doc, R"({"l":[{"_":"a","v":1},{"_":"d"},{"_":"b","v":2},{"_":"c","v":3}]})",
       R"(l:{d:={"_":"d"}@a})"},  // added before kept ones
      {old_doc, R"({"l":[{"_":"a","v":1},{"_":"b","v":2},{"_":"c","v":3},{"_":"e"},{"_":"d"}]})",
       R"(l:{d:={"_":"d"},e:={"_":"e"}@c})"},  // added out of byte order
      {old_doc, R"({"l":[{"_":"c","v":4},{"_":"b","v":2},{"_":"a","v":1}]})", R"(l:{b:{}@c,c:{v:=4}@^})"},
      // Each case that placements cannot express sets the array whole.
      {old_doc, R"({"l":[{"_":"a","v":1},{"_":"b","v":2},{"_":"c","v":3},{"_":"c"}]})",
       R"(l:=[{"_":"a","v":1},{"_":"b","v":2},{"_":"c","v":3},{"_":"c"}])"},  // a serial twice
      {old_doc, R"({"l":[{"_":"a","v":1},{"_":"b","v":2},{"v":3}]})", R"(l:=[{"_":"a","v":1},{"_":"b","v":2},{"v":3}])"},
      {R"({"l":[1,2,3]})", R"({"l":[1,2]})", R"(l:=[1,2])"},
      // The element with serial "*" may only stay as it was.
      {R"({"l":[{"_":"*"},{"_":"a"}]})", R"({"l":[{"_":"*"},{"_":"a","v":1}]})", R"(l:{a:{v:=1}})"},
      {R"({"l":[{"_":"*"},{"_":"a"}]})", R"({"l":[{"_":"*","v":1},{"_":"a"}]})", R"(l:=[{"_":"*","v":1},{"_":"a"}])"},
      {R"({"l":[{"_":"*"},{"_":"a"}]})", R"({"l":[{"_":"a"},{"_":"*"}]})", R"(l:{a:{}@^})"},
      {R"({"l":[{"_":"*"},{"_":"a"},{"_":"b"}]})", R"({"l":[{"_":"a"},{"_":"b"},{"_":"*"}]})", R"(l:=[{"_":"a"},{"_":"b"},{"_":"*"}])"},
      {R"({"l":[{"_":"*"},{"_":"a"}]})", R"({"l":[{"_":"a"},{"_":"b"},{"_":"*"}]})", R"(l:{a:{}@^,b:={"_":"b"}@a})"},
      // Below the top level "_" and index-like serials are serial keys like any other.
      {R"({"l":[{"_":"_"},{"_":"[0]"}]})", R"({"l":[{"_":"_","v":1}]})", R"(l:{[0]:-,_:{v:=1}})"},
      // A paired element whose "*" member changed is set whole: its stamped copy is itself.
      {R"({"l":[{"_":"a","*":1}]})", R"({"l":[{"_":"a","*":2}]})", R"(l:{a:={"*":2,"_":"a"}})"},
  });
}

TEST(DiffArrays, SerialsInByteOrderPairInOneMerge) {
  run({
      // Both lists in byte order: an element added before a kept one is placed.
      {R"({"l":[{"_":"a"},{"_":"c"}]})", R"({"l":[{"_":"a"},{"_":"b"},{"_":"c"}]})", R"(l:{b:={"_":"b"}@a})"},
      {R"({"l":[{"_":"a"},{"_":"b"},{"_":"c","v":1}]})", R"({"l":[{"_":"b"},{"_":"c","v":2},{"_":"d"},{"_":"e"}]})",
       R"(l:{a:-,c:{v:=2},d:={"_":"d"},e:={"_":"e"}})"},
  });
}

TEST(DiffArrayRoot, SerialsThenPositions) {
  run({
      {R"([{"_":"a","v":1},{"_":"b"},{"_":"c"}])", R"([{"_":"a","v":2},{"_":"c"},{"_":"d"}])",
       R"(a:{v:=2} b:- d:={"_":"d"})"},
      // Serials that are no top-level key are reached by their old position.
      {R"([{"_":"_","v":1},{"_":"[0]"},{"_":"k"}])", R"([{"_":"_","v":2},{"_":"k"}])", R"([0]:{v:=2} [1]:-)"},
      // Added elements are appended by serial in byte order, the order in which the top level appends;
      // out of that order, positions take over where they can.
      {R"([{"_":"a"},{"_":"x"}])", R"([{"_":"a"},{"_":"b"},{"_":"c"}])", R"(b:={"_":"b"} c:={"_":"c"} x:-)"},
      {R"([{"_":"a"},{"_":"x"}])", R"([{"_":"a"},{"_":"c"},{"_":"b"}])", R"(b:={"_":"b"} c:={"_":"c"}@a x:-)"},
      {R"([{"_":"a"},{"_":"b"}])", R"([{"_":"b"},{"_":"a"}])", R"(b:{}@^)"},
      // Placements need every new serial to be a top-level key; else positions take over.
      {R"([{"_":"a"},{"_":"[0]"}])", R"([{"_":"[0]"},{"_":"a"}])", R"([0]:{_:="[0]"} [1]:{_:="a"})"},
      // Deletions go before the longest unchanged tail.
      {R"([1,2,3,4,5])", R"([1,3,4,5])", R"([1]:-)"},
      {R"([1,2,3,4,5])", R"([9,5])", R"([0]:=9 [1]:- [2]:- [3]:-)"},
      // Appending a value that is no object: any key that reaches no element.
      {R"([1])", R"([1,[2]])", R"(+1:=[2])"},
      {R"([{"_":"+1"},{"_":"+2"}])", R"([{"_":"+1"},{"_":"+2"},null,null])", R"(+3:=null +4:=null)"},
      // Several values that differ, under keys that ascend; ten need two digits.
      {R"([1])", R"([1,2,3])", R"(+1:=2 +2:=3)"},
      {"[]", "[0,1,2,3,4,5,6,7,8,9]", "+01:=0 +02:=1 +03:=2 +04:=3 +05:=4 +06:=5 +07:=6 +08:=7 +09:=8 +10:=9"},
  });
}

TEST(DiffRefusals, EachCaseNoPatchExpresses) {
  run({
      {"1", "1", "Cannot express the change at []: only objects and arrays can be patched"},
      {"{}", "[]", "Cannot express the change at []: a patch cannot turn an object into an array"},
      {"[]", "{}", "Cannot express the change at []: a patch cannot turn an array into an object"},
      {R"({"_":1})", R"({"_":1.0})", R"(Cannot express the change at ["_"]: applying passes over the member "_" at the top level of an object)"},
      {R"([1])", R"([1,2,{"_":"s"}])",
       R"(Cannot express the change at ["[1]"]: the array root grows by objects and other values together, which no order of keys appends as they stand)"},
      {R"([1])", R"([1,{"_":"t"},{"_":"s"}])",
       R"(Cannot express the change at ["[1]"]: the added objects' serials "t" and "s" do not ascend in byte order, the order in which the top level appends)"},
      {R"([1])", R"([1,{"v":1}])",
       R"(Cannot express the change at ["[1]"]: an object is appended to an array root by its serial, and this one carries none)"},
      {R"([1])", R"([1,{"_":"[7]"}])",
       R"(Cannot express the change at ["[1]"]: the added object's serial "[7]" is no serial key at the top level)"},
      {R"([{"_":"x"}])", R"([{"_":"y"},{"_":"x"}])", R"(y:={"_":"y"}@^)"},  // placed
      {R"([{"_":"x"},2])", R"([{"_":"x"},2,{"_":"x"}])",
       R"(Cannot express the change at ["[2]"]: the added object's serial "x" is carried by an old element, which its key would reach instead)"},
  });
}

TEST(DiffDepth, DeepDocumentsNeedNoStack) {
  constexpr int kDepth = 200000;
  JsonValue old_doc = J("1");
  JsonValue new_doc = J("2");
  for (int i = 0; i < kDepth; ++i) {
    std::vector<JsonMember> o, n;
    o.push_back(JsonMember{"k", std::move(old_doc)});
    n.push_back(JsonMember{"k", std::move(new_doc)});
    old_doc = JsonValue(JsonObject::from_members(std::move(o)));
    new_doc = JsonValue(JsonObject::from_members(std::move(n)));
  }
  Result<Patch, Inexpressible> patch = diff_documents(old_doc, new_doc);
  ASSERT_TRUE(patch.ok());
  const Operation* op = patch.value().find("k");
  int depth = 1;
  for (; op != nullptr && std::holds_alternative<Nested>(*op); ++depth) op = &std::get<Nested>(*op).children.at(0).operation;
  EXPECT_EQ(depth, kDepth);
  ASSERT_NE(op, nullptr);
  EXPECT_EQ(text(*op), "=2");
}

}  // namespace
}  // namespace quillfen
