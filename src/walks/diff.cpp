#include "walks/diff.h"

#include <cstddef>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "walks/diff_walk.h"

namespace quillfen {

namespace {

using diff_rules::Outcome;
using diff_rules::SerialOf;
using diff_rules::Shape;
using diff_rules::Step;

// JsonValue documents for the diff's rules: members come in key order, every value is of a known
// kind, and equality is JsonValue's own.
class JsonDiffDocument {
 public:
  static constexpr bool kMayBeForeign = false;
  using Node = const JsonValue*;
  struct Held {};

  // Both objects' members in key order: one merge of the two finds every key once.
  struct Members {
    const std::vector<JsonMember>* was;
    const std::vector<JsonMember>* is;
    std::size_t old_cursor = 0;
    std::size_t new_cursor = 0;
  };

  static Shape shape(Node value) {
    if (value->is_object()) return Shape::Object;
    return value->is_array() ? Shape::Array : Shape::Scalar;
  }
  static bool same(Node a, Node b) { return a == b; }
  static Outcome quickly_equal(Node, Node, int) { return Outcome::Differ; }  // equality costs what the walk does
  static Held hold(Node) { return Held{}; }
  static bool enter(int) { return true; }
  static Outcome compare(Node old_value, Node new_value, int, std::vector<std::string>&) {
    return *old_value == *new_value ? Outcome::Equal : Outcome::Differ;
  }
  static bool check(Node, int) { return true; }
  static bool convert(Node new_value, int, JsonValue& out) {
    out = new_value->copy();
    return true;
  }
  static bool delegate(Node, Node, int, std::optional<Operation>&) { return true; }  // nothing is foreign

  static Members members(Node old_value, Node new_value) {
    return Members{&old_value->as_object().members(), &new_value->as_object().members()};
  }
  static Step next(Members& m, diff_rules::MemberEvent<Node>& event) {
    const bool old_left = m.old_cursor < m.was->size();
    const bool new_left = m.new_cursor < m.is->size();
    if (!old_left && !new_left) return Step::End;
    if (!new_left || (old_left && (*m.was)[m.old_cursor].key < (*m.is)[m.new_cursor].key)) {
      const JsonMember& member = (*m.was)[m.old_cursor++];
      event = {member.key, &member.value, nullptr};
      return Step::Removed;
    }
    if (!old_left || (*m.is)[m.new_cursor].key < (*m.was)[m.old_cursor].key) {
      const JsonMember& member = (*m.is)[m.new_cursor++];
      event = {member.key, nullptr, &member.value};
      return Step::Added;
    }
    const JsonMember& before = (*m.was)[m.old_cursor++];
    const JsonMember& after = (*m.is)[m.new_cursor++];
    event = {after.key, &before.value, &after.value};
    return Step::Pair;
  }
  static Held hold_key(Members&) { return Held{}; }

  static std::size_t length(Node array) { return array->as_array().size(); }
  static bool element(Node array, std::size_t position, Node& out) {
    out = &array->as_array()[position];
    return true;
  }
  static void reading_ahead(Node, const auto&) noexcept {}  // values in one vector need no hint
  static SerialOf serial(Node element, std::string_view& out) {
    const std::string* s = serial_of(*element);
    if (s == nullptr) return SerialOf::None;
    out = *s;
    return SerialOf::Serial;
  }
};

}  // namespace

Result<Patch, Inexpressible> diff_documents(const JsonValue& old_document, const JsonValue& new_document) {
  JsonDiffDocument document;
  std::variant<Patch, DiffStop> outcome = DiffWalk<JsonDiffDocument>(document).run(&old_document, &new_document);
  if (Patch* patch = std::get_if<Patch>(&outcome)) return std::move(*patch);
  // Every value of a JsonValue document is of a known kind and nothing of the adapter fails, so the
  // only stop is a refusal.
  return std::get<Inexpressible>(std::get<DiffStop>(std::move(outcome)));
}

std::optional<Operation> diff_values(const JsonValue& old_value, const JsonValue& new_value) {
  JsonDiffDocument document;
  return DiffWalk<JsonDiffDocument>(document).change(&old_value, &new_value);
}

}  // namespace quillfen
