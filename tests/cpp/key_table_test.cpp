#include "base/key_table.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quillfen {
namespace {

// Indexes past 2**32, as a sequence of more than four billion elements would have: a table that
// narrowed them would give back another index, and look up its key at the wrong place.
TEST(KeyTable, KeepsIndexesBeyondThirtyTwoBits) {
  constexpr std::size_t kFirst = std::size_t{1} << 32;
  std::vector<std::string> keys;
  for (int i = 0; i < 100; ++i) keys.push_back("key " + std::to_string(i));
  auto key_of = [&](std::size_t index) -> std::string_view {
    return index >= kFirst ? std::string_view(keys[index - kFirst]) : "narrowed";
  };
  KeyTable table;
  for (std::size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(table.insert(keys[i], kFirst + i, key_of), kFirst + i);  // grows on the way
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(table.find(keys[i], key_of), kFirst + i);
    EXPECT_EQ(table.insert(keys[i], 0, key_of), kFirst + i);  // already held: the stored index comes back
  }
}

}  // namespace
}  // namespace quillfen
