#include "patch/placements.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "patch/reserved_names.h"

namespace quillfen {

namespace {

// Entries of one list in byte order of their keys.
std::vector<const ChildEntry*> in_key_order(const ChildList& children) {
  std::vector<const ChildEntry*> out;
  out.reserve(children.size());
  for (const ChildEntry& c : children) out.push_back(&c);
  const auto by_key = [](const ChildEntry* a, const ChildEntry* b) { return a->key < b->key; };
  if (!std::is_sorted(out.begin(), out.end(), by_key)) std::stable_sort(out.begin(), out.end(), by_key);
  return out;
}

JsonValue row_of(const std::vector<const std::string*>& path, const Placement& placement) {
  JsonArray keys;
  keys.reserve(path.size());
  for (const std::string* key : path) keys.emplace_back(std::string_view(*key));
  JsonArray row;
  row.reserve(2);
  row.emplace_back(std::move(keys));
  row.emplace_back(placement.after ? JsonValue(std::string_view(*placement.after)) : JsonValue());
  return JsonValue(std::move(row));
}

Inexpressible cannot_read(std::vector<std::string> path, std::string reason) {
  return Inexpressible("Cannot read the placement", std::move(path), std::move(reason));
}

}  // namespace

std::optional<JsonValue> placement_table(const Patch& patch) {
  if (!patch.has_placements()) return std::nullopt;
  JsonArray rows;
  // Depth first, siblings in key order, so the rows come in order of their paths. Each level is the
  // rest of one list still to visit; `path` holds the keys down to the entries of the last level.
  struct Level {
    std::vector<const ChildEntry*> entries;
    std::size_t next;
  };
  std::vector<Level> levels;
  levels.push_back(Level{patch.entries_in_key_order(), 0});
  std::vector<const std::string*> path;
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next == level.entries.size()) {
      levels.pop_back();
      if (!path.empty()) path.pop_back();
      continue;
    }
    const ChildEntry& entry = *level.entries[level.next++];
    path.push_back(&entry.key);
    if (entry.placement) rows.push_back(row_of(path, *entry.placement));
    const Nested* nested = std::get_if<Nested>(&entry.operation);
    if (nested != nullptr && !nested->children.empty()) {
      levels.push_back(Level{in_key_order(nested->children), 0});  // `level` is stale now
    } else {
      path.pop_back();
    }
  }
  JsonObject table;
  table.append_in_order(std::string(kOperationMember), JsonValue());
  table.append_in_order(std::string(kPlacementsMember), JsonValue(std::move(rows)));
  return JsonValue(std::move(table));
}

bool is_placement_table(const JsonValue& value) noexcept {
  if (!value.is_object() || value.as_object().size() != 2) return false;
  const JsonValue* star = value.as_object().find(kOperationMember);
  return star != nullptr && star->is_null() && value.as_object().find(kPlacementsMember) != nullptr;
}

Result<Done, Inexpressible> read_placement_table(const JsonValue& table, Patch& patch) {
  const std::vector<std::string> at_table{std::string(kSerialMember)};
  const JsonValue* rows = table.as_object().find(kPlacementsMember);
  if (!rows->is_array()) return cannot_read(at_table, "\"placements\" holds a list of [path, after] rows");
  for (const JsonValue& row : rows->as_array()) {
    const bool shaped = row.is_array() && row.as_array().size() == 2 && row.as_array()[0].is_array() &&
                        !row.as_array()[0].as_array().empty() &&
                        std::all_of(row.as_array()[0].as_array().begin(), row.as_array()[0].as_array().end(),
                                    [](const JsonValue& key) { return key.is_string(); }) &&
                        (row.as_array()[1].is_string() || row.as_array()[1].is_null());
    if (!shaped)
      return cannot_read(at_table, "each row is [path, after]: a non-empty list of keys, and a serial or null");
    const JsonArray& keys = row.as_array()[0].as_array();
    std::vector<std::string> path;
    path.reserve(keys.size());
    for (const JsonValue& key : keys) path.push_back(key.as_string());
    ChildEntry* entry = patch.find_entry(path.front());
    for (std::size_t i = 1; entry != nullptr && i < path.size(); ++i) {
      Nested* nested = std::get_if<Nested>(&entry->operation);
      if (nested == nullptr) {
        entry = nullptr;
        break;
      }
      ChildList& children = nested->children;
      auto it = std::lower_bound(children.begin(), children.end(), path[i],
                                 [](const ChildEntry& c, const std::string& key) { return c.key < key; });
      entry = it != children.end() && it->key == path[i] ? &*it : nullptr;
    }
    if (entry == nullptr) return cannot_read(std::move(path), "no entry of the patch is there");
    if (!carries_placement(entry->operation)) return cannot_read(std::move(path), "only a set or a nested change carries a placement");
    const JsonValue& after = row.as_array()[1];
    entry->placement = std::make_unique<Placement>(Placement{after.is_null() ? std::nullopt : std::optional<std::string>(after.as_string())});
  }
  return Done{};
}

}  // namespace quillfen
