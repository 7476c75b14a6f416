// Reading the document form back into a patch. The walk keeps its own work list instead of
// recursing, so a document of any depth reads without touching the stack limit, and reading never
// fails: every JsonValue is some patch.
#include <string_view>
#include <utility>
#include <vector>

#include "patch/document_form.h"
#include "patch/placements.h"
#include "patch/reserved_names.h"

namespace quillfen {

namespace {

// One object still to be read into a child list. The list was reserved at the object's size and
// belongs to an entry that no longer moves, so the pointer stays valid until the step is done.
struct Step {
  const JsonObject* source;
  ChildList* target;
};

// The operation that `value` stands for, without its children: a Nested comes back with an empty
// list that has room for all of them, and the caller schedules the list to be filled.
Operation read_operation_shallow(const JsonValue& value) {
  if (!value.is_object()) return Set{value.copy()};
  const JsonObject& members = value.as_object();
  // A "*" member decides alone; every other member beside it is ignored.
  if (const JsonValue* star = members.find(kOperationMember)) {
    if (star->is_null()) return Delete{};
    return Set{star->copy()};
  }
  ChildList children;
  children.reserve(members.size());
  return Nested(std::move(children));
}

// Schedules the children of `operation`, read from `value`, when it is a Nested with some to read.
void schedule_children(const JsonValue& value, Operation& operation, std::vector<Step>& pending) {
  Nested* nested = std::get_if<Nested>(&operation);
  if (nested == nullptr || value.as_object().empty()) return;
  pending.push_back(Step{&value.as_object(), &nested->children});
}

// The patch of `document`, passing over the top-level member `skip` when it is given.
Patch read_members(const JsonValue& document, const JsonValue* skip) {
  if (!document.is_object()) return Patch();
  const JsonObject& members = document.as_object();

  // The top level is read into a plain list first: its entries don't move while the children
  // below them are filled in, and the map is built once everything is complete.
  std::vector<Patch::Entry> top;
  top.reserve(members.size());
  std::vector<Step> pending;
  for (const JsonMember& member : members) {
    if (&member.value == skip) continue;
    // At the top level a "*" member is an ordinary key, so each member is an entry of its own.
    top.push_back(Patch::Entry{member.key, read_operation_shallow(member.value)});
    schedule_children(member.value, top.back().operation, pending);
  }
  while (!pending.empty()) {
    const Step step = pending.back();
    pending.pop_back();
    // Members come in ascending key order, so the children do too.
    for (const JsonMember& member : *step.source) {
      step.target->push_back(ChildEntry{member.key, read_operation_shallow(member.value)});
      schedule_children(member.value, step.target->back().operation, pending);
    }
  }

  Patch patch(top.size());
  for (Patch::Entry& entry : top) patch.insert(std::move(entry.key), std::move(entry.operation));
  return patch;
}

}  // namespace

Result<Patch> read_document(const JsonValue& document) { return read_members(document, nullptr); }

Result<Patch, Inexpressible> read_document_exact(const JsonValue& document) {
  const JsonValue* table = document.is_object() ? document.as_object().find(kSerialMember) : nullptr;
  if (table != nullptr && !is_placement_table(*table)) table = nullptr;
  Patch patch = read_members(document, table);
  if (table != nullptr) {
    Result<Done, Inexpressible> placed = read_placement_table(*table, patch);
    if (!placed.ok()) return placed.error();
  }
  return patch;
}

}  // namespace quillfen
