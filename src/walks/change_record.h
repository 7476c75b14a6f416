// One record of what an application changed: what was put, removed, entered, replaced, appended,
// with what it replaced, at which resolved place. ChangeRecorder, an observer of the applying walk
// (apply_walk.h), makes it once, for any kind of document; the undo patch (inverse.h) and the RFC
// 6902 operations (json_patch_writer.h) are both derived from it.
//
// The record keeps its passes in one flat list, parents before the passes entered from them, so
// that neither making it, reading it nor dropping it recurses, whatever the depth of the patch.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json_value/json_value.h"
#include "operations/operation.h"
#include "patch/array_addressing.h"
#include "patch/reserved_names.h"
#include "walks/arrangement.h"

namespace quillfen {

struct ChangeRecord {
  static constexpr std::size_t kNone = ~std::size_t{0};

  struct Change {
    enum class Kind : std::uint8_t {
      Put,            // a member set: by a Set, or at the `to` of a Move or Copy
      Remove,         // a member removed: by a Delete, or at the `from` of a Move (never an absent one)
      Enter,          // a Nested entry went into the member or element: `inner` is the pass below
      Replace,        // an element replaced by a Set
      RemoveElement,  // an element removed by a Delete, taken out when the pass ends
      Append,         // an element appended by a Set at a serial no element carried, when the pass ends
    };
    Kind kind;
    const ChildEntry* entry;    // the patch entry that made the change (it outlives the record)
    std::string_view key;       // objects: the member's key (the entry's, or a Move's or Copy's `from` or `to`)
    std::size_t position = 0;   // arrays: where the element stood when the pass began (Append: none)
    bool by_serial = false;     // arrays: the element was reached by a serial key, not by a position
    bool had_old = false;       // Put, Replace: something stood there (Remove, RemoveElement: always)
    JsonValue old;              // with values kept: what stood there (Put, Remove, Replace)
    std::size_t inner = kNone;  // Enter: the index of the pass below

    Change(Kind k, const ChildEntry* e, std::string_view named) : kind(k), entry(e), key(named) {}
  };

  struct Pass {
    bool is_array = false;
    bool top = false;
    std::size_t length = 0;            // arrays: the length when the pass began
    std::vector<Change> changes;       // in the order the walk made them
    bool reached_twice = false;        // a member or element was reached by two entries of the pass
    bool serial_changed = false;       // objects: the member "_" was put or removed
    // With values kept, for an array below the top level whose changes are not all at elements that
    // keep their serials: its elements as the pass closed (its removals not yet made), in order.
    bool elements_kept = false;
    std::vector<JsonValue> elements;
    // Arrays whose entries placed elements: the order after the pass (walks/arrangement.h), whose
    // new elements are the pass's Append changes, numbered in order.
    bool arranged = false;
    Arrangement arrangement;
    // The root array, with values kept, when its pass removed or placed elements: the serial each
    // element carried when the pass began (none: no object, or no str in "_"); each removed
    // element's value is the `old` of its RemoveElement change.
    bool serials_kept = false;
    std::vector<std::optional<std::string>> serials;
  };

  std::vector<Pass> passes;  // the root's pass first
  bool values_kept = false;  // `old` and `elements` were read
  bool written = false;      // the walk changed the document: `elements` show what the pass made

  // Whether some member or element was reached by two entries of one pass.
  bool reached_twice() const noexcept {
    for (const Pass& pass : passes)
      if (pass.reached_twice) return true;
    return false;
  }
};

// Whether the changes of an array pass are all at elements that keep their serials: none placed,
// removed or reached twice, every replacement a serial's object (its stamp keeps the serial), no element
// entered whose "_" changed, every append an object (it carries its key as serial).
inline bool keeps_serials(const ChangeRecord& record, const ChangeRecord::Pass& pass) {
  if (pass.reached_twice || pass.arranged) return false;
  for (const ChangeRecord::Change& change : pass.changes) {
    switch (change.kind) {
      case ChangeRecord::Change::Kind::RemoveElement: return false;
      case ChangeRecord::Change::Kind::Replace:
        if (!change.by_serial || !std::get<Set>(change.entry->operation).value.is_object()) return false;
        break;
      case ChangeRecord::Change::Kind::Enter:
        if (record.passes[change.inner].serial_changed) return false;
        break;
      case ChangeRecord::Change::Kind::Append:
        if (!std::get<Set>(change.entry->operation).value.is_object()) return false;
        break;
      default: break;
    }
  }
  return true;
}

// The observer that makes the record. With `keep_values`, it reads what each change replaces
// through the document adapter (to_value), and the elements of the arrays that keeps_serials
// refuses as their passes close; for a root array that loses or places elements, what it removes
// and the serial of each element (serial_at(ArrayPass&, position, std::optional<std::string>&)).
// The adapter also tells whether the walk writes (changes_data).
template <class Document>
class ChangeRecorder {
  using Member = typename Document::Member;
  using ObjectPass = typename Document::ObjectPass;
  using ArrayPass = typename Document::ArrayPass;
  using Change = ChangeRecord::Change;

 public:
  ChangeRecorder(Document& document, bool keep_values) : doc_(document) {
    record_.values_kept = keep_values;
    record_.written = document.changes_data();
  }

  // After the walk completed: the record.
  ChangeRecord take() { return std::move(record_); }
  bool reached_twice() const noexcept { return record_.reached_twice(); }

  // The walk's observer.

  bool opened_object(ObjectPass&) {
    open(false, false, 0);
    return true;
  }
  bool opened_array(ArrayPass& pass, bool top) {
    open(true, top, doc_.length(pass));
    return true;
  }

  bool entering_member(ObjectPass&, const ChildEntry& entry) {
    member_reached(entry.key);
    add(Change{Change::Kind::Enter, &entry, entry.key});
    entering_ = true;
    return true;
  }
  bool entering_element(ArrayPass&, std::size_t position, const ChildEntry& entry, bool by_serial) {
    Change change{Change::Kind::Enter, &entry, entry.key};
    change.position = position;
    change.by_serial = by_serial;
    add(std::move(change));
    entering_ = true;
    return true;
  }
  bool reaching_again(ArrayPass&, std::size_t) {
    current().reached_twice = true;
    return true;
  }

  bool changing_member(ObjectPass&, const ChildEntry& entry, std::string_view key, const Member& old) {
    member_reached(key);
    if (key == kSerialMember) current().serial_changed = true;
    if (std::holds_alternative<Move>(entry.operation) || std::holds_alternative<Copy>(entry.operation)) moved_ = true;
    const bool removal = std::holds_alternative<Delete>(entry.operation) ||
                         (std::holds_alternative<Move>(entry.operation) && key == std::get<Move>(entry.operation).from);
    Change change{removal ? Change::Kind::Remove : Change::Kind::Put, &entry, key};
    change.had_old = static_cast<bool>(old);
    if (old && record_.values_kept && !doc_.to_value(old, change.old)) return false;
    add(std::move(change));
    return true;
  }
  bool replacing_element(ArrayPass&, std::size_t position, const ChildEntry& entry, bool by_serial, const Member& old) {
    Change change{Change::Kind::Replace, &entry, entry.key};
    change.position = position;
    change.by_serial = by_serial;
    change.had_old = true;
    if (record_.values_kept && !doc_.to_value(old, change.old)) return false;
    add(std::move(change));
    return true;
  }
  bool removing_element(ArrayPass& pass, std::size_t position, const ChildEntry& entry, bool by_serial) {
    Change change{Change::Kind::RemoveElement, &entry, entry.key};
    change.position = position;
    change.by_serial = by_serial;
    change.had_old = true;
    if (record_.values_kept && current().top) {  // the root's undo puts it back
      Member old{};
      if (!doc_.element(pass, position, old) || !doc_.to_value(old, change.old)) return false;
    }
    add(std::move(change));
    return true;
  }
  bool appending(ArrayPass&, const ChildEntry& entry) {
    Change change{Change::Kind::Append, &entry, entry.key};
    change.by_serial = true;
    add(std::move(change));
    return true;
  }

  bool arranging(ArrayPass&, const Arrangement& arrangement) {
    current().arranged = true;
    current().arrangement = arrangement;
    return true;
  }

  bool closing_object(ObjectPass&) {
    close();
    return true;
  }
  bool closing_array(ArrayPass& pass) {
    ChangeRecord::Pass& closing = current();
    if (record_.values_kept && closing.top && reorders(closing) && !keep_serials(pass, closing)) return false;
    if (record_.values_kept && !closing.top && !keeps_serials(record_, closing)) {
      closing.elements.reserve(closing.length);
      for (std::size_t i = 0; i < closing.length; ++i) {
        Member element{};
        if (!doc_.element(pass, i, element) || !doc_.to_value(element, closing.elements.emplace_back())) return false;
      }
      closing.elements_kept = true;
    }
    close();
    return true;
  }

  void stopped() { open_.clear(); }

  // Whether an array pass removed or placed elements.
  static bool reorders(const ChangeRecord::Pass& pass) {
    if (pass.arranged) return true;
    for (const Change& change : pass.changes)
      if (change.kind == Change::Kind::RemoveElement) return true;
    return false;
  }

 private:
  ChangeRecord::Pass& current() { return record_.passes[open_.back()]; }

  // A pass opens: the root's, or the one an Enter change just named.
  void open(bool is_array, bool top, std::size_t length) {
    const std::size_t index = record_.passes.size();
    if (entering_) {
      current().changes.back().inner = index;
      entering_ = false;
    }
    ChangeRecord::Pass& pass = record_.passes.emplace_back();
    pass.is_array = is_array;
    pass.top = top;
    pass.length = length;
    open_.push_back(index);
    members_.emplace_back();
  }
  void close() {
    // A member reached by two entries of one pass: a child list may repeat a key, and a Move or Copy
    // reaches keys of other entries; the keys of a patch's top level are distinct.
    std::vector<std::string_view>& keys = members_.back();
    if (keys.size() > 1 && (open_.back() != 0 || moved_)) {
      std::sort(keys.begin(), keys.end());
      if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) current().reached_twice = true;
    }
    open_.pop_back();
    members_.pop_back();
  }
  void add(Change change) { current().changes.push_back(std::move(change)); }

  // Notes the serial each element of the root carried as its pass began: a replaced element's from
  // its old value, the others' where they stand (the elements keep their positions until the pass
  // ends).
  bool keep_serials(ArrayPass& pass, ChangeRecord::Pass& closing) {
    closing.serials.assign(closing.length, std::nullopt);
    std::vector<const JsonValue*> replaced(closing.length, nullptr);
    for (const Change& change : closing.changes)
      if (change.kind == Change::Kind::Replace && replaced[change.position] == nullptr) replaced[change.position] = &change.old;
    for (std::size_t i = 0; i < closing.length; ++i) {
      if (replaced[i] != nullptr) {
        if (const std::string* serial = serial_of(*replaced[i])) closing.serials[i] = *serial;
      } else if (!doc_.serial_at(pass, i, closing.serials[i])) {
        return false;
      }
    }
    closing.serials_kept = true;
    return true;
  }
  // Notes a member key reached by an entry of the object pass; close() finds any reached twice.
  void member_reached(std::string_view key) { members_.back().push_back(key); }

  Document& doc_;
  ChangeRecord record_;
  std::vector<std::size_t> open_;                     // the passes open, innermost last
  std::vector<std::vector<std::string_view>> members_;  // the member keys each open object pass reached
  bool entering_ = false;                             // an Enter change waits for its pass to open
  bool moved_ = false;                                // a Move or Copy changed a member
};

}  // namespace quillfen
