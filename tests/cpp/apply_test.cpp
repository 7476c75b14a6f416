// Applying patches, driven directly: Move, Copy and Test cannot be built from Python.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "helpers.h"
#include "walks/apply.h"

namespace quillfen {
namespace {

using namespace test_util;

// The document's compact text after applying, or "error: " and the message.
std::string outcome(std::string_view doc, const Patch& patch) {
  JsonValue d = J(doc);
  Status s = apply_to_document(patch, d);
  return s.ok() ? d.compact_text() : "error: " + s.error().message();
}

struct Case {
  const char* doc;
  std::function<Patch()> patch;
  const char* expected;
};

void run(const std::vector<Case>& cases) {
  for (const Case& c : cases) EXPECT_EQ(outcome(c.doc, c.patch()), c.expected) << c.doc;
}

TEST(ApplyToObject, MoveCopyTestAndTheReservedKey) {
  run({
      {R"({"a":1,"b":2})", [] { return patch_of(at("k", move("a", "b"))); }, R"({"b":1})"},
      {R"({"a":1})", [] { return patch_of(at("k", move("x", "a"))); }, R"({"a":1})"},
      {R"({"a":1})", [] { return patch_of(at("k", move("a", "a"))); }, R"({"a":1})"},
      {R"({"a":[1]})", [] { return patch_of(at("k", copy("a", "b"))); }, R"({"a":[1],"b":[1]})"},
      {R"({"a":1})", [] { return patch_of(at("k", copy("x", "a"))); }, R"({"a":1})"},
      {R"({"a":{"x":1,"y":null}})", [] { return patch_of(at("a", test(R"({"y":null,"x":1})"))); }, R"({"a":{"x":1,"y":null}})"},
      {R"({"a":1})", [] { return patch_of(at("", test("1"))); }, "error: Key '' not found"},
      {R"({"a":1})", [] { return patch_of(at("it's", test("1"))); }, "error: Key 'it's' not found"},
      {R"({"a":1.0})", [] { return patch_of(at("a", test("1"))); }, "error: Type mismatch: expected 1, found 1.0"},
      {R"({"a":{"b":[true,"s"]}})", [] { return patch_of(at("a", test(R"({"b":[true]})"))); },
       R"(error: Type mismatch: expected {"b":[true]}, found {"b":[true,"s"]})"},
      {R"({"a":1})", [] { return patch_of(at("_", set("2")), at("a", test("1"))); }, R"({"a":1})"},
      {R"({"_":1})", [] { return patch_of(at("_", test("2"))); }, R"({"_":1})"},
      {R"({})", [] { return patch_of(at("[0]", set("1"))); }, R"({"[0]":1})"},
      {R"({"b":1})", [] { return patch_of(at("a", nested(at("x", set("1"))))); }, R"({"b":1})"},  // creates nothing
  });
}

TEST(ApplyToArray, MoveCopyTestAndAddressing) {
  const char* doc = R"([{"_":"a","v":1},5,{"_":"b"}])";
  run({
      {doc, [] { return patch_of(at("[0]", move("x", "y"))); }, "error: Invalid patch operation: Operation not supported on array indices"},
      {doc, [] { return patch_of(at("[+2]", copy("x", "y"))); }, "error: Invalid patch operation: Operation not supported on array indices"},
      {doc, [] { return patch_of(at("[3]", move("x", "y"))); }, doc},
      {doc, [] { return patch_of(at("a", copy("x", "y"))); }, "error: Invalid patch operation: Operation not supported on array serials"},
      {doc, [] { return patch_of(at("z", move("x", "y"))); }, "error: Invalid serial key: z"},
      {doc, [] { return patch_of(at("[1]", test("5"))); }, doc},
      {doc, [] { return patch_of(at("[1]", test("5.0"))); }, "error: Type mismatch: expected 5.0, found 5"},
      {doc, [] { return patch_of(at("[18446744073709551615]", test("0"))); }, doc},
      {doc, [] { return patch_of(at("a", test(R"({"_":"a"})"))); }, R"(error: Type mismatch: expected {"_":"a"}, found {"_":"a","v":1})"},
      {doc, [] { return patch_of(at("[-0]", test("0"))); }, "error: Invalid serial key: [-0]"},
      {doc, [] { return patch_of(at("z", del())); }, "error: Invalid serial key: z"},
      {doc, [] { return patch_of(at("z", nested())); }, "error: Invalid serial key: z"},
      {doc, [] { return patch_of(at("[1]", nested(at("x", set("1"))))); }, doc},
      {doc, [] { return patch_of(at("[2]", set(R"({"v":2})"))); }, R"([{"_":"a","v":1},5,{"v":2}])"},
      {doc, [] { return patch_of(at("b", set(R"({"_":"q"})"))); }, R"([{"_":"a","v":1},5,{"_":"b"}])"},
      {doc, [] { return patch_of(at("[ 1]", set("{}")), at("_", del())); }, R"([{"_":"a","v":1},5,{"_":"b"},{"_":"[ 1]"}])"},
      {doc, [] { return patch_of(at("[1]", del()), at("[01]", del()), at("[+1]", del()), at("b", del())); }, R"([{"_":"a","v":1}])"},
      {doc, [] { return patch_of(at("[0]", del()), at("a", del())); }, R"([5,{"_":"b"}])"},
  });
}

TEST(ApplyToArray, SerialsFoundByTheirLastCarrier) {
  EXPECT_EQ(outcome(R"([{"_":"a"},{"_":"a"},{"_":5}])", patch_of(at("a", set("{}")), at("5", set("1")))),
            R"([{"_":"a"},{"_":"a"},{"_":5},1])");
}

TEST(ApplyNested, MoveCopyTestActAsAtTheTopLevel) {
  const char* obj = R"({"o":{"a":1,"b":2}})";
  const char* arr = R"({"l":[{"_":"a","v":1},{"_":"b"}]})";
  run({
      {obj, [] { return patch_of(at("o", nested(at("k", move("a", "c"))))); }, R"({"o":{"b":2,"c":1}})"},
      {obj, [] { return patch_of(at("o", nested(at("k", copy("a", "b"))))); }, R"({"o":{"a":1,"b":1}})"},
      {obj, [] { return patch_of(at("o", nested(at("a", test("1")), at("b", test("2"))))); }, obj},
      {obj, [] { return patch_of(at("o", nested(at("c", test("1"))))); }, "error: Key 'c' not found"},
      {obj, [] { return patch_of(at("o", nested(at("a", del()), at("a", set("3"))))); }, R"({"o":{"a":3,"b":2}})"},
      {obj, [] { return patch_of(at("o", nested(at("a", del()), at("k", move("b", "a"))))); }, R"({"o":{"a":2}})"},
      {obj, [] { return patch_of(at("o", nested(at("c", set("3")), at("b", set("4")), at("c", del())))); }, R"({"o":{"a":1,"b":4}})"},
      {obj, [] { return patch_of(at("o", nested(at("a", test("\"1\""))))); }, R"(error: Type mismatch: expected "1", found 1)"},
      {arr, [] { return patch_of(at("l", nested(at("a", test(R"({"v":1,"_":"a"})"))))); }, arr},
      {arr, [] { return patch_of(at("l", nested(at("b", test("{}"))))); }, R"(error: Type mismatch: expected {}, found {"_":"b"})"},
      {arr, [] { return patch_of(at("l", nested(at("c", test("{}"))))); }, "error: Invalid serial key: c"},
      {arr, [] { return patch_of(at("l", nested(at("a", move("v", "w"))))); }, "error: Invalid patch operation: Operation not supported on array serials"},
      {arr, [] { return patch_of(at("l", nested(at("a", copy("v", "w"))))); }, "error: Invalid patch operation: Operation not supported on array serials"},
      {arr, [] { return patch_of(at("l", nested(at("c", copy("v", "w"))))); }, "error: Invalid serial key: c"},
      {arr, [] { return patch_of(at("l", nested(at("c", del())))); }, arr},
      {arr, [] { return patch_of(at("l", nested(at("c", nested())))); }, "error: Invalid serial key: c"},
      {arr, [] { return patch_of(at("l", nested(at("[0]", set("5"))))); }, R"({"l":[{"_":"a","v":1},{"_":"b"},5]})"},
      {arr, [] { return patch_of(at("l", nested(at("b", del()), at("b", del())))); }, R"({"l":[{"_":"a","v":1}]})"},
      {arr, [] { return patch_of(at("l", nested(at("a", nested(at("_", set("\"z\""))))))); }, R"({"l":[{"_":"z","v":1},{"_":"b"}]})"},
      {arr, [] { return patch_of(at("l", nested(at("n", set("{}")), at("n", set("2"))))); }, R"({"l":[{"_":"a","v":1},{"_":"b"},{"_":"n"},2]})"},
  });
}

// Nothing is rolled back: entries before the failing one keep their effect, pending removals and
// appends of the array passes cut short are dropped, replacements made in them stay.
TEST(ApplyNested, ErrorKeepsEarlierChanges) {
  EXPECT_EQ(outcome(R"({"o":{"d":1,"k":1}})", patch_of(at("o", nested(at("d", del()), at("n", set("1")), at("x", test("1")))))),
            "error: Key 'x' not found");
  JsonValue d = J(R"({"o":{"d":1,"k":1},"l":[{"_":"a"},{"_":"b"}]})");
  // The same with the entries in another order.
  Status s = apply_to_document(patch_of(at("o", nested(at("n", set("1")), at("d", del()), at("x", test("1"))))), d);
  ASSERT_FALSE(s.ok());
  Status t = apply_to_document(patch_of(at("l", nested(at("a", set("{}")), at("b", del()), at("q", set("1")), at("c", nested())))), d);
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(d.compact_text(), R"({"l":[{"_":"a"},{"_":"b"}],"o":{"k":1,"n":1}})");
}

// The patch map's order is random per patch; these results must not depend on it.
TEST(ApplyToArray, ResultsDoNotDependOnVisitingOrder) {
  for (int run = 0; run < 200; ++run) {
    EXPECT_EQ(outcome("[0,1,2,3]", patch_of(at("[0]", del()), at("[2]", del()))), "[1,3]");
    EXPECT_EQ(outcome(R"([{"_":"a"},1,{"_":"c"}])", patch_of(at("a", del()), at("[1]", set("9")), at("c", del()), at("[2]", del()))),
              "[9]");
    // The top level is taken in byte order of its keys: "x" appends before "y".
    EXPECT_EQ(outcome("[1,2,3]", patch_of(at("y", set("8")), at("[0]", del()), at("x", set("7")))), "[2,3,7,8]");
    JsonValue d = J("[0,1]");  // the failing pass drops its pending deletion and append
    ASSERT_FALSE(apply_to_document(patch_of(at("[0]", del()), at("x", set("1")), at("[1]", test("2"))), d).ok());
    EXPECT_EQ(d.compact_text(), "[0,1]");
  }
}

// The reference: every entry changes the object at once, through its own insert and remove.
void apply_one_by_one(JsonObject& object, const ChildList& children) {
  for (const ChildEntry& c : children) {
    if (const Set* s = std::get_if<Set>(&c.operation)) {
      object.insert(c.key, s->value.copy());
    } else if (std::holds_alternative<Delete>(c.operation)) {
      object.remove(c.key);
    } else if (const Move* m = std::get_if<Move>(&c.operation)) {
      if (m->from == m->to) continue;
      if (std::optional<JsonValue> v = object.remove(m->from)) object.insert(m->to, std::move(*v));
    } else if (const Copy* k = std::get_if<Copy>(&c.operation)) {
      if (const JsonValue* v = k->from != k->to ? object.find(k->from) : nullptr) {
        JsonValue value = v->copy();
        object.insert(k->to, std::move(value));
      }
    }
  }
}

// An object pass holds new and removed members aside until its end; whatever the mix of entries
// (repeated keys, Moves and Copies between new, removed and old members), the outcome must be that
// of changing the object entry by entry.
TEST(ApplyNested, HeldBackObjectChangesMatchOneByOne) {
  std::mt19937 random(7);
  auto any_key = [&random] { return numbered("k", random() % 24); };
  for (int round = 0; round < 200; ++round) {
    JsonObject doc;
    for (unsigned i = 0; i < 20; i += 2) doc.insert(numbered("k", i), J(std::to_string(i)));
    ChildList children;
    for (int i = 0; i < 40; ++i) {
      switch (random() % 4) {
        case 0: children.push_back(at(any_key(), set(std::to_string(100 + i)))); break;
        case 1: children.push_back(at(any_key(), del())); break;
        case 2: children.push_back(at("", move(any_key(), any_key()))); break;
        default: children.push_back(at("", copy(any_key(), any_key()))); break;
      }
    }
    const JsonValue source(std::move(doc));
    JsonValue held_back = source.copy();
    JsonValue reference = source.copy();
    ASSERT_TRUE(apply_nested(held_back, children).ok());
    apply_one_by_one(reference.as_object(), children);
    ASSERT_EQ(held_back.compact_text(), reference.compact_text()) << "round " << round;
  }
}

// A document and a patch `levels` deep: {"a":{"a":...{}}} and Nested a -> ... -> Set x.
Status apply_deep(int levels) {
  JsonValue doc{JsonObject()};
  JsonValue* inner = &doc;
  for (int i = 0; i < levels; ++i) {
    inner->as_object().insert("a", JsonValue(JsonObject()));
    inner = inner->as_object().find("a");
  }
  Operation op = set("1");
  for (int i = 0; i < levels; ++i) op = nested(at(i == 0 ? "x" : "a", std::move(op)));
  return apply_to_document(patch_of(at("a", std::move(op))), doc);
}

// apply_deep(levels) on a thread with a stack of `stack_bytes`: whether it succeeded, or the
// kind of error.
std::optional<PatchError::Kind> apply_deep_on_stack(int levels, std::size_t stack_bytes) {
  struct Job {
    int levels;
    std::optional<PatchError::Kind> outcome;
  } job{levels, std::nullopt};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stack_bytes);
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, [](void* arg) -> void* {
    auto* j = static_cast<Job*>(arg);
    const Status s = apply_deep(j->levels);
    if (!s.ok()) j->outcome = s.error().kind();
    return nullptr;
  }, &job);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(rc, 0);
  if (rc == 0) pthread_join(thread, nullptr);
  return job.outcome;
}

// The walk keeps its own stack: any depth applies, on a small thread stack too.
TEST(ApplyDepth, DeepPatchesApplyOnASmallStack) {
  EXPECT_EQ(apply_deep_on_stack(100000, 256 << 10), std::nullopt);
}

TEST(ApplyToDocument, RefusesScalarRoots) {
  for (const char* doc : {"null", "true", "1", "\"s\""})
    EXPECT_EQ(outcome(doc, Patch()), "error: Invalid patch operation: Can only patch objects and arrays");
}

}  // namespace
}  // namespace quillfen
