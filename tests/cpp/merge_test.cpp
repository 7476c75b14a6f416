#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "helpers.h"
#include "patch/merge.h"

namespace quillfen {
namespace {

using namespace test_util;

// Keys "m" and a number sort differently from the numbers' order.
// One operation of each variant, with contents that tell minor's from major's.
std::vector<std::optional<Operation>> variants(long long tag) {
  std::vector<std::optional<Operation>> out;
  out.emplace_back(std::nullopt);  // no entry
  out.emplace_back(set(tag));
  out.emplace_back(del());
  out.emplace_back(nested(at("shared", set(tag)), at(tag == 1 ? "only_minor" : "only_major", set(tag))));
  out.emplace_back(move("from" + std::to_string(tag), "to"));
  out.emplace_back(copy("from" + std::to_string(tag), "to"));
  out.emplace_back(test(std::to_string(tag)));
  return out;
}

// Every pair of variants, at the top level and as children: major prevails, except that two
// Nested merge, and a missing entry takes the other side's.
TEST(Merge, PriorityTable) {
  const std::vector<std::optional<Operation>> minors = variants(1);
  const std::vector<std::optional<Operation>> majors = variants(2);
  for (const auto& minor : minors) {
    for (const auto& major : majors) {
      std::string expected;
      if (minor && major && minor->index() == 2 && major->index() == 2)
        expected = "{shared:=2,only_major:=2,only_minor:=1}";
      else if (major)
        expected = text(*major);
      else if (minor)
        expected = text(*minor);
      const std::string label = (minor ? text(*minor) : "none") + " under " + (major ? text(*major) : "none");

      Patch minor_patch;
      Patch major_patch;
      if (minor) minor_patch.insert("k", copy_operation(*minor));
      if (major) major_patch.insert("k", copy_operation(*major));
      Patch merged = merge_patches(std::move(minor_patch), std::move(major_patch));
      EXPECT_EQ(text(merged), expected.empty() ? "" : "k:" + expected) << "top level: " << label;

      ChildList minor_list;
      ChildList major_list;
      if (minor) minor_list.push_back(at("k", copy_operation(*minor)));
      if (major) major_list.push_back(at("k", copy_operation(*major)));
      const Operation merged_list = Nested(merge_children(std::move(minor_list), std::move(major_list)));
      EXPECT_EQ(text(merged_list), expected.empty() ? "{}" : "{k:" + expected + "}") << "child list: " << label;
    }
  }
}

// Nested entries at "k" on both sides, and the merged entry as `text` shows it.
struct MergeCase {
  const char* name;
  Operation minor;
  Operation major;
  std::string expected;
};

void expect_merged(MergeCase& c) {
  Patch merged = merge_patches(patch_of(at("k", std::move(c.minor))), patch_of(at("k", std::move(c.major))));
  EXPECT_EQ(text(merged), "k:" + c.expected) << c.name;
}

TEST(Merge, ChildListOrderIsMajorsThenMinorOnly) {
  MergeCase cases[] = {
      {"major first, minor-only after", nested(at("x", set(1)), at("y", set(2))),
       nested(at("y", del()), at("z", set(3))), "{y:-,z:=3,x:=1}"},
      {"each side keeps its own order", nested(at("d", set(1)), at("a", set(2)), at("c", set(3))),
       nested(at("b", set(4)), at("a", set(5))), "{b:=4,a:=5,d:=1,c:=3}"},
      {"merged level by level", nested(at("b", nested(at("p", set(1))))),
       nested(at("b", nested(at("q", set(2))))), "{b:{q:=2,p:=1}}"},
      {"three levels", nested(at("a", nested(at("b", nested(at("m", set(1)), at("c", set(1))))))),
       nested(at("a", nested(at("b", nested(at("c", set(2))))))), "{a:{b:{c:=2,m:=1}}}"},
      {"major Set of an object drops minor's children", nested(at("a", nested(at("p", set(1))))),
       nested(at("a", set(R"({"q":2})"))), "{a:={\"q\":2}}"},
      {"major Nested replaces a minor Set whole", nested(at("a", set(1))), nested(at("a", nested(at("q", set(2))))),
       "{a:{q:=2}}"},
      {"an empty Nested survives", nested(at("e", nested())), nested(at("f", set(1))), "{f:=1,e:{}}"},
      {"keys match byte for byte", nested(at("a", set(1)), at("A", set(2)), at("[0]", set(3))),
       nested(at("a ", set(4)), at("0", set(5))), "{a :=4,0:=5,a:=1,A:=2,[0]:=3}"},
  };
  for (MergeCase& c : cases) expect_merged(c);
}

TEST(Merge, RepeatedKeysInChildLists) {
  MergeCase cases[] = {
      // Both major entries merge with the first minor "a", whose own minor-only child m must be
      // there for the second as well as the first.
      {"major repeats a key", nested(at("a", nested(at("m", set(1)))), at("a", nested(at("n", set(2))))),
       nested(at("a", nested(at("x", set(3)))), at("a", nested(at("y", set(4))))),
       "{a:{x:=3,m:=1},a:{y:=4,m:=1}}"},
      {"repeated partner deeper down",
       nested(at("a", nested(at("b", nested(at("m", nested(at("deep", set(1))))))))),
       nested(at("a", nested(at("b", nested(at("x", set(2)))), at("b", nested(at("m", nested(at("z", set(3))))))))),
       "{a:{b:{x:=2,m:{deep:=1}},b:{m:{z:=3,deep:=1}}}}"},
      {"first minor entry is the partner even if not Nested", nested(at("a", set(1)), at("a", nested(at("m", set(2))))),
       nested(at("a", nested(at("x", set(3))))), "{a:{x:=3}}"},
      {"minor repeats outside major: all kept in order", nested(at("c", set(1)), at("d", set(2)), at("c", set(3))),
       nested(at("e", set(4))), "{e:=4,c:=1,d:=2,c:=3}"},
      {"minor repeats inside major: all dropped", nested(at("c", set(1)), at("c", set(2))), nested(at("c", set(3))),
       "{c:=3}"},
      {"major repeats without a partner", nested(at("z", set(1))), nested(at("a", set(2)), at("a", del())),
       "{a:=2,a:-,z:=1}"},
  };
  for (MergeCase& c : cases) expect_merged(c);
}

TEST(Merge, WideListsKeepBothOrders) {
  constexpr int kWidth = 20000;
  ChildList minor;
  ChildList major;
  for (int i = 0; i < kWidth; ++i) {
    minor.push_back(at(numbered("m", kWidth - i), nested(at("minor", set(i)))));
    if (i % 2 == 0) major.push_back(at(numbered("m", i), nested(at("major", set(i)))));
  }
  const ChildList merged = merge_children(std::move(minor), std::move(major));
  ASSERT_EQ(merged.size(), static_cast<std::size_t>(kWidth + 1));  // "m0" is major's alone
  for (int i = 0; i < kWidth / 2; ++i) {
    const ChildEntry& e = merged[i];
    ASSERT_EQ(e.key, numbered("m", 2 * i));
    ASSERT_EQ(std::get<Nested>(e.operation).children.size(), i == 0 ? 1u : 2u) << e.key;
  }
  EXPECT_EQ(merged[kWidth / 2].key, numbered("m", kWidth));  // the first minor-only key
  EXPECT_EQ(merged.back().key, "m1");
}

// A chain of `depth` Nested levels under "k", ending in `leaf` under `leaf_key`.
Operation chain(int depth, const char* leaf_key, Operation leaf) {
  Operation op = nested(at(leaf_key, std::move(leaf)));
  for (int i = 1; i < depth; ++i) op = nested(at("k", std::move(op)));
  return op;
}

TEST(Merge, DeepInputsMergeWithoutRecursing) {
  constexpr int kDepth = 200000;
  Patch merged = merge_patches(patch_of(at("k", chain(kDepth, "minor", set(1)))),
                               patch_of(at("k", chain(kDepth, "major", set(2)))));
  const Operation* op = merged.find("k");
  for (int i = 1; i < kDepth; ++i) {
    const ChildList& children = std::get<Nested>(*op).children;
    ASSERT_EQ(children.size(), 1u) << "level " << i;
    op = &children[0].operation;
  }
  EXPECT_EQ(text(*op), "{major:=2,minor:=1}");
}

TEST(Merge, DeepRepeatedPartnerIsCopiedWithoutRecursing) {
  constexpr int kDepth = 200000;
  ChildList minor;
  minor.push_back(at("a", chain(kDepth, "leaf", set(1))));
  ChildList major;
  major.push_back(at("a", nested(at("x", set(2)))));
  major.push_back(at("a", nested(at("y", set(3)))));
  const ChildList merged = merge_children(std::move(minor), std::move(major));
  ASSERT_EQ(merged.size(), 2u);
  for (const ChildEntry& e : merged) EXPECT_EQ(std::get<Nested>(e.operation).children.size(), 2u);
}

}  // namespace
}  // namespace quillfen
