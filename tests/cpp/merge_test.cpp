#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "patch/merge.h"
#include "patch_text.h"

namespace quillfen {
namespace {

using test_util::child;
using test_util::nested;
using test_util::num;
using test_util::patch_of;
using test_util::set;
using test_util::text;

// "m" and the number: a key that sorts differently from the number's order.
std::string key_of(int i) {
  std::string key = "m";
  key += std::to_string(i);
  return key;
}

// One operation of each variant, with contents that tell minor's from major's.
std::vector<std::optional<Operation>> variants(long long tag) {
  std::vector<std::optional<Operation>> out;
  out.emplace_back(std::nullopt);  // no entry
  out.emplace_back(set(tag));
  out.emplace_back(Delete{});
  out.emplace_back(nested(child("shared", set(tag)), child(tag == 1 ? "only_minor" : "only_major", set(tag))));
  out.emplace_back(Move{"from" + std::to_string(tag), "to"});
  out.emplace_back(Copy{"from" + std::to_string(tag), "to"});
  out.emplace_back(quillfen::Test{num(tag)});
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
      if (minor) minor_list.push_back(child("k", copy_operation(*minor)));
      if (major) major_list.push_back(child("k", copy_operation(*major)));
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
  Patch merged = merge_patches(patch_of(child("k", std::move(c.minor))), patch_of(child("k", std::move(c.major))));
  EXPECT_EQ(text(merged), "k:" + c.expected) << c.name;
}

TEST(Merge, ChildListOrderIsMajorsThenMinorOnly) {
  MergeCase cases[] = {
      {"major first, minor-only after", nested(child("x", set(1)), child("y", set(2))),
       nested(child("y", Delete{}), child("z", set(3))), "{y:-,z:=3,x:=1}"},
      {"each side keeps its own order", nested(child("d", set(1)), child("a", set(2)), child("c", set(3))),
       nested(child("b", set(4)), child("a", set(5))), "{b:=4,a:=5,d:=1,c:=3}"},
      {"merged level by level", nested(child("b", nested(child("p", set(1))))),
       nested(child("b", nested(child("q", set(2))))), "{b:{q:=2,p:=1}}"},
      {"three levels", nested(child("a", nested(child("b", nested(child("m", set(1)), child("c", set(1))))))),
       nested(child("a", nested(child("b", nested(child("c", set(2))))))), "{a:{b:{c:=2,m:=1}}}"},
      {"major Set of an object drops minor's children", nested(child("a", nested(child("p", set(1))))),
       nested(child("a", Set{test_util::object(test_util::member("q", num(2)))})), "{a:={\"q\":2}}"},
      {"major Nested replaces a minor Set whole", nested(child("a", set(1))), nested(child("a", nested(child("q", set(2))))),
       "{a:{q:=2}}"},
      {"an empty Nested survives", nested(child("e", nested())), nested(child("f", set(1))), "{f:=1,e:{}}"},
      {"keys match byte for byte", nested(child("a", set(1)), child("A", set(2)), child("[0]", set(3))),
       nested(child("a ", set(4)), child("0", set(5))), "{a :=4,0:=5,a:=1,A:=2,[0]:=3}"},
  };
  for (MergeCase& c : cases) expect_merged(c);
}

TEST(Merge, RepeatedKeysInChildLists) {
  MergeCase cases[] = {
      // Both major entries merge with the first minor "a", whose own minor-only child m must be
      // there for the second as well as the first.
      {"major repeats a key", nested(child("a", nested(child("m", set(1)))), child("a", nested(child("n", set(2))))),
       nested(child("a", nested(child("x", set(3)))), child("a", nested(child("y", set(4))))),
       "{a:{x:=3,m:=1},a:{y:=4,m:=1}}"},
      {"repeated partner deeper down",
       nested(child("a", nested(child("b", nested(child("m", nested(child("deep", set(1))))))))),
       nested(child("a", nested(child("b", nested(child("x", set(2)))), child("b", nested(child("m", nested(child("z", set(3))))))))),
       "{a:{b:{x:=2,m:{deep:=1}},b:{m:{z:=3,deep:=1}}}}"},
      {"first minor entry is the partner even if not Nested", nested(child("a", set(1)), child("a", nested(child("m", set(2))))),
       nested(child("a", nested(child("x", set(3))))), "{a:{x:=3}}"},
      {"minor repeats outside major: all kept in order", nested(child("c", set(1)), child("d", set(2)), child("c", set(3))),
       nested(child("e", set(4))), "{e:=4,c:=1,d:=2,c:=3}"},
      {"minor repeats inside major: all dropped", nested(child("c", set(1)), child("c", set(2))), nested(child("c", set(3))),
       "{c:=3}"},
      {"major repeats without a partner", nested(child("z", set(1))), nested(child("a", set(2)), child("a", Delete{})),
       "{a:=2,a:-,z:=1}"},
  };
  for (MergeCase& c : cases) expect_merged(c);
}

TEST(Merge, WholePatches) {
  auto sample = [] {
    return patch_of(child("a", set(1)), child("b", nested(child("x", Delete{}), child("y", Move{"p", "q"}))),
                    child("c", quillfen::Test{num(3)}), child("d", Copy{"r", "s"}));
  };
  const std::string sample_text = text(sample());
  EXPECT_EQ(text(merge_patches(Patch(), sample())), sample_text);
  EXPECT_EQ(text(merge_patches(sample(), Patch())), sample_text);
  EXPECT_EQ(text(merge_patches(sample(), sample())), sample_text);
  EXPECT_EQ(text(merge_patches(patch_of(child("a", set(1))), patch_of(child("b", set(2))))), "a:=1 b:=2");
}

TEST(Merge, ResultHasRoomForBothInputs) {
  Patch merged = merge_patches(patch_of(child("k", nested(child("a", set(1)), child("b", set(2))))),
                               patch_of(child("k", nested(child("b", set(3)), child("c", set(4))))));
  EXPECT_EQ(std::get<Nested>(*merged.find("k")).children.capacity(), 4u);
}

TEST(Merge, WideListsKeepBothOrders) {
  constexpr int kWidth = 20000;
  ChildList minor;
  ChildList major;
  for (int i = 0; i < kWidth; ++i) {
    minor.push_back(child(key_of(kWidth - i), nested(child("minor", set(i)))));
    if (i % 2 == 0) major.push_back(child(key_of(i), nested(child("major", set(i)))));
  }
  const ChildList merged = merge_children(std::move(minor), std::move(major));
  ASSERT_EQ(merged.size(), static_cast<std::size_t>(kWidth + 1));  // "m0" is major's alone
  for (int i = 0; i < kWidth / 2; ++i) {
    const ChildEntry& e = merged[i];
    ASSERT_EQ(e.key, key_of(2 * i));
    ASSERT_EQ(std::get<Nested>(e.operation).children.size(), i == 0 ? 1u : 2u) << e.key;
  }
  EXPECT_EQ(merged[kWidth / 2].key, key_of(kWidth));  // the first minor-only key
  EXPECT_EQ(merged.back().key, "m1");
}

// A chain of `depth` Nested levels under "k", ending in `leaf` under `leaf_key`.
Operation chain(int depth, const char* leaf_key, Operation leaf) {
  Operation op = nested(child(leaf_key, std::move(leaf)));
  for (int i = 1; i < depth; ++i) op = nested(child("k", std::move(op)));
  return op;
}

TEST(Merge, DeepInputsMergeWithoutRecursing) {
  constexpr int kDepth = 200000;
  Patch merged = merge_patches(patch_of(child("k", chain(kDepth, "minor", set(1)))),
                               patch_of(child("k", chain(kDepth, "major", set(2)))));
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
  minor.push_back(child("a", chain(kDepth, "leaf", set(1))));
  ChildList major;
  major.push_back(child("a", nested(child("x", set(2)))));
  major.push_back(child("a", nested(child("y", set(3)))));
  const ChildList merged = merge_children(std::move(minor), std::move(major));
  ASSERT_EQ(merged.size(), 2u);
  for (const ChildEntry& e : merged) EXPECT_EQ(std::get<Nested>(e.operation).children.size(), 2u);
}

}  // namespace
}  // namespace quillfen
