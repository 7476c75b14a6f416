#include "patch/json_patch.h"

#include <array>
#include <optional>
#include <utility>

#include "patch/array_addressing.h"

namespace quillfen {

namespace {

constexpr std::array<std::string_view, 6> kOpNames = {"add", "remove", "replace", "move", "copy", "test"};

// "operation 3 (move from \"/a\" to \"/b\")", with whatever of the op and its pointers is known.
std::string context_of(std::size_t index, std::string_view op, const std::string* from, const std::string* path) {
  std::string parts;
  const auto add = [&parts](std::string_view part) {
    if (!parts.empty()) parts.push_back(' ');
    parts += part;
  };
  if (!op.empty()) add(op);
  if (from != nullptr) add("from " + quoted(*from) + (path != nullptr ? " to" : ""));
  if (path != nullptr) add(quoted(*path));
  std::string text = "operation " + std::to_string(index);
  return parts.empty() ? text : text + " (" + parts + ")";
}

// Reads the pointer in member `name` into `out`, or gives the Malformed error that says why there
// is none; `context` makes the start of its message, only when there is one.
template <class Context>
std::optional<JsonPatchError> read_pointer(const OperationMembers::Member& member, std::string_view name, Context context, JsonPointer& out) {
  const auto malformed = [&](const char* why) { return JsonPatchError::malformed(context() + ": " + quoted(name) + why); };
  switch (member.state) {
    case OperationMembers::State::Absent: return malformed(" is missing");
    case OperationMembers::State::NotString: return malformed(" must be a string");
    case OperationMembers::State::Text: break;
  }
  const std::optional<PointerFault> fault = parse_json_pointer(member.text, out);
  if (!fault) return std::nullopt;
  return malformed(*fault == PointerFault::NoLeadingSlash ? " must be empty or start with \"/\"" : " has a \"~\" that is not followed by 0 or 1");
}

// The core's documents for the walks: JsonValues, changed in place. Nothing here can fail but by
// std::bad_alloc, so every operation reports success.

// Whether a double and an integer (of the kind given) name the same number, exactly.
bool double_equals_integer(double d, const JsonNumber& integer) {
  if (integer.is_unsigned()) {
    if (!(d >= 0.0 && d < 18446744073709551616.0)) return false;  // [0, 2^64)
    const auto u = static_cast<std::uint64_t>(d);
    return static_cast<double>(u) == d && u == integer.as_unsigned();
  }
  if (!(d < 0.0 && d >= -9223372036854775808.0)) return false;  // [-2^63, 0)
  const auto i = static_cast<std::int64_t>(d);
  return static_cast<double>(i) == d && i == integer.as_negative();
}

bool numbers_equal(const JsonNumber& a, const JsonNumber& b) {
  if (a.kind() == b.kind()) return a == b;
  if (a.is_double()) return double_equals_integer(a.as_double(), b);
  if (b.is_double()) return double_equals_integer(b.as_double(), a);
  return false;  // an integer has one representation: unsigned and negative never meet
}

}  // namespace

bool takes_value(JsonPatchOp op) noexcept { return op == JsonPatchOp::Add || op == JsonPatchOp::Replace || op == JsonPatchOp::Test; }
bool takes_from(JsonPatchOp op) noexcept { return op == JsonPatchOp::Move || op == JsonPatchOp::Copy; }
std::string_view op_name(JsonPatchOp op) noexcept { return kOpNames[static_cast<std::size_t>(op)]; }

std::optional<JsonPatchOp> op_named(std::string_view name) noexcept {
  for (std::size_t i = 0; i < kOpNames.size(); ++i)
    if (kOpNames[i] == name) return static_cast<JsonPatchOp>(i);
  return std::nullopt;
}

JsonPatchError not_an_operation(std::size_t index) {
  return JsonPatchError::malformed(context_of(index, "", nullptr, nullptr) + ": an operation must be an object");
}

std::string operation_context(std::size_t index, const JsonPatchOperation& operation) {
  return context_of(index, op_name(operation.op), takes_from(operation.op) ? &operation.from.text() : nullptr, &operation.path.text());
}

Result<Done, JsonPatchError> read_operation(std::size_t index, const OperationMembers& members, JsonPatchOperation& out) {
  using State = OperationMembers::State;
  // The texts of the pointers that are strings, for messages only.
  const auto text_of = [](const OperationMembers::Member& m, std::string& out) -> const std::string* {
    if (m.state != State::Text) return nullptr;
    out.assign(m.text);
    return &out;
  };
  std::string path_text;
  std::string from_text;
  if (members.op.state != State::Text) {
    const char* why = members.op.state == State::Absent ? ": \"op\" is missing" : ": \"op\" must be a string";
    return JsonPatchError::malformed(context_of(index, "", nullptr, text_of(members.path, path_text)) + why);
  }
  const std::optional<JsonPatchOp> op = op_named(members.op.text);
  if (!op)
    return JsonPatchError::malformed(context_of(index, "", nullptr, text_of(members.path, path_text)) + ": unknown op " + quoted(members.op.text));
  const auto context = [&] {
    return context_of(index, op_name(*op), takes_from(*op) ? text_of(members.from, from_text) : nullptr, text_of(members.path, path_text));
  };
  out.op = *op;
  if (std::optional<JsonPatchError> error = read_pointer(members.path, "path", context, out.path)) return std::move(*error);
  if (takes_from(*op)) {
    if (std::optional<JsonPatchError> error = read_pointer(members.from, "from", context, out.from)) return std::move(*error);
  }
  if (takes_value(*op) && !members.has_value) return JsonPatchError::malformed(context() + ": \"value\" is missing");
  return Done{};
}

Result<std::vector<JsonPatchOperation>, JsonPatchError> read_json_patch(const JsonValue& operations) {
  if (!operations.is_array()) return JsonPatchError::malformed("the operations must be an array");
  std::vector<JsonPatchOperation> read;
  read.reserve(operations.as_array().size());
  for (const JsonValue& element : operations.as_array()) {
    const std::size_t index = read.size();
    if (!element.is_object()) return not_an_operation(index);
    const JsonObject& object = element.as_object();
    const auto member = [&object](std::string_view name) {
      const JsonValue* value = object.find(name);
      if (value == nullptr) return OperationMembers::Member{};
      if (!value->is_string()) return OperationMembers::Member{OperationMembers::State::NotString, {}};
      return OperationMembers::Member{OperationMembers::State::Text, value->as_string()};
    };
    const JsonValue* value = object.find("value");
    JsonPatchOperation& operation = read.emplace_back();
    Result<Done, JsonPatchError> done = read_operation(index, OperationMembers{member("op"), member("path"), member("from"), value != nullptr}, operation);
    if (!done.ok()) return done.error();
    if (takes_value(operation.op)) operation.value = value->copy();
  }
  return read;
}

JsonValue merge_patch_value(const JsonValue& patch) {
  if (!patch.is_object()) return patch.copy();
  // One frame per object being copied; a finished one becomes a member of the frame below it.
  struct Frame {
    const JsonObject* source;
    std::size_t next;
    std::vector<JsonMember> members;
  };
  std::vector<Frame> frames;
  frames.push_back(Frame{&patch.as_object(), 0, {}});
  for (;;) {
    Frame& frame = frames.back();
    if (frame.next < frame.source->size()) {
      const JsonMember& member = frame.source->members()[frame.next++];
      if (member.value.is_null()) continue;
      if (member.value.is_object()) {
        frames.push_back(Frame{&member.value.as_object(), 0, {}});  // `frame` is stale now
        continue;
      }
      frame.members.push_back(JsonMember{member.key, member.value.copy()});
      continue;
    }
    JsonObject done = JsonObject::from_members(std::move(frame.members));
    frames.pop_back();
    if (frames.empty()) return JsonValue(std::move(done));
    Frame& parent = frames.back();
    parent.members.push_back(JsonMember{parent.source->members()[parent.next - 1].key, JsonValue(std::move(done))});
  }
}

bool equal_by_value(const JsonValue& a, const JsonValue& b) {
  std::vector<std::pair<const JsonValue*, const JsonValue*>> pending{{&a, &b}};
  while (!pending.empty()) {
    const auto [x, y] = pending.back();
    pending.pop_back();
    if (x->kind() != y->kind()) return false;
    switch (x->kind()) {
      case JsonValue::Kind::Null: break;
      case JsonValue::Kind::Boolean:
        if (x->as_bool() != y->as_bool()) return false;
        break;
      case JsonValue::Kind::Number:
        if (!numbers_equal(x->as_number(), y->as_number())) return false;
        break;
      case JsonValue::Kind::String:
        if (x->as_string() != y->as_string()) return false;
        break;
      case JsonValue::Kind::Array: {
        const JsonArray& xs = x->as_array();
        const JsonArray& ys = y->as_array();
        if (xs.size() != ys.size()) return false;
        for (std::size_t i = 0; i < xs.size(); ++i) pending.emplace_back(&xs[i], &ys[i]);
        break;
      }
      case JsonValue::Kind::Object: {
        // Both hold their members in key order, so equal objects pair their members up in turn.
        const JsonObject& xs = x->as_object();
        const JsonObject& ys = y->as_object();
        if (xs.size() != ys.size()) return false;
        for (std::size_t i = 0; i < xs.size(); ++i) {
          if (xs.members()[i].key != ys.members()[i].key) return false;
          pending.emplace_back(&xs.members()[i].value, &ys.members()[i].value);
        }
        break;
      }
    }
  }
  return true;
}

}  // namespace quillfen
