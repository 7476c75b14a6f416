// A coverage-guided fuzz target for the core (libFuzzer; -DQUILLFEN_FUZZ=ON with clang). The input
// bytes are read as a program that builds a document and two patches; the target then checks:
// - applying a patch to the document never crashes, leaves a well-formed document, and fails only
//   with one of the texts the core can produce;
// - writing a document read from any value gives that value with its "*" members collapsed, as the
//   document form's rules say, and a patch of the round-trippable kind reads back as itself;
// - merging gives what a plain model of the merge rules gives, and the result shares nothing with
//   its inputs: changing and dropping them afterwards leaves it as it was.
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
#include "patch/apply.h"
#include "patch/document_form.h"
#include "patch/merge.h"
#include "patch/patch.h"
#include "patch/patch_error.h"

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

// Every key at every level of `patch`.
bool patch_holds_key(const Patch& patch, const std::string& key) {
  bool found = false;
  std::vector<const ChildList*> pending;
  patch.for_each([&](const Patch::Entry& e) {
    found = found || e.key == key;
    if (const Nested* n = std::get_if<Nested>(&e.operation)) pending.push_back(&n->children);
  });
  while (!found && !pending.empty()) {
    const ChildList* list = pending.back();
    pending.pop_back();
    for (const ChildEntry& c : *list) {
      found = found || c.key == key;
      if (const Nested* n = std::get_if<Nested>(&c.operation)) pending.push_back(&n->children);
    }
  }
  return found;
}

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
  if (program.made_deep()) return 0;
  check_document_form(first, document);
  check_merge(first, second);
  check_merge(second, first);
  return 0;
}
