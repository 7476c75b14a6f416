// A coverage-guided fuzz target for the core (libFuzzer; -DQUILLFEN_FUZZ=ON with clang). The input
// bytes are read as a program that builds a document and two patches; the target then checks:
// - applying a patch to the document never crashes, leaves a well-formed document, and fails only
//   with one of the texts the core can produce;
// - writing a document read from any value gives that value with its "*" members collapsed, as the
//   document form's rules say, and a patch of the round-trippable kind reads back as itself;
// - merging gives what a plain model of the merge rules gives, and the result shares nothing with
//   its inputs: changing and dropping them afterwards leaves it as it was;
// - a diff, applied, makes the new version, and its exact document form reads back as itself;
// - an undo patch undoes, and the JSON Patch written for a patch does what the patch does; both
//   fail as applying fails;
// - the exact document form of a patch reads back as one that applies alike, or is refused as the
//   refusal check says;
// - JSON Patch operations read from any document are applied or refused with their position;
//   merge patches merge as a plain model of their rules says, and merging twice is merging once.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../cpp/helpers.h"
#include "json_value/json_value.h"
#include "operations/operation.h"
#include "patch/document_form.h"
#include "patch/inexpressible.h"
#include "patch/json_patch.h"
#include "patch/json_pointer.h"
#include "patch/merge.h"
#include "patch/patch.h"
#include "patch/patch_error.h"
#include "walks/apply.h"
#include "walks/compose.h"
#include "walks/diff.h"
#include "walks/inverse.h"
#include "walks/json_patch_writer.h"
#include "walks/standard_formats.h"

namespace quillfen {
namespace {

using test_util::text;

// Fails the run loudly: libFuzzer keeps the input that got here.
#define CHECK(condition)                                                                      \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      std::fprintf(stderr, "check failed at %s:%d: %s\n", __FILE__, __LINE__, #condition);    \
      std::abort();                                                                           \
    }                                                                                         \
  } while (0)

// Keys from a small set, so that entries meet: members, serials, index keys, the reserved names.
constexpr std::string_view kKeys[] = {"a", "b", "_", "*", "[0]", "[1]", "[2]", "[+1]", "[01]", "s", "t",
                                      "", "from", "to", "test", "[9]", "[18446744073709551616]", "\xc3\xa9"};
constexpr int kDeepLevels = 20100;  // just past the deepest walk the core accepts
// JSON Patch: the op names with one that is none, and pointer tokens that reach the keys above,
// array positions (the end "-", a leading zero) and escapes, "~" alone being malformed.
constexpr std::string_view kOps[] = {"add", "remove", "replace", "move", "copy", "test", "bad"};
constexpr std::string_view kTokens[] = {"a", "b", "_", "*", "s", "", "0", "1", "2", "-", "01", "~0", "~1", "~", "\xc3\xa9"};

class Program {
 public:
  // The first byte is a header: 0xff lets the program make one value or operation deeper than any
  // walk accepts (slow, so only those programs may).
  Program(const std::uint8_t* data, std::size_t size) : data_(data), size_(size), deep_allowed_(byte() == 0xff) {}

  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  // Whether a value or operation deeper than any walk accepts was made: the checks that compare
  // through plain recursive models skip those.
  bool made_deep() const { return deep_; }
  std::string key() { return std::string(kKeys[byte() % std::size(kKeys)]); }

  JsonValue value(int depth) {
    ++nodes_;
    const std::uint8_t op = byte();
    const bool room = depth < 8 && nodes_ < 400;
    switch (room ? op % 10 : op % 5) {
      case 0: return JsonValue();
      case 1: return JsonValue((op & 0x10) != 0);
      case 2: return JsonValue(JsonNumber::from_signed(static_cast<std::int8_t>(byte())));
      case 3: return JsonValue(JsonNumber::from_double(static_cast<double>(static_cast<std::int8_t>(byte())) / 4));
      case 4: return JsonValue(key());
      case 5:
      case 6: {
        JsonArray items;
        for (int n = byte() % 5; n > 0; --n) items.push_back(value(depth + 1));
        return JsonValue(std::move(items));
      }
      case 7: {  // an element with a serial
        std::vector<JsonMember> members;
        members.push_back(JsonMember{"_", JsonValue(key())});
        members.push_back(JsonMember{key(), value(depth + 1)});
        return JsonValue(JsonObject::from_members(std::move(members)));
      }
      case 8: {
        std::vector<JsonMember> members;
        for (int n = byte() % 5; n > 0; --n) members.push_back(JsonMember{key(), value(depth + 1)});
        return JsonValue(JsonObject::from_members(std::move(members)));
      }
      default:
        if (op != 0xff || deep_ || !deep_allowed_) return JsonValue(JsonNumber::from_unsigned(~std::uint64_t{0} - byte()));
        return deep_value();
    }
  }

  ChildList children(int depth) {
    ChildList list;
    for (int n = byte() % 4; n > 0; --n) list.push_back(ChildEntry{key(), operation(depth + 1)});
    return list;
  }

  Operation operation(int depth) {
    ++nodes_;
    const std::uint8_t op = byte();
    const bool room = depth < 8 && nodes_ < 400;
    switch (op % 8) {
      case 0:
      case 1: return Set{value(depth + 1)};
      case 2: return Delete{};
      case 3:
      case 4:
        if (room) return Nested(children(depth));
        return Delete{};
      case 5: return Move{key(), key()};
      case 6: return Copy{key(), key()};
      default:
        if (op == 0xff && !deep_ && deep_allowed_) return deep_operation();
        return Test{value(depth + 1)};
    }
  }

  Patch patch() {
    Patch p;
    for (int n = byte() % 6; n > 0; --n) (void)p.insert(key(), operation(0));
    return p;
  }

  // A list of JSON Patch operation objects, now and then malformed: an element that is no object,
  // an unknown op, a missing member, a pointer without its leading "/" or with a bad escape.
  JsonValue operations() {
    JsonArray list;
    for (int n = byte() % 5; n > 0; --n) {
      const std::uint8_t shape = byte();
      if (shape % 16 == 15) {
        list.push_back(value(1));
        continue;
      }
      std::vector<JsonMember> members;
      if ((shape & 0x10) == 0) members.push_back(JsonMember{"op", JsonValue(kOps[byte() % std::size(kOps)])});
      members.push_back(JsonMember{"path", JsonValue(pointer())});
      if ((shape & 0x20) != 0) members.push_back(JsonMember{"from", JsonValue(pointer())});
      if ((shape & 0xc0) != 0) members.push_back(JsonMember{"value", value(1)});
      list.push_back(JsonValue(JsonObject::from_members(std::move(members))));
    }
    return JsonValue(std::move(list));
  }

  std::string pointer() {
    std::string text = byte() % 16 == 15 ? "a" : "";
    for (int n = byte() % 4; n > 0; --n) text.append("/").append(kTokens[byte() % std::size(kTokens)]);
    return text;
  }

 private:
  JsonValue deep_value() {
    deep_ = true;
    JsonValue v = JsonValue(key());
    for (int level = 0; level < kDeepLevels; ++level) {
      std::vector<JsonMember> members;
      members.push_back(JsonMember{"a", std::move(v)});
      v = JsonValue(JsonObject::from_members(std::move(members)));
    }
    return v;
  }
  Operation deep_operation() {
    deep_ = true;
    Operation op = Set{JsonValue(key())};
    for (int level = 0; level < kDeepLevels; ++level) {
      ChildList list;
      list.push_back(ChildEntry{"a", std::move(op)});
      op = Nested(std::move(list));
    }
    return op;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  int nodes_ = 0;
  const bool deep_allowed_;
  bool deep_ = false;
};

// Whether an entry at any level of `patch` passes `test(entry, whether it is at the top level)`.
template <class Test>
bool any_entry(const Patch& patch, Test test) {
  bool found = false;
  std::vector<const ChildList*> pending;
  patch.for_each([&](const Patch::Entry& e) {
    found = found || test(e, true);
    if (const Nested* n = std::get_if<Nested>(&e.operation)) pending.push_back(&n->children);
  });
  while (!found && !pending.empty()) {
    const ChildList* list = pending.back();
    pending.pop_back();
    for (const ChildEntry& c : *list) {
      found = found || test(c, false);
      if (const Nested* n = std::get_if<Nested>(&c.operation)) pending.push_back(&n->children);
    }
  }
  return found;
}

bool patch_holds_key(const Patch& patch, const std::string& key) {
  return any_entry(patch, [&](const ChildEntry& e, bool) { return e.key == key; });
}

// Whether the patch holds a Move or a Copy, which no JSON Patch writes.
bool moves_or_copies(const Patch& patch) {
  return any_entry(patch, [](const ChildEntry& e, bool) { return std::holds_alternative<Move>(e.operation) || std::holds_alternative<Copy>(e.operation); });
}

// Whether some child list of `patch` holds a key twice.
bool repeats_a_key(const Patch& patch) {
  std::vector<const ChildList*> pending;
  patch.for_each([&](const Patch::Entry& e) {
    if (const Nested* n = std::get_if<Nested>(&e.operation)) pending.push_back(&n->children);
  });
  while (!pending.empty()) {
    const ChildList* list = pending.back();
    pending.pop_back();
    std::vector<std::string_view> keys;
    for (const ChildEntry& c : *list) {
      keys.push_back(c.key);
      if (const Nested* n = std::get_if<Nested>(&c.operation)) pending.push_back(&n->children);
    }
    std::sort(keys.begin(), keys.end());
    if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) return true;
  }
  return false;
}

// Whether the patch is one the binding can make: Set, Delete and Nested only, no key twice in a
// child list, and no child under "*" (read from the document form, that member sets or deletes its
// parent). The undo and the JSON Patch operations are promised for those.
bool recordable(const Patch& patch) {
  return !moves_or_copies(patch) && !repeats_a_key(patch) &&
         !any_entry(patch, [](const ChildEntry& e, bool top) { return std::holds_alternative<Test>(e.operation) || (!top && e.key == "*"); });
}

bool starts_with(const std::string& text, std::string_view prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

void check_error(const PatchError& error, const Patch& patch) {
  const std::string message = error.message();
  switch (error.kind()) {
    case PatchError::Kind::InvalidOperation:
      CHECK(message == "Invalid patch operation: Operation not supported on array indices" ||
            message == "Invalid patch operation: Operation not supported on array serials" ||
            message == "Invalid patch operation: Can only patch objects and arrays");
      break;
    case PatchError::Kind::TypeMismatch:
      CHECK(message == "Type mismatch: expected " + error.first() + ", found " + error.second());
      break;
    case PatchError::Kind::KeyNotFound:
      CHECK(message == "Key '" + error.first() + "' not found" && patch_holds_key(patch, error.first()));
      break;
    case PatchError::Kind::InvalidSerialKey:
      CHECK(message == "Invalid serial key: " + error.first() && patch_holds_key(patch, error.first()));
      break;
    case PatchError::Kind::RecursionLimit: CHECK(message == "Recursion depth limit exceeded"); break;
    default: CHECK(false && "no operation of the core makes this kind");
  }
}

void check_apply(const Patch& patch, const JsonValue& document) {
  JsonValue target = document.copy();
  const Status status = apply_to_document(patch, target);
  if (!status.ok()) check_error(status.error(), patch);
  if (!document.is_container()) CHECK(!status.ok() && target == document);
  const JsonValue again = target.copy();  // the result is whole: it copies, compares and prints
  CHECK(again == target);
  CHECK(!target.compact_text().empty());
}

// What writing the patch read from `document` must give: below the top level, an object with a "*"
// member collapses to that member's value (kept as it is), or to {"*": null} when it is null; any
// other object keeps its members, each collapsed in turn. Not an object: an empty object.
JsonValue collapsed(const JsonValue& value, bool top) {
  if (!value.is_object()) return top ? JsonValue(JsonObject()) : value.copy();
  if (!top)
    if (const JsonValue* star = value.as_object().find("*")) {
      if (!star->is_null()) return star->copy();
      std::vector<JsonMember> only;
      only.push_back(JsonMember{"*", JsonValue()});
      return JsonValue(JsonObject::from_members(std::move(only)));
    }
  std::vector<JsonMember> members;
  for (const JsonMember& m : value.as_object()) members.push_back(JsonMember{m.key, collapsed(m.value, false)});
  return JsonValue(JsonObject::from_members(std::move(members)));
}

// Whether the patch reads back as itself: no Set of an object, no Move, Copy or Test, every child
// list in ascending key order without repeats, and no child under the key "*" (written as a member
// "*", it turns its parent into a Set or a Delete when read).
bool round_trips(const ChildList& list, bool top = false) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i > 0 && !(list[i - 1].key < list[i].key)) return false;
    if (!top && list[i].key == "*") return false;
    const Operation& op = list[i].operation;
    if (const Set* s = std::get_if<Set>(&op); s != nullptr && s->value.is_object()) return false;
    if (const Nested* n = std::get_if<Nested>(&op); n != nullptr && !round_trips(n->children)) return false;
    if (std::holds_alternative<Move>(op) || std::holds_alternative<Copy>(op) || std::holds_alternative<Test>(op)) return false;
  }
  return true;
}

bool round_trips(const Patch& patch) {
  bool all = true;
  patch.for_each([&](const Patch::Entry& e) {
    ChildList one;
    one.push_back(ChildEntry{e.key, copy_operation(e.operation)});
    all = all && round_trips(one, true);
  });
  return all;
}

void check_document_form(const Patch& patch, const JsonValue& document) {
  Result<Patch> from_document = read_document(document);
  CHECK(from_document.ok());
  CHECK(write_document(from_document.value()) == collapsed(document, true));
  const JsonValue written = write_document(patch);
  Result<Patch> read = read_document(written);
  CHECK(read.ok());
  CHECK(write_document(read.value()) == collapsed(written, true));
  if (round_trips(patch)) CHECK(text(read.value()) == text(patch));
}

// The merge rules, plainly.
ChildList model_children(const ChildList& minor, const ChildList& major) {
  ChildList out;
  for (const ChildEntry& entry : major) {
    const ChildEntry* partner = nullptr;
    for (const ChildEntry& m : minor)
      if (m.key == entry.key) {
        partner = &m;
        break;
      }
    const Nested* a = partner != nullptr ? std::get_if<Nested>(&partner->operation) : nullptr;
    const Nested* b = std::get_if<Nested>(&entry.operation);
    if (a != nullptr && b != nullptr)
      out.push_back(ChildEntry{entry.key, Nested(model_children(a->children, b->children))});
    else
      out.push_back(ChildEntry{entry.key, copy_operation(entry.operation)});
  }
  for (const ChildEntry& m : minor) {
    bool in_major = false;
    for (const ChildEntry& entry : major) in_major = in_major || entry.key == m.key;
    if (!in_major) out.push_back(ChildEntry{m.key, copy_operation(m.operation)});
  }
  return out;
}

std::string model_merge(const Patch& minor, const Patch& major) {
  Patch out = minor.copy();
  major.for_each([&](const Patch::Entry& e) {
    const Nested* a = out.find(e.key) != nullptr ? std::get_if<Nested>(out.find(e.key)) : nullptr;
    const Nested* b = std::get_if<Nested>(&e.operation);
    if (a != nullptr && b != nullptr)
      (void)out.insert(e.key, Nested(model_children(a->children, b->children)));
    else
      (void)out.insert(e.key, copy_operation(e.operation));
  });
  return text(out);
}

void check_merge(const Patch& minor, const Patch& major) {
  Patch a = minor.copy();
  Patch b = major.copy();
  const Patch merged = merge_patches(a.copy(), b.copy());
  const std::string before = text(merged);
  CHECK(before == model_merge(minor, major));
  // Change and drop the inputs: the result must not notice.
  (void)a.insert("a", Delete{});
  (void)b.insert("b", Set{JsonValue("changed")});
  { Patch gone = std::move(a); }
  { Patch gone = std::move(b); }
  CHECK(text(merged) == before);
}

// The diff applied to the old version makes the new one; the exact form carries it unchanged.
void check_diff(const JsonValue& old_document, const JsonValue& new_document) {
  Result<Patch, Inexpressible> diff = diff_documents(old_document, new_document);
  if (!diff.ok()) {
    CHECK(starts_with(diff.error().message(), "Cannot express the change at "));
    return;
  }
  JsonValue target = old_document.copy();
  CHECK(apply_to_document(diff.value(), target).ok() && target == new_document);
  // The lossless form carries the patch, placements and all, to the reader of that form.
  Result<JsonValue, Inexpressible> exact = write_document_exact(diff.value());
  CHECK(exact.ok());
  Result<Patch, Inexpressible> read = read_document_exact(exact.value());
  CHECK(read.ok() && text(read.value()) == text(diff.value()));
}

// The undo patch and the JSON Patch operations of `patch` on `document`: they fail as applying
// fails (the operations are refused for a move or copy the walk meets, too), and where applying
// succeeds with a patch the binding can make, the undo gives the document back and the operations
// give what applying gave.
void check_computed_patches(const Patch& patch, const JsonValue& document) {
  JsonValue after = document.copy();
  const Status applied = apply_to_document(patch, after);
  auto undo = inverse_of(patch, document);
  auto operations = json_patch_of(patch, document);
  if (!applied.ok()) {
    for (const auto* error : {undo.ok() ? nullptr : &undo.error(), operations.ok() ? nullptr : &operations.error()}) {
      const PatchError* same = error != nullptr ? std::get_if<PatchError>(error) : nullptr;
      CHECK(same != nullptr && same->message() == applied.error().message());
    }
    return;
  }
  CHECK(undo.ok() || std::holds_alternative<Inexpressible>(undo.error()));
  CHECK(operations.ok() || (std::holds_alternative<Inexpressible>(operations.error()) && moves_or_copies(patch)));
  if (!recordable(patch)) return;
  if (undo.ok()) {
    JsonValue back = after.copy();
    CHECK(apply_to_document(undo.value(), back).ok() && back == document);
    CHECK(write_document_exact(undo.value()).ok());
  }
  Result<std::vector<JsonPatchOperation>, JsonPatchError> read = read_json_patch(operations.value());
  CHECK(read.ok());
  JsonValue replayed = document.copy();
  CHECK(apply_json_patch(replayed, read.value()).ok() && replayed == after);
}

// The exact form reads back as a patch that applies alike, or is refused as exact_form_refusal says.
void check_exact_form(const Patch& patch, const JsonValue& document) {
  Result<JsonValue, Inexpressible> exact = write_document_exact(patch);
  const std::optional<Inexpressible> refusal = exact_form_refusal(patch);
  CHECK(exact.ok() == !refusal.has_value());
  if (!exact.ok()) {
    CHECK(exact.error().message() == refusal->message());
    return;
  }
  Result<Patch> read = read_document(exact.value());
  CHECK(read.ok());
  JsonValue by_patch = document.copy();
  JsonValue by_read = document.copy();
  const bool patch_applied = apply_to_document(patch, by_patch).ok();
  CHECK(apply_to_document(read.value(), by_read).ok() == patch_applied);
  CHECK(!patch_applied || by_patch == by_read);  // where both fail, maybe at different places
}

void check_json_patch(const JsonValue& document, const JsonValue& operations) {
  Result<std::vector<JsonPatchOperation>, JsonPatchError> read = read_json_patch(operations);
  if (!read.ok()) {
    CHECK(read.error().kind() == JsonPatchError::Kind::Malformed && starts_with(read.error().message(), "operation "));
    return;
  }
  JsonValue target = document.copy();
  Result<Done, JsonPatchError> applied = apply_json_patch(target, read.value());
  const JsonValue again = target.copy();
  CHECK(again == target && !target.compact_text().empty());
  if (!applied.ok()) {
    CHECK(starts_with(applied.error().message(), "operation "));
    return;
  }
  // `test` compares by value: the whole result equals itself.
  std::vector<JsonPatchOperation> test;
  test.push_back(JsonPatchOperation{JsonPatchOp::Test, {}, {}, target.copy()});  // the whole document
  JsonValue tested = target.copy();
  CHECK(apply_json_patch(tested, test).ok());
}

// The merge patch rules, plainly.
JsonValue model_merge_patch(const JsonValue& target, const JsonValue& patch) {
  if (!patch.is_object()) return patch.copy();
  std::vector<JsonMember> members;
  if (target.is_object())
    for (const JsonMember& m : target.as_object()) members.push_back(JsonMember{m.key, m.value.copy()});
  JsonObject out = JsonObject::from_members(std::move(members));
  for (const JsonMember& m : patch.as_object()) {
    if (m.value.is_null()) {
      (void)out.remove(m.key);
      continue;
    }
    static const JsonValue kAbsent;
    const JsonValue* old = out.find(m.key);
    JsonValue merged = model_merge_patch(old != nullptr ? *old : kAbsent, m.value);
    (void)out.insert(m.key, std::move(merged));
  }
  return JsonValue(std::move(out));
}

void check_merge_patch(const JsonValue& document, const JsonValue& merge_patch) {
  JsonValue once = document.copy();
  apply_merge_patch(once, merge_patch);
  CHECK(once == model_merge_patch(document, merge_patch));
  JsonValue twice = once.copy();
  apply_merge_patch(twice, merge_patch);
  CHECK(twice == once);
}

// The composite of `first` and `second` for any data applies to `document` as the two do one after
// the other, or compose refuses; for objects it may only refuse or give a patch, on any document.
void check_compose(const Patch& first, const Patch& second, const JsonValue& document) {
  Result<Patch, Inexpressible> composed = compose_patches(first, second, ComposeReading::AnyData);
  if (composed.ok()) {
    JsonValue sequence = document.copy();
    JsonValue at_once = document.copy();
    const bool succeeded = apply_to_document(first, sequence).ok() && apply_to_document(second, sequence).ok();
    CHECK(apply_to_document(composed.value(), at_once).ok() == succeeded && (!succeeded || at_once == sequence));
  } else {
    CHECK(starts_with(composed.error().message(), "Cannot compose the patches at "));
  }
  (void)compose_patches(first, second, ComposeReading::Objects);
}

}  // namespace
}  // namespace quillfen

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillfen;
  Program program(data, size);
  const JsonValue document = program.value(0);
  const Patch first = program.patch();
  const Patch second = program.patch();
  check_apply(first, document);
  check_apply(second, document);
  if (program.made_deep()) {  // the walks keep their own stacks: any depth is refused or done
    (void)inverse_of(first, document);
    (void)json_patch_of(first, document);
    (void)write_document_exact(first);
    (void)diff_documents(document, document);
    (void)compose_patches(first, second, ComposeReading::AnyData);
    return 0;
  }
  check_document_form(first, document);
  check_merge(first, second);
  check_merge(second, first);
  check_compose(first, second, document);
  const JsonValue other = program.value(0);
  const JsonValue operations = program.operations();
  for (const Patch* patch : {&first, &second}) {
    check_computed_patches(*patch, document);
    check_exact_form(*patch, document);
    JsonValue after = document.copy();
    if (apply_to_document(*patch, after).ok()) {
      check_diff(document, after);
      check_diff(after, document);
    }
  }
  check_diff(document, other);
  check_json_patch(document, operations);
  check_merge_patch(document, other);
  return 0;
}
