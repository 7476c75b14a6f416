#include "walks/json_patch_writer.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "patch/array_addressing.h"
#include "patch/json_pointer.h"
#include "walks/apply_walk.h"
#include "walks/value_document.h"

namespace quillfen {

namespace {

using Change = ChangeRecord::Change;
using Kind = ChangeRecord::Change::Kind;

}  // namespace

Result<std::vector<WrittenOperation>, Inexpressible> operations_of(const ChangeRecord& record) {
  // The passes in the walk's order: each with its pointer and the patch keys that lead there, the
  // next change to take, and the removals and appends that wait for its end.
  struct Open {
    std::size_t pass;
    std::size_t next;
    std::string pointer;
    std::vector<std::string> keys;
    std::vector<std::size_t> removed;
    std::vector<const Change*> appended;
  };
  std::vector<WrittenOperation> written;
  const auto at = [](const std::string& pointer, std::string_view token) {
    std::string path = pointer;
    append_pointer_token(path, token);
    return path;
  };
  std::vector<Open> open;
  open.push_back(Open{0, 0, {}, {}, {}, {}});
  while (!open.empty()) {
    Open& pass_at = open.back();
    const ChangeRecord::Pass& pass = record.passes[pass_at.pass];
    if (pass_at.next == pass.changes.size()) {
      std::sort(pass_at.removed.rbegin(), pass_at.removed.rend());  // each removal leaves the next position valid
      pass_at.removed.erase(std::unique(pass_at.removed.begin(), pass_at.removed.end()), pass_at.removed.end());
      for (std::size_t position : pass_at.removed) written.push_back(WrittenOperation{JsonPatchOp::Remove, at(pass_at.pointer, std::to_string(position)), nullptr, {}});
      for (const Change* change : pass_at.appended)
        written.push_back(WrittenOperation{JsonPatchOp::Add, at(pass_at.pointer, "-"), &std::get<Set>(change->entry->operation).value, change->key});
      open.pop_back();
      continue;
    }
    const Change& change = pass.changes[pass_at.next++];
    const Operation& operation = change.entry->operation;
    if (std::holds_alternative<Move>(operation) || std::holds_alternative<Copy>(operation))
      return Inexpressible("Cannot write the change as JSON Patch", pass_at.keys, "a move or copy has no counterpart here");
    const std::string token = pass.is_array ? std::to_string(change.position) : std::string(change.key);
    switch (change.kind) {
      case Kind::Put:
        written.push_back(WrittenOperation{change.had_old ? JsonPatchOp::Replace : JsonPatchOp::Add, at(pass_at.pointer, token), &std::get<Set>(operation).value, {}});
        break;
      case Kind::Remove: written.push_back(WrittenOperation{JsonPatchOp::Remove, at(pass_at.pointer, token), nullptr, {}}); break;
      case Kind::Replace: {
        std::optional<std::string_view> stamp;
        if (change.by_serial) stamp = change.key;
        written.push_back(WrittenOperation{JsonPatchOp::Replace, at(pass_at.pointer, token), &std::get<Set>(operation).value, stamp});
        break;
      }
      case Kind::RemoveElement: pass_at.removed.push_back(change.position); break;
      case Kind::Append: pass_at.appended.push_back(&change); break;
      case Kind::Enter: {
        if (change.inner == ChangeRecord::kNone) break;
        std::vector<std::string> keys = pass_at.keys;
        keys.push_back(pass.is_array && !change.by_serial ? "[" + token + "]" : std::string(change.key));
        std::string pointer = at(pass_at.pointer, token);
        open.push_back(Open{change.inner, 0, std::move(pointer), std::move(keys), {}, {}});  // `pass_at` is stale now
        break;
      }
    }
  }
  return written;
}


JsonValue written_operations(const std::vector<WrittenOperation>& written) {
  JsonArray operations;
  operations.reserve(written.size());
  for (const WrittenOperation& w : written) {
    std::vector<JsonMember> members;
    members.push_back(JsonMember{"op", JsonValue(op_name(w.op))});
    members.push_back(JsonMember{"path", JsonValue(w.path)});
    if (w.value != nullptr) members.push_back(JsonMember{"value", w.stamp ? stamped_copy(*w.value, *w.stamp) : w.value->copy()});
    operations.emplace_back(JsonObject::from_members(std::move(members)));
  }
  return JsonValue(std::move(operations));
}

Result<JsonValue, std::variant<PatchError, Inexpressible>> json_patch_of(const Patch& patch, const JsonValue& document) {
  using Outcome = Result<JsonValue, std::variant<PatchError, Inexpressible>>;
  if (!document.is_container()) return Outcome(PatchError::invalid_operation("Can only patch objects and arrays"));
  JsonValue copy = document.copy();  // the walk writes: this adapter has no kind that only reads
  ValueDocument json;
  ChangeRecorder<ValueDocument> recorder(json, false);
  if (std::optional<ApplyStop> stop = ApplyWalk<ValueDocument, ChangeRecorder<ValueDocument>>(json, recorder).run(patch, &copy))
    return Outcome(std::get<PatchError>(std::move(*stop)));  // a ValueDocument never fails on its own
  Result<std::vector<WrittenOperation>, Inexpressible> written = operations_of(recorder.take());
  if (!written.ok()) return Outcome(written.error());
  return Outcome(written_operations(written.value()));
}

}  // namespace quillfen
