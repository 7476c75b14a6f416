// The rules of computing a patch between two documents, written once for any kind of document.
//
// `DiffWalk<Document>` holds the rules: members matched by name, arrays paired by serial where that
// expresses the change and set whole where it does not, the reserved names "_" and "*", the array
// root reached by serials or positions, and every refusal. The Document adapter holds the storage:
// what kind a value is, whether two values are one and the same, how two values compare, how the
// members of two objects are matched, what serial an element carries, how a value becomes a
// JsonValue of the patch. The core instantiates the walk for JsonValue documents (diff.cpp); the
// binding for Python objects, which it walks where they stand.
//
// The walk keeps its own stack of frames, one per pair of objects or of paired arrays being walked,
// so a document of any depth is compared without exhausting the thread's stack.
//
// A Document adapter D provides (a function that returns bool returns false, and a Step or Outcome
// says Failed, only when the adapter itself failed, having recorded why; the walk then stops):
//
//   static constexpr bool kMayBeForeign;   // whether shape() can say Foreign
//   using Node;     // a value of either document: cheap to copy, valid while the walk holds it
//   using Held;     // keeps a node or a key alive across code that may change the documents
//   using Members;  // a cursor over the members of two objects, matching them by key
//
//   Shape shape(Node)                            // Foreign: leave the pair to delegate()
//   Outcome quickly_equal(Node old, Node new, int depth)  // Equal only if equal, with no collision;
//                                                 // Differ also where finding out would cost much
//   bool same(Node, Node)                         // one and the same value: nothing to compare
//   Held hold(Node)
//   bool enter(int depth)                         // containers at `depth` may be walked
//   Outcome compare(Node old, Node new, int depth, std::vector<std::string>& where)
//        // Collision: the two convert to one value but differ, at `where` below them
//   bool check(Node old, int depth)               // an old value the patch drops converts
//   bool convert(Node new, int depth, JsonValue& out)
//   bool delegate(Node old, Node new, int depth, std::optional<Operation>& out)
//        // the change between two values of which one is Foreign, by the core's rules
//   Members members(Node old, Node new)           // both objects
//   Step next(Members&, MemberEvent&)            // Foreign: the objects need delegate()
//   Held hold_key(Members&)                       // keeps the key of the last event alive
//   std::size_t length(Node array)
//   bool element(Node array, std::size_t position, Node& out)
//   SerialOf serial(Node element, std::string_view& out)   // the text lives as long as the element
//   void reading_ahead(Node array, position_ahead)   // a hint, before element() in a loop over
//        // many elements: position_ahead(k) is the position the loop reads k elements from now
//        // (or any position past the end); the adapter may ask for those elements early
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/key_table.h"
#include "json_value/json_value.h"
#include "operations/operation.h"
#include "patch/array_addressing.h"
#include "patch/inexpressible.h"
#include "patch/patch.h"
#include "patch/reserved_names.h"
#include "walks/apply_walk.h"

namespace quillfen {

namespace diff_rules {

enum class Shape { Scalar, Array, Object, Foreign };
enum class Outcome { Equal, Differ, Collision, Foreign, Failed };
enum class Step { Pair, Removed, Added, End, Foreign, Failed };
enum class SerialOf { Serial, None, Foreign };

// One member of two objects: in both (Pair), in old only (Removed) or in new only (Added).
template <class Node>
struct MemberEvent {
  std::string_view key;  // valid until the next event, or as long as hold_key's result
  Node old_value{};
  Node new_value{};
};

inline Inexpressible cannot_express(std::vector<std::string> path, std::string reason) {
  return Inexpressible("Cannot express the change", std::move(path), std::move(reason));
}

inline std::string index_key(std::size_t position) { return std::string("[").append(std::to_string(position)).append("]"); }

// The serials of an array's elements, in element order, copied into one buffer: what the walk
// learns of them stays right whatever later happens to the elements.
class SerialList {
 public:
  void add(std::string_view serial) {
    if (serial == kOperationMember) star_ = ends_.size();
    text_.append(serial);
    ends_.push_back(text_.size());
  }
  std::size_t size() const noexcept { return ends_.size(); }
  std::string_view operator[](std::size_t i) const noexcept {
    const std::size_t start = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(text_.data() + start, ends_[i] - start);  // not substr: its bounds check has a failure path
  }
  std::size_t star() const noexcept { return star_; }  // the position of serial "*", or KeyTable::kNone
  auto key_of() const noexcept {
    return [this](std::size_t i) { return (*this)[i]; };
  }
  bool strictly_ascending() const noexcept {
    for (std::size_t i = 1; i < size(); ++i)
      if (!((*this)[i - 1] < (*this)[i])) return false;
    return true;
  }

 private:
  std::string text_;
  std::vector<std::size_t> ends_;
  std::size_t star_ = KeyTable::kNone;
};

// Two arrays whose elements all carry serials, and how they pair: replacing, deleting and appending
// elements by serial turns one into the other when every serial is unique in its array, the kept
// elements keep their relative order, and the added ones come after them in ascending byte order.
// Where they do not, placements do, as long as every serial is unique in its array: the kept elements
// that keep their relative order (the longest such run) stay, the trailing added ones in ascending
// byte order are appended, and every other element is placed right after the one before it in new.
struct SerialPairing {
  SerialList old_serials;
  SerialList new_serials;
  std::vector<std::size_t> old_of_new;  // the old position of each new element, or KeyTable::kNone
  std::vector<bool> old_kept;           // whether new carries the serial of each old element
  std::size_t added = 0;                // new elements whose serial old does not carry
  bool placing = false;                 // some elements are placed:
  std::vector<bool> placed;             // each new element placed after the one before it (or first)

  // Works out the pairing of the two lists; false when pairing cannot express the change.
  bool pair() {
    reset();
    // Serials kept in byte order (counters, dates, padded numbers) pair in one merge, no table.
    const bool paired = old_serials.strictly_ascending() && new_serials.strictly_ascending() ? pair_in_order() : pair_by_table();
    return paired || pair_with_placements();
  }

 private:
  void reset() {
    old_of_new.assign(new_serials.size(), KeyTable::kNone);
    old_kept.assign(old_serials.size(), false);
    added = 0;
  }

  bool pair_with_placements() {
    reset();
    KeyTable old_positions;
    KeyTable new_positions;
    if (!index_unique(old_serials, old_positions) || !index_unique(new_serials, new_positions)) return false;
    const std::size_t count = new_serials.size();
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t at = old_positions.find(new_serials[i], old_serials.key_of());
      if (at == KeyTable::kNone) {
        ++added;
      } else {
        keep(at, i);
      }
    }
    // The longest run of kept elements whose old positions increase (patience sorting) stays.
    std::vector<std::size_t> tails, tail_of, before(count, KeyTable::kNone);
    for (std::size_t i = 0; i < count; ++i) {
      if (old_of_new[i] == KeyTable::kNone) continue;
      const auto at = static_cast<std::size_t>(std::lower_bound(tails.begin(), tails.end(), old_of_new[i]) - tails.begin());
      if (at > 0) before[i] = tail_of[at - 1];
      if (at == tails.size()) {
        tails.push_back(old_of_new[i]);
        tail_of.push_back(i);
      } else {
        tails[at] = old_of_new[i];
        tail_of[at] = i;
      }
    }
    placed.assign(count, true);
    for (std::size_t i = tail_of.empty() ? KeyTable::kNone : tail_of.back(); i != KeyTable::kNone; i = before[i]) placed[i] = false;
    // Added elements at the end, in ascending byte order, are appended as they are.
    for (std::size_t i = count; i > 0 && old_of_new[i - 1] == KeyTable::kNone && (i == count || new_serials[i - 1] < new_serials[i]); --i)
      placed[i - 1] = false;
    placing = true;
    return true;
  }

  bool pair_in_order() {
    std::size_t at = 0;
    for (std::size_t i = 0; i < new_serials.size(); ++i) {
      const std::string_view s = new_serials[i];
      while (at < old_serials.size() && old_serials[at] < s) ++at;
      if (at < old_serials.size() && old_serials[at] == s) {
        if (added > 0) return false;
        keep(at++, i);
      } else {
        ++added;  // ascending with the rest of new, and after every kept one or it fails above
      }
    }
    return true;
  }

  bool pair_by_table() {
    KeyTable old_positions;
    if (!index_unique(old_serials, old_positions)) return false;
    KeyTable new_positions;
    if (!index_unique(new_serials, new_positions)) return false;
    std::size_t next_kept = 0;  // a kept element must stand after the one kept before it
    std::string_view last_added;
    for (std::size_t i = 0; i < new_serials.size(); ++i) {
      const std::string_view s = new_serials[i];
      const std::size_t at = old_positions.find(s, old_serials.key_of());
      if (at == KeyTable::kNone) {
        if (added > 0 && !(last_added < s)) return false;
        last_added = s;
        ++added;
      } else {
        if (added > 0 || at < next_kept) return false;
        next_kept = at + 1;
        keep(at, i);
      }
    }
    return true;
  }

  static bool index_unique(const SerialList& serials, KeyTable& table) {
    table.reserve(serials.size());
    for (std::size_t i = 0; i < serials.size(); ++i)
      if (table.insert(serials[i], i, serials.key_of()) != i) return false;
    return true;
  }

  void keep(std::size_t old_position, std::size_t new_position) {
    old_of_new[new_position] = old_position;
    old_kept[old_position] = true;
  }
};

}  // namespace diff_rules

// Why a diff stopped: what no patch expresses; the adapter's own failure; or, at the top level, a
// value the adapter leaves to the core's rules on converted documents.
struct RootForeign {};
using DiffStop = std::variant<Inexpressible, AdapterFailed, RootForeign>;

template <class Document>
class DiffWalk {
  using Node = typename Document::Node;
  using Held = typename Document::Held;
  using Members = typename Document::Members;
  using Shape = diff_rules::Shape;
  using Outcome = diff_rules::Outcome;
  using Step = diff_rules::Step;
  using SerialOf = diff_rules::SerialOf;
  using SerialList = diff_rules::SerialList;
  using SerialPairing = diff_rules::SerialPairing;
  using Event = diff_rules::MemberEvent<Node>;

 public:
  explicit DiffWalk(Document& document) : doc_(document) {}

  // The patch that turns `old_root` into `new_root`, or why there is none (see diff.h). What no
  // patch expresses is reported after the rest has been read, so a value that does not convert
  // is reported first, as converting both documents first would.
  std::variant<Patch, DiffStop> run(Node old_root, Node new_root) {
    const Shape was = doc_.shape(old_root);
    const Shape is = doc_.shape(new_root);
    if (was == Shape::Foreign || is == Shape::Foreign) return DiffStop(RootForeign{});
    if (was == Shape::Scalar || is == Shape::Scalar)
      return DiffStop(diff_rules::cannot_express({}, "only objects and arrays can be patched"));
    if (was != is)
      return DiffStop(diff_rules::cannot_express({}, was == Shape::Object ? "a patch cannot turn an object into an array"
                                                                           : "a patch cannot turn an array into an object"));
    std::vector<Patch::Entry> entries;
    const bool done = was == Shape::Object ? object_root(old_root, new_root, entries) : array_root(old_root, new_root, entries);
    if (!done) return std::move(*stop_);
    if (refusal_) return DiffStop(std::move(*refusal_));
    Patch patch(entries.size());
    for (Patch::Entry& entry : entries) patch.insert(std::move(entry));
    return patch;
  }

  // The operation that turns `old_value` into `new_value` below the top level, or none when they
  // are equal. For adapters with no Foreign values and no collisions, which cannot fail.
  std::optional<Operation> change(Node old_value, Node new_value) {
    std::optional<Operation> op;
    (void)change_at(old_value, new_value, std::nullopt, 1, op);
    return op;
  }

 private:
  struct Frame {
    Node old_value;
    Node new_value;
    Held old_held;
    Held new_held;
    std::string_view key;  // of this frame's change in its parent
    Held key_held;
    int depth;                // of the two containers
    bool top;                 // the object root: "_" must not change, "*" is an ordinary key
    std::optional<Members> members;          // a pair of objects
    std::unique_ptr<SerialPairing> pairing;  // a pair of arrays; on the heap, so it stays put
    std::size_t old_cursor = 0;
    std::size_t new_cursor = 0;
    ChildList children;
    std::optional<Inexpressible> refusal;  // the first one met below; dropped if the frame is replaced
  };

  // What a frame ends with: its children, a Set of the whole new value, or the core's rules on
  // both converted.
  enum class Ending { Children, Whole, Delegated };

  // ---------------------------------------------------------------------------------------------
  // The roots.

  bool object_root(Node old_root, Node new_root, std::vector<Patch::Entry>& entries) {
    if (!doc_.enter(0)) return failed();
    push_object(old_root, new_root, std::string_view(), Held{}, 0, true);
    ChildList children;
    if (!run_frames(&children)) return false;
    for (ChildEntry& child : children) entries.push_back(std::move(child));
    return true;
  }

  bool array_root(Node old_root, Node new_root, std::vector<Patch::Entry>& entries) {
    if (!doc_.enter(0)) return failed();
    std::unique_ptr<SerialPairing> pairing;
    switch (pair_arrays(old_root, new_root, pairing)) {
      case Outcome::Foreign: return root_foreign();
      case Outcome::Failed: return failed();
      default: break;
    }
    if (pairing && added_at_top(*pairing)) return array_root_by_serial(old_root, new_root, *pairing, entries);
    return array_root_by_position(old_root, new_root, entries);
  }

  // Whether every added element's serial is a key that appends it at the top level (the pairing put
  // them after the kept ones in ascending byte order, the order in which the top level appends);
  // with placements, whether every new element's serial is a top-level serial key.
  static bool added_at_top(const SerialPairing& pairing) {
    const std::size_t total = pairing.new_serials.size();
    for (std::size_t i = 0; i < total; ++i)
      if ((pairing.placing || pairing.old_of_new[i] == KeyTable::kNone) && !is_top_level_serial_key(pairing.new_serials[i])) return false;
    return true;
  }

  // The placement of the new element at `i`: right after the one before it, or first.
  static std::unique_ptr<Placement> placement_of(const SerialPairing& pairing, std::size_t i) {
    return std::make_unique<Placement>(Placement{i == 0 ? std::nullopt : std::optional<std::string>(pairing.new_serials[i - 1])});
  }

  // Gives the children of a paired array's frame (in key order) the placements the pairing asks for;
  // an element placed without a change inside gets an empty one.
  static void place_children(const SerialPairing& pairing, ChildList& children) {
    const std::size_t written = children.size();
    for (std::size_t i = 0; i < pairing.new_serials.size(); ++i) {
      if (!pairing.placed[i]) continue;
      const std::string_view s = pairing.new_serials[i];
      const auto it = std::lower_bound(children.begin(), children.begin() + static_cast<std::ptrdiff_t>(written), s,
                                       [](const ChildEntry& c, std::string_view key) { return std::string_view(c.key) < key; });
      if (it != children.begin() + static_cast<std::ptrdiff_t>(written) && it->key == s && carries_placement(it->operation)) {
        it->placement = placement_of(pairing, i);
      } else {
        children.push_back(ChildEntry{std::string(s), Nested(), placement_of(pairing, i)});
      }
    }
    if (children.size() != written)
      std::sort(children.begin(), children.end(), [](const ChildEntry& a, const ChildEntry& b) { return a.key < b.key; });
  }

  // The placement of the new element at `i`, where the pairing places it.
  static std::unique_ptr<Placement> placed(const SerialPairing& pairing, std::size_t i) {
    return pairing.placing && pairing.placed[i] ? placement_of(pairing, i) : nullptr;
  }

  // An array root changed by serial: the elements whose serial cannot be a top-level key are
  // reached by their old position instead.
  bool array_root_by_serial(Node old_root, Node new_root, const SerialPairing& pairing, std::vector<Patch::Entry>& entries) {
    const auto key_for = [](std::string_view s, std::size_t position) {
      return is_top_level_serial_key(s) ? std::string(s) : diff_rules::index_key(position);
    };
    for (std::size_t i = 0; i < pairing.old_serials.size(); ++i) {
      if (pairing.old_kept[i]) continue;
      Node element{};
      if (!doc_.element(old_root, i, element)) return failed();
      std::string key = key_for(pairing.old_serials[i], i);
      if (!doc_.check(element, 1)) return failed();
      entries.push_back(Patch::Entry{std::move(key), Delete{}});
    }
    for (std::size_t i = 0; i < pairing.new_serials.size(); ++i) {
      Node element{};
      if (!doc_.element(new_root, i, element)) return failed();
      const std::size_t at = pairing.old_of_new[i];
      if (at == KeyTable::kNone) {
        std::string key(pairing.new_serials[i]);
        JsonValue value;
        if (!doc_.convert(element, 1, value)) return failed();
        entries.push_back(Patch::Entry{std::move(key), Set{std::move(value)}, placed(pairing, i)});
        continue;
      }
      Node before{};
      if (!doc_.element(old_root, at, before)) return failed();
      std::string key = key_for(pairing.new_serials[i], at);
      std::optional<Operation> op;
      if (!change_at(before, element, key, 1, op)) return false;
      if (op) {
        entries.push_back(Patch::Entry{std::move(key), std::move(*op), placed(pairing, i)});
      } else if (pairing.placing && pairing.placed[i]) {
        entries.push_back(Patch::Entry{std::move(key), Nested(), placement_of(pairing, i)});
      }
    }
    return true;
  }

  // An array root changed by position: positions kept from the start are changed in place, the rest
  // deleted (before the longest unchanged tail, so that it stays), or the added tail appended.
  bool array_root_by_position(Node old_root, Node new_root, std::vector<Patch::Entry>& entries) {
    const std::size_t old_size = doc_.length(old_root);
    const std::size_t new_size = doc_.length(new_root);
    std::vector<std::string> appended;
    if (new_size > old_size && !append_keys(old_root, new_root, appended)) return false;
    std::size_t same_tail = 0;
    if (new_size <= old_size) {
      while (same_tail < new_size) {
        Node was{}, is{};
        if (!doc_.element(old_root, old_size - 1 - same_tail, was) || !doc_.element(new_root, new_size - 1 - same_tail, is))
          return failed();
        std::vector<std::string> where;
        const Outcome outcome = doc_.same(was, is) ? Outcome::Equal : doc_.compare(was, is, 1, where);
        if (outcome == Outcome::Foreign) return root_foreign();
        if (outcome == Outcome::Failed) return failed();
        if (outcome == Outcome::Differ) break;
        if (outcome == Outcome::Collision) refuse_collision({diff_rules::index_key(old_size - 1 - same_tail)}, where);
        ++same_tail;
      }
    }
    const std::size_t changed = std::min(old_size, new_size) - same_tail;
    for (std::size_t i = 0; i < changed; ++i) {
      Node was{}, is{};
      if (!doc_.element(old_root, i, was) || !doc_.element(new_root, i, is)) return failed();
      std::string key = diff_rules::index_key(i);
      std::optional<Operation> op;
      if (!change_at(was, is, key, 1, op)) return false;
      if (op) entries.push_back(Patch::Entry{std::move(key), std::move(*op)});
    }
    for (std::size_t i = changed; i + same_tail < old_size; ++i) {
      Node was{};
      if (!doc_.element(old_root, i, was) || !doc_.check(was, 1)) return failed();
      entries.push_back(Patch::Entry{diff_rules::index_key(i), Delete{}});
    }
    for (std::size_t i = old_size; i < new_size; ++i) {
      Node is{};
      JsonValue value;
      if (!doc_.element(new_root, i, is) || !doc_.convert(is, 1, value)) return failed();
      // Without keys (a refusal is pending) the values are only read.
      if (i - old_size < appended.size()) entries.push_back(Patch::Entry{std::move(appended[i - old_size]), Set{std::move(value)}});
    }
    return true;
  }

  // The keys that append new_root[old size...] to an array root, or the refusal (recorded, with no
  // keys) where there are none. The top level appends in ascending byte order of its keys. An object
  // is stamped with its key, which must then be its own serial: the added objects' serials must be
  // top-level serial keys that no old element carries, in ascending byte order. Values that are no
  // objects are appended unchanged under keys made to ascend ("+1", "+2", ... zero-padded to one
  // width) that reach no element. Objects and other values are not appended together.
  bool append_keys(Node old_root, Node new_root, std::vector<std::string>& keys) {
    const std::size_t first = doc_.length(old_root);
    const std::size_t count = doc_.length(new_root) - first;
    const auto refuse = [&](std::string reason) {
      note_refusal(diff_rules::cannot_express({diff_rules::index_key(first)}, std::move(reason)));
      keys.clear();
      return true;
    };
    std::size_t objects = 0;
    for (std::size_t i = first; i < first + count; ++i) {
      Node added{};
      if (!doc_.element(new_root, i, added)) return failed();
      const Shape shape = doc_.shape(added);
      if (shape == Shape::Foreign) return root_foreign();
      objects += shape == Shape::Object ? 1 : 0;
    }
    if (objects != 0 && objects != count)
      return refuse("the array root grows by objects and other values together, which no order of keys appends as they stand");
    // Every serial an old element carries; elements without one take no part.
    SerialList old_serials;
    KeyTable old_index;
    const std::size_t old_size = first;
    for (std::size_t i = 0; i < old_size; ++i) {
      Node element{};
      doc_.reading_ahead(old_root, [i](std::size_t k) { return i + k; });
      if (!doc_.element(old_root, i, element)) return failed();
      std::string_view s;
      const SerialOf found = doc_.serial(element, s);
      if (found == SerialOf::Foreign) return root_foreign();
      if (found == SerialOf::Serial) old_serials.add(s);
    }
    old_index.reserve(old_serials.size());
    for (std::size_t i = 0; i < old_serials.size(); ++i) old_index.insert(old_serials[i], i, old_serials.key_of());
    const auto carried = [&](std::string_view s) { return old_index.find(s, old_serials.key_of()) != KeyTable::kNone; };
    if (objects != 0) {
      for (std::size_t i = first; i < first + count; ++i) {
        Node added{};
        if (!doc_.element(new_root, i, added)) return failed();
        std::string_view s;
        const SerialOf found = doc_.serial(added, s);
        if (found == SerialOf::Foreign) return root_foreign();
        if (found == SerialOf::None) return refuse("an object is appended to an array root by its serial, and this one carries none");
        if (!is_top_level_serial_key(s)) return refuse("the added object's serial " + quoted(s) + " is no serial key at the top level");
        if (carried(s))
          return refuse("the added object's serial " + quoted(s) + " is carried by an old element, which its key would reach instead");
        if (!keys.empty() && !(std::string_view(keys.back()) < s))
          return refuse("the added objects' serials " + quoted(keys.back()) + " and " + quoted(s) +
                        " do not ascend in byte order, the order in which the top level appends");
        keys.emplace_back(s);
      }
      return true;
    }
    // Keys of one width ascend in byte order as their numbers do; a wider one is taken when the
    // numbers of this width that reach no element run out.
    for (std::size_t width = std::to_string(count).size();; ++width) {
      keys.clear();
      for (std::size_t n = 1; keys.size() < count; ++n) {
        const std::string digits = std::to_string(n);
        if (digits.size() > width) break;
        std::string key = std::string("+").append(width - digits.size(), '0').append(digits);
        if (!carried(key)) keys.push_back(std::move(key));
      }
      if (keys.size() == count) return true;
    }
  }

  // ---------------------------------------------------------------------------------------------
  // Changes below the top level.

  // Puts the operation that turns `old_value` into `new_value` (a member or element at `depth`) in
  // `out`, or none when they are equal. `key`, the top-level entry's, begins the path of a refusal.
  bool change_at(Node old_value, Node new_value, std::optional<std::string_view> key, int depth, std::optional<Operation>& out) {
    ChildList outcome;
    root_key_ = key;  // the caller's string outlives the call
    bool pushed = false;
    if (!start(old_value, new_value, std::string_view(), Held{}, depth, outcome, pushed)) return false;
    if (!pushed) {
      if (!outcome.empty()) out = std::move(outcome.front().operation);
      return true;
    }
    ChildList children;
    Ending ending = Ending::Children;
    if (!run_frames(&children, &ending, &out)) return false;
    if (ending == Ending::Children && !children.empty()) out = Operation(Nested(std::move(children)));
    return true;
  }

  // Puts the change of one pair into `children`, or pushes the frame that works it out (`pushed`;
  // `children` may then have moved). False when the walk must stop.
  bool start(Node old_value, Node new_value, std::string_view key, Held key_held, int depth, ChildList& children,
             bool& pushed) {
    pushed = false;
    if (doc_.same(old_value, new_value)) return true;
    const Shape was = doc_.shape(old_value);
    const Shape is = doc_.shape(new_value);
    if (was == Shape::Foreign || is == Shape::Foreign) return delegate(old_value, new_value, key, depth, children);
    if (was == is) {
      // Records, mostly, are equal: the adapter may find that out for less than a frame costs.
      if (is != Shape::Scalar) {
        const Outcome quick = doc_.quickly_equal(old_value, new_value, depth);
        if (quick == Outcome::Equal) return true;
        if (quick == Outcome::Failed) return failed();
      }
      if (is == Shape::Object) {
        if (!doc_.enter(depth)) return failed();
        push_object(old_value, new_value, key, std::move(key_held), depth, false);
        pushed = true;
        return true;
      }
      if (is == Shape::Array) {
        if (!doc_.enter(depth)) return failed();
        std::unique_ptr<SerialPairing> pairing;
        switch (pair_arrays(old_value, new_value, pairing)) {
          case Outcome::Foreign: return delegate(old_value, new_value, key, depth, children);
          case Outcome::Failed: return failed();
          default: break;
        }
        if (pairing) {
          // Below the top level the element with serial "*" must be kept unchanged: any entry for
          // it would be a child under "*".
          const std::size_t star_was = pairing->old_serials.star();
          const std::size_t star_is = pairing->new_serials.star();
          Outcome star = star_was == star_is && star_was == KeyTable::kNone ? Outcome::Equal : Outcome::Differ;
          std::vector<std::string> where;
          if (star_was != KeyTable::kNone && star_is != KeyTable::kNone) {
            Node a{}, b{};
            if (!doc_.element(old_value, star_was, a) || !doc_.element(new_value, star_is, b)) return failed();
            star = doc_.same(a, b) ? Outcome::Equal : doc_.compare(a, b, depth + 1, where);
            if (star == Outcome::Equal && pairing->placing && pairing->placed[star_is]) star = Outcome::Differ;  // moved: no entry can say so
          }
          if (star == Outcome::Foreign) return delegate(old_value, new_value, key, depth, children);
          if (star == Outcome::Failed) return failed();
          if (star != Outcome::Differ) {
            Frame& frame = push(old_value, new_value, key, std::move(key_held), depth, false);
            frame.pairing = std::move(pairing);
            if (star == Outcome::Collision) frame.refusal = star_collision(where);
            pushed = true;
            return true;
          }
        }
      }
      // Scalars, and arrays that are set whole when they changed.
      std::vector<std::string> where;
      switch (doc_.compare(old_value, new_value, depth, where)) {
        case Outcome::Equal: return true;
        case Outcome::Collision: return note_collision(key, where);
        case Outcome::Foreign: return delegate(old_value, new_value, key, depth, children);
        case Outcome::Failed: return failed();
        case Outcome::Differ: break;
      }
    }
    return set_whole(old_value, new_value, key, depth, children);
  }

  // A Set of the new value; the old one is read first, as converting both documents would.
  bool set_whole(Node old_value, Node new_value, std::string_view key, int depth, ChildList& children) {
    std::string name(key);
    [[maybe_unused]] const Held keep = doc_.hold(new_value);  // reading old may run code that drops it from its parent
    JsonValue value;
    if (!doc_.check(old_value, depth) || !doc_.convert(new_value, depth, value)) return failed();
    children.push_back(ChildEntry{std::move(name), Set{std::move(value)}});
    return true;
  }

  bool delegate(Node old_value, Node new_value, std::string_view key, int depth, ChildList& children) {
    if constexpr (Document::kMayBeForeign) {
      std::string name(key);
      std::optional<Operation> op;
      if (!doc_.delegate(old_value, new_value, depth, op)) return failed();
      if (op) children.push_back(ChildEntry{std::move(name), std::move(*op)});
      return true;
    } else {
      (void)old_value, (void)new_value, (void)key, (void)depth, (void)children;
      return true;  // no value is foreign
    }
  }

  // Reads the serials of two arrays and pairs them: `out` stays null where pairing cannot express
  // the change. Foreign or Failed when reading a serial needs the adapter's own rules or failed.
  Outcome pair_arrays(Node old_array, Node new_array, std::unique_ptr<SerialPairing>& out) {
    auto pairing = std::make_unique<SerialPairing>();
    // Decided before any table is built: most arrays of other values stop at their first element.
    for (const auto& [array, serials] : {std::pair{old_array, &pairing->old_serials}, std::pair{new_array, &pairing->new_serials}}) {
      const std::size_t size = doc_.length(array);
      for (std::size_t i = 0; i < size; ++i) {
        Node element{};
        doc_.reading_ahead(array, [i](std::size_t k) { return i + k; });
        if (!doc_.element(array, i, element)) return Outcome::Failed;
        std::string_view s;
        switch (doc_.serial(element, s)) {
          case SerialOf::Foreign: return Outcome::Foreign;
          case SerialOf::None: return Outcome::Differ;
          case SerialOf::Serial: serials->add(s); break;
        }
      }
    }
    if (pairing->pair()) out = std::move(pairing);
    return Outcome::Equal;
  }

  // ---------------------------------------------------------------------------------------------
  // The frames.

  Frame& push(Node old_value, Node new_value, std::string_view key, Held key_held, int depth, bool top) {
    stack_.push_back(Frame{old_value, new_value, doc_.hold(old_value), doc_.hold(new_value), key, std::move(key_held), depth,
                           top, std::nullopt, nullptr, 0, 0, ChildList(), std::nullopt});
    return stack_.back();
  }

  void push_object(Node old_value, Node new_value, std::string_view key, Held key_held, int depth, bool top) {
    Frame& frame = push(old_value, new_value, key, std::move(key_held), depth, top);
    frame.members.emplace(doc_.members(old_value, new_value));
  }

  // Runs the frames until the first one pushed is done, and puts its children, in key order, in
  // `children`; where `ending` is given, the first frame may instead end whole (its operation in
  // `whole`). False when the walk stops.
  bool run_frames(ChildList* children, Ending* ending = nullptr, std::optional<Operation>* whole = nullptr) {
    const auto by_key = [](const ChildEntry& a, const ChildEntry& b) { return a.key < b.key; };
    for (;;) {
      Frame& frame = stack_.back();
      Ending end = Ending::Children;
      bool more = false;
      if (!(frame.pairing ? walk_arrays(frame, more) : walk_objects(frame, more, end))) return false;
      if (more) continue;
      std::optional<Operation> replaced;
      if (end != Ending::Children && !finish_whole(frame, end, replaced)) return false;
      ChildList done = std::move(frame.children);
      // Members may come in any order, an array's entries in element order; the document form keeps
      // neither.
      if (!std::is_sorted(done.begin(), done.end(), by_key)) std::sort(done.begin(), done.end(), by_key);
      if (end == Ending::Children && frame.pairing && frame.pairing->placing) place_children(*frame.pairing, done);
      const std::string_view key = frame.key;
      std::optional<Inexpressible> refusal = end == Ending::Children ? std::move(frame.refusal) : std::nullopt;
      [[maybe_unused]] Held key_held = std::move(frame.key_held);  // `key` lives in it
      stack_.pop_back();
      if (stack_.empty()) {  // the first frame: never the root object if it ended whole
        if (refusal && !refusal_) refusal_ = std::move(refusal);
        if (ending != nullptr) *ending = end;
        if (end != Ending::Children) {
          *whole = std::move(replaced);
        } else {
          *children = std::move(done);
        }
        return true;
      }
      Frame& parent = stack_.back();
      if (refusal && !parent.refusal) parent.refusal = std::move(refusal);
      if (end != Ending::Children) {
        if (replaced) parent.children.push_back(ChildEntry{std::string(key), std::move(*replaced)});
      } else if (!done.empty()) {
        parent.children.push_back(ChildEntry{std::string(key), Nested(std::move(done))});
      }
    }
  }

  // A frame that cannot end with its children: a Set of the whole new object, or the core's rules.
  bool finish_whole(Frame& frame, Ending end, std::optional<Operation>& out) {
    if (frame.top) return root_foreign();  // the root object is never set whole; Foreign only
    ChildList replaced;
    if (end == Ending::Whole) {
      if (!set_whole(frame.old_value, frame.new_value, std::string_view(), frame.depth, replaced)) return false;
    } else if (!delegate(frame.old_value, frame.new_value, std::string_view(), frame.depth, replaced)) {
      return false;
    }
    if (!replaced.empty()) out = std::move(replaced.front().operation);
    return true;
  }

  // Walks a pair of objects on until it pushes a frame (`more`) or is done.
  bool walk_objects(Frame& frame, bool& more, Ending& end) {
    Event event;
    for (;;) {
      const Step step = doc_.next(*frame.members, event);
      switch (step) {
        case Step::End: return true;
        case Step::Failed: return failed();
        case Step::Foreign: end = Ending::Delegated; return true;
        default: break;
      }
      // The members that the top level passes over, and a child under "*" below it, which the
      // document form cannot carry.
      const bool serial_at_top = frame.top && event.key == kSerialMember;
      const bool star_below = !frame.top && event.key == kOperationMember;
      if (step == Step::Pair && (serial_at_top || star_below)) {
        std::vector<std::string> where;
        const Outcome outcome = doc_.same(event.old_value, event.new_value)
                                    ? Outcome::Equal
                                    : doc_.compare(event.old_value, event.new_value, frame.depth + 1, where);
        if (outcome == Outcome::Failed) return failed();
        if (outcome == Outcome::Foreign) {
          end = Ending::Delegated;
          return true;
        }
        if (outcome == Outcome::Equal) continue;
        if (star_below && outcome == Outcome::Differ) {
          end = Ending::Whole;
          return true;
        }
        if (outcome == Outcome::Collision && star_below) {
          if (!frame.refusal) frame.refusal = star_collision(where);
          continue;
        }
        if (!frame.refusal) frame.refusal = serial_member_changes();
        continue;
      }
      if (serial_at_top) {
        if (!frame.refusal) frame.refusal = serial_member_changes();
        if (step == Step::Removed ? !doc_.check(event.old_value, frame.depth + 1) : !read_only(event.new_value, frame.depth + 1))
          return failed();
        continue;
      }
      if (star_below) {
        end = Ending::Whole;
        return true;
      }
      if (step == Step::Removed) {
        std::string key(event.key);
        if (!doc_.check(event.old_value, frame.depth + 1)) return failed();
        stack_.back().children.push_back(ChildEntry{std::move(key), Delete{}});
        continue;
      }
      if (step == Step::Added) {
        std::string key(event.key);
        JsonValue value;
        if (!doc_.convert(event.new_value, frame.depth + 1, value)) return failed();
        stack_.back().children.push_back(ChildEntry{std::move(key), Set{std::move(value)}});
        continue;
      }
      if (doc_.same(event.old_value, event.new_value)) continue;
      Held key_held = doc_.hold_key(*frame.members);
      if (!start(event.old_value, event.new_value, event.key, std::move(key_held), frame.depth + 1, frame.children, more))
        return false;
      if (more) return true;
    }
  }

  // Walks a pair of paired arrays on until it pushes a frame (`more`) or is done.
  bool walk_arrays(Frame& frame, bool& more) {
    const SerialPairing& pairing = *frame.pairing;  // on the heap: stays put when the stack grows
    for (; frame.old_cursor < pairing.old_serials.size(); ++frame.old_cursor) {
      if (pairing.old_kept[frame.old_cursor]) continue;
      Node element{};
      if (!doc_.element(frame.old_value, frame.old_cursor, element)) return failed();
      std::string key(pairing.old_serials[frame.old_cursor]);
      if (!doc_.check(element, frame.depth + 1)) return failed();
      stack_.back().children.push_back(ChildEntry{std::move(key), Delete{}});
    }
    const std::size_t count = pairing.new_serials.size();
    while (frame.new_cursor < count) {
      const std::size_t i = frame.new_cursor++;
      const std::string_view s = pairing.new_serials[i];
      doc_.reading_ahead(frame.new_value, [i](std::size_t k) { return i + k; });
      doc_.reading_ahead(frame.old_value, [&](std::size_t k) {
        return i + k < count ? pairing.old_of_new[i + k] : KeyTable::kNone;
      });
      Node element{};
      if (!doc_.element(frame.new_value, i, element)) return failed();
      const std::size_t at = pairing.old_of_new[i];
      if (at == KeyTable::kNone) {
        // Appended as the stamped copy for its own serial: the element as it is.
        JsonValue value;
        if (!doc_.convert(element, frame.depth + 1, value)) return failed();
        stack_.back().children.push_back(ChildEntry{std::string(s), Set{std::move(value)}});
        continue;
      }
      if (s == kOperationMember) continue;  // found unchanged before the frame was pushed
      Node before{};
      if (!doc_.element(frame.old_value, at, before)) return failed();
      if (!start(before, element, s, Held{}, frame.depth + 1, frame.children, more)) return false;
      if (more) return true;
    }
    return true;
  }

  // A new value that no entry carries (a refused top-level "_"): it must still convert.
  bool read_only(Node new_value, int depth) {
    JsonValue ignored;
    return doc_.convert(new_value, depth, ignored);
  }

  // ---------------------------------------------------------------------------------------------
  // Refusals and stops.

  // The keys from the root to the innermost frame.
  std::vector<std::string> frame_path() const {
    std::vector<std::string> path;
    if (root_key_) path.emplace_back(*root_key_);
    for (std::size_t i = 1; i < stack_.size(); ++i) path.emplace_back(stack_[i].key);  // the first has none
    return path;
  }

  static Inexpressible collision(std::vector<std::string> path) {
    return diff_rules::cannot_express(std::move(path),
                                      "the two values differ but convert to the same value, so no patch tells them apart");
  }

  Inexpressible serial_member_changes() const {
    return diff_rules::cannot_express({std::string(kSerialMember)},
                                      "applying passes over the member \"_\" at the top level of an object");
  }

  // A collision at `key` of the innermost frame (at the place itself, with no frame), `where` below it.
  bool note_collision(std::string_view key, const std::vector<std::string>& where) {
    std::vector<std::string> path = frame_path();
    if (!stack_.empty()) path.emplace_back(key);
    path.insert(path.end(), where.begin(), where.end());
    note_refusal(collision(std::move(path)));
    return true;
  }

  // A collision in the innermost frame's own member or element "*", `where` below it.
  Inexpressible star_collision(const std::vector<std::string>& where) const {
    std::vector<std::string> path = frame_path();
    path.emplace_back(kOperationMember);
    path.insert(path.end(), where.begin(), where.end());
    return collision(std::move(path));
  }

  void refuse_collision(std::vector<std::string> path, const std::vector<std::string>& where) {
    path.insert(path.end(), where.begin(), where.end());
    note_refusal(collision(std::move(path)));
  }

  // Keeps the first refusal met, in the innermost frame (a frame replaced whole drops it) or for the
  // whole walk.
  void note_refusal(Inexpressible refusal) {
    std::optional<Inexpressible>& slot = stack_.empty() ? refusal_ : stack_.back().refusal;
    if (!slot) slot = std::move(refusal);
  }

  bool failed() {
    if (!stop_) stop_ = DiffStop(AdapterFailed{});
    return false;
  }
  bool root_foreign() {
    if (!stop_) stop_ = DiffStop(RootForeign{});
    return false;
  }

  Document& doc_;
  std::vector<Frame> stack_;
  std::optional<std::string_view> root_key_;  // the top-level key of the change being worked out, for paths
  std::optional<Inexpressible> refusal_;
  std::optional<DiffStop> stop_;
};

}  // namespace quillfen
