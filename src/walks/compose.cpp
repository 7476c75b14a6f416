#include "walks/compose.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "patch/array_addressing.h"
#include "patch/reserved_names.h"
#include "walks/apply.h"

namespace quillfen {

namespace {

// The refusals, by reading. For objects, only three, none of which the binding builds but the
// second: a level that holds one key twice; a Move, Copy or Test at a level both patches reach;
// and a Nested of the second patch that fails on a value the first sets.
// For any data, also, at a key both patches reach:
//   - the first sets a value that is no object at a serial (the element loses its serial, so the
//     second would reach another element or none);
//   - the first deletes a serial (another element may carry it too; on a list root the delete
//     fails where none does);
//   - the first changes inside an element and the second sets it, or below the top level deletes
//     it (the first fails where the list holds no such serial, the composite would not);
//   - the first changes inside, by more than sets and deletions, and the second sets or deletes it
//     (on a list inside, the first may fail where the composite would not), at a position too;
//   - the first sets an object and the second deletes it on the top level (the composite's delete
//     would fail on a list root where the first appended);
//   - the second changes the member "_" inside what the first sets;
//   - the first places it (where two elements carry its serial, the other may be the last after);
// and at a level both patches reach:
//   - both place elements, or one removes or sets to no object an element the other's placement
//     names, or the placements of the second would be taken in another order;
//   - the first changes a member "_" inside an element (it may give the element another serial);
//   - on the top level, positions ("[3]") beside anything that may move, add or remove elements,
//     beside serials that an element set by position may carry, and a position of the second beside
//     any serial of the first (the composite takes them in byte order, not patch by patch);
//   - on the top level, the second appends at a serial that sorts before one the first appends (a
//     top level appends in byte order).
constexpr const char* kSummary = "Cannot compose the patches";

using Entries = std::vector<const ChildEntry*>;

bool placed(const ChildEntry& entry) noexcept { return entry.placement && carries_placement(entry.operation); }

bool sets_object(const ChildEntry& entry) noexcept {
  const Set* set = std::get_if<Set>(&entry.operation);
  return set != nullptr && set->value.is_object();
}

bool has_child(const ChildEntry& entry, std::string_view key) noexcept {
  if (const Nested* nested = std::get_if<Nested>(&entry.operation))
    for (const ChildEntry& child : nested->children)
      if (child.key == key) return true;
  return false;
}

// Whether a Nested entry may fail: where it meets a list, a child Nested at a serial no element
// carries does (as a move, copy or test may); sets and deletions never do.
bool may_fail(const ChildEntry& entry) noexcept {
  if (const Nested* nested = std::get_if<Nested>(&entry.operation))
    for (const ChildEntry& child : nested->children)
      if (!std::holds_alternative<Set>(child.operation) && !std::holds_alternative<Delete>(child.operation)) return true;
  return false;
}

ChildEntry copy_entry(const ChildEntry& entry) {
  return ChildEntry{entry.key, copy_operation(entry.operation), copy_placement(entry.placement)};
}

// The second's placement, else the first's, for an entry of `operation`.
std::unique_ptr<Placement> later_placement(const ChildEntry& first, const ChildEntry& second, const Operation& operation) {
  if (!carries_placement(operation)) return nullptr;
  return copy_placement(placed(second) ? second.placement : first.placement);
}

// One patch's side of a level: its entries in order (on the top level, the map's own order) and
// each by key.
class Side {
 public:
  // The top level of `patch`, looked up through the patch's own table.
  explicit Side(const Patch& patch) : patch_(&patch) {
    entries_.reserve(patch.size());
    patch.for_each([this](const ChildEntry& entry) { entries_.push_back(&entry); });
  }
  // A child list; false from `indexed` when it holds a key twice, `repeated` naming it.
  explicit Side(const ChildList& children) {
    entries_.reserve(children.size());
    by_key_.reserve(children.size());
    for (const ChildEntry& child : children) {
      entries_.push_back(&child);
      if (!by_key_.emplace(child.key, &child).second && repeated_ == nullptr) repeated_ = &child;
    }
  }

  const Entries& entries() const noexcept { return entries_; }
  bool empty() const noexcept { return entries_.empty(); }
  const ChildEntry* repeated() const noexcept { return repeated_; }
  const ChildEntry* find(std::string_view key) const {
    if (patch_ != nullptr) return patch_->find_entry(key);
    const auto found = by_key_.find(key);
    return found == by_key_.end() ? nullptr : found->second;
  }

 private:
  const Patch* patch_ = nullptr;
  Entries entries_;
  std::unordered_map<std::string_view, const ChildEntry*> by_key_;
  const ChildEntry* repeated_ = nullptr;
};

class Composer {
 public:
  explicit Composer(ComposeReading reading) : any_data_(reading == ComposeReading::AnyData) {}

  // Composes `second` into `first`. On a refusal `first` is as it was.
  std::optional<Inexpressible> run(Patch& first, const Patch& second) {
    // The top level's composed entries wait here until every level is done: the levels below read
    // the entries they replace.
    ChildList staged;
    pending_.push_back(Level{Side(first), Side(second), &staged, kRoot, true});
    while (!pending_.empty()) {
      Level level = std::move(pending_.back());
      pending_.pop_back();
      if (std::optional<Inexpressible> refusal = compose_level(level)) {
        pending_.clear();
        nodes_.clear();
        return refusal;
      }
    }
    nodes_.clear();
    for (ChildEntry& entry : staged) first.insert(std::move(entry));
    return std::nullopt;
  }

 private:
  static constexpr std::size_t kRoot = ~std::size_t{0};

  // The two sides of one container and where their composite goes: a list reserved at its final
  // size, so the pointer holds. On the top level only the entries the second reaches go there.
  struct Level {
    Side first;
    Side second;
    ChildList* out;
    std::size_t node;  // the key path to the container, in nodes_; kRoot for the root
    bool top;
  };
  struct Node {
    std::size_t parent;
    const std::string* key;
  };

  Inexpressible refuse(const Level& level, const std::string* key, std::string reason) const {
    std::vector<std::string> path;
    if (key != nullptr) path.push_back(*key);
    for (std::size_t node = level.node; node != kRoot; node = nodes_[node].parent) path.push_back(*nodes_[node].key);
    return Inexpressible(kSummary, std::vector<std::string>(path.rbegin(), path.rend()), std::move(reason));
  }

  std::optional<Inexpressible> compose_level(const Level& level) {
    for (const Side* side : {&level.first, &level.second})
      if (side->repeated() != nullptr) return refuse(level, &side->repeated()->key, "a patch holds this key twice at one level");
    if (!level.first.empty() && !level.second.empty()) {
      for (const Side* side : {&level.first, &level.second})
        for (const ChildEntry* entry : side->entries())
          if (!std::holds_alternative<Set>(entry->operation) && !std::holds_alternative<Delete>(entry->operation) &&
              !std::holds_alternative<Nested>(entry->operation))
            return refuse(level, &entry->key, "a move, copy or test, which compose does not take beside other changes");
      if (any_data_)
        if (std::optional<Inexpressible> refusal = check_level(level)) return refusal;
    }

    ChildList& out = *level.out;
    if (level.top) {
      out.reserve(level.second.entries().size());
      for (const ChildEntry* second : level.second.entries()) {
        const ChildEntry* first = level.first.find(second->key);
        if (first == nullptr || second->key == kSerialMember) {
          out.push_back(copy_entry(*second));  // "_" is passed over when applying: the later one is kept
        } else if (std::optional<Inexpressible> refusal = compose_pair(level, *first, *second)) {
          return refusal;
        }
      }
      return std::nullopt;
    }
    out.reserve(level.first.entries().size() + level.second.entries().size());
    for (const ChildEntry* first : level.first.entries()) {
      const ChildEntry* second = level.second.find(first->key);
      if (second == nullptr) {
        out.push_back(copy_entry(*first));
      } else if (std::optional<Inexpressible> refusal = compose_pair(level, *first, *second)) {
        return refusal;
      }
    }
    for (const ChildEntry* second : level.second.entries())
      if (level.first.find(second->key) == nullptr) out.push_back(copy_entry(*second));
    return std::nullopt;
  }

  // The checks of the reading for any data at a level that both patches reach. One pass over each
  // side notes what the checks need; the rest looks up only what those notes name, so that folding
  // a long history costs little more than a pass over each level it reaches.
  struct Notes {
    const ChildEntry* placed = nullptr;           // the last entry that carries a placement
    const ChildEntry* serial_changed = nullptr;   // a Nested that changes a member "_" inside
    const ChildEntry* position = nullptr;         // an index key, on the top level
    const ChildEntry* position_delete = nullptr;  // a Delete at one
    const ChildEntry* moving = nullptr;           // a Set or Delete at a serial, or a placement
    const ChildEntry* serial = nullptr;           // an entry at a serial
    bool appends = false;                         // a Set at a serial: it may append
    std::vector<const ChildEntry*> placed_after;  // the entries placed after an element
  };

  static Notes notes_of(const Side& side, bool top) {
    Notes notes;
    for (const ChildEntry* entry : side.entries()) {
      const bool is_placed = placed(*entry);
      if (is_placed) {
        notes.placed = entry;
        if (entry->placement->after) notes.placed_after.push_back(entry);
      }
      if (std::holds_alternative<Nested>(entry->operation) && has_child(*entry, kSerialMember)) notes.serial_changed = entry;
      if (!top) continue;
      if (parse_index_key(entry->key)) {
        notes.position = entry;
        if (std::holds_alternative<Delete>(entry->operation)) notes.position_delete = entry;
      } else if (is_top_level_serial_key(entry->key)) {
        notes.serial = entry;
        const bool set = std::holds_alternative<Set>(entry->operation);
        notes.appends = notes.appends || set;
        if (set || std::holds_alternative<Delete>(entry->operation) || is_placed) notes.moving = entry;
      }
    }
    return notes;
  }

  std::optional<Inexpressible> check_level(const Level& level) const {
    const Notes first = notes_of(level.first, level.top);
    const Notes second = notes_of(level.second, level.top);
    if (first.serial_changed != nullptr)
      return refuse(level, &first.serial_changed->key, "the first patch changes the member \"_\" inside, which may give an element another serial");
    if (first.placed != nullptr && second.placed != nullptr)
      return refuse(level, &second.placed->key, "both patches place elements of this level");

    // Placements against what the other patch does to their anchors.
    for (const ChildEntry* entry : first.placed_after) {
      const ChildEntry* anchor = level.second.find(*entry->placement->after);
      if (anchor != nullptr && !std::holds_alternative<Nested>(anchor->operation))
        return refuse(level, &entry->key, "the second patch sets or deletes the element this one is placed after");
    }
    for (const ChildEntry* entry : second.placed_after) {
      const ChildEntry* anchor = level.first.find(*entry->placement->after);
      if (anchor != nullptr && (std::holds_alternative<Delete>(anchor->operation) ||
                                (std::holds_alternative<Set>(anchor->operation) && !sets_object(*anchor))))
        return refuse(level, &entry->key, "the first patch deletes the element this one is placed after, or sets it to no object");
    }
    if (level.top) return check_top(level, first, second);  // both sides take the top level in byte order

    // Below it, the composite takes the first's keys, then the second's others: the second's
    // placements must keep their order.
    if (second.placed != nullptr) {
      Entries in_composite;
      for (const ChildEntry* entry : level.first.entries())
        if (const ChildEntry* partner = level.second.find(entry->key); partner != nullptr && placed(*partner)) in_composite.push_back(partner);
      for (const ChildEntry* entry : level.second.entries())
        if (placed(*entry) && level.first.find(entry->key) == nullptr) in_composite.push_back(entry);
      std::size_t i = 0;
      for (const ChildEntry* entry : level.second.entries())
        if (placed(*entry) && in_composite[i++] != entry)
          return refuse(level, &entry->key, "the composite would take the second patch's placements in another order");
    }
    return std::nullopt;
  }

  // The top level of a list root: positions, serials and the byte order of appends.
  std::optional<Inexpressible> check_top(const Level& level, const Notes& first, const Notes& second) const {
    if (first.position != nullptr && second.serial != nullptr)
      return refuse(level, &second.serial->key, "the first patch sets a position of a list root, where an element of this serial may stand");
    if (second.position != nullptr && (first.moving != nullptr || first.position_delete != nullptr))
      return refuse(level, &second.position->key, "the first patch may move, add or remove elements of a list root before this position");
    if (second.position != nullptr && first.serial != nullptr)
      return refuse(level, &second.position->key, "the first patch reaches an element of a list root by serial, which may stand at this position");
    if (first.position != nullptr && second.position != nullptr) {
      // Two spellings of one position ("[1]", "[01]") name one element, but sort apart.
      struct Spellings {
        const std::string* key;
        bool first = false;
        bool second = false;
        bool several = false;
      };
      std::unordered_map<std::uint64_t, Spellings> positions;
      for (const Side* side : {&level.first, &level.second}) {
        for (const ChildEntry* entry : side->entries()) {
          const std::optional<std::uint64_t> position = parse_index_key(entry->key);
          if (!position) continue;
          Spellings& spellings = positions.try_emplace(*position, Spellings{&entry->key}).first->second;
          spellings.several = spellings.several || *spellings.key != entry->key;
          (side == &level.first ? spellings.first : spellings.second) = true;
          if (spellings.first && spellings.second && spellings.several)
            return refuse(level, &entry->key, "the patches spell one position of a list root in two ways, which sort apart");
        }
      }
    }
    if (!first.appends || !second.appends) return std::nullopt;

    // Appends: the first's, then the second's; the composite's, in byte order. A Set may append, and
    // a placement after an element may be passed over, leaving the new element where it was appended.
    const auto may_append = [](const ChildEntry& entry, const ChildEntry* partner) {
      const ChildEntry& placing = partner != nullptr && placed(*partner) ? *partner : entry;
      return is_top_level_serial_key(entry.key) && std::holds_alternative<Set>(entry.operation) &&
             (!placed(placing) || placing.placement->after);
    };
    const std::string* first_new = nullptr;  // the least key the second alone may append at
    for (const ChildEntry* entry : level.second.entries())
      if (may_append(*entry, nullptr) && level.first.find(entry->key) == nullptr && (first_new == nullptr || entry->key < *first_new))
        first_new = &entry->key;
    if (first_new == nullptr) return std::nullopt;
    for (const ChildEntry* entry : level.first.entries())
      if (*first_new < entry->key && may_append(*entry, level.second.find(entry->key)))
        return refuse(level, first_new, "on a list root the composite would append this element before one the first patch appends");
    return std::nullopt;
  }

  // Composes the entries of one key, `first` then `second`, into the level's list. Both are a Set,
  // Delete or Nested: compose_level refuses the other operations first.
  std::optional<Inexpressible> compose_pair(const Level& level, const ChildEntry& first, const ChildEntry& second) {
    // A position on the top level names one element in both readings; no serial to lose there.
    const bool exact_anywhere = !any_data_ || (level.top && parse_index_key(first.key).has_value());
    ChildList& out = *level.out;
    const auto keep = [&](Operation operation) {
      std::unique_ptr<Placement> placement = later_placement(first, second, operation);
      out.push_back(ChildEntry{first.key, std::move(operation), std::move(placement)});
      return std::nullopt;
    };
    const auto refusal = [&](std::string reason) -> std::optional<Inexpressible> { return refuse(level, &first.key, std::move(reason)); };

    // A Nested whose children do more than set and delete fails on some lists: a composite that
    // replaces or deletes the element would not.
    if (any_data_ && !std::holds_alternative<Nested>(second.operation) && may_fail(first))
      return refusal("the first patch changes inside it, which fails on some lists, and the second replaces or deletes it");
    if (!exact_anywhere) {
      if (placed(first))
        return refusal("the first patch moves it and the second reaches it again: on a list where two elements carry its serial, the other may be the last afterwards");
      if (std::holds_alternative<Delete>(first.operation))
        return refusal("the first patch deletes it and the second reaches it again: on a list another element may carry its serial");
      if (std::holds_alternative<Set>(first.operation) && !sets_object(first))
        return refusal("the first patch sets it to no object and the second reaches it again: on a list the element loses its serial");
    }
    return std::visit(
        [&](const auto& op) -> std::optional<Inexpressible> {
          using Op = std::decay_t<decltype(op)>;
          if constexpr (std::is_same_v<Op, Set>) {
            if (!exact_anywhere && std::holds_alternative<Nested>(first.operation))
              return refusal("the first patch changes inside it and the second sets it: on a list the first fails where no element carries its serial");
            return keep(Set{op.value.copy()});
          } else if constexpr (std::is_same_v<Op, Delete>) {
            if (!exact_anywhere && std::holds_alternative<Nested>(first.operation) && !level.top)
              return refusal("the first patch changes inside it and the second deletes it: on a list the first fails where no element carries its serial");
            if (!exact_anywhere && std::holds_alternative<Set>(first.operation) && level.top)
              return refusal("the first patch sets it and the second deletes it: on a list root the composite would fail where the first appends");
            out.push_back(ChildEntry{first.key, Delete{}, nullptr});
            return std::nullopt;
          } else if constexpr (std::is_same_v<Op, Nested>) {
            if (std::holds_alternative<Delete>(first.operation)) {
              out.push_back(ChildEntry{first.key, Delete{}, nullptr});  // nothing there to change
              return std::nullopt;
            }
            if (const Set* set = std::get_if<Set>(&first.operation)) {
              if (!exact_anywhere && has_child(second, kSerialMember))
                return refusal("the second patch changes the member \"_\" of what the first sets: on a list that member is the serial");
              JsonValue value = set->value.copy();
              Status applied = apply_nested(value, op.children);
              if (!applied.ok())
                return refusal("the second patch fails on the value the first sets: " + applied.error().message());
              return keep(Set{std::move(value)});
            }
            const Nested& nested = std::get<Nested>(first.operation);
            keep(Nested{});
            Nested& composed = std::get<Nested>(out.back().operation);
            nodes_.push_back(Node{level.node, &first.key});
            pending_.push_back(Level{Side(nested.children), Side(op.children), &composed.children, nodes_.size() - 1, false});
            return std::nullopt;
          } else {
            return refusal("a move, copy or test, which compose does not take beside other changes");  // compose_level refused it first
          }
        },
        second.operation);
  }

  bool any_data_;
  std::vector<Level> pending_;
  std::vector<Node> nodes_;
};

}  // namespace

Result<Patch, Inexpressible> compose_patches(const Patch& first, const Patch& second, ComposeReading reading) {
  Patch result = first.copy();
  if (std::optional<Inexpressible> refusal = compose_into(result, second, reading)) return std::move(*refusal);
  return result;
}

std::optional<Inexpressible> compose_into(Patch& first, const Patch& second, ComposeReading reading) {
  return Composer(reading).run(first, second);
}

}  // namespace quillfen
