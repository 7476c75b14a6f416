// Placements in the core: the order rule itself, then a patch read from its lossless form applied,
// written back, turned into JSON Patch operations and undone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helpers.h"
#include "patch/document_form.h"
#include "walks/apply.h"
#include "walks/arrangement.h"
#include "walks/inverse.h"
#include "walks/json_patch_writer.h"
#include "walks/standard_formats.h"

namespace quillfen {
namespace {

using namespace test_util;
using Anchor = PlacedElement::Anchor;

// The order as text: old elements by position, new ones as "n" and their number.
std::string order_text(std::size_t length, std::vector<std::size_t> removals, std::size_t fresh, const std::vector<PlacedElement>& placed) {
  std::string out;
  for (const ArraySlot slot : arrange(length, removals, fresh, placed).order) {
    if (slot.fresh) out += 'n';
    out += std::to_string(slot.index) + ' ';
  }
  return out;
}
PlacedElement old_after(std::size_t element, std::size_t anchor) { return {{element, false}, Anchor::Element, {anchor, false}}; }

TEST(Arrangement, FollowersComeDepthFirstAndLoopsBreakAtTheirFirstPlacement) {
  EXPECT_EQ(order_text(4, {}, 0, {old_after(0, 3)}), "1 2 3 0 ");
  EXPECT_EQ(order_text(4, {}, 0, {old_after(0, 3), old_after(1, 3), old_after(2, 0)}), "3 0 2 1 ");  // siblings in entry order
  EXPECT_EQ(order_text(4, {}, 0, {old_after(0, 2), old_after(2, 0), old_after(3, 0)}), "0 2 3 1 ");  // 0 stays; 2 and 3 follow it
  EXPECT_EQ(order_text(3, {}, 0, {old_after(0, 1), old_after(0, 2)}), "1 2 0 ");                     // the later placement counts
  EXPECT_EQ(order_text(3, {1}, 0, {{{2, false}, Anchor::First, {}}, {{0, false}, Anchor::Missing, {}}}), "2 0 ");
  EXPECT_EQ(order_text(2, {}, 2, {{{1, true}, Anchor::First, {}}, {{0, true}, Anchor::Element, {0, false}}}), "n1 0 n0 1 ");
  EXPECT_EQ(order_text(100000, {}, 0, {old_after(0, 99999)}).substr(0, 4), "1 2 ");  // no recursion, whatever the length
}

// A patch in its lossless form, applied to `document`: the result, and the same through every other
// path: written back, as JSON Patch operations, and undone.
std::string applied(const char* form, const char* document) {
  Result<Patch, Inexpressible> patch = read_document_exact(J(form));
  if (!patch.ok()) return "refused: " + patch.error().message();
  JsonValue result = J(document);
  if (Status s = apply_to_document(patch.value(), result); !s.ok()) return "error: " + s.error().message();

  Result<JsonValue, Inexpressible> written = write_document_exact(patch.value());
  EXPECT_TRUE(written.ok());
  if (written.ok()) {
    EXPECT_EQ(written.value().compact_text(), J(form).compact_text());
  }

  auto operations = json_patch_of(patch.value(), J(document));
  EXPECT_TRUE(operations.ok());
  if (operations.ok()) {  // applied by the standard format's own walk
    JsonValue by_operations = J(document);
    EXPECT_TRUE(apply_json_patch(by_operations, read_json_patch(operations.value()).value()).ok());
    EXPECT_EQ(by_operations.compact_text(), result.compact_text()) << operations.value().compact_text();
  }

  auto undo = inverse_of(patch.value(), J(document));
  EXPECT_TRUE(undo.ok() || !J(document).is_array());
  if (undo.ok()) {
    JsonValue back = result.copy();
    EXPECT_TRUE(apply_to_document(undo.value(), back).ok());
    EXPECT_EQ(back.compact_text(), J(document).compact_text());
  }
  return result.compact_text();
}

TEST(Placements, ApplyWriteBackAsOperationsAndUndo) {
  const char* rows = R"({"l": [{"_": "a"}, {"_": "b"}, {"_": "c"}]})";
  EXPECT_EQ(applied(R"({"_": {"*": null, "placements": [[["l", "a"], "c"]]}, "l": {"a": {}}})", rows),
            R"({"l":[{"_":"b"},{"_":"c"},{"_":"a"}]})");
  EXPECT_EQ(applied(R"({"_": {"*": null, "placements": [[["l", "m"], "n"], [["l", "n"], null]]}, "l": {"m": {"*": {"v": 1}}, "n": 2}})", rows),
            R"({"l":[2,{"_":"a"},{"_":"b"},{"_":"c"},{"_":"m","v":1}]})");  // 2 carries no serial: m is appended
  EXPECT_EQ(applied(R"({"_": {"*": null, "placements": [[["l", "c"], null], [["l", "x"], "c"]]}, "l": {"b": {"*": null}, "c": {"v": 3}, "x": {"*": {}}}})", rows),
            R"({"l":[{"_":"c","v":3},{"_":"x"},{"_":"a"}]})");
  // At the root: the undo sets the removed element back after its old predecessor and moves the
  // placed one back.
  EXPECT_EQ(applied(R"({"_": {"*": null, "placements": [[["a"], "c"]]}, "a": {"v": 1}, "b": {"*": null}})", R"([{"_": "a"}, {"_": "b"}, {"_": "c"}])"),
            R"([{"_":"c"},{"_":"a","v":1}])");
  EXPECT_EQ(applied(R"({"_": {"*": null, "placements": [[["l", "zz"], null]]}, "l": {"zz": {}}})", rows),
            "error: Invalid serial key: zz");
  EXPECT_EQ(applied(R"({"_": {"*": null, "placements": [[["l", "q"], null]]}, "l": {"a": {}}})", rows),
            R"(refused: Cannot read the placement at ["l","q"]: no entry of the patch is there)");
  EXPECT_EQ(applied(R"({"_": {"*": null, "placements": [["l", null]]}})", rows),
            R"(refused: Cannot read the placement at ["_"]: each row is [path, after]: a non-empty list of keys, and a serial or null)");
}

}  // namespace
}  // namespace quillfen
