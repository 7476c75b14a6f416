#include "patch/patch.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "helpers.h"

namespace quillfen {
namespace {

using namespace test_util;

std::vector<std::string> keys_in_map_order(const Patch& p) {
  std::vector<std::string> keys;
  p.for_each([&keys](const Patch::Entry& e) { keys.push_back(e.key); });
  return keys;
}

TEST(Patch, InsertAtAnExistingKeyReplacesTheWholeOperation) {
  Patch p;
  EXPECT_FALSE(p.insert("a", set(1)).has_value());
  std::optional<Operation> old = p.insert("a", del());
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(text(*old), "=1");
  EXPECT_EQ(text(p), "a:-");
}

TEST(Patch, SpecialLookingKeysAreOrdinaryAndDistinct) {
  Patch p;
  const std::vector<std::string> keys = {"", "*", "_", "[0]", "[00]", std::string("\0a", 2), std::string("\0b", 2)};
  for (std::size_t n = 0; n < keys.size(); ++n) (void)p.insert(keys[n], set(static_cast<long long>(n)));
  ASSERT_EQ(p.size(), keys.size());
  for (std::size_t n = 0; n < keys.size(); ++n) {
    ASSERT_NE(p.find(keys[n]), nullptr) << n;
    EXPECT_EQ(text(*p.find(keys[n])), numbered("=", static_cast<long long>(n)));
  }
  EXPECT_EQ(p.find("[000]"), nullptr);
}

TEST(Patch, GrowsAndKeepsEveryEntry) {
  Patch p;
  for (int k = 0; k < 20000; ++k) (void)p.insert(numbered("key", k), set(k));
  for (int k = 0; k < 20000; k += 7) (void)p.insert(numbered("key", k), del());
  ASSERT_EQ(p.size(), 20000u);
  for (int k = 0; k < 20000; ++k) {
    const Operation* op = p.find(numbered("key", k));
    ASSERT_NE(op, nullptr);
    EXPECT_EQ(text(*op), k % 7 == 0 ? "-" : numbered("=", k));
  }
  std::vector<std::string> seen = keys_in_map_order(p);
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), 20000u);
}

TEST(Patch, OrderIsNeitherInsertionNorSortedAndDiffersBetweenMaps) {
  std::vector<std::string> inserted;
  for (int k = 0; k < 64; ++k) inserted.push_back(numbered("k", k));
  std::set<std::vector<std::string>> orders;
  for (int round = 0; round < 8; ++round) {
    Patch p;
    for (const std::string& k : inserted) (void)p.insert(k, del());
    orders.insert(keys_in_map_order(p));
  }
  std::vector<std::string> sorted = inserted;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(orders.count(inserted), 0u);
  EXPECT_EQ(orders.count(sorted), 0u);
  EXPECT_GT(orders.size(), 1u);  // each map has its own seed
}

TEST(Patch, CopyIsDeepAndIndependent) {
  Patch source = patch_of(at("n", nested(at("k", nested(at("k", set(7)))), at("e", nested()))), at("m", move("a", "b")),
                          at("t", test("\"x\"")));
  const std::string before = text(source);
  Patch dup = source.copy();
  EXPECT_EQ(text(dup), before);
  // Change the copy two levels down and at the top; the source keeps what it had.
  Nested& level = std::get<Nested>(std::get<Nested>(*dup.find("n")).children[0].operation);
  std::get<Set>(level.children[0].operation).value = J("8");
  level.children.push_back(at("new", del()));
  (void)dup.insert("m", copy("c", "d"));
  (void)dup.insert("extra", del());
  EXPECT_EQ(text(source), before);
}

TEST(OperationDepth, DeepNestedCopiesAndDropsWithoutRecursing) {
  Operation op = set(1);
  for (int level = 0; level < 1000000; ++level) op = nested(at("k", std::move(op)));
  Patch p = patch_of(at("deep", std::move(op)));
  Patch dup = p.copy();
  const Nested* level = &std::get<Nested>(*dup.find("deep"));
  int depth = 1;
  for (; const Nested* next = std::get_if<Nested>(&level->children[0].operation); ++depth) level = next;
  EXPECT_EQ(depth, 1000000);
  EXPECT_EQ(text(level->children[0].operation), "=1");
}

}  // namespace
}  // namespace quillfen
