#include <gtest/gtest.h>

#include <string>

#include "patch/array_addressing.h"

namespace quillfen {
namespace {

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

// An object whose member "_" holds `serial_member`.
JsonValue element(JsonValue serial_member) {
  JsonObject o;
  o.insert("_", std::move(serial_member));
  return JsonValue(std::move(o));
}

JsonValue element(std::string serial) { return element(JsonValue(std::move(serial))); }

TEST(SerialIndex, HoldsLastPositionOfStringSerialsOnly) {
  JsonArray a;
  a.push_back(JsonValue("a"));            // a string element: no serial
  a.push_back(element("a"));              // 1
  a.push_back(element(JsonValue(JsonNumber::from_unsigned(5))));       // "_" holds the number 5: no serial
  a.push_back(element("5"));              // 3: the string 5
  a.push_back(element("a"));              // 4: the later "a" wins
  a.push_back(JsonValue(JsonObject()));   // no "_" at all
  a.push_back(element(""));               // 6: the empty serial is a serial
  const SerialIndex index = build_serial_index(a);
  EXPECT_EQ(index.size(), 3u);
  EXPECT_EQ(index.find("a"), 4u);
  EXPECT_EQ(index.find("5"), 3u);
  EXPECT_EQ(index.find(""), 6u);
  EXPECT_EQ(index.find("A"), std::nullopt);
  EXPECT_EQ(index.find("a "), std::nullopt);
}

// Elements are replaced while a pass runs; the index must neither follow nor dangle.
TEST(SerialIndex, KeepsItsOwnCopiesWhenElementsChange) {
  JsonArray a;
  for (int i = 0; i < 100; ++i) a.push_back(element("serial-long-enough-to-be-on-the-heap-" + std::to_string(i)));
  const SerialIndex index = build_serial_index(a);
  for (JsonValue& e : a) e = JsonValue(JsonNumber::from_unsigned(0));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(index.find("serial-long-enough-to-be-on-the-heap-" + std::to_string(i)), std::size_t(i));
}

TEST(StampedCopy, StampsObjectsOnlyAndLeavesTheSourceAlone) {
  JsonObject o;
  o.insert("_", JsonValue("x"));
  o.insert("v", JsonValue(JsonNumber::from_unsigned(1)));
  const JsonValue source(std::move(o));
  EXPECT_EQ(stamped_copy(source, "y").compact_text(), R"({"_":"y","v":1})");
  EXPECT_EQ(source.compact_text(), R"({"_":"x","v":1})");
  EXPECT_EQ(stamped_copy(JsonValue(JsonObject()), "[-1]").compact_text(), R"({"_":"[-1]"})");
  EXPECT_EQ(stamped_copy(JsonValue(JsonNumber::from_unsigned(3)), "y").compact_text(), "3");
  EXPECT_EQ(stamped_copy(JsonValue(JsonArray()), "y").compact_text(), "[]");
}

}  // namespace
}  // namespace quillfen
