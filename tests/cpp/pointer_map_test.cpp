// The map from addresses that the in-place edits keep: every key found again after the table has
// grown many times, absent keys not found, a value kept where it was first made.
#include <gtest/gtest.h>

#include <vector>

#include "base/pointer_map.h"

namespace quillfen {
namespace {

TEST(PointerMap, FindsEveryKeyAcrossGrowth) {
  std::vector<long> objects(5000);  // addresses a few bytes apart, as objects' are
  PointerMap<std::size_t> map;
  EXPECT_EQ(map.find(&objects[0]), nullptr);
  for (std::size_t i = 0; i < objects.size(); i += 2) {
    bool added = false;
    EXPECT_EQ(map.try_emplace(&objects[i], i, added), i);
    EXPECT_TRUE(added);
  }
  bool added = true;
  EXPECT_EQ(map.try_emplace(&objects[4], 99, added), 4u);  // kept, not made again
  EXPECT_FALSE(added);
  EXPECT_EQ(map.size(), objects.size() / 2);
  for (std::size_t i = 0; i < objects.size(); ++i) {
    const std::size_t* found = map.find(&objects[i]);
    if (i % 2 == 0) {
      ASSERT_NE(found, nullptr) << i;
      EXPECT_EQ(*found, i);
    } else {
      EXPECT_EQ(found, nullptr) << i;
    }
  }
  ++map.try_emplace(&objects[6]);
  EXPECT_EQ(*map.find(&objects[6]), 7u);
}

}  // namespace
}  // namespace quillfen
