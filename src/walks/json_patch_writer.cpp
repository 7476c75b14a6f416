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

// Counts over positions 0..n-1, each 0 or 1: how many of those before a position are 1, in log time.
class PositionCounts {
 public:
  explicit PositionCounts(std::size_t n) : tree_(n + 1, 0) {}
  void add(std::size_t position, int delta) {
    for (std::size_t i = position + 1; i < tree_.size(); i += i & (~i + 1)) tree_[i] += delta;
  }
  std::size_t before(std::size_t position) const {
    long total = 0;
    for (std::size_t i = position; i > 0; i -= i & (~i + 1)) total += tree_[i];
    return static_cast<std::size_t>(total);
  }

 private:
  std::vector<long> tree_;
};

// The operations that take an array, once its removals are made, to `order` (walks/arrangement.h):
// one `move` per element placed, one `add` per new element, none for the others, which keep their
// order. Taken from the last element to the first, each placed or new element goes right before the
// one that follows it in `order` (or to the end), whose place is settled by then. Where each element
// stands meanwhile is counted over one line of slots that holds both where an element stood and
// where it goes: before each element kept in place, the slots of the placed elements that stood
// between it and the previous one, then the slots of those that go there.
void write_arrangement(const ChangeRecord::Pass& pass, const std::vector<std::size_t>& removed, const std::vector<const Change*>& appended,
                       const std::string& pointer, std::vector<WrittenOperation>& written) {
  const std::vector<ArraySlot>& order = pass.arrangement.order;
  const std::size_t length = pass.length;
  constexpr std::size_t kNone = ~std::size_t{0};
  std::vector<bool> gone(length, false);
  for (std::size_t position : removed) gone[position] = true;
  std::vector<std::size_t> final_at(length, kNone);  // each old element's index in `order`
  for (std::size_t k = 0; k < order.size(); ++k)
    if (!order[k].fresh) final_at[order[k].index] = k;
  // The old elements that do not move keep their order among themselves.
  std::vector<bool> kept(length, false);
  for (std::size_t i = 0; i < length; ++i) kept[i] = !gone[i] && !pass.arrangement.moved[i];
  // The line of slots: `from_slot` of each old element not kept (where it stands now), `to_slot` of
  // each element of `order` that moves or is new (where it goes), `at_slot` of each kept one.
  std::vector<std::size_t> from_slot(length, kNone), to_slot(order.size(), kNone);
  std::size_t slots = 0;
  {
    std::size_t old_i = 0;
    std::size_t k = 0;
    const auto flush_old_until = [&](std::size_t end) {  // old elements before `end`, not kept
      for (; old_i < end; ++old_i)
        if (!gone[old_i] && !kept[old_i]) from_slot[old_i] = slots++;
    };
    for (std::size_t i = 0; i <= length; ++i) {
      if (i < length && !kept[i]) continue;
      flush_old_until(i);
      // The elements of `order` before kept element i (or to the end) that are not kept.
      const std::size_t end = i < length ? final_at[i] : order.size();
      for (; k < end; ++k) to_slot[k] = slots++;
      if (i < length) {
        to_slot[k++] = slots++;  // the kept element's own slot
        old_i = i + 1;
      }
    }
  }
  PositionCounts counts(slots);
  for (std::size_t i = 0; i < length; ++i) {
    if (gone[i]) continue;
    counts.add(kept[i] ? to_slot[final_at[i]] : from_slot[i], 1);
  }
  const auto at = [&pointer](std::size_t index) {
    std::string path = pointer;
    append_pointer_token(path, std::to_string(index));
    return path;
  };
  for (std::size_t k = order.size(); k-- > 0;) {
    const ArraySlot slot = order[k];
    if (!slot.fresh && kept[slot.index]) continue;
    if (slot.fresh) {
      const Change& change = *appended[slot.index];
      written.push_back(WrittenOperation{JsonPatchOp::Add, at(counts.before(to_slot[k])), &std::get<Set>(change.entry->operation).value, change.key});
    } else {
      const std::size_t from = counts.before(from_slot[slot.index]);
      counts.add(from_slot[slot.index], -1);
      written.push_back(WrittenOperation{JsonPatchOp::Move, at(counts.before(to_slot[k])), nullptr, {}, at(from)});
    }
    counts.add(to_slot[k], 1);
  }
}

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
      if (pass.arranged) {
        write_arrangement(pass, pass_at.removed, pass_at.appended, pass_at.pointer, written);
        open.pop_back();
        continue;
      }
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
    if (w.op == JsonPatchOp::Move) members.push_back(JsonMember{"from", JsonValue(w.from)});
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
