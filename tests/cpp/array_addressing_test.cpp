#include <gtest/gtest.h>

#include <string>

#include "helpers.h"
#include "patch/array_addressing.h"

namespace quillfen {
namespace {

using test_util::J;
using test_util::numbered;

TEST(ParseIndexKey, ReadsOnlyBracketedUnsignedDecimals) {
  const struct {
    const char* key;
    std::optional<std::uint64_t> position;
  } cases[] = {
      {"[0]", 0}, {"[7]", 7}, {"[+7]", 7}, {"[007]", 7}, {"[18446744073709551615]", 18446744073709551615ULL},
      {"[00000000000000000000000000001]", 1},  // leading zeros do not count towards the 64 bits
      {"[18446744073709551616]", std::nullopt}, {"[99999999999999999999]", std::nullopt},
      {"[-1]", std::nullopt}, {"[-0]", std::nullopt}, {"[+]", std::nullopt}, {"[]", std::nullopt},
      {"[1.5]", std::nullopt}, {"[0x1]", std::nullopt}, {"[ 1]", std::nullopt}, {"[1 ]", std::nullopt},
      {"[++7]", std::nullopt}, {"[7", std::nullopt}, {" [7]", std::nullopt}, {"7]", std::nullopt},
      {"[[7]]", std::nullopt}, {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_index_key(c.key), c.position) << c.key;
}

TEST(SerialIndex, HoldsLastPositionOfStringSerialsOnly) {
  // A string element, "_" holding a number, an object without "_": no serial. The empty serial is one.
  const JsonValue a = J(R"(["a",{"_":"a"},{"_":5},{"_":"5"},{"_":"a"},{},{"_":""}])");
  const SerialIndex index = build_serial_index(a.as_array());
  EXPECT_EQ(index.size(), 3u);
  EXPECT_EQ(index.find("a"), 4u);  // the later "a" wins
  EXPECT_EQ(index.find("5"), 3u);
  EXPECT_EQ(index.find(""), 6u);
  EXPECT_EQ(index.find("A"), std::nullopt);
  EXPECT_EQ(index.find("a "), std::nullopt);
}

// Elements are replaced while a pass runs; the index must neither follow nor dangle.
TEST(SerialIndex, KeepsItsOwnCopiesWhenElementsChange) {
  const std::string serial = "serial-long-enough-to-be-on-the-heap-";
  JsonArray a;
  for (int i = 0; i < 100; ++i) a.push_back(J(R"({"_":")" + numbered(serial, i) + "\"}"));
  const SerialIndex index = build_serial_index(a);
  for (JsonValue& e : a) e = J("0");
  for (int i = 0; i < 100; ++i) EXPECT_EQ(index.find(numbered(serial, i)), std::size_t(i));
}

TEST(StampedCopy, StampsObjectsOnlyAndLeavesTheSourceAlone) {
  const JsonValue source = J(R"({"_":"x","v":1})");
  EXPECT_EQ(stamped_copy(source, "y").compact_text(), R"({"_":"y","v":1})");
  EXPECT_EQ(source.compact_text(), R"({"_":"x","v":1})");
  EXPECT_EQ(stamped_copy(J("{}"), "[-1]").compact_text(), R"({"_":"[-1]"})");
  EXPECT_EQ(stamped_copy(J("3"), "y").compact_text(), "3");
  EXPECT_EQ(stamped_copy(J("[]"), "y").compact_text(), "[]");
}

}  // namespace
}  // namespace quillfen
