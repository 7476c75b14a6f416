#include "patch/patch.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace quillfen {
namespace {

JsonValue u(std::uint64_t v) { return JsonValue(JsonNumber::from_unsigned(v)); }

std::vector<std::string> keys_in_map_order(const Patch& p) {
  std::vector<std::string> keys;
  p.for_each([&keys](const Patch::Entry& e) { keys.push_back(e.key); });
  return keys;
}

// A Nested chain `depth` levels deep, with a Set at the bottom, built without recursion.
Operation nested_chain(int depth, std::uint64_t leaf) {
  Operation op = Set{u(leaf)};
  for (int level = 0; level < depth; ++level) {
    ChildList children;
    children.push_back(ChildEntry{"k", std::move(op)});
    op = Nested(std::move(children));
  }
  return op;
}

TEST(Patch, InsertAtAnExistingKeyReplacesTheWholeOperation) {
  Patch p;
  EXPECT_FALSE(p.insert("a", Set{u(1)}).has_value());
  std::optional<Operation> old = p.insert("a", Delete{});
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(old->index(), 0u);
  EXPECT_EQ(p.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<Delete>(*p.find("a")));
}

TEST(Patch, SpecialLookingKeysAreOrdinaryAndDistinct) {
  Patch p;
  const std::vector<std::string> keys = {"", "*", "_", "[0]", "[00]", std::string("\0a", 2), std::string("\0b", 2)};
  std::uint64_t n = 0;
  for (const std::string& k : keys) (void)p.insert(k, Set{u(n++)});
  ASSERT_EQ(p.size(), keys.size());
  n = 0;
  for (const std::string& k : keys) {
    const Operation* op = p.find(k);
    ASSERT_NE(op, nullptr) << k;
    EXPECT_EQ(std::get<Set>(*op).value, u(n++));
  }
  EXPECT_EQ(p.find("[000]"), nullptr);
}

TEST(Patch, GrowsAndKeepsEveryEntry) {
  Patch p;
  for (int k = 0; k < 20000; ++k) (void)p.insert("key" + std::to_string(k), Set{u(static_cast<std::uint64_t>(k))});
  for (int k = 0; k < 20000; k += 7) (void)p.insert("key" + std::to_string(k), Delete{});
  ASSERT_EQ(p.size(), 20000u);
  for (int k = 0; k < 20000; ++k) {
    const Operation* op = p.find("key" + std::to_string(k));
    ASSERT_NE(op, nullptr);
    if (k % 7 == 0)
      EXPECT_TRUE(std::holds_alternative<Delete>(*op));
    else
      EXPECT_EQ(std::get<Set>(*op).value, u(static_cast<std::uint64_t>(k)));
  }
  std::vector<std::string> seen = keys_in_map_order(p);
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), 20000u);
}

TEST(Patch, OrderIsNeitherInsertionNorSortedAndDiffersBetweenMaps) {
  std::vector<std::string> inserted;
  for (int k = 0; k < 64; ++k) inserted.push_back("k" + std::to_string(k));
  std::set<std::vector<std::string>> orders;
  for (int round = 0; round < 8; ++round) {
    Patch p;
    for (const std::string& k : inserted) (void)p.insert(k, Delete{});
    orders.insert(keys_in_map_order(p));
  }
  std::vector<std::string> sorted = inserted;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(orders.count(inserted), 0u);
  EXPECT_EQ(orders.count(sorted), 0u);
  EXPECT_GT(orders.size(), 1u);  // each map has its own seed
}

TEST(Patch, CopyIsDeepAndIndependent) {
  Patch source;
  (void)source.insert("n", nested_chain(3, 7));
  (void)source.insert("m", Move{"a", "b"});
  (void)source.insert("t", quillfen::Test{JsonValue("x")});
  Patch copy = source.copy();
  ASSERT_EQ(copy.size(), 3u);
  // Change the copy three levels down and at the top; the source keeps what it had.
  Nested* level = &std::get<Nested>(*copy.find("n"));
  for (int i = 0; i < 2; ++i) level = &std::get<Nested>(level->children[0].operation);
  std::get<Set>(level->children[0].operation).value = u(8);
  level->children.push_back(ChildEntry{"new", Delete{}});
  (void)copy.insert("m", Copy{"c", "d"});
  (void)copy.insert("extra", Delete{});

  const Nested* original = &std::get<Nested>(*source.find("n"));
  for (int i = 0; i < 2; ++i) original = &std::get<Nested>(original->children[0].operation);
  ASSERT_EQ(original->children.size(), 1u);
  EXPECT_EQ(std::get<Set>(original->children[0].operation).value, u(7));
  EXPECT_EQ(std::get<Move>(*source.find("m")).from, "a");
  EXPECT_EQ(source.size(), 3u);
  EXPECT_EQ(std::get<quillfen::Test>(*copy.find("t")).value, JsonValue("x"));
}

TEST(Patch, EmptyNestedSurvivesCopy) {
  Patch source;
  (void)source.insert("e", Nested());
  Patch copy = source.copy();
  ASSERT_TRUE(std::holds_alternative<Nested>(*copy.find("e")));
  EXPECT_TRUE(std::get<Nested>(*copy.find("e")).children.empty());
}

TEST(Patch, TakeEntriesEmptiesThePatchAndItCanBeFilledAgain) {
  Patch p;
  (void)p.insert("a", Delete{});
  (void)p.insert("b", Delete{});
  std::vector<Patch::Entry> entries = std::move(p).take_entries();
  EXPECT_EQ(entries.size(), 2u);
  EXPECT_TRUE(p.empty());
  EXPECT_EQ(p.find("a"), nullptr);
  (void)p.insert("a", Set{u(1)});
  EXPECT_EQ(p.size(), 1u);
}

TEST(OperationDepth, DeepNestedCopiesAndDropsWithoutRecursing) {
  Patch p;
  (void)p.insert("deep", nested_chain(1000000, 1));
  Patch copy = p.copy();
  const Nested* level = &std::get<Nested>(*copy.find("deep"));
  int depth = 1;
  while (const Nested* next = std::get_if<Nested>(&level->children[0].operation)) {
    level = next;
    ++depth;
  }
  EXPECT_EQ(depth, 1000000);
  EXPECT_EQ(std::get<Set>(level->children[0].operation).value, u(1));
}

}  // namespace
}  // namespace quillfen
