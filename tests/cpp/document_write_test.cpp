#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "patch/document_form.h"

namespace quillfen {
namespace {

JsonValue num(std::int64_t v) { return JsonValue(JsonNumber::from_signed(v)); }

// Builders: braced lists would copy, and these values are move-only.
class ObjectOf {
 public:
  ObjectOf&& with(std::string key, JsonValue value) && {
    members_.push_back(JsonMember{std::move(key), std::move(value)});
    return std::move(*this);
  }
  operator JsonValue() && { return JsonValue(JsonObject::from_members(std::move(members_))); }

 private:
  std::vector<JsonMember> members_;
};

class NestedOf {
 public:
  NestedOf&& with(std::string key, Operation op) && {
    children_.push_back(ChildEntry{std::move(key), std::move(op)});
    return std::move(*this);
  }
  operator Operation() && { return Nested(std::move(children_)); }

 private:
  ChildList children_;
};

JsonValue delete_form() { return ObjectOf().with("*", JsonValue()); }

JsonValue move_form(const char* from, const char* to) {
  return ObjectOf().with("from", JsonValue(from)).with("to", JsonValue(to));
}

// One row per operation form: a wrong member name, a missing member or a wrapped value shows.
TEST(WriteDocument, EachOperationHasItsForm) {
  struct Row {
    const char* name;
    Operation operation;
    JsonValue expected;
  };
  std::vector<Row> rows;
  rows.push_back({"set of null stays bare", Set{JsonValue()}, JsonValue()});
  rows.push_back({"set of an object is not wrapped", Set{ObjectOf().with("x", num(1))}, ObjectOf().with("x", num(1))});
  rows.push_back({"delete", Delete{}, delete_form()});
  rows.push_back({"move", Move{"a", "b"}, move_form("a", "b")});
  rows.push_back({"copy", Copy{"c", "d"}, move_form("c", "d")});
  rows.push_back({"test", quillfen::Test{JsonValue(JsonArray{})}, ObjectOf().with("test", JsonValue(JsonArray{}))});
  rows.push_back({"empty nested", Nested{}, ObjectOf()});
  for (Row& row : rows) {
    Patch p;
    p.insert("k", std::move(row.operation));
    EXPECT_EQ(write_document(p), JsonValue(ObjectOf().with("k", std::move(row.expected)))) << row.name;
  }
}

TEST(WriteDocument, NestedChildrenComeOutInKeyOrderAndTheLaterOfOneKeyWins) {
  Patch p;
  p.insert("n", NestedOf().with("b", Set{num(1)}).with("a", Set{num(2)}).with("b", Delete{}).with("a", Set{num(3)}));
  const JsonValue doc = write_document(p);
  EXPECT_EQ(doc, JsonValue(ObjectOf().with("n", ObjectOf().with("a", num(3)).with("b", delete_form()))));
  const auto& members = doc.as_object().find("n")->as_object().members();
  ASSERT_EQ(members.size(), 2u);  // a duplicate key left behind would break the object's order
  EXPECT_EQ(members[0].key, "a");
  EXPECT_EQ(members[1].key, "b");
}

TEST(WriteDocument, TopLevelKeysInByteOrderWithEveryFormBelow) {
  Patch p;
  p.insert("\xc3\xa9", Set{num(-1)});
  p.insert("z", NestedOf().with("m", Move{"x", "y"}).with("t", NestedOf().with("u", quillfen::Test{num(5)})));
  p.insert("", Delete{});
  p.insert("B", Copy{"p", "q"});
  const JsonValue doc = write_document(p);
  std::vector<std::string> keys;
  for (const JsonMember& m : doc.as_object()) keys.push_back(m.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "B", "z", "\xc3\xa9"}));
  EXPECT_EQ(doc.compact_text(),
            "{\"\":{\"*\":null},\"B\":{\"from\":\"p\",\"to\":\"q\"},"
            "\"z\":{\"m\":{\"from\":\"x\",\"to\":\"y\"},\"t\":{\"u\":{\"test\":5}}},\"\xc3\xa9\":-1}");
}

TEST(WriteDocument, LeavesThePatchAsItWas) {
  Patch p;
  p.insert("a", Set{ObjectOf().with("x", num(1))});
  p.insert("b", NestedOf().with("c", quillfen::Test{num(2)}));
  const Patch before = p.copy();
  JsonValue doc = write_document(p);
  doc.as_object().find("a")->as_object().insert("y", num(2));  // the document shares nothing
  EXPECT_EQ(write_document(p), write_document(before));
}

TEST(WriteDocument, DeepNestingDoesNotOverflowTheStack) {
  constexpr int kDepth = 200000;
  Operation op = Set{num(7)};
  for (int i = 0; i < kDepth; ++i) op = NestedOf().with("k", std::move(op));
  Patch p;
  p.insert("k", std::move(op));
  const JsonValue doc = write_document(p);
  const JsonValue* v = &doc;
  int depth = 0;
  while (v->is_object()) {
    v = v->as_object().find("k");
    ++depth;
  }
  EXPECT_EQ(depth, kDepth + 1);
  EXPECT_EQ(*v, num(7));
}

}  // namespace
}  // namespace quillfen
