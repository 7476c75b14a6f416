// The rules of applying a patch, written once for any kind of document.
//
// `ApplyWalk<Document>` holds the rules: the top level in the patch map's order, the reserved key
// "_", object passes, array passes with their serial index and their removals and appends held
// until the pass ends, Nested entries that descend, Test, Move and Copy, and every PatchError. The
// Document adapter holds the storage: how a member is found, put, removed, how an array element is
// read and replaced, how a pass over a container ends. The core instantiates the walk for JsonValue
// documents (value_document.h); the binding for Python objects.
//
// Placements. An entry that reaches an array element by serial, with a Set or a Nested, may carry a
// placement: where the element stands when the pass ends, right after the element carrying the
// serial `after`, or first. A Set at a serial no element carries inserts its new element there
// instead of appending it. The anchor is looked up like a key of the pass: among the elements as the
// pass began, unless the pass removes that element, else among the pass's new elements. Where it
// names nothing, or the elements are placed in a loop, the placement is passed over (arrangement.h
// gives the order exactly). The pass ends with one rebuild of its array's order. A placement on
// any other entry (a member, an index key) changes nothing.
//
// The walk keeps its own stack of passes instead of recursing, so a patch nested to any depth is
// applied without exhausting the thread's stack, and code that the adapter runs (an allocation, say)
// always has that stack to itself.
//
// A Document adapter D provides (every operation that returns bool returns false only when the
// adapter itself failed, having recorded why; the walk then stops without a PatchError):
//
//   using Container;  // a handle on an object or array being patched (cheap to move)
//   using Member;     // a handle on a member or element, for Test (valid until the next change)
//   using Value;      // an owned value about to enter the document
//   using ObjectPass; // the adapter's state for one pass over an object
//   using ArrayPass;  // the adapter's state for one pass over an array
//
//   bool is_object(const Container&)                      // else it is an array
//   ObjectPass begin_object(Container)                   // the pass keeps the container
//   bool find(ObjectPass&, key, Member& out)              // out empty (false-y) when absent
//   bool put(ObjectPass&, key, Value)                     // inserts or replaces the member
//   bool remove(ObjectPass&, key)                         // nothing when absent
//   bool move_member(ObjectPass&, from, to)               // from != to; nothing when from is absent
//   bool copy_member(ObjectPass&, from, to)               // from != to; a deep copy
//   bool enter_member(ObjectPass&, key, std::optional<Container>& out)  // the member, if a container
//   bool end_object(ObjectPass&, bool completed)          // runs after an error too (completed false)
//
//   ArrayPass begin_array(Container)                      // the pass keeps the container
//   std::size_t length(ArrayPass&)                         // when the pass begins
//   bool index_serials(ArrayPass&, bool top, SerialIndex& index)   // index.add(serial, position) for
//        // every element that carries a serial, in order; the index keeps those it looks for
//   bool element(ArrayPass&, position, Member& out)
//   bool replace(ArrayPass&, position, Value)
//   bool enter_element(ArrayPass&, position, std::optional<Container>& out)
//   bool remove_element(ArrayPass&, position)             // the element goes when the pass ends
//   bool end_array(ArrayPass&, const std::vector<std::size_t>& removals, std::vector<Value>& appends)
//        // removals: sorted, distinct, each below the length; only after a pass that completed
//   bool end_array_arranged(ArrayPass&, const std::vector<std::size_t>& removals,
//                           const std::vector<ArraySlot>& order, std::vector<Value>& fresh)
//        // in place of end_array after a pass that placed elements: the array becomes `order`
//        // (walks/arrangement.h), of its elements as they stand now and of `fresh`; the elements
//        // at `removals` are those it loses
//
//   bool make(const JsonValue&, Value& out)                       // a copy of a patch value
//   bool to_value(const Member&, JsonValue& out)                  // the member as a JsonValue
//   bool make_stamped(const JsonValue&, std::string_view serial, Value& out)
//   int equals(const Member&, const JsonValue&)                   // 1 equal, 0 not, -1 failed
//   bool text_of(const Member&, std::string& out)                 // its compact text
//
// An Observer, when one is given, hears of every change before it is made (so it can read what is
// there) and of every pass as it opens and closes; it may read the document through the adapter but
// not change it. Each change is told with the patch entry that makes it. Each returns false only
// when it failed, having recorded why through the adapter; the walk then stops as for an adapter
// failure.
//   bool opened_object(ObjectPass&)        // a pass begins: the root's, or that of the member or
//   bool opened_array(ArrayPass&, bool top)  // element entered just before
//   bool entering_member(ObjectPass&, const ChildEntry&)           // a Nested entry enters it
//   bool entering_element(ArrayPass&, position, const ChildEntry&, bool by_serial)
//   bool reaching_again(ArrayPass&, position)   // an entry reaches an element that an earlier entry
//        // of the pass reached (on the root, a position and a serial, or two spellings of one
//        // position, name one element); told before anything else of that entry
//   bool changing_member(ObjectPass&, const ChildEntry&, key, const Member& old)   // before a put
//        // or a removal at `key` (the entry's own, or a Move's or Copy's `from` or `to`); old empty
//        // when absent; a removal of an absent member is no change
//   bool replacing_element(ArrayPass&, position, const ChildEntry&, bool by_serial, const Member& old)
//   bool removing_element(ArrayPass&, position, const ChildEntry&, bool by_serial)   // at the pass's end
//   bool appending(ArrayPass&, const ChildEntry&)                    // a Set at an absent serial
//   bool arranging(ArrayPass&, const Arrangement&)   // a pass that placed elements completed: its
//        // order afterwards (`fresh` slots number the appending calls); told before closing_array
//   bool closing_object(ObjectPass&) / closing_array(ArrayPass&)      // a pass completed, before
//        // its end: an array still holds the elements it is to lose
//   void stopped()                                                    // after a stop, once
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "json_value/json_value.h"
#include "operations/operation.h"
#include "patch/array_addressing.h"
#include "patch/patch.h"
#include "patch/patch_error.h"
#include "patch/reserved_names.h"
#include "walks/arrangement.h"

namespace quillfen {

// Why an application stopped: a PatchError, or the document adapter's own failure, which the
// adapter has reported in its own way.
struct AdapterFailed {};
using ApplyStop = std::variant<PatchError, AdapterFailed>;

// The walk without an observer.
struct NoObserver {};

template <class Document, class Observer = NoObserver>
class ApplyWalk {
  static constexpr bool kObserved = !std::is_same_v<Observer, NoObserver>;
  using Container = typename Document::Container;
  using Member = typename Document::Member;
  using Value = typename Document::Value;
  using ObjectPass = typename Document::ObjectPass;
  using ArrayPass = typename Document::ArrayPass;

 public:
  explicit ApplyWalk(Document& document) : doc_(document) {}
  ApplyWalk(Document& document, Observer& observer) : doc_(document), observer_(&observer) {}

  // Applies `patch` to `root`, an object or array. Empty on success. On a stop, object passes that
  // were cut short have ended (`end_object(..., false)`) and array passes dropped their pending
  // removals and appends; what else stays is the adapter's business.
  //
  // The top level is taken in ascending byte order of its keys, so that the same patch gives the
  // same result in every process wherever order can show: the elements appended to an array root,
  // the keys added to a dict in place, two keys that reach one element, and which error is reported
  // where several entries would fail.
  std::optional<ApplyStop> run(const Patch& patch, Container root) {
    const std::vector<const ChildEntry*> top = patch.entries_in_key_order();
    return walk(std::move(root), Cursor{top.data(), nullptr, top.size()}, true);
  }

  // Applies the children of a Nested entry to `target`, an object or array, as below the top level.
  std::optional<ApplyStop> run(const ChildList& children, Container target) {
    return walk(std::move(target), Cursor{nullptr, children.data(), children.size()}, false);
  }

 private:
  // The entries still to take in one pass: the top level's, in the map's order, or a child list's.
  struct Cursor {
    const ChildEntry* const* top;
    const ChildEntry* child;
    std::size_t left;

    const ChildEntry* next() noexcept {
      if (left == 0) return nullptr;
      --left;
      return top != nullptr ? *top++ : child++;
    }
  };

  struct ObjectFrame {
    ObjectPass pass;
  };

  // Positions keep naming the elements that stood there when the pass began: the array keeps its
  // length until the pass ends, and serials are looked up in the index built then.
  struct ArrayFrame {
    ArrayPass array;
    std::size_t length;
    SerialIndex index;
    std::vector<std::size_t> removals;
    std::vector<Value> appends;
    std::unordered_set<std::size_t> reached;  // observed walks: the positions entries reached
    // A pass some of whose entries carry placements: each placement met, in entry order, and the
    // serial each new element carries (null for none: a value that is no object).
    bool placing = false;
    std::vector<std::pair<ArraySlot, const Placement*>> placed;
    std::vector<const std::string*> fresh_serials;
  };

  struct Frame {
    Cursor cursor;
    bool top;
    std::variant<ObjectFrame, ArrayFrame> pass;
  };

  std::optional<ApplyStop> walk(Container root, Cursor cursor, bool top) {
    if (!open(std::move(root), cursor, top)) return unwind();
    while (!frames_.empty()) {
      if (!step()) return unwind();
    }
    return std::nullopt;
  }

  // Starts a pass over `container` with the entries of `cursor`.
  bool open(Container container, Cursor cursor, bool top) {
    if (doc_.is_object(container)) {
      frames_.push_back(Frame{cursor, top, ObjectFrame{doc_.begin_object(std::move(container))}});
      if constexpr (kObserved) return observer_->opened_object(std::get<ObjectFrame>(frames_.back().pass).pass) || adapter_failed();
      return true;
    }
    // The index holds only the serials this pass looks up: filling it costs a lookup per element
    // in a table the size of the pass.
    bool placing = false;
    ArrayFrame array{doc_.begin_array(std::move(container)), 0, SerialIndex(serial_keys(cursor, top, placing)), {}, {}, {}, false, {}, {}};
    array.placing = placing;
    array.length = doc_.length(array.array);
    if (!array.index.looks_for_nothing() && !doc_.index_serials(array.array, top, array.index)) return adapter_failed();
    frames_.push_back(Frame{cursor, top, std::move(array)});
    if constexpr (kObserved) return observer_->opened_array(std::get<ArrayFrame>(frames_.back().pass).array, top) || adapter_failed();
    return true;
  }

  // The keys of a pass that are serial keys: at the top level all but "_" and index keys, below it
  // every key; and the anchors of their placements, which `placing` tells of.
  static std::vector<std::string_view> serial_keys(Cursor cursor, bool top, bool& placing) {
    std::vector<std::string_view> keys;
    keys.reserve(cursor.left);
    while (const ChildEntry* e = cursor.next()) {
      if (top && !is_top_level_serial_key(e->key)) continue;
      keys.push_back(e->key);
      if (e->placement && carries_placement(e->operation)) {
        placing = true;
        if (e->placement->after) keys.push_back(*e->placement->after);
      }
    }
    return keys;
  }

  // Takes the next entry of the innermost pass, or ends that pass. False when the walk must stop.
  bool step() {
    Frame& frame = frames_.back();
    const ChildEntry* entry = frame.cursor.next();
    if (entry == nullptr) return close();
    if (frame.top && entry->key == kSerialMember) return true;
    if (ObjectFrame* object = std::get_if<ObjectFrame>(&frame.pass)) return object_entry(object->pass, *entry);
    return array_entry(std::get<ArrayFrame>(frame.pass), frame.top, *entry);
  }

  // Ends the innermost pass after its last entry.
  bool close() {
    Frame& frame = frames_.back();
    bool ok;
    if (ObjectFrame* object = std::get_if<ObjectFrame>(&frame.pass)) {
      if constexpr (kObserved)
        if (!observer_->closing_object(object->pass)) return adapter_failed();
      ok = doc_.end_object(object->pass, true);
    } else {
      ArrayFrame& array = std::get<ArrayFrame>(frame.pass);
      // A position recorded twice removes one element, not also its neighbour.
      std::sort(array.removals.begin(), array.removals.end());
      array.removals.erase(std::unique(array.removals.begin(), array.removals.end()), array.removals.end());
      if (array.placed.empty()) {
        if constexpr (kObserved)
          if (!observer_->closing_array(array.array)) return adapter_failed();
        ok = doc_.end_array(array.array, array.removals, array.appends);
      } else {
        const Arrangement arranged = arrangement(array);
        if constexpr (kObserved)
          if (!observer_->arranging(array.array, arranged) || !observer_->closing_array(array.array)) return adapter_failed();
        ok = doc_.end_array_arranged(array.array, array.removals, arranged.order, array.appends);
      }
    }
    frames_.pop_back();
    return ok || adapter_failed();
  }

  bool object_entry(ObjectPass& pass, const ChildEntry& entry) {
    const std::string_view key = entry.key;
    return std::visit(
        [&](const auto& op) -> bool {
          using Op = std::decay_t<decltype(op)>;
          if constexpr (std::is_same_v<Op, Set>) {
            Value value;
            return (observe_change(pass, entry, key, false) && doc_.make(op.value, value) && doc_.put(pass, key, std::move(value))) ||
                   adapter_failed();
          } else if constexpr (std::is_same_v<Op, Delete>) {
            return (observe_change(pass, entry, key, true) && doc_.remove(pass, key)) || adapter_failed();
          } else if constexpr (std::is_same_v<Op, Nested>) {
            std::optional<Container> member;
            if (!doc_.enter_member(pass, key, member)) return adapter_failed();
            // An absent member or a scalar: a Nested creates nothing and changes nothing.
            if (!member) return true;
            if constexpr (kObserved)
              if (!observer_->entering_member(pass, entry)) return adapter_failed();
            return open(std::move(*member), Cursor{nullptr, op.children.data(), op.children.size()}, false);
          } else if constexpr (std::is_same_v<Op, Move>) {
            if (op.from == op.to) return true;
            return (observe_move(pass, entry, op.from, op.to, true) && doc_.move_member(pass, op.from, op.to)) || adapter_failed();
          } else if constexpr (std::is_same_v<Op, Copy>) {
            if (op.from == op.to) return true;
            return (observe_move(pass, entry, op.from, op.to, false) && doc_.copy_member(pass, op.from, op.to)) || adapter_failed();
          } else {
            static_assert(std::is_same_v<Op, Test>);
            Member member{};
            if (!doc_.find(pass, key, member)) return adapter_failed();
            if (!member) return fail(PatchError::key_not_found(std::string(key)));
            return check_equal(member, op.value);
          }
        },
        entry.operation);
  }

  bool array_entry(ArrayFrame& array, bool top, const ChildEntry& entry) {
    // Index keys exist at the top level only; below it every key is a serial.
    if (const std::optional<std::uint64_t> position = top ? parse_index_key(entry.key) : std::nullopt) {
      if (*position >= array.length) return true;  // beyond the end: passed over, whatever the operation
      return at_position(array, static_cast<std::size_t>(*position), nullptr, entry);
    }
    if (const std::optional<std::size_t> position = array.index.find(entry.key))
      return at_position(array, *position, &entry.key, entry);
    return at_absent_serial(array, top, entry);
  }

  // An entry that reached the element at `position`: by an index key when `serial` is null, else by
  // that serial key.
  bool at_position(ArrayFrame& array, std::size_t position, const std::string* serial, const ChildEntry& entry) {
    if constexpr (kObserved)
      if (!array.reached.insert(position).second && !observer_->reaching_again(array.array, position)) return adapter_failed();
    return std::visit(
        [&](const auto& op) -> bool {
          using Op = std::decay_t<decltype(op)>;
          if constexpr (std::is_same_v<Op, Set>) {
            if constexpr (kObserved) {
              Member old{};
              if (!doc_.element(array.array, position, old) ||
                  !observer_->replacing_element(array.array, position, entry, serial != nullptr, old))
                return adapter_failed();
            }
            Value value;
            const bool made = serial != nullptr ? doc_.make_stamped(op.value, *serial, value) : doc_.make(op.value, value);
            if (!made || !doc_.replace(array.array, position, std::move(value))) return adapter_failed();
            place(array, serial, ArraySlot{position, false}, entry);
            return true;
          } else if constexpr (std::is_same_v<Op, Delete>) {
            if constexpr (kObserved)
              if (!observer_->removing_element(array.array, position, entry, serial != nullptr)) return adapter_failed();
            array.removals.push_back(position);
            return doc_.remove_element(array.array, position) || adapter_failed();
          } else if constexpr (std::is_same_v<Op, Nested>) {
            place(array, serial, ArraySlot{position, false}, entry);
            std::optional<Container> element;
            if (!doc_.enter_element(array.array, position, element)) return adapter_failed();
            if (!element) return true;
            if constexpr (kObserved)
              if (!observer_->entering_element(array.array, position, entry, serial != nullptr)) return adapter_failed();
            return open(std::move(*element), Cursor{nullptr, op.children.data(), op.children.size()}, false);
          } else if constexpr (std::is_same_v<Op, Test>) {
            Member member{};
            if (!doc_.element(array.array, position, member)) return adapter_failed();
            return check_equal(member, op.value);
          } else {
            return fail(PatchError::invalid_operation(serial != nullptr ? "Operation not supported on array serials"
                                                                        : "Operation not supported on array indices"));
          }
        },
        entry.operation);
  }

  // A serial key that no element carried when the pass began. A Set appends; a Delete removes
  // nothing below the top level and is an error at it; every other operation is an error.
  bool at_absent_serial(ArrayFrame& array, bool top, const ChildEntry& entry) {
    if (const Set* set = std::get_if<Set>(&entry.operation)) {
      if constexpr (kObserved)
        if (!observer_->appending(array.array, entry)) return adapter_failed();
      Value value;
      if (!doc_.make_stamped(set->value, entry.key, value)) return adapter_failed();
      array.appends.push_back(std::move(value));
      if (array.placing) {
        array.fresh_serials.push_back(set->value.is_object() ? &entry.key : nullptr);  // a stamped object carries it
        place(array, &entry.key, ArraySlot{array.appends.size() - 1, true}, entry);
      }
      return true;
    }
    if (!top && std::holds_alternative<Delete>(entry.operation)) return true;
    return fail(PatchError::invalid_serial_key(entry.key));
  }

  // Notes the placement of `entry`, which reached `element` by `serial` (null: by position, where a
  // placement changes nothing).
  static void place(ArrayFrame& array, const std::string* serial, ArraySlot element, const ChildEntry& entry) {
    if (serial != nullptr && entry.placement) array.placed.emplace_back(element, entry.placement.get());
  }

  // The order of a pass that placed elements, its anchors looked up now that its removals are known.
  static Arrangement arrangement(const ArrayFrame& array) {
    const auto removed = [&array](std::size_t position) {
      return std::binary_search(array.removals.begin(), array.removals.end(), position);
    };
    std::unordered_map<std::string_view, std::size_t> fresh;  // the last new element of each serial
    for (std::size_t i = 0; i < array.fresh_serials.size(); ++i)
      if (array.fresh_serials[i] != nullptr) fresh[*array.fresh_serials[i]] = i;
    std::vector<PlacedElement> placed;
    placed.reserve(array.placed.size());
    for (const auto& [element, placement] : array.placed) {
      if (!element.fresh && removed(element.index)) continue;  // removed after all: stands nowhere
      PlacedElement p{element, PlacedElement::Anchor::First, ArraySlot{0, false}};
      if (placement->after) {
        p.kind = PlacedElement::Anchor::Missing;
        if (const std::optional<std::size_t> at = array.index.find(*placement->after)) {
          if (!removed(*at)) p = PlacedElement{element, PlacedElement::Anchor::Element, ArraySlot{*at, false}};
        } else if (auto it = fresh.find(*placement->after); it != fresh.end()) {
          p = PlacedElement{element, PlacedElement::Anchor::Element, ArraySlot{it->second, true}};
        }
      }
      placed.push_back(p);
    }
    return arrange(array.length, array.removals, array.appends.size(), placed);
  }

  bool check_equal(const Member& current, const JsonValue& expected) {
    const int equal = doc_.equals(current, expected);
    if (equal < 0) return adapter_failed();
    if (equal > 0) return true;
    std::string found;
    if (!doc_.text_of(current, found)) return adapter_failed();
    return fail(PatchError::type_mismatch(expected.compact_text(), std::move(found)));
  }

  // Tells the observer of a put (or, with `removal`, a removal) at `key` about to be made, with the
  // member there now. A removal of an absent member changes nothing and is not told.
  bool observe_change(ObjectPass& pass, const ChildEntry& entry, std::string_view key, bool removal) {
    if constexpr (kObserved) {
      Member old{};
      if (!doc_.find(pass, key, old)) return false;
      if (removal && !old) return true;
      return observer_->changing_member(pass, entry, key, old);
    }
    return true;
  }
  // A Move takes `from` out (when present) and puts it at `to`; a Copy puts a copy at `to`.
  bool observe_move(ObjectPass& pass, const ChildEntry& entry, std::string_view from, std::string_view to, bool move) {
    if constexpr (kObserved) {
      Member source{};
      if (!doc_.find(pass, from, source)) return false;
      if (!source) return true;  // nothing happens
      return (!move || observe_change(pass, entry, from, true)) && observe_change(pass, entry, to, false);
    }
    return true;
  }

  bool fail(PatchError error) {
    stop_ = std::move(error);
    return false;
  }
  bool adapter_failed() {
    stop_ = AdapterFailed{};
    return false;
  }

  // After a stop: object passes end, array passes drop what they held, innermost first.
  std::optional<ApplyStop> unwind() {
    if constexpr (kObserved) observer_->stopped();
    while (!frames_.empty()) {
      if (ObjectFrame* object = std::get_if<ObjectFrame>(&frames_.back().pass)) (void)doc_.end_object(object->pass, false);
      frames_.pop_back();
    }
    return std::move(stop_);
  }

  Document& doc_;
  Observer* observer_ = nullptr;
  std::vector<Frame> frames_;
  std::optional<ApplyStop> stop_;
};

}  // namespace quillfen
